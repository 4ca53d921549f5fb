// Interpretation of the answer to reset held in a CardRecord: the inverse
// convention undone, TS and the announced length checked, the protocol
// picked, the interface and historical bytes taken apart, and the line rate,
// guard time, waiting times, IFSC and EDC kind derived for a card clocked at
// 3.5712 MHz. It does no I/O: the port parameters it derives are handed back
// for the caller to apply. Header and source are shared with the kdx tool,
// which explains ATRs by the same reading.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk::atr {

// Positions in CardRecord::interface_bytes.
enum InterfaceIndex : std::size_t { kTA1, kTB1, kTC1, kTD1, kTA2, kTB2, kTC2, kTD2, kTA3, kTB3, kTC3, kTD3 };

inline constexpr uint8_t kTsDirect = 0x3B;
inline constexpr uint8_t kTsInverse = 0x3F;
// TS of an inverse-convention card as the port receives it before the
// convention is known.
inline constexpr uint8_t kTsInverseAsReceived = 0x03;

inline constexpr uint8_t kDefaultFi = 1;  // Fi 372
inline constexpr uint8_t kDefaultDi = 1;  // Di 1
inline constexpr uint8_t kDefaultWi = 10;
inline constexpr uint8_t kDefaultIfsc = 32;
// ISO/IEC 7816-3 defaults of a T=1 card that sends no TB3.
inline constexpr uint8_t kDefaultCwi = 13;
inline constexpr uint8_t kDefaultBwi = 4;
// N = 255: for T=1 the shortest character guard time (11 etu), for T=0 12 etu.
inline constexpr uint8_t kShortestGuardTime = 255;

// The port parameters the interpretation reads and may change.
struct PortParameters {
  uint32_t baud_rate;  // the port's rate; the waiting times are computed at it
  uint8_t stop_bits;   // KDX_STOPBITS_...
};

// Interprets the card.atr_length bytes of card.atr, as received or already
// decoded, and fills in the rest of the record. A complete ATR is left in
// card.atr in decoded form (once its protocol is known to be T=0 or T=1).
//   ST_ATR_INCOMPLETE        fewer bytes than announced (more may follow)
//   ST_BAD_ATR               TS neither 0x3B nor 0x3F, FI or DI reserved, or a
//                            T=1 card with BWI above 9 or 2^CWI <= N (N < 255)
//   ST_PROTOCOL_UNSUPPORTED  first protocol neither T=0 nor T=1 (protocol 0)
//   ST_BAUD_UNSUPPORTED      a card in its specific mode whose rate no port
//                            speed matches
StatusCode interpret(CardRecord& card, PortParameters& port);

// The IFSC the card's ATR announces: TA3, or the default 32 when TA3 is
// absent or holds a value no IFSC can have (0, or the reserved 255).
inline constexpr uint8_t kReservedIfsc = 0xFF;
uint8_t announced_ifsc(const CardRecord& card);

}  // namespace kdx::tarsk::atr
