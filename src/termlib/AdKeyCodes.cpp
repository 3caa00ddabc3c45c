#include "AdKeyCodes.h"

#include "AdTerminalHost.h"

uint16_t AdjustTerminalKeyCode(uint16_t Key, bool Extended, bool NumLockOn, bool Repeated) {
  using namespace AdKey;
  if (Key == VK_SHIFT || Key == VK_CONTROL || Key == VK_MENU) return 0;
  if (!Extended && !NumLockOn) {
    switch (Key) {
      case VK_CLEAR: Key = VK_NUMPAD5; break;
      case VK_PRIOR: Key = VK_NUMPAD9; break;
      case VK_NEXT: Key = VK_NUMPAD3; break;
      case VK_END: Key = VK_NUMPAD1; break;
      case VK_HOME: Key = VK_NUMPAD7; break;
      case VK_LEFT: Key = VK_NUMPAD4; break;
      case VK_UP: Key = VK_NUMPAD8; break;
      case VK_RIGHT: Key = VK_NUMPAD6; break;
      case VK_DOWN: Key = VK_NUMPAD2; break;
      case VK_INSERT: Key = VK_NUMPAD0; break;
      case VK_DELETE: Key = VK_DECIMAL; break;
      default: break;
    }
  }
  if (Extended && Key == VK_RETURN) Key = VK_EXECUTE;
  if (Repeated) Key |= KeyRepeatFlag;
  return Key;
}
