// The dispatcher's life, line settings, status and the two rings. The threads
// are in AwUserThreads.cpp, triggers and delivery in AwUserTriggers.cpp, the
// trace and the dispatch log in AwUserLog.cpp.
#include "AwUser.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "AdExcept.h"

std::vector<TApdBaseDispatcher*> DispatcherList;
std::mutex DispatcherListLock;

TApdBaseDispatcher* DispatcherOfHandle(int32_t Handle) {
  if (Handle < 0 || static_cast<size_t>(Handle) >= DispatcherList.size()) return nullptr;
  return DispatcherList[static_cast<size_t>(Handle)];
}

int32_t ApdErrorFromErrno(int Error) {
  switch (Error) {
    case 0: return 0;
    case ENOENT:
    case ENXIO:
    case ENODEV: return -2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return -3;
    case EMFILE:
    case ENFILE: return -4;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EAGAIN:  // a lock that another holder keeps
    case EROFS: return -5;
    case EBADF: return -6;
    case ENOMEM: return -8;
    case ENOTTY:
    case EINVAL:
    case EOPNOTSUPP:
    case ENOSYS: return -3002;
    default: return -162;
  }
}

uint32_t TranslateBaud(uint32_t Baud) {
  static constexpr uint32_t Codes[24] = {110,   300,   600,   1200,  2400,  4800,  9600,  14400,
                                         19200, 65305, 65306, 38400, 65308, 65309, 65310, 56000,
                                         65312, 65313, 65314, 128000, 65316, 65317, 65318, 256000};
  if (Baud == 65279) return 115200;
  if (Baud >= 65296 && Baud <= 65319) return Codes[Baud - 65296];
  return Baud;
}

// ---------------------------------------------------------------------------
// Life

TApdBaseDispatcher::TApdBaseDispatcher(TApdBaseComponent* Owner, IMainThread* MainThread)
    : FOwner(Owner), FMainThread(MainThread) {
  // The wake-ups live as long as the dispatcher, so no caller ever signals a
  // descriptor that was closed meanwhile. Without them OpenPort reports -8.
  try {
    FComWake = std::make_unique<TWakeEvent>();
    FOutWake = std::make_unique<TWakeEvent>();
  } catch (const std::exception&) {
    FComWake.reset();
    FOutWake.reset();
  }
  std::lock_guard<std::mutex> guard(DispatcherListLock);
  auto empty = std::find(DispatcherList.begin(), DispatcherList.end(), nullptr);
  if (empty != DispatcherList.end()) {
    *empty = this;
    FHandle = static_cast<int32_t>(empty - DispatcherList.begin());
  } else {
    DispatcherList.push_back(this);
    FHandle = static_cast<int32_t>(DispatcherList.size() - 1);
  }
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
  // The most derived class has stopped everything already (Shutdown); this
  // only stops what a class that forgot left running.
  StopThreads();
  std::lock_guard<std::mutex> guard(DispatcherListLock);
  if (FHandle >= 0 && static_cast<size_t>(FHandle) < DispatcherList.size()) DispatcherList[FHandle] = nullptr;
  while (!DispatcherList.empty() && DispatcherList.back() == nullptr) DispatcherList.pop_back();
}

void TApdBaseDispatcher::Shutdown() {
  if (FClosePending.load())
    ReleaseBuffers();
  else
    ClosePort();
  StopDispatcher();
  JoinThreadObjects();
}

std::string TApdBaseDispatcher::DeviceName() const {
  std::lock_guard<std::mutex> guard(FLineSection);
  return FDeviceName;
}

void TApdBaseDispatcher::SetDeviceName(const std::string& Name) {
  std::lock_guard<std::mutex> guard(FLineSection);
  FDeviceName = Name;
}

bool TApdBaseDispatcher::CallerIsHandlerOrThread() const {
  const auto self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> guard(FDispSection);
    if (FHandlerThread == self) return true;
  }
  std::lock_guard<std::mutex> guard(FThreadLock);
  return (FComThread && FComThread->Id() == self) || (FDispThread && FDispThread->Id() == self) ||
         (FOutThread && FOutThread->Id() == self) || FDispThreadId == self;
}

int32_t TApdBaseDispatcher::OpenPort(const std::string& Name, uint32_t Baud, uint32_t Options, uint32_t OutSize,
                                     uint32_t InSize, uint8_t StopBits, uint8_t DataBits, uint8_t Parity) {
  if (IsOpen()) return -2008;
  // A close that a handler asked for ends on the dispatch thread; wait for it,
  // unless this call comes from that handler.
  if (!WaitForThreads()) return -2008;
  if (OutSize == 0) return -1002;

  // Clear the state of an earlier session.
  FRingSeen = false;
  FInDispatch = false;
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    FRemovalsPending = false;
  }
  FKillThreads = false;
  FClosePending = false;
  if (!FComWake || !FOutWake) return -8;

  const int32_t device = OpenDevice(Name, InSize, OutSize);
  if (device < 0) {
    const int32_t code = device == -8 || device <= -1000 ? device : ApdErrorFromErrno(LastSystemError());
    ClosePort();
    return code != 0 ? code : -162;
  }
  SetComHandle(device);
  if (!SetupBuffers(InSize, OutSize)) {
    const int32_t code = ApdErrorFromErrno(LastSystemError());
    ClosePort();
    return code != 0 ? code : -162;
  }

  try {
    std::scoped_lock guard(FDispSection, FOutputSection);
    FRxBuffer.assign(DispatchBufferSize, 0);
    FRxHead = FRxTail = 0;
    FPeekMode = false;
    FTaken = FMaxTaken = 0;
    FTxBuffer.assign(OutSize, 0);
    FTxHead = FTxTail = 0;
    FOutputError = 0;
    FOutputRetry = false;
    FRtsKeyedByOutput = false;
  } catch (const std::bad_alloc&) {
    ClosePort();
    return -8;
  }
  {
    std::lock_guard<std::mutex> guard(FLineSection);
    FInputSize = InSize;
    FOutputSize = OutSize;
    FRs485 = false;
    FHardwareOptions = ((Options & OpenDtrFlowOwned) ? HfUseDtr : 0) | ((Options & OpenRtsFlowOwned) ? HfUseRts : 0);
    // A line that flow control owns still records the state asked for: it
    // takes that state when flow control gives it back.
    FDtrOwned = (Options & OpenDtrFlowOwned) != 0;
    FDtrState = (Options & OpenDtrOn) != 0;
    FRtsOwned = (Options & OpenRtsFlowOwned) != 0;
    FRtsState = (Options & OpenRtsOn) != 0;
    FCurrentBaud = 115200;
  }
  FDataSent = false;
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    FLineErrors = 0;
  }
  ClearTriggers();
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    FDataScanPos = FLastLengthPos = 0;
    ResetStatusTriggersLocked();
    ReadModemStatusLocked(0xF0);
  }

  // The first write always reaches the device: it also puts the terminal into
  // raw mode and sets DTR and RTS as asked, whatever the device held before.
  const int32_t line = SetLineOnce(Baud, Parity, StopBits, DataBits, true);
  if (line != 0) {
    ClosePort();
    return line;
  }

  RefreshLineErrors();
  StopTrace();
  StopDispatchLog();
  {
    std::lock_guard<std::mutex> guard(FTraceSection);
    FTimeBase = ReadMillisecondClock();
  }
  StartDispatcher();
  return 0;
}

void TApdBaseDispatcher::ClosePort() {
  if (IsOpen()) {
    FlushOutput();
    FlushInput();
    CloseDevice();
  }
  if (CallerIsHandlerOrThread()) {
    // The dispatch thread is inside a delivery that leads here; it finishes
    // the close once the handler returns.
    FClosePending = true;
    CancelMainThreadCalls();
    WakeDispatchThread();
  } else {
    ReleaseBuffers();
  }
}

void TApdBaseDispatcher::ReleaseBuffers() {
  StopDispatcher();
  // Nothing is freed while another thread of this dispatcher still runs; the
  // dispatch thread itself comes here when it finishes a close of a handler.
  {
    std::unique_lock<std::mutex> guard(FThreadLock);
    const int32_t self = FDispRunning && FDispThreadId == std::this_thread::get_id() ? 1 : 0;
    FThreadSignal.wait(guard, [&] { return FActiveThreads.load() <= self; });
  }
  std::scoped_lock guard(FDispSection, FOutputSection);
  FRxBuffer.clear();
  FRxBuffer.shrink_to_fit();
  FTxBuffer.clear();
  FTxBuffer.shrink_to_fit();
  FRxHead = FRxTail = 0;
  FTxHead = FTxTail = 0;
  FPeekMode = false;
}

bool TApdBaseDispatcher::WaitForThreads() {
  if (CallerIsHandlerOrThread()) {
    std::lock_guard<std::mutex> guard(FThreadLock);
    return !FComThread && !FDispThread && !FOutThread;
  }
  {
    std::unique_lock<std::mutex> guard(FThreadLock);
    FThreadSignal.wait(guard, [&] { return FActiveThreads.load() == 0; });
  }
  JoinThreadObjects();
  return true;
}

void TApdBaseDispatcher::JoinThreadObjects() {
  std::unique_ptr<TComThread> com;
  std::unique_ptr<TDispThread> disp;
  std::unique_ptr<TOutThread> out;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    if (FComThread && !FComThread->IsCurrentThread()) com = std::move(FComThread);
    if (FDispThread && !FDispThread->IsCurrentThread()) disp = std::move(FDispThread);
    if (FOutThread && !FOutThread->IsCurrentThread()) out = std::move(FOutThread);
  }
  // The destructors join; no lock is held while they wait.
  out.reset();
  com.reset();
  if (disp) {
    disp.reset();
    std::lock_guard<std::mutex> guard(FThreadLock);
    FDispThreadId = std::thread::id();
  }
}

// ---------------------------------------------------------------------------
// Line settings

int32_t TApdBaseDispatcher::SetLine(uint32_t Baud, uint8_t Parity, uint8_t StopBits, uint8_t DataBits) {
  return SetLineOnce(Baud, Parity, StopBits, DataBits, false);
}

int32_t TApdBaseDispatcher::SetLineOnce(uint32_t Baud, uint8_t Parity, uint8_t StopBits, uint8_t DataBits,
                                        bool Force) {
  if (!IsOpen()) return -2007;
  if (Parity > 5) return -1002;
  if (DataBits != 9 && (DataBits < 5 || DataBits > 8)) return -2003;
  std::lock_guard<std::mutex> guard(FLineSection);
  int32_t result = GetLineSettings(FDCB);
  if (result != 0) return result;
  FDCB.Binary = true;
  FDCB.ParityCheck = false;
  FDCB.DsrSensitivity = false;
  FDCB.TxContinueOnXoff = true;
  FDCB.NullStrip = false;

  const uint32_t newBaud = Baud == 0 ? FDCB.BaudRate : TranslateBaud(Baud);
  const uint8_t newParity = Parity == 5 ? FDCB.Parity : Parity;
  const uint8_t newBits = DataBits == 9 ? FDCB.ByteSize : DataBits;
  uint8_t newStop = FDCB.StopBits;
  if (StopBits != 3) {
    const uint8_t count = StopBits == 0 ? 1 : StopBits > 2 ? 2 : StopBits;
    newStop = count == 1 ? OneStopBit : TwoStopBits;
  }
  if (newBits == 5) newStop = One5StopBits;
  if (!Force && newBaud == FDCB.BaudRate && newParity == FDCB.Parity && newBits == FDCB.ByteSize &&
      newStop == FDCB.StopBits)
    return 0;

  WaitOutputDrained(FDCB);
  result = GetLineSettings(FDCB);
  if (result != 0) return result;
  FDCB.Binary = true;
  FDCB.ParityCheck = false;
  FDCB.DsrSensitivity = false;
  FDCB.TxContinueOnXoff = true;
  FDCB.NullStrip = false;
  FDCB.BaudRate = newBaud;
  FDCB.Parity = newParity;
  FDCB.ByteSize = newBits;
  FDCB.StopBits = newStop;
  return WriteSettings(FDCB);
}

void TApdBaseDispatcher::WaitOutputDrained(const TApdDCB& DCB) {
  // Let what is queued go out at the old settings, then give the last two
  // characters time to leave the wire.
  for (int i = 0; i < 5000; ++i) {
    {
      std::lock_guard<std::mutex> guard(FOutputSection);
      // Output that the device refused cannot drain.
      if (TransmitUsedLocked() == 0 || FOutputError != 0 || FTxBuffer.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const uint64_t baud = std::max<uint32_t>(DCB.BaudRate, 1);
  uint64_t bits = DCB.ByteSize + 2u;
  if (DCB.Parity != NoParity) ++bits;
  if (DCB.StopBits != OneStopBit) ++bits;
  const uint64_t twoChars = (10000000 / baud) * bits * 2;  // in 100-ns units
  uint64_t wait = 9 * twoChars;
  if (wait < 10000) wait = 18 * twoChars;
  const uint64_t ms = wait / 10000 + (wait % 10000 != 0 ? 1 : 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int32_t TApdBaseDispatcher::WriteSettings(TApdDCB& DCB) {
  // With the line-settings lock held. The device layer applies DTR and RTS
  // together with the rest.
  if (!FDtrOwned) DCB.DtrControl = FDtrState ? DtrControlEnable : DtrControlDisable;
  if (!FRtsOwned) DCB.RtsControl = FRtsState ? RtsControlEnable : RtsControlDisable;
  const int32_t result = SetLineSettings(DCB);
  if (result == 0) FCurrentBaud = DCB.BaudRate;
  return result;
}

int32_t TApdBaseDispatcher::GetLine(uint32_t& Baud, uint8_t& Parity, uint8_t& DataBits, uint8_t& StopBits) {
  if (!IsOpen()) return -2007;
  std::lock_guard<std::mutex> guard(FLineSection);
  const int32_t result = GetLineSettings(FDCB);
  if (result != 0) return result;
  Baud = FDCB.BaudRate;
  Parity = FDCB.Parity;
  DataBits = FDCB.ByteSize;
  StopBits = FDCB.StopBits == TwoStopBits ? 2 : 1;
  return 0;
}

uint32_t TApdBaseDispatcher::CurrentBaud() const {
  std::lock_guard<std::mutex> guard(FLineSection);
  return FCurrentBaud;
}

int32_t TApdBaseDispatcher::SetDtr(bool On) {
  std::lock_guard<std::mutex> guard(FLineSection);
  if (FDtrOwned) return 1;
  const int32_t result = EscapeFunction(On ? EscSetDtr : EscClrDtr);
  if (result < 0) return result;
  FDtrState = On;
  return 0;
}

int32_t TApdBaseDispatcher::SetRts(bool On) {
  std::lock_guard<std::mutex> guard(FLineSection);
  if (FRtsOwned) return 1;
  const int32_t result = EscapeFunction(On ? EscSetRts : EscClrRts);
  if (result < 0) return result;
  FRtsState = On;
  return 0;
}

int32_t TApdBaseDispatcher::SetHardwareFlow(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options) {
  if (!IsOpen()) return -2007;
  std::lock_guard<std::mutex> guard(FLineSection);
  if (BufferFull < BufferResume || BufferFull > FInputSize) return -1002;
  const int32_t read = GetLineSettings(FDCB);
  if (read != 0) return read;
  const TApdDCB before = FDCB;
  const bool dtrOwned = FDtrOwned, rtsOwned = FRtsOwned;
  FDCB.OutxCtsFlow = FDCB.OutxDsrFlow = false;
  FDCB.DtrControl = DtrControlDisable;
  FDCB.RtsControl = RtsControlDisable;
  FDtrOwned = FRtsOwned = false;
  if (Options & HfUseDtr) {
    FDCB.DtrControl = DtrControlHandshake;
    FDtrOwned = true;
  } else if (FDtrState) {
    FDCB.DtrControl = DtrControlEnable;
  }
  if (Options & HfUseRts) {
    FDCB.RtsControl = RtsControlHandshake;
    FRtsOwned = true;
  } else if (FRtsState) {
    FDCB.RtsControl = RtsControlEnable;
  }
  if (FRs485) {
    FDCB.RtsControl = RtsControlToggle;
    FRtsOwned = true;
  }
  FDCB.XoffLim = static_cast<uint16_t>(FInputSize - BufferFull);
  FDCB.XonLim = static_cast<uint16_t>(BufferResume);
  if (Options & HfRequireDsr) FDCB.OutxDsrFlow = true;
  if (Options & HfRequireCts) FDCB.OutxCtsFlow = true;
  const int32_t result = WriteSettings(FDCB);
  if (result == 0) {
    FHardwareOptions = Options;
    return 0;
  }
  // Nothing changes: the lines go back to their owners, and the device, which
  // may have taken part of the write, gets the settings it had.
  FDtrOwned = dtrOwned;
  FRtsOwned = rtsOwned;
  FDCB = before;
  SetLineSettings(FDCB);
  return result;
}

int32_t TApdBaseDispatcher::SetSoftwareFlow(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options) {
  if (!IsOpen()) return -2007;
  std::lock_guard<std::mutex> guard(FLineSection);
  if (BufferFull < BufferResume || BufferFull > FInputSize) return -1002;
  const int32_t read = GetLineSettings(FDCB);
  if (read != 0) return read;
  if (Options & SfReceiveFlow) {
    FDCB.InX = true;
    FDCB.XoffLim = static_cast<uint16_t>(FInputSize - BufferFull);
    FDCB.XonLim = static_cast<uint16_t>(BufferResume);
  }
  if (Options & SfTransmitFlow) FDCB.OutX = true;
  if (Options & (SfReceiveFlow | SfTransmitFlow)) {
    FDCB.XonChar = 17;
    FDCB.XoffChar = 19;
  }
  return WriteSettings(FDCB);
}

int32_t TApdBaseDispatcher::ClearSoftwareFlow() {
  if (!IsOpen()) return -2007;
  std::lock_guard<std::mutex> guard(FLineSection);
  const int32_t read = GetLineSettings(FDCB);
  if (read != 0) return read;
  FDCB.OutX = FDCB.InX = false;
  return WriteSettings(FDCB);
}

int32_t TApdBaseDispatcher::SetFlowChars(uint8_t Xon, uint8_t Xoff) {
  if (!IsOpen()) return -2007;
  std::lock_guard<std::mutex> guard(FLineSection);
  const int32_t read = GetLineSettings(FDCB);
  if (read != 0) return read;
  FDCB.XonChar = Xon;
  FDCB.XoffChar = Xoff;
  return WriteSettings(FDCB);
}

int32_t TApdBaseDispatcher::GetFlowOptions(uint32_t& HardwareOptions, uint32_t& SoftwareOptions, uint8_t& Xoff,
                                           uint8_t& Xon) {
  if (!IsOpen()) return -2007;
  std::lock_guard<std::mutex> guard(FLineSection);
  const int32_t read = GetLineSettings(FDCB);
  if (read != 0) return read;
  HardwareOptions = 0;
  if (FDCB.DtrControl == DtrControlHandshake) HardwareOptions |= HfUseDtr;
  if (FDCB.RtsControl == RtsControlHandshake) HardwareOptions |= HfUseRts;
  if (FDCB.OutxDsrFlow) HardwareOptions |= HfRequireDsr;
  if (FDCB.OutxCtsFlow) HardwareOptions |= HfRequireCts;
  SoftwareOptions = (FDCB.OutX ? SfTransmitFlow : 0) | (FDCB.InX ? SfReceiveFlow : 0);
  Xoff = FDCB.XoffChar;
  Xon = FDCB.XonChar;
  return 0;
}

int32_t TApdBaseDispatcher::SetRs485Mode(bool On, bool RtsOn) {
  {
    std::lock_guard<std::mutex> guard(FLineSection);
    if (On != FRs485 && IsOpen()) {
      // The line takes the change at once. On: RTS belongs to the keying and
      // rests low between transmissions. Off: RTS goes back to hardware flow
      // control, or to RtsOn; either way RtsOn becomes its state.
      TApdDCB dcb;
      int32_t result = GetLineSettings(dcb);
      if (result != 0) return result;
      const TApdDCB before = dcb;
      const bool rtsOwned = FRtsOwned, rtsState = FRtsState;
      FRs485 = On;
      if (On) {
        dcb.RtsControl = RtsControlToggle;
        FRtsOwned = true;
        FRtsState = false;
      } else if (FHardwareOptions & HfUseRts) {
        dcb.RtsControl = RtsControlHandshake;
        FRtsOwned = true;
        FRtsState = RtsOn;
      } else {
        FRtsOwned = false;
        FRtsState = RtsOn;
      }
      result = WriteSettings(dcb);
      if (result != 0) {
        // Nothing changes, on the device either, which may have taken part of the write.
        FRs485 = !On;
        FRtsOwned = rtsOwned;
        FRtsState = rtsState;
        SetLineSettings(before);
        return result;
      }
      FDCB = dcb;
    } else {
      FRs485 = On;
    }
  }
  // The output thread keys RTS for each transmission, so it runs one step above the others.
  ApplyThreadPriorities();
  return 0;
}

bool TApdBaseDispatcher::Rs485Mode() const {
  std::lock_guard<std::mutex> guard(FLineSection);
  return FRs485;
}

// ---------------------------------------------------------------------------
// Status

uint8_t TApdBaseDispatcher::ReadModemStatus(uint8_t KeepMask) {
  std::lock_guard<std::mutex> guard(FDataSection);
  return ReadModemStatusLocked(KeepMask);
}

uint8_t TApdBaseDispatcher::ReadModemStatusLocked(uint8_t KeepMask) {
  uint8_t lines = 0;
  if (ReadSystemModemStatus(lines) != 0) lines = 0;
  FModemStatus = static_cast<uint8_t>((lines & 0xF0) | (FModemStatus & 0x0F));
  if (FRingSeen.exchange(false)) FModemStatus |= ModemTrailingEdgeRi;
  const uint8_t result = FModemStatus;
  FModemStatus &= KeepMask;
  return result;
}

int32_t TApdBaseDispatcher::ReadModemLines(uint8_t& Status) {
  if (!IsOpen()) return -2007;
  return ReadSystemModemStatus(Status);
}

void TApdBaseDispatcher::UpdateModemDeltas() {
  std::lock_guard<std::mutex> guard(FDataSection);
  const uint8_t old = FModemStatus;
  const uint8_t now = ReadModemStatusLocked(0xFF);
  FModemStatus |= static_cast<uint8_t>(((now ^ old) & 0xF0) >> 4);
}

void TApdBaseDispatcher::AddLineErrors(uint32_t Bits) {
  if ((Bits & 31) == 0) return;
  std::lock_guard<std::mutex> guard(FDataSection);
  FLineErrors |= Bits & 31;
}

void TApdBaseDispatcher::RefreshLineErrors() {
  // The device forgets what it reported, so every report is kept here.
  TApdComStat status;
  AddLineErrors(ReadStatus(status));
}

uint32_t TApdBaseDispatcher::LineErrors() const {
  std::lock_guard<std::mutex> guard(FDataSection);
  return FLineErrors;
}

int32_t TApdBaseDispatcher::TakeLineError() {
  std::lock_guard<std::mutex> guard(FDataSection);
  int32_t result = LeNoError;
  if (FLineErrors & LineErrorRxOverrun)
    result = LeBuffer;
  else if (FLineErrors & LineErrorOverrun)
    result = LeOverrun;
  else if (FLineErrors & LineErrorParity)
    result = LeParity;
  else if (FLineErrors & LineErrorFraming)
    result = LeFraming;
  else if (FLineErrors & LineErrorBreak)
    result = LeBreak;
  if (result != LeNoError) FLineErrors &= ~(LineErrorRxOverrun | LineErrorOverrun | LineErrorParity | LineErrorFraming);
  return result;
}

bool TApdBaseDispatcher::TakeBreak() {
  std::lock_guard<std::mutex> guard(FDataSection);
  const bool result = (FLineErrors & LineErrorBreak) != 0;
  FLineErrors &= ~LineErrorBreak;
  return result;
}

int32_t TApdBaseDispatcher::SendBreak() {
  if (!IsOpen()) return -2007;
  return SendBreakSignal();
}

// ---------------------------------------------------------------------------
// Receiving

uint32_t TApdBaseDispatcher::InputUsed() {
  std::lock_guard<std::mutex> guard(FDispSection);
  const uint32_t held = static_cast<uint32_t>(FRxHead - FRxTail);
  if (!FPeekMode) return held;
  // During a delivery only the handler that runs sees the bytes it has not taken.
  if (FHandlerThread != std::this_thread::get_id()) return 0;
  return held - std::min(held, FTaken);
}

int32_t TApdBaseDispatcher::CopyOut(uint8_t* Destination, uint32_t Offset, uint64_t& NewTail, uint32_t Count) {
  // With the receive lock held.
  const uint64_t held = FRxHead - FRxTail;
  if (static_cast<uint64_t>(Offset) + Count > held) return -3007;
  const uint32_t size = static_cast<uint32_t>(FRxBuffer.size());
  const uint64_t start = FRxTail + Offset;
  const uint32_t index = static_cast<uint32_t>(start % size);
  const uint32_t first = std::min(Count, size - index);
  std::memcpy(Destination, FRxBuffer.data() + index, first);
  if (Count > first) std::memcpy(Destination + first, FRxBuffer.data(), Count - first);
  NewTail = start + Count;
  return static_cast<int32_t>(Count);
}

int32_t TApdBaseDispatcher::GetBlock(uint8_t* Destination, uint32_t Count) {
  {
    std::lock_guard<std::mutex> guard(FDispSection);
    if (FRxBuffer.empty()) return -2007;
    uint64_t newTail = 0;
    if (FPeekMode) {
      if (FHandlerThread != std::this_thread::get_id()) return -3007;
      const int32_t result = CopyOut(Destination, FTaken, newTail, Count);
      if (result < 0) return result;
      FTaken += Count;
    } else {
      const int32_t result = CopyOut(Destination, 0, newTail, Count);
      if (result < 0) return result;
      FRxTail = newTail;
    }
  }
  ReceiveRoomMade();
  if (FTraceOn.load()) AddTraceBlock('R', Destination, Count);
  return static_cast<int32_t>(Count);
}

void TApdBaseDispatcher::FlushInput() {
  {
    // The data lock keeps the dispatch thread's pattern search out until the
    // matcher has forgotten the flushed bytes too: it sees the input as it was
    // before the flush or as it is after, never the bytes gone but not yet
    // forgotten. A read under way ends first: what it took from the device is
    // flushed too.
    std::lock_guard<std::mutex> data(FDataSection);
    std::lock_guard<std::mutex> read(FReadSection);
    uint64_t flushed;
    {
      std::lock_guard<std::mutex> guard(FDispSection);
      PurgeQueue(1);
      if (FPeekMode)
        FTaken = static_cast<uint32_t>(FRxHead - FRxTail);
      else
        FRxTail = FRxHead;
      flushed = FRxHead;
    }
    ResetDataTriggerCountersLocked(flushed);
  }
  ReceiveRoomMade();
  InputFlushed();
}

void TApdBaseDispatcher::ReceiveRoomMade() {
  if (FRxWantRoom.exchange(false) && FComWake) FComWake->Signal();
}

bool TApdBaseDispatcher::ReceiveRingHasRoom() {
  std::lock_guard<std::mutex> guard(FDispSection);
  const bool room = !FRxBuffer.empty() && FRxHead - FRxTail < FRxBuffer.size();
  if (!room) FRxWantRoom = true;
  return room;
}

void TApdBaseDispatcher::ReadIntoRing() {
  // On the dispatch thread, the only one that stores into the ring: the
  // device is read straight into the free space, and the head moves after.
  TApdComStat status;
  AddLineErrors(ReadStatus(status));
  if (status.InQueue == 0) return;
  bool gotAny = false;
  {
    std::lock_guard<std::mutex> read(FReadSection);
    uint8_t* ring;
    uint32_t size, index, free;
    {
      std::lock_guard<std::mutex> guard(FDispSection);
      if (FRxBuffer.empty()) return;
      ring = FRxBuffer.data();
      size = static_cast<uint32_t>(FRxBuffer.size());
      free = size - static_cast<uint32_t>(FRxHead - FRxTail);
      index = static_cast<uint32_t>(FRxHead % size);
    }
    const uint32_t wanted = std::min(status.InQueue, free);
    const uint32_t span = std::min(wanted, size - index);
    const uint32_t pieces[2][2] = {{index, span}, {0, wanted - span}};
    for (const auto& piece : pieces) {
      if (piece[1] == 0) break;
      int32_t got = ReadDevice(ring + piece[0], piece[1]);
      if (got < 0) {
        ReadFailed();
        got = 0;
      }
      if (got > 0) {
        gotAny = true;
        {
          std::lock_guard<std::mutex> guard(FDispSection);
          FRxHead += static_cast<uint32_t>(got);
        }
        if (FLogOn.load())
          AddDispatchEntry(DlDispatch, DlsReadCom, static_cast<uint32_t>(got), ring + piece[0],
                           static_cast<uint32_t>(got));
      }
      if (static_cast<uint32_t>(got) != piece[1]) break;
    }
  }
  // Breaks and byte errors found while reading are reported with the status.
  if (gotAny) RefreshLineErrors();
}

// ---------------------------------------------------------------------------
// Sending

int32_t TApdBaseDispatcher::PutBlock(const uint8_t* Buffer, uint32_t Count) {
  if (Count == 0) return 0;
  int32_t queued;
  {
    std::lock_guard<std::mutex> guard(FOutputSection);
    if (FTxBuffer.empty()) return -2007;
    if (FOutputError != 0) {
      // The device refused what the ring still holds: say so, and let the
      // output thread try it once more.
      FOutputRetry = true;
      if (FOutWake) FOutWake->Signal();
      return -3004;
    }
    const uint32_t free = static_cast<uint32_t>(FTxBuffer.size()) - TransmitUsedLocked();
    if (Count > free) return -3006;
    queued = QueueOutput(Buffer, Count);
  }
  if (queued < 1) {
    RefreshLineErrors();
    return -3004;
  }
  // Logged before the output-sent trigger can see it, so the log shows the
  // write before the trigger it fires.
  if (FLogOn.load()) AddDispatchEntry(DlDispatch, DlsWriteCom, Count, Buffer, Count);
  if (FTraceOn.load()) AddTraceBlock('T', Buffer, Count);
  FDataSent = true;
  if (FArmedStatusKinds.load() & (1u << StatusOutSent)) WakeDispatchThread();
  return 0;
}

void TApdBaseDispatcher::CopyIntoTransmitRing(const uint8_t* Buffer, uint32_t Count) {
  const uint32_t size = static_cast<uint32_t>(FTxBuffer.size());
  const uint32_t index = static_cast<uint32_t>(FTxHead % size);
  const uint32_t first = std::min(Count, size - index);
  std::memcpy(FTxBuffer.data() + index, Buffer, first);
  if (Count > first) std::memcpy(FTxBuffer.data(), Buffer + first, Count - first);
  FTxHead += Count;
}

uint32_t TApdBaseDispatcher::TransmitRingUsed() {
  std::lock_guard<std::mutex> guard(FOutputSection);
  return TransmitUsedLocked();
}

void TApdBaseDispatcher::EmptyTransmitRing() {
  std::lock_guard<std::mutex> write(FWriteSection);
  std::lock_guard<std::mutex> guard(FOutputSection);
  FTxTail = FTxHead;
  FOutputError = 0;
  FOutputRetry = false;
}

uint32_t TApdBaseDispatcher::OutputUsed() {
  RefreshLineErrors();
  return TransmitRingUsed();
}

uint32_t TApdBaseDispatcher::OutputFree() {
  RefreshLineErrors();
  std::lock_guard<std::mutex> guard(FOutputSection);
  return static_cast<uint32_t>(FTxBuffer.size()) - TransmitUsedLocked();
}

void TApdBaseDispatcher::FlushOutput() { PurgeQueue(0); }

int TApdBaseDispatcher::OutputError() const {
  std::lock_guard<std::mutex> guard(FOutputSection);
  return FOutputError;
}

// ---------------------------------------------------------------------------
// Thread priorities

void TApdBaseDispatcher::SetThreadBoost(uint8_t Boost) {
  {
    std::lock_guard<std::mutex> guard(FLineSection);
    if (Boost == FThreadBoost) return;
    FThreadBoost = Boost;
  }
  ApplyThreadPriorities();
}
