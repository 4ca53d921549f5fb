// Velmor's exports, looked up at run time in the loaded library.
#pragma once

#include <string>

#include "velmor.h"

#define KDX_VELMOR_FUNCTIONS(X)                                                                      \
  X(KDX_InitComm) X(KDX_ExitComm) X(KDX_GetVersion) X(KDX_GreenLED) X(KDX_Buzzer) X(KDX_TestDoor)     \
  X(KDX_PushCard) X(KDX_TestDevice) X(KDX_ErrorMsg) X(KDX_SetPortBackend) X(KDX_SetPortDevice)        \
  X(KDX_GetRandStr)

namespace kdx::tool {

struct VelmorApi {
#define KDX_DECLARE(name) decltype(&::name) name = nullptr;
  KDX_VELMOR_FUNCTIONS(KDX_DECLARE)
#undef KDX_DECLARE
};

// Looks every export up; false with the first missing name.
bool bind(VelmorApi& api, void* library, std::string& missing);

}  // namespace kdx::tool
