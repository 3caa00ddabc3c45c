// The common base of the terminal emulators: a screen buffer linked to one terminal
// control, the virtual operations the control calls for received bytes, keys and
// painting, and a generic command set with named parameters through which an
// OnProcessChar handler can drive the screen without a parser.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ADTrmBuf.h"
#include "ADTrmMap.h"
#include "ADTrmPsr.h"
#include "AdTerminalHost.h"
#include "OoMisc.h"

enum TAdEmuCommand : uint8_t {
  ecNone, ecBell, ecBackspace, ecTabHorz, ecLF, ecCR, ecBackTabHorz, ecCursorDown, ecCursorLeft, ecCursorRight,
  ecCursorUp, ecCursorPos, ecDeleteChars, ecDeleteLines, ecInsertChars, ecInsertLines, ecEraseAll, ecEraseChars,
  ecEraseFromBOW, ecEraseFromBOL, ecEraseLine, ecEraseScreen, ecEraseToEOL, ecEraseToEOW, ecSetHorzTabStop,
  ecClearHorzTabStop, ecClearVertTabStop, ecClearAllHorzTabStops, ecSetVertTabStop, ecClearAllVertTabStops,
  ecSetScrollRegion, ecTabVert, ecBackTabVert, ecBackColor, ecForeColor, ecAbsAddress, ecNoAbsAddress, ecAutoWrap,
  ecNoAutoWrap, ecAutoWrapDelay, ecNoAutoWrapDelay, ecInsertMode, ecNoInsertMode, ecNewLineMode, ecNoNewLineMode,
  ecScrollRegion, ecNoScrollRegion, ecSetCharAttr, ecAddBold, ecBoldOnly, ecRemoveBold, ecInvertBold, ecAddUnderLine,
  ecUnderlineOnly, ecRemoveUnderline, ecInvertUnderline, ecAddStrikethrough, ecStrikethroughOnly,
  ecRemoveStrikethrough, ecInvertStrikethrough, ecAddBlink, ecBlinkOnly, ecRemoveBlink, ecInvertBlink, ecAddReverse,
  ecReverseOnly, ecRemoveReverse, ecInvertReverse, ecAddInvisible, ecInvisibleOnly, ecRemoveInvisible,
  ecInvertInvisible, ecAddSelected, ecRemoveSelected, ecSelectedOnly, ecInvertSelected, ecRemoveAllAttr,
  ecRemoveAllAttrIgnoreSelect, ecClearAndHome, ecHome, ecCursorEOL, ecCursorBOL, ecCursorTop, ecCursorBottom,
  ecWriteString, ecColor, ecSaveCursorPos, ecRestoreCursorPos, ecDeviceAttributesReport, ecNEL, ecReset,
  ecAnswerback, ecDECALN, ecDeviceStatusReport, ecCursorOff, ecCursorUnderline, ecCursorBlock,
};

struct TAdEmuCommandParamsItem {
  std::string Name;
  std::string Value;
};

// Parameters of one command, found by name or, failing that, by position.
class TAdEmuCommandParams {
 public:
  void Add(std::string Name, std::string Value) { Items.push_back({std::move(Name), std::move(Value)}); }
  std::size_t Count() const { return Items.size(); }
  bool GetBoolean(const std::string& Name, int Position, bool Default) const;
  int32_t GetInteger(const std::string& Name, int Position, int32_t Default) const;
  std::string GetString(const std::string& Name, int Position, const std::string& Default) const;

 private:
  const TAdEmuCommandParamsItem* Find(const std::string& Name, int Position) const;
  std::vector<TAdEmuCommandParamsItem> Items;
};

struct TAdEmuCommandListItem {
  TAdEmuCommand Command = ecNone;
  TAdEmuCommandParams Params;
};

class TAdEmuCommandList {
 public:
  TAdEmuCommandListItem& Add(TAdEmuCommand Command) {
    Items.push_back({Command, {}});
    return Items.back();
  }
  void Clear() { Items.clear(); }
  std::size_t Count() const { return Items.size(); }
  const TAdEmuCommandListItem& operator[](std::size_t Index) const { return Items.at(Index); }
  auto begin() const { return Items.begin(); }
  auto end() const { return Items.end(); }

 private:
  std::vector<TAdEmuCommandListItem> Items;
};

class TAdTerminalEmulator;
// Sees every received byte before the parser: it may replace the byte by other text
// (or none) and queue commands that run first.
using TAdOnProcessChar = std::function<void(TAdTerminalEmulator& Sender, uint8_t Character, std::string& ReplaceWith,
                                            TAdEmuCommandList& Commands, TAdCharSource CharSource)>;

class TAdTerminalEmulator : public TApdBaseComponent {
 public:
  TAdTerminalEmulator();
  ~TAdTerminalEmulator() override;
  TAdTerminalEmulator(const TAdTerminalEmulator&) = delete;
  TAdTerminalEmulator& operator=(const TAdTerminalEmulator&) = delete;

  virtual bool NeedsUpdate();
  // Links the emulator to a terminal (not owned); null unlinks it.
  virtual void SetTerminal(TAdTerminalHost* Value);
  TAdTerminalHost* GetTerminal() const { return Terminal; }
  virtual void ClearScreen() {}
  virtual void ClearAll() {}
  virtual void SendKeyboardByte(uint8_t Data, bool EchoAllowed, TAdCharSource Source);
  virtual void BlinkPaint(bool BlinkOn) { (void)BlinkOn; }
  virtual bool HasBlinkingText() { return false; }
  // A key went down; the key is set to 0 when the emulator consumed it.
  virtual void KeyDown(uint16_t& Key, TAdShiftState Shift) {
    (void)Key;
    (void)Shift;
  }
  virtual void KeyPress(char& Key) { (void)Key; }
  virtual void LazyPaint() {}
  // Repaints buffer rows FirstRow..LastRow and columns FirstCol..LastCol (1-based
  // screen rows and columns as the view shows them).
  virtual void Paint(int FirstRow, int LastRow, int FirstCol, int LastCol) {
    (void)FirstRow;
    (void)LastRow;
    (void)FirstCol;
    (void)LastCol;
  }
  virtual void ProcessBlock(const uint8_t* Data, std::size_t Count, TAdCharSource Source) {
    (void)Data;
    (void)Count;
    (void)Source;
  }
  void ProcessBlock(const std::string& Data, TAdCharSource Source = csWriteChar) {
    ProcessBlock(reinterpret_cast<const uint8_t*>(Data.data()), Data.size(), Source);
  }

  // Runs the command list, item by item.
  void ExecuteCommandList();
  void ExecuteCommand(TAdEmuCommand Command, const TAdEmuCommandParams& Params);

  TAdTerminalBuffer& GetBuffer() { return *Buffer; }
  const TAdTerminalBuffer& GetBuffer() const { return *Buffer; }
  TAdCharSetMapping* GetCharSetMapping() { return CharSetMapping.get(); }
  TAdKeyboardMapping* GetKeyboardMapping() { return KeyboardMapping.get(); }
  TAdTerminalParser* GetParser() { return Parser.get(); }
  TAdEmuCommandList& GetCommandList() { return CommandList; }

  std::string Answerback = "Korvel";
  TAdOnProcessChar OnProcessChar;

 protected:
  // The cursor-moved hook installed in the buffer: tells the terminal.
  void InstallBufferHooks();
  virtual void SaveCursor();
  virtual void RestoreCursor();
  void SendReply(const std::string& Text);

  std::unique_ptr<TAdTerminalBuffer> Buffer;
  std::unique_ptr<TAdCharSetMapping> CharSetMapping;
  std::unique_ptr<TAdKeyboardMapping> KeyboardMapping;
  std::unique_ptr<TAdTerminalParser> Parser;
  TAdTerminalHost* Terminal = nullptr;
  TAdEmuCommandList CommandList;

  // The saved cursor; before any save it holds the home position and the defaults.
  struct TSavedCursor {
    uint8_t Attrs = 0;
    TAdColor BackColor = adBlack;
    uint8_t CharSet = 0;
    int Col = 1;
    TAdColor ForeColor = adSilver;
    int Row = 1;
  } Saved;
};
