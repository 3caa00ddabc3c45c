// Speed of the processor on a fixed slice of ZEXDOC: millions of instructions per
// second through ExecuteInstruction alone, through the run loop's pattern of
// comparing the PC with a breakpoint after each instruction, and through the run
// loop's passes of 100001 instructions (ExecuteInstructions) with and without a
// break point.
//   cpu_bench [instructions]   (default 500 million)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "CpuEmu.h"

namespace {

std::unique_ptr<TCpuEmu> LoadZexdoc(const std::vector<unsigned char>& program) {
  auto cpu = std::make_unique<TCpuEmu>();
  cpu->Reset(0x0100);
  cpu->LoadMemory(0x0100, static_cast<uint16_t>(program.size()), program.data());
  cpu->WriteByte(0x0005, 0xC9);  // console output calls return at once
  cpu->WriteByte(0x0006, 0x00);
  cpu->WriteByte(0x0007, 0xF0);
  cpu->SetPair(RegSPH, 0xF000);
  return cpu;
}

template <typename Loop>
double Measure(const char* name, const std::vector<unsigned char>& program, uint64_t count, Loop loop) {
  auto cpu = LoadZexdoc(program);
  const auto start = std::chrono::steady_clock::now();
  loop(*cpu, count);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double mips = static_cast<double>(cpu->InstructionCount) / seconds / 1e6;
  std::printf("%-40s %12llu instructions %8.3f s %8.1f million instructions per second\n", name,
              static_cast<unsigned long long>(cpu->InstructionCount), seconds, mips);
  return mips;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 500'000'000ull;
  const std::filesystem::path path = std::filesystem::path(KORVEL_FIXTURES_DIR) / "z80tests/zexdoc.com";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cpu_bench: %s is absent; place ../shared/fixtures beside the checkout\n", path.c_str());
    return 1;
  }
  const std::vector<unsigned char> program((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  Measure("ExecuteInstruction", program, count, [](TCpuEmu& cpu, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) cpu.ExecuteInstruction();
  });
  Measure("ExecuteInstruction + breakpoint compare", program, count, [](TCpuEmu& cpu, uint64_t n) {
    const uint16_t breakPoint = 0xFFFF;  // never reached by ZEXDOC
    for (uint64_t i = 0; i < n; ++i) {
      cpu.ExecuteInstruction();
      if (cpu.CurrentPC == breakPoint) break;
    }
  });
  // The run loop's passes, with a break point set (never reached) and with none.
  for (const int32_t breakPoint : {0xFFFF, -1}) {
    Measure(breakPoint < 0 ? "ExecuteInstructions, no break point" : "ExecuteInstructions, break point set", program,
            count, [breakPoint](TCpuEmu& cpu, uint64_t n) {
              while (n > 0) {
                const uint64_t pass = n < 100001 ? n : 100001;
                if (cpu.ExecuteInstructions(pass, breakPoint) < pass) break;
                n -= pass;
              }
            });
  }
  return 0;
}
