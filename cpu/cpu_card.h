// The CPU card path: power, answer to reset and T=0 exchanges, all through
// the reader's ISO buffer. The reader only switches the card, resets it,
// passes bytes to it and collects what it sends; the procedure work is ours.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velmor.h"

namespace kdx::velmor::cpu {

// The caller's response text: two digits per card byte and the terminator,
// for at most one ISO-buffer read (195 bytes).
inline constexpr std::size_t kResponseTextSize = 391;

// Every export refuses to run without an open port.
bool port_open();

StatusCode analyse_atr(uint8_t* atr);
StatusCode open(uint8_t* atr);
StatusCode close();
StatusCode reset(uint8_t* atr);
StatusCode iso_apdu(const char* command, char* response);

// One read of the ISO buffer (command 60) into `destination`, at most
// `capacity` bytes; `count` gets the number the reader reported, bounded by
// `capacity`. Only a link failure (ST_COMM_ERROR) is returned: the callers
// poll on through any status the reader reports, taking the bytes its
// response carries.
StatusCode read_iso_buffer(uint8_t* destination, std::size_t capacity, std::size_t& count);

}  // namespace kdx::velmor::cpu
