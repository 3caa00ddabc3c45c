// Modem lines for a pseudo-terminal, which has none on Linux, so that tests can
// watch what a port does with RTS and DTR. For a device given lines here, the
// modem-control requests (TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC) on any of its
// descriptors act on one word of line bits, as a serial port's driver would;
// every other request, and every other device, goes to the kernel. A test
// program that uses it compiles PseudoTerminalModemLines.cpp, which stands in
// for the C library's ioctl.
#pragma once

namespace korvel_test {

// While it lives, the device Descriptor is open on has modem lines, all down.
class TPseudoTerminalModemLines {
 public:
  explicit TPseudoTerminalModemLines(int Descriptor);
  ~TPseudoTerminalModemLines();
  TPseudoTerminalModemLines(const TPseudoTerminalModemLines&) = delete;
  TPseudoTerminalModemLines& operator=(const TPseudoTerminalModemLines&) = delete;

  // The request that changes the lines (TIOCMSET, TIOCMBIS, TIOCMBIC) after
  // Passed more have gone through fails, once, with Error: a device that
  // refuses a change half way through a series.
  void FailChange(int Passed, int Error);

 private:
  unsigned long FDevice;
};

}  // namespace korvel_test
