#include "backend_port.h"

#include <new>

namespace kdx::platform {
namespace {

template <typename Callback, typename... Args>
bool succeeds(Callback callback, void* context, Args... args) {
  return callback == nullptr || callback(context, args...) == 0;
}

// The table's count is trusted only within what was asked for.
bool accept_count(int32_t result, uint32_t asked, uint32_t& done) {
  done = 0;
  if (result < 0 || static_cast<uint32_t>(result) > asked) return false;
  done = static_cast<uint32_t>(result);
  return true;
}

class BackendPort final : public Port {
 public:
  explicit BackendPort(const KDX_PortBackend& backend) : backend_(backend) {}

  bool set_event_mask(uint32_t mask) override {
    return succeeds(backend_.set_event_mask, backend_.context, mask);
  }
  bool setup_queues(uint32_t in_size, uint32_t out_size) override {
    return succeeds(backend_.setup_queues, backend_.context, in_size, out_size);
  }
  bool purge(uint32_t flags) override { return succeeds(backend_.purge, backend_.context, flags); }
  bool set_timeouts(const Timeouts& timeouts) override {
    return succeeds(backend_.set_timeouts, backend_.context, &timeouts);
  }
  bool get_settings(LineSettings& settings) override {
    if (backend_.get_settings == nullptr) return true;
    LineSettings reported = settings;
    if (backend_.get_settings(backend_.context, &reported) != 0) return false;
    settings = reported;
    return true;
  }
  bool set_settings(const LineSettings& settings) override {
    return succeeds(backend_.set_settings, backend_.context, &settings);
  }
  bool modem_status(uint32_t& status) override {
    if (backend_.modem_status == nullptr) {
      status = 0;
      return true;
    }
    uint32_t reported = 0;
    if (backend_.modem_status(backend_.context, &reported) != 0) return false;
    status = reported;
    return true;
  }
  bool read(uint8_t* buffer, uint32_t count, IoRecord* /*overlapped*/, uint32_t& done) override {
    return accept_count(backend_.read(backend_.context, buffer, count), count, done);
  }
  bool write(const uint8_t* buffer, uint32_t count, IoRecord* /*overlapped*/, uint32_t& done) override {
    return accept_count(backend_.write(backend_.context, buffer, count), count, done);
  }
  bool close() override { return succeeds(backend_.close, backend_.context); }

 private:
  const KDX_PortBackend& backend_;
};

}  // namespace

Port* open_backend_port(const KDX_PortBackend& backend) {
  if (!succeeds(backend.open, backend.context)) return nullptr;
  Port* port = new (std::nothrow) BackendPort(backend);
  if (port == nullptr) succeeds(backend.close, backend.context);
  return port;
}

}  // namespace kdx::platform
