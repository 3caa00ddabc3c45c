// The main window's command vocabulary: every action with its name, category,
// caption, hint and check behaviour, the menus and tool bars in their order;
// failures inside actions shown once with the window still working; the view
// actions, the drives and the Ports page's devices.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QPainter>
#include <QToolBar>
#include <QToolTip>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "AdStatLt.h"
#include "AdVT100Emulator.h"
#include "MainThread.h"
#include "MainWindowTestRig.h"

using korvel_test::TMainWindowRig;

namespace {

struct TActionRow {
  const char* Name;
  const char* Category;
  const char* Caption;
  bool Checkable;
};

// The whole action list, in its order.
const TActionRow ActionList[] = {
    {"HexMemoryDisplayAct", "View", "Hex Memory Display", true},
    {"Crt132Act", "View", "CRT 132 Columns", true},
    {"CrtAnsiAct", "View", "CRT ANSI", true},
    {"ClearCrtAct", "View", "Clear CRT Display", false},
    {"SetCrtFont", "View", "CRT Font", false},
    {"TTY132Act", "View", "TTY 132 Columns", true},
    {"ClearTTYAct", "View", "Clear TTY Display", false},
    {"SetTttyFont", "View", "TTY Font", false},
    {"TTYDisplaySettingsAct", "View", "TTY Display Settings", false},
    {"TTYMapKeysAct", "View", "Map TTY Keys", false},
    {"CPMSelectImageNameAct", "CPM", "Set CPM Hex File", false},
    {"BIOSSelectImageNameAct", "CPM", "Set BIOS Hex File", false},
    {"ResetCPMAct", "CPM", "Boot CPM System", false},
    {"LoadHexFileAct", "Load", "Load Hex File", false},
    {"LoadBinFileAct", "Load", "Load Binnary File", false},
    {"RunCpuAct", "CPU", "Run CPU", true},
    {"StepCpuAct", "CPU", "Execute Next", false},
    {"SetBreakPoint", "CPU", "Set Break Point", false},
    {"ClearBreakPointAct", "CPU", "Clear Break Point", false},
    {"ShowCPUWindowAct", "CPU", "Edit CPU Regiters", false},
    {"ChangeADriveAct", "Insert Disk", "Insert A:", false},
    {"ChangeBDriveAct", "Insert Disk", "Insert B:", false},
    {"ChangeCDriveAct", "Insert Disk", "Insert C:", false},
    {"ChangeDDriveAct", "Insert Disk", "Insert D:", false},
    {"EjectADriveAct", "Eject Disk", "Eject A:", false},
    {"EjectBDriveAct", "Eject Disk", "Eject B:", false},
    {"EjectCDriveAct", "Eject Disk", "Eject C:", false},
    {"EjectDDriveAct", "Eject Disk", "Eject D:", false},
    {"DM_SelectDiskFileAct", "Disk Manager", "Select Disk", false},
    {"DM_RefreshDisplayAct", "Disk Manager", "Refresh Display", false},
    {"DM_ImportTextFileAct", "Disk Manager", "Import Text", false},
    {"DM_ImportBinaryFileAct", "Disk Manager", "Import Binary", false},
    {"DM_ExportTextFileAct", "Disk Manager", "Export as Text", false},
    {"DM_ExportBinaryFileAct", "Disk Manager", "Export as Binary", false},
    {"DM_DeleteFileAct", "Disk Manager", "Delete", false},
    {"DM_RenameFileAct", "Disk Manager", "Rename", false},
    {"DM_ViewFileAct", "Disk Manager", "View File", false},
    {"DM_SetAttributesAct", "Disk Manager", "Set Attributes", false},
    {"DM_ChangeUserAct", "Disk Manager", "Change User", false},
    {"DM_EjectDiskAct", "Disk Manager", "Eject Disk", false},
    {"DM_CreateDiskAct", "Disk Manager", "Create Disk", false},
    {"DM_CreateDiskPackAct", "Disk Manager", "Create Disk Pack", false},
    {"DM_BackupDiskAct", "Disk Manager", "Copy Disk", false},
    {"DM_SaveDiskToHexAct", "Disk Manager", "Disk to Hex32", false},
    {"DM_ReplaceDiskContentsAct", "Disk Manager", "Replace Disk", false},
    {"DM_RenameDiskAct", "Disk Manager", "Rename Disk", false},
    {"DM_SetDiskBootImageAct", "Disk Manager", "Set Boot Image", false},
    {"DM_SetDiskBootableAct", "Disk Manager", "Disk Bootable", true},
    {"DM_SetDiskProtectedAct", "Disk Manager", "Disk Protected", true},
    {"ActivateRemoteDiskServerAct", "Disk Manager", "Activate Disk Server", true},
    {"EnableInputFileAct", "Port Files", "Enable Input File", true},
    {"EnableOutputFileAct", "Port Files", "Enable Output File", true},
    {"PrinterSetupAct", "Printer", "Setup", false},
    {"PrinterFontAct", "Printer", "Font", false},
    {"PrinterEnableAct", "Printer", "Enable", true},
    {"PrinterAbortAct", "Printer", "Abort", false},
    {"PrinterEjectAct", "Printer", "Eject", false},
    {"ShutdownAct", "File", "Close Program", false},
};

QStringList Texts(const QList<QAction*>& Actions) {
  QStringList Result;
  for (QAction* Action : Actions) Result << (Action->isSeparator() ? QStringLiteral("-") : Action->text());
  return Result;
}

QMenu* SubMenu(QMenu* Menu, const QString& Text) {
  for (QAction* Action : Menu->actions())
    if (Action->text() == Text) return Action->menu();
  return nullptr;
}

void WriteText(const std::filesystem::path& File, const std::string& Text) { std::ofstream(File) << Text; }

// A click on the box of a check box or radio button (its middle may lie beyond its text).
void ClickBox(QAbstractButton* Button) {
  QTest::mouseClick(Button, Qt::LeftButton, Qt::NoModifier, QPoint(6, Button->height() / 2));
}

}  // namespace

TEST(MainWindowActionsTest, EveryActionMenuAndToolBarIsThereInItsOrder) {
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;

  ASSERT_EQ(Window.Actions().size(), std::size(ActionList));
  for (size_t Index = 0; Index < std::size(ActionList); ++Index) {
    const TActionRow& Row = ActionList[Index];
    SCOPED_TRACE(Row.Name);
    QAction* Action = Window.findChild<QAction*>(QString::fromLatin1(Row.Name));
    ASSERT_NE(Action, nullptr);
    EXPECT_EQ(Window.Actions()[Index], Action);
    EXPECT_EQ(Action->text(), QString::fromLatin1(Row.Caption));
    EXPECT_EQ(Action->property("Category").toString(), QString::fromLatin1(Row.Category));
    EXPECT_EQ(Action->isCheckable(), Row.Checkable);
    EXPECT_TRUE(Action->shortcut().isEmpty());
  }
  EXPECT_EQ(Window.Crt132Act->toolTip(), "When checked the CRT display to uses 132 chars per line instead of 80");
  EXPECT_EQ(Window.ClearCrtAct->toolTip(), "Erase the CRT display text");
  EXPECT_EQ(Window.SetCrtFont->toolTip(), "Set the font to use for the CRT terminal");
  EXPECT_EQ(Window.TTY132Act->toolTip(), "When checked the TTY display to uses 132 chars per line instead of 80");
  EXPECT_EQ(Window.ClearTTYAct->toolTip(), "Erase the TTY display text");
  EXPECT_EQ(Window.SetTttyFont->toolTip(), "Set the font to use for the TTY terminal");
  EXPECT_EQ(Window.HexMemoryDisplayAct->toolTip(), "Display cpu memory as hex based numbers when checked");
  EXPECT_EQ(Window.ChangeDriveAct[2]->toolTip(), "Set the disk file name for the CPM C: drive");
  EXPECT_EQ(Window.EjectDriveAct[3]->toolTip(), "Clear the disk file name for the CPM D: drive");
  for (QAction* Action : {Window.HexMemoryDisplayAct, Window.Crt132Act, Window.TTY132Act, Window.RunCpuAct,
                          Window.PrinterEnableAct, Window.DM_SetDiskBootableAct, Window.DM_SetDiskProtectedAct})
    EXPECT_TRUE(Action->property("AutoCheck").toBool()) << Action->objectName().toStdString();
  for (QAction* Action : {Window.CrtAnsiAct, Window.EnableInputFileAct, Window.EnableOutputFileAct,
                          Window.ActivateRemoteDiskServerAct, Window.ResetCPMAct})
    EXPECT_FALSE(Action->property("AutoCheck").toBool()) << Action->objectName().toStdString();
  EXPECT_TRUE(Window.HexMemoryDisplayAct->isChecked());
  EXPECT_TRUE(Window.CrtAnsiAct->isChecked()) << "follows the emulator's ANSI mode";
  for (QAction* Action : Window.EjectDriveAct) EXPECT_FALSE(Action->isEnabled());
  EXPECT_FALSE(Window.ShutdownAct->isEnabled());
  EXPECT_TRUE(Window.DM_SelectDiskFileAct->isEnabled()) << "a disk can always be chosen";
  EXPECT_FALSE(Window.DM_RefreshDisplayAct->isEnabled()) << "none is open yet";
  EXPECT_EQ(Window.PrinterEnableAct->isEnabled(), Window.PrintersExist()) << "a printer or a PDF file to print to";
  EXPECT_FALSE(Window.PrinterAbortAct->isEnabled());
  EXPECT_TRUE(Window.TTYDisplaySettingsAct->isEnabled());
  EXPECT_TRUE(Window.TTYMapKeysAct->isEnabled());

  // The main menu.
  const QList<QAction*> Menus = Window.menuBar()->actions();
  EXPECT_EQ(Texts(Menus), QStringList({"C&PM", "&View", "&CPU", "&Disk Manager", "P&rinter"}));
  QMenu* Cpm = Menus[0]->menu();
  EXPECT_EQ(Texts(Cpm->actions()),
            QStringList({"&Boot CPM System", "&Insert Disk", "E&ject Disk", "&Set BIOS Hex File", "S&et CPM Hex File"}));
  EXPECT_EQ(Texts(SubMenu(Cpm, "&Insert Disk")->actions()), QStringList({"Insert A:", "Insert B:", "Insert C:", "Insert D:"}));
  EXPECT_EQ(Texts(SubMenu(Cpm, "E&ject Disk")->actions()), QStringList({"Eject A:", "Eject B:", "Eject C:", "Eject D:"}));
  EXPECT_EQ(Texts(Menus[1]->menu()->actions()),
            QStringList({"C&RT ANSI", "&CRT 132 Columns", "C&lear CRT Display", "CRT &Font", "&TTY 132 Columns",
                         "Cl&ear TTY Display", "TT&Y Font", "TTY &Display Settings", "&Map TTY Keys",
                         "&Hex Memory Display"}));
  QMenu* Cpu = Menus[2]->menu();
  EXPECT_EQ(Texts(Cpu->actions()), QStringList({"&Run CPU", "&Execute Next", "&Clear Break Point", "&Set Break Point",
                                                "E&dit CPU Regiters", "&Load"}));
  EXPECT_EQ(Texts(SubMenu(Cpu, "&Load")->actions()), QStringList({"&Load Binnary File", "Lo&ad Hex File"}));
  EXPECT_EQ(Texts(Menus[4]->menu()->actions()), QStringList({"&Setup", "&Font", "&Enable", "&Abort", "E&ject"}));
  for (QAction* Item : Menus[3]->menu()->actions())
    if (!Item->isSeparator()) {
      EXPECT_TRUE(Item->objectName().startsWith("DM_")) << Item->text().toStdString();
    }
  // A menu entry executes its action and shows its state.
  QAction* RunItem = Cpu->actions()[0];
  RunItem->trigger();
  EXPECT_TRUE(Window.RunCpuAct->isChecked());
  EXPECT_TRUE(RunItem->isChecked());
  EXPECT_FALSE(Cpu->actions()[1]->isEnabled()) << "\"Execute Next\" follows its action";
  Window.RunCpuAct->trigger();
  EXPECT_FALSE(RunItem->isChecked());
  EXPECT_TRUE(Cpu->actions()[1]->isEnabled());

  // Context menus of the terminal pages, and the tool bars.
  EXPECT_EQ(Texts(Window.CrtPopupMenu->actions()),
            QStringList({"CRT ANSI", "Clear CRT Display", "CRT 132 Columns", "Insert Disk", "Eject Disks", "Boot CPM System"}));
  EXPECT_EQ(Texts(Window.TtyPopupMenu->actions()),
            QStringList({"Clear TTY Display", "TTY 132 Columns", "Insert Disk", "Eject Disks", "Boot CPM System"}));
  EXPECT_EQ(Texts(Window.CpuToolBar->actions()), QStringList({"Boot CPM System", "Run CPU", "Execute Next",
                                                              "Set Break Point", "Clear Break Point", "Edit CPU Regiters"}));
  // The shut-down action is on no menu.
  for (QMenu* Menu : Window.findChildren<QMenu*>())
    for (QAction* Item : Menu->actions()) EXPECT_NE(Item->text(), QStringLiteral("Close Program"));

  // The file dialogs' filters as the host's dialog takes them.
  EXPECT_EQ(QtFileFilter("HEX files|*.hex|All Files|*.*"), QStringLiteral("HEX files (*.hex *.HEX);;All Files (*)"));
  EXPECT_EQ(QtFileFilter("CPM Programs|*.com;*.cpm"), QStringLiteral("CPM Programs (*.com *.COM *.cpm *.CPM)"));

  Window.ShowPage(TMainOrvanta::CpuPageIndex);
  TMainWindowRig::Settle();
  Window.CrtPopupMenu->popup(Window.mapToGlobal(QPoint(50, 80)));
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(*Window.CrtPopupMenu), "MainWindow-crt-context-menu");
  Window.CrtPopupMenu->close();
  Cpm->popup(Window.mapToGlobal(QPoint(0, 20)));
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(*Cpm), "MainWindow-cpm-menu");
  Cpm->close();
}

TEST(MainWindowActionsTest, AFailureInsideAnActionIsShownOnceAndTheWindowGoesOn) {
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;

  // No CP/M image in the work folder yet: the boot fails with the file's error.
  Window.ResetCPMAct->trigger();
  TMainWindowRig::Settle();
  ASSERT_EQ(Rig.Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Rig.Dialogs.Messages[0].first, TMachineMessageKind::Error);
  EXPECT_NE(Rig.Dialogs.Messages[0].second.find("cpm22.hex"), std::string::npos) << Rig.Dialogs.Messages[0].second;
  EXPECT_FALSE(Window.RunCpuAct->isChecked());
  EXPECT_FALSE(Rig.Machine().Booted());

  // A handler that throws anything at all: one message each.
  Window.DM_SelectDiskFileAct->setEnabled(true);
  Window.SetActionExecute(Window.DM_SelectDiskFileAct, [] { throw std::runtime_error("The disk is on fire!"); });
  Window.DM_SelectDiskFileAct->trigger();
  Window.SetActionExecute(Window.DM_SelectDiskFileAct, [] { throw 42; });
  Window.DM_SelectDiskFileAct->trigger();
  TMainWindowRig::Settle();
  ASSERT_EQ(Rig.Dialogs.Messages.size(), 3u);
  EXPECT_EQ(Rig.Dialogs.Messages[1].second, "The disk is on fire!");
  EXPECT_EQ(Rig.Dialogs.Messages[2].first, TMachineMessageKind::Error);

  // A hex file that is none: its error, once.
  const std::filesystem::path Bad = Rig.WorkFolder() / "bad.hex";
  WriteText(Bad, ":10010000C3\nnot hex at all\n");
  Rig.Dialogs.FileAnswers.push_back(Bad.string());
  Window.LoadHexFileAct->trigger();
  TMainWindowRig::Settle();
  ASSERT_EQ(Rig.Dialogs.FileRequests.back().Title, "Load Hex File To Memory");
  EXPECT_EQ(Rig.Dialogs.Messages.size(), 4u);

  // The window works on: a program loads and says how much it took, the
  // breakpoint is set through its input box, and CP/M boots once it has its image.
  const std::filesystem::path Program = Rig.WorkFolder() / "PROG.COM";
  WriteText(Program, std::string(128, '\x76'));
  Rig.Dialogs.FileAnswers.push_back(Program.string());
  Window.LoadBinFileAct->trigger();
  TMainWindowRig::Settle();
  EXPECT_EQ(Rig.Dialogs.FileRequests.back().Title, "Load CPM Program Image");
  ASSERT_EQ(Rig.Dialogs.Messages.size(), 5u);
  EXPECT_EQ(Rig.Dialogs.Messages[4], std::make_pair(TMachineMessageKind::Information,
                                                    std::string("Program loaded, uses 1 blocks.")));
  EXPECT_EQ(Rig.Machine().Cpu().ReadByte(0x0100), 0x76);
  EXPECT_EQ(Rig.Machine().Cpu().ReadByte(0x0180), 26);

  Rig.Dialogs.TextAnswers = {std::string("G1"), std::string("10000"), std::string("1A2b")};
  for (int Attempt = 0; Attempt < 3; ++Attempt) Window.SetBreakPoint->trigger();
  EXPECT_EQ(Rig.Dialogs.TextPrompts[0], "Set New Break Point|Hex Address|0000");
  ASSERT_EQ(Rig.Dialogs.Messages.size(), 7u);
  EXPECT_EQ(Rig.Dialogs.Messages[5].second, "\"G1\" is not a valid hex address.");
  EXPECT_EQ(Rig.Dialogs.Messages[6].second, "The address \"10000\" is out of range.");
  EXPECT_TRUE(Rig.Machine().BreakPointEnabled);
  EXPECT_EQ(Rig.Machine().BreakPointAddress, 0x1A2B);
  EXPECT_TRUE(Window.ClearBreakPointAct->isEnabled());
  Window.ClearBreakPointAct->trigger();
  EXPECT_FALSE(Rig.Machine().BreakPointEnabled);
  EXPECT_FALSE(Window.ClearBreakPointAct->isEnabled());

  // An event handed over from a worker thread that fails: shown once.
  ASSERT_NE(GetMainThread(), nullptr);
  GetMainThread()->Post([] { throw std::runtime_error("The line dropped."); });
  ASSERT_TRUE(Rig.WaitFor([&] { return Rig.Dialogs.Messages.size() == 8u; }));
  EXPECT_EQ(Rig.Dialogs.Messages[7], std::make_pair(TMachineMessageKind::Error, std::string("The line dropped.")));

  if (!korvel_test::HasFixture("cpm22/cpm22.hex")) return;
  std::filesystem::copy_file(korvel_test::Fixture("cpm22/cpm22.hex"), Rig.WorkFolder() / "cpm22.hex");
  Window.ResetCPMAct->trigger();
  EXPECT_TRUE(Rig.WaitFor([&] { return TMainWindowRig::HasPrompt(Rig.CrtText()); })) << Rig.CrtText();
  EXPECT_EQ(Rig.Dialogs.Messages.size(), 8u);

  // A failure in the window's part of a run-loop pass stops the machine and is
  // told once, not once a pass.
  const std::function<void()> Refresh = Rig.Machine().OnRefreshCpu;
  Rig.Machine().OnRefreshCpu = [] { throw std::runtime_error("The view broke."); };
  ASSERT_TRUE(Rig.WaitFor([&] { return !Window.RunLoopActive(); }));
  TMainWindowRig::Settle(5);
  Rig.Machine().OnRefreshCpu = Refresh;
  EXPECT_FALSE(Window.RunCpuAct->isChecked());
  EXPECT_TRUE(Window.StepCpuAct->isEnabled());
  ASSERT_EQ(Rig.Dialogs.Messages.size(), 9u);
  EXPECT_EQ(Rig.Dialogs.Messages[8].second, "The view broke.");
  Window.RunCpuAct->trigger();
  EXPECT_TRUE(Window.RunLoopActive());
}

TEST(MainWindowActionsTest, ViewActionsDrivesAndPortDevices) {
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  TAdTerminalBuffer& Crt = Rig.Machine().CrtBuffer();

  // CRT 132 columns, and back with the cursor pulled into the screen.
  Window.Crt132Act->trigger();
  EXPECT_EQ(Crt.GetColCount(), 132);
  Crt.SetCursorPosition(5, 100);
  Window.Crt132Act->trigger();
  EXPECT_EQ(Crt.GetColCount(), 80);
  EXPECT_EQ(Crt.GetCursorRow(), 5);
  EXPECT_EQ(Crt.GetCursorCol(), 79);
  // CRT ANSI follows the emulator; Clear CRT Display erases and returns to ANSI.
  Window.CrtAnsiAct->trigger();
  EXPECT_FALSE(Rig.Machine().CrtEmulator().GetAnsiMode());
  EXPECT_FALSE(Window.CrtAnsiAct->isChecked());
  Crt.SetCursorPosition(5, 1);
  Rig.Machine().CrtEmulator().ProcessBlock(reinterpret_cast<const uint8_t*>("Some text"), 9, csWriteChar);
  EXPECT_EQ(Rig.Machine().CrtLineText(5), "Some text");
  Window.ClearCrtAct->trigger();
  EXPECT_TRUE(Rig.Machine().CrtEmulator().GetAnsiMode());
  EXPECT_TRUE(Window.CrtAnsiAct->isChecked());
  EXPECT_EQ(Rig.Machine().CrtScreenText(), "");
  EXPECT_EQ(Crt.GetCursorRow(), 1);
  // Fonts come from the font dialog; a cancelled one changes nothing.
  QFont Chosen = korvel_test::TestFixedFont(20);
  Rig.Dialogs.FontAnswers = {Chosen, std::nullopt};
  Window.SetCrtFont->trigger();
  EXPECT_EQ(Window.AdTerminal1->font().pixelSize(), 20);
  Window.SetTttyFont->trigger();
  EXPECT_NE(Window.SimpleTerminal1->font().pixelSize(), 20);

  // TTY 132 columns; unchecked it is 90. Clear TTY Display drops a half sequence.
  EXPECT_EQ(Window.SimpleTerminal1->GetColumns(), 90);
  Window.TTY132Act->trigger();
  EXPECT_EQ(Window.SimpleTerminal1->GetColumns(), 132);
  Window.TTY132Act->trigger();
  EXPECT_EQ(Window.SimpleTerminal1->GetColumns(), 90);
  Window.SimpleTerminal1->WriteText("Hello");
  EXPECT_EQ(Rig.TtyText().substr(0, 5), "Hello");
  Window.ClearTTYAct->trigger();
  EXPECT_EQ(Rig.TtyText().find_first_not_of('\n'), std::string::npos);
  EXPECT_EQ(Window.SimpleTerminal1->GetRows(), 50);

  // Insert B: through its dialog, then eject it.
  TDiskDrive::FormatDriveFile(Rig.WorkFolder() / "WORK.cpmdsk");
  Rig.Dialogs.FileAnswers.push_back((Rig.WorkFolder() / "WORK.cpmdsk").string());
  Window.ChangeDriveAct[1]->trigger();
  EXPECT_EQ(Rig.Dialogs.FileRequests.back().Title, "Select Drive B Disk");
  EXPECT_EQ(Window.DiskCaption[1]->text(), QStringLiteral("\"WORK\""));
  EXPECT_EQ(Window.ChangeDriveAct[1]->text(), QStringLiteral("Change B:"));
  EXPECT_EQ(Window.DiskLight[1]->GetNotLitColor(), QColor(0, 0, 255));
  EXPECT_TRUE(Window.EjectDriveAct[1]->isEnabled());
  Window.ShowPage(TMainOrvanta::DisksPageIndex);
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "MainWindow-disks-drive-b");
  // Each drive's lamp says what it shows when the mouse rests on it.
  for (int Drive = 0; Drive < TMachine::DriveCount; ++Drive) {
    TApdStatusLight& Lamp = *Window.DiskLight[static_cast<size_t>(Drive)];
    const QString Hint = QStringLiteral("Show status of disk in drive %1").arg(QChar('A' + Drive));
    QTest::mouseMove(&Lamp, Lamp.rect().center());
    ASSERT_TRUE(Rig.WaitFor([&] { return QToolTip::isVisible() && QToolTip::text() == Hint; }))
        << Hint.toStdString() << " / " << QToolTip::text().toStdString();
    if (Drive == 3) {
      QWidget* Tip = nullptr;
      for (QWidget* Top : QApplication::topLevelWidgets())
        if (Top->inherits("QTipLabel") && Top->isVisible()) Tip = Top;
      ASSERT_NE(Tip, nullptr);
      QImage Shot = korvel_test::Rendered(Window);
      QPainter Painter(&Shot);
      Painter.drawImage(Window.mapFromGlobal(Tip->pos()), korvel_test::Rendered(*Tip));
      Painter.end();
      korvel_test::SaveScreenshot(Shot, "MainWindow-disks-lamp-hint");
    }
  }
  QToolTip::hideText();
  Window.EjectDriveAct[1]->trigger();
  EXPECT_EQ(Window.DiskCaption[1]->text(), QStringLiteral("(no disk)"));
  EXPECT_EQ(Window.ChangeDriveAct[1]->text(), QStringLiteral("Insert B:"));
  EXPECT_EQ(Window.DiskLight[1]->GetNotLitColor(), QColor(128, 128, 128));
  EXPECT_FALSE(Window.EjectDriveAct[1]->isEnabled());
  EXPECT_TRUE(Rig.Machine().DriveFileName[1].empty());

  // COM1 as a TCP server: open, its settings locked; closed, unlocked.
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  Window.PortsPageControl->setCurrentIndex(0);
  TMainWindowRig::Settle();
  ClickBox(Window.C_UseTCPasCom1);
  EXPECT_TRUE(Rig.Machine().UseTcpAsCom1);
  Window.C_Com1TCPPort->setText("0");
  ClickBox(Window.C_Com1EnableBtn);
  EXPECT_TRUE(Window.C_Com1EnableBtn->isChecked());
  EXPECT_TRUE(Rig.Machine().TcpPort().GetActive());
  EXPECT_FALSE(Window.C_Com1BaudList->isEnabled());
  EXPECT_FALSE(Window.C_Com1TCPPort->isEnabled());
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "MainWindow-ports-com1-tcp");
  ClickBox(Window.C_Com1EnableBtn);
  EXPECT_FALSE(Rig.Machine().TcpPort().GetActive());
  EXPECT_TRUE(Window.C_Com1BaudList->isEnabled());
  // COM2 on a port this host does not have: the warning once, the box unchecked.
  ::setenv("KORVEL_COM200", (Rig.WorkFolder() / "no-such-device").c_str(), 1);
  Window.PortsPageControl->setCurrentIndex(1);
  TMainWindowRig::Settle();
  Window.C_Com2PortNumber->setValue(200);
  Window.C_Com2BaudList->setCurrentIndex(5);
  ClickBox(Window.C_Com2EnableBtn);
  ::unsetenv("KORVEL_COM200");
  EXPECT_FALSE(Window.C_Com2EnableBtn->isChecked());
  EXPECT_TRUE(Window.C_Com2PortNumber->isEnabled());
  ASSERT_EQ(Rig.Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Rig.Dialogs.Messages[0].first, TMachineMessageKind::Warning);
  EXPECT_EQ(Rig.Dialogs.Messages[0].second.rfind("Unable to activate Com Port 2, ", 0), 0u)
      << Rig.Dialogs.Messages[0].second;
  EXPECT_EQ(Rig.Machine().GetComConfig(2), 5 + 3 * 8 + 64);

  // The reader and punch files: a missing input file is refused with its
  // warning, an output file opens (the punch's status says so) and closes.
  Window.PortsPageControl->setCurrentIndex(3);
  TMainWindowRig::Settle();
  Rig.Dialogs.FileAnswers.push_back((Rig.WorkFolder() / "missing.txt").string());
  QTest::mouseClick(Window.InputFileBrowseBtn, Qt::LeftButton);
  EXPECT_EQ(Rig.Dialogs.FileRequests.back().Title, "Select Input File Name");
  ClickBox(Window.C_EnableInputFileBtn);
  EXPECT_FALSE(Window.C_EnableInputFileBtn->isChecked());
  EXPECT_FALSE(Window.EnableInputFileAct->isChecked());
  ASSERT_EQ(Rig.Dialogs.Messages.size(), 2u);
  EXPECT_EQ(Rig.Dialogs.Messages[1].second,
            "Unable to open the input file \"" + (Rig.WorkFolder() / "missing.txt").string() + "\".");
  Window.PortsPageControl->setCurrentIndex(4);
  TMainWindowRig::Settle();
  Rig.Dialogs.FileAnswers.push_back((Rig.WorkFolder() / "punch.txt").string());
  QTest::mouseClick(Window.OutputFileBrowseBtn, Qt::LeftButton);
  ClickBox(Window.EnableOutputFileBtn);
  EXPECT_TRUE(Window.EnableOutputFileAct->isChecked());
  EXPECT_TRUE(Window.EnableOutputFileBtn->isChecked());
  uint8_t Status = 0;
  Rig.Machine().CpuPortRead(28, Status);
  EXPECT_EQ(Status, 4);
  EXPECT_TRUE(std::filesystem::exists(Rig.WorkFolder() / "punch.txt"));
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "MainWindow-ports-output-file");
  ClickBox(Window.EnableOutputFileBtn);
  EXPECT_FALSE(Window.EnableOutputFileAct->isChecked());
  // The reader's end-of-stream choice reaches the machine.
  ClickBox(Window.C_InFileEosRestart);
  EXPECT_EQ(Rig.Machine().ReaderEndOfStream, TReaderEndOfStream::Restart);

  // Device lists before the first boot leave memory alone; "Defaults" brings
  // back the cold-boot byte.
  Rig.Machine().Cpu().WriteByte(3, 0x55);
  Window.C_CpmListPortId->setFocus();
  QTest::keyClick(Window.C_CpmListPortId, Qt::Key_Down);
  EXPECT_EQ(Rig.Machine().DeviceMapping, 1 + 64);
  EXPECT_EQ(Rig.Machine().Cpu().ReadByte(3), 0x55);
  QTest::mouseClick(Window.UseDefaultDeviceMappings, Qt::LeftButton);
  EXPECT_EQ(Window.C_CpmListPortId->currentIndex(), 0);
  EXPECT_EQ(Rig.Machine().DeviceMapping, 1);
  EXPECT_EQ(Rig.Dialogs.Messages.size(), 2u);
}
