#include "SimpTermParser.h"

void TSimpTermParser::Reset() {
  FInEscape = false;
  FClass = ClassNone;
  FPendingCommand = 0;
  FCollected.clear();
  FArgumentsExpected = 0;
  FArg1 = 0;
  FArg2 = 0;
}

void TSimpTermParser::SendCollected() {
  std::string text;
  text.swap(FCollected);
  Reset();
  if (!OnChar) return;
  for (char c : text) OnChar(*this, static_cast<uint8_t>(c));
}

void TSimpTermParser::RaiseCommand(uint8_t Command, int32_t Arg1, int32_t Arg2) {
  Reset();
  if (OnCommand) OnCommand(*this, Command, Arg1, Arg2);
}

void TSimpTermParser::ProcessChar(uint8_t Value) {
  // Argument bytes of cursor addressing: every byte counts, ESC included.
  if (FArgumentsExpected >= 1) {
    FCollected.push_back(static_cast<char>(Value));
    if (FArgumentsExpected == 2)
      FArg1 = Value;
    else
      FArg2 = Value;
    if (--FArgumentsExpected == 0) RaiseCommand(FPendingCommand, FArg1, FArg2);
    return;
  }
  if (!FInEscape) {
    if (Value == kEscape) {
      FInEscape = true;
      FCollected.assign(1, static_cast<char>(kEscape));
    } else if (OnChar) {
      OnChar(*this, Value);
    }
    return;
  }
  switch (FClass) {
    case ClassNone:
      FCollected.push_back(static_cast<char>(Value));
      if (Value == 'C')
        FClass = ClassCursor;
      else if (Value == 'L')
        FClass = ClassLine;
      else if (Value == 'S')
        FClass = ClassScreen;
      else
        SendCollected();
      return;
    case ClassScreen:
      if (Value == 'c') return RaiseCommand(SimpTermClearScreen, 0, 0);
      if (Value == 'h') return RaiseCommand(SimpTermScreenHigh, 0, 0);
      if (Value == 'l') return RaiseCommand(SimpTermScreenLow, 0, 0);
      FCollected.push_back(static_cast<char>(Value));
      return SendCollected();
    case ClassLine:
      if (Value == '>') return RaiseCommand(SimpTermClearToEnd, 0, 0);
      if (Value == 'c') return RaiseCommand(SimpTermClearLine, 0, 0);
      if (Value == 'd') return RaiseCommand(SimpTermDeleteLine, 0, 0);
      if (Value == 'i') return RaiseCommand(SimpTermInsertLine, 0, 0);
      FCollected.push_back(static_cast<char>(Value));
      return SendCollected();
    case ClassCursor:
      if (Value == 'h') return RaiseCommand(SimpTermCursorHome, 0, 0);
      if (Value == 'p') {
        FCollected.push_back(static_cast<char>(Value));
        FPendingCommand = SimpTermCursorTo;
        FArgumentsExpected = 2;
        FArg1 = 0;
        FArg2 = 0;
        return;
      }
      FCollected.push_back(static_cast<char>(Value));
      return SendCollected();
    default:
      return SendCollected();
  }
}
