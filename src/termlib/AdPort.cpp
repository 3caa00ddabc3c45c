#include "AdPort.h"

#include <termios.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <utility>

#include "AdExcept.h"
#include "AwWin32.h"
#include "SerialPort.h"
#include "SerialPortList.h"

// ---------------------------------------------------------------------------
// The process-wide list of links between port components and their clients

namespace {
struct TPortLink {
  TApdComPortClient* Client;
  TApdCustomComPort* Port;
};

std::mutex PortLinksLock;
std::vector<TPortLink>& PortLinks() {
  static std::vector<TPortLink> Links;
  return Links;
}

// The COM number a prompt answered with: "COM3", "\\.\COM3" or "3"; 0 for anything else.
int PortNumberOfChoice(const std::string& Choice) {
  if (!Choice.empty() && Choice.size() <= 5 &&
      std::all_of(Choice.begin(), Choice.end(), [](unsigned char C) { return std::isdigit(C) != 0; }))
    return std::stoi(Choice);
  std::string name = Choice;
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  return ComNumberOfPortName(name);
}
}  // namespace

void LinkComPort(TApdComPortClient& Client, TApdCustomComPort& Port) {
  std::lock_guard<std::mutex> guard(PortLinksLock);
  auto& links = PortLinks();
  std::erase_if(links, [&](const TPortLink& Link) { return Link.Client == &Client; });
  links.push_back({&Client, &Port});
}

void UnlinkComPort(TApdComPortClient& Client) {
  std::lock_guard<std::mutex> guard(PortLinksLock);
  std::erase_if(PortLinks(), [&](const TPortLink& Link) { return Link.Client == &Client; });
}

TApdComPortClient* ComPortTerminalLink(const TApdCustomComPort& Port) {
  std::lock_guard<std::mutex> guard(PortLinksLock);
  const auto& links = PortLinks();
  for (auto link = links.rbegin(); link != links.rend(); ++link)
    if (link->Port == &Port) return link->Client;
  return nullptr;
}

// ---------------------------------------------------------------------------
// The port window: the dispatcher's window handler of an open port

class TApdCustomComPort::TPortWindow final : public TApdMessageWindow {
 public:
  void WindowProc(uint32_t Msg, uint32_t Param, uint32_t LParam) override { PortWindowProc(Msg, Param, LParam); }
};

void TApdCustomComPort::PortWindowProc(uint32_t Msg, uint32_t Param, uint32_t LParam) {
  if ((Msg < ApwTriggerAvail || Msg > ApwTriggerStatus) && Msg != ApwClosePending) return;
  TApdBaseDispatcher* dispatcher;
  TApdCustomComPort* port;
  {
    // Dispatchers are destroyed on the main thread, where this runs: the one
    // found stays alive after the lock is left.
    std::lock_guard<std::mutex> guard(DispatcherListLock);
    dispatcher = DispatcherOfHandle(static_cast<int32_t>(LParam >> 16));
    if (!dispatcher) return;
    port = dynamic_cast<TApdCustomComPort*>(dispatcher->Owner());
  }
  if (port) port->PortMessage(*dispatcher, Msg, Param, LParam);
}

void TApdCustomComPort::PortMessage(TApdBaseDispatcher& Dispatcher, uint32_t Msg, uint32_t Param, uint32_t LParam) {
  if (Msg == ApwClosePending) {
    ClosePendingMessage(Dispatcher);
    return;
  }
  // A message of a dispatcher this port has let go of, or one that comes
  // while the port closes, raises nothing.
  if (&Dispatcher != FDispatcher.get() || !IsOpenNow()) return;
  ++FHandlerDepth;
  struct TLeave {
    TApdCustomComPort& Port;
    ~TLeave() {
      // A close that finished inside this message is let go of once the
      // dispatcher's delivery is over.
      if (--Port.FHandlerDepth == 0 && Port.FCloseMessageDeferred) {
        Port.FCloseMessageDeferred = false;
        Port.PostClosePending();
      }
    }
  } leave{*this};
  const uint32_t data = Msg == ApwTriggerAvail ? Param : (LParam & 0xFFFF);
  Trigger(Msg, Param, data);
  if (!IsOpenNow()) return;
  const int32_t handle = static_cast<int32_t>(Param);
  switch (Msg) {
    case ApwTriggerAvail: TriggerAvail(Param); break;
    case ApwTriggerData: TriggerData(handle); break;
    case ApwTriggerTimer: TriggerTimer(handle); break;
    case ApwTriggerStatus:
      TriggerStatus(handle);
      if (!IsOpenNow()) break;
      switch (handle & 7) {
        case StatusModem: TriggerModemStatus(); break;
        case StatusLine: {
          const int32_t error = LineError();
          TriggerLineError(error, LineBreak());
          break;
        }
        case StatusOutBuffFree: TriggerOutputFree(); break;
        case StatusOutBuffUsed: TriggerOutputUsed(); break;
        case StatusOutSent: TriggerOutputSent(); break;
        default: break;
      }
      break;
    default: break;
  }
}

void TApdCustomComPort::PostClosePending() {
  if (!FDispatcher) return;
  const uint32_t lParam = static_cast<uint32_t>(FDispatcher->Handle()) << 16;
  if (!FEventThread) return;  // finished by the next call that needs the port (FinishClose)
  std::weak_ptr<TApdCustomComPort*> alive = FLifeToken;
  FEventThread->Post([alive, lParam] {
    if (alive.lock()) PortWindowProc(ApwClosePending, 0, lParam);
  });
}

void TApdCustomComPort::ClosePendingMessage(TApdBaseDispatcher& Dispatcher) {
  if (FState.load() != psClosing || &Dispatcher != FDispatcher.get()) return;
  if (FHandlerDepth > 0) {
    // Still inside one of this port's messages: the dispatcher's delivery
    // cannot end before it returns.
    FCloseMessageDeferred = true;
    return;
  }
  if (Dispatcher.ActiveThreads() != 0 && !Dispatcher.WaitForThreads()) {
    // Inside some other handler of the dispatcher: ask again later.
    PostClosePending();
    return;
  }
  FinishClose();
  if (FReopenPending) {
    FReopenPending = false;
    OpenPort();
  }
}

void TApdCustomComPort::FinishClose() {
  // Every thread of the dispatcher has ended (or ends inside its destructor,
  // which waits for it): nothing runs under what is freed here.
  PortWindow(false);
  FDispatcher.reset();
  FState = psClosed;
  FOpen = false;
}

// ---------------------------------------------------------------------------
// Life

TApdCustomComPort::TApdCustomComPort()
    : FEventThread(::GetMainThread()), FLifeToken(std::make_shared<TApdCustomComPort*>(this)) {}

TApdCustomComPort::~TApdCustomComPort() {
  FDestroying = true;
  if (FState.load() == psOpen) {
    try {
      ClosePort();
    } catch (...) {
      // Closing on the way out reports nothing.
    }
  }
  // A close still under way ends inside the dispatcher's destructor, which
  // waits for its threads.
  if (FDispatcher) {
    PortWindow(false);
    FDispatcher.reset();
  }
  FState = psClosed;
  std::vector<TApdComPortClient*> clients;
  {
    std::lock_guard<std::mutex> guard(PortLinksLock);
    auto& links = PortLinks();
    for (const TPortLink& link : links)
      if (link.Port == this) clients.push_back(link.Client);
    std::erase_if(links, [this](const TPortLink& Link) { return Link.Port == this; });
  }
  for (TApdComPortClient* client : clients) client->ComPortRemoved(*this);
  FUsers.clear();
}

void TApdCustomComPort::Assign(const TApdCustomComPort& Source) {
  if (&Source == this) return;
  FUsers.clear();
  for (const auto& user : Source.FUsers)
    if (!user->Removed) FUsers.push_back(std::make_shared<TUserRecord>(*user));
  FNextUserId = std::max(FNextUserId, Source.FNextUserId);
  FDeviceLayer = Source.FDeviceLayer;
  FPortNumber = Source.FPortNumber;
  FBaud = Source.FBaud;
  FParity = Source.FParity;
  FDataBits = Source.FDataBits;
  FStopBits = Source.FStopBits;
  FInputSize = Source.FInputSize;
  FOutputSize = Source.FOutputSize;
  FPromptForPort = Source.FPromptForPort;
  FAutoOpen = Source.FAutoOpen;
  FTapiHandle = Source.FTapiHandle;
  FTapiMode = Source.FTapiMode;
  FRs485Mode = Source.FRs485Mode;
  FThreadBoost = Source.FThreadBoost;
  FDtrOn = Source.FDtrOn;
  FRtsOn = Source.FRtsOn;
  FBufferFull = Source.FBufferFull;
  FBufferResume = Source.FBufferResume;
  FHardwareFlow = Source.FHardwareFlow;
  FSoftwareFlow = Source.FSoftwareFlow;
  FXonChar = Source.FXonChar;
  FXoffChar = Source.FXoffChar;
  FTracing = Source.FTracing;
  FTraceSize = Source.FTraceSize;
  FTraceName = Source.FTraceName;
  FTraceHex = Source.FTraceHex;
  FTraceAllHex = Source.FTraceAllHex;
  FLogging = Source.FLogging;
  FLogSize = Source.FLogSize;
  FLogName = Source.FLogName;
  FLogHex = Source.FLogHex;
  FLogAllHex = Source.FLogAllHex;
  FUseOptionFlag = Source.FUseOptionFlag;
  FLengthTrigger = Source.FLengthTrigger;
  FEventThread = Source.FEventThread;
  FOnTrigger = Source.FOnTrigger;
  FOnDataAvailable = Source.FOnDataAvailable;
  FOnDataMatch = Source.FOnDataMatch;
  FOnStatusTrigger = Source.FOnStatusTrigger;
  FOnTimerTrigger = Source.FOnTimerTrigger;
  FOnLineError = Source.FOnLineError;
  FOnModemStatus = Source.FOnModemStatus;
  FOnOutputFree = Source.FOnOutputFree;
  FOnOutputUsed = Source.FOnOutputUsed;
  FOnOutputSent = Source.FOnOutputSent;
  OnPortOpen = Source.OnPortOpen;
  OnPortClose = Source.OnPortClose;
  OnSpare = Source.OnSpare;
  CustomDispatcher = Source.CustomDispatcher;
  OnSelectPort = Source.OnSelectPort;
  if (Source.IsOpenNow()) {
    Source.FDispatcher->SaveTriggers(FSavedTriggers);
    FTriggersSaved = true;
  }
  UpdateHandlerFlags();
}

void TApdCustomComPort::Loaded() {
  SetLoading(false);
  if (FOpenOnLoad) FOpen = true;
  if (FOpen) {
    FOpenOnLoad = false;
    FOpen = false;
    OpenPort();
  }
}

// ---------------------------------------------------------------------------
// Opening and closing

void TApdCustomComPort::SetOpen(bool Value) {
  if (FState.load() == psClosing) {
    // The close finishes on its own; opening again waits for it.
    FReopenPending = Value;
    if (!FEventThread) {
      // Nobody posts the close message: finish it here when the threads are done.
      ClosePendingMessage(*FDispatcher);
    }
    return;
  }
  if (Value == FOpen) return;
  if (IsLoading()) {
    FOpen = Value;
    if (Value) FOpenOnLoad = true;
    return;
  }
  if (Value)
    OpenPort();
  else
    ClosePort();
}

void TApdCustomComPort::ValidatePortNumber() {
  if (FPortNumber != 0) return;
  int number = 0;
  if (FPromptForPort && OnSelectPort) {
    const std::optional<std::string> choice = OnSelectPort(*this);
    if (choice) number = PortNumberOfChoice(*choice);
  }
  if (number <= 0 || number > 0xFFFF) {
    RaiseErrorForCode(this, -2011);
    return;
  }
  FPortNumber = static_cast<uint16_t>(number);
}

std::unique_ptr<TApdBaseDispatcher> TApdCustomComPort::ActivateDeviceLayer() {
  if (CustomDispatcher) return CustomDispatcher(*this);
  if (FDeviceLayer != 0) {
    RaiseErrorForCode(this, -3001);
    return nullptr;
  }
  if (FTapiMode == tmOnTapiHandle) return std::make_unique<TApdTAPI32Dispatcher>(this, FTapiHandle, FEventThread);
  return std::make_unique<TApdWin32Dispatcher>(this, FEventThread);
}

void TApdCustomComPort::ReadBackTapiSettings() {
  // The line as the descriptor's owner set it up becomes this port's settings,
  // so opening changes nothing on it.
  termios terminal{};
  if (tcgetattr(FTapiHandle, &terminal) != 0) return;
  TApdDCB dcb;
  dcb.RtsControl = RtsControlEnable;
  TApdWin32Dispatcher::DCBOfTerminal(terminal, TSerialPort::CurrentBaudRate(FTapiHandle).value_or(FBaud), dcb);
  FBaud = dcb.BaudRate;
  FParity = dcb.Parity;
  FDataBits = dcb.ByteSize;
  FStopBits = dcb.StopBits == OneStopBit ? 1 : 2;
  uint8_t hardware = 0;
  if (dcb.RtsControl == RtsControlHandshake) hardware |= HfUseRts;
  if (dcb.OutxCtsFlow) hardware |= HfRequireCts;
  FHardwareFlow = hardware;
  FSoftwareFlow = static_cast<uint8_t>((dcb.InX ? swfReceive : 0) | (dcb.OutX ? swfTransmit : 0));
  FXonChar = dcb.XonChar;
  FXoffChar = dcb.XoffChar;
}

int32_t TApdCustomComPort::InitializePort() {
  const std::string name = FTapiMode == tmOnTapiHandle ? std::string() : "\\\\.\\COM" + std::to_string(FPortNumber);
  uint32_t options = (FDtrOn ? OpenDtrOn : 0) | (FRtsOn ? OpenRtsOn : 0);
  if (FHardwareFlow & HfUseDtr) options |= OpenDtrFlowOwned;
  if (FHardwareFlow & HfUseRts) options |= OpenRtsFlowOwned;
  int32_t result = FDispatcher->OpenPort(name, FBaud, options, FOutputSize, FInputSize, FStopBits, FDataBits, FParity);
  if (result == -5) result = -2008;  // another holds the device
  if (result == -3 || result == -2) result = -2001;  // no such device
  if (result != 0) RaiseErrorForCode(this, result);
  return result;
}

void TApdCustomComPort::OpenPort() {
  if (FState.load() == psClosing) {
    FReopenPending = true;
    return;
  }
  if (FState.load() == psOpen) return;
  if (FTapiMode != tmOnTapiHandle) ValidatePortNumber();
  if (FTapiMode != tmOnTapiHandle && FPortNumber == 0) return;  // declined while loading
  std::unique_ptr<TApdBaseDispatcher> dispatcher = ActivateDeviceLayer();
  if (!dispatcher) return;
  FDispatcher = std::move(dispatcher);
  try {
    FDispatcher->SetDeviceName("COM" + std::to_string(FPortNumber));
    if (FTapiMode == tmOnTapiHandle) {
      if (FTapiHandle == 0) RaiseErrorForCode(this, -2012);
      ReadBackTapiSettings();
    }
    if (InitializePort() != 0) {
      FDispatcher.reset();
      return;
    }
    FState = psOpen;
    UpdateHandlerFlags();
    ApplyAllSettings();
  } catch (...) {
    // A port that cannot take its settings is not left half open.
    FState = psClosed;
    FDispatcher.reset();
    throw;
  }
  FOpen = true;
  PortWindow(true);
  if (FTriggersSaved) {
    FDispatcher->RestoreTriggers(FSavedTriggers);
    FTriggersSaved = false;
  }
  PortOpen();
}

void TApdCustomComPort::ApplyAllSettings() {
  struct TForcing {
    bool& Flag;
    explicit TForcing(bool& F) : Flag(F) { Flag = true; }
    ~TForcing() { Flag = false; }
  } forcing{FForcing};
  SetTracing(FTracing);
  SetLogging(FLogging);
  SetHardwareFlow(FHardwareFlow);
  SetSoftwareFlow(FSoftwareFlow);
  SetXonChar(FXonChar);
  SetXoffChar(FXoffChar);
  SetLengthTrigger(FLengthTrigger);
  SetDtrOn(FDtrOn);
  SetRtsOn(FRtsOn);
  SetUseOptionFlag(FUseOptionFlag);
  SetRs485Mode(FRs485Mode);
  SetThreadBoost(FThreadBoost);
}

void TApdCustomComPort::ClosePort() {
  if (FState.load() != psOpen) return;
  // A running trace and dispatch log go to their files; a file that cannot
  // be written does not keep the port open.
  try {
    SetTracing(tlDump);
  } catch (...) {
  }
  try {
    SetLogging(tlDump);
  } catch (...) {
  }
  FState = psClosing;
  FReopenPending = false;
  PortClosing();
  FDispatcher->SaveTriggers(FSavedTriggers);
  FTriggersSaved = true;
  FDispatcher->ClosePort();
  if (FDispatcher->ClosePending() && FDispatcher->ActiveThreads() != 0) {
    // Called from inside a handler: the dispatch thread finishes the close.
    if (FHandlerDepth > 0)
      FCloseMessageDeferred = true;
    else
      PostClosePending();
  } else {
    FinishClose();
  }
  PortClose();
}

void TApdCustomComPort::PortWindow(bool Create) {
  if (Create) {
    // Without an event thread the window's messages would run on the dispatch thread.
    if (FPortWindow || !FDispatcher || !FEventThread) return;
    FPortWindow = std::make_unique<TPortWindow>();
    FDispatcher->RegisterWindowHandler(FPortWindow.get());
  } else if (FPortWindow) {
    if (FDispatcher) FDispatcher->DeregisterWindowHandler(FPortWindow.get());
    FPortWindow.reset();
  }
}

TApdBaseDispatcher* TApdCustomComPort::GetDispatcher() {
  // Without an event thread nobody posts the close message: finish here.
  if (FState.load() == psClosing && !FEventThread) ClosePendingMessage(*FDispatcher);
  if (!FDispatcher && !IsLoading() && !FOpen && FAutoOpen) SetOpen(true);
  return FDispatcher.get();
}

TApdBaseDispatcher& TApdCustomComPort::CheckedDispatcher() {
  TApdBaseDispatcher* dispatcher = GetDispatcher();
  if (!dispatcher) {
    RaiseErrorForCode(nullptr, -2007);
  }
  return *dispatcher;
}

// ---------------------------------------------------------------------------
// Users

void TApdCustomComPort::AddPortUser(TApdMessageWindow* Window) {
  auto record = std::make_shared<TUserRecord>();
  record->Id = FNextUserId++;
  record->Window = Window;
  record->Extended = true;
  FUsers.push_back(std::move(record));
}

void TApdCustomComPort::RemovePortUser(TApdMessageWindow* Window) {
  if (FDestroying) return;
  for (const auto& user : FUsers)
    if (user->Window == Window) user->Removed = true;
  std::erase_if(FUsers, [Window](const auto& User) { return User->Window == Window; });
}

int32_t TApdCustomComPort::RegisterUserCallback(TPortCallback Callback) {
  auto record = std::make_shared<TUserRecord>();
  record->Id = FNextUserId++;
  record->Method = std::move(Callback);
  FUsers.push_back(record);
  return record->Id;
}

int32_t TApdCustomComPort::RegisterUserCallbackEx(TPortStatusCallback Callback) {
  auto record = std::make_shared<TUserRecord>();
  record->Id = FNextUserId++;
  record->StatusCallback = std::move(Callback);
  record->Extended = true;
  FUsers.push_back(record);
  return record->Id;
}

void TApdCustomComPort::DeregisterUserCallback(int32_t Id) {
  for (const auto& user : FUsers)
    if (user->Id == Id) user->Removed = true;
  std::erase_if(FUsers, [Id](const auto& User) { return User->Id == Id; });
}

void TApdCustomComPort::NotifyUsers(uint32_t Msg, int32_t Status, bool ExtendedOnly) {
  // Last to first; a user may leave, or others join, while it is told.
  const std::vector<std::shared_ptr<TUserRecord>> users = FUsers;
  for (auto user = users.rbegin(); user != users.rend(); ++user) {
    const TUserRecord& record = **user;
    if (record.Removed || (ExtendedOnly && !record.Extended)) continue;
    if (record.Window)
      record.Window->WindowProc(Msg, 0, 0);
    else if (record.Extended) {
      if (record.StatusCallback) record.StatusCallback(*this, Status);
    } else if (record.Method) {
      record.Method(*this, Msg == ApwPortOpen);
    }
  }
}

void TApdCustomComPort::PortOpen() {
  NotifyUsers(ApwPortOpen, 0, false);
  if (OnPortOpen) OnPortOpen(*this);
}

void TApdCustomComPort::PortClose() {
  NotifyUsers(ApwPortClose, 2, false);
  if (OnPortClose) OnPortClose(*this);
}

void TApdCustomComPort::PortClosing() { NotifyUsers(ApwClosePending, 1, true); }

// ---------------------------------------------------------------------------
// Sending and status

void TApdCustomComPort::PutChar(uint8_t Value) { PutString(std::string(1, static_cast<char>(Value))); }

void TApdCustomComPort::PutString(const std::string& Text) {
  if (FState.load() == psClosing) return;
  TApdBaseDispatcher& dispatcher = CheckedDispatcher();
  if (FState.load() != psOpen) return;
  RaiseErrorForCode(this, dispatcher.PutBlock(reinterpret_cast<const uint8_t*>(Text.data()),
                                              static_cast<uint32_t>(Text.size())));
}

int32_t TApdCustomComPort::LineError() { return IsOpenNow() ? FDispatcher->TakeLineError() : 0; }

bool TApdCustomComPort::LineBreak() { return IsOpenNow() && FDispatcher->TakeBreak(); }

void TApdCustomComPort::ProcessCommunications() {
  if (FState.load() != psClosing && FDispatcher) FDispatcher->YieldSlice();
}

// ---------------------------------------------------------------------------
// Triggers

bool TApdCustomComPort::AnyTriggerEvent() const {
  return FOnTrigger || FOnDataAvailable || FOnDataMatch || FOnStatusTrigger || FOnTimerTrigger || FOnLineError ||
         FOnModemStatus || FOnOutputFree || FOnOutputUsed || FOnOutputSent;
}

void TApdCustomComPort::UpdateHandlerFlags() {
  // The port window is the dispatcher's only window: it gets messages only
  // while forced, which is wanted only while some event would use them.
  if (IsOpenNow()) FDispatcher->UpdateHandlerFlags(AnyTriggerEvent() ? 1 : 2);
}

void TApdCustomComPort::Trigger(uint32_t Msg, uint32_t Param, uint32_t Data) {
  if (FOnTrigger) FOnTrigger(*this, Msg, Param, Data);
}
void TApdCustomComPort::TriggerAvail(uint32_t Count) {
  if (FOnDataAvailable) FOnDataAvailable(*this, Count);
}
void TApdCustomComPort::TriggerData(int32_t Handle) {
  if (FOnDataMatch) FOnDataMatch(*this, Handle);
}
void TApdCustomComPort::TriggerStatus(int32_t Handle) {
  if (FOnStatusTrigger) FOnStatusTrigger(*this, Handle);
}
void TApdCustomComPort::TriggerTimer(int32_t Handle) {
  if (FOnTimerTrigger) FOnTimerTrigger(*this, Handle);
}
void TApdCustomComPort::TriggerLineError(int32_t Error, bool LineBreak) {
  if (FOnLineError) FOnLineError(*this, Error, LineBreak);
}
void TApdCustomComPort::TriggerModemStatus() {
  if (FOnModemStatus) FOnModemStatus(*this);
}
void TApdCustomComPort::TriggerOutputFree() {
  if (FOnOutputFree) FOnOutputFree(*this);
}
void TApdCustomComPort::TriggerOutputUsed() {
  if (FOnOutputUsed) FOnOutputUsed(*this);
}
void TApdCustomComPort::TriggerOutputSent() {
  if (FOnOutputSent) FOnOutputSent(*this);
}

// Every trigger event is set through here, so an open port learns at once
// whether its window wants messages.
#define KORVEL_TRIGGER_EVENT_SETTER(Name, Type) \
  void TApdCustomComPort::Set##Name(Type Value) { \
    F##Name = std::move(Value);                  \
    UpdateHandlerFlags();                        \
  }
KORVEL_TRIGGER_EVENT_SETTER(OnTrigger, TTriggerEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnDataAvailable, TTriggerAvailEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnDataMatch, TTriggerHandleEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnStatusTrigger, TTriggerHandleEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnTimerTrigger, TTriggerHandleEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnLineError, TTriggerLineErrorEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnModemStatus, TPortEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnOutputFree, TPortEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnOutputUsed, TPortEvent)
KORVEL_TRIGGER_EVENT_SETTER(OnOutputSent, TPortEvent)
#undef KORVEL_TRIGGER_EVENT_SETTER

// ---------------------------------------------------------------------------
// Settings. Each returns at once when nothing changes (unless an open applies
// them all again); on an open port the dispatcher takes the value first, and
// a refusal is raised with the value left as it was.

void TApdCustomComPort::SetPortNumber(uint16_t Value) {
  if (Value == FPortNumber && !FForcing) return;
  if (FState.load() == psClosing) {
    FPortNumber = Value;
    return;  // a reopen pending goes to the new number
  }
  if (!IsOpenNow()) {
    FPortNumber = Value;
    return;
  }
  const uint8_t tracing = FTracing, logging = FLogging;
  ClosePort();
  FPortNumber = Value;
  FTracing = tracing;
  FLogging = logging;
  if (FState.load() == psClosing)
    FReopenPending = true;
  else
    OpenPort();
}

void TApdCustomComPort::SetBaud(uint32_t Value) {
  if (Value == FBaud && !FForcing) return;
  if (IsOpenNow()) RaiseErrorForCode(this, FDispatcher->SetLine(Value, 5, 3, 9));
  FBaud = Value;
}

void TApdCustomComPort::SetParity(uint8_t Value) {
  if (Value == FParity && !FForcing) return;
  if (IsOpenNow()) RaiseErrorForCode(this, FDispatcher->SetLine(0, Value, 3, 9));
  FParity = Value;
}

void TApdCustomComPort::SetDataBits(uint8_t Value) {
  if (Value == FDataBits && !FForcing) return;
  if (IsOpenNow()) RaiseErrorForCode(this, FDispatcher->SetLine(0, 5, 3, Value));
  FDataBits = Value;
}

void TApdCustomComPort::SetStopBits(uint8_t Value) {
  if (Value == FStopBits && !FForcing) return;
  if (IsOpenNow()) RaiseErrorForCode(this, FDispatcher->SetLine(0, 5, Value, 9));
  FStopBits = Value;
}

void TApdCustomComPort::SetRs485Mode(bool Value) {
  if (Value == FRs485Mode && !FForcing) return;
  // RTS is keyed for each transmission: it serves no flow control, CTS holds
  // nothing back, and RTS rests low.
  const uint8_t flow = Value ? static_cast<uint8_t>(FHardwareFlow & ~(HfUseRts | HfRequireCts)) : FHardwareFlow;
  if (IsOpenNow()) {
    TApdBaseDispatcher& dispatcher = *FDispatcher;
    const int32_t result = dispatcher.SetRs485Mode(Value, FRtsOn);
    if (result < 0) {
      if (result == -3010 && !IsLoading())
        throw EBaseAddressNotSet("RS-485 needs a serial port whose RTS line can be switched; COM" +
                                     std::to_string(FPortNumber) + " has none",
                                 result);
      RaiseErrorForCode(this, result);
      return;
    }
    if (flow != FHardwareFlow) {
      const int32_t flowResult =
          dispatcher.SetHardwareFlow(flow != 0 ? FBufferFull : 0, flow != 0 ? FBufferResume : 0, flow);
      if (flowResult < 0) {
        // Nothing changes when the flow control cannot follow: RS-485 goes
        // off again, and RTS, which it took low, goes back to RtsOn, or to
        // flow control, which gives it RtsOn when it lets go of it.
        dispatcher.SetRs485Mode(!Value, FRtsOn);
        RaiseErrorForCode(this, flowResult);
        return;
      }
    }
  }
  FRs485Mode = Value;
  FHardwareFlow = flow;
  if (Value) FRtsOn = false;
}

void TApdCustomComPort::SetThreadBoost(uint8_t Value) {
  if (Value == FThreadBoost && !FForcing) return;
  if (IsOpenNow()) FDispatcher->SetThreadBoost(Value);
  FThreadBoost = Value;
}

void TApdCustomComPort::SetDtrOn(bool Value) {
  if (Value == FDtrOn && !FForcing) return;
  if (IsOpenNow()) {
    const int32_t result = FDispatcher->SetDtr(Value);
    if (result == 1) return;  // the line belongs to flow control
    // -3002: the device has no modem lines; the value stays for a device that has.
    if (result != -3002) RaiseErrorForCode(this, result);
  }
  FDtrOn = Value;
}

void TApdCustomComPort::SetRtsOn(bool Value) {
  if (Value == FRtsOn && !FForcing) return;
  if (IsOpenNow()) {
    const int32_t result = FDispatcher->SetRts(Value);
    if (result == 1) return;
    if (result != -3002) RaiseErrorForCode(this, result);
  }
  FRtsOn = Value;
}

void TApdCustomComPort::SetBufferFull(uint16_t Value) {
  if (Value == FBufferFull && !FForcing) return;
  FBufferFull = Value;
  if (IsOpenNow() && FHardwareFlow != 0)
    RaiseErrorForCode(this, FDispatcher->SetHardwareFlow(FBufferFull, FBufferResume, FHardwareFlow));
}

void TApdCustomComPort::SetBufferResume(uint16_t Value) {
  if (Value == FBufferResume && !FForcing) return;
  FBufferResume = Value;
  if (IsOpenNow() && FHardwareFlow != 0)
    RaiseErrorForCode(this, FDispatcher->SetHardwareFlow(FBufferFull, FBufferResume, FHardwareFlow));
}

void TApdCustomComPort::SetHardwareFlow(uint8_t Value) {
  if (Value == FHardwareFlow && !FForcing) return;
  if (Value != 0) {
    if (FBufferFull == 0 || FBufferFull > FInputSize) FBufferFull = static_cast<uint16_t>(FInputSize * 0.9);
    if (FBufferResume == 0 || FBufferResume > FBufferFull) FBufferResume = static_cast<uint16_t>(FInputSize * 0.1);
  }
  if (IsOpenNow()) {
    // Without hardware flow the thresholds belong to software flow, which sets them again.
    const uint32_t full = Value != 0 ? FBufferFull : 0, resume = Value != 0 ? FBufferResume : 0;
    RaiseErrorForCode(this, FDispatcher->SetHardwareFlow(full, resume, Value));
  }
  FHardwareFlow = Value;
  if (Value & (HfUseRts | HfRequireCts)) SetRs485Mode(false);
}

void TApdCustomComPort::SetSoftwareFlow(uint8_t Value) {
  if (Value == FSoftwareFlow && !FForcing) return;
  if (Value >= swfReceive && Value <= swfBoth) {
    if (FBufferFull == 0 || FBufferFull > FInputSize) FBufferFull = static_cast<uint16_t>(FInputSize * 0.75);
    if (FBufferResume == 0 || FBufferResume > FBufferFull) FBufferResume = static_cast<uint16_t>(FInputSize * 0.25);
    if (IsOpenNow()) {
      const uint32_t options = Value == swfReceive ? SfReceiveFlow
                               : Value == swfTransmit ? SfTransmitFlow
                                                      : SfReceiveFlow | SfTransmitFlow;
      RaiseErrorForCode(this, FDispatcher->SetSoftwareFlow(FBufferFull, FBufferResume, options));
    }
  } else if (Value == swfNone && IsOpenNow()) {
    RaiseErrorForCode(this, FDispatcher->ClearSoftwareFlow());
  }
  FSoftwareFlow = Value;
}

void TApdCustomComPort::SetXonChar(uint8_t Value) {
  if (Value == FXonChar && !FForcing) return;
  if (IsOpenNow()) RaiseErrorForCode(this, FDispatcher->SetFlowChars(Value, FXoffChar));
  FXonChar = Value;
}

void TApdCustomComPort::SetXoffChar(uint8_t Value) {
  if (Value == FXoffChar && !FForcing) return;
  if (IsOpenNow()) RaiseErrorForCode(this, FDispatcher->SetFlowChars(FXonChar, Value));
  FXoffChar = Value;
}

void TApdCustomComPort::SetUseOptionFlag(bool Value) {
  if (Value == FUseOptionFlag && !FForcing) return;
  if (IsOpenNow()) {
    if (Value)
      FDispatcher->SetOptionFlag(OptionUseEventWord);
    else
      FDispatcher->ClearOptionFlag(OptionUseEventWord);
  }
  FUseOptionFlag = Value;
}

void TApdCustomComPort::SetLengthTrigger(uint16_t Value) {
  if (Value == FLengthTrigger && !FForcing) return;
  if (IsOpenNow()) FDispatcher->SetLengthTrigger(Value);
  FLengthTrigger = Value;
}

void TApdCustomComPort::SetTracing(uint8_t Value) {
  if (Value == FTracing && !FForcing) return;
  if (!IsOpenNow()) {
    FTracing = Value >= tlDump ? tlOff : Value;
    return;
  }
  ApplyTracing(Value);
}

// The trace and the dispatch log are driven alike: the dispatcher's operations
// on one of them, and where and how it is written.
struct TApdCustomComPort::TRecording {
  int32_t (TApdBaseDispatcher::*Start)(uint32_t);
  void (TApdBaseDispatcher::*Stop)();
  void (TApdBaseDispatcher::*Pause)();
  void (TApdBaseDispatcher::*Resume)();
  void (TApdBaseDispatcher::*Clear)();
  int32_t (TApdBaseDispatcher::*Dump)(const std::string&, bool, bool, bool);
  uint32_t Size;
  const std::string& Name;
  bool AllHex;
  bool Hex;
};

void TApdCustomComPort::ApplyTracing(uint8_t Value) {
  ApplyRecording(FTracing, Value,
                 {&TApdBaseDispatcher::StartTrace, &TApdBaseDispatcher::StopTrace, &TApdBaseDispatcher::PauseTrace,
                  &TApdBaseDispatcher::ResumeTrace, &TApdBaseDispatcher::ClearTrace, &TApdBaseDispatcher::DumpTrace,
                  FTraceSize, FTraceName, FTraceAllHex, FTraceHex});
}

void TApdCustomComPort::ApplyRecording(uint8_t& State, uint8_t Value, const TRecording& Record) {
  TApdBaseDispatcher& dispatcher = *FDispatcher;
  const bool running = State == tlOn || State == tlPause;
  // While a port that has just opened takes its settings again, its dispatcher
  // holds nothing yet: a record that was paused (on the port before a move to
  // another number) starts here paused, so that turning it on records again.
  const bool fresh = FForcing;
  switch (Value) {
    case tlOff:
      if (running) (dispatcher.*Record.Stop)();
      State = tlOff;
      break;
    case tlOn:
      if (State == tlPause && !fresh) {
        (dispatcher.*Record.Resume)();
      } else {
        RaiseErrorForCode(this, (dispatcher.*Record.Start)(Record.Size));
      }
      State = tlOn;
      break;
    case tlDump:
    case tlAppend:
      State = tlOff;
      if (running) {
        (dispatcher.*Record.Resume)();
        RaiseErrorForCode(this, (dispatcher.*Record.Dump)(Record.Name, Value == tlAppend, Record.AllHex, Record.Hex));
      }
      break;
    case tlClear:
      if (running) (dispatcher.*Record.Clear)();
      break;
    case tlPause:
      if (State == tlOn) {
        (dispatcher.*Record.Pause)();
        State = tlPause;
      } else if (State == tlPause && fresh) {
        RaiseErrorForCode(this, (dispatcher.*Record.Start)(Record.Size));
        (dispatcher.*Record.Pause)();
      }
      break;
    default: break;
  }
}

void TApdCustomComPort::SetLogging(uint8_t Value) {
  if (Value == FLogging && !FForcing) return;
  if (!IsOpenNow()) {
    FLogging = Value >= tlDump ? tlOff : Value;
    return;
  }
  ApplyLogging(Value);
}

void TApdCustomComPort::ApplyLogging(uint8_t Value) {
  ApplyRecording(FLogging, Value,
                 {&TApdBaseDispatcher::StartDispatchLog, &TApdBaseDispatcher::StopDispatchLog,
                  &TApdBaseDispatcher::PauseDispatchLog, &TApdBaseDispatcher::ResumeDispatchLog,
                  &TApdBaseDispatcher::ClearDispatchLog, &TApdBaseDispatcher::DumpDispatchLog, FLogSize, FLogName,
                  FLogAllHex, FLogHex});
}
