// How long an answer to reset is, judged from the bytes received so far.
//
// The rule counts TS and T0, the interface bytes that T0, TD1 and TD2
// announce, the TD bytes themselves, the historical bytes, and the check
// byte TCK only when TD1 names protocol T=1. Bytes announced by TD3 and later
// are not counted, so 30 bytes is the longest length it computes. Callers of
// CPU_Open and CPU_Reset use the same rule to know how many bytes they got.
//
// Header-only so that a caller such as the kdx tool shares the rule itself.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kdx::velmor::cpu {

inline constexpr std::size_t kMaxAtrLength = 30;

// TS of a direct-convention card, and TS of an inverse-convention card as
// the reader delivers it (0x3F read with the direct convention's bit order
// and levels).
inline constexpr uint8_t kTsDirect = 0x3B;
inline constexpr uint8_t kTsInverseAsRead = 0x03;

// A byte of an inverse-convention card as the reader delivers it, decoded:
// bit 7 - i of the result is the complement of bit i.
constexpr uint8_t decode_inverse(uint8_t delivered) {
  uint8_t decoded = 0;
  for (unsigned bit = 0; bit < 8; ++bit) {
    if (((delivered >> bit) & 1u) == 0) decoded = static_cast<uint8_t>(decoded | (1u << (7 - bit)));
  }
  return decoded;
}

struct AtrShape {
  bool complete = false;
  std::size_t length = 0;     // the expected length, as far as it is known
  bool announces_t1 = false;  // TD1 was seen and names T=1
};

namespace atr_bits {
inline constexpr uint8_t kInterfacePresent = 0x70;  // TAi, TBi, TCi follow
inline constexpr uint8_t kTdPresent = 0x80;         // TDi follows
inline constexpr uint8_t kLowNibble = 0x0F;         // historical count (T0) or protocol (TDi)
inline constexpr uint8_t kProtocolT1 = 1;

constexpr std::size_t interface_bytes(uint8_t y) { return static_cast<std::size_t>(std::popcount(static_cast<unsigned>(y & kInterfacePresent))); }
constexpr std::size_t td_byte(uint8_t y) { return (y & kTdPresent) != 0 ? 1 : 0; }
}  // namespace atr_bits

// `received` holds the bytes as the reader delivered them. When the first is
// the inverse convention's TS, the length is computed from decoded bytes.
constexpr AtrShape atr_shape(std::span<const uint8_t> received) {
  using namespace atr_bits;
  AtrShape shape;
  if (received.size() < 2) return shape;
  const bool inverse = received[0] == kTsInverseAsRead;
  const auto at = [&](std::size_t index) { return inverse ? decode_inverse(received[index]) : received[index]; };

  const uint8_t t0 = at(1);
  const std::size_t first_interface = interface_bytes(t0);
  shape.length = 2 + first_interface + (t0 & kLowNibble) + td_byte(t0);
  if (received.size() < shape.length) return shape;
  if (td_byte(t0) == 0) {
    shape.complete = true;
    return shape;
  }

  const uint8_t td1 = at(2 + first_interface);
  const std::size_t second_interface = interface_bytes(td1);
  shape.length += second_interface + td_byte(td1);
  if ((td1 & kLowNibble) == kProtocolT1) {
    shape.length += 1;  // TCK
    shape.announces_t1 = true;
  }
  if (received.size() < shape.length) return shape;
  if (td_byte(td1) == 0) {
    shape.complete = true;
    return shape;
  }

  const uint8_t td2 = at(3 + first_interface + second_interface);
  shape.length += interface_bytes(td2) + td_byte(td2);
  shape.complete = received.size() >= shape.length;
  return shape;
}

}  // namespace kdx::velmor::cpu
