// The port session of the serial-line card interface: opening and closing
// the SerialCardSession, the device test, the card-present test, the line
// parameters for the card, and the raw transfers. Card activation builds on
// these.
#pragma once

#include <cstdint>

#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk::session {

// Rate at which the port always opens and every card answers to reset.
inline constexpr uint32_t kOpeningBaud = 9600;

// IsCommOpened's test: both records exist and the port is open.
bool is_open();

StatusCode init_comm(uint8_t port, uint32_t baud);
StatusCode exit_comm();
StatusCode test_device();
StatusCode test_door();
StatusCode configure_serial_port();
StatusCode send_data(const uint8_t* buffer, uint32_t count);
StatusCode receive_data(uint8_t* buffer, uint32_t count);

// Deactivation: stops the presence monitor, holds the card in reset (RTS
// on), clears card active and purges the port. Needs a session.
StatusCode close_card();

// The line helpers of the session's open port. read_line_settings gives
// ST_GET_STATE_FAILED when the settings cannot be read; write_control sets
// DTR or RTS in `settings` and writes all of them back, ST_SET_STATE_FAILED
// when that fails.
enum class ControlLine : uint8_t { dtr, rts };
StatusCode read_line_settings(platform::LineSettings& settings);
StatusCode write_control(platform::LineSettings& settings, ControlLine line, bool on);
// The modem status lines of `port` (KDX_MODEM_...); a failed read reads as
// all lines off.
uint32_t modem_lines(platform::Port& port);
void purge_both_directions();

}  // namespace kdx::tarsk::session
