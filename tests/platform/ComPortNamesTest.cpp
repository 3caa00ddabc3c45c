#include "ComPortNames.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(ComPortNames, ProgramMappingThenEnvironmentThenTtyS) {
  unsetenv("KORVEL_COM7");
  EXPECT_EQ(ComPortDevice(1), "/dev/ttyS0");
  EXPECT_EQ(ComPortDevice(7), "/dev/ttyS6");
  setenv("KORVEL_COM7", "/dev/ttyUSB3", 1);
  EXPECT_EQ(ComPortDevice(7), "/dev/ttyUSB3");
  SetComPortDevice(7, "/dev/pts/9");
  EXPECT_EQ(ComPortDevice(7), "/dev/pts/9");
  SetComPortDevice(7, "");
  EXPECT_EQ(ComPortDevice(7), "/dev/ttyUSB3");
  unsetenv("KORVEL_COM7");
  EXPECT_EQ(ComPortDevice(7), "/dev/ttyS6");
}

TEST(ComPortNames, ComNamesResolveAndPathsPassThrough) {
  SetComPortDevice(3, "/dev/pts/42");
  EXPECT_EQ(ResolveSerialDeviceName("\\\\.\\COM3"), "/dev/pts/42");
  EXPECT_EQ(ResolveSerialDeviceName("COM3"), "/dev/pts/42");
  EXPECT_EQ(ResolveSerialDeviceName("com3"), "/dev/pts/42");
  EXPECT_EQ(ResolveSerialDeviceName("\\\\.\\COM12"), "/dev/ttyS11");
  SetComPortDevice(3, "");
  for (const char* unchanged : {"/dev/ttyUSB0", "COM", "COM0", "COM256", "COM1x", "COM0001", "\\\\.\\COMX", ""})
    EXPECT_EQ(ResolveSerialDeviceName(unchanged), unchanged);
}
