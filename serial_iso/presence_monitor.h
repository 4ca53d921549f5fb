// The presence monitor: a thread that watches the card-present line (CTS)
// of the session's port while a card is active, and clears card active when
// the card is gone.
#pragma once

#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk::monitor {

// Time between two looks at the card-present line.
inline constexpr uint32_t kPollPeriodMs = 100;
// How long a stop request waits for the monitor to notice it before it
// waits for the thread to end without a limit.
inline constexpr uint32_t kStopGraceMs = 500;

// Starts the monitor for `record` unless one was started already (a thread
// handle is held or the thread id is set), then enables it.
// ST_THREAD_FAILED when the thread cannot be created.
StatusCode start(PortRecord& record);

// Asks a running monitor to stop and waits until its thread has ended, then
// releases the thread handle. Does nothing when no handle is held. After it
// returns the monitor no longer touches `record`.
void stop(PortRecord& record);

}  // namespace kdx::tarsk::monitor
