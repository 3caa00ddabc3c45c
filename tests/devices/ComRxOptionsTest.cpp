#include "ComRxOptions.h"

#include <gtest/gtest.h>

#include <type_traits>

TEST(ComOptions, FreshOptionsCarryTheViewDefaultsInThePortState) {
  TComOptions options;
  const TComPortState& state = options.PortState();
  EXPECT_EQ(state.DCBlength, 28u);
  EXPECT_EQ(state.XonChar, 17);
  EXPECT_EQ(state.XoffChar, 19);
  EXPECT_EQ(state.Flags, static_cast<uint32_t>(ComFlagTxContinueOnXoff | ComFlagDtrEnable | ComFlagRtsEnable));
  EXPECT_EQ(state.XonLim, 0);
  EXPECT_EQ(state.XoffLim, 0);
  EXPECT_EQ(options.GetSoftwareFlow().GetXonChar(), 17);
  EXPECT_EQ(options.GetSoftwareFlow().GetXoffChar(), 19);
  EXPECT_EQ(options.GetHardwareFlow().GetTxDtrState(), Com_dtrEnabled);
  EXPECT_EQ(options.GetInQueueSize(), 2048);
  EXPECT_EQ(options.GetOutQueueSize(), 1024);
  // An empty state reads as 1200 baud, eight data bits, no parity, one stop bit.
  EXPECT_EQ(options.GetBaudRate(), Com_br1200);
  EXPECT_EQ(options.GetDataBits(), Com_dbEight);
}

TEST(ComOptions, EnumerationsMapIntoThePortStateAndBack) {
  TComOptions options;
  const uint32_t rates[] = {110,   300,   600,    1200,   2400,   4800,   9600,   14400,  19200,
                            38400, 57600, 115200, 128000, 172800, 230400, 256000, 460800, 921600};
  for (int i = 0; i <= Com_br921600; ++i) {
    options.SetBaudRate(static_cast<TComBaudRate>(i));
    EXPECT_EQ(options.PortState().BaudRate, rates[i]);
    EXPECT_EQ(options.GetBaudRate(), i);
  }
  options.PortState().BaudRate = 31250;
  EXPECT_EQ(options.GetBaudRate(), Com_br1200);

  options.SetParity(Com_pEven);
  EXPECT_TRUE(options.PortState().Flags & ComFlagParity);
  EXPECT_EQ(options.PortState().Parity, 2);
  options.SetParity(Com_pOdd);
  EXPECT_EQ(options.PortState().Parity, 1);
  EXPECT_EQ(options.GetParity(), Com_pOdd);
  options.SetParity(Com_pMark);
  EXPECT_EQ(options.PortState().Parity, 3);
  EXPECT_EQ(options.GetParity(), Com_pMark);
  options.SetParity(Com_pNone);
  EXPECT_FALSE(options.PortState().Flags & ComFlagParity);
  EXPECT_EQ(options.PortState().Parity, 0);
  EXPECT_EQ(options.GetParity(), Com_pNone);
  // A scheme without the check flag reads as no parity.
  options.PortState().Parity = 2;
  EXPECT_EQ(options.GetParity(), Com_pNone);

  options.SetDataBits(Com_dbFive);
  EXPECT_EQ(options.PortState().ByteSize, 5);
  options.SetDataBits(Com_dbSeven);
  EXPECT_EQ(options.GetDataBits(), Com_dbSeven);
  options.PortState().ByteSize = 6;
  EXPECT_EQ(options.GetDataBits(), Com_dbEight);

  options.SetStopBits(Com_sbOneAndHalf);
  EXPECT_EQ(options.PortState().StopBits, 1);
  options.SetStopBits(Com_sbTwo);
  EXPECT_EQ(options.GetStopBits(), Com_sbTwo);
  options.PortState().StopBits = 7;
  EXPECT_EQ(options.GetStopBits(), Com_sbOne);
}

TEST(ComOptions, FlowViewsWriteThroughAndRefreshFromThePortState) {
  TComOptions options;
  TComHardwareFlow& hardware = options.GetHardwareFlow();
  hardware.SetTxUseCtsFlow(true);
  hardware.SetTxUseDsrFlow(true);
  hardware.SetTxDsrSensitivity(true);
  hardware.SetTxDtrState(Com_dtrHandshake);
  hardware.SetRxRTSState(Com_rtsToggle);
  uint32_t flags = options.PortState().Flags;
  EXPECT_EQ(flags & (ComFlagOutxCtsFlow | ComFlagOutxDsrFlow | ComFlagDsrSensitivity),
            static_cast<uint32_t>(ComFlagOutxCtsFlow | ComFlagOutxDsrFlow | ComFlagDsrSensitivity));
  EXPECT_EQ(flags & ComFlagDtrControlMask, static_cast<uint32_t>(ComFlagDtrHandshake));
  EXPECT_EQ(flags & ComFlagRtsControlMask, static_cast<uint32_t>(ComFlagRtsToggle));
  EXPECT_FALSE(flags & ComFlagBinary);

  // Setting the current value changes nothing; a read refreshes the view.
  options.PortState().Flags &= ~ComFlagDtrControlMask;
  options.PortState().Flags |= ComFlagDtrEnable;
  EXPECT_EQ(options.GetHardwareFlow().GetTxDtrState(), Com_dtrEnabled);
  options.GetHardwareFlow().SetTxDtrState(Com_dtrEnabled);
  EXPECT_EQ(options.PortState().Flags & ComFlagDtrControlMask, static_cast<uint32_t>(ComFlagDtrEnable));

  TComSoftwareFlow& software = options.GetSoftwareFlow();
  software.SetRxFlow(true);
  software.SetTxFlow(true);
  software.SetTxAfterRxOff(false);
  software.SetXonChar(0x11);
  software.SetXoffChar(0x13);
  flags = options.PortState().Flags;
  EXPECT_TRUE(flags & ComFlagInX);
  EXPECT_TRUE(flags & ComFlagOutX);
  EXPECT_FALSE(flags & ComFlagTxContinueOnXoff);

  options.SetPassNulls(true);
  options.SetReplaceOnError(true);
  options.SetAbortOnError(true);
  flags = options.PortState().Flags;
  EXPECT_TRUE(flags & ComFlagNull);
  EXPECT_TRUE(flags & ComFlagErrorChar);
  EXPECT_TRUE(flags & ComFlagAbortOnError);
}

TEST(ComOptions, QueueSizesAreLimitedAndRoundedUp) {
  TComOptions options;
  const std::pair<int32_t, int32_t> cases[] = {{100, 256}, {-5, 256}, {256, 256}, {257, 512},
                                               {300, 512}, {65536, 65536}, {65537, 65536}};
  for (auto [given, stored] : cases) {
    options.SetInQueueSize(given);
    options.SetOutQueueSize(given);
    EXPECT_EQ(options.GetInQueueSize(), stored) << given;
    EXPECT_EQ(options.GetOutQueueSize(), stored) << given;
  }
}

TEST(ComOptions, LineSettingsFollowWhatThePropertiesRead) {
  TComOptions options;
  options.SetBaudRate(Com_br38400);
  options.SetParity(Com_pEven);
  options.SetDataBits(Com_dbSeven);
  options.SetStopBits(Com_sbTwo);
  options.GetHardwareFlow().SetRxRTSState(Com_rtsHandshake);
  options.GetHardwareFlow().SetTxDtrState(Com_dtrDisabled);
  options.GetSoftwareFlow().SetTxFlow(true);
  TSerialLineSettings line = options.BuildLineSettings();
  EXPECT_EQ(line.BaudRate, 38400u);
  EXPECT_EQ(line.DataBits, 7);
  EXPECT_EQ(line.Parity, TSerialParity::Even);
  EXPECT_EQ(line.StopBits, TSerialStopBits::Two);
  EXPECT_TRUE(line.CtsFlow);
  EXPECT_EQ(line.Rts, TSerialLineControl::Handshake);
  EXPECT_EQ(line.Dtr, TSerialLineControl::Off);
  EXPECT_TRUE(line.OutXonXoff);
  EXPECT_FALSE(line.InXonXoff);
  EXPECT_EQ(line.XonChar, 17);
  EXPECT_EQ(line.XoffChar, 19);

  // A rate outside the table runs at the 1200 baud the property shows.
  options.PortState().BaudRate = 31250;
  EXPECT_EQ(options.BuildLineSettings().BaudRate, 1200u);
}

TEST(ComOptions, AssignCopiesEverySetting) {
  TComOptions source, copy;
  source.SetBaudRate(Com_br921600);
  source.SetParity(Com_pOdd);
  source.GetSoftwareFlow().SetXonChar(1);
  source.SetInQueueSize(4096);
  copy.Assign(source);
  EXPECT_EQ(copy.GetBaudRate(), Com_br921600);
  EXPECT_EQ(copy.GetParity(), Com_pOdd);
  EXPECT_EQ(copy.GetSoftwareFlow().GetXonChar(), 1);
  EXPECT_EQ(copy.GetInQueueSize(), 4096);
  // The copy's views still write into its own state.
  copy.GetSoftwareFlow().SetXonChar(2);
  EXPECT_EQ(copy.PortState().XonChar, 2);
  EXPECT_EQ(source.PortState().XonChar, 1);
}

TEST(ComOptions, ExceptionsCarryTheirMessages) {
  EXPECT_STREQ(EComSetOptions().what(), "Unable to configure selected comunications port with the specified options!");
  EXPECT_STREQ(EComPortInUse().what(),
               "The request could not be completed because the specified comunications port in currently in use!");
  EXPECT_STREQ(EComInvalidPort().what(),
               "The request could not be completed because the specified comunications port could not be accessed!");
  static_assert(std::is_base_of_v<EEmulatorError, EComSetOptions> && std::is_base_of_v<EEmulatorError, EComPortInUse> &&
                std::is_base_of_v<EEmulatorError, EComInvalidPort>);
}
