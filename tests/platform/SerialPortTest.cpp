#include "SerialPort.h"

#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "ComPortNames.h"
#include "PseudoTerminal.h"

using korvel_test::PseudoTerminal;

TEST(SerialPort, ComNumbersOpenTheMappedDevice) {
  PseudoTerminal pty;
  SetComPortDevice(5, pty.SlaveName());
  TSerialPort port;
  EXPECT_EQ(port.Open("\\\\.\\COM5"), TSerialOpenResult::Opened);
  EXPECT_EQ(port.DeviceName(), pty.SlaveName());
  SetComPortDevice(5, "");
}

TEST(SerialPort, TerminalSettingsFollowTheLineSettings) {
  TSerialLineSettings line;
  line.BaudRate = 38400;
  line.DataBits = 7;
  line.Parity = TSerialParity::Odd;
  line.StopBits = TSerialStopBits::Two;
  line.CtsFlow = true;
  line.OutXonXoff = true;
  termios tio{};
  EXPECT_TRUE(TSerialPort::BuildTerminalSettings(line, tio));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | PARODD));
  EXPECT_TRUE(tio.c_iflag & INPCK);
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
  EXPECT_TRUE(tio.c_iflag & IXON);
  EXPECT_FALSE(tio.c_iflag & IXOFF);
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));

  line.DataBits = 5;
  line.Parity = TSerialParity::Mark;
  line.StopBits = TSerialStopBits::One;
  line.CtsFlow = false;
  line.BaudRate = 128000;  // no name in the terminal interface
  EXPECT_FALSE(TSerialPort::BuildTerminalSettings(line, tio));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | PARODD | CMSPAR));
  EXPECT_FALSE(tio.c_cflag & (CSTOPB | CRTSCTS));
  line.Parity = TSerialParity::Even;
  TSerialPort::BuildTerminalSettings(line, tio);
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB));
}

TEST(SerialPort, SettingsReachTheDevice) {
  // A pseudo-terminal keeps rate, stop bits, flow control and the special
  // characters (it forces eight data bits without parity).
  PseudoTerminal pty;
  TSerialPort port;
  ASSERT_EQ(port.Open(pty.SlaveName()), TSerialOpenResult::Opened);
  TSerialLineSettings line;
  line.BaudRate = 19200;
  line.StopBits = TSerialStopBits::Two;
  line.CtsFlow = true;
  line.InXonXoff = true;
  line.XonChar = 17;
  line.XoffChar = 19;
  ASSERT_TRUE(port.Configure(line));
  termios applied = pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B19200));
  EXPECT_TRUE(applied.c_cflag & CSTOPB);
  EXPECT_TRUE(applied.c_cflag & CRTSCTS);
  EXPECT_TRUE(applied.c_iflag & IXOFF);
  EXPECT_FALSE(applied.c_iflag & IXON);
  EXPECT_TRUE(applied.c_iflag & PARMRK);
  EXPECT_EQ(applied.c_cc[VSTART], 17);
  EXPECT_EQ(applied.c_cc[VSTOP], 19);
  EXPECT_FALSE(applied.c_lflag & (ICANON | ECHO));

  for (uint32_t rate : {128000u, 172800u, 256000u, 921600u, 110u}) {
    line.BaudRate = rate;
    ASSERT_TRUE(port.Configure(line)) << rate;
    EXPECT_EQ(TSerialPort::CurrentBaudRate(port.Handle()).value_or(0), rate);
  }
}

TEST(SerialPort, BreakRequestWorksAndHangUpIsReported) {
  PseudoTerminal pty;
  TSerialPort port;
  ASSERT_EQ(port.Open(pty.SlaveName()), TSerialOpenResult::Opened);
  ASSERT_TRUE(port.Configure(TSerialLineSettings{}));
  // A pseudo-terminal cannot carry a BREAK, but the request goes through.
  EXPECT_TRUE(port.SendBreak());
  pty.CloseMaster();
  TSerialInputEvents events;
  uint8_t buffer[16];
  EXPECT_EQ(port.Read(buffer, sizeof buffer, events), -1);
  EXPECT_NE(port.LastError(), 0);
}
