#include "CpmDirEntry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

std::string FieldText(const std::uint8_t* bytes, int size) {
  std::string text;
  for (int i = 0; i < size; ++i) text += static_cast<char>(bytes[i] & 0x7F);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

char UpperAscii(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

void SplitName(const std::string& text, std::string& name, std::string& type) {
  const auto dot = text.find('.');
  name = text.substr(0, dot);
  type = dot == std::string::npos ? std::string() : text.substr(dot + 1);
}

}  // namespace

int TCpmDirEntry::UsedPointerCount() const {
  int count = 0;
  for (int i = 0; i < POINTER_COUNT; ++i)
    if (Pointer(i) != 0) ++count;
  return count;
}

bool TCpmDirEntry::IsWellFormed() const {
  if (IsFree() || User() == TIME_STAMPS) return true;
  if (User() > LABEL) return false;
  return std::all_of(Bytes.begin() + 1, Bytes.begin() + 12, [](std::uint8_t byte) {
    const int c = byte & 0x7F;
    return c >= 0x20 && c < 0x7F;
  });
}

std::string TCpmDirEntry::FileName() const {
  std::string name = FieldText(Bytes.data() + 1, 8);
  const std::string type = FieldText(Bytes.data() + 9, 3);
  if (!type.empty()) name += "." + type;
  return name;
}

std::uint8_t TCpmDirEntry::Attributes() const {
  std::uint8_t attributes = 0;
  if (Bytes[9] & 0x80) attributes |= CPM_ATTR_READ_ONLY;
  if (Bytes[10] & 0x80) attributes |= CPM_ATTR_SYSTEM;
  if (Bytes[11] & 0x80) attributes |= CPM_ATTR_ARCHIVE;
  return attributes;
}

void TCpmDirEntry::SetAttributes(std::uint8_t attributes) {
  const std::uint8_t bits[3] = {CPM_ATTR_READ_ONLY, CPM_ATTR_SYSTEM, CPM_ATTR_ARCHIVE};
  for (int i = 0; i < 3; ++i) {
    std::uint8_t& byte = Bytes[9 + i];
    byte = static_cast<std::uint8_t>((attributes & bits[i]) ? (byte | 0x80) : (byte & 0x7F));
  }
}

void TCpmDirEntry::SetName(const std::string& text, bool keepAttributes) {
  std::string name;
  std::string type;
  SplitName(text, name, type);
  name.resize(8, ' ');
  type.resize(3, ' ');
  const std::string field = name + type;
  for (int i = 0; i < 11; ++i) {
    const auto c = static_cast<std::uint8_t>(UpperAscii(field[static_cast<size_t>(i)]));
    std::uint8_t& byte = Bytes[1 + static_cast<size_t>(i)];
    byte = keepAttributes ? static_cast<std::uint8_t>((c & 0x7F) | (byte & 0x80)) : c;
  }
}

TCpmDirEntry TCpmDirEntry::Free() {
  TCpmDirEntry entry;
  entry.Bytes.fill(FREE);
  return entry;
}

std::string CheckCpmFileName(const std::string& name) {
  if (name.empty()) throw ECpmDiskError("The CPM file name is empty!");
  static const std::string forbidden = "*?.:;<>=,[]|";
  std::string base;
  std::string type;
  SplitName(name, base, type);
  for (const std::string* part : {&base, &type}) {
    for (const char c : *part) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte <= ' ' || byte >= 0x7F || forbidden.find(c) != std::string::npos) {
        char shown[8];
        if (byte > ' ' && byte < 0x7F)
          std::snprintf(shown, sizeof shown, "\"%c\"", c);
        else
          std::snprintf(shown, sizeof shown, "%02Xh", byte);
        throw ECpmDiskError("The CPM file name \"" + name + "\" contains the character " + shown +
                            ", which CPM file names can not hold!");
      }
    }
  }
  if (base.empty()) throw ECpmDiskError("The CPM file name \"" + name + "\" has no name before its type!");
  if (base.size() > 8 || type.size() > 3)
    throw ECpmDiskError("The CPM file name \"" + name +
                        "\" is too long: a name has at most 8 characters and a type at most 3!");
  std::string stored = base;
  if (!type.empty()) stored += "." + type;
  std::transform(stored.begin(), stored.end(), stored.begin(), UpperAscii);
  return stored;
}

void CheckCpmUser(int user) {
  if (user < 0 || user > TCpmDirEntry::MAX_USER)
    throw ECpmDiskError("Invalid user area " + std::to_string(user) + ", user areas are 0 to 15!");
}

std::string MakeCpmFileName(const std::string& hostName) {
  const auto dot = hostName.rfind('.');
  if (dot == std::string::npos) return hostName.substr(0, 8);
  return hostName.substr(0, std::min<size_t>(dot, 8)) + hostName.substr(dot, 4);
}

bool SameCpmName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return UpperAscii(x) == UpperAscii(y); });
}

namespace {

bool CpmNameCharacter(unsigned char c) {
  static const std::string forbidden = "*?.:;<>=,[]|";
  return c > ' ' && c < 0x7F && forbidden.find(static_cast<char>(c)) == std::string::npos;
}

// The characters of a host name part as CP/M can hold them: a UTF-8 sequence
// (a lead byte and its continuation bytes) becomes one "_", as do the other
// characters CP/M names can not hold.
std::string CpmNamePart(const std::string& text, size_t length) {
  std::string part;
  for (size_t i = 0; i < text.size() && part.size() < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;
    part += CpmNameCharacter(c) ? UpperAscii(static_cast<char>(c)) : '_';
  }
  return part;
}

}  // namespace

std::string HostToCpmFileName(const std::string& hostName) {
  const auto slash = hostName.rfind('/');
  std::string base = slash == std::string::npos ? hostName : hostName.substr(slash + 1);
  const auto first = base.find_first_not_of('.');
  base.erase(0, first == std::string::npos ? base.size() : first);
  std::string type;
  const auto dot = base.rfind('.');
  if (dot != std::string::npos) {
    type = base.substr(dot + 1);
    base.erase(dot);
  }
  const std::string name = CpmNamePart(base, 8);
  if (name.empty()) return {};
  const std::string extension = CpmNamePart(type, 3);
  return extension.empty() ? name : name + "." + extension;
}

std::string CpmToHostFileName(const std::string& cpmName) {
  std::string host;
  for (const char c : cpmName) {
    const auto byte = static_cast<unsigned char>(c);
    host += (byte < ' ' || byte == 0x7F || c == '/' || c == '\\') ? '_' : c;
  }
  if (host.find_first_not_of('.') == std::string::npos) {
    std::replace(host.begin(), host.end(), '.', '_');
    if (host.empty()) host = "_";
  }
  return host;
}
