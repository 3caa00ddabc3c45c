// A window of consecutive fixed-size records of a seekable stream kept in memory.
// Reads are served from the window and reload it on a miss; writes go straight
// through to the stream, so the stream always holds the current data.
#pragma once

#include <cstdint>
#include <vector>

#include "DiskStream.h"

class TStreamCache {
 public:
  // WriteRecord results.
  static constexpr int WRITE_OK = 0;
  static constexpr int WRITE_FAILED = -1;         // short write or the stream raised
  static constexpr int WRITE_SEEK_FAILED = -3;    // the seek landed elsewhere
  static constexpr int WRITE_BAD_INDEX = -4;      // index outside the records; nothing written

  // The stream is not owned and must outlive the cache.
  TStreamCache(TStream& stream, std::int32_t baseOffset, std::int32_t recordCount, std::int32_t recordSize,
               std::int32_t cacheCount);

  // Address of the cached copy of record index, or nullptr when it cannot be read.
  // Valid until the next call that reloads the window; copy the record out at once.
  const std::uint8_t* ReadRecord(std::int32_t index);
  // Writes RecordSize bytes from data as record index; one of the WRITE_ results.
  int WriteRecord(std::int32_t index, const void* data);

  std::int32_t RecordCount() const { return recordCount_; }
  std::int32_t RecordSize() const { return recordSize_; }
  std::int32_t FirstCached() const { return firstCached_; }
  std::int32_t CachedCount() const { return cachedCount_; }
  bool IsRecordCached(std::int32_t index) const;
  // Empties the window, so the next read goes to the stream.
  void Invalidate();

 private:
  std::uint8_t* GetCachedRecord(std::int32_t index);
  bool LoadWindow(std::int32_t index);

  TStream& stream_;
  std::int32_t baseOffset_;
  std::int32_t recordCount_;
  std::int32_t recordSize_;
  std::int32_t cacheCount_;
  std::int32_t firstCached_ = -1;
  std::int32_t cachedCount_ = 0;
  std::vector<std::uint8_t> buffer_;
};
