#include "platform/crt_rand.h"

#include "platform/platform.h"

namespace kdx::platform {

void random_string(uint8_t* destination, uint8_t count) {
  if (count == 0 || destination == nullptr) return;
  CrtRandom generator;
  generator.seed(tick_count());
  destination[0] = static_cast<uint8_t>(generator.next() & 0xFF);
  for (unsigned i = 1; i < count; ++i) {
    generator.seed(destination[i - 1]);
    destination[i] = static_cast<uint8_t>(generator.next() & 0xFF);
  }
}

}  // namespace kdx::platform
