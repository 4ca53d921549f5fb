// The Velmor library's exports the handler calls, bound from one library
// instance.
#pragma once

#include <string>

#include "pcsc/library.h"
#include "velmor.h"

namespace kdx::ifd {

#define KDX_IFD_VELMOR_REQUIRED(X)                                                                              \
  X(KDX_InitComm) X(KDX_ExitComm) X(KDX_TestDoor) X(KDX_SetPortDevice) X(KDX_SetPortBackend) X(CPU_Open) X(CPU_Close) \
  X(CPU_Reset) X(CPU_IsoAPDU)
// Each memory-card family's exports; a library without them simply lacks
// the family.
#define KDX_IFD_VELMOR_FAMILIES(X)                                                                                \
  X(SLE4442_OpenCard) X(SLE4442_CloseCard) X(SLE4442_ReadChar) X(SLE4442_WriteChar) X(SLE4442_VerifyPWD)          \
  X(SLE4442_ReadPAC) X(SLE4428_OpenCard) X(SLE4428_CloseCard) X(SLE4428_ReadChar) X(SLE4428_WriteChar)            \
  X(SLE4428_VerifyPWD) X(SLE4428_ReadPAC)                                                                         \
  X(AT102_OpenCard) X(AT102_CloseCard) X(AT102_ReadChar) X(AT102_WriteChar) X(AT102_EraseWord) X(AT102_VerifyPWD) \
  X(AT102_ReadPAC) X(AT1604_OpenCard) X(AT1604_CloseCard) X(AT1604_ReadChar) X(AT1604_WriteChar)                  \
  X(AT1604_EraseChar) X(AT1604_VerifyPWD) X(AT1604_ReadPAC) X(AT6601_OpenCard) X(AT6601_CloseCard)                \
  X(AT6601_ReadChar) X(AT6601_WriteChar) X(AT6601_EraseChar) X(AT6601_VerifyPWD) X(AT6601_ReadPAC)                \
  X(AT153_OpenCard) X(AT153_CloseCard) X(AT153_ReadChar) X(AT153_WriteChar) X(AT153_VerifyPWD) X(AT153_ReadPAC)   \
  X(AT1608_OpenCard) X(AT1608_CloseCard) X(AT1608_ReadChar) X(AT1608_WriteChar) X(AT1608_VerifyPWD)               \
  X(AT1608_ReadPAC) X(AT45D_OpenCard) X(AT45D_CloseCard) X(AT45D_ReadStatus) X(AT45D_ReadChar) X(AT45D_WriteChar) \
  X(AT24C_OpenCard) X(AT24C_CloseCard) X(AT24C_ReadChar) X(AT24C_WriteChar)

struct VelmorApi {
#define KDX_DECLARE(name) decltype(&::name) name = nullptr;
  KDX_IFD_VELMOR_REQUIRED(KDX_DECLARE)
  KDX_IFD_VELMOR_FAMILIES(KDX_DECLARE)
#undef KDX_DECLARE
};

// False, with the first missing required export in `missing`.
bool bind_velmor_api(VelmorApi& api, const LibraryInstance& library, std::string& missing);

}  // namespace kdx::ifd
