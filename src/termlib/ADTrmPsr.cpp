#include "ADTrmPsr.h"

#include <algorithm>

// ---------------------------------------------------------------- TAdTerminalParser

int32_t TAdTerminalParser::GetArgument(int) const { return 0; }
std::string TAdTerminalParser::GetSequence() const { return {}; }
TAdParserResult TAdTerminalParser::ProcessChar(uint8_t) { return pctNone; }
TAdParserResult TAdTerminalParser::ProcessWideChar(char16_t) { return pctNone; }
void TAdTerminalParser::Clear() {}

// ---------------------------------------------------------------- TAdVT100Parser

TAdVT100Parser::TAdVT100Parser() : TAdTerminalParser(false), Arguments(16, 0) {
  Sequence.reserve(64);
  SavedSequence.reserve(64);
}

int32_t TAdVT100Parser::GetArgument(int Index) const {
  if (Index < 0 || Index >= ArgCount) return 0;
  return Arguments[static_cast<std::size_t>(Index)];
}

std::string TAdVT100Parser::GetSequence() const {
  if (Command == 0) return {};
  return Sequence;
}

void TAdVT100Parser::Clear() {
  Sequence.clear();
  Overflowed = false;
  Command = 0;
  std::fill(Arguments.begin(), Arguments.begin() + std::min<std::size_t>(Arguments.size(), static_cast<std::size_t>(ArgCount)), 0);
  ArgCount = 0;
}

void TAdVT100Parser::AppendArgument(int32_t Value) {
  if (static_cast<std::size_t>(ArgCount) == Arguments.size()) Arguments.resize(Arguments.size() * 3 / 2, 0);
  Arguments[static_cast<std::size_t>(ArgCount++)] = Value;
}

void TAdVT100Parser::SetArguments(std::initializer_list<int32_t> Values) {
  ArgCount = 0;
  for (int32_t Value : Values) AppendArgument(Value);
}

void TAdVT100Parser::AppendToSequence(uint8_t Character) {
  if (Sequence.size() >= MaxSequenceLength) {
    Overflowed = true;
    return;
  }
  Sequence.push_back(static_cast<char>(Character));
}

TAdParserResult TAdVT100Parser::ProcessChar(uint8_t B) {
  if (B >= 32 && (State == psGotCommand || State == psIdle)) {
    // The common case: a character outside any sequence.
    ArgCount = 0;
    Sequence.assign(1, static_cast<char>(B));
    Overflowed = false;
    Command = VT100::eChar;
    State = psGotCommand;
    return B < 127 ? pctChar : pctHighChar;
  }
  if (State == psGotCommand) {
    ArgCount = 0;
    Sequence.clear();
    Overflowed = false;
    Command = 0;
    State = psIdle;
  }
  if (State == psResumeSequence) {
    ArgCount = 0;
    Command = 0;
    Sequence = SavedSequence;
    Overflowed = SavedOverflowed;
    State = SavedState;
  }
  if (B < 32) return ProcessControl(B);

  TAdParserResult Result = pctPending;
  AppendToSequence(B);
  switch (State) {
    case psIdle:
      State = psGotCommand;
      Command = VT100::eChar;
      return B < 127 ? pctChar : pctHighChar;
    case psGotEscape:
      return InVT52Mode ? ProcessVT52Escape(B) : ProcessEscape(B);
    case psParsingANSI:
      if (B < 64 || B > 126) return pctPending;
      State = psGotCommand;
      if (Overflowed) {
        ArgCount = 0;
        Command = 0;
        return pctNone;
      }
      return ProcessControlSequence(B);
    case psParsingHash:
      State = psGotCommand;
      switch (B) {
        case '3':
          Command = VT100::eDECDHL;
          SetArguments({0});
          return pctComplete;
        case '4':
          Command = VT100::eDECDHL;
          SetArguments({1});
          return pctComplete;
        case '5':
          Command = VT100::eDECSWL;
          ArgCount = 0;
          return pctComplete;
        case '6':
          Command = VT100::eDECDWL;
          ArgCount = 0;
          return pctComplete;
        case '8':
          Command = VT100::eDECALN;
          ArgCount = 0;
          return pctComplete;
        default:
          return pctNone;
      }
    case psParsingLeftParen:
    case psParsingRightParen: {
      if (B < 48 || B > 126) return pctPending;
      const bool G1 = State == psParsingRightParen;
      State = psGotCommand;
      if (Sequence.size() == 3 && !Overflowed && (B == '0' || B == '1' || B == '2' || B == 'A' || B == 'B')) {
        Command = VT100::eSCS;
        SetArguments({G1 ? 1 : 0, B <= '2' ? B - '0' : B});
        return pctComplete;
      }
      ArgCount = 0;
      Command = 0;
      return pctNone;
    }
    case psParsingCharSet:
      if (B < 48 || B > 126) return pctPending;
      State = psGotCommand;
      return pctNone;
    case psGotVT52Y:
      // The row and column come from the sequence itself (ESC Y row col), so a control
      // character between them does not lose the row.
      if (Sequence.size() <= 3) {
        SetArguments({B - 31});
        Command = VT100::eCUP;
        return pctPending;
      }
      State = psGotCommand;
      Command = VT100::eCUP;
      SetArguments({static_cast<uint8_t>(Sequence[2]) - 31, B - 31});
      return pctComplete;
    default:
      break;
  }
  return Result;
}

TAdParserResult TAdVT100Parser::ProcessControl(uint8_t B) {
  const std::string Interrupted = Sequence;
  if (B == 27) {
    // A new sequence starts; whatever was in progress is dropped.
    Sequence.assign(1, '\x1B');
    Overflowed = false;
    ArgCount = 0;
    Command = 0;
    State = psGotEscape;
    return pctPending;
  }
  SavedState = State;
  SavedSequence = Interrupted;
  SavedOverflowed = Overflowed;
  State = psResumeSequence;
  auto Complete = [&](uint8_t Code, std::initializer_list<int32_t> Values) {
    Command = Code;
    SetArguments(Values);
    Sequence.assign(1, static_cast<char>(B));
    Overflowed = false;
    return pctComplete;
  };
  switch (B) {
    case 5:
      return Complete(VT100::eENQ, {});
    case 7:
      return Complete(VT100::eBEL, {});
    case 8:
      return Complete(VT100::eBS, {});
    case 9:
      return Complete(VT100::eHT, {1});
    case 10:
      return Complete(VT100::eLF, {});
    case 11:
      return Complete(VT100::eVT, {1});
    case 12:
      return Complete(VT100::eED, {2});
    case 13:
      return Complete(VT100::eCR, {});
    case 14:
      return Complete(VT100::eSO, {});
    case 15:
      return Complete(VT100::eSI, {});
    default:
      return pctNone;
  }
}

TAdParserResult TAdVT100Parser::ProcessEscape(uint8_t B) {
  switch (B) {
    case '[':
      State = psParsingANSI;
      return pctPending;
    case '#':
      State = psParsingHash;
      return pctPending;
    case '(':
      State = psParsingLeftParen;
      return pctPending;
    case ')':
      State = psParsingRightParen;
      return pctPending;
    case '*':
    case '+':
    case '-':
    case '.':
    case '/':
      State = psParsingCharSet;
      return pctPending;
    default:
      break;
  }
  State = psGotCommand;
  auto Complete = [&](uint8_t Code, std::initializer_list<int32_t> Values) {
    Command = Code;
    SetArguments(Values);
    return pctComplete;
  };
  switch (B) {
    case '1':
    case '2':
      return Complete(VT100::eNone, {});
    case '7':
      return Complete(VT100::eSaveCursor, {});
    case '8':
      return Complete(VT100::eRestoreCursor, {});
    case '=':
      return Complete(VT100::eSM, {-2, 999});
    case '>':
      return Complete(VT100::eRM, {-2, 999});
    case 'D':
      return Complete(VT100::eIND, {});
    case 'E':
      return Complete(VT100::eNEL, {});
    case 'H':
      return Complete(VT100::eHTS, {});
    case 'M':
      return Complete(VT100::eRI, {});
    case 'Z':
      return Complete(VT100::eDA, {0});
    case 'c':
      return Complete(VT100::eRIS, {});
    default:
      return pctNone;
  }
}

TAdParserResult TAdVT100Parser::ProcessVT52Escape(uint8_t B) {
  if (B == 'Y') {
    State = psGotVT52Y;
    Command = VT100::eCUP;
    return pctPending;
  }
  State = psGotCommand;
  auto Complete = [&](uint8_t Code, std::initializer_list<int32_t> Values) {
    Command = Code;
    SetArguments(Values);
    return pctComplete;
  };
  switch (B) {
    case '<':
      InVT52Mode = false;
      return Complete(VT100::eSM, {-2, 2});
    case '=':
      return Complete(VT100::eSM, {-2, 999});
    case '>':
      return Complete(VT100::eRM, {-2, 999});
    case 'A':
      return Complete(VT100::eCUU, {1});
    case 'B':
      return Complete(VT100::eCUD, {1});
    case 'C':
      return Complete(VT100::eCUF, {1});
    case 'D':
      return Complete(VT100::eCUB, {1});
    case 'F':
      return Complete(VT100::eSO, {});
    case 'G':
      return Complete(VT100::eSI, {});
    case 'H':
      return Complete(VT100::eCUP, {1, 1});
    case 'I':
      return Complete(VT100::eRI, {});
    case 'J':
      return Complete(VT100::eED, {0});
    case 'K':
      return Complete(VT100::eEL, {0});
    case 'Z':
      return Complete(VT100::eDA, {52});
    default:
      return pctNone;
  }
}

bool TAdVT100Parser::ParseArguments() {
  ArgCount = 0;
  std::size_t Position = 2;
  if (Sequence.size() > 2 && Sequence[2] == '?') {
    AppendArgument(-2);
    Position = 3;
  }
  int64_t Value = 0;
  int Digits = 0;
  bool Overflow = false;
  auto StoreArgument = [&]() {
    if (Overflow) return false;
    AppendArgument(Digits == 0 ? -1 : static_cast<int32_t>(Value));
    Value = 0;
    Digits = 0;
    return true;
  };
  for (; Position < Sequence.size(); ++Position) {
    const uint8_t C = static_cast<uint8_t>(Sequence[Position]);
    if ((C >= 32 && C <= 47) || (C >= 64 && C <= 126)) break;
    if (C == ';') {
      if (!StoreArgument()) return false;
    } else if (C >= '0' && C <= '9') {
      if (Digits < 255 && !Overflow) {
        Value = Value * 10 + (C - '0');
        if (Value > INT32_MAX) Overflow = true;
      }
      ++Digits;
    } else {
      return false;
    }
  }
  return StoreArgument();
}

bool TAdVT100Parser::Normalise(int Min, int Max, int32_t Default) {
  if (ArgCount > Max) return false;
  while (ArgCount < Min) AppendArgument(Default);
  for (int I = 0; I < ArgCount; ++I)
    if (Arguments[static_cast<std::size_t>(I)] == -1) Arguments[static_cast<std::size_t>(I)] = Default;
  return true;
}

TAdParserResult TAdVT100Parser::ProcessControlSequence(uint8_t Final) {
  TAdParserResult Result = pctNone;
  Command = 0;
  if (Sequence == std::string("\x1B[61\"p", 6)) {
    Command = VT100::eRIS;
    Result = pctComplete;
  }
  if (!ParseArguments()) {
    if (Result != pctComplete) ArgCount = 0;
    return Result;
  }
  if (Result == pctComplete) return Result;
  auto Select = [&](uint8_t Code, int Min, int Max, int32_t Default) {
    if (!Normalise(Min, Max, Default)) {
      ArgCount = 0;
      return pctNone;
    }
    Command = Code;
    return pctComplete;
  };
  auto SelectRaw = [&](uint8_t Code) {
    Command = Code;
    return pctComplete;
  };
  switch (Final) {
    case '@':
      return Select(VT100::eICH, 1, 1, 1);
    case 'A':
      return Select(VT100::eCUU, 1, 1, 1);
    case 'B':
      return Select(VT100::eCUD, 1, 1, 1);
    case 'C':
      return Select(VT100::eCUF, 1, 1, 1);
    case 'D':
      return Select(VT100::eCUB, 1, 1, 1);
    case 'H':
    case 'f':
      return Select(VT100::eCUP, 2, 2, 1);
    case 'J':
      return Select(VT100::eED, 1, 1, 0);
    case 'K':
      return Select(VT100::eEL, 1, 1, 0);
    case 'L':
      return Select(VT100::eIL, 1, 1, 1);
    case 'M':
      return Select(VT100::eDL, 1, 1, 1);
    case 'P':
      return Select(VT100::eDCH, 1, 1, 1);
    case 'X':
      return Select(VT100::eECH, 1, 1, 1);
    case 'c':
      return Select(VT100::eDA, 1, 1, 0);
    case 'g':
      return Select(VT100::eTBC, 1, 1, 0);
    case 'h':
      return SelectRaw(VT100::eSM);
    case 'l':
      if (ArgCount == 2 && Arguments[0] == -2 && Arguments[1] == 2) InVT52Mode = true;
      return SelectRaw(VT100::eRM);
    case 'm':
      return Select(VT100::eSGR, 1, 30000, 0);
    case 'n':
      return Select(VT100::eDSR, 1, 1, -1);
    case 'q':
      return Select(VT100::eDECLL, 1, 30000, 0);
    case 'r':
      return SelectRaw(VT100::eDECSTBM);
    case 's':
      return SelectRaw(VT100::eSaveCursor);
    case 'u':
      return SelectRaw(VT100::eRestoreCursor);
    case 'x':
      return Select(VT100::eDECREQTPARM, 1, 1, -1);
    case 'y':
      return SelectRaw(VT100::eDECTST);
    default:
      ArgCount = 0;
      return pctNone;
  }
}
