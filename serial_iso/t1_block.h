// The T=1 block of ISO/IEC 7816-3 as bytes: prologue (NAD, PCB, LEN), the
// information field, and the epilogue (one LRC byte or two CRC bytes). Pure
// functions on bytes: building a block, checking and taking one apart, the
// two error detection codes, and the inverse-convention transform of a
// whole block. No line, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kdx::tarsk::t1 {

inline constexpr std::size_t kPrologueSize = 3;  // NAD PCB LEN
inline constexpr std::size_t kMaxInformation = 254;
inline constexpr std::size_t kMaxEpilogue = 2;
inline constexpr std::size_t kMaxBlockSize = kPrologueSize + kMaxInformation + kMaxEpilogue;
// The only node address this host uses (and accepts).
inline constexpr uint8_t kNad = 0x00;
// LEN 255 is reserved.
inline constexpr uint8_t kReservedLen = 0xFF;

enum class Edc : uint8_t { lrc, crc };
constexpr std::size_t epilogue_size(Edc edc) { return edc == Edc::lrc ? 1 : 2; }

// PCB layout.
inline constexpr uint8_t kTypeMask = 0xC0;
inline constexpr uint8_t kIBlockTypeMask = 0x80;  // I-block: bit 8 clear
inline constexpr uint8_t kRBlock = 0x80;
inline constexpr uint8_t kSBlock = 0xC0;
inline constexpr uint8_t kINs = 0x40;        // N(S) of an I-block
inline constexpr uint8_t kIMore = 0x20;      // M bit
inline constexpr uint8_t kIReserved = 0x1F;  // must be 0
inline constexpr uint8_t kRNr = 0x10;        // N(R) of an R-block
inline constexpr uint8_t kRReserved = 0x20;  // must be 0
inline constexpr uint8_t kRErrorMask = 0x0F;
inline constexpr uint8_t kSResponse = 0x20;
inline constexpr uint8_t kSKindMask = 0x1F;

// Error codes of an R-block (low bits of its PCB).
enum class RError : uint8_t { none = 0, edc_or_parity = 1, other = 2 };

enum class SKind : uint8_t { resynch = 0, ifs = 1, abort = 2, wtx = 3 };
// The VPP error S-block exists only as a response (PCB 0xE4).
inline constexpr uint8_t kSVppError = 0x24;

// Sequence numbers: 0 or 1.
constexpr uint8_t i_pcb(uint8_t ns, bool more) {
  return static_cast<uint8_t>((ns != 0 ? kINs : 0) | (more ? kIMore : 0));
}
constexpr uint8_t r_pcb(uint8_t nr, RError error) {
  return static_cast<uint8_t>(kRBlock | (nr != 0 ? kRNr : 0) | static_cast<uint8_t>(error));
}
constexpr uint8_t s_pcb(SKind kind, bool response) {
  return static_cast<uint8_t>(kSBlock | (response ? kSResponse : 0) | static_cast<uint8_t>(kind));
}

// LRC: XOR of the bytes. CRC: CRC-16 with polynomial 0x1021, initial value
// 0xFFFF, most significant bit first, no reflection, no final XOR; sent high
// byte first.
uint8_t lrc(std::span<const uint8_t> bytes);
uint16_t crc16(std::span<const uint8_t> bytes);

// Writes NAD, PCB, LEN, `information` and the EDC to `out`; returns the
// block's size. `information` holds at most kMaxInformation bytes and `out`
// at least the block's size (both checked by assertion).
std::size_t build(uint8_t nad, uint8_t pcb, std::span<const uint8_t> information, Edc edc, std::span<uint8_t> out);

// The inverse-convention transform of every byte, in place (its own inverse).
void invert(std::span<uint8_t> bytes);

enum class Kind : uint8_t { i, r, s };

// What makes a received block invalid, found from its bytes alone.
enum class Fault : uint8_t {
  none,
  edc,             // LRC or CRC wrong
  short_block,     // fewer bytes than LEN announces, or fewer than a prologue
  long_block,      // more bytes than LEN announces
  nad,             // NAD other than 0
  reserved_len,    // LEN 255
  too_long,        // an I-block longer than the receiver's IFS
  reserved_pcb,    // reserved PCB bits set, or an S-block of no known kind
  wrong_len,       // an R- or S-block whose LEN does not fit its kind
  bad_parameter,   // S(IFS) of 0 or 255, S(WTX) of 0
};

struct Parsed {
  Fault fault = Fault::none;
  Kind kind = Kind::i;
  uint8_t pcb = 0;
  uint8_t sequence = 0;  // N(S) of an I-block, N(R) of an R-block (0 or 1)
  bool more = false;     // I-block: M bit
  RError error = RError::none;
  SKind s_kind = SKind::resynch;
  bool s_response = false;
  std::span<const uint8_t> information{};
};

// Takes apart a whole block as it means (inverse convention already undone),
// EDC included. `ifs` is the largest information field the receiver accepts
// in an I-block (1 to 254). The first fault found, in the order: length,
// EDC, NAD, LEN, PCB, LEN against the kind, parameter.
Parsed parse(std::span<const uint8_t> block, Edc edc, std::size_t ifs);

// The information length a prologue announces.
constexpr std::size_t announced_length(std::span<const uint8_t, kPrologueSize> prologue) { return prologue[2]; }

}  // namespace kdx::tarsk::t1
