#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DiskDrive.h"
#include "DiskTestSupport.h"
#include "ZilogHex32Writer.h"

namespace {

using disk_test::TTempDir;

std::vector<std::string> Lines(const std::filesystem::path& file) {
  const auto bytes = disk_test::ReadBytes(file);
  const std::string text(bytes.begin(), bytes.end());
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Decodes the file back into (address, byte) pairs, checking every checksum.
std::vector<std::pair<std::uint32_t, std::uint8_t>> Decode(const std::vector<std::string>& lines) {
  std::vector<std::pair<std::uint32_t, std::uint8_t>> bytes;
  std::uint32_t upper = 0;
  for (const auto& line : lines) {
    EXPECT_EQ(line[0], ':');
    std::vector<std::uint8_t> record;
    for (size_t i = 1; i + 1 < line.size(); i += 2) record.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
    std::uint8_t sum = 0;
    for (auto b : record) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ(sum, 0) << line;
    if (record[3] == 4) upper = static_cast<std::uint32_t>(record[4] << 24 | record[5] << 16);
    if (record[3] != 0) continue;
    const std::uint32_t address = upper | static_cast<std::uint32_t>(record[1] << 8 | record[2]);
    for (int i = 0; i < record[0]; ++i) bytes.emplace_back(address + static_cast<std::uint32_t>(i), record[4 + static_cast<size_t>(i)]);
  }
  return bytes;
}

TEST(ZilogHex32Writer, SmallWriteAtZeroHasNoExtendedRecord) {
  TTempDir dir;
  {
    TZilogHex32WriterStream hex(dir / "a.hex", 0, 16);
    const auto data = disk_test::Pattern(20);
    EXPECT_EQ(hex.Write(data.data(), 20), 20);
    EXPECT_EQ(hex.GetPosition(), 20);
    std::uint8_t sink[4];
    EXPECT_EQ(hex.Read(sink, 4), 0);
    hex.Close();
  }
  const auto lines = Lines(dir / "a.hex");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(0, 9), ":10000000");
  EXPECT_EQ(lines[1].substr(0, 9), ":04001000");
  EXPECT_EQ(lines[2], ":00000001FF");
}

TEST(ZilogHex32Writer, ChecksumOfTheDocumentedExample) {
  TTempDir dir;
  TZilogHex32WriterStream hex(dir / "a.hex", 0x0100, 16);
  const std::uint8_t data[] = {1, 2, 3};
  hex.Write(data, 3);
  hex.Close();
  EXPECT_EQ(Lines(dir / "a.hex"), (std::vector<std::string>{":03010000010203F6", ":00000001FF"}));
}

TEST(ZilogHex32Writer, RecordsSplitAtSegmentBoundaries) {
  TTempDir dir;
  TZilogHex32WriterStream hex(dir / "a.hex", 0xFFF8, 16);
  const auto data = disk_test::Pattern(16);
  hex.Write(data.data(), 16);
  hex.Close();
  const auto lines = Lines(dir / "a.hex");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(0, 9), ":08FFF800");
  EXPECT_EQ(lines[1], ":020000040001F9");
  EXPECT_EQ(lines[2].substr(0, 9), ":08000000");
  const auto decoded = Decode(lines);
  ASSERT_EQ(decoded.size(), 16u);
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(decoded[i].first, 0xFFF8 + i);
    EXPECT_EQ(decoded[i].second, data[i]);
  }
}

TEST(ZilogHex32Writer, WholeDiskFromOneMebibyte) {
  TTempDir dir;
  TDiskDrive::FormatDriveFile(dir / "d.cpmdsk");
  auto disk = disk_test::ReadBytes(dir / "d.cpmdsk");
  disk[0] = 0x12;
  disk[0x10000 + 5] = 0x34;
  disk.back() = 0x56;
  disk_test::WriteBytes(dir / "d.cpmdsk", disk);
  {
    TFileStream source(dir / "d.cpmdsk", TFileStream::TMode::OpenRead);
    TZilogHex32WriterStream hex(dir / "d.hex", 0x100000, 64);
    // Odd-sized pieces, so records are assembled across writes.
    std::vector<std::uint8_t> piece(1000);
    std::int64_t got;
    while ((got = source.Read(piece.data(), static_cast<std::int64_t>(piece.size()))) > 0) hex.Write(piece.data(), got);
    hex.Close();
  }
  const auto lines = Lines(dir / "d.hex");
  ASSERT_EQ(lines.size(), 16u * 1025 + 1);
  EXPECT_EQ(lines[0], ":020000040010EA");
  EXPECT_EQ(lines[1].substr(0, 9), ":40000000");
  EXPECT_EQ(lines[1024].substr(0, 9), ":40FFC000");
  EXPECT_EQ(lines[1025], ":020000040011E9");
  EXPECT_EQ(lines[15 * 1025], ":02000004001FDB");
  EXPECT_EQ(lines.back(), ":00000001FF");
  for (const auto& line : lines) EXPECT_NE(line, ":020000040020DA") << "no record for a segment without data";
  const auto decoded = Decode(lines);
  ASSERT_EQ(decoded.size(), disk.size());
  for (size_t i = 0; i < disk.size(); i += 4099) {
    ASSERT_EQ(decoded[i].first, 0x100000 + i);
    ASSERT_EQ(decoded[i].second, disk[i]);
  }
  EXPECT_EQ(decoded[0x10005].second, 0x34);
  EXPECT_EQ(decoded.back().second, 0x56);
}

TEST(ZilogHex32Writer, BadRecordSizesAndWriteErrorsAreReported) {
  TTempDir dir;
  EXPECT_THROW(TZilogHex32WriterStream(dir / "a.hex", 0, 0), EHexWriterError);
  EXPECT_THROW(TZilogHex32WriterStream(dir / "a.hex", 0, 256), EHexWriterError);
  EXPECT_FALSE(std::filesystem::exists(dir / "a.hex")) << "a refused record size creates no file";
  EXPECT_NO_THROW(TZilogHex32WriterStream(dir / "b.hex", 0, 255));
  EXPECT_THROW(TZilogHex32WriterStream(dir / "missing" / "a.hex", 0, 16), EHexWriterError);

  TZilogHex32WriterStream top(dir / "c.hex", 0xFFFFFFF0u, 16);
  std::vector<std::uint8_t> data(32);
  EXPECT_EQ(top.Write(data.data(), 16), 16);
  EXPECT_THROW(top.Write(data.data(), 1), EHexWriterError) << "nothing lies past 4 GiB";
}

TEST(ZilogHex32Writer, AnExportCutShortLeavesTheOldFileAsItWas) {
  TTempDir dir;
  disk_test::WriteBytes(dir / "disk.hex", {'o', 'l', 'd'});
  // The disk fails half way: the writer goes out of scope unclosed while the
  // error unwinds, and must not put a truncated hex file in place.
  try {
    TZilogHex32WriterStream hex(dir / "disk.hex", 0x100000, 64);
    const auto data = disk_test::Pattern(512 * 1024);
    hex.Write(data.data(), static_cast<std::int64_t>(data.size()));
    throw EDiskError("Read from disk failed!", DISK_ERROR_READ);
  } catch (const EDiskError&) {
  }
  EXPECT_EQ(disk_test::ReadBytes(dir / "disk.hex"), (std::vector<unsigned char>{'o', 'l', 'd'}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temporary file is left";
}

TEST(ZilogHex32Writer, FileSystemWriteErrorsReachTheCaller) {
  TTempDir dir;
  // In a child process whose files may not grow past 4 KiB, the writer must
  // report the failure from Write or Close, not swallow it.
  EXPECT_EXIT(
      {
        disk_test::LimitFileSize(4096);
        int reported = 0;
        try {
          TZilogHex32WriterStream hex(dir / "big.hex", 0, 64);
          const auto data = disk_test::Pattern(1 << 20);
          hex.Write(data.data(), static_cast<std::int64_t>(data.size()));
          hex.Close();
        } catch (const EHexWriterError&) {
          reported = 1;
        }
        std::exit(reported ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 0) << "a failed export leaves no file";
}

}  // namespace
