// String mode: the rules by which byte-array arguments and results of the
// card and cipher exports cross the interface as hexadecimal text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdx::tarsk::hex {

// The mode read once at the start of an export.
uint8_t mode();

bool is_digit(char c);
// Every one of the `count` characters is 0-9, A-F or a-f.
bool all_digits(const char* text, std::size_t count);

// Characters 2i and 2i+1 become byte i of the same buffer, i = 0 .. bytes-1
// (lower-case digits are turned to upper case in the text first). The caller
// has checked the characters.
void decode_in_place(uint8_t* buffer, std::size_t bytes);
// Byte i becomes characters 2i and 2i+1, from the last byte down, so no
// byte is overwritten before it is encoded. No terminator is written.
void encode_in_place(uint8_t* buffer, std::size_t bytes);

void string_to_byte(uint8_t* destination, char* source);
void byte_to_string(char* destination, const uint8_t* source);

}  // namespace kdx::tarsk::hex
