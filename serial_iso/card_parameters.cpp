#include "serial_iso/card_parameters.h"

namespace kdx::tarsk::card {
namespace {

constexpr uint8_t kIndexMask = 0x0F;

struct SpeedWindow {
  uint32_t lowest;
  uint32_t highest;
  uint32_t speed;
};

// Searched in this order; the first window holding the rate wins.
constexpr SpeedWindow kSpeedWindows[] = {
    {111744, 118656, 115200}, {55872, 59328, 57600}, {37248, 39552, 38400},
    {18624, 19776, 19200},    {9312, 9888, 9600},
};

}  // namespace

uint32_t rate(uint8_t fi, uint8_t di) {
  const long double bits_per_second =
      static_cast<long double>(kDi[di & kIndexMask]) * kClockHz / kFi[fi & kIndexMask];
  return static_cast<uint32_t>(bits_per_second);
}

std::optional<uint32_t> port_speed_for(uint32_t rate) {
  for (const SpeedWindow& window : kSpeedWindows) {
    if (rate >= window.lowest && rate <= window.highest) return window.speed;
  }
  return std::nullopt;
}

}  // namespace kdx::tarsk::card
