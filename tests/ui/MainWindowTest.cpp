// The main window from a user's seat: a first start in an empty work folder,
// CP/M booted from "Boot CPM System" and used from the CRT page with real key
// events, the TTY page as the CP/M console, stopping, stepping and closing the
// running machine.
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "AdStatLt.h"
#include "MainWindowTestRig.h"

using korvel_test::CountPixels;
using korvel_test::TMainWindowRig;

namespace {

int Count(const std::string& Text, const std::string& Part) {
  int Found = 0;
  for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1)) ++Found;
  return Found;
}

}  // namespace

TEST(MainWindowTest, FirstStartMakesTheWorkFolderAndShowsTheCrtPage) {
  QElapsedTimer Clock;
  Clock.start();
  TMainWindowRig Rig;
  std::printf("cold start to the CRT page: %lld ms\n", static_cast<long long>(Clock.elapsed()));

  // The work folder, the blank disk of drive A and the program's own BIOS.
  const std::filesystem::path Work = Rig.WorkFolder();
  EXPECT_EQ(Rig.Window->WorkFolder(), Work.string() + "/");
  EXPECT_EQ(std::filesystem::current_path(), Work);
  ASSERT_TRUE(std::filesystem::is_regular_file(Work / "DiskA.cpmdsk"));
  EXPECT_EQ(std::filesystem::file_size(Work / "DiskA.cpmdsk"), 1048576u);
  const auto Disk = korvel_test::ReadFile(Work / "DiskA.cpmdsk");
  EXPECT_EQ(std::count(Disk.begin(), Disk.end(), 0xE5), 1048576);
  ASSERT_TRUE(std::filesystem::is_regular_file(Work / "vantel.hex"));
  EXPECT_EQ(korvel_test::ReadFile(Work / "vantel.hex"), korvel_test::ReadFile(KORVEL_BIOS_HEX));

  // The window: its caption, the six pages in order, the CRT page in front.
  EXPECT_EQ(Rig.Window->windowTitle(), QStringLiteral("Korvel Ver 2.0"));
  const QStringList Pages = {"CRT", "TTY", "Disks", "Ports", "Disk Manager", "CPU"};
  ASSERT_EQ(Rig.Window->PageControl1->count(), Pages.size());
  for (int Page = 0; Page < Pages.size(); ++Page) EXPECT_EQ(Rig.Window->PageControl1->tabText(Page), Pages[Page]);
  EXPECT_EQ(Rig.Window->PageControl1->currentWidget(), Rig.Window->CrtPage);
  EXPECT_TRUE(Rig.Window->AdTerminal1->isVisible());
  EXPECT_LE(Rig.Window->width(), 800);

  // What the pages show before anything ran.
  for (QLabel* Caption : Rig.Window->DiskCaption) EXPECT_EQ(Caption->text(), QStringLiteral("(no disk)"));
  EXPECT_EQ(Rig.Window->C_CpmSourceFile->text(), QStringLiteral("cpm22.hex"));
  EXPECT_EQ(Rig.Window->C_BiosSourceFile->text(), QStringLiteral("vantel.hex"));
  EXPECT_EQ(Rig.Window->ConLstDeviceLabel->text(), QStringLiteral("CON=CRT, LST=TTY"));
  EXPECT_EQ(Rig.Window->PtrPtpDeviceLabel->text(), QStringLiteral("RDR=TTY, PUN=TTY"));
  EXPECT_EQ(Rig.Window->C_CpmConsolePortId->currentText(), QStringLiteral("CRT - Display/Keyboard"));
  EXPECT_EQ(Rig.Window->C_Com1BaudList->currentIndex(), -1);
  EXPECT_EQ(Rig.Window->C_Com1BaudList->placeholderText(), QStringLiteral("38400 baud "));
  EXPECT_TRUE(Rig.Window->C_Com1PortNumber->isEnabled());
  EXPECT_FALSE(Rig.Window->RunCpuAct->isChecked());
  EXPECT_TRUE(Rig.Window->StepCpuAct->isEnabled());
  EXPECT_FALSE(Rig.Machine().Booted());
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
  korvel_test::SaveEveryPage(*Rig.Window, "MainWindow-first-start");

  // The settings file is read at the first activation only, written at the close.
  const std::filesystem::path Settings = Work / (Rig.Window->ProgramName() + ".config");
  EXPECT_EQ(Rig.Window->GetSettingsFileName(), Settings.string());
  EXPECT_FALSE(std::filesystem::exists(Settings));
  std::ofstream(Settings) << "[TTY]\nDisplayRows=20\n[PORTS]\nColdBootDeviceMapping=0\n";
  Rig.Window->activateWindow();
  QEvent Activate(QEvent::WindowActivate);
  QApplication::sendEvent(Rig.Window.get(), &Activate);
  EXPECT_EQ(Rig.Window->SimpleTerminal1->GetRows(), 50);
  EXPECT_EQ(Rig.Window->PageControl1->currentWidget(), Rig.Window->CrtPage);
  EXPECT_TRUE(Rig.Window->close());
  const auto Written = korvel_test::ReadFile(Settings);
  EXPECT_EQ(std::string(Written.begin(), Written.end()).rfind("[MAIN]\r\nDSP_TOP=-1\r\n", 0), 0u);
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
}

// A user who ran the first version has its BIOS in the work folder: this
// version's start replaces it with its own (whose COM output waits for a peer
// instead of dropping bytes). A BIOS of the user's own, even one that differs
// from that image in a single byte, is never touched.
TEST(MainWindowTest, AStartUpdatesTheBiosAnEarlierVersionWroteButKeepsTheUsersOwn) {
  TMainWindowRig Rig;
  const std::filesystem::path Bios = Rig.WorkFolder() / "vantel.hex";
  const std::vector<unsigned char> Current = korvel_test::ReadFile(KORVEL_BIOS_HEX);
  const std::vector<unsigned char> Earlier = korvel_test::ReadFile(KORVEL_BIOS_EARLIER_HEX);
  ASSERT_FALSE(Earlier.empty());
  ASSERT_NE(Earlier, Current);
  const auto Write = [&Bios](const std::vector<unsigned char>& Bytes) {
    std::ofstream(Bios, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(Bytes.data()),
                                                                   static_cast<std::streamsize>(Bytes.size()));
  };
  Write(Earlier);
  Rig.Restart();
  EXPECT_EQ(korvel_test::ReadFile(Bios), Current) << "the earlier version's BIOS was kept";

  std::vector<unsigned char> Own = Earlier;
  Own[Own.size() / 2] = Own[Own.size() / 2] == '0' ? '1' : '0';
  Write(Own);
  Rig.Restart();
  EXPECT_EQ(korvel_test::ReadFile(Bios), Own) << "the user's own BIOS was replaced";
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
}

TEST(MainWindowTest, BootsCpmOnTheCrtPageAndRunsDirTypedThere) {
  KORVEL_REQUIRE_FIXTURE("cpm22/cpm22.hex");
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  Rig.PutOnDiskA("HELLO.TXT", "Hello from the host\r\n");

  // "Set CPM Hex File" offers the edit's name and takes the chosen file.
  Rig.ChooseCpmImage();
  ASSERT_EQ(Rig.Dialogs.FileRequests.size(), 1u);
  EXPECT_EQ(Rig.Dialogs.FileRequests[0].Title, "Select CPM Hex File To Load");
  EXPECT_EQ(Rig.Dialogs.FileRequests[0].FileName, "cpm22.hex");
  EXPECT_EQ(Rig.Dialogs.FileRequests[0].InitialFolder, Window.WorkFolder());
  EXPECT_EQ(Window.C_CpmSourceFile->text().toStdString(), korvel_test::Fixture("cpm22/cpm22.hex").string());

  // "Boot CPM System": the machine runs from the window's run loop.
  QElapsedTimer Clock;
  Clock.start();
  Window.ResetCPMAct->trigger();
  ASSERT_TRUE(Rig.WaitFor([&] { return TMainWindowRig::HasPrompt(Rig.CrtText()); })) << Rig.CrtText();
  std::printf("Boot CPM System to the prompt: %.2f ms\n", static_cast<double>(Clock.nsecsElapsed()) / 1e6);
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
  EXPECT_TRUE(Rig.Machine().Booted());
  EXPECT_TRUE(Window.RunCpuAct->isChecked());
  EXPECT_TRUE(Window.RunLoopActive());
  EXPECT_FALSE(Window.StepCpuAct->isEnabled()) << "\"Execute Next\" while \"Run CPU\" is checked";
  EXPECT_EQ(Window.DiskCaption[0]->text(), QStringLiteral("\"DiskA\""));
  EXPECT_EQ(Window.ChangeDriveAct[0]->text(), QStringLiteral("Change A:"));
  EXPECT_EQ(Window.ChangeDriveAct[0]->property("ImageIndex").toInt(), 7);
  EXPECT_TRUE(Window.EjectDriveAct[0]->isEnabled());
  EXPECT_FALSE(Window.EjectDriveAct[1]->isEnabled());
  // Drive A was read during the boot; drive B is empty.
  EXPECT_TRUE(Window.DiskLight[0]->GetLit());
  EXPECT_EQ(Window.DiskLight[0]->GetLitColor(), QColor(255, 255, 0));
  EXPECT_EQ(Window.DiskLight[0]->GetNotLitColor(), QColor(0, 0, 255));
  EXPECT_EQ(Window.DiskLight[1]->GetNotLitColor(), QColor(128, 128, 128));

  // The prompt is on screen: green text on black in its row.
  TMainWindowRig::Settle(5);
  const QImage Crt = korvel_test::Rendered(*Window.AdTerminal1);
  const std::string Screen = Rig.CrtText();
  const int PromptRow = static_cast<int>(std::count(Screen.begin(), Screen.end(), '\n'));  // 0-based, last row
  const int CellHeight = Window.AdTerminal1->GetCellHeight();
  const int Frame = Window.AdTerminal1->frameWidth();
  const QRect PromptCells(Frame, Frame + PromptRow * CellHeight, 2 * Window.AdTerminal1->GetCellWidth(), CellHeight);
  EXPECT_GT(CountPixels(Crt, PromptCells, QColor(0, 255, 0)), 10);
  EXPECT_GT(CountPixels(Crt, QRect(Frame, Frame + (PromptRow + 2) * CellHeight, 200, CellHeight), QColor(0, 0, 0)),
            1000);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "MainWindow-crt-prompt");

  // DIR typed as key events on the CRT terminal: the listing shows the file.
  Window.AdTerminal1->setFocus();
  QTest::keyClicks(Window.AdTerminal1, "DIR");
  QTest::keyClick(Window.AdTerminal1, Qt::Key_Return);
  ASSERT_TRUE(Rig.WaitFor([&] { return Rig.CrtText().find("HELLO") != std::string::npos; })) << Rig.CrtText();
  EXPECT_NE(Rig.CrtText().find("DIR"), std::string::npos);
  // DEL reaches CP/M as BS: a wrong letter typed and deleted leaves no trace.
  QTest::keyClicks(Window.AdTerminal1, "DIX");
  QTest::keyClick(Window.AdTerminal1, Qt::Key_Backspace);
  QTest::keyClicks(Window.AdTerminal1, "R");
  QTest::keyClick(Window.AdTerminal1, Qt::Key_Return);
  ASSERT_TRUE(Rig.WaitFor([&] { return Count(Rig.CrtText(), "HELLO") == 2; })) << Rig.CrtText();
  EXPECT_EQ(Count(Rig.CrtText(), "?"), 0) << Rig.CrtText();
  TMainWindowRig::Settle(5);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "MainWindow-crt-dir");

  // "Run CPU" off stops the loop; "Execute Next" runs exactly one instruction.
  Window.RunCpuAct->trigger();
  EXPECT_FALSE(Window.RunCpuAct->isChecked());
  EXPECT_FALSE(Window.RunLoopActive());
  EXPECT_TRUE(Window.StepCpuAct->isEnabled());
  const uint64_t Stopped = Rig.Machine().Cpu().InstructionCount;
  QTest::qWait(50);
  EXPECT_EQ(Rig.Machine().Cpu().InstructionCount, Stopped);
  Window.StepCpuAct->trigger();
  EXPECT_EQ(Rig.Machine().Cpu().InstructionCount, Stopped + 1);

  // A breakpoint where CP/M waits for a key: the pass stops there and says so
  // once the pass is over.
  char Address[8];
  std::snprintf(Address, sizeof Address, "%04X", static_cast<unsigned>(Rig.Machine().Cpu().CurrentPC));
  Rig.Dialogs.TextAnswers.push_back(std::string(Address));
  Window.SetBreakPoint->trigger();
  Window.RunCpuAct->trigger();
  ASSERT_TRUE(Rig.WaitFor([&] { return !Rig.Dialogs.Messages.empty(); }));
  EXPECT_EQ(Rig.Dialogs.Messages[0],
            std::make_pair(TMachineMessageKind::Information, "Reached break point at " + std::string(Address)));
  EXPECT_FALSE(Window.RunCpuAct->isChecked());
  EXPECT_FALSE(Window.RunLoopActive());
  EXPECT_EQ(Rig.Machine().Cpu().CurrentPC, Rig.Machine().BreakPointAddress);
  Window.ClearBreakPointAct->trigger();

  // Closing while the machine runs stops it for good.
  Window.RunCpuAct->trigger();
  ASSERT_TRUE(Window.RunLoopActive());
  ASSERT_TRUE(Rig.WaitFor([&] { return Rig.Machine().Cpu().InstructionCount > Stopped + 1000000; }));
  Window.close();
  EXPECT_FALSE(Window.RunCpuAct->isChecked());
  EXPECT_FALSE(Window.RunLoopActive());
  EXPECT_TRUE(Rig.Machine().ShutdownRequested);
  const uint64_t Closed = Rig.Machine().Cpu().InstructionCount;
  Window.RunCpuAct->trigger();
  EXPECT_FALSE(Window.RunCpuAct->isChecked()) << "\"Run CPU\" cannot start the machine again during the close";
  QTest::qWait(50);
  EXPECT_EQ(Rig.Machine().Cpu().InstructionCount, Closed);
  EXPECT_EQ(Rig.Dialogs.Messages.size(), 1u);
}

TEST(MainWindowTest, TheTtyPageIsTheConsoleWhenTheDeviceMappingSaysSo) {
  KORVEL_REQUIRE_FIXTURE("cpm22/cpm22.hex");
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  Window.C_CpmSourceFile->setText(QString::fromStdString(korvel_test::Fixture("cpm22/cpm22.hex").string()));

  // CON = TTY chosen in its list with the keyboard, then made the cold-boot default.
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  TMainWindowRig::Settle();
  Window.C_CpmConsolePortId->setFocus();
  QTest::keyClick(Window.C_CpmConsolePortId, Qt::Key_Up);
  EXPECT_EQ(Window.C_CpmConsolePortId->currentIndex(), 0);
  EXPECT_EQ(Rig.Machine().DeviceMapping, 0);
  EXPECT_EQ(Rig.Machine().ColdBootIoByte, 1) << "only \"Set Defaults\" changes the cold-boot byte";
  QTest::mouseClick(Window.SetDefaultMappingsBtn, Qt::LeftButton);
  EXPECT_EQ(Rig.Machine().ColdBootIoByte, 0);
  EXPECT_EQ(Window.ConLstDeviceLabel->text(), QStringLiteral("CON=TTY, LST=TTY"));
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "MainWindow-ports-tty-console");

  // The cold boot puts the prompt on the TTY page.
  Window.ShowPage(TMainOrvanta::TtyPageIndex);
  Window.ResetCPMAct->trigger();
  ASSERT_TRUE(Rig.WaitFor([&] { return TMainWindowRig::HasPrompt(Rig.TtyText()); })) << Rig.TtyText();
  EXPECT_FALSE(TMainWindowRig::HasPrompt(Rig.CrtText()));
  EXPECT_EQ(Rig.Machine().Cpu().ReadByte(3), 0) << "the BIOS took the cold-boot IOBYTE";

  // Keys typed on the TTY page go to CP/M.
  Window.SimpleTerminal1->setFocus();
  QTest::keyClicks(Window.SimpleTerminal1, "DIR");
  QTest::keyClick(Window.SimpleTerminal1, Qt::Key_Return);
  ASSERT_TRUE(Rig.WaitFor([&] { return Rig.TtyText().find("No file") != std::string::npos; })) << Rig.TtyText();
  TMainWindowRig::Settle(3);
  const QImage Tty = korvel_test::Rendered(*Window.SimpleTerminal1);
  EXPECT_GT(CountPixels(Tty, Tty.rect(), QColor(255, 255, 0)), 50) << "yellow text";
  EXPECT_GT(CountPixels(Tty, Tty.rect(), QColor(166, 202, 240)), 10000) << "on sky blue";
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "MainWindow-tty-console");

  // With the machine stopped the key queue shows what a key puts in: a
  // character beyond one byte puts nothing; a Latin-1 letter its own byte.
  Window.RunCpuAct->trigger();
  ASSERT_FALSE(Window.RunLoopActive());
  Rig.Machine().TtyKeyQueue.Clear();
  QKeyEvent Wide(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x0141)));
  QApplication::sendEvent(Window.SimpleTerminal1, &Wide);
  QKeyEvent Emoji(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUtf8("\xF0\x9F\x98\x80"));
  QApplication::sendEvent(Window.SimpleTerminal1, &Emoji);
  EXPECT_EQ(Rig.Machine().TtyKeyQueue.Count(), 0u);
  QKeyEvent Latin(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x00E9)));
  QApplication::sendEvent(Window.SimpleTerminal1, &Latin);
  uint8_t Key = 0;
  ASSERT_EQ(Rig.Machine().TtyKeyQueue.Count(), 1u);
  ASSERT_TRUE(Rig.Machine().TtyKeyQueue.Get(Key));
  EXPECT_EQ(Key, 0xE9);

  // A mapped key sends its string instead of its character.
  struct TUpArrowMap final : ITtyKeyMap {
    bool IsKeyMapped(int Key, Qt::KeyboardModifiers) const override { return Key == Qt::Key_Up; }
    std::string GetKeyMapping(int Key, Qt::KeyboardModifiers) const override {
      return Key == Qt::Key_Up ? "\x1B[A" : "";
    }
  } KeyMap;
  Window.SetTtyKeyMap(&KeyMap);
  QTest::keyClick(Window.SimpleTerminal1, Qt::Key_Up);
  QTest::keyClick(Window.SimpleTerminal1, Qt::Key_X);
  std::string Queued;
  while (Rig.Machine().TtyKeyQueue.Get(Key)) Queued += static_cast<char>(Key);
  EXPECT_EQ(Queued, "\x1B[Ax");
  Window.SetTtyKeyMap(nullptr);

  // Opening the Ports page after the boot shows the live IOBYTE.
  Rig.Machine().Cpu().WriteByte(3, 0x81);
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  EXPECT_EQ(Window.C_CpmConsolePortId->currentIndex(), 1);
  EXPECT_EQ(Window.C_CpmListPortId->currentIndex(), 2);
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
}
