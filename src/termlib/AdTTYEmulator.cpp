#include "AdTTYEmulator.h"

#include <algorithm>

#include "AdTerminalPainter.h"

TAdTTYEmulator::TAdTTYEmulator() {
  Buffer = std::make_unique<TAdTerminalBuffer>(false);
  InstallBufferHooks();
}

bool TAdTTYEmulator::NeedsUpdate() {
  return Buffer->HasDisplayChanges() || FullRedrawPending || Buffer->GetCursorMoved();
}

void TAdTTYEmulator::ClearScreen() { Buffer->EraseScreen(); }

void TAdTTYEmulator::ClearAll() { Buffer->EraseAll(); }

void TAdTTYEmulator::KeyPress(char& Key) { SendKeyboardByte(static_cast<uint8_t>(Key), true, csKeyboard); }

void TAdTTYEmulator::FeedCharacter(uint8_t C) {
  if (C >= 32) {
    Buffer->WriteChar(C);
    return;
  }
  static const TAdEmuCommandParams NoParams;
  switch (C) {
    case 7:
      ExecuteCommand(ecBell, NoParams);
      break;
    case 8:
      ExecuteCommand(ecBackspace, NoParams);
      break;
    case 9:
      ExecuteCommand(ecTabHorz, NoParams);
      break;
    case 10:
      ExecuteCommand(ecLF, NoParams);
      break;
    case 13:
      ExecuteCommand(ecCR, NoParams);
      break;
    default:
      break;  // every other control character does nothing
  }
}

void TAdTTYEmulator::ProcessBlock(const uint8_t* Data, std::size_t Count, TAdCharSource Source) {
  for (std::size_t I = 0; I < Count; ++I) {
    const uint8_t Byte = Data[I];
    if (!OnProcessChar) {
      if (Byte >= 32) {
        std::size_t End = I + 1;
        while (End < Count && Data[End] >= 32) ++End;
        Buffer->WriteChars(Data + I, End - I);
        I = End - 1;
      } else {
        FeedCharacter(Byte);
      }
      continue;
    }
    std::string Replacement(1, static_cast<char>(Byte));
    CommandList.Clear();
    OnProcessChar(*this, Byte, Replacement, CommandList, Source);
    ExecuteCommandList();
    for (char C : Replacement) FeedCharacter(static_cast<uint8_t>(C));
  }
}

void TAdTTYEmulator::FollowTerminalColors() {
  if (Terminal == nullptr) return;
  const TAdColor Fore = Terminal->GetTerminalForeColor();
  const TAdColor Back = Terminal->GetTerminalBackColor();
  if (Fore == Buffer->GetForeColor()) return;
  Buffer->SetDefBackColor(Back);
  Buffer->SetDefForeColor(Fore);
  Buffer->SetBackColor(Back);
  Buffer->SetForeColor(Fore);
  FullRedrawPending = true;
}

void TAdTTYEmulator::PaintRows(int FirstRow, int LastRow, int FirstCol, int LastCol) {
  TAdRowPaintOptions Options;
  for (int Row = FirstRow; Row <= LastRow; ++Row) PaintBufferRow(*Buffer, *Terminal, Row, FirstCol, LastCol, Options);
}

void TAdTTYEmulator::LazyPaint() {
  if (Terminal == nullptr) return;
  FollowTerminalColors();
  const TAdViewGeometry View = Terminal->GetViewGeometry();
  TAdScreenRect Rect;
  if (FullRedrawPending) {
    FullRedrawPending = false;
    while (Buffer->GetInvalidRect(Rect)) {
    }
    PaintRows(View.OriginRow, View.OriginRow + View.VisibleRows - 1, 1, Buffer->GetColCount());
    return;
  }
  while (Buffer->GetInvalidRect(Rect)) PaintRows(Rect.Top, Rect.Bottom, Rect.Left, Rect.Right);
}

void TAdTTYEmulator::Paint(int FirstRow, int LastRow, int FirstCol, int LastCol) {
  if (Terminal == nullptr) return;
  FollowTerminalColors();
  PaintRows(FirstRow, LastRow, FirstCol, LastCol);
}
