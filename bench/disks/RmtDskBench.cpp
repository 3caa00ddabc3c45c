// Speed of the remote disk server: block reads answered per second on loopback,
// by a client that waits for each reply (window 1) and by one that keeps a few
// requests in flight. The server must answer at least 20,000 reads a second.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "DiskDrive.h"
#include "MainThread.h"
#include "RmtDskMod.h"
#include "UdpSocket.h"

namespace {

std::vector<uint8_t> ReadRequest(uint16_t tag, uint32_t session, uint16_t track, uint16_t sector) {
  std::vector<uint8_t> bytes(14, 0);
  bytes[0] = 3;
  bytes[2] = static_cast<uint8_t>(tag);
  bytes[3] = static_cast<uint8_t>(tag >> 8);
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(session >> (8 * i));
  bytes[10] = static_cast<uint8_t>(track);
  bytes[12] = static_cast<uint8_t>(sector);
  return bytes;
}

// A server on loopback with a main thread of its own that handles its requests.
class TBenchServer {
 public:
  TBenchServer() : server_(&mainThread_) {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvel-rmtdsk-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    folder_ = pattern;
    TDiskDrive::FormatDriveFile(folder_ / "BENCH.cpmdsk");
    server_.DiskFolder = folder_;
    server_.BaseUdpRx1.LocalPort = std::to_string(0);  // any free port
    server_.BaseUdpRx1.AdapterAddress = "127.0.0.1";
    server_.SetActive(true);
    pump_ = std::thread([this] {
      while (!stop_) mainThread_.PumpUntil([this] { return stop_.load(); }, std::chrono::seconds(1));
    });
  }
  ~TBenchServer() {
    // The pump ends first, so that no request runs while the server stops.
    stop_ = true;
    pump_.join();
    server_.SetActive(false);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  uint16_t Port() const { return server_.BoundPort(); }
  const std::filesystem::path& Folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  TQueuedMainThread mainThread_;
  TRmtDskMod server_;
  std::atomic<bool> stop_{false};
  std::thread pump_;
};

void BM_RemoteBlockReads(benchmark::State& state) {
  const int window = static_cast<int>(state.range(0));
  TBenchServer server;
  TUdpSocket client;
  TUdpBindOptions options;
  options.AdapterAddress = htonl(INADDR_LOOPBACK);
  client.Open(options);
  const sockaddr_in to = MakeIPv4Address("127.0.0.1", server.Port());
  std::vector<uint8_t> reply(8192);
  sockaddr_in from{};
  const auto receive = [&]() -> ssize_t {
    for (int attempt = 0; attempt < 2; ++attempt) {
      const ssize_t got = client.ReceiveFrom(reply.data(), reply.size(), from);
      if (got != TUdpSocket::kWouldBlock) return got;
      if (!client.WaitReadable(2000)) return -1;
    }
    return client.ReceiveFrom(reply.data(), reply.size(), from);
  };

  // Mount the image.
  std::vector<uint8_t> mount = {1, 0, 0, 0, 0, 0, 0, 0, 5, 'B', 'E', 'N', 'C', 'H'};
  client.SendTo(mount.data(), mount.size(), 1000, to);
  if (receive() != 14 || reply[0] != 0) {
    state.SkipWithError("mount failed");
    return;
  }
  const uint32_t session = reply[4] | (reply[5] << 8) | (reply[6] << 16) | (static_cast<uint32_t>(reply[7]) << 24);

  uint32_t sent = 0;
  const auto sendNext = [&] {
    const std::vector<uint8_t> request = ReadRequest(
        static_cast<uint16_t>(sent), session, static_cast<uint16_t>(sent % 256), static_cast<uint16_t>(sent % 32));
    client.SendTo(request.data(), request.size(), 1000, to);
    ++sent;
  };
  for (int i = 0; i < window; ++i) sendNext();
  for (auto _ : state) {
    if (receive() != 2052) {
      state.SkipWithError("a read was not answered");
      break;
    }
    sendNext();
  }
  // Collect the replies still in flight.
  for (int i = 0; i < window; ++i) receive();
  state.counters["reads_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RemoteBlockReads)->Arg(1)->Arg(8)->Arg(32)->UseRealTime()->MinTime(1.0);

// The main thread's share of one read: decoding, the block read through the
// drive's cache and the reply sent, without the hand-over between threads.
void BM_HandleReadRequest(benchmark::State& state) {
  TBenchServer server;
  TUdpSocket sink;
  TUdpBindOptions options;
  options.AdapterAddress = htonl(INADDR_LOOPBACK);
  sink.Open(options);
  const sockaddr_in from = MakeIPv4Address("127.0.0.1", sink.LocalPort());
  TQueuedMainThread unused;
  TRmtDskMod direct(&unused);
  direct.DiskFolder = server.Folder();
  direct.BaseUdpRx1.LocalPort = std::to_string(0);
  direct.BaseUdpRx1.AdapterAddress = "127.0.0.1";
  direct.SetActive(true);
  const uint32_t session =
      direct.SessionList.Mount(false, server.Folder() / "BENCH.cpmdsk", {from.sin_addr.s_addr, from.sin_port, 0});
  uint32_t count = 0;
  std::vector<uint8_t> drain(8192);
  sockaddr_in ignored{};
  for (auto _ : state) {
    const std::vector<uint8_t> request =
        ReadRequest(0, session, static_cast<uint16_t>(count % 256), static_cast<uint16_t>(count % 32));
    direct.HandleDatagram(request.data(), static_cast<int>(request.size()), from);
    sink.ReceiveFrom(drain.data(), drain.size(), ignored);
    ++count;
  }
  direct.SetActive(false);
}
BENCHMARK(BM_HandleReadRequest);

// The same traffic answered by a bare echo thread: how fast this host passes
// datagrams between threads at all, to read the figures above against.
void BM_LoopbackEchoFloor(benchmark::State& state) {
  const int window = static_cast<int>(state.range(0));
  TUdpBindOptions options;
  options.AdapterAddress = htonl(INADDR_LOOPBACK);
  TUdpSocket echo;
  echo.Open(options);
  TUdpSocket client;
  client.Open(options);
  std::atomic<bool> stop{false};
  std::thread echoThread([&] {
    std::vector<uint8_t> buffer(8192);
    sockaddr_in from{};
    while (!stop) {
      if (!echo.WaitReadable(50)) continue;
      if (echo.ReceiveFrom(buffer.data(), buffer.size(), from) > 0) echo.SendTo(buffer.data(), 2052, 1000, from);
    }
  });
  const sockaddr_in to = MakeIPv4Address("127.0.0.1", echo.LocalPort());
  const std::vector<uint8_t> request(14, 3);
  std::vector<uint8_t> reply(8192);
  sockaddr_in from{};
  for (int i = 0; i < window; ++i) client.SendTo(request.data(), request.size(), 1000, to);
  for (auto _ : state) {
    if (!client.WaitReadable(2000) || client.ReceiveFrom(reply.data(), reply.size(), from) != 2052) {
      state.SkipWithError("an echo was lost");
      break;
    }
    client.SendTo(request.data(), request.size(), 1000, to);
  }
  stop = true;
  echoThread.join();
  state.counters["echoes_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoopbackEchoFloor)->Arg(1)->Arg(8)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
