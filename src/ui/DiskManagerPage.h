// The "Disk Manager" page of the main window: the CP/M directory of one disk
// image (".cpmdsk") or of one disk of a disk pack (".cdp"), the files' import
// from and export to the host, delete, rename, view and attributes, and the
// whole-disk operations (create, copy, replace, rename, boot image, flags, hex).
//
// The page keeps no disk open: every operation opens the disk afresh, does its
// work, copies the disk's file list into the page's own and closes the disk.
// It refuses to change a disk that is in use (in a drive of the machine, or
// served to a client of the remote disk server), deciding that by the file's
// identity on the host, not by the spelling of its name.
//
// What the machine or a client writes onto the disk shown is picked up by
// itself: a write of the machine to a drive that holds the disk, and a change
// of the file seen by a short poll, re-read the list (keeping the selection).
//
// The window keeps DiskManagerFile, DiskManagerPackIndex and ExportFolder; the
// page holds the controls, its file list and its dialogs, and gives the
// window's DM_ actions their work.
#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CpmDiskFileInfo.h"

class QComboBox;
class QLabel;
class QListWidget;
class QMenu;
class QProgressBar;
class QSplitter;
class QStatusBar;
class QWidget;
class TBootLoaderDlg;
class TCreateDiskPackDlg;
class TMainOrvanta;
class TSelPathDlg;
class TSetAttributesDlg;
class TTextViewer;

class TDiskManagerPage : public QObject {
  Q_OBJECT

 public:
  // Builds the page's controls into Panel and gives the DM_ actions of Window
  // their handlers.
  TDiskManagerPage(TMainOrvanta& Window, QWidget* Panel);
  ~TDiskManagerPage() override;
  TDiskManagerPage(const TDiskManagerPage&) = delete;
  TDiskManagerPage& operator=(const TDiskManagerPage&) = delete;

  // ---- Page operations ------------------------------------------------------------------
  // Opens FileName (a pack: its disk DiskIndex, disk 0 when there is no such
  // disk) and shows it. Everything is read before the page changes: a disk
  // that cannot be opened raises its error and the page keeps showing the
  // disk it showed.
  void OpenDiskInManager(const std::string& FileName, int DiskIndex);
  // Rebuilds the lines and the status panels from the page's file list.
  void RefreshFileList();
  void ShowDiskSize(int64_t Bytes);
  void ShowFreeSpace(int64_t Bytes);
  void ShowDiskFileName(const std::string& FileName, int DiskIndex);
  // The entry of the list's current line; null when no disk is open, the list
  // is empty or the current line is none.
  const TCpmDiskFileInfo* SelectedFileInfo() const;
  // The page's copy of the disk's files; null while no disk is open.
  const TCpmDiskFileInfoList* DiskManagerFiles() const { return FFiles.get(); }
  bool DiskOpen() const;
  bool PackDiskOpen() const;
  int SelectedCount() const { return FSelectedCount; }
  // Why FileName must not be changed or replaced now: in a drive of the machine
  // or served to a remote client (by the file's identity); empty when free.
  std::string DiskInUseReason(const std::string& FileName) const;
  // Whether the disk open here is in use (cached while the drives and the
  // server's sessions stay as they are: the actions ask this after every pass).
  bool OpenDiskInUse() const;
  // Re-reads the disk shown, keeping the selection and the scroll position;
  // a disk that can no longer be read leaves the list as it was.
  void ReloadDisk();
  // The user area that imports go into (the "Import To" list).
  int ImportUserArea() const;
  void SetImportUserArea(int User);

  // ---- File operations: each opens the disk afresh and copies its list in ---------------
  void DeleteCpmFile(const std::string& FileName, const std::string& Name, int User, int DiskIndex);
  void SetCpmFileAttributes(const std::string& FileName, const std::string& Name, int OldUser, int NewUser,
                            uint8_t Attributes, int DiskIndex);
  // The renamed file's line, -1 when it is not listed.
  int RenameCpmFile(const std::string& FileName, const std::string& OldName, int User, int DiskIndex,
                    const std::string& NewName);
  // Writes the host file whole or not at all: an export that fails leaves no
  // part of the file and an old file of that name as it was.
  void ExportCpmFile(const std::string& FileName, const std::string& Name, int User, bool AsText, int DiskIndex,
                     const std::string& HostPath);
  // The new file's line, -1 when it is not listed. A failure part way leaves
  // no part of the file on the disk. Text gets CR LF line ends (a lone LF is
  // read as CR LF) and ^Z after its end; binary is copied as it is, filled with
  // zeros.
  int ImportHostFile(const std::string& FileName, const std::string& CpmName, bool AsText, int User, int DiskIndex,
                     const std::string& HostPath);
  void ViewCpmFile(const std::string& FileName, const std::string& Name, int User, int DiskIndex);
  // Writes a disk image file as Intel hex with 32-bit addresses from
  // StartAddress and tells how it went in a message box; returns whether the
  // hex file was written.
  bool SaveDiskToHex(const std::string& SourceFile, const std::string& DestFile, uint32_t StartAddress);

  // ---- Actions ----------------------------------------------------------------------------
  void SelectDiskFileActExecute();
  void RefreshDisplayActExecute();
  void ImportFiles(bool AsText);
  void ExportFiles(bool AsText);
  void DeleteFileActExecute();
  void RenameFileActExecute();
  void ViewFileActExecute();
  void SetAttributesActExecute();
  void EjectDiskActExecute();
  void CreateDiskActExecute();
  void CreateDiskPackActExecute();
  void BackupDiskActExecute();
  void SaveDiskToHexActExecute();
  void ReplaceDiskContentsActExecute();
  void RenameDiskActExecute();
  void SetDiskBootImageActExecute();
  // Bit 0 (bootable) or 1 (protected) of the open pack disk's flags, as the
  // auto-check action now says.
  void SetDiskFlag(uint8_t Bit, bool Set);
  // Brings the enabled and checked states of the page's actions up to date.
  void UpdatePageActions();

  // ---- Controls -----------------------------------------------------------------------------
  QLabel* DiskListHeader = nullptr;
  QListWidget* DiskFileList = nullptr;
  // The file list's viewport, kept so that events reaching the filter while the
  // list is being destroyed are told apart without calling into the list.
  QWidget* FFileListViewport = nullptr;
  QSplitter* DiskPackNamesSpliter = nullptr;
  QWidget* DiskPackNamesPanel = nullptr;
  QListWidget* DiskManagerDiskPackNames = nullptr;
  QStatusBar* DMDiskPackStatusBar = nullptr;
  QLabel* DMDiskPackStatusText = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  // "Disk Size:", value, "Free Space:", value, "File Name:", value.
  std::array<QLabel*, 6> StatusPanels{};
  // Shown while long work (many files) goes on.
  QProgressBar* ProgressBar = nullptr;
  QComboBox* ImportUserAreaList = nullptr;
  QMenu* FilePopupMenu = nullptr;
  QMenu* PackPopupMenu = nullptr;
  TTextViewer* TextViewer = nullptr;
  TSetAttributesDlg* SetAttributesDlg = nullptr;
  TCreateDiskPackDlg* CreateDiskPackDlg = nullptr;
  TBootLoaderDlg* BootLoaderDlg = nullptr;
  TSelPathDlg* SelPathDlg = nullptr;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  // Marks long work: the page's actions are disabled, the progress bar shows,
  // and the window paints between steps.
  class TBusyScope;
  // A snapshot of the disk file, to notice writes by others.
  struct TFileStamp {
    bool Valid = false;
    uint64_t Device = 0;
    uint64_t Inode = 0;
    int64_t Size = 0;
    int64_t Modified = 0;
    int64_t Changed = 0;
    friend bool operator==(const TFileStamp&, const TFileStamp&) = default;
  };
  struct TFileKey {
    std::string Name;
    int User = 0;
  };

  void CreateControls(QWidget* Panel);
  void CreateDialogs();
  void WireActions();
  void WatchMachineWrites();
  void PackListClicked(int Row);
  void FileListMouseUp(Qt::KeyboardModifiers Modifiers);
  void SelectionChanged();
  // Selects exactly the lines Rows, the current line Current (-1: none).
  void SelectRows(const std::vector<int>& Rows, int Current);
  std::vector<int> SelectedRows() const;
  // The lines whose entries match Keys (each key once), in list order.
  std::vector<int> RowsOf(const std::vector<TFileKey>& Keys) const;
  // Raises the reason when the disk open here must not be changed.
  void CheckChangeable() const;
  // Raises the reason when FileName is in use. Asked again right before each
  // write: CP/M or a client of the disk server may mount the disk while a
  // question is open or between the steps of long work.
  void CheckNotInUse(const std::string& FileName) const;
  // A file about to be replaced by a new one: refused (warning, false) when in
  // use, else the user is asked when it exists. True to go on.
  bool ConfirmReplace(const std::string& Target, bool RefuseInUse = true);
  // The save dialog for a disk image to be written, titled Title: the chosen
  // name with ".cpmdsk" forced, none when cancelled. Nothing is asked about
  // replacing it yet.
  std::optional<std::string> AskDiskFileToWrite(const std::string& Title);
  void ReopenOrEject();
  std::string DialogFolder(const std::string& Remembered) const;
  static TFileStamp StampOf(const std::string& FileName);
  void RememberStamp();
  void PollDiskFile();
  void DriveWritten(int Drive);
  void SetAttributesOfSelection(bool FocusUser);

  TMainOrvanta& FWindow;
  std::unique_ptr<TCpmDiskFileInfoList> FFiles;
  int FSelectedCount = 0;
  bool FBusy = false;
  bool FFillingPackList = false;
  // Folders the page's file dialogs start in.
  std::string FDiskFolder;
  std::string FImportFolder;
  // Re-reading the disk after writes of others.
  QTimer FPollTimer;
  QTimer FReloadTimer;
  TFileStamp FStamp;
  // Which drive holds the disk shown, by the name mounted there.
  struct TDriveMatch {
    std::string Mounted;
    std::string Shown;
    bool Same = false;
  };
  std::array<TDriveMatch, 4> FDriveMatch;
  // OpenDiskInUse's answer and what it was worked out from.
  mutable std::string FInUseKey;
  mutable bool FInUse = false;
  mutable int64_t FInUseTime = 0;
};

class TDiskManagerPage::TBusyScope {
 public:
  // Steps: how many steps the work has; the bar shows from 2 steps on.
  TBusyScope(TDiskManagerPage& Page, int Steps);
  ~TBusyScope();
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

  // Step Done of the work is done: the bar moves, and the window paints now
  // and then (never more often than the eye needs).
  void Step(int Done);

 private:
  TDiskManagerPage& FPage;
  bool FWasBusy;
  int64_t FLastPaint = 0;
};
