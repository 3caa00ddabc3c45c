#include "DiskImageStream.h"

#include <algorithm>
#include <cstring>
#include <vector>

TDiskImageStream::TDiskImageStream(std::unique_ptr<TFileStream> file, std::int64_t diskSize, std::int64_t growUnit)
    : file_(std::move(file)), diskSize_(diskSize), growUnit_(std::max<std::int64_t>(1, growUnit)) {
  knownSize_ = file_->GetSize();
}

std::int64_t TDiskImageStream::Read(void* buffer, std::int64_t count) {
  count = std::min(count, diskSize_ - position_);
  if (count <= 0) return 0;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  if (file_->Seek(position_, TSeekOrigin::Beginning) != position_) return 0;
  const std::int64_t got = std::max<std::int64_t>(0, file_->Read(bytes, count));
  // A short read is the end of the file only when the file really ends there;
  // anywhere else the medium failed, and that must not read as formatted.
  if (got < count && position_ + got < file_->GetSize()) {
    position_ += got;
    return got;
  }
  std::memset(bytes + got, FORMATTED_BYTE, static_cast<size_t>(count - got));
  position_ += count;
  return count;
}

bool TDiskImageStream::FillGap(std::int64_t from, std::int64_t to) {
  const std::vector<std::uint8_t> blank(static_cast<size_t>(std::min<std::int64_t>(to - from, 64 * 1024)),
                                        FORMATTED_BYTE);
  if (file_->Seek(from, TSeekOrigin::Beginning) != from) return false;
  for (std::int64_t at = from; at < to;) {
    const std::int64_t chunk = std::min<std::int64_t>(to - at, static_cast<std::int64_t>(blank.size()));
    if (file_->Write(blank.data(), chunk) != chunk) return false;
    at += chunk;
  }
  return true;
}

std::int64_t TDiskImageStream::Write(const void* buffer, std::int64_t count) {
  count = std::min(count, diskSize_ - position_);
  if (count <= 0 || IsReadOnly()) return 0;
  // Only a write that may reach past the end asks the file its length: the
  // length seen last can only be too short (another drive on the file may
  // have grown it), and then it is asked again.
  const std::int64_t fileSize = position_ + count > knownSize_ ? file_->GetSize() : knownSize_;
  knownSize_ = fileSize;
  if (position_ > fileSize && !FillGap(fileSize, position_)) return 0;
  if (file_->Seek(position_, TSeekOrigin::Beginning) != position_) return 0;
  const std::int64_t put = std::max<std::int64_t>(0, file_->Write(buffer, count));
  const std::int64_t end = position_ + put;
  position_ = end;
  if (put == count && end > fileSize) {
    const std::int64_t unitEnd = std::min(diskSize_, (end + growUnit_ - 1) / growUnit_ * growUnit_);
    if (unitEnd > end && !FillGap(end, unitEnd)) return 0;
    knownSize_ = unitEnd;
  }
  return put;
}

std::int64_t TDiskImageStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t target = offset;
  if (origin == TSeekOrigin::Current) target = position_ + offset;
  if (origin == TSeekOrigin::End) target = diskSize_ + offset;
  position_ = std::clamp<std::int64_t>(target, 0, diskSize_);
  return position_;
}
