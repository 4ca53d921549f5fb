// Velmor's random string: raw bytes only (this library has no string mode).
#include "platform/crt_rand.h"
#include "velmor.h"

extern "C" KDX_API StatusCode KDX_CALL KDX_GetRandStr(uint8_t* destination, uint32_t count) {
  kdx::platform::random_string(destination, static_cast<uint8_t>(count & 0xFF));
  return ST_OK;
}
