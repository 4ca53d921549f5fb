// The three checks every card operation makes first.
#pragma once

#include "serial_iso/port_session.h"

namespace kdx::tarsk {

// ST_NOT_OPEN without a session, ST_NO_CARD when the slot is empty (which
// also clears card active), ST_CARD_NOT_POWERED before an activation;
// otherwise ST_OK.
inline StatusCode card_ready() {
  if (!session::is_open()) return ST_NOT_OPEN;
  const StatusCode present = session::test_door();
  if (present != ST_OK) return present;
  return g_tarsk.session.port->card_active.load() != 0 ? ST_OK : ST_CARD_NOT_POWERED;
}

}  // namespace kdx::tarsk
