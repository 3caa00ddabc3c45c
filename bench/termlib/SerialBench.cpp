// The serial dispatcher over a pseudo-terminal pair: what it costs to receive
// a paced 2 MB/s stream with triggers armed (process CPU time against wall
// time, beside a bare poll-and-read loop that moves the same stream), how fast
// it moves data both ways unpaced, and how long closing takes while data flows.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "AwWin32.h"

namespace {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal pair: the dispatcher opens the slave, the bench is the far end.
struct TPtyPair {
  int Master = -1, Slave = -1;
  std::string SlaveName;
  TPtyPair() {
    char name[128] = {};
    if (openpty(&Master, &Slave, name, nullptr, nullptr) != 0) return;
    SlaveName = name;
    termios raw{};
    tcgetattr(Master, &raw);
    cfmakeraw(&raw);
    tcsetattr(Master, TCSANOW, &raw);
    tcgetattr(Slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(Slave, TCSANOW, &raw);
  }
  ~TPtyPair() {
    close(Master);
    close(Slave);
  }
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<uint8_t> Payload(size_t Size) {
  std::vector<uint8_t> bytes(Size);
  uint32_t state = 0x1234567;
  for (auto& value : bytes) {
    state = state * 1664525 + 1013904223;
    value = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

// Writes Total bytes into Handle at BytesPerSecond, in 4000-byte pieces that
// end a line every LineLength bytes (0: never).
void PacedWriter(int Handle, size_t Total, double BytesPerSecond, size_t LineLength) {
  auto payload = Payload(4000);
  for (auto& value : payload)
    if (value == '\r' || value == '\n') value = ' ';
  for (size_t at = LineLength; LineLength != 0 && at < payload.size(); at += LineLength) {
    payload[at - 2] = '\r';
    payload[at - 1] = '\n';
  }
  const auto start = Clock::now();
  size_t sent = 0;
  while (sent < Total) {
    const auto due = start + std::chrono::duration<double>(sent / BytesPerSecond);
    std::this_thread::sleep_until(std::chrono::time_point_cast<Clock::duration>(due));
    size_t done = 0;
    while (done < payload.size()) {
      const ssize_t n = write(Handle, payload.data() + done, payload.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd entry{Handle, POLLOUT, 0};
        poll(&entry, 1, 100);
      }
    }
    sent += payload.size();
  }
}

constexpr double PacedRate = 2e6;
constexpr size_t PacedTotal = 6000000;  // three seconds

// The copy alone: the same paced stream read by a bare poll-and-read loop.
void BM_PacedStreamBareRead(benchmark::State& State) {
  for (auto _ : State) {
    TPtyPair pty;
    fcntl(pty.Slave, F_SETFL, fcntl(pty.Slave, F_GETFL) | O_NONBLOCK);
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    std::thread writer(PacedWriter, pty.Master, PacedTotal, PacedRate, 0);
    size_t got = 0;
    uint8_t buffer[8192];
    while (got < PacedTotal) {
      pollfd entry{pty.Slave, POLLIN, 0};
      poll(&entry, 1, 100);
      const ssize_t n = read(pty.Slave, buffer, sizeof buffer);
      if (n > 0) got += static_cast<size_t>(n);
    }
    writer.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    State.counters["cpu_pct_of_core"] = 100.0 * (CpuSeconds() - cpu) / wall;
    State.counters["MB_per_s"] = got / wall / 1e6;
  }
}
BENCHMARK(BM_PacedStreamBareRead)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same stream through the dispatcher with data triggers, a length trigger
// and status and timer triggers armed, read by a handler in its messages; the
// argument is the line length of the stream (0: no line ends, so the data
// triggers never fire; 80: one fires for every 80 bytes).
void BM_PacedStreamThroughDispatcher(benchmark::State& State) {
  const size_t lineLength = static_cast<size_t>(State.range(0));
  for (auto _ : State) {
    TPtyPair pty;
    TApdWin32Dispatcher dispatcher(nullptr, nullptr);
    if (dispatcher.OpenPort(pty.SlaveName, 115200, 3, 4096, 4096, 1, 8, NoParity) != 0) {
      State.SkipWithError("open failed");
      return;
    }
    dispatcher.AddDataTrigger("NO CARRIER", true);
    dispatcher.AddDataTrigger(std::string(23, 'z') + "!", false);
    dispatcher.AddDataTrigger("\r\n", false);
    const int32_t timer = dispatcher.AddTimerTrigger();
    dispatcher.SetTimerTrigger(timer, 1000, true);
    const int32_t status = dispatcher.AddStatusTrigger(StatusOutSent);
    dispatcher.SetStatusTrigger(status, 0, true);
    dispatcher.SetLengthTrigger(1);
    std::atomic<size_t> got{0};
    std::atomic<size_t> matches{0};
    dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
      if (Msg == ApwTriggerData) ++matches;
      if (Msg != ApwTriggerAvail) return;
      uint8_t block[DispatchBufferSize];
      if (dispatcher.GetBlock(block, Param) == static_cast<int32_t>(Param)) got += Param;
    });
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    std::thread writer(PacedWriter, pty.Master, PacedTotal, PacedRate, lineLength);
    writer.join();
    while (got < PacedTotal - 64) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    State.counters["cpu_pct_of_core"] = 100.0 * (CpuSeconds() - cpu) / wall;
    State.counters["MB_per_s"] = got / wall / 1e6;
    State.counters["matches"] = static_cast<double>(matches);
    dispatcher.ClosePort();
  }
}
BENCHMARK(BM_PacedStreamThroughDispatcher)->Arg(0)->Arg(80)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Unpaced: 16 MiB each way at once, with the same triggers armed.
void BM_FullSpeedBothWays(benchmark::State& State) {
  const size_t total = 16u << 20;
  const auto payload = Payload(total);
  for (auto _ : State) {
    TPtyPair pty;
    fcntl(pty.Master, F_SETFL, fcntl(pty.Master, F_GETFL) | O_NONBLOCK);
    TApdWin32Dispatcher dispatcher(nullptr, nullptr);
    if (dispatcher.OpenPort(pty.SlaveName, 115200, 3, 16384, 16384, 1, 8, NoParity) != 0) {
      State.SkipWithError("open failed");
      return;
    }
    dispatcher.AddDataTrigger("NO CARRIER", true);
    dispatcher.AddDataTrigger("\r\n", false);
    dispatcher.SetLengthTrigger(1);
    std::atomic<size_t> got{0};
    dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
      if (Msg != ApwTriggerAvail) return;
      uint8_t block[DispatchBufferSize];
      if (dispatcher.GetBlock(block, Param) == static_cast<int32_t>(Param)) got += Param;
    });
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    std::thread farEnd([&] {
      size_t sent = 0, received = 0;
      uint8_t buffer[16384];
      while (sent < total || received < total) {
        pollfd entry{pty.Master, static_cast<short>((sent < total ? POLLOUT : 0) | POLLIN), 0};
        poll(&entry, 1, 100);
        if (sent < total) {
          const ssize_t n = write(pty.Master, payload.data() + sent, std::min<size_t>(16384, total - sent));
          if (n > 0) sent += static_cast<size_t>(n);
        }
        const ssize_t n = read(pty.Master, buffer, sizeof buffer);
        if (n > 0) received += static_cast<size_t>(n);
      }
    });
    for (size_t queued = 0; queued < total;) {
      const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(4096, total - queued));
      if (dispatcher.PutBlock(payload.data() + queued, chunk) == 0)
        queued += chunk;
      else
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    farEnd.join();
    while (got < total) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    State.counters["MB_per_s_each_way"] = total / wall / 1e6;
    State.counters["cpu_pct_of_core"] = 100.0 * (CpuSeconds() - cpu) / wall;
    dispatcher.ClosePort();
  }
}
BENCHMARK(BM_FullSpeedBothWays)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// ClosePort while data flows both ways at full speed; the time is that of the close alone.
void BM_CloseWhileFlowing(benchmark::State& State) {
  const auto payload = Payload(4096);
  double worst = 0;
  for (auto _ : State) {
    State.PauseTiming();
    TPtyPair pty;
    fcntl(pty.Master, F_SETFL, fcntl(pty.Master, F_GETFL) | O_NONBLOCK);
    TApdWin32Dispatcher dispatcher(nullptr, nullptr);
    dispatcher.OpenPort(pty.SlaveName, 115200, 3, 4096, 4096, 1, 8, NoParity);
    dispatcher.AddDataTrigger("\r\n", false);
    dispatcher.SetLengthTrigger(1);
    std::atomic<size_t> got{0};
    dispatcher.RegisterEventHandler([&](uint32_t Msg, uint32_t Param, uint32_t) {
      if (Msg != ApwTriggerAvail) return;
      uint8_t block[DispatchBufferSize];
      if (dispatcher.GetBlock(block, Param) > 0) got += Param;
    });
    std::atomic<bool> stop{false};
    std::thread farEnd([&] {
      uint8_t buffer[4096];
      while (!stop) {
        if (write(pty.Master, payload.data(), payload.size()) < 0 && read(pty.Master, buffer, sizeof buffer) < 0)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        while (read(pty.Master, buffer, sizeof buffer) > 0) {
        }
      }
    });
    std::thread sender([&] {
      while (!stop && dispatcher.PutBlock(payload.data(), 1024) != -2007) std::this_thread::yield();
    });
    while (got < 200000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = Clock::now();
    State.ResumeTiming();
    dispatcher.ClosePort();
    State.PauseTiming();
    worst = std::max(worst, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    stop = true;
    sender.join();
    farEnd.join();
    State.ResumeTiming();
  }
  State.counters["worst_ms"] = worst;
}
BENCHMARK(BM_CloseWhileFlowing)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
