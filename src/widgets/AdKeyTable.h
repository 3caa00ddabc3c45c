// The one table that turns Qt's keys into the key numbers the terminal's key map is
// written in (the Windows virtual-key numbers of AdKeyCodes.h), and the character a
// key types when the key map does not take it.
#pragma once

#include <QByteArray>
#include <cstdint>

#include "AdTerminalHost.h"

class QKeyEvent;

// A key as the terminal sees it.
struct TAdTerminalKey {
  // The key number for the emulator's KeyDown, with KeyRepeatFlag on an auto-repeat;
  // 0 when the key has no number (a modifier alone, a key the table does not list).
  uint16_t Key = 0;
  TAdShiftState Shift = 0;
  // The bytes the key types when the emulator leaves it: a control character for
  // Ctrl with a letter, the key's own character for Enter, Tab, Escape and Delete,
  // else the event's text with every character above 255 left out. Empty when the
  // key types nothing.
  QByteArray Characters;
};

// The key number of a Qt key; Keypad says the key came from the numeric keypad.
// 0 for keys the table does not list.
uint16_t AdKeyNumber(int QtKey, bool Keypad);

// The key number (through AdjustTerminalKeyCode), modifiers and typed bytes of a
// key-press event.
TAdTerminalKey TranslateKeyEvent(const QKeyEvent& Event);
