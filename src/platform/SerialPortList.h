// The serial ports present on this host, as the program's port lists show them.
// It stands in for the registry's list of serial ports: COM numbers whose device
// (see ComPortNames.h) is present, the host's own serial devices, and devices a
// caller names (pseudo-terminals, adapters under unusual names).
#pragma once

#include <string>
#include <vector>

struct TSerialPortEntry {
  // How the program names the port: "COM3" where that COM number maps to the
  // device, otherwise the device path.
  std::string Name;
  std::string Device;
  int ComNumber = 0;  // 0: the port has no COM number

  bool operator==(const TSerialPortEntry&) const = default;
};

// The COM numbers a port list looks at: COM1 to COM50.
constexpr int LastListedComNumber = 50;

// The ports present, in this order and each device path once:
//   1. COM1 to COM50 whose device is present, by number;
//   2. the host's serial devices that no listed COM number reaches:
//      /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* by path in natural order
//      (ttyS2 before ttyS10), then the links in /dev/serial/by-id;
//   3. ExtraDevices that are present and not listed yet, in their order.
// Two devices are the same when their paths lead to the same file, so a link in
// /dev/serial/by-id only shows for a device the other sources miss.
std::vector<TSerialPortEntry> ListSerialPorts(const std::vector<std::string>& ExtraDevices = {});

// A device is present when its path leads to a character device. A built-in
// serial slot without a chip behind it (/dev/ttyS<n> whose /sys/class/tty type
// is 0) is not. The device is never opened: opening a port raises DTR and RTS,
// which resets some boards, and a port another program holds is present too.
bool SerialDevicePresent(const std::string& Device);

// The number of a port name "COM1" to "COM255" (any case); 0 for other names,
// device paths among them.
int ComNumberOfPortName(const std::string& Name);
