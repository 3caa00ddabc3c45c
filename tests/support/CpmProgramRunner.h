// Runs a CP/M transient program (.COM) on a bare TCpuEmu without booting CP/M:
// the program is loaded at 0100h, calls to 0005h are served for console output
// (BDOS functions 2 and 9), and the run ends when the program jumps to 0000h,
// where a HALT waits. It runs either one ExecuteInstruction call at a time or in
// runs of ExecuteInstructions with the BDOS entry as the breakpoint.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "CpuEmu.h"

namespace korvel_test {

class TCpmProgramRunner {
 public:
  static constexpr uint16_t BdosEntry = 0x0005;
  static constexpr uint16_t LoadAddress = 0x0100;

  enum class TMode { SingleSteps, Runs };

  explicit TCpmProgramRunner(TCpuEmu& cpu, TMode mode = TMode::SingleSteps) : Cpu(cpu), Mode(mode) {}

  void Load(const std::vector<unsigned char>& program) {
    Cpu.Reset(LoadAddress);
    Cpu.LoadMemory(LoadAddress, static_cast<uint16_t>(program.size()), program.data());
    Cpu.WriteByte(0x0000, 0x76);     // HALT: the warm-boot jump ends the run
    Cpu.WriteByte(BdosEntry, 0xC9);  // RET: the trap below prints, then the RET returns
    // The top of the TPA for programs that read it from 0006h; SP below it with 0000h pushed.
    Cpu.WriteByte(0x0006, 0x00);
    Cpu.WriteByte(0x0007, 0xF0);
    Cpu.SetPair(RegSPH, 0xF000);
    Cpu.PushWord(0x00, 0x00);
    Output.clear();
  }

  // Runs until the program ends or maxInstructions have run; true when it ended.
  bool Run(uint64_t maxInstructions) {
    const uint64_t limit = Cpu.InstructionCount + maxInstructions;
    while (Cpu.InstructionCount < limit) {
      const uint16_t pc = Cpu.GetPC();
      if (pc == BdosEntry) [[unlikely]]
        ServeBdos();
      else if (pc == 0x0000) [[unlikely]]
        return true;
      if (Mode == TMode::SingleSteps) {
        Cpu.ExecuteInstruction();
      } else {
        // Slices, so that the HALT at the end is noticed soon after the program ends.
        const uint64_t slice = std::min<uint64_t>(limit - Cpu.InstructionCount, 10'000'000);
        Cpu.ExecuteInstructions(slice, BdosEntry);
        if (Cpu.CpuState & CpuStateHalted) return Cpu.GetPC() == 0x0000;
      }
    }
    return false;
  }

  std::string Output;

 private:
  void ServeBdos() {
    switch (Cpu.GetRegisterC()) {
      case 2:
        Output += static_cast<char>(Cpu.GetRegisterE());
        break;
      case 9:
        for (uint16_t a = Cpu.GetPair(RegD); Cpu.ReadByte(a) != '$'; ++a) Output += static_cast<char>(Cpu.ReadByte(a));
        break;
      default:
        break;
    }
  }

  TCpuEmu& Cpu;
  TMode Mode;
};

}  // namespace korvel_test
