#include "DiskDrive.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "CpmDirEntry.h"
#include "DiskImageStream.h"
#include "DiskPack.h"

namespace {

// The directory follows the reserved tracks.
constexpr int DirectoryRecord = TDiskDrive::ReservedTracks() * TDiskDrive::SECTORS_PER_TRACK;
constexpr std::int64_t DirectoryStart = static_cast<std::int64_t>(DirectoryRecord) * TDiskDrive::SECTOR_SIZE;

// Reads Count bytes of File from At into a new buffer.
std::vector<std::uint8_t> ReadPart(TFileStream& File, std::int64_t At, std::int64_t Count) {
  std::vector<std::uint8_t> Bytes(static_cast<size_t>(Count));
  if (File.Seek(At, TSeekOrigin::Beginning) != At || File.Read(Bytes.data(), Count) != Count)
    throw EStreamError("\"" + File.FileName().string() + "\" could not be read.");
  return Bytes;
}

// Whether File, Size bytes long, holds one of BootTracks, formatted after it.
bool HoldsBootTracksAlone(TFileStream& File, std::int64_t Size, std::span<const std::vector<std::uint8_t>> BootTracks) {
  if (BootTracks.empty()) return false;
  const std::vector<std::uint8_t> Bytes = ReadPart(File, 0, Size);
  return std::any_of(BootTracks.begin(), BootTracks.end(), [&](const std::vector<std::uint8_t>& Tracks) {
    return Tracks.size() <= Bytes.size() && std::equal(Tracks.begin(), Tracks.end(), Bytes.begin()) &&
           std::all_of(Bytes.begin() + static_cast<std::ptrdiff_t>(Tracks.size()), Bytes.end(),
                       [](std::uint8_t Byte) { return Byte == TDiskImageStream::FORMATTED_BYTE; });
  });
}

using TRefusal = std::function<void(const std::string& Reason)>;

// The part of the directory that File holds must read as CP/M's: entries that
// are free (E5h first, as CP/M reads them) or files, at least as many as the
// damaged ones beside them. So a disk with some damaged entries still opens, and the
// disk manager can list and rescue its files; random bytes, a text, a program
// or a ROM image give damaged entries almost only (a string followed by small
// numbers may read as a file by chance, and a text line as a label or time
// stamps, which show no disk either way).
void CheckDirectory(TFileStream& File, std::int64_t Size, const TRefusal& Refuse) {
  const std::int64_t Held =
      std::min<std::int64_t>(Size - DirectoryStart, TDiskDrive::DirEntryCount() * TCpmDirEntry::SIZE);
  const std::vector<std::uint8_t> Bytes = ReadPart(File, DirectoryStart, Held);
  // CP/M would read 256 files without a name that fill the directory.
  if (std::all_of(Bytes.begin(), Bytes.end(), [](std::uint8_t Byte) { return Byte == 0; }))
    Refuse("holds only zero bytes where the CP/M directory starts, at byte " + std::to_string(DirectoryStart) +
           ": it was never formatted.");
  int Good = 0;
  int Damaged = 0;
  std::int64_t FirstDamaged = DirectoryStart;
  for (std::int64_t At = 0; At < Held; At += TCpmDirEntry::SIZE) {
    TCpmDirEntry Entry;
    std::copy_n(Bytes.begin() + At, TCpmDirEntry::SIZE, Entry.Bytes.begin());
    switch (Entry.Kind(TDiskDrive::BlockCount())) {
      case TCpmDirEntry::TKind::File:
      case TCpmDirEntry::TKind::Free:
        ++Good;
        break;
      case TCpmDirEntry::TKind::Damaged:
        if (Damaged++ == 0) FirstDamaged = DirectoryStart + At;
        break;
      case TCpmDirEntry::TKind::Label:
      case TCpmDirEntry::TKind::TimeStamps:
        break;
    }
  }
  if (Good > 0 && Good >= Damaged) return;
  const std::string Entries = "the " + std::to_string(Held / TCpmDirEntry::SIZE) + " entries from byte " +
                              std::to_string(DirectoryStart) + " on";
  if (Damaged == 0) Refuse("holds no CP/M directory: none of " + Entries + " is a file or a free entry.");
  const std::string Rest = Good == 0   ? "none is a file or a free entry."
                           : Good == 1 ? "only 1 is a file or a free entry."
                                       : "only " + std::to_string(Good) + " are files or free entries.";
  Refuse("holds no CP/M directory: " + std::to_string(Damaged) + " of " + Entries +
         (Damaged == 1 ? " is" : " are") + " damaged, the first at byte " + std::to_string(FirstDamaged) + "; " +
         Rest);
}

// Whether File can be a disk, checked before anything is written to it: a
// mount into drive A or an import would overwrite it. A file that ends at or
// before the directory holds nothing that shows it is a disk, unless it holds
// one of the boot tracks the caller knows, to be written again with the
// directory after them; that needs a file that may be written.
void CheckImage(TFileStream& File, std::int64_t Size, std::span<const std::vector<std::uint8_t>> BootTracks) {
  const TRefusal Refuse = [&](const std::string& Reason) {
    throw EDiskError("Selected disk is not a CP/M disk image!", DISK_ERROR_NO_DISK,
                     "\"" + File.FileName().string() + "\" " + Reason);
  };
  if (Size % TDiskDrive::SECTOR_SIZE != 0)
    Refuse("is " + std::to_string(Size) + " bytes long, not a whole number of " +
           std::to_string(TDiskDrive::SECTOR_SIZE) + "-byte records.");
  if (Size == 0) return;
  if (Size > DirectoryStart) {
    CheckDirectory(File, Size, Refuse);
    return;
  }
  const std::string Length = "is " + std::to_string(Size) + " bytes long and ";
  if (!HoldsBootTracksAlone(File, Size, BootTracks))
    Refuse(Length + "ends at or before byte " + std::to_string(DirectoryStart) +
           ", where the CP/M directory starts after the reserved tracks.");
  if (File.IsReadOnly())
    Refuse(Length + "holds boot tracks alone, no CP/M directory; it is read-only, so the directory cannot be "
           "written after them.");
}

}  // namespace

TDiskDrive::TDiskDrive(const std::filesystem::path& FileName, int DiskIndex, TDiskAccess Access,
                       std::span<const std::vector<std::uint8_t>> BootTracks)
    : FFileName(FileName), FDiskIndex(DiskIndex) {
  const TFileStream::TMode Mode = Access == TDiskAccess::ReadOnly ? TFileStream::TMode::OpenRead
                                                                  : TFileStream::TMode::OpenReadWriteIfAllowed;
  try {
    if (DiskIndex < 0) {
      auto File = std::make_unique<TFileStream>(FileName, Mode);
      const std::int64_t Size = File->GetSize();
      if (Size > DISK_SIZE)
        throw EStreamError("\"" + FileName.string() + "\" is " + std::to_string(Size) +
                           " bytes long, more than the " + std::to_string(DISK_SIZE) + " bytes of a disk.");
      CheckImage(*File, Size, BootTracks);
      FReadOnly = File->IsReadOnly();
      FDirectoryMissing = !FReadOnly && Size <= DirectoryStart;
      auto Image = std::make_unique<TDiskImageStream>(std::move(File), DISK_SIZE, BlockSize());
      FImage = Image.get();
      FStream = std::move(Image);
    } else {
      auto Pack = std::make_unique<TDiskPack>(FileName, Mode);
      Pack->SelectDisk(DiskIndex);
      FReadOnly = Pack->IsReadOnly();
      FStream = std::move(Pack);
    }
    const std::int64_t Records = std::min<std::int64_t>(FStream->GetSize() / SECTOR_SIZE, RECORD_COUNT);
    FCache = std::make_unique<TStreamCache>(*FStream, 0, static_cast<std::int32_t>(Records), SECTOR_SIZE, CACHE_RECORDS);
  } catch (const EDiskError&) {
    throw;
  } catch (const std::exception& Error) {
    throw EDiskError("Selected disk is bad!", DISK_ERROR_NO_DISK, Error.what());
  }
}

void TDiskDrive::CheckWritable() const {
  if (FReadOnly) throw EDiskError("Write to disk failed, the disk image is read-only!", DISK_ERROR_WRITE);
}

TDiskDrive::~TDiskDrive() {
  FCache.reset();
  FStream.reset();
}

void TDiskDrive::CheckTrackSector() const {
  if (Sector >= SECTORS_PER_TRACK)
    throw EDiskError("Invalid track sector (" + std::to_string(Sector) + ")!", DISK_ERROR_BAD_ADDRESS);
  if (Track >= TRACK_COUNT) throw EDiskError("Invalid disk track (" + std::to_string(Track) + ")!", DISK_ERROR_BAD_ADDRESS);
}

void TDiskDrive::ReadRecord(int Record, std::uint8_t* Buffer) {
  const std::uint8_t* Data = FCache->ReadRecord(Record);
  if (!Data) throw EDiskError("Read from disk failed!", DISK_ERROR_READ);
  std::memcpy(Buffer, Data, SECTOR_SIZE);
}

void TDiskDrive::WriteRecord(int Record, const std::uint8_t* Buffer) {
  CheckWritable();
  if (FDirectoryMissing && Record < DirectoryRecord) WriteEmptyDirectory();
  if (FCache->WriteRecord(Record, Buffer) != TStreamCache::WRITE_OK)
    throw EDiskError("Write to disk failed!", DISK_ERROR_WRITE);
}

// Boot tracks alone, in a file that ends before the directory, would leave
// nothing that shows the file is a disk, and it would be refused when opened
// again. So the empty directory (formatted records, no entries) is written
// before them, and the file holds the boot tracks and the directory as
// mkfs.cpm writes a disk: cpmtools reads it too.
void TDiskDrive::WriteEmptyDirectory() {
  // Another drive on the same file (a remote client's) may have grown it.
  if (FImage->FileSize() <= DirectoryStart) {
    std::uint8_t Formatted[SECTOR_SIZE];
    std::memset(Formatted, TDiskImageStream::FORMATTED_BYTE, sizeof Formatted);
    const int Records = DirEntryCount() * TCpmDirEntry::SIZE / SECTOR_SIZE;
    for (int Record = DirectoryRecord; Record < DirectoryRecord + Records; ++Record)
      if (FCache->WriteRecord(Record, Formatted) != TStreamCache::WRITE_OK)
        throw EDiskError("Write to disk failed!", DISK_ERROR_WRITE);
  }
  FDirectoryMissing = false;
}

void TDiskDrive::ReadSector(void* Buffer) {
  CheckTrackSector();
  ReadRecord(RecordIndex(Sector), static_cast<std::uint8_t*>(Buffer));
}

void TDiskDrive::WriteSector(const void* Buffer) {
  CheckTrackSector();
  WriteRecord(RecordIndex(Sector), static_cast<const std::uint8_t*>(Buffer));
}

void TDiskDrive::ReadBlock(void* Buffer) {
  CheckTrackSector();
  const int First = RecordIndex(Sector & 0xFFF0);
  auto* Bytes = static_cast<std::uint8_t*>(Buffer);
  for (int I = 0; I < SECTORS_PER_BLOCK; ++I) ReadRecord(First + I, Bytes + I * SECTOR_SIZE);
}

void TDiskDrive::WriteBlock(const void* Buffer) {
  CheckTrackSector();
  const int First = RecordIndex(Sector & 0xFFF0);
  const auto* Bytes = static_cast<const std::uint8_t*>(Buffer);
  for (int I = 0; I < SECTORS_PER_BLOCK; ++I) WriteRecord(First + I, Bytes + I * SECTOR_SIZE);
}

void TDiskDrive::ReadBlock(std::uint16_t TrackIndex, std::uint16_t SectorIndex, void* Buffer) {
  Track = TrackIndex;
  Sector = SectorIndex;
  ReadBlock(Buffer);
}

void TDiskDrive::WriteBlock(std::uint16_t TrackIndex, std::uint16_t SectorIndex, const void* Buffer) {
  Track = TrackIndex;
  Sector = SectorIndex;
  WriteBlock(Buffer);
}

void TDiskDrive::FormatDriveFile(const std::filesystem::path& FileName) {
  const char* Failure = "Unable to format the virtual drive, the drive could not be written to!";
  try {
    TReplacingFile Target(FileName);
    const std::vector<std::uint8_t> Blank(static_cast<size_t>(DISK_SIZE), 0xE5);
    if (Target.Stream().Write(Blank.data(), DISK_SIZE) != DISK_SIZE) throw EStreamError(Failure);
    Target.Commit();
  } catch (const EStreamError&) {
    throw EEmulatorError(Failure);
  }
}
