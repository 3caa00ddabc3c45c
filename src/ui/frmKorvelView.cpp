// The two terminal pages: the view actions of the CRT and TTY pages, the TTY
// escape-command parser's calls into the TTY control, and the TTY keyboard.
#include <QAction>

#include "AdTerminal.h"
#include "AdVT100Emulator.h"
#include "MapKeys.h"
#include "SimpleTerminal.h"
#include "TTYDisplaySettingsDlg.h"
#include "frmKorvel.h"

// ---------------------------------------------------------------- CRT page

void TMainOrvanta::Crt132ActExecute() {
  // The switch resizes the buffer; the cursor stays where it was, pulled back
  // into the narrower screen when it has to.
  TAdTerminalBuffer& Buffer = FMachine->CrtBuffer();
  const int Row = Buffer.GetCursorRow();
  int Column = Buffer.GetCursorCol();
  if (Crt132Act->isChecked()) {
    FMachine->CrtEmulator().Set132ColumnMode(true);
  } else {
    FMachine->CrtEmulator().Set132ColumnMode(false);
    if (Column >= 80) Column = 79;
  }
  Buffer.SetCursorPosition(Row, Column);
}

void TMainOrvanta::CrtAnsiActExecute() {
  TAdVT100Emulator& Emulator = FMachine->CrtEmulator();
  Emulator.SetAnsiMode(!Emulator.GetAnsiMode());
  CrtAnsiAct->setChecked(Emulator.GetAnsiMode());
}

void TMainOrvanta::CrtAnsiActUpdate() { CrtAnsiAct->setChecked(FMachine->CrtEmulator().GetAnsiMode()); }

void TMainOrvanta::ClearCrtActExecute() {
  FMachine->CrtEmulator().SetAnsiMode(true);
  AdTerminal1->ClearScreen();
  TAdTerminalBuffer& Buffer = FMachine->CrtBuffer();
  Buffer.SetBackColor(AdTerminal1->GetTerminalBackColor());
  Buffer.SetForeColor(AdTerminal1->GetTerminalForeColor());
  // The scroll-back goes too, and the cursor to the top left.
  Buffer.EraseAll();
}

void TMainOrvanta::SetCrtFontExecute() {
  if (const std::optional<QFont> Font = FDialogs->ChooseFont(this, AdTerminal1->font())) AdTerminal1->setFont(*Font);
}

// ---------------------------------------------------------------- TTY page

void TMainOrvanta::TTY132ActExecute() { SimpleTerminal1->SetColumns(TTY132Act->isChecked() ? 132 : 90); }

void TMainOrvanta::ClearTTYActExecute() {
  SimpleTerminal1->ClearScreen();
  // A half-received escape sequence would otherwise act on the cleared screen.
  FMachine->TtyParser().Reset();
}

void TMainOrvanta::SetTttyFontExecute() {
  if (const std::optional<QFont> Font = FDialogs->ChooseFont(this, SimpleTerminal1->font()))
    SimpleTerminal1->setFont(*Font);
}

void TMainOrvanta::TTYDisplaySettingsActExecute() {
  QColor Background;
  QColor Text;
  int Rows = 0;
  GetTtyDisplaySettings(Background, Text, Rows);
  TTYDisplaySettingsDlg->SetSettings(Background, Text, Rows);
  // Only "Update" applies what the dialog shows.
  if (!FDialogs->ExecDialog(this, *TTYDisplaySettingsDlg)) return;
  TTYDisplaySettingsDlg->GetSettings(Background, Text, Rows);
  SetTtyDisplaySettings(Background, Text, Rows);
}

void TMainOrvanta::TTYMapKeysActExecute() {
  // The dialog edits the map the TTY page asks, and writes its file as it closes.
  FDialogs->ExecDialog(this, *MapTermKeys);
}

void TMainOrvanta::SetTtyDisplaySettings(const QColor& Background, const QColor& Text, int Rows) {
  SimpleTerminal1->SetColor(Background);
  SimpleTerminal1->SetFontColor(Text);
  SimpleTerminal1->SetRows(Rows);
}

void TMainOrvanta::GetTtyDisplaySettings(QColor& Background, QColor& Text, int& Rows) const {
  Background = SimpleTerminal1->GetColor();
  Text = SimpleTerminal1->GetFontColor();
  Rows = SimpleTerminal1->GetRows();
}

void TMainOrvanta::TtyControlCode(uint8_t Code, int32_t Arg1, int32_t Arg2) {
  TSimpleTerminal& Terminal = *SimpleTerminal1;
  switch (Code) {
    case 1:
      Terminal.ClearScreen();
      break;
    case 4:
      Terminal.ClearLine();
      break;
    case 5:
      Terminal.ClearToEndOfLine();
      break;
    case 6:
      Terminal.InsertLines(1);
      break;
    case 7:
      Terminal.DeleteLines(1);
      break;
    case 8:
      Terminal.GotoXY(Arg1, Arg2);
      break;
    case 9:
      Terminal.Home();
      break;
    case 10:
      Terminal.CursorDown(1, false);
      break;
    case 11:
      Terminal.CursorUp(1, false);
      break;
    case 12:
      Terminal.CursorRight(1);
      break;
    case 13:
      Terminal.CursorLeft(1);
      break;
    default:
      break;
  }
}

void TMainOrvanta::TtyWriteChar(uint8_t Character) { SimpleTerminal1->WriteChar(Character); }

// The TTY keyboard: a mapped key sends its string and nothing else; every other
// key sends the characters it types.
void TMainOrvanta::SimpleTerminal1KeyDown(int& Key, Qt::KeyboardModifiers Shift) {
  if (FTtyKeyMap == nullptr || !FTtyKeyMap->IsKeyMapped(Key, Shift)) return;
  // Bytes that find the queue full are lost.
  for (char Byte : FTtyKeyMap->GetKeyMapping(Key, Shift)) FMachine->PutTtyKey(static_cast<uint8_t>(Byte));
  Key = 0;
}

void TMainOrvanta::AdTerminal2KeyPress(QChar Key) {
  // The console takes bytes: a character beyond Latin-1 has none, and is not
  // cut down into some other character.
  if (Key.unicode() > 255) return;
  FMachine->PutTtyKey(static_cast<uint8_t>(Key.unicode()));
}

void TMainOrvanta::SimpleTerminal1KeyUp(int& Key, Qt::KeyboardModifiers Shift) {
  if (FTtyKeyMap != nullptr && FTtyKeyMap->IsKeyMapped(Key, Shift)) Key = 0;
}
