#include "AdKeyTable.h"

#include <QKeyEvent>

#include "AdKeyCodes.h"

namespace {

struct TKeyTableEntry {
  int QtKey;
  bool Keypad;          // listed for the numeric keypad only
  uint16_t KeyNumber;   // the Windows virtual-key number
  bool Extended;        // the key Windows reports as extended (the keypad's Enter)
  char Character;       // what the key types when the key map leaves it; 0: the event's text
};

// Keypad keys come first: with Num Lock on they arrive as digits, with it off as
// navigation keys, both with Qt's keypad flag, and either way they are the VT100's
// keypad keys. Every other key is looked up without the flag.
constexpr TKeyTableEntry KeyTable[] = {
    {Qt::Key_0, true, AdKey::VK_NUMPAD0, false, 0},
    {Qt::Key_1, true, AdKey::VK_NUMPAD1, false, 0},
    {Qt::Key_2, true, AdKey::VK_NUMPAD2, false, 0},
    {Qt::Key_3, true, AdKey::VK_NUMPAD3, false, 0},
    {Qt::Key_4, true, AdKey::VK_NUMPAD4, false, 0},
    {Qt::Key_5, true, AdKey::VK_NUMPAD5, false, 0},
    {Qt::Key_6, true, AdKey::VK_NUMPAD6, false, 0},
    {Qt::Key_7, true, AdKey::VK_NUMPAD7, false, 0},
    {Qt::Key_8, true, AdKey::VK_NUMPAD8, false, 0},
    {Qt::Key_9, true, AdKey::VK_NUMPAD9, false, 0},
    {Qt::Key_Insert, true, AdKey::VK_NUMPAD0, false, 0},
    {Qt::Key_End, true, AdKey::VK_NUMPAD1, false, 0},
    {Qt::Key_Down, true, AdKey::VK_NUMPAD2, false, 0},
    {Qt::Key_PageDown, true, AdKey::VK_NUMPAD3, false, 0},
    {Qt::Key_Left, true, AdKey::VK_NUMPAD4, false, 0},
    {Qt::Key_Clear, true, AdKey::VK_NUMPAD5, false, 0},
    {Qt::Key_Right, true, AdKey::VK_NUMPAD6, false, 0},
    {Qt::Key_Home, true, AdKey::VK_NUMPAD7, false, 0},
    {Qt::Key_Up, true, AdKey::VK_NUMPAD8, false, 0},
    {Qt::Key_PageUp, true, AdKey::VK_NUMPAD9, false, 0},
    {Qt::Key_Asterisk, true, AdKey::VK_MULTIPLY, false, 0},
    {Qt::Key_Plus, true, AdKey::VK_ADD, false, 0},
    {Qt::Key_Comma, true, AdKey::VK_SEPARATOR, false, 0},
    {Qt::Key_Minus, true, AdKey::VK_SUBTRACT, false, 0},
    {Qt::Key_Period, true, AdKey::VK_DECIMAL, false, 0},
    {Qt::Key_Delete, true, AdKey::VK_DECIMAL, false, 0},
    {Qt::Key_Slash, true, AdKey::VK_DIVIDE, false, 0},

    {Qt::Key_Backspace, false, AdKey::VK_BACK, false, 8},
    {Qt::Key_Tab, false, AdKey::VK_TAB, false, 9},
    {Qt::Key_Backtab, false, AdKey::VK_TAB, false, 9},
    {Qt::Key_Clear, false, AdKey::VK_CLEAR, false, 0},
    {Qt::Key_Return, false, AdKey::VK_RETURN, false, 13},
    {Qt::Key_Enter, false, AdKey::VK_RETURN, true, 13},  // the keypad's Enter
    {Qt::Key_Shift, false, AdKey::VK_SHIFT, false, 0},
    {Qt::Key_Control, false, AdKey::VK_CONTROL, false, 0},
    {Qt::Key_Alt, false, AdKey::VK_MENU, false, 0},
    {Qt::Key_Pause, false, AdKey::VK_PAUSE, false, 0},
    {Qt::Key_CapsLock, false, AdKey::VK_CAPITAL, false, 0},
    {Qt::Key_Escape, false, AdKey::VK_ESCAPE, false, 27},
    {Qt::Key_Space, false, AdKey::VK_SPACE, false, ' '},
    {Qt::Key_PageUp, false, AdKey::VK_PRIOR, false, 0},
    {Qt::Key_PageDown, false, AdKey::VK_NEXT, false, 0},
    {Qt::Key_End, false, AdKey::VK_END, false, 0},
    {Qt::Key_Home, false, AdKey::VK_HOME, false, 0},
    {Qt::Key_Left, false, AdKey::VK_LEFT, false, 0},
    {Qt::Key_Up, false, AdKey::VK_UP, false, 0},
    {Qt::Key_Right, false, AdKey::VK_RIGHT, false, 0},
    {Qt::Key_Down, false, AdKey::VK_DOWN, false, 0},
    {Qt::Key_Select, false, AdKey::VK_SELECT, false, 0},
    {Qt::Key_Execute, false, AdKey::VK_EXECUTE, false, 0},
    {Qt::Key_Print, false, AdKey::VK_SNAPSHOT, false, 0},
    {Qt::Key_Insert, false, AdKey::VK_INSERT, false, 0},
    {Qt::Key_Delete, false, AdKey::VK_DELETE, false, 127},
    {Qt::Key_Help, false, AdKey::VK_HELP, false, 0},
    {Qt::Key_NumLock, false, AdKey::VK_NUMLOCK, false, 0},
    {Qt::Key_ScrollLock, false, AdKey::VK_SCROLL, false, 0},
};

const TKeyTableEntry* FindEntry(int QtKey, bool Keypad) {
  if (Keypad)
    for (const TKeyTableEntry& Entry : KeyTable)
      if (Entry.Keypad && Entry.QtKey == QtKey) return &Entry;
  for (const TKeyTableEntry& Entry : KeyTable)
    if (!Entry.Keypad && Entry.QtKey == QtKey) return &Entry;
  return nullptr;
}

// Digits, letters and function keys run in the same order in both numberings.
uint16_t RangeKeyNumber(int QtKey) {
  if (QtKey >= Qt::Key_0 && QtKey <= Qt::Key_9) return static_cast<uint16_t>(AdKey::VK_0 + (QtKey - Qt::Key_0));
  if (QtKey >= Qt::Key_A && QtKey <= Qt::Key_Z) return static_cast<uint16_t>(AdKey::VK_A + (QtKey - Qt::Key_A));
  if (QtKey >= Qt::Key_F1 && QtKey <= Qt::Key_F24) return static_cast<uint16_t>(AdKey::VK_F1 + (QtKey - Qt::Key_F1));
  return 0;
}

// The control character Ctrl gives with a key: Ctrl+A..Ctrl+Z are 1..26, Ctrl+[ \ ] ^ _
// are 27..31; -1 for other keys.
int ControlCharacter(int QtKey) {
  if (QtKey >= Qt::Key_A && QtKey <= Qt::Key_Z) return QtKey - Qt::Key_A + 1;
  switch (QtKey) {
    case Qt::Key_BracketLeft: return 27;
    case Qt::Key_Backslash: return 28;
    case Qt::Key_BracketRight: return 29;
    case Qt::Key_AsciiCircum: return 30;
    case Qt::Key_Underscore: return 31;
    default: return -1;
  }
}

}  // namespace

uint16_t AdKeyNumber(int QtKey, bool Keypad) {
  if (const TKeyTableEntry* Entry = FindEntry(QtKey, Keypad)) return Entry->KeyNumber;
  return RangeKeyNumber(QtKey);
}

TAdTerminalKey TranslateKeyEvent(const QKeyEvent& Event) {
  TAdTerminalKey Result;
  const Qt::KeyboardModifiers Modifiers = Event.modifiers();
  if (Modifiers & Qt::ShiftModifier) Result.Shift |= ssShift;
  if (Modifiers & Qt::ControlModifier) Result.Shift |= ssCtrl;
  if (Modifiers & Qt::AltModifier) Result.Shift |= ssAlt;

  const int QtKey = Event.key();
  const TKeyTableEntry* Entry = FindEntry(QtKey, (Modifiers & Qt::KeypadModifier) != 0);
  const uint16_t Number = Entry != nullptr ? Entry->KeyNumber : RangeKeyNumber(QtKey);
  if (Number != 0)
    Result.Key = AdjustTerminalKeyCode(Number, Entry != nullptr && Entry->Extended, true, Event.isAutoRepeat());
  if (Number == AdKey::VK_SHIFT || Number == AdKey::VK_CONTROL || Number == AdKey::VK_MENU) return Result;

  const bool Ctrl = (Modifiers & Qt::ControlModifier) != 0;
  const bool Alt = (Modifiers & Qt::AltModifier) != 0;
  if (Ctrl && !Alt) {
    const int Control = ControlCharacter(QtKey);
    if (Control > 0)
      Result.Characters.append(static_cast<char>(Control));
    else if (Entry != nullptr && Entry->Character != 0)
      Result.Characters.append(Entry->Character);
    return Result;
  }
  // Alt with a key is a menu or system key on the desktop: it types nothing.
  if (Alt) return Result;
  if (Entry != nullptr && Entry->Character != 0) {
    Result.Characters.append(Entry->Character);
    return Result;
  }
  for (const QChar Char : Event.text()) {
    const char16_t Code = Char.unicode();
    // Only what one byte can carry; a wider character is left out, never cut.
    if (Code != 0 && Code <= 0xFF) Result.Characters.append(static_cast<char>(Code));
  }
  return Result;
}
