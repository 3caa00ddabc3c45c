// The "CPU" page: its tool bar of the CPU actions over the panel that holds the
// register display, the listing of the next instructions and the memory grid;
// and the "Z80 Registers" dialog beside the window.
//
// Everything here reads the processor when it is refreshed: after a step, a
// load, a cold boot, an edit, and after each run-loop pass. While the machine
// runs, the page and the dialog are refreshed at most every CpuRefreshIntervalMs
// and only when they are shown, so a running machine keeps its speed; the last
// state is always shown once the machine stops.
#include <QAction>
#include <QHBoxLayout>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <string>

#include "CpuPageListing.h"
#include "CpuPageMemoryGrid.h"
#include "CpuPageValues.h"
#include "OpcodeToText.h"
#include "SimpleTerminal.h"
#include "Z80RegistersDlg.h"
#include "frmKorvel.h"

namespace {

// The register panel: 20 columns by 18 rows; labels in column 1 of rows 1 to
// 13, the values from column 6, the flags in row 14, the previous and the next
// instruction in rows 16 and 17.
constexpr int PanelColumns = 20;
constexpr int PanelRows = 18;
constexpr int LabelColumn = 1;
constexpr int ValueColumn = 6;
constexpr int FlagsRow = 14;
constexpr int PreviousRow = 16;
constexpr int NextRow = 17;
constexpr uint8_t LabelAttribute = TSimpleTerminal::AttrBold;
constexpr uint8_t SetFlagAttribute = TSimpleTerminal::AttrReverse;

const char* const RegisterLabels[] = {"PC : ", "SP : ", "IX : ", "IY : ", "BC : ", "DE : ", "HL : ",
                                      "AF : ", "BC': ", "DE': ", "HL': ", "AF': ", "FLAGS: "};

std::string HexByte(uint8_t Value) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  return {Digits[Value >> 4], Digits[Value & 15]};
}

std::string HexWord(uint16_t Value) {
  return HexByte(static_cast<uint8_t>(Value >> 8)) + HexByte(static_cast<uint8_t>(Value));
}

// "AAAA TEXT" of the instruction at Address.
std::string InstructionLine(const TCpuEmu& Cpu, uint16_t Address) {
  std::string Text;
  DisassembleMemory(Cpu, Address, Text);
  return HexWord(Address) + " " + Text;
}

}  // namespace

void TMainOrvanta::CreateCpuPage() {
  CpuPage = new QWidget(PageControl1);
  CpuPage->setObjectName(QStringLiteral("CpuPage"));
  auto* Layout = new QVBoxLayout(CpuPage);
  Layout->setContentsMargins(0, 0, 0, 0);

  CpuToolBar = new QToolBar(CpuPage);
  CpuToolBar->setObjectName(QStringLiteral("CpuToolBar"));
  CpuToolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  for (QAction* Action : {ResetCPMAct, RunCpuAct, StepCpuAct, SetBreakPoint, ClearBreakPointAct, ShowCPUWindowAct})
    CpuToolBar->addAction(Action);
  Layout->addWidget(CpuToolBar);

  CpuMemoryPanel = new QWidget(CpuPage);
  CpuMemoryPanel->setObjectName(QStringLiteral("CpuMemoryPanel"));
  auto* PanelLayout = new QHBoxLayout(CpuMemoryPanel);
  PanelLayout->setContentsMargins(4, 4, 4, 4);
  Layout->addWidget(CpuMemoryPanel, 1);

  // The register display at the left, the listing below it.
  auto* Left = new QVBoxLayout;
  SimpleTerminal2 = new TSimpleTerminal(CpuMemoryPanel);
  SimpleTerminal2->setObjectName(QStringLiteral("SimpleTerminal2"));
  SimpleTerminal2->setFont(TSimpleTerminal::FixedPitchFont(QStringLiteral("Lucida Console"), 15));
  SimpleTerminal2->SetRows(PanelRows);
  SimpleTerminal2->SetColumns(PanelColumns);
  SimpleTerminal2->SetDisplayCursor(false);
  SimpleTerminal2->SetLineWrap(false);
  SimpleTerminal2->SetWantTabs(false);
  SimpleTerminal2->SetWantReturns(false);
  SimpleTerminal2->SetWantArrowKeys(false);
  SimpleTerminal2->setFocusPolicy(Qt::NoFocus);
  SimpleTerminal2->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  Left->addWidget(SimpleTerminal2, 0, Qt::AlignLeft | Qt::AlignTop);
  CpuListing = new TCpuListingView(CpuMemoryPanel);
  CpuListing->setObjectName(QStringLiteral("CpuListing"));
  Left->addWidget(CpuListing, 1);
  CpuListing->OnLineCountChanged = [this] {
    if (!FMachine) return;
    const TCpuEmu& Cpu = FMachine->Cpu();
    CpuListing->SetLines(CpuListingLines(Cpu, Cpu.CurrentPC, CpuListing->LineCount()));
  };
  PanelLayout->addLayout(Left);

  CpuMemoryGrid = new TCpuMemoryGrid(CpuMemoryPanel);
  CpuMemoryGrid->setObjectName(QStringLiteral("CpuMemoryGrid"));
  CpuMemoryGrid->SetCpu(&FMachine->Cpu());
  CpuMemoryGrid->OnCommitEdit = [this](int Address, const QString& Text) { return CpuMemoryGridCommit(Address, Text); };
  PanelLayout->addWidget(CpuMemoryGrid, 1);

  PageControl1->addTab(CpuPage, QStringLiteral("CPU"));

  // The dialog is there from the start, without a processor until "Edit CPU
  // Regiters" connects it.
  Z80RegistersDlg = new TZ80RegistersDlg(this);
  Z80RegistersDlg->OnMessage = [this](const std::string& Text) { ShowMessageLater(TMachineMessageKind::Warning, Text); };

  FCpuRefreshTimer = new QTimer(this);
  FCpuRefreshTimer->setSingleShot(true);
  connect(FCpuRefreshTimer, &QTimer::timeout, this, [this] { RefreshCpuPage(); });
  // The machine stopped (by the user, a break point, an error): the page shows
  // where, whatever the last pass's refresh left out.
  connect(RunCpuAct, &QAction::toggled, this, [this](bool Running) {
    if (!Running) RefreshCpuPage();
  });

  ShowCpuRegisters();
}

void TMainOrvanta::ShowCpuRegisters() {
  TSimpleTerminal& Panel = *SimpleTerminal2;
  Panel.SetAttribute(0);
  Panel.ClearScreen();
  // The labels' attribute keeps them apart from the values written after them.
  Panel.SetAttribute(LabelAttribute);
  int Row = 1;
  for (const char* Label : RegisterLabels) {
    Panel.GotoXY(LabelColumn, Row++);
    Panel.WriteText(Label);
    Panel.ClearRestOfField();
  }
  Panel.SetAttribute(0);
}

void TMainOrvanta::LayoutMemoryGrid() {
  if (CpuMemoryGrid != nullptr) CpuMemoryGrid->LayoutGrid(HexMemoryDisplayAct->isChecked());
}

void TMainOrvanta::RefreshCpuPage() {
  if (SimpleTerminal2 == nullptr || !FMachine) return;
  const bool PageShown = PageControl1->currentWidget() == CpuPage;
  const bool DialogShown = Z80RegistersDlg->isVisible();
  const auto Now = std::chrono::steady_clock::now();
  // "Run CPU" turns off before the machine stops: from then on nothing waits.
  if (RunCpuAct->isChecked() && FMachine->GetRunCpu() && !FMachine->ShutdownRequested) {
    // A pass of the running machine: nothing to do for views out of sight, and
    // at most one refresh an interval; the timer brings the last one.
    if (!PageShown && !DialogShown) return;
    const auto Since = Now - FLastCpuRefresh;
    const auto Interval = std::chrono::milliseconds(CpuRefreshIntervalMs);
    if (Since < Interval) {
      if (!FCpuRefreshTimer->isActive())
        FCpuRefreshTimer->start(
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Interval - Since).count()) + 1);
      return;
    }
  }
  FCpuRefreshTimer->stop();
  FLastCpuRefresh = Now;

  const TCpuEmu& Cpu = FMachine->Cpu();
  TSimpleTerminal& Panel = *SimpleTerminal2;
  Panel.SetAttribute(0);
  const uint8_t Pairs[][2] = {
      {Cpu.GetRegisterPCH(), Cpu.GetRegisterPCL()}, {Cpu.GetRegisterSPH(), Cpu.GetRegisterSPL()},
      {Cpu.GetRegisterIXH(), Cpu.GetRegisterIXL()}, {Cpu.GetRegisterIYH(), Cpu.GetRegisterIYL()},
      {Cpu.GetRegisterB(), Cpu.GetRegisterC()},     {Cpu.GetRegisterD(), Cpu.GetRegisterE()},
      {Cpu.GetRegisterH(), Cpu.GetRegisterL()},     {Cpu.GetRegisterA(), Cpu.GetStatusFlags()},
      {Cpu.GetExRegisterB(), Cpu.GetExRegisterC()}, {Cpu.GetExRegisterD(), Cpu.GetExRegisterE()},
      {Cpu.GetExRegisterH(), Cpu.GetExRegisterL()}, {Cpu.GetExRegisterA(), Cpu.GetExStatusFlags()},
  };
  int Row = 1;
  for (const auto& Pair : Pairs) {
    Panel.GotoXY(ValueColumn, Row++);
    Panel.WriteText(HexByte(Pair[0]) + " " + HexByte(Pair[1]));
    Panel.ClearRestOfField();
  }

  // The flags, bit 0 first: a set flag in capitals and highlighted.
  Panel.GotoXY(LabelColumn, FlagsRow);
  const uint8_t Flags = Cpu.GetStatusFlags();
  static constexpr char FlagLetters[] = "CNPXHYZS";
  for (int Bit = 0; Bit < 8; ++Bit) {
    const bool Set = (Flags >> Bit & 1) != 0;
    Panel.SetAttribute(Set ? SetFlagAttribute : 0);
    const char Letter = FlagLetters[Bit];
    Panel.WriteChar(static_cast<uint8_t>(Set ? Letter : Letter - 'A' + 'a'));
  }
  Panel.SetAttribute(0);

  Panel.GotoXY(LabelColumn, PreviousRow);
  Panel.WriteText(Cpu.InstructionCount > 0 ? InstructionLine(Cpu, Cpu.InstructionPC) : std::string("----"));
  Panel.ClearRestOfField();
  Panel.GotoXY(LabelColumn, NextRow);
  Panel.WriteText(InstructionLine(Cpu, Cpu.CurrentPC));
  Panel.ClearRestOfField();

  CpuListing->SetLines(CpuListingLines(Cpu, Cpu.CurrentPC, CpuListing->LineCount()));
  CpuMemoryGrid->RefreshGrid();
  if (DialogShown) Z80RegistersDlg->RefreshRegisters();
}

int32_t TMainOrvanta::ParseCellValue(const QString& Text) const {
  return ParseCellText(Text, HexMemoryDisplayAct->isChecked());
}

bool TMainOrvanta::CpuMemoryGridCommit(int Address, const QString& Text) {
  int32_t Value = 0;
  try {
    Value = ParseCellValue(Text);
  } catch (const ECpuValueError& Error) {
    // The byte keeps its value. The message waits until the grid has closed its editor.
    ShowMessageLater(TMachineMessageKind::Warning, Error.what());
    return false;
  }
  FMachine->Cpu().WriteByte(static_cast<uint16_t>(Address), static_cast<uint8_t>(Value));
  RefreshCpuPage();
  return true;
}

void TMainOrvanta::ShowCPUWindowActExecute() {
  Z80RegistersDlg->SetCpu(&FMachine->Cpu());
  Z80RegistersDlg->OnChange = [this] { RefreshCpuPage(); };
  Z80RegistersDlg->show();
  Z80RegistersDlg->raise();
  Z80RegistersDlg->activateWindow();
}

void TMainOrvanta::ShowMessageLater(TMachineMessageKind Kind, const std::string& Text) {
  QTimer::singleShot(0, this, [this, Kind, Text] { ShowMessage(Kind, Text); });
}
