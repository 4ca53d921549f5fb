// Fault points of the platform layer: a test arms one so that a later call of
// that kind fails, to reach the clean-up paths of session opening and closing
// that a healthy machine never takes. Unarmed points cost one relaxed load.
// Port operations fail through an attached backend instead (kdx_port.h).
#pragma once

#include <cstdint>

namespace kdx::platform::faults {

enum class Point : uint8_t {
  local_alloc,
  local_free,
  heap_alloc,
  create_event,
  close_event,
  create_thread,
  close_thread,
};

// The `nth` next call at `point` (1 = the very next one) fails; later calls
// succeed again.
void arm(Point point, unsigned nth = 1);
void disarm_all();

// Called by the implementations: true when this call is to fail.
bool should_fail(Point point);

}  // namespace kdx::platform::faults
