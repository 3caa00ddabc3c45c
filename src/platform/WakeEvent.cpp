#include "WakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "EmulatorError.h"

TWakeEvent::TWakeEvent() : FHandle(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (FHandle < 0) throw EEmulatorError(std::string("Unable to create a wake-up event: ") + std::strerror(errno));
}

TWakeEvent::~TWakeEvent() { close(FHandle); }

void TWakeEvent::Signal() {
  const uint64_t one = 1;
  // Fails only when the counter is saturated, which still leaves it signalled.
  [[maybe_unused]] ssize_t written = write(FHandle, &one, sizeof one);
}

void TWakeEvent::Reset() {
  uint64_t value;
  [[maybe_unused]] ssize_t got = read(FHandle, &value, sizeof value);
}
