#include "pcsc/library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

namespace kdx::ifd {
namespace {

constexpr int kFlags = RTLD_NOW | RTLD_LOCAL;

struct Pool {
  std::string path;  // the file the first instance came from
  std::vector<void*> free;
};

// Never destroyed, like the channels that hold instances.
std::mutex& pool_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::map<std::string, Pool>& pools() {
  static auto* all = new std::map<std::string, Pool>;
  return *all;
}

std::string dl_error() {
  const char* error = dlerror();
  return error != nullptr ? error : "unknown failure";
}

// The directory of this handler's own file.
std::string own_directory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&own_directory), &info) == 0 || info.dli_fname == nullptr) return "";
  std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string loaded_path(void* handle, const std::string& fallback) {
  link_map* map = nullptr;
  return dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr ? map->l_name : fallback;
}

void* load_copy(const std::string& path, const std::string& file, std::string& error);

// The build tree (the handler in pcsc/ beside the libraries), then the
// installed library directory, then the loader's own search. A library the
// process has loaded already (an application of its own, another copy of
// the handler) is someone else's session: a copy of it is taken instead.
void* load_first(const std::string& file, std::string& path, std::string& error) {
  std::vector<std::string> candidates;
  const std::string directory = own_directory();
  if (!directory.empty()) candidates.push_back(directory + "/../" + file);
  candidates.push_back(std::string(KDX_IFD_LIBDIR) + "/" + file);
  candidates.push_back(file);
  for (const std::string& candidate : candidates) {
    if (void* loaded = dlopen(candidate.c_str(), kFlags | RTLD_NOLOAD)) {
      path = loaded_path(loaded, candidate);
      dlclose(loaded);
      return load_copy(path, file, error);
    }
    void* handle = dlopen(candidate.c_str(), kFlags);
    if (handle == nullptr) {
      error = dl_error();
      continue;
    }
    path = loaded_path(handle, candidate);
    return handle;
  }
  return nullptr;
}

// A private copy of the library's file in a memory file. Bound: the copy
// ends at the end of the file, in blocks of 64 KiB.
void* load_copy(const std::string& path, const std::string& file, std::string& error) {
  const int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) {
    error = "cannot read " + path;
    return nullptr;
  }
  const int copy = memfd_create(file.c_str(), MFD_CLOEXEC);
  if (copy < 0) {
    close(source);
    error = "cannot make a memory file for another instance of " + file;
    return nullptr;
  }
  std::vector<char> block(64 * 1024);
  bool ok = true;
  for (;;) {
    const ssize_t got = read(source, block.data(), block.size());
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    if (write(copy, block.data(), static_cast<std::size_t>(got)) != got) {
      ok = false;
      break;
    }
  }
  close(source);
  void* handle = nullptr;
  if (ok) {
    const std::string proc = "/proc/self/fd/" + std::to_string(copy);
    handle = dlopen(proc.c_str(), kFlags);
    if (handle == nullptr) error = dl_error();
  } else {
    error = "cannot copy " + path;
  }
  // The loader knows a library by its path: a copy's memory file stays open
  // as long as the copy is loaded (for good), so that no later copy gets its
  // descriptor number, and with it its path, and the loader hands back the
  // loaded one. Bound: one descriptor per instance, and instances are only
  // made when none is free, so at most the most channels open at once.
  if (handle == nullptr) close(copy);
  return handle;
}

}  // namespace

LibraryInstance::~LibraryInstance() {
  const std::lock_guard<std::mutex> held(pool_mutex());
  pools()[name_].free.push_back(handle_);
}

void* LibraryInstance::symbol(const char* name) const { return dlsym(handle_, name); }

std::unique_ptr<LibraryInstance> LibraryInstance::acquire(const char* name, std::string& error) {
  const std::lock_guard<std::mutex> held(pool_mutex());
  Pool& pool = pools()[name];
  void* handle = nullptr;
  if (!pool.free.empty()) {
    handle = pool.free.back();
    pool.free.pop_back();
  } else {
    const std::string file = std::string(name) + ".so." KDX_IFD_SOVERSION;
    handle = pool.path.empty() ? load_first(file, pool.path, error) : load_copy(pool.path, file, error);
  }
  if (handle == nullptr) return nullptr;
  return std::unique_ptr<LibraryInstance>(new LibraryInstance(name, handle));
}

}  // namespace kdx::ifd
