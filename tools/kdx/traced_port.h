// A real serial port handed to a library through the port seam, so that the
// tool can show what went over the line (--trace with --device): every byte
// written and read, with its time, and every change of line settings.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

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
  // One line per transfer: "  12.345 ms > 02" (to the reader or card),
  // "< 10" (from it), "= 9600 8E2" (line settings).
  std::string format() const;

 private:
  static TracedPort& self(void* context) { return *static_cast<TracedPort*>(context); }
  void note(char direction, const std::string& text);

  std::string device_;
  platform::Port* port_ = nullptr;
  KDX_PortBackend backend_{};
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<std::string> lines_;
};

}  // namespace kdx::tool
