// A port backend for fuzzing: the far end "sends" exactly the bytes of the
// fuzz input, in order, and then stays silent; whatever the library writes
// is dropped. Time advances by each read's total time-out when nothing is
// left, so deadline loops end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kdx_port.h"

namespace kdx::fuzz {

class ScriptedPort {
 public:
  ScriptedPort(const uint8_t* bytes, std::size_t size);
  const KDX_PortBackend& backend() const { return backend_; }
  bool exhausted() const { return next_ == size_; }

 private:
  static int32_t read(void* self, uint8_t* buffer, uint32_t count);
  static int32_t write(void* self, const uint8_t* buffer, uint32_t count);
  static int set_timeouts(void* self, const KDX_Timeouts* timeouts);
  static uint32_t tick_count(void* self);
  static void sleep(void* self, uint32_t milliseconds);

  const uint8_t* bytes_;
  std::size_t size_;
  std::size_t next_ = 0;
  uint32_t now_ms_ = 0;
  KDX_Timeouts timeouts_{};
  KDX_PortBackend backend_{};
};

}  // namespace kdx::fuzz
