// The round keys the ciphers keep per thread are key material: they are
// wiped when the thread ends, when the library is unloaded (for threads still
// running then), and the old ones are overwritten whenever a key replaces
// them.
#pragma once

#include <cstddef>
#include <type_traits>

namespace kdx::crypto {

// Zeroes `size` bytes in a way the compiler may not drop as a dead store.
void wipe(void* data, std::size_t size);

namespace detail {
// A cache's place in the list of all threads' caches; the list needs no
// allocation, so nothing of it is left behind when the library is unloaded.
struct CacheLink {
  void* data;
  std::size_t size;
  CacheLink* previous = nullptr;
  CacheLink* next = nullptr;
};
void register_cache(CacheLink& link);
void unregister_cache(CacheLink& link);  // wipes it too
}  // namespace detail

// Wipes the caches of every thread that still has one. The library runs it
// as it is unloaded; no cipher call may run meanwhile.
void wipe_all_key_caches();
// The non-zero bytes in the caches of all threads alive now.
std::size_t held_key_bytes();

// One thread's cache: declare as thread_local.
template <typename Keys>
class ThreadKeyCache {
  static_assert(std::is_trivially_copyable_v<Keys>, "wiped as plain bytes");

 public:
  ThreadKeyCache() { detail::register_cache(link_); }
  ~ThreadKeyCache() { detail::unregister_cache(link_); }
  ThreadKeyCache(const ThreadKeyCache&) = delete;
  ThreadKeyCache& operator=(const ThreadKeyCache&) = delete;

  Keys keys{};

 private:
  detail::CacheLink link_{&keys, sizeof keys};
};

}  // namespace kdx::crypto
