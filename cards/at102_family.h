// What the AT102, AT1604 and AT6601 drivers share: open and close, the
// byte operations on a memory map, the field accessors, the bit-level
// programming cycles and the attempt-counter procedure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cards/at102_maps.h"
#include "velmor.h"

namespace kdx::velmor::at102 {

StatusCode open_card();
StatusCode close_card();

// The byte operations of a zone, with the checks in order: session, zone,
// address, zero length (ST_OK), length, sum, pointer.
StatusCode read(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone, uint8_t* destination);
StatusCode write(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone, const uint8_t* source);
StatusCode erase(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone);
// Erases the bytes, then writes them.
StatusCode erase_and_write(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone, const uint8_t* source);
StatusCode read_value(const CardMap& map, uint16_t address, uint8_t zone, uint32_t* out);
StatusCode write_value(const CardMap& map, uint16_t address, uint8_t zone, uint32_t value);

// The field accessors: a read, or an erase and write, of a field in the
// whole memory. An index without a field gives ST_BAD_INDEX.
StatusCode read_field(const CardMap& map, const Field& field, uint8_t* destination);
StatusCode write_field(const CardMap& map, const Field& field, const uint8_t* source);
StatusCode read_indexed(const CardMap& map, std::span<const Field> fields, uint8_t index, uint8_t* destination);
StatusCode read_counter(const CardMap& map, uint8_t index, uint8_t* destination);
StatusCode write_indexed(const CardMap& map, std::span<const Field> fields, uint8_t index, const uint8_t* source);

// Bit-level procedures, with the address where the caller left it.
StatusCode clock_pulses(unsigned count);
StatusCode write_zero_cycle();
StatusCode erase_cycle();
StatusCode fuse_cycle();
// Searches the counter of `bits` bits for a 1, from the address on; found,
// programs it to 0 and runs an erase cycle there. `searched` gets the search
// pulses. ST_WRONG_PASSWORD with `bits` pulses when every bit read 0: the
// search never reads past the counter, and nothing is programmed.
StatusCode counter_procedure(unsigned bits, unsigned& searched);

// Rewind, then advance to the byte address.
StatusCode position(uint16_t byte_address);
// Presents the code's bytes from its position (the address then stands at
// the code's counter).
StatusCode present_code(uint16_t code_address, const uint8_t* code, std::size_t size);
// The counter procedure on a counter of `bits` bits, the read-back of the
// bit (1: ST_OK, 0: ST_WRONG_PASSWORD) and `closing - n` closing pulses.
StatusCode verify_with_counter(unsigned bits, unsigned closing);
// Fuse programming at the byte address.
StatusCode write_fuse(uint16_t fuse_address);
// The verification of a code with an 8-bit counter on the large cards:
// index check, the code's two bytes, the counter procedure, the read-back
// and 9 - n closing pulses.
StatusCode verify_large(const CardMap& map, uint8_t index, uint8_t first, uint8_t second);

}  // namespace kdx::velmor::at102
