#include <array>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DiskController.h"
#include "DiskTestSupport.h"
#include "Unprivileged.h"

namespace {

using disk_test::TTempDir;

// A controller wired to a plain 64 KiB memory, recording its events.
class DiskControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory.fill(0);
    controller.OnFetchFromMemory = [this](TDiskController&, std::uint16_t address, std::uint8_t* buffer, int count) {
      events.push_back("fetch");
      for (int i = 0; i < count; ++i) buffer[i] = memory[static_cast<std::uint16_t>(address + i)];
    };
    controller.OnStoreToMemory = [this](TDiskController&, std::uint16_t address, std::uint8_t* buffer, int count) {
      events.push_back("store");
      for (int i = 0; i < count; ++i) memory[static_cast<std::uint16_t>(address + i)] = buffer[i];
    };
    controller.OnReadActivity = [this](TDiskController&, std::uint8_t drive) { events.push_back("read" + std::to_string(drive)); };
    controller.OnWriteActivity = [this](TDiskController&, std::uint8_t drive) { events.push_back("write" + std::to_string(drive)); };
    controller.OnReset = [this](TDiskController&) { events.push_back("reset"); };
  }

  std::string Image(const std::string& name) {
    const auto path = dir / name;
    TDiskDrive::FormatDriveFile(path);
    return path.string();
  }

  void Select(int drive, int track, int sector, int dma) {
    controller.WritePort(1, static_cast<std::uint8_t>(drive));
    controller.WritePort(2, static_cast<std::uint8_t>(sector & 0xFF));
    controller.WritePort(3, static_cast<std::uint8_t>(sector >> 8));
    controller.WritePort(4, static_cast<std::uint8_t>(track & 0xFF));
    controller.WritePort(5, static_cast<std::uint8_t>(track >> 8));
    controller.WritePort(6, static_cast<std::uint8_t>(dma & 0xFF));
    controller.WritePort(7, static_cast<std::uint8_t>(dma >> 8));
  }

  TTempDir dir;
  std::array<std::uint8_t, 65536> memory{};
  std::vector<std::string> events;
  TDiskController controller;
};

TEST_F(DiskControllerTest, WriteThenReadMovesSectorsThroughMemory) {
  controller.MountDisk(Image("a.cpmdsk"), 0);
  controller.MountDisk(Image("b.cpmdsk"), 1);
  for (int i = 0; i < 128; ++i) memory[(0xFFC0 + i) & 0xFFFF] = static_cast<std::uint8_t>(i * 7);  // wraps past FFFF
  Select(1, 200, 30, 0xFFC0);
  controller.WritePort(0, 3);
  EXPECT_EQ(controller.ReadPort(0), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"write1", "fetch"}));
  events.clear();
  Select(1, 200, 30, 0x0100);
  controller.WritePort(0, 2);
  EXPECT_EQ(controller.ReadPort(0), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"read1", "store"}));
  for (int i = 0; i < 128; ++i) ASSERT_EQ(memory[0x0100 + i], static_cast<std::uint8_t>(i * 7));
  EXPECT_EQ(controller.ReadPort(4), 200) << "registers are not advanced by a transfer";
  const auto image = disk_test::ReadBytes(dir / "b.cpmdsk");
  EXPECT_EQ(image[(200 * 32 + 30) * 128 + 5], 35);
  EXPECT_EQ(disk_test::ReadBytes(dir / "a.cpmdsk")[(200 * 32 + 30) * 128 + 5], 0xE5);
}

TEST_F(DiskControllerTest, ShortAndReadOnlyImagesGiveDataAndTheRightStatus) {
  // What mkfs.cpm writes: the boot tracks and the directory only (16 KiB).
  disk_test::WriteBytes(dir / "short.cpmdsk", std::vector<unsigned char>(16384, 0xE5));
  controller.MountDisk((dir / "short.cpmdsk").string(), 0);
  memory.fill(0);
  Select(0, 4, 0, 0x2000);
  controller.WritePort(0, 2);
  EXPECT_EQ(controller.ReadPort(0), 0) << "track 4 lies past the file but reads as formatted";
  EXPECT_EQ(memory[0x2000], 0xE5);
  memory[0x3000] = 0x42;
  Select(0, 100, 7, 0x3000);
  controller.WritePort(0, 3);
  EXPECT_EQ(controller.ReadPort(0), 0);
  EXPECT_EQ(std::filesystem::file_size(dir / "short.cpmdsk"), (100u * 32 + 16) * 128) << "grown to the end of the block";
  memory[0x3000] = 0;
  controller.WritePort(0, 2);
  EXPECT_EQ(memory[0x3000], 0x42);

  // An image opened read-only: reads work, a write is status 8 and changes nothing.
  const std::string readOnly = Image("ro.cpmdsk");
  std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                             std::filesystem::perms::others_read);
  korvel_test::OpenFolderToAll(dir.Path());
  korvel_test::RunUnprivileged([&] {
    TDiskController own;
    own.OnFetchFromMemory = controller.OnFetchFromMemory;
    own.MountDisk(readOnly, 1);
    own.WritePort(1, 1);
    own.WritePort(0, 2);
    EXPECT_EQ(own.ReadPort(0), 0);
    own.WritePort(0, 3);
    EXPECT_EQ(own.ReadPort(0), 8);
  });
  EXPECT_EQ(disk_test::ReadBytes(readOnly), std::vector<unsigned char>(1048576, 0xE5));
}

TEST_F(DiskControllerTest, RegistersAreMaskedAndReadBackAsWritten) {
  controller.WritePort(1, 3);
  controller.WritePort(1, 6);
  EXPECT_EQ(controller.ReadPort(1), 6);
  controller.WritePort(9, 0x44);  // register 1 again
  EXPECT_EQ(controller.ReadPort(1), 0x44);
  EXPECT_EQ(controller.ReadPort(15), controller.ReadPort(7));
  controller.MountDisk(Image("c.cpmdsk"), 2);
  controller.WritePort(1, 6);  // drive 2
  controller.WritePort(8, 2);  // register 0: read
  EXPECT_EQ(controller.ReadPort(8), 0);
  EXPECT_EQ(events.front(), "read2");
}

TEST_F(DiskControllerTest, StatusCodesOfFailingCommands) {
  controller.MountDisk(Image("a.cpmdsk"), 0);
  Select(0, 5, 40, 0x200);
  controller.WritePort(0, 2);
  EXPECT_EQ(controller.ReadPort(0), 2);
  EXPECT_EQ(events, (std::vector<std::string>{"read0"})) << "a failed read stores nothing";
  events.clear();
  Select(0, 256, 3, 0x200);
  controller.WritePort(0, 3);
  EXPECT_EQ(controller.ReadPort(0), 2);
  EXPECT_EQ(events, (std::vector<std::string>{"write0", "fetch"}));

  Select(1, 9, 8, 0x200);
  events.clear();
  controller.WritePort(0, 1);
  EXPECT_EQ(controller.ReadPort(0), 1) << "home on an empty drive";
  EXPECT_EQ(controller.ReadPort(2), 8);
  EXPECT_EQ(controller.ReadPort(4), 9);
  controller.WritePort(0, 2);
  EXPECT_EQ(controller.ReadPort(0), 1);
  controller.WritePort(0, 3);
  EXPECT_EQ(controller.ReadPort(0), 1);
  EXPECT_TRUE(events.empty()) << "no event for an empty drive";
  controller.WritePort(0, 7);
  EXPECT_EQ(controller.ReadPort(0), 9);
  EXPECT_EQ(controller.ReadPort(2), 8);

  controller.WritePort(1, 0);
  controller.WritePort(0, 1);
  EXPECT_EQ(controller.ReadPort(0), 0);
  for (int r = 2; r <= 5; ++r) EXPECT_EQ(controller.ReadPort(static_cast<std::uint8_t>(r)), 0);
  EXPECT_EQ(controller.ReadPort(6), 0x00);
  EXPECT_EQ(controller.ReadPort(7), 0x02) << "home keeps the DMA address";
}

TEST_F(DiskControllerTest, ForeignExceptionsBecomeStatusesNotEscapes) {
  controller.MountDisk(Image("a.cpmdsk"), 0);
  controller.OnStoreToMemory = [](TDiskController&, std::uint16_t, std::uint8_t*, int) { throw std::runtime_error("bus"); };
  controller.OnFetchFromMemory = [](TDiskController&, std::uint16_t, std::uint8_t*, int) { throw 42; };
  Select(0, 2, 0, 0);
  EXPECT_NO_THROW(controller.WritePort(0, 2));
  EXPECT_EQ(controller.ReadPort(0), 4);
  EXPECT_NO_THROW(controller.WritePort(0, 3));
  EXPECT_EQ(controller.ReadPort(0), 8);
  EXPECT_EQ(disk_test::ReadBytes(dir / "a.cpmdsk")[2 * 32 * 128], 0xE5) << "nothing written after the failed fetch";
}

TEST_F(DiskControllerTest, MountingRulesAndReset) {
  const std::string a = Image("a.cpmdsk");
  const std::string b = Image("b.cpmdsk");
  controller.MountDisk(a, 0);
  std::string upper = a;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_THROW(controller.MountDisk(upper, 1), EDiskError) << "names compare without letter case";
  EXPECT_THROW(controller.MountDisk(a, 0), EDiskError) << "even into the same slot";
  EXPECT_TRUE(controller.HasDisk(0));
  controller.MountDisk(b, 5);  // slot 1
  EXPECT_TRUE(controller.HasDisk(1));
  try {
    controller.MountDisk((dir / "missing.cpmdsk").string(), 2);
    FAIL() << "a missing file mounts";
  } catch (const EDiskError& error) {
    EXPECT_EQ(error.Code(), 1);
    EXPECT_EQ(error.Message(), "Selected disk is bad!");
  }
  EXPECT_FALSE(controller.HasDisk(2));

  controller.WritePort(1, 1);
  controller.WritePort(6, 0x55);
  std::filesystem::remove(b);
  events.clear();
  controller.WritePort(0, 0);
  EXPECT_EQ(controller.ReadPort(0), 0);
  EXPECT_EQ(controller.ReadPort(1), 0);
  EXPECT_EQ(controller.ReadPort(6), 0);
  EXPECT_TRUE(controller.HasDisk(0));
  EXPECT_FALSE(controller.HasDisk(1)) << "a reset empties a drive whose file has gone";
  EXPECT_FALSE(controller.IsMounted(b));
  EXPECT_EQ(events, (std::vector<std::string>{"reset"}));

  controller.EjectAll();
  EXPECT_FALSE(controller.HasDisk(0));
  controller.MountDisk(a, 3);
  EXPECT_EQ(controller.MountedFileName(3), a);
}

TEST_F(DiskControllerTest, ResetPicksUpChangesMadeOutside) {
  const std::string a = Image("a.cpmdsk");
  controller.MountDisk(a, 0);
  Select(0, 0, 0, 0x1000);
  controller.WritePort(0, 2);  // fills the cache window
  {
    TDiskDrive other(a);
    std::vector<std::uint8_t> sector(128, 0x42);
    other.WriteSector(sector.data());
  }
  controller.WritePort(0, 0);
  Select(0, 0, 0, 0x1000);
  controller.WritePort(0, 2);
  EXPECT_EQ(memory[0x1000], 0x42);
}

TEST(DiskControllerLifetime, DestroyingTheControllerClosesItsDisks) {
  TTempDir dir;
  TDiskDrive::FormatDriveFile(dir / "a.cpmdsk");
  auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto before = openDescriptors();
  {
    TDiskController controller;
    controller.MountDisk((dir / "a.cpmdsk").string(), 0);
    EXPECT_EQ(openDescriptors(), before + 1);
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
