// The COM port component: what an application places beside a terminal to talk
// to a serial port. It keeps the port's settings as properties, opens the port
// through a dispatcher (AwUser.h, AwWin32.h), turns the dispatcher's event
// messages into events, tells its users (a terminal control) when the port
// opens and closes, and drives the dispatcher's trace and dispatch log.
//
// The component lives on the main thread: create, set, open, close and destroy
// it there. Its events run there too: the dispatcher hands its messages to the
// component's port window through the event thread (IMainThread, by default the
// one the program installed when the component was created). A port without an
// event thread raises no trigger events (they would meet the main thread inside
// the component); whoever wants the data on the dispatch thread registers a
// handler with the dispatcher itself.
//
// Closing is safe from anywhere on the main thread, from inside one of the
// component's own events included: then the dispatcher finishes the close on
// its own thread, no further event is raised, and the component lets the
// dispatcher go once its threads have ended (Open reads true and GetState
// psClosing until then; opening meanwhile is carried out after). Destroying the
// component from inside one of its own events is not allowed.
//
// When PortNumber is 0 and PromptForPort is on, opening asks OnSelectPort for a
// port. The component itself has no windows: the window side sets the hook to
// show its "Select Port" dialog (AdPortPrompt.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AwUser.h"
#include "MainThread.h"
#include "OoMisc.h"

class TApdCustomComPort;

// Values of Tracing and Logging: the state while read, the action when set.
inline constexpr uint8_t tlOff = 0, tlOn = 1, tlDump = 2, tlAppend = 3, tlClear = 4, tlPause = 5;
// Values of SoftwareFlow.
inline constexpr uint8_t swfNone = 0, swfReceive = 1, swfTransmit = 2, swfBoth = 3;
// TapiMode: the port is opened on the descriptor TapiHandle names.
inline constexpr uint8_t tmOnTapiHandle = 2;
// The option flag that UseOptionFlag sets in the dispatcher.
inline constexpr uint32_t OptionUseEventWord = 4;

enum TApdPortState : uint8_t { psClosed = 0, psClosing = 1, psOpen = 2 };

// What refers to a port component and must hear when the component goes away
// (a terminal control). The links form one process-wide list of (client,
// port) pairs: destroying a port tells every client linked to it and drops
// their pairs; a client drops its own pair when it goes.
class TApdComPortClient {
 public:
  virtual ~TApdComPortClient() = default;
  virtual void ComPortRemoved(TApdCustomComPort& Port) = 0;
};

// Links Client to Port, in place of the port Client was linked to before.
void LinkComPort(TApdComPortClient& Client, TApdCustomComPort& Port);
void UnlinkComPort(TApdComPortClient& Client);
// The client linked to Port last (the terminal that answers for the port), or nullptr.
TApdComPortClient* ComPortTerminalLink(const TApdCustomComPort& Port);

class TApdCustomComPort : public TApdBaseComponent {
 public:
  // Events: Sender first, then what the dispatcher's message carried.
  using TTriggerEvent = std::function<void(TApdCustomComPort& Sender, uint32_t Msg, uint32_t Param, uint32_t Data)>;
  using TTriggerAvailEvent = std::function<void(TApdCustomComPort& Sender, uint32_t Count)>;
  using TTriggerHandleEvent = std::function<void(TApdCustomComPort& Sender, int32_t Handle)>;
  using TTriggerLineErrorEvent = std::function<void(TApdCustomComPort& Sender, int32_t Error, bool LineBreak)>;
  using TPortEvent = std::function<void(TApdCustomComPort& Sender)>;
  using TCustomDispatcherEvent = std::function<std::unique_ptr<TApdBaseDispatcher>(TApdCustomComPort& Sender)>;
  // A COM name ("COM3") or number ("3"); nothing when the user declined.
  using TSelectPortEvent = std::function<std::optional<std::string>(TApdCustomComPort& Sender)>;
  // Users without a window: Opening true when the port opened, false when it closed.
  using TPortCallback = std::function<void(TApdCustomComPort& Port, bool Opening)>;
  // Extended users: Status 0 opened, 1 closing, 2 closed.
  using TPortStatusCallback = std::function<void(TApdCustomComPort& Port, int32_t Status)>;

  static constexpr const char* DefaultTraceName = "PORT.TRC";
  static constexpr const char* DefaultLogName = "PORT.LOG";

  TApdCustomComPort();
  virtual ~TApdCustomComPort();
  TApdCustomComPort(const TApdCustomComPort&) = delete;
  TApdCustomComPort& operator=(const TApdCustomComPort&) = delete;

  // Copies the settings, events and users of Source, and the triggers of an open Source
  // (they come back at this port's next open).
  void Assign(const TApdCustomComPort& Source);
  // Ends loading (SetLoading(true) begins it): an Open set meanwhile is carried out.
  void Loaded();

  // ---- the dispatcher
  // The open port's dispatcher; a closed port opens first when AutoOpen is on.
  // nullptr when there is none.
  TApdBaseDispatcher* GetDispatcher();
  // As GetDispatcher, raising ECommNotOpen when there is none.
  TApdBaseDispatcher& CheckedDispatcher();
  // The dispatcher as it is, without opening: nullptr while closed.
  TApdBaseDispatcher* CurrentDispatcher() const { return FDispatcher.get(); }
  TApdPortState GetState() const { return FState.load(); }
  // Where the events run (see the top of this file); a change takes effect at the next open.
  IMainThread* GetEventThread() const { return FEventThread; }
  void SetEventThread(IMainThread* Value) { FEventThread = Value; }

  // ---- users: told of opening (ApwPortOpen), closing (ApwClosePending) and
  // closing done (ApwPortClose) by a direct WindowProc call on this thread.
  void AddPortUser(TApdMessageWindow* Window);
  void RemovePortUser(TApdMessageWindow* Window);
  int32_t RegisterUserCallback(TPortCallback Callback);
  int32_t RegisterUserCallbackEx(TPortStatusCallback Callback);
  void DeregisterUserCallback(int32_t Id);

  // ---- sending; nothing is sent while the port closes
  void PutChar(uint8_t Value);
  void PutString(const std::string& Text);

  // ---- status
  // The line error the dispatcher took (LeOverrun, ...), 0 while closed.
  int32_t LineError();
  bool LineBreak();
  virtual void ProcessCommunications();

  // ---- properties
  uint8_t GetDeviceLayer() const { return FDeviceLayer; }
  void SetDeviceLayer(uint8_t Value) { FDeviceLayer = Value; }
  uint16_t GetPortNumber() const { return FPortNumber; }
  // Moving an open port closes it and opens the new one with the same triggers,
  // trace and dispatch log.
  void SetPortNumber(uint16_t Value);
  uint32_t GetBaud() const { return FBaud; }
  void SetBaud(uint32_t Value);
  uint8_t GetParity() const { return FParity; }
  void SetParity(uint8_t Value);
  uint8_t GetDataBits() const { return FDataBits; }
  void SetDataBits(uint8_t Value);
  uint8_t GetStopBits() const { return FStopBits; }
  void SetStopBits(uint8_t Value);
  // The sizes take effect at the next open.
  uint16_t GetInputSize() const { return FInputSize; }
  void SetInputSize(uint16_t Value) { FInputSize = Value; }
  uint16_t GetOutputSize() const { return FOutputSize; }
  void SetOutputSize(uint16_t Value) { FOutputSize = Value; }
  bool GetOpen() const { return FOpen; }
  void SetOpen(bool Value);
  bool GetPromptForPort() const { return FPromptForPort; }
  void SetPromptForPort(bool Value) { FPromptForPort = Value; }
  bool GetAutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool Value) { FAutoOpen = Value; }
  uint16_t GetTapiHandle() const { return FTapiHandle; }
  void SetTapiHandle(uint16_t Value) { FTapiHandle = Value; }
  uint8_t GetTapiMode() const { return FTapiMode; }
  void SetTapiMode(uint8_t Value) { FTapiMode = Value; }
  bool GetRs485Mode() const { return FRs485Mode; }
  void SetRs485Mode(bool Value);
  uint8_t GetThreadBoost() const { return FThreadBoost; }
  void SetThreadBoost(uint8_t Value);
  // A device without modem lines (a pseudo-terminal) keeps the value it is given.
  bool GetDtrOn() const { return FDtrOn; }
  void SetDtrOn(bool Value);
  bool GetRtsOn() const { return FRtsOn; }
  void SetRtsOn(bool Value);
  uint16_t GetBufferFull() const { return FBufferFull; }
  void SetBufferFull(uint16_t Value);
  uint16_t GetBufferResume() const { return FBufferResume; }
  void SetBufferResume(uint16_t Value);
  // HfUseDtr, HfUseRts, HfRequireDsr, HfRequireCts.
  uint8_t GetHardwareFlow() const { return FHardwareFlow; }
  void SetHardwareFlow(uint8_t Value);
  uint8_t GetSoftwareFlow() const { return FSoftwareFlow; }
  void SetSoftwareFlow(uint8_t Value);
  uint8_t GetXonChar() const { return FXonChar; }
  void SetXonChar(uint8_t Value);
  uint8_t GetXoffChar() const { return FXoffChar; }
  void SetXoffChar(uint8_t Value);
  uint8_t GetTracing() const { return FTracing; }
  void SetTracing(uint8_t Value);
  uint32_t GetTraceSize() const { return FTraceSize; }
  void SetTraceSize(uint32_t Value) { FTraceSize = Value; }
  const std::string& GetTraceName() const { return FTraceName; }
  void SetTraceName(const std::string& Value) { FTraceName = Value; }
  bool GetTraceHex() const { return FTraceHex; }
  void SetTraceHex(bool Value) { FTraceHex = Value; }
  bool GetTraceAllHex() const { return FTraceAllHex; }
  void SetTraceAllHex(bool Value) { FTraceAllHex = Value; }
  uint8_t GetLogging() const { return FLogging; }
  void SetLogging(uint8_t Value);
  uint32_t GetLogSize() const { return FLogSize; }
  void SetLogSize(uint32_t Value) { FLogSize = Value; }
  const std::string& GetLogName() const { return FLogName; }
  void SetLogName(const std::string& Value) { FLogName = Value; }
  bool GetLogHex() const { return FLogHex; }
  void SetLogHex(bool Value) { FLogHex = Value; }
  bool GetLogAllHex() const { return FLogAllHex; }
  void SetLogAllHex(bool Value) { FLogAllHex = Value; }
  bool GetUseOptionFlag() const { return FUseOptionFlag; }
  void SetUseOptionFlag(bool Value);
  uint16_t GetLengthTrigger() const { return FLengthTrigger; }
  void SetLengthTrigger(uint16_t Value);

  // ---- the trigger events; setting one tells the dispatcher whether the port
  // window wants its messages.
  const TTriggerEvent& GetOnTrigger() const { return FOnTrigger; }
  void SetOnTrigger(TTriggerEvent Value);
  const TTriggerAvailEvent& GetOnDataAvailable() const { return FOnDataAvailable; }
  void SetOnDataAvailable(TTriggerAvailEvent Value);
  const TTriggerHandleEvent& GetOnDataMatch() const { return FOnDataMatch; }
  void SetOnDataMatch(TTriggerHandleEvent Value);
  const TTriggerHandleEvent& GetOnStatusTrigger() const { return FOnStatusTrigger; }
  void SetOnStatusTrigger(TTriggerHandleEvent Value);
  const TTriggerHandleEvent& GetOnTimerTrigger() const { return FOnTimerTrigger; }
  void SetOnTimerTrigger(TTriggerHandleEvent Value);
  const TTriggerLineErrorEvent& GetOnLineError() const { return FOnLineError; }
  void SetOnLineError(TTriggerLineErrorEvent Value);
  const TPortEvent& GetOnModemStatus() const { return FOnModemStatus; }
  void SetOnModemStatus(TPortEvent Value);
  const TPortEvent& GetOnOutputFree() const { return FOnOutputFree; }
  void SetOnOutputFree(TPortEvent Value);
  const TPortEvent& GetOnOutputUsed() const { return FOnOutputUsed; }
  void SetOnOutputUsed(TPortEvent Value);
  const TPortEvent& GetOnOutputSent() const { return FOnOutputSent; }
  void SetOnOutputSent(TPortEvent Value);

  TPortEvent OnPortOpen;
  TPortEvent OnPortClose;
  // Kept for settings that assign it; nothing raises it.
  TPortEvent OnSpare;
  // Makes the dispatcher in place of the built-in device layers.
  TCustomDispatcherEvent CustomDispatcher;
  // Asked for a port when PortNumber is 0 and PromptForPort is on.
  TSelectPortEvent OnSelectPort;

 protected:
  virtual std::unique_ptr<TApdBaseDispatcher> ActivateDeviceLayer();
  // 0, or the code of the failure (raised unless loading).
  virtual int32_t InitializePort();
  virtual void PortWindow(bool Create);
  virtual void ValidatePortNumber();
  virtual void Trigger(uint32_t Msg, uint32_t Param, uint32_t Data);
  virtual void TriggerAvail(uint32_t Count);
  virtual void TriggerData(int32_t Handle);
  virtual void TriggerStatus(int32_t Handle);
  virtual void TriggerTimer(int32_t Handle);
  virtual void UpdateHandlerFlags();
  virtual void TriggerLineError(int32_t Error, bool LineBreak);
  virtual void TriggerModemStatus();
  virtual void TriggerOutputFree();
  virtual void TriggerOutputUsed();
  virtual void TriggerOutputSent();
  virtual void ClosePort();
  virtual void OpenPort();
  virtual void PortOpen();
  virtual void PortClose();
  virtual void PortClosing();

 private:
  class TPortWindow;
  struct TUserRecord {
    int32_t Id = 0;
    TApdMessageWindow* Window = nullptr;
    TPortCallback Method;
    TPortStatusCallback StatusCallback;
    bool Extended = false;
    bool Removed = false;
  };

  // The port window's procedure: finds the port by the dispatcher handle in
  // the high word of LParam.
  static void PortWindowProc(uint32_t Msg, uint32_t Param, uint32_t LParam);
  void PortMessage(TApdBaseDispatcher& Dispatcher, uint32_t Msg, uint32_t Param, uint32_t LParam);
  void PostClosePending();
  void ClosePendingMessage(TApdBaseDispatcher& Dispatcher);
  void FinishClose();
  void NotifyUsers(uint32_t Msg, int32_t Status, bool ExtendedOnly);
  bool IsOpenNow() const { return FState.load() == psOpen && FDispatcher != nullptr; }
  bool AnyTriggerEvent() const;
  void ReadBackTapiSettings();
  // Applies every setting to a port that has just opened.
  void ApplyAllSettings();
  void ApplyTracing(uint8_t Value);
  void ApplyLogging(uint8_t Value);
  struct TRecording;
  void ApplyRecording(uint8_t& State, uint8_t Value, const TRecording& Record);

  std::unique_ptr<TApdBaseDispatcher> FDispatcher;
  std::unique_ptr<TPortWindow> FPortWindow;
  IMainThread* FEventThread;
  // The posted close message holds this weakly, so it does nothing once the port is gone.
  std::shared_ptr<TApdCustomComPort*> FLifeToken;
  std::atomic<TApdPortState> FState{psClosed};
  bool FForcing = false;
  bool FReopenPending = false;
  bool FOpenOnLoad = false;
  bool FTriggersSaved = false;
  TTriggerSave FSavedTriggers;
  bool FDestroying = false;
  int FHandlerDepth = 0;             // port window messages under way on this thread
  bool FCloseMessageDeferred = false;  // the close message came inside one of them
  std::vector<std::shared_ptr<TUserRecord>> FUsers;
  int32_t FNextUserId = 1;

  uint8_t FDeviceLayer = 0;
  uint16_t FPortNumber = 0;
  uint32_t FBaud = 19200;
  uint8_t FParity = NoParity;
  uint8_t FDataBits = 8;
  uint8_t FStopBits = 1;
  uint16_t FInputSize = 4096;
  uint16_t FOutputSize = 4096;
  bool FOpen = false;
  bool FPromptForPort = true;
  bool FAutoOpen = true;
  uint16_t FTapiHandle = 0;
  uint8_t FTapiMode = 1;
  bool FRs485Mode = false;
  uint8_t FThreadBoost = 0;
  bool FDtrOn = true;
  bool FRtsOn = true;
  uint16_t FBufferFull = 0;
  uint16_t FBufferResume = 0;
  uint8_t FHardwareFlow = 0;
  uint8_t FSoftwareFlow = swfNone;
  uint8_t FXonChar = 17;
  uint8_t FXoffChar = 19;
  uint8_t FTracing = tlOff;
  uint32_t FTraceSize = 10000;
  std::string FTraceName = DefaultTraceName;
  bool FTraceHex = true;
  bool FTraceAllHex = false;
  uint8_t FLogging = tlOff;
  uint32_t FLogSize = 10000;
  std::string FLogName = DefaultLogName;
  bool FLogHex = true;
  bool FLogAllHex = false;
  bool FUseOptionFlag = true;
  uint16_t FLengthTrigger = 1;

  TTriggerEvent FOnTrigger;
  TTriggerAvailEvent FOnDataAvailable;
  TTriggerHandleEvent FOnDataMatch;
  TTriggerHandleEvent FOnStatusTrigger;
  TTriggerHandleEvent FOnTimerTrigger;
  TTriggerLineErrorEvent FOnLineError;
  TPortEvent FOnModemStatus;
  TPortEvent FOnOutputFree;
  TPortEvent FOnOutputUsed;
  TPortEvent FOnOutputSent;
};

// The component as an application places it.
class TApdComPort : public TApdCustomComPort {
 public:
  TApdComPort() = default;
};
