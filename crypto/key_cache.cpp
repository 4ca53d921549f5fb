#include "crypto/key_cache.h"

#include <algorithm>
#include <atomic>

namespace kdx::crypto {
namespace {

// Constant-initialised, allocation-free and trivially destroyed, so that a
// thread ending after the library's static objects are gone still finds a
// usable list. A spin lock, since every toolchain we build with has atomics
// but not all have std::mutex, and the lock is held only to link or unlink
// one cache or to wipe them.
class SpinLock {
 public:
  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_{};
};

constinit SpinLock g_lock;
constinit detail::CacheLink* g_first = nullptr;

struct Guard {
  Guard() { g_lock.lock(); }
  ~Guard() { g_lock.unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

template <typename Visit>
void for_each_cache(Visit visit) {
  for (const detail::CacheLink* link = g_first; link != nullptr; link = link->next) visit(*link);
}

// Runs as the library is unloaded or the process exits.
struct WipeOnUnload {
  WipeOnUnload() = default;
  WipeOnUnload(const WipeOnUnload&) = delete;
  WipeOnUnload& operator=(const WipeOnUnload&) = delete;
  ~WipeOnUnload() { wipe_all_key_caches(); }
};
const WipeOnUnload wipe_on_unload;

}  // namespace

void wipe(void* data, std::size_t size) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

namespace detail {

void register_cache(CacheLink& link) {
  const Guard guard;
  link.previous = nullptr;
  link.next = g_first;
  if (g_first != nullptr) g_first->previous = &link;
  g_first = &link;
}

void unregister_cache(CacheLink& link) {
  wipe(link.data, link.size);
  const Guard guard;
  if (link.previous != nullptr) {
    link.previous->next = link.next;
  } else if (g_first == &link) {
    g_first = link.next;
  }
  if (link.next != nullptr) link.next->previous = link.previous;
  link.previous = link.next = nullptr;
}

}  // namespace detail

void wipe_all_key_caches() {
  const Guard guard;
  for_each_cache([](const detail::CacheLink& link) { wipe(link.data, link.size); });
}

std::size_t held_key_bytes() {
  const Guard guard;
  std::size_t held = 0;
  for_each_cache([&held](const detail::CacheLink& link) {
    const auto* bytes = static_cast<const unsigned char*>(link.data);
    held += static_cast<std::size_t>(std::count_if(bytes, bytes + link.size, [](unsigned char b) { return b != 0; }));
  });
  return held;
}

}  // namespace kdx::crypto
