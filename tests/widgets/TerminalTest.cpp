// The CRT terminal as a user sees it: output drained in batches and painted cell by
// cell (colours, reverse video, double width, line drawing, the caret), 80 and 132
// columns, resizing, scroll-back through the scroll bars, blinking, fonts the host
// lacks, lazy display and the capture file.
#include <gtest/gtest.h>

#include <QScrollBar>
#include <QStyleHints>
#include <QTest>
#include <fstream>
#include <sstream>

#include "AdTerminal.h"
#include "AdVT100Emulator.h"
#include "EmulatorError.h"
#include "HostFixedPitchFont.h"
#include "TempFolder.h"
#include "WidgetTestSupport.h"

namespace {

// Lets the drain, the frame timer and the repaint run.
void Settle() {
  for (int I = 0; I < 3; ++I) {
    korvel_test::ProcessEvents();
    QTest::qWait(20);
  }
}

// Counts what reaches a widget: posted drain requests (user events) and paints.
class TEventCounter : public QObject {
 public:
  int UserEvents = 0;
  int Paints = 0;
  QRegion LastPaint;

 protected:
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() >= QEvent::User && Event->type() <= QEvent::MaxUser) ++UserEvents;
    if (Event->type() == QEvent::Paint) {
      ++Paints;
      LastPaint = static_cast<QPaintEvent*>(Event)->region();
    }
    return false;
  }
};

// The CRT page's terminal: a VT100 emulator, the test font, no lazy display, an
// underline cursor; the view sized to Cols x Rows cells.
struct TCrtPage {
  TAdVT100Emulator Emulator;
  TAdTerminal Terminal;
  int Cw = 0;
  int Ch = 0;

  explicit TCrtPage(int Cols = 80, int Rows = 24) {
    QGuiApplication::styleHints()->setCursorFlashTime(0);  // a steady caret
    Terminal.setFont(korvel_test::TestFixedFont(15));
    Terminal.SetFontColor(QColor(0, 255, 0));
    Terminal.SetEmulator(&Emulator);
    Terminal.SetUseLazyDisplay(false);
    Terminal.SetCursorType(ctUnderline);
    Emulator.DisplayUpperASCII = true;
    Cw = Terminal.GetCellWidth();
    Ch = Terminal.GetCellHeight();
    Show(Cols, Rows);
  }
  void Show(int Cols, int Rows) {
    const int Frame = 2 * Terminal.frameWidth();
    Terminal.resize(Cw * Cols + Frame, Ch * Rows + Frame);
    Terminal.show();
    Settle();
  }
  void Write(std::string_view Bytes) {
    Terminal.WriteString(Bytes);
    Settle();
  }
  void Focus(bool In) {
    QFocusEvent Event(In ? QEvent::FocusIn : QEvent::FocusOut);
    QApplication::sendEvent(&Terminal, &Event);
  }
  QImage Shot() { return korvel_test::Rendered(*Terminal.viewport()); }
  QRect Cell(int Row, int Col) const { return QRect((Col - 1) * Cw, (Row - 1) * Ch, Cw, Ch); }
};

// Pixels of a colour inside a rectangle of an image.
int CountColor(const QImage& Image, const QRect& Rect, const QColor& Color) {
  int Count = 0;
  for (int Y = Rect.top(); Y <= Rect.bottom(); ++Y)
    for (int X = Rect.left(); X <= Rect.right(); ++X)
      if (Image.valid(X, Y) && Image.pixelColor(X, Y) == Color) ++Count;
  return Count;
}

// Pixels lit by text of any colour (antialiased edges included).
int CountLit(const QImage& Image, const QRect& Rect) {
  int Count = 0;
  for (int Y = Rect.top(); Y <= Rect.bottom(); ++Y)
    for (int X = Rect.left(); X <= Rect.right(); ++X)
      if (Image.valid(X, Y) && qGray(Image.pixel(X, Y)) > 80) ++Count;
  return Count;
}

const QColor Black(0, 0, 0);
const QColor White(255, 255, 255);
const QColor Silver(0xC0, 0xC0, 0xC0);

}  // namespace

TEST(Terminal, OutputIsDrainedInBatchesAndPaintedCellByCell) {
  TCrtPage Page;
  ASSERT_GT(Page.Cw, 0);
  ASSERT_GT(Page.Ch, 0);
  TEventCounter Counter;
  Page.Terminal.installEventFilter(&Counter);
  Page.Terminal.viewport()->installEventFilter(&Counter);

  // A flood of single bytes: one pending drain, a handful of paints.
  const std::string Flood = "\x1B[2J\x1B[H" + std::string(3000, 'x') + "\x1B[2J\x1B[H";
  for (char Byte : Flood) Page.Terminal.WriteChar(static_cast<uint8_t>(Byte));
  korvel_test::ProcessEvents();
  EXPECT_EQ(Counter.UserEvents, 1) << "every byte written before the loop ran shares one drain";
  Settle();
  EXPECT_LE(Counter.Paints, 3);

  // Colours, reverse video, bold, a double-width line and line drawing.
  Page.Write(
      "\x1B[1;1HPlain \x1B[7mReverse\x1B[m \x1B[41mRedBack\x1B[m \x1B[1;31mBoldRed\x1B[m"
      "\x1B[3;1H\x1B#6WIDE"
      "\x1B[5;1H\x1B(0lqqk\x1B(B"
      "\x1B[7;1H\x1B[4mUnder\x1B[m");
  Page.Focus(true);
  const QImage Image = Page.Shot();
  korvel_test::SaveScreenshot(Image, "terminal_crt_page_cells");

  // Row 1: "Plain " in silver on black, "Reverse" black on silver at columns 7..13.
  EXPECT_EQ(Image.pixelColor(Page.Cell(1, 6).center()), Black);
  EXPECT_GT(CountColor(Image, Page.Cell(1, 1), Silver), 5) << "text in the default silver";
  EXPECT_EQ(Image.pixelColor(Page.Cell(1, 7).topLeft()), Silver) << "reverse video fills with the text colour";
  EXPECT_EQ(Image.pixelColor(Page.Cell(1, 13).bottomRight()), Silver);
  EXPECT_EQ(Image.pixelColor(Page.Cell(1, 14).topLeft()), Black);
  EXPECT_EQ(Image.pixelColor(Page.Cell(1, 15).topLeft()), QColor(128, 0, 0)) << "SGR 41: dark red background";
  EXPECT_GT(CountColor(Image, Page.Cell(1, 23), QColor(255, 128, 128)), 3) << "bold dark red is brightened";

  // Row 3: "WIDE" on a double-width line spans 8 cells, each glyph stretched over two.
  EXPECT_GT(CountColor(Image, Page.Cell(3, 7).united(Page.Cell(3, 8)), Silver), 5) << "the E reaches cells 7 and 8";
  EXPECT_EQ(CountColor(Image, Page.Cell(3, 9).united(Page.Cell(3, 12)), Silver), 0);
  const QRect WideW = Page.Cell(3, 1).united(Page.Cell(3, 2));
  EXPECT_GT(CountColor(Image, QRect(WideW.left(), WideW.top(), 3, WideW.height()), Silver), 0);
  EXPECT_GT(CountColor(Image, QRect(WideW.right() - 3, WideW.top(), 3, WideW.height()), Silver), 0)
      << "the W is twice as wide";

  // Row 5: "lqqk" in the line-drawing set: a horizontal line crossing whole cells.
  const QRect Line = Page.Cell(5, 2);
  bool Crossing = false;
  for (int Y = Line.top(); Y <= Line.bottom(); ++Y)
    Crossing = Crossing || (qGray(Image.pixel(Line.left(), Y)) > 100 && qGray(Image.pixel(Line.right(), Y)) > 100);
  EXPECT_TRUE(Crossing) << "q draws a line from edge to edge of its cell";

  // Row 7: underlined text has its line 2 pixels above the cell bottom.
  const QRect Under = Page.Cell(7, 1);
  EXPECT_EQ(Image.pixelColor(Under.left(), Under.bottom() - 1), Silver);

  // The caret: the cursor stands after "Under" at row 7, column 6; an underline caret
  // inverts the cell's two bottom pixel rows only.
  const QRect CaretCell = Page.Cell(7, 6);
  EXPECT_EQ(Image.pixelColor(CaretCell.left() + 1, CaretCell.bottom()), White);
  EXPECT_EQ(Image.pixelColor(CaretCell.left() + 1, CaretCell.bottom() - 1), White);
  EXPECT_EQ(Image.pixelColor(CaretCell.left() + 1, CaretCell.bottom() - 2), Black);
  Page.Terminal.SetCursorType(ctBlock);
  const QImage Block = Page.Shot();
  EXPECT_EQ(CountColor(Block, CaretCell, White), CaretCell.width() * CaretCell.height()) << "a block caret fills the cell";
  Page.Focus(false);
  EXPECT_EQ(CountColor(Page.Shot(), CaretCell, White), 0) << "no caret without the focus";

  // Only what changed is repainted: one character on row 10.
  Settle();
  Counter.Paints = 0;
  Page.Write("\x1B[10;20HZ");
  ASSERT_GE(Counter.Paints, 1);
  const QRect Painted = Counter.LastPaint.boundingRect();
  EXPECT_EQ(Painted.top(), 9 * Page.Ch);
  EXPECT_EQ(Painted.height(), Page.Ch);
  EXPECT_LE(Painted.width(), 2 * Page.Cw);

  // HiDPI: at two device pixels per pixel the same cells cover twice the pixels.
  QImage Sharp(Page.Terminal.viewport()->size() * 2, QImage::Format_RGB32);
  Sharp.setDevicePixelRatio(2);
  Page.Terminal.viewport()->render(&Sharp);
  const QRect Reverse = Page.Cell(1, 7);
  EXPECT_EQ(Sharp.pixelColor(Reverse.left() * 2, Reverse.top() * 2), Silver);
  EXPECT_EQ(Sharp.pixelColor(Reverse.left() * 2 - 1, Reverse.top() * 2 + 1), Black);
  korvel_test::SaveScreenshot(Sharp, "terminal_crt_page_hidpi");

  // The whole page as a user sees it: colours, reverse video, a double-width line,
  // line drawing, a selection and the caret.
  Page.Focus(true);
  Page.Terminal.SetSelection(10, 20, 10, 18);
  const QImage Whole = korvel_test::Rendered(Page.Terminal);
  korvel_test::SaveScreenshot(Whole, "terminal_crt_page");
  const QPoint Offset = Page.Terminal.viewport()->geometry().topLeft();
  EXPECT_EQ(Whole.pixelColor(Page.Cell(10, 19).topLeft() + Offset), Silver) << "the selected blank shows reversed";
}

TEST(Terminal, ColumnsResizeScrollbackAndBlinking) {
  TCrtPage Page;
  QScrollBar* Horz = Page.Terminal.horizontalScrollBar();
  QScrollBar* Vert = Page.Terminal.verticalScrollBar();
  Page.Write("\x1B[1;1Hfirst line\x1B[24;70Hend");
  EXPECT_FALSE(Horz->isVisible());

  // 132 columns in a window of 80: the view scrolls sideways, following the cursor.
  Page.Write("\x1B[?3h");
  EXPECT_EQ(Page.Terminal.GetColumns(), 132);
  EXPECT_TRUE(Horz->isVisible());
  EXPECT_EQ(Page.Terminal.GetOriginCol(), 1);
  EXPECT_TRUE(Vert->isVisible()) << "the horizontal bar takes a row: the vertical one follows";
  Page.Write("\x1B[1;1H\x1B[1;129Hedge");
  const int Origin = Page.Terminal.GetOriginCol();
  EXPECT_EQ(Origin, 132 - Page.Terminal.GetWholeCols() + 1) << "the cursor's cell is wholly in view";
  EXPECT_EQ(Horz->value(), Origin - 1);
  EXPECT_GT(CountLit(Page.Shot(), Page.Cell(1, 130 - Origin + 1)), 3) << "column 130 is on view";
  Page.Write("\x1B[?3l");
  EXPECT_EQ(Page.Terminal.GetColumns(), 80);
  EXPECT_EQ(Page.Terminal.GetOriginCol(), 1);
  EXPECT_FALSE(Horz->isVisible());
  Page.Emulator.Set132ColumnMode(true);
  Settle();
  EXPECT_EQ(Page.Terminal.GetColumns(), 132);
  EXPECT_LT(Page.Terminal.GetVisibleCols(), 132);
  Page.Emulator.Set132ColumnMode(false);
  Settle();

  // A resize keeps the screen: smaller, then larger again.
  Page.Write("\x1B[2J\x1B[1;1Hkept text\x1B[12;1Hmiddle");
  Page.Show(40, 10);
  EXPECT_TRUE(Horz->isVisible());
  EXPECT_TRUE(Vert->isVisible());
  Page.Write("!");
  EXPECT_EQ(Page.Terminal.GetOriginRow() + Page.Terminal.GetWholeRows() - 1, 12) << "the view follows the cursor";
  Page.Show(80, 24);
  EXPECT_EQ(Page.Terminal.GetOriginRow(), 1);
  EXPECT_EQ(Page.Terminal.GetOriginCol(), 1);
  QImage Kept = Page.Shot();
  EXPECT_GT(CountColor(Kept, Page.Cell(1, 1), Silver), 3);
  EXPECT_GT(CountColor(Kept, Page.Cell(12, 1), Silver), 3);

  // Scroll-back: 60 numbered lines, then the scroll bar goes to the top.
  Page.Write("\x1B[2J\x1B[H");
  for (int Line = 1; Line <= 60; ++Line) Page.Terminal.WriteString("line " + std::to_string(Line) + "\r\n");
  Settle();
  EXPECT_FALSE(Vert->isVisible()) << "the CRT page shows no scroll-back";
  Page.Terminal.SetScrollback(true);
  Settle();
  ASSERT_TRUE(Vert->isVisible());
  EXPECT_EQ(Vert->minimum(), 24 - 200);
  // "line 1" went 37 rows up, to row -36: the bar's position is the origin row - 1.
  Vert->setValue(-37);
  Settle();
  EXPECT_EQ(Page.Terminal.GetOriginRow(), -36);
  QImage Back = Page.Shot();
  korvel_test::SaveScreenshot(korvel_test::Rendered(Page.Terminal), "terminal_scrollback");
  EXPECT_GT(CountColor(Back, Page.Cell(1, 6), Silver), 3) << "\"line 1\" on the top row";
  EXPECT_EQ(CountColor(Back, Page.Cell(1, 7), Silver), 0);
  EXPECT_GT(CountColor(Back, Page.Cell(10, 7), Silver), 3) << "\"line 10\" nine rows below";
  Vert->triggerAction(QAbstractSlider::SliderToMaximum);
  Settle();
  EXPECT_EQ(Page.Terminal.GetOriginRow(), 24 - Page.Terminal.GetWholeRows() + 1) << "the last row at the bottom";
  Page.Terminal.SetScrollback(false);

  // A line up at the top of a short view goes into the scroll-back when allowed.
  Page.Terminal.SetAutoScrollback(true);
  Page.Show(80, 10);
  Page.Terminal.SetOriginRow(1);
  Vert->triggerAction(QAbstractSlider::SliderSingleStepSub);
  Settle();
  EXPECT_TRUE(Page.Terminal.GetScrollback());
  EXPECT_EQ(Page.Terminal.GetOriginRow(), 0);
  Page.Terminal.SetScrollback(false);
  EXPECT_EQ(Page.Terminal.GetOriginRow(), 1);
  Page.Show(80, 24);

  // Blinking text blinks on the 100 ms timer.
  Page.Terminal.SetBlinkTime(250);
  Page.Write("\x1B[2J\x1B[1;1H\x1B[5mBLINK\x1B[m steady");
  const QRect Blink = Page.Cell(1, 1).united(Page.Cell(1, 5));
  const QRect Steady = Page.Cell(1, 7).united(Page.Cell(1, 12));
  EXPECT_TRUE(QTest::qWaitFor([&] { return CountColor(Page.Shot(), Blink, Silver) > 10; }, 2000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return CountColor(Page.Shot(), Blink, Silver) == 0; }, 2000))
      << "the blinking text goes dark";
  EXPECT_GT(CountColor(Page.Shot(), Steady, Silver), 10) << "other text stays";
  EXPECT_TRUE(QTest::qWaitFor([&] { return CountColor(Page.Shot(), Blink, Silver) > 10; }, 2000)) << "and comes back";
}

TEST(Terminal, FontsTheHostLacksAndOddFontsStillGiveAGrid) {
  // The CRT page's "Lucida Console" is not installed here: the host's fixed font stands in.
  TAdTerminal Terminal;
  QFont Lucida(QStringLiteral("Lucida Console"));
  Lucida.setPixelSize(15);
  Terminal.setFont(Lucida);
  QFont Fixed = HostFixedPitchFont();
  Fixed.setPixelSize(15);
  const QFontMetrics Metrics(Fixed);
  if (!TAdTerminalFonts::HostHasFamily(QStringLiteral("Lucida Console"))) {
    EXPECT_EQ(Terminal.GetCellWidth(), Metrics.horizontalAdvance(QLatin1Char('M')));
    EXPECT_EQ(Terminal.GetCellHeight(), Metrics.height() + std::max(Metrics.leading(), 0));
  }
  Terminal.SetCellSpacing(2, 3);
  EXPECT_EQ(Terminal.GetCellWidth(), Metrics.horizontalAdvance(QLatin1Char('M')) + 2);

  // Spacing that eats the whole cell, and a one-pixel font: cells stay 1 x 1 and every
  // path that divides by them still works.
  Terminal.SetCellSpacing(-1000, -1000);
  EXPECT_EQ(Terminal.GetCellWidth(), 1);
  EXPECT_EQ(Terminal.GetCellHeight(), 1);
  QFont Tiny(QString{});
  Tiny.setPixelSize(1);
  Terminal.setFont(Tiny);
  Terminal.resize(50, 40);
  Terminal.show();
  Terminal.WriteString("odd fonts\r\nmust not divide by zero");
  Settle();
  QTest::mouseClick(Terminal.viewport(), Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_FALSE(korvel_test::Rendered(*Terminal.viewport()).isNull());
  EXPECT_GE(Terminal.GetCellWidth(), 1);
  EXPECT_GE(Terminal.GetCellHeight(), 1);
  EXPECT_GE(Terminal.GetVisibleCols(), 1);
}

TEST(Terminal, PropertiesEmulatorLinksLazyDisplayAndCapture) {
  TCrtPage Page;
  TAdTerminal& Terminal = Page.Terminal;

  // Value rules.
  Terminal.SetBlinkTime(100);
  EXPECT_EQ(Terminal.GetBlinkTime(), 250);
  Terminal.SetBlinkTime(-5);
  EXPECT_EQ(Terminal.GetBlinkTime(), 0);
  Terminal.SetLazyByteDelay(1025);
  Terminal.SetLazyByteDelay(0);
  EXPECT_EQ(Terminal.GetLazyByteDelay(), 200);
  Terminal.SetLazyTimeDelay(1001);
  EXPECT_EQ(Terminal.GetLazyTimeDelay(), 100);
  Terminal.SetLazyTimeDelay(300);
  Terminal.SetRows(1);
  EXPECT_EQ(Terminal.GetRows(), 24) << "a buffer needs two rows";

  // An emulator shows on one terminal: a second terminal taking it leaves the first
  // with its own plain emulator, which keeps the shape of the screen.
  {
    TAdTerminal Second;
    Second.SetEmulator(&Page.Emulator);
    EXPECT_EQ(Second.GetEmulator(), &Page.Emulator);
    EXPECT_EQ(Terminal.GetEmulator(), nullptr);
    EXPECT_EQ(Terminal.CurrentEmulator().GetBuffer().GetColCount(), 80);
    Second.SetEmulator(nullptr);
  }
  Terminal.SetEmulator(&Page.Emulator);
  EXPECT_EQ(Page.Emulator.GetTerminal(), &Terminal);
  Settle();

  // Lazy display: the drain alone paints nothing; the timer paints once the time is up.
  Terminal.SetUseLazyDisplay(true);
  Terminal.SetLazyByteDelay(1024);
  TEventCounter Counter;
  Terminal.viewport()->installEventFilter(&Counter);
  Terminal.WriteString("lazy");
  korvel_test::ProcessEvents();
  QTest::qWait(60);
  EXPECT_EQ(Counter.Paints, 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return Counter.Paints > 0; }, 2000));
  Terminal.SetUseLazyDisplay(false);

  // Capture: raw bytes before emulation.
  korvel_test::TTempFolder Folder;
  auto Read = [](const std::string& Path) {
    std::ifstream File(Path, std::ios::binary);
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
  };
  const std::string First = Folder.File("first.cap");
  Terminal.SetCaptureFile(First);
  Terminal.SetCapture(cmOn);
  Page.Write("abc\x1B[1mdef");
  EXPECT_EQ(Read(First), "abc\x1B[1mdef");
  Terminal.SetCapture(cmAppend);
  EXPECT_EQ(Terminal.GetCapture(), cmOn) << "on to append is ignored";
  Terminal.SetCapture(cmOff);
  Page.Write("not captured");
  Terminal.SetCapture(cmAppend);
  EXPECT_EQ(Terminal.GetCapture(), cmOn);
  Page.Write("ghi");
  EXPECT_EQ(Read(First), "abc\x1B[1mdefghi");
  const std::string Second = Folder.File("second.cap");
  Terminal.SetCaptureFile(Second);
  Page.Write("jkl");
  EXPECT_EQ(Read(Second), "jkl") << "a new name while capturing starts a new file";
  EXPECT_EQ(Read(First), "abc\x1B[1mdefghi");
  Terminal.SetCapture(cmOff);
  Terminal.SetCaptureFile(Folder.File("missing/folder.cap"));
  EXPECT_THROW(Terminal.SetCapture(cmOn), EEmulatorError);
  EXPECT_EQ(Terminal.GetCapture(), cmOff);
}
