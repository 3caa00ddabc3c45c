// The TTY key map and the printer as the main window uses them: keys mapped in
// "Map TTY Keys" reach the TTY key queue as their strings, in order and as far
// as the queue has room, and come back with the next start; CP/M prints through
// the enabled printer into the PDF file chosen on the Printer page.
#include <stdio.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <array>
#include <fstream>

#include "MainWindowTestRig.h"
#include "MapKeys.h"
#include "TTYPrinter.h"

using korvel_test::ClickBox;
using korvel_test::TMainWindowRig;

namespace {

// Maps the key of a row of the dialog's list in a key state, typing the
// string and pressing "Update".
void MapKey(TMapTermKeys& Keys, int Row, int State, const QString& Text) {
  QTest::mouseClick(Keys.KeyState()->button(State), Qt::LeftButton);
  QListWidget* List = Keys.ListBox1();
  List->scrollToItem(List->item(Row));
  QTest::mouseClick(List->viewport(), Qt::LeftButton, Qt::NoModifier, List->visualItemRect(List->item(Row)).center());
  Keys.Edit1()->selectAll();
  QTest::keyClicks(Keys.Edit1(), Text);
  QTest::mouseClick(Keys.UpdateButton(), Qt::LeftButton);
}

std::string Queued(TMachine& Machine) {
  std::string Bytes;
  uint8_t Key = 0;
  while (Machine.TtyKeyQueue.Get(Key)) Bytes += static_cast<char>(Key);
  return Bytes;
}

// The text of a PDF file as pdftotext reads it.
std::string PdfText(const std::filesystem::path& File) {
  std::string Text;
  FILE* Pipe = ::popen(("pdftotext -layout '" + File.string() + "' - 2>&1").c_str(), "r");
  if (Pipe == nullptr) return Text;
  std::array<char, 4096> Buffer{};
  while (const size_t Count = std::fread(Buffer.data(), 1, Buffer.size(), Pipe)) Text.append(Buffer.data(), Count);
  ::pclose(Pipe);
  return Text;
}

int Count(const std::string& Text, const std::string& Part) {
  int Found = 0;
  for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1)) ++Found;
  return Found;
}

}  // namespace

TEST(SettingsTtyKeysAndPrinterTest, MappedTtyKeysAreQueuedInOrderAndComeBackAfterARestart) {
  TMainWindowRig Rig;
  Rig.Dialogs.DialogAnswers.push_back([](QDialog& Dialog) {
    auto& Keys = dynamic_cast<TMapTermKeys&>(Dialog);
    MapKey(Keys, 0, TMapTermKeys::StateNormal, "^[[A");  // Up Arrow
    MapKey(Keys, 11, TMapTermKeys::StateShift, "^[OP");  // Shift-F1
    EXPECT_EQ(Keys.Edit1()->text(), QStringLiteral("^[OP"));
    korvel_test::SaveScreenshot(korvel_test::Rendered(Keys), "Settings-map-tty-keys");
    QTest::mouseClick(Keys.CloseButton(), Qt::LeftButton);
  });
  Rig.Window->TTYMapKeysAct->trigger();
  ASSERT_EQ(Rig.Dialogs.DialogTitles, std::vector<std::string>({"Map Terminal Keys"}));
  const std::filesystem::path KeyMapFile = Rig.WorkFolder() / (Rig.Window->ProgramName() + ".kmap");
  const auto Written = korvel_test::ReadFile(KeyMapFile);
  EXPECT_EQ(std::string(Written.begin(), Written.end()),
            "[State_]\r\nUp Arrow=^[[A\r\n\r\n[State_Shift]\r\nF1=^[OP\r\n\r\n");

  // Keys on the TTY page, the machine stopped so that the queue keeps them: a
  // mapped key sends its string in place of itself, the others their characters.
  TMainOrvanta& Window = *Rig.Window;
  Window.ShowPage(TMainOrvanta::TtyPageIndex);
  TMainWindowRig::Settle();
  Window.SimpleTerminal1->setFocus();
  QTest::keyClick(Window.SimpleTerminal1, Qt::Key_Up);
  QTest::keyClick(Window.SimpleTerminal1, Qt::Key_F1, Qt::ShiftModifier);
  QTest::keyClick(Window.SimpleTerminal1, Qt::Key_F1);
  QTest::keyClicks(Window.SimpleTerminal1, "ok");
  QTest::keyClick(Window.SimpleTerminal1, Qt::Key_Up, Qt::KeypadModifier);
  EXPECT_EQ(Queued(Rig.Machine()), "\x1b[A\x1bOPok\x1b[A");

  // A string longer than the room left: the bytes that fit go in, the rest are lost.
  QTest::keyClicks(Window.SimpleTerminal1, QString(30, u'a'));
  ASSERT_EQ(Rig.Machine().TtyKeyQueue.Count(), 30u);
  QTest::keyClick(Window.SimpleTerminal1, Qt::Key_Up);
  QTest::keyClicks(Window.SimpleTerminal1, "z");
  EXPECT_EQ(Queued(Rig.Machine()), std::string(30, 'a') + "\x1b[");

  // The next start reads the map again.
  Rig.Restart();
  Rig.Window->ShowPage(TMainOrvanta::TtyPageIndex);
  Rig.Window->SimpleTerminal1->setFocus();
  QTest::keyClick(Rig.Window->SimpleTerminal1, Qt::Key_F1, Qt::ShiftModifier);
  EXPECT_EQ(Queued(Rig.Machine()), "\x1bOP");
  EXPECT_EQ(Rig.Window->MapTermKeys->ReadMapping(0, TMapTermKeys::StateNormal), QStringLiteral("^[[A"));
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
}

TEST(SettingsTtyKeysAndPrinterTest, CpmPrintsThroughTheEnabledPrinterIntoThePdfFileChosen) {
  KORVEL_REQUIRE_FIXTURE("cpm22/cpm22.hex");
  KORVEL_REQUIRE_FIXTURE("cpm22/programs/PIP.COM");
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  const auto Pip = korvel_test::ReadFile(korvel_test::Fixture("cpm22/programs/PIP.COM"));
  Rig.PutOnDiskA("PIP.COM", std::string(Pip.begin(), Pip.end()));
  Rig.PutOnDiskA("HELLO.TXT", "Printed from CP/M\r\nthrough the window\r\n");
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  Window.PortsPageControl->setCurrentIndex(2);
  TMainWindowRig::Settle();

  // A PDF file in a folder that is not there: "Enable" stays off and says why.
  const std::filesystem::path Missing = Rig.Public() / "no-such-folder" / "listing.pdf";
  Rig.Dialogs.FileAnswers = {Missing.string()};
  QTest::mouseClick(Window.PrintFileBrowseBtn, Qt::LeftButton);
  ASSERT_TRUE(Window.C_PrintToFileBtn->isChecked());
  ASSERT_TRUE(Window.PrinterEnableAct->isEnabled());
  ClickBox(Window.C_EnablePrinterBtn);
  EXPECT_FALSE(Window.C_EnablePrinterBtn->isChecked());
  EXPECT_FALSE(Window.PrinterEnableAct->isChecked());
  EXPECT_EQ(Rig.Machine().Printer(), nullptr);
  ASSERT_EQ(Rig.Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Rig.Dialogs.Messages[0].first, TMachineMessageKind::Warning);
  EXPECT_EQ(Rig.Dialogs.Messages[0].second.rfind(
                "Unable to enable the printer: the file \"" + Missing.string() + "\" cannot be written (", 0),
            0u)
      << Rig.Dialogs.Messages[0].second;

  // The file chosen anew, ^Z left to the job, and the printer on: the settings
  // of the running printer are fixed, its options stay live.
  const std::filesystem::path Pdf = Rig.Public() / "listing.pdf";
  Rig.Dialogs.FileAnswers = {Pdf.string()};
  QTest::mouseClick(Window.PrintFileBrowseBtn, Qt::LeftButton);
  ClickBox(Window.C_EosEjectsPrinterBtn);
  ClickBox(Window.C_EnablePrinterBtn);
  ASSERT_TRUE(Window.PrinterEnableAct->isChecked());
  ASSERT_NE(Window.TtyPrinter(), nullptr);
  EXPECT_FALSE(Window.TtyPrinter()->GetEjectOnCtrlZ());
  EXPECT_FALSE(Window.C_PrintFileNameEdit->isEnabled());
  EXPECT_FALSE(Window.PrinterFontAct->isEnabled());
  EXPECT_TRUE(Window.C_IgnoreFormFeedsBtn->isEnabled());
  EXPECT_FALSE(Window.PrinterEjectAct->isEnabled()) << "nothing printed yet";
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "Settings-ports-printer-enabled");

  // LST on the printer from the cold boot on; PIP copies the file to LST:.
  Window.C_CpmListPortId->setFocus();
  QTest::keyClick(Window.C_CpmListPortId, Qt::Key_Down);
  QTest::keyClick(Window.C_CpmListPortId, Qt::Key_Down);
  QTest::mouseClick(Window.SetDefaultMappingsBtn, Qt::LeftButton);
  Rig.ChooseCpmImage();
  Window.ShowPage(TMainOrvanta::CrtPageIndex);
  Window.ResetCPMAct->trigger();
  ASSERT_TRUE(Rig.WaitFor([&] { return TMainWindowRig::HasPrompt(Rig.CrtText()); })) << Rig.CrtText();
  Window.AdTerminal1->setFocus();
  QTest::keyClicks(Window.AdTerminal1, "PIP LST:=HELLO.TXT");
  QTest::keyClick(Window.AdTerminal1, Qt::Key_Return);
  ASSERT_TRUE(Rig.WaitFor([&] { return Count(Rig.CrtText(), ">") >= 2 && Window.PrinterEjectAct->isEnabled(); }))
      << Rig.CrtText();
  EXPECT_TRUE(Window.PrinterAbortAct->isEnabled());
  EXPECT_FALSE(Window.PrinterEnableAct->isEnabled()) << "a job is printing";
  EXPECT_FALSE(std::filesystem::exists(Pdf)) << "the page is out once the job is ejected";

  // "Eject" ends the job: the PDF file holds the text.
  Window.PrinterEjectAct->trigger();
  EXPECT_FALSE(Window.PrinterEjectAct->isEnabled());
  ASSERT_TRUE(std::filesystem::exists(Pdf));
  const std::string Printed = PdfText(Pdf);
  EXPECT_NE(Printed.find("Printed from CP/M"), std::string::npos) << Printed;
  EXPECT_NE(Printed.find("through the window"), std::string::npos) << Printed;
  EXPECT_EQ(Window.TtyPrinter()->LastJobPageCount(), 1);

  // A second job aborted leaves the file of the first as it was.
  const auto First = korvel_test::ReadFile(Pdf);
  QTest::keyClicks(Window.AdTerminal1, "PIP LST:=HELLO.TXT");
  QTest::keyClick(Window.AdTerminal1, Qt::Key_Return);
  ASSERT_TRUE(Rig.WaitFor([&] { return Count(Rig.CrtText(), ">") >= 3 && Window.PrinterAbortAct->isEnabled(); }))
      << Rig.CrtText();
  Window.PrinterAbortAct->trigger();
  EXPECT_EQ(korvel_test::ReadFile(Pdf), First);

  // Off again: the machine's printer port has no printer behind it.
  ClickBox(Window.C_EnablePrinterBtn);
  EXPECT_EQ(Rig.Machine().Printer(), nullptr);
  EXPECT_TRUE(Window.C_PrintFileNameEdit->isEnabled());
  EXPECT_EQ(Rig.Dialogs.Messages.size(), 1u);
}
