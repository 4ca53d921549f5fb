// The port session and the device commands, for the card drivers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velmor.h"

namespace kdx::velmor::session {

// The session check of the device exports: a session whose port is open.
bool check();

StatusCode init_comm(uint8_t port, uint32_t baud);
StatusCode exit_comm();
StatusCode get_version(uint8_t* destination, std::size_t capacity);
StatusCode test_device();
StatusCode green_led(bool on);
StatusCode buzzer(bool on);
StatusCode test_door();
StatusCode push_card();

}  // namespace kdx::velmor::session
