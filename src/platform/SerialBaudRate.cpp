// The kernel's termios2 interface sets and reads any bit rate. Its header
// declares its own struct termios, so this file must not include <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>
#include <optional>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

bool SetSerialCustomBaudRate(int Handle, uint32_t Rate) {
  struct termios2 settings;
  if (ioctl(Handle, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~CBAUD;
  settings.c_cflag |= BOTHER;
  settings.c_cflag &= ~(CBAUD << IBSHIFT);
  settings.c_cflag |= BOTHER << IBSHIFT;
  settings.c_ospeed = Rate;
  settings.c_ispeed = Rate;
  return ioctl(Handle, TCSETS2, &settings) == 0;
}

std::optional<uint32_t> GetSerialBaudRate(int Handle) {
  struct termios2 settings;
  if (ioctl(Handle, TCGETS2, &settings) != 0) return std::nullopt;
  return settings.c_ospeed;
}
