// A port backend for fuzzing: the far end "sends" exactly the bytes of the
// fuzz input, in order, and then stays silent; whatever the library writes
// is dropped. Time advances by each read's total time-out when nothing is
// left, so deadline loops end.
//
// As the serial-line interface device (LineDevice), the far end also keeps
// DSR on while DTR is on and CTS on (a card in the slot), gives every host
// byte back before anything else, and lets the card's bytes (the input)
// through only while RTS is off, at most `chunk` bytes a read after
// `gap_reads` empty reads. A library thread may then call modem_status and
// sleep while the caller is in any other callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "kdx_port.h"

namespace kdx::fuzz {

class ScriptedPort {
 public:
  struct LineDevice {
    uint32_t chunk;      // card bytes a read delivers at most; 0: as many as asked
    uint32_t gap_reads;  // empty reads before each chunk
  };

  ScriptedPort(const uint8_t* bytes, std::size_t size, std::optional<LineDevice> line = std::nullopt);
  const KDX_PortBackend& backend() const { return backend_; }
  bool exhausted() const { return next_ == size_; }

 private:
  static int32_t read(void* self, uint8_t* buffer, uint32_t count);
  static int32_t write(void* self, const uint8_t* buffer, uint32_t count);
  static int set_timeouts(void* self, const KDX_Timeouts* timeouts);
  static int get_settings(void* self, KDX_LineSettings* settings);
  static int set_settings(void* self, const KDX_LineSettings* settings);
  static int purge(void* self, uint32_t flags);
  static int modem_status(void* self, uint32_t* status);
  static uint32_t tick_count(void* self);
  static void sleep(void* self, uint32_t milliseconds);

  // How many script bytes the next read may take, of `count`.
  uint32_t script_allowance(uint32_t count);

  const uint8_t* bytes_;
  std::size_t size_;
  std::size_t next_ = 0;
  std::atomic<uint32_t> now_ms_{0};
  KDX_Timeouts timeouts_{};
  KDX_PortBackend backend_{};

  std::optional<LineDevice> line_;
  KDX_LineSettings settings_{};
  std::atomic<bool> dtr_on_{false};
  std::deque<uint8_t> echo_;
  uint32_t gap_left_ = 0;
};

}  // namespace kdx::fuzz
