// Rates that have no Bxxx constant (any rate from 300 to 115200 may be asked
// for) go through Linux's termios2 interface. It lives in a file of its own
// because <asm/termbits.h> cannot share a translation unit with <termios.h>.
#include "posix_custom_baud.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kdx::platform::native {

bool set_custom_baud(int fd, uint32_t baud) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  settings.c_cflag |= BOTHER;
  settings.c_ispeed = baud;
  settings.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace kdx::platform::native
#else
namespace kdx::platform::native {
bool set_custom_baud(int, uint32_t) { return false; }
}  // namespace kdx::platform::native
#endif
