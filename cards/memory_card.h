// Pieces the memory-card drivers share: the range checks, the clocking of
// card output in response frames, the three-byte card command and the
// spending of one verification attempt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velmor.h"

namespace kdx::velmor::cards {

// The bits of an export's 32-bit argument slot that count.
constexpr uint16_t low16(uint32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }
constexpr uint8_t low8(uint32_t value) { return static_cast<uint8_t>(value & 0xFF); }

// The most card bytes one InByte response carries.
inline constexpr std::size_t kMaxBytesPerFrame = 184;
// Bytes of the card command inside the reader's send command.
inline constexpr std::size_t kCommandSize = 3;
using CardCommand = uint8_t[kCommandSize];

// The checks of address and length against a memory of `size` bytes, in
// the drivers' order: address, then a zero length (ST_OK, nothing to do),
// then the length, then their sum.
StatusCode check_range(uint16_t address, uint16_t length, std::size_t size);

// The checks of a read or write, in order: session, zone, range, and the
// caller's pointer when there is something to copy. ST_OK with a zero
// length means there is nothing to do.
StatusCode check_access(bool zone_valid, uint16_t address, uint16_t length, std::size_t size, const void* data);

// Opening a card: door switch, power on, reset, the answer to reset clocked
// into atr, and the code that ends it.
struct OpenCodes {
  uint8_t power;
  uint8_t reset;
  uint8_t clock_in;
  uint8_t end;
};
StatusCode open_card(const OpenCodes& codes, uint8_t* atr, uint16_t atr_size);
StatusCode close_card(uint8_t power_code);

// Four-byte values through a family's read or write of `zone`.
using ReadFunction = StatusCode (*)(uint16_t address, uint16_t length, uint8_t zone, uint8_t* destination);
using WriteFunction = StatusCode (*)(uint16_t address, uint16_t length, uint8_t zone, const uint8_t* source);
StatusCode read_value(ReadFunction read, uint8_t zone, uint16_t address, uint32_t* out);
StatusCode write_value(WriteFunction write, uint8_t zone, uint16_t address, uint32_t value);

// One InByte(code) of `count` card bytes (at most kMaxBytesPerFrame) into
// destination. An answer of any other length is ST_COMM_ERROR: the bytes it
// did bring stay in destination, but never past destination + count.
StatusCode clock_in_frame(uint8_t code, uint8_t* destination, uint16_t count);
// Clocks `count` card bytes into destination with InByte(code), at most
// kMaxBytesPerFrame a frame, each frame by clock_in_frame.
StatusCode clock_in(uint8_t code, uint8_t* destination, std::size_t count);

// The reader codes that frame one card command.
struct CommandCodes {
  uint8_t begin;
  uint8_t send;
  uint8_t end;
};
// begin; the three command bytes; end.
StatusCode send_card_command(const CommandCodes& codes, const CardCommand& command);

// `pulses` pulses on a reader line: 1 then 0, each.
StatusCode pulse_line(uint8_t line, unsigned pulses);

// The error counter after one attempt is spent: its lowest set bit cleared
// (7 -> 6 -> 4 -> 0, 0xFF -> 0xFE -> 0xFC ...). Exactly one attempt goes,
// whatever pattern the counter holds.
constexpr uint8_t spend_attempt(uint8_t counter) { return static_cast<uint8_t>(counter & (counter - 1)); }

// Card values are four bytes, least significant at the lowest address.
inline constexpr std::size_t kValueSize = 4;
void store_value(uint32_t value, uint8_t (&bytes)[kValueSize]);
uint32_t load_value(const uint8_t (&bytes)[kValueSize]);

}  // namespace kdx::velmor::cards
