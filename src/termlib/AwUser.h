// The serial dispatcher: the device-independent core of the library's serial
// stack. One dispatcher serves one open port. It owns the receive ring and the
// transmit ring, the line settings, the modem and line status, the triggers
// that turn received data, status changes and time into event messages, the
// lists of handlers that receive those messages, a byte trace and a dispatch
// log. A device layer (AwWin32.h) fills in the host calls; three threads move
// the data:
//   - TComThread waits in the device layer for the device to become readable
//     or its modem lines to change, and hands each such event to
//   - TDispThread, which reads the device into the receive ring, runs the
//     triggers and delivers their messages to the handlers;
//   - TOutThread drains the transmit ring into the device.
//
// Using a dispatcher (what the COM port component does):
//   1. Create a device layer: TApdWin32Dispatcher(Owner) for a port by name
//      ("COM3", "\\.\COM3" or a device path; COM numbers go through
//      ComPortNames.h), or TApdTAPI32Dispatcher(Owner, Descriptor) for a
//      terminal that is open already. Set DeviceName ("COM3") for the log.
//   2. OpenPort(Name, Baud, Options, OutputSize, InputSize, StopBits,
//      DataBits, Parity) returns 0 or a negative library code; the threads run
//      from then on. Errors of the host are its errno values, mapped to
//      library codes by ApdErrorFromErrno; LastSystemError keeps the errno.
//   3. Register a receiver: RegisterWindowHandler (a TApdMessageWindow whose
//      WindowProc runs on the main thread, as a window procedure would), or
//      RegisterEventHandler (a function, run on the dispatch thread, or on the
//      main thread when Synchronized). A lone window handler gets messages
//      only after UpdateHandlerFlags(1) (forced dispatch).
//   4. Arm triggers: SetLengthTrigger, AddDataTrigger, AddTimerTrigger with
//      SetTimerTrigger, AddStatusTrigger with SetStatusTrigger. Messages:
//      ApwTriggerAvail (Param = bytes available), ApwTriggerData (Param =
//      trigger handle, low word of LParam = pattern length), ApwTriggerTimer
//      (Param = handle), ApwTriggerStatus (Param = handle, whose low three
//      bits are the status kind; low word of LParam = the output count for
//      the output-buffer kinds). The high word of LParam is always Handle().
//      Data available comes once for each arrival that leaves at least the
//      length trigger's count in the ring; bytes left unread are offered again
//      with the next arrival, and bytes that came while no handler was there
//      are offered within 50 ms of one being registered (or dispatch forced).
//      A data match comes at the pattern's last byte,
//      after a data-available message for the bytes before the pattern.
//      Every match comes once, also when a reader (a handler that took all
//      it saw, another thread) had the bytes before they were looked at;
//      bytes thrown away by FlushInput are not looked at.
//      OpenPort clears the triggers; SaveTriggers and RestoreTriggers carry
//      them across a close and a reopen.
//   5. Inside an ApwTriggerAvail or ApwTriggerData message a handler peeks:
//      GetBlock copies without consuming, and when every handler has run the
//      ring gives up as many bytes as the handler that took most (meanwhile
//      other threads see nothing to read). Elsewhere GetBlock consumes.
//      PutBlock and PutChar queue output. Handlers should not throw; what a
//      handler on the dispatch thread throws is dropped there.
//   6. ClosePort ends the threads and returns once they are gone; called from
//      inside a handler it only marks the close (ClosePending) and the
//      dispatch thread finishes it when the handler returns; wait until
//      ActiveThreads() is 0 (the COM port component does this on its
//      ApwClosePending message) before destroying or reopening.
//   7. Destroy the dispatcher on a thread that is not inside one of its
//      handlers. Every class derived from a device layer calls Shutdown() in
//      its destructor, so that no thread runs while its class is torn down.
//
// Locks, outermost first (a thread never takes an earlier one while it holds a
// later one): line settings, data (status, triggers, handlers), device reads,
// receive ring, device writes, transmit ring, device descriptor, trace and log,
// threads.
// Handlers are called with no lock held, so they may call anything here.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MainThread.h"
#include "OoMisc.h"
#include "WakeEvent.h"

class TApdBaseDispatcher;

// Every dispatcher while it exists; its index here is its handle. Take
// DispatcherListLock around every look-up, and look up on the thread that
// destroys dispatchers (the main thread), so the one found stays alive.
extern std::vector<TApdBaseDispatcher*> DispatcherList;
extern std::mutex DispatcherListLock;
// The dispatcher of a handle, or nullptr; call with DispatcherListLock held.
TApdBaseDispatcher* DispatcherOfHandle(int32_t Handle);

// The library code of a host error (an errno value): -2 no such device, -3 bad
// path, -4 too many open files, -5 access denied or in use, -6 bad descriptor,
// -8 out of memory, -3002 not supported by the device, -162 any other failure
// of the device; 0 for 0.
int32_t ApdErrorFromErrno(int Error);

// Event messages that the dispatcher sends to its handlers.
inline constexpr uint32_t ApwTriggerAvail = 0x7E01;
inline constexpr uint32_t ApwTriggerData = 0x7E02;
inline constexpr uint32_t ApwTriggerTimer = 0x7E03;
inline constexpr uint32_t ApwTriggerStatus = 0x7E04;
// Messages of the COM port component to its users and its own port window.
inline constexpr uint32_t ApwPortOpen = 0x7E08;
inline constexpr uint32_t ApwPortClose = 0x7E09;
inline constexpr uint32_t ApwClosePending = 0x7E0A;

// Line error bits (as the Windows communication error values).
inline constexpr uint32_t LineErrorRxOverrun = 1;
inline constexpr uint32_t LineErrorOverrun = 2;
inline constexpr uint32_t LineErrorParity = 4;
inline constexpr uint32_t LineErrorFraming = 8;
inline constexpr uint32_t LineErrorBreak = 16;
// TakeLineError results.
inline constexpr int32_t LeNoError = 0, LeBuffer = 1, LeOverrun = 2, LeParity = 3, LeFraming = 4, LeBreak = 9;

// Modem status bits, 8250 style: the lines in the high nibble, deltas below.
inline constexpr uint8_t ModemDeltaCts = 0x01;
inline constexpr uint8_t ModemDeltaDsr = 0x02;
inline constexpr uint8_t ModemTrailingEdgeRi = 0x04;
inline constexpr uint8_t ModemDeltaDcd = 0x08;
inline constexpr uint8_t ModemCts = 0x10;
inline constexpr uint8_t ModemDsr = 0x20;
inline constexpr uint8_t ModemRi = 0x40;
inline constexpr uint8_t ModemDcd = 0x80;

// Communication event bits that the device layer's WaitEvent reports.
inline constexpr uint32_t EvRxChar = 0x0001;
inline constexpr uint32_t EvCts = 0x0008;
inline constexpr uint32_t EvDsr = 0x0010;
inline constexpr uint32_t EvRlsd = 0x0020;
inline constexpr uint32_t EvBreak = 0x0040;
inline constexpr uint32_t EvErr = 0x0080;
inline constexpr uint32_t EvRing = 0x0100;
inline constexpr uint32_t EvRingTe = 0x2000;  // the trailing edge of a ring

// EscapeFunction codes.
inline constexpr int32_t EscSetXoff = 1, EscSetXon = 2, EscSetRts = 3, EscClrRts = 4, EscSetDtr = 5, EscClrDtr = 6,
                         EscResetDev = 7, EscSetBreak = 8, EscClrBreak = 9, EscGetBaseIrq = 10;

// OpenPort options.
inline constexpr uint32_t OpenDtrOn = 1;
inline constexpr uint32_t OpenRtsOn = 2;
inline constexpr uint32_t OpenDtrFlowOwned = 16;  // DTR belongs to hardware flow control
inline constexpr uint32_t OpenRtsFlowOwned = 32;  // RTS belongs to hardware flow control
// SetHardwareFlow options (GetFlowOptions reports them the same way).
inline constexpr uint32_t HfUseDtr = 1, HfUseRts = 2, HfRequireDsr = 4, HfRequireCts = 8;
// SetSoftwareFlow options.
inline constexpr uint32_t SfTransmitFlow = 1, SfReceiveFlow = 2;

// Status trigger kinds; a status trigger's handle carries its kind in its low three bits.
inline constexpr uint32_t StatusNone = 0, StatusModem = 1, StatusLine = 2, StatusOutBuffFree = 3,
                          StatusOutBuffUsed = 4, StatusOutSent = 5;

// The receive ring's size.
inline constexpr uint32_t DispatchBufferSize = 8192;
// The longest pattern of a data trigger (the matcher keeps one counter per pattern byte).
inline constexpr uint32_t MaxTriggerData = 24;
// The most triggers (of all kinds together) a dispatcher keeps.
inline constexpr uint32_t MaxTriggers = 256;
// The most trace entries StartTrace accepts.
inline constexpr uint32_t MaxTraceEntries = 4000000;

// Dispatch log entry kinds and subkinds that the dispatcher writes.
inline constexpr uint8_t DlDispatch = 1, DlTrigger = 2, DlRegister = 7, DlDeregister = 8, DlTriggerSet = 9;
inline constexpr uint8_t DlsReadCom = 1, DlsWriteCom = 2, DlsAvail = 5, DlsTimer = 6, DlsData = 7, DlsStatus = 8,
                         DlsLength = 16, DlsWindow = 17, DlsProc = 18, DlsEvent = 19;

// The line settings record the dispatcher keeps and the device layer applies
// (shaped like the Windows device control block).
inline constexpr uint8_t DtrControlDisable = 0, DtrControlEnable = 1, DtrControlHandshake = 2;
inline constexpr uint8_t RtsControlDisable = 0, RtsControlEnable = 1, RtsControlHandshake = 2, RtsControlToggle = 3;
inline constexpr uint8_t NoParity = 0, OddParity = 1, EvenParity = 2, MarkParity = 3, SpaceParity = 4;
inline constexpr uint8_t OneStopBit = 0, One5StopBits = 1, TwoStopBits = 2;

struct TApdDCB {
  uint32_t BaudRate = 9600;
  bool Binary = true;
  bool ParityCheck = false;
  bool OutxCtsFlow = false;  // send only while CTS is up
  bool OutxDsrFlow = false;  // send only while DSR is up
  uint8_t DtrControl = DtrControlEnable;
  bool DsrSensitivity = false;
  bool TxContinueOnXoff = true;
  bool OutX = false;  // obey XOFF and XON when sending
  bool InX = false;   // send XOFF and XON as the input fills and empties
  bool ErrorCharOn = false;  // replace bytes received with a parity error by ErrorChar
  bool NullStrip = false;    // drop received null bytes
  uint8_t RtsControl = RtsControlEnable;
  bool AbortOnError = false;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = NoParity;
  uint8_t StopBits = OneStopBit;
  uint8_t XonChar = 17;
  uint8_t XoffChar = 19;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;
  bool operator==(const TApdDCB&) const = default;
};

// The device's status as the device layer reports it.
struct TApdComStat {
  uint32_t Errors = 0;    // line error bits seen since the last report
  uint32_t InQueue = 0;   // bytes waiting to be read
  uint32_t OutQueue = 0;  // bytes held for sending (the transmit ring)
};

// A message handler: (message, parameter, long parameter).
using TApdEventProc = std::function<void(uint32_t Msg, uint32_t Param, uint32_t LParam)>;

// Stands in for a window that receives the dispatcher's messages: WindowProc
// runs on the main thread while the dispatch thread waits (a message that the
// main thread has not taken within 3 seconds is dropped, never run late).
class TApdMessageWindow {
 public:
  virtual ~TApdMessageWindow() = default;
  virtual void WindowProc(uint32_t Msg, uint32_t Param, uint32_t LParam) = 0;
};

// Trigger records.
struct TTimerTrigger {
  int32_t Handle = 0;
  TickTimer Timer;
  bool Active = false;
};

struct TDataTrigger {
  int32_t Handle = 0;
  uint32_t Length = 0;
  std::array<uint32_t, MaxTriggerData> Counters{};  // partial matches, one per pattern byte
  bool Matched = false;
  bool IgnoreCase = false;
  bool AnyPartial = false;  // some counter is not 0
  std::array<uint8_t, MaxTriggerData> Pattern{};
};

struct TStatusTrigger {
  int32_t Handle = 0;
  uint32_t Kind = StatusNone;
  // Modem: low byte the reference state, high byte the lines to watch. Line:
  // the error bits to watch (the bits found, once it fired). Output kinds:
  // the byte threshold.
  uint16_t Value = 0;
  bool Armed = false;
  bool Fired = false;
};

// Triggers carried across a close and a reopen.
struct TTriggerSave {
  uint32_t LengthTrigger = 0;
  std::vector<TTimerTrigger> TimerTriggers;
  std::vector<TDataTrigger> DataTriggers;
  std::vector<TStatusTrigger> StatusTriggers;
};

// The threads of a dispatcher. Each starts when it is created; the dispatcher
// owns it and joins it once it has ended.
class TApdDispatcherThread {
 public:
  enum TRole : uint8_t { Communications, Dispatch, Output };
  TApdDispatcherThread(TApdBaseDispatcher& Dispatcher, TRole Role) : FDispatcher(Dispatcher), FRole(Role) {}
  TApdDispatcherThread(const TApdDispatcherThread&) = delete;
  TApdDispatcherThread& operator=(const TApdDispatcherThread&) = delete;
  virtual ~TApdDispatcherThread();

  TRole Role() const { return FRole; }
  bool IsCurrentThread() const { return FThread.get_id() == std::this_thread::get_id(); }
  std::thread::id Id() const { return FThread.get_id(); }
  // The host's id of the thread (for its priority); 0 until it runs.
  int SystemId() const { return FSystemId.load(); }
  // Joins, unless called on the thread itself.
  void Join();
  // Runs Method(Msg, Param, LParam) on the main thread and waits for it; false
  // when it did not run (the dispatcher stopped first).
  bool SynchronizedCall(uint32_t Msg, uint32_t Param, uint32_t LParam, const TApdEventProc& Method);

 protected:
  // Derived constructors start the thread last, once the object is complete,
  // and derived destructors join it first, while it still is.
  void Start();
  virtual void Execute() = 0;
  TApdBaseDispatcher& FDispatcher;

 private:
  const TRole FRole;
  std::thread FThread;
  std::atomic<int> FSystemId{0};
};

class TComThread final : public TApdDispatcherThread {
 public:
  explicit TComThread(TApdBaseDispatcher& Dispatcher) : TApdDispatcherThread(Dispatcher, Communications) { Start(); }
  ~TComThread() override { Join(); }

 protected:
  void Execute() override;
};

class TDispThread final : public TApdDispatcherThread {
 public:
  explicit TDispThread(TApdBaseDispatcher& Dispatcher) : TApdDispatcherThread(Dispatcher, Dispatch) { Start(); }
  ~TDispThread() override { Join(); }

 protected:
  void Execute() override;
};

class TOutThread final : public TApdDispatcherThread {
 public:
  explicit TOutThread(TApdBaseDispatcher& Dispatcher) : TApdDispatcherThread(Dispatcher, Output) { Start(); }
  ~TOutThread() override { Join(); }

 protected:
  void Execute() override;
};

class TApdBaseDispatcher {
 public:
  // MainThread receives the synchronised handler calls and the window
  // messages; without one they run on the dispatch thread.
  explicit TApdBaseDispatcher(TApdBaseComponent* Owner, IMainThread* MainThread = GetMainThread());
  TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
  TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;
  virtual ~TApdBaseDispatcher();

  TApdBaseComponent* Owner() const { return FOwner; }
  int32_t Handle() const { return FHandle; }
  // The open device's descriptor, negative while closed.
  int32_t ComHandle() const { return FComHandle.load(); }
  bool IsOpen() const { return FComHandle.load() >= 0; }
  std::string DeviceName() const;
  void SetDeviceName(const std::string& Name);
  // The errno of the host call that failed last.
  int LastSystemError() const { return FLastSystemError.load(); }

  // ---- Opening and closing ----
  // Opens and configures the device and starts the threads: 0 or a negative
  // library code (-2008 when open already, or when a close that a handler
  // asked for is still under way and this call comes from a handler).
  int32_t OpenPort(const std::string& Name, uint32_t Baud, uint32_t Options, uint32_t OutSize, uint32_t InSize,
                   uint8_t StopBits, uint8_t DataBits, uint8_t Parity);
  // See the top of this file.
  void ClosePort();
  bool ClosePending() const { return FClosePending.load(); }
  bool InDispatch() const { return FInDispatch.load(); }
  bool ThreadsStarted() const { return FThreadsStarted.load(); }
  int32_t ActiveThreads() const { return FActiveThreads.load(); }
  // Waits until every thread has ended and joins it; false when called from
  // a handler or a thread of this dispatcher (which cannot wait for itself).
  bool WaitForThreads();

  // ---- Line settings ----
  // Baud 0 keeps the rate (65279 and 65296-65319 are the old rate codes);
  // Parity 5, StopBits 3 and DataBits 9 keep theirs. 0 or a negative code.
  int32_t SetLine(uint32_t Baud, uint8_t Parity, uint8_t StopBits, uint8_t DataBits);
  int32_t GetLine(uint32_t& Baud, uint8_t& Parity, uint8_t& DataBits, uint8_t& StopBits);
  // 0 done, 1 the line belongs to flow control, or a negative code (a device
  // without modem lines gives -3002).
  int32_t SetDtr(bool On);
  int32_t SetRts(bool On);
  // 0, or a negative code with the lines' owners and the device's settings as they were.
  int32_t SetHardwareFlow(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options);
  int32_t SetSoftwareFlow(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options);
  int32_t ClearSoftwareFlow();
  int32_t SetFlowChars(uint8_t Xon, uint8_t Xoff);
  int32_t GetFlowOptions(uint32_t& HardwareOptions, uint32_t& SoftwareOptions, uint8_t& Xoff, uint8_t& Xon);
  // RS-485: RTS is up only while the dispatcher transmits. The device layer
  // keys it where the host's driver can (line settings with RtsControlToggle);
  // where it cannot, the output thread raises RTS before each write and drops
  // it once the device has sent everything. 0, or a negative code with nothing
  // changed: -3010 where the device has no RTS line to key. Turned off, RTS
  // takes RtsOn, or goes back to hardware flow control, which gives it RtsOn
  // when it lets go of it.
  int32_t SetRs485Mode(bool On, bool RtsOn = false);
  bool Rs485Mode() const;
  uint32_t CurrentBaud() const;
  // The option flags word that the port component keeps here.
  uint32_t OptionFlags() const { return FOptionFlags.load(); }
  void SetOptionFlag(uint32_t Bits) { FOptionFlags.fetch_or(Bits); }
  void ClearOptionFlag(uint32_t Bits) { FOptionFlags.fetch_and(~Bits); }

  // ---- Status ----
  // The modem lines with their deltas; the deltas are cleared.
  uint8_t GetModemStatus() { return ReadModemStatus(0xF0); }
  uint8_t ReadModemStatus(uint8_t KeepMask);
  // 0 with the lines, or -3002 where the device has no modem lines.
  int32_t ReadModemLines(uint8_t& Status);
  void RefreshLineErrors();
  uint32_t LineErrors() const;
  int32_t TakeLineError();
  bool TakeBreak();
  // Sends a BREAK of the host's standard length.
  int32_t SendBreak();

  // ---- Receiving ----
  uint32_t InputUsed();
  // Copies Count bytes (see the top of this file): Count, or -3007 when fewer
  // are held, -2007 when closed.
  int32_t GetBlock(uint8_t* Destination, uint32_t Count);
  void FlushInput();

  // ---- Sending ----
  // 0, or -3006 when the transmit ring lacks room, -3004 when the device
  // refused earlier output (kept in the ring; FlushOutput drops it, and each
  // refused call asks the output thread to try it again), -2007 when closed.
  int32_t PutBlock(const uint8_t* Buffer, uint32_t Count);
  int32_t PutChar(uint8_t Value) { return PutBlock(&Value, 1); }
  uint32_t OutputUsed();
  uint32_t OutputFree();
  void FlushOutput();
  // The errno of the write that the device refused, 0 while output flows.
  int OutputError() const;

  // ---- Handlers ----
  void RegisterWindowHandler(TApdMessageWindow* Window);
  void DeregisterWindowHandler(TApdMessageWindow* Window);
  // Returns the handler's id (for DeregisterEventHandler).
  int32_t RegisterEventHandler(TApdEventProc Handler, bool Synchronized = false);
  void DeregisterEventHandler(int32_t Id);
  int32_t RegisterProcHandler(TApdEventProc Handler);
  void DeregisterProcHandler(int32_t Id);
  // Mode 0 recomputes, 1 forces dispatch to a lone window handler, 2 stops forcing.
  virtual void UpdateHandlerFlags(int32_t Mode);

  // ---- Triggers ----
  void SetLengthTrigger(uint32_t Length);
  uint32_t LengthTrigger() const;
  // A handle, or -5001 (no more triggers), -5002 (pattern too long), -1002 (empty).
  int32_t AddDataTrigger(const std::string& Data, bool IgnoreCase);
  int32_t AddTimerTrigger();
  int32_t AddStatusTrigger(uint32_t Kind);
  // 0, or -5003 for a handle that names no trigger of that kind.
  int32_t RemoveTrigger(int32_t Handle);
  int32_t SetTimerTrigger(int32_t Handle, int32_t Ticks, bool Activate);
  int32_t SetStatusTrigger(int32_t Handle, uint32_t Value, bool Activate);
  void ClearTriggers();
  void ResetStatusTriggers();
  void SaveTriggers(TTriggerSave& Save);
  void RestoreTriggers(const TTriggerSave& Save);

  // ---- Trace (AwUserLog.cpp) ----
  int32_t StartTrace(uint32_t Entries);
  void StopTrace();
  void PauseTrace();
  void ResumeTrace();
  void ClearTrace();
  bool Tracing() const { return FTraceOn.load(); }
  void AddTraceEntry(char Kind, uint8_t Value);
  // 0 (also when there is nothing to write) or the code of a file failure.
  int32_t DumpTrace(const std::string& FileName, bool Append, bool InHex, bool HexUnprintable);

  // ---- Dispatch log (AwUserLog.cpp) ----
  int32_t StartDispatchLog(uint32_t Size);
  void StopDispatchLog();
  void PauseDispatchLog();
  void ResumeDispatchLog();
  void ClearDispatchLog();
  bool DispatchLogging() const { return FLogOn.load(); }
  // False when not logging or when the entry does not fit the ring at all.
  bool AddDispatchEntry(uint8_t Kind, uint8_t SubKind, uint32_t DataLength, const uint8_t* Data, uint32_t Value);
  int32_t DumpDispatchLog(const std::string& FileName, bool Append, bool InHex, bool HexUnprintable);

  // ---- Operations of the device layer ----
  virtual int32_t EscapeFunction(int32_t Code) = 0;
  virtual int32_t PurgeQueue(int32_t Queue) = 0;  // 0 output, 1 input
  virtual void ReleaseBuffers();
  virtual void StartDispatcher() = 0;
  virtual void StopDispatcher() = 0;
  // The descriptor, or -1 (LastSystemError tells why), -8, -2007.
  virtual int32_t OpenDevice(const std::string& Name, uint32_t InSize, uint32_t OutSize) = 0;
  virtual int32_t CloseDevice() = 0;
  virtual int32_t YieldSlice() = 0;
  virtual void SetThreadBoost(uint8_t Boost);

 protected:
  virtual uint32_t ReadStatus(TApdComStat& Status) = 0;
  virtual int32_t ReadFailed() = 0;
  // Both with the line-settings lock held.
  virtual int32_t GetLineSettings(TApdDCB& DCB) = 0;
  virtual int32_t SetLineSettings(const TApdDCB& DCB) = 0;
  virtual int32_t ReadDevice(uint8_t* Buffer, uint32_t Count) = 0;
  // Called with the transmit ring's lock held and room checked.
  virtual int32_t QueueOutput(const uint8_t* Buffer, uint32_t Count) = 0;
  // Waits for something to happen on the device or for WakeEventWait; true
  // with the event bits (0 when only woken), false when the device failed.
  virtual bool WaitEvent(uint32_t& Mask) = 0;
  virtual bool SetupBuffers(uint32_t InSize, uint32_t OutSize) = 0;
  // What the output thread uses: hand bytes to the device (count, 0 when it
  // takes none now, -errno), and wait until it takes more or output is woken.
  virtual int32_t WriteDevice(const uint8_t* Buffer, uint32_t Count) = 0;
  virtual void WaitWritable() = 0;
  // The modem lines in the high nibble: 0, or -3002 without modem lines.
  virtual int32_t ReadSystemModemStatus(uint8_t& Status) = 0;
  virtual int32_t SendBreakSignal() = 0;

  // For the device layer.
  void SetLastSystemError(int Error) { FLastSystemError.store(Error); }
  void SetComHandle(int32_t Handle) { FComHandle.store(Handle); }
  bool KillThreads() const { return FKillThreads.load(); }
  TWakeEvent* ComWake() const { return FComWake.get(); }
  TWakeEvent* OutWake() const { return FOutWake.get(); }
  // Whether the receive ring can take more; when not, the next reader that
  // makes room wakes WaitEvent.
  bool ReceiveRingHasRoom();
  // Copies into the transmit ring at its head; the transmit lock is held.
  void CopyIntoTransmitRing(const uint8_t* Buffer, uint32_t Count);
  // Whether the output thread keys RTS around each transmission (RS-485 where
  // the host's driver cannot); set by SetLineSettings.
  void SetRtsKeyedByOutput(bool On) { FRtsKeyedByOutput.store(On); }
  // Waits until the device has sent all it was handed (the output thread
  // drops a keyed RTS after it): true, or false when the device still holds
  // bytes back (the output thread asks again shortly).
  virtual bool OutputSentByDevice() { return true; }
  // Called by FlushInput once the flushed bytes are gone and the matcher has
  // forgotten them, with no lock held; a place for a device layer (or a
  // test's) to take note.
  virtual void InputFlushed() {}
  // Empties the transmit ring (no write is under way meanwhile) and clears a
  // refused write.
  void EmptyTransmitRing();
  uint32_t TransmitRingUsed();
  // Thread control for StartDispatcher, StopDispatcher and CloseDevice.
  void StartThreads();
  void StopThreads();
  // Ends the threads that use the device (communications and output) and
  // waits until they are gone.
  void StopDeviceThreads();
  // Stops everything and leaves nothing running; the most derived class's
  // destructor calls it.
  void Shutdown();

 private:
  friend class TApdDispatcherThread;
  friend class TComThread;
  friend class TDispThread;
  friend class TOutThread;

  struct THandlerRecord {
    enum TKind : uint8_t { KindWindow, KindProc, KindEvent } Kind = KindEvent;
    int32_t Id = 0;
    TApdMessageWindow* Window = nullptr;
    TApdEventProc Proc;
    bool Synchronized = false;
    bool Removed = false;
  };
  using THandlerPtr = std::shared_ptr<THandlerRecord>;
  struct TMainCalls;
  struct TPendingEvent {
    uint32_t Msg, Param, Data;
  };

  // Opening.
  int32_t SetLineOnce(uint32_t Baud, uint8_t Parity, uint8_t StopBits, uint8_t DataBits, bool Force);
  int32_t WriteSettings(TApdDCB& DCB);
  void WaitOutputDrained(const TApdDCB& DCB);
  bool CallerIsHandlerOrThread() const;
  void JoinThreadObjects();
  void WakeDispatchThread();
  // Status.
  void UpdateModemDeltas();
  uint8_t ReadModemStatusLocked(uint8_t KeepMask);
  void AddLineErrors(uint32_t Bits);
  uint32_t TransmitUsedLocked() const { return static_cast<uint32_t>(FTxHead - FTxTail); }
  // Receiving.
  int32_t CopyOut(uint8_t* Destination, uint32_t Offset, uint64_t& NewTail, uint32_t Count);
  void ReadIntoRing();
  void ReceiveRoomMade();
  // Forgets partial matches, and the bytes up to FlushedUpTo (a receive
  // position); with the data lock held.
  void ResetDataTriggerCountersLocked(uint64_t FlushedUpTo);
  // Threads.
  void ThreadGone(TApdDispatcherThread* Thread);
  void SignalHandshake();
  bool WaitHandshake(int TimeoutMs);
  void PostCommEvent(uint32_t Mask);
  void WaitEventDone();
  bool WaitCommEvent(uint32_t& Mask);
  void ProcessCommEvent(uint32_t Mask, bool FromComThread);
  void CheckTriggers();
  void OutputLoop();
  // Sets each running thread's priority from the boost (and RS-485 mode).
  void ApplyThreadPriorities();
  void ApplyThreadPriority(TApdDispatcherThread& Thread, bool OutputThread);
  // Triggers and delivery (AwUserTriggers.cpp).
  int32_t NewTriggerHandle(uint32_t Kind);
  bool StatusTriggerCheck();
  bool TimerTriggerCheck();
  bool DataTriggerCheck();
  static bool MatchDataTrigger(TDataTrigger& Trigger, uint8_t Value);
  bool SendEvent(uint32_t Msg, uint32_t Param, uint32_t Data);
  void Deliver(const THandlerPtr& Record, uint32_t Msg, uint32_t Param, uint32_t LParam);
  bool CallOnMainThread(std::function<void()> Work, int TimeoutMs);
  void CancelMainThreadCalls();
  void UpdateHandlerFlagsLocked(int32_t Mode);
  // Whether a delivery now would reach any handler; with the data lock held.
  bool AnyReceiverLocked() const;
  void DeregisterHandler(THandlerRecord::TKind Kind, int32_t Id, TApdMessageWindow* Window);
  void ResetStatusTriggersLocked();
  void NoteArmedStatusKinds();
  // Trace and log (AwUserLog.cpp).
  void AddTraceBlock(char Kind, const uint8_t* Data, uint32_t Count);
  bool WriteLogBytes(const uint8_t* Data, uint32_t Count);
  void ReadLogBytes(uint32_t Position, uint8_t* Data, uint32_t Count) const;

  TApdBaseComponent* FOwner;
  IMainThread* FMainThread;
  int32_t FHandle = -1;
  std::atomic<int32_t> FComHandle{-1};
  std::atomic<int> FLastSystemError{0};
  std::atomic<uint32_t> FOptionFlags{0};

  // Line settings (FLineSection).
  mutable std::mutex FLineSection;
  TApdDCB FDCB;
  uint32_t FCurrentBaud = 115200;
  uint32_t FInputSize = 0;
  uint32_t FOutputSize = 0;
  bool FDtrState = false, FDtrOwned = false, FRtsState = false, FRtsOwned = false;
  bool FRs485 = false;
  uint32_t FHardwareOptions = 0;  // as SetHardwareFlow last took them
  uint8_t FThreadBoost = 0;
  std::string FDeviceName;

  // Status, triggers and handlers (FDataSection).
  mutable std::mutex FDataSection;
  uint32_t FLineErrors = 0;
  uint8_t FModemStatus = 0;
  std::atomic<bool> FRingSeen{false};
  std::atomic<bool> FDataSent{false};
  std::vector<THandlerPtr> FWindowHandlers, FProcHandlers, FEventHandlers;
  int32_t FNextHandlerId = 1;
  bool FForcedDispatch = false;
  bool FHandlersPresent = false;
  bool FRemovalsPending = false;
  std::atomic<bool> FInDispatch{false};
  std::vector<TTimerTrigger> FTimerTriggers;
  std::vector<TDataTrigger> FDataTriggers;
  std::vector<TStatusTrigger> FStatusTriggers;
  int32_t FNextTrigger = 1;
  uint32_t FLengthTrigger = 0;
  bool FStatusTriggerFired = false;
  uint64_t FDataScanPos = 0;
  uint64_t FLastLengthPos = 0;
  // Which output-related status kinds are armed, so the threads know when a
  // prompt check is worth a wake-up (bit n for kind n).
  std::atomic<uint32_t> FArmedStatusKinds{0};

  // Receive ring (FDispSection). Positions count every byte ever stored or
  // taken, so the ring index is the position modulo the ring size. The device
  // is read into the ring under FReadSection, so a flush of the input comes
  // before a read or after it, never between it and the head it moves.
  std::mutex FReadSection;
  mutable std::mutex FDispSection;
  std::vector<uint8_t> FRxBuffer;
  uint64_t FRxHead = 0, FRxTail = 0;
  bool FPeekMode = false;
  uint32_t FTaken = 0, FMaxTaken = 0;
  std::thread::id FHandlerThread;  // the thread running the handler that may peek
  std::atomic<bool> FRxWantRoom{false};

  // Transmit ring (FOutputSection); FWriteSection keeps purges away from a write.
  std::mutex FWriteSection;
  mutable std::mutex FOutputSection;
  std::vector<uint8_t> FTxBuffer;
  uint64_t FTxHead = 0, FTxTail = 0;
  int FOutputError = 0;
  bool FOutputRetry = false;
  std::atomic<bool> FRtsKeyedByOutput{false};

  // Trace and log (FTraceSection).
  mutable std::mutex FTraceSection;
  std::atomic<bool> FTraceOn{false}, FLogOn{false};
  std::vector<uint8_t> FTraceBuffer;
  uint32_t FTraceIndex = 0, FTraceCapacity = 0;
  bool FTraceWrapped = false;
  std::vector<uint8_t> FLogBuffer;
  uint32_t FLogHead = 0, FLogTail = 0, FLogFree = 0, FLogSize = 0;
  uint64_t FTimeBase = 0;

  // Threads (FThreadLock).
  mutable std::mutex FThreadLock;
  std::condition_variable FThreadSignal;
  std::unique_ptr<TComThread> FComThread;
  std::unique_ptr<TDispThread> FDispThread;
  std::unique_ptr<TOutThread> FOutThread;
  bool FComRunning = false, FDispRunning = false, FOutRunning = false;
  bool FHandshake = false, FCommEvent = false, FEventDone = false, FDispNudge = false;
  uint32_t FLastEventMask = 0;
  std::thread::id FDispThreadId;
  std::shared_ptr<TMainCalls> FMainCalls;
  std::atomic<bool> FKillThreads{false};
  std::atomic<bool> FClosePending{false};
  std::atomic<bool> FThreadsStarted{false};
  std::atomic<int32_t> FActiveThreads{0};
  std::unique_ptr<TWakeEvent> FComWake, FOutWake;  // made once, with the dispatcher
};

// The rate that a baud value stands for (the old rate codes become rates).
uint32_t TranslateBaud(uint32_t Baud);
