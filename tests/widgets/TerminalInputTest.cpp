// What the CRT terminal sends when keys are pressed, and what a user selects, copies
// and pastes: key-map sequences in every cursor and keypad mode, control letters,
// characters that one byte cannot carry, auto-repeat; mouse selection across the
// scroll-back, copy to the clipboard, selections with corners anywhere, and paste.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QScrollBar>
#include <QStyleHints>
#include <QTest>
#include <climits>

#include "AdTerminal.h"
#include "AdVT100Emulator.h"
#include "WidgetTestSupport.h"

namespace {

void Settle() {
  for (int I = 0; I < 3; ++I) {
    korvel_test::ProcessEvents();
    QTest::qWait(20);
  }
}

// The CRT page's terminal with the keyboard bytes collected as the main window gets them.
struct TCrtPage {
  TAdVT100Emulator Emulator;
  TAdTerminal Terminal;
  std::string Keys;

  TCrtPage() {
    QGuiApplication::styleHints()->setCursorFlashTime(0);
    Terminal.setFont(korvel_test::TestFixedFont(15));
    Terminal.SetEmulator(&Emulator);
    Terminal.SetUseLazyDisplay(false);
    Terminal.OnKeyboardData = [this](TAdTerminalEmulator& Sender, uint8_t Data) {
      EXPECT_EQ(&Sender, &Emulator);
      Keys.push_back(static_cast<char>(Data));
    };
    const int Frame = 2 * Terminal.frameWidth();
    Terminal.resize(Terminal.GetCellWidth() * 80 + Frame, Terminal.GetCellHeight() * 24 + Frame);
    Terminal.show();
    Settle();
  }
  // The bytes one key sends.
  std::string Press(int Key, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) {
    Keys.clear();
    QTest::keyClick(&Terminal, static_cast<Qt::Key>(Key), Modifiers);
    return Keys;
  }
  std::string Send(QKeyEvent&& Event) {
    Keys.clear();
    QApplication::sendEvent(&Terminal, &Event);
    return Keys;
  }
  void Write(std::string_view Bytes) {
    Terminal.WriteString(Bytes);
    Settle();
  }
  // The centre of a cell of the view (1-based).
  QPoint At(int Row, int Col) const {
    return QPoint((Col - 1) * Terminal.GetCellWidth() + Terminal.GetCellWidth() / 2,
                  (Row - 1) * Terminal.GetCellHeight() + Terminal.GetCellHeight() / 2);
  }
  void Mouse(QEvent::Type Type, QPoint Point) {
    QMouseEvent Event(Type, Point, Terminal.viewport()->mapToGlobal(Point), Qt::LeftButton,
                      Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Terminal.viewport(), &Event);
  }
  void Drag(QPoint From, QPoint To) {
    Mouse(QEvent::MouseButtonPress, From);
    Mouse(QEvent::MouseMove, (From + To) / 2);
    Mouse(QEvent::MouseMove, To);
    Mouse(QEvent::MouseButtonRelease, To);
  }
};

QString Clipboard() { return QGuiApplication::clipboard()->text(); }

// One row of copied text: its cells to the last one copied, blanks included, and CR LF.
QString CopiedRow(const QString& Text, int Cells) { return Text.leftJustified(Cells, u' ') + QStringLiteral("\r\n"); }

}  // namespace

TEST(TerminalKeys, KeysBecomeTheKeyMapsSequencesInEveryMode) {
  TCrtPage Page;
  // Cursor keys: normal, application, VT52.
  EXPECT_EQ(Page.Press(Qt::Key_Up), "\x1B[A");
  EXPECT_EQ(Page.Press(Qt::Key_Left), "\x1B[D");
  Page.Write("\x1B[?1h");
  EXPECT_EQ(Page.Press(Qt::Key_Down), "\x1BOB");
  Page.Write("\x1B[?1l\x1B[?2l");  // VT52 mode
  EXPECT_EQ(Page.Press(Qt::Key_Right), "\x1B" "C");
  Page.Write("\x1B<");  // back to ANSI
  EXPECT_EQ(Page.Press(Qt::Key_Up), "\x1B[A");

  // The keypad: numeric, then application mode; its Enter; Num Lock off gives the same keys.
  EXPECT_EQ(Page.Press(Qt::Key_7, Qt::KeypadModifier), "7");
  EXPECT_EQ(Page.Press(Qt::Key_Up, Qt::KeypadModifier), "8") << "keypad 8 with Num Lock off";
  EXPECT_EQ(Page.Press(Qt::Key_Enter, Qt::KeypadModifier), "\r");
  EXPECT_EQ(Page.Press(Qt::Key_Plus, Qt::KeypadModifier), "-") << "the VT100 keypad's minus sits where + is";
  EXPECT_EQ(Page.Press(Qt::Key_Minus, Qt::KeypadModifier), "\x1BOS") << "and PF4 where - is";
  Page.Write("\x1B=");
  EXPECT_EQ(Page.Press(Qt::Key_7, Qt::KeypadModifier), "\x1BOw");
  EXPECT_EQ(Page.Press(Qt::Key_Enter, Qt::KeypadModifier), "\x1BOM");
  EXPECT_EQ(Page.Press(Qt::Key_Delete, Qt::KeypadModifier), "\x1BOn");
  Page.Write("\x1B>");
  EXPECT_EQ(Page.Press(Qt::Key_7), "7") << "the main keyboard's digits are characters";

  // Function keys: F1-F4 are PF1-PF4, F11 and F12 backspace and line feed, F5 nothing.
  EXPECT_EQ(Page.Press(Qt::Key_F1), "\x1BOP");
  EXPECT_EQ(Page.Press(Qt::Key_F4), "\x1BOS");
  EXPECT_EQ(Page.Press(Qt::Key_F11), "\x08");
  EXPECT_EQ(Page.Press(Qt::Key_F12), "\n");
  EXPECT_EQ(Page.Press(Qt::Key_F5), "");
  EXPECT_EQ(Page.Press(Qt::Key_NumLock), "\x1BOP") << "Num Lock is PF1";

  // Control letters and the editing keys.
  EXPECT_EQ(Page.Press(Qt::Key_A, Qt::ControlModifier), "\x01");
  EXPECT_EQ(Page.Press(Qt::Key_Z, Qt::ControlModifier), "\x1A");
  EXPECT_EQ(Page.Press(Qt::Key_C, Qt::ControlModifier), "\x03") << "no selection: Ctrl+C is ETX";
  EXPECT_EQ(Page.Press(Qt::Key_BracketLeft, Qt::ControlModifier), "\x1B");
  EXPECT_EQ(Page.Press(Qt::Key_Space, Qt::ControlModifier), std::string(1, '\0'));
  EXPECT_EQ(Page.Press(Qt::Key_Return), "\r");
  EXPECT_EQ(Page.Press(Qt::Key_Return, Qt::ShiftModifier), "\n");
  EXPECT_EQ(Page.Press(Qt::Key_Backspace), "\x7F");
  EXPECT_EQ(Page.Press(Qt::Key_Backspace, Qt::ShiftModifier), "\x08");
  EXPECT_EQ(Page.Press(Qt::Key_Delete), "\x7F");
  EXPECT_EQ(Page.Press(Qt::Key_Escape), "\x1B");
  EXPECT_EQ(Page.Press(Qt::Key_Tab), "\t");
  EXPECT_TRUE(Page.Terminal.GetWantAllKeys());
  EXPECT_EQ(Page.Press(Qt::Key_Home), "") << "a key no map covers sends nothing";
  EXPECT_EQ(Page.Press(Qt::Key_X, Qt::AltModifier), "");

  // Characters: typed as they are, one byte each; nothing above 255, never cut.
  EXPECT_EQ(Page.Send(QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::ShiftModifier, QStringLiteral("A"))), "A");
  EXPECT_EQ(Page.Send(QKeyEvent(QEvent::KeyPress, Qt::Key_E, Qt::NoModifier, QStringLiteral("\u00E9"))), "\xE9");
  EXPECT_EQ(Page.Send(QKeyEvent(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("\u20AC"))), "");
  EXPECT_EQ(Page.Send(QKeyEvent(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("\u0141"))), "")
      << "U+0141 is not A (0x41)";

  // Auto-repeat: sent while the VT100 auto-repeats, dropped when it does not.
  EXPECT_EQ(Page.Send(QKeyEvent(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier, QString(), true)), "\x1B[A");
  Page.Write("\x1B[?8l");
  EXPECT_EQ(Page.Send(QKeyEvent(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier, QString(), true)), "");
  EXPECT_EQ(Page.Press(Qt::Key_Up), "\x1B[A") << "a first press still counts";

  // Typed keys reach the screen when the terminal echoes them itself.
  Page.Terminal.SetHalfDuplex(true);
  Page.Write("\x1B[2J\x1B[H");
  Page.Press(Qt::Key_H);
  Page.Send(QKeyEvent(QEvent::KeyPress, Qt::Key_I, Qt::NoModifier, QStringLiteral("i")));
  Settle();
  EXPECT_EQ(Page.Emulator.GetBuffer().GetLineText(1).substr(0, 2), "hi");
}

TEST(TerminalSelection, DragCopyAcrossScrollbackCornersAnywhereAndPaste) {
  TCrtPage Page;
  // With the scroll-back on the vertical bar shows: the window grows by its width.
  Page.Terminal.SetScrollback(true);
  Page.Terminal.resize(Page.Terminal.width() + Page.Terminal.verticalScrollBar()->sizeHint().width(),
                       Page.Terminal.height());
  for (int Line = 1; Line <= 40; ++Line) Page.Terminal.WriteString("row " + std::to_string(Line) + "   \r\n");
  Settle();
  // Row 24 is empty, "row 40" on row 23, "row 23" on row 6 ... "row 1" on row -16.
  ASSERT_EQ(Page.Terminal.GetOriginRow(), 1);
  ASSERT_EQ(Page.Terminal.GetWholeRows(), 24);

  // A drag from row 3 column 3 to row 5 column 2 copies the rest of row 3, all of row
  // 4 and row 5 up to column 2, each row ended by CR LF; dragging back selects the same.
  const QString Dragged = CopiedRow("w 20", 78) + CopiedRow("row 21", 80) + CopiedRow("ro", 2);
  Page.Drag(Page.At(3, 3), Page.At(5, 2));
  EXPECT_EQ(Clipboard(), Dragged);
  EXPECT_TRUE(Page.Terminal.HasSelection());
  QImage Marked = korvel_test::Rendered(*Page.Terminal.viewport());
  korvel_test::SaveScreenshot(Marked, "terminal_selection");
  const QPoint Inside = Page.At(4, 5);
  EXPECT_EQ(Marked.pixelColor(Inside.x(), (4 - 1) * Page.Terminal.GetCellHeight()), QColor(0xC0, 0xC0, 0xC0))
      << "selected cells show reversed";
  EXPECT_EQ(Marked.pixelColor(Page.At(6, 5).x(), 5 * Page.Terminal.GetCellHeight()), QColor(0, 0, 0));
  QGuiApplication::clipboard()->clear();
  Page.Drag(Page.At(5, 2), Page.At(3, 3));
  EXPECT_EQ(Clipboard(), Dragged);

  // A single click copies the one character under it and CR LF.
  Page.Drag(Page.At(7, 1), Page.At(7, 1));
  EXPECT_EQ(Clipboard(), "r\r\n");

  // Ctrl+C copies a selection instead of sending ETX; Esc while dragging cancels it.
  Page.Mouse(QEvent::MouseButtonPress, Page.At(1, 1));
  Page.Mouse(QEvent::MouseMove, Page.At(1, 5));
  QGuiApplication::clipboard()->setText("untouched");
  EXPECT_EQ(Page.Press(Qt::Key_Escape), "");
  Page.Mouse(QEvent::MouseButtonRelease, Page.At(1, 5));
  EXPECT_FALSE(Page.Terminal.HasSelection());
  EXPECT_EQ(Clipboard(), "untouched") << "a cancelled selection copies nothing";
  Page.Terminal.SetAutoCopy(false);
  Page.Drag(Page.At(2, 1), Page.At(2, 6));
  EXPECT_EQ(Clipboard(), "untouched");
  EXPECT_EQ(Page.Press(Qt::Key_C, Qt::ControlModifier), "");
  EXPECT_EQ(Clipboard(), "row 19\r\n");
  Page.Terminal.SetAutoCopy(true);

  // Across the scroll-back: the view scrolled up shows "row 1" at its top.
  Page.Terminal.SetOriginRow(-16);
  Settle();
  ASSERT_EQ(Page.Terminal.GetOriginRow(), -16);
  Page.Drag(Page.At(1, 1), Page.At(22, 6));  // rows -16 .. 5
  const QStringList Lines = Clipboard().split(QStringLiteral("\r\n"));
  ASSERT_EQ(Lines.size(), 23);
  EXPECT_EQ(Lines.front(), QStringLiteral("row 1").leftJustified(80, u' '));
  EXPECT_EQ(Lines[21], "row 22");
  EXPECT_EQ(Lines.back(), "") << "the last row ends with CR LF too";

  // Corners anywhere: before the first scroll-back row, past the last column, reversed.
  Page.Terminal.SetSelection(INT_MAX, INT_MAX, INT_MIN, INT_MIN);
  const QStringList All = Page.Terminal.GetSelectedText().split(QStringLiteral("\r\n"));
  EXPECT_EQ(All.size(), Page.Terminal.GetScrollbackRows() + 1) << "every buffer row once";
  EXPECT_EQ(All[-16 - (24 - 200 + 1)].trimmed(), "row 1");
  EXPECT_EQ(All[All.size() - 3].trimmed(), "row 40");
  Page.Terminal.SetSelection(6, 500, 4, -7);
  EXPECT_EQ(Page.Terminal.GetSelectedText(), CopiedRow("row 21", 80) + CopiedRow("row 22", 80) + CopiedRow("row 23", 80))
      << "row 4 from column 1, row 6 to its end";
  Page.Terminal.SetSelection(-100000, 3, -5000, 9);
  EXPECT_EQ(Page.Terminal.GetSelectedText(), "");
  Page.Terminal.CopyToClipboard();
  EXPECT_EQ(Clipboard(), "");
  EXPECT_FALSE(korvel_test::Rendered(*Page.Terminal.viewport()).isNull());

  // The selection travels with its text when output scrolls the screen.
  Page.Terminal.SetOriginRow(1);
  Page.Terminal.SetSelection(3, 1, 3, 6);
  Page.Write("\x1B[24;1H\n");
  EXPECT_EQ(Page.Terminal.GetSelectedText(), "row 20\r\n");

  // Paste: nothing with both paste flags off; to the screen, lines ending in CR LF.
  Page.Terminal.CancelMode();
  Page.Write("\x1B[2J\x1B[H");
  QGuiApplication::clipboard()->setText(QStringLiteral("dir\nls \u20AC\n"));
  Page.Terminal.PasteFromClipboard();
  Settle();
  EXPECT_EQ(Page.Emulator.GetBuffer().GetLineText(1).substr(0, 3), "   ");
  Page.Terminal.SetPasteToScreen(true);
  Page.Terminal.PasteFromClipboard();
  Settle();
  EXPECT_EQ(Page.Emulator.GetBuffer().GetLineText(1).substr(0, 4), "dir ");
  EXPECT_EQ(Page.Emulator.GetBuffer().GetLineText(2).substr(0, 4), "ls  ");
  EXPECT_EQ(Page.Emulator.GetBuffer().GetCursorRow(), 3);
  EXPECT_EQ(Page.Emulator.GetBuffer().GetCursorCol(), 1);
}
