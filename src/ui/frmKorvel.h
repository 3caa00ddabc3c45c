// The main window "Korvel Ver 2.0": a menu bar over six pages ("CRT", "TTY",
// "Disks", "Ports", "Disk Manager", "CPU"). It owns the emulated machine
// (TMachine), runs it on the main thread from a zero-interval timer, and keeps
// the machine's fields in step with its controls: what a control holds is a
// field of the machine, what the machine wants shown arrives through its events
// and is shown here (drive captions and lamps, the run switch, messages).
//
// Every command of the program is an action (a QAction whose objectName is the
// action's name, with the properties "Category", "ImageIndex" and "AutoCheck":
// whether executing it turns its check over by itself); the menus,
// the context menus, the tool bars and the buttons on the pages execute them.
// An exception raised by an action, a key, a run-loop pass or a worker thread's
// event is caught where it enters the window and shown once as an error; the
// window goes on working.
//
// The window is split over several files: frmKorvel.cpp (start-up, shut-down,
// the run loop, the machine's events), frmKorvelActions.cpp (the action list,
// menus and tool bars), frmKorvelMachine.cpp (boot, load, drives, CPU),
// frmKorvelView.cpp (the terminal pages and view actions), frmKorvelPorts.cpp
// (the Ports page), frmKorvelPrinter.cpp (the printer and its actions),
// frmKorvelSettings.cpp (the settings file), and the page layouts in Page*.cpp.
#pragma once

#include <QColor>
#include <QFont>
#include <QMainWindow>
#include <QStringList>
#include <QTimer>
#include <array>
#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Machine.h"
#include "MainDialogs.h"
#include "MainQtThread.h"
#include "MainTtyKeyMap.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPrinter;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QToolBar;
class TAdTerminal;
class TApdStatusLight;
class TCpuListingView;
class TCpuMemoryGrid;
class TMainRadioGroup;
class TMapTermKeys;
class TNrKeyValueSections;
class TRSpinEdit;
class TRemoteDiskListDelegate;
class TRemoteDiskListModel;
class TRmtDskMod;
class TSelectComPortDlg;
class TSimpleTerminal;
class TTTYDisplaySettingsDlg;
class TTTYPrinter;
class TZ80RegistersDlg;
class TDiskManagerPage;

class TMainOrvanta : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr const char* WindowCaption = "Korvel Ver 2.0";
  // The window's size as designed; a smaller screen gets a smaller window.
  static constexpr int DesignWidth = 842;
  static constexpr int DesignHeight = 741;
  enum TPageIndex : int { CrtPageIndex, TtyPageIndex, DisksPageIndex, PortsPageIndex, DiskManagerPageIndex, CpuPageIndex };

  // Creates the window, its work folder and its machine (FormCreate). Dialogs
  // answers the file dialogs, font dialogs and input boxes and shows the
  // messages (the modal Qt dialogs when null; not owned). ProgramName names
  // the work folder and the settings file; empty: the executable's file name
  // without its extension.
  explicit TMainOrvanta(IMainDialogs* Dialogs = nullptr, const std::string& ProgramName = {},
                        QWidget* Parent = nullptr);
  // Stops the machine and frees it with everything it holds (FormDestroy).
  ~TMainOrvanta() override;
  TMainOrvanta(const TMainOrvanta&) = delete;
  TMainOrvanta& operator=(const TMainOrvanta&) = delete;

  // ---- What the window owns ------------------------------------------------------------
  TMachine& Machine() { return *FMachine; }
  TRmtDskMod& RmtDskMod() { return *FRmtDskMod; }
  // The work folder, ending in the path separator; empty when it could not be made
  // (files are then looked for by their bare names in the current folder).
  const std::string& WorkFolder() const { return FWorkFolder; }
  const std::string& ProgramName() const { return FProgramName; }
  IMainDialogs& Dialogs() { return *FDialogs; }
  void SetDialogs(IMainDialogs* Dialogs);
  // The key map the TTY page asks (not owned); null: the map of "Map TTY Keys".
  void SetTtyKeyMap(const ITtyKeyMap* KeyMap);
  bool IsFirstActivation() const { return FFirstActivation; }

  // ---- Settings file ----------------------------------------------------------------------
  // The work folder + the program name + ".config".
  std::string GetSettingsFileName() const;
  // Applies a store to the controls, section by section; an absent key leaves
  // its control as it is. A value that cannot be used (not of its type, or out
  // of its range) is skipped and the rest still applies; those keys are
  // returned as "[SECTION] Key=value", in the order they were met.
  std::vector<std::string> LoadSettings(const TNrKeyValueSections& Store);
  // Fills a store from the controls: every key, in the file's order.
  void SaveSettings(TNrKeyValueSections& Store);
  // Reads the settings file and applies it, telling the user once of the values
  // that could not be used; false when there is no file. Throws EConfigFileError
  // when the file is there but cannot be read.
  bool LoadSettingsFile();
  // Collects the settings and writes the file whole. Throws EConfigFileError
  // when it cannot be written; the old file then stays as it was.
  void SaveSettingsFile();

  // ---- Life cycle ---------------------------------------------------------------------------
  // The window became active: the first time only, the settings file is read
  // and the start page chosen.
  void FormActivate();
  // The window is closing: the machine stops for good and the settings are
  // saved. When they cannot be, the user chooses between closing without them
  // and staying; staying takes the close back (the machine may run again, and
  // runs on if it ran). Returns whether the window may close.
  bool FormCloseQuery();

  // ---- Messages and errors ------------------------------------------------------------------
  // A message box with an OK button (through Dialogs()).
  void ShowMessage(TMachineMessageKind Kind, const std::string& Text);
  // Runs Work; an exception is shown once as an error and goes no further.
  // Returns whether Work completed.
  template <class TWork>
  bool Guarded(TWork&& Work) noexcept;

  // ---- Run loop -----------------------------------------------------------------------------
  // One pass of the run loop (the application's idle event).
  void RunLoopPass();
  // Whether the run-loop timer is running.
  bool RunLoopActive() const { return FRunTimer.isActive(); }
  // Brings the enabled and checked states of every action up to date, or of one.
  void UpdateActions();
  void UpdateAction(QAction* Action);
  // Refreshes the CPU page (and the registers dialog) from the processor.
  // While the machine runs, at most every CpuRefreshIntervalMs and only what is
  // shown; the state it stops in is always shown.
  void RefreshCpuPage();
  static constexpr int CpuRefreshIntervalMs = 100;
  // Sizes the CPU page's memory grid for the display radix.
  void LayoutMemoryGrid();
  // Writes the labels of the CPU page's register display (once, at the start).
  void ShowCpuRegisters();
  // A memory cell's text as the memory grid reads it: in the display radix
  // unless a last "H" (hexadecimal) or "T" (decimal) says otherwise; the cell
  // takes the low 8 bits. ECpuValueError when the text is not such a number.
  int32_t ParseCellValue(const QString& Text) const;

  // ---- Remote disk server panel (RemoteDiskPanel.cpp) -----------------------------------------
  // The list's line height from its font, then RefreshRemoteDiskList.
  void SetListMetrics();
  // The list shows as many sessions as the server has, and repaints.
  void RefreshRemoteDiskList();
  // The three lines the list draws for session Index; none when there is no such session.
  QStringList RemoteDiskServerStatusLines(int Index) const;

  // ---- Pages --------------------------------------------------------------------------------
  void ShowPage(TPageIndex Page);
  void PageControl1Change();

  // ---- TTY page -----------------------------------------------------------------------------
  void TtyControlCode(uint8_t Code, int32_t Arg1, int32_t Arg2);
  void TtyWriteChar(uint8_t Character);
  void SetTtyDisplaySettings(const QColor& Background, const QColor& Text, int Rows);
  void GetTtyDisplaySettings(QColor& Background, QColor& Text, int& Rows) const;

  // ---- Ports page ---------------------------------------------------------------------------
  // The enable boxes' click handler: (re)opens COM1 or COM2 from its page.
  void C_ComPortEnableBtnClick(QObject* Sender);
  void ActivateCom1();
  void ActivateCom2();
  // The four device lists as an IOBYTE, and the reverse (no change events).
  uint8_t GetDeviceMapping() const;
  void SetDeviceMapping(uint8_t IoByte);
  // The cold-boot byte in the "[ Defaults ]" labels.
  void DisplayDefaultMappingByte(uint8_t IoByte);
  // Sets ColdBootIoByte and shows it in the lists and the labels (start-up and
  // the settings file).
  void ApplyColdBootIoByte(uint8_t IoByte);
  void SetDefaultMappingsBtnClick();
  void UseDefaultDeviceMappingsClick();
  void DeviceMappingsDisplayChanged();
  void InputFileBrowseBtnClick();
  void OutputFileBrowseBtnClick();
  void C_Com1SelectBtnClick();
  void C_Com2SelectBtnClick();
  // Whether the host has at least one printer in C_PrintersList.
  bool PrintersExist() const { return FPrintersExist; }

  // ---- Printer (frmKorvelPrinter.cpp) ---------------------------------------------------------
  // The printer while printing is enabled (the machine owns it); null otherwise.
  TTTYPrinter* TtyPrinter() const;
  // The font the printer prints with ("Font" of the Printer menu).
  const QFont& PrinterFont() const { return FPrinterFont; }
  // The host printer chosen in the list becomes the host's current printer.
  void C_PrintersListChange();
  void C_PrintOrientaionClick();
  // The three check boxes act on the running printer.
  void PrinterOptionsChanged();
  void PrintFileBrowseBtnClick();

  // ---- Runtime state of the pages that keep it here -------------------------------------------
  std::string DiskManagerFile;    // disk open in the disk manager; empty: none
  int DiskManagerPackIndex = -1;  // disk of a pack open there; -1: a plain disk image
  std::string ExportFolder;       // last folder of a disk-manager export

  // ---- Disk Manager page (PageDiskManager.cpp; the page itself in DiskManager*.cpp) ------
  // Opens a disk file (for a pack, its disk DiskIndex) in the disk manager and shows it.
  void OpenDiskInManager(const std::string& FileName, int DiskIndex);
  // Rebuilds the disk manager's lines and status panels from its file list.
  void RefreshFileList();

  // ---- Controls -----------------------------------------------------------------------------
  QTabWidget* PageControl1 = nullptr;
  QWidget* CrtPage = nullptr;
  QWidget* TtyPage = nullptr;
  QWidget* DisksPage = nullptr;
  QWidget* PortsPage = nullptr;
  QWidget* DiskManagerPage = nullptr;
  QWidget* CpuPage = nullptr;

  // CRT and TTY pages.
  TAdTerminal* AdTerminal1 = nullptr;
  TSimpleTerminal* SimpleTerminal1 = nullptr;
  QMenu* CrtPopupMenu = nullptr;
  QMenu* TtyPopupMenu = nullptr;

  // Disks page.
  QLineEdit* C_CpmSourceFile = nullptr;
  QLineEdit* C_BiosSourceFile = nullptr;
  std::array<QLabel*, TMachine::DriveCount> DiskCaption{};  // DiskACaption .. DiskDCaption
  std::array<TApdStatusLight*, TMachine::DriveCount> DiskLight{};  // DiskALight .. DiskDLight
  // The "Remote Disk Server" panel.
  QGroupBox* RemoteDiskServerPanel = nullptr;
  QCheckBox* C_RemoteDiskServerActive = nullptr;    // "Activate Disk Server"
  QLineEdit* C_DiskServerPort = nullptr;            // "Server Port"
  QCheckBox* C_UseRemoteDiskAutoUnMount = nullptr;  // "Allow auto unmount"
  QListView* RemoteDiskServerStatus = nullptr;      // the sessions, three lines each
  QPushButton* Refresh = nullptr;
  QTimer* RemoteDiskStatus = nullptr;               // every second while the server runs
  // The server's last mount or unmount as the panel last saw it.
  std::chrono::system_clock::time_point LastServerChange{};

  // Ports page: inner pages.
  QTabWidget* PortsPageControl = nullptr;
  // Com 1.
  QCheckBox* C_Com1EnableBtn = nullptr;
  QSpinBox* C_Com1PortNumber = nullptr;
  QPushButton* C_Com1SelectBtn = nullptr;
  QLineEdit* C_Com1DeviceEdit = nullptr;  // the host device the port opens (read only)
  QComboBox* C_Com1BaudList = nullptr;
  QComboBox* C_Com1FormatList = nullptr;
  QCheckBox* C_Com12StopBitsBtn = nullptr;
  QCheckBox* C_Com1HandShake = nullptr;
  QCheckBox* C_UseTCPasCom1 = nullptr;
  QLineEdit* C_Com1TCPPort = nullptr;
  // Com 2.
  QCheckBox* C_Com2EnableBtn = nullptr;
  QSpinBox* C_Com2PortNumber = nullptr;
  QPushButton* C_Com2SelectBtn = nullptr;
  QLineEdit* C_Com2DeviceEdit = nullptr;
  QComboBox* C_Com2BaudList = nullptr;
  QComboBox* C_Com2FormatList = nullptr;
  QCheckBox* C_Com22StopBitsBtn = nullptr;
  QCheckBox* C_Com2HandShake = nullptr;
  // Printer.
  QComboBox* C_PrintersList = nullptr;
  // Pages go into a PDF file instead of to a host printer (the choice where the
  // host has none); the file is written anew by each print job.
  QCheckBox* C_PrintToFileBtn = nullptr;
  QLineEdit* C_PrintFileNameEdit = nullptr;
  QPushButton* PrintFileBrowseBtn = nullptr;
  TMainRadioGroup* C_PrintOrientaion = nullptr;
  QCheckBox* C_EnablePrinterBtn = nullptr;
  QSpinBox* C_TabSpacingEdit = nullptr;
  TRSpinEdit* C_TopBottomMarginEdit = nullptr;
  TRSpinEdit* C_LeftRightMarginEdit = nullptr;
  TRSpinEdit* C_LineSpacingEdit = nullptr;
  QCheckBox* C_IgnoreFormFeedsBtn = nullptr;
  QCheckBox* C_AutoLineWrapBtn = nullptr;
  QCheckBox* C_EosEjectsPrinterBtn = nullptr;
  QPushButton* SetupPrinterBtn = nullptr;
  // Input File (reader).
  QLineEdit* C_InputFileNameEdit = nullptr;
  QPushButton* InputFileBrowseBtn = nullptr;
  QCheckBox* C_EnableInputFileBtn = nullptr;
  QRadioButton* C_InFileEosDone = nullptr;
  QRadioButton* C_InFileEosReturnEOS = nullptr;
  QRadioButton* C_InFileEosRestart = nullptr;
  QRadioButton* C_InFileEosSwitchCon = nullptr;
  QComboBox* C_InFileChangeConList = nullptr;
  // Output File (punch).
  QLineEdit* C_OutputFileNameEdit = nullptr;
  QPushButton* OutputFileBrowseBtn = nullptr;
  QCheckBox* EnableOutputFileBtn = nullptr;
  QCheckBox* C_AppendOutputFileBtn = nullptr;
  // Device Mapping panel.
  QComboBox* C_CpmConsolePortId = nullptr;
  QComboBox* C_CpmListPortId = nullptr;
  QComboBox* C_CpmReaderPortId = nullptr;
  QComboBox* C_CpmPunchPortId = nullptr;
  QPushButton* SetDefaultMappingsBtn = nullptr;
  QPushButton* UseDefaultDeviceMappings = nullptr;
  QLabel* ConLstDeviceLabel = nullptr;
  QLabel* PtrPtpDeviceLabel = nullptr;

  // Disk Manager and CPU pages: their tool bars; the pages' contents go below them.
  QToolBar* DiskManagerToolBar = nullptr;
  QWidget* DiskManagerPanel = nullptr;
  TDiskManagerPage* DiskManager = nullptr;  // the disk manager's controls, files and dialogs
  QToolBar* CpuToolBar = nullptr;
  QWidget* CpuMemoryPanel = nullptr;
  TSimpleTerminal* SimpleTerminal2 = nullptr;  // the register display
  TCpuListingView* CpuListing = nullptr;       // the instructions from the program counter on
  TCpuMemoryGrid* CpuMemoryGrid = nullptr;

  // ---- Dialogs of the window (created with it, shown through Dialogs()) ------------------
  TTTYDisplaySettingsDlg* TTYDisplaySettingsDlg = nullptr;
  // "Map TTY Keys", and the TTY page's key map: read from its file at creation.
  TMapTermKeys* MapTermKeys = nullptr;
  TSelectComPortDlg* SelectComPortDlg = nullptr;
  TZ80RegistersDlg* Z80RegistersDlg = nullptr;  // "Z80 Registers", beside the window

  // ---- Actions (objectName = the name below) -------------------------------------------------
  // View
  QAction* HexMemoryDisplayAct = nullptr;
  QAction* Crt132Act = nullptr;
  QAction* CrtAnsiAct = nullptr;
  QAction* ClearCrtAct = nullptr;
  QAction* SetCrtFont = nullptr;
  QAction* TTY132Act = nullptr;
  QAction* ClearTTYAct = nullptr;
  QAction* SetTttyFont = nullptr;
  QAction* TTYDisplaySettingsAct = nullptr;
  QAction* TTYMapKeysAct = nullptr;
  // CPM
  QAction* CPMSelectImageNameAct = nullptr;
  QAction* BIOSSelectImageNameAct = nullptr;
  QAction* ResetCPMAct = nullptr;
  // Load
  QAction* LoadHexFileAct = nullptr;
  QAction* LoadBinFileAct = nullptr;
  // CPU
  QAction* RunCpuAct = nullptr;
  QAction* StepCpuAct = nullptr;
  QAction* SetBreakPoint = nullptr;
  QAction* ClearBreakPointAct = nullptr;
  QAction* ShowCPUWindowAct = nullptr;
  // Insert Disk, Eject Disk
  std::array<QAction*, TMachine::DriveCount> ChangeDriveAct{};  // ChangeADriveAct .. ChangeDDriveAct
  std::array<QAction*, TMachine::DriveCount> EjectDriveAct{};   // EjectADriveAct .. EjectDDriveAct
  // Disk Manager
  QAction* DM_SelectDiskFileAct = nullptr;
  QAction* DM_RefreshDisplayAct = nullptr;
  QAction* DM_ImportTextFileAct = nullptr;
  QAction* DM_ImportBinaryFileAct = nullptr;
  QAction* DM_ExportTextFileAct = nullptr;
  QAction* DM_ExportBinaryFileAct = nullptr;
  QAction* DM_DeleteFileAct = nullptr;
  QAction* DM_RenameFileAct = nullptr;
  QAction* DM_ViewFileAct = nullptr;
  QAction* DM_SetAttributesAct = nullptr;
  QAction* DM_ChangeUserAct = nullptr;
  QAction* DM_EjectDiskAct = nullptr;
  QAction* DM_CreateDiskAct = nullptr;
  QAction* DM_CreateDiskPackAct = nullptr;
  QAction* DM_BackupDiskAct = nullptr;
  QAction* DM_SaveDiskToHexAct = nullptr;
  QAction* DM_ReplaceDiskContentsAct = nullptr;
  QAction* DM_RenameDiskAct = nullptr;
  QAction* DM_SetDiskBootImageAct = nullptr;
  QAction* DM_SetDiskBootableAct = nullptr;
  QAction* DM_SetDiskProtectedAct = nullptr;
  QAction* ActivateRemoteDiskServerAct = nullptr;
  // Port Files
  QAction* EnableInputFileAct = nullptr;
  QAction* EnableOutputFileAct = nullptr;
  // Printer
  QAction* PrinterSetupAct = nullptr;
  QAction* PrinterFontAct = nullptr;
  QAction* PrinterEnableAct = nullptr;
  QAction* PrinterAbortAct = nullptr;
  QAction* PrinterEjectAct = nullptr;
  // File
  QAction* ShutdownAct = nullptr;

  // Every action above, in the order of the action list.
  const std::vector<QAction*>& Actions() const { return FActions; }
  // The action's update handler (its enabled and checked rule), for the parts of
  // the program that bring the actions to life; replaces any rule it had.
  void SetActionUpdate(QAction* Action, std::function<void()> Update);
  // The action's execute handler; replaces any handler it had.
  void SetActionExecute(QAction* Action, std::function<void()> Execute);

 protected:
  bool event(QEvent* Event) override;
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;

 private:
  struct TActionHandlers {
    std::function<void()> Execute;
    std::function<void()> Update;
  };

  // Start-up.
  void CreateMachine();
  void WireMachineEvents();
  void CreateActions();
  void CreateMenus();
  void CreatePopupMenus();
  void CreatePages();
  void CreateCrtPage();
  void CreateTtyPage();
  void CreateDisksPage();
  void CreatePortsPage();
  QWidget* CreateComPage(int Port);
  QWidget* CreatePrinterPage();
  QWidget* CreateInputFilePage();
  QWidget* CreateOutputFilePage();
  QWidget* CreateDeviceMappingPanel();
  void CreateDiskManagerPage();
  void CreateCpuPage();
  void CreateRemoteDiskServerPanel(QGroupBox* Panel);
  void CreateDialogs();
  void KeepMachineInStep();
  // The host's printers; Current (else the host's default printer) selected.
  void FillPrintersList(const QString& Current = QString());
  void FitToScreen();
  QAction* NewAction(QAction*& Member, const char* Name, const char* Category, const char* Caption,
                     const char* Hint = nullptr);
  void ExecuteAction(QAction* Action);

  // Machine events.
  void MachineMessage(TMachineMessageKind Kind, const std::string& Text);
  void FlushMessages();
  void RunStateChanged(bool Running);
  void ShowDrive(int Drive);
  void ShowComSettings(int Port);
  void ReportError(const std::string& Text);

  // CPM and CPU actions (frmKorvelMachine.cpp).
  void RunCpuActExecute();
  void StepCpuActExecute();
  void StepCpuActUpdate();
  void ShutdownActExecute();
  void ResetCPMActExecute();
  void LoadHexFileActExecute();
  void LoadBinFileActExecute();
  void CPMSelectImageNameActExecute();
  void BIOSSelectImageNameActExecute();
  void SelectImageName(QLineEdit* Edit, const char* Title);
  void HexMemoryDisplayActExecute();
  void SetBreakPointExecute();
  void ClearBreakPointActExecute();
  void ClearBreakPointActUpdate();
  void ShowCPUWindowActExecute();
  // The memory grid's commit: false (and a message) when the text is no number.
  bool CpuMemoryGridCommit(int Address, const QString& Text);
  // A message shown when the event loop is back, not inside a control's handler.
  void ShowMessageLater(TMachineMessageKind Kind, const std::string& Text);
  void ChangeDriveActExecute(int Drive);
  void EjectDriveActExecute(int Drive);
  void EjectDriveActUpdate(int Drive);
  std::string DialogFolder(const std::string& Remembered) const;

  // View actions and the terminal pages (frmKorvelView.cpp).
  void Crt132ActExecute();
  void CrtAnsiActExecute();
  void CrtAnsiActUpdate();
  void ClearCrtActExecute();
  void SetCrtFontExecute();
  void TTY132ActExecute();
  void ClearTTYActExecute();
  void SetTttyFontExecute();
  void TTYDisplaySettingsActExecute();
  void TTYMapKeysActExecute();
  void SimpleTerminal1KeyDown(int& Key, Qt::KeyboardModifiers Shift);
  void AdTerminal2KeyPress(QChar Key);
  void SimpleTerminal1KeyUp(int& Key, Qt::KeyboardModifiers Shift);

  // Ports page (frmKorvelPorts.cpp).
  void EnableInputFileActExecute();
  void EnableInputFileActUpdate();
  void EnableOutputFileActExecute();
  void EnableOutputFileActUpdate();
  void ComSettingsFromControls(int Port);
  void ComControlsFromSettings(int Port);
  // Shows what the port opens: COM1's TCP port while "Use TCP as Com Port" is
  // checked, else the host device chosen by path, else COM<n>'s.
  void ShowComDevice(int Port);
  void EnableComControls(int Port);
  void SelectComPort(int Port);
  void ReaderEndOfStreamChanged();

  // Printer (frmKorvelPrinter.cpp).
  void ConnectPrinterPage();
  void PrinterSelectionChanged();
  // A printer to print to: a host printer, or the PDF file chosen instead.
  bool PrinterChosen() const;
  // Nothing is printing at the moment.
  bool PrinterIdle() const;
  // Why the chosen printer cannot print; empty when it can.
  std::string PrinterProblem() const;
  void PrinterSetupActExecute();
  void PrinterSetupActUpdate();
  void PrinterFontActExecute();
  void PrinterFontActUpdate();
  void PrinterEnableActExecute();
  void PrinterEnableActUpdate();
  void PrinterAbortActExecute();
  void PrinterEjectActExecute();
  void PrinterJobActUpdate(QAction* Action);

  // Remote disk server panel (RemoteDiskPanel.cpp).
  void ActivateRemoteDiskServerActExecute();
  void ActivateRemoteDiskServerActUpdate();
  void C_UseRemoteDiskAutoUnMountClick();
  void RemoteDiskStatusTimer();

  // Settings file (frmKorvelSettings.cpp).
  bool HasExecuteHandler(QAction* Action) const;
  // An action key of the settings file: the action brought up to date, then
  // executed once when the stored state differs from it.
  void ApplyActionKey(QAction* Action, bool Stored);
  // The normal (restored) rectangle's size, from the file's MAIN section.
  void ApplyWindowRect(int Left, int Top, int Width, int Height);
  // A font's size in points (a font sized in pixels is measured on the screen).
  int PointSizeOf(const QFont& Font) const;

  std::string FProgramName;
  std::string FWorkFolder;
  TMainQtDialogs FQtDialogs;
  IMainDialogs* FDialogs = nullptr;
  std::unique_ptr<TMainTtyKeyMap> FOwnTtyKeyMap;  // over MapTermKeys
  const ITtyKeyMap* FTtyKeyMap = nullptr;
  // Declared in the order they are needed: the main thread outlives the machine
  // and the disk server, whose worker threads post to it.
  TMainQtThread FMainThread;
  std::unique_ptr<TMachine> FMachine;
  std::unique_ptr<TRmtDskMod> FRmtDskMod;

  QTimer FRunTimer;
  bool FFirstActivation = true;
  int FPassDepth = 0;  // inside a run-loop pass or a step: messages wait until it ends
  std::deque<std::pair<TMachineMessageKind, std::string>> FPendingMessages;
  bool FFlushPosted = false;
  bool FPrintersExist = false;
  // The host's current printer: the one chosen in C_PrintersList, with the
  // orientation and paper of the Printer page and of "Setup".
  std::unique_ptr<QPrinter> FHostPrinter;
  QFont FPrinterFont;
  bool FInstalledMainThread = false;
  // The CPU page's refresh while the machine runs.
  QTimer* FCpuRefreshTimer = nullptr;
  std::chrono::steady_clock::time_point FLastCpuRefresh{};
  // The remote disk server's session list.
  TRemoteDiskListModel* FRemoteDiskList = nullptr;
  TRemoteDiskListDelegate* FRemoteDiskDrawer = nullptr;

  std::vector<QAction*> FActions;
  std::vector<TActionHandlers> FActionHandlers;  // by the index of the action in FActions

  // Folders the file dialogs start in, remembered between uses.
  std::string FHexDialogFolder;
  std::string FProgramDialogFolder;
  std::string FDiskDialogFolder;
  std::string FInputFileFolder;
  std::string FOutputFileFolder;
  std::string FPrintFileFolder;
};

template <class TWork>
bool TMainOrvanta::Guarded(TWork&& Work) noexcept {
  try {
    Work();
    return true;
  } catch (const std::exception& Error) {
    ReportError(Error.what());
  } catch (...) {
    ReportError("An unknown error occurred.");
  }
  return false;
}
