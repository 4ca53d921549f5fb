// The pure part of the T=0 character protocol: how a command maps onto a
// T=0 exchange and what a procedure byte means. Values are logical (as the
// card means them). Shared with the kdx tool, which names the card's bytes
// in its traces by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kdx::tarsk::t0 {

inline constexpr std::size_t kHeaderSize = 5;  // CLA INS P1 P2 P3
inline constexpr std::size_t kInsAt = 1;
inline constexpr std::size_t kP3At = 4;
inline constexpr uint8_t kNull = 0x60;
inline constexpr uint32_t kMaxResponseData = 256;
inline constexpr uint32_t kStatusWordSize = 2;
inline constexpr uint32_t kMaxResponse = kMaxResponseData + kStatusWordSize;  // 258
// P3 = 255 data bytes and a trailing Le.
inline constexpr uint32_t kMaxCommand = kHeaderSize + kMaxResponseData;

// What a byte from the card means where a procedure byte is due, for a
// command with instruction `ins`:
//   null     0x60: the card is still working; wait for the next procedure byte
//   ack_all  INS (or INS + 1 below 0x100): all remaining data moves at once
//   ack_one  INS XOR 0xFF (or that of INS + 1): exactly one data byte moves
//   sw1      6X other than 60, or 9X: SW1; SW2 follows and ends the exchange
//   invalid  anything else: the card has left the protocol
// NULL and SW1 values are always NULL and SW1, even where INS + 1 or its
// complement would give the same byte.
enum class Procedure : uint8_t { null, ack_all, ack_one, sw1, invalid };
Procedure classify(uint8_t byte, uint8_t ins);
// The trace name of a procedure byte: "NULL", "ACK INS", "ACK ~INS", "SW1",
// "invalid".
const char* procedure_name(Procedure procedure);

// A command of `length` bytes as a T=0 exchange: the header, then
// `outgoing` data bytes to the card (cases 3 and 4: exactly P3 bytes; a
// trailing Le byte given after them is not sent, since T=0 carries Le of a
// case-4 command in a later GET RESPONSE) or up to `incoming` data bytes
// from it (header only: Le = P3, 0 meaning 256).
struct CommandShape {
  uint32_t outgoing;
  uint32_t incoming;
};
// nullopt (ST_APDU_FORMAT) for fewer than 5 bytes, and for data whose length
// is neither P3 nor P3 + 1, or with P3 = 0.
std::optional<CommandShape> shape(const uint8_t* command, uint32_t length);

}  // namespace kdx::tarsk::t0
