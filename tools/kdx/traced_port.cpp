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
    if (done != 0) port.note(LineEvent::Kind::from_line, buffer, done);
    return static_cast<int32_t>(done);
  };
  backend_.write = [](void* context, const uint8_t* buffer, uint32_t count) -> int32_t {
    TracedPort& port = self(context);
    uint32_t done = 0;
    if (port.port_ == nullptr || !port.port_->write(buffer, count, nullptr, done)) return -1;
    port.note(LineEvent::Kind::to_card, buffer, done);
    return static_cast<int32_t>(done);
  };
  backend_.get_settings = [](void* context, KDX_LineSettings* settings) {
    TracedPort& port = self(context);
    return port.port_ != nullptr && port.port_->get_settings(*settings) ? 0 : -1;
  };
  backend_.set_settings = [](void* context, const KDX_LineSettings* settings) {
    TracedPort& port = self(context);
    if (port.port_ == nullptr || !port.port_->set_settings(*settings)) return -1;
    port.note(LineEvent::Kind::settings, nullptr, 0, settings);
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

void TracedPort::note(LineEvent::Kind kind, const uint8_t* bytes, uint32_t count, const KDX_LineSettings* settings) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count();
  LineEvent event{kind, static_cast<uint64_t>(ns), std::vector<uint8_t>(bytes, bytes + count), false, {}};
  if (settings != nullptr) {
    event.rts_on = settings->rts_control == KDX_LINE_CONTROL_ENABLE;
    event.settings = settings_text(*settings);
  }
  events_.push_back(std::move(event));
}

std::string TracedPort::format() const { return format_line_trace(events_, nullptr, false); }

std::string format_line_trace(const std::vector<LineEvent>& events, const LineDecoding* decoding, bool merge) {
  static constexpr std::size_t kTextColumn = 18;
  std::string text;
  std::size_t next_block = 0;
  const auto ends_block = [&](std::size_t index) {
    return decoding != nullptr && next_block < decoding->blocks.size() && decoding->blocks[next_block].event == index;
  };
  for (std::size_t index = 0; index < events.size(); ++index) {
    const LineEvent& event = events[index];
    char stamp[32];
    const char direction = event.kind == LineEvent::Kind::to_card ? '>' : event.kind == LineEvent::Kind::from_line ? '<' : '=';
    std::snprintf(stamp, sizeof stamp, "%10.3f ms %c ", static_cast<double>(event.time_ns) / 1e6, direction);
    text += stamp;
    if (event.kind == LineEvent::Kind::settings) {
      text += event.settings;
    } else {
      std::vector<uint8_t> run = event.bytes;
      std::size_t echo = decoding != nullptr ? decoding->echo[index] : 0;
      while (merge && !ends_block(index) && index + 1 < events.size() && events[index + 1].kind == event.kind) {
        ++index;
        run.insert(run.end(), events[index].bytes.begin(), events[index].bytes.end());
        if (decoding != nullptr) echo += decoding->echo[index];
      }
      text += hex(run.data(), run.size());
      if (echo != 0 && echo == run.size()) {
        text += "  (echo)";
      } else if (echo != 0) {
        char note[48];
        std::snprintf(note, sizeof note, "  (the first %zu: echo)", echo);
        text += note;
      }
    }
    text += "\n";
    for (; ends_block(index); ++next_block) text += std::string(kTextColumn, ' ') + decoding->blocks[next_block].text + "\n";
  }
  return text;
}

}  // namespace kdx::tool
