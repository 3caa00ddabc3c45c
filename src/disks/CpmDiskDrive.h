// The CP/M 2.2 file system of one emulated disk, read and written from the host:
// directory listing by user area, import and export of text and binary files,
// delete, rename, attributes and moves between user areas. Layout: two reserved
// tracks, 2 KiB blocks 0-507 (0-3 the directory of 256 entries), 16-bit block
// pointers, 128 records per directory entry.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CpmDirEntry.h"
#include "CpmDiskFileInfo.h"
#include "DiskDrive.h"
#include "DiskStream.h"

class TCpmDiskDrive {
 public:
  static constexpr int RESERVED_TRACKS = TDiskDrive::ReservedTracks();
  static constexpr int RECORDS_PER_BLOCK = 16;
  static constexpr int RECORD_SIZE = 128;
  static constexpr int ENTRIES_PER_RECORD = 4;

  // Opens an image file (diskIndex < 0) or a disk of a pack and reads its
  // directory. EDiskError when the disk cannot be opened or read.
  explicit TCpmDiskDrive(const std::filesystem::path& fileName, int diskIndex = -1);

  void ReadDirEntry(int index, TCpmDirEntry& entry);
  void WriteDirEntry(int index, const TCpmDirEntry& entry);
  // Reads the whole directory again into the file list and the bitmap.
  void ReadDirectory();

  const TCpmDiskFileInfoList& FileList() const { return fileList_; }
  void CopyFileListTo(TCpmDiskFileInfoList* dest) const;
  // Whether a file of that name, letter case ignored, is in the user area.
  bool FileExists(const std::string& name, int user);
  TDiskDrive& Drive() { return *drive_; }

  // Operations on a file named NAME.TYP in user area 0-15: the file of exactly
  // that name, or else the one file whose name differs only in letter case
  // (ECpmDiskError when several do). Index results are the file's position in
  // FileList afterwards, -1 when absent. A failure part way puts the directory
  // back as it was; on a read-only disk the changes are refused (EDiskError 8)
  // before anything is written.
  void DeleteFile(const std::string& name, int user);
  int SetFileAttributes(const std::string& name, int user, std::uint8_t attributes, int newUser);
  int RenameFile(const std::string& oldName, const std::string& newName, int user);
  // Every record at its offset, holes of a random-access file as zeros. Text
  // mode ends the file at the first 1Ah.
  void ExportFile(const std::string& name, int user, bool textMode, TStream& stream);
  // Imports size bytes of stream (fewer when the stream ends first) as a new file;
  // a short last record is padded with fillByte, and an empty stream gives an
  // empty file of one directory entry. Returns the bytes written to the disk
  // (whole records); index gets the file's list position.
  std::int64_t ImportFile(const std::string& name, TStream& stream, std::int64_t size, int& index, int user,
                          std::uint8_t fillByte);

  // What ImportFile takes for a file of size bytes: whole blocks, and one
  // directory entry per 128 records (an empty file still takes one entry).
  struct TFileSpace {
    std::int64_t Blocks = 0;
    std::int64_t DirEntries = 0;
  };
  static TFileSpace SpaceForFile(std::int64_t size);
  // Directory entries that are free (user byte E5h) and blocks that are free.
  int FreeDirEntryCount() const;
  int FreeBlockCount() const { return fileList_.Allocation().FreeCount(); }

 private:
  // Directory writes of one operation, undone in reverse order when it fails.
  class TDirectoryChange;

  void SeekDataRecord(int record);
  void ReadDataRecord(int record, std::uint8_t* buffer);
  void WriteDataRecord(int record, const std::uint8_t* buffer);
  // Indexes of the entries of a file, in directory order.
  std::vector<int> FileEntries(const std::string& name, int user);

  std::unique_ptr<TDiskDrive> drive_;
  TCpmDiskFileInfoList fileList_;
  std::array<std::uint8_t, RECORD_SIZE> dirRecord_{};
  std::array<TCpmDirEntry, 256> directory_{};
};
