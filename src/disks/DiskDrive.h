// One emulated drive of 256 tracks x 32 sectors x 128 bytes (1 MiB) over a disk
// image file (".cpmdsk") or one disk of a disk pack. Transfers single sectors
// for the disk controller and the CP/M file system, and whole 2 KiB blocks (half
// tracks) for remote disk access.
//
// An image file is taken as a disk only when it can be one, whatever its
// length: an empty file (a blank disk), or whole 128-byte records that reach
// past the two reserved tracks into the directory, whose part of the directory
// reads as CP/M's (see TCpmDirEntry::Kind): free entries and files, at least
// as many as the damaged entries beside them (so that the files of a damaged
// disk can still be listed and exported). Anything else is refused
// and left as it is: a text, a program, a ROM image, random bytes, a directory
// of zero bytes (never formatted), a file that ends at or before the directory
// and so holds nothing of one. An image file shorter than a disk reads as
// formatted where it has no data and grows when written. A drive that writes
// the reserved tracks of a file that ends there writes the empty directory
// (formatted) first, so a disk this program gives boot tracks holds them and
// its directory, as the disks of mkfs.cpm do, and opens again. One longer than
// a disk, and anything that is no regular file, is refused too. A file that
// may not be written (mode 0444, a read-only medium, another user's file) is
// opened read-only: reads work, and every write is refused with code 8 and a
// message that says so.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "DiskError.h"
#include "DiskStream.h"
#include "StreamCache.h"

class TDiskImageStream;

enum class TDiskAccess {
  ReadWriteIfAllowed,  // read-only only where the file refuses writing
  ReadOnly,            // never written, whatever the file allows
};

class TDiskDrive {
 public:
  static constexpr int SECTOR_SIZE = 128;
  static constexpr int SECTORS_PER_TRACK = 32;
  static constexpr int TRACK_COUNT = 256;
  static constexpr int RECORD_COUNT = SECTORS_PER_TRACK * TRACK_COUNT;  // 8192
  static constexpr std::int64_t DISK_SIZE = static_cast<std::int64_t>(RECORD_COUNT) * SECTOR_SIZE;
  static constexpr int CACHE_RECORDS = 64;
  static constexpr int SECTORS_PER_BLOCK = 16;

  // Constants of the disk layout.
  static constexpr int BlockSize() { return 2048; }
  static constexpr int BlockCount() { return 512; }
  static constexpr int DirEntryCount() { return 256; }
  // Tracks before the directory: the boot image.
  static constexpr int ReservedTracks() { return 2; }

  // Opens FileName as an image file (DiskIndex < 0) or disk DiskIndex of a disk
  // pack. An image file that cannot be a disk raises EDiskError code 1 "Selected
  // disk is not a CP/M disk image!" with the reason; any other failure code 1
  // "Selected disk is bad!" with the host's reason (missing, permission, not a
  // file, too long, not a pack).
  //
  // BootTracks are the boot images that a caller about to write boot tracks
  // (drive A) knows: the one it writes, and the ones earlier BIOS images gave.
  // A file that ends at or before the directory and holds exactly one of them,
  // formatted after it, is what earlier versions of this program left of an
  // empty file put into drive A: it is taken, and gains its empty directory as
  // the boot tracks are written; a read-only one, which cannot gain it, is
  // refused as no disk image.
  TDiskDrive(const std::filesystem::path& FileName, int DiskIndex = -1,
             TDiskAccess Access = TDiskAccess::ReadWriteIfAllowed,
             std::span<const std::vector<std::uint8_t>> BootTracks = {});
  ~TDiskDrive();
  TDiskDrive(const TDiskDrive&) = delete;
  TDiskDrive& operator=(const TDiskDrive&) = delete;

  // Position of the next transfer.
  std::uint16_t Sector = 0;
  std::uint16_t Track = 0;
  std::uint16_t SectorsPerTrack() const { return SECTORS_PER_TRACK; }
  std::uint16_t TrackCount() const { return TRACK_COUNT; }

  const std::filesystem::path& FileName() const { return FFileName; }
  int DiskIndex() const { return FDiskIndex; }
  // Whether writes are refused (see TDiskAccess).
  bool IsReadOnly() const { return FReadOnly; }
  // Raises EDiskError code 8 when the disk is read-only.
  void CheckWritable() const;

  // Raises EDiskError code 2 when Sector >= 32 (tested first) or Track >= 256.
  void CheckTrackSector() const;
  // One 128-byte sector at Track/Sector; code 4 or 8 when the disk fails.
  void ReadSector(void* Buffer);
  void WriteSector(const void* Buffer);
  // The 2 KiB block (16 sectors, 0-15 or 16-31) of Track that holds Sector.
  void ReadBlock(void* Buffer);
  void WriteBlock(const void* Buffer);
  // The same, addressed directly (for a server working on raw blocks).
  void ReadBlock(std::uint16_t TrackIndex, std::uint16_t SectorIndex, void* Buffer);
  void WriteBlock(std::uint16_t TrackIndex, std::uint16_t SectorIndex, const void* Buffer);

  // Forgets the cached records, so the next read sees what other writers of
  // the same file (another drive, a remote client) have put there.
  void DiscardCache() { FCache->Invalidate(); }

  // Replaces FileName by a freshly formatted image (1 MiB of E5h). The old file
  // stays as it was when the new one cannot be written completely.
  static void FormatDriveFile(const std::filesystem::path& FileName);

 private:
  int RecordIndex(int SectorIndex) const { return Track * SECTORS_PER_TRACK + SectorIndex; }
  void ReadRecord(int Record, std::uint8_t* Buffer);
  void WriteRecord(int Record, const std::uint8_t* Buffer);
  void WriteEmptyDirectory();

  std::filesystem::path FFileName;
  int FDiskIndex;
  bool FReadOnly = false;
  // An image file that ended at or before the directory when it was opened:
  // the first write to its reserved tracks writes the empty directory first.
  bool FDirectoryMissing = false;
  std::unique_ptr<TStream> FStream;
  TDiskImageStream* FImage = nullptr;  // FStream when it is an image file
  std::unique_ptr<TStreamCache> FCache;
};
