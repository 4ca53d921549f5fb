// Protocol and parameter selection (PPS), in two layers: a pure codec for
// the request and the card's answer, and the exchange behind
// CPU_SetProtocol.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk::pps {

inline constexpr uint8_t kPpss = 0xFF;
inline constexpr std::size_t kRequestSize = 4;  // PPSS PPS0 PPS1 PCK
// PPSS, PPS0, PPS1 to PPS3, PCK.
inline constexpr std::size_t kMaxMessageSize = 6;
inline constexpr std::size_t kHeadSize = 2;  // PPSS PPS0
inline constexpr uint8_t kDefaultFactors = 0x11;  // Fi 372, Di 1
inline constexpr uint8_t kHighestIndex = 15;

using Request = std::array<uint8_t, kRequestSize>;

// PPSS, PPS0 = 0x10 | T (PPS1 follows), PPS1 = FI x 16 + DI, PCK. `t` is
// the protocol number (0 or 1), FI and DI 0 to 15.
Request build_request(unsigned t, uint8_t fi, uint8_t di);

// The bytes a PPS message has in all, read from PPSS and PPS0 (the first
// two bytes): PPSS, PPS0, the PPS1 to PPS3 that PPS0 bits 4 to 6 announce,
// PCK.
std::size_t message_size(uint8_t pps0);

// The card's answer to a request, by its structure:
//   accepted        PPS1 echoed: the factors asked for are in force
//   defaults        no PPS1: the card keeps the default factors (Fi 372, Di 1)
//   malformed       PPSS not 0xFF, PCK wrong, another protocol than asked, a
//                   PPS1 that is neither echoed nor absent, or PPS2/PPS3
//                   that were not asked for
enum class Answer : uint8_t { accepted, defaults, malformed };
struct Reading {
  Answer answer;
  unsigned t;  // the protocol number the card confirmed
};
// `answer` holds message_size(answer[1]) bytes.
Reading read_answer(const Request& request, const uint8_t* answer, std::size_t size);

// CPU_SetProtocol: `protocols` bit 0 asks for T=0, bit 1 for T=1 (T=1
// preferred when both are asked and offered); FI, DI the factor indices.
StatusCode set_protocol(uint32_t protocols, uint32_t fi, uint32_t di);

}  // namespace kdx::tarsk::pps
