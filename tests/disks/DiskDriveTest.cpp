#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DiskDrive.h"
#include "DiskPack.h"
#include "DiskTestSupport.h"
#include "Fixtures.h"
#include "Unprivileged.h"

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

TEST(DiskDrive, ShortImageReadsAsFormattedAndGrowsWhenWritten) {
  TTempDir dir;
  // Boot tracks, then 36 records of a directory as CP/M 3 and cpmtools write
  // it: a label, a file with attributes, an entry of user 17, time stamps.
  auto original = disk_test::Pattern(64 * 128);
  std::vector<unsigned char> directory(36 * 128, 0xE5);
  const std::string entries = std::string("\x20MYLABEL    \x11", 13) + std::string(19, '\0') +
                              std::string("\x03PIP     C", 10) + "\xCFM" + std::string(20, '\x01') +
                              std::string("\x11OLD     TXT", 12) + std::string(20, '\0') + "\x21" +
                              std::string(31, '\x14');
  std::copy(entries.begin(), entries.end(), directory.begin());
  original.insert(original.end(), directory.begin(), directory.end());
  disk_test::WriteBytes(dir / "short.cpmdsk", original);
  std::vector<unsigned char> buffer(128, 0);
  {
    TDiskDrive drive(dir / "short.cpmdsk");
    drive.Track = 3;
    drive.Sector = 3;  // record 99, the last one
    drive.ReadSector(buffer.data());
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), original.begin() + 99 * 128));
    drive.Track = 2;
    drive.Sector = 0;  // the first directory record, as the file holds it
    drive.ReadSector(buffer.data());
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), original.begin() + 64 * 128));
    drive.Track = 255;
    drive.Sector = 31;
    drive.ReadSector(buffer.data());
    EXPECT_EQ(buffer, std::vector<unsigned char>(128, 0xE5));
    EXPECT_EQ(std::filesystem::file_size(dir / "short.cpmdsk"), original.size()) << "reading never grows the file";

    // Writing record 200 grows the file to the end of its 2 KiB block; the
    // gap and the rest of the block read formatted.
    const auto record = disk_test::Pattern(128, 5);
    drive.Track = 6;
    drive.Sector = 8;
    drive.WriteSector(record.data());
  }
  const auto grown = disk_test::ReadBytes(dir / "short.cpmdsk");
  ASSERT_EQ(grown.size(), 13u * 2048);
  EXPECT_TRUE(std::equal(original.begin(), original.end(), grown.begin())) << "what the file held stays";
  const auto formatted = [&](size_t from, size_t to) {
    return std::all_of(grown.begin() + static_cast<long>(from), grown.begin() + static_cast<long>(to),
                       [](unsigned char b) { return b == 0xE5; });
  };
  EXPECT_TRUE(formatted(original.size(), 200 * 128));
  EXPECT_TRUE(std::equal(grown.begin() + 200 * 128, grown.begin() + 201 * 128, disk_test::Pattern(128, 5).begin()));
  EXPECT_TRUE(formatted(201 * 128, grown.size()));

  // An empty file is a blank disk that grows to 1 MiB when its last record is written.
  disk_test::WriteBytes(dir / "empty.cpmdsk", {});
  TDiskDrive empty(dir / "empty.cpmdsk");
  std::vector<unsigned char> block(2048, 0);
  empty.ReadBlock(0, 0, block.data());
  EXPECT_EQ(block, std::vector<unsigned char>(2048, 0xE5));
  empty.WriteBlock(255, 16, block.data());
  EXPECT_EQ(std::filesystem::file_size(dir / "empty.cpmdsk"), 1048576u);
  EXPECT_EQ(disk_test::ReadBytes(dir / "empty.cpmdsk"), std::vector<unsigned char>(1048576, 0xE5));
}

TEST(DiskDrive, FilesThatCannotBeADiskAreRefusedWithTheReason) {
  TTempDir dir;
  const auto reasonOf = [](const std::filesystem::path& file, int diskIndex = -1) {
    try {
      TDiskDrive drive(file, diskIndex);
    } catch (const EDiskError& error) {
      EXPECT_EQ(error.Code(), 1);
      EXPECT_EQ(error.Message(), "Selected disk is bad!");
      return std::string(error.what());
    }
    return std::string("opened");
  };
  EXPECT_NE(reasonOf(dir / "missing.cpmdsk").find("No such file"), std::string::npos);
  EXPECT_NE(reasonOf(dir.Path()).find("folder"), std::string::npos);
  EXPECT_NE(reasonOf("/dev/null").find("device"), std::string::npos);
  ASSERT_EQ(::mkfifo((dir / "pipe.cpmdsk").c_str(), 0600), 0);
  EXPECT_NE(reasonOf(dir / "pipe.cpmdsk").find("pipe"), std::string::npos) << "a pipe is refused, never waited on";
  disk_test::WriteBytes(dir / "big.cpmdsk", std::vector<unsigned char>(1048576 + 1, 0xE5));
  EXPECT_NE(reasonOf(dir / "big.cpmdsk").find("1048577 bytes long"), std::string::npos);
  TDiskDrive::FormatDriveFile(dir / "plain.cpmdsk");
  EXPECT_NE(reasonOf(dir / "plain.cpmdsk", 0).find("not a disk pack"), std::string::npos);

  // A short file that cannot be a disk is refused as no disk image, and left
  // as it was: a note, random bytes, whole records whose directory part holds
  // more entries with a control character in a name or a user byte no system
  // writes than entries of a disk.
  using TBootTracks = std::vector<std::vector<std::uint8_t>>;
  const auto notDisk = [&](const std::string& name, const std::vector<unsigned char>& bytes,
                           const TBootTracks& bootTracks = {}, TDiskAccess access = TDiskAccess::ReadWriteIfAllowed) {
    SCOPED_TRACE(name);
    disk_test::WriteBytes(dir / name, bytes);
    std::string reason;
    try {
      TDiskDrive drive(dir / name, -1, access, bootTracks);
      ADD_FAILURE() << "opened as a disk";
    } catch (const EDiskError& error) {
      EXPECT_EQ(error.Code(), 1);
      EXPECT_EQ(error.Message(), "Selected disk is not a CP/M disk image!");
      reason = error.what();
      EXPECT_NE(reason.find(name), std::string::npos) << reason;
    }
    EXPECT_EQ(disk_test::ReadBytes(dir / name), bytes);
    return reason;
  };
  const std::string note = "Shopping: bread, milk.\nCall the plumber on Monday.\n";
  notDisk("notes.txt", std::vector<unsigned char>(note.begin(), note.end()));
  notDisk("random.bin", disk_test::Pattern(1000, 7));
  notDisk("random16k.bin", disk_test::Pattern(16384, 8));
  // Two records of the directory: eight entries, five of them damaged.
  auto directory = std::vector<unsigned char>(8192 + 256, 0xE5);
  for (int entry = 3; entry < 8; ++entry) {
    directory[8192 + 32 * entry] = 0;
    directory[8192 + 32 * entry + 4] = '\n';
  }
  notDisk("control.cpmdsk", directory);
  for (int entry = 3; entry < 8; ++entry) {
    directory[8192 + 32 * entry + 4] = 'X';
    directory[8192 + 32 * entry] = 0x22;
  }
  notDisk("user22.cpmdsk", directory);
  // One such entry among formatted ones is a damaged disk, which opens.
  auto oneDamaged = std::vector<unsigned char>(18 * 1024, 0xE5);
  oneDamaged[8192 + 32 * 9] = 0;
  oneDamaged[8192 + 32 * 9 + 4] = '\n';
  disk_test::WriteBytes(dir / "control.cpmdsk", oneDamaged);
  EXPECT_EQ(reasonOf(dir / "control.cpmdsk"), "opened");

  // Whole records that end at or before the directory (at 8 KiB, after the
  // two reserved tracks) hold nothing of a disk: a CP/M text with its ^Z
  // padding, random bytes, formatted boot tracks alone, a program.
  const auto endsEarly = [&](const std::string& name, const std::vector<unsigned char>& bytes,
                             const TBootTracks& bootTracks = {}) {
    const std::string reason = notDisk(name, bytes, bootTracks);
    EXPECT_NE(reason.find("\" is " + std::to_string(bytes.size()) +
                          " bytes long and ends at or before byte 8192, where the CP/M directory starts"),
              std::string::npos)
        << reason;
  };
  std::string letter;
  for (int line = 1; letter.size() < 1200; ++line) letter += "Line " + std::to_string(line) + " of a letter.\r\n";
  std::vector<unsigned char> text(letter.begin(), letter.end());
  text.resize(1280, 0x1A);
  endsEarly("letter.txt", text);
  endsEarly("random4k.bin", disk_test::Pattern(4096, 9));
  endsEarly("formatted8k.cpmdsk", std::vector<unsigned char>(8192, 0xE5));

  // An empty file is a blank disk. Given boot tracks, it also gains the empty
  // directory (formatted), 16 KiB in all as mkfs.cpm writes a disk, so it
  // opens again as the disk it is.
  const auto boot = disk_test::Pattern(51 * 128, 10);
  const auto writeBoot = [&](TDiskDrive& drive) {
    for (int record = 0; record < 51; ++record) {
      drive.Track = static_cast<std::uint16_t>(record / 32);
      drive.Sector = static_cast<std::uint16_t>(record % 32);
      drive.WriteSector(boot.data() + record * 128);
    }
  };
  disk_test::WriteBytes(dir / "new.cpmdsk", {});
  {
    TDiskDrive drive(dir / "new.cpmdsk");
    writeBoot(drive);
  }
  // The boot tracks, formatted after them up to size bytes.
  const auto bootThenFormatted = [&](size_t size) {
    std::vector<unsigned char> bytes(size, 0xE5);
    std::copy(boot.begin(), boot.end(), bytes.begin());
    return bytes;
  };
  const auto made = bootThenFormatted(16384);
  EXPECT_EQ(disk_test::ReadBytes(dir / "new.cpmdsk"), made);
  EXPECT_EQ(reasonOf(dir / "new.cpmdsk"), "opened");

  // What earlier versions left of an empty file put into drive A: a boot
  // image alone, formatted to the end of its 2 KiB block. It is taken only by
  // a caller that knows that very image (drive A: its own, and the one of an
  // earlier BIOS), and then gains its empty directory as the caller's boot
  // tracks are written; with other images it is refused and left alone, and
  // so is a file that cannot be written, which could never gain a directory.
  auto earlierBoot = boot;
  earlierBoot[700] ^= 1;
  earlierBoot.resize(52 * 128, 0x3C);
  auto bootOnly = bootThenFormatted(8192);
  endsEarly("old.cpmdsk", bootOnly);
  endsEarly("old.cpmdsk", bootOnly, {earlierBoot});
  bootOnly[8000] = 0;
  endsEarly("old.cpmdsk", bootOnly, {boot, earlierBoot});
  bootOnly[8000] = 0xE5;
  const std::string readOnly = notDisk("old.cpmdsk", bootOnly, {boot}, TDiskAccess::ReadOnly);
  EXPECT_NE(readOnly.find("\" is 8192 bytes long and holds boot tracks alone, no CP/M directory; it is read-only"),
            std::string::npos)
      << readOnly;
  const TBootTracks known = {boot, earlierBoot};
  for (const auto& held : known) {
    auto oldFile = held;
    oldFile.resize(8192, 0xE5);
    disk_test::WriteBytes(dir / "old.cpmdsk", oldFile);
    {
      TDiskDrive drive(dir / "old.cpmdsk", -1, TDiskAccess::ReadWriteIfAllowed, known);
      writeBoot(drive);
    }
    auto expected = made;
    const auto tail = static_cast<long>(boot.size());
    std::copy(held.begin() + tail, held.end(), expected.begin() + tail);
    EXPECT_EQ(disk_test::ReadBytes(dir / "old.cpmdsk"), expected);
    EXPECT_EQ(reasonOf(dir / "old.cpmdsk"), "opened");
  }

  // Files of a whole disk's length whose directory holds no disk's: random
  // bytes, a text, fills of FFh, and ROM images (programs padded with FFh).
  // Their first entry is no directory entry; a file of zero bytes was never
  // formatted, and CP/M would read 256 files without a name there; a file
  // whose entries all read as time stamps holds neither files nor free entries.
  const auto wholeNoDisk = [&](const std::string& name, std::vector<unsigned char> bytes) {
    bytes.resize(1048576, 0xFF);
    const std::string reason = notDisk(name, bytes);
    EXPECT_NE(reason.find("\" holds no CP/M directory: "), std::string::npos) << reason;
    EXPECT_NE(reason.find(" of the 256 entries from byte 8192 on are damaged, the first at byte "),
              std::string::npos)
        << reason;
  };
  wholeNoDisk("random1m.bin", disk_test::Pattern(1048576, 11));
  std::vector<unsigned char> longLetter;
  while (longLetter.size() < 1048576) longLetter.insert(longLetter.end(), text.begin(), text.begin() + 1200);
  wholeNoDisk("letter1m.txt", longLetter);
  wholeNoDisk("ones.bin", {});
  EXPECT_NE(notDisk("stamps.bin", std::vector<unsigned char>(1048576, 0x21))
                .find("\" holds no CP/M directory: none of the 256 entries from byte 8192 on is a file or a free "
                      "entry."),
            std::string::npos);
  const std::string zeros = notDisk("zeros.bin", std::vector<unsigned char>(1048576, 0));
  EXPECT_NE(zeros.find("\" holds only zero bytes where the CP/M directory starts, at byte 8192: it was never "
                       "formatted."),
            std::string::npos)
      << zeros;

  // A disk whose directory has damaged entries among its files still opens,
  // so that those files can be rescued, as long as the damaged entries are
  // no more than the free entries and files.
  std::vector<unsigned char> damaged(1048576, 0xE5);
  const auto putEntry = [&](int index, const std::string& entry) {
    std::copy(entry.begin(), entry.end(), damaged.begin() + 8192 + 32 * index);
  };
  const std::string file = std::string("\0NOTES   TXT", 12) + std::string(3, '\0') + "\x10" + "\x04" +
                           std::string(15, '\0');
  putEntry(0, file);
  putEntry(1, std::string("\x07GAME    \xC3OM\x01\0\0\x80", 16) + std::string("\x05\0\x06\0\x07\0\x08\x01", 8) +
                  std::string(8, '\0'));
  putEntry(2, std::string(1, '\x47') + std::string(31, '\x33'));
  disk_test::WriteBytes(dir / "damaged.cpmdsk", damaged);
  EXPECT_EQ(reasonOf(dir / "damaged.cpmdsk"), "opened");
  putEntry(1, "\xE5" + file.substr(1));
  disk_test::WriteBytes(dir / "damaged.cpmdsk", damaged);
  EXPECT_EQ(reasonOf(dir / "damaged.cpmdsk"), "opened");
  // Damage in more than half of the directory shows no disk any more: with
  // entries 129-255 damaged too, 128 are good and 128 damaged; one more tips it.
  for (int index = 129; index < 256; ++index) putEntry(index, std::string(32, '\xFF'));
  disk_test::WriteBytes(dir / "damaged.cpmdsk", damaged);
  EXPECT_EQ(reasonOf(dir / "damaged.cpmdsk"), "opened") << "as many good entries as damaged ones";
  putEntry(128, std::string(32, '\xFF'));
  const std::string tipped = notDisk("damaged.cpmdsk", damaged);
  EXPECT_NE(tipped.find("\" holds no CP/M directory: 129 of the 256 entries from byte 8192 on are damaged, the "
                        "first at byte 8256; only 127 are files or free entries."),
            std::string::npos)
      << tipped;
  // CP/M takes every entry that starts with E5h as free, whatever follows.
  for (int index = 128; index < 256; ++index) putEntry(index, "\xE5" + std::string(31, index % 2 ? '\0' : '\xFF'));
  disk_test::WriteBytes(dir / "damaged.cpmdsk", damaged);
  EXPECT_EQ(reasonOf(dir / "damaged.cpmdsk"), "opened");

  // Programs, copied from the shared fixtures: shorter than the reserved
  // tracks, exactly as long, and longer ones as ROM images.
  KORVEL_REQUIRE_FIXTURE("cpm22/programs/PIP.COM");
  const auto pip = korvel_test::ReadFile(korvel_test::Fixture("cpm22/programs/PIP.COM"));
  ASSERT_EQ(pip.size(), 7424u);
  endsEarly("PIP.COM", pip);
  const auto assembler = korvel_test::ReadFile(korvel_test::Fixture("cpm22/programs/ASM.COM"));
  ASSERT_EQ(assembler.size(), 8192u);
  endsEarly("ASM.COM", assembler);
  wholeNoDisk("pip.rom", pip);
  KORVEL_REQUIRE_FIXTURE("z80tests/CPUTEST.COM");
  wholeNoDisk("cputest.rom", korvel_test::ReadFile(korvel_test::Fixture("z80tests/CPUTEST.COM")));
}

TEST(DiskDrive, ReadOnlyImagesAreReadAndRefuseEveryWrite) {
  TTempDir dir;
  korvel_test::OpenFolderToAll(dir.Path());
  const auto image = disk_test::DiskPattern(3);
  disk_test::WriteBytes(dir / "ro.cpmdsk", image);
  ::chmod((dir / "ro.cpmdsk").c_str(), 0444);
  // Root's test process may write it anyway: a mount asked read-only never does.
  const auto checkReadOnly = [&](TDiskDrive& drive) {
    EXPECT_TRUE(drive.IsReadOnly());
    std::vector<unsigned char> block(2048);
    drive.ReadBlock(10, 21, block.data());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin() + (10 * 32 + 16) * 128));
    std::string message;
    EXPECT_EQ(CodeOf([&] { drive.WriteBlock(10, 21, block.data()); }, &message), 8);
    EXPECT_EQ(message, "Write to disk failed, the disk image is read-only!");
    drive.Sector = 0;
    EXPECT_EQ(CodeOf([&] { drive.WriteSector(block.data()); }), 8);
  };
  {
    TDiskDrive drive(dir / "ro.cpmdsk", -1, TDiskAccess::ReadOnly);
    checkReadOnly(drive);
  }
  korvel_test::RunUnprivileged([&] {
    TDiskDrive drive(dir / "ro.cpmdsk");
    checkReadOnly(drive);
  });
  EXPECT_EQ(disk_test::ReadBytes(dir / "ro.cpmdsk"), image);
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

  // A pack that may not be written is read; its disks refuse writes.
  korvel_test::OpenFolderToAll(dir.Path());
  korvel_test::RunUnprivileged([&] {
    TDiskDrive drive(dir / "p.cdp", 1);
    EXPECT_TRUE(drive.IsReadOnly());
    std::vector<unsigned char> read(2048);
    drive.ReadBlock(255, 31, read.data());
    EXPECT_EQ(read, block);
    EXPECT_EQ(CodeOf([&] { drive.WriteBlock(0, 0, read.data()); }), 8);
  });
}

}  // namespace
