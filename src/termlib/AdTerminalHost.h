// What an emulator needs from the terminal control it is attached to, and what it
// hands the control to paint. The window control implements it with a real canvas,
// caret and clipboard; tests implement it with a fake that records the calls. Every
// operation has a harmless default, so a control overrides only what it offers.
#pragma once

#include <cstdint>
#include <string>

#include "ADTrmBuf.h"

class TAdTerminalEmulator;

// Where bytes given to an emulator came from.
enum TAdCharSource : uint8_t { csUnknown = 0, csKeyboard = 1, csPort = 2, csWriteChar = 3 };

enum TAdCursorType : uint8_t { ctNone, ctUnderline, ctBlock };

// Modifier keys held with a key, as bits.
using TAdShiftState = uint8_t;
inline constexpr TAdShiftState ssShift = 1;
inline constexpr TAdShiftState ssAlt = 2;
inline constexpr TAdShiftState ssCtrl = 4;

// Key codes are the Windows virtual-key numbers the key map is written in (0x26 the
// up arrow, 0x70 F1, 0x60 keypad 0, 0x2B the keypad Enter, 0x90 Num Lock). A control
// translates its toolkit's keys to these. A held-down repeat carries KeyRepeatFlag.
inline constexpr uint16_t KeyRepeatFlag = 0x8000;

enum TAdParity : uint8_t { apNone, apOdd, apEven, apMark, apSpace };

// Line settings of the serial port linked to a terminal, for the VT100 parameter report.
struct TAdPortSettings {
  int BaudRate = 9600;
  TAdParity Parity = apNone;
  int DataBits = 8;
};

// The part of the buffer a view shows: buffer cell (OriginRow, OriginCol) at its top
// left (1-based screen rows, 0 and below being scroll-back), VisibleRows x VisibleCols
// cells at least partly shown.
struct TAdViewGeometry {
  int OriginRow = 1;
  int OriginCol = 1;
  int VisibleRows = 24;
  int VisibleCols = 132;
};

// Line attributes of the VT100.
enum TAdLineAttr : uint8_t { laNormal = 0, laDoubleHeightTop = 1, laDoubleHeightBottom = 2, laDoubleWidth = 3 };

// One run of cells to paint: equal colours and attributes, one font. ViewRow and
// ViewCol are 0-based cells of the view; on double-width and double-height lines
// each cell is CellWidthFactor cells wide and ViewCol may be -1 (half scrolled off).
struct TAdPaintRun {
  int ViewRow = 0;
  int ViewCol = 0;
  int CellCount = 0;
  int CellWidthFactor = 1;
  TAdLineAttr LineAttr = laNormal;
  std::string FontName;  // "<Default>": the terminal's own font
  std::string Text;      // glyph codes in that font, CellCount of them
  TAdColor TextColor = adSilver;
  TAdColor FillColor = adBlack;
  bool Underline = false;
  bool Strikethrough = false;
  bool TextShown = true;  // false: only the fill (blinking text in its off phase)
};

class TAdTerminalHost {
 public:
  virtual ~TAdTerminalHost() = default;

  // A byte typed on the keyboard, for the machine (the keyboard-data event).
  virtual void KeyboardData(TAdTerminalEmulator& Sender, uint8_t Data) {
    (void)Sender;
    (void)Data;
  }
  // Typed bytes are shown locally as well.
  virtual bool GetHalfDuplex() const { return false; }
  // A serial port is linked and open; replies and keys then go to it.
  virtual bool HasPort() const { return false; }
  virtual void PortSend(const std::string& Data) { (void)Data; }
  virtual TAdPortSettings GetPortSettings() const { return {}; }
  // The system's asterisk beep.
  virtual void Beep() {}
  // The terminal's column count changed to Columns (80/132 switch); the buffer is
  // already resized.
  virtual void ColumnsChanged(int Columns) { (void)Columns; }
  // The buffer's cursor moved (screen repaint, following the cursor, the caret).
  virtual void CursorMoved(int Row, int Col) {
    (void)Row;
    (void)Col;
  }
  // The buffer has changed cells to repaint.
  virtual void DisplayChanged() {}
  virtual void SetCursorType(TAdCursorType Type) { (void)Type; }
  // The terminal's own colours (its font colour and its background), for commands that
  // make a colour persistent.
  virtual void SetTerminalForeColor(TAdColor Color) { (void)Color; }
  virtual void SetTerminalBackColor(TAdColor Color) { (void)Color; }
  virtual TAdColor GetTerminalForeColor() const { return adSilver; }
  virtual TAdColor GetTerminalBackColor() const { return adBlack; }
  // Num Lock doubles as the PF1 key: the control undoes the toggle of its state.
  virtual void RestoreNumLock() {}
  // Painting.
  virtual TAdViewGeometry GetViewGeometry() const { return {}; }
  virtual void PaintRun(const TAdPaintRun& Run) { (void)Run; }
};
