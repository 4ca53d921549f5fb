// The AT102 family (AT102, AT1604, AT6601): the reader's command codes and
// card lines, and the three memory maps. Shared by the drivers and by the
// simulated reader's card models.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kdx::velmor::at102 {

// Reader commands.
inline constexpr uint8_t kPower = 27;       // one data byte: 1 on, 0 off
inline constexpr uint8_t kRewind = 28;      // address counter to the first bit
inline constexpr uint8_t kAdvance = 29;     // two data bytes n: the address moves on 8n bits
inline constexpr uint8_t kRead = 30;        // n bytes from the address; response frame
inline constexpr uint8_t kWrite = 31;       // the data bytes' 0 bits are programmed from the address
inline constexpr uint8_t kEraseBytes = 32;  // n bytes from the address (AT1604, AT6601)
inline constexpr uint8_t kEraseWords = 33;  // n bytes from the address (AT102: the card erases 16-bit words)
inline constexpr uint8_t kCompare = 34;     // one data byte compared with the code byte at the address

// Card contacts, as reader lines.
inline constexpr uint8_t kClk = 144;  // a rise moves the address one bit on, or programs with PGM high
inline constexpr uint8_t kIo = 145;   // host drive: 0 holds the line low, 1 releases it
inline constexpr uint8_t kFus = 146;  // high during a fuse programming cycle
inline constexpr uint8_t kPgm = 149;  // high during a programming cycle

// Pieces of the transfers.
inline constexpr std::size_t kWritePiece = 10;
inline constexpr std::size_t kErasePiece = 80;
inline constexpr std::size_t kReadPiece = 184;  // AT1604 and AT6601; the AT102 reads in one frame

inline constexpr unsigned kBitsPerByte = 8;
constexpr std::size_t bit_of(std::size_t byte_address) { return byte_address * kBitsPerByte; }

struct Zone {
  uint16_t base;  // card byte address of the zone's byte 0
  uint16_t size;
};

struct Field {
  uint16_t address;
  uint16_t size;
};

// Password index -> the code's field; PAC index -> its attempt counter
// (nullopt where the index has none).
struct CardMap {
  const char* name;
  std::size_t memory_size;  // card bytes the model holds
  std::span<const Zone> zones;  // the last one is the whole memory
  uint8_t erase_code;
  std::size_t read_piece;  // the most bytes one read frame carries
  Field fc, ic, cpz, mtz;
  std::span<const Field> codes;
  std::span<const std::optional<Field>> counters;
  uint16_t fuse;  // byte address of the fuse's bit
};

// ---------------------------------------------------------------- AT102
namespace map102 {
inline constexpr std::array<Zone, 3> kZones{{{22, 64}, {92, 64}, {0, 195}}};
inline constexpr Field kFc{0, 2}, kIc{2, 8}, kSc{10, 2}, kScac{12, 2}, kCpz{14, 8};
inline constexpr Field kAz1{22, 64}, kEz1{86, 6}, kAz2{92, 64}, kEz2{156, 4}, kEc2{160, 16}, kMtz{176, 2};
inline constexpr std::array<Field, 3> kCodes{kSc, kEz1, kEz2};
inline constexpr std::array<std::optional<Field>, 3> kCounters{kScac, std::nullopt, kEc2};
inline constexpr unsigned kScAttempts = 4;      // the first bits of the security-code counter
inline constexpr unsigned kEc2Erases = 128;
inline constexpr uint16_t kGlobalErase = 180;   // an erase cycle here erases the card
inline constexpr uint16_t kAz2UnlimitedByte = 191;
inline constexpr std::size_t kAz2UnlimitedBit = bit_of(kAz2UnlimitedByte) + 1;  // 1529
inline constexpr uint16_t kFuse = 194;
inline constexpr std::size_t kMemorySize = 196;
}  // namespace map102

inline constexpr CardMap kAt102{"AT102", map102::kMemorySize, map102::kZones, kEraseWords,
                                map102::kZones.back().size, map102::kFc, map102::kIc, map102::kCpz,
                                map102::kMtz, map102::kCodes, map102::kCounters, map102::kFuse};

// ----------------------------------------------------- AT1604 and AT6601
// Password indexes 0 to 8: the security code, the four zones' security
// codes, the four zones' erase keys. Counters are one byte.
inline constexpr std::size_t kCodeCount = 9;
inline constexpr uint16_t kCodeSize = 2;
inline constexpr uint16_t kCounterSize = 1;
inline constexpr unsigned kCounterAttempts = 8;
inline constexpr std::size_t kLargeMemorySize = 2048;
inline constexpr Field kLargeFc{0, 2}, kLargeIc{2, 8}, kLargeCpz{13, 8};

constexpr std::array<Field, kCodeCount> code_fields(const std::array<uint16_t, kCodeCount>& addresses) {
  std::array<Field, kCodeCount> fields{};
  for (std::size_t i = 0; i < kCodeCount; ++i) fields[i] = {addresses[i], kCodeSize};
  return fields;
}
// A counter sits right after its code; 0 marks a code without one.
constexpr std::array<std::optional<Field>, kCodeCount> counter_fields(const std::array<uint16_t, kCodeCount>& addresses) {
  std::array<std::optional<Field>, kCodeCount> fields{};
  for (std::size_t i = 0; i < kCodeCount; ++i) {
    if (addresses[i] != 0) fields[i] = Field{addresses[i], kCounterSize};
  }
  return fields;
}

namespace map1604 {
inline constexpr std::array<Zone, 5> kZones{{{27, 512}, {545, 512}, {1063, 512}, {1581, 457}, {0, 2040}}};
inline constexpr auto kCodes = code_fields({10, 21, 539, 1057, 1575, 24, 542, 1060, 1578});
inline constexpr auto kCounters = counter_fields({12, 23, 541, 1059, 1577, 26, 544, 1062, 1580});
}  // namespace map1604

inline constexpr CardMap kAt1604{"AT1604", kLargeMemorySize, map1604::kZones, kEraseBytes, kReadPiece,
                                 kLargeFc, kLargeIc, kLargeCpz, Field{2038, 2}, map1604::kCodes,
                                 map1604::kCounters, 2044};

namespace map6601 {
inline constexpr std::array<Zone, 5> kZones{{{27, 1195}, {1227, 256}, {1488, 256}, {1749, 256}, {0, 2007}}};
inline constexpr auto kCodes = code_fields({10, 21, 1222, 1483, 1744, 24, 1224, 1485, 1746});
inline constexpr auto kCounters = counter_fields({12, 23, 0, 0, 0, 26, 1226, 1487, 1748});
}  // namespace map6601

inline constexpr CardMap kAt6601{"AT6601", kLargeMemorySize, map6601::kZones, kEraseBytes, kReadPiece,
                                 kLargeFc, kLargeIc, kLargeCpz, Field{2005, 2}, map6601::kCodes,
                                 map6601::kCounters, 2036};

// Password indexes of the large cards.
inline constexpr std::size_t kFirstZoneCode = 1;  // zone z's security code: 1 + z
inline constexpr std::size_t kFirstEraseKey = 5;  // zone z's erase key: 5 + z

}  // namespace kdx::velmor::at102
