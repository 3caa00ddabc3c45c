#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "DiskPack.h"
#include "DiskTestSupport.h"

namespace {

using disk_test::TTempDir;

void PutWord(std::vector<unsigned char>& bytes, size_t offset, unsigned value) {
  bytes[offset] = static_cast<unsigned char>(value & 0xFF);
  bytes[offset + 1] = static_cast<unsigned char>(value >> 8);
}

std::string OpenError(const std::filesystem::path& file) {
  try {
    TDiskPack pack(file);
  } catch (const EDiskPackError& error) {
    return error.what();
  }
  return "";
}

TEST(DiskPack, CreatedLayoutMatchesTheFormat) {
  TTempDir dir;
  std::vector<int> progress;
  TDiskPack::CreatePackFile(dir / "four.cdp", 4, [&](int disk) { progress.push_back(disk); });
  EXPECT_EQ(progress, (std::vector<int>{1, 2, 3, 4}));
  const auto bytes = disk_test::ReadBytes(dir / "four.cdp");
  ASSERT_EQ(bytes.size(), 1024u + 4 * 1048576);
  EXPECT_EQ(bytes[0] | bytes[1] << 8, 1024);
  EXPECT_EQ(std::string(bytes.begin() + 2, bytes.begin() + 18), "CPM Disk Pack 1a");
  const unsigned words[] = {1, 32, 2048, 512, 256, 256, 4};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(bytes[18 + 2 * i] | bytes[19 + 2 * i] << 8, words[i]) << "word " << 18 + 2 * i;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[512 + 96])), "DISK 4");
  EXPECT_TRUE(std::all_of(bytes.begin() + 512 + 128, bytes.begin() + 1024, [](unsigned char b) { return b == 0; }))
      << "384 zero bytes pad the names to the data offset";
  EXPECT_EQ(bytes[1024], 0xE5);

  TDiskPack::CreatePackFile(dir / "sixteen.cdp", 16);
  TDiskPack sixteen(dir / "sixteen.cdp");
  EXPECT_EQ(sixteen.DataOffset(), 1024);
  TDiskPack::CreatePackFile(dir / "none.cdp", 0);
  EXPECT_EQ(TDiskPack(dir / "none.cdp").GetDiskCount(), 1);
  EXPECT_EQ(TDiskPack::DataOffsetFor(128), 4608);
  EXPECT_EQ(TDiskPack::DataOffsetFor(32), 1536);
}

TEST(DiskPack, CreatingOverALongerFileLeavesNoOldDisksBehind) {
  TTempDir dir;
  TDiskPack::CreatePackFile(dir / "p.cdp", 5);
  TDiskPack::CreatePackFile(dir / "p.cdp", 2);
  EXPECT_EQ(std::filesystem::file_size(dir / "p.cdp"), 1024u + 2 * 1048576);
  EXPECT_EQ(TDiskPack(dir / "p.cdp").GetDiskCount(), 2);
}

TEST(DiskPack, FailedCreationLeavesTheOldPackAsItWas) {
  TTempDir dir;
  TDiskPack::CreatePackFile(dir / "p.cdp", 1);
  const auto old = disk_test::ReadBytes(dir / "p.cdp");
  EXPECT_EXIT(
      {
        disk_test::LimitFileSize(3 * 1048576);
        try {
          TDiskPack::CreatePackFile(dir / "p.cdp", 8);
        } catch (const EDiskPackError& error) {
          std::exit(std::string(error.what()) == "Unable to write to disk pack file." ? 0 : 2);
        }
        std::exit(1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(disk_test::ReadBytes(dir / "p.cdp"), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(DiskPack, StreamIsOneDiskLong) {
  TTempDir dir;
  TDiskPack::CreatePackFile(dir / "p.cdp", 2);
  TDiskPack pack(dir / "p.cdp");
  EXPECT_EQ(pack.Seek(0, TSeekOrigin::End), 1048576);
  EXPECT_EQ(pack.Seek(-128, TSeekOrigin::End), 1048576 - 128) << "from the end counts back";
  EXPECT_EQ(pack.Seek(128, TSeekOrigin::End), 1048576) << "never past the disk";
  EXPECT_EQ(pack.Seek(-2000000, TSeekOrigin::End), 0);
  EXPECT_EQ(pack.Seek(-5, TSeekOrigin::Beginning), 0);
  EXPECT_EQ(pack.Seek(2000000, TSeekOrigin::Beginning), 1048576);
  EXPECT_EQ(pack.GetSize(), 1048576);
  pack.SelectDisk(1);
  pack.Seek(1046528, TSeekOrigin::Beginning);
  std::vector<unsigned char> buffer(4096, 0x55);
  EXPECT_EQ(pack.Read(buffer.data(), 4096), 2048);
  pack.Seek(-10, TSeekOrigin::End);
  buffer.assign(4096, 0x55);
  EXPECT_EQ(pack.Write(buffer.data(), 4096), 10) << "writes stop at the end of the selected disk";
  const auto bytes = disk_test::ReadBytes(dir / "p.cdp");
  EXPECT_EQ(bytes[1024 + 2 * 1048576 - 10], 0x55) << "the last ten bytes of disk 1";
  EXPECT_EQ(bytes[1024 + 2 * 1048576 - 11], 0xE5);
  EXPECT_EQ(std::filesystem::file_size(dir / "p.cdp"), 1024u + 2 * 1048576);
}

TEST(DiskPack, NamesAndFlagsAreStoredInTheHeader) {
  TTempDir dir;
  TDiskPack::CreatePackFile(dir / "p.cdp", 4);
  {
    TDiskPack pack(dir / "p.cdp");
    pack.SelectDisk(2);
    pack.Seek(100, TSeekOrigin::Beginning);
    pack.SetDiskName(1, std::string(40, 'N'));
    pack.SetDiskFlags(3, DISK_PACK_BOOTABLE | DISK_PACK_PROTECTED);
    pack.SetDiskName(9, "ignored");
    EXPECT_EQ(pack.GetPosition(), 100) << "the header write keeps the stream's position";
    EXPECT_EQ(pack.GetDiskName(9), "");
    EXPECT_EQ(pack.GetDiskFlags(-1), 0);
  }
  TDiskPack pack(dir / "p.cdp");
  EXPECT_EQ(pack.GetDiskName(1), std::string(32, 'N'));
  EXPECT_EQ(pack.GetDiskName(2), "DISK 3");
  EXPECT_EQ(pack.GetDiskFlags(3), 3);
  EXPECT_THROW(pack.SelectDisk(4), EDiskPackError);
  EXPECT_EQ(pack.CurrentDisk(), 0) << "a refused selection keeps the current disk";
}

TEST(DiskPack, CorruptHeadersAreRefusedWhenOpened) {
  TTempDir dir;
  TDiskPack::CreatePackFile(dir / "good.cdp", 4);
  const auto good = disk_test::ReadBytes(dir / "good.cdp");
  auto variant = [&](const std::string& name, const std::function<void(std::vector<unsigned char>&)>& change) {
    auto bytes = good;
    change(bytes);
    disk_test::WriteBytes(dir / name, bytes);
    return OpenError(dir / name);
  };
  EXPECT_EQ(variant("case.cdp", [](auto& b) { b[2] = 'c'; }), "The specified file is not a disk pack file.");
  EXPECT_EQ(variant("blank.cdp", [](auto& b) { b[17] = ' '; }), "The specified file is not a disk pack file.")
      << "trailing blanks inside the 16 bytes do not match";
  EXPECT_NE(variant("zero.cdp", [](auto& b) { PutWord(b, 30, 0); }).find("corrupt"), std::string::npos);
  EXPECT_NE(variant("many.cdp", [](auto& b) { PutWord(b, 30, 129); }).find("corrupt"), std::string::npos);
  EXPECT_NE(variant("offset.cdp", [](auto& b) { PutWord(b, 0, 100); }).find("data offset"), std::string::npos);
  EXPECT_NE(variant("geometry.cdp", [](auto& b) { PutWord(b, 22, 4096); }).find("corrupt"), std::string::npos);
  EXPECT_NE(variant("count.cdp", [](auto& b) { PutWord(b, 30, 17); }).find("data offset"), std::string::npos)
      << "17 disks need a larger offset than this file has";
  EXPECT_NE(variant("five.cdp", [](auto& b) { PutWord(b, 30, 5); }).find("too short"), std::string::npos);
  EXPECT_NE(variant("short.cdp", [](auto& b) { b.pop_back(); }).find("too short"), std::string::npos);
  EXPECT_EQ(variant("tiny.cdp", [](auto& b) { b.erase(b.begin() + 300, b.end()); }), "Unable to read header from disk pack file.");
  EXPECT_EQ(variant("names.cdp", [](auto& b) { b.erase(b.begin() + 520, b.end()); }), "Unable to read disk names from disk pack file.");
  EXPECT_FALSE(OpenError(dir / "missing.cdp").empty());
  EXPECT_EQ(disk_test::ReadBytes(dir / "short.cdp").size(), good.size() - 1) << "a refused pack is not written";
}

TEST(DiskPack, FailedHeaderWriteIsReportedAndChangesNothing) {
  TTempDir dir;
  TDiskPack::CreatePackFile(dir / "p.cdp", 2);
  // A medium that accepts reads but refuses every write.
  class TReadOnlyMedium : public TMemoryStream {
   public:
    using TMemoryStream::TMemoryStream;
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
  };
  TDiskPack pack(std::make_unique<TReadOnlyMedium>(disk_test::ReadBytes(dir / "p.cdp")));
  EXPECT_THROW(pack.SetDiskName(0, "NEW NAME"), EDiskPackError);
  EXPECT_THROW(pack.SetDiskFlags(1, DISK_PACK_PROTECTED), EDiskPackError);
  EXPECT_EQ(pack.GetDiskName(0), "DISK 1") << "the name in memory stays as on the file";
  EXPECT_EQ(pack.GetDiskFlags(1), 0);
}

}  // namespace
