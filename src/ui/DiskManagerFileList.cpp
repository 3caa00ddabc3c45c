#include "DiskManagerFileList.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace {

TFileItem::TTime TimeOf(const struct timespec& Time) {
  return TFileItem::TTime(std::chrono::duration_cast<TFileItem::TTime::duration>(
      std::chrono::seconds(Time.tv_sec) + std::chrono::nanoseconds(Time.tv_nsec)));
}

bool SameText(const std::string& A, const std::string& B, bool CaseSensitive) {
  if (CaseSensitive) return A == B;
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return std::tolower(static_cast<unsigned char>(X)) == std::tolower(static_cast<unsigned char>(Y));
         });
}

}  // namespace

TFileItem::TFileItem(std::string Path, std::string Tag) : Path(std::move(Path)), Tag(std::move(Tag)) {}

bool TFileItem::Refresh() {
  struct stat Info {};
  if (Path.empty() || ::stat(Path.c_str(), &Info) != 0) {
    Size = -1;
    Attributes = 0;
    Created = Modified = Accessed = TTime{};
    Strings.clear();
    return false;
  }
  Size = static_cast<int64_t>(Info.st_size);
  Attributes = static_cast<uint32_t>(Info.st_mode);
  Created = TimeOf(Info.st_ctim);
  Modified = TimeOf(Info.st_mtim);
  Accessed = TimeOf(Info.st_atim);
  return true;
}

bool TFileItem::IsRegularFile() const { return Size >= 0 && S_ISREG(static_cast<mode_t>(Attributes)); }

TFileItem* TFileItemList::GetItem(int Index) const {
  if (Index < 0 || Index >= Count()) return nullptr;
  return FItems[static_cast<size_t>(Index)].get();
}

int TFileItemList::IndexOfPath(const std::string& Path) const {
  for (int Index = 0; Index < Count(); ++Index)
    if (SameText(FItems[static_cast<size_t>(Index)]->Path, Path, CaseSensitive)) return Index;
  return -1;
}

TFileItem* TFileItemList::Add(const std::string& Path, const std::string& Tag, bool DoRefresh) {
  if (Path.empty()) return nullptr;
  TFileItem* Item = nullptr;
  if (!Tag.empty()) {
    for (const auto& Each : FItems)
      if (Each->Tag == Tag) {
        Item = Each.get();
        break;
      }
  } else {
    Item = GetItem(IndexOfPath(Path));
  }
  if (Item == nullptr) {
    FItems.push_back(std::make_unique<TFileItem>(Path, Tag));
    Item = FItems.back().get();
  }
  if (DoRefresh) Item->Refresh();
  return Item;
}

int64_t TFileItemList::TotalSize() const {
  int64_t Total = 0;
  for (const auto& Item : FItems) Total += std::max<int64_t>(Item->Size, 0);
  return Total;
}
