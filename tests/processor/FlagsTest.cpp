// Exact flag results of the arithmetic, logic, rotate, block and transfer
// instructions, and the arithmetic helpers behind them. The copy bits 3 and 5
// follow this processor's own rules (mostly from the first operand).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "CpuTestFixture.h"

namespace {

class FlagsTest : public CpuTest {
 protected:
  FlagsTest() {
    SetPair(RegSPH, 0x8000);
    SetPair(RegH, 0x5000);
    SetPair(RegIXH, 0x4000);
  }

  // Runs one instruction with A and F given and returns F.
  uint8_t Run(std::initializer_list<uint8_t> bytes, uint8_t a, uint8_t f) {
    A() = a;
    F() = f;
    Exec(bytes);
    return F();
  }
};

std::string Hex(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "$%02X", value);
  return text;
}

}  // namespace

TEST_F(FlagsTest, AdditionTakesCopyBitsFromTheFirstOperand) {
  EXPECT_EQ(Hex(Run({0xC6, 0x01}, 0x0F, 0x00)), "$18");  // ADD A,$01
  EXPECT_EQ(A(), 0x10);
  EXPECT_EQ(Hex(Run({0xC6, 0x01}, 0x0F, FlagC)), "$18");  // ADD clears C before adding
  EXPECT_EQ(A(), 0x10);
  EXPECT_EQ(Hex(Run({0xC6, 0x80}, 0x80, 0x00)), "$45");  // overflow, zero, carry
  EXPECT_EQ(A(), 0x00);
  EXPECT_EQ(Hex(Run({0xCE, 0x00}, 0x7F, FlagC)), "$BC");  // ADC A,0 with carry into the sign
  EXPECT_EQ(A(), 0x80);
  EXPECT_EQ(Hex(Run({0xCE, 0xFF}, 0x01, FlagC)), "$11");  // ADC A,$FF with carry: 1 + 255 + 1
  EXPECT_EQ(A(), 0x01);
  Reg(RegB) = 0x01;
  EXPECT_EQ(Hex(Run({0x80}, 0xFF, 0x00)), "$79");  // ADD A,B
  EXPECT_EQ(A(), 0x00);
}

TEST_F(FlagsTest, SubtractionAndCompare) {
  EXPECT_EQ(Hex(Run({0xD6, 0x01}, 0x01, FlagC)), "$42");  // SUB clears C first
  EXPECT_EQ(A(), 0x00);
  EXPECT_EQ(Hex(Run({0xFE, 0x28}, 0x00, 0x00)), "$BB");  // CP $28: bits 3 and 5 from the operand
  EXPECT_EQ(A(), 0x00);
  EXPECT_EQ(Hex(Run({0xFE, 0x00}, 0x28, 0x00)), "$02");  // CP 0: not from A
  EXPECT_EQ(A(), 0x28);
  Mem(0x5000) = 0x30;
  EXPECT_EQ(Hex(Run({0xBE}, 0x30, FlagC)), "$62");  // CP (HL), equal
}

// The borrow compares the first operand with the second plus the carry as a
// full number: 255 + 1 is 256, not 0.
TEST_F(FlagsTest, SubtractWithCarryBorrowsWhenTheOperandPlusCarryPassesAByte) {
  EXPECT_EQ(Hex(Run({0xDE, 0xFF}, 0xFF, FlagC)), "$BB");  // SBC A,$FF
  EXPECT_EQ(A(), 0xFF);
  EXPECT_EQ(Hex(Run({0xDE, 0xFF}, 0x00, FlagC)), "$53");
  EXPECT_EQ(A(), 0x00);
  Reg(RegB) = 0xFF;
  EXPECT_EQ(Hex(Run({0x98}, 0x10, FlagC)), "$13");  // SBC A,B
  EXPECT_EQ(A(), 0x10);

  uint8_t f = FlagC;
  EXPECT_EQ(TCpuEmu::Sub8(0x10, 0xFF, f), 0x10);
  EXPECT_TRUE(f & FlagC);

  // SBC HL,BC: the low byte borrows, so the high byte loses one.
  SetPair(RegH, 0x0100);
  SetPair(RegB, 0x00FF);
  F() = FlagC;
  Exec({0xED, 0x42});
  EXPECT_EQ(Pair(RegH), 0x0000);
  EXPECT_EQ(Hex(F()), "$42");
}

TEST_F(FlagsTest, IncrementAndDecrementKeepCarry) {
  EXPECT_EQ(Hex(Run({0x3C}, 0x7F, 0x00)), "$BC");  // INC A
  EXPECT_EQ(A(), 0x80);
  EXPECT_EQ(Hex(Run({0x3C}, 0x7F, FlagC)), "$BD");
  EXPECT_EQ(Hex(Run({0x3D}, 0x80, FlagC)), "$17");  // DEC A: overflow from $80
  EXPECT_EQ(A(), 0x7F);
  Mem(0x5000) = 0x01;
  EXPECT_EQ(Hex(Run({0x35}, 0x00, 0x00)), "$42");  // DEC (HL)
  EXPECT_EQ(Mem(0x5000), 0x00);
  Mem(0x4005) = 0xFF;
  EXPECT_EQ(Hex(Run({0xDD, 0x34, 0x05}, 0x00, FlagC)), "$79");  // INC (IX+5)
  EXPECT_EQ(Mem(0x4005), 0x00);
}

TEST_F(FlagsTest, SixteenBitIncrementAndDecrementLeaveFlagsAlone) {
  SetPair(RegB, 0xFFFF);
  EXPECT_EQ(Hex(Run({0x03}, 0x00, 0xA5)), "$A5");  // INC BC
  EXPECT_EQ(Pair(RegB), 0x0000);
  EXPECT_EQ(Hex(Run({0x0B}, 0x00, 0x5A)), "$5A");  // DEC BC
  EXPECT_EQ(Pair(RegB), 0xFFFF);
  SetPair(RegIXH, 0xFFFF);
  EXPECT_EQ(Hex(Run({0xDD, 0x23}, 0x00, 0x00)), "$00");  // INC IX
  EXPECT_EQ(Pair(RegIXH), 0x0000);
}

TEST_F(FlagsTest, LogicOperations) {
  EXPECT_EQ(Hex(Run({0xE6, 0x0F}, 0x3C, FlagC | FlagN)), "$1C");  // AND sets H
  EXPECT_EQ(A(), 0x0C);
  EXPECT_EQ(Hex(Run({0xAF}, 0x5A, 0xFF)), "$44");  // XOR A
  EXPECT_EQ(A(), 0x00);
  EXPECT_EQ(Hex(Run({0xF6, 0x80}, 0x28, FlagC | FlagH)), "$A8");  // OR: odd parity
  EXPECT_EQ(A(), 0xA8);
}

TEST_F(FlagsTest, DecimalAdjust) {
  EXPECT_EQ(Hex(Run({0x27}, 0x9A, 0x00)), "$5D");
  EXPECT_EQ(A(), 0x00);

  Run({0xC6, 0x27}, 0x15, 0x00);  // 15 + 27
  EXPECT_EQ(Hex(Run({0x27}, A(), F())), "$3C");
  EXPECT_EQ(A(), 0x42);

  Run({0xD6, 0x01}, 0x10, 0x00);  // 10 - 01
  EXPECT_EQ(Hex(Run({0x27}, A(), F())), "$0E");
  EXPECT_EQ(A(), 0x09);
}

TEST_F(FlagsTest, Negate) {
  EXPECT_EQ(Hex(Run({0xED, 0x44}, 0x80, 0x00)), "$87");
  EXPECT_EQ(A(), 0x80);
  EXPECT_EQ(Hex(Run({0xED, 0x44}, 0x00, FlagC)), "$42");
  EXPECT_EQ(A(), 0x00);
  EXPECT_EQ(Hex(Run({0xED, 0x4C}, 0x28, 0x00)), "$93");  // bits 3 and 5 end 0
  EXPECT_EQ(A(), 0xD8);
}

TEST_F(FlagsTest, AccumulatorFlagInstructions) {
  EXPECT_EQ(Hex(Run({0x2F}, 0x5A, 0xC5)), "$D7");  // CPL: only N and H
  EXPECT_EQ(A(), 0xA5);
  EXPECT_EQ(Hex(Run({0x37}, 0x00, 0x28)), "$29");  // SCF
  EXPECT_EQ(Hex(Run({0x37}, 0x00, 0xFF)), "$ED");
  EXPECT_EQ(Hex(Run({0x3F}, 0x00, FlagC)), "$10");  // CCF: H := old C
  EXPECT_EQ(Hex(Run({0x3F}, 0x00, 0xEF)), "$FC");
  EXPECT_EQ(Hex(Run({0x3F}, 0x00, 0x00)), "$01");
}

TEST_F(FlagsTest, AccumulatorRotatesTakeCopyBitsFromTheNewA) {
  EXPECT_EQ(Hex(Run({0x07}, 0x81, 0xD6)), "$C5");  // RLCA
  EXPECT_EQ(A(), 0x03);
  EXPECT_EQ(Hex(Run({0x1F}, 0x01, 0x00)), "$01");  // RRA
  EXPECT_EQ(A(), 0x00);
  EXPECT_EQ(Hex(Run({0x17}, 0x14, FlagC | FlagZ)), "$68");  // RLA
  EXPECT_EQ(A(), 0x29);
  EXPECT_EQ(Hex(Run({0x0F}, 0x50, 0x00)), "$28");  // RRCA
  EXPECT_EQ(A(), 0x28);
}

TEST_F(FlagsTest, CbRotatesSetLogicFlagsAndTheCarry) {
  Reg(RegB) = 0x80;
  EXPECT_EQ(Hex(Run({0xCB, 0x00}, 0x00, 0xFF)), "$01");  // RLC B
  EXPECT_EQ(Reg(RegB), 0x01);
  Reg(RegB) = 0x01;
  EXPECT_EQ(Hex(Run({0xCB, 0x38}, 0x00, 0x00)), "$45");  // SRL B
  EXPECT_EQ(Hex(Run({0xCB, 0x17}, 0x54, FlagC)), "$AC");  // RL A
  EXPECT_EQ(A(), 0xA9);
}

TEST_F(FlagsTest, BitTest) {
  EXPECT_EQ(Hex(Run({0xCB, 0x7F}, 0x80, 0x00)), "$90");  // BIT 7,A
  EXPECT_EQ(Hex(Run({0xCB, 0x47}, 0xFE, 0x00)), "$54");  // BIT 0,A with the bit clear
  EXPECT_EQ(Hex(Run({0xCB, 0x5F}, 0x08, FlagC)), "$19");  // BIT 3,A: bit 3 copied, C kept
  EXPECT_EQ(Hex(Run({0xCB, 0x6F}, 0xFF, 0x00)), "$30");  // BIT 5,A
  EXPECT_EQ(Hex(Run({0xCB, 0x77}, 0xFF, 0x00)), "$10");  // BIT 6,A: no copy bits
  Mem(0x4002) = 0x80;
  EXPECT_EQ(Hex(Run({0xDD, 0xCB, 0x02, 0x7E}, 0x00, 0x00)), "$90");  // BIT 7,(IX+2)
}

TEST_F(FlagsTest, SixteenBitAddKeepsSignZeroAndParity) {
  SetPair(RegH, 0x0FFF);
  SetPair(RegB, 0x0001);
  EXPECT_EQ(Hex(Run({0x09}, 0x00, 0xC7)), "$DC");  // ADD HL,BC: H from bit 11
  EXPECT_EQ(Pair(RegH), 0x1000);

  SetPair(RegIXH, 0x7FFF);
  EXPECT_EQ(Hex(Run({0xDD, 0x09}, 0x00, 0x00)), "$38");  // ADD IX,BC
  EXPECT_EQ(Pair(RegIXH), 0x8000);

  SetPair(RegH, 0x8000);
  SetPair(RegD, 0x8000);
  EXPECT_EQ(Hex(Run({0x19}, 0x00, 0x00)), "$01");  // ADD HL,DE: carry out of bit 15
  EXPECT_EQ(Pair(RegH), 0x0000);
}

TEST_F(FlagsTest, SixteenBitAddAndSubtractWithCarry) {
  SetPair(RegH, 0x0002);
  SetPair(RegD, 0x0001);
  EXPECT_EQ(Hex(Run({0xED, 0x52}, 0x00, 0x00)), "$02");  // SBC HL,DE: Z over all 16 bits
  EXPECT_EQ(Pair(RegH), 0x0001);

  SetPair(RegH, 0x1234);
  EXPECT_EQ(Hex(Run({0xED, 0x62}, 0x00, FlagC)), "$93");  // SBC HL,HL with carry
  EXPECT_EQ(Pair(RegH), 0xFFFF);

  SetPair(RegH, 0x7FFF);
  SetPair(RegD, 0x0001);
  EXPECT_EQ(Hex(Run({0xED, 0x5A}, 0x00, 0x00)), "$BC");  // ADC HL,DE: overflow
  EXPECT_EQ(Pair(RegH), 0x8000);

  SetPair(RegH, 0xFFFF);
  SetPair(RegB, 0x0001);
  EXPECT_EQ(Hex(Run({0xED, 0x4A}, 0x00, 0x00)), "$79");  // ADC HL,BC to zero
  EXPECT_EQ(Pair(RegH), 0x0000);
}

TEST_F(FlagsTest, PortInputAndInterruptRegisterLoadsSetLogicFlagsAndKeepCarry) {
  PortInput = {0x00, 0xA8};
  EXPECT_EQ(Hex(Run({0xED, 0x78}, 0x55, FlagC | FlagN | FlagH)), "$45");  // IN A,(C)
  EXPECT_EQ(A(), 0x00);
  EXPECT_EQ(Hex(Run({0xED, 0x70}, 0x55, 0x00)), "$A8");  // IN (C)
  EXPECT_EQ(A(), 0x55);

  Reg(RegI) = 0x00;
  Cpu->CpuState |= CpuStateIff2;
  EXPECT_EQ(Hex(Run({0xED, 0x57}, 0x00, FlagC)), "$45");  // LD A,I: P/V from IFF2
  Reg(RegI) = 0x81;
  Cpu->CpuState &= static_cast<uint8_t>(~CpuStateIff2);
  EXPECT_EQ(Hex(Run({0xED, 0x57}, 0x00, FlagC)), "$81");
  EXPECT_EQ(A(), 0x81);

  Mem(0x5000) = 0x12;
  EXPECT_EQ(Hex(Run({0xED, 0x6F}, 0x34, FlagC)), "$21");  // RLD: A = $31
  EXPECT_EQ(A(), 0x31);

  PortInput = {0x77};
  EXPECT_EQ(Hex(Run({0xDB, 0x10}, 0x00, 0x00)), "$00");  // IN A,(n) leaves F alone
  EXPECT_EQ(A(), 0x77);
}

TEST_F(FlagsTest, BlockTransfersAndCompares) {
  SetPair(RegD, 0x5100);
  SetPair(RegB, 0x0002);
  EXPECT_EQ(Hex(Run({0xED, 0xA0}, 0x00, 0xFF)), "$C5");  // LDI: BC left, copy bits from B
  SetPair(RegB, 0x2801);
  EXPECT_EQ(Hex(Run({0xED, 0xA0}, 0x00, 0x00)), "$2C");
  SetPair(RegB, 0x0001);
  EXPECT_EQ(Hex(Run({0xED, 0xA8}, 0x00, 0x00)), "$00");  // LDD: BC now 0

  SetPair(RegH, 0x5000);
  SetPair(RegB, 0x0001);
  Mem(0x5000) = 0x10;
  EXPECT_EQ(Hex(Run({0xED, 0xA1}, 0x10, FlagC)), "$43");  // CPI: equal, BC now 0, C kept
  SetPair(RegH, 0x5000);
  SetPair(RegB, 0x0002);
  Mem(0x5000) = 0x30;
  EXPECT_EQ(Hex(Run({0xED, 0xA1}, 0x28, 0x00)), "$AE");  // copy bits from A
}

TEST_F(FlagsTest, BlockInputAndOutputTakeFlagsFromTheByte) {
  SetPair(RegH, 0x5000);
  SetPair(RegB, 0x0210);
  Mem(0x5000) = 0x85;
  EXPECT_EQ(Hex(Run({0xED, 0xA3}, 0x00, 0x00)), "$86");  // OUTI
  SetPair(RegB, 0x0110);
  PortInput = {0x40};
  EXPECT_EQ(Hex(Run({0xED, 0xA2}, 0x00, FlagC)), "$43");  // INI: B reaches 0
}

TEST_F(FlagsTest, ArithmeticHelpers) {
  uint8_t f = 0;
  EXPECT_EQ(TCpuEmu::Add8(0xFF, 0x01, f), 0x00);
  EXPECT_EQ(Hex(f), "$79");
  f = FlagC;
  EXPECT_EQ(TCpuEmu::Add8(0x0F, 0x00, f), 0x10);
  EXPECT_EQ(Hex(f), "$18");
  f = 0;
  EXPECT_EQ(TCpuEmu::Sub8(0x00, 0x28, f), 0xD8);
  EXPECT_EQ(Hex(f), "$93");

  f = FlagC;
  TCpuEmu::SetParityFlag(0x03, f);
  EXPECT_EQ(Hex(f), "$05");
  f = 0xFF;
  TCpuEmu::SetParityFlag(0x07, f);
  EXPECT_EQ(Hex(f), "$FB");

  f = 0xFF;
  TCpuEmu::SetLogicFlags(0x00, false, f);
  EXPECT_EQ(Hex(f), "$44");

  uint8_t a = 0x9A;
  f = 0x00;
  TCpuEmu::DecimalAdjust(a, f);
  EXPECT_EQ(a, 0x00);
  EXPECT_EQ(Hex(f), "$5D");

  uint8_t value = 0;
  TCpuEmu::SetFlagBit(value, 5);
  EXPECT_EQ(value, 0x20);
  EXPECT_TRUE(TCpuEmu::TestBit(value, 5));
  TCpuEmu::ClearFlagBit(value, 5);
  EXPECT_EQ(value, 0x00);
}
