// The serial dispatcher's trace and dispatch log and the text files they are
// written to.
#include <algorithm>
#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <functional>
#include <locale>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "AdExcept.h"
#include "AwWin32.h"
#include "PseudoTerminal.h"
#include "WaitUntil.h"
#include "TempFolder.h"

using korvel_test::PseudoTerminal;
using korvel_test::WaitUntil;
using korvel_test::Bytes;
using korvel_test::TTempFolder;
using namespace std::chrono_literals;

namespace {

std::string ReadFile(const std::string& Name) {
  std::ifstream in(Name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> lines;
  std::stringstream in(Text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Numbers in a locale that writes "1.234,5".
struct TCommaNumbers : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

}  // namespace

TEST(SerialTrace, RecordsBothDirectionsAndWritesThemAsText) {
  TTempFolder folder;
  PseudoTerminal pty;
  TApdWin32Dispatcher dispatcher(nullptr, nullptr);
  ASSERT_EQ(dispatcher.OpenPort(pty.SlaveName(), 9600, 3, 4096, 4096, 1, 8, NoParity), 0);
  auto exchange = [&] {
    ASSERT_EQ(dispatcher.PutBlock(Bytes("Hi \r\n").data(), 5), 0);
    ASSERT_EQ(pty.Receive(5).size(), 5u);
    pty.Send({'O', 'K', 1, 200});
    ASSERT_TRUE(WaitUntil([&] { return dispatcher.InputUsed() == 4; }));
    uint8_t got[4];
    ASSERT_EQ(dispatcher.GetBlock(got, 4), 4);
  };
  const std::string file = folder.File("trace.trc");
  ASSERT_EQ(dispatcher.StartTrace(100), 0);
  exchange();
  ASSERT_EQ(dispatcher.DumpTrace(file, false, false, true), 0);
  EXPECT_FALSE(dispatcher.Tracing());
  EXPECT_EQ(ReadFile(file), "Transmit: Hi[20][0D][0A]\nReceive: OK[01][C8]\n");
  // Decimal for unprintable bytes (a blank prints as itself), then everything
  // in hexadecimal, appended.
  ASSERT_EQ(dispatcher.StartTrace(100), 0);
  exchange();
  ASSERT_EQ(dispatcher.DumpTrace(file, false, false, false), 0);
  EXPECT_EQ(ReadFile(file), "Transmit: Hi [13][10]\nReceive: OK[1][200]\n");
  ASSERT_EQ(dispatcher.StartTrace(100), 0);
  exchange();
  ASSERT_EQ(dispatcher.DumpTrace(file, true, true, true), 0);
  EXPECT_EQ(ReadFile(file), "Transmit: Hi [13][10]\nReceive: OK[1][200]\n"
                            "Transmit: [48][69][20][0D][0A]\nReceive: [4F][4B][01][C8]\n");

  // A trace that went round holds the newest entries and starts with the oldest.
  ASSERT_EQ(dispatcher.StartTrace(4), 0);
  ASSERT_EQ(dispatcher.PutBlock(Bytes("ABCDEF").data(), 6), 0);
  ASSERT_EQ(dispatcher.DumpTrace(file, false, false, true), 0);
  EXPECT_EQ(ReadFile(file), "Transmit: CDEF\n");
  // Long runs break before column 79.
  ASSERT_EQ(dispatcher.StartTrace(1000), 0);
  ASSERT_EQ(dispatcher.PutBlock(std::vector<uint8_t>(100, 'x').data(), 100), 0);
  ASSERT_EQ(dispatcher.DumpTrace(file, false, false, true), 0);
  EXPECT_EQ(ReadFile(file), "Transmit: " + std::string(68, 'x') + "\n" + std::string(32, 'x') + "\n");
  pty.Receive(106);

  // An empty trace writes nothing; sizes out of range are refused.
  const std::string empty = folder.File("empty.trc");
  ASSERT_EQ(dispatcher.StartTrace(10), 0);
  ASSERT_EQ(dispatcher.DumpTrace(empty, false, false, true), 0);
  EXPECT_FALSE(std::filesystem::exists(empty));
  EXPECT_EQ(dispatcher.StartTrace(0), -1002);
  EXPECT_EQ(dispatcher.StartTrace(MaxTraceEntries + 1), -1002);
  EXPECT_EQ(dispatcher.StartTrace(MaxTraceEntries), 0);
  dispatcher.StopTrace();
  // A file that cannot be written leaves the trace for another try.
  ASSERT_EQ(dispatcher.StartTrace(10), 0);
  dispatcher.AddTraceEntry('T', 'z');
  EXPECT_LT(dispatcher.DumpTrace(folder.File("missing/folder.trc"), false, false, true), 0);
  ASSERT_EQ(dispatcher.DumpTrace(file, false, false, true), 0);
  EXPECT_EQ(ReadFile(file), "Transmit: z\n");
}

TEST(SerialTrace, DispatchLogTellsWhatHappenedInReadableColumnsWhateverTheLocale) {
  TTempFolder folder;
  PseudoTerminal pty;
  TApdWin32Dispatcher dispatcher(nullptr, nullptr);
  dispatcher.SetDeviceName("COM7");
  ASSERT_EQ(dispatcher.OpenPort(pty.SlaveName(), 9600, 3, 4096, 4096, 1, 8, NoParity), 0);
  ASSERT_EQ(dispatcher.StartDispatchLog(8192), 0);
  const std::locale before = std::locale::global(std::locale(std::locale::classic(), new TCommaNumbers));
  const std::string cBefore = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "de_DE.UTF-8");  // where the host has it

  // Every kind of entry the dispatcher writes, one step at a time.
  dispatcher.SetLengthTrigger(3);
  struct TWindow : TApdMessageWindow {
    void WindowProc(uint32_t, uint32_t, uint32_t) override {}
  } window;
  dispatcher.RegisterWindowHandler(&window);
  std::mutex lock;
  std::vector<uint32_t> messages;
  const int32_t handler = dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
    if (Msg == ApwTriggerAvail) {
      std::vector<uint8_t> block(Param);
      dispatcher.GetBlock(block.data(), Param);
    }
    std::lock_guard<std::mutex> guard(lock);
    messages.push_back(Msg);
  });
  const int32_t procedure = dispatcher.RegisterProcHandler([](uint32_t, uint32_t, uint32_t) {});
  ASSERT_EQ(handler, 1);
  ASSERT_EQ(procedure, 2);
  auto heard = [&](std::vector<uint32_t> Expected) {
    return WaitUntil([&] {
      std::lock_guard<std::mutex> guard(lock);
      return messages == Expected;
    });
  };
  ASSERT_EQ(dispatcher.AddDataTrigger("!", false), 0x08);
  const int32_t timer = dispatcher.AddTimerTrigger();
  const int32_t sent = dispatcher.AddStatusTrigger(StatusOutSent);
  ASSERT_EQ(timer, 0x10);
  ASSERT_EQ(sent, 0x1D);
  ASSERT_EQ(dispatcher.SetStatusTrigger(sent, 0, true), 0);
  ASSERT_EQ(dispatcher.PutBlock(Bytes("AT\r").data(), 3), 0);
  ASSERT_TRUE(heard({ApwTriggerStatus}));
  EXPECT_EQ(pty.Receive(3).size(), 3u);
  pty.Send(Bytes("OK!"));
  ASSERT_TRUE(heard({ApwTriggerStatus, ApwTriggerData, ApwTriggerAvail}));
  // About a second, so the time shows more than two digits before the point.
  ASSERT_EQ(dispatcher.SetTimerTrigger(timer, 20, true), 0);
  ASSERT_TRUE(heard({ApwTriggerStatus, ApwTriggerData, ApwTriggerAvail, ApwTriggerTimer}));
  const std::string line = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghij";
  ASSERT_EQ(dispatcher.PutBlock(Bytes(line).data(), static_cast<uint32_t>(line.size())), 0);
  EXPECT_EQ(pty.Receive(line.size()).size(), line.size());
  dispatcher.DeregisterProcHandler(procedure);
  dispatcher.DeregisterEventHandler(handler);
  dispatcher.DeregisterWindowHandler(&window);

  const std::string file = folder.File("dispatch.log");
  ASSERT_EQ(dispatcher.DumpDispatchLog(file, false, false, true), 0);
  std::locale::global(before);
  std::setlocale(LC_ALL, cBefore.c_str());
  EXPECT_FALSE(dispatcher.DispatchLogging());

  const auto lines = Lines(ReadFile(file));
  // The header, then each entry: its time (milliseconds since the port opened,
  // a point before the last two digits), its kind, subkind and value, and its
  // data, which goes on under itself.
  const std::vector<std::string> expected = {
      "Korvel serial library v4.06",
      "Compiler : *",
      "Operating System : *",
      "Device: COM7",
      "Date/time: *",
      "Time      Type      SubType       Data      OtherData",
      "--------  --------  ------------  --------  ---------",
      "*  Trig set  Length        00000003  ",
      "*  Hdlr add  Window        00000000  ",
      "*  Hdlr add  Event         00000001  ",
      "*  Hdlr add  Procedure     00000002  ",
      "*  Port I/O  Bytes sent    00000003  AT[0D]",
      "*  Trigger   Status        0000001d  ",
      "*  Port I/O  Bytes read    00000003  OK!",
      "*  Trigger   Data match    00000008  ",
      "*  Trigger   Available     00000003  ",
      "*  Trigger   Timer         00000010  ",
      "*  Port I/O  Bytes sent    0000002e  0123456789ABCDEFGHIJKLMNOPQRSTUVWX",
      "                                            YZabcdefghij",
      "*  Hdlr del  Procedure     00000002  ",
      "*  Hdlr del  Event         00000001  ",
      "*  Hdlr del  Window        00000000  ",
  };
  ASSERT_EQ(lines.size(), expected.size()) << ReadFile(file);
  std::vector<double> times;
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const std::string& want = expected[i];
    if (want.front() == '*') {
      // An entry: eight characters of time, then exactly the text expected.
      ASSERT_GE(lines[i].size(), 8u);
      EXPECT_TRUE(std::regex_match(lines[i].substr(0, 8), std::regex(R"( *\d{5,}\.\d\d)")));
      EXPECT_EQ(lines[i].substr(8), want.substr(1));
      times.push_back(std::stod(lines[i].substr(0, 8)));
    } else if (want.back() == '*') {
      EXPECT_EQ(lines[i].substr(0, want.size() - 1), want.substr(0, want.size() - 1));
    } else {
      EXPECT_EQ(lines[i], want);
    }
  }
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(Date/time: \d\d/\d\d/\d\d, \d\d:\d\d:\d\d)"))) << lines[4];
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  ASSERT_EQ(times.size(), 14u);
  EXPECT_GE(times[9], 10.0) << "the timer fired more than a second after the port opened: 00010.xx";
}

TEST(SerialTrace, DispatchLogRingKeepsWholeEntriesOnly) {
  TTempFolder folder;
  TApdWin32Dispatcher dispatcher(nullptr, nullptr);
  EXPECT_EQ(dispatcher.StartDispatchLog(0), -1002);
  EXPECT_EQ(dispatcher.StartDispatchLog(16), -1002);
  // An empty log writes no file and stops.
  const std::string none = folder.File("none.log");
  ASSERT_EQ(dispatcher.StartDispatchLog(1000), 0);
  ASSERT_EQ(dispatcher.DumpDispatchLog(none, false, false, true), 0);
  EXPECT_FALSE(std::filesystem::exists(none));
  EXPECT_FALSE(dispatcher.DispatchLogging());

  ASSERT_EQ(dispatcher.StartDispatchLog(64), 0);
  const std::vector<uint8_t> big(60, 'b');
  EXPECT_TRUE(dispatcher.AddDispatchEntry(9, 16, 0, nullptr, 1));
  // Larger than the whole ring: refused as a whole, nothing else dropped.
  EXPECT_FALSE(dispatcher.AddDispatchEntry(1, 2, 60, big.data(), 60));
  EXPECT_TRUE(dispatcher.AddDispatchEntry(9, 16, 4, big.data(), 2));
  EXPECT_TRUE(dispatcher.AddDispatchEntry(9, 16, 0, nullptr, 3));
  const std::string file = folder.File("ring.log");
  ASSERT_EQ(dispatcher.DumpDispatchLog(file, false, false, true), 0);
  auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_NE(lines[7].find("00000001  "), std::string::npos);
  EXPECT_NE(lines[8].find("00000002  bbbb"), std::string::npos);
  EXPECT_NE(lines[9].find("00000003  "), std::string::npos);

  // A new entry that does not fit pushes out the oldest whole entries.
  ASSERT_EQ(dispatcher.StartDispatchLog(64), 0);
  for (uint32_t value = 1; value <= 4; ++value) EXPECT_TRUE(dispatcher.AddDispatchEntry(9, 16, 4, big.data(), value));
  ASSERT_EQ(dispatcher.DumpDispatchLog(file, false, false, true), 0);
  lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_NE(lines[7].find("00000002  bbbb"), std::string::npos);
  EXPECT_NE(lines[9].find("00000004  bbbb"), std::string::npos);
}
