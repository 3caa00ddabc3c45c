#include "DiskDrive.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "CpmDirEntry.h"
#include "DiskImageStream.h"
#include "DiskPack.h"

namespace {

// A file shorter than a disk is a disk that tools wrote only in part (mkfs.cpm
// writes the boot tracks and the directory, a blank disk may be empty). Any
// other short file is refused before anything is written to it: a mount into
// drive A or an import would overwrite it.
void CheckShortImage(TFileStream& file, std::int64_t size) {
  const auto refuse = [&](const std::string& reason) {
    throw EDiskError("Selected disk is not a CP/M disk image!", DISK_ERROR_NO_DISK,
                     "\"" + file.FileName().string() + "\" " + reason);
  };
  if (size % TDiskDrive::SECTOR_SIZE != 0)
    refuse("is " + std::to_string(size) + " bytes long, not a whole number of " +
           std::to_string(TDiskDrive::SECTOR_SIZE) + "-byte records.");
  const std::int64_t directory =
      static_cast<std::int64_t>(TDiskDrive::ReservedTracks()) * TDiskDrive::SECTORS_PER_TRACK * TDiskDrive::SECTOR_SIZE;
  const std::int64_t held =
      std::min<std::int64_t>(size, directory + TDiskDrive::DirEntryCount() * TCpmDirEntry::SIZE) - directory;
  if (held <= 0) return;
  std::vector<std::uint8_t> bytes(static_cast<size_t>(held));
  if (file.Seek(directory, TSeekOrigin::Beginning) != directory || file.Read(bytes.data(), held) != held)
    throw EStreamError("\"" + file.FileName().string() + "\" could not be read.");
  for (std::int64_t at = 0; at < held; at += TCpmDirEntry::SIZE) {
    TCpmDirEntry entry;
    std::copy_n(bytes.begin() + at, TCpmDirEntry::SIZE, entry.Bytes.begin());
    if (!entry.IsWellFormed())
      refuse("holds no CP/M directory entry at byte " + std::to_string(directory + at) + ".");
  }
}

}  // namespace

TDiskDrive::TDiskDrive(const std::filesystem::path& fileName, int diskIndex, TDiskAccess access)
    : fileName_(fileName), diskIndex_(diskIndex) {
  const TFileStream::TMode mode = access == TDiskAccess::ReadOnly ? TFileStream::TMode::OpenRead
                                                                  : TFileStream::TMode::OpenReadWriteIfAllowed;
  try {
    if (diskIndex < 0) {
      auto file = std::make_unique<TFileStream>(fileName, mode);
      const std::int64_t size = file->GetSize();
      if (size > DISK_SIZE)
        throw EStreamError("\"" + fileName.string() + "\" is " + std::to_string(size) +
                           " bytes long, more than the " + std::to_string(DISK_SIZE) + " bytes of a disk.");
      if (size < DISK_SIZE) CheckShortImage(*file, size);
      readOnly_ = file->IsReadOnly();
      stream_ = std::make_unique<TDiskImageStream>(std::move(file), DISK_SIZE, BlockSize());
    } else {
      auto pack = std::make_unique<TDiskPack>(fileName, mode);
      pack->SelectDisk(diskIndex);
      readOnly_ = pack->IsReadOnly();
      stream_ = std::move(pack);
    }
    const std::int64_t records = std::min<std::int64_t>(stream_->GetSize() / SECTOR_SIZE, RECORD_COUNT);
    cache_ = std::make_unique<TStreamCache>(*stream_, 0, static_cast<std::int32_t>(records), SECTOR_SIZE, CACHE_RECORDS);
  } catch (const EDiskError&) {
    throw;
  } catch (const std::exception& error) {
    throw EDiskError("Selected disk is bad!", DISK_ERROR_NO_DISK, error.what());
  }
}

void TDiskDrive::CheckWritable() const {
  if (readOnly_) throw EDiskError("Write to disk failed, the disk image is read-only!", DISK_ERROR_WRITE);
}

TDiskDrive::~TDiskDrive() {
  cache_.reset();
  stream_.reset();
}

void TDiskDrive::CheckTrackSector() const {
  if (Sector >= SECTORS_PER_TRACK)
    throw EDiskError("Invalid track sector (" + std::to_string(Sector) + ")!", DISK_ERROR_BAD_ADDRESS);
  if (Track >= TRACK_COUNT) throw EDiskError("Invalid disk track (" + std::to_string(Track) + ")!", DISK_ERROR_BAD_ADDRESS);
}

void TDiskDrive::ReadRecord(int record, std::uint8_t* buffer) {
  const std::uint8_t* data = cache_->ReadRecord(record);
  if (!data) throw EDiskError("Read from disk failed!", DISK_ERROR_READ);
  std::memcpy(buffer, data, SECTOR_SIZE);
}

void TDiskDrive::WriteRecord(int record, const std::uint8_t* buffer) {
  CheckWritable();
  if (cache_->WriteRecord(record, buffer) != TStreamCache::WRITE_OK)
    throw EDiskError("Write to disk failed!", DISK_ERROR_WRITE);
}

void TDiskDrive::ReadSector(void* buffer) {
  CheckTrackSector();
  ReadRecord(RecordIndex(Sector), static_cast<std::uint8_t*>(buffer));
}

void TDiskDrive::WriteSector(const void* buffer) {
  CheckTrackSector();
  WriteRecord(RecordIndex(Sector), static_cast<const std::uint8_t*>(buffer));
}

void TDiskDrive::ReadBlock(void* buffer) {
  CheckTrackSector();
  const int first = RecordIndex(Sector & 0xFFF0);
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (int i = 0; i < SECTORS_PER_BLOCK; ++i) ReadRecord(first + i, bytes + i * SECTOR_SIZE);
}

void TDiskDrive::WriteBlock(const void* buffer) {
  CheckTrackSector();
  const int first = RecordIndex(Sector & 0xFFF0);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  for (int i = 0; i < SECTORS_PER_BLOCK; ++i) WriteRecord(first + i, bytes + i * SECTOR_SIZE);
}

void TDiskDrive::ReadBlock(std::uint16_t track, std::uint16_t sector, void* buffer) {
  Track = track;
  Sector = sector;
  ReadBlock(buffer);
}

void TDiskDrive::WriteBlock(std::uint16_t track, std::uint16_t sector, const void* buffer) {
  Track = track;
  Sector = sector;
  WriteBlock(buffer);
}

void TDiskDrive::FormatDriveFile(const std::filesystem::path& fileName) {
  const char* failure = "Unable to format the virtual drive, the drive could not be written to!";
  try {
    TReplacingFile target(fileName);
    const std::vector<std::uint8_t> blank(static_cast<size_t>(DISK_SIZE), 0xE5);
    if (target.Stream().Write(blank.data(), DISK_SIZE) != DISK_SIZE) throw EStreamError(failure);
    target.Commit();
  } catch (const EStreamError&) {
    throw EEmulatorError(failure);
  }
}
