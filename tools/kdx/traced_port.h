// A real serial port handed to a library through the port seam, so that the
// tool can show what went over the line (--trace with --device): every byte
// written and read, with its time, and every change of line settings.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "kdx/t1_trace.h"
#include "kdx_port.h"

namespace kdx::platform {
class Port;
}

namespace kdx::tool {

class TracedPort {
 public:
  explicit TracedPort(std::string device);
  ~TracedPort();
  TracedPort(const TracedPort&) = delete;
  TracedPort& operator=(const TracedPort&) = delete;

  const KDX_PortBackend* backend() const { return &backend_; }
  // Every write, read and settings write, one event each.
  const std::vector<LineEvent>& events() const { return events_; }
  // One line per transfer: "  12.345 ms > 02" (to the reader or card),
  // "< 10" (from it), "= 9600 8E2" (line settings).
  std::string format() const;

 private:
  static TracedPort& self(void* context) { return *static_cast<TracedPort*>(context); }
  void note(LineEvent::Kind kind, const uint8_t* bytes, uint32_t count, const KDX_LineSettings* settings = nullptr);

  std::string device_;
  platform::Port* port_ = nullptr;
  KDX_PortBackend backend_{};
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<LineEvent> events_;
};

// A line trace as text, one line per event: its time, '>' (written), '<'
// (read) or '=' (line settings), and its bytes. With `decoding`, a read's
// echo is marked and each decoded block follows the event that completed
// it. `merge` joins runs of bytes in one direction (a trace of single
// bytes) up to the end of a block.
std::string format_line_trace(const std::vector<LineEvent>& events, const LineDecoding* decoding, bool merge);

}  // namespace kdx::tool
