#pragma once

#include <cstdint>

namespace kdx::platform::native {

// Sets both line speeds of `fd` to a rate that has no Bxxx constant.
bool set_custom_baud(int fd, uint32_t baud);

}  // namespace kdx::platform::native
