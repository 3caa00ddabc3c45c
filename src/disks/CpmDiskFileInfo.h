// The files of one CP/M disk as listed: one TCpmDiskFileInfo per file (user
// area and name) in a list sorted by the key NAME.TYP:user without regard to
// letter case, together with the disk's block bitmap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CpmDirEntry.h"
#include "CpmDiskAllocationList.h"

struct TCpmDiskFileInfo {
  std::uint8_t User = 0;
  std::string Name;
  std::uint32_t Records = 0;     // sum of RC over its entries
  std::uint32_t Extents = 0;     // number of its entries
  std::uint32_t Blocks = 0;      // non-zero block pointers over its entries
  std::uint8_t Attributes = 0;   // from its first entry in directory order

  std::string Key() const { return MakeKey(Name, User); }
  static std::string MakeKey(const std::string& name, int user) { return name + ":" + std::to_string(user); }
};

class TCpmDiskFileInfoList {
 public:
  static constexpr std::uint16_t DIR_BLOCKS = 4;
  // Blocks 508-511 would lie beyond track 255: always used, never allocated.
  static constexpr std::uint16_t FIRST_BLOCK_PAST_DISK = 508;

  explicit TCpmDiskFileInfoList(std::int32_t blockSize = 2048);

  // Empties the list and resets the bitmap to the directory and the blocks past
  // the end of the disk.
  void Clear();
  void Assign(const TCpmDiskFileInfoList& source);
  int Count() const { return static_cast<int>(files_.size()); }
  // nullptr / empty text outside 0 .. Count-1.
  const TCpmDiskFileInfo* GetItem(int index) const;
  std::string GetKey(int index) const;
  // Position of key: the file of exactly that key, or else the one file whose
  // key differs only in letter case; -1 when none or several.
  int IndexOf(const std::string& key) const;
  // Adds one directory entry: a file entry (user 0-15) joins or starts its
  // file's info; every entry that owns blocks (user 0-31) marks all its non-zero
  // pointers used.
  void AddDirEntry(const TCpmDirEntry& entry);

  const TCpmDiskAllocationList& Allocation() const { return allocation_; }
  TCpmDiskAllocationList& Allocation() { return allocation_; }
  std::uint16_t DirBlocks() const { return DIR_BLOCKS; }
  std::int32_t BlockSize() const { return blockSize_; }
  // Free space in bytes.
  std::int64_t FreeBytes() const { return static_cast<std::int64_t>(allocation_.FreeCount()) * blockSize_; }

 private:
  void MarkReservedBlocks();
  int IndexOfExact(const std::string& key) const;
  static bool KeyLess(const std::string& a, const std::string& b);

  std::vector<TCpmDiskFileInfo> files_;
  TCpmDiskAllocationList allocation_;
  std::int32_t blockSize_;
};
