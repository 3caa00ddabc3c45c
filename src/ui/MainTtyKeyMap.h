// What the TTY page asks of the TTY key map: whether a key (a Qt key code) with
// its modifier keys is to send a string of its own instead, and which bytes.
// The map of the "Map TTY Keys" dialog answers through TMainTtyKeyMap; without a
// map no key is mapped and every key types its character.
#pragma once

#include <Qt>
#include <string>

class TMapTermKeys;

class ITtyKeyMap {
 public:
  virtual ~ITtyKeyMap() = default;
  virtual bool IsKeyMapped(int Key, Qt::KeyboardModifiers Shift) const = 0;
  // The bytes to send for a mapped key; empty for any other.
  virtual std::string GetKeyMapping(int Key, Qt::KeyboardModifiers Shift) const = 0;
};

// The "Map TTY Keys" dialog's map for the TTY page. The map is kept by Windows
// virtual-key number (38 the up arrow, 112 F1); a Qt key becomes one through
// TtyKeyCode, the keypad's navigation keys counting as the keys themselves.
class TMainTtyKeyMap final : public ITtyKeyMap {
 public:
  explicit TMainTtyKeyMap(const TMapTermKeys& Keys) : FKeys(Keys) {}

  bool IsKeyMapped(int Key, Qt::KeyboardModifiers Shift) const override;
  std::string GetKeyMapping(int Key, Qt::KeyboardModifiers Shift) const override;

 private:
  const TMapTermKeys& FKeys;
};
