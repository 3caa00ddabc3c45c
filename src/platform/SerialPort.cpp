#include "SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "ComPortNames.h"

namespace {

// The rates the terminal interface names; others go through the custom-rate call.
speed_t StandardSpeed(uint32_t rate) {
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    default: return B0;
  }
}

// Errors of a modem-control request on a device without modem lines.
bool NoModemLines(int error) { return error == ENOTTY || error == EINVAL || error == EIO; }

}  // namespace

TSerialPort::~TSerialPort() { Close(); }

bool TSerialPort::BuildTerminalSettings(const TSerialLineSettings& Settings, termios& tio) {
  cfmakeraw(&tio);
  // Breaks and bytes with errors are marked in the data (see TSerialInputDecoder).
  tio.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | INPCK | ISTRIP | IXON | IXOFF | IXANY);
  tio.c_iflag |= PARMRK;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CREAD | CLOCAL;
  switch (Settings.DataBits) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    default: tio.c_cflag |= CS8; break;
  }
  switch (Settings.Parity) {
    case TSerialParity::Even: tio.c_cflag |= PARENB; break;
    case TSerialParity::Odd: tio.c_cflag |= PARENB | PARODD; break;
    case TSerialParity::Mark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TSerialParity::Space: tio.c_cflag |= PARENB | CMSPAR; break;
    case TSerialParity::None: break;
  }
  if (Settings.Parity != TSerialParity::None) tio.c_iflag |= INPCK;
  // The hardware sends one and a half stop bits when two are asked for with
  // five data bits.
  if (Settings.StopBits != TSerialStopBits::One) tio.c_cflag |= CSTOPB;
  if (Settings.CtsFlow || Settings.Rts == TSerialLineControl::Handshake) tio.c_cflag |= CRTSCTS;
  if (Settings.OutXonXoff) tio.c_iflag |= IXON;
  if (Settings.InXonXoff) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = Settings.XonChar;
  tio.c_cc[VSTOP] = Settings.XoffChar;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = StandardSpeed(Settings.BaudRate);
  cfsetispeed(&tio, speed != B0 ? speed : B38400);
  cfsetospeed(&tio, speed != B0 ? speed : B38400);
  return speed != B0;
}

TSerialOpenResult TSerialPort::Open(const std::string& PortName) {
  Close();
  FDeviceName = ResolveSerialDeviceName(PortName);
  int handle = open(FDeviceName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (handle < 0) {
    FLastError = errno;
    return FLastError == EBUSY ? TSerialOpenResult::InUse : TSerialOpenResult::NotAccessible;
  }
  if (!isatty(handle)) {
    FLastError = ENOTTY;
    close(handle);
    return TSerialOpenResult::NotAccessible;
  }
  // One holder at a time, like a Windows COM port: the lock keeps out other
  // port objects and programs that lock too; exclusive mode keeps out other
  // (unprivileged) openers.
  if (flock(handle, LOCK_EX | LOCK_NB) != 0) {
    FLastError = errno;
    close(handle);
    return FLastError == EWOULDBLOCK ? TSerialOpenResult::InUse : TSerialOpenResult::NotAccessible;
  }
  ioctl(handle, TIOCEXCL);
  FHandle = handle;
  FLastError = 0;
  FDecoder.Reset();
  return TSerialOpenResult::Opened;
}

bool TSerialPort::Adopt(int Handle) {
  Close();
  if (Handle < 0 || !isatty(Handle)) {
    FLastError = Handle < 0 ? EBADF : errno;
    return false;
  }
  const int flags = fcntl(Handle, F_GETFL);
  if (flags < 0 || fcntl(Handle, F_SETFL, flags | O_NONBLOCK) != 0) {
    FLastError = errno;
    return false;
  }
  FHandle = Handle;
  FDeviceName.clear();
  FLastError = 0;
  FDecoder.Reset();
  return true;
}

void TSerialPort::Close() {
  if (FHandle < 0) return;
  ioctl(FHandle, TIOCNXCL);
  close(FHandle);  // also drops the lock
  FHandle = -1;
}

bool TSerialPort::Configure(const TSerialLineSettings& Settings) {
  if (FHandle < 0) return false;
  termios tio{};
  if (tcgetattr(FHandle, &tio) != 0) {
    FLastError = errno;
    return false;
  }
  const bool custom_rate = !BuildTerminalSettings(Settings, tio);
  if (tcsetattr(FHandle, TCSANOW, &tio) != 0) {
    FLastError = errno;
    return false;
  }
  if (custom_rate && !SetSerialCustomBaudRate(FHandle, Settings.BaudRate)) {
    FLastError = errno;
    return false;
  }
  // DTR has no handshake of its own here; it is held on. RTS under handshake
  // belongs to the driver.
  if (!SetModemLines(TIOCM_DTR, Settings.Dtr != TSerialLineControl::Off) && !NoModemLines(FLastError)) return false;
  if (Settings.Rts != TSerialLineControl::Handshake && !SetModemLines(TIOCM_RTS, Settings.Rts == TSerialLineControl::On) &&
      !NoModemLines(FLastError))
    return false;
  FDsrFlow = Settings.DsrFlow;
  FDecoder.ReplaceErrors = Settings.ReplaceErrors;
  FDecoder.ErrorChar = Settings.ErrorChar;
  FDecoder.DiscardNulls = Settings.DiscardNulls;
  return true;
}

ssize_t TSerialPort::Read(uint8_t* Buffer, size_t Size, TSerialInputEvents& Events) {
  if (FHandle < 0) {
    FLastError = EBADF;
    return -1;
  }
  // The decoder may give one byte more than it is fed.
  const size_t want = std::min(Size - 1, sizeof FRaw);
  const ssize_t got = read(FHandle, FRaw, want);
  if (got < 0) {
    if (errno == EAGAIN || errno == EINTR) return 0;
    FLastError = errno;
    return -1;
  }
  if (got == 0) {
    // End of file on a terminal: the device hung up.
    FLastError = EIO;
    return -1;
  }
  return static_cast<ssize_t>(FDecoder.Decode(FRaw, static_cast<size_t>(got), Buffer, Events));
}

int TSerialPort::OutputQueued() const {
  int queued = 0;
  if (FHandle < 0 || ioctl(FHandle, TIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

bool TSerialPort::DrainOutput() {
  if (FHandle < 0) return false;
  for (;;) {
    if (tcdrain(FHandle) == 0) return true;
    if (errno == EINTR) continue;
    FLastError = errno;
    return false;
  }
}

bool TSerialPort::CanWrite() {
  if (FHandle < 0) return false;
  pollfd entry{FHandle, POLLOUT, 0};
  if (poll(&entry, 1, 0) != 1 || (entry.revents & POLLOUT) == 0) return false;
  if (OutputQueued() > 0) return false;
  if (FDsrFlow) {
    auto lines = GetModemLines();
    if (lines && (*lines & TIOCM_DSR) == 0) return false;
  }
  return true;
}

bool TSerialPort::WaitCanWrite(int TimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    if (CanWrite()) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || FHandle < 0) return false;
    // Room in the driver wakes poll; the driver's own queue draining and the
    // DSR line do not, so look again at least every millisecond.
    pollfd entry{FHandle, POLLOUT, 0};
    poll(&entry, 1, 1);
    if (entry.revents & POLLOUT) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

TSerialWriteResult TSerialPort::Write(uint8_t Value) {
  if (FHandle < 0) {
    FLastError = EBADF;
    return TSerialWriteResult::Failed;
  }
  // The kernel has no DSR handshake: hold the byte back here while DSR is down.
  if (FDsrFlow) {
    auto lines = GetModemLines();
    if (lines && (*lines & TIOCM_DSR) == 0) return TSerialWriteResult::WouldBlock;
  }
  const ssize_t written = write(FHandle, &Value, 1);
  if (written == 1) return TSerialWriteResult::Written;
  if (written < 0 && (errno == EAGAIN || errno == EINTR)) return TSerialWriteResult::WouldBlock;
  FLastError = written < 0 ? errno : EIO;
  return TSerialWriteResult::Failed;
}

ssize_t TSerialPort::WriteSome(const uint8_t* Data, size_t Size) {
  if (FHandle < 0) {
    FLastError = EBADF;
    return -EBADF;
  }
  if (Size == 0) return 0;
  if (FDsrFlow) {
    auto lines = GetModemLines();
    if (lines && (*lines & TIOCM_DSR) == 0) return 0;
  }
  for (;;) {
    const ssize_t written = write(FHandle, Data, Size);
    if (written >= 0) return written;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    const int error = errno;
    FLastError = error;
    return -error;
  }
}

int TSerialPort::InputQueued() const {
  int queued = 0;
  if (FHandle < 0 || ioctl(FHandle, FIONREAD, &queued) != 0) return 0;
  return queued;
}

bool TSerialPort::Purge(bool Input, bool Output) {
  if (FHandle < 0) return false;
  if (!Input && !Output) return true;
  if (Input) FDecoder.Reset();
  if (tcflush(FHandle, Input && Output ? TCIOFLUSH : Input ? TCIFLUSH : TCOFLUSH) == 0) return true;
  FLastError = errno;
  return false;
}

bool TSerialPort::SetBreak(bool On) {
  if (FHandle < 0) return false;
  if (ioctl(FHandle, On ? TIOCSBRK : TIOCCBRK) == 0) return true;
  FLastError = errno;
  return false;
}

bool TSerialPort::SuspendOutput(bool Suspend) {
  if (FHandle < 0) return false;
  if (tcflow(FHandle, Suspend ? TCOOFF : TCOON) == 0) return true;
  FLastError = errno;
  return false;
}

std::optional<int> TSerialPort::GetModemLines() const {
  int lines = 0;
  if (FHandle < 0 || ioctl(FHandle, TIOCMGET, &lines) != 0) return std::nullopt;
  return lines;
}

bool TSerialPort::SetModemLines(int Bits, bool On) {
  if (FHandle < 0) return false;
  if (ioctl(FHandle, On ? TIOCMBIS : TIOCMBIC, &Bits) == 0) return true;
  FLastError = errno;
  return false;
}

bool TSerialPort::SendBreak() {
  if (FHandle < 0) return false;
  if (tcsendbreak(FHandle, 0) == 0) return true;
  FLastError = errno;
  return false;
}

std::optional<uint32_t> TSerialPort::CurrentBaudRate(int Handle) { return GetSerialBaudRate(Handle); }
