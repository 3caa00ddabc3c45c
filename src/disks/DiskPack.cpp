#include "DiskPack.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::uint16_t GetWord(const std::uint8_t* bytes, int offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void PutWord(std::uint8_t* bytes, int offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Text of a fixed-size field, trailing blanks, zeros and control characters removed.
std::string TrimmedText(const std::uint8_t* bytes, int size) {
  std::string text(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size));
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return text;
}

constexpr int WORD_DATA_OFFSET = 0;
constexpr int SIGNATURE_OFFSET = 2;
constexpr int WORD_BLOCK_SIZE = 22;
constexpr int WORD_BLOCK_COUNT = 24;
constexpr int WORD_DISK_COUNT = 30;
constexpr int FLAGS_OFFSET = 32;

}  // namespace

std::int64_t TDiskPack::DataOffsetFor(int diskCount) {
  return (HEADER_SIZE + NAME_SIZE * static_cast<std::int64_t>(diskCount) + 511) & ~static_cast<std::int64_t>(511);
}

TDiskPack::TDiskPack(const std::filesystem::path& fileName, TFileStream::TMode mode) {
  try {
    auto file = std::make_unique<TFileStream>(fileName, mode);
    readOnly_ = file->IsReadOnly();
    packFile_ = std::move(file);
  } catch (const EStreamError& error) {
    throw EDiskPackError(error.what());
  }
  Open();
}

TDiskPack::TDiskPack(std::unique_ptr<TStream> packFile) : packFile_(std::move(packFile)) { Open(); }

void TDiskPack::Open() {
  packFile_->SetPosition(0);
  std::uint8_t* header = headerAndNames_.data();
  if (packFile_->Read(header, HEADER_SIZE) != HEADER_SIZE) throw EDiskPackError("Unable to read header from disk pack file.");
  if (TrimmedText(header + SIGNATURE_OFFSET, 16) != SIGNATURE) throw EDiskPackError("The specified file is not a disk pack file.");

  const int diskCount = GetWord(header, WORD_DISK_COUNT);
  if (diskCount < 1 || diskCount > MAX_DISKS)
    throw EDiskPackError("The disk pack header is corrupt: it names " + std::to_string(diskCount) +
                         " disks, a pack holds 1 to 128.");
  dataOffset_ = GetWord(header, WORD_DATA_OFFSET);
  if (dataOffset_ != DataOffsetFor(diskCount))
    throw EDiskPackError("The disk pack header is corrupt: its data offset " + std::to_string(dataOffset_) +
                         " does not fit " + std::to_string(diskCount) + " disks.");
  diskSize_ = static_cast<std::int64_t>(GetWord(header, WORD_BLOCK_SIZE)) * GetWord(header, WORD_BLOCK_COUNT);
  if (diskSize_ != DISK_SIZE)
    throw EDiskPackError("The disk pack header is corrupt: its disks are " + std::to_string(diskSize_) +
                         " bytes, not 1048576.");
  const std::int64_t namesSize = static_cast<std::int64_t>(NAME_SIZE) * diskCount;
  if (packFile_->Read(header + HEADER_SIZE, namesSize) != namesSize)
    throw EDiskPackError("Unable to read disk names from disk pack file.");
  if (packFile_->GetSize() < dataOffset_ + diskCount * diskSize_)
    throw EDiskPackError("The disk pack file is too short for its " + std::to_string(diskCount) + " disks.");
  diskBase_ = dataOffset_;
  packFile_->SetPosition(diskBase_);
}

int TDiskPack::GetDiskCount() const { return GetWord(headerAndNames_.data(), WORD_DISK_COUNT); }

std::uint8_t TDiskPack::GetDiskFlags(int index) const {
  if (index < 0 || index >= GetDiskCount()) return 0;
  return headerAndNames_[FLAGS_OFFSET + index];
}

std::string TDiskPack::GetDiskName(int index) const {
  if (index < 0 || index >= GetDiskCount()) return {};
  return TrimmedText(headerAndNames_.data() + HEADER_SIZE + NAME_SIZE * index, NAME_SIZE);
}

void TDiskPack::SetDiskFlags(int index, std::uint8_t flags) {
  if (index < 0 || index >= GetDiskCount()) return;
  const std::uint8_t old = headerAndNames_[FLAGS_OFFSET + index];
  headerAndNames_[FLAGS_OFFSET + index] = flags;
  try {
    WriteHeader();
  } catch (...) {
    headerAndNames_[FLAGS_OFFSET + index] = old;
    throw;
  }
}

void TDiskPack::SetDiskName(int index, const std::string& name) {
  if (index < 0 || index >= GetDiskCount()) return;
  std::uint8_t* slot = headerAndNames_.data() + HEADER_SIZE + NAME_SIZE * index;
  std::array<std::uint8_t, NAME_SIZE> old{};
  std::memcpy(old.data(), slot, NAME_SIZE);
  std::memset(slot, 0, NAME_SIZE);
  std::memcpy(slot, name.data(), std::min<size_t>(name.size(), NAME_SIZE));
  try {
    WriteHeader();
  } catch (...) {
    std::memcpy(slot, old.data(), NAME_SIZE);
    throw;
  }
}

void TDiskPack::WriteHeader() {
  if (readOnly_) throw EDiskPackError("Unable to write to disk pack file, the file is read-only.");
  const std::int64_t position = packFile_->GetPosition();
  std::int64_t written = -1;
  try {
    packFile_->SetPosition(0);
    written = packFile_->Write(headerAndNames_.data(), dataOffset_);
  } catch (const EStreamError&) {
    written = -1;
  }
  try {
    packFile_->SetPosition(position);
  } catch (const EStreamError&) {
  }
  if (written != dataOffset_) throw EDiskPackError("Unable to write to disk pack file.");
}

void TDiskPack::SelectDisk(int index) {
  if (index < 0 || index >= GetDiskCount())
    throw EDiskPackError("The disk pack has no disk " + std::to_string(index) + "; it holds " +
                         std::to_string(GetDiskCount()) + " disks.");
  const std::int64_t base = dataOffset_ + index * diskSize_;
  packFile_->SetPosition(base);
  diskBase_ = base;
  currentDisk_ = index;
}

std::int64_t TDiskPack::Read(void* buffer, std::int64_t count) {
  const std::int64_t left = diskSize_ - (packFile_->GetPosition() - diskBase_);
  count = std::min(count, left);
  if (count <= 0) return 0;
  return packFile_->Read(buffer, count);
}

std::int64_t TDiskPack::Write(const void* buffer, std::int64_t count) {
  const std::int64_t left = diskSize_ - (packFile_->GetPosition() - diskBase_);
  count = std::min(count, left);
  if (count <= 0) return 0;
  return packFile_->Write(buffer, count);
}

std::int64_t TDiskPack::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t target = offset;
  if (origin == TSeekOrigin::Current) target = (packFile_->GetPosition() - diskBase_) + offset;
  if (origin == TSeekOrigin::End) target = diskSize_ + offset;
  target = std::clamp<std::int64_t>(target, 0, diskSize_);
  return packFile_->Seek(diskBase_ + target, TSeekOrigin::Beginning) - diskBase_;
}

void TDiskPack::CreatePackFile(const std::filesystem::path& fileName, int diskCount,
                               const std::function<void(int diskNumber)>& onProgress) {
  diskCount = std::clamp(diskCount, 1, MAX_DISKS);
  std::vector<std::uint8_t> header(HEADER_SIZE + MAX_DISKS * NAME_SIZE, 0);
  const std::int64_t dataOffset = DataOffsetFor(diskCount);
  PutWord(header.data(), WORD_DATA_OFFSET, static_cast<std::uint16_t>(dataOffset));
  std::memcpy(header.data() + SIGNATURE_OFFSET, SIGNATURE, 16);
  PutWord(header.data(), 18, 1);
  PutWord(header.data(), 20, 32);
  PutWord(header.data(), WORD_BLOCK_SIZE, 2048);
  PutWord(header.data(), WORD_BLOCK_COUNT, 512);
  PutWord(header.data(), 26, 256);
  PutWord(header.data(), 28, 256);
  PutWord(header.data(), WORD_DISK_COUNT, static_cast<std::uint16_t>(diskCount));
  for (int i = 0; i < diskCount; ++i) {
    const std::string name = "DISK " + std::to_string(i + 1);
    std::memcpy(header.data() + HEADER_SIZE + NAME_SIZE * i, name.data(), name.size());
  }
  try {
    // Written beside the target and put in place when complete: an existing
    // file is replaced whole (no old disks left behind) and a failure part way
    // leaves it untouched.
    TReplacingFile target(fileName);
    TFileStream& stream = target.Stream();
    if (stream.Write(header.data(), dataOffset) != dataOffset) throw EDiskPackError("Unable to write to disk pack file.");
    const std::vector<std::uint8_t> blankDisk(static_cast<size_t>(DISK_SIZE), 0xE5);
    for (int disk = 1; disk <= diskCount; ++disk) {
      if (stream.Write(blankDisk.data(), DISK_SIZE) != DISK_SIZE) throw EDiskPackError("Unable to write to disk pack file.");
      if (onProgress) onProgress(disk);
    }
    target.Commit();
  } catch (const EStreamError&) {
    throw EDiskPackError("Unable to write to disk pack file.");
  }
}
