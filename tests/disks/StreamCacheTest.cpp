#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "DiskStream.h"
#include "StreamCache.h"

namespace {

// A memory stream that counts reads and can be told to fail writes part way.
class TTestStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  int Reads = 0;
  std::int64_t WriteLimit = -1;  // bytes accepted by the next write, -1 all
  bool ThrowOnSeek = false;

  std::int64_t Read(void* buffer, std::int64_t count) override {
    ++Reads;
    return TMemoryStream::Read(buffer, count);
  }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (WriteLimit >= 0) count = std::min(count, WriteLimit);
    return TMemoryStream::Write(buffer, count);
  }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    if (ThrowOnSeek) throw std::runtime_error("medium gone");
    return TMemoryStream::Seek(offset, origin);
  }
};

std::vector<std::uint8_t> Numbered(int records, int recordSize) {
  std::vector<std::uint8_t> bytes(static_cast<size_t>(records * recordSize));
  for (int r = 0; r < records; ++r)
    for (int i = 0; i < recordSize; ++i) bytes[static_cast<size_t>(r * recordSize + i)] = static_cast<std::uint8_t>(r + i);
  return bytes;
}

TEST(StreamCache, WindowMovesWithLeadOfQuarterForwardAndThreeQuartersBackward) {
  TTestStream stream(Numbered(8192, 4));
  TStreamCache cache(stream, 0, 8192, 4, 64);
  ASSERT_NE(cache.ReadRecord(0), nullptr);
  EXPECT_EQ(cache.FirstCached(), 0);
  EXPECT_EQ(cache.CachedCount(), 64);
  ASSERT_NE(cache.ReadRecord(100), nullptr);
  EXPECT_EQ(cache.FirstCached(), 84);
  const std::uint8_t* record = cache.ReadRecord(50);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(cache.FirstCached(), 2);
  EXPECT_EQ(record[0], 50);
  EXPECT_EQ(record[3], 53);
  EXPECT_EQ(stream.Reads, 3);
  cache.ReadRecord(65);
  EXPECT_EQ(stream.Reads, 3) << "a cached record must not reload the window";
}

TEST(StreamCache, WindowNearTheEndIsPulledBack) {
  TTestStream stream(Numbered(8192, 4));
  TStreamCache cache(stream, 0, 8192, 4, 64);
  ASSERT_NE(cache.ReadRecord(8190), nullptr);
  EXPECT_EQ(cache.FirstCached(), 8128);
  EXPECT_EQ(cache.CachedCount(), 64);
}

TEST(StreamCache, SmallStreamLoadsAllRecordsAndBaseOffsetCounts) {
  std::vector<std::uint8_t> bytes(10, 0xAA);
  auto records = Numbered(5, 8);
  bytes.insert(bytes.end(), records.begin(), records.end());
  TTestStream stream(bytes);
  TStreamCache cache(stream, 10, 5, 8, 64);
  const std::uint8_t* record = cache.ReadRecord(4);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(cache.FirstCached(), 0);
  EXPECT_EQ(cache.CachedCount(), 5);
  EXPECT_EQ(record[0], 4);
}

TEST(StreamCache, ShortStreamFailsTheWholeWindowAndOutOfRangeIsRefused) {
  TTestStream stream(Numbered(100, 4));  // claims 128 records below
  TStreamCache cache(stream, 0, 128, 4, 64);
  EXPECT_EQ(cache.ReadRecord(90), nullptr);
  EXPECT_EQ(cache.CachedCount(), 0);
  EXPECT_EQ(cache.ReadRecord(-1), nullptr);
  EXPECT_EQ(cache.ReadRecord(128), nullptr);
  std::uint8_t data[4] = {9, 9, 9, 9};
  EXPECT_EQ(cache.WriteRecord(-1, data), TStreamCache::WRITE_BAD_INDEX);
  EXPECT_EQ(cache.WriteRecord(128, data), TStreamCache::WRITE_BAD_INDEX);
  EXPECT_EQ(stream.Data().size(), 400u) << "a refused write must not touch the stream";
}

TEST(StreamCache, WritesGoThroughAndRefreshOnlyTheCachedCopy) {
  TTestStream stream(Numbered(256, 4));
  TStreamCache cache(stream, 0, 256, 4, 64);
  cache.ReadRecord(0);
  const std::uint8_t inWindow[4] = {1, 2, 3, 4};
  const std::uint8_t outside[4] = {5, 6, 7, 8};
  EXPECT_EQ(cache.WriteRecord(10, inWindow), TStreamCache::WRITE_OK);
  EXPECT_EQ(cache.WriteRecord(200, outside), TStreamCache::WRITE_OK);
  EXPECT_EQ(cache.FirstCached(), 0) << "a write never moves the window";
  EXPECT_EQ(std::memcmp(cache.ReadRecord(10), inWindow, 4), 0);
  EXPECT_EQ(std::memcmp(stream.Data().data() + 40, inWindow, 4), 0);
  EXPECT_EQ(std::memcmp(cache.ReadRecord(200), outside, 4), 0);
}

TEST(StreamCache, FailedWriteLeavesNoStaleDataInTheWindow) {
  TTestStream stream(Numbered(256, 4));
  TStreamCache cache(stream, 0, 256, 4, 64);
  cache.ReadRecord(0);
  const std::uint8_t data[4] = {0xF1, 0xF2, 0xF3, 0xF4};
  stream.WriteLimit = 2;  // half the record reaches the stream
  EXPECT_EQ(cache.WriteRecord(5, data), TStreamCache::WRITE_FAILED);
  stream.WriteLimit = -1;
  const std::uint8_t* record = cache.ReadRecord(5);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(std::memcmp(record, stream.Data().data() + 20, 4), 0) << "the cache must show what the stream holds";
  EXPECT_EQ(record[0], 0xF1);
  EXPECT_EQ(record[2], 5 + 2) << "the unwritten half keeps the old bytes";
  stream.ThrowOnSeek = true;
  EXPECT_EQ(cache.WriteRecord(6, data), TStreamCache::WRITE_FAILED);
  EXPECT_EQ(cache.ReadRecord(7), nullptr) << "an exception of the stream is caught";
}

}  // namespace
