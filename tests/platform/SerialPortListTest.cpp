// The host's port list with pseudo-terminals as the ports a test names: COM
// numbers mapped to them, extra devices, links, files that are no devices, and
// ports that go away.
#include "SerialPortList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "ComPortNames.h"
#include "PseudoTerminal.h"
#include "TempFolder.h"

namespace {

using korvel_test::PseudoTerminal;

const TSerialPortEntry* Find(const std::vector<TSerialPortEntry>& Ports, const std::string& Name) {
  auto found = std::find_if(Ports.begin(), Ports.end(), [&](const TSerialPortEntry& Port) { return Port.Name == Name; });
  return found == Ports.end() ? nullptr : &*found;
}

TEST(SerialPortList, NamedPortsJoinTheHostsOnceEachAndLeaveWhenGone) {
  auto mapped = std::make_unique<PseudoTerminal>();
  PseudoTerminal extra;
  korvel_test::TTempFolder folder;
  const std::string link = folder.File("adapter");
  std::filesystem::create_symlink(extra.SlaveName(), link);
  std::ofstream(folder.File("plain.txt")) << "not a device";
  SetComPortDevice(48, mapped->SlaveName());

  EXPECT_TRUE(SerialDevicePresent(mapped->SlaveName()));
  EXPECT_TRUE(SerialDevicePresent(link));
  EXPECT_FALSE(SerialDevicePresent(folder.File("plain.txt")));
  EXPECT_FALSE(SerialDevicePresent(folder.Path().string()));
  EXPECT_FALSE(SerialDevicePresent(folder.File("missing")));
  EXPECT_FALSE(SerialDevicePresent(""));

  const std::vector<TSerialPortEntry> ports = ListSerialPorts(
      {folder.File("missing"), folder.File("plain.txt"), mapped->SlaveName(), extra.SlaveName(), link});
  const TSerialPortEntry* com48 = Find(ports, "COM48");
  ASSERT_NE(com48, nullptr);
  EXPECT_EQ(*com48, (TSerialPortEntry{"COM48", mapped->SlaveName(), 48}));
  EXPECT_EQ(Find(ports, mapped->SlaveName()), nullptr) << "a device a COM number reaches shows by that number";
  ASSERT_FALSE(ports.empty());
  EXPECT_EQ(ports.back(), (TSerialPortEntry{extra.SlaveName(), extra.SlaveName(), 0}))
      << "extra devices come last, and the link to the same device is left out";

  // Each name once, each device present; COM ports by number before the paths.
  std::set<std::string> names;
  int lastNumber = 0;
  for (const TSerialPortEntry& port : ports) {
    EXPECT_TRUE(names.insert(port.Name).second && SerialDevicePresent(port.Device)) << port.Name;
    EXPECT_EQ(port.ComNumber, ComNumberOfPortName(port.Name));
    EXPECT_EQ(port.Device, port.ComNumber ? ComPortDevice(port.ComNumber) : port.Name);
    EXPECT_TRUE(port.ComNumber == 0 || (lastNumber >= 0 && port.ComNumber > lastNumber)) << port.Name;
    lastNumber = port.ComNumber ? port.ComNumber : -1;
  }

  const std::string goneDevice = mapped->SlaveName();
  mapped.reset();
  // The kernel may take a moment to remove the node.
  for (int tries = 0; tries < 100 && SerialDevicePresent(goneDevice); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(SerialDevicePresent(goneDevice));
  EXPECT_EQ(Find(ListSerialPorts(), "COM48"), nullptr);
  SetComPortDevice(48, "");
}

TEST(SerialPortList, ComNumbersOfPortNames) {
  EXPECT_EQ(ComNumberOfPortName("COM3"), 3);
  EXPECT_EQ(ComNumberOfPortName("com12"), 12);
  EXPECT_EQ(ComNumberOfPortName("COM255"), 255);
  for (const char* other : {"COM0", "COM256", "COM", "COM1x", "COM0001", "/dev/ttyS0", "", "LPT1"})
    EXPECT_EQ(ComNumberOfPortName(other), 0) << other;
}

}  // namespace
