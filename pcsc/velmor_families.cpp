#include "pcsc/velmor_families.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <vector>

#include "cards/at24c_types.h"

namespace kdx::ifd {
namespace {

template <typename... Functions>
bool all(Functions... functions) {
  return ((functions != nullptr) && ...);
}

bool blank(const uint8_t* answer) {
  return std::all_of(answer, answer + kMemoryAnswerBytes, [](uint8_t b) { return b == 0xFF; }) ||
         std::all_of(answer, answer + kMemoryAnswerBytes, [](uint8_t b) { return b == 0x00; });
}

bool starts_with(const uint8_t* answer, std::span<const uint8_t> bytes) {
  return std::equal(bytes.begin(), bytes.end(), answer);
}

unsigned ones(uint8_t byte) { return static_cast<unsigned>(std::popcount(byte)); }

// The counter byte `read` gives, as attempts left: its 1 bits under `mask`.
template <typename Read>
StatusCode counted(Read read, uint8_t mask, unsigned& attempts) {
  uint8_t counter = 0;
  const StatusCode status = read(&counter);
  attempts = ones(static_cast<uint8_t>(counter & mask));
  return status;
}

// A card without an answer to reset of its own: powered by `open`, its
// first bytes read by `read`; unpowered again when the read fails.
template <typename Open, typename Read, typename Close>
StatusCode open_and_read(Open open, Read read, Close close) {
  StatusCode status = open();
  if (status == ST_OK) status = read();
  if (status != ST_OK) close();
  return status;
}

constexpr uint8_t kSle4442First = 0xA2;
constexpr uint8_t kSle4442CounterBits = 0x07;
constexpr uint8_t kAllBits = 0xFF;

// AT88SC153 and AT88SC1608: configuration bytes 0 to 3.
constexpr uint8_t kAt153Answer[] = {0x34, 0x55, 0xAA, 0x05};
constexpr uint8_t kAt1608Answer[] = {0x34, 0x55, 0xAA, 0x85};
constexpr uint32_t kAt153Zones = 4;  // 3 user zones and the configuration zone
constexpr std::size_t kAt153Zone = 64;
constexpr std::size_t kAt1608Zone = 256;
constexpr std::size_t kAt1608Size = 8 * kAt1608Zone + 128;  // 8 user zones and the configuration zone
constexpr std::size_t kSecurePsc = 3;

// The AT102 family: the fabrication code in bytes 0 and 1 tells the three
// apart; the whole memory is a zone of its own.
constexpr uint32_t kAt102Whole = 2;
constexpr uint32_t kLargeWhole = 4;
constexpr std::size_t kAt102Psc = 2;
// The AT1604's and AT6601's codes: the security code, 4 zone codes, 4
// erase keys.
constexpr uint32_t kLargeCodes = 9;
constexpr uint8_t kAt102ScAttempts = 0xF0;  // the first 4 bits of its counter
constexpr std::size_t kAt102CounterBytes = 2;

using FabricationCode = uint8_t[2];
constexpr FabricationCode kAt102Codes[] = {{0x72, 0x55}, {0x71, 0x56}};
constexpr FabricationCode kAt1604Codes[] = {{0x16, 0x04}, {0x31, 0x3A}};
constexpr FabricationCode kAt6601Codes[] = {{0x0F, 0x0F}};

template <std::size_t N>
bool one_of(const uint8_t* answer, const FabricationCode (&codes)[N]) {
  return std::any_of(std::begin(codes), std::end(codes), [&](const FabricationCode& code) { return starts_with(answer, code); });
}
bool at102_fc(const uint8_t* answer) { return one_of(answer, kAt102Codes); }
bool at1604_fc(const uint8_t* answer) { return one_of(answer, kAt1604Codes); }
bool at6601_fc(const uint8_t* answer) { return one_of(answer, kAt6601Codes); }

// AT45D DataFlash: pages of 264 bytes; the two address bytes reach the
// first 65536 bytes (pages 0 to 248), which even the smallest type holds,
// so the card is opened as type "1". The status byte's density bits (5 to
// 2) name a DataFlash.
constexpr uint32_t kAt45dOpenType = 0x31;
constexpr std::size_t kAt45dPage = 264;
constexpr std::size_t kPseudoApduReach = 65536;
constexpr uint8_t kAt45dReady = 0x80;
constexpr uint8_t kAt45dDensityBits = 0x3C;
constexpr uint8_t kAt45dDensities[] = {0x14, 0x1C, 0x24};

// Writes program 0 bits only: the bytes are erased first when a 1 bit is
// to come back (which needs the zone's erase key presented).
template <typename Read, typename Erase, typename Write>
StatusCode erase_where_needed(uint32_t length, const uint8_t* source, Read read, Erase erase, Write write) {
  std::vector<uint8_t> held(length);
  StatusCode status = read(held.data());
  if (status != ST_OK) return status;
  bool needed = false;
  for (uint32_t i = 0; i < length; ++i) needed = needed || (held[i] & source[i]) != source[i];
  if (needed) status = erase();
  return status != ST_OK ? status : write();
}

// The AT1604 and the AT6601: the same exports.
#define KDX_IFD_LARGE_AT102(P, FC_TEST, SIZE)                                                                    \
  MemoryFamily {                                                                                                 \
    #P, Probe::before_cpu, SIZE, 0, kAt102Psc, kLargeCodes,                                                      \
        [](const VelmorApi& a) {                                                                                 \
          return all(a.P##_OpenCard, a.P##_CloseCard, a.P##_ReadChar, a.P##_WriteChar, a.P##_EraseChar,          \
                     a.P##_VerifyPWD, a.P##_ReadPAC);                                                            \
        },                                                                                                       \
        [](const VelmorApi& a, uint8_t* answer) {                                                                \
          return open_and_read([&] { return a.P##_OpenCard(); },                                                 \
                               [&] { return a.P##_ReadChar(0, kMemoryAnswerBytes, kLargeWhole, answer); },       \
                               [&] { return a.P##_CloseCard(); });                                               \
        },                                                                                                       \
        [](const VelmorApi&, const uint8_t* answer) { return FC_TEST(answer); },                                 \
        [](const VelmorApi& a) { return a.P##_CloseCard(); },                                                    \
        [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, uint8_t* d) { return a.P##_ReadChar(at, n, kLargeWhole, d); }, \
        [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, const uint8_t* s) {                            \
          return erase_where_needed(                                                                             \
              n, s, [&](uint8_t* held) { return a.P##_ReadChar(at, n, kLargeWhole, held); },                     \
              [&] { return a.P##_EraseChar(at, n, kLargeWhole); }, [&] { return a.P##_WriteChar(at, n, kLargeWhole, s); }); \
        },                                                                                                       \
        [](const VelmorApi& a, uint32_t index, const uint8_t* psc) { return a.P##_VerifyPWD(index, psc[0], psc[1]); }, \
        [](const VelmorApi& a, uint32_t index, unsigned& attempts) {                                             \
          return counted([&](uint8_t* c) { return a.P##_ReadPAC(index, c); }, kAllBits, attempts);               \
        },                                                                                                       \
  }

// The AT88SC153 and the AT88SC1608: zones of their own, one after the other.
#define KDX_IFD_SECURE_MEMORY(P, ANSWER, SIZE, ZONE, SETS)                                                       \
  MemoryFamily {                                                                                                 \
    #P, Probe::before_cpu, SIZE, ZONE, kSecurePsc, SETS,                                                         \
        [](const VelmorApi& a) {                                                                                 \
          return all(a.P##_OpenCard, a.P##_CloseCard, a.P##_ReadChar, a.P##_WriteChar, a.P##_VerifyPWD,          \
                     a.P##_ReadPAC);                                                                             \
        },                                                                                                       \
        [](const VelmorApi& a, uint8_t* answer) { return a.P##_OpenCard(answer); },                              \
        [](const VelmorApi&, const uint8_t* answer) { return starts_with(answer, std::span<const uint8_t>(ANSWER)); },                     \
        [](const VelmorApi& a) { return a.P##_CloseCard(); },                                                    \
        [](const VelmorApi& a, uint32_t zone, uint32_t at, uint32_t n, uint8_t* d) { return a.P##_ReadChar(at, n, zone, d); }, \
        [](const VelmorApi& a, uint32_t zone, uint32_t at, uint32_t n, const uint8_t* s) {                       \
          return a.P##_WriteChar(at, n, zone, s);                                                                \
        },                                                                                                       \
        [](const VelmorApi& a, uint32_t index, const uint8_t* psc) {                                             \
          return a.P##_VerifyPWD(index, psc[0], psc[1], psc[2]);                                                 \
        },                                                                                                       \
        [](const VelmorApi& a, uint32_t index, unsigned& attempts) {                                             \
          return counted([&](uint8_t* c) { return a.P##_ReadPAC(index, c); }, kAllBits, attempts);               \
        },                                                                                                       \
  }

// AT24C EEPROMs answer nothing that tells their type, and a read or write
// addressed for another type lands elsewhere: the device name names it.
template <uint8_t Type>
MemoryFamily at24c() {
  return {"AT24C", Probe::after_cpu, velmor::at24c::kTypes[Type].capacity, 0, 0, 0,
          [](const VelmorApi& a) { return all(a.AT24C_OpenCard, a.AT24C_CloseCard, a.AT24C_ReadChar, a.AT24C_WriteChar); },
          [](const VelmorApi& a, uint8_t* answer) {
            return open_and_read([&] { return a.AT24C_OpenCard(Type); },
                                 [&] { return a.AT24C_ReadChar(0, kMemoryAnswerBytes, answer); },
                                 [&] { return a.AT24C_CloseCard(); });
          },
          [](const VelmorApi&, const uint8_t*) { return true; },
          [](const VelmorApi& a) { return a.AT24C_CloseCard(); },
          [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, uint8_t* d) { return a.AT24C_ReadChar(at, n, d); },
          [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, const uint8_t* s) { return a.AT24C_WriteChar(at, n, s); },
          nullptr,
          nullptr,
          Type};
}

const MemoryFamily kFamilies[] = {
    KDX_IFD_SECURE_MEMORY(AT153, kAt153Answer, kAt153Zones * kAt153Zone, kAt153Zone, 4),
    KDX_IFD_SECURE_MEMORY(AT1608, kAt1608Answer, kAt1608Size, kAt1608Zone, 16),
    {"SLE4442", Probe::before_cpu, 256, 0, 3, 1,
     [](const VelmorApi& a) {
       return all(a.SLE4442_OpenCard, a.SLE4442_CloseCard, a.SLE4442_ReadChar, a.SLE4442_WriteChar, a.SLE4442_VerifyPWD,
                  a.SLE4442_ReadPAC);
     },
     [](const VelmorApi& a, uint8_t* answer) { return a.SLE4442_OpenCard(answer); },
     [](const VelmorApi&, const uint8_t* answer) { return answer[0] == kSle4442First && !blank(answer); },
     [](const VelmorApi& a) { return a.SLE4442_CloseCard(); },
     [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, uint8_t* d) { return a.SLE4442_ReadChar(at, n, d); },
     [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, const uint8_t* s) { return a.SLE4442_WriteChar(at, n, s); },
     [](const VelmorApi& a, uint32_t, const uint8_t* psc) { return a.SLE4442_VerifyPWD(psc[0], psc[1], psc[2]); },
     [](const VelmorApi& a, uint32_t, unsigned& attempts) { return counted(a.SLE4442_ReadPAC, kSle4442CounterBits, attempts); }},
    {"AT102", Probe::before_cpu, 195, 0, kAt102Psc, 1,
     [](const VelmorApi& a) {
       return all(a.AT102_OpenCard, a.AT102_CloseCard, a.AT102_ReadChar, a.AT102_WriteChar, a.AT102_EraseWord,
                  a.AT102_VerifyPWD, a.AT102_ReadPAC);
     },
     [](const VelmorApi& a, uint8_t* answer) {
       return open_and_read([&] { return a.AT102_OpenCard(); },
                            [&] { return a.AT102_ReadChar(0, kMemoryAnswerBytes, kAt102Whole, answer); },
                            [&] { return a.AT102_CloseCard(); });
     },
     [](const VelmorApi&, const uint8_t* answer) { return at102_fc(answer); },
     [](const VelmorApi& a) { return a.AT102_CloseCard(); },
     [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, uint8_t* d) { return a.AT102_ReadChar(at, n, kAt102Whole, d); },
     [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, const uint8_t* s) {
       return erase_where_needed(
           n, s, [&](uint8_t* held) { return a.AT102_ReadChar(at, n, kAt102Whole, held); },
           [&] { return a.AT102_EraseWord(at, n, kAt102Whole); }, [&] { return a.AT102_WriteChar(at, n, kAt102Whole, s); });
     },
     [](const VelmorApi& a, uint32_t, const uint8_t* psc) { return a.AT102_VerifyPWD(psc[0], psc[1]); },
     [](const VelmorApi& a, uint32_t, unsigned& attempts) {
       uint8_t counter[kAt102CounterBytes] = {};
       const StatusCode status = a.AT102_ReadPAC(0, counter);
       attempts = ones(static_cast<uint8_t>(counter[0] & kAt102ScAttempts));
       return status;
     }},
    KDX_IFD_LARGE_AT102(AT1604, at1604_fc, 2040),
    KDX_IFD_LARGE_AT102(AT6601, at6601_fc, 2007),
    // Tried after a CPU card: the DataFlash before the SLE4428, which takes
    // any answer that is not blank; last the AT24C named in the device
    // name, whose reads give no sign of a card (an erased one reads 0xFF).
    {"AT45D", Probe::after_cpu, kPseudoApduReach, kAt45dPage, 0, 0,
     [](const VelmorApi& a) {
       return all(a.AT45D_OpenCard, a.AT45D_CloseCard, a.AT45D_ReadStatus, a.AT45D_ReadChar, a.AT45D_WriteChar);
     },
     [](const VelmorApi& a, uint8_t* answer) {
       return open_and_read([&] { return a.AT45D_OpenCard(kAt45dOpenType); },
                            [&] { return a.AT45D_ReadChar(0, 0, kMemoryAnswerBytes, answer); },
                            [&] { return a.AT45D_CloseCard(); });
     },
     [](const VelmorApi& a, const uint8_t*) {
       uint8_t status = 0;
       if (a.AT45D_ReadStatus(&status) != ST_OK || (status & kAt45dReady) == 0) return false;
       return std::ranges::find(kAt45dDensities, static_cast<uint8_t>(status & kAt45dDensityBits)) != std::end(kAt45dDensities);
     },
     [](const VelmorApi& a) { return a.AT45D_CloseCard(); },
     [](const VelmorApi& a, uint32_t page, uint32_t at, uint32_t n, uint8_t* d) { return a.AT45D_ReadChar(page, at, n, d); },
     [](const VelmorApi& a, uint32_t page, uint32_t at, uint32_t n, const uint8_t* s) { return a.AT45D_WriteChar(page, at, n, s); },
     nullptr, nullptr},
    {"SLE4428", Probe::after_cpu, 1024, 0, 2, 1,
     [](const VelmorApi& a) {
       return all(a.SLE4428_OpenCard, a.SLE4428_CloseCard, a.SLE4428_ReadChar, a.SLE4428_WriteChar, a.SLE4428_VerifyPWD,
                  a.SLE4428_ReadPAC);
     },
     [](const VelmorApi& a, uint8_t* answer) { return a.SLE4428_OpenCard(answer); },
     [](const VelmorApi&, const uint8_t* answer) { return !blank(answer); },
     [](const VelmorApi& a) { return a.SLE4428_CloseCard(); },
     [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, uint8_t* d) { return a.SLE4428_ReadChar(at, n, d); },
     [](const VelmorApi& a, uint32_t, uint32_t at, uint32_t n, const uint8_t* s) { return a.SLE4428_WriteChar(at, n, s); },
     [](const VelmorApi& a, uint32_t, const uint8_t* psc) { return a.SLE4428_VerifyPWD(psc[0], psc[1]); },
     [](const VelmorApi& a, uint32_t, unsigned& attempts) { return counted(a.SLE4428_ReadPAC, kAllBits, attempts); }},
    at24c<1>(), at24c<2>(), at24c<3>(), at24c<4>(), at24c<5>(),
    at24c<6>(), at24c<7>(), at24c<8>(), at24c<9>(), at24c<10>(),
};

#undef KDX_IFD_LARGE_AT102
#undef KDX_IFD_SECURE_MEMORY

}  // namespace

std::span<const MemoryFamily> memory_families() { return kFamilies; }

}  // namespace kdx::ifd
