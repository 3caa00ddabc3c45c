// The page control and the two terminal pages: "CRT", the VT100 terminal of the
// machine's CRT console, and "TTY", the plain terminal of its TTY console.
#include <QTabWidget>
#include <QVBoxLayout>

#include "AdTerminal.h"
#include "AdVT100Emulator.h"
#include "SimpleTerminal.h"
#include "frmKorvel.h"

void TMainOrvanta::CreatePages() {
  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  setCentralWidget(PageControl1);
  CreateCrtPage();
  CreateTtyPage();
  CreateDisksPage();
  CreatePortsPage();
  CreateDiskManagerPage();
  CreateCpuPage();
  connect(PageControl1, &QTabWidget::currentChanged, this, [this] { Guarded([this] { PageControl1Change(); }); });
}

void TMainOrvanta::CreateCrtPage() {
  CrtPage = new QWidget(PageControl1);
  CrtPage->setObjectName(QStringLiteral("CrtPage"));
  auto* Layout = new QVBoxLayout(CrtPage);
  Layout->setContentsMargins(0, 0, 0, 0);

  AdTerminal1 = new TAdTerminal(CrtPage);
  AdTerminal1->setObjectName(QStringLiteral("AdTerminal1"));
  AdTerminal1->setFont(TSimpleTerminal::FixedPitchFont(QStringLiteral("Lucida Console"), 15));
  AdTerminal1->SetColor(QColor(0, 0, 0));
  AdTerminal1->SetFontColor(QColor(0, 255, 0));
  AdTerminal1->SetScrollback(false);
  AdTerminal1->SetCursorType(ctUnderline);
  AdTerminal1->SetWantAllKeys(true);
  // What CP/M writes shows at once, the view never moves into the scroll-back, and
  // the mouse selects nothing: a click or Ctrl+C belongs to the program in CP/M.
  AdTerminal1->SetUseLazyDisplay(false);
  AdTerminal1->SetLazyByteDelay(1);
  AdTerminal1->SetLazyTimeDelay(1);
  AdTerminal1->SetMouseSelect(false);
  AdTerminal1->SetAutoScrollback(false);
  AdTerminal1->SetFreezeScrollBack(false);
  // The machine's VT100 emulator shows on this terminal; its text takes the
  // terminal's colours.
  TAdTerminalBuffer& Buffer = FMachine->CrtBuffer();
  Buffer.SetDefBackColor(AdTerminal1->GetTerminalBackColor());
  Buffer.SetDefForeColor(AdTerminal1->GetTerminalForeColor());
  Buffer.SetBackColor(AdTerminal1->GetTerminalBackColor());
  Buffer.SetForeColor(AdTerminal1->GetTerminalForeColor());
  AdTerminal1->SetEmulator(&FMachine->CrtEmulator());
  // The CRT key hook: typed bytes go to the machine's CRT key queue (DEL as BS).
  AdTerminal1->OnKeyboardData = [this](TAdTerminalEmulator&, uint8_t Data) { FMachine->CrtKeyHook(Data); };
  Layout->addWidget(AdTerminal1);
  PageControl1->addTab(CrtPage, QStringLiteral("CRT"));
}

void TMainOrvanta::CreateTtyPage() {
  TtyPage = new QWidget(PageControl1);
  TtyPage->setObjectName(QStringLiteral("TtyPage"));
  auto* Layout = new QVBoxLayout(TtyPage);
  Layout->setContentsMargins(0, 0, 0, 0);

  SimpleTerminal1 = new TSimpleTerminal(TtyPage);
  SimpleTerminal1->setObjectName(QStringLiteral("SimpleTerminal1"));
  SimpleTerminal1->setFont(TSimpleTerminal::FixedPitchFont(QStringLiteral("Lucida Console"), 15));
  SimpleTerminal1->SetColor(QColor(166, 202, 240));  // sky blue
  SimpleTerminal1->SetFontColor(QColor(255, 255, 0));
  SimpleTerminal1->SetRows(50);
  SimpleTerminal1->SetColumns(90);
  SimpleTerminal1->SetLineWrap(false);
  SimpleTerminal1->OnKeyDown = [this](TSimpleTerminal&, int& Key, Qt::KeyboardModifiers Shift) {
    Guarded([&] { SimpleTerminal1KeyDown(Key, Shift); });
  };
  SimpleTerminal1->OnKeyPress = [this](TSimpleTerminal&, QChar Key) { Guarded([&] { AdTerminal2KeyPress(Key); }); };
  SimpleTerminal1->OnKeyUp = [this](TSimpleTerminal&, int& Key, Qt::KeyboardModifiers Shift) {
    Guarded([&] { SimpleTerminal1KeyUp(Key, Shift); });
  };
  Layout->addWidget(SimpleTerminal1);
  PageControl1->addTab(TtyPage, QStringLiteral("TTY"));
}
