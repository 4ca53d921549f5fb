// The APDU exports' common front: session, presence and activation checks,
// the command in string mode, the response bound, and the choice of engine
// by the card's protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk::apdu {

// An exchange engine: `command` decoded, at least one byte; at most
// response.size() bytes written to `response`, `length` their count.
using Engine = StatusCode (*)(SerialCardSession& session, std::span<const uint8_t> command,
                              std::span<uint8_t> response, std::size_t& length);

// The engine of a protocol (kProtocol...); nullptr when there is none.
Engine engine_for(uint32_t protocol);

// Runs one exchange as an export does. `engine` nullptr: the card's
// protocol chooses (ST_PROTOCOL_UNSUPPORTED when none does). `capacity` is
// the storage at `response` in bytes: in string mode 1 the response needs
// two characters a byte and a terminator.
StatusCode run(Engine engine, uint8_t* command, uint32_t command_length, uint8_t* response, std::size_t capacity,
               uint32_t* response_length);

// CPU_IsoAPDU's room: the response bound in the current string mode.
std::size_t default_capacity();

}  // namespace kdx::tarsk::apdu
