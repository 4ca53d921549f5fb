// The handler's channels, one per reader that pcscd opened (Lun >> 16), and
// what tests reach through them.
#pragma once

#include "kdx_ifd.h"

#include "pcsc/reader.h"

namespace kdx::ifd {

// The most readers one handler serves at a time.
inline constexpr DWORD kMaxChannels = 16;

// The simulated slot of the channel's embedded simulator; nullptr for no
// such channel or a real port. The slot stays valid until the channel closes.
SimulatedSlot* simulated_slot(DWORD lun);

}  // namespace kdx::ifd
