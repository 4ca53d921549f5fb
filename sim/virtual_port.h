// The host side of a simulated serial line, served to a library through the
// port backend table of kdx_port.h, on a virtual clock.
//
// Bytes take their time on the wire: start bit, data bits, parity bit and
// stop bits at the line's baud rate. A host write returns once its bytes are
// out, each handed to the device at the end of its own character time; the
// device's bytes reach the host's receive queue when their last bit has
// arrived. Reads follow the Windows time-out rules (interval and total).
//
// The device at the other end (a LinePeer: a reader's firmware, an interface
// device with a card) is called under the clock's lock.
#pragma once

#include <array>
#include <cstdint>
#include <deque>

#include "kdx_port.h"
#include "sim/virtual_clock.h"

namespace kdx::sim {

using LineSettings = KDX_LineSettings;

class LinePeer {
 public:
  virtual ~LinePeer() = default;
  // A byte from the host, complete at `now_ns`, sent with `settings`.
  virtual void on_host_byte(uint8_t byte, const LineSettings& settings, uint64_t now_ns) = 0;
  // The host wrote new line settings (rate, framing, DTR, RTS).
  virtual void on_settings(const LineSettings& /*settings*/, uint64_t /*now_ns*/) {}
  // The modem status lines the device drives (KDX_MODEM_...).
  virtual uint32_t modem_status(uint64_t /*now_ns*/) { return 0; }
  virtual void on_port_open(uint64_t /*now_ns*/) {}
  virtual void on_port_close(uint64_t /*now_ns*/) {}
};

// Port operations a test can make fail.
enum class PortOp : uint8_t {
  open,
  close,
  read,
  write,
  get_settings,
  set_settings,
  set_timeouts,
  purge,
  modem_status,
};
inline constexpr std::size_t kPortOpCount = static_cast<std::size_t>(PortOp::modem_status) + 1;

// Nanoseconds one character takes on the line with these settings.
uint64_t character_time_ns(const LineSettings& settings);

class VirtualPort {
 public:
  explicit VirtualPort(VirtualClock& clock);
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;

  void attach(LinePeer* peer);
  // The table to hand to KDX_SetPortBackend; it supplies the clock too.
  const KDX_PortBackend& backend() const { return backend_; }
  VirtualClock& clock() { return clock_; }

  // Device side, called with the clock's lock held (from LinePeer callbacks)
  // or from a test. send() queues a byte behind whatever the device is
  // already sending; deliver_at() puts one on the host's receive side at a
  // given time (an echo arriving with the host's own character, say).
  void send(uint8_t byte);
  void deliver_at(uint8_t byte, uint64_t arrival_ns);
  // The device goes quiet: bytes it had queued but not yet delivered are lost.
  void cancel_pending();

  // The `nth` next call of `op` fails (1: the very next one).
  void fail(PortOp op, unsigned nth = 1);

  bool is_open() const;
  LineSettings settings() const;
  KDX_Timeouts timeouts() const;
  std::size_t pending_input() const;
  unsigned open_count() const;

 private:
  static int cb_open(void* self);
  static int cb_close(void* self);
  static int32_t cb_read(void* self, uint8_t* buffer, uint32_t count);
  static int32_t cb_write(void* self, const uint8_t* buffer, uint32_t count);
  static int cb_get_settings(void* self, KDX_LineSettings* settings);
  static int cb_set_settings(void* self, const KDX_LineSettings* settings);
  static int cb_set_timeouts(void* self, const KDX_Timeouts* timeouts);
  static int cb_purge(void* self, uint32_t flags);
  static int cb_modem_status(void* self, uint32_t* status);
  static uint32_t cb_tick_count(void* self);
  static void cb_sleep(void* self, uint32_t milliseconds);
  static void cb_thread_event(void* self, int event);

  bool failing(PortOp op);
  int32_t read(uint8_t* buffer, uint32_t count);
  int32_t write(const uint8_t* buffer, uint32_t count);
  bool dsr_on() const;

  VirtualClock& clock_;
  KDX_PortBackend backend_{};
  LinePeer* peer_ = nullptr;
  bool open_ = false;
  unsigned open_count_ = 0;
  LineSettings settings_{};
  KDX_Timeouts timeouts_{};
  std::deque<uint8_t> input_;
  uint64_t device_wire_free_ns_ = 0;
  uint64_t generation_ = 0;  // bumped by cancel_pending and purges of pending bytes
  std::array<unsigned, kPortOpCount> fail_countdown_{};
};

}  // namespace kdx::sim
