// The TTY terminal control as a user sees it: glyphs in their cells and colours,
// reverse and blank cells, the cursor bar and its blink, wrapping, scrolling and
// the scroll region, tabs, ignored bytes, scroll bars, the CPU page's register
// panel and the keys the control keeps or leaves to the window.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QTest>
#include <string>
#include <vector>

#include "SimpleTerminal.h"
#include "WidgetTestSupport.h"

namespace {

using korvel_test::Rendered;

const QColor SkyBlue(166, 202, 240);
const QColor Yellow(255, 255, 0);
const QColor Red(255, 0, 0);

// The fixed test font without smoothing: every pixel is fore or back colour.
QFont CrispFont(int PixelSize = 15) {
  QFont font = korvel_test::TestFixedFont(PixelSize);
  font.setStyleStrategy(QFont::NoAntialias);
  return font;
}

QColor Inverted(const QColor& Color) { return QColor(255 - Color.red(), 255 - Color.green(), 255 - Color.blue()); }

// The cell as shown in the window, whose client area starts at the control's top left.
QImage ShownCell(const QImage& Shot, const TSimpleTerminal& Terminal, int Row, int Column) {
  const int left = Column * Terminal.GetCellWidth() - Terminal.horizontalScrollBar()->value();
  const int top = Row * Terminal.GetCellHeight() - Terminal.verticalScrollBar()->value();
  return Shot.copy(left, top, Terminal.GetCellWidth(), Terminal.GetCellHeight());
}

// A cell drawn independently: Character at the cell's top left in Fore on Back.
QImage ExpectedCell(const TSimpleTerminal& Terminal, char Character, const QColor& Fore, const QColor& Back,
                    bool Bold = false) {
  QImage cell(Terminal.GetCellWidth(), Terminal.GetCellHeight(), QImage::Format_RGB32);
  cell.fill(Back);
  QPainter painter(&cell);
  QFont font = Terminal.font();
  font.setBold(Bold);
  painter.setFont(font);
  painter.setPen(Fore);
  painter.drawText(0, QFontMetrics(Terminal.font()).ascent(), QString(QChar::fromLatin1(Character)));
  return cell;
}

int CountPixels(const QImage& Image, const QColor& Color, QRect Area = QRect()) {
  if (Area.isNull()) Area = Image.rect();
  int count = 0;
  for (int y = Area.top(); y <= Area.bottom(); ++y)
    for (int x = Area.left(); x <= Area.right(); ++x) count += Image.pixelColor(x, y) == Color;
  return count;
}

bool IsPlain(const QImage& Cell, const QColor& Color) { return CountPixels(Cell, Color) == Cell.width() * Cell.height(); }

// The cursor bar: the bottom four pixel rows inverted, the rows above plain.
bool ShowsCursorBar(const QImage& Cell, const QColor& Back) {
  const int barTop = Cell.height() - TSimpleTerminal::CursorBarHeight;
  return CountPixels(Cell, Inverted(Back), QRect(0, barTop, Cell.width(), 4)) == Cell.width() * 4 &&
         CountPixels(Cell, Back, QRect(0, 0, Cell.width(), barTop)) == Cell.width() * barTop;
}

#define EXPECT_CELL(Shot, Terminal, Row, Column, Character, Fore, Back) \
  EXPECT_EQ(ShownCell(Shot, Terminal, Row, Column), ExpectedCell(Terminal, Character, Fore, Back)) \
      << "cell " << (Row) << "," << (Column) << " should show '" << (Character) << "'"

void SetUpTty(TSimpleTerminal& Terminal) {
  Terminal.setFont(CrispFont());
  Terminal.SetColor(SkyBlue);
  Terminal.SetFontColor(Yellow);
}

TEST(SimpleTerminal, TtyPageShowsTextInItsColoursWithReverseBlankAndOwnCellColours) {
  TSimpleTerminal tty;
  SetUpTty(tty);
  tty.SetRows(50);
  tty.SetLineWrap(false);
  EXPECT_EQ(tty.size(), QSize(80 * tty.GetCellWidth(), 50 * tty.GetCellHeight())) << "AutoSize fits the screen";
  tty.show();
  korvel_test::ProcessEvents();
  tty.SetDisplayCursor(false);

  tty.WriteText("Hello, CP/M\r\nA>DIR\r\n");
  tty.GotoXY(0, 3);
  tty.SetAttribute(TSimpleTerminal::AttrReverse | TSimpleTerminal::AttrBlank);  // bit 1 is never written
  tty.WriteText("R ");
  tty.SetAttribute(0);
  tty.SetCurrentForeColor(qRgb(255, 0, 0));
  tty.WriteText("X");
  tty.SetCurrentForeColor(TSimpleTerminal::KeepColor);
  tty.GotoXY(2, 3);
  tty.WriteText("Y");  // keeps the red of the cell it overwrites

  QImage shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 0, 0, 'H', Yellow, SkyBlue);
  EXPECT_GT(CountPixels(ShownCell(shot, tty, 0, 0), Yellow), 5) << "the glyph is drawn in the font colour";
  EXPECT_CELL(shot, tty, 0, 10, 'M', Yellow, SkyBlue);
  EXPECT_CELL(shot, tty, 1, 4, 'R', Yellow, SkyBlue);
  EXPECT_TRUE(IsPlain(ShownCell(shot, tty, 0, 11), SkyBlue)) << "a blank cell is background only";
  EXPECT_TRUE(IsPlain(ShownCell(shot, tty, 49, 79), SkyBlue));
  EXPECT_CELL(shot, tty, 3, 0, 'R', SkyBlue, Yellow) << "reverse: back colour on fore colour";
  EXPECT_TRUE(IsPlain(ShownCell(shot, tty, 3, 1), Yellow)) << "a reverse space is a fore-coloured block";
  EXPECT_CELL(shot, tty, 3, 2, 'Y', Red, SkyBlue);

  // A new font colour repaints the cells that use the control's colours only.
  tty.SetFontColor(QColor(0, 0, 0));
  shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 0, 0, 'H', QColor(0, 0, 0), SkyBlue);
  EXPECT_CELL(shot, tty, 3, 0, 'R', SkyBlue, QColor(0, 0, 0));
  EXPECT_CELL(shot, tty, 3, 2, 'Y', Red, SkyBlue);
  tty.SetFontColor(Yellow);

  // A field ends at the first blank cell; a written space is no end.
  tty.GotoXY(6, 5);
  tty.WriteText("E F");
  tty.GotoXY(0, 5);
  tty.WriteText("ABCD\b\b\b");
  tty.ClearRestOfField();
  shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 5, 0, 'A', Yellow, SkyBlue);
  EXPECT_TRUE(IsPlain(ShownCell(shot, tty, 5, 3), SkyBlue));
  EXPECT_CELL(shot, tty, 5, 6, 'E', Yellow, SkyBlue);
  tty.CursorRight(6);
  tty.ClearToEndOfLine();
  EXPECT_CELL(Rendered(tty), tty, 5, 6, 'E', Yellow, SkyBlue);
  EXPECT_TRUE(IsPlain(ShownCell(Rendered(tty), tty, 5, 8), SkyBlue));

  tty.GotoXY(0, 7);
  tty.WriteText("A>TYPE README.TXT\r\nThe quick brown fox jumps over the lazy dog. 0123456789 ~!@#$%^&*()\r\nA>");
  tty.SetDisplayCursor(true);
  korvel_test::SaveScreenshot(Rendered(tty), "simple_terminal_tty_page");
}

TEST(SimpleTerminal, CursorBarInvertsTheBottomOfItsCellAndBlinks) {
  TSimpleTerminal tty;
  SetUpTty(tty);
  tty.show();
  korvel_test::ProcessEvents();
  tty.WriteText("ab");
  QImage shot = Rendered(tty);
  EXPECT_TRUE(ShowsCursorBar(ShownCell(shot, tty, 0, 2), SkyBlue)) << "shown after writing, at the cursor";
  EXPECT_CELL(shot, tty, 0, 1, 'b', Yellow, SkyBlue);

  tty.GotoXY(5, 1);
  QElapsedTimer clock;  // output starts the blink period afresh
  clock.start();
  tty.WriteText("Z");
  shot = Rendered(tty);
  EXPECT_TRUE(IsPlain(ShownCell(shot, tty, 0, 2), SkyBlue)) << "hiding redraws the old cell";
  EXPECT_CELL(shot, tty, 1, 5, 'Z', Yellow, SkyBlue) << "the bar never stays in a written cell";
  EXPECT_TRUE(ShowsCursorBar(ShownCell(shot, tty, 1, 6), SkyBlue));

  // Blinking: off no sooner than about half a second after the output, on
  // again no sooner than another half second later, however slowly they come.
  auto barShown = [&] { return ShowsCursorBar(ShownCell(Rendered(tty), tty, 1, 6), SkyBlue); };
  ASSERT_TRUE(QTest::qWaitFor([&] { return !barShown(); }, 60000));
  EXPECT_GE(clock.elapsed(), 400);
  EXPECT_TRUE(IsPlain(ShownCell(Rendered(tty), tty, 1, 6), SkyBlue));
  ASSERT_TRUE(QTest::qWaitFor(barShown, 60000));
  EXPECT_GE(clock.elapsed(), 900);
  korvel_test::SaveScreenshot(Rendered(tty).copy(0, 0, 10 * tty.GetCellWidth(), 3 * tty.GetCellHeight()).scaled(
                                  30 * tty.GetCellWidth(), 9 * tty.GetCellHeight()),
                              "simple_terminal_cursor");

  tty.SetDisplayCursor(false);
  EXPECT_FALSE(barShown()) << "turning the cursor off hides it at once";
  QTest::qWait(TSimpleTerminal::BlinkInterval + 200);
  EXPECT_FALSE(barShown()) << "and stops the blinking";
  tty.WriteText("!");
  EXPECT_CELL(Rendered(tty), tty, 1, 6, '!', Yellow, SkyBlue);
}

TEST(SimpleTerminal, LineWrapScrollLockAndLineFeedsAroundTheScrollRegion) {
  TSimpleTerminal tty;
  SetUpTty(tty);
  tty.SetDisplayCursor(false);
  tty.SetLineWrap(false);
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += static_cast<char>('0' + i % 10);
  tty.WriteText(hundred);
  EXPECT_EQ(tty.GetCursorColumn(), 79);
  EXPECT_EQ(tty.GetCursorRow(), 0);
  QImage shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 0, 78, '8', Yellow, SkyBlue);
  EXPECT_CELL(shot, tty, 0, 79, '9', Yellow, SkyBlue) << "the last character overwrote column 79";
  EXPECT_TRUE(IsPlain(ShownCell(shot, tty, 1, 0), SkyBlue)) << "nothing wrapped";

  tty.SetLineWrap(true);
  tty.ClearScreen();
  tty.GotoXY(0, 1);
  tty.WriteText("TOP");
  tty.GotoXY(78, 23);
  tty.WriteText("xyz");
  shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 0, 0, 'T', Yellow, SkyBlue) << "the screen scrolled up by one";
  EXPECT_CELL(shot, tty, 22, 78, 'x', Yellow, SkyBlue);
  EXPECT_CELL(shot, tty, 22, 79, 'y', Yellow, SkyBlue);
  EXPECT_CELL(shot, tty, 23, 0, 'z', Yellow, SkyBlue);
  EXPECT_TRUE(IsPlain(ShownCell(shot, tty, 23, 78), SkyBlue)) << "the new bottom row is blank";

  tty.SetScrollLock(true);
  tty.GotoXY(78, 23);
  tty.WriteText("pqr");
  tty.WriteChar(10);
  shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 0, 0, 'T', Yellow, SkyBlue) << "no scroll with ScrollLock";
  EXPECT_CELL(shot, tty, 23, 0, 'r', Yellow, SkyBlue) << "wrapped to column 0 of the same row";
  EXPECT_CELL(shot, tty, 23, 79, 'q', Yellow, SkyBlue);
  EXPECT_EQ(tty.GetCursorRow(), 23);

  tty.SetScrollLock(false);
  tty.SetScrollRegion(0, 19);
  tty.GotoXY(0, 23);
  const QImage before = Rendered(tty);
  tty.WriteChar(10);
  EXPECT_EQ(Rendered(tty), before) << "LF on the last row outside the region does nothing";
  EXPECT_EQ(tty.GetCursorRow(), 23);
  tty.GotoXY(79, 23);
  tty.WriteChar('w');
  EXPECT_EQ(tty.GetCursorRow(), 23) << "wrapping below the region stays below it";
  EXPECT_EQ(tty.GetCursorColumn(), 0);
  tty.GotoXY(0, 19);
  tty.WriteChar(10);
  shot = Rendered(tty);
  EXPECT_TRUE(IsPlain(ShownCell(shot, tty, 0, 0), SkyBlue)) << "the region scrolled";
  EXPECT_CELL(shot, tty, 22, 78, 'x', Yellow, SkyBlue) << "rows below the region stay";
  EXPECT_EQ(tty.GetCursorRow(), 19);
}

TEST(SimpleTerminal, TabsIgnoredBytesAndCursorMoves) {
  TSimpleTerminal tty;
  SetUpTty(tty);
  tty.SetDisplayCursor(false);
  tty.GotoXY(72, 0);
  tty.WriteChar(9);
  EXPECT_EQ(tty.GetCursorColumn(), 72) << "no stop after column 72 of 80";
  tty.GotoXY(3, 1);
  tty.WriteText("\tT\tU");
  QImage shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 1, 8, 'T', Yellow, SkyBlue);
  EXPECT_CELL(shot, tty, 1, 16, 'U', Yellow, SkyBlue);
  tty.SetHorzTabSpacing(300);
  EXPECT_EQ(tty.GetHorzTabSpacing(), 254);
  tty.SetHorzTabSpacing(-3);
  tty.WriteChar(9);
  EXPECT_EQ(tty.GetCursorColumn(), 17) << "no stops at all";
  tty.SetHorzTabSpacing(10);
  tty.WriteChar(9);
  EXPECT_EQ(tty.GetCursorColumn(), 20);

  // Control bytes without a meaning and the C1 range change nothing.
  const QImage before = Rendered(tty);
  for (int value = 0; value < 160; ++value)
    if ((value < 32 && value != 8 && value != 9 && value != 10 && value != 13) || value >= 128)
      tty.WriteChar(static_cast<uint8_t>(value));
  EXPECT_EQ(Rendered(tty), before);
  EXPECT_EQ(tty.GetCursorColumn(), 20);
  tty.WriteText("\xE9\b\b!\r");  // Latin-1 e-acute at column 20, back two, '!' at column 19
  EXPECT_EQ(tty.GetCursorColumn(), 0);
  shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 1, 20, '\xE9', Yellow, SkyBlue);
  EXPECT_CELL(shot, tty, 1, 19, '!', Yellow, SkyBlue);

  tty.GotoXY(80, 0);
  tty.GotoXY(0, 24);
  tty.CursorRight(500);
  tty.CursorLeft(3);
  tty.CursorDown(100, false);
  tty.CursorUp(5, true);
  tty.CursorUp(0, false);
  EXPECT_EQ(std::make_pair(tty.GetCursorRow(), tty.GetCursorColumn()), std::make_pair(18, 0));
  tty.CursorDown(2, false);
  tty.CursorRight(76);
  EXPECT_EQ(std::make_pair(tty.GetCursorRow(), tty.GetCursorColumn()), std::make_pair(20, 76));
}

TEST(SimpleTerminal, InsertAndDeleteLinesStayInsideTheScrollRegion) {
  TSimpleTerminal tty;
  SetUpTty(tty);
  tty.SetDisplayCursor(false);
  for (int row = 0; row < 10; ++row) {
    tty.GotoXY(0, row);
    tty.WriteChar(static_cast<uint8_t>('A' + row));
  }
  // Shows the letters of rows 0..9 as a string, '.' for a blank row.
  auto rows = [&] {
    const QImage shot = Rendered(tty);
    std::string text;
    for (int row = 0; row < 10; ++row) {
      char shown = '?';
      if (IsPlain(ShownCell(shot, tty, row, 0), SkyBlue)) shown = '.';
      for (char letter = 'A'; letter <= 'J'; ++letter)
        if (ShownCell(shot, tty, row, 0) == ExpectedCell(tty, letter, Yellow, SkyBlue)) shown = letter;
      text += shown;
    }
    return text;
  };
  EXPECT_EQ(rows(), "ABCDEFGHIJ");
  tty.SetScrollRegion(2, 6);
  tty.GotoXY(0, 3);
  tty.InsertLines(1);
  EXPECT_EQ(rows(), "ABC.DEFHIJ");
  tty.DeleteLines(2);
  EXPECT_EQ(rows(), "ABCEF..HIJ");
  tty.GotoXY(0, 8);
  tty.InsertLines(1);
  tty.DeleteLines(1);
  EXPECT_EQ(rows(), "ABCEF..HIJ") << "outside the region nothing moves";
  tty.ScrollUp(-1);
  EXPECT_EQ(rows(), "AB.CEF.HIJ");
  tty.ScrollUp(2);
  EXPECT_EQ(rows(), "ABEF...HIJ");
  tty.SetColumns(81);  // draws every cell anew from the cell array
  EXPECT_EQ(rows(), "ABEF...HIJ");
  tty.GotoXY(0, 2);
  tty.InsertLines(1000);
  EXPECT_EQ(rows(), "AB.....HIJ");
  tty.SetRows(12);
  EXPECT_EQ(tty.GetScrollBottom(), 11) << "a change of Rows resets the region";
}

TEST(SimpleTerminal, RowsAndColumnsBoundsScrollBarsAndScrollToCursor) {
  TSimpleTerminal tty;
  SetUpTty(tty);
  tty.SetDisplayCursor(false);
  tty.SetLineWrap(false);
  const int cellWidth = tty.GetCellWidth();
  const int cellHeight = tty.GetCellHeight();
  for (int bad : {0, -1, 256}) {
    tty.SetRows(bad);
    tty.SetColumns(bad);
  }
  EXPECT_EQ(tty.GetRows(), 24);
  EXPECT_EQ(tty.GetColumns(), 80);
  tty.WriteText("kept");
  tty.GotoXY(79, 23);
  tty.SetRows(10);
  tty.SetColumns(40);
  EXPECT_EQ(tty.GetCursorRow(), 9);
  EXPECT_EQ(tty.GetCursorColumn(), 39);
  EXPECT_EQ(tty.size(), QSize(40 * cellWidth, 10 * cellHeight));

  tty.SetAutoSize(false);
  const int barWidth = tty.verticalScrollBar()->sizeHint().width();
  const int barHeight = tty.horizontalScrollBar()->sizeHint().height();
  // Wide enough without a vertical bar but not beside one: both bars show.
  tty.resize(40 * cellWidth + barWidth / 2, 4 * cellHeight);
  tty.show();
  korvel_test::ProcessEvents();
  EXPECT_TRUE(tty.verticalScrollBar()->isVisible());
  EXPECT_TRUE(tty.horizontalScrollBar()->isVisible());
  EXPECT_EQ(tty.verticalScrollBar()->maximum(), 10 * cellHeight - (4 * cellHeight - barHeight));
  EXPECT_EQ(tty.horizontalScrollBar()->maximum(), barWidth - barWidth / 2);
  EXPECT_EQ(tty.verticalScrollBar()->singleStep(), cellHeight / 4 + 1);
  EXPECT_EQ(tty.verticalScrollBar()->pageStep(), cellHeight);
  tty.resize(4 * cellWidth, 10 * cellHeight + barHeight / 2);  // the same the other way round
  korvel_test::ProcessEvents();
  EXPECT_TRUE(tty.verticalScrollBar()->isVisible());
  tty.resize(40 * cellWidth + barWidth / 2, 4 * cellHeight);
  korvel_test::ProcessEvents();

  tty.WriteChar('Q');  // at the bottom right: the bars follow the cursor
  EXPECT_EQ(tty.verticalScrollBar()->value(), tty.verticalScrollBar()->maximum());
  korvel_test::ProcessEvents();
  QImage shot = Rendered(tty);
  EXPECT_CELL(shot, tty, 9, 39, 'Q', Yellow, SkyBlue);
  korvel_test::SaveScreenshot(shot, "simple_terminal_scroll_bars");
  tty.Home();
  EXPECT_EQ(tty.verticalScrollBar()->value(), 0);
  EXPECT_EQ(tty.horizontalScrollBar()->value(), 0);
  korvel_test::ProcessEvents();
  EXPECT_CELL(Rendered(tty), tty, 0, 0, 'k', Yellow, SkyBlue) << "contents kept across Rows and Columns";

  tty.SetAutoSize(true);
  tty.SetRows(255);
  tty.SetColumns(255);
  korvel_test::ProcessEvents();
  EXPECT_EQ(tty.size(), QSize(255 * cellWidth, 255 * cellHeight));
  EXPECT_FALSE(tty.verticalScrollBar()->isVisible());
  EXPECT_FALSE(tty.horizontalScrollBar()->isVisible());
}

TEST(SimpleTerminal, CpuPagePanelAndTheKeysEachConfigurationKeeps) {
  QWidget page;
  auto* panel = new TSimpleTerminal(&page);
  auto* next = new QLineEdit(&page);
  panel->setFont(CrispFont(13));
  panel->SetColor(QColor(255, 255, 255));
  panel->SetFontColor(QColor(0, 0, 0));
  panel->SetRows(18);
  panel->SetColumns(20);
  panel->SetDisplayCursor(false);
  panel->SetLineWrap(false);
  panel->SetWantTabs(false);
  panel->SetWantReturns(false);
  panel->SetWantArrowKeys(false);
  next->move(panel->width() + 10, 0);

  // The register panel as the CPU page writes it: bold labels protected from the
  // value fields' clearing, set flags reversed.
  const char* labels[] = {"PC : ", "SP : ", "IX : ", "IY : ", "BC : ", "DE : ", "HL : ",
                          "AF : ", "BC': ", "DE': ", "HL': ", "AF': ", "FLAGS: "};
  panel->ClearScreen();
  panel->SetAttribute(TSimpleTerminal::AttrBold);
  for (int row = 1; row <= 13; ++row) {
    panel->GotoXY(1, row);
    panel->WriteText(labels[row - 1]);
    panel->ClearRestOfField();
  }
  panel->SetAttribute(0);
  for (const char* value : {"12 34 56", "00 FF"})
    for (int row = 1; row <= 12; ++row) {
      panel->GotoXY(6, row);
      panel->WriteText(value);
      panel->ClearRestOfField();
    }
  panel->GotoXY(1, 14);
  for (const char flag : std::string("cNpxhyZs")) {
    panel->SetAttribute(flag >= 'A' && flag <= 'Z' ? TSimpleTerminal::AttrReverse : 0);
    panel->WriteChar(static_cast<uint8_t>(flag));
  }
  page.resize(panel->width() + 120, panel->height());
  page.show();
  korvel_test::ProcessEvents();
  EXPECT_EQ(panel->size(), QSize(20 * panel->GetCellWidth(), 18 * panel->GetCellHeight()));
  const QImage shot = Rendered(*panel);
  const QColor white(255, 255, 255), black(0, 0, 0);
  EXPECT_EQ(ShownCell(shot, *panel, 1, 1), ExpectedCell(*panel, 'P', black, white, true)) << "labels are bold";
  EXPECT_CELL(shot, *panel, 1, 6, '0', black, white);
  EXPECT_CELL(shot, *panel, 1, 10, 'F', black, white);
  EXPECT_TRUE(IsPlain(ShownCell(shot, *panel, 1, 11), white)) << "the longer old value is cleared";
  EXPECT_EQ(ShownCell(shot, *panel, 13, 6), ExpectedCell(*panel, ':', black, white, true));
  EXPECT_CELL(shot, *panel, 14, 1, 'c', black, white);
  EXPECT_CELL(shot, *panel, 14, 2, 'N', white, black);
  EXPECT_CELL(shot, *panel, 14, 7, 'Z', white, black);
  EXPECT_TRUE(IsPlain(ShownCell(shot, *panel, 14, 9), white)) << "no cursor after the flags";
  korvel_test::SaveScreenshot(shot.scaled(shot.size() * 2), "simple_terminal_cpu_page");

  std::vector<std::string> seen;
  auto record = [&seen](TSimpleTerminal& Terminal) {
    Terminal.OnKeyDown = [&seen](TSimpleTerminal&, int& Key, Qt::KeyboardModifiers) {
      seen.push_back("down " + std::to_string(Key));
      if (Key == Qt::Key_F1) Key = 0;  // the owner swallows a mapped key
    };
    Terminal.OnKeyPress = [&seen](TSimpleTerminal&, QChar Key) { seen.push_back("press " + std::to_string(Key.unicode())); };
  };
  record(*panel);
  page.activateWindow();
  QApplication::setActiveWindow(&page);
  panel->setFocus();
  korvel_test::ProcessEvents();
  ASSERT_TRUE(panel->hasFocus());
  QTest::keyClick(panel, Qt::Key_Return);
  QTest::keyClick(panel, Qt::Key_Up);
  QTest::keyClick(panel, Qt::Key_A);
  EXPECT_EQ(seen, (std::vector<std::string>{"down " + std::to_string(Qt::Key_A), "press 97"}))
      << "Return and arrows are left to the window";
  QTest::keyClick(panel, Qt::Key_Tab);
  EXPECT_TRUE(next->hasFocus()) << "Tab moves on";
  QTest::mouseClick(panel->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(panel->hasFocus()) << "a click focuses the control";

  // The TTY page's configuration keeps them all.
  panel->SetWantTabs(true);
  panel->SetWantReturns(true);
  panel->SetWantArrowKeys(true);
  seen.clear();
  QTest::keyClick(panel, Qt::Key_Tab);
  QTest::keyClick(panel, Qt::Key_Return);
  QTest::keyClick(panel, Qt::Key_Up);
  QTest::keyClick(panel, Qt::Key_F1);
  EXPECT_TRUE(panel->hasFocus());
  EXPECT_EQ(seen, (std::vector<std::string>{"down " + std::to_string(Qt::Key_Tab), "press 9",
                                            "down " + std::to_string(Qt::Key_Return), "press 13",
                                            "down " + std::to_string(Qt::Key_Up), "down " + std::to_string(Qt::Key_F1)}));
}

TEST(SimpleTerminal, DegenerateFontsStillGiveCellsOfAtLeastOnePixel) {
  QFont tiny = CrispFont();
  tiny.setPixelSize(1);
  QFont missing(QStringLiteral("No Such Font Family Anywhere"));
  missing.setPixelSize(1);
  for (const QFont& font : {tiny, missing, TSimpleTerminal::FixedPitchFont(QStringLiteral("No Such Font"), 15)}) {
    TSimpleTerminal tty;
    tty.setFont(font);
    EXPECT_GE(tty.GetCellWidth(), 1);
    EXPECT_GE(tty.GetCellHeight(), 1);
    tty.SetAutoSize(false);
    tty.resize(3, 3);
    tty.show();
    korvel_test::ProcessEvents();
    EXPECT_GE(tty.horizontalScrollBar()->pageStep(), 1);
    for (int i = 0; i < 3000; ++i) tty.WriteChar(static_cast<uint8_t>('A' + i % 26));  // wraps and scrolls
    tty.InsertLines(3);
    tty.ScrollUp(-2);
    EXPECT_EQ(tty.GetCursorRow(), 23);
    EXPECT_FALSE(Rendered(tty).isNull());
  }
  // Whatever the desktop's generic fixed font resolves to (Noto Sans Mono is not
  // marked fixed pitch), a missing face becomes one the font database calls fixed.
  const QFontInfo fallback(TSimpleTerminal::FixedPitchFont(QStringLiteral("No Such Font"), 15));
  EXPECT_TRUE(fallback.fixedPitch()) << fallback.family().toStdString();
  EXPECT_TRUE(QFontDatabase::isFixedPitch(fallback.family())) << fallback.family().toStdString();
}

}  // namespace
