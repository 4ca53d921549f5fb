#include "fuzz/scripted_port.h"

#include <algorithm>
#include <thread>

namespace kdx::fuzz {

ScriptedPort::ScriptedPort(const uint8_t* bytes, std::size_t size, std::optional<LineDevice> line)
    : bytes_(bytes), size_(size), line_(line) {
  backend_.version = KDX_PORT_BACKEND_VERSION;
  backend_.context = this;
  backend_.read = &read;
  backend_.write = &write;
  backend_.set_timeouts = &set_timeouts;
  backend_.tick_count = &tick_count;
  backend_.sleep = &sleep;
  if (line_) {
    backend_.get_settings = &get_settings;
    backend_.set_settings = &set_settings;
    backend_.purge = &purge;
    backend_.modem_status = &modem_status;
    gap_left_ = line_->gap_reads;
  }
}

uint32_t ScriptedPort::script_allowance(uint32_t count) {
  if (!line_) return count;
  if (settings_.rts_control == KDX_LINE_CONTROL_ENABLE) return 0;  // the card is held in reset
  if (gap_left_ != 0) {
    --gap_left_;
    return 0;
  }
  gap_left_ = line_->gap_reads;
  return line_->chunk == 0 ? count : std::min(count, line_->chunk);
}

int32_t ScriptedPort::read(void* self, uint8_t* buffer, uint32_t count) {
  auto& port = *static_cast<ScriptedPort*>(self);
  uint32_t done = 0;
  while (done < count && !port.echo_.empty()) {
    buffer[done++] = port.echo_.front();
    port.echo_.pop_front();
  }
  const uint32_t allowed = done + port.script_allowance(count - done);
  while (done < allowed && port.next_ < port.size_) buffer[done++] = port.bytes_[port.next_++];
  ++port.now_ms_;
  if (done < count) port.now_ms_ += port.timeouts_.read_total_constant + port.timeouts_.read_total_multiplier * count;
  return static_cast<int32_t>(done);
}

int32_t ScriptedPort::write(void* self, const uint8_t* buffer, uint32_t count) {
  auto& port = *static_cast<ScriptedPort*>(self);
  ++port.now_ms_;
  if (port.line_) port.echo_.insert(port.echo_.end(), buffer, buffer + count);
  return static_cast<int32_t>(count);
}

int ScriptedPort::set_timeouts(void* self, const KDX_Timeouts* timeouts) {
  static_cast<ScriptedPort*>(self)->timeouts_ = *timeouts;
  return 0;
}

int ScriptedPort::get_settings(void* self, KDX_LineSettings* settings) {
  *settings = static_cast<ScriptedPort*>(self)->settings_;
  return 0;
}

int ScriptedPort::set_settings(void* self, const KDX_LineSettings* settings) {
  auto& port = *static_cast<ScriptedPort*>(self);
  port.settings_ = *settings;
  port.dtr_on_ = settings->dtr_control == KDX_LINE_CONTROL_ENABLE;
  return 0;
}

int ScriptedPort::purge(void* self, uint32_t flags) {
  if ((flags & KDX_PURGE_RXCLEAR) != 0) static_cast<ScriptedPort*>(self)->echo_.clear();
  return 0;
}

int ScriptedPort::modem_status(void* self, uint32_t* status) {
  *status = KDX_MODEM_CTS_ON | (static_cast<ScriptedPort*>(self)->dtr_on_ ? KDX_MODEM_DSR_ON : 0u);
  return 0;
}

uint32_t ScriptedPort::tick_count(void* self) { return static_cast<ScriptedPort*>(self)->now_ms_; }

void ScriptedPort::sleep(void* self, uint32_t milliseconds) {
  static_cast<ScriptedPort*>(self)->now_ms_ += milliseconds;
  // A library thread sleeping in a loop lets the others run.
  std::this_thread::yield();
}

}  // namespace kdx::fuzz
