#include "CpmDirEntry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

std::string FieldText(const std::uint8_t* Bytes, int Size) {
  std::string Text;
  for (int I = 0; I < Size; ++I) Text += static_cast<char>(Bytes[I] & 0x7F);
  while (!Text.empty() && Text.back() == ' ') Text.pop_back();
  return Text;
}

char UpperAscii(char C) { return static_cast<char>(std::toupper(static_cast<unsigned char>(C))); }

void SplitName(const std::string& Text, std::string& Name, std::string& Type) {
  const auto Dot = Text.find('.');
  Name = Text.substr(0, Dot);
  Type = Dot == std::string::npos ? std::string() : Text.substr(Dot + 1);
}

}  // namespace

int TCpmDirEntry::UsedPointerCount() const {
  int Count = 0;
  for (int I = 0; I < POINTER_COUNT; ++I)
    if (Pointer(I) != 0) ++Count;
  return Count;
}

TCpmDirEntry::TKind TCpmDirEntry::Kind(int BlockCount) const {
  const auto Printable = [this](int From, int To) {
    return std::all_of(Bytes.begin() + From, Bytes.begin() + To, [](std::uint8_t Byte) {
      const int C = Byte & 0x7F;
      return C >= 0x20 && C < 0x7F;
    });
  };
  if (IsFree()) return TKind::Free;
  if (User() == TIME_STAMPS) return TKind::TimeStamps;
  if (User() == LABEL) return Printable(1, 12) && (Bytes[1] & 0x7F) != ' ' ? TKind::Label : TKind::Damaged;
  if (!OwnsBlocks()) return TKind::Damaged;
  bool Fields = Printable(1, 12) && Bytes[12] <= MAX_EXTENT && (Bytes[14] & 0x7F) <= MAX_MODULE &&
                RecordCount() <= MAX_RECORDS;
  for (int I = 0; Fields && I < POINTER_COUNT; ++I) Fields = Pointer(I) < BlockCount;
  return Fields ? TKind::File : TKind::Damaged;
}

std::string TCpmDirEntry::FileName() const {
  std::string Name = FieldText(Bytes.data() + 1, 8);
  const std::string Type = FieldText(Bytes.data() + 9, 3);
  if (!Type.empty()) Name += "." + Type;
  return Name;
}

std::uint8_t TCpmDirEntry::Attributes() const {
  std::uint8_t Set = 0;
  if (Bytes[9] & 0x80) Set |= CPM_ATTR_READ_ONLY;
  if (Bytes[10] & 0x80) Set |= CPM_ATTR_SYSTEM;
  if (Bytes[11] & 0x80) Set |= CPM_ATTR_ARCHIVE;
  return Set;
}

void TCpmDirEntry::SetAttributes(std::uint8_t NewAttributes) {
  const std::uint8_t Bits[3] = {CPM_ATTR_READ_ONLY, CPM_ATTR_SYSTEM, CPM_ATTR_ARCHIVE};
  for (int I = 0; I < 3; ++I) {
    std::uint8_t& Byte = Bytes[9 + I];
    Byte = static_cast<std::uint8_t>((NewAttributes & Bits[I]) ? (Byte | 0x80) : (Byte & 0x7F));
  }
}

void TCpmDirEntry::SetName(const std::string& Text, bool KeepAttributes) {
  std::string Name;
  std::string Type;
  SplitName(Text, Name, Type);
  Name.resize(8, ' ');
  Type.resize(3, ' ');
  const std::string Field = Name + Type;
  for (int I = 0; I < 11; ++I) {
    const auto C = static_cast<std::uint8_t>(UpperAscii(Field[static_cast<size_t>(I)]));
    std::uint8_t& Byte = Bytes[1 + static_cast<size_t>(I)];
    Byte = KeepAttributes ? static_cast<std::uint8_t>((C & 0x7F) | (Byte & 0x80)) : C;
  }
}

TCpmDirEntry TCpmDirEntry::Free() {
  TCpmDirEntry Entry;
  Entry.Bytes.fill(FREE);
  return Entry;
}

std::string CheckCpmFileName(const std::string& Name) {
  if (Name.empty()) throw ECpmDiskError("The CPM file name is empty!");
  static const std::string Forbidden = "*?.:;<>=,[]|";
  std::string Base;
  std::string Type;
  SplitName(Name, Base, Type);
  for (const std::string* Part : {&Base, &Type}) {
    for (const char C : *Part) {
      const auto Byte = static_cast<unsigned char>(C);
      if (Byte <= ' ' || Byte >= 0x7F || Forbidden.find(C) != std::string::npos) {
        char Shown[8];
        if (Byte > ' ' && Byte < 0x7F)
          std::snprintf(Shown, sizeof Shown, "\"%c\"", C);
        else
          std::snprintf(Shown, sizeof Shown, "%02Xh", Byte);
        throw ECpmDiskError("The CPM file name \"" + Name + "\" contains the character " + Shown +
                            ", which CPM file names can not hold!");
      }
    }
  }
  if (Base.empty()) throw ECpmDiskError("The CPM file name \"" + Name + "\" has no name before its type!");
  if (Base.size() > 8 || Type.size() > 3)
    throw ECpmDiskError("The CPM file name \"" + Name +
                        "\" is too long: a name has at most 8 characters and a type at most 3!");
  std::string Stored = Base;
  if (!Type.empty()) Stored += "." + Type;
  std::transform(Stored.begin(), Stored.end(), Stored.begin(), UpperAscii);
  return Stored;
}

void CheckCpmUser(int User) {
  if (User < 0 || User > TCpmDirEntry::MAX_USER)
    throw ECpmDiskError("Invalid user area " + std::to_string(User) + ", user areas are 0 to 15!");
}

std::string MakeCpmFileName(const std::string& HostName) {
  const auto Dot = HostName.rfind('.');
  if (Dot == std::string::npos) return HostName.substr(0, 8);
  return HostName.substr(0, std::min<size_t>(Dot, 8)) + HostName.substr(Dot, 4);
}

bool SameCpmName(const std::string& A, const std::string& B) {
  return A.size() == B.size() &&
         std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) { return UpperAscii(X) == UpperAscii(Y); });
}

namespace {

bool CpmNameCharacter(unsigned char C) {
  static const std::string Forbidden = "*?.:;<>=,[]|";
  return C > ' ' && C < 0x7F && Forbidden.find(static_cast<char>(C)) == std::string::npos;
}

// The characters of a host name part as CP/M can hold them: a UTF-8 sequence
// (a lead byte and its continuation bytes) becomes one "_", as do the other
// characters CP/M names can not hold.
std::string CpmNamePart(const std::string& Text, size_t Length) {
  std::string Part;
  for (size_t I = 0; I < Text.size() && Part.size() < Length; ++I) {
    const auto C = static_cast<unsigned char>(Text[I]);
    if ((C & 0xC0) == 0x80) continue;
    Part += CpmNameCharacter(C) ? UpperAscii(static_cast<char>(C)) : '_';
  }
  return Part;
}

}  // namespace

std::string HostToCpmFileName(const std::string& HostName) {
  const auto Slash = HostName.rfind('/');
  std::string Base = Slash == std::string::npos ? HostName : HostName.substr(Slash + 1);
  const auto First = Base.find_first_not_of('.');
  Base.erase(0, First == std::string::npos ? Base.size() : First);
  std::string Type;
  const auto Dot = Base.rfind('.');
  if (Dot != std::string::npos) {
    Type = Base.substr(Dot + 1);
    Base.erase(Dot);
  }
  const std::string Name = CpmNamePart(Base, 8);
  if (Name.empty()) return {};
  const std::string Extension = CpmNamePart(Type, 3);
  return Extension.empty() ? Name : Name + "." + Extension;
}

std::string CpmToHostFileName(const std::string& CpmName) {
  std::string Host;
  for (const char C : CpmName) {
    const auto Byte = static_cast<unsigned char>(C);
    Host += (Byte < ' ' || Byte == 0x7F || C == '/' || C == '\\') ? '_' : C;
  }
  if (Host.find_first_not_of('.') == std::string::npos) {
    std::replace(Host.begin(), Host.end(), '.', '_');
    if (Host.empty()) Host.push_back('_');  // (not = "_": GCC 12 warns falsely of overlapping copies)
  }
  return Host;
}
