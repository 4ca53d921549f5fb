#include "link/velmor_state.h"

namespace kdx::velmor {

VelmorState g_velmor;

}  // namespace kdx::velmor
