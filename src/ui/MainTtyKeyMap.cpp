#include "MainTtyKeyMap.h"

#include <QByteArray>

#include "MapKeys.h"

bool TMainTtyKeyMap::IsKeyMapped(int Key, Qt::KeyboardModifiers Shift) const {
  const uint16_t Code = TtyKeyCode(Key, Shift);
  return Code != 0 && FKeys.IsKeyMapped(Code, Shift);
}

std::string TMainTtyKeyMap::GetKeyMapping(int Key, Qt::KeyboardModifiers Shift) const {
  const uint16_t Code = TtyKeyCode(Key, Shift);
  if (Code == 0) return {};
  return FKeys.GetKeyMapping(Code, Shift).toStdString();
}
