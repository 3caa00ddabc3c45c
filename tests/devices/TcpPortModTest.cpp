#include "TcpPortMod.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "WaitUntil.h"

namespace {

using Clock = std::chrono::steady_clock;
// Generous bound for waiting loops: it only keeps a broken build from hanging.
constexpr auto kPatience = std::chrono::seconds(20);

// A module listening on a free loopback port.
struct TcpBench {
  TTcpPortModule module;
  TcpBench() {
    module.SetListenAddress("127.0.0.1");
    module.SetListenPort("0");
    module.SetActive(true);
  }
  TTcpSocket Connect() { return TTcpSocket::Connect("127.0.0.1", module.GetLocalPort()); }

  // What the emulated machine reads, until Count bytes or the patience runs out.
  std::vector<uint8_t> MachineReads(size_t count) {
    std::vector<uint8_t> got;
    const auto deadline = Clock::now() + kPatience;
    while (got.size() < count && Clock::now() < deadline) {
      if (module.RxReady()) {
        uint8_t value = 0;
        module.ReadByte(value);
        got.push_back(value);
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    return got;
  }
};

std::vector<uint8_t> ClientReads(TTcpSocket& client, size_t count) {
  std::vector<uint8_t> got;
  const auto deadline = Clock::now() + kPatience;
  while (got.size() < count && Clock::now() < deadline) {
    bool failed = false;
    if (!client.WaitReadable(20, failed)) {
      if (failed) break;
      continue;
    }
    uint8_t buffer[4096];
    ssize_t n = client.Receive(buffer, std::min(sizeof buffer, count - got.size()));
    if (n == 0 || n == -1) break;
    if (n > 0) got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

void ClientSends(TTcpSocket& client, const std::vector<uint8_t>& data) {
  size_t done = 0;
  const auto deadline = Clock::now() + kPatience;
  while (done < data.size() && Clock::now() < deadline) {
    ssize_t n = client.Send(data.data() + done, data.size() - done);
    ASSERT_GE(n, 0);
    done += static_cast<size_t>(n);
    if (n == 0) {
      pollfd entry{client.Handle(), POLLOUT, 0};
      poll(&entry, 1, 20);
    }
  }
  ASSERT_EQ(done, data.size());
}

std::vector<uint8_t> Pattern(size_t count, uint8_t seed = 0) {
  std::vector<uint8_t> data(count);
  for (size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(i * 13 + seed + i / 256);
  return data;
}

// Half a second of the process while the test thread sleeps: the share of the
// wall time it spent on a processor, and how often a thread of it went to sleep
// again (a thread that wakes every millisecond does so some 500 times).
struct ProcessIdle {
  double CpuShare;
  long Sleeps;
};

ProcessIdle MeasureProcessIdle() {
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  getrusage(RUSAGE_SELF, &after);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
  const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_stime);
  return {cpu / wall, after.ru_nvcsw - before.ru_nvcsw};
}

void ExpectTheServerSleeps(const char* When) {
  const ProcessIdle idle = MeasureProcessIdle();
  EXPECT_LT(idle.CpuShare, 0.25) << When;
  EXPECT_LT(idle.Sleeps, 100) << When;
}

}  // namespace

TEST(TcpPortModule, InactiveModuleOffersNothing) {
  TTcpPortModule module;
  EXPECT_EQ(module.GetListenPort(), "9999");
  EXPECT_FALSE(module.GetActive());
  EXPECT_FALSE(module.TxReady());
  EXPECT_FALSE(module.RxReady());
  module.WriteByte(1);
  uint8_t value = 0x55;
  module.ReadByte(value);
  EXPECT_EQ(value, 0x55);
  EXPECT_EQ(module.GetLocalPort(), 0);
}

TEST(TcpPortModule, BytesTravelBothWaysUnchanged) {
  TcpBench bench;
  TTcpSocket client = bench.Connect();
  const std::vector<uint8_t> up = Pattern(5000, 1), down = Pattern(5000, 2);
  std::thread sender([&] { ClientSends(client, up); });
  EXPECT_EQ(bench.MachineReads(up.size()), up);
  sender.join();

  std::vector<uint8_t> received;
  std::thread receiver([&] { received = ClientReads(client, down.size()); });
  for (uint8_t value : down) {
    const auto deadline = Clock::now() + kPatience;
    while (!bench.module.TxReady() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::microseconds(200));
    bench.module.WriteByte(value);
  }
  receiver.join();
  EXPECT_EQ(received, down);
}

TEST(TcpPortModule, ClientDataWaitsWhileTheMachineReadsNothing) {
  TcpBench bench;
  TTcpSocket client = bench.Connect();
  const std::vector<uint8_t> data = Pattern(2000, 3);
  // The machine reads nothing yet: 512 bytes fill the queue, the rest waits in
  // the client thread and the socket, and none of it is lost or reordered.
  ClientSends(client, data);
  while (!bench.module.RxReady()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(bench.MachineReads(data.size()), data);
  EXPECT_FALSE(bench.module.RxReady());
}

TEST(TcpPortModule, OutputWithoutClientIsKeptForTheNextOneUpTo512Bytes) {
  TcpBench bench;
  const std::vector<uint8_t> data = Pattern(512, 4);
  for (uint8_t value : data) {
    ASSERT_TRUE(bench.module.TxReady());
    bench.module.WriteByte(value);  // never blocks, with or without a client
  }
  EXPECT_FALSE(bench.module.TxReady());
  bench.module.WriteByte(0xEE);  // dropped
  TTcpSocket client = bench.Connect();
  EXPECT_EQ(ClientReads(client, 512), data);
  // Nothing more came: the dropped byte is gone.
  bench.module.WriteByte('!');
  EXPECT_EQ(ClientReads(client, 1), std::vector<uint8_t>{'!'});
}

TEST(TcpPortModule, SecondClientWaitsForTheFirstToLeave) {
  TcpBench bench;
  TTcpSocket first = bench.Connect();
  ClientSends(first, {'1'});
  ASSERT_EQ(bench.MachineReads(1), std::vector<uint8_t>{'1'});

  TTcpSocket second = bench.Connect();  // the connection waits in the listen queue
  ClientSends(second, {'B'});
  ClientSends(first, {'A'});
  // The first client is still the one served: its byte comes, the second's does not.
  EXPECT_EQ(bench.MachineReads(1), std::vector<uint8_t>{'A'});
  bench.module.WriteByte('x');
  EXPECT_EQ(ClientReads(first, 1), std::vector<uint8_t>{'x'});

  first.Close();
  EXPECT_EQ(bench.MachineReads(1), std::vector<uint8_t>{'B'});
  bench.module.WriteByte('y');
  EXPECT_EQ(ClientReads(second, 1), std::vector<uint8_t>{'y'});
}

TEST(TcpPortModule, DisconnectMidTransferLosesNothingAlreadySent) {
  TcpBench bench;
  {
    TTcpSocket client = bench.Connect();
    ClientSends(client, Pattern(1500, 5));
    // Leaves at once, with 1500 bytes on their way and the queue still unread.
  }
  EXPECT_EQ(bench.MachineReads(1500), Pattern(1500, 5));

  {
    // A client that leaves without reading what the machine sends it.
    TTcpSocket client = bench.Connect();
    ClientSends(client, {'k'});
    ASSERT_EQ(bench.MachineReads(1), std::vector<uint8_t>{'k'});
    for (int i = 0; i < 400; ++i) bench.module.WriteByte('w');
  }
  // The server goes on and serves the next client both ways.
  TTcpSocket next = bench.Connect();
  ClientSends(next, {'n'});
  EXPECT_EQ(bench.MachineReads(1), std::vector<uint8_t>{'n'});
  bench.module.WriteByte('#');
  std::vector<uint8_t> got;
  const auto deadline = Clock::now() + kPatience;
  while ((got.empty() || got.back() != '#') && Clock::now() < deadline) {
    std::vector<uint8_t> more = ClientReads(next, 1);
    if (more.empty()) break;
    got.push_back(more[0]);
  }
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), '#');
  for (size_t i = 0; i + 1 < got.size(); ++i) EXPECT_EQ(got[i], 'w');  // leftovers of the previous client only
}

TEST(TcpPortModule, PortInUseIsAClearErrorAndLeavesTheModuleOff) {
  TcpBench bench;
  TTcpPortModule other;
  other.SetListenAddress("127.0.0.1");
  other.SetListenPort(std::to_string(bench.module.GetLocalPort()));
  try {
    other.SetActive(true);
    FAIL() << "a second server on the same port";
  } catch (const ESocketError& error) {
    EXPECT_EQ(std::string(error.what()), "TCP port " + other.GetListenPort() + " is already in use");
  }
  EXPECT_FALSE(other.GetActive());
  other.SetListenPort("port");
  EXPECT_THROW(other.SetActive(true), ESocketError);
  EXPECT_FALSE(other.GetActive());
}

TEST(TcpPortModule, StoppingJoinsAndTheSamePortServesAgainAtOnce) {
  TcpBench bench;
  const std::string port = std::to_string(bench.module.GetLocalPort());
  TTcpSocket client = bench.Connect();
  ClientSends(client, {'a'});
  ASSERT_EQ(bench.MachineReads(1), std::vector<uint8_t>{'a'});
  bench.module.SetActive(false);
  EXPECT_FALSE(bench.module.GetActive());
  EXPECT_TRUE(ClientReads(client, 1).empty());  // the connection was closed

  bench.module.SetListenPort(port);
  bench.module.SetActive(true);
  TTcpSocket again = bench.Connect();
  ClientSends(again, {'b'});
  EXPECT_EQ(bench.MachineReads(1), std::vector<uint8_t>{'b'});
}

TEST(TcpPortModule, DestroyingWhileServingOrWaitingJoinsCleanly) {
  for (int round = 0; round < 20; ++round) {
    auto bench = std::make_unique<TcpBench>();
    const uint16_t port = bench->module.GetLocalPort();
    if (round % 2) {
      TTcpSocket client = bench->Connect();
      ClientSends(client, Pattern(3000, static_cast<uint8_t>(round)));
      for (int i = 0; i < 300; ++i) bench->module.WriteByte(static_cast<uint8_t>(i));
      bench.reset();
    } else {
      bench.reset();
    }
    // Nothing listens any more.
    EXPECT_THROW(TTcpSocket::Connect("127.0.0.1", port), ESocketError) << "round " << round;
  }
}

TEST(TcpPortModule, ClientThatResetsOrClosesIsGoneAtOnceAndTheNextIsServedAfterItsBytes) {
  using korvel_test::Bytes;
  using korvel_test::WaitUntil;
  for (const bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "the client resets" : "the client closes");
    TcpBench bench;
    // More than the machine's queue and the server's own buffer take, while the
    // machine reads nothing: the rest waits in the socket.
    const std::vector<uint8_t> sent = Pattern(3000, reset ? 6 : 7);
    {
      TTcpSocket client = bench.Connect();
      ClientSends(client, sent);
      ASSERT_TRUE(WaitUntil([&] { return bench.module.RxReady(); }));
      ASSERT_TRUE(WaitUntil([&] {
        int unacknowledged = -1;
        return ioctl(client.Handle(), SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
      }));
      if (reset) {
        const linger abort{1, 0};
        ASSERT_EQ(setsockopt(client.Handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
      }
    }
    EXPECT_TRUE(WaitUntil([&] { return !bench.module.HasClient(); }));
    ExpectTheServerSleeps("after the client left");

    // The next client is served at once: the machine's output reaches it while
    // the previous client's bytes still wait for the machine.
    TTcpSocket next = bench.Connect();
    ASSERT_TRUE(WaitUntil([&] { return bench.module.HasClient(); }));
    bench.module.WriteByte('>');
    EXPECT_EQ(ClientReads(next, 1), Bytes(">"));
    ClientSends(next, Bytes("next"));
    ExpectTheServerSleeps("while the next client waits behind the previous one's bytes");

    // The machine reads everything the client that left had sent, in order,
    // then what the next one sends.
    std::vector<uint8_t> expected = sent;
    for (uint8_t value : Bytes("next")) expected.push_back(value);
    EXPECT_EQ(bench.MachineReads(expected.size()), expected);
    EXPECT_FALSE(bench.module.RxReady());
    bench.module.WriteByte('<');
    EXPECT_EQ(ClientReads(next, 1), Bytes("<"));
    EXPECT_TRUE(bench.module.HasClient());
  }
}
