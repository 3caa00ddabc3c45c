// The TTY key map and the printer as the main window uses them: keys mapped in
// "Map TTY Keys" reach the TTY key queue as their strings, in order and as far
// as the queue has room, and come back with the next start; CP/M prints through
// the enabled printer into the PDF file chosen on the Printer page, and into a
// host print queue of a CUPS scheduler the test runs. A job in progress is
// readable by its owner only; the finished PDF file is like any new file.
#include <stdio.h>
#include <sys/stat.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPrintDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QDir>
#include <array>
#include <fstream>
#include <set>

#include "CupsScheduler.h"
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

// The permission bits of File (0644), 0 when it is not there.
unsigned ModeOf(const std::filesystem::path& File) {
  struct stat Info {};
  if (::stat(File.c_str(), &Info) != 0) return 0;
  return Info.st_mode & 07777;
}

// The files of Folder whose names start with Prefix.
std::set<std::filesystem::path> FilesStartingWith(const std::filesystem::path& Folder, const std::string& Prefix) {
  std::set<std::filesystem::path> Found;
  std::error_code Error;
  for (const auto& Entry : std::filesystem::directory_iterator(Folder, Error))
    if (Entry.path().filename().string().rfind(Prefix, 0) == 0) Found.insert(Entry.path());
  return Found;
}

// The process's umask set to Mask for a scope: what new files of the user get.
class TUmask {
 public:
  explicit TUmask(mode_t Mask) : FOld(::umask(Mask)) {}
  ~TUmask() { ::umask(FOld); }
  TUmask(const TUmask&) = delete;
  TUmask& operator=(const TUmask&) = delete;

 private:
  mode_t FOld;
};

// LST on the printer from the cold boot on, and CP/M booted on the CRT page.
void BootWithListOnThePrinter(TMainWindowRig& Rig) {
  TMainOrvanta& Window = *Rig.Window;
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  Window.C_CpmListPortId->setFocus();
  QTest::keyClick(Window.C_CpmListPortId, Qt::Key_Down);
  QTest::keyClick(Window.C_CpmListPortId, Qt::Key_Down);
  QTest::mouseClick(Window.SetDefaultMappingsBtn, Qt::LeftButton);
  Rig.ChooseCpmImage();
  Window.ShowPage(TMainOrvanta::CrtPageIndex);
  Window.ResetCPMAct->trigger();
  ASSERT_TRUE(Rig.WaitFor([&] { return TMainWindowRig::HasPrompt(Rig.CrtText()); })) << Rig.CrtText();
  Window.AdTerminal1->setFocus();
}

// Types a CP/M command on the CRT page and waits for the prompt after it.
void RunCommand(TMainWindowRig& Rig, const QString& Command) {
  const std::string Before = Rig.CrtText();
  const int Prompts = Count(Before, ">");
  QTest::keyClicks(Rig.Window->AdTerminal1, Command);
  QTest::keyClick(Rig.Window->AdTerminal1, Qt::Key_Return);
  ASSERT_TRUE(Rig.WaitFor([&] { return Count(Rig.CrtText(), ">") > Prompts; })) << Rig.CrtText();
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
  // A user whose new files the group may read, but nobody else.
  const TUmask UserMask(027);
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  const auto Pip = korvel_test::ReadFile(korvel_test::Fixture("cpm22/programs/PIP.COM"));
  Rig.PutOnDiskA("PIP.COM", std::string(Pip.begin(), Pip.end()));
  Rig.PutOnDiskA("HELLO.TXT", "Printed from CP/M\r\nthrough the window\r\n");
  Rig.PutOnDiskA("EOF.TXT", "\x1a");
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
  BootWithListOnThePrinter(Rig);
  RunCommand(Rig, "PIP LST:=HELLO.TXT");
  ASSERT_TRUE(Window.PrinterEjectAct->isEnabled());
  EXPECT_TRUE(Window.PrinterAbortAct->isEnabled());
  EXPECT_FALSE(Window.PrinterEnableAct->isEnabled()) << "a job is printing";
  EXPECT_FALSE(std::filesystem::exists(Pdf)) << "the page is out once the job is ejected";
  // The job in progress, beside the PDF file, is readable by its owner only.
  const std::set<std::filesystem::path> JobFiles = FilesStartingWith(Rig.Public(), "listing.pdf.");
  ASSERT_EQ(JobFiles.size(), 1u);
  EXPECT_EQ(ModeOf(*JobFiles.begin()), 0600u) << JobFiles.begin()->string();

  // "Eject" ends the job: the PDF file holds the text, and has the permissions
  // of any new file of the user.
  Window.PrinterEjectAct->trigger();
  EXPECT_FALSE(Window.PrinterEjectAct->isEnabled());
  ASSERT_TRUE(std::filesystem::exists(Pdf));
  EXPECT_EQ(ModeOf(Pdf), 0640u);
  EXPECT_TRUE(FilesStartingWith(Rig.Public(), "listing.pdf.").empty());
  const std::string Printed = PdfText(Pdf);
  EXPECT_NE(Printed.find("Printed from CP/M"), std::string::npos) << Printed;
  EXPECT_NE(Printed.find("through the window"), std::string::npos) << Printed;
  EXPECT_EQ(Window.TtyPrinter()->LastJobPageCount(), 1);

  // A second job aborted leaves the file of the first as it was, and nothing beside it.
  const auto First = korvel_test::ReadFile(Pdf);
  RunCommand(Rig, "PIP LST:=HELLO.TXT");
  ASSERT_TRUE(Window.PrinterAbortAct->isEnabled());
  Window.PrinterAbortAct->trigger();
  EXPECT_EQ(korvel_test::ReadFile(Pdf), First);
  EXPECT_EQ(ModeOf(Pdf), 0640u);
  EXPECT_TRUE(FilesStartingWith(Rig.Public(), "listing.pdf.").empty());

  // With ^Z ejecting again, a record of nothing but ^Z copied byte for byte:
  // bytes that print nothing open no job, and the printout stays as it was.
  ClickBox(Window.C_EosEjectsPrinterBtn);
  ASSERT_TRUE(Window.TtyPrinter()->GetEjectOnCtrlZ());
  RunCommand(Rig, "PIP LST:=EOF.TXT[O]");
  EXPECT_FALSE(Window.PrinterEjectAct->isEnabled());
  EXPECT_EQ(korvel_test::ReadFile(Pdf), First);

  // Off again: the machine's printer port has no printer behind it.
  ClickBox(Window.C_EnablePrinterBtn);
  EXPECT_EQ(Rig.Machine().Printer(), nullptr);
  EXPECT_TRUE(Window.C_PrintFileNameEdit->isEnabled());
  EXPECT_EQ(Rig.Dialogs.Messages.size(), 1u);
}

// A host printer: a cups-pdf queue of a CUPS scheduler that the test runs (its
// queue holds the jobs it is given, so nothing is printed). A job reaches the
// queue only when it is ejected, whole, with the copies chosen in "Setup" and
// the program's name; an aborted job never reaches it; a queue that refuses
// jobs or that has been removed is reported, and the printer is off.
TEST(SettingsTtyKeysAndPrinterTest, CpmPrintsIntoAHostPrintQueueOnlyWhatIsEjected) {
  KORVEL_REQUIRE_FIXTURE("cpm22/cpm22.hex");
  KORVEL_REQUIRE_FIXTURE("cpm22/programs/PIP.COM");
  korvel_test::TCupsScheduler Cups;
  if (!Cups.Missing().empty()) GTEST_SKIP() << Cups.Missing();
  ASSERT_TRUE(Cups.Running()) << Cups.Log();
  const std::string Queue = "KorvelPdf";
  ASSERT_TRUE(Cups.AddQueue(Queue)) << Cups.Log();

  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  const auto Pip = korvel_test::ReadFile(korvel_test::Fixture("cpm22/programs/PIP.COM"));
  Rig.PutOnDiskA("PIP.COM", std::string(Pip.begin(), Pip.end()));
  Rig.PutOnDiskA("HELLO.TXT", "Printed from CP/M\r\nto a print queue\r\n");
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  Window.PortsPageControl->setCurrentIndex(2);
  TMainWindowRig::Settle();
  ASSERT_TRUE(Window.PrintersExist());
  EXPECT_EQ(Window.C_PrintersList->currentText().toStdString(), Queue);

  // "Setup": its button says what it does; two copies.
  std::string AcceptText;
  Rig.Dialogs.DialogAnswers.push_back([&AcceptText](QDialog& Dialog) {
    QPushButton* Accept = Dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    AcceptText = Accept->text().toStdString();
    auto* Copies = Dialog.findChild<QSpinBox*>(QStringLiteral("copies"));
    ASSERT_NE(Copies, nullptr);
    Copies->setFocus();
    Copies->selectAll();
    QTest::keyClicks(Copies, "2");
    korvel_test::SaveScreenshot(korvel_test::Rendered(Dialog), "Settings-printer-setup");
    QTest::mouseClick(Accept, Qt::LeftButton);
  });
  ASSERT_TRUE(Window.PrinterSetupAct->isEnabled());
  QTest::mouseClick(Window.SetupPrinterBtn, Qt::LeftButton);
  ASSERT_EQ(Rig.Dialogs.DialogTitles, std::vector<std::string>({"Printer Setup"}));
  EXPECT_EQ(AcceptText, "&OK");

  ClickBox(Window.C_EosEjectsPrinterBtn);  // the jobs end by "Eject" and "Abort"
  ClickBox(Window.C_EnablePrinterBtn);
  ASSERT_NE(Window.TtyPrinter(), nullptr);
  BootWithListOnThePrinter(Rig);

  // Nothing reaches the queue while the job runs, and the job's file among the
  // host's temporary files is readable by its owner only; "Eject" hands it over
  // whole and removes the file.
  const std::filesystem::path Temporary = QDir::tempPath().toStdString();
  const std::set<std::filesystem::path> Before = FilesStartingWith(Temporary, "korvel-print-");
  RunCommand(Rig, "PIP LST:=HELLO.TXT");
  ASSERT_TRUE(Window.PrinterEjectAct->isEnabled());
  EXPECT_TRUE(Cups.Jobs(Queue).empty());
  std::vector<std::filesystem::path> JobFiles;
  for (const std::filesystem::path& File : FilesStartingWith(Temporary, "korvel-print-"))
    if (Before.count(File) == 0) JobFiles.push_back(File);
  ASSERT_FALSE(JobFiles.empty()) << "no job file in " << Temporary;
  for (const std::filesystem::path& File : JobFiles) EXPECT_EQ(ModeOf(File), 0600u) << File;
  Window.PrinterEjectAct->trigger();
  for (const std::filesystem::path& File : JobFiles) EXPECT_FALSE(std::filesystem::exists(File)) << File;
  std::vector<korvel_test::TCupsScheduler::TJob> Jobs = Cups.Jobs(Queue);
  ASSERT_EQ(Jobs.size(), 1u) << Cups.Log();
  EXPECT_EQ(Jobs[0].Name, Window.ProgramName());
  EXPECT_EQ(Jobs[0].Copies, 2);
  const std::string Printed = PdfText(Jobs[0].File);
  EXPECT_NE(Printed.find("Printed from CP/M"), std::string::npos) << Printed;
  EXPECT_NE(Printed.find("to a print queue"), std::string::npos) << Printed;

  // An aborted job never reaches the queue.
  RunCommand(Rig, "PIP LST:=HELLO.TXT");
  Window.PrinterAbortAct->trigger();
  EXPECT_FALSE(Window.PrinterEjectAct->isEnabled());
  EXPECT_EQ(Cups.Jobs(Queue).size(), 1u);
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());

  // A queue that refuses jobs, then one removed while the printer is on: the
  // print system's reason is shown, and the printer is off.
  const auto RefusedAfterEject = [&](const std::string& Reason) {
    RunCommand(Rig, "PIP LST:=HELLO.TXT");
    ASSERT_TRUE(Window.PrinterEjectAct->isEnabled());
    Window.PrinterEjectAct->trigger();
    ASSERT_EQ(Rig.Dialogs.Messages.size(), 1u);
    const std::string& Message = Rig.Dialogs.Messages[0].second;
    EXPECT_EQ(Message.rfind("The printer failed and has been disabled: The print system did not take the job for "
                            "the printer \"" + Queue + "\": ",
                            0),
              0u)
        << Message;
    EXPECT_NE(Message.find(Reason), std::string::npos) << Message;
    EXPECT_EQ(Rig.Machine().Printer(), nullptr);
    EXPECT_FALSE(Window.C_EnablePrinterBtn->isChecked());
    EXPECT_FALSE(Window.PrinterEjectAct->isEnabled());
    Rig.Dialogs.Messages.clear();
  };
  ASSERT_TRUE(Cups.Run("/usr/sbin/cupsreject " + Queue));
  RefusedAfterEject("not accepting jobs");
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "Settings-ports-printer-refused");

  ASSERT_TRUE(Cups.Run("/usr/sbin/cupsaccept " + Queue));
  ClickBox(Window.C_EnablePrinterBtn);
  ASSERT_NE(Window.TtyPrinter(), nullptr);
  ASSERT_TRUE(Cups.Run("/usr/sbin/lpadmin -x " + Queue));
  Window.ShowPage(TMainOrvanta::CrtPageIndex);
  Window.AdTerminal1->setFocus();
  RefusedAfterEject("does not exist");
}
