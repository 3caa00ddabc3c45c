// The emulated machine behind the Z80's I/O ports: the processor, the disk
// controller, the two consoles (CRT through the VT100 emulator, TTY through the
// TTY escape-command parser), two serial ports (COM1 may be the TCP server), the
// printer, the reader and punch files, the system manager, the cold-boot device
// byte, Intel-hex loading and cold boot, and the run-loop pass.
//
// It shows nothing itself. The main window owns one machine and keeps the fields
// below in step with its controls (what a control holds is a field here); what
// the machine wants shown arrives through the On... events. Everything runs on the
// main thread: run passes, key input, and the serial ports' events (delivered
// through the IMainThread given at construction).
//
// Port map (the low byte of the port address selects the device):
//   16/17 TTY status/data      18/19 CRT status/data      20/21 COM1 status/data
//   22/23 COM2 status/data     24/25 printer status/data   26/27 reader status/data
//   28/29 punch status/data    48/49 COM1/COM2 settings    64/65 system manager
//   72 cold-boot IOBYTE        112-119 disk controller (command/status, drive,
//   sector low/high, track low/high, DMA low/high)
// Status bits: 2 = a byte is waiting, 4 = the device accepts a byte. A port that
// no device answers reads 255 and ignores writes. A COM port whose peer holds
// the line back clears bit 4 until it takes a byte again; a COM port that no
// peer drains (off, or TCP with no client) always sets it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AdVT100Emulator.h"
#include "ByteFIFO.h"
#include "ComRx.h"
#include "CpuEmu.h"
#include "DiskController.h"
#include "MachineError.h"
#include "MachinePrinter.h"
#include "MainThread.h"
#include "SimpTermParser.h"
#include "TcpPortMod.h"

// How a drive lamp looks: unlit grey (no disk), unlit blue (disk mounted), lit
// yellow (read since the last controller reset), lit red (written since then).
enum class TDriveLamp : uint8_t { Empty, Mounted, Reading, Writing };

// What the reader does when its file is exhausted.
enum class TReaderEndOfStream : uint8_t {
  ReportNothing,      // close the file; the status reads 0 from then on
  ReturnEndOfStream,  // every further read yields one ^Z (26) with status 2
  Restart,            // continue from the start of the file
  SwitchConsole,      // close the file and switch CON to ReaderSwitchConsoleTo
};

// How a message of the machine is to be shown.
enum class TMachineMessageKind : uint8_t { Information, Warning, Error };

// The controls of one serial port's page.
struct TComPortSettings {
  bool Enabled = false;       // "Enable Com Port"
  int PortNumber = 1;         // COM<n>; see ComPortNames.h for the host device
  int BaudIndex = -1;         // 0 "300 baud" .. 15 "921600 baud"; -1: no selection, the port keeps its rate
  int FormatIndex = 3;        // 0 7N, 1 7E, 2 7O, 3 8N
  bool TwoStopBits = false;
  bool HardwareFlow = true;
  // A host device chosen by its path (a USB adapter, /dev/ttyUSB0), opened in
  // place of COM<PortNumber>'s device; empty: COM<PortNumber>.
  std::string Device;
};

// Where the cold boot put the images. End is the address after the BIOS's last
// byte, counted in 32 bits (0x10000 for a BIOS that ends at FFFFh).
struct TBootImageSpan {
  uint16_t Entry = 0;  // first address of the BIOS: the start address
  uint16_t Low = 0;    // first address of the CP/M image
  uint32_t End = 0;
};

class TMachineCrtHost;

class TMachine {
 public:
  // Instructions of one run-loop pass.
  static constexpr uint64_t PassInstructionCount = 100001;
  // How long a pass that ends with the processor held on a COM port (on an
  // output instruction, or on a read of its status port) waits at most for the
  // port to take a byte (see RunPass).
  static constexpr std::chrono::milliseconds HeldPortWait{1};
  // How long a pass runs at most once it writes to a COM port or polls one
  // whose peer holds the line back: each byte to a fast peer (a
  // pseudo-terminal) and each look at a serial line is a system call, and
  // 100001 instructions of them would keep the window from answering.
  static constexpr std::chrono::milliseconds PassOutputTime{10};
  // The time limit a pass keeps to: PassOutputTime, unless a test changes it.
  // The first instruction of a pass never ends it for time, so every pass
  // makes progress, however short the limit.
  std::chrono::steady_clock::duration PassOutputLimit = PassOutputTime;
  // Records of the two reserved tracks that hold the boot image.
  static constexpr int BootRecordCount = 64;
  static constexpr int DriveCount = 4;

  // WorkFolder holds "DiskA.cpmdsk" (created blank when missing), the default
  // image files and the disks of the system manager. The serial ports deliver
  // their events through MainThread.
  explicit TMachine(const std::filesystem::path& WorkFolder, IMainThread* MainThread = GetMainThread());
  ~TMachine();
  TMachine(const TMachine&) = delete;
  TMachine& operator=(const TMachine&) = delete;

  // The work folder, ending in the path separator.
  const std::string& WorkFolder() const { return FWorkFolder; }

  // ---- Components --------------------------------------------------------------
  TCpuEmu& Cpu() { return *FCpu; }
  TDiskController& DiskController() { return *FDiskController; }
  TAdVT100Emulator& CrtEmulator() { return *FCrtEmulator; }
  TAdTerminalBuffer& CrtBuffer() { return FCrtEmulator->GetBuffer(); }
  const TAdTerminalBuffer& CrtBuffer() const { return FCrtEmulator->GetBuffer(); }
  // The text of screen row Row (1 = top) without trailing blanks, and the whole
  // screen as such rows joined by "\n" (trailing empty rows left out).
  std::string CrtLineText(int Row) const;
  std::string CrtScreenText() const;
  // Attaches the CRT emulator to a terminal control; null attaches the machine's
  // own host, which only routes typed keys into CrtKeyQueue.
  void SetCrtTerminal(TAdTerminalHost* Host);
  TSimpTermParser& TtyParser() { return *FTtyParser; }
  TComRx& ComRx1() { return *FComRx1; }
  TComRx& ComRx2() { return *FComRx2; }
  TTcpPortModule& TcpPort() { return *FTcpPort; }

  // ---- Ports -------------------------------------------------------------------
  // The processor's port events (bound at construction). Data keeps the value
  // the processor passed in where a port has nothing to give.
  void CpuPortRead(uint16_t Port, uint8_t& Data);
  void CpuPortWrite(uint16_t Port, uint8_t Data);

  // ---- Queues and keys -----------------------------------------------------------
  TByteFIFO CrtKeyQueue{32};
  TByteFIFO TtyKeyQueue{32};
  TByteFIFO Com1Queue{512};
  TByteFIFO Com2Queue{512};
  TByteFIFO SysCommandQueue{512};
  TByteFIFO SysResponseQueue{16384};
  uint8_t LastCrtKey = 0;
  uint8_t LastTtyKey = 0;
  // A key typed on the CRT page: DEL (127) goes in as BS (8). False when the
  // queue is full and the key was dropped.
  bool CrtKeyHook(uint8_t Key);
  // Bytes for the TTY key queue, as the TTY page's key handlers deliver them.
  bool PutTtyKey(uint8_t Key);
  // Puts as many bytes of Text as fit into the CRT key queue (through
  // CrtKeyHook); returns how many went in.
  size_t TypeCrtKeys(const std::string& Text);

  // ---- Run loop --------------------------------------------------------------------
  bool GetRunCpu() const { return FRunCpu; }
  // The "Run CPU" switch; refused (stays off) while ShutdownRequested is set.
  // Raises OnRunStateChanged when the state changes.
  void SetRunCpu(bool Value);
  uint16_t BreakPointAddress = 0;
  bool BreakPointEnabled = false;
  bool ShutdownRequested = false;
  // One pass of the idle loop: up to PassInstructionCount instructions, stopping
  // before the instruction at an enabled breakpoint ("Reached break point at "
  // + four hex digits, as an Information message). A pass in which the
  // processor is held on an output to a COM port whose peer holds the line back
  // ends there, after waiting at most HeldPortWait for the port to take a byte:
  // the window stays responsive, and the next pass runs the instruction again.
  // So does a pass that has run for PassOutputLimit when it writes to a COM
  // port or finds its line held back; the next pass goes on there.
  // Returns Done: true when the host should wait for the next event before
  // calling again (stopped, break point, shutting down). An error escaping a
  // pass stops the machine and is reported once as an Error message.
  bool RunPass();
  // "Execute Next": one instruction, breakpoint ignored.
  void Step();
  // The window's close query: stops the machine and refuses to start it again.
  void RequestShutdown();

  // ---- Images, drives and cold boot ---------------------------------------------
  // Texts of the CP/M and BIOS image edits; empty means the work folder's
  // "cpm22.hex" / "vantel.hex", a bare name is looked for in the work folder.
  std::string CpmImageFile;
  std::string BiosImageFile;
  // The disk file of each drive, kept while the controller has ejected it so
  // that a cold boot can remount it. Drive A starts as work folder + "DiskA.cpmdsk".
  std::array<std::string, DriveCount> DriveFileName;
  // The 64 KiB staging buffer of the hex and binary loads.
  std::vector<uint8_t> BootImage = std::vector<uint8_t>(65536, 0);
  bool Booted() const { return FBooted; }

  std::string ResolveImageName(const std::string& Name, const std::string& DefaultName) const;
  // Loads both images into BootImage (zeroed first).
  TBootImageSpan BuildBootImage();
  // Writes the current boot image onto the first records of a disk file. An
  // image that needs more than the 64 records of the reserved tracks is refused
  // before anything is written.
  void WriteBootImageToDisk(const std::string& FileName);
  // Puts a disk into a drive (0..3); drive A's disk first receives the boot
  // image. The disk is checked and opened before the drive lets go of its old
  // disk: on any failure the drive keeps what it had and the error is raised.
  // A disk mounted in another drive is refused before anything is written.
  void MountDrive(int Drive, const std::string& FileName);
  void UnmountDrive(int Drive);
  // "\"name\"" of the mounted disk (file name without folder and extension) or "(no disk)".
  std::string DriveCaption(int Drive) const;
  TDriveLamp DriveLamp(int Drive) const { return FLamps[static_cast<size_t>(Drive & 3)]; }
  // "Boot CPM System": stops the machine, clears the key and COM queues, ejects
  // all drives, loads the images, mounts A (required) and B to D (when their
  // files exist), resets the processor to the BIOS entry and starts the machine.
  void ColdBoot();
  // "Load Hex File": the file's data into memory, PC := its first address; the
  // run state is kept.
  void LoadHexFile(const std::string& FileName);
  // "Load Binnary File": the program at 0100h, padded with ^Z to whole records.
  // Returns the message "Program loaded, uses N blocks." (also sent as an
  // Information message).
  std::string LoadBinFile(const std::string& FileName);

  // ---- Device mapping, printer, reader and punch -------------------------------------
  // The IOBYTE that port 72 offers the BIOS at cold boot.
  uint8_t ColdBootIoByte = 1;
  // The four device lists of the Ports page, as an IOBYTE (CON bits 0-1, RDR 2-3,
  // PUN 4-5, LST 6-7).
  uint8_t DeviceMapping = 1;
  // A device list changed: after the first boot the mapping goes to address 3.
  void DeviceMappingsDisplayChanged();
  // "Set Defaults": ColdBootIoByte := DeviceMapping.
  void SetDefaultMappings();
  // "Defaults": DeviceMapping := ColdBootIoByte, and to address 3 after boot.
  void UseDefaultDeviceMappings();
  // The Ports page is shown: after boot, DeviceMapping := address 3.
  void ReadDeviceMappingFromMemory();
  // "CON=CRT, LST=TTY" and "RDR=TTY, PUN=TTY" for a mapping byte.
  static std::string ConLstMappingText(uint8_t IoByte);
  static std::string RdrPunMappingText(uint8_t IoByte);

  // The printer while printing is enabled (none: the port drops bytes). The
  // name of the host printer selected on the Printer page, empty when the host
  // has none (the system manager's PRINT status shows it).
  void SetPrinter(std::unique_ptr<IMachinePrinter> Printer);
  IMachinePrinter* Printer() { return FPrinter.get(); }
  std::string SelectedPrinterName;
  // Ends the printer's running job, or throws it away with Abort ("Eject" and
  // "Abort", the PRINT command). A printer that cannot end it (the host's
  // print system refused the job) is switched off and the failure reported, as
  // a failure while printing is; the reason is returned then, else "".
  std::string EndPrintJob(bool Abort);

  std::string InputFileName;
  TReaderEndOfStream ReaderEndOfStream = TReaderEndOfStream::ReportNothing;
  uint8_t ReaderSwitchConsoleTo = 1;  // CON list index for SwitchConsole (CRT)
  // "Enable Input File": opens or closes the reader file. A file that cannot be
  // opened gives the Warning "Unable to open the input file \"name\"." and
  // leaves the reader off. Returns whether the reader is open afterwards.
  bool SetInputFileEnabled(bool Value);
  bool InputFileEnabled() const { return FReaderFile >= 0; }

  std::string OutputFileName;
  bool AppendOutputFile = false;
  // "Enable Output File": opens (appending or emptying) or closes the punch
  // file; failure: Warning "Unable to open the output file \"name\"."
  bool SetOutputFileEnabled(bool Value);
  bool OutputFileEnabled() const { return FPunchFile >= 0; }

  // ---- Serial ports --------------------------------------------------------------------
  TComPortSettings Com1Settings;
  TComPortSettings Com2Settings{false, 2, -1, 3, false, true, {}};
  bool UseTcpAsCom1 = false;
  std::string Com1TcpPort = "9999";
  bool DropNextCom1Block = false;
  bool DropNextCom2Block = false;
  // (Re)open a port from its settings. Failure: Enabled := false, Warning
  // "Unable to activate Com Port N, " + the reason, OnComSettingsChanged.
  void ActivateCom1();
  void ActivateCom2();
  uint8_t GetComConfig(int Port) const;      // port 48 (Port 1) / 49 (Port 2)
  void SetComConfig(int Port, uint8_t Value);  // sets the fields and re-activates

  // ---- System manager ------------------------------------------------------------------
  uint8_t DiskChangedFlag = 0;
  // Runs the text queued in SysCommandQueue and queues the reply.
  void RunSystemCommand();
  // The clock of DATE, TIME and NOW; unset: the host's.
  std::function<std::chrono::system_clock::time_point()> Clock;

  // ---- Events ----------------------------------------------------------------------------
  // A message box: breakpoint reached, device failure, load result.
  std::function<void(TMachineMessageKind Kind, const std::string& Text)> OnMessage;
  // The run switch changed (the window mirrors it in "Run CPU").
  std::function<void(bool Running)> OnRunStateChanged;
  // Refresh the CPU page or registers dialog (once per pass and after boot, load, step).
  std::function<void()> OnRefreshCpu;
  // Update the enabled and checked states of the actions (after each pass).
  std::function<void()> OnUpdateActions;
  // A pass saw ShutdownRequested: close the main window.
  std::function<void()> OnCloseRequest;
  // A drive's disk or lamp changed (caption: DriveCaption, lamp: DriveLamp).
  std::function<void(int Drive)> OnDriveChanged;
  // The machine changed DeviceMapping (reader SwitchConsole, ReadDeviceMappingFromMemory).
  std::function<void()> OnDeviceMappingChanged;
  // The machine changed a port's settings (port write, failed activation, failed write).
  std::function<void(int Port)> OnComSettingsChanged;
  // The reader or punch file was opened or closed by the machine itself.
  std::function<void()> OnPortFilesChanged;
  // The TTY parser's two callbacks, for the TTY page.
  std::function<void(uint8_t Character)> OnTtyWriteChar;
  std::function<void(uint8_t Code, int32_t Arg1, int32_t Arg2)> OnTtyControlCode;

 private:
  // Disk controller events.
  void DiskMemoryRead(uint16_t Address, uint8_t* Buffer, int Count);
  void DiskMemoryWrite(uint16_t Address, const uint8_t* Buffer, int Count);
  void SetLamp(int Drive, TDriveLamp Lamp);

  // Devices.
  void ConsolePortRead(uint8_t Port, uint8_t& Data);
  void ConsolePortWrite(uint8_t Port, uint8_t Data);
  void ComPortRead(uint8_t Port, uint8_t& Data);
  void ComPortWrite(uint8_t Port, uint8_t Data);
  void DevicePortRead(uint8_t Port, uint8_t& Data);
  void DevicePortWrite(uint8_t Port, uint8_t Data);
  void SystemPortRead(uint8_t Port, uint8_t& Data);
  void SystemPortWrite(uint8_t Port, uint8_t Data);
  void ReaderRefill();
  void CloseReader();
  void ClosePunch();
  void WriteLiveIoByte(uint8_t Value);
  void DeviceFailed(const std::string& Text);
  void PrinterFailed(const std::string& Reason);

  // Serial ports.
  void InitComPorts();
  void ActivateCom(int Port);
  // Tells the port how much of its queue is free, so that its receive thread
  // takes no more from the host than the queue holds (after every change to the queue).
  void ComQueueChanged(int Port);
  void ComByteTaken(int Port);
  void ComDataBlock(int Port, const uint8_t* Data, uint32_t Count);
  void ComModemSignal(int Port, uint8_t Signals);
  void ComBreak(int Port);
  void ComPortFailed(int Port, const std::string& Reason);
  // Whether the peer of data port 21 or 23 holds the line back: a byte written
  // now would have to wait (status bit 4 clear).
  bool ComLineHeldBack(uint8_t DataPort);
  // Holds the processor on the instruction that reaches the COM port of
  // DataPort (its data or status port).
  void HoldInstructionOn(uint8_t DataPort);
  // The running pass has run for PassOutputLimit, and is past its first instruction.
  bool PassRanLong() const;
  // Waits up to HeldPortWait for the port the processor is held on to take a byte.
  void AwaitHeldPort();

  // System manager.
  std::string SysMountCommand(const std::string& Argument);
  std::string SysUnmountCommand(const std::string& Argument);
  std::string SysPrintCommand(const std::string& Argument);
  std::string SysMountDisk(char Letter, const std::string& Name);
  std::string SysListDisks(const std::string& Search);
  std::string SysFindMountedDrive(const std::string& FileName) const;
  std::string DriveLines() const;
  std::chrono::system_clock::time_point Now() const;

  // Boot.
  void CheckBootImageFits(const TBootImageSpan& Span) const;
  // The boot image for the disk FileName, once the disk is known to exist and
  // the image to fit its reserved tracks.
  TBootImageSpan BootImageFor(const std::string& FileName);
  // The records WriteBootImage writes from the start of a disk: the boot
  // image from the CP/M start to the BIOS end, in whole records.
  std::vector<uint8_t> BootRecords(const TBootImageSpan& Span) const;
  // The boot images that drive A takes in a file that holds one alone (what
  // earlier versions made of an empty file there): BootRecords(Span), then the
  // same CP/M image with the BIOS the first version wrote.
  std::vector<std::vector<uint8_t>> BootTracksAlone(const TBootImageSpan& Span) const;
  void WriteBootImage(TDiskDrive& Drive, const TBootImageSpan& Span);
  void Message(TMachineMessageKind Kind, const std::string& Text);

  std::string FWorkFolder;
  std::unique_ptr<TCpuEmu> FCpu;
  std::unique_ptr<TDiskController> FDiskController;
  std::unique_ptr<TMachineCrtHost> FCrtHost;
  std::unique_ptr<TAdVT100Emulator> FCrtEmulator;
  std::unique_ptr<TSimpTermParser> FTtyParser;
  std::unique_ptr<TComRx> FComRx1;
  std::unique_ptr<TComRx> FComRx2;
  std::unique_ptr<TTcpPortModule> FTcpPort;
  std::unique_ptr<IMachinePrinter> FPrinter;
  int FReaderFile = -1;  // file descriptors; -1 while closed
  int32_t FReaderIndex = 0;
  int32_t FReaderCount = 0;
  std::array<uint8_t, 512> FReaderBuffer{};
  int FPunchFile = -1;
  std::array<TDriveLamp, DriveCount> FLamps{TDriveLamp::Empty, TDriveLamp::Empty, TDriveLamp::Empty, TDriveLamp::Empty};
  bool FRunCpu = false;
  bool FBooted = false;
  uint8_t FHeldDataPort = 0;  // the data port of the COM port the processor was last held on
  // When the running pass began, and the processor's instruction count then;
  // unset outside a pass ("Execute Next").
  std::optional<std::chrono::steady_clock::time_point> FPassStart;
  uint64_t FPassStartCount = 0;
};
