// The two reader libraries, loaded at run time with dlopen(RTLD_LOCAL).
//
// Each library keeps one process-wide session, so every channel takes an
// instance of its own: the first comes from the library's file, every
// further one from a private copy of that file (a memory file), which the
// dynamic loader treats as a library of its own with its own state. Both
// libraries bind their calls to themselves (-Bsymbolic), so instances never
// call into each other. Instances go back to a free list when a channel
// closes (their session closed) and are reused; they stay loaded until the
// process ends.
#pragma once

#include <memory>
#include <string>

namespace kdx::ifd {

class LibraryInstance {
 public:
  LibraryInstance(const LibraryInstance&) = delete;
  LibraryInstance& operator=(const LibraryInstance&) = delete;
  ~LibraryInstance();  // back to the free list

  // nullptr when the instance has no such export.
  void* symbol(const char* name) const;

  // An instance of "libvelmor" or "libtarsk"; nullptr with `error` when the
  // library cannot be found or loaded.
  static std::unique_ptr<LibraryInstance> acquire(const char* name, std::string& error);

 private:
  LibraryInstance(std::string name, void* handle) : name_(std::move(name)), handle_(handle) {}
  std::string name_;
  void* handle_;
};

// Looks `name` up in `library` into `function`; false when it is missing.
template <typename Function>
bool bind_symbol(const LibraryInstance& library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(library.symbol(name));
  return function != nullptr;
}

}  // namespace kdx::ifd
