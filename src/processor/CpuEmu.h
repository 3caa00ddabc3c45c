// The emulated Z80 processor: 64 KiB of memory, the register file, the interrupt
// state and the instruction decoder. It knows nothing of any device; IN and OUT
// reach the outside world through OnPortRead and OnPortWrite, interrupts through
// the two polls.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>

class TCpuEmu;

// Port input: the handler sets DataByte.
using TCpuPortReadProc = std::function<void(TCpuEmu& Sender, uint16_t Port, uint8_t& DataByte)>;
using TCpuPortWriteProc = std::function<void(TCpuEmu& Sender, uint16_t Port, uint8_t DataByte)>;
using TCpuCheckForNonMaskIrqProc = std::function<void(TCpuEmu& Sender, bool& IsIrq)>;
using TCpuCheckForInterruptProc = std::function<void(TCpuEmu& Sender, bool& IsIrq, uint8_t& Vector)>;
using TCpuEndOFInterruptProc = std::function<void(TCpuEmu& Sender)>;
using TCpuOpcodeDoneProc = std::function<void(TCpuEmu& Sender)>;

// Register-file codes. A pair is held high byte first at the even code (AF is A=7, F=6).
// The alternate set sits 16 codes above the main set.
enum TCpuRegisterCode : uint8_t {
  RegB = 0, RegC = 1, RegD = 2, RegE = 3, RegH = 4, RegL = 5, RegF = 6, RegA = 7,
  RegSPH = 8, RegSPL = 9, RegIXH = 10, RegIXL = 11, RegIYH = 12, RegIYL = 13, RegPCH = 14, RegPCL = 15,
  RegAltB = 16, RegAltC = 17, RegAltD = 18, RegAltE = 19, RegAltH = 20, RegAltL = 21, RegAltF = 22, RegAltA = 23,
  RegR = 24, RegI = 25,
};

// Bits of F.
enum TCpuFlag : uint8_t {
  FlagC = 0x01, FlagN = 0x02, FlagPV = 0x04, Flag3 = 0x08, FlagH = 0x10, Flag5 = 0x20, FlagZ = 0x40, FlagS = 0x80,
};

// Bits of CpuState. Bits 0-1 hold the interrupt-mode field: 0 after IM 0, 1 after ED 4E/6E,
// 2 after IM 1, 3 after IM 2.
enum TCpuStateBit : uint8_t {
  CpuStateModeMask = 0x03,
  // The held instruction came from an interrupt vector (interrupt mode 0): it
  // runs from that vector again, before any interrupt is polled.
  CpuStateVectorHeld = 0x08,
  CpuStateIrqBlock = 0x10,  // no interrupt before the next instruction (EI, DI, DD, FD)
  CpuStateIff1 = 0x20,
  CpuStateIff2 = 0x40,
  CpuStateHalted = 0x80,
};

class TCpuEmu final {
 public:
  using THandler = void (TCpuEmu::*)();

  TCpuEmu();
  TCpuEmu(const TCpuEmu&) = delete;
  TCpuEmu& operator=(const TCpuEmu&) = delete;
  virtual ~TCpuEmu() = default;

  // Events; all start unassigned.
  TCpuPortReadProc OnPortRead;
  TCpuPortWriteProc OnPortWrite;
  TCpuCheckForNonMaskIrqProc OnCheckForNonMaskIrq;
  TCpuCheckForInterruptProc OnCheckForInterrupt;
  TCpuEndOFInterruptProc OnEndOFInterrupt;
  TCpuOpcodeDoneProc OnOpcodeDone;

  uint8_t Memory[65536];
  uint8_t Registers[32];
  uint16_t InstructionPC = 0;   // PC at the start of the instruction being (or last) executed
  uint16_t CurrentPC = 0;       // PC after the last executed instruction
  uint64_t InstructionCount = 0;
  uint8_t Opcode = 0;           // the opcode byte being executed (after CB or ED for those groups)
  uint8_t IndexPrefix = 0;      // bit 1: DD (IX) in force; bit 0: FD (IY) in force
  // Scratch bytes of the handlers; no meaning between instructions.
  uint8_t WorkAddressHigh = 0, WorkAddressLow = 0, WorkByte1 = 0, WorkByte2 = 0;
  uint8_t CpuState = 0;
  THandler OpcodeHandlers[32];  // the decode table, filled by InitOpcodeTable

  // Register properties.
  uint8_t GetRegisterA() const { return Registers[RegA]; }
  uint8_t GetRegisterB() const { return Registers[RegB]; }
  uint8_t GetRegisterC() const { return Registers[RegC]; }
  uint8_t GetRegisterD() const { return Registers[RegD]; }
  uint8_t GetRegisterE() const { return Registers[RegE]; }
  uint8_t GetRegisterH() const { return Registers[RegH]; }
  uint8_t GetRegisterL() const { return Registers[RegL]; }
  uint8_t GetStatusFlags() const { return Registers[RegF]; }
  uint8_t GetRegisterR() const { return Registers[RegR]; }
  uint8_t GetRegisterI() const { return Registers[RegI]; }
  uint8_t GetRegisterIXH() const { return Registers[RegIXH]; }
  uint8_t GetRegisterIXL() const { return Registers[RegIXL]; }
  uint8_t GetRegisterIYH() const { return Registers[RegIYH]; }
  uint8_t GetRegisterIYL() const { return Registers[RegIYL]; }
  uint8_t GetRegisterPCH() const { return Registers[RegPCH]; }
  uint8_t GetRegisterPCL() const { return Registers[RegPCL]; }
  uint8_t GetRegisterSPH() const { return Registers[RegSPH]; }
  uint8_t GetRegisterSPL() const { return Registers[RegSPL]; }
  uint8_t GetExRegisterA() const { return Registers[RegAltA]; }
  uint8_t GetExStatusFlags() const { return Registers[RegAltF]; }
  uint8_t GetExRegisterB() const { return Registers[RegAltB]; }
  uint8_t GetExRegisterC() const { return Registers[RegAltC]; }
  uint8_t GetExRegisterD() const { return Registers[RegAltD]; }
  uint8_t GetExRegisterE() const { return Registers[RegAltE]; }
  uint8_t GetExRegisterH() const { return Registers[RegAltH]; }
  uint8_t GetExRegisterL() const { return Registers[RegAltL]; }

  void SetRegisterA(uint8_t v) { Registers[RegA] = v; }
  void SetRegisterB(uint8_t v) { Registers[RegB] = v; }
  void SetRegisterC(uint8_t v) { Registers[RegC] = v; }
  void SetRegisterD(uint8_t v) { Registers[RegD] = v; }
  void SetRegisterE(uint8_t v) { Registers[RegE] = v; }
  void SetRegisterH(uint8_t v) { Registers[RegH] = v; }
  void SetRegisterL(uint8_t v) { Registers[RegL] = v; }
  void SetStatusFlags(uint8_t v) { Registers[RegF] = v; }
  void SetRegisterR(uint8_t v) { Registers[RegR] = v; }
  void SetRegisterI(uint8_t v) { Registers[RegI] = v; }
  void SetRegisterIXH(uint8_t v) { Registers[RegIXH] = v; }
  void SetRegisterIXL(uint8_t v) { Registers[RegIXL] = v; }
  void SetRegisterIYH(uint8_t v) { Registers[RegIYH] = v; }
  void SetRegisterIYL(uint8_t v) { Registers[RegIYL] = v; }
  // Setting a PC byte also moves CurrentPC, so the run loop sees the new PC.
  void SetRegisterPCH(uint8_t v) { Registers[RegPCH] = v; CurrentPC = GetPC(); }
  void SetRegisterPCL(uint8_t v) { Registers[RegPCL] = v; CurrentPC = GetPC(); }
  void SetRegisterSPH(uint8_t v) { Registers[RegSPH] = v; }
  void SetRegisterSPL(uint8_t v) { Registers[RegSPL] = v; }
  void SetExRegisterA(uint8_t v) { Registers[RegAltA] = v; }
  void SetExStatusFlags(uint8_t v) { Registers[RegAltF] = v; }
  void SetExRegisterB(uint8_t v) { Registers[RegAltB] = v; }
  void SetExRegisterC(uint8_t v) { Registers[RegAltC] = v; }
  void SetExRegisterD(uint8_t v) { Registers[RegAltD] = v; }
  void SetExRegisterE(uint8_t v) { Registers[RegAltE] = v; }
  void SetExRegisterH(uint8_t v) { Registers[RegAltH] = v; }
  void SetExRegisterL(uint8_t v) { Registers[RegAltL] = v; }

  // 16-bit views of a register pair by the code of its high byte (RegB, RegD, RegH,
  // RegSPH, RegIXH, RegIYH, RegPCH, RegAltB, ...). Conveniences for callers and tests.
  uint16_t GetPair(uint8_t highCode) const {
    return static_cast<uint16_t>(Registers[highCode] << 8 | Registers[highCode + 1]);
  }
  void SetPair(uint8_t highCode, uint16_t value) {
    Registers[highCode] = static_cast<uint8_t>(value >> 8);
    Registers[highCode + 1] = static_cast<uint8_t>(value);
  }
  uint16_t GetPC() const { return GetPair(RegPCH); }

  // Operations called from the processor's own handlers.
  virtual void PortRead(uint8_t Hi, uint8_t Lo, uint8_t& Data);
  virtual void PortWrite(uint8_t Hi, uint8_t Lo, uint8_t Data);
  virtual bool CheckForNonMaskIrq();
  virtual bool CheckForInterrupt(uint8_t& Vector);
  virtual void EndOfInterrupt();
  virtual uint8_t FetchByte();
  virtual void PushWord(uint8_t Hi, uint8_t Lo);
  virtual void PopWord(uint8_t& Hi, uint8_t& Lo);

  // All registers $FF, I = R = 0, PC = StartPC, interrupts off; memory untouched.
  void Reset(uint16_t StartPC);
  // Copies Count bytes into / out of memory from Address on, wrapping at 64 KiB.
  void LoadMemory(uint16_t Address, uint16_t Count, const void* Buffer);
  void SaveMemory(uint16_t Address, uint16_t Count, void* Buffer) const;
  void WriteByte(uint16_t Address, uint8_t Value) { Memory[Address] = Value; }
  uint8_t ReadByte(uint16_t Address) const { return Memory[Address]; }
  // Executes exactly one instruction with all its prefixes. A chain of DD and FD
  // prefixes longer than one call follows ends the call with IndexPrefix still
  // set; the next call goes on with the chain.
  void ExecuteInstruction();
  // Runs up to Count instructions, exactly as that many ExecuteInstruction calls
  // would, and stops early after an instruction that leaves CurrentPC equal to
  // BreakPoint (a negative BreakPoint never matches), or on a held instruction
  // (below). Returns the number executed.
  uint64_t ExecuteInstructions(uint64_t Count, int32_t BreakPoint = -1);

  // A device that cannot take or give a byte yet holds the instruction that
  // reaches it, as a device on a Z80 pulls WAIT: OnPortWrite or OnPortRead
  // calls HoldInstruction (any output: OUT (n),A with or without DD and FD
  // before it, OUT (C),r, OUTI, OUTD, OTIR, OTDR; any input: IN A,(n), IN r,(C),
  // INI, IND, INIR, INDR). The instruction is then undone and the run ends on
  // it: PC is back on its first byte, prefixes included, and every register
  // and memory are as before it (the block forms give HL back and leave B, the
  // flags and memory alone; an input leaves A, the register and the flags as
  // they were, whatever the event gave; R counts none of its fetches). It does
  // not count in InstructionCount or in what ExecuteInstructions returns, and
  // raises no OnOpcodeDone. No interrupt is accepted before it runs again
  // (CpuStateIrqBlock is set), as none comes while a Z80 waits inside an
  // instruction. An interrupt accepted just before it stays taken: the return
  // address stays pushed, IFF1 and IFF2 stay as the acceptance left them, PC is
  // on the handler's first byte, and R keeps the acceptance; an instruction
  // that interrupt mode 0 took from the device's vector is executed from that
  // vector again (CpuStateVectorHeld is set in place of the block). The next
  // run starts with the held instruction, and the device sees the same access
  // again. Called elsewhere than in a port event during
  // ExecuteInstruction or ExecuteInstructions, it has no effect.
  void HoldInstruction() { FHoldRequested = true; }
  // Within a port event: the event has held its instruction (so an observer
  // that wraps the event sees whether the byte went or comes again).
  bool HoldRequested() const { return FHoldRequested; }
  // The last ExecuteInstruction or ExecuteInstructions ended on a held instruction.
  bool Held() const { return FHeld; }
  // Clears memory, fills the decode table and resets to 0.
  void InitOpcodeTable();

  // Bit helpers over the two mask tables.
  static void SetFlagBit(uint8_t& Value, unsigned Bit) { Value |= SetMasks[Bit & 7]; }
  static void ClearFlagBit(uint8_t& Value, unsigned Bit) { Value &= ClearMasks[Bit & 7]; }
  static bool TestBit(uint8_t Value, unsigned Bit) { return (Value & SetMasks[Bit & 7]) != 0; }

  // Arithmetic and flag helpers. Add8 and Sub8 take the carry-in from the F they are given.
  static uint8_t Add8(uint8_t First, uint8_t Second, uint8_t& F);
  static uint8_t Sub8(uint8_t First, uint8_t Second, uint8_t& F);
  static void SetLogicFlags(uint8_t Value, bool HFlag, uint8_t& F);
  static void SetParityFlag(uint8_t Value, uint8_t& F);
  void CopyUndocFlags(uint8_t Value) { Registers[RegF] = (Registers[RegF] & ~(Flag3 | Flag5)) | (Value & (Flag3 | Flag5)); }
  static void DecimalAdjust(uint8_t& A, uint8_t& F);

  static constexpr uint8_t SetMasks[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
  static constexpr uint8_t ClearMasks[8] = {0xFE, 0xFD, 0xFB, 0xF7, 0xEF, 0xDF, 0xBF, 0x7F};

  // Decode table entries. Entries 4-7 are never reached (opcode shr 6 is 0 to 3).
  void DecodeQuadrant0();
  void OpLoad8OrHalt();
  void DecodeQuadrant2();
  void DecodeQuadrant3();
  void NoOperation() {}
  void OpRelJumps();
  void OpLoad16Add16();
  void OpIndirectLoad();
  void OpIncDec16();
  void OpInc8();
  void OpDec8();
  void OpLoadImm8();
  void OpAccumulatorOps();
  void AluAdd();
  void AluAdc();
  void AluSub();
  void AluSbc();
  void AluAnd();
  void AluXor();
  void AluOr();
  void AluCp();
  void OpRetCond();
  void OpPopMisc();
  void OpJumpCond();
  void OpJumpMisc();
  void OpCallCond();
  void OpPushCallPrefix();
  void OpAluImm();
  void OpRestart();

 private:
  // The opcode that a handler decodes: a compile-time constant on the dispatch of
  // the execution cycle, so each opcode's field decoding folds away, or the current
  // Opcode when a handler is called through the decode table.
  // Unprefixed: known to run with no DD or FD prefix pending, so the index
  // mapping folds away too.
  template <uint8_t N, bool NoPrefix>
  struct TFixedOpcode {
    static constexpr bool Unprefixed = NoPrefix;
    static constexpr uint8_t Value() { return N; }
  };
  struct TCurrentOpcode {
    static constexpr bool Unprefixed = false;
    uint8_t Code;
    uint8_t Value() const { return Code; }
  };

  // The cycle state that a run keeps in host registers, written back to the
  // fields before anything outside the handlers can look (an event, the end of a
  // call): PC, and Left, the instructions still to run in this call
  // (InstructionCount is CountAtEnd - Left).
  // R is not counted per instruction: each instruction's first opcode fetch is
  // implied by the count, so RBase holds R less the instruction count (low seven
  // bits) and only the further fetches after CB, ED, DD and FD add to it.
  struct TCycle {
    uint16_t PC;
    uint8_t RBase;
    uint64_t Left;
  };
  uint64_t CountAtEnd = 0;
  // The breakpoint of the current run, read from memory on every compare so that
  // the run's registers stay free for the cycle state.
  int32_t RunBreakPoint = -1;
  // HoldInstruction was called in the current port event (a read or a write).
  bool FHoldRequested = false;
  // An interrupt was accepted at the start of the instruction being executed,
  // which then starts at FHandlerStart (the handler, or for interrupt mode 0
  // where the vector was taken).
  bool FInterruptTaken = false;
  uint16_t FHandlerStart = 0;
  // The instruction being executed came from the interrupting device's vector
  // (interrupt mode 0), not from memory; FVector is that byte. A hold keeps it
  // on the bus (CpuStateVectorHeld), so the instruction runs again from it.
  bool FVectorFed = false;
  uint8_t FVector = 0;
  // The run ended on a held instruction; FHeldLeft is what it had left then,
  // the held instruction included.
  bool FHeld = false;
  uint64_t FHeldLeft = 0;
  uint64_t CountOf(const TCycle& c) const { return CountAtEnd - c.Left; }
  // Pending is 1 within an instruction, whose own first fetch the count does not hold yet.
  uint8_t RefreshValue(const TCycle& c, uint8_t Pending) const {
    return static_cast<uint8_t>((Registers[RegR] & 0x80) | ((c.RBase + static_cast<uint8_t>(CountOf(c)) + Pending) & 0x7F));
  }
  TCycle LoadCycle(uint8_t Pending = 0) const {
    return {GetPC(), static_cast<uint8_t>(Registers[RegR] - static_cast<uint8_t>(InstructionCount) - Pending),
            CountAtEnd - InstructionCount};
  }
  void StoreCycle(const TCycle& c, uint8_t Pending = 0) {
    SetPair(RegPCH, c.PC);
    Registers[RegR] = RefreshValue(c, Pending);
    InstructionCount = CountOf(c);
  }
  static constexpr uint8_t WithinInstruction = 1;
  uint8_t Fetch(TCycle& c) { return Memory[c.PC++]; }
  uint16_t FetchWord(TCycle& c) {
    const uint16_t word = LoadWord(c.PC);
    c.PC = static_cast<uint16_t>(c.PC + 2);
    return word;
  }
  // A word in memory, low byte first; the high byte of FFFFh is at 0000h. Away
  // from that end it is one host access.
  uint16_t LoadWord(uint16_t Address) const {
    if (std::endian::native == std::endian::little && Address != 0xFFFF) [[likely]] {
      uint16_t word;
      std::memcpy(&word, &Memory[Address], sizeof word);
      return word;
    }
    return static_cast<uint16_t>(Memory[static_cast<uint16_t>(Address + 1)] << 8 | Memory[Address]);
  }
  void StoreWord(uint16_t Address, uint16_t Word) {
    if (std::endian::native == std::endian::little && Address != 0xFFFF) [[likely]] {
      std::memcpy(&Memory[Address], &Word, sizeof Word);
      return;
    }
    Memory[Address] = static_cast<uint8_t>(Word);
    Memory[static_cast<uint16_t>(Address + 1)] = static_cast<uint8_t>(Word >> 8);
  }
  // A fetch beyond the first of an instruction (after CB, ED, DD or FD).
  static void IncrementRefresh(TCycle& c) { ++c.RBase; }
  // The stack, a word at a time.
  void PushValue(uint16_t Word) {
    const uint16_t sp = static_cast<uint16_t>(GetPair(RegSPH) - 2);
    StoreWord(sp, Word);
    SetPair(RegSPH, sp);
  }
  uint16_t PopValue() {
    const uint16_t sp = GetPair(RegSPH);
    SetPair(RegSPH, static_cast<uint16_t>(sp + 2));
    return LoadWord(sp);
  }
  void PushPC(const TCycle& c) { PushValue(c.PC); }
  void PopPC(TCycle& c) { c.PC = PopValue(); }
  // AF as one word, A high. F and A lie in the register file low byte first, as in memory.
  uint16_t GetAF() const {
    if constexpr (std::endian::native == std::endian::little) {
      uint16_t word;
      std::memcpy(&word, &Registers[RegF], sizeof word);
      return word;
    }
    return static_cast<uint16_t>(Registers[RegA] << 8 | Registers[RegF]);
  }
  void SetAF(uint16_t Word) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&Registers[RegF], &Word, sizeof Word);
      return;
    }
    Registers[RegF] = static_cast<uint8_t>(Word);
    Registers[RegA] = static_cast<uint8_t>(Word >> 8);
  }
  template <class TEvent>
  void CallOut(TCycle& c, uint8_t Pending, TEvent&& Event);
  // Port access from a handler, with the working state visible to the event.
  // Both return true when the event held the instruction; the handler then
  // gives back what it changed and calls EndRunOnHold.
  [[nodiscard]] bool PortReadFrom(TCycle& c, uint8_t Hi, uint8_t Lo, uint8_t& Data);
  [[nodiscard]] bool PortWriteFrom(TCycle& c, uint8_t Hi, uint8_t Lo, uint8_t Data);
  // Undoes the held instruction that began at InstructionPC (PC, R, the count;
  // OperandBytes: the bytes before PC that were not opcode fetches) and makes
  // the run end after the handler.
  void EndRunOnHold(TCycle& c, uint8_t OperandBytes);

  template <uint8_t N, bool NoPrefix>
  void DispatchOpcode(TCycle& c);
  template <class TOp>
  uint8_t MapIndex(TOp op, uint8_t code) const;
  template <class TOp>
  uint16_t IndexedAddress(TOp op, TCycle& c);
  template <class TOp>
  void EndPrefix(TOp op);
  // The ALU entries of the decode table take their operand from WorkByte1; a
  // handler dispatched at compile time passes it on directly.
  template <class TOp>
  void NoteAluOperand(TOp, uint8_t operand) {
    if constexpr (!TOp::Unprefixed) WorkByte1 = operand;
  }
  template <class TOp>
  void DecodeQuadrant0(TOp op, TCycle& c);
  template <class TOp>
  void OpRelJumps(TOp op, TCycle& c);
  template <class TOp>
  void OpLoad16Add16(TOp op, TCycle& c);
  template <class TOp>
  void OpIndirectLoad(TOp op, TCycle& c);
  template <class TOp>
  void OpIncDec16(TOp op, TCycle& c);
  template <class TOp>
  void OpInc8(TOp op, TCycle& c);
  template <class TOp>
  void OpDec8(TOp op, TCycle& c);
  template <class TOp>
  void OpLoadImm8(TOp op, TCycle& c);
  template <class TOp>
  void OpAccumulatorOps(TOp op, TCycle& c);
  template <class TOp>
  void OpLoad8OrHalt(TOp op, TCycle& c);
  template <class TOp>
  void DecodeQuadrant2(TOp op, TCycle& c);
  template <class TOp>
  void DecodeQuadrant3(TOp op, TCycle& c);
  template <class TOp>
  void OpRetCond(TOp op, TCycle& c);
  template <class TOp>
  void OpPopMisc(TOp op, TCycle& c);
  template <class TOp>
  void OpJumpCond(TOp op, TCycle& c);
  template <class TOp>
  void OpJumpMisc(TOp op, TCycle& c);
  template <class TOp>
  void OpCallCond(TOp op, TCycle& c);
  template <class TOp>
  void OpPushCallPrefix(TOp op, TCycle& c);
  template <class TOp>
  void OpAluImm(TOp op, TCycle& c);
  template <class TOp>
  void OpRestart(TOp op, TCycle& c);

  void FetchOpcode(TCycle& c, bool Further);
  // The passes after a DD or FD prefix, up to the end of the instruction or up to
  // PrefixPassLimit passes in the call, whichever comes first.
  TCycle ExecutePrefixedPasses(TCycle c);
  static constexpr unsigned PrefixPassLimit = 256;
  void FinishInstruction(TCycle& c);
  bool AcceptInterrupt();
  uint8_t MapIndexRegister(uint8_t code) const;
  // Adds d as a signed byte to the pair High:Low, wrapping at 16 bits.
  static void AddDisplacement(uint8_t& High, uint8_t& Low, uint8_t d);
  uint16_t GetIndexedAddress(TCycle& c);
  bool TestCondition(uint8_t cc) const;

  // Second-level decoders after CB and ED.
  // Out of line and by value, so that the cycle state of the caller stays in registers.
  TCycle OpCbGroup(TCycle c);
  void OpRotateShift(uint16_t address, uint8_t r);
  void OpBitTest(uint16_t address, uint8_t r);
  void OpBitResetSet(uint16_t address, uint8_t r, bool set);
  TCycle OpEdGroup(TCycle c);
  void DecodeEdQuadrant1(TCycle& c);
  void OpInPortC(TCycle& c);
  void OpOutPortC(TCycle& c);
  void OpAdcSbc16();
  void OpLoad16Mem(TCycle& c);
  void OpNeg();
  void OpRetnReti(TCycle& c);
  void OpSetIm();
  void OpEdMisc(TCycle& c);
  void OpBlock(TCycle& c);
  void AluOperation(uint8_t operation, uint8_t operand);

  // True when an interrupt poll is assigned; saves asking two empty events per instruction.
  bool InterruptPollsAssigned() const { return OnCheckForNonMaskIrq || OnCheckForInterrupt; }
  bool PerInstructionEventsAssigned() const { return InterruptPollsAssigned() || OnOpcodeDone; }
  // Returns how many of the Count instructions are left unrun.
  template <bool BreakPointSet>
  uint64_t RunWithoutEvents(uint64_t Count, int32_t BreakPoint);
};
