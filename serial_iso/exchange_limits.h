// Bounds shared by the T=0 and T=1 engines.
#pragma once

#include <cstdint>

namespace kdx::tarsk {

// The longest one APDU exchange may take, whatever the card does (NULL
// procedure bytes or waiting-time extensions without end, a trickle of
// bytes): past it the exchange ends with a status.
inline constexpr uint32_t kExchangeTimeLimitMs = 60000;

}  // namespace kdx::tarsk
