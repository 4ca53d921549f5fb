#include "kdx/velmor_api.h"

#include <dlfcn.h>

namespace kdx::tool {

bool bind(VelmorApi& api, void* library, std::string& missing) {
#define KDX_BIND(name)                                                      \
  api.name = reinterpret_cast<decltype(api.name)>(dlsym(library, #name));  \
  if (api.name == nullptr) {                                                \
    missing = #name;                                                        \
    return false;                                                           \
  }
  KDX_VELMOR_FUNCTIONS(KDX_BIND)
#undef KDX_BIND
  return true;
}

}  // namespace kdx::tool
