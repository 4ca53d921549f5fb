// A Port whose every operation is handed to a plugged-in C table (kdx_port.h).
#pragma once

#include "platform.h"

namespace kdx::platform {

// Calls the table's open; nullptr when it refuses. The returned port keeps a
// reference to `backend`, which outlives every open port (seam.cpp).
Port* open_backend_port(const KDX_PortBackend& backend);

}  // namespace kdx::platform
