// The VT100 emulator of the CRT page: every received byte goes through the VT100
// parser, each command acts on the screen buffer; the VT100 modes, character sets
// and line attributes live here; keys become the byte sequences of the key map; rows
// are painted through the terminal host with double-width lines, blinking text and
// line-drawing glyphs.
#pragma once

#include <vector>

#include "ADTrmEmu.h"

// One line attribute per buffer row, scroll-back included.
class TAdLineAttrArray {
 public:
  // Keeps the array as long as the buffer's rows (bottom rows kept on a change).
  void Follow(const TAdTerminalBuffer& Buffer);
  TAdLineAttr Get(const TAdTerminalBuffer& Buffer, int ScreenRow);
  void Set(const TAdTerminalBuffer& Buffer, int ScreenRow, TAdLineAttr Value);
  // Rows FirstRow..LastRow (screen rows) moved by Count, as the buffer's rows did.
  void Scroll(const TAdTerminalBuffer& Buffer, int Count, int FirstRow, int LastRow);
  void Clear();

 private:
  int IndexOf(const TAdTerminalBuffer& Buffer, int ScreenRow) const {
    return ScreenRow + Buffer.GetSVRowCount() - Buffer.GetRowCount() - 1;
  }
  std::vector<uint8_t> Attrs;
};

// Designations of G0 and G1.
enum TAdVT100CharSet : uint8_t { vcsUSASCII = 0, vcsUK = 1, vcsLineDraw = 2, vcsROM1 = 3, vcsROM2 = 4 };

class TAdVT100Emulator : public TAdTerminalEmulator {
 public:
  TAdVT100Emulator();

  bool NeedsUpdate() override;
  void ClearScreen() override;
  void ClearAll() override;
  void BlinkPaint(bool BlinkOn) override;
  bool HasBlinkingText() override { return !BlinkList.empty(); }
  void KeyDown(uint16_t& Key, TAdShiftState Shift) override;
  void KeyPress(char& Key) override;
  void LazyPaint() override;
  void Paint(int FirstRow, int LastRow, int FirstCol, int LastCol) override;
  void ProcessBlock(const uint8_t* Data, std::size_t Count, TAdCharSource Source) override;
  using TAdTerminalEmulator::ProcessBlock;

  // Modes. Setting the ANSI mode sets the parser's mode with it.
  bool GetAnsiMode() const { return AnsiMode; }
  void SetAnsiMode(bool Value);
  bool GetAppCursorKeys() const { return AppCursorKeys; }
  void SetAppCursorKeys(bool Value) { AppCursorKeys = Value; }
  bool GetAppKeypad() const { return AppKeypad; }
  void SetAppKeypad(bool Value) { AppKeypad = Value; }
  bool GetAutoRepeat() const { return AutoRepeat; }
  void SetAutoRepeat(bool Value) { AutoRepeat = Value; }
  bool Get132ColumnMode() const { return Col132Mode; }
  // Switches the buffer (and the terminal) between 132 and 80 columns on a change.
  void Set132ColumnMode(bool Value);
  bool GetInsertMode() const { return InsertMode; }
  bool GetInterlace() const { return Interlace; }
  bool GetNewLineMode() const { return NewLineMode; }
  bool GetOriginMode() const { return OriginMode; }
  void SetOriginMode(bool Value);
  bool GetReverseVideo() const { return ReverseVideo; }
  void SetReverseVideo(bool Value);
  bool GetSmoothScroll() const { return SmoothScroll; }
  bool GetAutoWrap() const { return AutoWrap; }
  bool GetG1Active() const { return G1Active; }
  uint8_t GetG0CharSet() const { return G0CharSet; }
  uint8_t GetG1CharSet() const { return G1CharSet; }
  int32_t GetLEDs() const { return LEDs; }
  TAdLineAttr GetLineAttr(int ScreenRow) { return LineAttrs.Get(*Buffer, ScreenRow); }
  bool GetFullRedrawPending() const { return FullRedrawPending; }

  bool DisplayUpperASCII = false;

 private:
  void FeedCharacter(uint8_t C);
  void WriteHighCharacter(uint8_t C);
  void ExecuteVT100Command();
  void SetMode(bool On);
  void SelectGraphicRendition();
  void SetLineAttr(TAdLineAttr Value);
  void Reset();
  void RebuildBlinkList();
  void PaintRow(int Row, int FirstCol, int LastCol, bool ColumnsAreBufferCols, bool TextShown);
  void SendKeySequence(const std::string& Text);
  int32_t Argument(int Index) const { return VT100Parser->GetArgument(Index); }
  // A count argument: 0 or less counts as 1, and no more than Limit is useful.
  int32_t Count(int Index, int32_t Limit) const;

  struct TBlinkRun {
    int Row;
    int FirstCol;
    int LastCol;
  };

  TAdVT100Parser* VT100Parser = nullptr;  // the base's parser, typed
  std::vector<TBlinkRun> BlinkList;
  bool BlinkAttrSeen = false;
  int32_t LEDs = 0;
  TAdLineAttrArray LineAttrs;
  bool FullRedrawPending = false;
  bool AnsiMode = true;
  bool AppCursorKeys = false;
  bool AppKeypad = false;
  bool AutoRepeat = true;
  bool Col132Mode = false;
  bool InsertMode = false;
  bool Interlace = false;
  bool NewLineMode = false;
  bool OriginMode = false;
  bool ReverseVideo = false;
  bool SmoothScroll = false;
  bool AutoWrap = true;
  bool G1Active = false;
  uint8_t G0CharSet = vcsUSASCII;
  uint8_t G1CharSet = vcsUSASCII;
};
