// What the TTY page asks of the TTY key map: whether a key (a Qt key code) with
// its modifier keys is to send a string of its own instead, and which bytes.
// The map of the "Map TTY Keys" dialog implements it; without a map no key is
// mapped and every key types its character.
#pragma once

#include <Qt>
#include <string>

class ITtyKeyMap {
 public:
  virtual ~ITtyKeyMap() = default;
  virtual bool IsKeyMapped(int Key, Qt::KeyboardModifiers Shift) const = 0;
  // The bytes to send for a mapped key; empty for any other.
  virtual std::string GetKeyMapping(int Key, Qt::KeyboardModifiers Shift) const = 0;
};
