// The CPU page: the memory grid over all 64 KiB, its editing, the register
// display, the listing, "Execute Next", the breakpoint, and the loads.
#include <QAction>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>
#include <fstream>
#include <string>
#include <vector>

#include "CpuEmu.h"
#include "CpuPageListing.h"
#include "CpuPageMemoryGrid.h"
#include "CpuPageValues.h"
#include "MainWindowTestRig.h"
#include "SimpleTerminal.h"

using korvel_test::TMainWindowRig;
using korvel_test::TtyRowText;

namespace {

// The rig with the CPU page in front and a program at 0100h, the processor
// reset to it.
struct TCpuPageRig {
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  TCpuEmu& Cpu = Rig.Machine().Cpu();
  TCpuMemoryGrid& Grid = *Window.CpuMemoryGrid;
  TSimpleTerminal& Panel = *Window.SimpleTerminal2;

  TCpuPageRig() {
    Window.ShowPage(TMainOrvanta::CpuPageIndex);
    TMainWindowRig::Settle();
  }
  void Program(uint16_t Address, const std::vector<uint8_t>& Bytes) {
    Cpu.LoadMemory(Address, static_cast<uint16_t>(Bytes.size()), Bytes.data());
    Cpu.Reset(Address);
    Window.RefreshCpuPage();
    TMainWindowRig::Settle(1);
  }
  // Selects byte cell (Column, Row) with a click, scrolling it into view.
  void ClickCell(int Column, int Row) {
    const QModelIndex Index = Grid.IndexOfCell(Column, Row);
    Grid.scrollTo(Index);
    TMainWindowRig::Settle(1);
    QTest::mouseClick(Grid.viewport(), Qt::LeftButton, Qt::NoModifier, Grid.visualRect(Index).center());
    TMainWindowRig::Settle(1);
  }
  QLineEdit* Editor() {
    for (QLineEdit* Edit : Grid.findChildren<QLineEdit*>(QStringLiteral("CpuMemoryGridEditor")))
      if (Edit->isVisible()) return Edit;
    return nullptr;
  }
  // Opens the editor on (Column, Row) with F2 and types Text over its contents.
  QLineEdit* TypeIntoCell(int Column, int Row, const QString& Text) {
    ClickCell(Column, Row);
    QTest::keyClick(&Grid, Qt::Key_F2);
    TMainWindowRig::Settle(1);
    QLineEdit* Edit = Editor();
    EXPECT_NE(Edit, nullptr);
    if (Edit == nullptr) return nullptr;
    Edit->selectAll();
    QTest::keyClicks(Edit, Text);
    return Edit;
  }
  // Types Text into (Column, Row) and confirms it with Enter.
  void EnterIntoCell(int Column, int Row, const QString& Text) {
    if (QLineEdit* Edit = TypeIntoCell(Column, Row, Text)) QTest::keyClick(Edit, Qt::Key_Return);
    TMainWindowRig::Settle(2);
  }
  size_t MessageCount() const { return Rig.Dialogs.Messages.size(); }
  std::string LastMessage() const { return Rig.Dialogs.Messages.empty() ? "" : Rig.Dialogs.Messages.back().second; }
};

std::filesystem::path WriteFile(const std::filesystem::path& File, const std::string& Text) {
  std::ofstream(File, std::ios::binary) << Text;
  return File;
}

}  // namespace

TEST(CpuPageTest, TheMemoryGridShowsAllOfMemoryInHexAndDecimal) {
  TCpuPageRig R;
  for (int Address = 0; Address < 0x10000; ++Address)
    R.Cpu.WriteByte(static_cast<uint16_t>(Address), static_cast<uint8_t>(Address * 7 + 3));
  R.Cpu.WriteByte(0x0041, 'A');
  R.Cpu.WriteByte(0x0042, 127);
  R.Cpu.WriteByte(0x0043, 128);
  R.Cpu.WriteByte(0x0044, 31);
  R.Window.RefreshCpuPage();
  TCpuMemoryGrid& Grid = R.Grid;

  EXPECT_EQ(Grid.model()->rowCount() + 1, TCpuMemoryGrid::RowCount) << "4097 rows, row 0 fixed";
  EXPECT_EQ(Grid.model()->columnCount() + 1, TCpuMemoryGrid::ColumnCount) << "18 columns, column 0 fixed";
  EXPECT_TRUE(R.Window.HexMemoryDisplayAct->isChecked());
  // The fixed row and column.
  EXPECT_EQ(Grid.CellText(0, 0), "Hex");
  EXPECT_EQ(Grid.CellText(1, 0), "00");
  EXPECT_EQ(Grid.CellText(11, 0), "0A");
  EXPECT_EQ(Grid.CellText(16, 0), "0F");
  EXPECT_EQ(Grid.CellText(17, 0), "ASCII Text");
  EXPECT_EQ(Grid.CellText(0, 1), "0000");
  EXPECT_EQ(Grid.CellText(0, 2), "0010");
  EXPECT_EQ(Grid.CellText(0, 4096), "FFF0");
  // Every byte cell is its address's byte.
  for (int Row = 1; Row <= 4096; ++Row)
    for (int Column = 1; Column <= 16; ++Column) {
      const int Address = (Row - 1) * 16 + Column - 1;
      ASSERT_EQ(TCpuMemoryGrid::CellAddress(Column, Row), Address);
      ASSERT_EQ(Grid.CellText(Column, Row), ByteText(R.Cpu.ReadByte(static_cast<uint16_t>(Address)), true));
    }
  EXPECT_EQ(TCpuMemoryGrid::CellAddress(16, 4096), 65535);
  EXPECT_EQ(TCpuMemoryGrid::CellAddress(17, 4096), -1);
  EXPECT_EQ(TCpuMemoryGrid::CellAddress(0, 1), -1);
  EXPECT_EQ(Grid.CellText(16, 4096), ByteText(static_cast<uint8_t>(65535 * 7 + 3), true));
  EXPECT_EQ(Grid.CellText(2, 5), "41") << "upper-case digits";
  // The text column: 32..127 as themselves, the rest as ".".
  const QString Text = Grid.CellText(17, 5);
  ASSERT_EQ(Text.size(), 16);
  EXPECT_EQ(Text[1], QLatin1Char('A'));
  EXPECT_EQ(Text[2], QChar(127));
  EXPECT_EQ(Text[3], QLatin1Char('.'));
  EXPECT_EQ(Text[4], QLatin1Char('.'));
  EXPECT_FALSE(Grid.model()->flags(Grid.IndexOfCell(17, 5)) & Qt::ItemIsSelectable);
  EXPECT_FALSE(Grid.model()->flags(Grid.IndexOfCell(17, 5)) & Qt::ItemIsEditable);
  EXPECT_TRUE(Grid.model()->flags(Grid.IndexOfCell(16, 5)) & Qt::ItemIsEditable);

  // The grid is laid out for the radix: in its font, two digits and six pixels.
  const QFontMetrics Metrics(Grid.font());
  EXPECT_EQ(Grid.ColumnWidth(1), Metrics.horizontalAdvance("00") + 6);
  EXPECT_EQ(Grid.ColumnWidth(0), Metrics.horizontalAdvance("0000") + 6);
  EXPECT_EQ(Grid.ColumnWidth(17), Metrics.horizontalAdvance("WWWWWWWWWWWWWWWW") + 6);
  EXPECT_EQ(Grid.columnWidth(0), Grid.ColumnWidth(1));
  EXPECT_EQ(Grid.rowHeight(0), Grid.RowHeight());
  const int HexWidth = Grid.ColumnWidth(1);
  korvel_test::SaveScreenshot(korvel_test::Rendered(R.Window), "Cpu-page-hex");

  // Decimal: "Dec", offsets and addresses without padding, wider columns.
  R.Window.HexMemoryDisplayAct->trigger();
  TMainWindowRig::Settle(1);
  EXPECT_FALSE(R.Window.HexMemoryDisplayAct->isChecked());
  EXPECT_EQ(Grid.CellText(0, 0), "Dec");
  EXPECT_EQ(Grid.CellText(1, 0), "0");
  EXPECT_EQ(Grid.CellText(16, 0), "15");
  EXPECT_EQ(Grid.CellText(0, 4096), "65520");
  EXPECT_EQ(Grid.CellText(0, 2), "16");
  EXPECT_EQ(Grid.CellText(2, 5), "65");
  EXPECT_EQ(Grid.ColumnWidth(1), Metrics.horizontalAdvance("000") + 6);
  EXPECT_EQ(Grid.ColumnWidth(0), Metrics.horizontalAdvance("00000") + 6);
  EXPECT_GT(Grid.columnWidth(0), HexWidth) << "narrower data columns in hexadecimal";
  EXPECT_EQ(Grid.model()->headerData(0, Qt::Horizontal).toString(), "0");

  // The bottom of memory, in view and painted: address 65535 is the last cell.
  Grid.scrollTo(Grid.IndexOfCell(17, 4096));
  TMainWindowRig::Settle(2);
  EXPECT_EQ(Grid.BottomRow(), 4096);
  const QRect Last = Grid.CellRect(16, 4096);
  ASSERT_FALSE(Last.isEmpty()) << Grid.viewport()->width() << "x" << Grid.viewport()->height() << " "
                               << Grid.visualRect(Grid.IndexOfCell(16, 4096)).x() << ","
                               << Grid.visualRect(Grid.IndexOfCell(16, 4096)).y();
  const QImage Image = korvel_test::Rendered(Grid);
  const QColor TipBase = Grid.palette().color(QPalette::ToolTipBase);
  EXPECT_GT(korvel_test::CountPixels(Image, Grid.CellRect(17, 4096), TipBase), Grid.CellRect(17, 4096).width() * 4)
      << "the text column stands on the tool tip colour";
  korvel_test::SaveScreenshot(korvel_test::Rendered(R.Window), "Cpu-page-decimal-bottom");
}

TEST(CpuPageTest, EditingACellWritesTheByteByTheSuffixRules) {
  TCpuPageRig R;
  // Hexadecimal display: small letters, suffixes, and the low 8 bits.
  R.EnterIntoCell(1, 1, "7f");
  EXPECT_EQ(R.Cpu.ReadByte(0x0000), 0x7F);
  EXPECT_EQ(R.Grid.CellText(1, 1), "7F");
  R.EnterIntoCell(2, 1, "65T");
  EXPECT_EQ(R.Cpu.ReadByte(0x0001), 65);
  R.EnterIntoCell(3, 1, "1FF");
  EXPECT_EQ(R.Cpu.ReadByte(0x0002), 0xFF);
  R.EnterIntoCell(4, 1, "12h");
  EXPECT_EQ(R.Cpu.ReadByte(0x0003), 0x12);
  R.EnterIntoCell(16, 4096, "A5");
  EXPECT_EQ(R.Cpu.ReadByte(0xFFFF), 0xA5) << "row 4096, column 16 is address 65535";
  EXPECT_EQ(R.MessageCount(), 0u) << R.LastMessage();

  // Typing on a selected cell opens its editor with what is typed.
  R.ClickCell(5, 2);
  QTest::keyClick(&R.Grid, Qt::Key_3);
  TMainWindowRig::Settle(1);
  ASSERT_NE(R.Editor(), nullptr);
  EXPECT_EQ(R.Grid.GridEditCell(), QPoint(5, 2));
  QTest::keyClick(R.Editor(), Qt::Key_C);
  EXPECT_EQ(R.Grid.GridEditText(), "3c") << "each change of the editor replaces the pending text";
  EXPECT_EQ(R.Cpu.ReadByte(0x0014), 0) << "nothing is stored per keystroke";
  QTest::keyClick(R.Editor(), Qt::Key_Return);
  TMainWindowRig::Settle(2);
  EXPECT_EQ(R.Cpu.ReadByte(0x0014), 0x3C);
  EXPECT_EQ(R.Grid.GridEditCell(), QPoint(-1, -1));
  EXPECT_TRUE(R.Grid.GridEditText().isEmpty());

  // Moving to another cell commits the pending edit.
  R.TypeIntoCell(6, 2, "44");
  R.ClickCell(7, 3);
  EXPECT_EQ(R.Cpu.ReadByte(0x0015), 0x44);
  EXPECT_EQ(R.Grid.GridEditCell(), QPoint(-1, -1));
  EXPECT_EQ(R.Grid.SelectedCell(), QPoint(7, 3));

  // Escape drops it.
  QLineEdit* Edit = R.TypeIntoCell(8, 3, "99");
  ASSERT_NE(Edit, nullptr);
  QTest::keyClick(Edit, Qt::Key_Escape);
  TMainWindowRig::Settle(2);
  EXPECT_EQ(R.Cpu.ReadByte(0x0027), 0);
  EXPECT_EQ(R.Grid.GridEditCell(), QPoint(-1, -1));

  // The text column cannot be selected, and moving into it drops the edit.
  R.TypeIntoCell(16, 3, "55");
  const QModelIndex TextCell = R.Grid.IndexOfCell(17, 3);
  QTest::mouseClick(R.Grid.viewport(), Qt::LeftButton, Qt::NoModifier, R.Grid.visualRect(TextCell).center());
  TMainWindowRig::Settle(2);
  EXPECT_EQ(R.Cpu.ReadByte(0x002F), 0) << "the pending edit was dropped";
  EXPECT_EQ(R.Grid.GridEditCell(), QPoint(-1, -1));
  EXPECT_EQ(R.Grid.SelectedCell(), QPoint(16, 3)) << "the selection stays where it was";
  EXPECT_FALSE(R.Grid.CpuMemoryGridSelectCell(17, 3));
  EXPECT_EQ(R.Grid.currentIndex().column() + 1, 16);
  QTest::keyClick(&R.Grid, Qt::Key_Right);
  EXPECT_EQ(R.Grid.currentIndex().column() + 1, 16) << "the arrow keys do not enter the text column either";
  EXPECT_EQ(R.MessageCount(), 0u) << R.LastMessage();

  // Decimal display: the radix of plain text changes, the suffixes do not.
  R.Window.HexMemoryDisplayAct->trigger();
  TMainWindowRig::Settle(1);
  R.EnterIntoCell(1, 4, "300");
  EXPECT_EQ(R.Cpu.ReadByte(0x0030), 44) << "the low 8 bits of 300";
  R.EnterIntoCell(2, 4, "-1");
  EXPECT_EQ(R.Cpu.ReadByte(0x0031), 255);
  R.EnterIntoCell(3, 4, "7fH");
  EXPECT_EQ(R.Cpu.ReadByte(0x0032), 0x7F);
  R.EnterIntoCell(4, 4, "65t");
  EXPECT_EQ(R.Cpu.ReadByte(0x0033), 65);
  EXPECT_EQ(R.Grid.CellText(4, 4), "65");
  EXPECT_EQ(R.MessageCount(), 0u) << R.LastMessage();
  korvel_test::SaveScreenshot(korvel_test::Rendered(R.Window), "Cpu-page-edited");

  // The window can go while an edit is open: the edit commits to nothing.
  ASSERT_NE(R.TypeIntoCell(5, 5, "66"), nullptr);
  R.Rig.Window.reset();
}

TEST(CpuPageTest, TextThatIsNoNumberIsRefusedAndChangesNothing) {
  TCpuPageRig R;
  R.Cpu.WriteByte(0x0000, 0x11);
  const std::vector<std::pair<QString, bool>> Bad = {
      {"zz", true}, {"H", true}, {"12G", true}, {"7f", false}, {"1FFFFFFFFH", true}, {"99999999999", false}, {"--1", false}};
  for (const auto& [Text, Hex] : Bad) {
    SCOPED_TRACE(Text.toStdString());
    if (R.Window.HexMemoryDisplayAct->isChecked() != Hex) R.Window.HexMemoryDisplayAct->trigger();
    const size_t Before = R.MessageCount();
    R.EnterIntoCell(1, 1, Text);
    EXPECT_EQ(R.Cpu.ReadByte(0x0000), 0x11);
    ASSERT_EQ(R.MessageCount(), Before + 1);
    EXPECT_EQ(R.Rig.Dialogs.Messages.back().first, TMachineMessageKind::Warning);
    EXPECT_NE(R.LastMessage().find(Text.toStdString()), std::string::npos) << R.LastMessage();
  }
  // The same through the window's reading of a cell.
  EXPECT_THROW(R.Window.ParseCellValue("G1"), ECpuValueError);
  EXPECT_EQ(R.Window.ParseCellValue(""), 0) << "an empty text is 0";
  EXPECT_EQ(ParseCellText("7f", true), 0x7F);
  EXPECT_EQ(ParseCellText("FFFFFFFF", true), -1);
  EXPECT_EQ(ParseCellText("-1", false), -1);
  EXPECT_THROW(ParseCellText("T", false), ECpuValueError) << "no digits before the suffix";
}

TEST(CpuPageTest, TheRegisterDisplayShowsEveryRegisterAndTheFlags) {
  TCpuPageRig R;
  R.Program(0x0100, {0x01, 0x34, 0x12, 0x00});
  EXPECT_EQ(R.Panel.GetRows(), 18);
  EXPECT_EQ(R.Panel.GetColumns(), 20);
  EXPECT_FALSE(R.Panel.GetDisplayCursor());
  EXPECT_FALSE(R.Panel.GetWantReturns());
  EXPECT_FALSE(R.Panel.GetWantArrowKeys());
  EXPECT_FALSE(R.Panel.GetWantTabs());
  TCpuEmu& Cpu = R.Cpu;
  Cpu.SetPair(RegSPH, 0xF00D);
  Cpu.SetPair(RegIXH, 0x1234);
  Cpu.SetPair(RegIYH, 0x5678);
  Cpu.SetPair(RegB, 0x0102);
  Cpu.SetPair(RegD, 0x0304);
  Cpu.SetPair(RegH, 0x0506);
  Cpu.SetRegisterA(0x07);
  Cpu.SetStatusFlags(0x00);
  Cpu.SetPair(RegAltB, 0x1112);
  Cpu.SetPair(RegAltD, 0x1314);
  Cpu.SetPair(RegAltH, 0x1516);
  Cpu.SetExRegisterA(0x17);
  Cpu.SetExStatusFlags(0x18);
  R.Window.RefreshCpuPage();
  const std::vector<std::string> Expected = {
      "",         " PC : 01 00", " SP : F0 0D", " IX : 12 34", " IY : 56 78", " BC : 01 02", " DE : 03 04",
      " HL : 05 06", " AF : 07 00", " BC': 11 12", " DE': 13 14", " HL': 15 16", " AF': 17 18", " FLAGS:",
      " cnpxhyzs", "",       " ----",       " 0100 LD BC,1234"};
  for (int Row = 0; Row < 18; ++Row) EXPECT_EQ(TtyRowText(R.Panel, Row), Expected[static_cast<size_t>(Row)]) << Row;
  EXPECT_EQ(R.Panel.GetCell(1, 1).Attribute & TSimpleTerminal::AttrBold, TSimpleTerminal::AttrBold) << "labels";
  EXPECT_EQ(R.Panel.GetCell(1, 6).Attribute, 0) << "values";

  // Set flags in capitals, highlighted.
  Cpu.SetStatusFlags(0xC5);  // S Z P C
  R.Window.RefreshCpuPage();
  EXPECT_EQ(TtyRowText(R.Panel, 14), " CnPxhyZS");
  EXPECT_EQ(R.Panel.GetCell(14, 1).Attribute, TSimpleTerminal::AttrReverse);
  EXPECT_EQ(R.Panel.GetCell(14, 2).Attribute, 0);
  EXPECT_EQ(TtyRowText(R.Panel, 8), " AF : 07 C5");
  korvel_test::SaveScreenshot(korvel_test::Rendered(R.Window), "Cpu-page-registers");
}

TEST(CpuPageTest, ExecuteNextStepsOneInstructionAndShowsTheNext) {
  TCpuPageRig R;
  R.Program(0x0100, {0x01, 0x34, 0x12,   // LD BC,1234
                     0x3E, 0x42,         // LD A,42
                     0xED, 0x00,         // no instruction: two bytes the processor steps over
                     0xDD, 0x01, 0x78, 0x56,  // DD before LD BC,nn
                     0x00});
  EXPECT_EQ(TtyRowText(R.Panel, 16), " ----") << "before the first instruction";
  ASSERT_TRUE(R.Window.StepCpuAct->isEnabled());
  R.Window.StepCpuAct->trigger();
  TMainWindowRig::Settle(1);
  EXPECT_EQ(R.Cpu.GetPC(), 0x0103);
  EXPECT_EQ(R.Cpu.GetPair(RegB), 0x1234);
  EXPECT_EQ(TtyRowText(R.Panel, 1), " PC : 01 03");
  EXPECT_EQ(TtyRowText(R.Panel, 5), " BC : 12 34");
  EXPECT_EQ(TtyRowText(R.Panel, 16), " 0100 LD BC,1234");
  EXPECT_EQ(TtyRowText(R.Panel, 17), " 0103 LD A,42");
  // The listing goes on from the program counter by the processor's lengths,
  // with the bytes of what has no text.
  const QStringList Lines = R.Window.CpuListing->Lines();
  ASSERT_GE(Lines.size(), 4);
  EXPECT_EQ(Lines[0], "0103 LD A,42");
  EXPECT_EQ(Lines[1], "0105 ??? ED00");
  EXPECT_EQ(Lines[2], "0107 ??? DD017856");
  EXPECT_EQ(Lines[3], "010B NOP");

  R.Window.StepCpuAct->trigger();
  R.Window.StepCpuAct->trigger();
  EXPECT_EQ(R.Cpu.GetPC(), 0x0107);
  EXPECT_EQ(TtyRowText(R.Panel, 8).substr(0, 8), " AF : 42");
  EXPECT_EQ(TtyRowText(R.Panel, 16), " 0105 ???");
  EXPECT_EQ(TtyRowText(R.Panel, 17), " 0107 ???");
  R.Window.StepCpuAct->trigger();
  EXPECT_EQ(R.Cpu.GetPC(), 0x010B) << "the listing's next line is where the processor went";
  EXPECT_EQ(R.Window.CpuListing->Lines().value(0), "010B NOP");
  EXPECT_EQ(R.Cpu.GetPair(RegB), 0x5678);
  TMainWindowRig::Settle(1);
  korvel_test::SaveScreenshot(korvel_test::Rendered(R.Window), "Cpu-page-stepped");

  // A taller window: the listing fills the room it gets at once, not at the next step.
  const int LinesBefore = static_cast<int>(R.Window.CpuListing->Lines().size());
  R.Window.resize(R.Window.width(), R.Window.height() + 10 * R.Window.CpuListing->LineHeight());
  TMainWindowRig::Settle(1);
  EXPECT_EQ(R.Window.CpuListing->Lines().size(), R.Window.CpuListing->LineCount());
  EXPECT_GT(R.Window.CpuListing->Lines().size(), LinesBefore);
  EXPECT_EQ(R.Window.CpuListing->Lines().value(0), "010B NOP");

  // While the machine runs, "Execute Next" is off.
  R.Window.RunCpuAct->trigger();
  EXPECT_FALSE(R.Window.StepCpuAct->isEnabled());
  R.Window.RunCpuAct->trigger();
  EXPECT_TRUE(R.Window.StepCpuAct->isEnabled());
}

TEST(CpuPageTest, DisassemblyNearTheTopOfMemoryWraps) {
  TCpuPageRig R;
  R.Cpu.WriteByte(0x0000, 0x12);  // the high byte of LD HL,nn at FFFEh
  R.Cpu.WriteByte(0x0001, 0x00);
  R.Program(0xFFFE, {0x21, 0x34});
  EXPECT_EQ(TtyRowText(R.Panel, 17), " FFFE LD HL,1234");
  const QStringList Lines = R.Window.CpuListing->Lines();
  ASSERT_GE(Lines.size(), 2);
  EXPECT_EQ(Lines[0], "FFFE LD HL,1234");
  EXPECT_EQ(Lines[1], "0001 NOP");
  R.Window.StepCpuAct->trigger();
  EXPECT_EQ(R.Cpu.GetPC(), 0x0001);
  EXPECT_EQ(R.Cpu.GetPair(RegH), 0x1234);
  EXPECT_EQ(TtyRowText(R.Panel, 16), " FFFE LD HL,1234");
  // A listing over the end of memory wraps and goes on.
  int Length = 0;
  R.Cpu.WriteByte(0xFFFF, 0xDD);
  R.Cpu.WriteByte(0x0000, 0x36);
  R.Cpu.WriteByte(0x0001, 0x05);
  R.Cpu.WriteByte(0x0002, 0x77);
  EXPECT_EQ(CpuListingLine(R.Cpu, 0xFFFF, Length), "FFFF LD (IX+d),n");
  EXPECT_EQ(Length, 4);
  const QStringList Wrapped = CpuListingLines(R.Cpu, 0xFFFF, 2);
  EXPECT_EQ(Wrapped.value(1).left(4), "0003");
  // Bytes without text across the end: all of them, wrapped.
  R.Cpu.WriteByte(0xFFFE, 0xDD);
  R.Cpu.WriteByte(0xFFFF, 0xED);
  R.Cpu.WriteByte(0x0000, 0x43);
  R.Cpu.WriteByte(0x0001, 0x34);
  R.Cpu.WriteByte(0x0002, 0x12);
  EXPECT_EQ(CpuListingLine(R.Cpu, 0xFFFE, Length), "FFFE ??? DDED433412");
  EXPECT_EQ(Length, 5);
}

TEST(CpuPageTest, ABreakPointStopsTheRunWithItsMessage) {
  TCpuPageRig R;
  R.Program(0x0100, {0x3E, 0x00,         // LD A,0
                     0x3C,               // 0102: INC A
                     0x00, 0x00,         // NOP, NOP
                     0xC3, 0x02, 0x01}); // 0105: JP 0102
  // A bad address changes nothing.
  R.Rig.Dialogs.TextAnswers = {std::string("G1"), std::string("10000")};
  R.Window.SetBreakPoint->trigger();
  R.Window.SetBreakPoint->trigger();
  EXPECT_FALSE(R.Rig.Machine().BreakPointEnabled);
  ASSERT_EQ(R.MessageCount(), 2u);
  EXPECT_EQ(R.Rig.Dialogs.Messages[0].second, "\"G1\" is not a valid hex address.");
  EXPECT_EQ(R.Rig.Dialogs.Messages[1].second, "The address \"10000\" is out of range.");
  EXPECT_FALSE(R.Window.ClearBreakPointAct->isEnabled());

  R.Rig.Dialogs.TextAnswers = {std::string("0105")};
  R.Window.SetBreakPoint->trigger();
  EXPECT_EQ(R.Rig.Dialogs.TextPrompts.back(), "Set New Break Point|Hex Address|0000");
  EXPECT_TRUE(R.Rig.Machine().BreakPointEnabled);
  EXPECT_EQ(R.Rig.Machine().BreakPointAddress, 0x0105);
  EXPECT_TRUE(R.Window.ClearBreakPointAct->isEnabled());

  R.Window.RunCpuAct->trigger();
  ASSERT_TRUE(R.Rig.WaitFor([&] { return !R.Rig.Machine().GetRunCpu() && R.MessageCount() == 3; }));
  EXPECT_EQ(R.LastMessage(), "Reached break point at 0105");
  EXPECT_FALSE(R.Window.RunCpuAct->isChecked());
  EXPECT_EQ(R.Cpu.CurrentPC, 0x0105);
  EXPECT_EQ(R.Cpu.GetRegisterA(), 1) << "stopped before the instruction at the break point";
  TMainWindowRig::Settle(2);
  EXPECT_EQ(TtyRowText(R.Panel, 17), " 0105 JP (0102)");
  EXPECT_EQ(TtyRowText(R.Panel, 16), " 0104 NOP");
  EXPECT_EQ(TtyRowText(R.Panel, 8).substr(0, 8), " AF : 01");

  // Run again: the instruction at the break point runs first, the next round stops.
  R.Window.RunCpuAct->trigger();
  ASSERT_TRUE(R.Rig.WaitFor([&] { return !R.Rig.Machine().GetRunCpu() && R.MessageCount() == 4; }));
  EXPECT_EQ(R.Cpu.GetRegisterA(), 2);

  // Cleared, the break point no longer stops the machine.
  R.Window.ClearBreakPointAct->trigger();
  EXPECT_FALSE(R.Rig.Machine().BreakPointEnabled);
  EXPECT_FALSE(R.Window.ClearBreakPointAct->isEnabled());
  const uint64_t Cleared = R.Cpu.InstructionCount;
  R.Window.RunCpuAct->trigger();
  R.Rig.WaitFor([&] {
    return R.Cpu.InstructionCount > Cleared + TMachine::PassInstructionCount || !R.Rig.Machine().GetRunCpu();
  }, 120000);
  EXPECT_TRUE(R.Rig.Machine().GetRunCpu());
  R.Window.RunCpuAct->trigger();
  TMainWindowRig::Settle(2);
  EXPECT_EQ(R.MessageCount(), 4u);
  EXPECT_EQ(TtyRowText(R.Panel, 1), " PC : " + ByteText(R.Cpu.GetRegisterPCH(), true).toStdString() + " " +
                                        ByteText(R.Cpu.GetRegisterPCL(), true).toStdString())
      << "the page shows where the machine stopped";
}

TEST(CpuPageTest, ARunningMachineRefreshesOnlyWhatIsInViewAndNotEveryPass) {
  TCpuPageRig R;
  R.Program(0x0100, {0x3C, 0xC3, 0x00, 0x01});  // INC A; JP 0100
  TMainWindowRig::Settle(2);
  // A refresh paints the cells in view, not memory.
  R.Grid.ResetPaintedCellCount();
  R.Window.RefreshCpuPage();
  TMainWindowRig::Settle(2);
  const int InView = (R.Grid.BottomRow() - R.Grid.TopRow() + 1) * 17;
  EXPECT_GT(R.Grid.PaintedCellCount(), 0);
  EXPECT_LE(R.Grid.PaintedCellCount(), InView * 2) << "cells in view: " << InView;

  // Fifty passes, however long they take: a refresh at most once an
  // interval of the time they took, not one a pass.
  const uint64_t Start = R.Cpu.InstructionCount;
  const auto Passes = [&] { return (R.Cpu.InstructionCount - Start) / TMachine::PassInstructionCount; };
  R.Grid.ResetPaintedCellCount();
  QElapsedTimer Clock;
  Clock.start();
  R.Window.RunCpuAct->trigger();
  R.Rig.WaitFor([&] { return Passes() >= 50 || !R.Rig.Machine().GetRunCpu(); }, 120000);
  R.Window.RunCpuAct->trigger();
  const qint64 Elapsed = Clock.elapsed();
  TMainWindowRig::Settle(2);
  ASSERT_GE(Passes(), 50u);
  const int Refreshes = R.Grid.PaintedCellCount() / std::max(1, InView);
  EXPECT_LE(Refreshes, Elapsed / TMainOrvanta::CpuRefreshIntervalMs + 5)
      << Passes() << " passes in " << Elapsed << " ms";
  // The page shows the state the machine stopped in.
  EXPECT_EQ(TtyRowText(R.Panel, 8).substr(0, 8), " AF : " + ByteText(R.Cpu.GetRegisterA(), true).toStdString());
}

TEST(CpuPageTest, LoadHexFilePlacesTheBytesAndSetsThePC) {
  TCpuPageRig R;
  const std::filesystem::path File =
      WriteFile(R.Rig.Public() / "prog.hex", ":03200000C30020F4\r\n:02FFFE00AABB9A\r\n:00000001FF\r\n");
  R.Rig.Dialogs.FileAnswers = {File.string()};
  R.Window.LoadHexFileAct->trigger();
  TMainWindowRig::Settle(2);
  ASSERT_FALSE(R.Rig.Dialogs.FileRequests.empty());
  EXPECT_EQ(R.Rig.Dialogs.FileRequests.back().Title, "Load Hex File To Memory");
  EXPECT_EQ(R.Cpu.ReadByte(0x2000), 0xC3);
  EXPECT_EQ(R.Cpu.ReadByte(0x2001), 0x00);
  EXPECT_EQ(R.Cpu.ReadByte(0x2002), 0x20);
  EXPECT_EQ(R.Cpu.ReadByte(0xFFFE), 0xAA);
  EXPECT_EQ(R.Cpu.ReadByte(0xFFFF), 0xBB);
  EXPECT_EQ(R.Cpu.GetPC(), 0x2000);
  EXPECT_EQ(TtyRowText(R.Panel, 17), " 2000 JP (2000)");
  EXPECT_EQ(R.Grid.CellText(1, 0x201), "C3");
  EXPECT_FALSE(R.Rig.Machine().GetRunCpu()) << "the run state is kept";

  // A malformed file is reported with its line and loads nothing.
  R.Cpu.Reset(0x0100);
  const std::filesystem::path Bad =
      WriteFile(R.Rig.Public() / "bad.hex", ":0230000011223B\r\n:02300200XX33AB\r\n:00000001FF\r\n");
  R.Rig.Dialogs.FileAnswers = {Bad.string()};
  R.Window.LoadHexFileAct->trigger();
  TMainWindowRig::Settle(2);
  ASSERT_EQ(R.MessageCount(), 1u);
  EXPECT_EQ(R.Rig.Dialogs.Messages[0].first, TMachineMessageKind::Error);
  EXPECT_NE(R.LastMessage().find("line 2"), std::string::npos) << R.LastMessage();
  EXPECT_EQ(R.Cpu.ReadByte(0x3000), 0) << "not even the good line before it";
  EXPECT_EQ(R.Cpu.GetPC(), 0x0100);
}

TEST(CpuPageTest, LoadBinnaryFilePlacesTheProgramAt0100) {
  TCpuPageRig R;
  std::string Program(130, '\0');
  for (size_t Index = 0; Index < Program.size(); ++Index) Program[Index] = static_cast<char>(Index + 1);
  const std::filesystem::path File = WriteFile(R.Rig.Public() / "prog.com", Program);
  R.Program(0x0100, {0x00});
  EXPECT_EQ(TtyRowText(R.Panel, 17), " 0100 NOP");
  R.Cpu.WriteByte(0x0200, 0x99);
  R.Rig.Dialogs.FileAnswers = {File.string()};
  R.Window.LoadBinFileAct->trigger();
  TMainWindowRig::Settle(2);
  EXPECT_EQ(R.Rig.Dialogs.FileRequests.back().Title, "Load CPM Program Image");
  EXPECT_EQ(R.Cpu.ReadByte(0x0100), 1);
  EXPECT_EQ(R.Cpu.ReadByte(0x0181), 130);
  EXPECT_EQ(R.Cpu.ReadByte(0x0182), 26) << "padded with ^Z to whole records";
  EXPECT_EQ(R.Cpu.ReadByte(0x01FF), 26);
  EXPECT_EQ(R.Cpu.ReadByte(0x0200), 0x99) << "nothing beyond the last record";
  ASSERT_EQ(R.MessageCount(), 1u);
  EXPECT_EQ(R.LastMessage(), "Program loaded, uses 1 blocks.");
  EXPECT_EQ(R.Grid.CellText(2, 0x11), "02");
  EXPECT_EQ(TtyRowText(R.Panel, 17), " 0100 LD BC,0302") << "the page shows the program";
  EXPECT_EQ(R.Window.CpuListing->Lines().value(0), "0100 LD BC,0302");
}

TEST(CpuPageTest, TheToolBarAndTheRegistersActionAreThere) {
  TCpuPageRig R;
  QStringList Captions;
  for (QAction* Action : R.Window.CpuToolBar->actions()) Captions << Action->text();
  EXPECT_EQ(Captions, QStringList({"Boot CPM System", "Run CPU", "Execute Next", "Set Break Point",
                                   "Clear Break Point", "Edit CPU Regiters"}));
  EXPECT_TRUE(R.Window.ShowCPUWindowAct->isEnabled());
  EXPECT_EQ(R.Window.ShowCPUWindowAct->property("Category").toString(), "CPU");
}
