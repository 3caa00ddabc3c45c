// The actions that drive the machine: run, step and the breakpoint, the cold
// boot, loading hex and program files, choosing the CP/M and BIOS images, and
// putting disks into the four drives and taking them out.
#include <QAction>
#include <QLineEdit>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "RmtDskMod.h"
#include "frmKorvel.h"

namespace {

constexpr const char* HexFilter = "HEX files|*.hex|All Files|*.*";
constexpr const char* ProgramFilter = "CPM Programs|*.com;*.cpm|All Files|*.*";
constexpr const char* DiskFilter =
    "Emulator Disk Files|*.cpmdsk|Emulator Disk Pack|*.cdp|All Emulator Disk Files|*.cpmdsk;*.cdp|All Files|*.*";

std::string FolderOf(const std::string& FileName) {
  const std::string Folder = std::filesystem::path(FileName).parent_path().string();
  return Folder.empty() ? Folder : Folder + '/';
}

// Counts the instructions that a step runs as a pass: messages of the machine
// wait until it has ended.
class TPassScope {
 public:
  explicit TPassScope(int& Depth) : FDepth(Depth) { ++FDepth; }
  ~TPassScope() { --FDepth; }
  TPassScope(const TPassScope&) = delete;
  TPassScope& operator=(const TPassScope&) = delete;

 private:
  int& FDepth;
};

}  // namespace

std::string TMainOrvanta::DialogFolder(const std::string& Remembered) const {
  return Remembered.empty() ? FWorkFolder : Remembered;
}

// ---------------------------------------------------------------- CPU

void TMainOrvanta::RunCpuActExecute() {
  // The action has already changed its check; the machine refuses to start
  // while the window closes, and the action shows what the machine does.
  FMachine->SetRunCpu(RunCpuAct->isChecked());
  RunStateChanged(FMachine->GetRunCpu());
}

void TMainOrvanta::StepCpuActExecute() {
  {
    TPassScope Pass(FPassDepth);
    FMachine->Step();
  }
  RefreshCpuPage();
}

void TMainOrvanta::StepCpuActUpdate() { StepCpuAct->setEnabled(!RunCpuAct->isChecked()); }

void TMainOrvanta::ShutdownActExecute() { close(); }

void TMainOrvanta::HexMemoryDisplayActExecute() {
  LayoutMemoryGrid();
  RefreshCpuPage();
}

void TMainOrvanta::SetBreakPointExecute() {
  char Digits[8];
  std::snprintf(Digits, sizeof Digits, "%04X", static_cast<unsigned>(FMachine->BreakPointAddress));
  const std::optional<std::string> Answer = FDialogs->InputText(this, "Set New Break Point", "Hex Address", Digits);
  if (!Answer) return;
  const std::string& Text = *Answer;
  bool Valid = !Text.empty();
  uint64_t Value = 0;
  for (char Character : Text) {
    if (!std::isxdigit(static_cast<unsigned char>(Character))) {
      Valid = false;
      break;
    }
    const int Digit = std::isdigit(static_cast<unsigned char>(Character))
                          ? Character - '0'
                          : std::toupper(static_cast<unsigned char>(Character)) - 'A' + 10;
    Value = std::min<uint64_t>(Value * 16 + static_cast<uint64_t>(Digit), UINT64_C(1) << 40);
  }
  if (!Valid) {
    ShowMessage(TMachineMessageKind::Warning, "\"" + Text + "\" is not a valid hex address.");
    return;
  }
  if (Value > 0xFFFF) {
    ShowMessage(TMachineMessageKind::Warning, "The address \"" + Text + "\" is out of range.");
    return;
  }
  FMachine->BreakPointAddress = static_cast<uint16_t>(Value);
  FMachine->BreakPointEnabled = true;
}

void TMainOrvanta::ClearBreakPointActExecute() {
  FMachine->BreakPointEnabled = false;
  ClearBreakPointAct->setEnabled(false);
}

void TMainOrvanta::ClearBreakPointActUpdate() { ClearBreakPointAct->setEnabled(FMachine->BreakPointEnabled); }

// ---------------------------------------------------------------- boot and load

void TMainOrvanta::ResetCPMActExecute() { FMachine->ColdBoot(); }

void TMainOrvanta::LoadHexFileActExecute() {
  TMainFileRequest Request;
  Request.Title = "Load Hex File To Memory";
  Request.Filter = HexFilter;
  Request.DefaultExtension = "hex";
  Request.InitialFolder = DialogFolder(FHexDialogFolder);
  Request.FileName = "*.hex";
  const std::optional<std::string> File = FDialogs->OpenFileName(this, Request);
  if (!File) return;
  FHexDialogFolder = FolderOf(*File);
  FMachine->LoadHexFile(*File);
}

void TMainOrvanta::LoadBinFileActExecute() {
  TMainFileRequest Request;
  Request.Title = "Load CPM Program Image";
  Request.Filter = ProgramFilter;
  Request.InitialFolder = DialogFolder(FProgramDialogFolder);
  const std::optional<std::string> File = FDialogs->OpenFileName(this, Request);
  if (!File) return;
  FProgramDialogFolder = FolderOf(*File);
  // The machine tells how many blocks the program took.
  FMachine->LoadBinFile(*File);
  RefreshCpuPage();
}

void TMainOrvanta::CPMSelectImageNameActExecute() { SelectImageName(C_CpmSourceFile, "Select CPM Hex File To Load"); }

void TMainOrvanta::BIOSSelectImageNameActExecute() {
  SelectImageName(C_BiosSourceFile, "Select BIOS Hex File To Load");
}

void TMainOrvanta::SelectImageName(QLineEdit* Edit, const char* Title) {
  TMainFileRequest Request;
  Request.Title = Title;
  Request.Filter = HexFilter;
  Request.DefaultExtension = "hex";
  Request.InitialFolder = DialogFolder(FHexDialogFolder);
  Request.FileName = Edit->text().isEmpty() ? std::string("*.hex") : Edit->text().toStdString();
  const std::optional<std::string> File = FDialogs->OpenFileName(this, Request);
  if (!File) return;
  FHexDialogFolder = FolderOf(*File);
  Edit->setText(QString::fromStdString(*File));
}

// ---------------------------------------------------------------- drives

void TMainOrvanta::ChangeDriveActExecute(int Drive) {
  TMainFileRequest Request;
  Request.Title = std::string("Select Drive ") + static_cast<char>('A' + Drive) + " Disk";
  Request.Filter = DiskFilter;
  Request.DefaultExtension = "cpmdsk";
  Request.InitialFolder = DialogFolder(FDiskDialogFolder);
  const std::optional<std::string> File = FDialogs->OpenFileName(this, Request);
  if (!File) return;
  FDiskDialogFolder = FolderOf(*File);
  // A client of the disk server writes the disk through a drive of its own: the
  // two would overwrite each other's records unseen.
  if (FRmtDskMod->IsDiskFileInUse(*File))
    throw EDiskError("The disk \"" + std::filesystem::path(*File).stem().string() +
                         "\" is mounted by a client of the remote disk server and can not go into a drive.",
                     DISK_ERROR_IN_USE);
  // A disk that cannot go in leaves the drive as it was; the error is shown.
  FMachine->MountDrive(Drive, *File);
}

void TMainOrvanta::EjectDriveActExecute(int Drive) { FMachine->UnmountDrive(Drive); }

void TMainOrvanta::EjectDriveActUpdate(int Drive) {
  if (QAction* Action = EjectDriveAct[static_cast<size_t>(Drive)])
    Action->setEnabled(FMachine->DiskController().HasDisk(Drive));
}
