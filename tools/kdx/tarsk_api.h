// Tarsk's exports, looked up at run time in the loaded library.
#pragma once

#include <string>

#include "tarsk.h"

#define KDX_TARSK_FUNCTIONS(X)                                                                        \
  X(KDX_InitComm) X(KDX_ExitComm) X(IsCommOpened) X(KDX_TestDevice) X(KDX_TestDoor) X(SendData)        \
  X(ReceiveData) X(KDX_ErrorMsg) X(KDX_DescribeStatus) X(KDX_SetPortBackend) X(KDX_SetPortDevice) X(KDX_SetStringMode)        \
  X(KDX_GetStringMode) X(KDX_String2Hex) X(KDX_Hex2String) X(KDX_GetRandStr) X(CPU_OpenCard) X(CPU_Reset)      \
  X(CPU_CloseCard) X(CPU_GetProtocol) X(CPU_UpdateCardCapabilities) X(CPU_SetProtocol) X(CPU_IsoAPDU)

namespace kdx::tool {

struct TarskApi {
#define KDX_DECLARE(name) decltype(&::name) name = nullptr;
  KDX_TARSK_FUNCTIONS(KDX_DECLARE)
#undef KDX_DECLARE
};

// Looks every export up; false with the first missing name.
bool bind(TarskApi& api, void* library, std::string& missing);

}  // namespace kdx::tool
