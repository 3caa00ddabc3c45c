// A program that writes to a COM port without looking at the status port, and
// a run of it pass by pass as the window's idle loop runs it, for the tests and
// benchmarks of output that a peer holds back.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <set>
#include <vector>

#include "Machine.h"
#include "MainThread.h"

namespace machine_test {

// A program that writes to a COM port without looking at its status, in three
// parts of Blocks times 256 bytes: with OUT (n),A, with OUT (n),A behind DD,
// and with OTIR. Each part's bytes differ from block to block.
struct TWritingProgram {
  std::vector<uint8_t> Code;  // at 0100h, ends in HALT
  uint16_t PlainOut = 0, PrefixedOut = 0, BlockOut = 0;
  std::vector<uint8_t> Expected;  // the bytes it writes
};

inline TWritingProgram WritingProgram(uint8_t DataPort, uint16_t Blocks) {
  TWritingProgram Program;
  std::vector<uint8_t>& Code = Program.Code;
  const auto Here = [&] { return static_cast<uint16_t>(0x0100 + Code.size()); };
  const auto Emit = [&](std::initializer_list<uint8_t> Bytes) {
    for (const uint8_t Byte : Bytes) Code.push_back(Byte);
  };
  const auto JumpBackIfNotZero = [&](uint16_t Target) {  // JR NZ,Target
    Emit({0x20, static_cast<uint8_t>(Target - (Here() + 2))});
  };
  const uint8_t CountLow = static_cast<uint8_t>(Blocks), CountHigh = static_cast<uint8_t>(Blocks >> 8);
  Emit({0x31, 0x00, 0xF0});  // LD SP,F000h
  // The first two parts: HL counts the blocks down, E the bytes; the byte is E+L, then E xor L.
  for (const uint8_t Operation : {uint8_t{0x85}, uint8_t{0xAD}}) {  // ADD A,L; XOR L
    Emit({0x21, CountLow, CountHigh});                               // LD HL,Blocks
    const uint16_t Block = Here();
    Emit({0x1E, 0x00});  // LD E,0
    const uint16_t Byte = Here();
    Emit({0x7B, Operation});  // LD A,E; ADD A,L or XOR L
    if (Operation == 0x85) {
      Program.PlainOut = Here();
      Emit({0xD3, DataPort});  // OUT (DataPort),A
    } else {
      Program.PrefixedOut = Here();
      Emit({0xDD, 0xD3, DataPort});  // the same behind DD
    }
    Emit({0x1C});  // INC E
    JumpBackIfNotZero(Byte);
    Emit({0x2B, 0x7C, 0xB5});  // DEC HL; LD A,H; OR L
    JumpBackIfNotZero(Block);
  }
  // The third part: DE counts the blocks down; each block fills the table at 2000h with
  // the byte number less E and sends it with OTIR.
  Emit({0x11, CountLow, CountHigh});  // LD DE,Blocks
  const uint16_t Block = Here();
  Emit({0x21, 0x00, 0x20, 0x06, 0x00});  // LD HL,2000h; LD B,0
  const uint16_t Fill = Here();
  // LD A,L; SUB E; LD (HL),A; INC L; DJNZ Fill
  Emit({0x7D, 0x93, 0x77, 0x2C, 0x10, static_cast<uint8_t>(Fill - (Here() + 6))});
  Emit({0x21, 0x00, 0x20, 0x01, DataPort, 0x00});  // LD HL,2000h; LD BC,DataPort (256 bytes)
  Program.BlockOut = Here();
  Emit({0xED, 0xB3});        // OTIR
  Emit({0x1B, 0x7A, 0xB3});  // DEC DE; LD A,D; OR E
  JumpBackIfNotZero(Block);
  Emit({0x76});  // HALT

  for (int Part = 0; Part < 3; ++Part)
    for (unsigned Left = Blocks; Left > 0; --Left)
      for (unsigned I = 0; I < 256; ++I)
        Program.Expected.push_back(static_cast<uint8_t>(Part == 0 ? I + Left : Part == 1 ? I ^ Left : I - Left));
  return Program;
}

// A program that writes Count bytes to a COM port as the BIOS does: it waits
// for bit 4 of the status port before each byte.
inline TWritingProgram PollingProgram(uint8_t StatusPort, uint8_t DataPort, uint16_t Count) {
  TWritingProgram Program;
  const uint8_t Low = static_cast<uint8_t>(Count), High = static_cast<uint8_t>(Count >> 8);
  Program.Code = {
      0x31, 0x00, 0xF0,        // LD  SP,F000h
      0x21, Low,  High,        // LD  HL,Count
      0xDB, StatusPort,        // IN  A,(StatusPort)    0106h
      0xE6, 0x04,              // AND 4
      0x28, 0xFA,              // JR  Z,0106h
      0x7D,                    // LD  A,L
      0xD3, DataPort,          // OUT (DataPort),A
      0x2B, 0x7C, 0xB5,        // DEC HL; LD A,H; OR L
      0x20, 0xF2,              // JR  NZ,0106h
      0x76,                    // HALT
  };
  Program.PlainOut = 0x010D;
  for (unsigned Left = Count; Left > 0; --Left) Program.Expected.push_back(static_cast<uint8_t>(Left));
  return Program;
}

// Runs a writing program as the window's idle loop does, pass by pass, and
// keeps the bytes the processor wrote to the port, the instructions it was
// held on, and the most instructions a pass ran that ended held.
class TWritingProgramRun {
 public:
  TWritingProgramRun(TMachine& Machine, TQueuedMainThread& MainThread, uint8_t DataPort, const TWritingProgram& Program)
      : FMachine(Machine), FMainThread(MainThread), FDeviceWrite(Machine.Cpu().OnPortWrite) {
    TCpuEmu& Cpu = Machine.Cpu();
    Cpu.OnPortWrite = [this, DataPort](TCpuEmu& Sender, uint16_t Port, uint8_t Data) {
      FDeviceWrite(Sender, Port, Data);
      if (static_cast<uint8_t>(Port) == DataPort && !Sender.HoldRequested()) Written.push_back(Data);
    };
    Cpu.Reset(0x0100);
    Cpu.LoadMemory(0x0100, static_cast<uint16_t>(Program.Code.size()), Program.Code.data());
    Machine.SetRunCpu(true);
  }
  ~TWritingProgramRun() { FMachine.Cpu().OnPortWrite = FDeviceWrite; }
  TWritingProgramRun(const TWritingProgramRun&) = delete;
  TWritingProgramRun& operator=(const TWritingProgramRun&) = delete;

  bool Halted() const { return (FMachine.Cpu().CpuState & CpuStateHalted) != 0; }
  // Runs passes until Done holds; the limit only keeps a broken build from hanging.
  bool RunUntil(const std::function<bool()>& Done) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!Done() && std::chrono::steady_clock::now() < Deadline) Pass();
    return Done();
  }
  // One pass. A held write is not written: it comes again in a later pass.
  void Pass() {
    TCpuEmu& Cpu = FMachine.Cpu();
    const uint64_t Before = Cpu.InstructionCount;
    FMachine.RunPass();
    FMainThread.RunPending();
    if (Cpu.Held()) {
      HeldAt.insert(Cpu.GetPC());
      LongestHeldPass = std::max(LongestHeldPass, Cpu.InstructionCount - Before);
    }
  }

  std::vector<uint8_t> Written;
  std::set<uint16_t> HeldAt;
  uint64_t LongestHeldPass = 0;

 private:
  TMachine& FMachine;
  TQueuedMainThread& FMainThread;
  TCpuPortWriteProc FDeviceWrite;
};

}  // namespace machine_test
