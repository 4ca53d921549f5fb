#include "fuzz/scripted_port.h"

namespace kdx::fuzz {

ScriptedPort::ScriptedPort(const uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {
  backend_.version = KDX_PORT_BACKEND_VERSION;
  backend_.context = this;
  backend_.read = &read;
  backend_.write = &write;
  backend_.set_timeouts = &set_timeouts;
  backend_.tick_count = &tick_count;
  backend_.sleep = &sleep;
}

int32_t ScriptedPort::read(void* self, uint8_t* buffer, uint32_t count) {
  auto& port = *static_cast<ScriptedPort*>(self);
  uint32_t done = 0;
  while (done < count && port.next_ < port.size_) buffer[done++] = port.bytes_[port.next_++];
  ++port.now_ms_;
  if (done < count) port.now_ms_ += port.timeouts_.read_total_constant + port.timeouts_.read_total_multiplier * count;
  return static_cast<int32_t>(done);
}

int32_t ScriptedPort::write(void* self, const uint8_t*, uint32_t count) {
  ++static_cast<ScriptedPort*>(self)->now_ms_;
  return static_cast<int32_t>(count);
}

int ScriptedPort::set_timeouts(void* self, const KDX_Timeouts* timeouts) {
  static_cast<ScriptedPort*>(self)->timeouts_ = *timeouts;
  return 0;
}

uint32_t ScriptedPort::tick_count(void* self) { return static_cast<ScriptedPort*>(self)->now_ms_; }

void ScriptedPort::sleep(void* self, uint32_t milliseconds) {
  static_cast<ScriptedPort*>(self)->now_ms_ += milliseconds;
}

}  // namespace kdx::fuzz
