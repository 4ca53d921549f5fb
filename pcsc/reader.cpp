#include "pcsc/reader.h"

#include <bit>

namespace kdx::ifd {

std::size_t iso_atr_length(std::span<const uint8_t> bytes) {
  constexpr uint8_t kTd = 0x80;
  constexpr uint8_t kInterfaceBits = 0x70;
  constexpr uint8_t kProtocolNibble = 0x0F;
  if (bytes.size() < 2) return 0;
  std::size_t length = 2;
  const std::size_t historical = bytes[1] & 0x0F;
  uint8_t y = bytes[1];
  bool tck = false;
  std::size_t at = 1;  // the byte that announced the next group
  // Bound: each group moves past at least its TDi, so the walk ends within
  // the bytes given.
  for (;;) {
    length += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(y & kInterfaceBits)));
    if ((y & kTd) == 0) break;
    at = length;
    length += 1;
    if (length > bytes.size()) return 0;
    y = bytes[at];
    if ((y & kProtocolNibble) != 0) tck = true;
  }
  length += historical + (tck ? 1 : 0);
  return length <= bytes.size() ? length : 0;
}

}  // namespace kdx::ifd
