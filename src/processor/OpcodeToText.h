// Table-driven one-instruction Z80 disassembler. It turns up to four instruction
// bytes, packed into one 32-bit value with the first byte in the lowest 8 bits,
// into the text shown on the CPU page ("LD BC,1234", "JR NZ,(PC+FE)").
// It computes no jump targets. InstructionLength tells how many bytes the
// processor takes for the instruction, also where the table has no text for it,
// so that a listing steps from one instruction to the next as the processor does.
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

// The number of bytes the processor executes as the one instruction that starts
// with these bytes (1 to 6), as TCpuEmu.ExecuteInstruction takes them:
//  - an ED opcode without an instruction is a two-byte no-operation;
//  - a DD or FD before an opcode that has no index form runs that opcode as it
//    stands, so the prefix adds one byte to the opcode's own length;
//  - a DD or FD followed by another DD or FD is overridden by it but belongs to
//    the same instruction.
// Where the four bytes end inside a chain of prefixes before the length can be
// told, the length of the prefixes seen so far is given (at least 1): stepping
// over them lands on a later prefix of the same chain, never inside an opcode
// or its operands.
int InstructionLength(uint32_t Instr);

// The four bytes at Address in the processor's memory, packed for FindOpcode and
// DisassembleInstruction; the address wraps from $FFFF to $0000.
uint32_t ReadInstructionBytes(const TCpuEmu& Cpu, uint16_t Address);

// Disassembles the instruction that starts at Address in the processor's memory.
void DisassembleMemory(const TCpuEmu& Cpu, uint16_t Address, std::string& Text);
