// Instruction handlers: loads, jumps, the stack, ports, prefixes and index forms,
// the CB and ED groups and the block instructions.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "CpuTestFixture.h"

namespace {

class InstructionSetTest : public CpuTest {
 protected:
  InstructionSetTest() {
    SetPair(RegSPH, 0x8000);
    SetPair(RegIXH, 0x4000);
    SetPair(RegIYH, 0x6000);
  }
};

}  // namespace

// ---- Index prefixes ------------------------------------------------------------------

TEST_F(InstructionSetTest, IndexPrefixesReplaceHlByIxOrIy) {
  Exec({0xDD, 0x21, 0x34, 0x12});  // LD IX,$1234
  EXPECT_EQ(Pair(RegIXH), 0x1234);
  EXPECT_EQ(PC(), ProgramStart + 4);

  SetPair(RegIYH, 0x4567);
  Exec({0xFD, 0xE9});  // JP (IY)
  EXPECT_EQ(PC(), 0x4567);

  SetPair(RegD, 0x1111);
  SetPair(RegH, 0x2222);
  SetPair(RegIXH, 0x3333);
  Exec({0xDD, 0xEB});  // EX DE,HL ignores the prefix
  EXPECT_EQ(Pair(RegD), 0x2222);
  EXPECT_EQ(Pair(RegH), 0x1111);
  EXPECT_EQ(Pair(RegIXH), 0x3333);

  Exec({0xDD, 0xD9});  // EXX ignores it too
  EXPECT_EQ(Pair(RegIXH), 0x3333);
  EXPECT_EQ(Pair(RegAltD), 0x2222);

  Reg(RegB) = 0x41;
  Exec({0xDD, 0x04});  // INC B: no HL in it, runs as without the prefix
  EXPECT_EQ(Reg(RegB), 0x42);
  EXPECT_EQ(PC(), ProgramStart + 2);
  EXPECT_EQ(Cpu->IndexPrefix, 0);
}

TEST_F(InstructionSetTest, IndexedMemoryOperandsUseASignedDisplacement) {
  Exec({0xDD, 0x36, 0x05, 0x77});  // LD (IX+5),$77
  EXPECT_EQ(Mem(0x4005), 0x77);
  EXPECT_EQ(PC(), ProgramStart + 4);

  Mem(0x3FFF) = 0x41;
  Exec({0xDD, 0x34, 0xFF});  // INC (IX-1)
  EXPECT_EQ(Mem(0x3FFF), 0x42);
  EXPECT_EQ(PC(), ProgramStart + 3);

  Mem(0x5F80) = 0x10;
  Exec({0xFD, 0x35, 0x80});  // DEC (IY-128)
  EXPECT_EQ(Mem(0x5F80), 0x0F);

  SetPair(RegIXH, 0xFFFE);
  Mem(0x0001) = 0x66;
  Exec({0xDD, 0x7E, 0x03});  // LD A,(IX+3) wraps to $0001
  EXPECT_EQ(A(), 0x66);
}

TEST_F(InstructionSetTest, IndexHalvesAndTheRegistersBesideAnIndexedOperand) {
  Mem(0x4003) = 0x99;
  Reg(RegH) = 0x11;
  Exec({0xDD, 0x66, 0x03});  // LD H,(IX+3): H itself, not IX high
  EXPECT_EQ(Reg(RegH), 0x99);
  EXPECT_EQ(Pair(RegIXH), 0x4000);

  Reg(RegL) = 0x5A;
  Exec({0xFD, 0x75, 0xFF});  // LD (IY-1),L
  EXPECT_EQ(Mem(0x5FFF), 0x5A);

  Exec({0xDD, 0x64});  // LD IXH,IXH
  EXPECT_EQ(Pair(RegIXH), 0x4000);
  EXPECT_EQ(Reg(RegH), 0x99);

  Exec({0xDD, 0x7C});  // LD A,IXH
  EXPECT_EQ(A(), 0x40);

  SetPair(RegIXH, 0x1234);
  Exec({0xDD, 0x65});  // LD IXH,IXL
  EXPECT_EQ(Pair(RegIXH), 0x3434);

  Exec({0xFD, 0x2E, 0xAB});  // LD IYL,$AB
  EXPECT_EQ(Pair(RegIYH), 0x60AB);

  Reg(RegB) = 0;
  Exec({0xFD, 0x44});  // LD B,IYH
  EXPECT_EQ(Reg(RegB), 0x60);

  A() = 0x01;
  F() = 0;
  Exec({0xDD, 0x84});  // ADD A,IXH
  EXPECT_EQ(A(), 0x35);

  Reg(RegL) = 0x00;
  Exec({0xFD, 0x2C});  // INC IYL
  EXPECT_EQ(Pair(RegIYH), 0x60AC);
  EXPECT_EQ(Reg(RegL), 0x00);
}

TEST_F(InstructionSetTest, SixteenBitIndexOperations) {
  SetPair(RegB, 0x0100);
  Exec({0xDD, 0x09});  // ADD IX,BC
  EXPECT_EQ(Pair(RegIXH), 0x4100);
  EXPECT_EQ(Pair(RegH), 0xFFFF);

  Exec({0xDD, 0x29});  // ADD IX,IX
  EXPECT_EQ(Pair(RegIXH), 0x8200);

  Exec({0xFD, 0x23});  // INC IY
  EXPECT_EQ(Pair(RegIYH), 0x6001);

  Exec({0xDD, 0xE5});  // PUSH IX
  EXPECT_EQ(Pair(RegSPH), 0x7FFE);
  EXPECT_EQ(WordAt(0x7FFE), 0x8200);
  Exec({0xFD, 0xE1});  // POP IY
  EXPECT_EQ(Pair(RegIYH), 0x8200);

  Load(0x7FFE, {0x34, 0x12});
  SetPair(RegSPH, 0x7FFE);
  SetPair(RegIXH, 0xABCD);
  Exec({0xDD, 0xE3});  // EX (SP),IX
  EXPECT_EQ(Pair(RegIXH), 0x1234);
  EXPECT_EQ(WordAt(0x7FFE), 0xABCD);

  Exec({0xDD, 0xF9});  // LD SP,IX
  EXPECT_EQ(Pair(RegSPH), 0x1234);

  Exec({0xFD, 0x22, 0x00, 0x90});  // LD ($9000),IY
  EXPECT_EQ(WordAt(0x9000), 0x8200);
  Exec({0xDD, 0x2A, 0x00, 0x90});  // LD IX,($9000)
  EXPECT_EQ(Pair(RegIXH), 0x8200);
}

TEST_F(InstructionSetTest, SeveralPrefixesRunInOneCallAndTheLastWins) {
  const uint16_t ix = Pair(RegIXH);
  Exec({0xDD, 0xDD, 0xFD, 0x21, 0x34, 0x12});
  EXPECT_EQ(Pair(RegIYH), 0x1234);
  EXPECT_EQ(Pair(RegIXH), ix);
  EXPECT_EQ(PC(), ProgramStart + 6);
  EXPECT_EQ(Cpu->InstructionCount, 1u);
  EXPECT_EQ(Cpu->IndexPrefix, 0);
}

// Far more prefixes than one call follows: the calls end with the prefix pending
// and go on with it until the instruction at the end, which runs with the last
// prefix's meaning. R advances once per opcode byte however the chain is split,
// and a run of as many calls ends just where the single steps did.
TEST_F(InstructionSetTest, APrefixChainLongerThanOneCallStillEndsInItsInstruction) {
  constexpr uint16_t Prefixes = 1000;
  const uint16_t ix = Pair(RegIXH);
  for (uint16_t i = 0; i < Prefixes; ++i) Mem(ProgramStart + i) = i % 3 == 2 ? 0xDD : 0xFD;  // FD last
  Load(ProgramStart + Prefixes, {0x21, 0x34, 0x12});  // LD IY,$1234
  Cpu->SetRegisterR(0x90);
  SetPC(ProgramStart);
  uint64_t calls = 0;
  do {
    Step();
    ++calls;
  } while (Cpu->IndexPrefix != 0 && calls <= Prefixes);
  EXPECT_GT(calls, 1u);
  EXPECT_EQ(Cpu->InstructionCount, calls);
  EXPECT_EQ(Pair(RegIYH), 0x1234);
  EXPECT_EQ(Pair(RegIXH), ix);
  EXPECT_EQ(PC(), ProgramStart + Prefixes + 3);
  EXPECT_EQ(Cpu->CurrentPC, ProgramStart + Prefixes + 3);
  EXPECT_EQ(Cpu->GetRegisterR(), 0x80 | ((0x10 + Prefixes + 1) & 0x7F));

  SetPair(RegIYH, 0);
  Cpu->SetRegisterR(0x90);
  SetPC(ProgramStart);
  EXPECT_EQ(Cpu->ExecuteInstructions(calls), calls);
  EXPECT_EQ(Cpu->IndexPrefix, 0);
  EXPECT_EQ(Pair(RegIYH), 0x1234);
  EXPECT_EQ(PC(), ProgramStart + Prefixes + 3);
  EXPECT_EQ(Cpu->GetRegisterR(), 0x80 | ((0x10 + Prefixes + 1) & 0x7F));
}

TEST_F(InstructionSetTest, PrefixHasNoEffectOnEdInstructions) {
  SetPair(RegH, 0x1000);
  SetPair(RegB, 0x0234);
  F() = FlagC;
  Exec({0xDD, 0xED, 0x4A});  // ADC HL,BC
  EXPECT_EQ(Pair(RegH), 0x1235);
  EXPECT_EQ(Pair(RegIXH), 0x4000);
  EXPECT_EQ(PC(), ProgramStart + 3);

  SetPair(RegH, 0xBEEF);
  Exec({0xFD, 0xED, 0x63, 0x00, 0x90});  // LD ($9000),HL
  EXPECT_EQ(WordAt(0x9000), 0xBEEF);
}

// ---- The CB group ---------------------------------------------------------------------

TEST_F(InstructionSetTest, RotatesAndShiftsOnRegisters) {
  struct Case {
    uint8_t opcode;  // on B
    bool carryIn;
    uint8_t result;
  };
  const Case cases[] = {
      {0x00, false, 0x03},  // RLC
      {0x08, false, 0xC0},  // RRC
      {0x10, false, 0x02},  // RL
      {0x10, true, 0x03},   //
      {0x18, false, 0x40},  // RR
      {0x18, true, 0xC0},   //
      {0x20, false, 0x02},  // SLA
      {0x28, false, 0xC0},  // SRA keeps bit 7
      {0x30, false, 0x03},  // SLL sets bit 0
      {0x38, false, 0x40},  // SRL
  };
  for (const Case& c : cases) {
    Reg(RegB) = 0x81;
    F() = c.carryIn ? FlagC : 0;
    Exec({0xCB, c.opcode});
    EXPECT_EQ(Reg(RegB), c.result) << std::hex << static_cast<int>(c.opcode);
    EXPECT_TRUE(F() & FlagC) << std::hex << static_cast<int>(c.opcode);
    EXPECT_EQ(PC(), ProgramStart + 2);
  }
}

TEST_F(InstructionSetTest, ShiftLeftLogicalOnMemorySetsBitZero) {
  SetPair(RegH, 0x5000);
  Mem(0x5000) = 0x81;
  Exec({0xCB, 0x36});  // SLL (HL)
  EXPECT_EQ(Mem(0x5000), 0x03);
  EXPECT_TRUE(F() & FlagC);
}

TEST_F(InstructionSetTest, BitResAndSetOnRegistersAndMemory) {
  A() = 0xFF;
  Exec({0xCB, 0x87});  // RES 0,A
  EXPECT_EQ(A(), 0xFE);
  Reg(RegE) = 0x00;
  Exec({0xCB, 0xFB});  // SET 7,E
  EXPECT_EQ(Reg(RegE), 0x80);
  SetPair(RegH, 0x5000);
  Mem(0x5000) = 0x00;
  Exec({0xCB, 0xDE});  // SET 3,(HL)
  EXPECT_EQ(Mem(0x5000), 0x08);
  F() = 0;
  Exec({0xCB, 0x5E});  // BIT 3,(HL)
  EXPECT_FALSE(F() & FlagZ);
  Exec({0xCB, 0x66});  // BIT 4,(HL)
  EXPECT_TRUE(F() & FlagZ);
  EXPECT_EQ(Mem(0x5000), 0x08);
}

TEST_F(InstructionSetTest, IndexedBitGroupWritesMemoryAndTheNamedRegister) {
  Mem(0x4002) = 0x81;
  Reg(RegB) = 0x00;
  Exec({0xDD, 0xCB, 0x02, 0x06});  // RLC (IX+2)
  EXPECT_EQ(Mem(0x4002), 0x03);
  EXPECT_EQ(Reg(RegB), 0x00);
  EXPECT_EQ(PC(), ProgramStart + 4);

  Mem(0x4002) = 0x81;
  Exec({0xDD, 0xCB, 0x02, 0x00});  // RLC (IX+2) copied into B
  EXPECT_EQ(Mem(0x4002), 0x03);
  EXPECT_EQ(Reg(RegB), 0x03);

  Reg(RegB) = 0x55;
  Exec({0xDD, 0xCB, 0x02, 0x80});  // RES 0,(IX+2): memory only
  EXPECT_EQ(Mem(0x4002), 0x02);
  EXPECT_EQ(Reg(RegB), 0x55);

  Mem(0x5FFE) = 0x00;
  A() = 0x00;
  Exec({0xFD, 0xCB, 0xFE, 0xFF});  // SET 7,(IY-2): memory only
  EXPECT_EQ(Mem(0x5FFE), 0x80);
  EXPECT_EQ(A(), 0x00);

  Reg(RegC) = 0x77;
  F() = 0;
  Exec({0xFD, 0xCB, 0xFE, 0x79});  // BIT 7,(IY-2) whatever r says: nothing written
  EXPECT_FALSE(F() & FlagZ);
  EXPECT_EQ(Reg(RegC), 0x77);
  EXPECT_EQ(Mem(0x5FFE), 0x80);

  Mem(0x4010) = 0x02;
  Reg(RegL) = 0xEE;
  Exec({0xDD, 0xCB, 0x10, 0x3D});  // SRL (IX+16) copied into L (not IXL)
  EXPECT_EQ(Mem(0x4010), 0x01);
  EXPECT_EQ(Reg(RegL), 0x01);
  EXPECT_EQ(Pair(RegIXH), 0x4000);
  EXPECT_FALSE(F() & FlagC);
}

// ---- The ED group ---------------------------------------------------------------------

TEST_F(InstructionSetTest, UndefinedEdOpcodesOnlyAdvancePcAndRefresh) {
  for (uint8_t opcode : {0x00, 0x3F, 0x77, 0x7F, 0xA4, 0xB7, 0xC0, 0xFF}) {
    std::array<uint8_t, 32> before{};
    Reg(RegR) = 0x20;
    std::memcpy(before.data(), Cpu->Registers, before.size());
    Exec({0xED, opcode});
    EXPECT_EQ(PC(), ProgramStart + 2) << std::hex << static_cast<int>(opcode);
    EXPECT_EQ(Reg(RegR), 0x22);
    for (int code = 0; code < 32; ++code) {
      if (code == RegPCH || code == RegPCL || code == RegR) continue;
      EXPECT_EQ(Cpu->Registers[code], before[static_cast<size_t>(code)])
          << "register " << code << " after ED " << std::hex << static_cast<int>(opcode);
    }
  }
  EXPECT_TRUE(PortWrites.empty());
  EXPECT_TRUE(PortReads.empty());
}

TEST_F(InstructionSetTest, BlockOpcodesWithBitFiveClearActAsTheirPartners) {
  SetPair(RegH, 0x5000);
  SetPair(RegD, 0x5100);
  SetPair(RegB, 0x0005);
  Mem(0x5000) = 0xAA;
  Exec({0xED, 0x80});  // LDI
  EXPECT_EQ(Mem(0x5100), 0xAA);
  EXPECT_EQ(Pair(RegH), 0x5001);
  EXPECT_EQ(Pair(RegD), 0x5101);
  EXPECT_EQ(Pair(RegB), 0x0004);
  EXPECT_EQ(PC(), ProgramStart + 2);
}

TEST_F(InstructionSetTest, LdirRepeatsOncePerCall) {
  SetPair(RegH, 0x5000);
  SetPair(RegD, 0x5100);
  SetPair(RegB, 0x0003);
  Load(0x5000, {1, 2, 3, 4});
  Load(ProgramStart, {0xED, 0xB0});
  SetPC(ProgramStart);
  Step();
  EXPECT_EQ(PC(), ProgramStart);
  EXPECT_TRUE(F() & FlagPV);
  Step();
  EXPECT_EQ(PC(), ProgramStart);
  Step();
  EXPECT_EQ(PC(), ProgramStart + 2);
  EXPECT_FALSE(F() & FlagPV);
  EXPECT_EQ(Pair(RegB), 0);
  EXPECT_EQ(Pair(RegH), 0x5003);
  EXPECT_EQ(Pair(RegD), 0x5103);
  EXPECT_EQ(Mem(0x5100), 1);
  EXPECT_EQ(Mem(0x5101), 2);
  EXPECT_EQ(Mem(0x5102), 3);
  EXPECT_EQ(Mem(0x5103), 0);
  EXPECT_EQ(Cpu->InstructionCount, 3u);
}

TEST_F(InstructionSetTest, LddrCopiesDownwards) {
  SetPair(RegH, 0x5002);
  SetPair(RegD, 0x5102);
  SetPair(RegB, 0x0002);
  Load(0x5000, {1, 2, 3});
  Exec({0xED, 0xB8});
  Step();
  EXPECT_EQ(PC(), ProgramStart + 2);
  EXPECT_EQ(Mem(0x5102), 3);
  EXPECT_EQ(Mem(0x5101), 2);
  EXPECT_EQ(Mem(0x5100), 0);
  EXPECT_EQ(Pair(RegH), 0x5000);
  EXPECT_EQ(Pair(RegD), 0x5100);
}

TEST_F(InstructionSetTest, CpirStopsAtTheMatchingByte) {
  SetPair(RegH, 0x5000);
  SetPair(RegB, 0x0005);
  Load(0x5000, {0x11, 0x33, 0x55});
  A() = 0x33;
  Exec({0xED, 0xB1});
  EXPECT_EQ(PC(), ProgramStart);
  EXPECT_FALSE(F() & FlagZ);
  Step();
  EXPECT_EQ(PC(), ProgramStart + 2);
  EXPECT_TRUE(F() & FlagZ);
  EXPECT_TRUE(F() & FlagPV);  // BC = 3 left
  EXPECT_EQ(Pair(RegB), 0x0003);
  EXPECT_EQ(Pair(RegH), 0x5002);
  EXPECT_EQ(A(), 0x33);
}

TEST_F(InstructionSetTest, CpdrRunsDownUntilBcIsZero) {
  SetPair(RegH, 0x5001);
  SetPair(RegB, 0x0002);
  Load(0x5000, {0x11, 0x22});
  A() = 0x99;
  Exec({0xED, 0xB9});
  Step();
  EXPECT_EQ(PC(), ProgramStart + 2);
  EXPECT_FALSE(F() & FlagZ);
  EXPECT_FALSE(F() & FlagPV);
  EXPECT_EQ(Pair(RegH), 0x4FFF);
}

TEST_F(InstructionSetTest, OtirSendsBeforeDecrementingB) {
  SetPair(RegH, 0x5000);
  SetPair(RegB, 0x0210);
  Load(0x5000, {0xAA, 0xBB});
  Exec({0xED, 0xB3});
  EXPECT_EQ(PC(), ProgramStart);
  Step();
  EXPECT_EQ(PC(), ProgramStart + 2);
  ASSERT_EQ(PortWrites.size(), 2u);
  EXPECT_EQ(PortWrites[0], (TPortWrite{0x0210, 0xAA}));
  EXPECT_EQ(PortWrites[1], (TPortWrite{0x0110, 0xBB}));
  EXPECT_EQ(Reg(RegB), 0);
  EXPECT_EQ(Pair(RegH), 0x5002);
  EXPECT_TRUE(F() & FlagZ);
}

TEST_F(InstructionSetTest, BlockInputsStoreAtHlAndStepB) {
  SetPair(RegH, 0x5000);
  SetPair(RegB, 0x0320);
  PortInput = {0x11, 0x22, 0x33};
  Exec({0xED, 0xB2});  // INIR
  Step(2);
  EXPECT_EQ(PC(), ProgramStart + 2);
  EXPECT_EQ(PortReads, (std::vector<uint16_t>{0x0320, 0x0220, 0x0120}));
  EXPECT_EQ(Mem(0x5000), 0x11);
  EXPECT_EQ(Mem(0x5001), 0x22);
  EXPECT_EQ(Mem(0x5002), 0x33);
  EXPECT_EQ(Pair(RegH), 0x5003);

  SetPair(RegH, 0x5000);
  SetPair(RegB, 0x0120);
  PortInput = {0x44};
  Exec({0xED, 0xAA});  // IND
  EXPECT_EQ(Mem(0x5000), 0x44);
  EXPECT_EQ(Pair(RegH), 0x4FFF);
  EXPECT_EQ(Reg(RegB), 0);

  SetPair(RegH, 0x5000);
  SetPair(RegB, 0x0520);
  Exec({0xED, 0xAB});  // OUTD
  EXPECT_EQ(PortWrites.back(), (TPortWrite{0x0520, 0x44}));
  EXPECT_EQ(Pair(RegH), 0x4FFF);
  EXPECT_EQ(Reg(RegB), 4);
}

TEST_F(InstructionSetTest, PortInstructionsOnC) {
  SetPair(RegB, 0x1234);
  PortInput = {0x80, 0x00};
  Reg(RegD) = 0;
  Exec({0xED, 0x50});  // IN D,(C)
  EXPECT_EQ(Reg(RegD), 0x80);
  ASSERT_EQ(PortReads.size(), 1u);
  EXPECT_EQ(PortReads[0], 0x1234);

  std::array<uint8_t, 32> before{};
  std::memcpy(before.data(), Cpu->Registers, before.size());
  Exec({0xED, 0x70});  // IN (C): flags only
  for (int code = 0; code < 32; ++code) {
    if (code == RegPCH || code == RegPCL || code == RegR || code == RegF) continue;
    EXPECT_EQ(Cpu->Registers[code], before[static_cast<size_t>(code)]) << "register " << code;
  }
  EXPECT_TRUE(F() & FlagZ);

  Reg(RegL) = 0x99;
  Exec({0xED, 0x69});  // OUT (C),L
  Exec({0xED, 0x71});  // OUT (C),0
  ASSERT_EQ(PortWrites.size(), 2u);
  EXPECT_EQ(PortWrites[0], (TPortWrite{0x1234, 0x99}));
  EXPECT_EQ(PortWrites[1], (TPortWrite{0x1234, 0x00}));
}

TEST_F(InstructionSetTest, SixteenBitLoadsThroughMemory) {
  SetPair(RegB, 0x1234);
  Exec({0xED, 0x43, 0x00, 0x90});  // LD ($9000),BC
  EXPECT_EQ(Mem(0x9000), 0x34);
  EXPECT_EQ(Mem(0x9001), 0x12);
  Exec({0xED, 0x5B, 0x00, 0x90});  // LD DE,($9000)
  EXPECT_EQ(Pair(RegD), 0x1234);
  Exec({0xED, 0x6B, 0x00, 0x90});  // LD HL,($9000)
  EXPECT_EQ(Pair(RegH), 0x1234);
  Exec({0xED, 0x73, 0x10, 0x90});  // LD ($9010),SP
  EXPECT_EQ(WordAt(0x9010), 0x8000);
  Exec({0xED, 0x7B, 0x00, 0x90});  // LD SP,($9000)
  EXPECT_EQ(Pair(RegSPH), 0x1234);

  SetPair(RegH, 0xABCD);
  Exec({0x22, 0xFF, 0xFF});  // LD ($FFFF),HL: the high byte wraps to $0000
  EXPECT_EQ(Mem(0xFFFF), 0xCD);
  EXPECT_EQ(Mem(0x0000), 0xAB);
  SetPair(RegH, 0);
  Exec({0x2A, 0xFF, 0xFF});  // LD HL,($FFFF)
  EXPECT_EQ(Pair(RegH), 0xABCD);
}

// Words that straddle FFFFh and 0000h: the stack, operands and EX (SP),HL, both
// one instruction at a time and in a run.
TEST_F(InstructionSetTest, WordsAcrossTheEndOfMemoryWrap) {
  for (const bool inRun : {false, true}) {
    SCOPED_TRACE(inRun ? "run" : "single steps");
    auto step = [&](int count) {
      if (inRun)
        EXPECT_EQ(Cpu->ExecuteInstructions(static_cast<uint64_t>(count)), static_cast<uint64_t>(count));
      else
        Step(count);
    };
    Load(0x0000, {0x00, 0x00});
    SetPair(RegB, 0x1234);
    SetPair(RegSPH, 0x0001);
    Load(ProgramStart, {0xC5, 0xE1, 0xE3, 0xF1});  // PUSH BC; POP HL; EX (SP),HL; POP AF
    SetPC(ProgramStart);
    step(1);
    EXPECT_EQ(Pair(RegSPH), 0xFFFF);
    EXPECT_EQ(Mem(0xFFFF), 0x34);  // low byte at SP - 2
    EXPECT_EQ(Mem(0x0000), 0x12);  // high byte at SP - 1, past the end
    step(1);
    EXPECT_EQ(Pair(RegH), 0x1234);
    EXPECT_EQ(Pair(RegSPH), 0x0001);
    SetPair(RegSPH, 0xFFFF);
    SetPair(RegH, 0xABCD);
    step(1);
    EXPECT_EQ(Pair(RegH), 0x1234);
    EXPECT_EQ(Mem(0xFFFF), 0xCD);
    EXPECT_EQ(Mem(0x0000), 0xAB);
    step(1);
    EXPECT_EQ(A(), 0xAB);
    EXPECT_EQ(F(), 0xCD);
    EXPECT_EQ(Pair(RegSPH), 0x0001);

    // CALL with its operand across the end, and RET from a stack across it.
    Load(0xFFFE, {0xCD, 0x00});  // CALL $2000, the address's high byte at 0000h
    Load(0x0000, {0x20});
    Load(0x2000, {0xC9});  // RET
    SetPair(RegSPH, 0x0001);
    SetPC(0xFFFE);
    step(1);
    EXPECT_EQ(PC(), 0x2000);
    EXPECT_EQ(Pair(RegSPH), 0xFFFF);
    EXPECT_EQ(WordAt(0xFFFF), 0x0001);  // the return address, past the operand
    step(1);
    EXPECT_EQ(PC(), 0x0001);
    EXPECT_EQ(Pair(RegSPH), 0x0001);
  }
}

TEST_F(InstructionSetTest, InterruptAndRefreshRegisterLoads) {
  A() = 0x5A;
  Exec({0xED, 0x47});  // LD I,A
  EXPECT_EQ(Reg(RegI), 0x5A);
  A() = 0xFF;
  Exec({0xED, 0x4F});  // LD R,A: all eight bits
  EXPECT_EQ(Reg(RegR), 0xFF);
  A() = 0;
  Exec({0xED, 0x57});  // LD A,I
  EXPECT_EQ(A(), 0x5A);
  Exec({0xED, 0x5F});  // LD A,R
  EXPECT_EQ(A(), 0x83);  // R counted two opcode bytes per instruction with bit 7 kept
}

TEST_F(InstructionSetTest, DecimalDigitRotations) {
  SetPair(RegH, 0x5000);
  Mem(0x5000) = 0x12;
  A() = 0x34;
  Exec({0xED, 0x67});  // RRD
  EXPECT_EQ(Mem(0x5000), 0x41);
  EXPECT_EQ(A(), 0x32);

  Mem(0x5000) = 0x12;
  A() = 0x34;
  Exec({0xED, 0x6F});  // RLD
  EXPECT_EQ(Mem(0x5000), 0x24);
  EXPECT_EQ(A(), 0x31);

  Mem(0x4000) = 0x12;
  Exec({0xDD, 0xED, 0x67});  // RRD ignores the prefix: still (HL)
  EXPECT_EQ(Mem(0x5000), 0x12);
  EXPECT_EQ(A(), 0x34);
  EXPECT_EQ(Mem(0x4000), 0x12);
}

// ---- Plain instructions --------------------------------------------------------------

TEST_F(InstructionSetTest, RelativeJumpsCopyPcBitsIntoF) {
  F() = 0x00;
  Exec({0x18, 0x26});  // JR +$26 to $0128
  EXPECT_EQ(PC(), 0x0128);
  EXPECT_EQ(F(), 0x28);

  F() = 0xFF;
  Exec({0x18, 0xFE});  // JR -2 to itself
  EXPECT_EQ(PC(), ProgramStart);
  EXPECT_EQ(F(), 0xD7);

  F() = FlagZ;
  Exec({0x20, 0x10});  // JR NZ not taken
  EXPECT_EQ(PC(), ProgramStart + 2);
  EXPECT_EQ(F(), FlagZ);
  Exec({0x28, 0x06});  // JR Z taken to $0108
  EXPECT_EQ(PC(), 0x0108);
  EXPECT_EQ(F(), FlagZ | Flag3);

  F() = FlagC;
  Exec({0x38, 0x80});  // JR C -128
  EXPECT_EQ(PC(), 0x0082);
  Exec({0x30, 0x05});  // JR NC not taken
  EXPECT_EQ(PC(), ProgramStart + 2);

  // DJNZ that falls through takes the bits from the PC after it.
  Load(0x0126, {0x10, 0xF0});
  SetPC(0x0126);
  Reg(RegB) = 1;
  F() = 0xD7;
  Step();
  EXPECT_EQ(Reg(RegB), 0);
  EXPECT_EQ(PC(), 0x0128);
  EXPECT_EQ(F(), 0xFF);

  Reg(RegB) = 3;
  Exec({0x10, 0xFE});  // DJNZ to itself
  EXPECT_EQ(Reg(RegB), 2);
  EXPECT_EQ(PC(), ProgramStart);
}

TEST_F(InstructionSetTest, ConditionsOfJumpsCallsAndReturns) {
  struct Cond {
    uint8_t y;
    uint8_t flagsTrue;
    uint8_t flagsFalse;
  };
  const Cond conds[] = {{0, 0, FlagZ},      {1, FlagZ, 0},      {2, 0, FlagC},      {3, FlagC, 0},
                        {4, 0, FlagPV},     {5, FlagPV, 0},     {6, 0, FlagS},      {7, FlagS, 0}};
  for (const Cond& c : conds) {
    const uint8_t jp = static_cast<uint8_t>(0xC2 | c.y << 3);
    const uint8_t call = static_cast<uint8_t>(0xC4 | c.y << 3);
    const uint8_t ret = static_cast<uint8_t>(0xC0 | c.y << 3);
    F() = c.flagsFalse;
    Exec({jp, 0x00, 0x30});
    EXPECT_EQ(PC(), ProgramStart + 3) << "JP cc " << int{c.y};
    F() = c.flagsTrue;
    Exec({jp, 0x00, 0x30});
    EXPECT_EQ(PC(), 0x3000) << "JP cc " << int{c.y};

    SetPair(RegSPH, 0x8000);
    F() = c.flagsFalse;
    Exec({call, 0x00, 0x30});
    EXPECT_EQ(PC(), ProgramStart + 3);
    EXPECT_EQ(Pair(RegSPH), 0x8000);
    F() = c.flagsTrue;
    Exec({call, 0x00, 0x30});
    EXPECT_EQ(PC(), 0x3000);
    EXPECT_EQ(WordAt(0x7FFE), ProgramStart + 3);

    F() = c.flagsFalse;
    Exec({ret});
    EXPECT_EQ(PC(), ProgramStart + 1);
    F() = c.flagsTrue;
    Exec({ret});
    EXPECT_EQ(PC(), ProgramStart + 3) << "RET cc " << int{c.y};
    EXPECT_EQ(Pair(RegSPH), 0x8000);
  }
}

TEST_F(InstructionSetTest, CallsReturnsAndRestarts) {
  Exec({0xCD, 0x34, 0x12});  // CALL $1234
  EXPECT_EQ(PC(), 0x1234);
  EXPECT_EQ(Pair(RegSPH), 0x7FFE);
  EXPECT_EQ(WordAt(0x7FFE), ProgramStart + 3);
  Exec({0xC9});  // RET
  EXPECT_EQ(PC(), ProgramStart + 3);
  EXPECT_EQ(Pair(RegSPH), 0x8000);

  for (uint8_t y = 0; y < 8; ++y) {
    Exec({static_cast<uint8_t>(0xC7 | y << 3)});
    EXPECT_EQ(PC(), y * 8);
    EXPECT_EQ(WordAt(0x7FFE), ProgramStart + 1);
    SetPair(RegSPH, 0x8000);
  }

  Exec({0xC3, 0xCD, 0xAB});  // JP $ABCD
  EXPECT_EQ(PC(), 0xABCD);
  SetPair(RegH, 0x2468);
  Exec({0xE9});  // JP (HL)
  EXPECT_EQ(PC(), 0x2468);
  Exec({0xDD, 0xE9});  // JP (IX)
  EXPECT_EQ(PC(), 0x4000);
  Exec({0xF9});  // LD SP,HL
  EXPECT_EQ(Pair(RegSPH), 0x2468);
}

TEST_F(InstructionSetTest, PushAndPopKeepAHighAndFLow) {
  A() = 0x12;
  F() = 0x34;
  Exec({0xF5});  // PUSH AF
  EXPECT_EQ(Mem(0x7FFF), 0x12);
  EXPECT_EQ(Mem(0x7FFE), 0x34);
  Exec({0xC1});  // POP BC
  EXPECT_EQ(Reg(RegB), 0x12);
  EXPECT_EQ(Reg(RegC), 0x34);

  Load(0x7FFE, {0xD7, 0x9A});
  SetPair(RegSPH, 0x7FFE);
  Exec({0xF1});  // POP AF
  EXPECT_EQ(F(), 0xD7);
  EXPECT_EQ(A(), 0x9A);
}

TEST_F(InstructionSetTest, Exchanges) {
  A() = 0x01;
  F() = 0x02;
  Reg(RegAltA) = 0x03;
  Reg(RegAltF) = 0x04;
  Exec({0x08});  // EX AF,AF'
  EXPECT_EQ(A(), 0x03);
  EXPECT_EQ(F(), 0x04);
  EXPECT_EQ(Reg(RegAltA), 0x01);
  EXPECT_EQ(Reg(RegAltF), 0x02);

  SetPair(RegB, 0x1111);
  SetPair(RegD, 0x2222);
  SetPair(RegH, 0x3333);
  SetPair(RegAltB, 0x4444);
  SetPair(RegAltD, 0x5555);
  SetPair(RegAltH, 0x6666);
  Exec({0xD9});  // EXX
  EXPECT_EQ(Pair(RegB), 0x4444);
  EXPECT_EQ(Pair(RegD), 0x5555);
  EXPECT_EQ(Pair(RegH), 0x6666);
  EXPECT_EQ(Pair(RegAltB), 0x1111);
  EXPECT_EQ(Pair(RegAltD), 0x2222);
  EXPECT_EQ(Pair(RegAltH), 0x3333);
  EXPECT_EQ(A(), 0x03);
  EXPECT_EQ(F(), 0x04);

  Load(0x7FFE, {0x34, 0x12});
  SetPair(RegSPH, 0x7FFE);
  Exec({0xE3});  // EX (SP),HL
  EXPECT_EQ(Pair(RegH), 0x1234);
  EXPECT_EQ(WordAt(0x7FFE), 0x6666);
}

TEST_F(InstructionSetTest, EightBitLoads) {
  SetPair(RegB, 0x5010);
  SetPair(RegD, 0x5020);
  A() = 0x77;
  Exec({0x02});  // LD (BC),A
  EXPECT_EQ(Mem(0x5010), 0x77);
  Mem(0x5020) = 0x88;
  Exec({0x1A});  // LD A,(DE)
  EXPECT_EQ(A(), 0x88);
  Exec({0x32, 0x00, 0x90});  // LD ($9000),A
  EXPECT_EQ(Mem(0x9000), 0x88);
  A() = 0;
  Exec({0x3A, 0x00, 0x90});  // LD A,($9000)
  EXPECT_EQ(A(), 0x88);

  SetPair(RegH, 0x5030);
  Exec({0x36, 0x42});  // LD (HL),$42
  EXPECT_EQ(Mem(0x5030), 0x42);
  Exec({0x4E});  // LD C,(HL)
  EXPECT_EQ(Reg(RegC), 0x42);
  Exec({0x53});  // LD D,E
  EXPECT_EQ(Reg(RegD), Reg(RegE));
  Exec({0x77});  // LD (HL),A
  EXPECT_EQ(Mem(0x5030), 0x88);
}

TEST_F(InstructionSetTest, EiAndDiSetBothFlipFlops) {
  Exec({0xFB});
  EXPECT_TRUE(Iff1());
  EXPECT_TRUE(Iff2());
  Exec({0xF3});
  EXPECT_FALSE(Iff1());
  EXPECT_FALSE(Iff2());
}
