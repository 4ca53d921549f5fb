#include "kdx/tarsk_api.h"

#include <dlfcn.h>

#include "kdx/tool.h"

namespace kdx::tool {

bool bind(TarskApi& api, void* library, std::string& missing) {
  KDX_TARSK_FUNCTIONS(KDX_TOOL_BIND)
  return true;
}

}  // namespace kdx::tool
