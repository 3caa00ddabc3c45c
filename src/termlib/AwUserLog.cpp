// The dispatcher's two diagnostic records: the trace, every byte sent and
// received as (kind, byte) pairs in a circular buffer, and the dispatch log,
// time-stamped entries of what the dispatcher did in a byte ring. Both are
// written to text files on request. All numbers are formatted by hand or with
// the C integer conversions, so the files read the same in every locale.
#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>

#include "AdExcept.h"
#include "AwUser.h"

namespace {

constexpr uint32_t LogHeaderSize = 16;
constexpr const char* HexDigits = "0123456789ABCDEF";

// One data byte as the trace and the log show it.
std::string ByteText(uint8_t Value, bool InHex, bool HexUnprintable) {
  const uint8_t lowest = HexUnprintable ? 33 : 32;
  if (!InHex && Value >= lowest && Value <= 126) return std::string(1, static_cast<char>(Value));
  if (InHex || HexUnprintable) return std::string{'[', HexDigits[Value >> 4], HexDigits[Value & 15], ']'};
  char text[8];
  std::snprintf(text, sizeof text, "[%u]", static_cast<unsigned>(Value));
  return text;
}

std::ios::openmode DumpMode(const std::string& FileName, bool Append) {
  const bool append = Append && ExistFile(FileName);
  return std::ios::binary | (append ? std::ios::app : std::ios::trunc);
}

std::string SystemDescription() {
  utsname name{};
  if (uname(&name) != 0) return "Unknown";
  return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

std::string NowText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%d/%m/%y, %H:%M:%S", &local);
  return text;
}

// Milliseconds as the log shows them: seven digits or more, a '.' before the last two.
std::string TimeText(uint32_t Milliseconds) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%07u", static_cast<unsigned>(Milliseconds));
  std::string text = digits;
  text.insert(text.size() - 2, 1, '.');
  return text;
}

const char* StatusKindLabel(uint8_t Kind) {
  static constexpr const char* Labels[] = {"(Not active)",         "(Modem status)",        "(Line status)",
                                           "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
  return Kind < 6 ? Labels[Kind] : "";
}

uint32_t ReadWord(const uint8_t* Bytes) {
  uint32_t value;
  std::memcpy(&value, Bytes, sizeof value);
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// Trace

int32_t TApdBaseDispatcher::StartTrace(uint32_t Entries) {
  if (Entries == 0 || Entries > MaxTraceEntries) return -1002;
  std::lock_guard<std::mutex> guard(FTraceSection);
  if (FTraceBuffer.empty()) {
    try {
      FTraceBuffer.assign(2 * static_cast<size_t>(Entries), 0);
    } catch (const std::bad_alloc&) {
      return -8;
    }
    FTraceCapacity = Entries;
  }
  FTraceIndex = 0;
  FTraceWrapped = false;
  FTraceOn = true;
  return 0;
}

void TApdBaseDispatcher::StopTrace() {
  std::lock_guard<std::mutex> guard(FTraceSection);
  FTraceOn = false;
  FTraceBuffer.clear();
  FTraceBuffer.shrink_to_fit();
  FTraceCapacity = FTraceIndex = 0;
  FTraceWrapped = false;
}

void TApdBaseDispatcher::PauseTrace() { FTraceOn = false; }

void TApdBaseDispatcher::ResumeTrace() {
  std::lock_guard<std::mutex> guard(FTraceSection);
  if (!FTraceBuffer.empty()) FTraceOn = true;
}

void TApdBaseDispatcher::ClearTrace() {
  std::lock_guard<std::mutex> guard(FTraceSection);
  FTraceIndex = 0;
  FTraceWrapped = false;
}

void TApdBaseDispatcher::AddTraceEntry(char Kind, uint8_t Value) {
  const uint8_t value = Value;
  AddTraceBlock(Kind, &value, 1);
}

void TApdBaseDispatcher::AddTraceBlock(char Kind, const uint8_t* Data, uint32_t Count) {
  std::lock_guard<std::mutex> guard(FTraceSection);
  if (!FTraceOn.load() || FTraceCapacity == 0) return;
  for (uint32_t i = 0; i < Count; ++i) {
    FTraceBuffer[2 * FTraceIndex] = static_cast<uint8_t>(Kind);
    FTraceBuffer[2 * FTraceIndex + 1] = Data[i];
    if (++FTraceIndex == FTraceCapacity) {
      FTraceIndex = 0;
      FTraceWrapped = true;
    }
  }
}

int32_t TApdBaseDispatcher::DumpTrace(const std::string& FileName, bool Append, bool InHex, bool HexUnprintable) {
  std::lock_guard<std::mutex> guard(FTraceSection);
  if (FTraceBuffer.empty()) return 0;
  FTraceOn = false;
  if (!FTraceWrapped && FTraceIndex == 0) {
    FTraceBuffer.clear();
    FTraceCapacity = 0;
    return 0;
  }
  std::ofstream out(FileName, DumpMode(FileName, Append));
  if (!out) return ApdErrorFromErrno(errno != 0 ? errno : EACCES);  // the trace stays for another try
  out.imbue(std::locale::classic());
  const uint32_t first = FTraceWrapped ? FTraceIndex : 0;
  const uint32_t count = FTraceWrapped ? FTraceCapacity : FTraceIndex;
  char kind = 0;
  size_t column = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t entry = (first + i) % FTraceCapacity;
    const char entryKind = static_cast<char>(FTraceBuffer[2 * entry]);
    if (i == 0 || entryKind != kind) {
      if (i != 0) out << '\n';
      const std::string prefix = entryKind == 'T'   ? std::string("Transmit: ")
                                 : entryKind == 'R' ? std::string("Receive: ")
                                                    : std::string("Special-") + entryKind + ": ";
      out << prefix;
      column = prefix.size();
      kind = entryKind;
    }
    const std::string item = ByteText(FTraceBuffer[2 * entry + 1], InHex, HexUnprintable);
    column += item.size();
    if (column >= 79) {
      out << '\n';
      column = item.size();
    }
    out << item;
  }
  out << '\n';
  out.close();
  if (!out) return -162;
  FTraceBuffer.clear();
  FTraceBuffer.shrink_to_fit();
  FTraceCapacity = FTraceIndex = 0;
  FTraceWrapped = false;
  return 0;
}

// ---------------------------------------------------------------------------
// Dispatch log

int32_t TApdBaseDispatcher::StartDispatchLog(uint32_t Size) {
  // A ring must hold at least one header and a byte of data.
  if (Size <= LogHeaderSize + 1) return -1002;
  std::lock_guard<std::mutex> guard(FTraceSection);
  if (FLogBuffer.empty()) {
    try {
      FLogBuffer.assign(Size, 0);
    } catch (const std::bad_alloc&) {
      return -8;
    }
    FLogSize = Size;
  }
  FLogHead = FLogTail = 0;
  FLogFree = FLogSize;
  FLogOn = true;
  return 0;
}

void TApdBaseDispatcher::StopDispatchLog() {
  std::lock_guard<std::mutex> guard(FTraceSection);
  FLogOn = false;
  FLogBuffer.clear();
  FLogBuffer.shrink_to_fit();
  FLogHead = FLogTail = FLogFree = FLogSize = 0;
}

void TApdBaseDispatcher::PauseDispatchLog() { FLogOn = false; }

void TApdBaseDispatcher::ResumeDispatchLog() {
  std::lock_guard<std::mutex> guard(FTraceSection);
  if (!FLogBuffer.empty()) FLogOn = true;
}

void TApdBaseDispatcher::ClearDispatchLog() {
  std::lock_guard<std::mutex> guard(FTraceSection);
  FLogHead = FLogTail = 0;
  FLogFree = FLogSize;
}

void TApdBaseDispatcher::ReadLogBytes(uint32_t Position, uint8_t* Data, uint32_t Count) const {
  if (Count == 0) return;
  const uint32_t first = std::min(Count, FLogSize - Position);
  std::memcpy(Data, FLogBuffer.data() + Position, first);
  if (Count > first) std::memcpy(Data + first, FLogBuffer.data(), Count - first);
}

bool TApdBaseDispatcher::WriteLogBytes(const uint8_t* Data, uint32_t Count) {
  if (Count == 0) return true;
  const uint32_t first = std::min(Count, FLogSize - FLogHead);
  std::memcpy(FLogBuffer.data() + FLogHead, Data, first);
  if (Count > first) std::memcpy(FLogBuffer.data(), Data + first, Count - first);
  FLogHead = (FLogHead + Count) % FLogSize;
  FLogFree -= Count;
  return true;
}

bool TApdBaseDispatcher::AddDispatchEntry(uint8_t Kind, uint8_t SubKind, uint32_t DataLength, const uint8_t* Data,
                                          uint32_t Value) {
  if (!FLogOn.load()) return false;
  std::lock_guard<std::mutex> guard(FTraceSection);
  if (!FLogOn.load() || FLogBuffer.empty()) return false;
  // An entry that the whole ring cannot hold is refused as a whole: storing
  // its header alone would leave a length that no data follows.
  const uint64_t length = static_cast<uint64_t>(LogHeaderSize) + DataLength;
  if (length >= FLogSize) return false;
  while (length > FLogFree) {
    uint8_t header[LogHeaderSize];
    ReadLogBytes(FLogTail, header, LogHeaderSize);
    const uint32_t dropped = LogHeaderSize + ReadWord(header + 12);
    FLogTail = (FLogTail + dropped) % FLogSize;
    FLogFree += dropped;
  }
  uint8_t header[LogHeaderSize] = {Kind, SubKind, 0, 0};
  const uint32_t time = static_cast<uint32_t>(ReadMillisecondClock() - FTimeBase);
  std::memcpy(header + 4, &time, 4);
  std::memcpy(header + 8, &Value, 4);
  std::memcpy(header + 12, &DataLength, 4);
  WriteLogBytes(header, LogHeaderSize);
  WriteLogBytes(Data, DataLength);
  return true;
}

int32_t TApdBaseDispatcher::DumpDispatchLog(const std::string& FileName, bool Append, bool InHex,
                                            bool HexUnprintable) {
  const std::string device = DeviceName();
  std::lock_guard<std::mutex> guard(FTraceSection);
  if (FLogBuffer.empty() || FLogFree == FLogSize) {
    FLogOn = false;
    FLogBuffer.clear();
    FLogHead = FLogTail = FLogFree = FLogSize = 0;
    return 0;
  }
  FLogOn = false;
  std::ofstream out(FileName, DumpMode(FileName, Append));
  if (!out) return ApdErrorFromErrno(errno != 0 ? errno : EACCES);  // the log stays for another try
  out.imbue(std::locale::classic());
  out << "Korvel serial library " << ApdLibraryVersion << '\n';
  out << "Compiler : GNU C++ " << __VERSION__ << '\n';
  out << "Operating System : " << SystemDescription() << '\n';
  out << "Device: " << device << '\n';
  out << "Date/time: " << NowText() << '\n';
  out << ErrorCodeText(15501) << '\n';
  out << ErrorCodeText(15502) << '\n';

  uint32_t position = FLogTail;
  uint32_t left = FLogSize - FLogFree;
  std::vector<uint8_t> data;
  while (left >= LogHeaderSize) {
    uint8_t header[LogHeaderSize];
    ReadLogBytes(position, header, LogHeaderSize);
    const uint8_t kind = header[0];
    const uint8_t subKind = header[1];
    const uint32_t time = ReadWord(header + 4);
    const uint32_t value = ReadWord(header + 8);
    const uint32_t length = ReadWord(header + 12);
    data.resize(length);
    ReadLogBytes((position + LogHeaderSize) % FLogSize, data.data(), length);
    position = (position + LogHeaderSize + length) % FLogSize;
    left -= LogHeaderSize + length;

    // Names are cut to their columns, so the data always starts in column 44
    // and its continuation lines stay under it.
    const std::string kindText = kind <= 20 ? ErrorCodeText(15001 + kind).substr(0, 8) : std::string();
    const std::string subText =
        subKind >= 1 && subKind <= 52 ? ErrorCodeText(15100 + subKind).substr(0, 12) : std::string();
    char line[160];
    std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %08x  ", TimeText(time).c_str(), kindText.c_str(),
                  subText.c_str(), static_cast<unsigned>(value));
    std::string text = line;
    size_t firstData = 0;
    if (kind == 10 && length == 0 && value <= 42) {
      text += '(';
      text += ErrorCodeText(static_cast<int32_t>(15700 + value));
      text += ')';
    }
    if ((kind == 5 || kind == 6) && subKind == 15 && length > 0) {
      text += StatusKindLabel(data[0]);
      firstData = 1;
    }
    size_t column = text.size();
    for (size_t i = firstData; i < data.size(); ++i) {
      const std::string item = ByteText(data[i], InHex, HexUnprintable);
      if (column + item.size() > 78) {
        text += '\n';
        text.append(44, ' ');
        column = 44;
      }
      text += item;
      column += item.size();
    }
    out << text << '\n';
  }
  out.close();
  if (!out) return -162;
  FLogBuffer.clear();
  FLogBuffer.shrink_to_fit();
  FLogHead = FLogTail = FLogFree = FLogSize = 0;
  return 0;
}
