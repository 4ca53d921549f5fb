// The transmission factors of ISO/IEC 7816-3 for a card clocked at
// 3.5712 MHz, the port speeds a card's rate maps to, and the byte transform
// of the inverse convention. Used by card activation and protocol selection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace kdx::tarsk::card {

inline constexpr uint32_t kClockHz = 3571200;
inline constexpr std::size_t kFactorCount = 16;

// Clock-rate conversion factor Fi by FI. FI 0 is the 372 that ISO/IEC
// 7816-3 gives it (with a 4 MHz maximum clock); the reserved FI 7, 8, 14
// and 15 hold 1 and are refused wherever a card names them.
inline constexpr uint16_t kFi[kFactorCount] = {372, 372, 558, 744, 1116, 1488, 1860, 1,
                                               1,   512, 768, 1024, 1536, 2048, 1,  1};
// Baud-rate adjustment factor Di by DI, as single-precision reals. DI 0 is
// reserved (it holds 1 and is refused).
inline constexpr float kDi[kFactorCount] = {1, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0.5f, 0.25f, 0.125f, 0.0625f, 0.03125f, 0.015625f};

constexpr bool fi_reserved(uint8_t fi) { return fi == 7 || fi == 8 || fi == 14 || fi == 15; }
constexpr bool di_reserved(uint8_t di) { return di == 0; }

// Products and quotients of these reals are formed in extended precision and
// truncated toward zero; the waiting times depend on it.
static_assert(std::numeric_limits<long double>::digits >= 64, "extended precision is needed for the card's timings");

// The card's rate in bits per second, Di x 3571200 / Fi, truncated. FI and
// DI are taken modulo 16.
uint32_t rate(uint8_t fi, uint8_t di);

// The port speed whose window (the nominal speed +-3 %) holds `rate`; none
// when no window does.
std::optional<uint32_t> port_speed_for(uint32_t rate);

// The inverse-convention transform: bit 7 - i of the result is the
// complement of bit i. Its own inverse; turns 0x03 into 0x3F.
constexpr uint8_t inverse_transform(uint8_t byte) {
  uint8_t result = 0;
  for (unsigned bit = 0; bit < 8; ++bit) {
    if (((byte >> bit) & 1u) == 0) result = static_cast<uint8_t>(result | (0x80u >> bit));
  }
  return result;
}

}  // namespace kdx::tarsk::card
