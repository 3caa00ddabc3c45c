// The processor object: creation, reset, memory access, the execution cycle,
// interrupt acceptance and HALT.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CpuTestFixture.h"

namespace {

// Interrupt sources for the tests: a maskable request stays pending until the
// processor asks for it (it asks only when it accepts), an NMI may be delayed
// by a number of polls.
class InterruptTest : public CpuTest {
 protected:
  void RequestMaskable(uint8_t vector) {
    MaskablePending = true;
    Cpu->OnCheckForInterrupt = [this, vector](TCpuEmu&, bool& isIrq, uint8_t& v) {
      if (MaskablePending) {
        isIrq = true;
        v = vector;
        MaskablePending = false;
      }
    };
  }

  // The NMI is reported on the poll with this number (1 = the first poll).
  void RequestNmiOnPoll(int poll) {
    NmiPoll = poll;
    Cpu->OnCheckForNonMaskIrq = [this](TCpuEmu&, bool& isIrq) {
      ++NmiPolls;
      if (NmiPolls == NmiPoll) isIrq = true;
    };
  }

  void EnableInterrupts() { Cpu->CpuState |= CpuStateIff1 | CpuStateIff2; }
  void SetMode(uint8_t field) { Cpu->CpuState = static_cast<uint8_t>((Cpu->CpuState & ~CpuStateModeMask) | field); }

  bool MaskablePending = false;
  int NmiPoll = 0;
  int NmiPolls = 0;
};

}  // namespace

TEST(CpuEmuObjectTest, CreationClearsMemoryAndResetsToZero) {
  auto cpu = std::make_unique<TCpuEmu>();
  for (int address = 0; address < 0x10000; ++address) ASSERT_EQ(cpu->Memory[address], 0) << address;
  EXPECT_EQ(cpu->GetPC(), 0x0000);
  EXPECT_EQ(cpu->GetPair(RegSPH), 0xFFFF);
  EXPECT_EQ(cpu->InstructionCount, 0u);
  EXPECT_EQ(cpu->CurrentPC, 0);
  EXPECT_EQ(cpu->InstructionPC, 0);
  EXPECT_EQ(cpu->CpuState, 0);
  EXPECT_FALSE(cpu->OnPortRead);
  EXPECT_FALSE(cpu->OnPortWrite);
  EXPECT_FALSE(cpu->OnCheckForNonMaskIrq);
  EXPECT_FALSE(cpu->OnCheckForInterrupt);
  EXPECT_FALSE(cpu->OnEndOFInterrupt);
  EXPECT_FALSE(cpu->OnOpcodeDone);
}

TEST_F(CpuTest, ResetSetsRegistersAndLeavesMemoryAlone) {
  Exec({0x3E, 0x42});  // LD A,$42
  Cpu->CpuState = CpuStateIff1 | CpuStateIff2 | CpuStateHalted | 3;
  Cpu->Registers[RegI] = 0x12;
  Cpu->Registers[RegR] = 0x34;
  Mem(0x8000) = 0x5A;

  Cpu->Reset(0x0103);

  EXPECT_EQ(PC(), 0x0103);
  EXPECT_EQ(Cpu->CurrentPC, 0x0103);
  EXPECT_EQ(Cpu->InstructionPC, 0x0103);
  EXPECT_EQ(Pair(RegSPH), 0xFFFF);
  EXPECT_EQ(A(), 0xFF);
  EXPECT_EQ(F(), 0xFF);
  for (uint8_t code : {RegB, RegD, RegH, RegIXH, RegIYH, RegAltB, RegAltD, RegAltH}) EXPECT_EQ(Pair(code), 0xFFFF);
  EXPECT_EQ(Reg(RegAltA), 0xFF);
  EXPECT_EQ(Reg(RegAltF), 0xFF);
  EXPECT_EQ(Reg(RegI), 0);
  EXPECT_EQ(Reg(RegR), 0);
  EXPECT_FALSE(Iff1());
  EXPECT_FALSE(Iff2());
  EXPECT_FALSE(Halted());
  EXPECT_EQ(InterruptMode(), 0);
  EXPECT_EQ(Cpu->CpuState, 0);
  EXPECT_EQ(Cpu->IndexPrefix, 0);
  EXPECT_EQ(Cpu->InstructionCount, 0u);
  EXPECT_EQ(Mem(0x8000), 0x5A);
  EXPECT_EQ(Mem(ProgramStart), 0x3E);
}

TEST_F(CpuTest, InitOpcodeTableClearsMemoryAndResetsToZero) {
  Mem(0x1234) = 0x99;
  SetPC(0x4000);
  Cpu->InitOpcodeTable();
  EXPECT_EQ(Mem(0x1234), 0);
  EXPECT_EQ(PC(), 0);
  Step();  // the table still decodes: a NOP at 0
  EXPECT_EQ(PC(), 1);
}

TEST_F(CpuTest, LoadAndSaveMemoryWrapAtTheTop) {
  const uint8_t bytes[] = {1, 2, 3, 4};
  Cpu->LoadMemory(0xFFFE, 4, bytes);
  EXPECT_EQ(Mem(0xFFFE), 1);
  EXPECT_EQ(Mem(0xFFFF), 2);
  EXPECT_EQ(Mem(0x0000), 3);
  EXPECT_EQ(Mem(0x0001), 4);

  uint8_t back[4] = {};
  Cpu->SaveMemory(0xFFFE, 4, back);
  EXPECT_EQ(back[0], 1);
  EXPECT_EQ(back[1], 2);
  EXPECT_EQ(back[2], 3);
  EXPECT_EQ(back[3], 4);

  const uint8_t other[] = {9, 9};
  Cpu->LoadMemory(0x2000, 0, other);
  EXPECT_EQ(Mem(0x2000), 0);
  uint8_t untouched[2] = {7, 7};
  Cpu->SaveMemory(0xFFFE, 0, untouched);
  EXPECT_EQ(untouched[0], 7);

  Cpu->WriteByte(0x3000, 0xAB);
  EXPECT_EQ(Cpu->ReadByte(0x3000), 0xAB);
  EXPECT_EQ(Mem(0x3000), 0xAB);
}

TEST_F(CpuTest, FetchAndExecutionWrapPcAtTheTop) {
  Mem(0xFFFF) = 0x77;
  SetPC(0xFFFF);
  EXPECT_EQ(Cpu->FetchByte(), 0x77);
  EXPECT_EQ(PC(), 0x0000);

  Load(0xFFFF, {0x3E});  // LD A,n with n at $0000
  Mem(0x0000) = 0x5C;
  SetPC(0xFFFF);
  Step();
  EXPECT_EQ(A(), 0x5C);
  EXPECT_EQ(PC(), 0x0001);
  EXPECT_EQ(Cpu->CurrentPC, 0x0001);
  EXPECT_EQ(Cpu->InstructionPC, 0xFFFF);
}

TEST_F(CpuTest, StackWrapsAtSixteenBits) {
  SetPair(RegSPH, 0x0001);
  SetPair(RegB, 0x1234);
  Exec({0xC5});  // PUSH BC
  EXPECT_EQ(Mem(0x0000), 0x12);
  EXPECT_EQ(Mem(0xFFFF), 0x34);
  EXPECT_EQ(Pair(RegSPH), 0xFFFF);

  Exec({0xD1});  // POP DE
  EXPECT_EQ(Pair(RegD), 0x1234);
  EXPECT_EQ(Pair(RegSPH), 0x0001);
}

TEST_F(CpuTest, RefreshCountsSevenBitsAndKeepsBitSeven) {
  Reg(RegR) = 0x7F;
  Exec({0x00});
  EXPECT_EQ(Reg(RegR), 0x00);
  Reg(RegR) = 0xFF;
  Exec({0x00});
  EXPECT_EQ(Reg(RegR), 0x80);
}

TEST_F(CpuTest, RefreshAdvancesOncePerOpcodeByte) {
  struct Case {
    std::initializer_list<uint8_t> bytes;
    int advance;
  };
  const Case cases[] = {
      {{0x00}, 1},                    // NOP
      {{0x3E, 0x12}, 1},              // LD A,n: an operand is no opcode byte
      {{0xCB, 0x00}, 2},              // RLC B
      {{0xED, 0x44}, 2},              // NEG
      {{0xED, 0x00}, 2},              // ED no-operation
      {{0xDD, 0x23}, 2},              // INC IX
      {{0xDD, 0x7E, 0x01}, 2},        // LD A,(IX+1): the displacement is no opcode byte
      {{0xDD, 0xCB, 0x01, 0x06}, 3},  // RLC (IX+1)
      {{0xFD, 0xCB, 0x01, 0x46}, 3},  // BIT 0,(IY+1)
      {{0xDD, 0xDD, 0xFD, 0x23}, 4},  // several prefixes
  };
  for (const Case& c : cases) {
    Reg(RegR) = 0x10;
    SetPair(RegIXH, 0x4000);
    SetPair(RegIYH, 0x4000);
    Exec(c.bytes);
    EXPECT_EQ(Reg(RegR), 0x10 + c.advance) << "first byte " << std::hex << static_cast<int>(*c.bytes.begin());
  }
}

TEST_F(CpuTest, EachCallCountsOneInstructionAndReportsIt) {
  int done = 0;
  Cpu->OnOpcodeDone = [&](TCpuEmu& sender) {
    EXPECT_EQ(&sender, Cpu.get());
    ++done;
  };
  SetPair(RegIXH, 0x4000);
  Exec({0xDD, 0xCB, 0x02, 0x06});  // RLC (IX+2)
  EXPECT_EQ(Cpu->InstructionCount, 1u);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(PC(), ProgramStart + 4);
  EXPECT_EQ(Cpu->InstructionPC, ProgramStart);
  EXPECT_EQ(Cpu->CurrentPC, ProgramStart + 4);

  Exec({0xDD, 0xDD, 0xFD, 0x21, 0x34, 0x12});  // LD IY,$1234 after three prefixes
  EXPECT_EQ(Cpu->InstructionCount, 2u);
  EXPECT_EQ(done, 2);

  SetPair(RegB, 2);  // LDIR, two repetitions: one per call
  SetPair(RegD, 0x5000);
  SetPair(RegH, 0x6000);
  Exec({0xED, 0xB0});
  EXPECT_EQ(Cpu->InstructionCount, 3u);
  Step();
  EXPECT_EQ(Cpu->InstructionCount, 4u);
  EXPECT_EQ(done, 4);
}

TEST_F(CpuTest, SettingAPcByteMovesCurrentPcOnly) {
  Exec({0x00});
  EXPECT_EQ(Cpu->InstructionPC, ProgramStart);
  Cpu->SetRegisterPCH(0x12);
  Cpu->SetRegisterPCL(0x34);
  EXPECT_EQ(Cpu->CurrentPC, 0x1234);
  EXPECT_EQ(Cpu->InstructionPC, ProgramStart);
}

TEST(CpuEmuPortTest, UnassignedPortEventsReadFfAndDiscardWrites) {
  auto cpu = std::make_unique<TCpuEmu>();
  const uint8_t program[] = {0x3E, 0x00, 0xDB, 0x10, 0xD3, 0x20, 0xED, 0x78};  // LD A,0; IN A,($10); OUT ($20),A; IN A,(C)
  cpu->LoadMemory(0, sizeof program, program);
  cpu->ExecuteInstruction();
  cpu->ExecuteInstruction();
  EXPECT_EQ(cpu->GetRegisterA(), 0xFF);
  cpu->ExecuteInstruction();
  cpu->SetRegisterA(0);
  cpu->ExecuteInstruction();
  EXPECT_EQ(cpu->GetRegisterA(), 0xFF);
  EXPECT_EQ(cpu->GetPC(), 8);
}

TEST_F(CpuTest, PortEventsCarryTheSixteenBitPortAndTheSender) {
  TCpuEmu* sender = nullptr;
  Cpu->OnPortRead = [&](TCpuEmu& s, uint16_t port, uint8_t& data) {
    sender = &s;
    PortReads.push_back(port);
    data = 0x9C;
  };
  A() = 0x12;
  Exec({0xDB, 0xFE});  // IN A,($FE): A goes out on the high byte
  ASSERT_EQ(PortReads.size(), 1u);
  EXPECT_EQ(PortReads[0], 0x12FE);
  EXPECT_EQ(A(), 0x9C);
  EXPECT_EQ(sender, Cpu.get());

  A() = 0x34;
  Exec({0xD3, 0x56});  // OUT ($56),A
  ASSERT_EQ(PortWrites.size(), 1u);
  EXPECT_EQ(PortWrites[0], (TPortWrite{0x3456, 0x34}));
}

// ---- HALT ---------------------------------------------------------------------------

TEST_F(InterruptTest, HaltWaitsOnItsOwnByteUntilAnInterrupt) {
  Load(0x1000, {0x76});
  SetPC(0x1000);
  Reg(RegR) = 0;
  Step();
  EXPECT_EQ(PC(), 0x1000);
  EXPECT_TRUE(Halted());
  Step(2);  // HALT again: counted, R advanced, PC kept
  EXPECT_EQ(PC(), 0x1000);
  EXPECT_EQ(Cpu->InstructionCount, 3u);
  EXPECT_EQ(Reg(RegR), 3);

  EnableInterrupts();
  SetMode(2);  // IM 1
  SetPair(RegSPH, 0x8000);
  RequestMaskable(0xFF);
  Step();
  EXPECT_FALSE(Halted());
  EXPECT_EQ(Pair(RegSPH), 0x7FFE);
  EXPECT_EQ(WordAt(0x7FFE), 0x1001);
  EXPECT_EQ(PC(), 0x0039);  // the NOP at $0038 ran in the same call
}

TEST_F(InterruptTest, NmiWhileHaltedPushesTheAddressAfterHalt) {
  Load(0x1000, {0x76});
  SetPC(0x1000);
  Step();
  SetPair(RegSPH, 0x8000);
  RequestNmiOnPoll(NmiPolls + 1);
  Step();
  EXPECT_FALSE(Halted());
  EXPECT_EQ(WordAt(0x7FFE), 0x1001);
  EXPECT_EQ(PC(), 0x0067);
}

// A prefix before HALT ends the instruction in the same call: PC stays on the
// HALT byte and the processor waits there, as after a plain HALT.
TEST_F(InterruptTest, PrefixedHaltEndsTheCallOnTheHaltByte) {
  for (uint8_t prefix : {uint8_t{0xDD}, uint8_t{0xFD}}) {
    Cpu->Reset(0x1000);
    Load(0x1000, {prefix, 0x76});
    // Guard against a call that never returns: more than a few interrupt polls in
    // one call means the processor keeps executing HALT inside it.
    int pollsThisCall = 0;
    Cpu->OnCheckForNonMaskIrq = [&](TCpuEmu&, bool&) {
      if (++pollsThisCall > 3) throw std::runtime_error("ExecuteInstruction loops on a prefixed HALT");
    };
    ASSERT_NO_THROW(Step()) << std::hex << static_cast<int>(prefix);
    EXPECT_EQ(PC(), 0x1001) << std::hex << static_cast<int>(prefix);
    EXPECT_EQ(Cpu->CurrentPC, 0x1001);
    EXPECT_TRUE(Halted());
    EXPECT_EQ(Cpu->IndexPrefix, 0);
    EXPECT_EQ(Cpu->InstructionCount, 1u);

    pollsThisCall = 0;
    ASSERT_NO_THROW(Step());
    EXPECT_EQ(PC(), 0x1001);
    EXPECT_TRUE(Halted());
    EXPECT_EQ(Cpu->InstructionCount, 2u);

    Cpu->OnCheckForNonMaskIrq = nullptr;
    EnableInterrupts();
    SetMode(2);
    SetPair(RegSPH, 0x8000);
    RequestMaskable(0xFF);
    Step();
    EXPECT_FALSE(Halted());
    EXPECT_EQ(WordAt(0x7FFE), 0x1002);
  }
}

// ---- Maskable interrupts --------------------------------------------------------------

TEST_F(InterruptTest, InstructionAfterEiRunsBeforeAPendingInterrupt) {
  Load(ProgramStart, {0xED, 0x56, 0xFB, 0x00, 0x00});  // IM 1; EI; NOP; NOP
  SetPC(ProgramStart);
  SetPair(RegSPH, 0x8000);
  Step();
  EXPECT_EQ(InterruptMode(), 2);
  RequestMaskable(0xFF);
  Step();  // EI
  EXPECT_TRUE(Iff1());
  EXPECT_TRUE(Iff2());
  EXPECT_TRUE(MaskablePending);
  Step();  // the NOP after EI, not interrupted
  EXPECT_EQ(PC(), ProgramStart + 4);
  EXPECT_TRUE(MaskablePending);
  Step();  // accepted now, and the NOP at $0038 runs in the same call
  EXPECT_FALSE(MaskablePending);
  EXPECT_EQ(WordAt(0x7FFE), ProgramStart + 4);
  EXPECT_EQ(PC(), 0x0039);
  EXPECT_EQ(Cpu->InstructionPC, ProgramStart + 4);
  EXPECT_EQ(Cpu->InstructionCount, 4u);
}

TEST_F(InterruptTest, AcceptingAMaskableInterruptClearsBothFlipFlops) {
  EnableInterrupts();
  SetMode(2);
  SetPair(RegSPH, 0x8000);
  SetPC(ProgramStart);
  RequestMaskable(0xFF);
  Step();
  EXPECT_EQ(PC(), 0x0039);
  EXPECT_FALSE(Iff1());
  EXPECT_FALSE(Iff2());
}

TEST_F(InterruptTest, NoMaskableInterruptWhileDisabled) {
  SetMode(2);
  SetPC(ProgramStart);
  RequestMaskable(0xFF);
  Step(3);
  EXPECT_EQ(PC(), ProgramStart + 3);
  Exec({0xF3});  // DI
  EXPECT_FALSE(Iff1());
  EXPECT_FALSE(Iff2());
  Step();
  EXPECT_EQ(PC(), ProgramStart + 2);
}

// IM 2 reads the handler address from the table at I x 256 + Vector.
TEST_F(InterruptTest, ModeTwoJumpsThroughTheVectorTable) {
  Load(ProgramStart, {0xED, 0x5E});  // IM 2
  SetPC(ProgramStart);
  Step();
  EXPECT_EQ(InterruptMode(), 3);
  Reg(RegI) = 0x12;
  Load(0x1234, {0x78, 0x56});
  Load(0x5678, {0x3E, 0xA5});  // LD A,$A5, the handler's first instruction
  EnableInterrupts();
  SetPair(RegSPH, 0x8000);
  RequestMaskable(0x34);
  Step();
  EXPECT_EQ(WordAt(0x7FFE), ProgramStart + 2);
  EXPECT_EQ(A(), 0xA5);
  EXPECT_EQ(PC(), 0x567A);
  EXPECT_EQ(Cpu->InstructionPC, ProgramStart + 2);
  EXPECT_FALSE(Iff1());
  EXPECT_FALSE(Iff2());
}

TEST_F(InterruptTest, ModeZeroExecutesTheVectorAsTheOpcode) {
  EnableInterrupts();
  SetMode(0);
  SetPair(RegSPH, 0x8000);
  SetPC(0x2000);
  Reg(RegR) = 0x10;
  RequestMaskable(0xFF);  // RST 38H
  Step();
  EXPECT_EQ(PC(), 0x0038);
  EXPECT_EQ(Pair(RegSPH), 0x7FFE);
  EXPECT_EQ(WordAt(0x7FFE), 0x2000);
  EXPECT_EQ(Reg(RegR), 0x10);  // nothing was fetched
  EXPECT_EQ(Cpu->InstructionCount, 1u);
  EXPECT_FALSE(Iff1());

  // Field value 1 (ED 4E) behaves the same; a vector that pushes nothing pushes nothing.
  Load(0x2000, {0xED, 0x4E});
  SetPC(0x2000);
  Step();
  EXPECT_EQ(InterruptMode(), 1);
  EnableInterrupts();
  A() = 0x00;
  RequestMaskable(0x3C);  // INC A
  Step();
  EXPECT_EQ(A(), 0x01);
  EXPECT_EQ(PC(), 0x2002);
  EXPECT_EQ(Pair(RegSPH), 0x7FFE);
}

TEST_F(InterruptTest, ImSetsTheModeField) {
  const std::pair<uint8_t, uint8_t> cases[] = {{0x46, 0}, {0x4E, 1}, {0x56, 2}, {0x5E, 3},
                                               {0x66, 0}, {0x6E, 1}, {0x76, 2}, {0x7E, 3}};
  for (auto [opcode, field] : cases) {
    SetMode(field ^ 3);
    Exec({0xED, opcode});
    EXPECT_EQ(InterruptMode(), field) << std::hex << static_cast<int>(opcode);
    EXPECT_EQ(PC(), ProgramStart + 2);
  }
}

// ---- Non-maskable interrupts ----------------------------------------------------------

TEST_F(InterruptTest, NmiIsTakenWhileDisabledAndSavesIff1) {
  SetPair(RegSPH, 0x8000);
  SetPC(0x3000);
  RequestNmiOnPoll(1);
  Step();
  EXPECT_EQ(WordAt(0x7FFE), 0x3000);
  EXPECT_EQ(PC(), 0x0067);  // the NOP at $0066 ran in the same call
  EXPECT_EQ(Cpu->InstructionPC, 0x3000);
  EXPECT_FALSE(Iff1());
  EXPECT_FALSE(Iff2());
  EXPECT_EQ(Cpu->InstructionCount, 1u);
}

TEST_F(InterruptTest, NmiKeepsIff1InIff2AndRetnRestoresIt) {
  EnableInterrupts();
  SetPair(RegSPH, 0x8000);
  SetPC(0x3000);
  RequestNmiOnPoll(1);
  Step();
  EXPECT_EQ(PC(), 0x0067);
  EXPECT_FALSE(Iff1());
  EXPECT_TRUE(Iff2());

  Exec({0xED, 0x45});  // RETN
  EXPECT_EQ(PC(), 0x3000);
  EXPECT_TRUE(Iff1());
  EXPECT_TRUE(Iff2());
  EXPECT_EQ(Pair(RegSPH), 0x8000);
}

TEST_F(InterruptTest, NothingInterruptsTheInstructionAfterDiOrAPrefix) {
  Load(ProgramStart, {0xF3, 0x00, 0x00});  // DI; NOP; NOP
  SetPC(ProgramStart);
  SetPair(RegSPH, 0x8000);
  RequestNmiOnPoll(2);  // pending from the first chance after DI
  Step(2);
  EXPECT_EQ(PC(), ProgramStart + 2);
  Step();
  EXPECT_EQ(PC(), 0x0067);
  EXPECT_EQ(WordAt(0x7FFE), ProgramStart + 2);

  // Between a prefix and its opcode.
  NmiPolls = 0;
  SetPair(RegSPH, 0x8000);
  Load(ProgramStart, {0xDD, 0x21, 0x34, 0x12});
  SetPC(ProgramStart);
  SetPair(RegIXH, 0);
  RequestNmiOnPoll(2);
  Step();
  EXPECT_EQ(Pair(RegIXH), 0x1234);
  EXPECT_EQ(PC(), ProgramStart + 4);
  Step();
  EXPECT_EQ(WordAt(0x7FFE), ProgramStart + 4);
}

// ---- Returns from interrupts ---------------------------------------------------------

TEST_F(InterruptTest, RetiReportsTheEndBeforePoppingAndKeepsIff1) {
  SetPair(RegSPH, 0x7FFE);
  Load(0x7FFE, {0x34, 0x12});
  Cpu->CpuState = CpuStateIff2;  // IFF1 = 0, IFF2 = 1
  int ends = 0;
  Cpu->OnEndOFInterrupt = [&](TCpuEmu&) {
    ++ends;
    EXPECT_EQ(Pair(RegSPH), 0x7FFE);
  };
  Exec({0xED, 0x4D});
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(PC(), 0x1234);
  EXPECT_EQ(Pair(RegSPH), 0x8000);
  EXPECT_FALSE(Iff1());

  for (uint8_t retn : {0x45, 0x55, 0x5D, 0x65, 0x6D, 0x75, 0x7D}) {
    SetPair(RegSPH, 0x7FFE);
    Cpu->CpuState = CpuStateIff2;
    Exec({0xED, retn});
    EXPECT_TRUE(Iff1()) << std::hex << static_cast<int>(retn);
    EXPECT_EQ(PC(), 0x1234);
  }
  EXPECT_EQ(ends, 1);
}

// ---- Events see and may change the live state ----------------------------------------

TEST_F(CpuTest, PortHandlersSeeTheCurrentStateAndTheirChangesStay) {
  uint16_t pcSeen = 0, instructionPcSeen = 0;
  uint64_t countSeen = 99;
  Cpu->OnPortWrite = [&](TCpuEmu& cpu, uint16_t, uint8_t) {
    pcSeen = cpu.GetPC();
    instructionPcSeen = cpu.InstructionPC;
    countSeen = cpu.InstructionCount;
    cpu.SetRegisterB(0x42);
    cpu.WriteByte(0x9000, 0x5A);
  };
  Exec({0xD3, 0x10});  // OUT ($10),A
  EXPECT_EQ(pcSeen, ProgramStart + 2);
  EXPECT_EQ(instructionPcSeen, ProgramStart);
  EXPECT_EQ(countSeen, 0u);
  EXPECT_EQ(Reg(RegB), 0x42);
  EXPECT_EQ(Mem(0x9000), 0x5A);

  // A handler may move PC, as a debugger or a reset from a device would.
  Cpu->OnPortRead = [&](TCpuEmu& cpu, uint16_t, uint8_t& data) {
    data = 0x11;
    cpu.SetRegisterPCH(0x20);
    cpu.SetRegisterPCL(0x00);
  };
  Exec({0xED, 0x78});  // IN A,(C)
  EXPECT_EQ(A(), 0x11);
  EXPECT_EQ(PC(), 0x2000);
  EXPECT_EQ(Cpu->CurrentPC, 0x2000);
  Step();  // runs the NOP at $2000
  EXPECT_EQ(PC(), 0x2001);
}

// R counts every opcode fetch, including the one of the instruction whose port
// event is running, in single steps and in runs alike; LD A,R reads the same count.
TEST_F(CpuTest, PortHandlersAndLdARSeeEveryFetchSoFar) {
  for (const bool inOneRun : {false, true}) {
    std::vector<uint8_t> refreshSeen;
    Cpu->OnPortWrite = [&](TCpuEmu& cpu, uint16_t, uint8_t) { refreshSeen.push_back(cpu.GetRegisterR()); };
    Cpu->OnPortRead = [&](TCpuEmu& cpu, uint16_t, uint8_t& data) {
      refreshSeen.push_back(cpu.GetRegisterR());
      data = 0;
    };
    // NOP; OUT ($10),A; IN A,(C); LD A,R
    Load(ProgramStart, {0x00, 0xD3, 0x10, 0xED, 0x78, 0xED, 0x5F});
    SetPC(ProgramStart);
    Reg(RegR) = 0x80;  // bit 7 never changes by counting
    if (inOneRun)
      EXPECT_EQ(Cpu->ExecuteInstructions(4), 4u);
    else
      Step(4);
    EXPECT_EQ(refreshSeen, (std::vector<uint8_t>{0x82, 0x84})) << (inOneRun ? "run" : "single steps");
    EXPECT_EQ(A(), 0x86);
    EXPECT_EQ(Reg(RegR), 0x86);
  }
}

TEST_F(CpuTest, OpcodeDoneSeesTheFinishedInstruction) {
  uint16_t pcSeen = 0, currentPcSeen = 0;
  uint64_t countSeen = 0;
  uint8_t refreshSeen = 0;
  Cpu->OnOpcodeDone = [&](TCpuEmu& cpu) {
    pcSeen = cpu.GetPC();
    currentPcSeen = cpu.CurrentPC;
    countSeen = cpu.InstructionCount;
    refreshSeen = cpu.GetRegisterR();
  };
  Reg(RegR) = 0;
  Exec({0xC3, 0x00, 0x30});  // JP $3000
  EXPECT_EQ(pcSeen, 0x3000);
  EXPECT_EQ(currentPcSeen, 0x3000);
  EXPECT_EQ(countSeen, 1u);
  EXPECT_EQ(refreshSeen, 1);

  // A change made in the notice is where the next instruction starts.
  Cpu->OnOpcodeDone = [](TCpuEmu& cpu) {
    cpu.SetRegisterPCH(0x40);
    cpu.SetRegisterPCL(0x00);
  };
  Step();
  EXPECT_EQ(PC(), 0x4000);
  Mem(0x4000) = 0x3C;  // INC A
  A() = 0;
  Cpu->OnOpcodeDone = nullptr;
  Step();
  EXPECT_EQ(A(), 1);
  EXPECT_EQ(PC(), 0x4001);
}

TEST_F(CpuTest, InterruptPollsSeeThePcOfTheNextInstruction) {
  std::vector<uint16_t> pcs;
  Cpu->OnCheckForNonMaskIrq = [&](TCpuEmu& cpu, bool&) { pcs.push_back(cpu.GetPC()); };
  Load(ProgramStart, {0x00, 0x3E, 0x01});  // NOP; LD A,1
  SetPC(ProgramStart);
  Step(2);
  EXPECT_EQ(pcs, (std::vector<uint16_t>{ProgramStart, ProgramStart + 1}));
}

// ---- Running many instructions in one call ------------------------------------------

namespace {

// Everything a run leaves behind that the two ways of running must agree on.
struct TRunTrace {
  std::vector<uint16_t> Reads;
  std::vector<TPortWrite> Writes;
  int Done = 0;
  int MaskablePolls = 0;
  int NmiPolls = 0;
};

// Fills memory with pseudo-random bytes (a program of every kind of instruction)
// and wires events that feed ports and raise interrupts at fixed poll counts.
void PrepareRandomRun(TCpuEmu& cpu, uint32_t seed, TRunTrace& trace) {
  uint32_t state = seed;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<uint8_t>(state >> 24);
  };
  for (uint8_t& b : cpu.Memory) b = next();
  cpu.Reset(static_cast<uint16_t>(next() << 8 | next()));
  const uint8_t vector = next();
  cpu.OnPortRead = [&trace](TCpuEmu&, uint16_t port, uint8_t& data) {
    trace.Reads.push_back(port);
    data = static_cast<uint8_t>(port * 7 + trace.Reads.size());
  };
  cpu.OnPortWrite = [&trace](TCpuEmu&, uint16_t port, uint8_t data) { trace.Writes.push_back({port, data}); };
  cpu.OnCheckForInterrupt = [&trace, vector](TCpuEmu&, bool& isIrq, uint8_t& v) {
    isIrq = ++trace.MaskablePolls % 40 == 0;
    v = vector;
  };
  cpu.OnCheckForNonMaskIrq = [&trace](TCpuEmu&, bool& isIrq) { isIrq = ++trace.NmiPolls % 3001 == 0; };
  // Step off a HALT, and now and then jump elsewhere, so that the run goes on
  // through the random program rather than circling in one small loop.
  cpu.OnOpcodeDone = [&trace](TCpuEmu& sender) {
    ++trace.Done;
    uint16_t pc = sender.GetPC();
    if (sender.CpuState & CpuStateHalted) {
      sender.CpuState &= static_cast<uint8_t>(~CpuStateHalted);
      ++pc;
    } else if (trace.Done % 97 == 0) {
      pc = static_cast<uint16_t>(static_cast<uint32_t>(trace.Done) * 40503u);
    }
    sender.SetRegisterPCH(static_cast<uint8_t>(pc >> 8));
    sender.SetRegisterPCL(static_cast<uint8_t>(pc));
  };
}

}  // namespace

TEST(CpuEmuBatchTest, ManyInstructionsInOneCallMatchSingleSteps) {
  constexpr uint64_t Instructions = 20000;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    auto single = std::make_unique<TCpuEmu>();
    auto batch = std::make_unique<TCpuEmu>();
    TRunTrace singleTrace, batchTrace;
    PrepareRandomRun(*single, seed, singleTrace);
    PrepareRandomRun(*batch, seed, batchTrace);

    for (uint64_t i = 0; i < Instructions; ++i) single->ExecuteInstruction();
    uint64_t executed = 0;
    while (executed < Instructions) executed += batch->ExecuteInstructions(Instructions - executed);

    SCOPED_TRACE("seed " + std::to_string(seed));
    EXPECT_EQ(executed, Instructions);
    EXPECT_EQ(batch->InstructionCount, single->InstructionCount);
    EXPECT_EQ(std::memcmp(batch->Registers, single->Registers, sizeof single->Registers), 0);
    EXPECT_EQ(batch->GetPC(), single->GetPC());
    EXPECT_EQ(batch->GetStatusFlags(), single->GetStatusFlags());
    EXPECT_EQ(batch->CpuState, single->CpuState);
    EXPECT_EQ(batch->IndexPrefix, single->IndexPrefix);
    EXPECT_EQ(batch->CurrentPC, single->CurrentPC);
    EXPECT_EQ(batch->InstructionPC, single->InstructionPC);
    EXPECT_EQ(std::memcmp(batch->Memory, single->Memory, sizeof single->Memory), 0);
    EXPECT_EQ(batchTrace.Done, singleTrace.Done);
    EXPECT_EQ(batchTrace.MaskablePolls, singleTrace.MaskablePolls);
    EXPECT_EQ(batchTrace.NmiPolls, singleTrace.NmiPolls);
    EXPECT_EQ(batchTrace.Reads, singleTrace.Reads);
    EXPECT_EQ(batchTrace.Writes, singleTrace.Writes);
  }
}

TEST_F(CpuTest, ManyInstructionsStopAfterReachingTheBreakPoint) {
  SetPC(ProgramStart);  // NOPs all the way
  EXPECT_EQ(Cpu->ExecuteInstructions(100, ProgramStart + 3), 3u);
  EXPECT_EQ(PC(), ProgramStart + 3);
  EXPECT_EQ(Cpu->CurrentPC, ProgramStart + 3);
  EXPECT_EQ(Cpu->InstructionCount, 3u);

  // Starting on the break point does not stop before the first instruction.
  EXPECT_EQ(Cpu->ExecuteInstructions(10, ProgramStart + 3), 10u);
  EXPECT_EQ(PC(), ProgramStart + 13);
  EXPECT_EQ(Cpu->ExecuteInstructions(0), 0u);
  EXPECT_EQ(Cpu->ExecuteInstructions(5, -1), 5u);
  EXPECT_EQ(Cpu->InstructionCount, 18u);

  // A jump onto the break point stops there; a prefixed instruction counts once.
  Load(0x2000, {0xDD, 0x21, 0x34, 0x12, 0xC3, 0x00, 0x30});  // LD IX,$1234; JP $3000
  SetPC(0x2000);
  int done = 0;
  Cpu->OnOpcodeDone = [&](TCpuEmu&) { ++done; };
  EXPECT_EQ(Cpu->ExecuteInstructions(1000, 0x3000), 2u);
  EXPECT_EQ(PC(), 0x3000);
  EXPECT_EQ(Pair(RegIXH), 0x1234);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(Cpu->InstructionPC, 0x2004);
}

// Without interrupt polls and OnOpcodeDone a run takes its fast path. Random
// programs run in passes of random length, with the break point now and then on
// the next instruction's address, must leave exactly the state that single steps
// leave, and the port events must see the same state at the same moments.
TEST(CpuEmuBatchTest, EventFreePassesMatchSingleSteps) {
  struct TPortSeen {
    uint16_t Port, InstructionPC, CurrentPC, PC;
    uint64_t Count;
    uint8_t R, Opcode, Data;
    bool operator==(const TPortSeen&) const = default;
  };
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    uint32_t state = seed * 2654435761u;
    auto next = [&state] {
      state = state * 1664525u + 1013904223u;
      return static_cast<uint8_t>(state >> 24);
    };
    auto single = std::make_unique<TCpuEmu>();
    auto batch = std::make_unique<TCpuEmu>();
    std::vector<TPortSeen> singleSeen, batchSeen;
    for (auto [cpu, seen] : {std::pair{single.get(), &singleSeen}, std::pair{batch.get(), &batchSeen}}) {
      cpu->OnPortRead = [seen](TCpuEmu& c, uint16_t port, uint8_t& data) {
        data = static_cast<uint8_t>(port ^ seen->size());
        seen->push_back({port, c.InstructionPC, c.CurrentPC, c.GetPC(), c.InstructionCount, c.GetRegisterR(), c.Opcode, data});
      };
      cpu->OnPortWrite = [seen](TCpuEmu& c, uint16_t port, uint8_t data) {
        seen->push_back({port, c.InstructionPC, c.CurrentPC, c.GetPC(), c.InstructionCount, c.GetRegisterR(), c.Opcode, data});
      };
    }
    for (uint8_t& b : single->Memory) b = next();
    // HALT would hold a pass on one address; make most of them something else.
    for (uint8_t& b : single->Memory)
      if (b == 0x76 && next() < 240) b = 0x00;
    // Chains of DD and FD longer than one call follows, which passes start on and end within.
    uint16_t chains[4];
    for (uint16_t& chain : chains) {
      chain = static_cast<uint16_t>(next() << 8 | next());
      const unsigned length = 200 + next() * 4u;
      for (unsigned i = 0; i < length; ++i) single->Memory[static_cast<uint16_t>(chain + i)] = (next() & 1) ? 0xDD : 0xFD;
    }
    std::memcpy(batch->Memory, single->Memory, sizeof single->Memory);
    const uint16_t start = static_cast<uint16_t>(next() << 8 | next());
    single->Reset(start);
    batch->Reset(start);

    for (int pass = 0; pass < 400; ++pass) {
      if (pass % 16 == 0) {  // somewhere else in the program, as a debugger would move PC
        const uint16_t pc = next() < 96 ? static_cast<uint16_t>(chains[next() % 4] - next() % 8)
                                        : static_cast<uint16_t>(next() << 8 | next());
        for (TCpuEmu* cpu : {single.get(), batch.get()}) {
          cpu->SetRegisterPCH(static_cast<uint8_t>(pc >> 8));
          cpu->SetRegisterPCL(static_cast<uint8_t>(pc));
        }
      }
      const uint64_t length = 1 + next() % 64;
      // A break point on an address the pass will reach, found by stepping a copy.
      int32_t breakPoint = -1;
      if (next() < 64) {
        auto probe = std::make_unique<TCpuEmu>();
        std::memcpy(probe->Memory, single->Memory, sizeof probe->Memory);
        std::memcpy(probe->Registers, single->Registers, sizeof probe->Registers);
        probe->CpuState = single->CpuState;
        probe->IndexPrefix = single->IndexPrefix;
        const uint64_t steps = 1 + next() % length;
        for (uint64_t i = 0; i < steps; ++i) probe->ExecuteInstruction();
        breakPoint = probe->CurrentPC;
      }
      uint64_t stepped = 0;
      while (stepped < length) {
        single->ExecuteInstruction();
        ++stepped;
        if (single->CurrentPC == breakPoint) break;
      }
      ASSERT_EQ(batch->ExecuteInstructions(length, breakPoint), stepped) << "pass " << pass;
      ASSERT_EQ(batch->InstructionCount, single->InstructionCount) << "pass " << pass;
      ASSERT_EQ(std::memcmp(batch->Registers, single->Registers, sizeof single->Registers), 0) << "pass " << pass;
      ASSERT_EQ(batch->CpuState, single->CpuState) << "pass " << pass;
      ASSERT_EQ(batch->IndexPrefix, single->IndexPrefix) << "pass " << pass;
      ASSERT_EQ(batch->CurrentPC, single->CurrentPC) << "pass " << pass;
      ASSERT_EQ(batch->InstructionPC, single->InstructionPC) << "pass " << pass;
      ASSERT_EQ(batch->Opcode, single->Opcode) << "pass " << pass;
      ASSERT_EQ(std::memcmp(batch->Memory, single->Memory, sizeof single->Memory), 0) << "pass " << pass;
      ASSERT_EQ(batchSeen, singleSeen) << "pass " << pass;
    }
  }
}

namespace {

// Runs work while a watchdog waits for it: a call that never returns ends the
// test program with a message rather than hanging it.
template <class TWork>
void FinishesWithin(std::chrono::seconds limit, const char* what, TWork&& work) {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!finished.wait_for(lock, limit, [&] { return done; })) {
      std::fprintf(stderr, "%s did not return within %lld s\n", what, static_cast<long long>(limit.count()));
      std::_Exit(1);
    }
  });
  work();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  finished.notify_one();
  watchdog.join();
}

}  // namespace

// Memory full of prefixes is one instruction without end. Every call still
// returns, having followed some of them, with the last one's meaning pending for
// the next call and R counting every opcode byte fetched; runs, with and without
// interrupt polls, leave what as many single steps leave. No interrupt comes
// between one prefix and the next, across calls too.
TEST(CpuEmuBatchTest, MemoryFullOfPrefixesEndsEveryCall) {
  struct TFill {
    const char* Name;
    uint8_t Even, Odd;
  };
  constexpr uint64_t Calls = 1000;  // round the address space a few times
  for (const TFill& fill : {TFill{"DD", 0xDD, 0xDD}, TFill{"FD", 0xFD, 0xFD}, TFill{"DD FD", 0xDD, 0xFD}}) {
    SCOPED_TRACE(fill.Name);
    auto single = std::make_unique<TCpuEmu>();
    auto batch = std::make_unique<TCpuEmu>();
    auto polled = std::make_unique<TCpuEmu>();
    int polls = 0;
    polled->OnCheckForNonMaskIrq = [&polls](TCpuEmu&, bool& isIrq) { isIrq = ++polls > 1; };  // raised once asked again
    for (TCpuEmu* cpu : {single.get(), batch.get(), polled.get()}) {
      for (unsigned a = 0; a < 65536; ++a) cpu->Memory[a] = (a & 1) ? fill.Odd : fill.Even;
      cpu->Reset(0x1235);
      cpu->SetRegisterR(0x85);
    }

    std::vector<uint16_t> ends;  // CurrentPC after each single step
    FinishesWithin(std::chrono::seconds(60), "ExecuteInstruction on memory full of prefixes", [&] {
      uint64_t fetched = 0;
      for (uint64_t call = 1; call <= Calls; ++call) {
        const uint16_t from = single->CurrentPC;
        single->ExecuteInstruction();
        const uint16_t advance = static_cast<uint16_t>(single->CurrentPC - from);
        fetched += advance;
        ends.push_back(single->CurrentPC);
        ASSERT_GT(advance, 0) << "call " << call;
        ASSERT_EQ(single->InstructionCount, call);
        ASSERT_EQ(single->InstructionPC, from) << "call " << call;
        ASSERT_EQ(single->GetPC(), single->CurrentPC) << "call " << call;
        const uint8_t last = single->Memory[static_cast<uint16_t>(single->CurrentPC - 1)];
        ASSERT_EQ(single->Opcode, last) << "call " << call;
        ASSERT_EQ(single->IndexPrefix, last == 0xDD ? 2 : 1) << "call " << call;
        ASSERT_EQ(single->GetRegisterR(), 0x80 | ((0x05 + fetched) & 0x7F)) << "call " << call;
      }
    });
    if (HasFatalFailure()) return;

    FinishesWithin(std::chrono::seconds(60), "ExecuteInstructions on memory full of prefixes", [&] {
      // A few instructions, then up to a break point on the end of the 60th, then the rest.
      EXPECT_EQ(batch->ExecuteInstructions(3), 3u);
      EXPECT_EQ(batch->InstructionCount, 3u);
      EXPECT_EQ(batch->CurrentPC, ends[2]);
      EXPECT_EQ(batch->ExecuteInstructions(Calls, ends[59]), 57u);
      EXPECT_EQ(batch->InstructionCount, 60u);
      EXPECT_EQ(batch->CurrentPC, ends[59]);
      EXPECT_EQ(batch->ExecuteInstructions(Calls - 60), Calls - 60);
      EXPECT_EQ(polled->ExecuteInstructions(Calls), Calls);
    });
    EXPECT_EQ(polls, 1);  // before the first prefix only
    for (TCpuEmu* cpu : {batch.get(), polled.get()}) {
      EXPECT_EQ(cpu->InstructionCount, Calls);
      EXPECT_EQ(std::memcmp(cpu->Registers, single->Registers, sizeof single->Registers), 0);
      EXPECT_EQ(cpu->CpuState, single->CpuState);
      EXPECT_EQ(cpu->IndexPrefix, single->IndexPrefix);
      EXPECT_EQ(cpu->CurrentPC, single->CurrentPC);
      EXPECT_EQ(cpu->InstructionPC, single->InstructionPC);
      EXPECT_EQ(cpu->Opcode, single->Opcode);
    }
  }
}

// An event may reset the processor or run instructions of its own; the run that
// called it still runs just the instructions it had left.
TEST_F(CpuTest, ARunKeepsItsCountWhateverAnEventDoes) {
  Load(ProgramStart, {0xD3, 0x10});  // OUT ($10),A, then NOPs
  SetPC(ProgramStart);
  int writes = 0;
  Cpu->OnPortWrite = [&](TCpuEmu& cpu, uint16_t, uint8_t) {
    if (++writes == 1) cpu.Reset(static_cast<uint16_t>(ProgramStart + 2));
  };
  Cpu->InstructionCount = 50'000'000;  // a machine that has run a while
  EXPECT_EQ(Cpu->ExecuteInstructions(100), 100u);
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(Cpu->InstructionCount, 100u);  // the OUT and the 99 NOPs after the reset cleared the count
  EXPECT_EQ(PC(), ProgramStart + 2 + 99);

  // Instructions that an event runs itself are its own, not the run's.
  Load(0x3000, {0xD3, 0x20});
  SetPC(0x3000);
  Cpu->OnPortWrite = [&](TCpuEmu& cpu, uint16_t, uint8_t) {
    ++writes;
    cpu.OnPortWrite = nullptr;
    const uint16_t back = cpu.GetPC();
    cpu.SetRegisterPCH(0x40);
    cpu.SetRegisterPCL(0x00);
    EXPECT_EQ(cpu.ExecuteInstructions(7), 7u);
    cpu.SetRegisterPCH(static_cast<uint8_t>(back >> 8));
    cpu.SetRegisterPCL(static_cast<uint8_t>(back));
  };
  const uint64_t before = Cpu->InstructionCount;
  EXPECT_EQ(Cpu->ExecuteInstructions(10), 10u);
  EXPECT_EQ(writes, 2);
  EXPECT_EQ(Cpu->InstructionCount, before + 10 + 7);
  EXPECT_EQ(PC(), 0x3002 + 9);
}

namespace {

// A device that holds every access twice before it takes it; Attempts counts
// the tries of the access at hand (shared with a read event that does the same).
TCpuPortWriteProc HeldTwiceThenWritten(std::vector<TPortWrite>& Writes, int& Attempts) {
  return [&Writes, &Attempts](TCpuEmu& sender, uint16_t port, uint8_t byte) {
    if (++Attempts <= 2) {
      sender.HoldInstruction();
      return;
    }
    Attempts = 0;
    Writes.push_back({port, byte});
  };
}

}  // namespace

// A device that cannot take a byte yet holds the instruction that writes it,
// in every output form: OUT (n),A bare and behind prefixes, OUT (C),r, and
// OUTI, OUTD, OTIR, OTDR, bare and behind DD. Here every byte is held twice
// before it goes. Each held run ends on the output instruction, the processor
// standing exactly as one never held stands after the same number of
// instructions (PC on the instruction's first byte, B, HL, the flags, R) but
// for the interrupt block; a second held run changes nothing. In the end the
// bytes written, the count and the registers are those of the processor never
// held: through passes (with and without a break point, with OnOpcodeDone) and
// through single steps.
TEST(CpuEmuHoldTest, EveryInputAndOutputFormIsHeldUndoneAndRunAgain) {
  const std::vector<uint8_t> program = {
      0x31, 0x00, 0xF0,        // 0100h LD   SP,F000h
      0x3E, 0x41,              //       LD   A,41h
      0x37,                    //       SCF
      0xD3, 0x10,              // 0106h OUT  (10h),A
      0x3C,                    //       INC  A
      0xDD, 0xD3, 0x11,        // 0109h OUT  (11h),A behind DD
      0x3C,                    //       INC  A
      0xFD, 0xDD, 0xD3, 0x12,  // 010Dh OUT  (12h),A behind FD DD
      0x01, 0x13, 0x03,        //       LD   BC,0313h
      0x1E, 0x45,              //       LD   E,45h
      0xED, 0x59,              // 0116h OUT  (C),E
      0xED, 0x71,              // 0118h OUT  (C),0
      0x21, 0x00, 0x20,        //       LD   HL,2000h
      0xED, 0xA3,              // 011Dh OUTI
      0xED, 0xAB,              // 011Fh OUTD
      0x06, 0x04,              //       LD   B,4
      0xED, 0xB3,              // 0123h OTIR
      0x06, 0x03,              //       LD   B,3
      0x21, 0x05, 0x20,        //       LD   HL,2005h
      0xED, 0xBB,              // 012Ah OTDR
      0x06, 0x02,              //       LD   B,2
      0xDD, 0xED, 0xB3,        // 012Eh OTIR behind DD
      0xED, 0x83,              // 0131h OUTI (bit 5 not decoded)
      0xDB, 0x20,              // 0133h IN   A,(20h)
      0xDD, 0xDB, 0x21,        // 0135h IN   A,(21h) behind DD
      0xED, 0x50,              // 0138h IN   D,(C)
      0xED, 0x70,              // 013Ah IN   (C)
      0x21, 0x00, 0x30,        //       LD   HL,3000h
      0x06, 0x02,              //       LD   B,2
      0xED, 0xB2,              // 0141h INIR
      0xED, 0xAA,              // 0143h IND
      0x76,                    //       HALT
  };
  const std::vector<uint8_t> data = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
  const auto load = [&](TCpuEmu& cpu) {
    cpu.Reset(0x0100);
    cpu.LoadMemory(0x0100, static_cast<uint16_t>(program.size()), program.data());
    cpu.LoadMemory(0x2000, static_cast<uint16_t>(data.size()), data.data());
  };
  const auto halted = [](const TCpuEmu& cpu) { return (cpu.CpuState & CpuStateHalted) != 0; };

  // The processor never held: its state after each instruction (registers and
  // the bytes its block inputs write), HALT repeated as long as a run may go
  // on with it, and its writes. Each read gives the next of a row of bytes.
  struct TState {
    std::vector<uint8_t> Registers;
    std::vector<uint8_t> Input;
    uint8_t CpuState;
  };
  const auto stateOf = [](const TCpuEmu& cpu) {
    return TState{std::vector<uint8_t>(cpu.Registers, cpu.Registers + sizeof cpu.Registers),
                  std::vector<uint8_t>(cpu.Memory + 0x2FFE, cpu.Memory + 0x3004), cpu.CpuState};
  };
  auto reference = std::make_unique<TCpuEmu>();
  std::vector<TPortWrite> expectedWrites;
  reference->OnPortWrite = [&](TCpuEmu&, uint16_t port, uint8_t byte) { expectedWrites.push_back({port, byte}); };
  uint8_t nextInput = 0x50;
  reference->OnPortRead = [&](TCpuEmu&, uint16_t, uint8_t& byte) { byte = nextInput++; };
  load(*reference);
  std::vector<TState> after{stateOf(*reference)};  // after[n]: after n instructions
  while (after.size() < 2000) {
    reference->ExecuteInstruction();
    after.push_back(stateOf(*reference));
  }
  ASSERT_EQ(expectedWrites.size(), 17u);
  ASSERT_EQ(nextInput, 0x50 + 7);

  struct TRunner {
    const char* Name;
    std::function<uint64_t(TCpuEmu&)> Run;  // returns the instructions it counted
  };
  int opcodesDone = 0;
  const std::vector<TRunner> runners = {
      {"passes", [](TCpuEmu& cpu) { return cpu.ExecuteInstructions(1000); }},
      {"passes with a break point", [](TCpuEmu& cpu) { return cpu.ExecuteInstructions(1000, 0x0131); }},
      {"passes with OnOpcodeDone",
       [&](TCpuEmu& cpu) {
         cpu.OnOpcodeDone = [&](TCpuEmu&) { ++opcodesDone; };
         return cpu.ExecuteInstructions(1000);
       }},
      {"single steps",
       [](TCpuEmu& cpu) {
         cpu.ExecuteInstruction();
         return cpu.Held() ? uint64_t{0} : uint64_t{1};
       }},
  };
  for (const TRunner& runner : runners) {
    SCOPED_TRACE(runner.Name);
    auto cpu = std::make_unique<TCpuEmu>();
    load(*cpu);
    std::vector<TPortWrite> writes;
    int attempts = 0;
    cpu->OnPortWrite = HeldTwiceThenWritten(writes, attempts);
    // A held read gives a byte that must go nowhere.
    uint8_t input = 0x50;
    cpu->OnPortRead = [&](TCpuEmu& sender, uint16_t, uint8_t& byte) {
      if (++attempts <= 2) {
        sender.HoldInstruction();
        byte = 0xEE;
        return;
      }
      attempts = 0;
      byte = input++;
    };
    opcodesDone = 0;
    int holds = 0;
    for (int call = 0; call < 1000 && !halted(*cpu); ++call) {
      const uint64_t before = cpu->InstructionCount;
      const uint64_t counted = runner.Run(*cpu);
      ASSERT_EQ(cpu->InstructionCount, before + counted) << "call " << call;
      if (!cpu->Held()) continue;
      ++holds;
      const uint16_t pc = cpu->GetPC();
      const TState& expected = after.at(cpu->InstructionCount);
      ASSERT_EQ(stateOf(*cpu).Registers, expected.Registers) << "held at " << std::hex << pc;
      ASSERT_EQ(stateOf(*cpu).Input, expected.Input) << "held at " << std::hex << pc;
      EXPECT_EQ(cpu->CpuState, expected.CpuState | CpuStateIrqBlock) << "held at " << std::hex << pc;
      EXPECT_EQ(cpu->CurrentPC, pc);
      EXPECT_EQ(cpu->InstructionPC, pc);
      EXPECT_EQ(writes.size() + (input - 0x50u), static_cast<size_t>(holds - 1) / 2) << "held at " << std::hex << pc;
    }
    ASSERT_TRUE(halted(*cpu));
    EXPECT_EQ(holds, 2 * (17 + 7));
    EXPECT_EQ(writes, expectedWrites);
    EXPECT_EQ(input, nextInput);
    EXPECT_EQ(stateOf(*cpu).Input, after.at(cpu->InstructionCount).Input);
    EXPECT_EQ(stateOf(*cpu).Registers, after.at(cpu->InstructionCount).Registers);
    EXPECT_EQ(cpu->CpuState, after.at(cpu->InstructionCount).CpuState);
    if (cpu->OnOpcodeDone) {
      EXPECT_EQ(static_cast<uint64_t>(opcodesDone), cpu->InstructionCount);
    }
  }
}

// A hold in the first instruction after an accepted interrupt undoes that
// instruction only: the interrupt stays taken (the return address pushed, IFF1
// and IFF2 as the acceptance left them, PC on the handler's first byte, or for
// an instruction that interrupt mode 0 took from the device, that vector kept
// for the instruction's next run), and no second interrupt comes in before it
// runs. Each write is held twice; the interrupt polls are dropped after the
// first hold, as a device done with its interrupt may, so a run may go on
// without asking. Through single steps and through passes, the processor ends
// as one never held, with the same writes.
TEST(CpuEmuHoldTest, AHoldRightAfterAnAcceptedInterruptLeavesTheInterruptTaken) {
  struct TCase {
    const char* Name;
    uint8_t ModeOpcode;  // ED 46, 56, 5E: IM 0, 1, 2
    bool Nmi;
    uint8_t Vector;
    int HandlerPC;  // where the first hold stands; -1: on the interrupted instruction
    bool Pushed;
    uint8_t Iffs;   // CpuStateIff1 and CpuStateIff2 after the acceptance
  };
  const TCase cases[] = {
      {"NMI", 0x56, true, 0xFF, 0x0066, true, CpuStateIff2},
      {"IM 0 with RST 38h", 0x46, false, 0xFF, 0x0038, true, 0},
      {"IM 0 with OUT (n),A as the vector", 0x46, false, 0xD3, -1, false, 0},
      {"IM 1", 0x56, false, 0xFF, 0x0038, true, 0},
      {"IM 2", 0x5E, false, 0x20, 0x0200, true, 0},
  };
  constexpr uint64_t RaisedAt = 8;  // raised once this many instructions have run
  for (const TCase& test : cases) {
    SCOPED_TRACE(test.Name);
    const std::vector<uint8_t> program = {
        0x31, 0x00, 0xF0,    // 0100h LD   SP,F000h
        0xED, test.ModeOpcode,
        0x3E, 0x30,          //       LD   A,30h
        0xED, 0x47,          //       LD   I,A
        0x3E, 0x41,          //       LD   A,41h
        0xFB,                //       EI
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0xD3, 0x12,          //       OUT  (12h),A
        0x76,                //       HALT
    };
    const std::vector<uint8_t> handler = {0xD3, 0x10, 0x3C, 0xD3, 0x11, 0xFB, 0xED, 0x4D};  // OUT, INC A, OUT, EI, RETI
    const std::vector<uint8_t> nmiHandler = {0xD3, 0x10, 0x3C, 0xD3, 0x11, 0xED, 0x45};     // OUT, INC A, OUT, RETN
    const uint8_t table[2] = {0x00, 0x02};  // IM 2: I = 30h, vector 20h, handler at 0200h
    uint16_t interrupted = 0;
    const auto load = [&](TCpuEmu& cpu, bool& raised) {
      cpu.Reset(0x0100);
      cpu.LoadMemory(0x0100, static_cast<uint16_t>(program.size()), program.data());
      cpu.LoadMemory(0x0038, static_cast<uint16_t>(handler.size()), handler.data());
      cpu.LoadMemory(0x0200, static_cast<uint16_t>(handler.size()), handler.data());
      cpu.LoadMemory(0x0066, static_cast<uint16_t>(nmiHandler.size()), nmiHandler.data());
      cpu.LoadMemory(0x3020, 2, table);
      cpu.SetRegisterR(0x05);
      const auto due = [&raised, &interrupted](TCpuEmu& sender) {
        if (raised || sender.InstructionCount < RaisedAt) return false;
        raised = true;
        interrupted = sender.GetPC();
        return true;
      };
      if (test.Nmi)
        cpu.OnCheckForNonMaskIrq = [due](TCpuEmu& sender, bool& isIrq) { isIrq = due(sender); };
      else
        cpu.OnCheckForInterrupt = [&test, due](TCpuEmu& sender, bool& isIrq, uint8_t& vector) {
          isIrq = due(sender);
          if (isIrq) vector = test.Vector;
        };
    };
    const auto halted = [](const TCpuEmu& cpu) { return (cpu.CpuState & CpuStateHalted) != 0; };

    for (const bool steps : {true, false}) {
      SCOPED_TRACE(steps ? "single steps" : "passes");
      // The processor never held, up to its HALT.
      auto reference = std::make_unique<TCpuEmu>();
      bool referenceRaised = false;
      std::vector<TPortWrite> expectedWrites;
      reference->OnPortWrite = [&](TCpuEmu&, uint16_t port, uint8_t byte) { expectedWrites.push_back({port, byte}); };
      load(*reference, referenceRaised);
      for (int step = 0; step < 100 && !halted(*reference); ++step) reference->ExecuteInstruction();
      ASSERT_TRUE(halted(*reference));
      ASSERT_TRUE(referenceRaised);
      ASSERT_EQ(expectedWrites.size(), test.Vector == 0xD3 ? 2u : 3u);

      auto cpu = std::make_unique<TCpuEmu>();
      bool raised = false;
      load(*cpu, raised);
      std::vector<TPortWrite> writes;
      int attempts = 0;
      cpu->OnPortWrite = HeldTwiceThenWritten(writes, attempts);
      int holds = 0;
      for (int call = 0; call < 200 && !halted(*cpu); ++call) {
        if (steps)
          cpu->ExecuteInstruction();
        else
          cpu->ExecuteInstructions(1000);
        if (!cpu->Held()) continue;
        if (++holds > 1) continue;
        // The first hold is the first write, in the instruction right after the acceptance.
        ASSERT_TRUE(raised);
        const uint16_t sp = cpu->GetPair(RegSPH);
        EXPECT_EQ(cpu->GetPC(), test.HandlerPC < 0 ? interrupted : test.HandlerPC);
        EXPECT_EQ(cpu->CurrentPC, cpu->GetPC());
        EXPECT_EQ(cpu->InstructionPC, cpu->GetPC());
        EXPECT_EQ(sp, test.Pushed ? 0xEFFE : 0xF000);
        if (test.Pushed) {
          EXPECT_EQ(cpu->Memory[sp] | cpu->Memory[sp + 1] << 8, interrupted);
        }
        EXPECT_EQ(cpu->CpuState & (CpuStateIff1 | CpuStateIff2), test.Iffs);
        // Nothing comes in before it runs again: the block, or the vector kept.
        EXPECT_NE(cpu->CpuState & (test.HandlerPC < 0 ? CpuStateVectorHeld : CpuStateIrqBlock), 0);
        EXPECT_EQ(cpu->GetRegisterA(), 0x41);
        cpu->OnCheckForInterrupt = nullptr;
        cpu->OnCheckForNonMaskIrq = nullptr;
      }
      ASSERT_TRUE(halted(*cpu));
      // A pass goes on with HALT as long as it may: the processor never held does too.
      while (reference->InstructionCount < cpu->InstructionCount) reference->ExecuteInstruction();
      EXPECT_EQ(holds, 2 * static_cast<int>(expectedWrites.size()));
      EXPECT_EQ(writes, expectedWrites);
      EXPECT_EQ(cpu->InstructionCount, reference->InstructionCount);
      EXPECT_EQ(std::memcmp(cpu->Registers, reference->Registers, sizeof cpu->Registers), 0);
      EXPECT_EQ(cpu->GetRegisterR(), reference->GetRegisterR());
      EXPECT_EQ(cpu->GetPC(), reference->GetPC());
      EXPECT_EQ(cpu->GetPair(RegSPH), reference->GetPair(RegSPH));
      EXPECT_EQ(cpu->CpuState, reference->CpuState);
      EXPECT_EQ(std::memcmp(cpu->Memory, reference->Memory, sizeof cpu->Memory), 0);
    }
  }
}
