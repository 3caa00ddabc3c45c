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

namespace {

int CompareIgnoringCase(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int x = std::toupper(static_cast<unsigned char>(a[i]));
    const int y = std::toupper(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

// Keys sort without regard to letter case; two names that differ only in case
// (other systems write lower-case names) are still two files, in byte order.
bool TCpmDiskFileInfoList::KeyLess(const std::string& a, const std::string& b) {
  const int folded = CompareIgnoringCase(a, b);
  return folded != 0 ? folded < 0 : a < b;
}

int TCpmDiskFileInfoList::IndexOfExact(const std::string& key) const {
  const auto it = std::lower_bound(files_.begin(), files_.end(), key,
                                   [](const TCpmDiskFileInfo& info, const std::string& k) { return KeyLess(info.Key(), k); });
  if (it == files_.end() || it->Key() != key) return -1;
  return static_cast<int>(it - files_.begin());
}

int TCpmDiskFileInfoList::IndexOf(const std::string& key) const {
  const int exact = IndexOfExact(key);
  if (exact >= 0) return exact;
  int found = -1;
  for (int i = 0; i < Count(); ++i) {
    if (CompareIgnoringCase(files_[static_cast<size_t>(i)].Key(), key) != 0) continue;
    if (found >= 0) return -1;
    found = i;
  }
  return found;
}

void TCpmDiskFileInfoList::AddDirEntry(const TCpmDirEntry& entry) {
  if (!entry.OwnsBlocks()) return;
  for (int i = 0; i < TCpmDirEntry::POINTER_COUNT; ++i)
    if (entry.Pointer(i) != 0) allocation_.MarkUsed(entry.Pointer(i));
  if (!entry.IsFile()) return;

  const std::string name = entry.FileName();
  const std::string key = TCpmDiskFileInfo::MakeKey(name, entry.User());
  const int index = IndexOfExact(key);
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
