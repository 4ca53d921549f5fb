// The reader primitives as C++ functions, for the card drivers and the CPU
// card path. Each is one framed command; the reading ones take one response
// frame and never copy more than the caller's count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velmor.h"

namespace kdx::velmor::primitive {

StatusCode put_io(uint8_t line, uint8_t value);
StatusCode get_io(uint8_t line, uint8_t& value);
StatusCode power(uint8_t code, uint8_t value);
StatusCode single_step(uint8_t code);
StatusCode multi_step(uint8_t code, uint16_t count);
// Copies at most `count` response bytes; `received` (when given) gets the
// number actually copied.
StatusCode in_byte(uint8_t code, uint8_t* destination, uint16_t count, std::size_t* received = nullptr);
StatusCode out_byte(uint8_t code, const uint8_t* source, uint16_t count);
void delay_1ms(uint32_t milliseconds);
// Copies the ISO buffer (at most 195 bytes) to destination.
StatusCode get_iso_buffer(uint8_t* destination, std::size_t& received);
StatusCode clear_iso_buffer();

}  // namespace kdx::velmor::primitive
