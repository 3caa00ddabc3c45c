#include "CpmDiskDrive.h"

#include <algorithm>
#include <cstring>

class TCpmDiskDrive::TDirectoryChange {
 public:
  explicit TDirectoryChange(TCpmDiskDrive& owner) : owner_(owner) {}
  TDirectoryChange(const TDirectoryChange&) = delete;
  TDirectoryChange& operator=(const TDirectoryChange&) = delete;

  ~TDirectoryChange() {
    if (committed_) return;
    for (auto it = written_.rbegin(); it != written_.rend(); ++it) {
      try {
        owner_.WriteDirEntry(it->first, it->second);
      } catch (...) {
        // The disk refuses writes: nothing more can be put back.
      }
    }
    try {
      owner_.ReadDirectory();
    } catch (...) {
    }
  }

  void Write(int index, const TCpmDirEntry& entry) {
    written_.emplace_back(index, owner_.directory_[static_cast<size_t>(index)]);
    owner_.WriteDirEntry(index, entry);
  }

  void Commit() {
    committed_ = true;
    owner_.ReadDirectory();
  }

 private:
  TCpmDiskDrive& owner_;
  std::vector<std::pair<int, TCpmDirEntry>> written_;
  bool committed_ = false;
};

TCpmDiskDrive::TCpmDiskDrive(const std::filesystem::path& fileName, int diskIndex)
    : drive_(std::make_unique<TDiskDrive>(fileName, diskIndex)) {
  ReadDirectory();
}

void TCpmDiskDrive::SeekDataRecord(int record) {
  drive_->Track = static_cast<std::uint16_t>(record / drive_->SectorsPerTrack() + RESERVED_TRACKS);
  drive_->Sector = static_cast<std::uint16_t>(record % drive_->SectorsPerTrack());
}

void TCpmDiskDrive::ReadDataRecord(int record, std::uint8_t* buffer) {
  SeekDataRecord(record);
  drive_->ReadSector(buffer);
}

void TCpmDiskDrive::WriteDataRecord(int record, const std::uint8_t* buffer) {
  SeekDataRecord(record);
  drive_->WriteSector(buffer);
}

void TCpmDiskDrive::ReadDirEntry(int index, TCpmDirEntry& entry) {
  if (!drive_) throw EDiskError("No disk file is currently selected!", DISK_ERROR_NO_DISK);
  if (index < 0 || index >= TDiskDrive::DirEntryCount())
    throw EDiskError("Directory entry does not exist!", DISK_ERROR_BAD_ADDRESS);
  ReadDataRecord(index / ENTRIES_PER_RECORD, dirRecord_.data());
  std::memcpy(entry.Bytes.data(), dirRecord_.data() + TCpmDirEntry::SIZE * (index % ENTRIES_PER_RECORD), TCpmDirEntry::SIZE);
}

void TCpmDiskDrive::WriteDirEntry(int index, const TCpmDirEntry& entry) {
  if (!drive_) throw EDiskError("No disk file is currently selected!", DISK_ERROR_NO_DISK);
  if (index < 0 || index >= TDiskDrive::DirEntryCount())
    throw EDiskError("Directory entry does not exist!", DISK_ERROR_BAD_ADDRESS);
  ReadDataRecord(index / ENTRIES_PER_RECORD, dirRecord_.data());
  std::memcpy(dirRecord_.data() + TCpmDirEntry::SIZE * (index % ENTRIES_PER_RECORD), entry.Bytes.data(), TCpmDirEntry::SIZE);
  WriteDataRecord(index / ENTRIES_PER_RECORD, dirRecord_.data());
  directory_[static_cast<size_t>(index)] = entry;
}

void TCpmDiskDrive::ReadDirectory() {
  fileList_.Clear();
  for (int index = 0; index < TDiskDrive::DirEntryCount(); ++index) {
    ReadDirEntry(index, directory_[static_cast<size_t>(index)]);
    fileList_.AddDirEntry(directory_[static_cast<size_t>(index)]);
  }
}

void TCpmDiskDrive::CopyFileListTo(TCpmDiskFileInfoList* dest) const {
  if (!dest) return;
  if (fileList_.Count() == 0)
    dest->Clear();
  else
    dest->Assign(fileList_);
}

std::vector<int> TCpmDiskDrive::FileEntries(const std::string& name, int user) {
  CheckCpmUser(user);
  // Other systems write names in lower case too, so two files may differ only
  // in letter case: the file whose name matches exactly is the one meant. A
  // name that matches none exactly means the one file it matches when letter
  // case is ignored, and is refused when it matches several.
  std::vector<int> exact;
  std::vector<int> folded;
  std::vector<std::string> spellings;
  for (int index = 0; index < TDiskDrive::DirEntryCount(); ++index) {
    const TCpmDirEntry& entry = directory_[static_cast<size_t>(index)];
    if (entry.User() != user) continue;
    const std::string entryName = entry.FileName();
    if (entryName == name) exact.push_back(index);
    if (!SameCpmName(entryName, name)) continue;
    folded.push_back(index);
    if (std::find(spellings.begin(), spellings.end(), entryName) == spellings.end()) spellings.push_back(entryName);
  }
  if (!exact.empty() || spellings.size() <= 1) return exact.empty() ? folded : exact;
  std::string names;
  for (const std::string& spelling : spellings) names += (names.empty() ? "\"" : ", \"") + spelling + "\"";
  throw ECpmDiskError("The name \"" + name + "\" fits several files of user area " + std::to_string(user) +
                      " that differ only in letter case (" + names + "); give the name exactly as listed!");
}

bool TCpmDiskDrive::FileExists(const std::string& name, int user) {
  CheckCpmUser(user);
  return std::any_of(directory_.begin(), directory_.end(), [&](const TCpmDirEntry& entry) {
    return entry.User() == user && SameCpmName(entry.FileName(), name);
  });
}

void TCpmDiskDrive::DeleteFile(const std::string& name, int user) {
  const std::vector<int> entries = FileEntries(name, user);
  if (entries.empty()) return;
  drive_->CheckWritable();
  TDirectoryChange change(*this);
  for (const int index : entries) change.Write(index, TCpmDirEntry::Free());
  // The bitmap is rebuilt from the entries that remain, so a block is freed
  // only when no other entry still names it.
  change.Commit();
}

int TCpmDiskDrive::SetFileAttributes(const std::string& name, int user, std::uint8_t attributes, int newUser) {
  CheckCpmUser(user);
  CheckCpmUser(newUser);
  const std::vector<int> entries = FileEntries(name, user);
  if (entries.empty()) throw ECpmDiskError("The file \"" + name + "\" does not exist!");
  if (newUser != user && FileExists(name, newUser))
    throw ECpmDiskError("A file named \"" + name + "\" already exists in user area " + std::to_string(newUser) + "!");
  drive_->CheckWritable();
  const std::string storedName = directory_[static_cast<size_t>(entries.front())].FileName();
  TDirectoryChange change(*this);
  for (const int index : entries) {
    TCpmDirEntry entry = directory_[static_cast<size_t>(index)];
    entry.SetAttributes(attributes);
    entry.Bytes[0] = static_cast<std::uint8_t>(newUser);
    change.Write(index, entry);
  }
  change.Commit();
  return fileList_.IndexOf(TCpmDiskFileInfo::MakeKey(storedName, newUser));
}

int TCpmDiskDrive::RenameFile(const std::string& oldName, const std::string& newName, int user) {
  CheckCpmUser(user);
  const std::vector<int> entries = FileEntries(oldName, user);
  if (entries.empty()) throw ECpmDiskError("The file \"" + oldName + "\" does not exist!");
  const std::string storedName = CheckCpmFileName(newName);
  if (FileExists(storedName, user)) throw ECpmDiskError("The file \"" + storedName + "\" already exists!");
  drive_->CheckWritable();
  TDirectoryChange change(*this);
  for (const int index : entries) {
    TCpmDirEntry entry = directory_[static_cast<size_t>(index)];
    entry.SetName(storedName, true);
    change.Write(index, entry);
  }
  change.Commit();
  return fileList_.IndexOf(TCpmDiskFileInfo::MakeKey(storedName, user));
}

void TCpmDiskDrive::ExportFile(const std::string& name, int user, bool textMode, TStream& stream) {
  const std::vector<int> entries = FileEntries(name, user);
  if (entries.empty())
    throw ECpmDiskError("Unable to locate file \"" + name + "\" in user area " + std::to_string(user) + "!");
  // Every record goes to its own offset: extent n holds records n x 128 on,
  // block pointer i of an extent its records i x 16 on. A random-access file
  // may have holes (a zero pointer, an extent never written): they read as
  // zeros, and the data after them keeps its place. The file ends with the
  // last record (RC) of its highest extent; an extent below it is read whole,
  // whatever its own RC says, as cpmtools reads it.
  constexpr int kMaxExtents = 512;  // extent numbers are (S2 and 15) x 32 + (EX and 31)
  std::array<int, kMaxExtents> entryOfExtent;
  entryOfExtent.fill(-1);
  std::int64_t totalRecords = 0;
  for (const int index : entries) {
    const TCpmDirEntry& entry = directory_[static_cast<size_t>(index)];
    const int extent = entry.ExtentNumber();
    // Of two entries claiming one extent (a damaged directory), the first counts.
    if (entryOfExtent[static_cast<size_t>(extent)] >= 0) continue;
    entryOfExtent[static_cast<size_t>(extent)] = index;
    // One entry maps at most 128 records, whatever a damaged RC claims.
    const int records = std::min<int>(entry.RecordCount(), TCpmDirEntry::MAX_RECORDS);
    totalRecords = std::max<std::int64_t>(totalRecords, static_cast<std::int64_t>(extent) * TCpmDirEntry::MAX_RECORDS + records);
  }
  const auto put = [&](const std::uint8_t* bytes, std::int64_t count) {
    if (count > 0 && stream.Write(bytes, count) != count)
      throw ECpmDiskError("Unable to save data read from CPM file to stream!");
  };
  static const std::array<std::uint8_t, RECORDS_PER_BLOCK * RECORD_SIZE> hole{};
  std::array<std::uint8_t, RECORD_SIZE> record{};
  for (std::int64_t first = 0; first < totalRecords; first += RECORDS_PER_BLOCK) {
    // The records of one block pointer: a hole is written in one piece (zeros
    // hold no 1Ah, so text mode takes them whole).
    const int extent = static_cast<int>(first / TCpmDirEntry::MAX_RECORDS);
    const int within = static_cast<int>(first % TCpmDirEntry::MAX_RECORDS);
    const int records = static_cast<int>(std::min<std::int64_t>(RECORDS_PER_BLOCK, totalRecords - first));
    const int index = entryOfExtent[static_cast<size_t>(extent)];
    const std::uint16_t block =
        index >= 0 ? directory_[static_cast<size_t>(index)].Pointer(within / RECORDS_PER_BLOCK) : 0;
    if (block >= TCpmDiskFileInfoList::FIRST_BLOCK_PAST_DISK)
      throw EDiskError("Directory entry " + std::to_string(index) + " of \"" + name + "\" names block " +
                           std::to_string(block) + ", which lies beyond the end of the disk!",
                       DISK_ERROR_BAD_ADDRESS);
    if (block == 0) {
      put(hole.data(), static_cast<std::int64_t>(records) * RECORD_SIZE);
      continue;
    }
    for (int r = 0; r < records; ++r) {
      ReadDataRecord(block * RECORDS_PER_BLOCK + r, record.data());
      if (textMode) {
        const auto eof = std::find(record.begin(), record.end(), 0x1A);
        put(record.data(), eof - record.begin());
        if (eof != record.end()) return;
      } else {
        put(record.data(), RECORD_SIZE);
      }
    }
  }
}

TCpmDiskDrive::TFileSpace TCpmDiskDrive::SpaceForFile(std::int64_t size) {
  const std::int64_t records = (std::max<std::int64_t>(size, 0) + RECORD_SIZE - 1) / RECORD_SIZE;
  TFileSpace space;
  space.Blocks = (records + RECORDS_PER_BLOCK - 1) / RECORDS_PER_BLOCK;
  space.DirEntries = std::max<std::int64_t>(1, (records + TCpmDirEntry::MAX_RECORDS - 1) / TCpmDirEntry::MAX_RECORDS);
  return space;
}

int TCpmDiskDrive::FreeDirEntryCount() const {
  return static_cast<int>(
      std::count_if(directory_.begin(), directory_.end(), [](const TCpmDirEntry& entry) { return entry.IsFree(); }));
}

std::int64_t TCpmDiskDrive::ImportFile(const std::string& name, TStream& stream, std::int64_t size, int& index, int user,
                                       std::uint8_t fillByte) {
  index = -1;
  CheckCpmUser(user);
  const std::string storedName = CheckCpmFileName(name);
  if (FileExists(storedName, user))
    throw ECpmDiskError("A file named \"" + storedName + "\" already exists in user area " + std::to_string(user) + "!");
  size = std::max<std::int64_t>(size, 0);
  drive_->CheckWritable();

  // Room for the whole file is checked before anything is written. An empty
  // file still takes one directory entry, without blocks.
  const TFileSpace space = SpaceForFile(size);
  std::vector<int> freeEntries;
  for (int i = 0; i < TDiskDrive::DirEntryCount(); ++i)
    if (directory_[static_cast<size_t>(i)].IsFree()) freeEntries.push_back(i);
  if (static_cast<std::int64_t>(freeEntries.size()) < space.DirEntries)
    throw ECpmDiskError("Copy to CPM file failed, all available directory entries are used!");
  if (fileList_.Allocation().FreeCount() < space.Blocks)
    throw ECpmDiskError("Unable to write CPM file, not enough free space remaining!");

  TDirectoryChange change(*this);
  TCpmDiskAllocationList allocation = fileList_.Allocation();
  std::vector<std::uint8_t> blockData(static_cast<size_t>(RECORDS_PER_BLOCK * RECORD_SIZE));
  std::int64_t written = 0;
  bool streamEnded = false;
  for (int extent = 0; extent == 0 || (written < size && !streamEnded); ++extent) {
    TCpmDirEntry entry;
    entry.SetName(storedName, false);
    entry.Bytes[0] = static_cast<std::uint8_t>(user);
    entry.Bytes[12] = static_cast<std::uint8_t>(extent & 31);
    entry.Bytes[14] = static_cast<std::uint8_t>((extent >> 5) & 15);
    int recordCount = 0;
    for (int pointer = 0; pointer < TCpmDirEntry::POINTER_COUNT && written < size && !streamEnded; ++pointer) {
      // Gather the block's records first, so no block is taken for data that
      // never arrives.
      int blockRecords = 0;
      while (blockRecords < RECORDS_PER_BLOCK && written < size) {
        std::uint8_t* record = blockData.data() + blockRecords * RECORD_SIZE;
        const std::int64_t wanted = std::min<std::int64_t>(RECORD_SIZE, size - written);
        const std::int64_t got = stream.Read(record, wanted);
        if (got <= 0) {
          streamEnded = true;
          break;
        }
        std::memset(record + got, fillByte, static_cast<size_t>(RECORD_SIZE - got));
        ++blockRecords;
        written += RECORD_SIZE;
        if (got < wanted) {
          streamEnded = true;
          break;
        }
      }
      if (blockRecords == 0) break;
      const std::uint16_t block = allocation.AllocateBlock();
      if (block == TCpmDiskAllocationList::NO_BLOCK || block >= TCpmDiskFileInfoList::FIRST_BLOCK_PAST_DISK)
        throw ECpmDiskError("Unable to write CPM file, not enough free space remaining!");
      for (int r = 0; r < blockRecords; ++r)
        WriteDataRecord(block * RECORDS_PER_BLOCK + r, blockData.data() + r * RECORD_SIZE);
      entry.SetPointer(pointer, block);
      recordCount += blockRecords;
    }
    if (recordCount == 0 && extent > 0) break;
    entry.Bytes[15] = static_cast<std::uint8_t>(recordCount);
    change.Write(freeEntries[static_cast<size_t>(extent)], entry);
  }
  change.Commit();
  index = fileList_.IndexOf(TCpmDiskFileInfo::MakeKey(storedName, user));
  return written;
}
