#include "PseudoTerminalModemLines.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <mutex>

namespace {

struct TLines {
  dev_t Device = 0;
  int Bits = 0;
  bool InUse = false;
  int ChangesBeforeFailure = -1;  // none fails while negative
  int FailureError = 0;
};

// Constant-initialised, so ioctl calls made before main find them ready.
std::mutex LinesLock;
std::array<TLines, 8> Lines;

TLines* LinesOf(dev_t Device) {
  for (TLines& lines : Lines)
    if (lines.InUse && lines.Device == Device) return &lines;
  return nullptr;
}

}  // namespace

namespace korvel_test {

TPseudoTerminalModemLines::TPseudoTerminalModemLines(int Descriptor) : FDevice(0) {
  struct stat info {};
  if (fstat(Descriptor, &info) != 0) return;
  FDevice = info.st_rdev;
  std::lock_guard<std::mutex> guard(LinesLock);
  for (TLines& lines : Lines)
    if (!lines.InUse) {
      lines = {info.st_rdev, 0, true, -1, 0};
      return;
    }
}

TPseudoTerminalModemLines::~TPseudoTerminalModemLines() {
  std::lock_guard<std::mutex> guard(LinesLock);
  if (TLines* lines = LinesOf(FDevice)) lines->InUse = false;
}

void TPseudoTerminalModemLines::FailChange(int Passed, int Error) {
  std::lock_guard<std::mutex> guard(LinesLock);
  if (TLines* lines = LinesOf(FDevice)) {
    lines->ChangesBeforeFailure = Passed;
    lines->FailureError = Error;
  }
}

}  // namespace korvel_test

extern "C" int ioctl(int Descriptor, unsigned long Request, ...) noexcept {
  va_list arguments;
  va_start(arguments, Request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (Request == TIOCMGET || Request == TIOCMSET || Request == TIOCMBIS || Request == TIOCMBIC) {
    struct stat info {};
    const int error = errno;
    if (fstat(Descriptor, &info) == 0 && S_ISCHR(info.st_mode)) {
      std::lock_guard<std::mutex> guard(LinesLock);
      if (TLines* lines = LinesOf(info.st_rdev)) {
        int* bits = static_cast<int*>(argument);
        if (Request != TIOCMGET && lines->ChangesBeforeFailure >= 0 && lines->ChangesBeforeFailure-- == 0) {
          errno = lines->FailureError;
          return -1;
        }
        switch (Request) {
          case TIOCMGET: *bits = lines->Bits; break;
          case TIOCMSET: lines->Bits = *bits; break;
          case TIOCMBIS: lines->Bits |= *bits; break;
          default: lines->Bits &= ~*bits; break;
        }
        return 0;
      }
    }
    errno = error;
  }
  return static_cast<int>(syscall(SYS_ioctl, Descriptor, Request, argument));
}
