#include "sim/virtual_port.h"

#include <algorithm>

namespace kdx::sim {
namespace {

constexpr uint32_t kNoWait = 0xFFFFFFFFu;

VirtualPort& port_of(void* self) { return *static_cast<VirtualPort*>(self); }

}  // namespace

uint64_t character_time_ns(const LineSettings& settings) {
  // In half bits, so that one and a half stop bits count exactly.
  uint64_t half_bits = 2 * (1 + static_cast<uint64_t>(settings.byte_size == 0 ? 8 : settings.byte_size));
  if (settings.parity != KDX_PARITY_NONE) half_bits += 2;
  switch (settings.stop_bits) {
    case KDX_STOPBITS_ONE_HALF: half_bits += 3; break;
    case KDX_STOPBITS_TWO: half_bits += 4; break;
    default: half_bits += 2; break;
  }
  const uint64_t baud = settings.baud_rate == 0 ? 9600 : settings.baud_rate;
  return half_bits * 1'000'000'000ull / (2 * baud);
}

VirtualPort::VirtualPort(VirtualClock& clock) : clock_(clock) {
  settings_.baud_rate = 9600;
  settings_.byte_size = 8;
  settings_.dtr_control = KDX_LINE_CONTROL_ENABLE;
  settings_.rts_control = KDX_LINE_CONTROL_ENABLE;
  backend_.version = KDX_PORT_BACKEND_VERSION;
  backend_.context = this;
  backend_.open = &cb_open;
  backend_.close = &cb_close;
  backend_.read = &cb_read;
  backend_.write = &cb_write;
  backend_.get_settings = &cb_get_settings;
  backend_.set_settings = &cb_set_settings;
  backend_.set_timeouts = &cb_set_timeouts;
  backend_.purge = &cb_purge;
  backend_.modem_status = &cb_modem_status;
  backend_.tick_count = &cb_tick_count;
  backend_.sleep = &cb_sleep;
  backend_.thread_event = &cb_thread_event;
}

void VirtualPort::attach(LinePeer* peer) {
  auto held = clock_.lock();
  peer_ = peer;
}

void VirtualPort::fail(PortOp op, unsigned nth) {
  auto held = clock_.lock();
  fail_countdown_[static_cast<std::size_t>(op)] = nth;
}

bool VirtualPort::failing(PortOp op) {
  unsigned& countdown = fail_countdown_[static_cast<std::size_t>(op)];
  if (countdown == 0) return false;
  return --countdown == 0;
}

bool VirtualPort::is_open() const {
  auto held = clock_.lock();
  return open_;
}

LineSettings VirtualPort::settings() const {
  auto held = clock_.lock();
  return settings_;
}

KDX_Timeouts VirtualPort::timeouts() const {
  auto held = clock_.lock();
  return timeouts_;
}

std::size_t VirtualPort::pending_input() const {
  auto held = clock_.lock();
  return input_.size();
}

unsigned VirtualPort::open_count() const {
  auto held = clock_.lock();
  return open_count_;
}

bool VirtualPort::dsr_on() const {
  return peer_ != nullptr && (peer_->modem_status(clock_.now_ns()) & KDX_MODEM_DSR_ON) != 0;
}

void VirtualPort::deliver_at(uint8_t byte, uint64_t arrival_ns) {
  auto held = clock_.lock();
  const uint64_t generation = generation_;
  clock_.schedule(arrival_ns, [this, byte, generation] {
    if (generation != generation_ || !open_) return;
    if (settings_.dsr_sensitivity != 0 && !dsr_on()) return;
    input_.push_back(byte);
  });
}

void VirtualPort::send(uint8_t byte) {
  auto held = clock_.lock();
  const uint64_t start = std::max(clock_.now_ns(), device_wire_free_ns_);
  device_wire_free_ns_ = start + character_time_ns(settings_);
  deliver_at(byte, device_wire_free_ns_);
}

void VirtualPort::cancel_pending() {
  auto held = clock_.lock();
  ++generation_;
  device_wire_free_ns_ = clock_.now_ns();
}

int32_t VirtualPort::read(uint8_t* buffer, uint32_t count) {
  {
    auto held = clock_.lock();
    if (!open_ || failing(PortOp::read)) return -1;
  }
  const KDX_Timeouts t = timeouts();
  const bool return_at_once =
      t.read_interval == kNoWait && t.read_total_multiplier == 0 && t.read_total_constant == 0;
  const uint64_t total_ms = static_cast<uint64_t>(t.read_total_multiplier) * count + t.read_total_constant;
  const uint64_t start = clock_.now_ns();
  const uint64_t total_deadline = total_ms != 0 ? start + total_ms * kNsPerMs : kForever;
  uint32_t done = 0;
  uint64_t last_byte_ns = start;
  const std::function<bool()> has_input = [this] { return !input_.empty(); };
  for (;;) {
    {
      auto held = clock_.lock();
      if (!open_) return -1;
      while (done < count && !input_.empty()) {
        buffer[done++] = input_.front();
        input_.pop_front();
        last_byte_ns = clock_.now_ns();
      }
    }
    if (done == count || return_at_once) break;
    uint64_t deadline = total_deadline;
    if (done != 0 && t.read_interval != 0 && t.read_interval != kNoWait) {
      deadline = std::min(deadline, last_byte_ns + t.read_interval * kNsPerMs);
    }
    if (!clock_.wait_until(deadline, has_input)) break;
  }
  return static_cast<int32_t>(done);
}

int32_t VirtualPort::write(const uint8_t* buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    LineSettings sent_with{};
    {
      auto held = clock_.lock();
      if (!open_ || failing(PortOp::write)) return i == 0 ? -1 : static_cast<int32_t>(i);
      sent_with = settings_;
    }
    if (sent_with.out_dsr_flow != 0) {
      // Output waits for DSR; with no write time-out it may never come.
      const std::function<bool()> dsr = [this] { return dsr_on(); };
      if (!clock_.wait_until(kForever, dsr)) return static_cast<int32_t>(i);
    }
    clock_.sleep_ns(character_time_ns(sent_with));
    auto held = clock_.lock();
    if (peer_ != nullptr) peer_->on_host_byte(buffer[i], sent_with, clock_.now_ns());
  }
  return static_cast<int32_t>(count);
}

int VirtualPort::cb_open(void* self) {
  VirtualPort& port = port_of(self);
  auto held = port.clock_.lock();
  if (port.open_ || port.failing(PortOp::open)) return -1;
  port.open_ = true;
  ++port.open_count_;
  port.input_.clear();
  ++port.generation_;  // bytes still on the way belonged to an earlier opening
  if (port.peer_ != nullptr) port.peer_->on_port_open(port.clock_.now_ns());
  return 0;
}

int VirtualPort::cb_close(void* self) {
  VirtualPort& port = port_of(self);
  auto held = port.clock_.lock();
  if (port.failing(PortOp::close)) return -1;
  port.open_ = false;
  port.input_.clear();
  ++port.generation_;
  if (port.peer_ != nullptr) port.peer_->on_port_close(port.clock_.now_ns());
  return 0;
}

int32_t VirtualPort::cb_read(void* self, uint8_t* buffer, uint32_t count) { return port_of(self).read(buffer, count); }

int32_t VirtualPort::cb_write(void* self, const uint8_t* buffer, uint32_t count) {
  return port_of(self).write(buffer, count);
}

int VirtualPort::cb_get_settings(void* self, KDX_LineSettings* settings) {
  VirtualPort& port = port_of(self);
  auto held = port.clock_.lock();
  if (port.failing(PortOp::get_settings)) return -1;
  *settings = port.settings_;
  return 0;
}

int VirtualPort::cb_set_settings(void* self, const KDX_LineSettings* settings) {
  VirtualPort& port = port_of(self);
  auto held = port.clock_.lock();
  if (port.failing(PortOp::set_settings)) return -1;
  port.settings_ = *settings;
  if (port.peer_ != nullptr) port.peer_->on_settings(port.settings_, port.clock_.now_ns());
  return 0;
}

int VirtualPort::cb_set_timeouts(void* self, const KDX_Timeouts* timeouts) {
  VirtualPort& port = port_of(self);
  auto held = port.clock_.lock();
  if (port.failing(PortOp::set_timeouts)) return -1;
  port.timeouts_ = *timeouts;
  return 0;
}

int VirtualPort::cb_purge(void* self, uint32_t flags) {
  VirtualPort& port = port_of(self);
  auto held = port.clock_.lock();
  if (port.failing(PortOp::purge)) return -1;
  if ((flags & KDX_PURGE_RXCLEAR) != 0) port.input_.clear();
  return 0;
}

int VirtualPort::cb_modem_status(void* self, uint32_t* status) {
  VirtualPort& port = port_of(self);
  auto held = port.clock_.lock();
  if (port.failing(PortOp::modem_status)) return -1;
  *status = port.peer_ != nullptr ? port.peer_->modem_status(port.clock_.now_ns()) : 0;
  return 0;
}

uint32_t VirtualPort::cb_tick_count(void* self) { return port_of(self).clock_.tick_ms(); }

void VirtualPort::cb_sleep(void* self, uint32_t milliseconds) { port_of(self).clock_.sleep_ms(milliseconds); }

void VirtualPort::cb_thread_event(void* self, int event) {
  VirtualClock& clock = port_of(self).clock_;
  if (event == KDX_THREAD_CREATED) clock.thread_created();
  if (event == KDX_THREAD_EXITING) clock.thread_exiting();
}

}  // namespace kdx::sim
