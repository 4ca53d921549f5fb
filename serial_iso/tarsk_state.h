// Tarsk's process-wide state, in one place. Loading the library creates none
// of it except StringMode (0).
#pragma once

#include <cstdint>

#include "tarsk.h"

namespace kdx::tarsk {

struct TarskState {
  uint8_t StringMode = 0;  // 0: raw bytes, 1: hexadecimal text
};

extern TarskState g_tarsk;

}  // namespace kdx::tarsk
