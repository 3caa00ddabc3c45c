#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "ByteFIFO.h"
#include "ComRx.h"
#include "SimpTermParser.h"
#include "TcpPortMod.h"

// One put and one get, as a key or a received byte takes them.
static void ByteFifoPutGet(benchmark::State& state) {
  TByteFIFO fifo(512);
  uint8_t value = 0, out = 0;
  for (auto _ : state) {
    fifo.Put(value++);
    fifo.Get(out);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ByteFifoPutGet);

// Text with a cursor-address command every line, as a full-screen program writes it.
static void TtyParserBytes(benchmark::State& state) {
  TSimpTermParser parser;
  size_t chars = 0;
  parser.OnChar = [&](TSimpTermParser&, uint8_t) { ++chars; };
  parser.OnCommand = [&](TSimpTermParser&, uint8_t, int32_t, int32_t) { ++chars; };
  std::string text;
  for (int line = 0; line < 24; ++line) text += std::string("\x1b" "Cp") + char(0) + char(line) + std::string(76, 'x');
  for (auto _ : state)
    for (char c : text) parser.ProcessChar(static_cast<uint8_t>(c));
  benchmark::DoNotOptimize(chars);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(TtyParserBytes);

// Bytes from a loopback client through the module to the machine's reads.
static void TcpModuleClientToMachine(benchmark::State& state) {
  TTcpPortModule module;
  module.SetListenAddress("127.0.0.1");
  module.SetListenPort("0");
  module.SetActive(true);
  TTcpSocket client = TTcpSocket::Connect("127.0.0.1", module.GetLocalPort());
  std::vector<uint8_t> chunk(64 * 1024, 'a');
  for (auto _ : state) {
    std::thread sender([&] {
      size_t done = 0;
      while (done < chunk.size()) {
        ssize_t n = client.Send(chunk.data() + done, chunk.size() - done);
        if (n < 0) return;
        done += static_cast<size_t>(n);
        if (n == 0) {
          pollfd entry{client.Handle(), POLLOUT, 0};
          poll(&entry, 1, 10);
        }
      }
    });
    size_t got = 0;
    uint8_t value;
    while (got < chunk.size()) {
      if (module.RxReady()) {
        module.ReadByte(value);
        ++got;
      }
    }
    sender.join();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
}
BENCHMARK(TcpModuleClientToMachine)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bytes from the far end of a pseudo-terminal to the port's blocks on the main thread.
static void ComRxReceiveToMainThread(benchmark::State& state) {
  int master, slave;
  char name[128];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    state.SkipWithError("openpty failed");
    return;
  }
  TQueuedMainThread main_thread;
  TComRx port(&main_thread);
  port.SetPortName(name);
  size_t received = 0;
  port.OnDataBlock = [&](TComRx&, const uint8_t*, uint32_t count) { received += count; };
  port.SetActive(true);
  std::vector<uint8_t> chunk(64 * 1024, 'b');
  for (auto _ : state) {
    received = 0;
    std::thread sender([&] {
      size_t done = 0;
      while (done < chunk.size()) {
        ssize_t n = write(master, chunk.data() + done, chunk.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
      }
    });
    main_thread.PumpUntil([&] { return received >= chunk.size(); });
    sender.join();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
  port.SetActive(false);
  close(master);
  close(slave);
}
BENCHMARK(ComRxReceiveToMainThread)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
