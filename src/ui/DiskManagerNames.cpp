#include "DiskManagerNames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "CpmDiskFileInfo.h"

std::string CpmDiskAttributesToStr(uint8_t Attributes) {
  std::string Text;
  Text += (Attributes & 1) != 0 ? 'R' : 'r';
  Text += (Attributes & 2) != 0 ? 'S' : 's';
  Text += (Attributes & 4) != 0 ? 'A' : 'a';
  return Text;
}

std::string DiskListHeaderText() {
  char Line[96];
  std::snprintf(Line, sizeof Line, "%3s  %13s  %4s  %4s  %4s  %8s  %8s", "Usr", "FileName", "Attr", "Recs", "Exts",
                "Size", "Space");
  return Line;
}

std::string DiskFileLineText(const TCpmDiskFileInfo& Info, int32_t BlockSize) {
  char Line[128];
  std::snprintf(Line, sizeof Line, "%2d  %14s  %3s  %4u  %4u  %8lld  %8lld", static_cast<int>(Info.User),
                Info.Name.c_str(), CpmDiskAttributesToStr(Info.Attributes).c_str(), Info.Records, Info.Extents,
                static_cast<long long>(Info.Records) * 128, static_cast<long long>(Info.Blocks) * BlockSize);
  return Line;
}

std::string PackDiskLineText(uint8_t Flags, const std::string& Name) {
  std::string Text = (Flags & 1) != 0 ? "[B" : "[_";
  Text += (Flags & 2) != 0 ? "R] " : "_] ";
  return Text + Name;
}

std::string FormatThousands(int64_t Value, char Separator) {
  const bool Negative = Value < 0;
  const uint64_t Magnitude = Negative ? 0 - static_cast<uint64_t>(Value) : static_cast<uint64_t>(Value);
  const std::string Digits = std::to_string(Magnitude);
  std::string Text;
  for (size_t Index = 0; Index < Digits.size(); ++Index) {
    if (Index > 0 && (Digits.size() - Index) % 3 == 0) Text += Separator;
    Text += Digits[Index];
  }
  return Negative ? "-" + Text : Text;
}

std::string ChangeFileExt(const std::string& FileName, const std::string& Extension) {
  std::filesystem::path Path(FileName);
  // "name." has an empty extension that still ends in a dot.
  if (!FileName.empty() && FileName.back() == '.' && Path.filename() != "." && Path.filename() != "..")
    return FileName.substr(0, FileName.size() - 1) + Extension;
  Path.replace_extension(Extension);
  return Path.string();
}

std::string FileStem(const std::string& FileName) { return std::filesystem::path(FileName).stem().string(); }

std::string FolderOf(const std::string& FileName) {
  const std::string Folder = std::filesystem::path(FileName).parent_path().string();
  if (Folder.empty() || Folder.back() == '/') return Folder;
  return Folder + '/';
}

bool IsPackFileName(const std::string& FileName) {
  std::string Extension = std::filesystem::path(FileName).extension().string();
  std::transform(Extension.begin(), Extension.end(), Extension.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Extension == ".cdp";
}

std::string OverwriteQuestion(const std::string& FileName) {
  return "The file \"" + FileName + "\" already exists.\nDo you want to replace it?";
}
