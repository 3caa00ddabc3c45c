#include "CpmDiskFileInfo.h"

#include <algorithm>
#include <cctype>

TCpmDiskFileInfoList::TCpmDiskFileInfoList(std::int32_t blockSize) : allocation_(511), blockSize_(blockSize) {
  MarkReservedBlocks();
}

void TCpmDiskFileInfoList::MarkReservedBlocks() {
  for (std::uint16_t block = 0; block < DIR_BLOCKS; ++block) allocation_.MarkUsed(block);
  for (std::uint16_t block = FIRST_BLOCK_PAST_DISK; block <= allocation_.MaxBlock(); ++block) allocation_.MarkUsed(block);
}

void TCpmDiskFileInfoList::Clear() {
  files_.clear();
  allocation_.Clear();
  MarkReservedBlocks();
}

void TCpmDiskFileInfoList::Assign(const TCpmDiskFileInfoList& source) {
  if (&source == this) return;
  files_ = source.files_;
  allocation_ = source.allocation_;
}

const TCpmDiskFileInfo* TCpmDiskFileInfoList::GetItem(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return &files_[static_cast<size_t>(index)];
}

std::string TCpmDiskFileInfoList::GetKey(int index) const {
  const TCpmDiskFileInfo* info = GetItem(index);
  return info ? info->Key() : std::string();
}

bool TCpmDiskFileInfoList::KeyLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) < std::toupper(static_cast<unsigned char>(y));
  });
}

int TCpmDiskFileInfoList::IndexOf(const std::string& key) const {
  const auto it = std::lower_bound(files_.begin(), files_.end(), key,
                                   [](const TCpmDiskFileInfo& info, const std::string& k) { return KeyLess(info.Key(), k); });
  if (it == files_.end() || KeyLess(key, it->Key())) return -1;
  return static_cast<int>(it - files_.begin());
}

void TCpmDiskFileInfoList::AddDirEntry(const TCpmDirEntry& entry) {
  if (!entry.OwnsBlocks()) return;
  for (int i = 0; i < TCpmDirEntry::POINTER_COUNT; ++i)
    if (entry.Pointer(i) != 0) allocation_.MarkUsed(entry.Pointer(i));
  if (!entry.IsFile()) return;

  const std::string name = entry.FileName();
  const std::string key = TCpmDiskFileInfo::MakeKey(name, entry.User());
  const int index = IndexOf(key);
  if (index >= 0) {
    TCpmDiskFileInfo& info = files_[static_cast<size_t>(index)];
    info.Records += entry.RecordCount();
    info.Extents += 1;
    info.Blocks += static_cast<std::uint32_t>(entry.UsedPointerCount());
    return;
  }
  TCpmDiskFileInfo info;
  info.User = entry.User();
  info.Name = name;
  info.Records = entry.RecordCount();
  info.Extents = 1;
  info.Blocks = static_cast<std::uint32_t>(entry.UsedPointerCount());
  info.Attributes = entry.Attributes();
  const auto at = std::upper_bound(files_.begin(), files_.end(), key,
                                   [](const std::string& k, const TCpmDiskFileInfo& other) { return KeyLess(k, other.Key()); });
  files_.insert(at, std::move(info));
}
