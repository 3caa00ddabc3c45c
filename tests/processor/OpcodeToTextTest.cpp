// The mnemonic table and the disassembler over it.
#include "OpcodeToText.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "CpuEmu.h"

namespace {

// Packs up to four bytes, the first in the lowest 8 bits.
uint32_t Bytes(std::initializer_list<uint8_t> bytes) {
  uint32_t instr = 0;
  int shift = 0;
  for (uint8_t b : bytes) {
    instr |= static_cast<uint32_t>(b) << shift;
    shift += 8;
  }
  return instr;
}

std::string Disassemble(std::initializer_list<uint8_t> bytes) {
  std::string text = "unchanged";
  DisassembleInstruction(Bytes(bytes), text);
  return text;
}

std::string TextOf(int count, int prefix1, int opcode) {
  for (const TZ80MnemonicRecord& record : Z80MnemonicTable)
    if (record.PrefixCount == count && record.Prefix1 == prefix1 && record.Opcode == opcode)
      return std::string(record.Mnemonic);
  return "<none>";
}

bool EndsInStar(std::string_view text) { return !text.empty() && text.back() == '*'; }

}  // namespace

TEST(OpcodeToTextTest, DisassemblesOperandsOfEachKind) {
  EXPECT_EQ(Disassemble({0x01, 0x34, 0x12, 0x00}), "LD BC,1234");
  EXPECT_EQ(Disassemble({0xC3, 0x00, 0x01, 0x00}), "JP (0100)");
  EXPECT_EQ(Disassemble({0x18, 0xFE, 0x00, 0x00}), "JR (PC+FE)");
  EXPECT_EQ(Disassemble({0x10, 0x80}), "DJNZ (PC+80)");
  EXPECT_EQ(Disassemble({0xDB, 0xFE}), "IN A,(FE)");
  EXPECT_EQ(Disassemble({0xD3, 0x0a}), "OUT (0A),A");
  EXPECT_EQ(Disassemble({0x3E, 0xab}), "LD A,AB");
  EXPECT_EQ(Disassemble({0x20, 0x05}), "JR NZ,(PC+05)");
  EXPECT_EQ(Disassemble({0xCD, 0xCD, 0xAB}), "CALL (ABCD)");
  EXPECT_EQ(Disassemble({0xFA, 0x00, 0xF0}), "JP M,(F000)");
  EXPECT_EQ(Disassemble({0x22, 0x5C, 0x00}), "LD (005C),HL");
  EXPECT_EQ(Disassemble({0xCE, 0x01}), "ADC A,01");
  EXPECT_EQ(Disassemble({0xD6, 0x7F}), "SUB 7F");
  EXPECT_EQ(Disassemble({0x00, 0x11, 0x22, 0x33}), "NOP");
  EXPECT_EQ(Disassemble({0x08}), "EX AF,AF");
  EXPECT_EQ(Disassemble({0xFF}), "RST 38H");
  EXPECT_EQ(Disassemble({0xD7}), "RST 10H");
}

TEST(OpcodeToTextTest, DisassemblesIndexForms) {
  EXPECT_EQ(Disassemble({0xDD, 0x7E, 0x05, 0x00}), "LD A,(IX+05)");
  EXPECT_EQ(Disassemble({0xFD, 0x86, 0xF0}), "ADD A,(IY+F0)");
  EXPECT_EQ(Disassemble({0xDD, 0x21, 0x34, 0x12}), "LD IX,1234");
  EXPECT_EQ(Disassemble({0xFD, 0x2A, 0x00, 0x80}), "LD IY,(8000)");
  EXPECT_EQ(Disassemble({0xDD, 0x26, 0x42}), "LD IXH,42*");
  EXPECT_EQ(Disassemble({0xFD, 0x2E, 0x42}), "LD IYL,42*");
  EXPECT_EQ(Disassemble({0xDD, 0x66, 0x03}), "LD H,(IX+03)");
  EXPECT_EQ(Disassemble({0xFD, 0x75, 0x80}), "LD (IY+80),L");
  EXPECT_EQ(Disassemble({0xDD, 0x65}), "LD IXH,IXL*");
  EXPECT_EQ(Disassemble({0xFD, 0x95}), "SUB IYL*");
  EXPECT_EQ(Disassemble({0xDD, 0x09}), "ADD IX,BC");
  EXPECT_EQ(Disassemble({0xDD, 0x29}), "ADD IX,IX");
  EXPECT_EQ(Disassemble({0xFD, 0xE3}), "EX (SP),IY");
  // A jump through IX reads no displacement.
  EXPECT_EQ(Disassemble({0xDD, 0xE9, 0x12}), "JP (IX)");
  EXPECT_EQ(Disassemble({0xFD, 0xF9}), "LD SP,IY");
}

TEST(OpcodeToTextTest, IndexedStoreOfAnImmediateKeepsItsPlaceholders) {
  // Kind 2 without "nn" in the text leaves the text as it stands.
  EXPECT_EQ(Disassemble({0xDD, 0x36, 0x05, 0x77}), "LD (IX+d),n");
  EXPECT_EQ(Disassemble({0xFD, 0x36, 0x05, 0x77}), "LD (IY+d),n");
}

TEST(OpcodeToTextTest, DisassemblesBitGroupsWithTheDisplacementBeforeTheOpcode) {
  EXPECT_EQ(Disassemble({0xDD, 0xCB, 0x10, 0x46}), "BIT 0,(IX+10)");
  EXPECT_EQ(Disassemble({0xDD, 0xCB, 0x10, 0x00}), "LD B,RLC (IX+10)*");
  EXPECT_EQ(Disassemble({0xFD, 0xCB, 0xFF, 0xFE}), "SET 7,(IY+FF)");
  EXPECT_EQ(Disassemble({0xFD, 0xCB, 0x01, 0x36}), "SLL (IY+01)*");
  EXPECT_EQ(Disassemble({0xDD, 0xCB, 0x02, 0x80}), "LD B,RES 0,(IX+02)*");
  EXPECT_EQ(Disassemble({0xDD, 0xCB, 0x02, 0xFF}), "LD A,SET 7,(IX+02)*");
  EXPECT_EQ(Disassemble({0xFD, 0xCB, 0x02, 0x7A}), "BIT 7,(IY+02)*");
  EXPECT_EQ(Disassemble({0xCB, 0x30}), "SLL B*");
  EXPECT_EQ(Disassemble({0xCB, 0x06}), "RLC (HL)");
  EXPECT_EQ(Disassemble({0xCB, 0x7F}), "BIT 7,A");
  EXPECT_EQ(Disassemble({0xCB, 0x9E}), "RES 3,(HL)");
  EXPECT_EQ(Disassemble({0xCB, 0xC1}), "SET 0,C");
}

TEST(OpcodeToTextTest, DisassemblesTheEdGroup) {
  EXPECT_EQ(Disassemble({0xED, 0x70}), "IN F,(C)* / IN (C)*");
  EXPECT_EQ(Disassemble({0xED, 0x43, 0x34, 0x12}), "LD (1234),BC");
  EXPECT_EQ(Disassemble({0xED, 0x7B, 0xFE, 0xFF}), "LD SP,(FFFE)");
  EXPECT_EQ(Disassemble({0xED, 0xB0}), "LDIR");
  EXPECT_EQ(Disassemble({0xED, 0x4D}), "RETI");
  EXPECT_EQ(Disassemble({0xED, 0x4E}), "IM 0/1*");
  EXPECT_EQ(Disassemble({0xED, 0x71}), "OUT (C),0*");
}

TEST(OpcodeToTextTest, UnknownInstructionsGiveQuestionMarks) {
  for (uint32_t instr : {Bytes({0xED, 0x77}), Bytes({0xED, 0x00}), Bytes({0xED, 0x80}), Bytes({0xDD, 0x00}),
                         Bytes({0xED, 0x7F}), Bytes({0xED, 0xFF}), Bytes({0xFD, 0x01}), Bytes({0xDD, 0xDD})}) {
    EXPECT_EQ(FindOpcode(instr), -1) << std::hex << instr;
    std::string text = "unchanged";
    DisassembleInstruction(instr, text);
    EXPECT_EQ(text, "???") << std::hex << instr;
  }
}

TEST(OpcodeToTextTest, FindOpcodeReturnsTheMatchingRecord) {
  EXPECT_EQ(FindOpcode(Bytes({0x00})), 0);
  const int ldir = FindOpcode(Bytes({0xED, 0xB0}));
  ASSERT_GE(ldir, 0);
  EXPECT_EQ(Z80MnemonicTable[static_cast<size_t>(ldir)].Mnemonic, "LDIR");
  EXPECT_EQ(FindOpcode(Bytes({0xFF})), Z80MnemonicTableSize - 1);
  // The displacement byte of DD CB d op never selects the record.
  EXPECT_EQ(FindOpcode(Bytes({0xDD, 0xCB, 0x46, 0x06})), FindOpcode(Bytes({0xDD, 0xCB, 0x00, 0x06})));
  // Every record is found again from its own bytes.
  for (int i = 0; i < Z80MnemonicTableSize; ++i) {
    const TZ80MnemonicRecord& record = Z80MnemonicTable[static_cast<size_t>(i)];
    uint32_t instr = 0;
    if (record.PrefixCount == 0)
      instr = static_cast<uint32_t>(record.Opcode);
    else if (record.PrefixCount == 1)
      instr = static_cast<uint32_t>(record.Prefix1 | record.Opcode << 8);
    else
      instr = static_cast<uint32_t>(record.Prefix1 | record.Prefix2 << 8 | 0x55 << 16 | record.Opcode << 24);
    EXPECT_EQ(FindOpcode(instr), i) << record.Mnemonic;
  }
}

TEST(OpcodeToTextTest, TableHoldsEachGroupWithItsCount) {
  std::map<std::pair<int, int>, int> counts;  // (prefix 1, prefix 2) -> records
  for (const TZ80MnemonicRecord& record : Z80MnemonicTable) {
    ++counts[{record.Prefix1, record.Prefix2}];
    switch (record.PrefixCount) {
      case 0:
        EXPECT_EQ(record.Prefix1, 0);
        EXPECT_EQ(record.Prefix2, 0);
        EXPECT_NE(record.Opcode, 0xCB);
        EXPECT_NE(record.Opcode, 0xDD);
        EXPECT_NE(record.Opcode, 0xED);
        EXPECT_NE(record.Opcode, 0xFD);
        break;
      case 1:
        EXPECT_TRUE(record.Prefix1 == 0xCB || record.Prefix1 == 0xED || record.Prefix1 == 0xDD ||
                    record.Prefix1 == 0xFD);
        EXPECT_EQ(record.Prefix2, 0);
        break;
      case 2:
        EXPECT_TRUE(record.Prefix1 == 0xDD || record.Prefix1 == 0xFD);
        EXPECT_EQ(record.Prefix2, 0xCB);
        break;
      default:
        ADD_FAILURE() << "prefix count " << record.PrefixCount << " of " << record.Mnemonic;
    }
    EXPECT_EQ(record.DisplacementFirst, record.PrefixCount == 2 ? 1 : 0) << record.Mnemonic;
    EXPECT_GE(record.Opcode, 0);
    EXPECT_LE(record.Opcode, 0xFF);
    EXPECT_GE(record.OperandKind, 0);
    EXPECT_LE(record.OperandKind, 2);
    EXPECT_FALSE(record.Mnemonic.empty());
    EXPECT_LE(record.Mnemonic.size(), 31u) << record.Mnemonic;
  }
  EXPECT_EQ(Z80MnemonicTable.size(), 1268u);
  EXPECT_EQ((counts[{0, 0}]), 252);
  EXPECT_EQ((counts[{0xCB, 0}]), 256);
  EXPECT_EQ((counts[{0xED, 0}]), 78);
  EXPECT_EQ((counts[{0xDD, 0}]), 85);
  EXPECT_EQ((counts[{0xDD, 0xCB}]), 256);
  EXPECT_EQ((counts[{0xFD, 0}]), 85);
  EXPECT_EQ((counts[{0xFD, 0xCB}]), 256);
  EXPECT_EQ(counts.size(), 7u);
}

TEST(OpcodeToTextTest, NoTwoRecordsShareTheirPrefixesAndOpcode) {
  std::set<std::tuple<int, int, int, int>> seen;
  for (const TZ80MnemonicRecord& record : Z80MnemonicTable)
    EXPECT_TRUE(seen.insert({record.PrefixCount, record.Prefix1, record.Prefix2, record.Opcode}).second)
        << record.Mnemonic;
}

TEST(OpcodeToTextTest, RecordsStandInTheOrderOfTheirBytes) {
  // Each record's bytes (prefixes, then opcode) compared as a sequence: plain 00-CA,
  // CB group, plain CC-DC, DD group (DD CB at the place of CB), ... FD group, FE, FF.
  auto key = [](const TZ80MnemonicRecord& record) {
    std::vector<int> bytes;
    if (record.PrefixCount >= 1) bytes.push_back(record.Prefix1);
    if (record.PrefixCount == 2) bytes.push_back(record.Prefix2);
    bytes.push_back(record.Opcode);
    return bytes;
  };
  for (size_t i = 1; i < Z80MnemonicTable.size(); ++i)
    EXPECT_LT(key(Z80MnemonicTable[i - 1]), key(Z80MnemonicTable[i]))
        << Z80MnemonicTable[i - 1].Mnemonic << " before " << Z80MnemonicTable[i].Mnemonic;
  EXPECT_EQ(Z80MnemonicTable[202].Mnemonic, "JP Z,(nn)");  // plain CA, the last before CB
  EXPECT_EQ(Z80MnemonicTable[203].Mnemonic, "RLC B");      // CB 00
}

TEST(OpcodeToTextTest, ExactlyTheUndocumentedInstructionsAreStarred) {
  const std::set<int> starredEd = {0x4C, 0x4E, 0x54, 0x55, 0x5C, 0x5D, 0x64, 0x65, 0x66, 0x6C,
                                   0x6D, 0x6E, 0x70, 0x71, 0x74, 0x75, 0x76, 0x7C, 0x7D, 0x7E};
  int starred = 0;
  for (const TZ80MnemonicRecord& record : Z80MnemonicTable) {
    const std::string text(record.Mnemonic);
    const int x = record.Opcode >> 6, y = (record.Opcode >> 3) & 7, z = record.Opcode & 7;
    bool expected = false;
    if (record.PrefixCount == 1 && record.Prefix1 == 0xCB)
      expected = x == 0 && y == 6;  // SLL
    else if (record.PrefixCount == 1 && record.Prefix1 == 0xED)
      expected = starredEd.count(record.Opcode) != 0;
    else if (record.PrefixCount == 1)  // DD or FD: the index halves
      expected = text.find("IXH") != std::string::npos || text.find("IXL") != std::string::npos ||
                 text.find("IYH") != std::string::npos || text.find("IYL") != std::string::npos;
    else if (record.PrefixCount == 2)  // DD CB, FD CB: all but the documented (IX+d) forms
      expected = z != 6 || (x == 0 && y == 6);
    EXPECT_EQ(EndsInStar(text), expected) << text;
    // A star stands only at the end (ED 70 carries two alternatives, each starred).
    if (record.Opcode != 0x70 || record.Prefix1 != 0xED) {
      EXPECT_EQ(text.find('*'), EndsInStar(text) ? text.size() - 1 : std::string::npos) << text;
    }
    starred += EndsInStar(text) ? 1 : 0;
  }
  // 8 SLL, 20 ED, 2 x 46 index halves, 2 x (224 + 1) DD CB / FD CB.
  EXPECT_EQ(starred, 8 + 20 + 92 + 450);
}

TEST(OpcodeToTextTest, GroupTextsFollowTheirSpelling) {
  EXPECT_EQ(TextOf(0, 0, 0x80), "ADD A,B");
  EXPECT_EQ(TextOf(0, 0, 0x8E), "ADC A,(HL)");
  EXPECT_EQ(TextOf(0, 0, 0x9F), "SBC A,A");
  EXPECT_EQ(TextOf(0, 0, 0x90), "SUB B");
  EXPECT_EQ(TextOf(0, 0, 0xA6), "AND (HL)");
  EXPECT_EQ(TextOf(0, 0, 0xAF), "XOR A");
  EXPECT_EQ(TextOf(0, 0, 0xB1), "OR C");
  EXPECT_EQ(TextOf(0, 0, 0xBE), "CP (HL)");
  EXPECT_EQ(TextOf(0, 0, 0x76), "HALT");
  EXPECT_EQ(TextOf(0, 0, 0x36), "LD (HL),n");
  EXPECT_EQ(TextOf(0, 0, 0x3A), "LD A,(nn)");
  EXPECT_EQ(TextOf(0, 0, 0xE9), "JP (HL)");
  EXPECT_EQ(TextOf(0, 0, 0xEB), "EX DE,HL");
  EXPECT_EQ(TextOf(0, 0, 0xF1), "POP AF");
  EXPECT_EQ(TextOf(0, 0, 0xE8), "RET PE");
  EXPECT_EQ(TextOf(0, 0, 0xE4), "CALL PO,(nn)");
  EXPECT_EQ(TextOf(0, 0, 0x38), "JR C,(PC+e)");
  EXPECT_EQ(TextOf(1, 0xCB, 0x1D), "RR L");
  EXPECT_EQ(TextOf(1, 0xCB, 0x3E), "SRL (HL)");
  EXPECT_EQ(TextOf(1, 0xED, 0x57), "LD A,I");
  EXPECT_EQ(TextOf(1, 0xED, 0x5E), "IM 2");
  EXPECT_EQ(TextOf(1, 0xED, 0x76), "IM 1*");
  EXPECT_EQ(TextOf(1, 0xED, 0xBB), "OTDR");
  EXPECT_EQ(TextOf(1, 0xDD, 0x74), "LD (IX+d),H");
  EXPECT_EQ(TextOf(1, 0xFD, 0xBC), "CP IYH*");

  // Operand kinds: words for the "nn" texts, bytes for "n", "e" and "d", and the one exception.
  for (const TZ80MnemonicRecord& record : Z80MnemonicTable) {
    const std::string text(record.Mnemonic);
    int expected = 0;
    if (record.PrefixCount == 2)
      expected = 0;
    else if (text.find("nn") != std::string::npos || (record.Prefix1 == 0xDD && record.Opcode == 0x36) ||
             (record.Prefix1 == 0xFD && record.Opcode == 0x36))
      expected = 2;
    else if (text.find_first_of("dne") != std::string::npos)
      expected = 1;
    EXPECT_EQ(record.OperandKind, expected) << text;
  }
}

TEST(OpcodeToTextTest, ReadsInstructionBytesFromProcessorMemory) {
  auto cpu = std::make_unique<TCpuEmu>();
  const uint8_t program[] = {0xED, 0x43, 0x34, 0x12};
  cpu->LoadMemory(0x0100, 4, program);
  EXPECT_EQ(ReadInstructionBytes(*cpu, 0x0100), 0x123443EDu);
  std::string text;
  DisassembleMemory(*cpu, 0x0100, text);
  EXPECT_EQ(text, "LD (1234),BC");
}

TEST(OpcodeToTextTest, ReadingNearTheTopOfMemoryWrapsToAddressZero) {
  auto cpu = std::make_unique<TCpuEmu>();
  cpu->WriteByte(0xFFFE, 0x21);  // LD HL,nn with its high byte at $0000
  cpu->WriteByte(0xFFFF, 0x78);
  cpu->WriteByte(0x0000, 0x56);
  cpu->WriteByte(0x0001, 0x99);
  EXPECT_EQ(ReadInstructionBytes(*cpu, 0xFFFE), 0x99567821u);
  std::string text;
  DisassembleMemory(*cpu, 0xFFFE, text);
  EXPECT_EQ(text, "LD HL,5678");
  cpu->WriteByte(0xFFFF, 0xDD);
  cpu->WriteByte(0x0000, 0xCB);
  cpu->WriteByte(0x0001, 0x07);
  cpu->WriteByte(0x0002, 0x46);
  DisassembleMemory(*cpu, 0xFFFF, text);
  EXPECT_EQ(text, "BIT 0,(IX+07)");
}

// ---------------------------------------------------------------- instruction lengths

namespace {

constexpr uint16_t kAt = 0x4000;       // where each instruction is placed
constexpr uint16_t kData = 0x9000;     // HL, IX, IY and DE point here
constexpr uint16_t kStack = 0xA000;

// What the processor did with one instruction at kAt.
struct TStepOutcome {
  uint16_t PC;
  bool Halted;
  bool Pushed;          // a CALL or RST: SP went down by two
  uint16_t PushedWord;  // the return address it pushed
};

TStepOutcome StepOnce(const std::vector<uint8_t>& bytes, uint8_t flags, uint16_t bc) {
  auto cpu = std::make_unique<TCpuEmu>();
  cpu->Reset(kAt);
  cpu->LoadMemory(kAt, static_cast<uint16_t>(bytes.size()), bytes.data());
  cpu->SetStatusFlags(flags);
  cpu->SetPair(RegB, bc);
  cpu->SetPair(RegD, kData);
  cpu->SetPair(RegH, kData);
  cpu->SetPair(RegIXH, kData);
  cpu->SetPair(RegIYH, kData);
  cpu->SetPair(RegSPH, kStack);
  cpu->ExecuteInstruction();
  const uint16_t sp = cpu->GetPair(RegSPH);
  const bool pushed = sp == static_cast<uint16_t>(kStack - 2);
  const uint16_t word = static_cast<uint16_t>(cpu->ReadByte(sp) | cpu->ReadByte(static_cast<uint16_t>(sp + 1)) << 8);
  return {cpu->GetPC(), (cpu->CpuState & CpuStateHalted) != 0, pushed, word};
}

// The bytes of a pattern padded with zero operands to eight bytes.
std::vector<uint8_t> PaddedOf(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> padded(bytes);
  padded.resize(8, 0);
  return padded;
}

uint32_t PackFirstFour(const std::vector<uint8_t>& bytes) {
  uint32_t instr = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) instr |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return instr;
}

// Whether the processor's step over Bytes agrees with Length. Jumps, calls and
// returns are taken with zero operands: each is run with every flag clear and
// every flag set, and with BC 0001 and 0100 (so a block instruction stops), and
// one of the runs must show the length: PC after it, the return address a CALL
// or RST pushed, or PC on the last byte of a HALT.
bool ProcessorAgrees(const std::vector<uint8_t>& bytes, int length, std::string& seen) {
  const uint16_t next = static_cast<uint16_t>(kAt + length);
  seen.clear();
  for (uint8_t flags : {uint8_t{0x00}, uint8_t{0xFF}})
    for (uint16_t bc : {uint16_t{0x0001}, uint16_t{0x0100}}) {
      const TStepOutcome outcome = StepOnce(bytes, flags, bc);
      if (outcome.Halted ? outcome.PC == next - 1 : outcome.PC == next) return true;
      if (outcome.Pushed && outcome.PushedWord == next) return true;
      seen += " PC=" + std::to_string(outcome.PC - kAt);
    }
  return false;
}

// Unconditional jumps and returns leave no trace of their length in PC or on
// the stack; their lengths are those of the instruction set: 0 when Bytes is
// none of them.
int KnownTransferLength(const std::vector<uint8_t>& bytes) {
  if (bytes[0] == 0xED) return (bytes[1] & 0xC7) == 0x45 ? 2 : 0;  // RETN, RETI and their copies
  const bool prefixed = bytes[0] == 0xDD || bytes[0] == 0xFD;
  switch (bytes[prefixed ? 1 : 0]) {
    case 0xC3: return prefixed ? 4 : 3;  // JP nn (a prefix without an index form before it)
    case 0xC9: return prefixed ? 2 : 1;  // RET
    case 0xE9: return prefixed ? 2 : 1;  // JP (HL), JP (IX), JP (IY)
    default: return 0;
  }
}

void ExpectLengthOfProcessor(const std::vector<uint8_t>& pattern) {
  const std::vector<uint8_t> bytes = PaddedOf(pattern);
  const int length = InstructionLength(PackFirstFour(bytes));
  std::string text;
  DisassembleInstruction(PackFirstFour(bytes), text);
  char name[64];
  std::snprintf(name, sizeof name, "%02X %02X %02X %02X (%s)", bytes[0], bytes[1], bytes[2], bytes[3], text.c_str());
  if (const int known = KnownTransferLength(bytes); known != 0) {
    EXPECT_EQ(length, known) << name;
    return;
  }
  std::string seen;
  EXPECT_TRUE(ProcessorAgrees(bytes, length, seen)) << name << ": length " << length << ", processor:" << seen;
}

}  // namespace

TEST(OpcodeToTextTest, InstructionLengthsOfTheTableAgreeWithTheProcessor) {
  for (const TZ80MnemonicRecord& record : Z80MnemonicTable) {
    std::vector<uint8_t> bytes;
    if (record.PrefixCount >= 1) bytes.push_back(static_cast<uint8_t>(record.Prefix1));
    if (record.PrefixCount == 2) bytes.push_back(static_cast<uint8_t>(record.Prefix2));
    if (record.DisplacementFirst != 0) bytes.push_back(0x00);
    bytes.push_back(static_cast<uint8_t>(record.Opcode));
    ExpectLengthOfProcessor(bytes);
  }
}

TEST(OpcodeToTextTest, InstructionLengthsWithoutTextAgreeWithTheProcessor) {
  // Every second byte after ED, DD and FD, the table's and the others.
  for (uint8_t prefix : {uint8_t{0xED}, uint8_t{0xDD}, uint8_t{0xFD}})
    for (int opcode = 0; opcode < 256; ++opcode) ExpectLengthOfProcessor({prefix, static_cast<uint8_t>(opcode)});
  // A prefix before ED, CB or another prefix.
  for (const std::vector<uint8_t>& pattern :
       std::vector<std::vector<uint8_t>>{{0xDD, 0xED, 0x43}, {0xFD, 0xED, 0x00}, {0xDD, 0xED, 0xB0},
                                         {0xDD, 0xFD, 0x21}, {0xFD, 0xDD, 0x36}, {0xDD, 0xDD, 0xCB, 0x05},
                                         {0xFD, 0xFD, 0x00}, {0xDD, 0xFD, 0x7E}, {0xDD, 0xDD, 0xDD, 0x01}})
    ExpectLengthOfProcessor(pattern);
}

TEST(OpcodeToTextTest, InstructionLengthsOfPatternsWithoutText) {
  EXPECT_EQ(InstructionLength(Bytes({0xED, 0x00})), 2) << "undefined ED: two-byte no-operation";
  EXPECT_EQ(InstructionLength(Bytes({0xED, 0x77})), 2);
  EXPECT_EQ(InstructionLength(Bytes({0xED, 0x43, 0x34, 0x12})), 4);
  EXPECT_EQ(InstructionLength(Bytes({0xDD, 0x00})), 2) << "DD before NOP";
  EXPECT_EQ(InstructionLength(Bytes({0xFD, 0x01, 0x34, 0x12})), 4) << "FD before LD BC,nn";
  EXPECT_EQ(InstructionLength(Bytes({0xDD, 0x36, 0x05, 0x77})), 4);
  EXPECT_EQ(InstructionLength(Bytes({0xDD, 0xCB, 0x10, 0x46})), 4);
  EXPECT_EQ(InstructionLength(Bytes({0xDD, 0xED, 0x43, 0x34})), 5) << "DD before LD (nn),BC";
  EXPECT_EQ(InstructionLength(Bytes({0xDD, 0xDD, 0xDD, 0xCB})), 6);
  // The four bytes end inside a chain: step over the prefixes seen so far.
  EXPECT_EQ(InstructionLength(Bytes({0xDD, 0xDD, 0xDD, 0xDD})), 3);
  EXPECT_EQ(InstructionLength(Bytes({0xDD, 0xFD, 0xDD, 0xED})), 2);
  EXPECT_EQ(InstructionLength(Bytes({0xFD, 0xDD, 0xDD, 0xFD})), 3);
  EXPECT_EQ(InstructionLength(Bytes({0xCB, 0x30})), 2);
  EXPECT_EQ(InstructionLength(Bytes({0x76})), 1);
}

TEST(OpcodeToTextTest, AListingByInstructionLengthsNeverLeavesTheProcessorsPath) {
  // Straight-line code full of bytes without text: every address the processor
  // starts an instruction at is the start of a listing line.
  const std::vector<uint8_t> code = {
      0xED, 0x00,                    // undefined ED
      0xDD, 0x01, 0x34, 0x12,        // DD before LD BC,nn
      0xFD, 0x00,                    // FD before NOP
      0xDD, 0xDD, 0xDD, 0xDD, 0xDD,  // a chain longer than four bytes ...
      0x21, 0x00, 0x90,              // ... ending in LD IX,nn
      0xED, 0x77,                    // undefined ED
      0xDD, 0xED, 0x53, 0x00, 0x90,  // DD before LD (nn),DE
      0xFD, 0xCB, 0x02, 0x06,        // RLC (IY+02)
      0xDD, 0xFD, 0x36, 0x01, 0x55,  // FD wins: LD (IY+01),55
      0x3E, 0x07,                    // LD A,07
      0xED, 0xFF,                    // undefined ED
      0x00};
  auto cpu = std::make_unique<TCpuEmu>();
  cpu->Reset(kAt);
  cpu->LoadMemory(kAt, static_cast<uint16_t>(code.size()), code.data());
  cpu->SetPair(RegIYH, kData);
  std::set<uint16_t> lineStarts;
  for (uint16_t at = kAt; at < kAt + code.size();) {
    lineStarts.insert(at);
    const int length = InstructionLength(ReadInstructionBytes(*cpu, at));
    ASSERT_GE(length, 1) << "a listing must never stall";
    at = static_cast<uint16_t>(at + length);
  }
  lineStarts.insert(static_cast<uint16_t>(kAt + code.size()));
  std::set<uint16_t> processorStarts;
  while (cpu->GetPC() < kAt + code.size()) {
    processorStarts.insert(cpu->GetPC());
    EXPECT_EQ(lineStarts.count(cpu->GetPC()), 1u) << "the processor starts an instruction at " << std::hex
                                                  << cpu->GetPC() << " inside a listing line";
    cpu->ExecuteInstruction();
  }
  processorStarts.insert(cpu->GetPC());
  EXPECT_EQ(cpu->GetPC(), kAt + code.size());
  EXPECT_EQ(cpu->GetRegisterA(), 0x07);
  // The one line the processor does not start at: the chain of five prefixes
  // is longer than four bytes, so its listing steps over three of them first.
  std::set<uint16_t> extra;
  for (uint16_t start : lineStarts)
    if (processorStarts.count(start) == 0) extra.insert(start);
  EXPECT_EQ(extra, std::set<uint16_t>({static_cast<uint16_t>(kAt + 8 + 3)}));
}

TEST(OpcodeToTextTest, InstructionLengthNearTheTopOfMemoryComesFromWrappedBytes) {
  auto cpu = std::make_unique<TCpuEmu>();
  cpu->WriteByte(0xFFFF, 0xDD);
  cpu->WriteByte(0x0000, 0x36);
  cpu->WriteByte(0x0001, 0x05);
  cpu->WriteByte(0x0002, 0x77);
  EXPECT_EQ(InstructionLength(ReadInstructionBytes(*cpu, 0xFFFF)), 4);
  cpu->Reset(0xFFFF);
  cpu->SetPair(RegIXH, kData);
  cpu->ExecuteInstruction();
  EXPECT_EQ(cpu->GetPC(), 0x0003);
  EXPECT_EQ(cpu->ReadByte(kData + 5), 0x77);
}
