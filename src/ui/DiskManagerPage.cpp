// The disk manager's controls, opening and listing a disk, the selection, the
// refusal of changes to a disk in use, re-reading a disk that others wrote,
// and the wiring of the DM_ actions.
#include "DiskManagerPage.h"

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QVBoxLayout>
#include <chrono>
#include <exception>

#include "BootLoaderDlg.h"
#include "CpmDiskDrive.h"
#include "CreateDiskPackDlg.h"
#include "DiskManagerNames.h"
#include "DiskPack.h"
#include "FileIdentity.h"
#include "HostFixedPitchFont.h"
#include "RmtDskMod.h"
#include "SelPathDlg.h"
#include "SetAttributesDlg.h"
#include "TextViewer.h"
#include "frmKorvel.h"

namespace {

QString Text(const std::string& Value) { return QString::fromStdString(Value); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// How often a disk shown is looked at for writes of others, and how soon a
// write of the machine shows.
constexpr int PollIntervalMs = 500;
constexpr int ReloadDelayMs = 60;
// The window paints at most this often during long work.
constexpr int PaintIntervalMs = 40;

}  // namespace

// ---------------------------------------------------------------- busy scope

TDiskManagerPage::TBusyScope::TBusyScope(TDiskManagerPage& Page, int Steps) : FPage(Page), FWasBusy(Page.FBusy) {
  FPage.FBusy = true;
  FLastPaint = NowMs();
  if (Steps > 1 && !FWasBusy) {
    FPage.ProgressBar->setRange(0, Steps);
    FPage.ProgressBar->setValue(0);
    FPage.ProgressBar->show();
  }
  FPage.UpdatePageActions();
}

TDiskManagerPage::TBusyScope::~TBusyScope() {
  if (FWasBusy) return;
  FPage.FBusy = false;
  FPage.ProgressBar->hide();
  FPage.UpdatePageActions();
}

void TDiskManagerPage::TBusyScope::Step(int Done) {
  if (FPage.ProgressBar->isVisible()) FPage.ProgressBar->setValue(Done);
  const int64_t Now = NowMs();
  if (Now - FLastPaint < PaintIntervalMs) return;
  FLastPaint = Now;
  // The window paints and the machine runs on; the user's input waits until
  // the work is done.
  QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// ---------------------------------------------------------------- creation

TDiskManagerPage::TDiskManagerPage(TMainOrvanta& Window, QWidget* Panel) : QObject(&Window), FWindow(Window) {
  setObjectName(QStringLiteral("DiskManager"));
  CreateControls(Panel);
  CreateDialogs();
  WireActions();
  WatchMachineWrites();
  FPollTimer.setInterval(PollIntervalMs);
  connect(&FPollTimer, &QTimer::timeout, &FWindow, [this] { PollDiskFile(); });
  FReloadTimer.setSingleShot(true);
  FReloadTimer.setInterval(ReloadDelayMs);
  connect(&FReloadTimer, &QTimer::timeout, &FWindow, [this] { ReloadDisk(); });
  RefreshFileList();
}

TDiskManagerPage::~TDiskManagerPage() = default;

void TDiskManagerPage::CreateControls(QWidget* Panel) {
  auto* Layout = new QVBoxLayout(Panel);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->setSpacing(0);

  DiskPackNamesSpliter = new QSplitter(Qt::Horizontal, Panel);
  DiskPackNamesSpliter->setObjectName(QStringLiteral("DiskPackNamesSpliter"));
  DiskPackNamesSpliter->setChildrenCollapsible(false);

  QFont Fixed(QStringLiteral("Lucida Console"));
  Fixed.setStyleHint(QFont::Monospace);
  Fixed.setFixedPitch(true);
  if (!QFontInfo(Fixed).fixedPitch()) Fixed = HostFixedPitchFont();

  auto* Files = new QWidget(DiskPackNamesSpliter);
  auto* FilesLayout = new QVBoxLayout(Files);
  FilesLayout->setContentsMargins(0, 0, 0, 0);
  FilesLayout->setSpacing(0);
  DiskListHeader = new QLabel(QStringLiteral("No disk selected."), Files);
  DiskListHeader->setObjectName(QStringLiteral("DiskListHeader"));
  DiskListHeader->setFont(Fixed);
  DiskListHeader->setContentsMargins(4, 2, 4, 2);
  DiskListHeader->setText(Text(DiskListHeaderText()));
  FilesLayout->addWidget(DiskListHeader);
  DiskFileList = new QListWidget(Files);
  DiskFileList->setObjectName(QStringLiteral("DiskFileList"));
  DiskFileList->setFont(Fixed);
  DiskFileList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  DiskFileList->setUniformItemSizes(true);
  DiskFileList->setContextMenuPolicy(Qt::CustomContextMenu);
  FFileListViewport = DiskFileList->viewport();
  FFileListViewport->installEventFilter(this);
  FilesLayout->addWidget(DiskFileList, 1);

  DiskPackNamesPanel = new QWidget(DiskPackNamesSpliter);
  DiskPackNamesPanel->setObjectName(QStringLiteral("DiskPackNamesPanel"));
  auto* PackLayout = new QVBoxLayout(DiskPackNamesPanel);
  PackLayout->setContentsMargins(0, 0, 0, 0);
  PackLayout->setSpacing(0);
  auto* PackCaption = new QLabel(QStringLiteral("Disk Pack Names"), DiskPackNamesPanel);
  PackCaption->setObjectName(QStringLiteral("DiskPackNamesCaption"));
  PackCaption->setAlignment(Qt::AlignCenter);
  PackCaption->setContentsMargins(4, 2, 4, 2);
  PackLayout->addWidget(PackCaption);
  DiskManagerDiskPackNames = new QListWidget(DiskPackNamesPanel);
  DiskManagerDiskPackNames->setObjectName(QStringLiteral("DiskManagerDiskPackNames"));
  DiskManagerDiskPackNames->setFont(Fixed);
  DiskManagerDiskPackNames->setUniformItemSizes(true);
  DiskManagerDiskPackNames->setContextMenuPolicy(Qt::CustomContextMenu);
  PackLayout->addWidget(DiskManagerDiskPackNames, 1);
  DMDiskPackStatusBar = new QStatusBar(DiskPackNamesPanel);
  DMDiskPackStatusBar->setObjectName(QStringLiteral("DMDiskPackStatusBar"));
  DMDiskPackStatusBar->setSizeGripEnabled(false);
  DMDiskPackStatusText = new QLabel(DMDiskPackStatusBar);
  DMDiskPackStatusText->setObjectName(QStringLiteral("DMDiskPackStatusText"));
  DMDiskPackStatusBar->addWidget(DMDiskPackStatusText, 1);
  PackLayout->addWidget(DMDiskPackStatusBar);
  DiskPackNamesPanel->setMinimumWidth(120);
  DiskPackNamesSpliter->addWidget(Files);
  DiskPackNamesSpliter->addWidget(DiskPackNamesPanel);
  DiskPackNamesSpliter->setStretchFactor(0, 1);
  DiskPackNamesSpliter->setStretchFactor(1, 0);
  DiskPackNamesSpliter->setSizes({520, 220});
  DiskPackNamesPanel->hide();
  Layout->addWidget(DiskPackNamesSpliter, 1);

  StatusBar1 = new QStatusBar(Panel);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setSizeGripEnabled(false);
  const char* const Captions[] = {"Disk Size:", "", "Free Space:", "", "File Name:", ""};
  const int Widths[] = {55, 100, 70, 100, 60, 50};
  for (size_t Index = 0; Index < StatusPanels.size(); ++Index) {
    auto* Label = new QLabel(QString::fromLatin1(Captions[Index]), StatusBar1);
    Label->setObjectName(QStringLiteral("StatusPanel%1").arg(Index));
    Label->setMinimumWidth(Widths[Index]);
    if (Index % 2 == 0) Label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    StatusPanels[Index] = Label;
    StatusBar1->addWidget(Label, Index == 5 ? 1 : 0);
  }
  ProgressBar = new QProgressBar(StatusBar1);
  ProgressBar->setObjectName(QStringLiteral("DiskManagerProgress"));
  ProgressBar->setMaximumWidth(160);
  ProgressBar->hide();
  StatusBar1->addPermanentWidget(ProgressBar);

  // Imports go into the user area chosen here.
  auto* ImportLabel = new QLabel(QStringLiteral("Import To:"), StatusBar1);
  StatusBar1->addPermanentWidget(ImportLabel);
  ImportUserAreaList = new QComboBox(StatusBar1);
  ImportUserAreaList->setObjectName(QStringLiteral("ImportUserAreaList"));
  ImportUserAreaList->setToolTip(QStringLiteral("The user area that imported files go into"));
  for (int User = 0; User < 16; ++User) ImportUserAreaList->addItem(QStringLiteral("User %1").arg(User), User);
  ImportLabel->setBuddy(ImportUserAreaList);
  StatusBar1->addPermanentWidget(ImportUserAreaList);
  Layout->addWidget(StatusBar1);

  FilePopupMenu = new QMenu(DiskFileList);
  FilePopupMenu->setObjectName(QStringLiteral("DiskFilePopupMenu"));
  for (QAction* Action : {FWindow.DM_ViewFileAct, FWindow.DM_ExportTextFileAct, FWindow.DM_ExportBinaryFileAct,
                          FWindow.DM_ImportTextFileAct, FWindow.DM_ImportBinaryFileAct, FWindow.DM_RenameFileAct,
                          FWindow.DM_DeleteFileAct, FWindow.DM_SetAttributesAct, FWindow.DM_ChangeUserAct,
                          FWindow.DM_RefreshDisplayAct})
    FilePopupMenu->addAction(Action);
  PackPopupMenu = new QMenu(DiskManagerDiskPackNames);
  PackPopupMenu->setObjectName(QStringLiteral("DiskPackPopupMenu"));
  for (QAction* Action : {FWindow.DM_RenameDiskAct, FWindow.DM_ReplaceDiskContentsAct, FWindow.DM_BackupDiskAct,
                          FWindow.DM_SetDiskBootImageAct, FWindow.DM_SetDiskBootableAct,
                          FWindow.DM_SetDiskProtectedAct})
    PackPopupMenu->addAction(Action);

  // Signals of the controls reach the page through the window as context: the
  // window cuts them before its machine goes, while it is destroyed.
  connect(DiskFileList, &QWidget::customContextMenuRequested, &FWindow,
          [this](const QPoint& At) { FilePopupMenu->popup(DiskFileList->viewport()->mapToGlobal(At)); });
  connect(DiskManagerDiskPackNames, &QWidget::customContextMenuRequested, &FWindow,
          [this](const QPoint& At) { PackPopupMenu->popup(DiskManagerDiskPackNames->viewport()->mapToGlobal(At)); });
  connect(DiskFileList, &QListWidget::itemSelectionChanged, &FWindow, [this] { SelectionChanged(); });
  connect(DiskFileList, &QListWidget::currentRowChanged, &FWindow, [this] { SelectionChanged(); });
  connect(DiskFileList, &QListWidget::itemDoubleClicked, &FWindow, [this] { FWindow.DM_ViewFileAct->trigger(); });
  connect(DiskManagerDiskPackNames, &QListWidget::currentRowChanged, &FWindow, [this](int Row) {
    if (!FFillingPackList) PackListClicked(Row);
  });
}

void TDiskManagerPage::CreateDialogs() {
  TextViewer = new TTextViewer(&FWindow);
  SetAttributesDlg = new TSetAttributesDlg(&FWindow);
  CreateDiskPackDlg = new TCreateDiskPackDlg(&FWindow);
  BootLoaderDlg = new TBootLoaderDlg(&FWindow);
  SelPathDlg = new TSelPathDlg(&FWindow);
  SelPathDlg->setObjectName(QStringLiteral("SelPathDlg"));
}

void TDiskManagerPage::WireActions() {
  TMainOrvanta& W = FWindow;
  const auto Execute = [&W](QAction* Action, std::function<void()> Handler) {
    W.SetActionExecute(Action, std::move(Handler));
  };
  Execute(W.DM_SelectDiskFileAct, [this] { SelectDiskFileActExecute(); });
  Execute(W.DM_RefreshDisplayAct, [this] { RefreshDisplayActExecute(); });
  Execute(W.DM_ImportTextFileAct, [this] { ImportFiles(true); });
  Execute(W.DM_ImportBinaryFileAct, [this] { ImportFiles(false); });
  Execute(W.DM_ExportTextFileAct, [this] { ExportFiles(true); });
  Execute(W.DM_ExportBinaryFileAct, [this] { ExportFiles(false); });
  Execute(W.DM_DeleteFileAct, [this] { DeleteFileActExecute(); });
  Execute(W.DM_RenameFileAct, [this] { RenameFileActExecute(); });
  Execute(W.DM_ViewFileAct, [this] { ViewFileActExecute(); });
  Execute(W.DM_SetAttributesAct, [this] { SetAttributesOfSelection(false); });
  // User areas change through the attributes dialog; this opens it with the
  // user area list in front.
  Execute(W.DM_ChangeUserAct, [this] { SetAttributesOfSelection(true); });
  Execute(W.DM_EjectDiskAct, [this] { EjectDiskActExecute(); });
  Execute(W.DM_CreateDiskAct, [this] { CreateDiskActExecute(); });
  Execute(W.DM_CreateDiskPackAct, [this] { CreateDiskPackActExecute(); });
  Execute(W.DM_BackupDiskAct, [this] { BackupDiskActExecute(); });
  Execute(W.DM_SaveDiskToHexAct, [this] { SaveDiskToHexActExecute(); });
  Execute(W.DM_ReplaceDiskContentsAct, [this] { ReplaceDiskContentsActExecute(); });
  Execute(W.DM_RenameDiskAct, [this] { RenameDiskActExecute(); });
  Execute(W.DM_SetDiskBootImageAct, [this] { SetDiskBootImageActExecute(); });
  Execute(W.DM_SetDiskBootableAct, [this] { SetDiskFlag(DISK_PACK_BOOTABLE, FWindow.DM_SetDiskBootableAct->isChecked()); });
  Execute(W.DM_SetDiskProtectedAct,
          [this] { SetDiskFlag(DISK_PACK_PROTECTED, FWindow.DM_SetDiskProtectedAct->isChecked()); });

  const auto Update = [&W](QAction* Action, std::function<void()> Handler) {
    W.SetActionUpdate(Action, std::move(Handler));
  };
  const auto Selected = [this] { return FSelectedCount > 0 && SelectedFileInfo() != nullptr; };
  const auto Changeable = [this] { return DiskOpen() && !OpenDiskInUse(); };
  Update(W.DM_SelectDiskFileAct, [this] {
    FWindow.DM_SelectDiskFileAct->setEnabled(!FBusy);
    FWindow.DM_SelectDiskFileAct->setChecked(false);
  });
  Update(W.DM_RefreshDisplayAct, [this] { FWindow.DM_RefreshDisplayAct->setEnabled(!FBusy && DiskOpen()); });
  Update(W.DM_ImportTextFileAct, [this, Changeable] { FWindow.DM_ImportTextFileAct->setEnabled(!FBusy && Changeable()); });
  Update(W.DM_ImportBinaryFileAct,
         [this, Changeable] { FWindow.DM_ImportBinaryFileAct->setEnabled(!FBusy && Changeable()); });
  Update(W.DM_ExportTextFileAct, [this, Selected] { FWindow.DM_ExportTextFileAct->setEnabled(!FBusy && Selected()); });
  Update(W.DM_ExportBinaryFileAct,
         [this] { FWindow.DM_ExportBinaryFileAct->setEnabled(!FBusy && SelectedFileInfo() != nullptr); });
  Update(W.DM_DeleteFileAct,
         [this, Selected, Changeable] { FWindow.DM_DeleteFileAct->setEnabled(!FBusy && Selected() && Changeable()); });
  Update(W.DM_RenameFileAct, [this, Selected, Changeable] {
    FWindow.DM_RenameFileAct->setEnabled(!FBusy && FSelectedCount == 1 && Selected() && Changeable());
  });
  Update(W.DM_ViewFileAct,
         [this, Selected] { FWindow.DM_ViewFileAct->setEnabled(!FBusy && FSelectedCount == 1 && Selected()); });
  Update(W.DM_SetAttributesAct, [this, Selected, Changeable] {
    FWindow.DM_SetAttributesAct->setEnabled(!FBusy && Selected() && Changeable());
  });
  Update(W.DM_ChangeUserAct, [this, Changeable] {
    FWindow.DM_ChangeUserAct->setEnabled(!FBusy && SelectedFileInfo() != nullptr && Changeable());
  });
  Update(W.DM_EjectDiskAct, [this] { FWindow.DM_EjectDiskAct->setEnabled(!FBusy && DiskOpen()); });
  Update(W.DM_CreateDiskAct, [this] { FWindow.DM_CreateDiskAct->setEnabled(!FBusy); });
  Update(W.DM_CreateDiskPackAct, [this] { FWindow.DM_CreateDiskPackAct->setEnabled(!FBusy); });
  Update(W.DM_BackupDiskAct, [this] { FWindow.DM_BackupDiskAct->setEnabled(!FBusy && DiskOpen()); });
  Update(W.DM_SaveDiskToHexAct,
         [this] { FWindow.DM_SaveDiskToHexAct->setEnabled(!FBusy && DiskOpen() && !PackDiskOpen()); });
  Update(W.DM_ReplaceDiskContentsAct, [this] {
    FWindow.DM_ReplaceDiskContentsAct->setEnabled(!FBusy && PackDiskOpen() && !OpenDiskInUse());
  });
  Update(W.DM_RenameDiskAct,
         [this] { FWindow.DM_RenameDiskAct->setEnabled(!FBusy && PackDiskOpen() && !OpenDiskInUse()); });
  Update(W.DM_SetDiskBootImageAct, [this] { FWindow.DM_SetDiskBootImageAct->setEnabled(!FBusy && DiskOpen()); });
  const auto FlagUpdate = [this](QAction* Action, uint8_t Bit) {
    const int Row = DiskManagerDiskPackNames->currentRow();
    const bool Pack = PackDiskOpen();
    Action->setEnabled(!FBusy && Pack);
    const QListWidgetItem* Item = Pack ? DiskManagerDiskPackNames->item(Row) : nullptr;
    Action->setChecked(Item != nullptr && (Item->data(Qt::UserRole).toInt() & Bit) != 0);
  };
  Update(W.DM_SetDiskBootableAct, [this, FlagUpdate] { FlagUpdate(FWindow.DM_SetDiskBootableAct, DISK_PACK_BOOTABLE); });
  Update(W.DM_SetDiskProtectedAct,
         [this, FlagUpdate] { FlagUpdate(FWindow.DM_SetDiskProtectedAct, DISK_PACK_PROTECTED); });
  UpdatePageActions();
}

void TDiskManagerPage::UpdatePageActions() {
  for (QAction* Action :
       {FWindow.DM_SelectDiskFileAct, FWindow.DM_RefreshDisplayAct, FWindow.DM_ImportTextFileAct,
        FWindow.DM_ImportBinaryFileAct, FWindow.DM_ExportTextFileAct, FWindow.DM_ExportBinaryFileAct,
        FWindow.DM_DeleteFileAct, FWindow.DM_RenameFileAct, FWindow.DM_ViewFileAct, FWindow.DM_SetAttributesAct,
        FWindow.DM_ChangeUserAct, FWindow.DM_EjectDiskAct, FWindow.DM_CreateDiskAct, FWindow.DM_CreateDiskPackAct,
        FWindow.DM_BackupDiskAct, FWindow.DM_SaveDiskToHexAct, FWindow.DM_ReplaceDiskContentsAct,
        FWindow.DM_RenameDiskAct, FWindow.DM_SetDiskBootImageAct, FWindow.DM_SetDiskBootableAct,
        FWindow.DM_SetDiskProtectedAct})
    FWindow.UpdateAction(Action);
}

// A write of the machine to a drive that holds the disk shown re-reads it
// soon after; the lamps keep working as before.
void TDiskManagerPage::WatchMachineWrites() {
  TDiskController& Controller = FWindow.Machine().DiskController();
  TDiskController::TActivityProc Lamps = Controller.OnWriteActivity;
  Controller.OnWriteActivity = [this, Lamps](TDiskController& Sender, uint8_t Drive) {
    if (Lamps) Lamps(Sender, Drive);
    DriveWritten(Drive);
  };
}

void TDiskManagerPage::DriveWritten(int Drive) {
  if (FWindow.DiskManagerFile.empty() || FReloadTimer.isActive()) return;
  TDriveMatch& Match = FDriveMatch[static_cast<size_t>(Drive & 3)];
  const std::string Mounted = FWindow.Machine().DiskController().MountedFileName(Drive);
  if (Mounted != Match.Mounted || FWindow.DiskManagerFile != Match.Shown) {
    Match.Mounted = Mounted;
    Match.Shown = FWindow.DiskManagerFile;
    Match.Same = IsSameFile(Mounted, Match.Shown);
  }
  if (Match.Same) FReloadTimer.start();
}

// ---------------------------------------------------------------- state

bool TDiskManagerPage::DiskOpen() const { return !FWindow.DiskManagerFile.empty() && FFiles != nullptr; }

bool TDiskManagerPage::PackDiskOpen() const { return DiskOpen() && FWindow.DiskManagerPackIndex >= 0; }

const TCpmDiskFileInfo* TDiskManagerPage::SelectedFileInfo() const {
  if (!DiskOpen()) return nullptr;
  return FFiles->GetItem(DiskFileList->currentRow());
}

std::string TDiskManagerPage::DiskInUseReason(const std::string& FileName) const {
  const std::optional<TFileIdentity> File = TFileIdentity::OfRegularFile(FileName);
  if (!File) return {};
  TDiskController& Controller = FWindow.Machine().DiskController();
  for (int Drive = 0; Drive < TMachine::DriveCount; ++Drive) {
    if (!Controller.HasDisk(Drive)) continue;
    if (TFileIdentity::OfRegularFile(Controller.MountedFileName(Drive)) == File)
      return "The disk \"" + FileStem(FileName) + "\" is in drive " + static_cast<char>('A' + Drive) + ": of the machine.";
  }
  if (FWindow.RmtDskMod().IsDiskFileInUse(FileName))
    return "The disk \"" + FileStem(FileName) + "\" is mounted by a client of the remote disk server.";
  return {};
}

bool TDiskManagerPage::OpenDiskInUse() const {
  if (!DiskOpen()) return false;
  // Worked out again when a drive or the server's sessions change, and at
  // least every second (a file may be renamed under its name).
  std::string Key = FWindow.DiskManagerFile;
  TDiskController& Controller = FWindow.Machine().DiskController();
  for (int Drive = 0; Drive < TMachine::DriveCount; ++Drive) Key += '\n' + Controller.MountedFileName(Drive);
  const TRmtDskMod& Server = FWindow.RmtDskMod();
  Key += '\n' + std::to_string(Server.GetSessionCount()) + ':' +
         std::to_string(Server.LastChange.time_since_epoch().count());
  const int64_t Now = NowMs();
  if (Key != FInUseKey || Now - FInUseTime > 1000) {
    FInUseKey = std::move(Key);
    FInUse = !DiskInUseReason(FWindow.DiskManagerFile).empty();
    FInUseTime = Now;
  }
  return FInUse;
}

void TDiskManagerPage::CheckChangeable() const {
  if (!DiskOpen()) throw EEmulatorError("No disk is open in the disk manager.");
  CheckNotInUse(FWindow.DiskManagerFile);
}

void TDiskManagerPage::CheckNotInUse(const std::string& FileName) const {
  const std::string Reason = DiskInUseReason(FileName);
  if (!Reason.empty()) throw EEmulatorError(Reason + " It can not be changed while it is in use.");
}

bool TDiskManagerPage::ConfirmReplace(const std::string& Target, bool RefuseInUse) {
  std::error_code Error;
  if (!std::filesystem::exists(Target, Error)) return true;
  const auto Refused = [&] {
    if (!RefuseInUse) return false;
    const std::string Reason = DiskInUseReason(Target);
    if (Reason.empty()) return false;
    FWindow.ShowMessage(TMachineMessageKind::Warning,
                        "The disk file \"" + Target + "\" is in use and can not be replaced.\n" + Reason);
    return true;
  };
  if (Refused()) return false;
  if (!FWindow.Dialogs().Ask(&FWindow, TMachineMessageKind::Warning, OverwriteQuestion(Target), "Yes", "No"))
    return false;
  // The machine and the disk server go on while the question is open: asked again.
  return !Refused();
}

std::string TDiskManagerPage::DialogFolder(const std::string& Remembered) const {
  return Remembered.empty() ? FWindow.WorkFolder() : Remembered;
}

int TDiskManagerPage::ImportUserArea() const {
  return ImportUserAreaList != nullptr && ImportUserAreaList->currentIndex() >= 0
             ? ImportUserAreaList->currentData().toInt()
             : 0;
}

void TDiskManagerPage::SetImportUserArea(int User) {
  if (ImportUserAreaList != nullptr) ImportUserAreaList->setCurrentIndex(ImportUserAreaList->findData(User & 15));
}

// ---------------------------------------------------------------- open and list

void TDiskManagerPage::OpenDiskInManager(const std::string& FileName, int DiskIndex) {
  // Everything is read first; only a disk that opened replaces what is shown.
  std::vector<std::pair<std::string, uint8_t>> PackLines;
  int Index = -1;
  if (IsPackFileName(FileName)) {
    TDiskPack Pack(FileName, TFileStream::TMode::OpenRead);
    for (int Disk = 0; Disk < Pack.GetDiskCount(); ++Disk)
      PackLines.emplace_back(PackDiskLineText(Pack.GetDiskFlags(Disk), Pack.GetDiskName(Disk)), Pack.GetDiskFlags(Disk));
    Index = DiskIndex >= 0 && DiskIndex < Pack.GetDiskCount() ? DiskIndex : 0;
  }
  auto Files = std::make_unique<TCpmDiskFileInfoList>(TDiskDrive::BlockSize());
  {
    TCpmDiskDrive Drive(FileName, Index);
    Drive.CopyFileListTo(Files.get());
  }

  FFillingPackList = true;
  DiskManagerDiskPackNames->setUpdatesEnabled(false);
  const int Top = DiskManagerDiskPackNames->verticalScrollBar()->value();
  DiskManagerDiskPackNames->clear();
  if (Index >= 0) {
    for (const auto& [Line, Flags] : PackLines) {
      auto* Item = new QListWidgetItem(Text(Line));
      Item->setData(Qt::UserRole, static_cast<int>(Flags));
      DiskManagerDiskPackNames->addItem(Item);
    }
    DiskManagerDiskPackNames->setCurrentRow(Index);
    if (Top >= 0 && Top < DiskManagerDiskPackNames->count()) DiskManagerDiskPackNames->verticalScrollBar()->setValue(Top);
  }
  FWindow.DiskManagerFile = FileName;
  FWindow.DiskManagerPackIndex = Index;
  FFiles = std::move(Files);
  FInUseKey.clear();
  RememberStamp();
  RefreshFileList();
  DiskManagerDiskPackNames->setUpdatesEnabled(true);
  FFillingPackList = false;
  if (!FPollTimer.isActive()) FPollTimer.start();
}

void TDiskManagerPage::RefreshFileList() {
  DiskFileList->setUpdatesEnabled(false);
  {
    const QSignalBlocker Quiet(DiskFileList);
    DiskFileList->clear();
    if (FFiles) {
      QStringList Lines;
      Lines.reserve(FFiles->Count());
      for (int Index = 0; Index < FFiles->Count(); ++Index)
        Lines << Text(DiskFileLineText(*FFiles->GetItem(Index), FFiles->BlockSize()));
      DiskFileList->addItems(Lines);
    }
  }
  DiskFileList->setUpdatesEnabled(true);
  if (FFiles) {
    const TCpmDiskAllocationList& Allocation = FFiles->Allocation();
    ShowDiskSize(static_cast<int64_t>(Allocation.BlockCount()) * FFiles->BlockSize());
    ShowFreeSpace(static_cast<int64_t>(Allocation.FreeCount()) * FFiles->BlockSize());
    ShowDiskFileName(FWindow.DiskManagerFile, FWindow.DiskManagerPackIndex);
  } else {
    ShowDiskSize(0);
    ShowFreeSpace(0);
    ShowDiskFileName("", -1);
  }
  if (FWindow.DiskManagerPackIndex >= 0 && DiskOpen()) {
    DiskPackNamesPanel->show();
    DMDiskPackStatusText->setText(QStringLiteral(" Disk: %1 of %2")
                                      .arg(DiskManagerDiskPackNames->currentRow() + 1)
                                      .arg(DiskManagerDiskPackNames->count()));
  } else {
    DiskPackNamesPanel->hide();
    DMDiskPackStatusText->clear();
  }
  SelectionChanged();
}

void TDiskManagerPage::ShowDiskSize(int64_t Bytes) {
  const QString Separator = QLocale().groupSeparator();
  StatusPanels[1]->setText(Text(FormatThousands(Bytes, Separator.size() == 1 ? Separator[0].toLatin1() : ',')));
}

void TDiskManagerPage::ShowFreeSpace(int64_t Bytes) {
  const QString Separator = QLocale().groupSeparator();
  StatusPanels[3]->setText(Text(FormatThousands(Bytes, Separator.size() == 1 ? Separator[0].toLatin1() : ',')));
}

void TDiskManagerPage::ShowDiskFileName(const std::string& FileName, int DiskIndex) {
  QString Name = Text(FileName.empty() ? std::string() : FileStem(FileName));
  if (DiskIndex >= 0) {
    const QListWidgetItem* Item = DiskManagerDiskPackNames->item(DiskIndex);
    Name += QStringLiteral(" [") + (Item != nullptr ? Item->text() : QString()) + QLatin1Char(']');
  }
  StatusPanels[5]->setText(Name);
}

void TDiskManagerPage::EjectDiskActExecute() {
  {
    const QSignalBlocker Quiet(DiskManagerDiskPackNames);
    DiskManagerDiskPackNames->clear();
  }
  FFiles.reset();
  FWindow.DiskManagerFile.clear();
  FWindow.DiskManagerPackIndex = -1;
  FStamp = TFileStamp{};
  FPollTimer.stop();
  FReloadTimer.stop();
  RefreshFileList();
}

void TDiskManagerPage::ReopenOrEject() {
  try {
    OpenDiskInManager(FWindow.DiskManagerFile, FWindow.DiskManagerPackIndex);
  } catch (...) {
    EjectDiskActExecute();
    throw;
  }
}

// ---------------------------------------------------------------- selection

std::vector<int> TDiskManagerPage::SelectedRows() const {
  std::vector<int> Rows;
  for (int Row = 0; Row < DiskFileList->count(); ++Row)
    if (DiskFileList->item(Row)->isSelected()) Rows.push_back(Row);
  return Rows;
}

void TDiskManagerPage::SelectRows(const std::vector<int>& Rows, int Current) {
  {
    const QSignalBlocker Quiet(DiskFileList);
    DiskFileList->clearSelection();
    if (Current >= 0 && Current < DiskFileList->count())
      DiskFileList->setCurrentRow(Current, QItemSelectionModel::NoUpdate);
    for (const int Row : Rows)
      if (QListWidgetItem* Item = DiskFileList->item(Row)) Item->setSelected(true);
  }
  SelectionChanged();
}

std::vector<int> TDiskManagerPage::RowsOf(const std::vector<TFileKey>& Keys) const {
  std::vector<int> Rows;
  if (!FFiles) return Rows;
  std::vector<bool> Used(Keys.size(), false);
  for (int Row = 0; Row < FFiles->Count(); ++Row) {
    const TCpmDiskFileInfo* Info = FFiles->GetItem(Row);
    for (size_t Key = 0; Key < Keys.size(); ++Key) {
      if (Used[Key] || Keys[Key].Name != Info->Name || Keys[Key].User != Info->User) continue;
      Used[Key] = true;
      Rows.push_back(Row);
      break;
    }
  }
  return Rows;
}

void TDiskManagerPage::SelectionChanged() {
  FSelectedCount = static_cast<int>(DiskFileList->selectionModel()->selectedRows().size());
  UpdatePageActions();
}

void TDiskManagerPage::FileListMouseUp(Qt::KeyboardModifiers Modifiers) {
  if ((Modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) != 0) return;
  const int Row = DiskFileList->currentRow();
  if (DiskFileList->count() > 0 && Row >= 0) {
    if (!DiskFileList->item(Row)->isSelected()) SelectRows({Row}, Row);
  } else {
    SelectRows({}, -1);
  }
}

bool TDiskManagerPage::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == FFileListViewport && Event->type() == QEvent::MouseButtonRelease) {
    const auto* Mouse = static_cast<QMouseEvent*>(Event);
    if (Mouse->button() == Qt::LeftButton) {
      const Qt::KeyboardModifiers Modifiers = Mouse->modifiers();
      // After the list has handled the release itself.
      QTimer::singleShot(0, &FWindow, [this, Modifiers] { FileListMouseUp(Modifiers); });
    }
  }
  return QObject::eventFilter(Watched, Event);
}

void TDiskManagerPage::PackListClicked(int Row) {
  if (!DiskOpen() || Row < 0 || Row >= DiskManagerDiskPackNames->count() || Row == FWindow.DiskManagerPackIndex)
    return;
  const bool Opened = FWindow.Guarded([&] { OpenDiskInManager(FWindow.DiskManagerFile, Row); });
  if (!Opened) {
    // The disk shown stays; so does its line.
    const QSignalBlocker Quiet(DiskManagerDiskPackNames);
    DiskManagerDiskPackNames->setCurrentRow(FWindow.DiskManagerPackIndex);
  }
  UpdatePageActions();
}

// ---------------------------------------------------------------- writes of others

TDiskManagerPage::TFileStamp TDiskManagerPage::StampOf(const std::string& FileName) {
  struct stat Info {};
  TFileStamp Stamp;
  if (FileName.empty() || ::stat(FileName.c_str(), &Info) != 0) return Stamp;
  Stamp.Valid = true;
  Stamp.Device = static_cast<uint64_t>(Info.st_dev);
  Stamp.Inode = static_cast<uint64_t>(Info.st_ino);
  Stamp.Size = static_cast<int64_t>(Info.st_size);
  Stamp.Modified = static_cast<int64_t>(Info.st_mtim.tv_sec) * 1000000000 + Info.st_mtim.tv_nsec;
  Stamp.Changed = static_cast<int64_t>(Info.st_ctim.tv_sec) * 1000000000 + Info.st_ctim.tv_nsec;
  return Stamp;
}

void TDiskManagerPage::RememberStamp() { FStamp = StampOf(FWindow.DiskManagerFile); }

void TDiskManagerPage::PollDiskFile() {
  if (!DiskOpen()) {
    FPollTimer.stop();
    return;
  }
  if (FBusy || FReloadTimer.isActive()) return;
  if (StampOf(FWindow.DiskManagerFile) != FStamp) ReloadDisk();
}

void TDiskManagerPage::ReloadDisk() {
  if (!DiskOpen()) return;
  if (FBusy) {
    // After the work in hand, which lists the disk itself.
    FReloadTimer.start();
    return;
  }
  std::vector<TFileKey> Selected;
  for (const int Row : SelectedRows())
    if (const TCpmDiskFileInfo* Info = FFiles->GetItem(Row)) Selected.push_back({Info->Name, Info->User});
  std::vector<TFileKey> Current;
  if (const TCpmDiskFileInfo* Info = SelectedFileInfo()) Current.push_back({Info->Name, Info->User});
  const int Scroll = DiskFileList->verticalScrollBar()->value();
  try {
    OpenDiskInManager(FWindow.DiskManagerFile, FWindow.DiskManagerPackIndex);
  } catch (const std::exception&) {
    // Gone or unreadable for now: the list stays as it was, and the next
    // operation on the disk tells why.
    RememberStamp();
    return;
  }
  const std::vector<int> CurrentRow = RowsOf(Current);
  SelectRows(RowsOf(Selected), CurrentRow.empty() ? -1 : CurrentRow.front());
  DiskFileList->verticalScrollBar()->setValue(Scroll);
}

// ---------------------------------------------------------------- select and refresh

void TDiskManagerPage::SelectDiskFileActExecute() {
  TMainFileRequest Request;
  Request.Title = "Select CPM Disk File To View";
  Request.Filter =
      "Emulator Disk Files|*.cpmdsk|Emulator Disk Pack|*.cdp|All Emulator Disk Files|*.cpmdsk;*.cdp|All Files|*.*";
  Request.DefaultExtension = "cpmdsk";
  Request.MustExist = true;
  Request.InitialFolder = DialogFolder(FDiskFolder);
  const std::optional<std::string> File = FWindow.Dialogs().OpenFileName(&FWindow, Request);
  if (!File) return;
  FDiskFolder = FolderOf(*File);
  OpenDiskInManager(*File, 0);
}

void TDiskManagerPage::RefreshDisplayActExecute() {
  if (!DiskOpen()) return;
  std::vector<TFileKey> Focused;
  if (const TCpmDiskFileInfo* Info = SelectedFileInfo()) Focused.push_back({Info->Name, Info->User});
  OpenDiskInManager(FWindow.DiskManagerFile, FWindow.DiskManagerPackIndex);
  const std::vector<int> Rows = RowsOf(Focused);
  if (!Rows.empty()) SelectRows(Rows, Rows.front());
}
