// AT6601 driver: one large application zone and three of 256 bytes; the
// security codes of zones 2 to 4 have no attempt counter. The family's core
// (cards/at102.cpp) does the work.
#include "cards/large_card_exports.h"
#include "link/frame.h"
#include "link/primitives.h"

namespace kdx::velmor::at102 {
namespace {

bool without_counter(uint8_t index) { return index < kAt6601.counters.size() && !kAt6601.counters[index]; }

StatusCode verify_6601(uint8_t index, uint8_t first, uint8_t second) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (index >= kAt6601.codes.size()) return ST_BAD_INDEX;
  if (!without_counter(index)) return verify_large(kAt6601, index, first, second);
  const uint8_t code[] = {first, second};
  StatusCode status = present_code(kAt6601.codes[index].address, code, sizeof code);
  if (status == ST_OK) status = primitive::put_io(kIo, 1);
  // Nothing to read back: ST_OK means the code was presented.
  return status != ST_OK ? status : clock_pulses(1);
}

}  // namespace
}  // namespace kdx::velmor::at102

using namespace kdx::velmor;

extern "C" {

KDX_LARGE_CARD_EXPORTS(AT6601, at102::kAt6601)

KDX_API StatusCode KDX_CALL AT6601_VerifyPWD(uint32_t index, uint32_t first, uint32_t second) {
  return at102::verify_6601(cards::low8(index), cards::low8(first), cards::low8(second));
}

}  // extern "C"
