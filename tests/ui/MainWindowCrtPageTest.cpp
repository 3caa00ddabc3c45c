// The CRT page as CP/M and its user meet it: what the page's terminal is set to,
// bytes above 126 as CP/M writes them to its console port, clicks and Ctrl+C, copying
// text, and a view too short for the 24 rows that keeps the cursor's row in sight.
// What is checked is what the window has painted, read back from its backing store:
// a grab() would repaint everything and hide a change that was never painted.
#include <QClipboard>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QWheelEvent>

#include "AdVT100Emulator.h"
#include "MainWindowTestRig.h"

using korvel_test::TMainWindowRig;

namespace {

// Pixels of Area that the page's green text lights, edges of glyphs included.
int LitPixels(const QImage& Image, const QRect& Area) {
  int Count = 0;
  const QRect Inside = Area.intersected(Image.rect());
  for (int Y = Inside.top(); Y <= Inside.bottom(); ++Y)
    for (int X = Inside.left(); X <= Inside.right(); ++X) Count += qGreen(Image.pixel(X, Y)) > 96 ? 1 : 0;
  return Count;
}

QString Clipboard() { return QGuiApplication::clipboard()->text(); }

class TCrtPage {
 public:
  explicit TCrtPage(TMainWindowRig& Rig) : Rig(Rig), Window(*Rig.Window), Crt(*Window.AdTerminal1) {}

  // Bytes as CP/M writes them: one OUT to the CRT's console port each.
  void Write(std::string_view Bytes) {
    for (char Byte : Bytes) Rig.Machine().CpuPortWrite(19, static_cast<uint8_t>(Byte));
  }
  // What the window shows now, as painted into its backing store.
  QImage Painted() const {
    return Window.screen()->grabWindow(Window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
  }
  // The cell of the view at Row, Col (1-based) in the window's pixels.
  QRect Cell(int Row, int Col) const {
    const QPoint Corner = Crt.viewport()->mapTo(&Window, QPoint((Col - 1) * Crt.GetCellWidth(),
                                                                (Row - 1) * Crt.GetCellHeight()));
    return QRect(Corner, QSize(Crt.GetCellWidth(), Crt.GetCellHeight()));
  }
  int LitIn(int Row, int Col) const { return LitPixels(Painted(), Cell(Row, Col)); }
  // Waits until every cell of Row from FirstCol to LastCol shows text (Lit) or
  // shows none.
  bool WaitPainted(int Row, int FirstCol, int LastCol, bool Lit = true) {
    return Rig.WaitFor([&] {
      const QImage Image = Painted();
      for (int Col = FirstCol; Col <= LastCol; ++Col)
        if ((LitPixels(Image, Cell(Row, Col)) > 0) != Lit) return false;
      return true;
    });
  }
  void Mouse(QEvent::Type Type, int Row, int Col) {
    const QPoint Point((Col - 1) * Crt.GetCellWidth() + Crt.GetCellWidth() / 2,
                       (Row - 1) * Crt.GetCellHeight() + Crt.GetCellHeight() / 2);
    QMouseEvent Event(Type, Point, Crt.viewport()->mapToGlobal(Point), Qt::LeftButton,
                      Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Crt.viewport(), &Event);
  }
  void Drag(int FromRow, int FromCol, int ToRow, int ToCol) {
    Mouse(QEvent::MouseButtonPress, FromRow, FromCol);
    Mouse(QEvent::MouseMove, ToRow, ToCol);
    Mouse(QEvent::MouseButtonRelease, ToRow, ToCol);
  }

  TMainWindowRig& Rig;
  TMainOrvanta& Window;
  TAdTerminal& Crt;
};

}  // namespace

TEST(MainWindowCrtPage, ShowsCpmsBytesLeavesClicksToCpmCopiesRowsWithCrLfAndStaysOnTheScreen) {
  TMainWindowRig Rig;
  TCrtPage Page(Rig);
  TAdTerminal& Crt = Page.Crt;
  TAdVT100Emulator& Emulator = Rig.Machine().CrtEmulator();

  // The page's terminal and its emulator.
  EXPECT_FALSE(Crt.GetUseLazyDisplay());
  EXPECT_EQ(Crt.GetLazyByteDelay(), 1);
  EXPECT_EQ(Crt.GetLazyTimeDelay(), 1);
  EXPECT_FALSE(Crt.GetMouseSelect());
  EXPECT_FALSE(Crt.GetAutoScrollback());
  EXPECT_FALSE(Crt.GetFreezeScrollBack());
  EXPECT_FALSE(Crt.GetScrollback());
  EXPECT_TRUE(Crt.GetFollowCursor());
  EXPECT_EQ(Crt.GetEmulator(), &Emulator);
  EXPECT_TRUE(Emulator.DisplayUpperASCII);
  EXPECT_EQ(Emulator.Answerback, "");

  // Bytes above 126 are the characters of the PC's code page that the page's
  // "Terminal" face draws: C4h a horizontal line, E9h theta, FAh a middle dot. DEL
  // takes a cell and shows nothing.
  Page.Write("\x1B[2J\x1B[H" "A\xC4\xE9\xFA\x7F" "B\r\nsecond row");
  const TAdTerminalBuffer& Buffer = Emulator.GetBuffer();
  const uint8_t Expected[] = {'A', 0xC4, 0xE9, 0xFA, 0x7F, 'B'};
  for (int Col = 1; Col <= 6; ++Col) {
    EXPECT_EQ(Buffer.GetCharAt(1, Col), Expected[Col - 1]) << "column " << Col;
    EXPECT_EQ(Buffer.GetCharSetAt(1, Col), 0) << "column " << Col << " is in the US ASCII set, not line drawing";
  }
  ASSERT_TRUE(Page.WaitPainted(1, 1, 4));
  ASSERT_TRUE(Page.WaitPainted(1, 6, 6));
  EXPECT_EQ(Page.LitIn(1, 5), 0) << "DEL shows nothing";
  // The line of C4h crosses its cell from side to side on one pixel row at least.
  const QImage Image = Page.Painted();
  const QRect Line = Page.Cell(1, 2);
  int Widest = 0;
  for (int Y = Line.top(); Y <= Line.bottom(); ++Y)
    Widest = std::max(Widest, LitPixels(Image, QRect(Line.left(), Y, Line.width(), 1)));
  EXPECT_GE(Widest, Line.width() - 1);
  korvel_test::SaveScreenshot(Image, "MainWindowCrtPage-high-bytes");

  // A click or a drag marks nothing and leaves the user's clipboard alone; Ctrl+C
  // reaches CP/M as ^C.
  QGuiApplication::clipboard()->setText(QStringLiteral("the user's own text"));
  Page.Mouse(QEvent::MouseButtonPress, 2, 3);
  Page.Mouse(QEvent::MouseButtonRelease, 2, 3);
  Page.Drag(1, 1, 2, 4);
  EXPECT_EQ(Clipboard(), QStringLiteral("the user's own text"));
  EXPECT_FALSE(Crt.HasSelection());
  // Once a mark written after the drag is painted, a highlight would be too.
  Page.Write("\x1B[3;20H*");
  ASSERT_TRUE(Page.WaitPainted(3, 20, 20));
  EXPECT_EQ(Page.LitIn(1, 5), 0) << "the blank cell dragged over is not shown reversed";
  Rig.Machine().CrtKeyQueue.Clear();
  QTest::keyClick(&Crt, Qt::Key_C, Qt::ControlModifier);
  uint8_t Key = 0;
  ASSERT_EQ(Rig.Machine().CrtKeyQueue.Count(), 1u);
  ASSERT_TRUE(Rig.Machine().CrtKeyQueue.Get(Key));
  EXPECT_EQ(Key, 3);
  EXPECT_EQ(Clipboard(), QStringLiteral("the user's own text"));

  // With mouse selection turned on, a copy holds each selected row up to its last
  // selected column, blanks included, each ended by CR LF; a single click copies
  // one character and CR LF.
  Crt.SetMouseSelect(true);
  Page.Mouse(QEvent::MouseButtonPress, 2, 2);
  Page.Mouse(QEvent::MouseButtonRelease, 2, 2);
  EXPECT_EQ(Clipboard(), QStringLiteral("e\r\n"));
  Page.Drag(1, 2, 2, 3);
  EXPECT_EQ(Clipboard(), QStringLiteral("\u2500\u0398\u00B7 B").leftJustified(79, u' ') + QStringLiteral("\r\nsec\r\n"));
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(Page.Painted(), "MainWindowCrtPage-copied");
  Crt.SetMouseSelect(false);
  EXPECT_FALSE(Crt.HasSelection());

  // A view shorter than the screen: it follows the cursor and never shows the
  // scroll-back, however the user scrolls up.
  Page.Write("\x1B[2J\x1B[H");
  for (int Line = 1; Line <= 40; ++Line) Page.Write("line " + std::to_string(Line) + "\r\n");
  const int Rows = Crt.GetWholeRows();
  ASSERT_EQ(Rows, 24);
  // A font twice as large, chosen through "CRT Font", leaves room for fewer rows than
  // the screen has (how many depends on the host's fixed-pitch face).
  Rig.Dialogs.FontAnswers.push_back(korvel_test::TestFixedFont(32));
  Page.Window.SetCrtFont->trigger();
  ASSERT_TRUE(Rig.WaitFor([&] { return Crt.GetWholeRows() < Rows; })) << Crt.GetWholeRows() << " rows";
  const int Shown = Crt.GetWholeRows();
  // The view keeps the cursor's row in sight at once, before CP/M writes again:
  // its last row is the cursor's empty row, the row above it the last line.
  EXPECT_TRUE(Rig.WaitFor([&] { return Crt.GetOriginRow() == 24 - Shown + 1; })) << Crt.GetOriginRow();
  EXPECT_TRUE(Page.WaitPainted(Shown, 2, 4, false)) << "the view's last row is the cursor's empty row";
  EXPECT_TRUE(Page.WaitPainted(Shown - 1, 1, 4)) << "the last line written is above it";
  korvel_test::SaveScreenshot(Page.Painted(), "MainWindowCrtPage-larger-font-cursor-row");
  for (int Step = 0; Step < 40; ++Step) Crt.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  const QPoint Middle = Crt.viewport()->rect().center();
  QWheelEvent Wheel(Middle, Crt.viewport()->mapToGlobal(Middle), QPoint(), QPoint(0, 120 * 20), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(Crt.viewport(), &Wheel);
  TMainWindowRig::Settle();
  EXPECT_FALSE(Crt.GetScrollback());
  EXPECT_EQ(Crt.GetOriginRow(), 1) << "the view stops at the screen's first row";
  EXPECT_EQ(Rig.CrtText().substr(0, 7), "line 18");
  korvel_test::SaveScreenshot(Page.Painted(), "MainWindowCrtPage-short-window-top");

  // Output brings the cursor back into the short view, and what CP/M writes on the
  // cursor's row afterwards is painted there without anything else moving.
  Page.Write("line 41\r\n");
  ASSERT_TRUE(Rig.WaitFor([&] { return Crt.GetOriginRow() == 24 - Shown + 1; }));
  ASSERT_TRUE(Page.WaitPainted(Shown, 2, 4, false)) << "the view's last row is the cursor's empty row";
  Page.Write("          NEW");
  EXPECT_TRUE(Page.WaitPainted(Shown, 11, 13)) << "the new text on the last row of the view";
  EXPECT_EQ(Crt.GetOriginRow(), 24 - Shown + 1);
  korvel_test::SaveScreenshot(Page.Painted(), "MainWindowCrtPage-short-window-new-text");
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
}
