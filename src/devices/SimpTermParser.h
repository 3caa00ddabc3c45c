// Turns the byte stream written to the TTY console into characters and screen
// commands. The command language: ESC, a class letter ("S" screen, "L" line,
// "C" cursor), a command letter and, for cursor addressing, two raw bytes.
// Anything that is not a recognised command is passed on as characters, so the
// screen shows what was sent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TSimpTermParser;

using TSimpTermCommandProc = std::function<void(TSimpTermParser& Sender, uint8_t Command, int32_t Arg1, int32_t Arg2)>;
using TSimpTermCharProc = std::function<void(TSimpTermParser& Sender, uint8_t Character)>;

// Command codes raised through OnCommand.
enum TSimpTermCommand : uint8_t {
  SimpTermClearScreen = 1,     // ESC S c
  SimpTermScreenHigh = 2,      // ESC S h
  SimpTermScreenLow = 3,       // ESC S l
  SimpTermClearLine = 4,       // ESC L c
  SimpTermClearToEnd = 5,      // ESC L >
  SimpTermInsertLine = 6,      // ESC L i
  SimpTermDeleteLine = 7,      // ESC L d
  SimpTermCursorTo = 8,        // ESC C p x y: column x, row y, raw 0-based bytes
  SimpTermCursorHome = 9,      // ESC C h
  SimpTermCursorDown = 10,     // codes 10 to 13 have no sequence; the TTY page
  SimpTermCursorUp = 11,       // handles them for its own use
  SimpTermCursorRight = 12,
  SimpTermCursorLeft = 13,
};

class TSimpTermParser final {
 public:
  TSimpTermParser() = default;
  TSimpTermParser(const TSimpTermParser&) = delete;
  TSimpTermParser& operator=(const TSimpTermParser&) = delete;

  TSimpTermCommandProc OnCommand;
  TSimpTermCharProc OnChar;

  void Reset();
  void ProcessChar(uint8_t Value);

 private:
  static constexpr uint8_t kEscape = 27;
  enum TClass : uint8_t { ClassNone = 0, ClassScreen = 1, ClassLine = 2, ClassCursor = 3 };

  // Ends the sequence: the parser is idle again before the callback runs, so a
  // callback may feed or reset the parser.
  void SendCollected();
  void RaiseCommand(uint8_t Command, int32_t Arg1, int32_t Arg2);

  bool FInEscape = false;
  std::string FCollected;
  uint8_t FClass = ClassNone;
  uint8_t FPendingCommand = 0;
  int32_t FArgumentsExpected = 0;
  int32_t FArg1 = 0;
  int32_t FArg2 = 0;
};
