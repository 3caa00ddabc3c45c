// The TTY key map as the user edits it in "Map Terminal Keys" and as the TTY page
// asks it on every key: caret notation typed and normalised, the key states, the
// list as it is painted, and the ".kmap" file in the work folder.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "MapKeys.h"
#include "TempFolder.h"
#include "WidgetTestSupport.h"

static void PrintTo(const QString& Text, std::ostream* Out) { *Out << '"' << Text.toStdString() << '"'; }

namespace {

constexpr int UpArrow = 38, Home = 36, F1 = 112;

void ClickItem(TMapTermKeys& Keys, int Row) {
  QListWidget* list = Keys.ListBox1();
  list->scrollToItem(list->item(Row));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, list->visualItemRect(list->item(Row)).center());
}

// Types Text as the mapping of the selected key and presses "Update". Each
// character is a key of its own, whatever keyboard would type it.
void Map(TMapTermKeys& Keys, const QString& Text) {
  Keys.Edit1()->selectAll();
  for (const QChar character : Text) {
    QTest::sendKeyEvent(QTest::Press, Keys.Edit1(), Qt::Key_unknown, QString(character), Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, Keys.Edit1(), Qt::Key_unknown, QString(character), Qt::NoModifier);
  }
  QTest::mouseClick(Keys.UpdateButton(), Qt::LeftButton);
}

void ChooseState(TMapTermKeys& Keys, int State) {
  QTest::mouseClick(Keys.KeyState()->button(State), Qt::LeftButton);
}

std::string ReadAll(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(KeyMap, UserMapsKeysAndTheTtyPageSendsThem) {
  korvel_test::TTempFolder work;
  const QString folder = QString::fromStdString(work.Path().string());
  const auto file = work / "ui_controls_test.kmap";
  {
    TMapTermKeys keys(folder);
    EXPECT_EQ(keys.GetKeyMapFileName(), QString::fromStdString(file.string()));
    EXPECT_EQ(keys.GetLoadError(), "");
    EXPECT_FALSE(keys.IsKeyMapped(UpArrow, Qt::NoModifier));
    EXPECT_EQ(keys.GetKeyMapping(UpArrow, Qt::NoModifier), "");

    keys.open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&keys));
    EXPECT_EQ(keys.windowTitle(), "Map Terminal Keys");
    ASSERT_EQ(keys.ListBox1()->count(), 23);
    QStringList states;
    for (QAbstractButton* button : keys.KeyState()->buttons()) states << button->text();
    EXPECT_EQ(states, QStringList({"Normal", "Shift", "Ctrl"}));

    // Up Arrow sends ESC [ A.
    ClickItem(keys, 0);
    EXPECT_EQ(keys.Edit1()->text(), "");
    Map(keys, "^[[A");
    EXPECT_EQ(keys.Edit1()->text(), "^[[A");
    EXPECT_EQ(keys.ReadMapping(0, TMapTermKeys::StateNormal), "^[[A");
    EXPECT_TRUE(keys.IsKeyMapped(TtyKeyCode(Qt::Key_Up, Qt::NoModifier), Qt::NoModifier));
    EXPECT_EQ(keys.GetKeyMapping(UpArrow, Qt::NoModifier), QByteArray("\x1b[A"));
    EXPECT_EQ(keys.GetKeyMapping(UpArrow, Qt::KeypadModifier), QByteArray("\x1b[A")) << "the keypad's arrow too";
    EXPECT_FALSE(keys.IsKeyMapped(UpArrow, Qt::ShiftModifier));

    // Normalised on Update: ^^ is one caret, a lone caret at the end and ^ before
    // a digit give nothing, ^c is ^C.
    ClickItem(keys, 6);  // Home
    Map(keys, "^^x^1^c^");
    EXPECT_EQ(keys.Edit1()->text(), "^^x^C");
    EXPECT_EQ(keys.GetKeyMapping(Home, Qt::NoModifier), QByteArray("^x\x03"));
    ClickItem(keys, 7);  // End
    Map(keys, "^1");
    EXPECT_EQ(keys.Edit1()->text(), "");
    EXPECT_FALSE(keys.IsKeyMapped(35, Qt::NoModifier));
    // Characters one byte cannot hold are left out, never cut to another byte; a
    // caret that would give a byte above 255 gives nothing.
    ClickItem(keys, 9);  // Delete
    Map(keys, QString::fromUtf8("a\u20ACb\u0100^\u013F^\u0140\u00E9"));
    EXPECT_EQ(keys.GetKeyMapping(46, Qt::NoModifier), QByteArray("ab\xFF\xE9"));

    // F1 in the Shift state; F1 alone sends its own.
    ChooseState(keys, TMapTermKeys::StateShift);
    ClickItem(keys, 11);
    Map(keys, "^[OP");
    ChooseState(keys, TMapTermKeys::StateNormal);
    ClickItem(keys, 11);
    Map(keys, "f1");
    EXPECT_EQ(keys.GetKeyMapping(F1, Qt::ShiftModifier), QByteArray("\x1bOP"));
    EXPECT_EQ(keys.GetKeyMapping(F1, Qt::NoModifier), "f1");
    EXPECT_EQ(keys.GetKeyMapping(F1, Qt::ShiftModifier | Qt::ControlModifier), "f1") << "Shift+Ctrl is Normal";
    EXPECT_EQ(keys.GetKeyMapping(F1, Qt::AltModifier), "f1") << "Alt is Normal";
    EXPECT_FALSE(keys.IsKeyMapped(F1, Qt::ControlModifier));
    EXPECT_FALSE(keys.IsKeyMapped(TtyKeyCode(Qt::Key_A, Qt::NoModifier), Qt::NoModifier)) << "not a mappable key";

    // The list shows the state's captions and mappings: captions on blue, a
    // mapping on olive, the selected one on blue.
    ChooseState(keys, TMapTermKeys::StateShift);
    ClickItem(keys, 0);
    EXPECT_EQ(keys.Edit1()->text(), "") << "Up Arrow is not mapped with Shift";
    const QImage shown = korvel_test::Rendered(*keys.ListBox1()->viewport());
    const QRect up = keys.ListBox1()->visualItemRect(keys.ListBox1()->item(0));
    const QRect down = keys.ListBox1()->visualItemRect(keys.ListBox1()->item(1));
    const int captionRight = up.left() + keys.GetCaptionWidth() - 1;
    EXPECT_EQ(shown.pixelColor(up.left() + 1, up.bottom() - 1), QColor(0, 0, 255));
    EXPECT_EQ(shown.pixelColor(captionRight, down.bottom() - 1), QColor(0, 0, 255));
    EXPECT_EQ(shown.pixelColor(captionRight + 2, down.bottom() - 1), QColor(128, 128, 0));
    EXPECT_EQ(shown.pixelColor(up.right() - 2, up.bottom() - 1), QColor(0, 0, 255)) << "the selected item";
    int textPixels = 0;  // "Shift-Up Arrow" in white on the caption's blue
    for (int x = up.left(); x <= captionRight; ++x)
      for (int y = up.top(); y <= up.bottom(); ++y) textPixels += shown.pixelColor(x, y).red() > 128;
    EXPECT_GT(textPixels, 20);
    EXPECT_GE(keys.GetCaptionWidth(), QFontMetrics(keys.ListBox1()->font()).horizontalAdvance("Shift-Right Arrow") + 4);
    korvel_test::SaveScreenshot(korvel_test::Rendered(keys), "parts_map_terminal_keys");

    // Typed but not updated: nothing changes. Closing writes the map.
    ClickItem(keys, 1);
    keys.Edit1()->setText("^[[B");
    ChooseState(keys, TMapTermKeys::StateNormal);
    QTest::mouseClick(keys.CloseButton(), Qt::LeftButton);
    EXPECT_FALSE(keys.isVisible());
    EXPECT_FALSE(keys.IsKeyMapped(40, Qt::NoModifier));
  }
  const std::string written = ReadAll(file);
  EXPECT_EQ(written,
            "[State_]\r\nUp Arrow=^[[A\r\nHome=^^x^C\r\nEnd=\r\nDelete=ab\xC3\xBF\xC3\xA9\r\nF1=f1\r\n\r\n"
            "[State_Shift]\r\nF1=^[OP\r\n\r\n");
  EXPECT_FALSE(std::filesystem::exists(
      std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / "ui_controls_test.kmap"))
      << "never beside the program";

  // Read again at the next start.
  TMapTermKeys again(folder);
  EXPECT_EQ(again.GetKeyMapping(F1, Qt::ShiftModifier), QByteArray("\x1bOP"));
  EXPECT_EQ(again.GetKeyMapping(UpArrow, Qt::NoModifier), QByteArray("\x1b[A"));
  QKeyEvent keypadUp(QEvent::KeyPress, Qt::Key_Up, Qt::KeypadModifier);
  EXPECT_EQ(TtyKeyCode(keypadUp), UpArrow);
  EXPECT_EQ(TtyKeyCode(Qt::Key_8, Qt::KeypadModifier), 0x68) << "a keypad digit keeps its own number";
  EXPECT_EQ(TtyKeyCode(Qt::Key_F12, Qt::NoModifier), 123);
}

TEST(KeyMap, AFailedWriteIsReportedOnceAndKeepsNothingHalfWritten) {
  korvel_test::TTempFolder work;
  // A work folder that went away while the program ran.
  const QString folder = QString::fromStdString((work / "gone").string());
  TMapTermKeys keys(folder);
  keys.open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&keys));
  QTest::keyClick(&keys, Qt::Key_Escape);
  EXPECT_FALSE(keys.isVisible()) << "nothing changed: nothing to write";

  keys.open();
  ClickItem(keys, 4);
  Map(keys, "^[[6~");
  QTest::keyClick(&keys, Qt::Key_Escape);
  EXPECT_TRUE(keys.isVisible()) << "the first close reports the failure";
  QMessageBox* message = keys.MessageBox();
  ASSERT_NE(message, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(message));
  EXPECT_EQ(message->text(), "Unable to save the TTY key map.");
  EXPECT_TRUE(message->informativeText().contains("gone")) << message->informativeText().toStdString();
  korvel_test::SaveScreenshot(korvel_test::Rendered(*message), "parts_map_terminal_keys_save_failed");
  QTest::mouseClick(message->button(QMessageBox::Ok), Qt::LeftButton);
  EXPECT_EQ(keys.GetKeyMapping(34, Qt::NoModifier), QByteArray("\x1b[6~")) << "still in use";
  QTest::mouseClick(keys.CloseButton(), Qt::LeftButton);
  EXPECT_FALSE(keys.isVisible()) << "the second close leaves";
  EXPECT_FALSE(std::filesystem::exists(work / "gone"));

  // The folder is back: the next close writes the map.
  std::filesystem::create_directory(work / "gone");
  keys.open();
  QTest::mouseClick(keys.CloseButton(), Qt::LeftButton);
  EXPECT_FALSE(keys.isVisible());
  EXPECT_EQ(ReadAll(work / "gone" / "ui_controls_test.kmap"), "[State_]\r\nPage Down=^[[6~\r\n\r\n");
}

}  // namespace
