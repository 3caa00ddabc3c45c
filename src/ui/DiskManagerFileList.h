// The host files that the disk manager is about to copy onto a CP/M disk: each
// with its size, attributes and times as the host knows them, so that the room
// they need is known before anything is written.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TFileItem {
 public:
  using TTime = std::chrono::system_clock::time_point;

  explicit TFileItem(std::string Path, std::string Tag = {});

  std::string Path;      // the full host path
  std::string Tag;       // an optional second key
  int64_t Size = -1;     // -1 while unknown
  uint32_t Attributes = 0;  // the host's mode bits (type and permissions)
  TTime Created{};       // the host's status-change time: Linux keeps no creation time here
  TTime Modified{};
  TTime Accessed{};
  std::vector<std::string> Strings;  // whatever a user of the list keeps with the file

  // Reads size, attributes and times of Path (links followed). On failure the
  // size becomes -1, attributes and times 0, Strings empty; returns whether
  // the file was found.
  bool Refresh();
  // Whether Path names a regular file (after Refresh).
  bool IsRegularFile() const;
};

class TFileItemList {
 public:
  // Paths compare without regard to letter case unless set.
  bool CaseSensitive = false;

  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  // Null outside 0 .. Count-1.
  TFileItem* GetItem(int Index) const;
  // The first item whose path equals Path; -1 when none.
  int IndexOfPath(const std::string& Path) const;
  // The item of Path: with a Tag an existing item of exactly that tag, else one
  // of the same path, else a new one appended; refreshed when DoRefresh. Null
  // for an empty path.
  TFileItem* Add(const std::string& Path, const std::string& Tag, bool DoRefresh);
  // The sum of the known sizes (unknown ones count 0).
  int64_t TotalSize() const;

 private:
  std::vector<std::unique_ptr<TFileItem>> FItems;
};
