// AT1604 driver: 2048 bytes in four application zones, each with its own
// security code and erase key, every code with an 8-bit attempt counter.
// The family's core (cards/at102.cpp) does the work.
#include "cards/large_card_exports.h"
#include "link/frame.h"

namespace kdx::velmor::at102 {

StatusCode verify_large(const CardMap& map, uint8_t index, uint8_t first, uint8_t second) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (index >= map.codes.size()) return ST_BAD_INDEX;
  const uint8_t code[] = {first, second};
  const StatusCode status = present_code(map.codes[index].address, code, sizeof code);
  // The counter search begins with the release of I/O, then the closing
  // pulses bring the address past the counter byte and one bit more.
  return status != ST_OK ? status : verify_with_counter(kCounterAttempts, kCounterAttempts + 1);
}

}  // namespace kdx::velmor::at102

using namespace kdx::velmor;

extern "C" {

KDX_LARGE_CARD_EXPORTS(AT1604, at102::kAt1604)

KDX_API StatusCode KDX_CALL AT1604_VerifyPWD(uint32_t index, uint32_t first, uint32_t second) {
  return at102::verify_large(at102::kAt1604, cards::low8(index), cards::low8(first), cards::low8(second));
}

}  // extern "C"
