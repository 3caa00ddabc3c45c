// The main window's creation, first activation, close and destruction, the run
// loop, and the events of the machine.
#include "frmKorvel.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPrinter>
#include <QScreen>
#include <QTabWidget>
#include <filesystem>
#include <system_error>

#include "AdStatLt.h"
#include "AdTerminal.h"
#include "CpuPageMemoryGrid.h"
#include "DefaultWorkPath.h"
#include "FileIdentity.h"
#include "MainBiosImage.h"
#include "MapKeys.h"
#include "RmtDskMod.h"
#include "SelectComPortDlg.h"
#include "SimpleTerminal.h"
#include "TTYDisplaySettingsDlg.h"
#include "Z80RegistersDlg.h"

TMainOrvanta::TMainOrvanta(IMainDialogs* Dialogs, const std::string& ProgramName, QWidget* Parent)
    : QMainWindow(Parent),
      FProgramName(ProgramName.empty() ? GetProgramName() : ProgramName),
      FDialogs(Dialogs != nullptr ? Dialogs : &FQtDialogs) {
  setObjectName(QStringLiteral("MainOrvanta"));
  setWindowTitle(QString::fromLatin1(WindowCaption));

  // The work folder holds everything the program makes by default; it is the
  // current folder from now on (a folder that cannot be made leaves files to
  // be found by their bare names where the program was started).
  FWorkFolder = GetDefaultWorkPath(FProgramName);
  if (!FWorkFolder.empty()) {
    std::error_code Ignored;
    std::filesystem::current_path(FWorkFolder, Ignored);
  }
  WriteBiosImage(FWorkFolder);
  ExportFolder = FWorkFolder;

  FMainThread.SetErrorHandler([this](const std::string& Text) { ReportError(Text); });
  CreateMachine();

  FRunTimer.setInterval(0);
  connect(&FRunTimer, &QTimer::timeout, this, [this] { RunLoopPass(); });

  CreateActions();
  CreatePages();
  CreateMenus();
  CreatePopupMenus();
  CreateDialogs();
  WireMachineEvents();
  KeepMachineInStep();
  ConnectPrinterPage();

  ApplyColdBootIoByte(1);
  ShowPage(CrtPageIndex);
  Guarded([this] { ActivateCom1(); });
  AdTerminal1->setFocus();
  RefreshCpuPage();
  FillPrintersList();
  for (int Drive = 0; Drive < TMachine::DriveCount; ++Drive) ShowDrive(Drive);
  UpdateActions();
  FitToScreen();
  // Components made later without a main thread of their own post to this one.
  if (GetMainThread() == nullptr) {
    SetMainThread(&FMainThread);
    FInstalledMainThread = true;
  }
}

TMainOrvanta::~TMainOrvanta() {
  FRunTimer.stop();
  // Nothing of the window is called while its parts go.
  for (QObject* Child : findChildren<QObject*>()) QObject::disconnect(Child, nullptr, this, nullptr);
  if (AdTerminal1 != nullptr) AdTerminal1->SetEmulator(nullptr);
  if (FMachine) {
    FMachine->OnMessage = nullptr;
    FMachine->OnRunStateChanged = nullptr;
    FMachine->OnRefreshCpu = nullptr;
    FMachine->OnUpdateActions = nullptr;
    FMachine->OnCloseRequest = nullptr;
    FMachine->OnDriveChanged = nullptr;
    FMachine->OnDeviceMappingChanged = nullptr;
    FMachine->OnComSettingsChanged = nullptr;
    FMachine->OnPortFilesChanged = nullptr;
    FMachine->OnTtyWriteChar = nullptr;
    FMachine->OnTtyControlCode = nullptr;
  }
  // The memory grid and the registers dialog go after the machine: an edit
  // still open in them commits as its editor goes, and must reach nothing.
  if (CpuMemoryGrid != nullptr) {
    CpuMemoryGrid->OnCommitEdit = nullptr;
    CpuMemoryGrid->SetCpu(nullptr);
  }
  if (Z80RegistersDlg != nullptr) {
    Z80RegistersDlg->OnChange = nullptr;
    Z80RegistersDlg->OnMessage = nullptr;
    Z80RegistersDlg->SetCpu(nullptr);
  }
  FRmtDskMod.reset();
  FMachine.reset();
  if (FInstalledMainThread) SetMainThread(nullptr);
  FMainThread.SetErrorHandler(nullptr);
}

void TMainOrvanta::SetDialogs(IMainDialogs* Dialogs) { FDialogs = Dialogs != nullptr ? Dialogs : &FQtDialogs; }

void TMainOrvanta::SetTtyKeyMap(const ITtyKeyMap* KeyMap) {
  FTtyKeyMap = KeyMap != nullptr ? KeyMap : FOwnTtyKeyMap.get();
}

// ---------------------------------------------------------------- start-up

void TMainOrvanta::CreateMachine() {
  // The machine makes the blank disk of drive A when the work folder has none.
  FMachine = std::make_unique<TMachine>(FWorkFolder, &FMainThread);

  // The remote disk server serves the disks of the work folder, but never one
  // that is in a drive of the machine.
  FRmtDskMod = std::make_unique<TRmtDskMod>(&FMainThread);
  FRmtDskMod->DiskFolder = FWorkFolder;
  FRmtDskMod->SessionList.IsFileMountedByMachine = [this](const TFileIdentity& File) {
    if (!FMachine) return false;
    TDiskController& Controller = FMachine->DiskController();
    for (int Drive = 0; Drive < TMachine::DriveCount; ++Drive) {
      if (!Controller.HasDisk(Drive)) continue;
      const std::optional<TFileIdentity> Mounted = TFileIdentity::OfRegularFile(Controller.MountedFileName(Drive));
      if (Mounted && *Mounted == File) return true;
    }
    return false;
  };
}

void TMainOrvanta::CreateDialogs() {
  TTYDisplaySettingsDlg = new TTTYDisplaySettingsDlg(this);
  TTYDisplaySettingsDlg->setObjectName(QStringLiteral("TTYDisplaySettingsDlg"));
  // The key map is read from its file now: the TTY page asks it on every key.
  MapTermKeys = new TMapTermKeys(QString::fromStdString(FWorkFolder), this);
  MapTermKeys->setObjectName(QStringLiteral("MapTermKeys"));
  FOwnTtyKeyMap = std::make_unique<TMainTtyKeyMap>(*MapTermKeys);
  FTtyKeyMap = FOwnTtyKeyMap.get();
  SelectComPortDlg = new TSelectComPortDlg(this);
  SelectComPortDlg->setObjectName(QStringLiteral("SelectComPortDlg"));
}

void TMainOrvanta::WireMachineEvents() {
  TMachine& Machine = *FMachine;
  Machine.OnMessage = [this](TMachineMessageKind Kind, const std::string& Text) { MachineMessage(Kind, Text); };
  Machine.OnRunStateChanged = [this](bool Running) { RunStateChanged(Running); };
  Machine.OnRefreshCpu = [this] { RefreshCpuPage(); };
  Machine.OnUpdateActions = [this] { UpdateActions(); };
  Machine.OnCloseRequest = [this] { QTimer::singleShot(0, this, [this] { close(); }); };
  Machine.OnDriveChanged = [this](int Drive) { ShowDrive(Drive); };
  Machine.OnDeviceMappingChanged = [this] { SetDeviceMapping(FMachine->DeviceMapping); };
  Machine.OnComSettingsChanged = [this](int Port) { ShowComSettings(Port); };
  // The reader or punch closed by the machine, or a printer that failed and was
  // switched off.
  Machine.OnPortFilesChanged = [this] {
    EnableInputFileActUpdate();
    EnableOutputFileActUpdate();
    UpdateAction(PrinterEnableAct);
  };
  Machine.OnTtyWriteChar = [this](uint8_t Character) { TtyWriteChar(Character); };
  Machine.OnTtyControlCode = [this](uint8_t Code, int32_t Arg1, int32_t Arg2) { TtyControlCode(Code, Arg1, Arg2); };
}

void TMainOrvanta::FitToScreen() {
  QSize Size(DesignWidth, DesignHeight);
  if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
    const QSize Available = Screen->availableGeometry().size();
    Size = Size.boundedTo(Available);
  }
  resize(Size.expandedTo(minimumSizeHint()));
}

// ---------------------------------------------------------------- life cycle

bool TMainOrvanta::event(QEvent* Event) {
  if (Event->type() == QEvent::WindowActivate && FFirstActivation) FormActivate();
  return QMainWindow::event(Event);
}

void TMainOrvanta::showEvent(QShowEvent* Event) {
  QMainWindow::showEvent(Event);
  if (FFirstActivation) FormActivate();
}

void TMainOrvanta::FormActivate() {
  if (!FFirstActivation) return;
  FFirstActivation = false;
  // The printer starts with the CRT terminal's font, at its size in points (a
  // pixel on the screen is no pixel on paper).
  FPrinterFont = AdTerminal1->font();
  FPrinterFont.setPointSize(PointSizeOf(AdTerminal1->font()));
  if (!MapTermKeys->GetLoadError().isEmpty())
    ShowMessage(TMachineMessageKind::Warning, "The TTY key map could not be read; no key is mapped until it is "
                                              "saved again.\n" + MapTermKeys->GetLoadError().toStdString());
  // Without a settings file every control keeps its design value and the CRT
  // page stays in front.
  bool Loaded = false;
  Guarded([&] { Loaded = LoadSettingsFile(); });
  if (Loaded) ShowPage(C_CpmConsolePortId->currentIndex() == 0 ? TtyPageIndex : CrtPageIndex);
  UpdateActions();
}

void TMainOrvanta::closeEvent(QCloseEvent* Event) {
  Event->setAccepted(FormCloseQuery());
}

bool TMainOrvanta::FormCloseQuery() {
  // The machine stops for good: "Run CPU" cannot start it again.
  const bool WasRunning = FMachine->GetRunCpu();
  FMachine->RequestShutdown();
  RunCpuAct->setChecked(false);
  FRunTimer.stop();
  std::string Failure;
  try {
    SaveSettingsFile();
    return true;
  } catch (const std::exception& Error) {
    Failure = Error.what();
  } catch (...) {
    Failure = "An unknown error occurred.";
  }
  // The user decides: leave without the settings (the file keeps what it had),
  // or stay and try again later.
  bool CloseAnyway = true;
  Guarded([&] {
    CloseAnyway = FDialogs->Ask(this, TMachineMessageKind::Warning,
                                "The settings could not be saved.\n" + Failure +
                                    "\n\nClose the program without saving them?",
                                "Close Anyway", "Stay");
  });
  if (CloseAnyway) return true;
  // Staying takes the close back as a whole: the machine may run again, and
  // runs on where it ran.
  FMachine->ShutdownRequested = false;
  if (WasRunning) FMachine->SetRunCpu(true);
  UpdateActions();
  return false;
}

// ---------------------------------------------------------------- messages

void TMainOrvanta::ShowMessage(TMachineMessageKind Kind, const std::string& Text) {
  FDialogs->ShowMessage(this, Kind, Text);
}

void TMainOrvanta::MachineMessage(TMachineMessageKind Kind, const std::string& Text) {
  // Inside a pass the processor is in the middle of an instruction: a modal
  // message box there would run the event loop, and with it keys, timers and
  // actions, under its feet. The message waits until the pass has ended.
  if (FPassDepth == 0 && FPendingMessages.empty()) {
    ShowMessage(Kind, Text);
    return;
  }
  FPendingMessages.emplace_back(Kind, Text);
  if (!FFlushPosted) {
    FFlushPosted = true;
    QTimer::singleShot(0, this, [this] { FlushMessages(); });
  }
}

void TMainOrvanta::FlushMessages() {
  FFlushPosted = false;
  while (!FPendingMessages.empty()) {
    const auto [Kind, Text] = FPendingMessages.front();
    FPendingMessages.pop_front();
    ShowMessage(Kind, Text);
  }
}

void TMainOrvanta::ReportError(const std::string& Text) {
  try {
    MachineMessage(TMachineMessageKind::Error, Text.empty() ? std::string("An error occurred.") : Text);
  } catch (...) {
    // A message box that cannot be shown leaves nothing else to tell the user with.
  }
}

// ---------------------------------------------------------------- run loop

void TMainOrvanta::RunLoopPass() {
  // A pass never runs inside another (a message box in a device handler runs
  // the event loop), nor while the window closes.
  if (FPassDepth > 0) return;
  if (!FMachine->GetRunCpu() || FMachine->ShutdownRequested) {
    FRunTimer.stop();
    return;
  }
  ++FPassDepth;
  try {
    FMachine->RunPass();
  } catch (const std::exception& Error) {
    // The machine reports its own failures; what still escapes (from the window's
    // handlers of its events) would fail again on every pass.
    FMachine->SetRunCpu(false);
    ReportError(Error.what());
  } catch (...) {
    FMachine->SetRunCpu(false);
    ReportError("An unknown error occurred.");
  }
  --FPassDepth;
  if (!FMachine->GetRunCpu() || FMachine->ShutdownRequested) FRunTimer.stop();
}

void TMainOrvanta::RunStateChanged(bool Running) {
  RunCpuAct->setChecked(Running);
  if (Running && !FMachine->ShutdownRequested)
    FRunTimer.start();
  else
    FRunTimer.stop();
  StepCpuActUpdate();
}

// ---------------------------------------------------------------- pages

void TMainOrvanta::ShowPage(TPageIndex Page) { PageControl1->setCurrentIndex(Page); }

void TMainOrvanta::PageControl1Change() {
  DM_RefreshDisplayAct->trigger();
  RefreshCpuPage();
  // A terminal page takes the keys as soon as it is shown.
  if (PageControl1->currentWidget() == CrtPage) AdTerminal1->setFocus();
  if (PageControl1->currentWidget() == TtyPage) SimpleTerminal1->setFocus();
  // CP/M programs may have changed the IOBYTE since the lists last showed it.
  if (PageControl1->currentIndex() == PortsPageIndex && FMachine->Booted()) FMachine->ReadDeviceMappingFromMemory();
  UpdateActions();
}

// ---------------------------------------------------------------- drives

void TMainOrvanta::ShowDrive(int Drive) {
  if (Drive < 0 || Drive >= TMachine::DriveCount) return;
  const size_t Index = static_cast<size_t>(Drive);
  const bool HasDisk = FMachine->DiskController().HasDisk(Drive);
  const QString Letter = QString(QChar('A' + Drive)) + QLatin1Char(':');
  if (DiskCaption[Index] != nullptr) DiskCaption[Index]->setText(QString::fromStdString(FMachine->DriveCaption(Drive)));
  if (TApdStatusLight* Lamp = DiskLight[Index]) {
    // Unlit: blue with a disk, grey without; lit: yellow for a read, red for a write.
    Lamp->SetNotLitColor(HasDisk ? QColor(0, 0, 255) : QColor(128, 128, 128));
    switch (FMachine->DriveLamp(Drive)) {
      case TDriveLamp::Reading:
        Lamp->SetLitColor(QColor(255, 255, 0));
        Lamp->SetLit(true);
        break;
      case TDriveLamp::Writing:
        Lamp->SetLitColor(QColor(255, 0, 0));
        Lamp->SetLit(true);
        break;
      default:
        Lamp->SetLit(false);
        break;
    }
  }
  if (QAction* Action = ChangeDriveAct[Index]) {
    Action->setText((HasDisk ? QStringLiteral("Change ") : QStringLiteral("Insert ")) + Letter);
    Action->setProperty("ImageIndex", HasDisk ? 7 : 4);
  }
  EjectDriveActUpdate(Drive);
}
