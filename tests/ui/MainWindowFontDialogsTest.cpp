// The font dialogs of the main window ("CRT Font", "TTY Font" and the printer's
// "Font") as the user meets them: each opens on the font in use, in the style it
// is drawn in (an upright font shows upright, not "Oblique"), and OK without a
// change leaves the font exactly as it was; a size or style chosen there is
// what the font becomes, and the next dialog opens on it.
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTabWidget>
#include <functional>

#include "MainWindowTestRig.h"

using korvel_test::TMainWindowRig;

namespace {

// The rows of a list of the dialog as text.
QStringList Rows(const QListView& List) {
  QStringList Texts;
  for (int Row = 0; Row < List.model()->rowCount(); ++Row) Texts << List.model()->index(Row, 0).data().toString();
  return Texts;
}

// The dialog's list of the styles of Family.
QListView* StyleList(QFontDialog& Dialog, const QString& Family) {
  const QStringList Styles = QFontDatabase::styles(Family);
  for (QListView* List : Dialog.findChildren<QListView*>())
    if (Rows(*List) == Styles) return List;
  return nullptr;
}

// The dialog's list of sizes in points.
QListView* SizeList(QFontDialog& Dialog) {
  for (QListView* List : Dialog.findChildren<QListView*>())
    if (Rows(*List).contains(QStringLiteral("20")) && Rows(*List).contains(QStringLiteral("8"))) return List;
  return nullptr;
}

// A click on the row of List that reads Text.
void ClickRow(QListView& List, const QString& Text) {
  const int Row = static_cast<int>(Rows(List).indexOf(Text));
  ASSERT_GE(Row, 0) << Text.toStdString();
  const QModelIndex Index = List.model()->index(Row, 0);
  List.scrollTo(Index);
  QTest::mouseClick(List.viewport(), Qt::LeftButton, Qt::NoModifier, List.visualRect(Index).center());
  ASSERT_EQ(List.currentIndex().row(), Row);
}

void ClickOk(QDialog& Dialog) {
  QDialogButtonBox* Buttons = Dialog.findChild<QDialogButtonBox*>();
  ASSERT_NE(Buttons, nullptr);
  QTest::mouseClick(Buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
}

// Checks that the dialog shows Font as it is drawn: its family, the style of its
// face (highlighted in the style list), its weight and slant, and a sample in it.
void ExpectShows(QFontDialog& Dialog, const QFont& Font) {
  const QFontInfo Drawn(Font);
  const QFont Shown = Dialog.currentFont();
  EXPECT_EQ(Shown.family().toStdString(), Drawn.family().toStdString());
  EXPECT_EQ(Shown.styleName().toStdString(), Drawn.styleName().toStdString());
  EXPECT_EQ(Shown.weight(), Drawn.weight());
  EXPECT_EQ(Shown.style(), Drawn.style());
  QListView* Styles = StyleList(Dialog, Drawn.family());
  ASSERT_NE(Styles, nullptr);
  EXPECT_EQ(Styles->currentIndex().data().toString().toStdString(), Drawn.styleName().toStdString());
  const auto* Sample = Dialog.findChild<QLineEdit*>(QStringLiteral("qt_fontDialog_sampleEdit"));
  ASSERT_NE(Sample, nullptr);
  EXPECT_EQ(Sample->font().italic(), Drawn.italic()) << "the sample's slant";
  EXPECT_EQ(Sample->font().weight(), Drawn.weight()) << "the sample's weight";
}

// The font as a whole and the parts a user sees, for a readable failure.
void ExpectSameFont(const QFont& Actual, const QFont& Expected) {
  EXPECT_EQ(Actual.family().toStdString(), Expected.family().toStdString());
  EXPECT_EQ(Actual.pointSizeF(), Expected.pointSizeF());
  EXPECT_EQ(Actual.pixelSize(), Expected.pixelSize());
  EXPECT_EQ(Actual.weight(), Expected.weight());
  EXPECT_EQ(Actual.italic(), Expected.italic());
  EXPECT_EQ(Actual.style(), Expected.style());
  EXPECT_EQ(Actual.styleName().toStdString(), Expected.styleName().toStdString());
  EXPECT_TRUE(Actual == Expected) << Actual.toString().toStdString() << " is not " << Expected.toString().toStdString();
}

}  // namespace

TEST(MainWindowFontDialogs, OpenOnTheFontsOwnStyleAndOkWithoutAChangeKeepsTheFont) {
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  Rig.Dialogs.UseFontDialogs = true;
  // The printer's font is chosen for a printer: a PDF file on the Printer page.
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  Window.PortsPageControl->setCurrentIndex(2);
  TMainWindowRig::Settle();
  Rig.Dialogs.FileAnswers = {(Rig.Public() / "listing.pdf").string()};
  QTest::mouseClick(Window.PrintFileBrowseBtn, Qt::LeftButton);
  TMainWindowRig::Settle();
  ASSERT_TRUE(Window.PrinterFontAct->isEnabled());

  struct TFontPlace {
    std::string Name;
    QAction* Action;
    std::function<QFont()> Font;
  };
  const std::vector<TFontPlace> Places = {
      {"crt", Window.SetCrtFont, [&Window] { return Window.AdTerminal1->font(); }},
      {"tty", Window.SetTttyFont, [&Window] { return Window.SimpleTerminal1->font(); }},
      {"printer", Window.PrinterFontAct, [&Window] { return Window.PrinterFont(); }},
  };
  for (const TFontPlace& Place : Places) {
    SCOPED_TRACE(Place.Name);
    const QFont Original = Place.Font();
    ASSERT_FALSE(QFontInfo(Original).italic()) << "the window's fonts start upright";
    Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
      auto& Fonts = dynamic_cast<QFontDialog&>(Dialog);
      ExpectShows(Fonts, Original);
      korvel_test::SaveScreenshot(korvel_test::Rendered(Fonts), "MainWindowFontDialogs-" + Place.Name);
      ClickOk(Fonts);
    });
    Place.Action->trigger();
    ASSERT_TRUE(Rig.Dialogs.DialogAnswers.empty());
    EXPECT_EQ(Rig.Dialogs.DialogTitles.back(), "Select Font");
    ExpectSameFont(Place.Font(), Original);
  }
  EXPECT_EQ(Rig.Dialogs.FixedPitchFontRequests, 1) << "the printer's dialog lists fixed-pitch fonts";

  // A new size alone keeps the style; a bold style chosen is what the font
  // becomes, and the next dialog opens on it and keeps it too.
  const QFont Tty = Window.SimpleTerminal1->font();
  const QString Family = QFontInfo(Tty).family();
  QString Bold;
  for (const QString& Style : QFontDatabase::styles(Family)) {
    const QFont Face = QFontDatabase::font(Family, Style, 20);
    if (Face.weight() == QFont::Bold && Face.style() == QFont::StyleNormal) Bold = Style;
  }
  if (Bold.isEmpty()) GTEST_SKIP() << Family.toStdString() << " has no upright bold style";
  Rig.Dialogs.DialogAnswers.push_back([](QDialog& Dialog) {
    auto& Fonts = dynamic_cast<QFontDialog&>(Dialog);
    QListView* Sizes = SizeList(Fonts);
    ASSERT_NE(Sizes, nullptr);
    ClickRow(*Sizes, QStringLiteral("20"));
    ClickOk(Fonts);
  });
  Window.SetTttyFont->trigger();
  QFont Larger = Window.SimpleTerminal1->font();
  EXPECT_EQ(Larger.pointSize(), 20);
  EXPECT_EQ(QFontInfo(Larger).family(), Family);
  EXPECT_EQ(QFontInfo(Larger).styleName(), QFontInfo(Tty).styleName());
  EXPECT_FALSE(Larger.italic()) << "a new size does not make the font oblique";

  Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    auto& Fonts = dynamic_cast<QFontDialog&>(Dialog);
    QListView* Styles = StyleList(Fonts, Family);
    ASSERT_NE(Styles, nullptr);
    ClickRow(*Styles, Bold);
    ClickOk(Fonts);
  });
  Window.SetTttyFont->trigger();
  const QFont Bolder = Window.SimpleTerminal1->font();
  EXPECT_EQ(Bolder.weight(), QFont::Bold);
  EXPECT_FALSE(Bolder.italic());
  EXPECT_EQ(Bolder.pointSize(), 20);

  Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    auto& Fonts = dynamic_cast<QFontDialog&>(Dialog);
    ExpectShows(Fonts, Bolder);
    korvel_test::SaveScreenshot(korvel_test::Rendered(Fonts), "MainWindowFontDialogs-tty-bold");
    ClickOk(Fonts);
  });
  Window.SetTttyFont->trigger();
  ExpectSameFont(Window.SimpleTerminal1->font(), Bolder);
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
}
