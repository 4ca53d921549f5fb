// The random-string generator both libraries export. It reproduces the
// srand/rand pair of the Windows C runtime the libraries were built for
// (a 32-bit linear congruential generator yielding 15-bit values), so that
// every build gives the same bytes for the same seed.
//
// Not suitable for secrets, keys or authentication challenges: each byte is
// a fixed function of the byte before it, so the whole string follows from
// its first byte, and the first byte from the millisecond tick count.
#pragma once

#include <cstdint>

namespace kdx::platform {

class CrtRandom {
 public:
  void seed(uint32_t value) { state_ = value; }
  // 0 to 32767.
  uint32_t next() {
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & 0x7FFFu;
  }

 private:
  uint32_t state_ = 1;
};

// Fills `count` bytes: byte 0 is the low 8 bits of rand() after
// srand(tick count); every later byte the low 8 bits of rand() after
// srand(the byte before it).
void random_string(uint8_t* destination, uint8_t count);

}  // namespace kdx::platform
