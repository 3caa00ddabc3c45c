#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "DiskDrive.h"
#include "DiskPack.h"
#include "DiskTestSupport.h"

namespace {

using disk_test::TTempDir;

std::int32_t CodeOf(const std::function<void()>& action, std::string* message = nullptr) {
  try {
    action();
  } catch (const EDiskError& error) {
    if (message) *message = error.what();
    return error.Code();
  }
  return 0;
}

TEST(DiskDrive, FormatCreatesExactlyOneMebibyteOfE5OverAnOldFile) {
  TTempDir dir;
  disk_test::WriteBytes(dir / "a.cpmdsk", std::vector<unsigned char>(3000000, 0x11));
  TDiskDrive::FormatDriveFile(dir / "a.cpmdsk");
  const auto bytes = disk_test::ReadBytes(dir / "a.cpmdsk");
  ASSERT_EQ(bytes.size(), 1048576u);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xE5), 1048576);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temporary file stays behind";
}

TEST(DiskDrive, FailedFormatLeavesTheOldFileAsItWas) {
  TTempDir dir;
  const auto old = disk_test::Pattern(5000);
  disk_test::WriteBytes(dir / "a.cpmdsk", old);
  EXPECT_EXIT(
      {
        disk_test::LimitFileSize(100000);
        try {
          TDiskDrive::FormatDriveFile(dir / "a.cpmdsk");
        } catch (const EEmulatorError& error) {
          std::exit(std::string(error.what()) ==
                            "Unable to format the virtual drive, the drive could not be written to!"
                        ? 0
                        : 2);
        }
        std::exit(1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(disk_test::ReadBytes(dir / "a.cpmdsk"), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temporary file stays behind";
}

TEST(DiskDrive, SectorsAndBlocksLandAtTheirRecords) {
  TTempDir dir;
  TDiskDrive::FormatDriveFile(dir / "a.cpmdsk");
  const auto sector = disk_test::Pattern(128, 3);
  const auto block = disk_test::Pattern(2048, 4);
  {
    TDiskDrive drive(dir / "a.cpmdsk");
    drive.Track = 255;
    drive.Sector = 31;
    drive.WriteSector(sector.data());
    drive.WriteBlock(10, 21, block.data());  // sector 21: the half-track of sectors 16-31
    std::vector<unsigned char> back(2048);
    drive.ReadBlock(10, 16, back.data());
    EXPECT_EQ(back, block);
    drive.Track = 10;
    drive.Sector = 17;
    drive.ReadSector(back.data());
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 128, block.begin() + 128));
  }
  const auto image = disk_test::ReadBytes(dir / "a.cpmdsk");
  EXPECT_TRUE(std::equal(sector.begin(), sector.end(), image.begin() + 8191 * 128)) << "track 255 sector 31 is record 8191";
  EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin() + (10 * 32 + 16) * 128));
  EXPECT_EQ(image[(10 * 32 + 15) * 128], 0xE5);
}

TEST(DiskDrive, TwoDrivesOnOneImageSeeEachOtherAfterDiscardCache) {
  TTempDir dir;
  TDiskDrive::FormatDriveFile(dir / "a.cpmdsk");
  TDiskDrive reader(dir / "a.cpmdsk");
  TDiskDrive writer(dir / "a.cpmdsk");
  std::vector<unsigned char> block(2048);
  reader.ReadBlock(3, 0, block.data());
  writer.WriteBlock(3, 0, std::vector<unsigned char>(2048, 0x21).data());
  reader.ReadBlock(3, 0, block.data());
  EXPECT_EQ(block[0], 0xE5) << "served from the reader's own window";
  reader.DiscardCache();
  reader.ReadBlock(3, 0, block.data());
  EXPECT_EQ(block[0], 0x21);
}

TEST(DiskDrive, BadTrackOrSectorIsCodeTwoWithTheSectorTestedFirst) {
  TTempDir dir;
  TDiskDrive::FormatDriveFile(dir / "a.cpmdsk");
  TDiskDrive drive(dir / "a.cpmdsk");
  std::vector<unsigned char> buffer(2048);
  std::string message;
  drive.Sector = 32;
  drive.Track = 300;
  EXPECT_EQ(CodeOf([&] { drive.ReadSector(buffer.data()); }, &message), 2);
  EXPECT_EQ(message, "Invalid track sector (32)!");
  drive.Sector = 0;
  EXPECT_EQ(CodeOf([&] { drive.WriteBlock(buffer.data()); }, &message), 2);
  EXPECT_EQ(message, "Invalid disk track (300)!");
}

TEST(DiskDrive, TruncatedImageServesWhatItHasAndNeverGrows) {
  TTempDir dir;
  disk_test::WriteBytes(dir / "short.cpmdsk", disk_test::Pattern(100 * 128 + 50));
  TDiskDrive drive(dir / "short.cpmdsk");
  std::vector<unsigned char> buffer(128, 0);
  drive.Track = 3;
  drive.Sector = 3;  // record 99, the last whole one
  EXPECT_EQ(CodeOf([&] { drive.ReadSector(buffer.data()); }), 0);
  drive.Sector = 4;
  std::string message;
  EXPECT_EQ(CodeOf([&] { drive.ReadSector(buffer.data()); }, &message), 4);
  EXPECT_EQ(message, "Read from disk failed!");
  EXPECT_EQ(CodeOf([&] { drive.WriteSector(buffer.data()); }, &message), 8);
  EXPECT_EQ(message, "Write to disk failed!");
  EXPECT_EQ(std::filesystem::file_size(dir / "short.cpmdsk"), 100u * 128 + 50);
}

TEST(DiskDrive, OversizedImageReachesOnlyItsFirstMebibyte) {
  TTempDir dir;
  std::vector<unsigned char> bytes(1048576 + 4096, 0xE5);
  bytes[1048576] = 0x77;
  disk_test::WriteBytes(dir / "big.cpmdsk", bytes);
  TDiskDrive drive(dir / "big.cpmdsk");
  std::vector<unsigned char> buffer(128);
  drive.Track = 255;
  drive.Sector = 31;
  drive.ReadSector(buffer.data());
  EXPECT_EQ(buffer[0], 0xE5);
  drive.Track = 256;
  drive.Sector = 0;
  EXPECT_EQ(CodeOf([&] { drive.ReadSector(buffer.data()); }), 2);
}

TEST(DiskDrive, UnopenableFilesAreCodeOne) {
  TTempDir dir;
  std::string message;
  EXPECT_EQ(CodeOf([&] { TDiskDrive drive(dir / "missing.cpmdsk"); }, &message), 1);
  EXPECT_EQ(message, "Selected disk is bad!");
  EXPECT_EQ(CodeOf([&] { TDiskDrive drive(dir.Path()); }), 1) << "a folder is no disk";
  TDiskDrive::FormatDriveFile(dir / "plain.cpmdsk");
  EXPECT_EQ(CodeOf([&] { TDiskDrive drive(dir / "plain.cpmdsk", 0); }), 1) << "an image is no pack";
}

TEST(DiskDrive, PackDiskIsAddressedInsideItsOwnDisk) {
  TTempDir dir;
  TDiskPack::CreatePackFile(dir / "p.cdp", 3);
  const auto block = disk_test::Pattern(2048, 9);
  {
    TDiskDrive drive(dir / "p.cdp", 1);
    drive.WriteBlock(0, 0, block.data());
    drive.WriteBlock(255, 31, block.data());
  }
  const auto pack = disk_test::ReadBytes(dir / "p.cdp");
  ASSERT_EQ(pack.size(), 1024u + 3 * 1048576);
  const size_t disk1 = 1024 + 1048576;
  EXPECT_TRUE(std::equal(block.begin(), block.end(), pack.begin() + disk1));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), pack.begin() + disk1 + 1048576 - 2048));
  EXPECT_EQ(pack[disk1 - 1], 0xE5);
  EXPECT_EQ(pack[disk1 + 1048576], 0xE5) << "disk 2 untouched";
  EXPECT_EQ(CodeOf([&] { TDiskDrive drive(dir / "p.cdp", 3); }), 1) << "an index beyond the pack never means disk 0";
}

}  // namespace
