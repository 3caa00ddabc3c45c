// Where the program's COM port numbers live on this host. This is the one place
// that maps a "COM" number to a Linux device (a port of the Ports page may
// instead be given a device by its path, which it opens as it stands). For
// COM<n> the first of these wins:
//   1. a device set with SetComPortDevice (tests map COM numbers to
//      pseudo-terminals this way);
//   2. the environment variable KORVEL_COM<n>, for example
//      KORVEL_COM1=/dev/ttyUSB0 or KORVEL_COM2=/dev/serial/by-id/usb-...;
//   3. /dev/ttyS<n-1> (COM1 is /dev/ttyS0, COM2 /dev/ttyS1, ...).
#pragma once

#include <string>

std::string ComPortDevice(int Number);
// An empty Device removes the program's mapping for Number.
void SetComPortDevice(int Number, const std::string& Device);
// Port names as the program writes them ("\\.\COM3", "COM3", any case) become
// the mapped device; any other name is taken as a device path as it stands.
std::string ResolveSerialDeviceName(const std::string& PortName);
