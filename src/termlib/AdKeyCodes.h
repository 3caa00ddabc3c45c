// Key codes of the terminal: the Windows virtual-key numbers that the key map is
// written in. A window control translates its toolkit's keys into these, then passes
// them through AdjustTerminalKeyCode before the emulator's KeyDown.
#pragma once

#include <cstdint>

namespace AdKey {
enum : uint16_t {
  VK_BACK = 0x08, VK_TAB = 0x09, VK_CLEAR = 0x0C, VK_RETURN = 0x0D, VK_SHIFT = 0x10, VK_CONTROL = 0x11, VK_MENU = 0x12,
  VK_PAUSE = 0x13, VK_CAPITAL = 0x14, VK_ESCAPE = 0x1B, VK_SPACE = 0x20, VK_PRIOR = 0x21, VK_NEXT = 0x22, VK_END = 0x23,
  VK_HOME = 0x24, VK_LEFT = 0x25, VK_UP = 0x26, VK_RIGHT = 0x27, VK_DOWN = 0x28, VK_SELECT = 0x29, VK_EXECUTE = 0x2B,
  VK_SNAPSHOT = 0x2C, VK_INSERT = 0x2D, VK_DELETE = 0x2E, VK_HELP = 0x2F, VK_0 = 0x30, VK_A = 0x41,
  VK_NUMPAD0 = 0x60, VK_NUMPAD1, VK_NUMPAD2, VK_NUMPAD3, VK_NUMPAD4, VK_NUMPAD5, VK_NUMPAD6, VK_NUMPAD7, VK_NUMPAD8,
  VK_NUMPAD9, VK_MULTIPLY = 0x6A, VK_ADD = 0x6B, VK_SEPARATOR = 0x6C, VK_SUBTRACT = 0x6D, VK_DECIMAL = 0x6E,
  VK_DIVIDE = 0x6F, VK_F1 = 0x70, VK_F24 = 0x87, VK_NUMLOCK = 0x90, VK_SCROLL = 0x91,
};
}  // namespace AdKey

// The code the emulator is given for a key that went down:
// - Shift, Ctrl and Alt alone give 0 (ignored);
// - with Num Lock off, keypad keys that arrive as navigation keys (not extended) turn
//   back into keypad codes, so the keypad always acts as the VT100 keypad;
// - the keypad's Enter (an extended Enter) becomes VK_EXECUTE (43);
// - a key held down and repeating carries KeyRepeatFlag.
uint16_t AdjustTerminalKeyCode(uint16_t Key, bool Extended, bool NumLockOn, bool Repeated);
