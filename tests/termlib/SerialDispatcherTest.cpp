// The serial dispatcher and its device layer over pseudo-terminal pairs: the
// port under test opens the slave side, the test plays the far end on the
// master side. A pseudo-terminal has no modem lines and cannot carry a BREAK;
// it keeps eight data bits without parity whatever is asked for.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "AwWin32.h"
#include "ComPortNames.h"
#include "PseudoTerminal.h"
#include "WaitUntil.h"

using korvel_test::PseudoTerminal;
using korvel_test::WaitUntil;
using korvel_test::Bytes;
using namespace std::chrono_literals;

namespace {

// Pseudo-random bytes; without the flow-control characters where software flow is on.
std::vector<uint8_t> RandomBytes(size_t Count, uint32_t Seed, bool AvoidFlowChars = false) {
  std::vector<uint8_t> bytes;
  bytes.reserve(Count);
  uint32_t state = Seed | 1;
  while (bytes.size() < Count) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    const uint8_t value = static_cast<uint8_t>(state >> 11);
    if (AvoidFlowChars && (value == 17 || value == 19)) continue;
    bytes.push_back(value);
  }
  return bytes;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Takes every byte the dispatcher offers in its data-available messages, on
// the dispatch thread, and notes any message that comes after Closed is set.
struct TReceiver {
  std::mutex Lock;
  std::vector<uint8_t> Data;
  std::atomic<size_t> Count{0};
  std::atomic<bool> Closed{false};
  std::atomic<int> LateEvents{0};

  void Attach(TApdBaseDispatcher& Dispatcher) {
    Dispatcher.SetLengthTrigger(1);
    Dispatcher.RegisterEventHandler([this, &Dispatcher](uint32_t Msg, uint32_t Param, uint32_t) {
      if (Closed) ++LateEvents;
      if (Msg != ApwTriggerAvail) return;
      std::vector<uint8_t> block(Param);
      if (Dispatcher.GetBlock(block.data(), Param) != static_cast<int32_t>(Param)) return;
      std::lock_guard<std::mutex> guard(Lock);
      Data.insert(Data.end(), block.begin(), block.end());
      Count = Data.size();
    });
  }
  std::vector<uint8_t> Take() {
    std::lock_guard<std::mutex> guard(Lock);
    return Data;
  }
};

// Queues all of Data, waiting for room; false when the dispatcher refuses.
bool SendAll(TApdBaseDispatcher& Dispatcher, const std::vector<uint8_t>& Data) {
  size_t done = 0;
  while (done < Data.size()) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(1500, Data.size() - done));
    const int32_t result = Dispatcher.PutBlock(Data.data() + done, chunk);
    if (result == 0)
      done += chunk;
    else if (result == -3006)
      std::this_thread::sleep_for(200us);
    else
      return false;
  }
  return true;
}

int32_t Open(TApdBaseDispatcher& Dispatcher, const std::string& Name, uint32_t Baud = 115200) {
  return Dispatcher.OpenPort(Name, Baud, OpenDtrOn | OpenRtsOn, 4096, 4096, 1, 8, NoParity);
}

// A device layer whose device reports a received BREAK when asked to: a
// pseudo-terminal cannot carry one.
class TBreakingDispatcher final : public TApdWin32Dispatcher {
 public:
  using TApdWin32Dispatcher::TApdWin32Dispatcher;
  ~TBreakingDispatcher() override { Shutdown(); }
  std::atomic<uint32_t> Injected{0};

 protected:
  uint32_t ReadStatus(TApdComStat& Status) override {
    TApdWin32Dispatcher::ReadStatus(Status);
    Status.Errors |= Injected.exchange(0);
    return Status.Errors;
  }
};

}  // namespace

TEST(SerialDispatcher, OpensConfiguresClosesAndReopensThroughTheComName) {
  PseudoTerminal pty;
  SetComPortDevice(41, pty.SlaveName());
  TApdWin32Dispatcher dispatcher(nullptr, nullptr);
  ASSERT_EQ(dispatcher.OpenPort("\\\\.\\COM41", 250000, OpenDtrOn | OpenRtsOn, 4096, 4096, 2, 8, NoParity), 0);
  EXPECT_EQ(dispatcher.ThreadsStarted(), true);
  EXPECT_EQ(dispatcher.ActiveThreads(), 3);

  // Raw mode with the rate the kernel's custom-rate call set and two stop bits.
  termios device = pty.SlaveSettings();
  EXPECT_EQ(TSerialPort::CurrentBaudRate(dispatcher.ComHandle()).value_or(0), 250000u);
  EXPECT_TRUE(device.c_cflag & CSTOPB);
  EXPECT_FALSE(device.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_TRUE(device.c_iflag & PARMRK);
  uint32_t baud = 0;
  uint8_t parity = 9, bits = 0, stop = 0;
  ASSERT_EQ(dispatcher.GetLine(baud, parity, bits, stop), 0);
  EXPECT_EQ(baud, 250000u);
  EXPECT_EQ(stop, 2);
  // Values left as they are (0, 5, 9) change only the stop bits; asking again changes nothing.
  EXPECT_EQ(dispatcher.SetLine(0, 5, 1, 9), 0);
  EXPECT_FALSE(pty.SlaveSettings().c_cflag & CSTOPB);
  EXPECT_EQ(dispatcher.SetLine(65296 + 6, 5, 1, 9), 0);  // the old code of 9600
  EXPECT_EQ(cfgetospeed(&(device = pty.SlaveSettings())), static_cast<speed_t>(B9600));
  EXPECT_EQ(dispatcher.SetLine(9600, NoParity, 1, 8), 0);
  // Seven data bits with parity reach the device; a pseudo-terminal keeps eight without.
  EXPECT_EQ(dispatcher.SetLine(0, EvenParity, 1, 7), 0);
  ASSERT_EQ(dispatcher.GetLine(baud, parity, bits, stop), 0);
  EXPECT_EQ(bits, 8);
  EXPECT_EQ(parity, NoParity);
  EXPECT_EQ(dispatcher.SetLine(0, 6, 1, 8), -1002);
  EXPECT_EQ(dispatcher.SetLine(0, 5, 1, 4), -2003);

  // Flow control lands in the terminal settings and reads back.
  EXPECT_EQ(dispatcher.SetHardwareFlow(3686, 409, HfUseRts | HfRequireCts), 0);
  EXPECT_TRUE(pty.SlaveSettings().c_cflag & CRTSCTS);
  EXPECT_EQ(dispatcher.SetSoftwareFlow(3072, 1024, SfReceiveFlow | SfTransmitFlow), 0);
  device = pty.SlaveSettings();
  EXPECT_TRUE((device.c_iflag & IXON) && (device.c_iflag & IXOFF));
  EXPECT_EQ(device.c_cc[VSTART], 17);
  EXPECT_EQ(device.c_cc[VSTOP], 19);
  EXPECT_EQ(dispatcher.SetFlowChars(0x11, 0x05), 0);
  EXPECT_EQ(pty.SlaveSettings().c_cc[VSTOP], 0x05);
  uint32_t hardware = 0, software = 0;
  uint8_t xon = 0, xoff = 0;
  ASSERT_EQ(dispatcher.GetFlowOptions(hardware, software, xoff, xon), 0);
  EXPECT_EQ(hardware, HfUseRts | HfRequireCts);
  EXPECT_EQ(software, SfReceiveFlow | SfTransmitFlow);
  EXPECT_EQ(xoff, 0x05);
  EXPECT_EQ(dispatcher.SetHardwareFlow(100, 200, HfUseRts), -1002);
  EXPECT_EQ(dispatcher.SetHardwareFlow(5000, 10, HfUseRts), -1002);
  EXPECT_EQ(dispatcher.ClearSoftwareFlow(), 0);
  EXPECT_EQ(dispatcher.SetHardwareFlow(3686, 409, 0), 0);
  device = pty.SlaveSettings();
  EXPECT_FALSE(device.c_iflag & (IXON | IXOFF));
  EXPECT_FALSE(device.c_cflag & CRTSCTS);

  // No modem lines: the calls fail cleanly, a BREAK request goes through.
  EXPECT_EQ(dispatcher.SetDtr(false), -3002);
  EXPECT_EQ(dispatcher.SetRts(true), -3002);
  uint8_t lines = 0xFF;
  EXPECT_EQ(dispatcher.ReadModemLines(lines), -3002);
  EXPECT_EQ(dispatcher.GetModemStatus(), 0);
  EXPECT_EQ(dispatcher.SendBreak(), 0);
  EXPECT_EQ(dispatcher.EscapeFunction(EscSetBreak), 0);
  EXPECT_EQ(dispatcher.EscapeFunction(EscClrBreak), 0);

  // Without handlers received data stays; flushing output leaves it alone.
  pty.Send(Bytes("abc"));
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.InputUsed() == 3; }));
  dispatcher.FlushOutput();
  EXPECT_EQ(dispatcher.InputUsed(), 3u);
  uint8_t got[8] = {};
  EXPECT_EQ(dispatcher.GetBlock(got, 4), -3007);  // more than held: nothing moves
  EXPECT_EQ(dispatcher.GetBlock(got, 3), 3);
  EXPECT_EQ(std::string(got, got + 3), "abc");

  dispatcher.ClosePort();
  EXPECT_FALSE(dispatcher.IsOpen());
  EXPECT_EQ(dispatcher.ActiveThreads(), 0);
  EXPECT_EQ(dispatcher.PutChar('x'), -2007);

  // Reopened, the port carries data both ways again.
  ASSERT_EQ(Open(dispatcher, "COM41"), 0);
  TReceiver receiver;
  receiver.Attach(dispatcher);
  pty.Send(Bytes("ping"));
  ASSERT_TRUE(WaitUntil([&] { return receiver.Count == 4; }));
  EXPECT_EQ(receiver.Take(), Bytes("ping"));
  ASSERT_EQ(dispatcher.PutBlock(Bytes("pong").data(), 4), 0);
  EXPECT_EQ(pty.Receive(4), Bytes("pong"));

  // A second holder of the port and a missing port are refused with the host's reason.
  TApdWin32Dispatcher second(nullptr, nullptr);
  EXPECT_EQ(Open(second, pty.SlaveName()), -5);
  EXPECT_EQ(Open(second, "/dev/korvel-no-such-port"), -2);
  EXPECT_EQ(second.LastSystemError(), ENOENT);
  EXPECT_EQ(second.ActiveThreads(), 0);
  SetComPortDevice(41, "");
}

TEST(SerialDispatcher, TranslatesLineSettingsBothWays) {
  // A pseudo-terminal keeps no data size or parity, so the translation is
  // checked on the terminal settings that the port builds.
  for (uint8_t bits : {5, 6, 7, 8}) {
    for (uint8_t parity : {NoParity, OddParity, EvenParity, MarkParity, SpaceParity}) {
      TApdDCB written;
      written.ByteSize = bits;
      written.Parity = parity;
      written.StopBits = TwoStopBits;
      written.OutX = true;
      written.XoffChar = 0x13;
      termios terminal{};
      TSerialPort::BuildTerminalSettings(TApdWin32Dispatcher::LineSettingsOfDCB(written), terminal);
      TApdDCB read;
      TApdWin32Dispatcher::DCBOfTerminal(terminal, 1200, read);
      EXPECT_EQ(read.ByteSize, bits);
      EXPECT_EQ(read.Parity, parity);
      EXPECT_EQ(read.StopBits, bits == 5 ? One5StopBits : TwoStopBits);
      EXPECT_TRUE(read.OutX);
      EXPECT_FALSE(read.InX);
      EXPECT_EQ(read.BaudRate, 1200u);
    }
  }
}

class SerialTransfer : public testing::TestWithParam<int> {};

// 1 MiB each way at once, byte for byte: without flow control, with the
// kernel's RTS/CTS handshake (which a pseudo-terminal stores but has no lines
// for) and with XON/XOFF (which a pseudo-terminal obeys).
TEST_P(SerialTransfer, MovesAMebibyteEachWayAtOnce) {
  const int flow = GetParam();
  PseudoTerminal pty;
  TApdWin32Dispatcher dispatcher(nullptr, nullptr);
  ASSERT_EQ(Open(dispatcher, pty.SlaveName(), 921600), 0);
  if (flow == 1) {
    ASSERT_EQ(dispatcher.SetHardwareFlow(3686, 409, HfUseRts | HfRequireCts), 0);
  }
  if (flow == 2) {
    ASSERT_EQ(dispatcher.SetSoftwareFlow(3072, 1024, SfReceiveFlow | SfTransmitFlow), 0);
  }
  TReceiver receiver;
  receiver.Attach(dispatcher);
  const size_t size = 1 << 20;
  const auto incoming = RandomBytes(size, 7, flow == 2);
  const auto outgoing = RandomBytes(size, 11);
  std::thread farSender([&] { pty.Send(incoming); });
  auto farReceived = std::async(std::launch::async, [&] { return pty.Receive(size, 120s); });
  EXPECT_TRUE(SendAll(dispatcher, outgoing));
  EXPECT_TRUE(WaitUntil([&] { return receiver.Count == size; }, 120s));
  farSender.join();
  EXPECT_TRUE(receiver.Take() == incoming);
  EXPECT_TRUE(farReceived.get() == outgoing);
  EXPECT_EQ(dispatcher.LineErrors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Flow, SerialTransfer, testing::Values(0, 1, 2));

TEST(SerialDispatcher, OutputWaitsWhileTheFarEndSaysXoff) {
  PseudoTerminal pty;
  TApdWin32Dispatcher dispatcher(nullptr, nullptr);
  ASSERT_EQ(Open(dispatcher, pty.SlaveName()), 0);
  ASSERT_EQ(dispatcher.SetSoftwareFlow(3072, 1024, SfTransmitFlow), 0);
  TReceiver receiver;
  receiver.Attach(dispatcher);
  // XOFF is consumed by the terminal; the byte after it shows it has been seen.
  pty.Send({19, 'M'});
  ASSERT_TRUE(WaitUntil([&] { return receiver.Count == 1; }));
  const auto outgoing = RandomBytes(3000, 3);
  ASSERT_EQ(dispatcher.PutBlock(outgoing.data(), 3000), 0);
  EXPECT_TRUE(pty.Receive(1, 300ms).empty());
  EXPECT_EQ(dispatcher.OutputUsed(), 3000u);
  pty.Send({17});
  EXPECT_EQ(pty.Receive(3000), outgoing);
  EXPECT_TRUE(WaitUntil([&] { return dispatcher.OutputUsed() == 0; }));
  EXPECT_EQ(receiver.Take(), Bytes("M"));
}

TEST(SerialDispatcher, FarEndVanishingKeepsUnsentOutputAndCostsNoTime) {
  PseudoTerminal pty;
  TApdWin32Dispatcher dispatcher(nullptr, nullptr);
  ASSERT_EQ(Open(dispatcher, pty.SlaveName()), 0);
  TReceiver receiver;
  receiver.Attach(dispatcher);
  pty.Send(Bytes("hello"));
  ASSERT_TRUE(WaitUntil([&] { return receiver.Count == 5; }));

  // Output piles up while nobody reads, then the far end goes away under it.
  const auto block = RandomBytes(1000, 5);
  std::atomic<int32_t> refused{0};
  std::thread sender([&] {
    for (int i = 0; i < 100000 && refused == 0; ++i) {
      const int32_t result = dispatcher.PutBlock(block.data(), 1000);
      if (result == -3006) std::this_thread::sleep_for(1ms);
      if (result != 0 && result != -3006) refused = result;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.OutputFree() < 1000; }));
  pty.CloseMaster();
  sender.join();
  EXPECT_EQ(refused, -3004);
  EXPECT_TRUE(WaitUntil([&] { return dispatcher.HungUp(); }));
  EXPECT_EQ(dispatcher.OutputError(), EIO);
  // The refused block is still there, not dropped.
  EXPECT_GT(dispatcher.OutputUsed(), 0u);
  EXPECT_EQ(dispatcher.PutBlock(block.data(), 10), -3004);

  // Nothing spins over the dead device.
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(400ms);
  EXPECT_LT(ProcessCpuSeconds() - before, 0.15);

  dispatcher.FlushOutput();
  EXPECT_EQ(dispatcher.OutputUsed(), 0u);
  EXPECT_EQ(dispatcher.OutputError(), 0);
  dispatcher.ClosePort();
  receiver.Closed = true;
  EXPECT_EQ(dispatcher.ActiveThreads(), 0);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(receiver.LateEvents, 0);
}

TEST(SerialDispatcher, ClosingWhileDataFlowsBothWaysEndsEveryThread) {
  for (int round = 0; round < 4; ++round) {
    PseudoTerminal pty;
    TApdWin32Dispatcher dispatcher(nullptr, nullptr);
    ASSERT_EQ(Open(dispatcher, pty.SlaveName()), 0);
    TReceiver receiver;
    receiver.Attach(dispatcher);
    ASSERT_GE(dispatcher.AddDataTrigger("zz", false), 0);
    std::atomic<bool> stop{false};
    std::thread farSender([&] {
      const auto block = RandomBytes(4096, 9);
      while (!stop) {
        if (write(pty.Master(), block.data(), block.size()) < 0) std::this_thread::sleep_for(1ms);
      }
    });
    std::thread farReader([&] {
      uint8_t buffer[4096];
      while (!stop)
        if (read(pty.Master(), buffer, sizeof buffer) <= 0) std::this_thread::sleep_for(1ms);
    });
    std::thread sender([&] {
      const auto block = RandomBytes(700, 13);
      while (!stop) {
        const int32_t result = dispatcher.PutBlock(block.data(), 700);
        if (result == -2007) break;
        if (result != 0) std::this_thread::sleep_for(100us);
      }
    });
    ASSERT_TRUE(WaitUntil([&] { return receiver.Count > 100000; }));
    dispatcher.ClosePort();
    receiver.Closed = true;
    EXPECT_EQ(dispatcher.ActiveThreads(), 0);
    EXPECT_FALSE(dispatcher.ThreadsStarted());
    std::this_thread::sleep_for(20ms);
    stop = true;
    sender.join();
    farSender.join();
    farReader.join();
    EXPECT_EQ(receiver.LateEvents, 0);
  }
}

TEST(SerialDispatcher, ClosingFromAHandlerOnTheDispatchThread) {
  PseudoTerminal pty;
  TApdWin32Dispatcher dispatcher(nullptr, nullptr);
  ASSERT_EQ(Open(dispatcher, pty.SlaveName()), 0);
  const int32_t quit = dispatcher.AddDataTrigger("QUIT", false);
  std::atomic<bool> closed{false};
  std::atomic<int> late{0};
  dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
    if (closed) ++late;
    if (Msg == ApwTriggerData && static_cast<int32_t>(Param) == quit) {
      dispatcher.ClosePort();
      EXPECT_TRUE(dispatcher.ClosePending());
      // Reopening from inside the handler waits for nothing: it is refused.
      EXPECT_EQ(Open(dispatcher, pty.SlaveName()), -2008);
      closed = true;
    }
  });
  pty.Send(Bytes("xxQUITyyyy"));
  ASSERT_TRUE(WaitUntil([&] { return closed && dispatcher.ActiveThreads() == 0; }));
  EXPECT_FALSE(dispatcher.IsOpen());
  pty.Send(Bytes("more"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(late, 0);

  // The close is complete: the same dispatcher opens again and works.
  ASSERT_EQ(Open(dispatcher, pty.SlaveName()), 0);
  closed = false;
  dispatcher.FlushInput();  // what came while the port was closed
  TReceiver receiver;
  receiver.Attach(dispatcher);
  pty.Send(Bytes("again"));
  ASSERT_TRUE(WaitUntil([&] { return receiver.Count >= 5; }));
  EXPECT_EQ(receiver.Take(), Bytes("again"));
}

TEST(SerialDispatcher, ClosingFromASynchronisedHandlerOnTheMainThread) {
  PseudoTerminal pty;
  TQueuedMainThread main;
  TApdWin32Dispatcher dispatcher(nullptr, &main);
  ASSERT_EQ(Open(dispatcher, pty.SlaveName()), 0);
  dispatcher.SetLengthTrigger(1);
  const auto mainThread = std::this_thread::get_id();
  int calls = 0;
  bool onMain = true;
  dispatcher.RegisterEventHandler(
      [&](uint32_t Msg, uint32_t Param, uint32_t) {
        ++calls;
        onMain = onMain && std::this_thread::get_id() == mainThread;
        if (Msg != ApwTriggerAvail) return;
        std::vector<uint8_t> block(Param);
        ASSERT_EQ(dispatcher.GetBlock(block.data(), Param), static_cast<int32_t>(Param));
        dispatcher.ClosePort();
      },
      true);
  pty.Send(Bytes("bye"));
  ASSERT_TRUE(main.PumpUntil([&] { return calls > 0 && dispatcher.ActiveThreads() == 0; }));
  pty.Send(Bytes("after"));
  main.PumpUntil([] { return false; }, 150ms);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(dispatcher.IsOpen());
}

TEST(SerialDispatcher, ClosingNeverWaitsForAMainThreadThatIsBusyClosing) {
  // The dispatch thread waits for a synchronised handler that the main thread
  // (this thread) never runs because it is closing the port meanwhile.
  PseudoTerminal pty;
  TQueuedMainThread main;
  auto dispatcher = std::make_unique<TApdWin32Dispatcher>(nullptr, &main);
  ASSERT_EQ(Open(*dispatcher, pty.SlaveName()), 0);
  dispatcher->SetLengthTrigger(1);
  std::atomic<int> calls{0};
  dispatcher->RegisterEventHandler([&](uint32_t, uint32_t, uint32_t) { ++calls; }, true);
  pty.Send(Bytes("wake"));
  ASSERT_TRUE(WaitUntil([&] { return main.PendingCount() > 0; }));
  auto closing = std::async(std::launch::async, [&] { dispatcher->ClosePort(); });
  const bool finished = closing.wait_for(20s) == std::future_status::ready;
  if (!finished) main.PumpUntil([&] { return closing.wait_for(0s) == std::future_status::ready; });
  EXPECT_TRUE(finished);
  EXPECT_EQ(dispatcher->ActiveThreads(), 0);
  dispatcher.reset();
  // The call that never started never runs.
  main.RunPending();
  EXPECT_EQ(calls, 0);
}

TEST(SerialDispatcher, TakesOverAnOpenTerminal) {
  TApdTAPI32Dispatcher none(nullptr, 0, nullptr);
  EXPECT_EQ(Open(none, ""), -2007);
  EXPECT_EQ(none.LastSystemError(), EBADF);
  TApdTAPI32Dispatcher closed(nullptr, 1000, nullptr);
  EXPECT_EQ(Open(closed, ""), -2007);

  PseudoTerminal pty;
  const int handle = open(pty.SlaveName().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(handle, 0);
  TApdTAPI32Dispatcher dispatcher(nullptr, handle, nullptr);
  // Asked for what the terminal holds already (38400 8N1), the port is still
  // configured: raw mode, no echo.
  ASSERT_EQ(Open(dispatcher, "", 38400), 0);
  EXPECT_FALSE(pty.SlaveSettings().c_lflag & (ICANON | ECHO));
  EXPECT_NE(dispatcher.ComHandle(), handle);
  TReceiver receiver;
  receiver.Attach(dispatcher);
  pty.Send(Bytes("tapi"));
  ASSERT_TRUE(WaitUntil([&] { return receiver.Count == 4; }));
  dispatcher.ClosePort();
  // The caller's descriptor stays its own.
  EXPECT_NE(fcntl(handle, F_GETFD), -1);
  close(handle);
}

TEST(SerialDispatcher, ReportsAReceivedBreakOnceAsALineStatusEvent) {
  PseudoTerminal pty;
  TBreakingDispatcher dispatcher(nullptr, nullptr);
  ASSERT_EQ(Open(dispatcher, pty.SlaveName()), 0);
  const int32_t lineStatus = dispatcher.AddStatusTrigger(StatusLine);
  ASSERT_EQ(lineStatus & 7, static_cast<int32_t>(StatusLine));
  ASSERT_EQ(dispatcher.SetStatusTrigger(lineStatus, LineErrorBreak, true), 0);
  std::atomic<int> events{0};
  dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
    if (Msg == ApwTriggerStatus && static_cast<int32_t>(Param) == lineStatus) ++events;
  });
  dispatcher.Injected = LineErrorBreak | LineErrorFraming;
  ASSERT_TRUE(WaitUntil([&] { return events == 1; }));
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(events, 1);
  EXPECT_EQ(dispatcher.TakeLineError(), LeFraming);
  EXPECT_EQ(dispatcher.TakeLineError(), LeBreak);
  EXPECT_TRUE(dispatcher.TakeBreak());
  EXPECT_FALSE(dispatcher.TakeBreak());
  EXPECT_EQ(dispatcher.TakeLineError(), LeNoError);
}
