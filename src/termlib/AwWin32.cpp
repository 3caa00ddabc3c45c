#include "AwWin32.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

namespace {
// How often the modem lines of a device that has them are read.
constexpr int ModemLinePollMs = 20;
// How often output held back by a low DSR line is tried again.
constexpr int DsrHoldPollMs = 10;

uint8_t ModemStatusOfLines(int Lines) {
  uint8_t status = 0;
  if (Lines & TIOCM_CTS) status |= ModemCts;
  if (Lines & TIOCM_DSR) status |= ModemDsr;
  if (Lines & TIOCM_RNG) status |= ModemRi;
  if (Lines & TIOCM_CD) status |= ModemDcd;
  return status;
}
}  // namespace

TApdWin32Dispatcher::TApdWin32Dispatcher(TApdBaseComponent* Owner, IMainThread* MainThread)
    : TApdBaseDispatcher(Owner, MainThread) {}

TApdWin32Dispatcher::~TApdWin32Dispatcher() { Shutdown(); }

int32_t TApdWin32Dispatcher::Failed(int Error) {
  SetLastSystemError(Error);
  const int32_t code = ApdErrorFromErrno(Error);
  return code != 0 ? code : -162;
}

// ---------------------------------------------------------------------------
// Opening and closing

int32_t TApdWin32Dispatcher::OpenDevice(const std::string& Name, uint32_t, uint32_t) {
  std::unique_lock<std::shared_mutex> guard(FDeviceLock);
  if (FPort.Open(Name) != TSerialOpenResult::Opened) {
    SetLastSystemError(FPort.LastError());
    return -1;
  }
  DeviceOpened();
  return FPort.Handle();
}

int32_t TApdWin32Dispatcher::AdoptDevice(int Handle) {
  std::unique_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.Adopt(Handle)) {
    SetLastSystemError(FPort.LastError());
    close(Handle);
    return -1;
  }
  DeviceOpened();
  return Handle;
}

void TApdWin32Dispatcher::DeviceOpened() {
  FHungUp = false;
  FCarry = -1;
  FPendingErrors = 0;
  const auto lines = FPort.GetModemLines();
  FHasModemLines = lines.has_value();
  FLastModemLines = lines.value_or(0);
  FWrittenDCB = TApdDCB{};
  FKernelRs485 = false;
}

int32_t TApdWin32Dispatcher::CloseDevice() {
  // The threads that use the descriptor end first, so it is never closed
  // under a poll or a write.
  StopDeviceThreads();
  std::unique_lock<std::shared_mutex> guard(FDeviceLock);
  if (FPort.IsOpen()) {
    // The driver keeps its RS-485 mode beyond the close: the next user of the
    // device finds it as it was before this port.
    if (FKernelRs485) KernelRs485Off();
    FPort.Close();
  }
  FKernelRs485 = false;
  SetComHandle(-1);
  return 0;
}

void TApdWin32Dispatcher::KernelRs485Off() {
  serial_rs485 off{};
  ioctl(FPort.Handle(), TIOCSRS485, &off);
}

bool TApdWin32Dispatcher::SetupBuffers(uint32_t, uint32_t) {
  // The terminal driver's queues have a size of their own.
  return true;
}

void TApdWin32Dispatcher::StartDispatcher() { StartThreads(); }

void TApdWin32Dispatcher::StopDispatcher() { StopThreads(); }

int32_t TApdWin32Dispatcher::YieldSlice() {
  std::this_thread::yield();
  return 0;
}

// ---------------------------------------------------------------------------
// Line settings

TSerialLineSettings TApdWin32Dispatcher::LineSettingsOfDCB(const TApdDCB& DCB) {
  TSerialLineSettings line;
  line.BaudRate = DCB.BaudRate;
  line.DataBits = DCB.ByteSize;
  switch (DCB.Parity) {
    case OddParity: line.Parity = TSerialParity::Odd; break;
    case EvenParity: line.Parity = TSerialParity::Even; break;
    case MarkParity: line.Parity = TSerialParity::Mark; break;
    case SpaceParity: line.Parity = TSerialParity::Space; break;
    default: line.Parity = TSerialParity::None; break;
  }
  line.StopBits = DCB.StopBits == TwoStopBits    ? TSerialStopBits::Two
                  : DCB.StopBits == One5StopBits ? TSerialStopBits::OneAndHalf
                                                 : TSerialStopBits::One;
  line.OutXonXoff = DCB.OutX;
  line.InXonXoff = DCB.InX;
  line.XonChar = DCB.XonChar;
  line.XoffChar = DCB.XoffChar;
  line.CtsFlow = DCB.OutxCtsFlow;
  line.DsrFlow = DCB.OutxDsrFlow;
  line.Dtr = DCB.DtrControl == DtrControlDisable     ? TSerialLineControl::Off
             : DCB.DtrControl == DtrControlHandshake ? TSerialLineControl::Handshake
                                                     : TSerialLineControl::On;
  // In RS-485 mode (toggle) the driver keys RTS for each transmission.
  line.Rts = DCB.RtsControl == RtsControlEnable      ? TSerialLineControl::On
             : DCB.RtsControl == RtsControlHandshake ? TSerialLineControl::Handshake
                                                     : TSerialLineControl::Off;
  line.ReplaceErrors = DCB.ErrorCharOn && DCB.ParityCheck;
  line.ErrorChar = DCB.ErrorChar;
  line.DiscardNulls = DCB.NullStrip;
  return line;
}

void TApdWin32Dispatcher::DCBOfTerminal(const termios& Terminal, uint32_t Baud, TApdDCB& DCB) {
  DCB.BaudRate = Baud;
  switch (Terminal.c_cflag & CSIZE) {
    case CS5: DCB.ByteSize = 5; break;
    case CS6: DCB.ByteSize = 6; break;
    case CS7: DCB.ByteSize = 7; break;
    default: DCB.ByteSize = 8; break;
  }
  if (!(Terminal.c_cflag & PARENB))
    DCB.Parity = NoParity;
  else if (Terminal.c_cflag & CMSPAR)
    DCB.Parity = (Terminal.c_cflag & PARODD) ? MarkParity : SpaceParity;
  else
    DCB.Parity = (Terminal.c_cflag & PARODD) ? OddParity : EvenParity;
  DCB.StopBits = !(Terminal.c_cflag & CSTOPB) ? OneStopBit : DCB.ByteSize == 5 ? One5StopBits : TwoStopBits;
  // The kernel's RTS/CTS handshake covers both directions; a record that
  // asked for either half keeps its own words for it.
  if (Terminal.c_cflag & CRTSCTS) {
    if (!DCB.OutxCtsFlow && DCB.RtsControl != RtsControlHandshake) {
      DCB.OutxCtsFlow = true;
      DCB.RtsControl = RtsControlHandshake;
    }
  } else {
    DCB.OutxCtsFlow = false;
    if (DCB.RtsControl == RtsControlHandshake) DCB.RtsControl = RtsControlEnable;
  }
  DCB.OutX = (Terminal.c_iflag & IXON) != 0;
  DCB.InX = (Terminal.c_iflag & IXOFF) != 0;
  DCB.XonChar = Terminal.c_cc[VSTART];
  DCB.XoffChar = Terminal.c_cc[VSTOP];
}

int32_t TApdWin32Dispatcher::GetLineSettings(TApdDCB& DCB) {
  std::shared_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.IsOpen()) return -2007;
  termios terminal{};
  if (tcgetattr(FPort.Handle(), &terminal) != 0) return Failed(errno);
  DCB = FWrittenDCB;
  DCBOfTerminal(terminal, TSerialPort::CurrentBaudRate(FPort.Handle()).value_or(FWrittenDCB.BaudRate), DCB);
  return 0;
}

int32_t TApdWin32Dispatcher::SetLineSettings(const TApdDCB& DCB) {
  std::unique_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.IsOpen()) return -2007;
  // RTS keyed for each transmission (RS-485): by the kernel where the driver
  // can, else by the output thread, which needs an RTS line to switch. A device
  // with neither is refused before anything changes.
  const bool toggle = DCB.RtsControl == RtsControlToggle;
  bool kernelKeys = FKernelRs485;
  if (toggle && !FKernelRs485) {
    serial_rs485 rs485{};
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(FPort.Handle(), TIOCSRS485, &rs485) == 0) {
      kernelKeys = true;
    } else if (errno != ENOTTY && errno != EINVAL && errno != EOPNOTSUPP) {
      return Failed(errno);
    } else if (!FHasModemLines.load()) {
      SetLastSystemError(errno);
      return -3010;
    }
  }
  if (!FPort.Configure(LineSettingsOfDCB(DCB))) {
    const int error = FPort.LastError();
    if (kernelKeys && !FKernelRs485) KernelRs485Off();
    return Failed(error);
  }
  if (!toggle && FKernelRs485) KernelRs485Off();
  FKernelRs485 = toggle && kernelKeys;
  SetRtsKeyedByOutput(toggle && !kernelKeys);
  FWrittenDCB = DCB;
  FParityOn = DCB.Parity != NoParity;
  FDsrFlowOn = DCB.OutxDsrFlow;
  return 0;
}

int32_t TApdWin32Dispatcher::EscapeFunction(int32_t Code) {
  std::shared_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.IsOpen()) return -2007;
  bool done;
  switch (Code) {
    case EscSetXoff: done = FPort.SuspendOutput(true); break;
    case EscSetXon: done = FPort.SuspendOutput(false); break;
    case EscSetRts: done = FPort.SetModemLines(TIOCM_RTS, true); break;
    case EscClrRts: done = FPort.SetModemLines(TIOCM_RTS, false); break;
    case EscSetDtr: done = FPort.SetModemLines(TIOCM_DTR, true); break;
    case EscClrDtr: done = FPort.SetModemLines(TIOCM_DTR, false); break;
    case EscResetDev: return 0;
    case EscSetBreak: done = FPort.SetBreak(true); break;
    case EscClrBreak: done = FPort.SetBreak(false); break;
    case EscGetBaseIrq: return -3002;  // no direct access to a UART here
    default: return -1002;
  }
  return done ? 0 : Failed(FPort.LastError());
}

int32_t TApdWin32Dispatcher::SendBreakSignal() {
  std::shared_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.IsOpen()) return -2007;
  return FPort.SendBreak() ? 0 : Failed(FPort.LastError());
}

// ---------------------------------------------------------------------------
// Status

uint32_t TApdWin32Dispatcher::ReadStatus(TApdComStat& Status) {
  {
    std::shared_lock<std::shared_mutex> guard(FDeviceLock);
    Status.InQueue = FPort.IsOpen() ? static_cast<uint32_t>(FPort.InputQueued()) + (FCarry.load() >= 0 ? 1 : 0) : 0;
  }
  Status.OutQueue = TransmitRingUsed();
  Status.Errors = FPendingErrors.exchange(0);
  return Status.Errors;
}

int32_t TApdWin32Dispatcher::ReadSystemModemStatus(uint8_t& Status) {
  Status = 0;
  // A device that hung up has every line down.
  if (FHungUp.load()) return 0;
  if (!FHasModemLines.load()) return -3002;
  std::shared_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.IsOpen()) return -2007;
  const auto lines = FPort.GetModemLines();
  if (!lines) return Failed(FPort.LastError());
  Status = ModemStatusOfLines(*lines);
  return 0;
}

// ---------------------------------------------------------------------------
// Receiving

int32_t TApdWin32Dispatcher::ReadDevice(uint8_t* Buffer, uint32_t Count) {
  std::shared_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.IsOpen()) {
    SetLastSystemError(EBADF);
    return -1;
  }
  uint32_t got = 0;
  const int carried = FCarry.exchange(-1);
  if (carried >= 0 && Count > 0) Buffer[got++] = static_cast<uint8_t>(carried);
  TSerialInputEvents events;
  while (got < Count) {
    ssize_t result;
    if (Count - got >= 2) {
      result = FPort.Read(Buffer + got, Count - got, events);
    } else {
      // One byte of room: a held-back mark may decode into two bytes.
      uint8_t pair[2];
      result = FPort.Read(pair, sizeof pair, events);
      if (result >= 1) Buffer[got] = pair[0];
      if (result == 2) FCarry = pair[1];
      if (result > 1) result = 1;
    }
    if (result < 0) {
      if (got != 0) break;  // report the failure at the next read
      SetLastSystemError(FPort.LastError());
      return -1;
    }
    if (result == 0) break;
    got += static_cast<uint32_t>(result);
  }
  uint32_t errors = 0;
  if (events.Break) errors |= LineErrorBreak;
  if (events.ErrorBytes != 0) errors |= FParityOn.load() ? LineErrorParity : LineErrorFraming;
  if (errors) FPendingErrors.fetch_or(errors);
  return static_cast<int32_t>(got);
}

int32_t TApdWin32Dispatcher::ReadFailed() {
  // A terminal whose read fails (end of file included) has gone away.
  FHungUp = true;
  return 0;
}

bool TApdWin32Dispatcher::WaitEvent(uint32_t& Mask) {
  Mask = 0;
  int handle;
  {
    std::shared_lock<std::shared_mutex> guard(FDeviceLock);
    handle = FPort.Handle();
  }
  // The descriptor stays open while this thread runs: CloseDevice ends it first.
  if (handle < 0) return false;
  const bool hungUp = FHungUp.load();
  // With the receive ring full the device is not asked for input (it would
  // report readable again at once); the reader that makes room wakes us.
  const bool wantInput = !hungUp && ReceiveRingHasRoom();
  pollfd entries[2] = {{hungUp ? -1 : handle, static_cast<short>(wantInput ? POLLIN : 0), 0},
                       {ComWake()->Handle(), POLLIN, 0}};
  const int timeout = FHasModemLines.load() && !hungUp ? ModemLinePollMs : -1;
  const int ready = poll(entries, 2, timeout);
  if (ready < 0) {
    if (errno == EINTR) return true;
    SetLastSystemError(errno);
    return false;
  }
  if (entries[1].revents) ComWake()->Reset();
  if (entries[0].revents & POLLIN) Mask |= EvRxChar;
  if (entries[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
    // Reported once; the device is left alone from then on.
    if (!FHungUp.exchange(true)) Mask |= EvErr | EvRxChar;
  }
  if (FHasModemLines.load() && !FHungUp.load()) {
    std::optional<int> lines;
    {
      std::shared_lock<std::shared_mutex> guard(FDeviceLock);
      lines = FPort.GetModemLines();
    }
    if (lines) {
      const int changed = *lines ^ FLastModemLines;
      if (changed & TIOCM_CTS) Mask |= EvCts;
      if (changed & TIOCM_DSR) Mask |= EvDsr;
      if (changed & TIOCM_CD) Mask |= EvRlsd;
      if ((changed & TIOCM_RNG) && !(*lines & TIOCM_RNG)) Mask |= EvRingTe;
      if ((changed & TIOCM_RNG) && (*lines & TIOCM_RNG)) Mask |= EvRing;
      FLastModemLines = *lines;
    }
  }
  return true;
}

int32_t TApdWin32Dispatcher::PurgeQueue(int32_t Queue) {
  if (Queue == 0) {
    EmptyTransmitRing();
    if (OutWake()) OutWake()->Signal();
    std::shared_lock<std::shared_mutex> guard(FDeviceLock);
    if (!FPort.IsOpen()) return 0;
    return FPort.Purge(false, true) ? 0 : Failed(FPort.LastError());
  }
  // The decoder's state goes with the input it belonged to.
  std::unique_lock<std::shared_mutex> guard(FDeviceLock);
  FCarry = -1;
  if (!FPort.IsOpen()) return 0;
  return FPort.Purge(true, false) ? 0 : Failed(FPort.LastError());
}

// ---------------------------------------------------------------------------
// Sending

int32_t TApdWin32Dispatcher::QueueOutput(const uint8_t* Buffer, uint32_t Count) {
  CopyIntoTransmitRing(Buffer, Count);
  OutWake()->Signal();
  return static_cast<int32_t>(Count);
}

bool TApdWin32Dispatcher::OutputSentByDevice() {
  std::shared_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.IsOpen() || FHungUp.load()) return true;
  // Bytes in the driver's queue may be held back (XOFF) for as long as the far
  // end likes, so they are not waited for here.
  if (FPort.OutputQueued() > 0) return false;
  // The rest is in the hardware, and goes out within a few characters' time.
  FPort.DrainOutput();
  return true;
}

int32_t TApdWin32Dispatcher::WriteDevice(const uint8_t* Buffer, uint32_t Count) {
  std::shared_lock<std::shared_mutex> guard(FDeviceLock);
  if (!FPort.IsOpen()) return -EBADF;
  const ssize_t written = FPort.WriteSome(Buffer, Count);
  return static_cast<int32_t>(written);
}

void TApdWin32Dispatcher::WaitWritable() {
  int handle;
  {
    std::shared_lock<std::shared_mutex> guard(FDeviceLock);
    handle = FPort.Handle();
  }
  if (handle < 0) return;
  pollfd entries[2] = {{handle, POLLOUT, 0}, {OutWake()->Handle(), POLLIN, 0}};
  // The driver has room but nothing went out: a low DSR holds the output back,
  // and no descriptor tells when it rises.
  if (FDsrFlowOn.load() && poll(entries, 1, 0) == 1 && (entries[0].revents & POLLOUT)) {
    poll(entries + 1, 1, DsrHoldPollMs);
    return;
  }
  poll(entries, 2, -1);
}

// ---------------------------------------------------------------------------
// A terminal opened elsewhere

TApdTAPI32Dispatcher::TApdTAPI32Dispatcher(TApdBaseComponent* Owner, int DeviceHandle, IMainThread* MainThread)
    : TApdWin32Dispatcher(Owner, MainThread), FTapiHandle(DeviceHandle) {}

TApdTAPI32Dispatcher::~TApdTAPI32Dispatcher() { Shutdown(); }

int32_t TApdTAPI32Dispatcher::OpenDevice(const std::string&, uint32_t, uint32_t) {
  if (FTapiHandle <= 0) {
    SetLastSystemError(EBADF);
    return -2007;
  }
  const int handle = fcntl(FTapiHandle, F_DUPFD_CLOEXEC, 0);
  if (handle < 0) {
    SetLastSystemError(errno);
    return -2007;
  }
  return AdoptDevice(handle);
}
