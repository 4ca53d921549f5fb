// The T=0 character protocol on the serial line: above the codec of
// t0_codec.h, the exchange that writes the command, reads its echo, and
// follows the card's procedure bytes until SW1 SW2, within bounded time.
//
// Every value here is logical (as the card means it): for an
// inverse-convention card the exchange transforms bytes on their way out
// and back, so a NULL that travels as 0xF9 is classified as 0x60.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "serial_iso/t0_codec.h"
#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk::t0 {

// The T=0 engine of CPU_IsoAPDU and CPU_TransmitT0 (apdu_dispatch.h), on a
// decoded command. The response (at most 258 bytes) goes to `response`,
// its byte count to `length` (0 unless the exchange ended well). 61xx, 6Cxx
// and every other status word are part of the response; nothing is sent on
// the card's behalf.
//   ST_APDU_FORMAT      see shape() (nothing sent)
//   ST_COMM_ERROR       echo missing or different, a byte missing beyond its
//                       waiting time, a procedure byte outside the protocol,
//                       or the whole exchange past kExchangeTimeLimitMs
//   ST_BAD_RESPONSE     more response bytes than `response` has room for
StatusCode engine(SerialCardSession& session, std::span<const uint8_t> command, std::span<uint8_t> response,
                  std::size_t& length);

}  // namespace kdx::tarsk::t0
