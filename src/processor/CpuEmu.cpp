// The Z80 processor: object, memory access, reset, execution cycle, interrupt
// acceptance, the instruction handlers and the flag helpers.
//
// Decoding follows the opcode's bit groups: x (bits 7-6) picks a quadrant handler,
// which decodes z (bits 2-0), y (bits 5-3), p (bits 5-4) and q (bit 3) further.
// The execution cycle is compiled flat, every handler specialised for its opcode
// and inlined, with PC, R and the instruction count in host registers; events are
// the only calls out.
#include "CpuEmu.h"

#include <cstring>

#define CPU_FLATTEN __attribute__((flatten))
#define CPU_NOINLINE __attribute__((noinline))
#define CPU_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace {

constexpr uint8_t SignZeroOf(unsigned result) {
  return static_cast<uint8_t>((result & FlagS) | ((result & 0xFF) == 0 ? FlagZ : 0));
}

// S and Z of every byte.
struct TSignZeroTable {
  uint8_t Of[256];
  constexpr TSignZeroTable() : Of() {
    for (unsigned v = 0; v < 256; ++v) Of[v] = SignZeroOf(v);
  }
};
constexpr TSignZeroTable SignZero;

// C, H and P/V of r = First +/- Second +/- carry, computed in unsigned int: bit n
// of First ^ Second ^ r is the carry (or borrow) into bit n, and bit 8 the one out
// of bit 7. H is the one into bit 4; overflow is the one into bit 7 differing from
// the one out of it. The three bits, shifted down to 0, 3 and 4, index a table.
struct TCarryFlagTable {
  uint8_t Of[32];
  constexpr TCarryFlagTable() : Of() {
    for (unsigned i = 0; i < 32; ++i) {
      const unsigned into4 = i & 1, into7 = (i >> 3) & 1, out7 = (i >> 4) & 1;
      Of[i] = static_cast<uint8_t>((into4 ? FlagH : 0) | (into7 != out7 ? FlagPV : 0) | (out7 ? FlagC : 0));
    }
  }
};
constexpr TCarryFlagTable CarryFlags;

constexpr uint8_t CarryFlagsOf(unsigned First, unsigned Second, unsigned r) {
  return CarryFlags.Of[((First ^ Second ^ r) >> 4) & 0x19];
}

// F after First + Second + CarryIn: carry, signed overflow, half carry, S and Z
// of the result, N = 0, bits 3 and 5 of First (the operand, not the result).
constexpr uint8_t AddFlagsOf(unsigned First, unsigned Second, unsigned CarryIn) {
  const unsigned r = First + Second + CarryIn;
  return static_cast<uint8_t>(CarryFlagsOf(First, Second, r) | SignZero.Of[r & 0xFF] | (First & (Flag3 | Flag5)));
}

// F after First - Second - CarryIn, computed in unsigned int so that Second plus
// the carry may be 256 and still borrow.
constexpr uint8_t SubFlagsOf(unsigned First, unsigned Second, unsigned CarryIn) {
  const unsigned r = First - Second - CarryIn;
  return static_cast<uint8_t>(CarryFlagsOf(First, Second, r) | FlagN | SignZero.Of[r & 0xFF] |
                              (First & (Flag3 | Flag5)));
}

// Flag bytes that depend on one byte only.
struct TFlagTables {
  uint8_t Logic[256];  // S, Z, bits 3/5 and even parity: SetLogicFlags with H = 0
  uint8_t Inc[256];    // INC of the byte, all but C
  uint8_t Dec[256];    // DEC of the byte, all but C
  constexpr TFlagTables() : Logic(), Inc(), Dec() {
    for (unsigned v = 0; v < 256; ++v) {
      unsigned ones = 0;
      for (unsigned b = 0; b < 8; ++b) ones += (v >> b) & 1;
      Logic[v] = static_cast<uint8_t>(SignZeroOf(v) | (v & (Flag3 | Flag5)) | ((ones & 1) == 0 ? FlagPV : 0));
      Inc[v] = static_cast<uint8_t>(AddFlagsOf(v, 1, 0) & ~FlagC);
      Dec[v] = static_cast<uint8_t>(SubFlagsOf(v, 1, 0) & ~FlagC);
    }
  }
};

constexpr TFlagTables FlagTables;

// The flag arithmetic itself, inlined into the handlers.
inline uint8_t AddBytes(uint8_t First, uint8_t Second, uint8_t& F) {
  const uint8_t result = static_cast<uint8_t>(First + Second + (F & FlagC));
  F = AddFlagsOf(First, Second, F & FlagC);
  return result;
}

inline uint8_t SubBytes(uint8_t First, uint8_t Second, uint8_t& F) {
  const uint8_t result = static_cast<uint8_t>(First - Second - (F & FlagC));
  F = SubFlagsOf(First, Second, F & FlagC);
  return result;
}

inline uint8_t LogicFlags(uint8_t Value, bool HFlag) {
  return static_cast<uint8_t>(FlagTables.Logic[Value] | (HFlag ? FlagH : 0));
}

constexpr uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
constexpr uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v); }

}  // namespace

TCpuEmu::TCpuEmu() {
  InitOpcodeTable();
}

// ---------------------------------------------------------------------------
// Operations reached from the handlers

void TCpuEmu::PortRead(uint8_t Hi, uint8_t Lo, uint8_t& Data) {
  if (OnPortRead)
    OnPortRead(*this, static_cast<uint16_t>(Hi << 8 | Lo), Data);
  else
    Data = 0xFF;
}

void TCpuEmu::PortWrite(uint8_t Hi, uint8_t Lo, uint8_t Data) {
  if (OnPortWrite) OnPortWrite(*this, static_cast<uint16_t>(Hi << 8 | Lo), Data);
}

bool TCpuEmu::CheckForNonMaskIrq() {
  if (!OnCheckForNonMaskIrq) return false;
  bool isIrq = false;
  OnCheckForNonMaskIrq(*this, isIrq);
  return isIrq;
}

bool TCpuEmu::CheckForInterrupt(uint8_t& Vector) {
  if (!OnCheckForInterrupt) return false;
  bool isIrq = false;
  OnCheckForInterrupt(*this, isIrq, Vector);
  return isIrq;
}

void TCpuEmu::EndOfInterrupt() {
  if (OnEndOFInterrupt) OnEndOFInterrupt(*this);
}

uint8_t TCpuEmu::FetchByte() {
  const uint16_t pc = GetPC();
  SetPair(RegPCH, static_cast<uint16_t>(pc + 1));
  return Memory[pc];
}

void TCpuEmu::PushWord(uint8_t Hi, uint8_t Lo) { PushValue(static_cast<uint16_t>(Hi << 8 | Lo)); }

void TCpuEmu::PopWord(uint8_t& Hi, uint8_t& Lo) {
  const uint16_t word = PopValue();
  Lo = static_cast<uint8_t>(word);
  Hi = static_cast<uint8_t>(word >> 8);
}

// ---------------------------------------------------------------------------
// Public operations

void TCpuEmu::Reset(uint16_t StartPC) {
  std::memset(Registers, 0xFF, sizeof Registers);
  Registers[RegI] = 0;
  Registers[RegR] = 0;
  SetPair(RegPCH, StartPC);
  Opcode = 0;
  IndexPrefix = 0;
  WorkAddressHigh = WorkAddressLow = WorkByte1 = WorkByte2 = 0;
  InstructionPC = StartPC;
  CurrentPC = StartPC;
  InstructionCount = 0;
  CpuState = 0;
  FInterruptTaken = FVectorFed = false;
}

void TCpuEmu::LoadMemory(uint16_t Address, uint16_t Count, const void* Buffer) {
  const auto* source = static_cast<const uint8_t*>(Buffer);
  for (unsigned i = 0; i < Count; ++i) Memory[static_cast<uint16_t>(Address + i)] = source[i];
}

void TCpuEmu::SaveMemory(uint16_t Address, uint16_t Count, void* Buffer) const {
  auto* target = static_cast<uint8_t*>(Buffer);
  for (unsigned i = 0; i < Count; ++i) target[i] = Memory[static_cast<uint16_t>(Address + i)];
}

void TCpuEmu::InitOpcodeTable() {
  std::memset(Memory, 0, sizeof Memory);
  static constexpr THandler table[32] = {
      &TCpuEmu::DecodeQuadrant0, &TCpuEmu::OpLoad8OrHalt, &TCpuEmu::DecodeQuadrant2, &TCpuEmu::DecodeQuadrant3,
      &TCpuEmu::NoOperation,     &TCpuEmu::NoOperation,   &TCpuEmu::NoOperation,     &TCpuEmu::NoOperation,
      &TCpuEmu::OpRelJumps,      &TCpuEmu::OpLoad16Add16, &TCpuEmu::OpIndirectLoad,  &TCpuEmu::OpIncDec16,
      &TCpuEmu::OpInc8,          &TCpuEmu::OpDec8,        &TCpuEmu::OpLoadImm8,      &TCpuEmu::OpAccumulatorOps,
      &TCpuEmu::AluAdd,          &TCpuEmu::AluAdc,        &TCpuEmu::AluSub,          &TCpuEmu::AluSbc,
      &TCpuEmu::AluAnd,          &TCpuEmu::AluXor,        &TCpuEmu::AluOr,           &TCpuEmu::AluCp,
      &TCpuEmu::OpRetCond,       &TCpuEmu::OpPopMisc,     &TCpuEmu::OpJumpCond,      &TCpuEmu::OpJumpMisc,
      &TCpuEmu::OpCallCond,      &TCpuEmu::OpPushCallPrefix, &TCpuEmu::OpAluImm,     &TCpuEmu::OpRestart,
  };
  std::memcpy(OpcodeHandlers, table, sizeof table);
  Reset(0);
}

// Polls NMI and the maskable interrupt; returns true when the interrupting device's
// vector is to be executed as the next opcode (interrupt-mode fields 0 and 1).
// The interrupt block has already been handled by the caller.
CPU_NOINLINE bool TCpuEmu::AcceptInterrupt() {
  const auto leaveHalt = [this] {
    if (CpuState & CpuStateHalted) {
      SetPair(RegPCH, static_cast<uint16_t>(GetPC() + 1));
      CpuState &= static_cast<uint8_t>(~CpuStateHalted);
    }
  };
  // An instruction held after it came from a vector comes from it again,
  // before anything is polled.
  if (CpuState & CpuStateVectorHeld) {
    CpuState &= static_cast<uint8_t>(~CpuStateVectorHeld);
    Opcode = FVector;
    return true;
  }
  if (CheckForNonMaskIrq()) {
    FInterruptTaken = true;
    leaveHalt();
    if (CpuState & CpuStateIff1)
      CpuState |= CpuStateIff2;
    else
      CpuState &= static_cast<uint8_t>(~CpuStateIff2);
    CpuState &= static_cast<uint8_t>(~CpuStateIff1);
    PushWord(Registers[RegPCH], Registers[RegPCL]);
    SetPair(RegPCH, 0x0066);
    return false;
  }
  uint8_t vector = 0xFF;  // an idle data bus reads $FF
  if ((CpuState & CpuStateIff1) && CheckForInterrupt(vector)) {
    FInterruptTaken = true;
    leaveHalt();
    // Accepting a maskable interrupt disables both flip-flops, as on a Z80.
    CpuState &= static_cast<uint8_t>(~(CpuStateIff1 | CpuStateIff2));
    switch (CpuState & CpuStateModeMask) {
      case 2:  // IM 1
        PushWord(Registers[RegPCH], Registers[RegPCL]);
        SetPair(RegPCH, 0x0038);
        return false;
      case 3: {  // IM 2: the handler's address comes from the vector table at I x 256 + vector
        PushWord(Registers[RegPCH], Registers[RegPCL]);
        const uint16_t entry = static_cast<uint16_t>(Registers[RegI] << 8 | vector);
        SetPair(RegPCH, static_cast<uint16_t>(Memory[static_cast<uint16_t>(entry + 1)] << 8 | Memory[entry]));
        return false;
      }
      default:  // IM 0: the vector is executed as the opcode
        Opcode = vector;
        return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Flag helpers

uint8_t TCpuEmu::Add8(uint8_t First, uint8_t Second, uint8_t& F) { return AddBytes(First, Second, F); }

uint8_t TCpuEmu::Sub8(uint8_t First, uint8_t Second, uint8_t& F) { return SubBytes(First, Second, F); }

void TCpuEmu::SetLogicFlags(uint8_t Value, bool HFlag, uint8_t& F) { F = LogicFlags(Value, HFlag); }

void TCpuEmu::SetParityFlag(uint8_t Value, uint8_t& F) {
  F = static_cast<uint8_t>((F & ~FlagPV) | (FlagTables.Logic[Value] & FlagPV));
}

void TCpuEmu::DecimalAdjust(uint8_t& A, uint8_t& F) {
  const uint8_t low = A & 0x0F;
  uint8_t correction = 0;
  uint8_t newCarry = 0;
  if (A > 0x99 || (F & FlagC)) {
    correction = 0x60;
    newCarry = FlagC;
  }
  if ((F & FlagH) || low > 9) correction |= 0x06;
  F &= static_cast<uint8_t>(~FlagC);
  A = (F & FlagN) ? Sub8(A, correction, F) : Add8(A, correction, F);
  F = static_cast<uint8_t>((F & ~FlagC) | newCarry);
  SetParityFlag(A, F);
}

// ---------------------------------------------------------------------------
// Index helpers and calls out

CPU_ALWAYS_INLINE uint8_t TCpuEmu::MapIndexRegister(uint8_t code) const {
  code &= 7;
  if (IndexPrefix != 0 && (code == RegH || code == RegL))
    return static_cast<uint8_t>(code + ((IndexPrefix & 2) ? (RegIXH - RegH) : (RegIYH - RegH)));
  return code;
}

void TCpuEmu::AddDisplacement(uint8_t& High, uint8_t& Low, uint8_t d) {
  const uint16_t v = static_cast<uint16_t>((High << 8 | Low) + static_cast<int8_t>(d));
  High = Hi(v);
  Low = Lo(v);
}

CPU_ALWAYS_INLINE uint16_t TCpuEmu::GetIndexedAddress(TCycle& c) {
  if (IndexPrefix == 0) return GetPair(RegH);
  uint8_t high = Registers[(IndexPrefix & 2) ? RegIXH : RegIYH];
  uint8_t low = Registers[(IndexPrefix & 2) ? RegIXL : RegIYL];
  AddDisplacement(high, low, Fetch(c));
  return static_cast<uint16_t>(high << 8 | low);
}

template <class TOp>
CPU_ALWAYS_INLINE uint8_t TCpuEmu::MapIndex(TOp, uint8_t code) const {
  if constexpr (TOp::Unprefixed)
    return code & 7;
  else
    return MapIndexRegister(code);
}

template <class TOp>
CPU_ALWAYS_INLINE uint16_t TCpuEmu::IndexedAddress(TOp, TCycle& c) {
  if constexpr (TOp::Unprefixed)
    return GetPair(RegH);
  else
    return GetIndexedAddress(c);
}

// Every handler but DD and FD ends the prefix; without one there is nothing to end.
template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::EndPrefix(TOp) {
  if constexpr (!TOp::Unprefixed) IndexPrefix = 0;
}

CPU_ALWAYS_INLINE bool TCpuEmu::TestCondition(uint8_t cc) const {
  static constexpr uint8_t conditionMasks[4] = {FlagZ, FlagC, FlagPV, FlagS};
  const bool set = (Registers[RegF] & conditionMasks[(cc >> 1) & 3]) != 0;
  return (cc & 1) ? set : !set;
}

// During an instruction CurrentPC is the PC after the one before, where this one began.
// Runs an event with the cycle state written back to the fields, and takes the
// state up again afterwards (the event may change registers, memory or PC). The
// run's own bookkeeping is kept: it still has the instructions it had left,
// whatever the event did to InstructionCount (a Reset clears it, instructions
// the event runs itself advance it, and a hold that ended them is not its own).
template <class TEvent>
CPU_ALWAYS_INLINE void TCpuEmu::CallOut(TCycle& c, uint8_t Pending, TEvent&& Event) {
  const uint64_t left = c.Left;
  const int32_t runBreakPoint = RunBreakPoint;
  StoreCycle(c, Pending);
  Event();
  CountAtEnd = InstructionCount + left;
  RunBreakPoint = runBreakPoint;
  FHeld = false;
  c = LoadCycle(Pending);
}

CPU_ALWAYS_INLINE bool TCpuEmu::PortReadFrom(TCycle& c, uint8_t Hi, uint8_t Lo, uint8_t& Data) {
  CurrentPC = InstructionPC;
  FHoldRequested = false;
  CallOut(c, WithinInstruction, [&] { PortRead(Hi, Lo, Data); });
  if (!FHoldRequested) [[likely]]
    return false;
  FHoldRequested = false;
  return true;
}

CPU_ALWAYS_INLINE bool TCpuEmu::PortWriteFrom(TCycle& c, uint8_t Hi, uint8_t Lo, uint8_t Data) {
  CurrentPC = InstructionPC;
  FHoldRequested = false;
  CallOut(c, WithinInstruction, [&] { PortWrite(Hi, Lo, Data); });
  if (!FHoldRequested) [[likely]]
    return false;
  FHoldRequested = false;
  return true;
}

// Every byte of the instruction up to PC, but an operand, was an opcode fetch:
// the first is implied by the count, each further one advanced R on its own
// (in a call that goes on with a chain of prefixes, its first fetch too; that
// call took one off R at its start; a first byte that came from an interrupt
// vector took one off too). With R's base, the count and PC as before the
// instruction, the run's closing decrement of Left leaves the count where it
// was and ends the run. An interrupt accepted at the instruction's start stays
// taken: the instruction starts on the handler, or for interrupt mode 0 on the
// vector, which is kept for the next run.
CPU_ALWAYS_INLINE void TCpuEmu::EndRunOnHold(TCycle& c, uint8_t OperandBytes) {
  const uint16_t start = FInterruptTaken ? FHandlerStart : InstructionPC;
  const uint16_t fetched = static_cast<uint16_t>(c.PC - start - OperandBytes);
  c.RBase = static_cast<uint8_t>(c.RBase - (fetched - 1));
  c.PC = start;
  InstructionPC = start;
  if (FVectorFed) [[unlikely]]
    CpuState |= CpuStateVectorHeld;
  else
    CpuState |= CpuStateIrqBlock;
  FHeld = true;
  FHeldLeft = c.Left;
  CountAtEnd -= c.Left;
  c.Left = 1;
}

// ---------------------------------------------------------------------------
// x = 0

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::DecodeQuadrant0(TOp op, TCycle& c) {
  switch (op.Value() & 7) {
    case 0: OpRelJumps(op, c); break;
    case 1: OpLoad16Add16(op, c); break;
    case 2: OpIndirectLoad(op, c); break;
    case 3: OpIncDec16(op, c); break;
    case 4: OpInc8(op, c); break;
    case 5: OpDec8(op, c); break;
    case 6: OpLoadImm8(op, c); break;
    default: OpAccumulatorOps(op, c); break;
  }
  EndPrefix(op);
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpRelJumps(TOp op, TCycle& c) {
  const uint8_t y = (op.Value() >> 3) & 7;
  if (y == 0) return;  // NOP
  if (y == 1) {        // EX AF,AF'
    std::swap(Registers[RegA], Registers[RegAltA]);
    std::swap(Registers[RegF], Registers[RegAltF]);
    return;
  }
  const uint8_t e = Fetch(c);
  bool taken;
  if (y == 2)
    taken = --Registers[RegB] != 0;  // DJNZ
  else if (y == 3)
    taken = true;  // JR
  else
    taken = TestCondition(static_cast<uint8_t>(y - 4));
  if (taken) c.PC = static_cast<uint16_t>(c.PC + static_cast<int8_t>(e));
  CopyUndocFlags(Lo(c.PC));
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpLoad16Add16(TOp op, TCycle& c) {
  const uint8_t p = (op.Value() >> 4) & 3;
  const uint8_t pairCode = p == 3 ? static_cast<uint8_t>(RegSPH) : MapIndex(op, static_cast<uint8_t>(p * 2));
  if ((op.Value() & 8) == 0) {  // LD rp,nn
    Registers[pairCode + 1] = Fetch(c);
    Registers[pairCode] = Fetch(c);
    return;
  }
  // ADD HL,rp: the flags of two 8-bit adds, low bytes first, of which the high
  // one gives C, H and bits 3/5 (from H before the add); N is 0, and S, Z and
  // P/V are kept from before. Computed as one 16-bit add.
  const uint8_t hl = MapIndex(op, RegH);
  const unsigned first = GetPair(hl);
  const unsigned second = GetPair(pairCode);
  const unsigned sum = first + second;
  SetPair(hl, static_cast<uint16_t>(sum));
  Registers[RegF] = static_cast<uint8_t>((Registers[RegF] & (FlagS | FlagZ | FlagPV)) | (sum >> 16) |
                                         (((first ^ second ^ sum) >> 8) & FlagH) | ((first >> 8) & (Flag3 | Flag5)));
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpIndirectLoad(TOp op, TCycle& c) {
  const uint8_t y = (op.Value() >> 3) & 7;
  uint16_t address;
  switch (y >> 1) {
    case 0: address = GetPair(RegB); break;
    case 1: address = GetPair(RegD); break;
    default: address = FetchWord(c); break;
  }
  switch (y) {
    case 4:  // LD (nn),HL
      StoreWord(address, GetPair(MapIndex(op, RegH)));
      break;
    case 5:  // LD HL,(nn)
      SetPair(MapIndex(op, RegH), LoadWord(address));
      break;
    default:
      if (y & 1)
        Registers[RegA] = Memory[address];
      else
        Memory[address] = Registers[RegA];
      break;
  }
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpIncDec16(TOp op, TCycle&) {
  const uint8_t p = (op.Value() >> 4) & 3;
  const uint8_t pairCode = p == 3 ? static_cast<uint8_t>(RegSPH) : MapIndex(op, static_cast<uint8_t>(p * 2));
  const uint16_t v = GetPair(pairCode);
  SetPair(pairCode, static_cast<uint16_t>((op.Value() & 8) ? v - 1 : v + 1));
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpInc8(TOp op, TCycle& c) {
  const uint8_t y = (op.Value() >> 3) & 7;
  uint8_t& target = y == 6 ? Memory[IndexedAddress(op, c)] : Registers[MapIndex(op, y)];
  const uint8_t v = target;
  target = static_cast<uint8_t>(v + 1);
  Registers[RegF] = static_cast<uint8_t>(FlagTables.Inc[v] | (Registers[RegF] & FlagC));  // C unchanged
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpDec8(TOp op, TCycle& c) {
  const uint8_t y = (op.Value() >> 3) & 7;
  uint8_t& target = y == 6 ? Memory[IndexedAddress(op, c)] : Registers[MapIndex(op, y)];
  const uint8_t v = target;
  target = static_cast<uint8_t>(v - 1);
  Registers[RegF] = static_cast<uint8_t>(FlagTables.Dec[v] | (Registers[RegF] & FlagC));  // C unchanged
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpLoadImm8(TOp op, TCycle& c) {
  const uint8_t y = (op.Value() >> 3) & 7;
  if (y == 6) {
    const uint16_t address = IndexedAddress(op, c);  // d comes before n
    Memory[address] = Fetch(c);
  } else {
    Registers[MapIndex(op, y)] = Fetch(c);
  }
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpAccumulatorOps(TOp op, TCycle&) {
  uint8_t& a = Registers[RegA];
  uint8_t& f = Registers[RegF];
  constexpr uint8_t kept = FlagS | FlagZ | FlagPV;
  switch ((op.Value() >> 3) & 7) {
    case 0: {  // RLCA
      const uint8_t out = a >> 7;
      a = static_cast<uint8_t>(a << 1 | out);
      f = static_cast<uint8_t>((f & kept) | (a & (Flag3 | Flag5)) | out);
      break;
    }
    case 1: {  // RRCA
      const uint8_t out = a & 1;
      a = static_cast<uint8_t>(a >> 1 | out << 7);
      f = static_cast<uint8_t>((f & kept) | (a & (Flag3 | Flag5)) | out);
      break;
    }
    case 2: {  // RLA
      const uint8_t out = a >> 7;
      a = static_cast<uint8_t>(a << 1 | (f & FlagC));
      f = static_cast<uint8_t>((f & kept) | (a & (Flag3 | Flag5)) | out);
      break;
    }
    case 3: {  // RRA
      const uint8_t out = a & 1;
      a = static_cast<uint8_t>(a >> 1 | (f & FlagC) << 7);
      f = static_cast<uint8_t>((f & kept) | (a & (Flag3 | Flag5)) | out);
      break;
    }
    case 4: DecimalAdjust(a, f); break;
    case 5:  // CPL
      a = static_cast<uint8_t>(~a);
      f |= FlagN | FlagH;
      break;
    case 6:  // SCF
      f = static_cast<uint8_t>((f & ~(FlagN | FlagH)) | FlagC);
      break;
    default:  // CCF: H takes the old carry
      f = static_cast<uint8_t>((f & ~(FlagN | FlagH | FlagC)) | ((f & FlagC) << 4) | ((f & FlagC) ^ FlagC));
      break;
  }
}

// ---------------------------------------------------------------------------
// x = 1

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpLoad8OrHalt(TOp op, TCycle& c) {
  const uint8_t y = (op.Value() >> 3) & 7;
  const uint8_t z = op.Value() & 7;
  if (op.Value() == 0x76) {
    // HALT: stay on the HALT byte until an interrupt is accepted. Clearing the
    // prefix below ends the instruction even when a DD or FD stood before it.
    CpuState |= CpuStateHalted;
    --c.PC;
  } else if (z == 6) {
    Registers[y] = Memory[IndexedAddress(op, c)];  // LD H,(IX+d) loads H itself
  } else if (y == 6) {
    Memory[IndexedAddress(op, c)] = Registers[z];
  } else {
    Registers[MapIndex(op, y)] = Registers[MapIndex(op, z)];
  }
  EndPrefix(op);
}

// ---------------------------------------------------------------------------
// x = 2 and the accumulator operations

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::DecodeQuadrant2(TOp op, TCycle& c) {
  const uint8_t z = op.Value() & 7;
  const uint8_t operand = z == 6 ? Memory[IndexedAddress(op, c)] : Registers[MapIndex(op, z)];
  NoteAluOperand(op, operand);
  AluOperation((op.Value() >> 3) & 7, operand);
  EndPrefix(op);
}

CPU_ALWAYS_INLINE void TCpuEmu::AluOperation(uint8_t operation, uint8_t operand) {
  uint8_t& a = Registers[RegA];
  uint8_t& f = Registers[RegF];
  switch (operation) {
    case 0: f &= static_cast<uint8_t>(~FlagC); a = AddBytes(a, operand, f); break;  // ADD
    case 1: a = AddBytes(a, operand, f); break;                                      // ADC
    case 2: f &= static_cast<uint8_t>(~FlagC); a = SubBytes(a, operand, f); break;  // SUB
    case 3: a = SubBytes(a, operand, f); break;                                      // SBC
    case 4: a &= operand; f = LogicFlags(a, true); break;                      // AND
    case 5: a ^= operand; f = LogicFlags(a, false); break;                     // XOR
    case 6: a |= operand; f = LogicFlags(a, false); break;                     // OR
    default:                                                                     // CP
      f &= static_cast<uint8_t>(~FlagC);
      SubBytes(a, operand, f);
      f = static_cast<uint8_t>((f & ~(Flag3 | Flag5)) | (operand & (Flag3 | Flag5)));
      break;
  }
}

void TCpuEmu::AluAdd() { AluOperation(0, WorkByte1); }
void TCpuEmu::AluAdc() { AluOperation(1, WorkByte1); }
void TCpuEmu::AluSub() { AluOperation(2, WorkByte1); }
void TCpuEmu::AluSbc() { AluOperation(3, WorkByte1); }
void TCpuEmu::AluAnd() { AluOperation(4, WorkByte1); }
void TCpuEmu::AluXor() { AluOperation(5, WorkByte1); }
void TCpuEmu::AluOr() { AluOperation(6, WorkByte1); }
void TCpuEmu::AluCp() { AluOperation(7, WorkByte1); }

// ---------------------------------------------------------------------------
// x = 3

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::DecodeQuadrant3(TOp op, TCycle& c) {
  switch (op.Value() & 7) {
    case 0: OpRetCond(op, c); break;
    case 1: OpPopMisc(op, c); break;
    case 2: OpJumpCond(op, c); break;
    case 3: OpJumpMisc(op, c); break;
    case 4: OpCallCond(op, c); break;
    case 5: OpPushCallPrefix(op, c); break;
    case 6: OpAluImm(op, c); break;
    default: OpRestart(op, c); break;
  }
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpRetCond(TOp op, TCycle& c) {
  if (TestCondition((op.Value() >> 3) & 7)) PopPC(c);
  EndPrefix(op);
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpPopMisc(TOp op, TCycle& c) {
  const uint8_t p = (op.Value() >> 4) & 3;
  if ((op.Value() & 8) == 0) {  // POP rp2; POP AF takes F from SP and A from SP + 1
    if (p == 3)
      SetAF(PopValue());
    else
      SetPair(MapIndex(op, static_cast<uint8_t>(p * 2)), PopValue());
  } else {
    switch (p) {
      case 0: PopPC(c); break;  // RET
      case 1:                   // EXX
        for (uint8_t code = RegB; code <= RegL; ++code) std::swap(Registers[code], Registers[code + 16]);
        break;
      case 2: c.PC = GetPair(MapIndex(op, RegH)); break;                // JP (HL)
      default: SetPair(RegSPH, GetPair(MapIndex(op, RegH))); break;  // LD SP,HL
    }
  }
  EndPrefix(op);
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpJumpCond(TOp op, TCycle& c) {
  if (TestCondition((op.Value() >> 3) & 7))
    c.PC = FetchWord(c);
  else
    c.PC = static_cast<uint16_t>(c.PC + 2);
  EndPrefix(op);
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpJumpMisc(TOp op, TCycle& c) {
  switch ((op.Value() >> 3) & 7) {
    case 0: c.PC = FetchWord(c); break;  // JP nn
    case 1: c = OpCbGroup(c); break;
    case 2: {  // OUT (n),A: A is on the high half of the port address
      const uint8_t port = Fetch(c);
      if (PortWriteFrom(c, Registers[RegA], port, Registers[RegA])) [[unlikely]]
        EndRunOnHold(c, 1);
      break;
    }
    case 3: {  // IN A,(n): the handler's byte goes straight into A
      const uint8_t port = Fetch(c);
      const uint8_t a = Registers[RegA];
      if (PortReadFrom(c, a, port, Registers[RegA])) [[unlikely]] {
        Registers[RegA] = a;
        EndRunOnHold(c, 1);
      }
      break;
    }
    case 4: {  // EX (SP),HL
      const uint8_t hl = MapIndex(op, RegH);
      const uint16_t sp = GetPair(RegSPH);
      const uint16_t top = LoadWord(sp);
      StoreWord(sp, GetPair(hl));
      SetPair(hl, top);
      break;
    }
    case 5:  // EX DE,HL (never the index registers)
      std::swap(Registers[RegD], Registers[RegH]);
      std::swap(Registers[RegE], Registers[RegL]);
      break;
    case 6:  // DI
      CpuState = static_cast<uint8_t>((CpuState & ~(CpuStateIff1 | CpuStateIff2)) | CpuStateIrqBlock);
      break;
    default:  // EI
      CpuState |= CpuStateIff1 | CpuStateIff2 | CpuStateIrqBlock;
      break;
  }
  EndPrefix(op);
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpCallCond(TOp op, TCycle& c) {
  if (TestCondition((op.Value() >> 3) & 7)) {
    const uint16_t target = FetchWord(c);
    PushPC(c);
    c.PC = target;
  } else {
    c.PC = static_cast<uint16_t>(c.PC + 2);
  }
  EndPrefix(op);
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpPushCallPrefix(TOp op, TCycle& c) {
  const uint8_t p = (op.Value() >> 4) & 3;
  if ((op.Value() & 8) == 0) {  // PUSH rp2; PUSH AF puts A at SP - 1 and F at SP - 2
    if (p == 3)
      PushValue(GetAF());
    else
      PushValue(GetPair(MapIndex(op, static_cast<uint8_t>(p * 2))));
    EndPrefix(op);
    return;
  }
  switch (p) {
    case 0: {  // CALL nn
      const uint16_t target = FetchWord(c);
      PushPC(c);
      c.PC = target;
      EndPrefix(op);
      break;
    }
    case 1:  // DD: the instruction that follows runs in the same call
      IndexPrefix = 2;
      CpuState |= CpuStateIrqBlock;
      break;
    case 2:
      c = OpEdGroup(c);
      EndPrefix(op);
      break;
    default:  // FD
      IndexPrefix = 1;
      CpuState |= CpuStateIrqBlock;
      break;
  }
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpAluImm(TOp op, TCycle& c) {
  const uint8_t operand = Fetch(c);
  NoteAluOperand(op, operand);
  AluOperation((op.Value() >> 3) & 7, operand);
  EndPrefix(op);
}

template <class TOp>
CPU_ALWAYS_INLINE void TCpuEmu::OpRestart(TOp op, TCycle& c) {
  PushPC(c);
  c.PC = op.Value() & 0x38;
  EndPrefix(op);
}

// ---------------------------------------------------------------------------
// CB group

TCpuEmu::TCycle TCpuEmu::OpCbGroup(TCycle c) {
  const uint16_t address = GetIndexedAddress(c);  // under DD/FD this fetches d
  Opcode = Fetch(c);
  IncrementRefresh(c);
  const uint8_t r = Opcode & 7;
  switch (Opcode >> 6) {
    case 0: OpRotateShift(address, r); break;
    case 1: OpBitTest(address, r); break;
    case 2: OpBitResetSet(address, r, false); break;
    default: OpBitResetSet(address, r, true); break;
  }
  return c;
}

void TCpuEmu::OpRotateShift(uint16_t address, uint8_t r) {
  const bool inMemory = r == 6 || IndexPrefix != 0;
  const uint8_t v = inMemory ? Memory[address] : Registers[r];
  uint8_t& f = Registers[RegF];
  uint8_t result;
  uint8_t out;
  switch ((Opcode >> 3) & 7) {
    case 0: out = v >> 7; result = static_cast<uint8_t>(v << 1 | out); break;              // RLC
    case 1: out = v & 1; result = static_cast<uint8_t>(v >> 1 | out << 7); break;          // RRC
    case 2: out = v >> 7; result = static_cast<uint8_t>(v << 1 | (f & FlagC)); break;      // RL
    case 3: out = v & 1; result = static_cast<uint8_t>(v >> 1 | (f & FlagC) << 7); break;  // RR
    case 4: out = v >> 7; result = static_cast<uint8_t>(v << 1); break;                    // SLA
    case 5: out = v & 1; result = static_cast<uint8_t>((v >> 1) | (v & 0x80)); break;      // SRA
    case 6: out = v >> 7; result = static_cast<uint8_t>(v << 1 | 1); break;                // SLL
    default: out = v & 1; result = static_cast<uint8_t>(v >> 1); break;                    // SRL
  }
  f = LogicFlags(result, false);
  f |= out;
  if (inMemory) Memory[address] = result;
  if (r != 6) Registers[r] = result;  // under DD/FD the result also goes to register r
}

void TCpuEmu::OpBitTest(uint16_t address, uint8_t r) {
  const uint8_t v = (r == 6 || IndexPrefix != 0) ? Memory[address] : Registers[r];
  uint8_t& f = Registers[RegF];
  const uint8_t carry = f & FlagC;
  f = LogicFlags(static_cast<uint8_t>(v & SetMasks[(Opcode >> 3) & 7]), true);
  f |= carry;
}

void TCpuEmu::OpBitResetSet(uint16_t address, uint8_t r, bool set) {
  const uint8_t bit = (Opcode >> 3) & 7;
  // Under DD/FD only memory changes, whatever r says.
  uint8_t& target = (r == 6 || IndexPrefix != 0) ? Memory[address] : Registers[r];
  if (set)
    SetFlagBit(target, bit);
  else
    ClearFlagBit(target, bit);
}

// ---------------------------------------------------------------------------
// ED group (the index prefix never applies here)

TCpuEmu::TCycle TCpuEmu::OpEdGroup(TCycle c) {
  Opcode = Fetch(c);
  IncrementRefresh(c);
  switch (Opcode >> 6) {
    case 1: DecodeEdQuadrant1(c); break;
    case 2: OpBlock(c); break;
    default: break;  // ED 00-3F and C0-FF: two-byte no-operation
  }
  return c;
}

void TCpuEmu::DecodeEdQuadrant1(TCycle& c) {
  switch (Opcode & 7) {
    case 0: OpInPortC(c); break;
    case 1: OpOutPortC(c); break;
    case 2: OpAdcSbc16(); break;
    case 3: OpLoad16Mem(c); break;
    case 4: OpNeg(); break;
    case 5: OpRetnReti(c); break;
    case 6: OpSetIm(); break;
    default: OpEdMisc(c); break;
  }
}

void TCpuEmu::OpInPortC(TCycle& c) {
  const uint8_t y = (Opcode >> 3) & 7;
  uint8_t data = 0;
  if (PortReadFrom(c, Registers[RegB], Registers[RegC], data)) [[unlikely]] {
    EndRunOnHold(c, 0);
    return;
  }
  if (y != 6) Registers[y] = data;  // ED 70 only sets the flags
  uint8_t& f = Registers[RegF];
  const uint8_t carry = f & FlagC;
  f = LogicFlags(data, false);
  f |= carry;
}

void TCpuEmu::OpOutPortC(TCycle& c) {
  const uint8_t y = (Opcode >> 3) & 7;
  if (PortWriteFrom(c, Registers[RegB], Registers[RegC], y == 6 ? 0 : Registers[y])) [[unlikely]]
    EndRunOnHold(c, 0);
}

void TCpuEmu::OpAdcSbc16() {
  const uint8_t p = (Opcode >> 4) & 3;
  const uint8_t pairCode = p == 3 ? static_cast<uint8_t>(RegSPH) : static_cast<uint8_t>(p * 2);
  const uint8_t operandLow = Registers[pairCode + 1];
  const uint8_t operandHigh = Registers[pairCode];
  uint8_t f = Registers[RegF];
  if (Opcode & 8) {  // ADC HL,rp
    Registers[RegL] = AddBytes(Registers[RegL], operandLow, f);
    Registers[RegH] = AddBytes(Registers[RegH], operandHigh, f);
  } else {  // SBC HL,rp
    Registers[RegL] = SubBytes(Registers[RegL], operandLow, f);
    Registers[RegH] = SubBytes(Registers[RegH], operandHigh, f);
  }
  Registers[RegF] = static_cast<uint8_t>((f & ~FlagZ) | (GetPair(RegH) == 0 ? FlagZ : 0));  // Z over all 16 bits
}

void TCpuEmu::OpLoad16Mem(TCycle& c) {
  const uint8_t p = (Opcode >> 4) & 3;
  const uint8_t pairCode = p == 3 ? static_cast<uint8_t>(RegSPH) : static_cast<uint8_t>(p * 2);
  const uint16_t address = FetchWord(c);
  if (Opcode & 8)
    SetPair(pairCode, LoadWord(address));
  else
    StoreWord(address, GetPair(pairCode));
}

void TCpuEmu::OpNeg() {
  const uint8_t t = Registers[RegA];
  uint8_t f = 0;
  Registers[RegA] = SubBytes(0, t, f);
  Registers[RegF] = static_cast<uint8_t>((f & ~(FlagPV | FlagC)) | (t == 0x80 ? FlagPV : 0) | (t != 0 ? FlagC : 0));
}

void TCpuEmu::OpRetnReti(TCycle& c) {
  if (Opcode == 0x4D) {  // RETI
    CurrentPC = InstructionPC;
    CallOut(c, WithinInstruction, [this] { EndOfInterrupt(); });
  } else if (CpuState & CpuStateIff2) {  // RETN: IFF1 := IFF2
    CpuState |= CpuStateIff1;
  } else {
    CpuState &= static_cast<uint8_t>(~CpuStateIff1);
  }
  PopPC(c);
}

void TCpuEmu::OpSetIm() {
  const uint8_t mode = static_cast<uint8_t>(((Opcode >> 3) & 1) | ((Opcode >> 3) & 2));
  CpuState = static_cast<uint8_t>((CpuState & ~CpuStateModeMask) | mode);
}

void TCpuEmu::OpEdMisc(TCycle& c) {
  uint8_t& a = Registers[RegA];
  uint8_t& f = Registers[RegF];
  const uint8_t carry = f & FlagC;
  switch ((Opcode >> 3) & 7) {
    case 0: Registers[RegI] = a; break;  // LD I,A
    case 1:  // LD R,A (all eight bits)
      Registers[RegR] = a;
      c.RBase = static_cast<uint8_t>(a - static_cast<uint8_t>(CountOf(c)) - WithinInstruction);
      break;
    case 2:                              // LD A,I
    case 3:                              // LD A,R
      a = (Opcode & 8) ? RefreshValue(c, WithinInstruction) : Registers[RegI];
      f = LogicFlags(a, false);
      f = static_cast<uint8_t>((f & ~FlagPV) | carry | ((CpuState & CpuStateIff2) ? FlagPV : 0));
      break;
    case 4: {  // RRD
      const uint16_t hl = GetPair(RegH);
      const uint8_t m = Memory[hl];
      Memory[hl] = static_cast<uint8_t>((a & 0x0F) << 4 | m >> 4);
      a = static_cast<uint8_t>((a & 0xF0) | (m & 0x0F));
      f = LogicFlags(a, false);
      f |= carry;
      break;
    }
    case 5: {  // RLD
      const uint16_t hl = GetPair(RegH);
      const uint8_t m = Memory[hl];
      Memory[hl] = static_cast<uint8_t>((m << 4 & 0xF0) | (a & 0x0F));
      a = static_cast<uint8_t>((a & 0xF0) | m >> 4);
      f = LogicFlags(a, false);
      f |= carry;
      break;
    }
    default: break;  // ED 77, ED 7F
  }
}

// Block transfers, searches and I/O: one iteration per call. Bit 5 of the opcode
// is not decoded, so ED 80-9B act as ED A0-BB. A repeating form that must go on
// steps PC back onto its own ED byte.
void TCpuEmu::OpBlock(TCycle& c) {
  const uint8_t z = Opcode & 7;
  if (z >= 4) return;
  const bool decrement = (Opcode & 8) != 0;
  const bool repeat = (Opcode & 0x10) != 0;
  const uint16_t hl = GetPair(RegH);
  SetPair(RegH, static_cast<uint16_t>(decrement ? hl - 1 : hl + 1));
  uint8_t& f = Registers[RegF];
  const uint8_t carry = f & FlagC;
  bool again;
  switch (z) {
    case 0: {  // LDI, LDD, LDIR, LDDR
      const uint16_t de = GetPair(RegD);
      Memory[de] = Memory[hl];
      SetPair(RegD, static_cast<uint16_t>(decrement ? de - 1 : de + 1));
      const uint16_t bc = static_cast<uint16_t>(GetPair(RegB) - 1);
      SetPair(RegB, bc);
      f = static_cast<uint8_t>((f & (FlagS | FlagZ | FlagC)) | (bc != 0 ? FlagPV : 0) |
                               (Registers[RegB] & (Flag3 | Flag5)));
      again = bc != 0;
      break;
    }
    case 1: {  // CPI, CPD, CPIR, CPDR
      const uint8_t m = Memory[hl];
      f &= static_cast<uint8_t>(~FlagC);
      const uint8_t difference = SubBytes(Registers[RegA], m, f);
      const uint16_t bc = static_cast<uint16_t>(GetPair(RegB) - 1);
      SetPair(RegB, bc);
      f = static_cast<uint8_t>((f & ~(FlagPV | FlagC)) | (bc != 0 ? FlagPV : 0) | carry);
      again = bc != 0 && difference != 0;
      break;
    }
    case 2: {  // INI, IND, INIR, INDR: the port's high byte is B before the decrement
      WorkByte2 = 0xFF;
      if (PortReadFrom(c, Registers[RegB], Registers[RegC], WorkByte2)) [[unlikely]] {
        SetPair(RegH, hl);  // memory, B and the flags have not changed yet
        EndRunOnHold(c, 0);
        return;
      }
      const uint8_t data = WorkByte2;
      Memory[hl] = data;
      const uint8_t b = --Registers[RegB];
      f = static_cast<uint8_t>((data & ~(FlagZ | FlagC)) | (b == 0 ? FlagZ : 0) | FlagN | carry);
      again = b != 0;
      break;
    }
    default: {  // OUTI, OUTD, OTIR, OTDR
      const uint8_t data = Memory[hl];
      if (PortWriteFrom(c, Registers[RegB], Registers[RegC], data)) [[unlikely]] {
        SetPair(RegH, hl);  // B and the flags have not changed yet
        EndRunOnHold(c, 0);
        return;
      }
      const uint8_t b = --Registers[RegB];
      f = static_cast<uint8_t>((data & ~(FlagZ | FlagC)) | (b == 0 ? FlagZ : 0) | FlagN | carry);
      again = b != 0;
      break;
    }
  }
  if (repeat && again) c.PC = static_cast<uint16_t>(c.PC - 2);
}

// ---------------------------------------------------------------------------
// The execution cycle

// Applies M to every opcode byte, as a literal (the dispatch labels are named by it).
#define CPU_REPEAT256(M) \
  M(0) M(1) M(2) M(3) M(4) M(5) M(6) M(7) M(8) M(9) M(10) M(11) M(12) M(13) M(14) M(15) \
  M(16) M(17) M(18) M(19) M(20) M(21) M(22) M(23) M(24) M(25) M(26) M(27) M(28) M(29) M(30) M(31) \
  M(32) M(33) M(34) M(35) M(36) M(37) M(38) M(39) M(40) M(41) M(42) M(43) M(44) M(45) M(46) M(47) \
  M(48) M(49) M(50) M(51) M(52) M(53) M(54) M(55) M(56) M(57) M(58) M(59) M(60) M(61) M(62) M(63) \
  M(64) M(65) M(66) M(67) M(68) M(69) M(70) M(71) M(72) M(73) M(74) M(75) M(76) M(77) M(78) M(79) \
  M(80) M(81) M(82) M(83) M(84) M(85) M(86) M(87) M(88) M(89) M(90) M(91) M(92) M(93) M(94) M(95) \
  M(96) M(97) M(98) M(99) M(100) M(101) M(102) M(103) M(104) M(105) M(106) M(107) M(108) M(109) M(110) M(111) \
  M(112) M(113) M(114) M(115) M(116) M(117) M(118) M(119) M(120) M(121) M(122) M(123) M(124) M(125) M(126) M(127) \
  M(128) M(129) M(130) M(131) M(132) M(133) M(134) M(135) M(136) M(137) M(138) M(139) M(140) M(141) M(142) M(143) \
  M(144) M(145) M(146) M(147) M(148) M(149) M(150) M(151) M(152) M(153) M(154) M(155) M(156) M(157) M(158) M(159) \
  M(160) M(161) M(162) M(163) M(164) M(165) M(166) M(167) M(168) M(169) M(170) M(171) M(172) M(173) M(174) M(175) \
  M(176) M(177) M(178) M(179) M(180) M(181) M(182) M(183) M(184) M(185) M(186) M(187) M(188) M(189) M(190) M(191) \
  M(192) M(193) M(194) M(195) M(196) M(197) M(198) M(199) M(200) M(201) M(202) M(203) M(204) M(205) M(206) M(207) \
  M(208) M(209) M(210) M(211) M(212) M(213) M(214) M(215) M(216) M(217) M(218) M(219) M(220) M(221) M(222) M(223) \
  M(224) M(225) M(226) M(227) M(228) M(229) M(230) M(231) M(232) M(233) M(234) M(235) M(236) M(237) M(238) M(239) \
  M(240) M(241) M(242) M(243) M(244) M(245) M(246) M(247) M(248) M(249) M(250) M(251) M(252) M(253) M(254) M(255)


template <uint8_t N, bool NoPrefix>
CPU_ALWAYS_INLINE void TCpuEmu::DispatchOpcode(TCycle& c) {
  constexpr TFixedOpcode<N, NoPrefix> op;
  if constexpr ((N >> 6) == 0)
    DecodeQuadrant0(op, c);
  else if constexpr ((N >> 6) == 1)
    OpLoad8OrHalt(op, c);
  else if constexpr ((N >> 6) == 2)
    DecodeQuadrant2(op, c);
  else
    DecodeQuadrant3(op, c);
}

// Step 2a: a pending interrupt, or else the next opcode byte, into Opcode. The
// first fetch of an instruction advances R through the instruction count; a
// fetch after a prefix (Further) counts on its own.
CPU_ALWAYS_INLINE void TCpuEmu::FetchOpcode(TCycle& c, bool Further) {
  if (CpuState & CpuStateIrqBlock) {
    CpuState &= static_cast<uint8_t>(~CpuStateIrqBlock);
  } else if (InterruptPollsAssigned() || (CpuState & CpuStateVectorHeld)) [[unlikely]] {
    bool opcodeHandedOver = false;
    CallOut(c, Further ? WithinInstruction : 0, [&] { opcodeHandedOver = AcceptInterrupt(); });
    // An accepted interrupt is done: the instruction that a hold undoes starts
    // where it moved PC (the handler). InstructionPC keeps the interrupted PC.
    if (FInterruptTaken) FHandlerStart = c.PC;
    if (opcodeHandedOver) {
      // The vector byte was not fetched: R does not advance for it.
      if (!Further) {
        --c.RBase;
        FVectorFed = true;
        FVector = Opcode;
      }
      return;
    }
  }
  Opcode = Fetch(c);
  if (Further) IncrementRefresh(c);
}

#define CPU_CASE(n)                   \
  case (n):                           \
    DispatchOpcode<(n), NoPrefix>(c); \
    break;

// Each pass fetches one opcode byte and runs it; a further DD or FD keeps the
// prefix set (the last one wins) for the pass after. Prefixes alone never end an
// instruction, and memory full of them would be followed round the address space
// for ever, so one call makes at most PrefixPassLimit passes. At that bound the
// call ends as one counted instruction with the prefix still pending, and with
// the interrupt block its last prefix set, so the next call goes on with the
// chain and nothing comes in between. Real programs never chain that many.
CPU_FLATTEN TCpuEmu::TCycle TCpuEmu::ExecutePrefixedPasses(TCycle c) {
  constexpr bool NoPrefix = false;
  for (unsigned pass = 0; IndexPrefix != 0 && pass < PrefixPassLimit; ++pass) {
    FetchOpcode(c, true);
    switch (Opcode) { CPU_REPEAT256(CPU_CASE) }
  }
  return c;
}

// Steps 3 and 4, and 5 when OnOpcodeDone is assigned and the instruction was not held.
CPU_ALWAYS_INLINE void TCpuEmu::FinishInstruction(TCycle& c) {
  CurrentPC = c.PC;
  --c.Left;
  if (OnOpcodeDone && !FHeld) [[unlikely]]
    CallOut(c, 0, [this] { OnOpcodeDone(*this); });
}

CPU_FLATTEN void TCpuEmu::ExecuteInstruction() {
  constexpr bool NoPrefix = true;
  FHeld = false;
  CountAtEnd = InstructionCount + 1;
  TCycle c = LoadCycle();
  InstructionPC = c.PC;
  FInterruptTaken = FVectorFed = false;
  if (IndexPrefix == 0) {
    FetchOpcode(c, false);
    switch (Opcode) { CPU_REPEAT256(CPU_CASE) }
  } else {
    // A prefix pending from the call before: this call's first fetch is a further
    // pass, which counts for R on its own, but the instruction count already
    // stands for the first fetch of every call. Taken off here, R advances once
    // per opcode byte however a chain of prefixes is split between calls.
    --c.RBase;
  }
  if (IndexPrefix != 0) c = ExecutePrefixedPasses(c);
  FinishInstruction(c);
  StoreCycle(c);
}

#undef CPU_CASE

uint64_t TCpuEmu::ExecuteInstructions(uint64_t Count, int32_t BreakPoint) {
  // PC is 16 bits: a break point outside 0000h-FFFFh is never reached.
  const bool breakPointSet = BreakPoint >= 0 && BreakPoint <= 0xFFFF;
  uint64_t done = 0;
  FHeld = false;
  while (done < Count && !FHeld && !(done > 0 && CurrentPC == BreakPoint)) {
    if (IndexPrefix == 0 && !PerInstructionEventsAssigned() && !(CpuState & CpuStateVectorHeld)) {
      const uint64_t left = Count - done;
      // A run without events takes no interrupt: nothing of one held before.
      FInterruptTaken = FVectorFed = false;
      done += left - (breakPointSet ? RunWithoutEvents<true>(left, BreakPoint) : RunWithoutEvents<false>(left, -1));
    } else {
      // With an event to raise on every instruction, or a prefix pending from a
      // chain that reached the bound of one call (the fast pass starts only on a
      // new instruction), one ExecuteInstruction at a time.
      ExecuteInstruction();
      if (!FHeld) ++done;
    }
  }
  return done;
}

namespace {

// Where an unprefixed instruction began, so that a run need not write
// InstructionPC for every instruction but only when the run ends or an event may
// look: the byte count back from the final PC for one that always goes on to the
// next address (0 for HALT, which stays on itself); KeptStart for jumps, calls and
// returns, whose final PC does not tell; NotedStart for those whose events may
// look at it (IN, OUT, ED, the prefixes), which write it as they start.
constexpr int KeptStart = -1;
constexpr int NotedStart = -2;
constexpr int StartAfter(uint8_t n) {
  const unsigned x = n >> 6, y = (n >> 3) & 7, z = n & 7, q = y & 1, p = y >> 1;
  if (n == 0x76) return 0;
  if (x == 1 || x == 2) return 1;
  if (x == 0) {
    switch (z) {
      case 0: return y <= 1 ? 1 : KeptStart;       // NOP, EX AF,AF'; DJNZ and JR jump
      case 1: return q == 0 ? 3 : 1;               // LD rp,nn; ADD HL,rp
      case 2: return p >= 2 ? 3 : 1;               // LD (nn),HL/A and back; LD (rp),A and back
      case 6: return 2;                            // LD r,n
      default: return 1;
    }
  }
  switch (z) {
    case 1: return q == 0 || p == 1 || p == 3 ? 1 : KeptStart;  // POP, EXX, LD SP,HL; RET, JP (HL)
    case 3:
      if (y == 0) return KeptStart;                // JP nn
      if (y == 1) return 2;                        // CB: two bytes, no event
      return y >= 4 ? 1 : NotedStart;              // EX (SP),HL, EX DE,HL, DI, EI; OUT, IN
    case 5:
      if (q == 0) return 1;                        // PUSH
      return p == 0 ? KeptStart : NotedStart;      // CALL; DD, ED, FD
    case 6: return 2;                              // ALU n
    default: return KeptStart;                     // RET cc, JP cc, CALL cc, RST
  }
}

}  // namespace

// The cycle of ExecuteInstruction, up to Count times, while no interrupt poll and
// no OnOpcodeDone is assigned: then nothing needs asking between instructions. It
// stops early after the breakpoint, after an instruction that called out (IN,
// OUT, RETI) if that call assigned one of those events, after a chain of
// prefixes that reached the bound of one call and left its prefix pending, or
// on an input or output instruction that its event held (EndRunOnHold sets Left and the
// count so that the run ends there without counting it).
// Every opcode's handler ends in its own copy of the next fetch and dispatch, so
// the host's branch predictor sees one indirect jump per opcode rather than one
// for all of them.
// Without a break point (BreakPointSet false) nothing is compared with PC.
// Aligned, so that the placement of its code does not vary from build to build.
template <bool BreakPointSet>
CPU_FLATTEN __attribute__((aligned(64))) uint64_t TCpuEmu::RunWithoutEvents(uint64_t Count, int32_t BreakPoint) {
  static constexpr void* labels[256] = {
#define CPU_LABEL_ADDRESS(n) &&opcode_##n,
      CPU_REPEAT256(CPU_LABEL_ADDRESS)
#undef CPU_LABEL_ADDRESS
  };
  CountAtEnd = InstructionCount + Count;
  RunBreakPoint = BreakPoint;
  TCycle c = LoadCycle();
  if (CpuState & CpuStateIrqBlock) CpuState &= static_cast<uint8_t>(~CpuStateIrqBlock);
  Opcode = Fetch(c);
  goto* labels[Opcode];

  // Only DI, EI and the prefixes set the interrupt block; only instructions that
  // can reach a port or RETI call out. Opcode is written where it can be seen:
  // before a port event, and when the run ends (CB, ED and the prefixes write
  // their own).
#define CPU_LABEL(n)                                                                            \
  opcode_##n : {                                                                                \
    const uint16_t start = static_cast<uint16_t>(c.PC - 1);                                     \
    if constexpr (StartAfter(n) == NotedStart) InstructionPC = start;                           \
    if constexpr ((n) == 0xDB || (n) == 0xD3) Opcode = (n); /* seen by the port event */        \
    DispatchOpcode<(n), true>(c);                                                               \
    if constexpr ((n) == 0xDD || (n) == 0xFD) c = ExecutePrefixedPasses(c);                     \
    if (--c.Left == 0 || (BreakPointSet && c.PC == RunBreakPoint)) {                            \
      if constexpr (StartAfter(n) == KeptStart) InstructionPC = start;                          \
      if constexpr (StartAfter(n) >= 0) InstructionPC = static_cast<uint16_t>(c.PC - StartAfter(n)); \
      if constexpr ((n) != 0xCB && (n) != 0xED && (n) != 0xDD && (n) != 0xFD) Opcode = (n);     \
      goto finished;                                                                            \
    }                                                                                           \
    if constexpr (StartAfter(n) == NotedStart) {                                                \
      if (PerInstructionEventsAssigned()) goto finished;                                        \
    }                                                                                           \
    if constexpr ((n) == 0xDD || (n) == 0xFD) {                                                 \
      if (IndexPrefix != 0) [[unlikely]] goto finished; /* a chain at the bound of one call */  \
    }                                                                                           \
    if constexpr ((n) == 0xF3 || (n) == 0xFB || (n) == 0xDD || (n) == 0xFD) {                   \
      if (CpuState & CpuStateIrqBlock) CpuState &= static_cast<uint8_t>(~CpuStateIrqBlock);     \
    }                                                                                           \
    goto* labels[Fetch(c)];                                                                     \
  }

  CPU_REPEAT256(CPU_LABEL)
#undef CPU_LABEL
finished:
  CurrentPC = c.PC;
  StoreCycle(c);
  return FHeld ? FHeldLeft : c.Left;
}

// Decode-table entries: the handlers applied to the current Opcode and PC.
void TCpuEmu::DecodeQuadrant0() {
  TCycle c = LoadCycle(WithinInstruction);
  DecodeQuadrant0(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpRelJumps() {
  TCycle c = LoadCycle(WithinInstruction);
  OpRelJumps(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpLoad16Add16() {
  TCycle c = LoadCycle(WithinInstruction);
  OpLoad16Add16(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpIndirectLoad() {
  TCycle c = LoadCycle(WithinInstruction);
  OpIndirectLoad(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpIncDec16() {
  TCycle c = LoadCycle(WithinInstruction);
  OpIncDec16(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpInc8() {
  TCycle c = LoadCycle(WithinInstruction);
  OpInc8(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpDec8() {
  TCycle c = LoadCycle(WithinInstruction);
  OpDec8(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpLoadImm8() {
  TCycle c = LoadCycle(WithinInstruction);
  OpLoadImm8(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpAccumulatorOps() {
  TCycle c = LoadCycle(WithinInstruction);
  OpAccumulatorOps(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpLoad8OrHalt() {
  TCycle c = LoadCycle(WithinInstruction);
  OpLoad8OrHalt(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::DecodeQuadrant2() {
  TCycle c = LoadCycle(WithinInstruction);
  DecodeQuadrant2(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::DecodeQuadrant3() {
  TCycle c = LoadCycle(WithinInstruction);
  DecodeQuadrant3(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpRetCond() {
  TCycle c = LoadCycle(WithinInstruction);
  OpRetCond(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpPopMisc() {
  TCycle c = LoadCycle(WithinInstruction);
  OpPopMisc(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpJumpCond() {
  TCycle c = LoadCycle(WithinInstruction);
  OpJumpCond(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpJumpMisc() {
  TCycle c = LoadCycle(WithinInstruction);
  OpJumpMisc(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpCallCond() {
  TCycle c = LoadCycle(WithinInstruction);
  OpCallCond(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpPushCallPrefix() {
  TCycle c = LoadCycle(WithinInstruction);
  OpPushCallPrefix(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpAluImm() {
  TCycle c = LoadCycle(WithinInstruction);
  OpAluImm(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}

void TCpuEmu::OpRestart() {
  TCycle c = LoadCycle(WithinInstruction);
  OpRestart(TCurrentOpcode{Opcode}, c);
  StoreCycle(c, WithinInstruction);
}
