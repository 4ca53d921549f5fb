// Front of the platform layer: per-index device names and plugged-in
// backends, the choice between backend and native port, the clock, and the
// thread hooks a virtual clock relies on.
//
// The tables change only while no port is open (set_* answer `busy`
// otherwise), so a library thread that runs while a port is open only ever
// reads them.
#include <array>
#include <cstring>
#include <new>

#include "backend_port.h"
#include "fault_points.h"
#include "native.h"
#include "platform.h"

namespace kdx::platform {
namespace {

struct IndexSlot {
  bool has_backend = false;
  KDX_PortBackend backend{};
  std::array<char, kMaxDevicePath + 1> device{};  // empty: the default name
};

std::array<IndexSlot, kPortIndexCount> g_slots;
std::atomic<int> g_open_ports{0};
// Index of the slot whose backend supplies the clock, or -1.
int g_clock_slot = -1;

const KDX_PortBackend* clock_backend() {
  return g_clock_slot < 0 ? nullptr : &g_slots[static_cast<std::size_t>(g_clock_slot)].backend;
}

void report_thread_event(int event) {
  const KDX_PortBackend* backend = clock_backend();
  if (backend != nullptr && backend->thread_event != nullptr) backend->thread_event(backend->context, event);
}

bool brings_clock(const KDX_PortBackend& backend) {
  return backend.tick_count != nullptr && backend.sleep != nullptr;
}

struct HookedStart {
  ThreadProc proc;
  void* argument;
};

uint32_t hooked_thread_main(void* raw) {
  const HookedStart start = *static_cast<HookedStart*>(raw);
  delete static_cast<HookedStart*>(raw);
  const uint32_t result = start.proc(start.argument);
  report_thread_event(KDX_THREAD_EXITING);
  return result;
}

}  // namespace

SeamResult set_port_device(uint32_t index, const char* path) {
  if (index >= kPortIndexCount) return SeamResult::bad_parameter;
  const std::size_t length = path == nullptr ? 0 : std::strlen(path);
  if (length > kMaxDevicePath) return SeamResult::bad_parameter;
  if (g_open_ports.load() != 0) return SeamResult::busy;
  auto& device = g_slots[index].device;
  device.fill('\0');
  if (length != 0) std::memcpy(device.data(), path, length);
  return SeamResult::ok;
}

SeamResult set_port_backend(uint32_t index, const KDX_PortBackend* backend) {
  if (index >= kPortIndexCount) return SeamResult::bad_parameter;
  if (backend != nullptr &&
      (backend->version != KDX_PORT_BACKEND_VERSION || backend->read == nullptr || backend->write == nullptr)) {
    return SeamResult::bad_parameter;
  }
  if (g_open_ports.load() != 0) return SeamResult::busy;
  IndexSlot& slot = g_slots[index];
  const int slot_number = static_cast<int>(index);
  if (backend == nullptr) {
    slot.has_backend = false;
    slot.backend = KDX_PortBackend{};
    if (g_clock_slot == slot_number) {
      g_clock_slot = -1;
      for (int i = 0; i < kPortIndexCount; ++i) {
        const IndexSlot& other = g_slots[static_cast<std::size_t>(i)];
        if (other.has_backend && brings_clock(other.backend)) g_clock_slot = i;
      }
    }
    return SeamResult::ok;
  }
  slot.has_backend = true;
  slot.backend = *backend;
  if (brings_clock(slot.backend)) {
    g_clock_slot = slot_number;
  } else if (g_clock_slot == slot_number) {
    g_clock_slot = -1;
  }
  return SeamResult::ok;
}

Port* open_port(uint8_t index, OpenMode mode) {
  if (index >= kPortIndexCount) return nullptr;
  const IndexSlot& slot = g_slots[index];
  Port* port = nullptr;
  if (slot.has_backend) {
    port = open_backend_port(slot.backend);
  } else if (slot.device[0] != '\0') {
    port = native::open_port(slot.device.data(), mode);
  } else {
    port = native::open_port(native::default_device(index).c_str(), mode);
  }
  if (port != nullptr) g_open_ports.fetch_add(1);
  return port;
}

bool close_port(Port* port) {
  if (port == nullptr) return true;
  if (!port->close()) return false;
  delete port;
  g_open_ports.fetch_sub(1);
  return true;
}

uint32_t tick_count() {
  const KDX_PortBackend* backend = clock_backend();
  return backend != nullptr ? backend->tick_count(backend->context) : native::tick_count();
}

void sleep_ms(uint32_t milliseconds) {
  const KDX_PortBackend* backend = clock_backend();
  if (backend != nullptr) {
    backend->sleep(backend->context, milliseconds);
  } else {
    native::sleep_ms(milliseconds);
  }
}

Event* create_event() {
  if (faults::should_fail(faults::Point::create_event)) return nullptr;
  return native::create_event();
}

bool close_event(Event* event) {
  if (faults::should_fail(faults::Point::close_event)) return false;
  return native::close_event(event);
}

bool set_event(Event* event) { return native::set_event(event); }

void* local_alloc_zeroed(std::size_t size) {
  if (faults::should_fail(faults::Point::local_alloc)) return nullptr;
  return native::local_alloc_zeroed(size);
}

bool local_free(void* block) {
  if (faults::should_fail(faults::Point::local_free)) return false;
  return native::local_free(block);
}

void* heap_alloc(std::size_t size) {
  if (faults::should_fail(faults::Point::heap_alloc)) return nullptr;
  return native::heap_alloc(size);
}

void heap_free(void* block) { native::heap_free(block); }

Thread* create_thread(ThreadProc proc, void* argument, std::atomic<uint32_t>& id_slot) {
  if (faults::should_fail(faults::Point::create_thread)) return nullptr;
  auto* start = new (std::nothrow) HookedStart{proc, argument};
  if (start == nullptr) return nullptr;
  report_thread_event(KDX_THREAD_CREATED);
  Thread* thread = native::create_thread(hooked_thread_main, start, id_slot);
  if (thread == nullptr) {
    delete start;
    report_thread_event(KDX_THREAD_EXITING);
  }
  return thread;
}

bool join_thread(Thread* thread) { return native::join_thread(thread); }

bool close_thread(Thread* thread) {
  if (faults::should_fail(faults::Point::close_thread)) return false;
  return native::close_thread(thread);
}

namespace faults {
namespace {
constexpr std::size_t kPointCount = static_cast<std::size_t>(Point::close_thread) + 1;
std::array<std::atomic<unsigned>, kPointCount> g_countdown{};
std::atomic<bool> g_any_armed{false};
}  // namespace

void arm(Point point, unsigned nth) {
  g_countdown[static_cast<std::size_t>(point)].store(nth);
  g_any_armed.store(true);
}

void disarm_all() {
  for (auto& countdown : g_countdown) countdown.store(0);
  g_any_armed.store(false);
}

bool should_fail(Point point) {
  if (!g_any_armed.load(std::memory_order_relaxed)) return false;
  auto& countdown = g_countdown[static_cast<std::size_t>(point)];
  unsigned left = countdown.load();
  while (left != 0) {
    if (countdown.compare_exchange_weak(left, left - 1)) return left == 1;
  }
  return false;
}

}  // namespace faults
}  // namespace kdx::platform
