// Speed of the machine running CP/M 2.2 with the project's BIOS:
//  - cold boot: from ColdBoot() (images loaded, disks mounted, boot image
//    written onto drive A) to the CCP's prompt on the CRT, best and median of
//    several boots;
//  - COM1 as a TCP console: TYPE of a 200 KB file to a loopback client that
//    reads all the time, in kilobytes per second, and the bytes it lost; then
//    the same TYPE with no client connected, in instructions beside a TYPE to
//    the CRT (output no client can take must not slow CP/M down);
//  - passes while CP/M waits for a key at the prompt, median and longest;
//  - a program that writes to a COM port without looking at its status (OUT,
//    OUT behind DD, OTIR), to a TCP client on COM1 and to a pseudo-terminal on
//    COM2 whose reader stops early on and reads on once the processor has been
//    held for 2.5 s (over TCP after megabytes): the median and longest pass of
//    those in which the processor stayed held on an output instruction
//    throughout, of those that ran on until it was held, and of those that were
//    not held; and whether every byte arrived in order; then the same with a
//    program that polls the status port before each byte, on the
//    pseudo-terminal;
//  - ZEXDOC under CP/M: typed at the prompt and run through run-loop passes of
//    100001 instructions with the breakpoint compare, its console output going
//    through the BIOS into the VT100 emulator; millions of instructions per second.
//   machine_bench [zexdoc-instructions]   (default: the whole of ZEXDOC; 0 skips it)
#include <fcntl.h>
#include <pty.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ComPortNames.h"
#include "CpmBootRig.h"
#include "SerialPeers.h"
#include "TempFolder.h"
#include "WritingProgram.h"

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

// The console's output of a TYPE: what comes after the echoed command line and
// before the next prompt.
std::string TypedText(const std::string& Output) {
  const size_t start = Output.find("\r\n");
  const size_t end = Output.rfind("\r\na>");
  if (start == std::string::npos || end == std::string::npos || end < start + 2) return {};
  return Output.substr(start + 2, end - start - 2);
}

// Median and longest of a set of pass times in milliseconds.
std::string PassTimes(std::vector<double> ms) {
  if (ms.empty()) return "none";
  std::sort(ms.begin(), ms.end());
  char text[96];
  std::snprintf(text, sizeof text, "%zu, median %.3f ms, longest %.3f ms", ms.size(), ms[ms.size() / 2], ms.back());
  return text;
}

// Passes of a run that waits for a key at the prompt.
void KeyWait(korvel_boot::TCpmBootRig& rig) {
  std::vector<double> ms;
  for (int pass = 0; pass < 500; ++pass) {
    const auto start = Clock::now();
    rig.Machine->RunPass();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::printf("passes while CP/M waits for a key: %s\n", PassTimes(ms).c_str());
}

// The writing program to COM1 as the TCP server or COM2 on a pseudo-terminal,
// the peer stopping early on until the processor has been held for 2.5 s; each
// pass timed. Polling: a program that waits for the status port as the BIOS
// does (on the pseudo-terminal only: a look at TCP's status costs no system call).
void HeldOutput(bool overTcp, bool polling = false) {
  korvel_test::TTempFolder folder;
  TQueuedMainThread mainThread;
  TMachine machine(folder.Path(), &mainThread);
  const auto fail = [](const char* what) { std::fprintf(stderr, "machine_bench: %s\n", what); };
  int peer = -1;
  int ptySlave = -1;
  constexpr int comNumber = 47;
  if (overTcp) {
    machine.UseTcpAsCom1 = true;
    machine.Com1TcpPort = "0";
    machine.Com1Settings.Enabled = true;
    machine.ActivateCom1();
    peer = korvel_test::ConnectLoopback(machine.TcpPort().GetLocalPort(), 8192);
    if (peer < 0) return fail("no connection to the TCP server");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!machine.TcpPort().HasClient() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } else {
    char name[128] = {};
    if (::openpty(&peer, &ptySlave, name, nullptr, nullptr) != 0) return fail("no pseudo-terminal");
    ::fcntl(peer, F_SETFL, ::fcntl(peer, F_GETFL) | O_NONBLOCK);
    termios raw{};
    ::tcgetattr(peer, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(peer, TCSANOW, &raw);
    SetComPortDevice(comNumber, name);
    machine.Com2Settings.PortNumber = comNumber;
    machine.Com2Settings.Enabled = true;
    machine.ActivateCom2();
    if (!machine.Com2Settings.Enabled) return fail("COM2 did not open the pseudo-terminal");
  }
  const uint8_t dataPort = overTcp ? 21 : 23;
  // The sockets of the loopback interface take megabytes before the client holds the line back.
  const machine_test::TWritingProgram program =
      polling ? machine_test::PollingProgram(22, dataPort, 49152)
              : machine_test::WritingProgram(dataPort, overTcp ? 8192 : 192);
  std::vector<double> heldThroughout, heldAfterRunning, notHeld;
  size_t received = 0;
  bool inOrder = false;
  {
    korvel_test::TPeerReader reader(peer);
    reader.StopAt(2048);
    machine_test::TWritingProgramRun run(machine, mainThread, dataPort, program);
    const auto deadline = Clock::now() + std::chrono::minutes(2);
    std::optional<Clock::time_point> heldSince;
    bool readingOn = false;
    while (!run.Halted() && Clock::now() < deadline) {
      if (heldSince && !readingOn && Clock::now() - *heldSince >= std::chrono::milliseconds(2500)) {
        reader.ReadOn();
        readingOn = true;
      }
      const uint64_t before = machine.Cpu().InstructionCount;
      const auto start = Clock::now();
      run.Pass();
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      if (!machine.Cpu().Held())
        notHeld.push_back(ms);
      else
        (machine.Cpu().InstructionCount == before ? heldThroughout : heldAfterRunning).push_back(ms);
      // A polling program waits at its status read, running all the while.
      const bool waiting = polling ? machine.Cpu().Held() && machine.Cpu().GetPC() == 0x0106 : !heldThroughout.empty();
      if (!heldSince && waiting) heldSince = Clock::now();
    }
    while (reader.Count() < program.Expected.size() && Clock::now() < deadline) run.Pass();
    const std::string bytes = reader.Received();
    received = bytes.size();
    inOrder = bytes == std::string(program.Expected.begin(), program.Expected.end());
  }
  std::printf("%zu bytes written %s to %s, the peer stopping until it held the processor for 2.5 s: "
              "%zu received%s\n  passes held throughout: %s\n  passes held after running: %s\n  passes not held: %s\n",
              program.Expected.size(), polling ? "polling the status" : "without polling",
              overTcp ? "a TCP client on COM1" : "a pseudo-terminal on COM2", received,
              inOrder ? ", every byte in order" : ", NOT in order", PassTimes(heldThroughout).c_str(),
              PassTimes(heldAfterRunning).c_str(), PassTimes(notHeld).c_str());
  machine.Com2Settings.Enabled = false;
  machine.ActivateCom2();
  SetComPortDevice(comNumber, "");
  ::close(peer);
  if (ptySlave >= 0) ::close(ptySlave);
}

// CP/M's console on COM1 as the TCP server.
void TcpConsole(const std::string& cpm) {
  const std::string text = korvel_boot::NumberedText(200 * 1024);
  korvel_boot::TCpmBootRig rig(cpm, KORVEL_BIOS_HEX);
  TMachine& machine = *rig.Machine;
  korvel_boot::TCpmBootRig::ImportFile(machine.DriveFileName[0], "BIG.TXT", std::vector<uint8_t>(text.begin(), text.end()));
  // What CP/M writes to COM1's data port, whether or not anyone takes it.
  std::string written;
  TCpuPortWriteProc deviceWrite = machine.Cpu().OnPortWrite;
  machine.Cpu().OnPortWrite = [&written, deviceWrite](TCpuEmu& Sender, uint16_t Port, uint8_t Data) {
    deviceWrite(Sender, Port, Data);
    if (static_cast<uint8_t>(Port) == 21 && !Sender.HoldRequested()) written += static_cast<char>(Data);
  };

  // The same TYPE on the CRT, for the instructions it takes.
  const auto fail = [](const char* what) { std::fprintf(stderr, "machine_bench: %s\n", what); };
  if (!rig.BootToPrompt()) return fail("no prompt on the CRT");
  rig.Type("TYPE BIG.TXT\r");
  uint64_t first = machine.Cpu().InstructionCount;
  if (!rig.RunUntilOutput("\r\na>", 2'000'000'000)) return fail("TYPE on the CRT did not end");
  const uint64_t crtInstructions = machine.Cpu().InstructionCount - first;

  machine.UseTcpAsCom1 = true;
  machine.Com1TcpPort = "0";
  machine.Com1Settings.Enabled = true;
  machine.ActivateCom1();
  machine.ColdBootIoByte = 3;  // CON = UC1 (COM1)
  const int client = korvel_test::ConnectLoopback(machine.TcpPort().GetLocalPort());
  if (client < 0) return fail("no connection to the TCP console");
  {
    korvel_test::TPeerReader reader(client);
    const auto runUntil = [&](size_t from) {
      const auto deadline = Clock::now() + std::chrono::seconds(120);
      while (Clock::now() < deadline && machine.GetRunCpu()) {
        machine.RunPass();
        rig.MainThread.RunPending();
        if (reader.Received().find("\r\na>", from) != std::string::npos) return true;
      }
      return false;
    };
    machine.ColdBoot();
    if (!runUntil(0)) return fail("no prompt on the TCP console");
    for (int round = 0; round < 3; ++round) {
      const size_t from = reader.Count();
      korvel_test::SendAll(client, "TYPE BIG.TXT\r");
      const auto start = Clock::now();
      const bool done = runUntil(from + 16);
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      const std::string shown = TypedText(reader.Received().substr(from));
      std::printf("TYPE of %zu bytes to a TCP client on COM1: %.0f KB/s, %lld bytes lost%s%s\n", text.size(),
                  static_cast<double>(text.size()) / 1024 / seconds,
                  static_cast<long long>(text.size()) - static_cast<long long>(shown.size()),
                  shown == text || shown.size() != text.size() ? "" : " (bytes changed)", done ? "" : " (no prompt)");
    }
    // A client that only types the command and leaves at once.
    ::shutdown(client, SHUT_RDWR);
  }
  ::close(client);
  const int typist = korvel_test::ConnectLoopback(machine.TcpPort().GetLocalPort());
  korvel_test::SendAll(typist, "TYPE BIG.TXT\r");
  ::close(typist);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const size_t from = written.size();
  first = machine.Cpu().InstructionCount;
  const uint64_t limit = first + 40 * crtInstructions;
  bool done = false;
  while (!done && machine.Cpu().InstructionCount < limit && machine.GetRunCpu()) {
    machine.RunPass();
    rig.MainThread.RunPending();
    done = written.find("\r\na>", from + 16) != std::string::npos;
  }
  std::printf("TYPE of %zu bytes to COM1 over TCP with no client: %s %llu instructions, %.1f times those of the same "
              "TYPE on the CRT (%llu)%s\n",
              text.size(), done ? "done in" : "stopped after", static_cast<unsigned long long>(machine.Cpu().InstructionCount - first),
              static_cast<double>(machine.Cpu().InstructionCount - first) / static_cast<double>(crtInstructions),
              static_cast<unsigned long long>(crtInstructions),
              done ? "" : (", " + std::to_string(written.size() - from) + " bytes written").c_str());
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

  KeyWait(rig);
  HeldOutput(true);
  HeldOutput(false);
  HeldOutput(false, true);
  TcpConsole(cpm);

  // ZEXDOC under CP/M.
  if (zexdocLimit == 0) return 0;
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
