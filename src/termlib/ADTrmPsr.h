// Escape-sequence parsers: TAdTerminalParser is the do-nothing base, TAdVT100Parser
// turns a VT100/ANSI or VT52 byte stream into characters and commands with integer
// arguments. Parsers know nothing of the screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Results of ProcessChar.
enum TAdParserResult : uint8_t {
  pctNone = 0,       // the byte produced nothing
  pctChar = 1,       // a printable byte 32..126
  pctHighChar = 2,   // a byte 127..255 outside a sequence
  pctPending = 3,    // the byte belongs to an unfinished sequence
  pctComplete = 4,   // a command is ready: GetCommand and the arguments describe it
};

// Command codes of the VT100 parser.
namespace VT100 {
enum : uint8_t {
  eNone = 0,
  eChar = 1,
  eCUP = 2,
  eCUU = 3,
  eCUD = 4,
  eCUF = 5,
  eCUB = 6,
  eSM = 13,
  eSGR = 16,
  eSaveCursor = 17,
  eRestoreCursor = 18,
  eDSR = 19,
  eHT = 34,
  eVT = 40,
  eDA = 41,
  eDCH = 43,
  eDL = 45,
  eECH = 49,
  eED = 50,
  eEL = 52,
  eHTS = 65,
  eICH = 66,
  eIL = 67,
  eNEL = 76,
  eRI = 88,
  eRIS = 89,
  eRM = 90,
  eTBC = 106,
  eDECSTBM = 113,
  eENQ = 114,
  eBEL = 115,
  eBS = 116,
  eLF = 117,
  eCR = 118,
  eSO = 119,
  eSI = 120,
  eIND = 121,
  eDECALN = 122,
  eDECDHL = 123,
  eDECDWL = 124,
  eDECLL = 125,
  eDECREQTPARM = 126,
  eDECSWL = 127,
  eDECTST = 128,
  eSCS = 129,
};
}  // namespace VT100

class TAdTerminalParser {
 public:
  explicit TAdTerminalParser(bool UseWideChar) : UseWideChar(UseWideChar) {}
  virtual ~TAdTerminalParser() = default;

  virtual int32_t GetArgument(int Index) const;
  virtual std::string GetSequence() const;
  virtual TAdParserResult ProcessChar(uint8_t Character);
  virtual TAdParserResult ProcessWideChar(char16_t Character);
  virtual void Clear();

  int GetArgCount() const { return ArgCount; }
  uint8_t GetCommand() const { return Command; }
  bool GetUseWideChar() const { return UseWideChar; }

 protected:
  int ArgCount = 0;
  uint8_t Command = 0;
  bool UseWideChar;
};

class TAdVT100Parser : public TAdTerminalParser {
 public:
  // The longest sequence kept; longer ones are swallowed to their end and dropped.
  static constexpr std::size_t MaxSequenceLength = 1024;

  TAdVT100Parser();

  int32_t GetArgument(int Index) const override;
  std::string GetSequence() const override;
  TAdParserResult ProcessChar(uint8_t Character) override;
  void Clear() override;

  // No sequence is in progress: a printable byte now would come back as a character.
  bool InGroundState() const { return State == psIdle || State == psGotCommand; }
  // Records that the printable bytes up to Last were taken as characters without being
  // fed one by one; the parser ends as if it had been fed them.
  void AcceptCharacters(uint8_t Last) {
    ArgCount = 0;
    Sequence.assign(1, static_cast<char>(Last));
    Overflowed = false;
    Command = VT100::eChar;
    State = psGotCommand;
  }
  bool GetInVT52Mode() const { return InVT52Mode; }
  void SetInVT52Mode(bool Value) { InVT52Mode = Value; }
  // Capacity of the argument array (grows by half when full).
  std::size_t GetArgCapacity() const { return Arguments.size(); }
  std::size_t GetSequenceCapacity() const { return Sequence.capacity(); }

 private:
  enum TState : uint8_t {
    psIdle = 0,
    psGotEscape = 1,
    psParsingANSI = 2,
    psParsingHash = 3,
    psParsingLeftParen = 4,
    psParsingRightParen = 5,
    psParsingCharSet = 6,
    psGotCommand = 7,
    psResumeSequence = 8,
    psGotVT52Y = 9,
  };

  void AppendArgument(int32_t Value);
  void SetArguments(std::initializer_list<int32_t> Values);
  void AppendToSequence(uint8_t Character);
  TAdParserResult ProcessControl(uint8_t Character);
  TAdParserResult ProcessEscape(uint8_t Character);
  TAdParserResult ProcessVT52Escape(uint8_t Character);
  TAdParserResult ProcessControlSequence(uint8_t Final);
  bool ParseArguments();
  bool Normalise(int Min, int Max, int32_t Default);

  std::vector<int32_t> Arguments;
  bool InVT52Mode = false;
  std::string SavedSequence;
  TState SavedState = psIdle;
  std::string Sequence;
  // The sequence grew past MaxSequenceLength: its further bytes are not stored and it
  // ends with no result.
  bool Overflowed = false;
  bool SavedOverflowed = false;
  TState State = psIdle;
};
