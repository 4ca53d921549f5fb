// The port seam exports of kdx_port.h. Compiled into each library with
// KDX_LIBRARY_HEADER naming its public header, so that the statuses are that
// library's own (bad parameter, already open).
#include KDX_LIBRARY_HEADER

#include "platform/platform.h"

namespace {

StatusCode status_of(kdx::platform::SeamResult result) {
  switch (result) {
    case kdx::platform::SeamResult::ok: return ST_OK;
    case kdx::platform::SeamResult::busy: return ST_ALREADY_OPEN;
    case kdx::platform::SeamResult::bad_parameter: break;
  }
  return ST_BAD_PARAMETER;
}

}  // namespace

extern "C" {

KDX_API StatusCode KDX_CALL KDX_SetPortDevice(uint32_t port, const char* path) {
  return status_of(kdx::platform::set_port_device(port & 0xFF, path));
}

KDX_API StatusCode KDX_CALL KDX_SetPortBackend(uint32_t port, const KDX_PortBackend* backend) {
  return status_of(kdx::platform::set_port_backend(port & 0xFF, backend));
}

}  // extern "C"
