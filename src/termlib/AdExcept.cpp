#include "AdExcept.h"

#include <cstdlib>
#include <cstring>

#include "OoMisc.h"

namespace {

int64_t Magnitude(int32_t Code) { return Code < 0 ? -static_cast<int64_t>(Code) : Code; }

// The host's message for an error number, or empty when it has none.
std::string HostErrorText(int64_t Number) {
  if (Number <= 0 || Number > 1000000) return {};
  char Buffer[256] = {};
  const char* Text = strerror_r(static_cast<int>(Number), Buffer, sizeof Buffer);
  if (Text == nullptr || std::strncmp(Text, "Unknown error", 13) == 0) return {};
  return std::string(Text).substr(0, 255);
}

template <typename TException>
[[noreturn]] void Raise(int32_t Code) {
  throw TException(ErrorCodeText(static_cast<int32_t>(Magnitude(Code))), Code);
}

}  // namespace

std::string FindErrorText(int32_t Code) {
  const int64_t Wanted = Magnitude(Code);
  int Low = 0;
  int High = static_cast<int>(ErrorTextTableSize) - 1;
  while (High >= Low) {
    const int Mid = (Low + High) / 2;
    const int64_t Found = Magnitude(ErrorTextTable[Mid].Code);
    if (Found == Wanted) return std::string(ErrorTextTable[Mid].Text).substr(0, 255);
    if (Found > Wanted)
      High = Mid - 1;
    else
      Low = Mid + 1;
  }
  return {};
}

std::string CleanErrorText(const std::string& Source) {
  std::string Dest;
  Dest.reserve(Source.size());
  for (char C : Source) {
    if (static_cast<unsigned char>(C) < 32) C = ' ';
    if (C == ' ' && !Dest.empty() && Dest.back() == ' ') continue;
    Dest.push_back(C);
  }
  return Dest;
}

std::string ErrorCodeText(int32_t Code) {
  std::string Text = FindErrorText(Code);
  if (Text.empty()) Text = CleanErrorText(HostErrorText(Magnitude(Code)));
  return Text;
}

int32_t RaiseErrorForCode(const TApdComponentVersion* Sender, int32_t Code) {
  if (Code >= 0 || (Sender != nullptr && Sender->IsLoading())) return Code;
  if (Code == -8) throw EOutOfMemory(ErrorCodeText(Code));
  if (Code <= -2 && Code >= -162) throw EInOutError(ErrorCodeText(Code), static_cast<int32_t>(Magnitude(Code)));
  switch (Code) {
#define KORVEL_APD_RAISE(Name, Base, ClassCode) \
  case ClassCode:                               \
    Raise<Name>(Code);
    KORVEL_APD_ERROR_CLASSES(KORVEL_APD_RAISE)
#undef KORVEL_APD_RAISE
    // Further database codes that report an internal failure.
    case -7003:
    case -7006:
    case -7012:
      Raise<EInternal>(Code);
    // Protocol failures have no classes of their own.
    case -6006:
    case -6008:
    case -6009:
      Raise<EProtocol>(Code);
    default:
      throw EAPDException(UnmappedErrorMessage, 0);
  }
}
