// One APDU exchanged with a T=1 card on the serial line: the command split
// into I-blocks no longer than IFSC, the card's chained response
// acknowledged, its IFS, WTX and ABORT requests answered, and the error
// recovery of ISO/IEC 7816-3 (R-blocks, retransmission, resynchronisation).
// Every byte written comes back as an echo, which is read and set aside.
//
// Sequence numbers and IFSC live in the CardRecord and carry over from one
// exchange to the next. An exchange that fails leaves both sides in step:
// either the card is resynchronised (fresh sequence numbers on both sides),
// or it is marked inactive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk {

// The largest response an exchange delivers: an extended-length response
// of 65,536 bytes plus SW1 SW2. A card that sends more gets no further.
inline constexpr std::size_t kMaxResponseSize = 65538;

// The host's IFSD. It never announces another, so the card may send no
// I-block longer than this.
inline constexpr std::size_t kHostIfsd = 32;

// Exchanges `command` (at least one byte) with the active T=1 card of
// `session` (open, card present and active: the caller has checked). The
// response's bytes (information fields of the card's I-blocks, SW1 SW2
// included) go to `response`, of which at most min(size, kMaxResponseSize)
// bytes are written; `length` is the count written, also after a failure.
//   ST_OK
//   ST_COMM_ERROR     a block could not be written or its echo did not come
//                     back (the card was then resynchronised, or marked
//                     inactive when that failed too)
//   ST_BAD_RESPONSE   the card's answers stayed invalid after three
//                     attempts, it aborted the exchange, its response did not
//                     fit, or the exchange outlasted kExchangeTimeLimitMs;
//                     resynchronised, or marked inactive when that failed
// Bound: every wait ends within the card's waiting times (extended by WTX),
// and the whole call within kExchangeTimeLimitMs plus two character times
// per command and response byte moved, plus one resynchronisation: a card
// that stalls or asks for more time without end is given up after 60 s,
// while a 64 KB response at 9600 baud still gets the line time it needs.
StatusCode t1_transmit(SerialCardSession& session, std::span<const uint8_t> command, std::span<uint8_t> response,
                       std::size_t& length);

}  // namespace kdx::tarsk
