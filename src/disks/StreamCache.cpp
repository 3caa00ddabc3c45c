#include "StreamCache.h"

#include <algorithm>
#include <cstring>
#include <exception>

TStreamCache::TStreamCache(TStream& stream, std::int32_t baseOffset, std::int32_t recordCount,
                           std::int32_t recordSize, std::int32_t cacheCount)
    : stream_(stream),
      baseOffset_(baseOffset),
      recordCount_(std::max(0, recordCount)),
      recordSize_(std::max(0, recordSize)),
      cacheCount_(std::max(0, cacheCount)),
      buffer_(static_cast<size_t>(cacheCount_ + 1) * static_cast<size_t>(recordSize_)) {}

bool TStreamCache::IsRecordCached(std::int32_t index) const {
  return firstCached_ >= 0 && index >= firstCached_ && index < firstCached_ + cachedCount_;
}

void TStreamCache::Invalidate() {
  firstCached_ = -1;
  cachedCount_ = 0;
}

std::uint8_t* TStreamCache::GetCachedRecord(std::int32_t index) {
  if (!IsRecordCached(index) || buffer_.empty()) return nullptr;
  return buffer_.data() + static_cast<size_t>(index - firstCached_) * static_cast<size_t>(recordSize_);
}

const std::uint8_t* TStreamCache::ReadRecord(std::int32_t index) {
  if (!IsRecordCached(index) && !LoadWindow(index)) return nullptr;
  return GetCachedRecord(index);
}

bool TStreamCache::LoadWindow(std::int32_t index) {
  if (index < 0 || index >= recordCount_) return false;
  const std::int32_t oldFirst = firstCached_;
  Invalidate();
  // Keep some records before the wanted one: a quarter of the window when the
  // reader moves forward, three quarters when it moves backward.
  const std::int32_t lead = oldFirst > index ? (3 * cacheCount_) / 4 : cacheCount_ / 4;
  std::int32_t start = std::max(0, index - lead);
  if (buffer_.empty() || cacheCount_ < 1 || recordSize_ < 1) return false;
  std::int32_t last = start + cacheCount_ - 1;
  if (last >= recordCount_) {
    start = std::max(0, recordCount_ - cacheCount_);
    last = recordCount_ - 1;
  }
  const std::int64_t bytes = static_cast<std::int64_t>(last - start + 1) * recordSize_;
  if (bytes < 1) return false;
  try {
    const std::int64_t position = static_cast<std::int64_t>(baseOffset_) + static_cast<std::int64_t>(start) * recordSize_;
    if (stream_.Seek(position, TSeekOrigin::Beginning) != position) return false;
    if (stream_.Read(buffer_.data(), bytes) != bytes) return false;
  } catch (const std::exception&) {
    return false;
  }
  firstCached_ = start;
  cachedCount_ = static_cast<std::int32_t>(bytes / recordSize_);
  return true;
}

int TStreamCache::WriteRecord(std::int32_t index, const void* data) {
  if (index < 0 || index >= recordCount_) return WRITE_BAD_INDEX;
  try {
    const std::int64_t position = static_cast<std::int64_t>(baseOffset_) + static_cast<std::int64_t>(index) * recordSize_;
    if (stream_.Seek(position, TSeekOrigin::Beginning) != position) return WRITE_SEEK_FAILED;
    if (stream_.Write(data, recordSize_) != recordSize_) {
      // Part of the record may have reached the stream: the cached copy can no
      // longer be trusted, so drop the window and let the next read reload it.
      Invalidate();
      return WRITE_FAILED;
    }
  } catch (const std::exception&) {
    Invalidate();
    return WRITE_FAILED;
  }
  if (std::uint8_t* cached = GetCachedRecord(index)) std::memcpy(cached, data, static_cast<size_t>(recordSize_));
  return WRITE_OK;
}
