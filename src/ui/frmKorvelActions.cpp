// The action list of the main window (the program's whole command vocabulary),
// its main menu and the context menus of the two terminal pages. No action has
// a keyboard shortcut; the menus carry mnemonics of their own.
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPoint>

#include "AdTerminal.h"
#include "SimpleTerminal.h"
#include "frmKorvel.h"

namespace {

const char* const DriveLetters[] = {"A", "B", "C", "D"};

// A menu entry with a caption of its own (for its mnemonic) that shows and
// executes Target.
QAction* AddMenuItem(QMenu* Menu, QAction* Target, const QString& Caption) {
  QAction* Item = Menu->addAction(Caption);
  Item->setMenuRole(QAction::NoRole);
  const auto Follow = [Item, Target] {
    Item->setEnabled(Target->isEnabled());
    Item->setVisible(Target->isVisible());
    Item->setCheckable(Target->isCheckable());
    Item->setChecked(Target->isChecked());
    Item->setToolTip(Target->toolTip());
    Item->setStatusTip(Target->statusTip());
  };
  Follow();
  QObject::connect(Target, &QAction::changed, Item, Follow);
  QObject::connect(Target, &QAction::toggled, Item, Follow);
  QObject::connect(Item, &QAction::triggered, Target, [Target, Follow] {
    Target->trigger();
    Follow();
  });
  return Item;
}

}  // namespace

QAction* TMainOrvanta::NewAction(QAction*& Member, const char* Name, const char* Category, const char* Caption,
                                 const char* Hint) {
  auto* Action = new QAction(QString::fromLatin1(Caption), this);
  Action->setObjectName(QString::fromLatin1(Name));
  Action->setProperty("Category", QString::fromLatin1(Category));
  Action->setProperty("ImageIndex", -1);
  Action->setProperty("AutoCheck", false);
  Action->setMenuRole(QAction::NoRole);
  if (Hint != nullptr) {
    Action->setToolTip(QString::fromLatin1(Hint));
    Action->setStatusTip(QString::fromLatin1(Hint));
  }
  Member = Action;
  FActions.push_back(Action);
  FActionHandlers.emplace_back();
  connect(Action, &QAction::triggered, this, [this, Action] { ExecuteAction(Action); });
  return Action;
}

void TMainOrvanta::SetActionUpdate(QAction* Action, std::function<void()> Update) {
  for (size_t Index = 0; Index < FActions.size(); ++Index)
    if (FActions[Index] == Action) FActionHandlers[Index].Update = std::move(Update);
}

void TMainOrvanta::SetActionExecute(QAction* Action, std::function<void()> Execute) {
  for (size_t Index = 0; Index < FActions.size(); ++Index)
    if (FActions[Index] == Action) FActionHandlers[Index].Execute = std::move(Execute);
}

void TMainOrvanta::ExecuteAction(QAction* Action) {
  for (size_t Index = 0; Index < FActions.size(); ++Index) {
    if (FActions[Index] != Action) continue;
    // A copy: the handler may give the action another one.
    const std::function<void()> Execute = FActionHandlers[Index].Execute;
    if (Execute) Guarded(Execute);
    break;
  }
  UpdateActions();
}

void TMainOrvanta::UpdateActions() {
  for (const TActionHandlers& Handlers : FActionHandlers)
    if (Handlers.Update) Guarded(Handlers.Update);
}

void TMainOrvanta::UpdateAction(QAction* Action) {
  for (size_t Index = 0; Index < FActions.size(); ++Index)
    if (FActions[Index] == Action && FActionHandlers[Index].Update) Guarded(FActionHandlers[Index].Update);
}

void TMainOrvanta::CreateActions() {
  QAction* Action = nullptr;
  const auto Execute = [this](QAction* Target, void (TMainOrvanta::*Handler)()) {
    SetActionExecute(Target, [this, Handler] { (this->*Handler)(); });
  };
  const auto Update = [this](QAction* Target, void (TMainOrvanta::*Handler)()) {
    SetActionUpdate(Target, [this, Handler] { (this->*Handler)(); });
  };
  // Executing the action turns its check over before its handler runs.
  const auto AutoCheck = [](QAction* Target) {
    Target->setCheckable(true);
    Target->setProperty("AutoCheck", true);
  };

  // View
  Action = NewAction(HexMemoryDisplayAct, "HexMemoryDisplayAct", "View", "Hex Memory Display",
                     "Display cpu memory as hex based numbers when checked");
  AutoCheck(Action);
  Action->setChecked(true);
  Execute(Action, &TMainOrvanta::HexMemoryDisplayActExecute);
  Action = NewAction(Crt132Act, "Crt132Act", "View", "CRT 132 Columns",
                     "When checked the CRT display to uses 132 chars per line instead of 80");
  AutoCheck(Action);
  Execute(Action, &TMainOrvanta::Crt132ActExecute);
  Action = NewAction(CrtAnsiAct, "CrtAnsiAct", "View", "CRT ANSI");
  Action->setCheckable(true);
  Execute(Action, &TMainOrvanta::CrtAnsiActExecute);
  Update(Action, &TMainOrvanta::CrtAnsiActUpdate);
  Action = NewAction(ClearCrtAct, "ClearCrtAct", "View", "Clear CRT Display", "Erase the CRT display text");
  Execute(Action, &TMainOrvanta::ClearCrtActExecute);
  Action = NewAction(SetCrtFont, "SetCrtFont", "View", "CRT Font", "Set the font to use for the CRT terminal");
  Execute(Action, &TMainOrvanta::SetCrtFontExecute);
  Action = NewAction(TTY132Act, "TTY132Act", "View", "TTY 132 Columns",
                     "When checked the TTY display to uses 132 chars per line instead of 80");
  AutoCheck(Action);
  Execute(Action, &TMainOrvanta::TTY132ActExecute);
  Action = NewAction(ClearTTYAct, "ClearTTYAct", "View", "Clear TTY Display", "Erase the TTY display text");
  Execute(Action, &TMainOrvanta::ClearTTYActExecute);
  Action = NewAction(SetTttyFont, "SetTttyFont", "View", "TTY Font", "Set the font to use for the TTY terminal");
  Execute(Action, &TMainOrvanta::SetTttyFontExecute);
  Action = NewAction(TTYDisplaySettingsAct, "TTYDisplaySettingsAct", "View", "TTY Display Settings");
  Execute(Action, &TMainOrvanta::TTYDisplaySettingsActExecute);
  Action = NewAction(TTYMapKeysAct, "TTYMapKeysAct", "View", "Map TTY Keys");
  Execute(Action, &TMainOrvanta::TTYMapKeysActExecute);

  // CPM
  Action = NewAction(CPMSelectImageNameAct, "CPMSelectImageNameAct", "CPM", "Set CPM Hex File");
  Execute(Action, &TMainOrvanta::CPMSelectImageNameActExecute);
  Action = NewAction(BIOSSelectImageNameAct, "BIOSSelectImageNameAct", "CPM", "Set BIOS Hex File");
  Execute(Action, &TMainOrvanta::BIOSSelectImageNameActExecute);
  Action = NewAction(ResetCPMAct, "ResetCPMAct", "CPM", "Boot CPM System");
  Execute(Action, &TMainOrvanta::ResetCPMActExecute);

  // Load
  Action = NewAction(LoadHexFileAct, "LoadHexFileAct", "Load", "Load Hex File");
  Execute(Action, &TMainOrvanta::LoadHexFileActExecute);
  Action = NewAction(LoadBinFileAct, "LoadBinFileAct", "Load", "Load Binnary File");
  Execute(Action, &TMainOrvanta::LoadBinFileActExecute);

  // CPU
  Action = NewAction(RunCpuAct, "RunCpuAct", "CPU", "Run CPU");
  AutoCheck(Action);
  Execute(Action, &TMainOrvanta::RunCpuActExecute);
  Action = NewAction(StepCpuAct, "StepCpuAct", "CPU", "Execute Next");
  Execute(Action, &TMainOrvanta::StepCpuActExecute);
  Update(Action, &TMainOrvanta::StepCpuActUpdate);
  Action = NewAction(SetBreakPoint, "SetBreakPoint", "CPU", "Set Break Point", "Set CPU break point address");
  Execute(Action, &TMainOrvanta::SetBreakPointExecute);
  Action = NewAction(ClearBreakPointAct, "ClearBreakPointAct", "CPU", "Clear Break Point",
                     "Clear the current CPU break point");
  Execute(Action, &TMainOrvanta::ClearBreakPointActExecute);
  Update(Action, &TMainOrvanta::ClearBreakPointActUpdate);
  Action = NewAction(ShowCPUWindowAct, "ShowCPUWindowAct", "CPU", "Edit CPU Regiters");
  Execute(Action, &TMainOrvanta::ShowCPUWindowActExecute);

  // Insert Disk, Eject Disk
  for (int Drive = 0; Drive < TMachine::DriveCount; ++Drive) {
    const std::string Letter = DriveLetters[Drive];
    const std::string InsertName = "Change" + Letter + "DriveAct";
    const std::string InsertCaption = "Insert " + Letter + ":";
    const std::string InsertHint = "Set the disk file name for the CPM " + Letter + ": drive";
    Action = NewAction(ChangeDriveAct[static_cast<size_t>(Drive)], InsertName.c_str(), "Insert Disk",
                       InsertCaption.c_str(), InsertHint.c_str());
    Action->setProperty("ImageIndex", 4);
    SetActionExecute(Action, [this, Drive] { ChangeDriveActExecute(Drive); });
  }
  for (int Drive = 0; Drive < TMachine::DriveCount; ++Drive) {
    const std::string Letter = DriveLetters[Drive];
    const std::string EjectName = "Eject" + Letter + "DriveAct";
    const std::string EjectCaption = "Eject " + Letter + ":";
    const std::string EjectHint = "Clear the disk file name for the CPM " + Letter + ": drive";
    Action = NewAction(EjectDriveAct[static_cast<size_t>(Drive)], EjectName.c_str(), "Eject Disk",
                       EjectCaption.c_str(), EjectHint.c_str());
    Action->setEnabled(false);
    SetActionExecute(Action, [this, Drive] { EjectDriveActExecute(Drive); });
    SetActionUpdate(Action, [this, Drive] { EjectDriveActUpdate(Drive); });
  }

  // Disk Manager: the disk manager's page and the disk server's panel give them
  // their work; until then they are disabled.
  struct TDiskManagerAction {
    QAction** Member;
    const char* Name;
    const char* Caption;
    const char* Hint;
    bool Checkable;
    bool AutoCheck;
  };
  const TDiskManagerAction DiskManagerActions[] = {
      {&DM_SelectDiskFileAct, "DM_SelectDiskFileAct", "Select Disk",
       "Select the CPM disk image to display in the file manager", false, false},
      {&DM_RefreshDisplayAct, "DM_RefreshDisplayAct", "Refresh Display", nullptr, false, false},
      {&DM_ImportTextFileAct, "DM_ImportTextFileAct", "Import Text", "Copy a windows text file to the selected CPM disk",
       false, false},
      {&DM_ImportBinaryFileAct, "DM_ImportBinaryFileAct", "Import Binary",
       "Copy a windows binary file to the selected CPM disk", false, false},
      {&DM_ExportTextFileAct, "DM_ExportTextFileAct", "Export as Text", "Copy a CPM text file to Windows", false, false},
      {&DM_ExportBinaryFileAct, "DM_ExportBinaryFileAct", "Export as Binary", "Copy a CPM binary file to Windows",
       false, false},
      {&DM_DeleteFileAct, "DM_DeleteFileAct", "Delete", "Delete the seleceted CPM file", false, false},
      {&DM_RenameFileAct, "DM_RenameFileAct", "Rename", "Rename the selected CPM file", false, false},
      {&DM_ViewFileAct, "DM_ViewFileAct", "View File", "View the file contents as text", false, false},
      {&DM_SetAttributesAct, "DM_SetAttributesAct", "Set Attributes", "Set the file attributes for the selected file",
       false, false},
      {&DM_ChangeUserAct, "DM_ChangeUserAct", "Change User", nullptr, false, false},
      {&DM_EjectDiskAct, "DM_EjectDiskAct", "Eject Disk", "Close the current disk manager disk", false, false},
      {&DM_CreateDiskAct, "DM_CreateDiskAct", "Create Disk", "Create a new CPM disk image file", false, false},
      {&DM_CreateDiskPackAct, "DM_CreateDiskPackAct", "Create Disk Pack", "Create a new CPM disk pack file", false, false},
      {&DM_BackupDiskAct, "DM_BackupDiskAct", "Copy Disk", "Make a copy of the current CPM disk file", false, false},
      {&DM_SaveDiskToHexAct, "DM_SaveDiskToHexAct", "Disk to Hex32",
       "Save a copy of the selected disk file as a intel hex 32 bit file", false, false},
      {&DM_ReplaceDiskContentsAct, "DM_ReplaceDiskContentsAct", "Replace Disk",
       "Replace selected disk contents with disk file", false, false},
      {&DM_RenameDiskAct, "DM_RenameDiskAct", "Rename Disk", "Rename the selected disk", false, false},
      {&DM_SetDiskBootImageAct, "DM_SetDiskBootImageAct", "Set Boot Image",
       "Copy a boot image to start of the selected disk", false, false},
      {&DM_SetDiskBootableAct, "DM_SetDiskBootableAct", "Disk Bootable", nullptr, true, true},
      {&DM_SetDiskProtectedAct, "DM_SetDiskProtectedAct", "Disk Protected", nullptr, true, true},
      {&ActivateRemoteDiskServerAct, "ActivateRemoteDiskServerAct", "Activate Disk Server",
       "Start/Stop remote disk sharing server.", true, false},
  };
  for (const TDiskManagerAction& Entry : DiskManagerActions) {
    Action = NewAction(*Entry.Member, Entry.Name, "Disk Manager", Entry.Caption, Entry.Hint);
    Action->setCheckable(Entry.Checkable);
    Action->setProperty("AutoCheck", Entry.AutoCheck);
    Action->setEnabled(false);
  }

  // Port Files
  Action = NewAction(EnableInputFileAct, "EnableInputFileAct", "Port Files", "Enable Input File");
  Action->setCheckable(true);
  Execute(Action, &TMainOrvanta::EnableInputFileActExecute);
  Update(Action, &TMainOrvanta::EnableInputFileActUpdate);
  Action = NewAction(EnableOutputFileAct, "EnableOutputFileAct", "Port Files", "Enable Output File");
  Action->setCheckable(true);
  Execute(Action, &TMainOrvanta::EnableOutputFileActExecute);
  Update(Action, &TMainOrvanta::EnableOutputFileActUpdate);

  // Printer
  Action = NewAction(PrinterSetupAct, "PrinterSetupAct", "Printer", "Setup");
  Execute(Action, &TMainOrvanta::PrinterSetupActExecute);
  Update(Action, &TMainOrvanta::PrinterSetupActUpdate);
  Action = NewAction(PrinterFontAct, "PrinterFontAct", "Printer", "Font");
  Execute(Action, &TMainOrvanta::PrinterFontActExecute);
  Update(Action, &TMainOrvanta::PrinterFontActUpdate);
  Action = NewAction(PrinterEnableAct, "PrinterEnableAct", "Printer", "Enable");
  AutoCheck(Action);
  Execute(Action, &TMainOrvanta::PrinterEnableActExecute);
  Update(Action, &TMainOrvanta::PrinterEnableActUpdate);
  Action = NewAction(PrinterAbortAct, "PrinterAbortAct", "Printer", "Abort");
  Execute(Action, &TMainOrvanta::PrinterAbortActExecute);
  SetActionUpdate(Action, [this] { PrinterJobActUpdate(PrinterAbortAct); });
  Action = NewAction(PrinterEjectAct, "PrinterEjectAct", "Printer", "Eject");
  Execute(Action, &TMainOrvanta::PrinterEjectActExecute);
  SetActionUpdate(Action, [this] { PrinterJobActUpdate(PrinterEjectAct); });

  // File: closes the window; on no menu and disabled, as designed.
  Action = NewAction(ShutdownAct, "ShutdownAct", "File", "Close Program");
  Action->setEnabled(false);
  Execute(Action, &TMainOrvanta::ShutdownActExecute);
}

void TMainOrvanta::CreateMenus() {
  QMenuBar* Bar = menuBar();

  QMenu* Cpm = Bar->addMenu(QStringLiteral("C&PM"));
  Cpm->setObjectName(QStringLiteral("CpmMenu"));
  AddMenuItem(Cpm, ResetCPMAct, QStringLiteral("&Boot CPM System"));
  QMenu* Insert = Cpm->addMenu(QStringLiteral("&Insert Disk"));
  for (QAction* Action : ChangeDriveAct) Insert->addAction(Action);
  QMenu* Eject = Cpm->addMenu(QStringLiteral("E&ject Disk"));
  for (QAction* Action : EjectDriveAct) Eject->addAction(Action);
  AddMenuItem(Cpm, BIOSSelectImageNameAct, QStringLiteral("&Set BIOS Hex File"));
  AddMenuItem(Cpm, CPMSelectImageNameAct, QStringLiteral("S&et CPM Hex File"));

  QMenu* View = Bar->addMenu(QStringLiteral("&View"));
  View->setObjectName(QStringLiteral("ViewMenu"));
  AddMenuItem(View, CrtAnsiAct, QStringLiteral("C&RT ANSI"));
  AddMenuItem(View, Crt132Act, QStringLiteral("&CRT 132 Columns"));
  AddMenuItem(View, ClearCrtAct, QStringLiteral("C&lear CRT Display"));
  AddMenuItem(View, SetCrtFont, QStringLiteral("CRT &Font"));
  AddMenuItem(View, TTY132Act, QStringLiteral("&TTY 132 Columns"));
  AddMenuItem(View, ClearTTYAct, QStringLiteral("Cl&ear TTY Display"));
  AddMenuItem(View, SetTttyFont, QStringLiteral("TT&Y Font"));
  AddMenuItem(View, TTYDisplaySettingsAct, QStringLiteral("TTY &Display Settings"));
  AddMenuItem(View, TTYMapKeysAct, QStringLiteral("&Map TTY Keys"));
  AddMenuItem(View, HexMemoryDisplayAct, QStringLiteral("&Hex Memory Display"));

  QMenu* Cpu = Bar->addMenu(QStringLiteral("&CPU"));
  Cpu->setObjectName(QStringLiteral("CpuMenu"));
  AddMenuItem(Cpu, RunCpuAct, QStringLiteral("&Run CPU"));
  AddMenuItem(Cpu, StepCpuAct, QStringLiteral("&Execute Next"));
  AddMenuItem(Cpu, ClearBreakPointAct, QStringLiteral("&Clear Break Point"));
  AddMenuItem(Cpu, SetBreakPoint, QStringLiteral("&Set Break Point"));
  AddMenuItem(Cpu, ShowCPUWindowAct, QStringLiteral("E&dit CPU Regiters"));
  QMenu* Load = Cpu->addMenu(QStringLiteral("&Load"));
  AddMenuItem(Load, LoadBinFileAct, QStringLiteral("&Load Binnary File"));
  AddMenuItem(Load, LoadHexFileAct, QStringLiteral("Lo&ad Hex File"));

  QMenu* DiskManager = Bar->addMenu(QStringLiteral("&Disk Manager"));
  DiskManager->setObjectName(QStringLiteral("DiskManagerMenu"));
  for (QAction* Action : {DM_SelectDiskFileAct, DM_RefreshDisplayAct, DM_ImportTextFileAct, DM_ImportBinaryFileAct,
                          DM_ExportTextFileAct, DM_ExportBinaryFileAct, DM_DeleteFileAct, DM_RenameFileAct,
                          DM_ViewFileAct, DM_SetAttributesAct, DM_ChangeUserAct})
    DiskManager->addAction(Action);
  DiskManager->addSeparator();
  for (QAction* Action : {DM_EjectDiskAct, DM_CreateDiskAct, DM_CreateDiskPackAct, DM_BackupDiskAct,
                          DM_SaveDiskToHexAct, DM_ReplaceDiskContentsAct, DM_RenameDiskAct, DM_SetDiskBootImageAct,
                          DM_SetDiskBootableAct, DM_SetDiskProtectedAct})
    DiskManager->addAction(Action);

  QMenu* Printer = Bar->addMenu(QStringLiteral("P&rinter"));
  Printer->setObjectName(QStringLiteral("PrinterMenu"));
  AddMenuItem(Printer, PrinterSetupAct, QStringLiteral("&Setup"));
  AddMenuItem(Printer, PrinterFontAct, QStringLiteral("&Font"));
  AddMenuItem(Printer, PrinterEnableAct, QStringLiteral("&Enable"));
  AddMenuItem(Printer, PrinterAbortAct, QStringLiteral("&Abort"));
  AddMenuItem(Printer, PrinterEjectAct, QStringLiteral("E&ject"));
}

void TMainOrvanta::CreatePopupMenus() {
  const auto AddDriveMenus = [this](QMenu* Menu) {
    QMenu* Insert = Menu->addMenu(QStringLiteral("Insert Disk"));
    for (QAction* Action : ChangeDriveAct) Insert->addAction(Action);
    QMenu* Eject = Menu->addMenu(QStringLiteral("Eject Disks"));
    for (QAction* Action : EjectDriveAct) Eject->addAction(Action);
  };

  CrtPopupMenu = new QMenu(this);
  CrtPopupMenu->setObjectName(QStringLiteral("CrtPopupMenu"));
  CrtPopupMenu->addAction(CrtAnsiAct);
  CrtPopupMenu->addAction(ClearCrtAct);
  CrtPopupMenu->addAction(Crt132Act);
  AddDriveMenus(CrtPopupMenu);
  CrtPopupMenu->addAction(ResetCPMAct);
  AdTerminal1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(AdTerminal1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& At) { CrtPopupMenu->popup(AdTerminal1->viewport()->mapToGlobal(At)); });

  TtyPopupMenu = new QMenu(this);
  TtyPopupMenu->setObjectName(QStringLiteral("TtyPopupMenu"));
  TtyPopupMenu->addAction(ClearTTYAct);
  TtyPopupMenu->addAction(TTY132Act);
  AddDriveMenus(TtyPopupMenu);
  TtyPopupMenu->addAction(ResetCPMAct);
  SimpleTerminal1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(SimpleTerminal1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& At) { TtyPopupMenu->popup(SimpleTerminal1->viewport()->mapToGlobal(At)); });
}
