#include "kdx/velmor_api.h"

#include <dlfcn.h>

#include "kdx/tool.h"

namespace kdx::tool {

bool bind(VelmorApi& api, void* library, std::string& missing) {
  KDX_VELMOR_FUNCTIONS(KDX_TOOL_BIND)
  return true;
}

}  // namespace kdx::tool
