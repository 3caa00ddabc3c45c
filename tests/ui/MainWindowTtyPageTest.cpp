// The TTY page as CP/M and its user meet it when the view is shorter than the
// page's 50 rows: a larger font chosen through "TTY Font" and a shorter window
// keep the cursor's row in sight before CP/M writes again, and a view the user
// scrolled elsewhere stays where it is. What is checked is what the window has
// painted, read back from its backing store: a grab() would repaint everything and
// hide a change that was never painted.
#include <QDialogButtonBox>
#include <QListView>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>

#include "MainWindowTestRig.h"

using korvel_test::TMainWindowRig;

namespace {

class TTtyPage {
 public:
  explicit TTtyPage(TMainWindowRig& Rig) : Rig(Rig), Window(*Rig.Window), Tty(*Window.SimpleTerminal1) {}

  // Bytes as CP/M writes them: one OUT to the TTY's console port each.
  void Write(std::string_view Bytes) {
    for (char Byte : Bytes) Rig.Machine().CpuPortWrite(17, static_cast<uint8_t>(Byte));
  }
  // What the window shows now, as painted into its backing store.
  QImage Painted() const {
    return Window.screen()->grabWindow(Window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
  }
  // The view in the window's pixels.
  QRect View() const { return QRect(Tty.viewport()->mapTo(&Window, QPoint(0, 0)), Tty.viewport()->size()); }
  // The cell at Row, Column (from 0) of the screen in the window's pixels, where
  // the view shows it.
  QRect Cell(int Row, int Column) const {
    const QPoint Corner(Column * Tty.GetCellWidth() - Tty.horizontalScrollBar()->value(),
                        Row * Tty.GetCellHeight() - Tty.verticalScrollBar()->value());
    return QRect(Tty.viewport()->mapTo(&Window, Corner), QSize(Tty.GetCellWidth(), Tty.GetCellHeight()));
  }
  bool InSight(int Row, int Column) const { return View().contains(Cell(Row, Column)); }
  // Whether Image shows Text from the start of Row, in sight: yellow text in the
  // cell of each character, none in the cell of each blank and in the cell after.
  bool Shows(const QImage& Image, int Row, std::string_view Text) const {
    for (int Column = 0; Column <= static_cast<int>(Text.size()); ++Column) {
      const bool Blank = Column == static_cast<int>(Text.size()) || Text[Column] == ' ';
      if (!InSight(Row, Column) || (Count(Image, Cell(Row, Column), IsText) > 0) == Blank) return false;
    }
    return true;
  }
  // Waits until the window shows Text from the start of Row.
  bool WaitShows(int Row, std::string_view Text) {
    return Rig.WaitFor([&] { return Shows(Painted(), Row, Text); });
  }
  // Waits until the window shows the last line above the cursor's empty row, in
  // which the blinking cursor bar is painted.
  bool WaitLastLineAndCursor(std::string_view LastLine) {
    return Rig.WaitFor([&] {
      const QImage Image = Painted();
      const int Row = Tty.GetCursorRow();
      return Shows(Image, Row - 1, LastLine) && Shows(Image, Row, "        ") &&
             Count(Image, Cell(Row, Tty.GetCursorColumn()), IsCursorBar) >= Tty.GetCellWidth();
    });
  }

  TMainWindowRig& Rig;
  TMainOrvanta& Window;
  TSimpleTerminal& Tty;

 private:
  // Yellow text on sky blue; the cursor bar inverts sky blue to a dark brown.
  static bool IsText(QRgb Pixel) { return qRed(Pixel) > 200 && qGreen(Pixel) > 200 && qBlue(Pixel) < 120; }
  static bool IsCursorBar(QRgb Pixel) { return qRed(Pixel) < 130 && qGreen(Pixel) < 100 && qBlue(Pixel) < 60; }
  static int Count(const QImage& Image, const QRect& Area, bool (*Matches)(QRgb)) {
    int Found = 0;
    const QRect Inside = Area.intersected(Image.rect());
    for (int Y = Inside.top(); Y <= Inside.bottom(); ++Y)
      for (int X = Inside.left(); X <= Inside.right(); ++X) Found += Matches(Image.pixel(X, Y)) ? 1 : 0;
    return Found;
  }
};

// "TTY Font" answered through the font dialog: the size Points chosen in its list.
void ChooseTtyFontSize(TMainWindowRig& Rig, const QString& Points) {
  Rig.Dialogs.UseFontDialogs = true;
  Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    QListView* Sizes = nullptr;
    for (QListView* List : Dialog.findChildren<QListView*>())
      for (int Row = 0; Row < List->model()->rowCount(); ++Row)
        if (List->model()->index(Row, 0).data().toString() == Points) Sizes = List;
    ASSERT_NE(Sizes, nullptr);
    const QModelIndex Index = Sizes->model()->match(Sizes->model()->index(0, 0), Qt::DisplayRole, Points).value(0);
    Sizes->scrollTo(Index);
    QTest::mouseClick(Sizes->viewport(), Qt::LeftButton, Qt::NoModifier, Sizes->visualRect(Index).center());
    QTest::mouseClick(Dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
  });
  Rig.Window->SetTttyFont->trigger();
  EXPECT_TRUE(Rig.Dialogs.DialogAnswers.empty());
}

}  // namespace

TEST(MainWindowTtyPage, AShortViewKeepsTheCursorsRowInSightAfterALargerFontAndAResize) {
  TMainWindowRig Rig;
  TTtyPage Page(Rig);
  TSimpleTerminal& Tty = Page.Tty;
  Page.Window.ShowPage(TMainOrvanta::TtyPageIndex);
  TMainWindowRig::Settle();

  // CP/M fills all but the last of the 50 rows: the view follows the cursor down.
  ASSERT_EQ(Tty.GetRows(), 50);
  for (int Line = 1; Line <= 49; ++Line) Page.Write("line " + std::to_string(Line) + "\r\n");
  ASSERT_EQ(Tty.GetCursorRow(), 49);
  ASSERT_GT(Tty.verticalScrollBar()->maximum(), 0) << "the view is shorter than the screen";
  ASSERT_TRUE(Page.WaitLastLineAndCursor("line 49"));

  // A larger font chosen through "TTY Font": the cursor's row stays in sight at
  // once, before CP/M writes again, with the last line above it.
  const int CellHeight = Tty.GetCellHeight();
  ChooseTtyFontSize(Rig, QStringLiteral("20"));
  ASSERT_GT(Tty.GetCellHeight(), CellHeight);
  EXPECT_TRUE(Page.WaitLastLineAndCursor("line 49"))
      << "view at " << Tty.verticalScrollBar()->value() << " of " << Tty.verticalScrollBar()->maximum();
  korvel_test::SaveScreenshot(Page.Painted(), "MainWindowTtyPage-larger-font-cursor-row");

  // A shorter window keeps it in sight too.
  Page.Window.resize(Page.Window.width(), Page.Window.height() - 3 * Tty.GetCellHeight());
  EXPECT_TRUE(Page.WaitLastLineAndCursor("line 49"))
      << "view at " << Tty.verticalScrollBar()->value() << " of " << Tty.verticalScrollBar()->maximum();
  korvel_test::SaveScreenshot(Page.Painted(), "MainWindowTtyPage-shorter-window-cursor-row");

  // A view the user scrolled up, away from the cursor, stays where it is through
  // another font and another size of the window.
  Tty.verticalScrollBar()->setValue(5 * Tty.GetCellHeight());
  const int Scrolled = Tty.verticalScrollBar()->value();
  ASSERT_TRUE(Page.WaitShows(5, "line 6")) << "line 6 at the top";
  ChooseTtyFontSize(Rig, QStringLiteral("18"));
  Page.Window.resize(Page.Window.width(), Page.Window.height() - Tty.GetCellHeight());
  TMainWindowRig::Settle();
  EXPECT_EQ(Tty.verticalScrollBar()->value(), Scrolled);
  EXPECT_FALSE(Page.InSight(Tty.GetCursorRow(), 0));
  const int TopRow = (Scrolled + Tty.GetCellHeight() - 1) / Tty.GetCellHeight();
  EXPECT_TRUE(Page.WaitShows(TopRow, "line " + std::to_string(TopRow + 1))) << "the first whole row of the view";
  korvel_test::SaveScreenshot(Page.Painted(), "MainWindowTtyPage-scrolled-up");
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
}
