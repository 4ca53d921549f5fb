#include "kdx/traced_port.h"

#include <cstdio>

#include "kdx/tool.h"
#include "platform/native.h"

namespace kdx::tool {
namespace {

std::string settings_text(const KDX_LineSettings& settings) {
  static constexpr char kParity[] = "NOEMS";
  static constexpr const char* kStop[] = {"1", "1.5", "2"};
  char text[64];
  std::snprintf(text, sizeof text, "%u %u%c%s", static_cast<unsigned>(settings.baud_rate),
                static_cast<unsigned>(settings.byte_size), settings.parity < 5 ? kParity[settings.parity] : '?',
                settings.stop_bits < 3 ? kStop[settings.stop_bits] : "?");
  return text;
}

}  // namespace

TracedPort::TracedPort(std::string device) : device_(std::move(device)) {
  backend_.version = KDX_PORT_BACKEND_VERSION;
  backend_.context = this;
  backend_.open = [](void* context) {
    TracedPort& port = self(context);
    port.port_ = platform::native::open_port(port.device_.c_str(), platform::OpenMode::blocking);
    return port.port_ != nullptr ? 0 : -1;
  };
  backend_.close = [](void* context) {
    TracedPort& port = self(context);
    if (port.port_ == nullptr) return 0;
    if (!port.port_->close()) return -1;
    delete port.port_;
    port.port_ = nullptr;
    return 0;
  };
  backend_.read = [](void* context, uint8_t* buffer, uint32_t count) -> int32_t {
    TracedPort& port = self(context);
    uint32_t done = 0;
    if (port.port_ == nullptr || !port.port_->read(buffer, count, nullptr, done)) return -1;
    if (done != 0) port.note('<', hex(buffer, done));
    return static_cast<int32_t>(done);
  };
  backend_.write = [](void* context, const uint8_t* buffer, uint32_t count) -> int32_t {
    TracedPort& port = self(context);
    uint32_t done = 0;
    if (port.port_ == nullptr || !port.port_->write(buffer, count, nullptr, done)) return -1;
    port.note('>', hex(buffer, done));
    return static_cast<int32_t>(done);
  };
  backend_.get_settings = [](void* context, KDX_LineSettings* settings) {
    TracedPort& port = self(context);
    return port.port_ != nullptr && port.port_->get_settings(*settings) ? 0 : -1;
  };
  backend_.set_settings = [](void* context, const KDX_LineSettings* settings) {
    TracedPort& port = self(context);
    if (port.port_ == nullptr || !port.port_->set_settings(*settings)) return -1;
    port.note('=', settings_text(*settings));
    return 0;
  };
  backend_.set_timeouts = [](void* context, const KDX_Timeouts* timeouts) {
    TracedPort& port = self(context);
    return port.port_ != nullptr && port.port_->set_timeouts(*timeouts) ? 0 : -1;
  };
  backend_.purge = [](void* context, uint32_t flags) {
    TracedPort& port = self(context);
    return port.port_ != nullptr && port.port_->purge(flags) ? 0 : -1;
  };
  backend_.setup_queues = [](void* context, uint32_t in_size, uint32_t out_size) {
    TracedPort& port = self(context);
    return port.port_ != nullptr && port.port_->setup_queues(in_size, out_size) ? 0 : -1;
  };
  backend_.set_event_mask = [](void* context, uint32_t mask) {
    TracedPort& port = self(context);
    return port.port_ != nullptr && port.port_->set_event_mask(mask) ? 0 : -1;
  };
  backend_.modem_status = [](void* context, uint32_t* status) {
    TracedPort& port = self(context);
    return port.port_ != nullptr && port.port_->modem_status(*status) ? 0 : -1;
  };
}

TracedPort::~TracedPort() {
  if (port_ != nullptr && port_->close()) delete port_;
}

void TracedPort::note(char direction, const std::string& text) {
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%10.3f ms %c ", ms, direction);
  lines_.push_back(stamp + text);
}

std::string TracedPort::format() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\n";
  return text;
}

}  // namespace kdx::tool
