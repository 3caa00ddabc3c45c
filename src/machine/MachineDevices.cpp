// Device mapping (IOBYTE), the printer port and the reader and punch files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "Machine.h"

namespace {

constexpr const char* ConsoleNames[4] = {"TTY", "CRT", "BAT", "UC1"};
constexpr const char* ReaderNames[4] = {"TTY", "PTR", "UR1", "UR2"};
constexpr const char* PunchNames[4] = {"TTY", "PTP", "UP1", "UP2"};
constexpr const char* ListNames[4] = {"TTY", "CRT", "LPT", "UL1"};

}  // namespace

// ---------------------------------------------------------------- device mapping

std::string TMachine::ConLstMappingText(uint8_t IoByte) {
  return std::string("CON=") + ConsoleNames[IoByte & 3] + ", LST=" + ListNames[(IoByte >> 6) & 3];
}

std::string TMachine::RdrPunMappingText(uint8_t IoByte) {
  return std::string("RDR=") + ReaderNames[(IoByte >> 2) & 3] + ", PUN=" + PunchNames[(IoByte >> 4) & 3];
}

void TMachine::WriteLiveIoByte(uint8_t Value) {
  // CP/M owns address 3 only once it has been booted.
  if (FBooted) FCpu->WriteByte(3, Value);
}

void TMachine::DeviceMappingsDisplayChanged() { WriteLiveIoByte(DeviceMapping); }

void TMachine::SetDefaultMappings() { ColdBootIoByte = DeviceMapping; }

void TMachine::UseDefaultDeviceMappings() {
  DeviceMapping = ColdBootIoByte;
  WriteLiveIoByte(ColdBootIoByte);
}

void TMachine::ReadDeviceMappingFromMemory() {
  if (!FBooted) return;
  DeviceMapping = FCpu->ReadByte(3);
  if (OnDeviceMappingChanged) OnDeviceMappingChanged();
}

// ---------------------------------------------------------------- device ports

void TMachine::DevicePortRead(uint8_t Port, uint8_t& Data) {
  switch (Port) {
    case 24:
      Data = FPrinter && FPrinter->PrinterAvailable() ? 4 : 0;
      break;
    case 26:
      ReaderRefill();
      Data = FReaderIndex < FReaderCount ? 2 : 0;
      break;
    case 27:
      ReaderRefill();
      if (FReaderIndex < FReaderCount) Data = FReaderBuffer[static_cast<size_t>(FReaderIndex++)];
      break;
    case 28:
      Data = FPunchFile >= 0 ? 4 : 0;
      break;
    default:
      Data = 255;
      break;
  }
}

void TMachine::DevicePortWrite(uint8_t Port, uint8_t Data) {
  if (Port == 25) {
    if (!FPrinter) return;
    try {
      FPrinter->PrintChar(Data);
    } catch (const std::exception& Error) {
      PrinterFailed(Error.what());
    }
    return;
  }
  // Port 29: the punch.
  if (FPunchFile < 0) return;
  ssize_t Written;
  do {
    Written = ::write(FPunchFile, &Data, 1);
  } while (Written < 0 && errno == EINTR);
  if (Written != 1) {
    const std::string Reason = Written < 0 ? std::strerror(errno) : "nothing was written";
    ClosePunch();
    DeviceFailed("Writing to the output file \"" + OutputFileName + "\" failed (" + Reason +
                 "); the output file has been closed.");
  }
}

void TMachine::DeviceFailed(const std::string& Text) {
  Message(TMachineMessageKind::Warning, Text);
  if (OnPortFilesChanged) OnPortFilesChanged();
}

// A printer that fails once would fail on every byte: it is switched off.
void TMachine::PrinterFailed(const std::string& Reason) {
  FPrinter.reset();
  DeviceFailed("The printer failed and has been disabled: " + Reason);
}

void TMachine::SetPrinter(std::unique_ptr<IMachinePrinter> Printer) { FPrinter = std::move(Printer); }

std::string TMachine::EndPrintJob(bool Abort) {
  if (!FPrinter || !FPrinter->IsPrinting()) return {};
  try {
    if (Abort)
      FPrinter->AbortJob();
    else
      FPrinter->EjectJob();
  } catch (const std::exception& Error) {
    const std::string Reason = Error.what();
    PrinterFailed(Reason);
    return Reason;
  }
  return {};
}

// ---------------------------------------------------------------- reader

namespace {

// One read of up to Size bytes; -1 when the file failed.
int32_t ReadChunk(int File, uint8_t* Buffer, size_t Size) {
  ssize_t Got;
  do {
    Got = ::read(File, Buffer, Size);
  } while (Got < 0 && errno == EINTR);
  return static_cast<int32_t>(Got);
}

}  // namespace

void TMachine::ReaderRefill() {
  if (FReaderFile < 0 || FReaderIndex != FReaderCount) return;
  FReaderIndex = 0;
  FReaderCount = ReadChunk(FReaderFile, FReaderBuffer.data(), FReaderBuffer.size());
  if (FReaderCount < 0) {
    const std::string Reason = std::strerror(errno);
    FReaderCount = 0;
    CloseReader();
    DeviceFailed("Reading the input file \"" + InputFileName + "\" failed (" + Reason +
                 "); the input file has been closed.");
    return;
  }
  if (FReaderCount > 0) return;
  switch (ReaderEndOfStream) {
    case TReaderEndOfStream::Restart:
      if (::lseek(FReaderFile, 0, SEEK_SET) == 0) FReaderCount = ReadChunk(FReaderFile, FReaderBuffer.data(), FReaderBuffer.size());
      if (FReaderCount < 0) {
        FReaderCount = 0;
        CloseReader();
        DeviceFailed("Reading the input file \"" + InputFileName + "\" failed; the input file has been closed.");
      }
      break;
    case TReaderEndOfStream::ReturnEndOfStream:
      FReaderCount = 1;
      FReaderBuffer[0] = 26;
      break;
    case TReaderEndOfStream::ReportNothing:
    case TReaderEndOfStream::SwitchConsole:
      if (ReaderEndOfStream == TReaderEndOfStream::SwitchConsole) {
        DeviceMapping = static_cast<uint8_t>((DeviceMapping & ~3) | (ReaderSwitchConsoleTo & 3));
        DeviceMappingsDisplayChanged();
        if (OnDeviceMappingChanged) OnDeviceMappingChanged();
      }
      CloseReader();
      if (OnPortFilesChanged) OnPortFilesChanged();
      break;
  }
}

void TMachine::CloseReader() {
  if (FReaderFile >= 0) ::close(FReaderFile);
  FReaderFile = -1;
}

bool TMachine::SetInputFileEnabled(bool Value) {
  if (!Value) {
    CloseReader();
    return false;
  }
  if (FReaderFile >= 0) return true;
  // Bytes still buffered from a file closed in mid-buffer are delivered first.
  const int File = ::open(InputFileName.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat Info {};
  if (File < 0 || ::fstat(File, &Info) != 0 || S_ISDIR(Info.st_mode)) {
    if (File >= 0) ::close(File);
    Message(TMachineMessageKind::Warning, "Unable to open the input file \"" + InputFileName + "\".");
    return false;
  }
  FReaderFile = File;
  return true;
}

// ---------------------------------------------------------------- punch

void TMachine::ClosePunch() {
  if (FPunchFile >= 0) ::close(FPunchFile);
  FPunchFile = -1;
}

bool TMachine::SetOutputFileEnabled(bool Value) {
  if (!Value) {
    ClosePunch();
    return false;
  }
  if (FPunchFile >= 0) return true;
  struct stat Info {};
  const bool Exists = ::stat(OutputFileName.c_str(), &Info) == 0;
  int Flags = O_WRONLY | O_CLOEXEC | O_CREAT;
  Flags |= Exists && AppendOutputFile ? O_APPEND : O_TRUNC;
  int File = -1;
  if (!(Exists && S_ISDIR(Info.st_mode)) && !OutputFileName.empty()) File = ::open(OutputFileName.c_str(), Flags, 0666);
  if (File < 0) {
    Message(TMachineMessageKind::Warning, "Unable to open the output file \"" + OutputFileName + "\".");
    return false;
  }
  FPunchFile = File;
  return true;
}
