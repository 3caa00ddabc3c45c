// Triggers, handlers and event delivery of the serial dispatcher, driven by
// data from the far end of a pseudo-terminal pair.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "AwWin32.h"
#include "PseudoTerminal.h"
#include "WaitUntil.h"

using korvel_test::PseudoTerminal;
using korvel_test::WaitUntil;
using korvel_test::Bytes;
using namespace std::chrono_literals;

namespace {

struct TPort {
  PseudoTerminal Pty;
  TApdWin32Dispatcher Dispatcher{nullptr, nullptr};
  TPort() { EXPECT_EQ(Dispatcher.OpenPort(Pty.SlaveName(), 115200, 3, 4096, 4096, 1, 8, NoParity), 0); }
};

// Reads what each message offers: data available its count, a data match the
// pattern's bytes (as many as are still there), and writes them into one
// line, a match in brackets.
struct TRecorder {
  std::mutex Lock;
  std::string Text;
  std::atomic<int> Matches{0};
  void Attach(TApdBaseDispatcher& Dispatcher) {
    Dispatcher.SetLengthTrigger(1);
    Dispatcher.RegisterEventHandler([this, &Dispatcher](uint32_t Msg, uint32_t Param, uint32_t LParam) {
      if (Msg != ApwTriggerAvail && Msg != ApwTriggerData) return;
      EXPECT_EQ(LParam >> 16, static_cast<uint32_t>(Dispatcher.Handle()));
      const uint32_t count = Msg == ApwTriggerAvail ? Param : std::min(LParam & 0xFFFF, Dispatcher.InputUsed());
      std::string block(count, '\0');
      EXPECT_EQ(Dispatcher.GetBlock(reinterpret_cast<uint8_t*>(block.data()), count), static_cast<int32_t>(count));
      std::lock_guard<std::mutex> guard(Lock);
      Text += Msg == ApwTriggerAvail ? block : "[" + block + "]";
      if (Msg == ApwTriggerData) ++Matches;
    });
  }
  std::string Take() {
    std::lock_guard<std::mutex> guard(Lock);
    return Text;
  }
};

// A device layer that stops the dispatch thread right after a read that left
// HoldAt bytes in the receive ring, before it looks at them for patterns, until
// Release; that counts the rounds of the dispatch thread (each begins with a
// status read); and that runs OnFlushed when a flush of the input is done.
class THoldingDispatcher final : public TApdWin32Dispatcher {
 public:
  using TApdWin32Dispatcher::TApdWin32Dispatcher;
  ~THoldingDispatcher() override { Shutdown(); }
  std::atomic<uint32_t> HoldAt{0};  // 0: never
  std::atomic<bool> Held{false}, Release{false};
  std::atomic<int> Rounds{0};
  std::function<void()> OnFlushed;

 protected:
  int32_t ReadDevice(uint8_t* Buffer, uint32_t Count) override {
    FReader = std::this_thread::get_id();
    const int32_t got = TApdWin32Dispatcher::ReadDevice(Buffer, Count);
    if (got > 0) FJustRead = true;
    return got;
  }
  uint32_t ReadStatus(TApdComStat& Status) override {
    if (std::this_thread::get_id() == FReader.load()) {
      ++Rounds;
      // The read is over and no lock is held; the patterns come next.
      if (FJustRead.exchange(false) && HoldAt != 0 && InputUsed() >= HoldAt) {
        HoldAt = 0;
        Held = true;
        WaitUntil([&] { return Release.load(); });
      }
    }
    return TApdWin32Dispatcher::ReadStatus(Status);
  }
  void InputFlushed() override {
    if (OnFlushed) OnFlushed();
  }

 private:
  std::atomic<std::thread::id> FReader{};
  std::atomic<bool> FJustRead{false};
};

}  // namespace

TEST(SerialTriggers, BytesThrownAwayByAFlushAreNeverMatched) {
  // "OK" has arrived and the dispatch thread is about to look at it when
  // another thread flushes the input. Once the flush is done the dispatch
  // thread goes on and runs a whole round before the flushing call returns:
  // it must not find the pattern in the bytes thrown away.
  PseudoTerminal pty;
  THoldingDispatcher dispatcher(nullptr, nullptr);
  ASSERT_EQ(dispatcher.OpenPort(pty.SlaveName(), 115200, 3, 4096, 4096, 1, 8, NoParity), 0);
  const int32_t ok = dispatcher.AddDataTrigger("OK", false);
  std::atomic<int> matches{0};
  dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
    if (Msg == ApwTriggerData && static_cast<int32_t>(Param) == ok) ++matches;
  });
  dispatcher.HoldAt = 2;
  pty.Send(Bytes("OK"));
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.Held.load(); }));
  bool roundRun = false;
  dispatcher.OnFlushed = [&] {
    const int round = dispatcher.Rounds;
    dispatcher.Release = true;
    roundRun = WaitUntil([&] { return dispatcher.Rounds > round; });
  };
  dispatcher.FlushInput();
  dispatcher.OnFlushed = nullptr;
  EXPECT_TRUE(roundRun);
  EXPECT_EQ(matches, 0);
  EXPECT_EQ(dispatcher.InputUsed(), 0u);

  // The matcher goes on afresh: the pattern sent again fires once.
  pty.Send(Bytes("OK"));
  ASSERT_TRUE(WaitUntil([&] { return matches == 1; }));
  EXPECT_EQ(dispatcher.InputUsed(), 2u);
}

TEST(SerialTriggers, DataTriggersFireOnceAtTheirByte) {
  TPort port;
  TRecorder recorder;
  recorder.Attach(port.Dispatcher);
  ASSERT_GE(port.Dispatcher.AddDataTrigger("AB", false), 0);
  ASSERT_GE(port.Dispatcher.AddDataTrigger("hello", true), 0);
  // Each piece arrives whole and is dealt with before the next is sent.
  std::string expected;
  int matches = 0;
  auto send = [&](const std::string& Piece, const std::string& Marked, int Matches) {
    port.Pty.Send(Bytes(Piece));
    expected += Marked;
    matches += Matches;
    ASSERT_TRUE(WaitUntil([&] { return recorder.Take() == expected && recorder.Matches == matches; }))
        << recorder.Take() << " / " << expected;
  };
  send("xAAB", "xA[AB]", 1);
  send("yABAB", "y[AB][AB]", 2);
  send("zzHeLLo!", "zz[HeLLo]!", 1);
  // A pattern that straddles two pieces is still found at its last byte; the
  // first piece was taken as plain data already.
  send("--HEL", "--HEL", 0);
  send("lo", "[lo]", 1);
  send("--Ab ab aB", "--Ab ab aB", 0);
}

TEST(SerialTriggers, EveryMatchFiresWhoeverReadsTheBytes) {
  // Three matches in a piece written twenty times. The bytes are read by a
  // handler that takes all it sees at each match, then by a thread of the
  // reader's own; either way each match fires once. The end mark's match
  // comes after every byte before it was looked at.
  const std::string piece = "aaK0RVEL!bbK0RVEL!ccK0RVEL!dd";
  std::string stream;
  for (int i = 0; i < 20; ++i) stream += piece;
  stream += "<END>";
  for (const bool handlerReads : {true, false}) {
    SCOPED_TRACE(handlerReads ? "a handler reads" : "another thread reads");
    TPort port;
    TApdBaseDispatcher& dispatcher = port.Dispatcher;
    const int32_t pattern = dispatcher.AddDataTrigger("K0RVEL!", false);
    const int32_t end = dispatcher.AddDataTrigger("<END>", false);
    std::mutex lock;
    std::string read;
    auto takeAll = [&] {
      const uint32_t count = dispatcher.InputUsed();
      if (count == 0) return;
      std::string block(count, '\0');
      if (dispatcher.GetBlock(reinterpret_cast<uint8_t*>(block.data()), count) != static_cast<int32_t>(count)) return;
      std::lock_guard<std::mutex> guard(lock);
      read += block;
    };
    std::atomic<int> matches{0}, ends{0};
    dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
      if (Msg != ApwTriggerData) return;
      if (static_cast<int32_t>(Param) == pattern) ++matches;
      if (static_cast<int32_t>(Param) == end) ++ends;
      if (handlerReads) takeAll();
    });
    std::atomic<bool> stop{false};
    // The reader takes what it finds as soon as it is there.
    std::thread reader([&] {
      while (!handlerReads && !stop) takeAll();
    });
    struct TJoin {
      std::atomic<bool>& Stop;
      std::thread& Thread;
      ~TJoin() {
        Stop = true;
        Thread.join();
      }
    } join{stop, reader};
    for (int i = 0; i < 20; ++i) port.Pty.Send(Bytes(piece));
    port.Pty.Send(Bytes("<END>"));
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> guard(lock);
      return ends == 1 && read.size() == stream.size();
    })) << matches << " matches, " << read.size() << " bytes read";
    EXPECT_EQ(matches, 60);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(read, stream);
  }
}

TEST(SerialTriggers, PatternsAreFoundInAStreamOfRandomBlocks) {
  // Patterns that cannot overlap themselves, the longest one the dispatcher
  // takes among them, against a plain search of the whole stream.
  TPort port;
  const std::vector<std::string> patterns = {std::string(23, 'a') + "b", "abc", "bca", "ccab", "c"};
  std::vector<int32_t> handles;
  for (const auto& pattern : patterns) handles.push_back(port.Dispatcher.AddDataTrigger(pattern, false));
  EXPECT_EQ(port.Dispatcher.AddDataTrigger(std::string(25, 'a'), false), -5002);
  EXPECT_EQ(port.Dispatcher.AddDataTrigger("", false), -1002);
  std::mutex lock;
  std::string received;
  std::vector<int> counts(patterns.size());
  port.Dispatcher.SetLengthTrigger(1);
  port.Dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
    std::lock_guard<std::mutex> guard(lock);
    if (Msg == ApwTriggerData) {
      const auto found = std::find(handles.begin(), handles.end(), static_cast<int32_t>(Param));
      if (found != handles.end()) ++counts[found - handles.begin()];
    } else if (Msg == ApwTriggerAvail) {
      std::string block(Param, '\0');
      if (port.Dispatcher.GetBlock(reinterpret_cast<uint8_t*>(block.data()), Param) == static_cast<int32_t>(Param))
        received += block;
    }
  });
  std::string stream;
  uint32_t state = 12345;
  for (int i = 0; i < 60000; ++i) {
    state = state * 1103515245 + 12345;
    const uint32_t pick = (state >> 16) % 100;
    stream += pick < 70 ? 'a' : pick < 80 ? 'b' : pick < 95 ? 'c' : 'x';
  }
  // The stream ends in bytes of no pattern, so its last match is read too.
  const std::string tail = "xxxxx";
  std::thread sender([&] {
    for (size_t at = 0; at < stream.size();) {
      const size_t size = std::min<size_t>(1 + (at * 7919) % 300, stream.size() - at);
      port.Pty.Send(Bytes(stream.substr(at, size)));
      at += size;
    }
  });
  sender.join();
  port.Pty.Send(Bytes(tail));
  stream += tail;
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return received.size() == stream.size();
  }));
  port.Dispatcher.ClosePort();
  for (size_t p = 0; p < patterns.size(); ++p) {
    int expected = 0;
    for (size_t at = stream.find(patterns[p]); at != std::string::npos; at = stream.find(patterns[p], at + 1)) ++expected;
    EXPECT_EQ(counts[p], expected) << patterns[p];
  }
  EXPECT_TRUE(received == stream);
}

TEST(SerialTriggers, HandlersThatPeekMoveTheRingByTheMostTaken) {
  TPort port;
  port.Dispatcher.SetLengthTrigger(10);
  std::string first, second;
  int32_t beyond = 0;
  std::atomic<bool> done{false};
  port.Dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
    if (Msg != ApwTriggerAvail) return;
    EXPECT_EQ(Param, 10u);
    char block[16] = {};
    EXPECT_EQ(port.Dispatcher.GetBlock(reinterpret_cast<uint8_t*>(block), 3), 3);
    // Asking for more than remains beyond what this handler took moves nothing.
    beyond = port.Dispatcher.GetBlock(reinterpret_cast<uint8_t*>(block + 3), 8);
    first.assign(block, 3);
  });
  port.Dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t, uint32_t) {
    if (Msg != ApwTriggerAvail) return;
    char block[8] = {};
    EXPECT_EQ(port.Dispatcher.GetBlock(reinterpret_cast<uint8_t*>(block), 5), 5);
    second.assign(block, 5);
    done = true;
  });
  port.Pty.Send(Bytes("0123456789"));
  ASSERT_TRUE(WaitUntil([&] { return done && !port.Dispatcher.InDispatch(); }));
  EXPECT_EQ(port.Dispatcher.InputUsed(), 5u);
  uint8_t rest[8] = {};
  ASSERT_EQ(port.Dispatcher.GetBlock(rest, 5), 5);
  EXPECT_EQ(std::string(rest, rest + 5), "56789");
  EXPECT_EQ(first, "012");
  EXPECT_EQ(second, "01234");
  EXPECT_EQ(beyond, -3007);
}

TEST(SerialTriggers, StatusAndTimerTriggersFireOnceEach) {
  TPort port;
  TApdBaseDispatcher& dispatcher = port.Dispatcher;
  ASSERT_EQ(dispatcher.SetSoftwareFlow(3072, 1024, SfTransmitFlow), 0);
  const int32_t sent = dispatcher.AddStatusTrigger(StatusOutSent);
  const int32_t empty = dispatcher.AddStatusTrigger(StatusOutBuffFree);
  const int32_t used = dispatcher.AddStatusTrigger(StatusOutBuffUsed);
  const int32_t quick = dispatcher.AddTimerTrigger();
  const int32_t slow = dispatcher.AddTimerTrigger();
  EXPECT_EQ(dispatcher.AddStatusTrigger(7), -1002);
  EXPECT_EQ(sent & 7, 5);
  EXPECT_EQ(empty & 7, 3);
  EXPECT_EQ(dispatcher.SetStatusTrigger(12345, 0, true), -5003);
  EXPECT_EQ(dispatcher.SetTimerTrigger(sent, 1, true), -5003);
  std::mutex lock;
  std::vector<std::pair<int32_t, uint32_t>> events;
  int quickCalls = 0;
  dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t LParam) {
    if (Msg != ApwTriggerStatus && Msg != ApwTriggerTimer) return;
    std::lock_guard<std::mutex> guard(lock);
    events.emplace_back(static_cast<int32_t>(Param), LParam & 0xFFFF);
    // A timer re-armed from its own message fires once more.
    if (static_cast<int32_t>(Param) == quick && ++quickCalls == 1) dispatcher.SetTimerTrigger(quick, 1, true);
  });
  auto count = [&](int32_t Handle) {
    std::lock_guard<std::mutex> guard(lock);
    return std::count_if(events.begin(), events.end(), [&](const auto& event) { return event.first == Handle; });
  };
  // The far end holds our output back, so the ring stays full until it lets go.
  port.Pty.Send({19, 'M'});
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.InputUsed() == 1; }));
  ASSERT_EQ(dispatcher.SetStatusTrigger(sent, 0, true), 0);
  const std::vector<uint8_t> block(3000, 'q');
  ASSERT_EQ(dispatcher.PutBlock(block.data(), 3000), 0);
  ASSERT_TRUE(WaitUntil([&] { return count(sent) == 1; }));
  ASSERT_EQ(dispatcher.SetStatusTrigger(empty, 4096, true), 0);
  ASSERT_EQ(dispatcher.SetStatusTrigger(used, 0, true), 0);
  ASSERT_EQ(dispatcher.SetTimerTrigger(slow, 20, true), 0);
  ASSERT_EQ(dispatcher.SetTimerTrigger(quick, 1, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return count(slow) == 1; }));
  EXPECT_EQ(count(quick), 2);
  EXPECT_EQ(count(empty), 0);
  EXPECT_EQ(count(used), 0);
  EXPECT_EQ(dispatcher.OutputUsed(), 3000u);
  port.Pty.Send({17});
  EXPECT_EQ(port.Pty.Receive(3000).size(), 3000u);
  ASSERT_TRUE(WaitUntil([&] { return count(empty) == 1 && count(used) == 1; }));
  std::this_thread::sleep_for(200ms);
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(events.size(), 6u);
  for (const auto& event : events) {
    if (event.first == empty) {
      EXPECT_EQ(event.second, 4096u);
    }
  }
  EXPECT_EQ(dispatcher.RemoveTrigger(quick), 0);
  EXPECT_EQ(dispatcher.RemoveTrigger(quick), -5003);
}

TEST(SerialTriggers, HandlersComeAndGoFromInsideAHandler) {
  TPort port;
  TApdBaseDispatcher& dispatcher = port.Dispatcher;
  const int32_t trigger = dispatcher.AddDataTrigger("!", false);
  std::atomic<int> firstCalls{0}, secondCalls{0};
  std::atomic<bool> aliveInside{false};
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> watch = sentinel;
  std::atomic<int32_t> firstId{0};
  firstId = dispatcher.RegisterEventHandler([&, sentinel](uint32_t Msg, uint32_t Param, uint32_t) {
    if (Msg != ApwTriggerData || static_cast<int32_t>(Param) != trigger) return;
    ++firstCalls;
    dispatcher.RegisterEventHandler([&](uint32_t Msg2, uint32_t, uint32_t) {
      if (Msg2 == ApwTriggerData) ++secondCalls;
    });
    dispatcher.DeregisterEventHandler(firstId);
    // Its record (and what it holds) lives until the delivery is over.
    aliveInside = !watch.expired() && *sentinel == 0;
  });
  sentinel.reset();
  port.Pty.Send(Bytes("a!"));
  ASSERT_TRUE(WaitUntil([&] { return firstCalls == 1 && watch.expired(); }));
  EXPECT_TRUE(aliveInside);
  EXPECT_EQ(secondCalls, 0);
  port.Pty.Send(Bytes("b!"));
  ASSERT_TRUE(WaitUntil([&] { return secondCalls == 1; }));
  EXPECT_EQ(firstCalls, 1);
}

TEST(SerialTriggers, ALoneWindowGetsMessagesOnlyWhenDispatchIsForced) {
  struct TWindow : TApdMessageWindow {
    std::vector<uint32_t> Messages;
    std::thread::id Thread;
    void WindowProc(uint32_t Msg, uint32_t, uint32_t) override {
      Messages.push_back(Msg);
      Thread = std::this_thread::get_id();
    }
  };
  PseudoTerminal pty;
  TQueuedMainThread main;
  TApdWin32Dispatcher dispatcher(nullptr, &main);
  ASSERT_EQ(dispatcher.OpenPort(pty.SlaveName(), 9600, 3, 4096, 4096, 1, 8, NoParity), 0);
  TWindow window;
  dispatcher.RegisterWindowHandler(&window);
  dispatcher.UpdateHandlerFlags(0);
  dispatcher.SetLengthTrigger(1);
  pty.Send(Bytes("one"));
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.InputUsed() == 3; }));
  main.PumpUntil([] { return false; }, 100ms);
  EXPECT_TRUE(window.Messages.empty());
  dispatcher.UpdateHandlerFlags(1);
  pty.Send(Bytes("two"));
  ASSERT_TRUE(main.PumpUntil([&] { return !window.Messages.empty(); }));
  EXPECT_EQ(window.Messages.front(), ApwTriggerAvail);
  EXPECT_EQ(window.Thread, std::this_thread::get_id());
  dispatcher.DeregisterWindowHandler(&window);
  dispatcher.ClosePort();
}

TEST(SerialTriggers, HandlerListsChangeSafelyWhileEventsFlow) {
  TPort port;
  TApdBaseDispatcher& dispatcher = port.Dispatcher;
  std::atomic<size_t> received{0};
  dispatcher.SetLengthTrigger(1);
  dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
    if (Msg != ApwTriggerAvail) return;
    std::vector<uint8_t> block(Param);
    if (dispatcher.GetBlock(block.data(), Param) == static_cast<int32_t>(Param)) received += Param;
  });
  std::atomic<int> extraCalls{0};
  std::thread churn([&] {
    for (int i = 0; i < 1500; ++i) {
      const int32_t id = dispatcher.RegisterEventHandler([&](uint32_t, uint32_t, uint32_t) { ++extraCalls; });
      const int32_t proc = dispatcher.RegisterProcHandler([&](uint32_t, uint32_t, uint32_t) { ++extraCalls; });
      std::this_thread::yield();
      dispatcher.DeregisterProcHandler(proc);
      dispatcher.DeregisterEventHandler(id);
    }
  });
  const std::vector<uint8_t> data(200000, 'd');
  port.Pty.Send(data);
  churn.join();
  ASSERT_TRUE(WaitUntil([&] { return received == data.size(); }));
  // Triggers survive a close and come back with a reopen.
  ASSERT_GE(dispatcher.AddDataTrigger("KEEP", false), 0);
  TTriggerSave saved;
  dispatcher.SaveTriggers(saved);
  dispatcher.ClosePort();
  ASSERT_EQ(dispatcher.OpenPort(port.Pty.SlaveName(), 115200, 3, 4096, 4096, 1, 8, NoParity), 0);
  dispatcher.RestoreTriggers(saved);
  EXPECT_EQ(dispatcher.LengthTrigger(), 1u);
  std::atomic<int> kept{0};
  dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t, uint32_t) {
    if (Msg == ApwTriggerData) ++kept;
  });
  port.Pty.Send(Bytes("..KEEP.."));
  EXPECT_TRUE(WaitUntil([&] { return kept == 1; }));
}
