#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk {

TarskState g_tarsk;

}  // namespace kdx::tarsk
