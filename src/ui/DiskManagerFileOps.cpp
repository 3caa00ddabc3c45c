// The disk manager's file operations: import from and export to the host, delete,
// rename, view, attributes and user areas.
#include <QAction>
#include <QComboBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "AppendChar.h"
#include "CpmDiskDrive.h"
#include "CpmTextReader.h"
#include "DiskManagerFileList.h"
#include "DiskManagerNames.h"
#include "DiskManagerPage.h"
#include "FileIdentity.h"
#include "SelPathDlg.h"
#include "SetAttributesDlg.h"
#include "TextViewer.h"
#include "frmKorvel.h"

namespace {

std::string UpperCase(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
  return Text;
}

std::string BaseName(const std::string& Path) { return std::filesystem::path(Path).filename().string(); }

// The bytes a host text file takes on a CP/M disk, its added CRs counted.
int64_t HostTextSize(const std::string& Path) {
  TFileStream Host(Path, TFileStream::TMode::OpenRead);
  return TCpmTextReader::TextSize(Host);
}

}  // namespace

// ---------------------------------------------------------------- wrappers

void TDiskManagerPage::DeleteCpmFile(const std::string& FileName, const std::string& Name, int User, int DiskIndex) {
  CheckNotInUse(FileName);
  TCpmDiskDrive Drive(FileName, DiskIndex);
  Drive.DeleteFile(Name, User);
  Drive.CopyFileListTo(FFiles.get());
}

void TDiskManagerPage::SetCpmFileAttributes(const std::string& FileName, const std::string& Name, int OldUser,
                                            int NewUser, uint8_t Attributes, int DiskIndex) {
  CheckNotInUse(FileName);
  TCpmDiskDrive Drive(FileName, DiskIndex);
  Drive.SetFileAttributes(Name, OldUser, Attributes, NewUser);
  Drive.CopyFileListTo(FFiles.get());
}

int TDiskManagerPage::RenameCpmFile(const std::string& FileName, const std::string& OldName, int User, int DiskIndex,
                                    const std::string& NewName) {
  CheckNotInUse(FileName);
  TCpmDiskDrive Drive(FileName, DiskIndex);
  const int Index = Drive.RenameFile(OldName, NewName, User);
  Drive.CopyFileListTo(FFiles.get());
  return Index;
}

void TDiskManagerPage::ExportCpmFile(const std::string& FileName, const std::string& Name, int User, bool AsText,
                                     int DiskIndex, const std::string& HostPath) {
  // The file put in place of HostPath must not be the disk read, nor a disk
  // in a drive or served to a client: those would be lost whole.
  if (IsSameFile(HostPath, FileName))
    throw EEmulatorError("The file \"" + HostPath + "\" is the disk being exported from and can not be replaced.");
  const std::string Reason = DiskInUseReason(HostPath);
  if (!Reason.empty())
    throw EEmulatorError("The disk file \"" + HostPath + "\" is in use and can not be replaced.\n" + Reason);
  TCpmDiskDrive Drive(FileName, DiskIndex);
  TReplacingFile Host(HostPath);
  Drive.ExportFile(Name, User, AsText, Host.Stream());
  Host.Commit();
}

int TDiskManagerPage::ImportHostFile(const std::string& FileName, const std::string& CpmName, bool AsText, int User,
                                     int DiskIndex, const std::string& HostPath) {
  int Index = -1;
  CheckNotInUse(FileName);
  TCpmDiskDrive Drive(FileName, DiskIndex);
  if (Drive.FileExists(CpmName, User)) throw ECpmDiskError("The CPM file already exists!");
  TFileStream Host(HostPath, TFileStream::TMode::OpenRead);
  try {
    if (AsText) {
      // Each line gets its CR; the file's records on the disk follow the text
      // with them, and its last record is filled with ^Z.
      const int64_t Size = TCpmTextReader::TextSize(Host);
      TCpmTextReader Text(Host);
      Drive.ImportFile(CpmName, Text, Size, Index, User, 0x1A);
    } else {
      Drive.ImportFile(CpmName, Host, Host.GetSize(), Index, User, 0);
    }
  } catch (...) {
    // The file system has taken back every entry of the file that failed; the
    // page lists what the disk holds now.
    if (FFiles) Drive.CopyFileListTo(FFiles.get());
    throw;
  }
  if (FFiles) Drive.CopyFileListTo(FFiles.get());
  return Index;
}

void TDiskManagerPage::ViewCpmFile(const std::string& FileName, const std::string& Name, int User, int DiskIndex) {
  TMemoryStream Text;
  {
    TCpmDiskDrive Drive(FileName, DiskIndex);
    Drive.ExportFile(Name, User, true, Text);
  }
  TextViewer->SetDialogs(&FWindow.Dialogs());
  TextViewer->LoadText(Text.Data());
  TextViewer->setWindowTitle(QStringLiteral("View [%1 user area: %2]").arg(QString::fromStdString(Name)).arg(User));
  TextViewer->SetDiskFileName(QString::fromStdString(FileStem(FileName)));
  TextViewer->showNormal();
  QTextCursor Start = TextViewer->RichEdit()->textCursor();
  Start.setPosition(0);
  TextViewer->RichEdit()->setTextCursor(Start);
  TextViewer->show();
  TextViewer->raise();
  TextViewer->activateWindow();
}

// ---------------------------------------------------------------- import

void TDiskManagerPage::ImportFiles(bool AsText) {
  if (!DiskOpen()) return;
  TMainFileRequest Request;
  Request.Title = AsText ? "Import Text Files" : "Import Binary Files";
  Request.Filter = "All Files|*.*";
  Request.MustExist = true;
  Request.InitialFolder = DialogFolder(FImportFolder);
  const std::optional<std::vector<std::string>> Chosen = FWindow.Dialogs().OpenFileNames(&FWindow, Request);
  if (!Chosen || Chosen->empty() || !FFiles) return;
  FImportFolder = FolderOf(Chosen->front());
  CheckChangeable();
  const int User = ImportUserArea();

  // Each host file, its size and the CP/M name it gets.
  struct TPlanned {
    std::string Host;
    std::string Cpm;
    int64_t Size = 0;
  };
  std::vector<TPlanned> Plan;
  std::string Renamed;
  TFileItemList Items;
  Items.CaseSensitive = true;
  for (const std::string& Host : *Chosen) {
    const TFileItem* Item = Items.Add(Host, std::to_string(Plan.size()), true);
    if (Item == nullptr || !Item->IsRegularFile())
      throw EEmulatorError("The host file \"" + Host + "\" could not be read; nothing was imported.");
    const std::string Base = BaseName(Host);
    const std::string Cpm = HostToCpmFileName(Base);
    if (Cpm.empty())
      throw ECpmDiskError("The host file name \"" + Base + "\" leaves no CPM file name; nothing was imported.\n"
                          "Rename the file on the host, or import it under another name.");
    for (const TPlanned& Earlier : Plan)
      if (SameCpmName(Earlier.Cpm, Cpm))
        throw ECpmDiskError("The host files \"" + BaseName(Earlier.Host) + "\" and \"" + Base +
                            "\" would both be named \"" + Cpm + "\" on the CPM disk; nothing was imported.");
    // Told when the name differs from the plain cut to 8 and 3 characters.
    std::string Plain = UpperCase(MakeCpmFileName(Base));
    if (!Plain.empty() && Plain.back() == '.') Plain.pop_back();
    if (Cpm != Plain) Renamed += "\n" + Base + " as " + Cpm;
    Plan.push_back({Host, Cpm, Item->Size});
  }

  // Room on the disk as it is now: whole blocks and directory entries, so an
  // import that starts also finishes.
  {
    TCpmDiskDrive Drive(FWindow.DiskManagerFile, FWindow.DiskManagerPackIndex);
    Drive.Drive().CheckWritable();
    const int64_t FreeBytes = static_cast<int64_t>(Drive.FreeBlockCount()) * TCpmDiskDrive::RECORDS_PER_BLOCK *
                              TCpmDiskDrive::RECORD_SIZE;
    int64_t Blocks = 0;
    int64_t Entries = 0;
    for (const TPlanned& File : Plan) {
      if (Drive.FileExists(File.Cpm, User))
        throw ECpmDiskError("The CPM file already exists!\n\"" + File.Cpm + "\" is in user area " +
                            std::to_string(User) + "; nothing was imported.");
      // A text takes the CRs it gets too. One larger than the free space does
      // not fit either way, and is not read for them.
      const int64_t Size = AsText && File.Size <= FreeBytes ? HostTextSize(File.Host) : File.Size;
      const TCpmDiskDrive::TFileSpace Space = TCpmDiskDrive::SpaceForFile(Size);
      Blocks += Space.Blocks;
      Entries += Space.DirEntries;
    }
    if (Blocks > Drive.FreeBlockCount())
      throw ECpmDiskError("The files to be copied require more space then is available on the disk!");
    if (Entries > Drive.FreeDirEntryCount())
      throw ECpmDiskError("The files to be copied require " + std::to_string(Entries) +
                          " directory entries, more than the " + std::to_string(Drive.FreeDirEntryCount()) +
                          " free on the disk!");
  }

  TBusyScope Busy(*this, static_cast<int>(Plan.size()));
  try {
    for (size_t Index = 0; Index < Plan.size(); ++Index) {
      const TPlanned& File = Plan[Index];
      const int Row =
          ImportHostFile(FWindow.DiskManagerFile, File.Cpm, AsText, User, FWindow.DiskManagerPackIndex, File.Host);
      RefreshFileList();
      if (Row >= 0 && Row < DiskFileList->count()) SelectRows({Row}, Row);
      Busy.Step(static_cast<int>(Index) + 1);
    }
  } catch (...) {
    RefreshFileList();
    RememberStamp();
    throw;
  }
  RememberStamp();
  if (!Renamed.empty())
    FWindow.ShowMessage(TMachineMessageKind::Information,
                        "Host file names that CPM can not hold were changed:" + Renamed);
}

// ---------------------------------------------------------------- export

void TDiskManagerPage::ExportFiles(bool AsText) {
  const std::vector<int> Rows = SelectedRows();
  if (Rows.size() == 1) {
    const TCpmDiskFileInfo* Info = SelectedFileInfo();
    if (Info == nullptr) return;
    const TCpmDiskFileInfo Copy = *Info;
    TMainFileRequest Request;
    Request.Title = "Export Text File";
    Request.Filter = "All Files|*.*";
    Request.FileName = CpmToHostFileName(Copy.Name);
    Request.InitialFolder = DialogFolder(FWindow.ExportFolder);
    Request.MustExist = false;
    Request.OverwritePrompt = true;
    const std::optional<std::string> File = FWindow.Dialogs().SaveFileName(&FWindow, Request);
    if (!File) return;
    FWindow.ExportFolder = FolderOf(*File);
    ExportCpmFile(FWindow.DiskManagerFile, Copy.Name, Copy.User, AsText, FWindow.DiskManagerPackIndex, *File);
    return;
  }
  if (Rows.size() < 2 || !FFiles) return;

  if (FWindow.ExportFolder.empty()) FWindow.ExportFolder = FWindow.WorkFolder();
  SelPathDlg->setWindowTitle(QStringLiteral("Select Export Folder"));
  SelPathDlg->SetPath(QString::fromStdString(FWindow.ExportFolder));
  if (!FWindow.Dialogs().ExecDialog(&FWindow, *SelPathDlg)) return;
  const QString Chosen = SelPathDlg->GetPath();
  if (Chosen.isEmpty()) return;
  const std::string Folder = AppendCharIfMissing(Chosen, QLatin1Char('/')).toStdString();
  FWindow.ExportFolder = Folder;

  std::vector<TCpmDiskFileInfo> Files;
  for (const int Row : Rows)
    if (const TCpmDiskFileInfo* Info = FFiles->GetItem(Row)) Files.push_back(*Info);
  bool OverwriteAll = false;
  TBusyScope Busy(*this, static_cast<int>(Files.size()));
  for (size_t Index = 0; Index < Files.size(); ++Index) {
    const TCpmDiskFileInfo& File = Files[Index];
    // Whatever the directory holds, the file lands in the folder chosen.
    const std::string HostName = CpmToHostFileName(File.Name);
    const std::string Target = Folder + HostName;
    std::error_code Error;
    if (std::filesystem::exists(Target, Error) && !OverwriteAll) {
      const int Answer = FWindow.Dialogs().Choose(&FWindow, TMachineMessageKind::Warning,
                                                  "Overwrite existing file \"" + HostName + "\"?",
                                                  {"Yes", "No", "Cancel", "All"});
      if (Answer == 1) continue;
      if (Answer != 0 && Answer != 3) break;
      if (Answer == 3) OverwriteAll = true;
    }
    ExportCpmFile(FWindow.DiskManagerFile, File.Name, File.User, AsText, FWindow.DiskManagerPackIndex, Target);
    Busy.Step(static_cast<int>(Index) + 1);
  }
}

// ---------------------------------------------------------------- delete, rename, view

void TDiskManagerPage::DeleteFileActExecute() {
  if (!FFiles) return;
  std::vector<TCpmDiskFileInfo> Files;
  for (const int Row : SelectedRows())
    if (const TCpmDiskFileInfo* Info = FFiles->GetItem(Row)) Files.push_back(*Info);
  if (Files.empty()) return;
  CheckChangeable();
  const std::string Question = Files.size() == 1
                                   ? "Delete File \"" + Files.front().Name + "\"?"
                                   : "Delete the " + std::to_string(Files.size()) + " selected files from the disk?";
  if (!FWindow.Dialogs().Ask(&FWindow, TMachineMessageKind::Warning, Question, "OK", "Cancel")) return;
  const int Remembered = DiskFileList->currentRow();
  const auto Reselect = [this, Remembered] {
    RefreshFileList();
    RememberStamp();
    const int Count = DiskFileList->count();
    int Row = -1;
    if (Remembered >= 0 && Remembered < Count)
      Row = Remembered;
    else if (Remembered >= 0 && Count > 0)
      Row = Count - 1;
    SelectRows(Row >= 0 ? std::vector<int>{Row} : std::vector<int>{}, Row);
  };
  TBusyScope Busy(*this, static_cast<int>(Files.size()));
  try {
    for (size_t Index = 0; Index < Files.size(); ++Index) {
      DeleteCpmFile(FWindow.DiskManagerFile, Files[Index].Name, Files[Index].User, FWindow.DiskManagerPackIndex);
      Busy.Step(static_cast<int>(Index) + 1);
    }
  } catch (...) {
    Reselect();
    throw;
  }
  Reselect();
}

void TDiskManagerPage::RenameFileActExecute() {
  const TCpmDiskFileInfo* Info = SelectedFileInfo();
  if (Info == nullptr) return;
  const TCpmDiskFileInfo File = *Info;
  CheckChangeable();
  const std::optional<std::string> Answer =
      FWindow.Dialogs().InputText(&FWindow, "Rename File", "Old File Name: " + File.Name, File.Name);
  if (!Answer || Answer->empty()) return;
  // Cut to CP/M form (8 and 3 characters); the file system refuses what CP/M
  // names can not hold.
  const std::string NewName = UpperCase(MakeCpmFileName(*Answer));
  const int Row = RenameCpmFile(FWindow.DiskManagerFile, File.Name, File.User, FWindow.DiskManagerPackIndex, NewName);
  RefreshFileList();
  RememberStamp();
  if (Row >= 0 && Row < DiskFileList->count()) SelectRows({Row}, Row);
}

void TDiskManagerPage::ViewFileActExecute() {
  const TCpmDiskFileInfo* Info = SelectedFileInfo();
  if (Info == nullptr) return;
  const TCpmDiskFileInfo File = *Info;
  ViewCpmFile(FWindow.DiskManagerFile, File.Name, File.User, FWindow.DiskManagerPackIndex);
}

// ---------------------------------------------------------------- attributes

void TDiskManagerPage::SetAttributesOfSelection(bool FocusUser) {
  const TCpmDiskFileInfo* Focused = SelectedFileInfo();
  if (!DiskOpen() || Focused == nullptr) return;
  std::vector<TCpmDiskFileInfo> Files;
  for (const int Row : SelectedRows())
    if (const TCpmDiskFileInfo* Info = FFiles->GetItem(Row)) Files.push_back(*Info);
  if (Files.empty()) Files.push_back(*Focused);
  CheckChangeable();

  const uint8_t Attributes = Focused->Attributes;
  int User = Focused->User;
  uint8_t Mixed = 0;
  const bool Multi = Files.size() > 1;
  if (Multi) {
    SetAttributesDlg->SetFileLabel(QStringLiteral("(%1 files selected)").arg(Files.size()));
    for (const TCpmDiskFileInfo& File : Files) {
      Mixed |= static_cast<uint8_t>((File.Attributes ^ Attributes) & CPM_ATTR_ALL);
      if (File.User != User) User = TSetAttributesDlg::NoChangeUser;
    }
  } else {
    SetAttributesDlg->SetFileLabel(QString::fromStdString(Focused->Name));
  }
  SetAttributesDlg->SetAttributes(Attributes, Mixed, Multi, User);
  if (FocusUser) SetAttributesDlg->UserAreaList()->setFocus();
  if (!FWindow.Dialogs().ExecDialog(&FWindow, *SetAttributesDlg)) return;
  uint8_t Checked = 0;
  uint8_t Grayed = 0;
  SetAttributesDlg->GetAttributes(Checked, Grayed);
  const int Chosen = SetAttributesDlg->GetUser();

  // The lines are chosen again by name and area afterwards.
  std::vector<TFileKey> Keys;
  TBusyScope Busy(*this, static_cast<int>(Files.size()));
  try {
    for (size_t Index = 0; Index < Files.size(); ++Index) {
      const TCpmDiskFileInfo& File = Files[Index];
      const uint8_t NewAttributes = static_cast<uint8_t>((Checked & ~Grayed) | (File.Attributes & Grayed));
      const int NewUser = Chosen >= 0 && Chosen < 16 ? Chosen : File.User;
      SetCpmFileAttributes(FWindow.DiskManagerFile, File.Name, File.User, NewUser, NewAttributes,
                           FWindow.DiskManagerPackIndex);
      Keys.push_back({File.Name, NewUser});
      Busy.Step(static_cast<int>(Index) + 1);
    }
  } catch (...) {
    RefreshFileList();
    RememberStamp();
    throw;
  }
  RefreshFileList();
  RememberStamp();
  const std::vector<int> Rows = RowsOf(Keys);
  SelectRows(Rows, Rows.empty() ? -1 : Rows.front());
}

void TDiskManagerPage::SetAttributesActExecute() { SetAttributesOfSelection(false); }
