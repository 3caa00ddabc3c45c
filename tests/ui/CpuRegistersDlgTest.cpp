// "Z80 Registers": every register and flag shown and edited, edits taking
// effect when confirmed, bad text refused, and the CPU page following.
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QTableView>
#include <QTest>
#include <string>
#include <vector>

#include "CpuEmu.h"
#include "MainWindowTestRig.h"
#include "SimpleTerminal.h"
#include "Z80RegistersDlg.h"

using korvel_test::TMainWindowRig;
using korvel_test::TtyRowText;

namespace {

struct TRegistersRig {
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  TCpuEmu& Cpu = Rig.Machine().Cpu();
  TZ80RegistersDlg& Dialog = *Window.Z80RegistersDlg;

  TRegistersRig() {
    Window.ShowPage(TMainOrvanta::CpuPageIndex);
    TMainWindowRig::Settle(1);
  }
  void Open() {
    Window.ShowCPUWindowAct->trigger();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
    TMainWindowRig::Settle(1);
  }
  QLineEdit* Editor() {
    for (QLineEdit* Edit : Dialog.DrawGrid1->findChildren<QLineEdit*>())
      if (Edit->isVisible()) return Edit;
    return nullptr;
  }
  // Opens the editor of byte cell (Column, Row) and types Text over its contents.
  QLineEdit* Type(int Column, int Row, const QString& Text) {
    QTableView& Grid = *Dialog.DrawGrid1;
    const QModelIndex Index = Grid.model()->index(Row, Column);
    QTest::mouseClick(Grid.viewport(), Qt::LeftButton, Qt::NoModifier, Grid.visualRect(Index).center());
    QTest::mouseDClick(Grid.viewport(), Qt::LeftButton, Qt::NoModifier, Grid.visualRect(Index).center());
    TMainWindowRig::Settle(1);
    QLineEdit* Edit = Editor();
    EXPECT_NE(Edit, nullptr) << Column << "," << Row;
    if (Edit == nullptr) return nullptr;
    Edit->selectAll();
    if (Text.isEmpty()) QTest::keyClick(Edit, Qt::Key_Delete);
    QTest::keyClicks(Edit, Text);
    return Edit;
  }
  void Enter(int Column, int Row, const QString& Text) {
    if (QLineEdit* Edit = Type(Column, Row, Text)) QTest::keyClick(Edit, Qt::Key_Return);
    TMainWindowRig::Settle(2);
  }
};

// Each byte cell of the grid: its row, column, and the register it edits.
struct TByteCell {
  int Row;
  int Column;
  uint8_t (TCpuEmu::*Get)() const;
};

const std::vector<TByteCell> ByteCells = {
    {1, 1, &TCpuEmu::GetRegisterPCH},  {1, 2, &TCpuEmu::GetRegisterPCL},   {2, 1, &TCpuEmu::GetRegisterSPH},
    {2, 2, &TCpuEmu::GetRegisterSPL},  {3, 1, &TCpuEmu::GetRegisterIXH},   {3, 2, &TCpuEmu::GetRegisterIXL},
    {4, 1, &TCpuEmu::GetRegisterIYH},  {4, 2, &TCpuEmu::GetRegisterIYL},   {5, 1, &TCpuEmu::GetRegisterA},
    {5, 2, &TCpuEmu::GetStatusFlags},  {6, 1, &TCpuEmu::GetRegisterB},     {6, 2, &TCpuEmu::GetRegisterC},
    {7, 1, &TCpuEmu::GetRegisterD},    {7, 2, &TCpuEmu::GetRegisterE},     {8, 1, &TCpuEmu::GetRegisterH},
    {8, 2, &TCpuEmu::GetRegisterL},    {9, 1, &TCpuEmu::GetExRegisterA},   {9, 2, &TCpuEmu::GetExStatusFlags},
    {10, 1, &TCpuEmu::GetExRegisterB}, {10, 2, &TCpuEmu::GetExRegisterC},  {11, 1, &TCpuEmu::GetExRegisterD},
    {11, 2, &TCpuEmu::GetExRegisterE}, {12, 1, &TCpuEmu::GetExRegisterH},  {12, 2, &TCpuEmu::GetExRegisterL},
};

}  // namespace

TEST(CpuRegistersDlgTest, TheDialogShowsEveryRegister) {
  TRegistersRig R;
  TZ80RegistersDlg& Dialog = R.Dialog;
  EXPECT_FALSE(Dialog.isVisible()) << "made at the start, shown by \"Edit CPU Regiters\"";
  EXPECT_EQ(Dialog.Cpu(), nullptr);
  EXPECT_EQ(Dialog.CellText(1, 1), "") << "no bytes without a processor";
  EXPECT_EQ(Dialog.CellText(0, 1), "PC");

  R.Cpu.SetPair(RegPCH, 0x0100);
  R.Cpu.SetPair(RegSPH, 0xFEDC);
  R.Cpu.SetPair(RegIXH, 0x1234);
  R.Cpu.SetPair(RegIYH, 0x5678);
  R.Cpu.SetRegisterA(0x9A);
  R.Cpu.SetStatusFlags(0x41);
  R.Cpu.SetPair(RegB, 0x0102);
  R.Cpu.SetPair(RegD, 0x0304);
  R.Cpu.SetPair(RegH, 0x0506);
  R.Cpu.SetExRegisterA(0xA1);
  R.Cpu.SetExStatusFlags(0xA2);
  R.Cpu.SetPair(RegAltB, 0xB1B2);
  R.Cpu.SetPair(RegAltD, 0xD1D2);
  R.Cpu.SetPair(RegAltH, 0xE1E2);
  R.Open();
  EXPECT_TRUE(Dialog.isVisible());
  EXPECT_EQ(Dialog.windowTitle(), "Z80 Registers");
  EXPECT_TRUE(Dialog.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ((Dialog.windowFlags() & Qt::Tool), Qt::Tool);
  EXPECT_FALSE(Dialog.isModal());
  EXPECT_EQ(Dialog.width(), 150);
  EXPECT_EQ(Dialog.Cpu(), &R.Cpu);
  EXPECT_EQ(Dialog.GroupBox1->title(), "[ CPU Flags ]");
  EXPECT_EQ(Dialog.HexMemoryDisplay->text(), "Display Hex");
  EXPECT_TRUE(Dialog.HexMemoryDisplay->isChecked());
  // The check box 4 pixels below the flags, the dialog 8 below it.
  EXPECT_EQ(Dialog.HexMemoryDisplay->geometry().top(), Dialog.GroupBox1->geometry().bottom() + 1 + 4);
  EXPECT_EQ(Dialog.height(), Dialog.HexMemoryDisplay->geometry().bottom() + 1 + 8);

  const std::vector<std::vector<std::string>> Expected = {
      {"Reg", "High", "Low"}, {"PC", "01", "00"}, {"SP", "FE", "DC"},  {"IX", "12", "34"},  {"IY", "56", "78"},
      {"AF", "9A", "41"},     {"BC", "01", "02"}, {"DE", "03", "04"},  {"HL", "05", "06"},  {"AF'", "A1", "A2"},
      {"BC'", "B1", "B2"},    {"DE'", "D1", "D2"}, {"HL'", "E1", "E2"}};
  for (int Row = 0; Row < TZ80RegistersDlg::RowCount; ++Row)
    for (int Column = 0; Column < TZ80RegistersDlg::ColumnCount; ++Column)
      EXPECT_EQ(Dialog.CellText(Column, Row).toStdString(), Expected[Row][Column]) << Row << "," << Column;
  // The flags of F: item i is bit i.
  const QStringList Names = {"C - carry", "N - negative",   "P - parity / overflow", "x -  n/u",
                             "H - half carry", "y -  n/u", "Z - zero",              "S - sign"};
  ASSERT_EQ(Dialog.FlagDisplay->count(), 8);
  for (int Bit = 0; Bit < 8; ++Bit) {
    EXPECT_EQ(Dialog.FlagDisplay->item(Bit)->text(), Names[Bit]);
    EXPECT_EQ(Dialog.FlagDisplay->item(Bit)->checkState() == Qt::Checked, Bit == 0 || Bit == 6) << Bit;
  }

  // Decimal when "Display Hex" is off.
  korvel_test::ClickBox(Dialog.HexMemoryDisplay);
  EXPECT_FALSE(Dialog.IsHex());
  EXPECT_EQ(Dialog.CellText(1, 2), "254");
  EXPECT_EQ(Dialog.CellText(2, 5), "65");
  korvel_test::ClickBox(Dialog.HexMemoryDisplay);
  TMainWindowRig::Settle(1);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Dialog), "Cpu-registers-dialog");
  Dialog.close();
}

TEST(CpuRegistersDlgTest, EveryRegisterIsEditedWhenTheEditIsConfirmed) {
  TRegistersRig R;
  R.Cpu.Reset(0x0000);
  R.Open();
  int Value = 0x10;
  for (const TByteCell& Cell : ByteCells) {
    SCOPED_TRACE(R.Dialog.CellText(0, Cell.Row).toStdString() + (Cell.Column == 1 ? " high" : " low"));
    const uint8_t Before = (R.Cpu.*Cell.Get)();
    const QString Text = QStringLiteral("%1").arg(Value, 2, 16, QLatin1Char('0'));
    QLineEdit* Edit = R.Type(Cell.Column, Cell.Row, Text);
    ASSERT_NE(Edit, nullptr);
    EXPECT_EQ((R.Cpu.*Cell.Get)(), Before) << "nothing changes while typing";
    QTest::keyClick(Edit, Qt::Key_Return);
    TMainWindowRig::Settle(2);
    EXPECT_EQ((R.Cpu.*Cell.Get)(), Value);
    EXPECT_EQ(R.Dialog.CellText(Cell.Column, Cell.Row), Text.toUpper());
    Value += 0x09;
  }
  EXPECT_TRUE(R.Rig.Dialogs.Messages.empty());
  // The PC's bytes move the processor's next address, and the CPU page follows.
  EXPECT_EQ(R.Cpu.CurrentPC, 0x1019);
  EXPECT_EQ(TtyRowText(*R.Window.SimpleTerminal2, 1), " PC : 10 19");
  EXPECT_EQ(TtyRowText(*R.Window.SimpleTerminal2, 17).substr(0, 5), " 1019");
  EXPECT_EQ(TtyRowText(*R.Window.SimpleTerminal2, 5), " BC : 6A 73");
  EXPECT_EQ(TtyRowText(*R.Window.SimpleTerminal2, 12), " AF': A0 A9");

  // In decimal, the dialog reads decimal.
  korvel_test::ClickBox(R.Dialog.HexMemoryDisplay);
  R.Enter(2, 6, "200");
  EXPECT_EQ(R.Cpu.GetRegisterC(), 200);
  R.Enter(1, 6, "7");
  EXPECT_EQ(R.Cpu.GetRegisterB(), 7);
  EXPECT_TRUE(R.Rig.Dialogs.Messages.empty());

  // Escape drops the edit.
  QLineEdit* Edit = R.Type(1, 7, "99");
  ASSERT_NE(Edit, nullptr);
  const uint8_t D = R.Cpu.GetRegisterD();
  QTest::keyClick(Edit, Qt::Key_Escape);
  TMainWindowRig::Settle(2);
  EXPECT_EQ(R.Cpu.GetRegisterD(), D);
  R.Dialog.close();
}

TEST(CpuRegistersDlgTest, TextThatIsNoByteIsRefusedWithAMessage) {
  TRegistersRig R;
  R.Cpu.SetRegisterB(0x12);
  R.Open();
  const std::vector<std::pair<QString, bool>> Bad = {{"zz", true}, {"100", true}, {"-1", true}, {"", true},
                                                     {"256", false}, {"1F", false}, {"-3", false}};
  for (const auto& [Text, Hex] : Bad) {
    SCOPED_TRACE(Text.toStdString());
    if (R.Dialog.IsHex() != Hex) korvel_test::ClickBox(R.Dialog.HexMemoryDisplay);
    const size_t Before = R.Rig.Dialogs.Messages.size();
    R.Enter(1, 6, Text);
    EXPECT_EQ(R.Cpu.GetRegisterB(), 0x12);
    ASSERT_EQ(R.Rig.Dialogs.Messages.size(), Before + 1);
    EXPECT_EQ(R.Rig.Dialogs.Messages.back().first, TMachineMessageKind::Warning);
  }
  EXPECT_NE(R.Rig.Dialogs.Messages[1].second.find("out of range"), std::string::npos)
      << R.Rig.Dialogs.Messages[1].second;
  EXPECT_FALSE(R.Dialog.DrawGrid1SetEditText(1, 6, "G"));
  EXPECT_FALSE(R.Dialog.DrawGrid1SetEditText(0, 6, "12")) << "labels are not edited";
  R.Dialog.close();
}

TEST(CpuRegistersDlgTest, TheFlagBoxesSetFAndFollowIt) {
  TRegistersRig R;
  R.Cpu.SetStatusFlags(0x00);
  R.Open();
  QListWidget& Flags = *R.Dialog.FlagDisplay;
  for (int Bit = 0; Bit < 8; ++Bit) EXPECT_EQ(Flags.item(Bit)->checkState(), Qt::Unchecked);
  // A click on each box sets its bit at once; the CPU page shows it.
  uint8_t Expected = 0;
  for (int Bit : {0, 2, 4, 6, 7, 1, 3, 5}) {
    const QRect Item = Flags.visualItemRect(Flags.item(Bit));
    QStyleOptionViewItem Option;
    Option.initFrom(&Flags);
    Option.rect = Item;
    Option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    const QRect Box = Flags.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &Option, &Flags);
    QTest::mouseClick(Flags.viewport(), Qt::LeftButton, Qt::NoModifier, Box.center());
    TMainWindowRig::Settle(1);
    Expected = static_cast<uint8_t>(Expected | 1 << Bit);
    EXPECT_EQ(R.Cpu.GetStatusFlags(), Expected) << "bit " << Bit;
  }
  EXPECT_EQ(R.Dialog.CellText(2, 5), "FF");
  EXPECT_EQ(TtyRowText(*R.Window.SimpleTerminal2, 14), " CNPXHYZS");
  Flags.item(6)->setCheckState(Qt::Unchecked);  // the box's own change, as a click makes it
  EXPECT_EQ(R.Cpu.GetStatusFlags(), 0xBF);
  EXPECT_EQ(TtyRowText(*R.Window.SimpleTerminal2, 14), " CNPXHYzS");

  // F changed elsewhere (an edit of the F byte, a step): the boxes follow.
  R.Enter(2, 5, "05");
  EXPECT_EQ(R.Cpu.GetStatusFlags(), 0x05);
  for (int Bit = 0; Bit < 8; ++Bit)
    EXPECT_EQ(Flags.item(Bit)->checkState() == Qt::Checked, Bit == 0 || Bit == 2) << Bit;
  R.Cpu.SetStatusFlags(0x80);
  R.Window.RefreshCpuPage();
  EXPECT_EQ(Flags.item(7)->checkState(), Qt::Checked);
  EXPECT_EQ(Flags.item(0)->checkState(), Qt::Unchecked);
  TMainWindowRig::Settle(1);
  korvel_test::SaveScreenshot(korvel_test::Rendered(R.Dialog), "Cpu-registers-dialog-flags");
  R.Dialog.close();
}

TEST(CpuRegistersDlgTest, ARunningMachineKeepsTheDialogCurrent) {
  TRegistersRig R;
  const uint8_t Program[] = {0x3C, 0xC3, 0x00, 0x01};  // INC A; JP 0100
  R.Cpu.LoadMemory(0x0100, sizeof Program, Program);
  R.Cpu.Reset(0x0100);
  R.Open();
  R.Window.ShowPage(TMainOrvanta::CrtPageIndex);
  // A whole pass, however long it takes.
  const uint64_t Start = R.Cpu.InstructionCount;
  R.Window.RunCpuAct->trigger();
  R.Rig.WaitFor([&] {
    return R.Cpu.InstructionCount > Start + TMachine::PassInstructionCount || !R.Rig.Machine().GetRunCpu();
  }, 120000);
  EXPECT_GT(R.Cpu.InstructionCount, Start + TMachine::PassInstructionCount);
  R.Window.RunCpuAct->trigger();
  TMainWindowRig::Settle(2);
  EXPECT_EQ(R.Dialog.CellText(1, 5), QStringLiteral("%1").arg(R.Cpu.GetRegisterA(), 2, 16, QLatin1Char('0')).toUpper());
  R.Dialog.close();
}
