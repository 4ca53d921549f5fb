#include "crypto/key_cache.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace kdx::crypto {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::pair<void*, std::size_t>> caches;
};

// Never destroyed: a thread may end (and unregister) after the library's
// static objects are gone.
Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
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

void register_cache(void* data, std::size_t size) {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  r.caches.emplace_back(data, size);
}

void unregister_cache(void* data, std::size_t size) {
  wipe(data, size);
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  const auto found = std::find(r.caches.begin(), r.caches.end(), std::pair{data, size});
  if (found != r.caches.end()) r.caches.erase(found);
}

}  // namespace detail

void wipe_all_key_caches() {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  for (const auto& [data, size] : r.caches) wipe(data, size);
}

std::size_t held_key_bytes() {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  std::size_t held = 0;
  for (const auto& [data, size] : r.caches) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    held += static_cast<std::size_t>(std::count_if(bytes, bytes + size, [](unsigned char b) { return b != 0; }));
  }
  return held;
}

}  // namespace kdx::crypto
