// A processor with recorded port traffic, and small helpers to load a few bytes,
// point PC at them and run them one instruction at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <vector>

#include "CpuEmu.h"

struct TPortWrite {
  uint16_t Port;
  uint8_t Data;
  bool operator==(const TPortWrite&) const = default;
};

inline void PrintTo(const TPortWrite& write, std::ostream* os) {
  *os << "port " << std::hex << write.Port << " data " << static_cast<int>(write.Data);
}

class CpuTest : public ::testing::Test {
 protected:
  static constexpr uint16_t ProgramStart = 0x0100;

  CpuTest() : Cpu(std::make_unique<TCpuEmu>()) {
    Cpu->OnPortRead = [this](TCpuEmu&, uint16_t port, uint8_t& data) {
      PortReads.push_back(port);
      if (PortInput.empty()) {
        data = DefaultPortInput;
      } else {
        data = PortInput.front();
        PortInput.pop_front();
      }
    };
    Cpu->OnPortWrite = [this](TCpuEmu&, uint16_t port, uint8_t data) { PortWrites.push_back({port, data}); };
  }

  void Load(uint16_t address, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) Cpu->Memory[address++] = b;
  }

  void SetPC(uint16_t pc) {
    Cpu->SetRegisterPCH(static_cast<uint8_t>(pc >> 8));
    Cpu->SetRegisterPCL(static_cast<uint8_t>(pc));
  }

  // Loads the bytes at ProgramStart, points PC there and executes one instruction.
  void Exec(std::initializer_list<uint8_t> bytes) {
    Load(ProgramStart, bytes);
    SetPC(ProgramStart);
    Cpu->ExecuteInstruction();
  }

  void Step(int count = 1) {
    for (int i = 0; i < count; ++i) Cpu->ExecuteInstruction();
  }

  uint16_t PC() const { return Cpu->GetPC(); }
  uint16_t Pair(uint8_t highCode) const { return Cpu->GetPair(highCode); }
  void SetPair(uint8_t highCode, uint16_t value) { Cpu->SetPair(highCode, value); }
  uint8_t& Reg(uint8_t code) { return Cpu->Registers[code]; }
  uint8_t& F() { return Cpu->Registers[RegF]; }
  uint8_t& A() { return Cpu->Registers[RegA]; }
  uint8_t& Mem(uint16_t address) { return Cpu->Memory[address]; }

  bool Iff1() const { return (Cpu->CpuState & CpuStateIff1) != 0; }
  bool Iff2() const { return (Cpu->CpuState & CpuStateIff2) != 0; }
  bool Halted() const { return (Cpu->CpuState & CpuStateHalted) != 0; }
  uint8_t InterruptMode() const { return Cpu->CpuState & CpuStateModeMask; }

  // Reads the word that a PUSH left at SP (low byte first).
  uint16_t WordAt(uint16_t address) const {
    return static_cast<uint16_t>(Cpu->Memory[address] | Cpu->Memory[static_cast<uint16_t>(address + 1)] << 8);
  }

  std::unique_ptr<TCpuEmu> Cpu;
  std::deque<uint8_t> PortInput;  // bytes handed to IN, in order; DefaultPortInput once empty
  uint8_t DefaultPortInput = 0x00;
  std::vector<uint16_t> PortReads;
  std::vector<TPortWrite> PortWrites;
};
