// How fast the VT100 emulator consumes output: a 1 MiB stream of text lines mixed
// with the escape sequences a full-screen program sends (cursor addressing, colours,
// erase, scroll region, insert and delete line). The target is at least 50 MB/s.
#include <benchmark/benchmark.h>

#include <string>

#include "AdTTYEmulator.h"
#include "AdVT100Emulator.h"

namespace {

std::string MixedStream(std::size_t Size) {
  std::string S;
  S.reserve(Size + 256);
  int Line = 0;
  while (S.size() < Size) {
    switch (Line % 8) {
      case 0:
        S += "\x1B[" + std::to_string(Line % 24 + 1) + ";1H\x1B[K";
        break;
      case 1:
        S += "\x1B[1;33mWARNING\x1B[0m ";
        break;
      case 2:
        S += "\x1B[5;20r\x1B[20;1H\n\x1B[r";
        break;
      case 3:
        S += "\x1B[7;1H\x1B[2L\x1B[3M";
        break;
      case 4:
        S += "\x1B[7m status \x1B[m\t";
        break;
      default:
        break;
    }
    S += "The quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJ.\r\n";
    ++Line;
  }
  S.resize(Size);
  return S;
}

template <typename TEmulator>
void ConsumeOutput(benchmark::State& State) {
  const std::string Stream = MixedStream(1 << 20);
  TEmulator Emulator;
  TAdTerminalHost Host;  // a terminal that paints nothing
  Emulator.SetTerminal(&Host);
  const std::size_t Block = static_cast<std::size_t>(State.range(0));
  for (auto _ : State) {
    for (std::size_t At = 0; At < Stream.size(); At += Block)
      Emulator.ProcessBlock(reinterpret_cast<const uint8_t*>(Stream.data()) + At, std::min(Block, Stream.size() - At),
                            csWriteChar);
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Stream.size()));
}

}  // namespace

// Block sizes: whole drains of 4 KiB, and the byte-at-a-time writes of a busy port.
BENCHMARK(ConsumeOutput<TAdVT100Emulator>)->Arg(4096)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ConsumeOutput<TAdTTYEmulator>)->Arg(4096)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
