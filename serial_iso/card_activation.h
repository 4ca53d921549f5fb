// Card activation: the card reset through RTS, the ATR collected and
// interpreted, the port programmed for the card; and the protocol query.
// Deactivation is session::close_card.
#pragma once

#include <cstdint>

#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk::activation {

// CPU_OpenCard and CPU_Reset: `atr` takes the ATR (32 bytes, or 64
// characters in string mode 1), `length` its byte count.
StatusCode open_card(uint8_t* atr, uint16_t* length);
// CPU_UpdateCardCapabilities: interprets the ATR held in the CardRecord and
// programs the port for the card.
StatusCode update_card_capabilities();
StatusCode get_protocol(uint32_t* protocol);

}  // namespace kdx::tarsk::activation
