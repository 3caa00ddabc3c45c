#include "ComRx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "PseudoTerminal.h"
#include "ComPortNames.h"

using korvel_test::PseudoTerminal;

namespace {

// A port on the slave side of a fresh pseudo-terminal, its events collected on
// the test's own main-thread queue.
struct ComRxBench {
  PseudoTerminal pty;
  TQueuedMainThread main_thread;
  TComRx port{&main_thread};
  std::vector<uint8_t> blocks;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> errors;
  bool events_on_main_thread = true;
  std::thread::id test_thread = std::this_thread::get_id();

  ComRxBench() {
    port.SetPortName(pty.SlaveName());
    port.OnDataBlock = [this](TComRx& sender, const uint8_t* data, uint32_t count) {
      EXPECT_EQ(&sender, &port);
      events_on_main_thread &= std::this_thread::get_id() == test_thread;
      blocks.insert(blocks.end(), data, data + count);
    };
    port.OnData = [this](TComRx&, uint8_t value) { bytes.push_back(value); };
    port.OnError = [this](TComRx&, uint32_t code, bool&) {
      events_on_main_thread &= std::this_thread::get_id() == test_thread;
      errors.push_back(code);
    };
  }
};

std::vector<uint8_t> Pattern(size_t count) {
  std::vector<uint8_t> data(count);
  for (size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return data;
}

}  // namespace

TEST(ComRx, MissingOrBusyPortsRaiseAndStayClosed) {
  TQueuedMainThread main_thread;
  TComRx missing(&main_thread);
  missing.SetPortName("/dev/korvel-no-such-port");
  EXPECT_THROW(missing.SetActive(true), EComInvalidPort);
  missing.SetPortName("/dev/null");  // exists, but is no serial port
  EXPECT_THROW(missing.SetActive(true), EComInvalidPort);
  EXPECT_FALSE(missing.GetActive());
  EXPECT_FALSE(missing.TxReady());
  EXPECT_FALSE(missing.WriteByte('x', 0));

  PseudoTerminal pty;
  TComRx first(&main_thread), second(&main_thread);
  first.SetPortName(pty.SlaveName());
  second.SetPortName(pty.SlaveName());
  first.SetActive(true);
  EXPECT_THROW(second.SetActive(true), EComPortInUse);
  EXPECT_FALSE(second.GetActive());
  first.SetActive(false);
  EXPECT_NO_THROW(second.SetActive(true));
  EXPECT_TRUE(second.GetActive());
}

TEST(ComRx, ComNumberMapsToTheConfiguredDevice) {
  PseudoTerminal pty;
  SetComPortDevice(2, pty.SlaveName());
  TQueuedMainThread main_thread;
  TComRx port(&main_thread);
  port.SetPortName("\\\\.\\COM2");
  EXPECT_NO_THROW(port.SetActive(true));
  SetComPortDevice(2, "");
}

TEST(ComRx, LineSettingsOfTheOptionsAreApplied) {
  ComRxBench bench;
  TComOptions& options = bench.port.GetOptions();
  options.SetBaudRate(Com_br57600);
  options.SetStopBits(Com_sbTwo);
  options.SetParity(Com_pEven);
  options.SetDataBits(Com_dbSeven);
  options.GetHardwareFlow().SetTxUseCtsFlow(true);
  options.GetSoftwareFlow().SetTxFlow(true);
  bench.port.SetActive(true);
  termios applied = bench.pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B57600));
  EXPECT_TRUE(applied.c_cflag & CSTOPB);
  EXPECT_TRUE(applied.c_cflag & CRTSCTS);
  EXPECT_TRUE(applied.c_iflag & IXON);
  EXPECT_TRUE(applied.c_iflag & INPCK);  // parity checking is on (the pseudo-terminal drops parity itself)
  EXPECT_EQ(applied.c_cc[VSTART], 17);
  EXPECT_EQ(applied.c_cc[VSTOP], 19);

  // Re-opening applies changed options; rates without a terminal name work too.
  options.SetBaudRate(Com_br256000);
  options.SetStopBits(Com_sbOne);
  options.GetHardwareFlow().SetTxUseCtsFlow(false);
  bench.port.OpenPort();
  applied = bench.pty.SlaveSettings();
  EXPECT_FALSE(applied.c_cflag & (CSTOPB | CRTSCTS));
  int handle = open(bench.pty.SlaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(handle, 0);
  EXPECT_EQ(TSerialPort::CurrentBaudRate(handle).value_or(0), 256000u);
  close(handle);
}

TEST(ComRx, ReceivedBlocksReachTheMainThreadInOrder) {
  ComRxBench bench;
  bench.port.SetActive(true);
  const std::vector<uint8_t> data = Pattern(20000);  // 00 and FF among them
  std::thread sender([&] { bench.pty.Send(data); });
  EXPECT_TRUE(bench.main_thread.PumpUntil([&] { return bench.bytes.size() >= data.size(); }));
  sender.join();
  EXPECT_EQ(bench.blocks, data);
  EXPECT_EQ(bench.bytes, data);
  EXPECT_TRUE(bench.events_on_main_thread);
  EXPECT_TRUE(bench.errors.empty());
}

// A receiver with a small queue of its own: the port never hands it more than
// the room it last gave, waits while it has none, and so loses nothing of a
// burst far larger than the room; the sender waits meanwhile.
TEST(ComRx, ReceiverRoomHoldsTheSenderBackAndNothingIsLost) {
  ComRxBench bench;
  constexpr uint32_t room = 300;
  bench.port.SetReceiveRoom(room);
  bool within_room = true;
  bench.port.OnData = nullptr;
  bench.port.OnDataBlock = [&](TComRx&, const uint8_t* data, uint32_t count) {
    within_room &= count <= room;
    bench.blocks.insert(bench.blocks.end(), data, data + count);
    // The queue is full now and empties later, when the main thread gets to it.
    bench.port.SetReceiveRoom(0);
    bench.main_thread.Post([&] { bench.port.SetReceiveRoom(room); });
  };
  bench.port.SetActive(true);
  const std::vector<uint8_t> data = Pattern(50000);
  std::thread sender([&] { bench.pty.Send(data); });
  EXPECT_TRUE(bench.main_thread.PumpUntil([&] { return bench.blocks.size() >= data.size(); }));
  sender.join();
  EXPECT_EQ(bench.blocks, data);
  EXPECT_TRUE(within_room);
  EXPECT_TRUE(bench.errors.empty());
}

TEST(ComRx, WithoutSyncCallbacksEventsRunOnTheReceiveThread) {
  ComRxBench bench;
  bench.port.SetSyncCallbacks(false);
  std::atomic<size_t> received{0};
  std::atomic<bool> on_other_thread{true};
  bench.port.OnData = nullptr;
  bench.port.OnDataBlock = [&](TComRx&, const uint8_t*, uint32_t count) {
    on_other_thread = on_other_thread && std::this_thread::get_id() != bench.test_thread;
    received += count;
  };
  bench.port.SetActive(true);
  bench.pty.Send(Pattern(1000));
  for (int i = 0; i < 5000 && received < 1000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(received.load(), 1000u);
  EXPECT_TRUE(on_other_thread);
  EXPECT_EQ(bench.main_thread.PendingCount(), 0u);
}

TEST(ComRx, BytesAreSentOneAtATime) {
  ComRxBench bench;
  bench.port.SetActive(true);
  const std::vector<uint8_t> data = Pattern(3000);
  for (uint8_t value : data) {
    ASSERT_TRUE(bench.port.WriteByte(value, 5000));
  }
  EXPECT_EQ(bench.pty.Receive(data.size()), data);
  EXPECT_TRUE(bench.port.TxReady());
}

TEST(ComRx, PortThatCannotBeWrittenNeverBlocksTheCaller) {
  ComRxBench bench;
  bench.port.SetActive(true);
  // The far end reads nothing; each write must come back, refused once the
  // driver is full.
  size_t written = 0;
  while (bench.port.WriteByte('z', 0)) ASSERT_LT(++written, 10u * 1024 * 1024);
  EXPECT_GT(written, 0u);
  EXPECT_FALSE(bench.port.TxReady());
  EXPECT_FALSE(bench.port.WriteByte('z', 20));
  bench.pty.Drain();
  EXPECT_TRUE(bench.port.WriteByte('!', 5000));
}

TEST(ComRx, HangUpIsReportedAndEndsTheThread) {
  ComRxBench bench;
  bench.port.SetActive(true);
  bench.pty.CloseMaster();
  EXPECT_TRUE(bench.main_thread.PumpUntil([&] { return !bench.errors.empty() && !bench.port.GetActive(); }));
  EXPECT_TRUE(bench.events_on_main_thread);
  EXPECT_FALSE(bench.port.TxReady());
  bench.port.ClosePort();
}

TEST(ComRx, ClosingWhileAnEventWaitsForTheMainThreadJoinsCleanly) {
  ComRxBench bench;
  bench.port.SetActive(true);
  bench.pty.Send(Pattern(100));
  // The thread now waits for the main thread, which does not pump.
  while (bench.main_thread.PendingCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  bench.port.SetActive(false);
  EXPECT_FALSE(bench.port.GetActive());
  bench.main_thread.RunPending();
  EXPECT_TRUE(bench.blocks.empty());  // the stale call does nothing
}

TEST(ComRx, HandlerMayCloseAndReopenItsOwnPort) {
  ComRxBench bench;
  int blocks_seen = 0;
  bench.port.OnData = nullptr;
  bench.port.OnDataBlock = [&](TComRx& sender, const uint8_t* data, uint32_t count) {
    ++blocks_seen;
    sender.ClosePort();
    // The data stays readable after the port closed under the handler.
    bench.blocks.insert(bench.blocks.end(), data, data + count);
  };
  bench.port.SetActive(true);
  bench.pty.Send({'a', 'b', 'c'});
  EXPECT_TRUE(bench.main_thread.PumpUntil([&] { return blocks_seen > 0; }));
  EXPECT_FALSE(bench.port.GetActive());
  EXPECT_FALSE(bench.blocks.empty());
  bench.port.SetActive(true);
  EXPECT_TRUE(bench.port.GetActive());
}

TEST(ComRx, ErrorHandlerOnTheReceiveThreadMayClosePort) {
  ComRxBench bench;
  bench.port.SetSyncCallbacks(false);
  std::atomic<bool> reported{false};
  bench.port.OnError = [&](TComRx& sender, uint32_t, bool& stop) {
    stop = true;
    sender.ClosePort();  // only stops the thread: it cannot join itself
    reported = true;
  };
  bench.port.SetActive(true);
  bench.pty.CloseMaster();
  for (int i = 0; i < 5000 && (!reported || bench.port.GetActive()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(reported);
  EXPECT_FALSE(bench.port.GetActive());
  bench.port.ClosePort();
}
