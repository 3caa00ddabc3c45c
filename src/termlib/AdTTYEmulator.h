// The plain emulator every terminal starts with: five control characters act, every
// other byte from 32 up is written as it is.
#pragma once

#include "ADTrmEmu.h"

class TAdTTYEmulator : public TAdTerminalEmulator {
 public:
  TAdTTYEmulator();

  bool NeedsUpdate() override;
  void ClearScreen() override;
  void ClearAll() override;
  void KeyPress(char& Key) override;
  void LazyPaint() override;
  void Paint(int FirstRow, int LastRow, int FirstCol, int LastCol) override;
  void ProcessBlock(const uint8_t* Data, std::size_t Count, TAdCharSource Source) override;
  using TAdTerminalEmulator::ProcessBlock;

 private:
  void FeedCharacter(uint8_t C);
  void FollowTerminalColors();
  void PaintRows(int FirstRow, int LastRow, int FirstCol, int LastCol);

  bool FullRedrawPending = false;
};
