// Velmor's exports, looked up at run time in the loaded library.
#pragma once

#include <string>

#include "velmor.h"

#define KDX_VELMOR_FUNCTIONS(X)                                                                      \
  X(KDX_InitComm) X(KDX_ExitComm) X(KDX_GetVersion) X(KDX_GreenLED) X(KDX_Buzzer) X(KDX_TestDoor)     \
  X(KDX_PushCard) X(KDX_TestDevice) X(KDX_ErrorMsg) X(KDX_DescribeStatus) X(KDX_SetPortBackend) X(KDX_SetPortDevice)        \
  X(KDX_GetRandStr)                                                                                   \
  X(CPU_Open) X(CPU_Close) X(CPU_Reset) X(CPU_AnalyseATR) X(CPU_IsoAPDU)                              \
  X(SLE4442_OpenCard) X(SLE4442_CloseCard) X(SLE4442_ReadChar) X(SLE4442_WriteChar) X(SLE4442_PReadChar) \
  X(SLE4442_ReadPAC) X(SLE4442_VerifyPWD) X(SLE4442_WritePWD)                                           \
  X(SLE4428_OpenCard) X(SLE4428_CloseCard) X(SLE4428_ReadChar) X(SLE4428_WriteChar) X(SLE4428_PReadChar) \
  X(SLE4428_ReadPAC) X(SLE4428_VerifyPWD) X(SLE4428_WritePWD)                                           \
  X(AT102_OpenCard) X(AT102_CloseCard) X(AT102_ReadChar) X(AT102_WriteChar) X(AT102_EraseWord)          \
  X(AT102_VerifyPWD) X(AT102_EraseApp) X(AT102_WriteFuse) X(AT102_AZ2EraseUnlimited)                     \
  X(AT1604_ReadChar) X(AT1604_WriteChar) X(AT1604_EraseChar) X(AT1604_VerifyPWD) X(AT1604_WriteFuse)    \
  X(AT6601_ReadChar) X(AT6601_WriteChar) X(AT6601_EraseChar) X(AT6601_VerifyPWD) X(AT6601_WriteFuse)    \
  X(KDX_AutoTest)                                                                                      \
  X(AT153_OpenCard) X(AT153_CloseCard) X(AT153_ReadChar) X(AT153_WriteChar) X(AT153_VerifyPWD)          \
  X(AT153_Auth) X(AT153_ReadFuse) X(AT153_WriteFuse)                                                    \
  X(AT1608_OpenCard) X(AT1608_CloseCard) X(AT1608_ReadChar) X(AT1608_WriteChar) X(AT1608_VerifyPWD)     \
  X(AT1608_Auth) X(AT1608_ReadFuse) X(AT1608_WriteFuse)                                                  \
  X(AT24C_OpenCard) X(AT24C_CloseCard) X(AT24C_ReadChar) X(AT24C_WriteChar)                             \
  X(AT45D_OpenCard) X(AT45D_CloseCard) X(AT45D_ReadChar) X(AT45D_WriteChar) X(AT45D_MainMemWrite)       \
  X(AT45D_ReadStatus)

namespace kdx::tool {

struct VelmorApi {
#define KDX_DECLARE(name) decltype(&::name) name = nullptr;
  KDX_VELMOR_FUNCTIONS(KDX_DECLARE)
#undef KDX_DECLARE
};

// Looks every export up; false with the first missing name.
bool bind(VelmorApi& api, void* library, std::string& missing);

}  // namespace kdx::tool
