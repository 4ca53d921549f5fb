/* Both public headers in one C translation unit. */
#define KDX_BOTH_LIBRARIES
#include "velmor.h"
#include "tarsk.h"

int kdx_both_headers_in_c(void);

int kdx_both_headers_in_c(void) {
  KDX_PortBackend backend = {KDX_PORT_BACKEND_VERSION, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  return (int)backend.version - 1 + (VELMOR_ST_BAD_PARAMETER + 32 - TARSK_ST_BAD_PARAMETER);
}
