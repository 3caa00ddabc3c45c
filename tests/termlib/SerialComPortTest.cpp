// The COM port component over pseudo-terminal pairs: opening by COM number,
// events on the main thread, users told of opening and closing, settings on a
// closed and an open port, moving an open port to another number with its
// trace running or paused, closing from inside its own event while data flows,
// RS-485 keying RTS or refused, RTS and DTR given back by the handshake, the
// far end vanishing, and the links that drop when a port goes. The test thread
// is the main thread: it pumps a TQueuedMainThread.
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "AdExcept.h"
#include "AdPort.h"
#include "AwWin32.h"
#include "ComPortNames.h"
#include "PseudoTerminal.h"
#include "PseudoTerminalModemLines.h"
#include "WaitUntil.h"
#include "SerialPort.h"
#include "TempFolder.h"

using korvel_test::PseudoTerminal;
using korvel_test::Bytes;
using korvel_test::WaitUntil;
using namespace std::chrono_literals;

namespace {

std::string Text(const std::vector<uint8_t>& Data) { return {Data.begin(), Data.end()}; }

// Records what the port tells its users, in order.
struct TUserWindow : TApdMessageWindow {
  std::vector<std::string>* Log;
  std::string Name;
  TUserWindow(std::vector<std::string>* L, std::string N) : Log(L), Name(std::move(N)) {}
  void WindowProc(uint32_t Msg, uint32_t, uint32_t) override {
    Log->push_back(Name + (Msg == ApwPortOpen ? ":open" : Msg == ApwPortClose ? ":close" : ":closing"));
  }
};

// A port on COM<Number> mapped to a fresh pseudo-terminal, with its events on
// the test's main thread; every byte offered is taken.
struct TPortOnPty {
  PseudoTerminal Pty;
  TQueuedMainThread Main;
  TApdComPort Port;
  std::string Received;
  int Events = 0;

  explicit TPortOnPty(int Number) {
    SetComPortDevice(Number, Pty.SlaveName());
    Port.SetEventThread(&Main);
    Port.SetPortNumber(static_cast<uint16_t>(Number));
    Port.SetOnDataAvailable([this](TApdCustomComPort& Sender, uint32_t Count) {
      ++Events;
      std::vector<uint8_t> block(Count);
      ASSERT_EQ(Sender.CheckedDispatcher().GetBlock(block.data(), Count), static_cast<int32_t>(Count));
      Received += Text(block);
    });
  }
  bool Pump(const std::function<bool()>& Done) { return Main.PumpUntil(Done, 30s); }
  void PumpFor(std::chrono::milliseconds Time) { Main.PumpUntil([] { return false; }, Time); }
};

template <typename TException>
int32_t CodeRaisedBy(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const TException& Error) {
    return Error.ErrorCode;
  }
  return 0;
}

}  // namespace

TEST(ComPort, OpensByNumberRaisesEventsOnTheMainThreadAndTellsItsUsers) {
  // Users outlive the port: it tells them of its close as it goes.
  std::vector<std::string> log;
  TUserWindow terminal(&log, "window");
  TPortOnPty p(61);
  TApdComPort& port = p.Port;
  port.AddPortUser(&terminal);
  port.RegisterUserCallback([&](TApdCustomComPort&, bool Opening) { log.push_back(Opening ? "method:open" : "method:close"); });
  port.RegisterUserCallbackEx([&](TApdCustomComPort&, int32_t Status) { log.push_back("status:" + std::to_string(Status)); });
  port.OnPortOpen = [&](TApdCustomComPort&) { log.push_back("OnPortOpen"); };
  port.OnPortClose = [&](TApdCustomComPort&) { log.push_back("OnPortClose"); };
  std::vector<int32_t> matches;
  std::thread::id eventThread;
  port.SetOnDataMatch([&](TApdCustomComPort& Sender, int32_t Handle) {
    matches.push_back(Handle);
    eventThread = std::this_thread::get_id();
    // The pattern's own bytes are offered with the match.
    TApdBaseDispatcher& dispatcher = Sender.CheckedDispatcher();
    std::vector<uint8_t> pattern(dispatcher.InputUsed());
    dispatcher.GetBlock(pattern.data(), static_cast<uint32_t>(pattern.size()));
    p.Received += Text(pattern);
  });
  int sent = 0;
  port.SetOnOutputSent([&](TApdCustomComPort&) { ++sent; });
  port.SetBaud(38400);

  port.SetOpen(true);
  ASSERT_EQ(port.GetState(), psOpen);
  TApdBaseDispatcher* dispatcher = port.CurrentDispatcher();
  ASSERT_NE(dispatcher, nullptr);
  EXPECT_EQ(dispatcher->DeviceName(), "COM61");
  EXPECT_EQ(TSerialPort::CurrentBaudRate(dispatcher->ComHandle()).value_or(0), 38400u);
  EXPECT_EQ(dispatcher->LengthTrigger(), 1u);
  EXPECT_EQ(dispatcher->OptionFlags() & OptionUseEventWord, OptionUseEventWord);
  // Users hear of it last to first, then the port's own event.
  EXPECT_EQ(log, (std::vector<std::string>{"status:0", "method:open", "window:open", "OnPortOpen"}));

  const int32_t ok = dispatcher->AddDataTrigger("OK\r", false);
  const int32_t sentTrigger = dispatcher->AddStatusTrigger(StatusOutSent);
  ASSERT_EQ(dispatcher->SetStatusTrigger(sentTrigger, 0, true), 0);
  p.Pty.Send(Bytes("hello OK\r"));
  ASSERT_TRUE(p.Pump([&] { return p.Received == "hello OK\r" && matches.size() == 1; })) << p.Received;
  EXPECT_EQ(matches.front(), ok);
  EXPECT_EQ(eventThread, std::this_thread::get_id());
  port.PutString("typed");
  port.PutChar('!');
  EXPECT_EQ(Text(p.Pty.Receive(6)), "typed!");
  EXPECT_TRUE(p.Pump([&] { return sent == 1; }));

  log.clear();
  port.SetOpen(false);
  EXPECT_EQ(port.GetState(), psClosed);
  EXPECT_FALSE(port.GetOpen());
  EXPECT_EQ(port.CurrentDispatcher(), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"status:1", "window:closing", "status:2", "method:close", "window:close",
                                           "OnPortClose"}));
  // Nothing comes after the close, and a closed port without AutoOpen sends nothing.
  const int events = p.Events;
  p.Pty.Send(Bytes("late"));
  p.PumpFor(100ms);
  EXPECT_EQ(p.Events, events);
  port.SetAutoOpen(false);
  EXPECT_EQ(CodeRaisedBy<ECommNotOpen>([&] { port.PutString("x"); }), -2007);
  // AutoOpen opens on first use of the dispatcher, with the triggers the close saved.
  port.SetAutoOpen(true);
  ASSERT_NE(port.GetDispatcher(), nullptr);
  EXPECT_EQ(port.GetState(), psOpen);
  p.Pty.Send(Bytes("OK\r"));
  EXPECT_TRUE(p.Pump([&] { return matches.size() == 2; }));
}

TEST(ComPort, SettingsOnAClosedAndAnOpenPort) {
  // Flow-control thresholds follow the input size.
  TApdComPort flow;
  flow.SetHardwareFlow(HfUseRts);
  EXPECT_EQ(flow.GetBufferFull(), 3686);
  EXPECT_EQ(flow.GetBufferResume(), 409);
  TApdComPort soft;
  soft.SetSoftwareFlow(swfReceive);
  EXPECT_EQ(soft.GetBufferFull(), 3072);
  EXPECT_EQ(soft.GetBufferResume(), 1024);
  flow.SetHardwareFlow(HfUseRts | HfRequireCts | HfUseDtr);
  flow.SetRs485Mode(true);
  EXPECT_EQ(flow.GetHardwareFlow(), HfUseDtr);
  EXPECT_FALSE(flow.GetRtsOn());
  flow.SetTracing(tlPause);
  EXPECT_EQ(flow.GetTracing(), tlOff) << "a closed port stores only off and on";

  // Refusals: no number and no prompt, another device layer, a missing device, a port held.
  int made = 0;
  TApdComPort none;
  none.SetPromptForPort(false);
  none.CustomDispatcher = [&](TApdCustomComPort& Port) {
    ++made;
    return std::make_unique<TApdWin32Dispatcher>(&Port, nullptr);
  };
  EXPECT_EQ(CodeRaisedBy<ENoPortSelected>([&] { none.SetOpen(true); }), -2011);
  EXPECT_EQ(made, 0) << "no dispatcher is made for a port that was not chosen";
  none.SetPromptForPort(true);
  none.OnSelectPort = [](TApdCustomComPort&) { return std::optional<std::string>(); };
  EXPECT_EQ(CodeRaisedBy<ENoPortSelected>([&] { none.SetOpen(true); }), -2011);
  TApdComPort layer;
  layer.SetPortNumber(62);
  layer.SetDeviceLayer(1);
  EXPECT_EQ(CodeRaisedBy<ENullApi>([&] { layer.SetOpen(true); }), -3001);
  SetComPortDevice(63, "/nonexistent/ttyKORVEL");
  TApdComPort missing;
  missing.SetPortNumber(63);
  EXPECT_EQ(CodeRaisedBy<EBadId>([&] { missing.SetOpen(true); }), -2001);
  EXPECT_EQ(missing.GetState(), psClosed);

  // A prompt answers with a COM name; the port opens there. A second port on it is refused.
  TPortOnPty p(64);
  TApdComPort& port = p.Port;
  port.SetPortNumber(0);
  port.OnSelectPort = [](TApdCustomComPort&) { return std::optional<std::string>("COM64"); };
  port.SetOpen(true);
  EXPECT_EQ(port.GetPortNumber(), 64);
  TApdComPort second;
  second.SetPortNumber(64);
  EXPECT_EQ(CodeRaisedBy<EAlreadyOpen>([&] { second.SetOpen(true); }), -2008);

  // On the open port each setting reaches the device; DTR and RTS on a device
  // without modem lines are kept, not refused.
  TApdBaseDispatcher& dispatcher = *port.CurrentDispatcher();
  port.SetBaud(57600);
  EXPECT_EQ(TSerialPort::CurrentBaudRate(dispatcher.ComHandle()).value_or(0), 57600u);
  port.SetSoftwareFlow(swfBoth);
  EXPECT_TRUE(p.Pty.SlaveSettings().c_iflag & IXON);
  EXPECT_TRUE(p.Pty.SlaveSettings().c_iflag & IXOFF);
  port.SetSoftwareFlow(swfNone);
  EXPECT_FALSE(p.Pty.SlaveSettings().c_iflag & IXON);
  EXPECT_NO_THROW(port.SetDtrOn(false));
  EXPECT_FALSE(port.GetDtrOn());
  port.SetLengthTrigger(4);
  EXPECT_EQ(dispatcher.LengthTrigger(), 4u);
  port.SetUseOptionFlag(false);
  EXPECT_EQ(dispatcher.OptionFlags() & OptionUseEventWord, 0u);
  EXPECT_EQ(CodeRaisedBy<EOutputBufferTooSmall>([&] { port.PutString(std::string(5000, 'x')); }), -3006);
}

TEST(ComPort, MovingAnOpenPortKeepsItsTriggersAndItsTraceEvenWhenPaused) {
  korvel_test::TTempFolder folder;
  TPortOnPty p(65);
  PseudoTerminal other;
  SetComPortDevice(66, other.SlaveName());
  TApdComPort& port = p.Port;
  port.SetTraceName(folder.File("first.trc"));
  port.SetTracing(tlOn);
  std::vector<int32_t> matches;
  port.SetOnDataMatch([&](TApdCustomComPort&, int32_t Handle) { matches.push_back(Handle); });
  port.SetOpen(true);
  EXPECT_EQ(port.GetTracing(), tlOn);
  const int32_t keep = port.CurrentDispatcher()->AddDataTrigger("KEEP", false);
  port.PutString("out");
  EXPECT_EQ(Text(p.Pty.Receive(3)), "out");
  p.Pty.Send(Bytes("in"));
  ASSERT_TRUE(p.Pump([&] { return p.Received == "in"; }));

  port.SetPortNumber(66);
  ASSERT_EQ(port.GetState(), psOpen);
  EXPECT_EQ(port.CurrentDispatcher()->DeviceName(), "COM66");
  EXPECT_EQ(port.GetTracing(), tlOn) << "the trace goes on at the new number";
  // The old port's trace went to its file as the port closed.
  std::ifstream in(folder.File("first.trc"));
  std::stringstream trace;
  trace << in.rdbuf();
  EXPECT_NE(trace.str().find("Transmit: out"), std::string::npos) << trace.str();
  EXPECT_NE(trace.str().find("Receive: in"), std::string::npos) << trace.str();
  other.Send(Bytes("..KEEP.."));
  EXPECT_TRUE(p.Pump([&] { return matches.size() == 1; }));
  EXPECT_EQ(matches, std::vector<int32_t>{keep});

  // Paused across a move back: turned on again, it records on the new port.
  port.SetTracing(tlPause);
  port.PutString("unseen");
  EXPECT_EQ(Text(other.Receive(6)), "unseen");
  port.SetTraceName(folder.File("second.trc"));
  port.SetPortNumber(65);
  ASSERT_EQ(port.GetState(), psOpen);
  EXPECT_TRUE(std::filesystem::exists(folder.File("second.trc"))) << "the paused trace was written at the close";
  EXPECT_EQ(port.GetTracing(), tlPause);
  port.SetTracing(tlOn);
  EXPECT_EQ(port.GetTracing(), tlOn);
  port.PutString("after");
  EXPECT_EQ(Text(p.Pty.Receive(5)), "after");
  p.Pty.Send(Bytes("back"));
  ASSERT_TRUE(p.Pump([&] { return p.Received.ends_with("back"); })) << p.Received;
  port.SetTraceName(folder.File("third.trc"));
  port.SetOpen(false);
  std::ifstream third(folder.File("third.trc"));
  std::stringstream after;
  after << third.rdbuf();
  EXPECT_EQ(after.str(), "Transmit: after\nReceive: back\n");
}

TEST(ComPort, Rs485KeysRtsAroundEachTransmissionOrIsRefusedWithNothingChanged) {
  // Without modem lines (a bare pseudo-terminal) no RTS line can be keyed:
  // RS-485 is refused, saying why, and every setting stays as it was.
  {
    TPortOnPty p(69);
    TApdComPort& port = p.Port;
    port.SetHardwareFlow(HfUseDtr | HfRequireCts);
    port.SetOpen(true);
    std::string message;
    try {
      port.SetRs485Mode(true);
    } catch (const EBaseAddressNotSet& Error) {
      message = Error.what();
      EXPECT_EQ(Error.ErrorCode, -3010);
    }
    EXPECT_EQ(message, "RS-485 needs a serial port whose RTS line can be switched; COM69 has none");
    EXPECT_FALSE(port.GetRs485Mode());
    EXPECT_EQ(port.GetHardwareFlow(), HfUseDtr | HfRequireCts);
    EXPECT_TRUE(port.GetRtsOn());
    port.PutString("still");
    EXPECT_EQ(Text(p.Pty.Receive(5)), "still");
    // Saved with RS-485 on, the port does not open there, for the same reason.
    port.SetOpen(false);
    port.SetRs485Mode(true);
    EXPECT_EQ(CodeRaisedBy<EBaseAddressNotSet>([&] { port.SetOpen(true); }), -3010);
    EXPECT_EQ(port.GetState(), psClosed);
    EXPECT_TRUE(port.GetRs485Mode());
  }

  // With modem lines, as a serial port without the kernel's RS-485 mode has.
  TPortOnPty p(70);
  korvel_test::TPseudoTerminalModemLines lines(p.Pty.Slave());
  TApdComPort& port = p.Port;
  port.SetSoftwareFlow(swfTransmit);  // so the far end can hold our output back
  port.SetHardwareFlow(HfUseRts | HfRequireCts | HfUseDtr);
  port.SetRs485Mode(true);
  EXPECT_EQ(port.GetHardwareFlow(), HfUseDtr);
  EXPECT_FALSE(port.GetRtsOn());
  port.SetOpen(true);
  ASSERT_EQ(port.GetState(), psOpen);
  auto lineBits = [&] {
    int bits = 0;
    EXPECT_EQ(ioctl(p.Pty.Slave(), TIOCMGET, &bits), 0);
    return bits;
  };
  auto rtsUp = [&] { return (lineBits() & TIOCM_RTS) != 0; };
  EXPECT_FALSE(rtsUp()) << "RTS rests low";
  EXPECT_TRUE(lineBits() & TIOCM_DTR);
  // The far end says XOFF (the byte after it shows it has been taken): what
  // is sent now waits, under RTS, until it says XON.
  p.Pty.Send({19, 'M'});
  ASSERT_TRUE(p.Pump([&] { return p.Received == "M"; }));
  port.PutString("hello");
  ASSERT_TRUE(WaitUntil([&] { return rtsUp(); }));
  EXPECT_TRUE(p.Pty.Receive(1, 0ms).empty());
  EXPECT_TRUE(rtsUp());
  p.Pty.Send({17});
  EXPECT_EQ(Text(p.Pty.Receive(5)), "hello");
  EXPECT_TRUE(WaitUntil([&] { return !rtsUp(); })) << "RTS drops once all is sent";
  // Each transmission is keyed alike.
  port.PutString("again");
  EXPECT_EQ(Text(p.Pty.Receive(5)), "again");
  EXPECT_TRUE(WaitUntil([&] { return !rtsUp(); }));

  // Off again: RTS is the user's once more.
  port.SetRs485Mode(false);
  EXPECT_FALSE(rtsUp());
  port.SetRtsOn(true);
  EXPECT_TRUE(port.GetRtsOn());
  EXPECT_TRUE(rtsUp());
  port.PutString("free");
  EXPECT_EQ(Text(p.Pty.Receive(4)), "free");
  EXPECT_TRUE(rtsUp());
  // Turned on while open, RS-485 takes RTS from flow control too.
  port.SetHardwareFlow(HfUseRts | HfUseDtr);
  port.SetRs485Mode(true);
  EXPECT_TRUE(port.GetRs485Mode());
  EXPECT_EQ(port.GetHardwareFlow(), HfUseDtr);
  EXPECT_FALSE(port.GetRtsOn());
  EXPECT_FALSE(rtsUp());
  port.PutString("keyed");
  EXPECT_EQ(Text(p.Pty.Receive(5)), "keyed");
  EXPECT_TRUE(WaitUntil([&] { return !rtsUp(); }));
  port.SetOpen(false);
}

TEST(ComPort, Rs485ThatTheFlowControlCannotFollowLeavesRtsAndTheFlowAsTheyWere) {
  // RTS is the user's (up), output waits for CTS. Switching RS-485 on keys RTS
  // (two line changes: DTR, RTS), then drops the CTS flow; the device refuses
  // the first line change of that second step. Then the same with RTS in the
  // handshake and the refusal in the first step, then in the second.
  TPortOnPty p(71);
  korvel_test::TPseudoTerminalModemLines lines(p.Pty.Slave());
  TApdComPort& port = p.Port;
  port.SetHardwareFlow(HfUseDtr | HfRequireCts);
  port.SetOpen(true);
  ASSERT_EQ(port.GetState(), psOpen);
  TApdBaseDispatcher& dispatcher = *port.CurrentDispatcher();
  auto rtsUp = [&] {
    int bits = 0;
    EXPECT_EQ(ioctl(p.Pty.Slave(), TIOCMGET, &bits), 0);
    return (bits & TIOCM_RTS) != 0;
  };
  auto flowOptions = [&] {
    uint32_t hardware = 0, software = 0;
    uint8_t xoff = 0, xon = 0;
    EXPECT_EQ(dispatcher.GetFlowOptions(hardware, software, xoff, xon), 0);
    return hardware;
  };
  ASSERT_TRUE(rtsUp());
  ASSERT_TRUE(p.Pty.SlaveSettings().c_cflag & CRTSCTS);

  lines.FailChange(2, ENXIO);
  EXPECT_EQ(CodeRaisedBy<EInOutError>([&] { port.SetRs485Mode(true); }), 2);
  // Nothing changed, as the port, the dispatcher and the line see it.
  EXPECT_FALSE(port.GetRs485Mode());
  EXPECT_EQ(port.GetHardwareFlow(), HfUseDtr | HfRequireCts);
  EXPECT_TRUE(port.GetRtsOn());
  EXPECT_FALSE(dispatcher.Rs485Mode());
  EXPECT_TRUE(rtsUp()) << "RTS is up, as RtsOn says";
  EXPECT_TRUE(p.Pty.SlaveSettings().c_cflag & CRTSCTS) << "output still waits for CTS";
  EXPECT_EQ(flowOptions(), HfUseDtr | HfRequireCts);
  // The dispatcher holds RTS up too: the next write of the line settings
  // keeps it so, and output goes out under it without keying.
  port.SetBaud(19200);
  EXPECT_TRUE(rtsUp());
  port.PutString("plain");
  EXPECT_EQ(Text(p.Pty.Receive(5)), "plain");
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.OutputUsed() == 0; }));
  EXPECT_TRUE(rtsUp());

  // RTS in the handshake this time, and the device refuses the first line
  // change of RS-485 itself: the handshake stays as it was.
  port.SetHardwareFlow(HfUseDtr | HfUseRts);
  ASSERT_TRUE(p.Pty.SlaveSettings().c_cflag & CRTSCTS);
  lines.FailChange(0, ENXIO);
  EXPECT_EQ(CodeRaisedBy<EInOutError>([&] { port.SetRs485Mode(true); }), 2);
  EXPECT_FALSE(port.GetRs485Mode());
  EXPECT_EQ(port.GetHardwareFlow(), HfUseDtr | HfUseRts);
  EXPECT_FALSE(dispatcher.Rs485Mode());
  EXPECT_TRUE(p.Pty.SlaveSettings().c_cflag & CRTSCTS);
  EXPECT_EQ(flowOptions(), HfUseDtr | HfUseRts);

  // RTS in the handshake, and the device refuses the flow step: RTS goes back
  // to the handshake, and once the handshake lets go of it, it is up, as
  // RtsOn says.
  lines.FailChange(2, ENXIO);
  EXPECT_EQ(CodeRaisedBy<EInOutError>([&] { port.SetRs485Mode(true); }), 2);
  EXPECT_FALSE(port.GetRs485Mode());
  EXPECT_EQ(port.GetHardwareFlow(), HfUseDtr | HfUseRts);
  EXPECT_TRUE(port.GetRtsOn());
  EXPECT_FALSE(dispatcher.Rs485Mode());
  EXPECT_TRUE(p.Pty.SlaveSettings().c_cflag & CRTSCTS);
  EXPECT_EQ(flowOptions(), HfUseDtr | HfUseRts);
  port.SetHardwareFlow(HfUseDtr);
  EXPECT_TRUE(rtsUp()) << "RTS is up, as RtsOn says";
  EXPECT_TRUE(port.GetRtsOn());
  port.SetBaud(9600);
  EXPECT_TRUE(rtsUp());
  port.SetHardwareFlow(HfUseDtr | HfUseRts);

  // With the device willing, RS-485 goes on as usual.
  port.SetRs485Mode(true);
  EXPECT_TRUE(port.GetRs485Mode());
  EXPECT_EQ(port.GetHardwareFlow(), HfUseDtr);
  EXPECT_FALSE(port.GetRtsOn());
  EXPECT_FALSE(rtsUp());
  EXPECT_FALSE(p.Pty.SlaveSettings().c_cflag & CRTSCTS);
  port.SetOpen(false);
}

TEST(ComPort, LinesTheHandshakeGivesBackAreAsRtsOnAndDtrOnSay) {
  auto lineBits = [](const PseudoTerminal& Pty) {
    int bits = 0;
    EXPECT_EQ(ioctl(Pty.Slave(), TIOCMGET, &bits), 0);
    return bits;
  };

  // Opened with RTS and DTR in the handshake and both wanted up: as the
  // handshake lets go of each, it stays up (or comes up), as the port says.
  {
    TPortOnPty p(72);
    korvel_test::TPseudoTerminalModemLines lines(p.Pty.Slave());
    TApdComPort& port = p.Port;
    port.SetHardwareFlow(HfUseRts | HfUseDtr);
    ASSERT_TRUE(port.GetRtsOn());
    ASSERT_TRUE(port.GetDtrOn());
    port.SetOpen(true);
    ASSERT_EQ(port.GetState(), psOpen);
    EXPECT_TRUE(p.Pty.SlaveSettings().c_cflag & CRTSCTS);
    port.SetHardwareFlow(HfUseDtr);
    EXPECT_TRUE(lineBits(p.Pty) & TIOCM_RTS) << "RTS is up, as RtsOn says";
    EXPECT_TRUE(lineBits(p.Pty) & TIOCM_DTR);
    EXPECT_FALSE(p.Pty.SlaveSettings().c_cflag & CRTSCTS);
    port.SetHardwareFlow(0);
    EXPECT_TRUE(lineBits(p.Pty) & TIOCM_DTR) << "DTR is up, as DtrOn says";
    EXPECT_TRUE(lineBits(p.Pty) & TIOCM_RTS);
    EXPECT_TRUE(port.GetRtsOn());
    EXPECT_TRUE(port.GetDtrOn());
    // The dispatcher holds them up too: the next write of the line settings
    // keeps them so, and data goes both ways.
    port.SetBaud(19200);
    EXPECT_EQ(lineBits(p.Pty) & (TIOCM_RTS | TIOCM_DTR), TIOCM_RTS | TIOCM_DTR);
    port.PutString("out");
    EXPECT_EQ(Text(p.Pty.Receive(3)), "out");
    p.Pty.Send(Bytes("in"));
    EXPECT_TRUE(p.Pump([&] { return p.Received == "in"; }));
    // And they are the user's again.
    port.SetRtsOn(false);
    port.SetDtrOn(false);
    EXPECT_EQ(lineBits(p.Pty) & (TIOCM_RTS | TIOCM_DTR), 0);
    port.SetOpen(false);
  }

  // Wanted down, they stay down once the handshake lets go of them.
  TPortOnPty p(73);
  korvel_test::TPseudoTerminalModemLines lines(p.Pty.Slave());
  TApdComPort& port = p.Port;
  port.SetHardwareFlow(HfUseRts | HfUseDtr);
  port.SetRtsOn(false);
  port.SetDtrOn(false);
  port.SetOpen(true);
  ASSERT_EQ(port.GetState(), psOpen);
  port.SetHardwareFlow(0);
  EXPECT_EQ(lineBits(p.Pty) & (TIOCM_RTS | TIOCM_DTR), 0);
  EXPECT_FALSE(port.GetRtsOn());
  EXPECT_FALSE(port.GetDtrOn());
  port.SetBaud(19200);
  EXPECT_EQ(lineBits(p.Pty) & (TIOCM_RTS | TIOCM_DTR), 0);
  port.SetOpen(false);
}

TEST(ComPort, ClosingFromItsOwnEventWhileDataFlowsAndReopening) {
  TPortOnPty p(67);
  TApdComPort& port = p.Port;
  // Opened with no event to raise, under a flood that fills the receive ring.
  port.SetOnDataAvailable(nullptr);
  int opened = 0;
  port.OnPortOpen = [&](TApdCustomComPort&) { ++opened; };
  port.SetOpen(true);
  std::atomic<bool> stop{false};
  std::thread farEnd([&] {
    const std::vector<uint8_t> block(1024, 'f');
    while (!stop)
      if (write(p.Pty.Master(), block.data(), block.size()) < 0) std::this_thread::sleep_for(1ms);
  });
  struct TJoin {
    std::atomic<bool>& Stop;
    std::thread& Thread;
    ~TJoin() {
      Stop = true;
      if (Thread.joinable()) Thread.join();
    }
  } join{stop, farEnd};
  ASSERT_TRUE(p.Pump([&] { return port.CurrentDispatcher()->InputUsed() == DispatchBufferSize; }));
  // The event set now still gets what waits in the full ring; inside it the port
  // closes, and opens again once the close is done.
  bool closedInside = false;
  int afterClose = 0;
  port.SetOnDataAvailable([&](TApdCustomComPort& Sender, uint32_t Count) {
    if (closedInside && Sender.GetState() != psOpen) ++afterClose;
    std::vector<uint8_t> block(Count);
    Sender.CheckedDispatcher().GetBlock(block.data(), Count);
    p.Received += Text(block);
    if (p.Received.size() > 20000 && !closedInside) {
      closedInside = true;
      Sender.SetOpen(false);
      EXPECT_EQ(Sender.GetState(), psClosing) << "the dispatch thread finishes the close";
      Sender.SetOpen(true);  // carried out once the close is done
    }
  });
  ASSERT_TRUE(p.Pump([&] { return opened == 2 && port.GetState() == psOpen; }));
  EXPECT_EQ(afterClose, 0);
  const size_t before = p.Received.size();
  ASSERT_TRUE(p.Pump([&] { return p.Received.size() > before + 5000; })) << "data flows on the reopened port";

  // The far end vanishes under the flow: the port stays usable and closes cleanly.
  stop = true;
  farEnd.join();
  p.Pty.CloseMaster();
  p.PumpFor(50ms);
  EXPECT_EQ(port.GetState(), psOpen);
  TApdBaseDispatcher* dispatcher = port.CurrentDispatcher();
  std::string refused;
  for (int i = 0; i < 2000 && refused.empty(); ++i) {
    try {
      port.PutString(std::string(1000, 'x'));
    } catch (const EPutBlockFail& Error) {
      refused = Error.what();  // the device refuses what is queued
    } catch (const EOutputBufferTooSmall&) {
      // The transmit ring is full first.
    }
    p.PumpFor(1ms);
  }
  EXPECT_FALSE(refused.empty());
  EXPECT_GT(dispatcher->ActiveThreads(), 0);
  port.SetOpen(false);
  EXPECT_EQ(port.GetState(), psClosed);
  EXPECT_EQ(port.CurrentDispatcher(), nullptr);
}

TEST(ComPort, WithoutAnEventThreadAndOnAnOpenDescriptor) {
  // No event thread: the port raises no events; the data waits for whoever reads it.
  PseudoTerminal pty;
  SetComPortDevice(68, pty.SlaveName());
  TApdComPort port;
  port.SetEventThread(nullptr);
  port.SetPortNumber(68);
  std::atomic<int> calls{0};
  port.SetOnDataAvailable([&](TApdCustomComPort&, uint32_t) { ++calls; });
  port.SetOpen(true);
  pty.Send(Bytes("quiet"));
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (port.CurrentDispatcher()->InputUsed() < 5 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(port.CurrentDispatcher()->InputUsed(), 5u);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls, 0);
  port.SetOpen(false);

  // A descriptor opened elsewhere: the port takes its line settings as they are.
  const int handle = open(pty.SlaveName().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(handle, 0);
  termios settings{};
  tcgetattr(handle, &settings);
  cfsetspeed(&settings, B2400);
  tcsetattr(handle, TCSANOW, &settings);
  TApdComPort tapi;
  tapi.SetTapiMode(tmOnTapiHandle);
  EXPECT_EQ(CodeRaisedBy<ENotOpenedByTapi>([&] { tapi.SetOpen(true); }), -2012);
  tapi.SetTapiHandle(static_cast<uint16_t>(handle));
  tapi.SetOpen(true);
  EXPECT_EQ(tapi.GetBaud(), 2400u);
  EXPECT_EQ(tapi.GetState(), psOpen);
  tapi.SetOpen(false);
  close(handle);
}

TEST(ComPort, LinksDropWhenEitherSideGoes) {
  struct TClient : TApdComPortClient {
    TApdCustomComPort* Removed = nullptr;
    void ComPortRemoved(TApdCustomComPort& Port) override { Removed = &Port; }
  } first, second;
  auto port = std::make_unique<TApdComPort>();
  TApdComPort* raw = port.get();
  LinkComPort(first, *port);
  LinkComPort(second, *port);
  EXPECT_EQ(ComPortTerminalLink(*port), &second) << "the terminal linked last answers for the port";
  UnlinkComPort(second);
  EXPECT_EQ(ComPortTerminalLink(*port), &first);
  port.reset();
  EXPECT_EQ(first.Removed, raw);
  EXPECT_EQ(second.Removed, nullptr);
}
