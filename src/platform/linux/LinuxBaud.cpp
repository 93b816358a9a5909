// Rates without a termios constant (14400, 28800, 56000, 128000, 256000)
// go through termios2. Its header clashes with <termios.h>, hence a file of
// its own.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace lumbra::platform {

bool SetCustomBaudRate(int fd, std::uint32_t rate) {
  struct termios2 tio;
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  tio.c_cflag |= BOTHER;
  tio.c_ispeed = rate;
  tio.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace lumbra::platform
