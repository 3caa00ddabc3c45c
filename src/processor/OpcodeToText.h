// Table-driven one-instruction Z80 disassembler. It turns up to four instruction
// bytes, packed into one 32-bit value with the first byte in the lowest 8 bits,
// into the text shown on the CPU page ("LD BC,1234", "JR NZ,(PC+FE)").
// It returns no instruction length and computes no jump targets.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class TCpuEmu;

// One instruction of the mnemonic table.
struct TZ80MnemonicRecord {
  int32_t PrefixCount;        // 0 none, 1 (CB, ED, DD or FD), 2 (DD CB or FD CB)
  int32_t Prefix1;            // $CB, $ED, $DD or $FD; 0 without a prefix
  int32_t Prefix2;            // $CB for the two-prefix records, else 0
  int32_t DisplacementFirst;  // 1 where the d byte stands before the opcode (DD CB, FD CB)
  int32_t Opcode;             // the opcode byte after the prefixes
  int32_t OperandKind;        // 0 none, 1 one byte, 2 one word
  std::string_view Mnemonic;  // placeholders d, n, e or nn; undocumented instructions end in "*"
};

inline constexpr int Z80MnemonicTableSize = 1268;

// Every Z80 instruction, in the order of its bytes: the plain opcodes with each
// prefix group at the place of its prefix byte (DD CB within DD at the place of CB).
extern const std::array<TZ80MnemonicRecord, Z80MnemonicTableSize> Z80MnemonicTable;

// Index of the record that matches the instruction bytes, or -1.
int FindOpcode(uint32_t Instr);

// Text := the instruction's text with its operands filled in, or "???".
void DisassembleInstruction(uint32_t Instr, std::string& Text);

// The four bytes at Address in the processor's memory, packed for FindOpcode and
// DisassembleInstruction; the address wraps from $FFFF to $0000.
uint32_t ReadInstructionBytes(const TCpuEmu& Cpu, uint16_t Address);

// Disassembles the instruction that starts at Address in the processor's memory.
void DisassembleMemory(const TCpuEmu& Cpu, uint16_t Address, std::string& Text);
