// Speed of the machine running CP/M 2.2 with the project's BIOS:
//  - cold boot: from ColdBoot() (images loaded, disks mounted, boot image
//    written onto drive A) to the CCP's prompt on the CRT, best and median of
//    several boots;
//  - ZEXDOC under CP/M: typed at the prompt and run through run-loop passes of
//    100001 instructions with the breakpoint compare, its console output going
//    through the BIOS into the VT100 emulator; millions of instructions per second.
//   machine_bench [zexdoc-instructions]   (default: the whole of ZEXDOC)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "CpmBootRig.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string FixturePath(const std::string& relative) {
  return (std::filesystem::path(KORVEL_FIXTURES_DIR) / relative).string();
}

std::vector<uint8_t> ReadBytes(const std::string& file) {
  std::vector<uint8_t> bytes;
  if (FILE* in = std::fopen(file.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(in)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(in);
  }
  return bytes;
}

// Runs passes as the window's idle loop would, until Text shows on the CRT.
bool RunPassesUntil(korvel_boot::TCpmBootRig& rig, const std::string& text, uint64_t maxInstructions) {
  const uint64_t limit = rig.Machine->Cpu().InstructionCount + maxInstructions;
  size_t from = rig.CrtOutput.size();
  while (rig.Machine->Cpu().InstructionCount < limit && rig.Machine->GetRunCpu()) {
    rig.Machine->RunPass();
    if (rig.CrtOutput.size() == from) continue;  // nothing new on the console
    if (rig.CrtOutput.find(text, from) != std::string::npos) return true;
    from = rig.CrtOutput.size() > text.size() ? rig.CrtOutput.size() - text.size() : 0;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cpm = FixturePath("cpm22/cpm22.hex");
  const std::string zexdocFile = FixturePath("z80tests/zexdoc.com");
  if (!std::filesystem::exists(cpm) || !std::filesystem::exists(zexdocFile)) {
    std::fprintf(stderr, "machine_bench: the shared fixtures are absent; place ../shared/fixtures beside the checkout\n");
    return 1;
  }
  const uint64_t zexdocLimit = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20'000'000'000ull;

  // Cold boot to the prompt.
  korvel_boot::TCpmBootRig rig(cpm, KORVEL_BIOS_HEX);
  korvel_boot::TCpmBootRig::ImportFile(rig.Machine->DriveFileName[0], "ZEXDOC.COM", ReadBytes(zexdocFile));
  std::vector<double> bootMs;
  uint64_t bootInstructions = 0;
  for (int boot = 0; boot < 21; ++boot) {
    const auto start = Clock::now();
    rig.Machine->ColdBoot();
    const uint64_t first = rig.Machine->Cpu().InstructionCount;
    if (!RunPassesUntil(rig, korvel_boot::TCpmBootRig::Prompt('A'), 50'000'000)) {
      std::fprintf(stderr, "machine_bench: no prompt after the cold boot\n");
      return 1;
    }
    bootMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    bootInstructions = rig.Machine->Cpu().InstructionCount - first;
  }
  std::sort(bootMs.begin(), bootMs.end());
  std::printf("cold boot to the prompt: best %.2f ms, median %.2f ms, worst %.2f ms (%zu boots; the prompt came within %llu instructions)\n",
              bootMs.front(), bootMs[bootMs.size() / 2], bootMs.back(), bootMs.size(),
              static_cast<unsigned long long>(bootInstructions));

  // ZEXDOC under CP/M.
  rig.Type("ZEXDOC\r");
  if (!rig.RunUntilOutput("ZEXDOC", 10'000'000)) {
    std::fprintf(stderr, "machine_bench: ZEXDOC was not typed\n");
    return 1;
  }
  const uint64_t first = rig.Machine->Cpu().InstructionCount;
  const auto start = Clock::now();
  const bool complete = RunPassesUntil(rig, "Tests complete", zexdocLimit);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const uint64_t executed = rig.Machine->Cpu().InstructionCount - first;
  size_t ok = 0;
  for (size_t at = rig.CrtOutput.find("OK"); at != std::string::npos; at = rig.CrtOutput.find("OK", at + 2)) ++ok;
  std::printf("ZEXDOC under CP/M: %llu instructions in %.3f s, %.1f million instructions per second (%s, %zu groups OK)\n",
              static_cast<unsigned long long>(executed), seconds, static_cast<double>(executed) / seconds / 1e6,
              complete ? "complete" : "stopped early", ok);
  return 0;
}
