// A disk pack (".cdp"): one file holding 1 to 128 disks of 1 MiB with a name and
// a flag byte each. TDiskPack presents the selected disk as a stream of exactly
// one disk's size, so a drive uses it like an image file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "DiskStream.h"
#include "EmulatorError.h"

// A pack file that cannot be opened, read, written or created.
class EDiskPackError : public EEmulatorError {
 public:
  using EEmulatorError::EEmulatorError;
};

// Flag bits of a pack disk.
enum TDiskPackFlags : std::uint8_t { DISK_PACK_BOOTABLE = 1, DISK_PACK_PROTECTED = 2 };

class TDiskPack : public TStream {
 public:
  static constexpr int MAX_DISKS = 128;
  static constexpr int HEADER_SIZE = 512;
  static constexpr int NAME_SIZE = 32;
  static constexpr std::int64_t DISK_SIZE = 1048576;
  static constexpr const char* SIGNATURE = "CPM Disk Pack 1a";

  // Opens and checks the pack; raises EDiskPackError when the file is missing,
  // is no pack, or its header does not fit the file. A pack file that refuses
  // writing is opened read-only (see TFileStream::TMode).
  explicit TDiskPack(const std::filesystem::path& fileName,
                     TFileStream::TMode mode = TFileStream::TMode::OpenReadWriteIfAllowed);
  // The same over a pack held in any stream (taken over).
  explicit TDiskPack(std::unique_ptr<TStream> packFile);

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  // Positions lie within the selected disk; from the end counts back from its
  // size (offset 0 gives the size, -128 the start of its last record).
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

  bool IsReadOnly() const { return readOnly_; }
  int GetDiskCount() const;
  std::uint8_t GetDiskFlags(int index) const;
  std::string GetDiskName(int index) const;
  // Change the flag byte or the name (cut to 32 bytes) of a disk and rewrite the
  // header; an index outside the pack changes nothing. A failed write raises
  // EDiskPackError and leaves the copy in memory as it was.
  void SetDiskFlags(int index, std::uint8_t flags);
  void SetDiskName(int index, const std::string& name);
  // Selects disk index as the stream's content; an index outside the pack
  // raises EDiskPackError and keeps the current selection.
  void SelectDisk(int index);
  int CurrentDisk() const { return currentDisk_; }
  std::int64_t DataOffset() const { return dataOffset_; }
  std::int64_t DiskSize() const { return diskSize_; }

  // DataOffset of a pack of diskCount disks.
  static std::int64_t DataOffsetFor(int diskCount);
  // Writes a new pack of diskCount blank disks (kept within 1 .. 128) named
  // "DISK 1", "DISK 2", ...; onProgress gets the number of each disk written.
  // The pack replaces fileName only once it is complete.
  static void CreatePackFile(const std::filesystem::path& fileName, int diskCount,
                             const std::function<void(int diskNumber)>& onProgress = {});

 private:
  void Open();
  void WriteHeader();

  std::unique_ptr<TStream> packFile_;
  bool readOnly_ = false;
  int currentDisk_ = 0;
  // Header and names lie back to back, so the first DataOffset bytes of the
  // file are rewritten from them in one write.
  std::array<std::uint8_t, HEADER_SIZE + MAX_DISKS * NAME_SIZE> headerAndNames_{};
  std::int64_t dataOffset_ = 0;
  std::int64_t diskBase_ = 0;
  std::int64_t diskSize_ = 0;
};
