// A terminal host that records what an emulator asks of it.
#pragma once

#include <string>
#include <vector>

#include "ADTrmEmu.h"
#include "AdTerminalHost.h"

class FakeTerminalHost : public TAdTerminalHost {
 public:
  void KeyboardData(TAdTerminalEmulator&, uint8_t Data) override { Keys.push_back(static_cast<char>(Data)); }
  bool GetHalfDuplex() const override { return HalfDuplex; }
  bool HasPort() const override { return PortOpen; }
  void PortSend(const std::string& Data) override { PortBytes += Data; }
  TAdPortSettings GetPortSettings() const override { return Port; }
  void Beep() override { ++Beeps; }
  void ColumnsChanged(int Columns) override { ColumnChanges.push_back(Columns); }
  void CursorMoved(int Row, int Col) override {
    ++CursorMoves;
    LastCursor = {Row, Col};
  }
  void DisplayChanged() override { ++DisplayChanges; }
  void SetCursorType(TAdCursorType Type) override { CursorType = Type; }
  void SetTerminalForeColor(TAdColor Color) override { ForeColor = Color; }
  void SetTerminalBackColor(TAdColor Color) override { BackColor = Color; }
  TAdColor GetTerminalForeColor() const override { return ForeColor; }
  TAdColor GetTerminalBackColor() const override { return BackColor; }
  void RestoreNumLock() override { ++NumLockRestores; }
  TAdViewGeometry GetViewGeometry() const override { return View; }
  void PaintRun(const TAdPaintRun& Run) override { Runs.push_back(Run); }

  bool HalfDuplex = false;
  bool PortOpen = false;
  TAdPortSettings Port;
  std::string Keys;
  std::string PortBytes;
  int Beeps = 0;
  std::vector<int> ColumnChanges;
  int CursorMoves = 0;
  std::pair<int, int> LastCursor{0, 0};
  int DisplayChanges = 0;
  TAdCursorType CursorType = ctBlock;
  TAdColor ForeColor = adSilver;
  TAdColor BackColor = adBlack;
  int NumLockRestores = 0;
  TAdViewGeometry View;
  std::vector<TAdPaintRun> Runs;
};

inline std::string TrimRight(const std::string& Line) { return Line.substr(0, Line.find_last_not_of(' ') + 1); }
