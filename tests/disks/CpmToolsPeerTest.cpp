// Debian's cpmtools as the far side: files written here must read back byte for
// byte through cpmcp (and pass fsck.cpm), and files cpmcp writes must list and
// export correctly here. cpmtools writes the last-record byte count and pads a
// file's last block its own way, so contents are compared, never raw images.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CpmDiskDrive.h"
#include "DiskTestSupport.h"

namespace {

using disk_test::TTempDir;

bool ProgramOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':'))
    if (!folder.empty() && ::access((std::filesystem::path(folder) / program).c_str(), X_OK) == 0) return true;
  return false;
}

class CpmToolsPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"cpmls", "cpmcp", "cpmchattr", "fsck.cpm"})
      if (!ProgramOnPath(tool)) GTEST_SKIP() << tool << " is not installed (Debian package cpmtools); skipping the peer test";
    // cpmtools reads ./diskdefs when it exists: every tool runs inside this
    // test's own folder, so parallel tests never share a definition file.
    std::ofstream(dir / "diskdefs") << "diskdef emu1m\n  seclen 128\n  tracks 256\n  sectrk 32\n  blocksize 2048\n"
                                       "  maxdir 256\n  skew 1\n  boottrk 2\n  os 2.2\nend\n";
    std::filesystem::create_directory(dir / "out");
    TDiskDrive::FormatDriveFile(image);
  }

  // Runs a cpmtools command line in the test folder; returns its exit status and
  // leaves its output in `output`.
  int Run(const std::string& command) {
    const std::string line = "cd '" + dir.Path().string() + "' && " + command + " > tool-output.txt 2>&1";
    const int status = std::system(line.c_str());
    std::ifstream in(dir / "tool-output.txt");
    output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void ExpectFsckClean() {
    EXPECT_EQ(Run("fsck.cpm -f emu1m -n disk.cpmdsk"), 0) << output;
    std::string lower = output;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(lower.find("error"), std::string::npos) << output;
  }

  std::vector<unsigned char> CopyOut(const std::string& cpmName, bool text = false) {
    std::filesystem::remove(dir / "out" / "copy");
    EXPECT_EQ(Run(std::string("cpmcp -f emu1m ") + (text ? "-t " : "") + "disk.cpmdsk '" + cpmName + "' out/copy"), 0)
        << output;
    return disk_test::ReadBytes(dir / "out" / "copy");
  }

  void CopyIn(const std::vector<unsigned char>& data, const std::string& cpmName, bool text = false) {
    disk_test::WriteBytes(dir / "out" / "source", data);
    ASSERT_EQ(Run(std::string("cpmcp -f emu1m ") + (text ? "-t " : "") + "disk.cpmdsk out/source '" + cpmName + "'"), 0)
        << output;
  }

  int64_t Import(TCpmDiskDrive& cpm, const std::string& name, const std::vector<unsigned char>& data, int user,
                 std::uint8_t fill) {
    TMemoryStream in(data);
    int index = -1;
    return cpm.ImportFile(name, in, static_cast<std::int64_t>(data.size()), index, user, fill);
  }

  std::vector<unsigned char> Export(TCpmDiskDrive& cpm, const std::string& name, int user, bool text = false) {
    TMemoryStream out;
    cpm.ExportFile(name, user, text, out);
    return out.Data();
  }

  static void ExpectSameContent(const std::vector<unsigned char>& original, const std::vector<unsigned char>& copy) {
    const size_t rounded = (original.size() + 127) / 128 * 128;
    ASSERT_GE(copy.size(), original.size());
    EXPECT_LE(copy.size(), rounded);
    EXPECT_TRUE(std::equal(original.begin(), original.end(), copy.begin()));
  }

  TTempDir dir;
  std::filesystem::path image = dir / "disk.cpmdsk";
  std::string output;
};

TEST_F(CpmToolsPeerTest, FilesWrittenHereReadBackThroughCpmcp) {
  std::string text;
  for (int i = 0; i < 40; ++i) {
    text += "Line ";
    text += std::to_string(i);
    text += " of the text file\r\n";
  }
  const std::vector<unsigned char> textBytes(text.begin(), text.end());
  const auto exactExtent = disk_test::Pattern(16384, 1);
  const auto twoExtents = disk_test::Pattern(16385, 2);
  const auto large = disk_test::Pattern(200000, 3);
  {
    TCpmDiskDrive cpm(image);
    Import(cpm, "README.TXT", textBytes, 0, 0x1A);
    Import(cpm, "EXACT.BIN", exactExtent, 0, 0);
    Import(cpm, "TWO.BIN", twoExtents, 3, 0);
    Import(cpm, "LARGE.DAT", large, 15, 0);
    Import(cpm, "NOTYPE", {'x'}, 7, 0);
    Import(cpm, "GONE.TMP", disk_test::Pattern(5000, 4), 0, 0);
    cpm.SetFileAttributes("EXACT.BIN", 0, CPM_ATTR_READ_ONLY | CPM_ATTR_SYSTEM, 2);
    cpm.RenameFile("NOTYPE", "RENAMED.X", 7);
    cpm.DeleteFile("GONE.TMP", 0);
  }
  ExpectFsckClean();

  auto copy = CopyOut("0:readme.txt");
  ASSERT_EQ(copy.size(), (textBytes.size() + 127) / 128 * 128);
  EXPECT_TRUE(std::equal(textBytes.begin(), textBytes.end(), copy.begin()));
  EXPECT_TRUE(std::all_of(copy.begin() + static_cast<long>(textBytes.size()), copy.end(), [](unsigned char b) { return b == 0x1A; }));
  copy = CopyOut("0:readme.txt", true);
  std::string unixText = text;
  unixText.erase(std::remove(unixText.begin(), unixText.end(), '\r'), unixText.end());
  EXPECT_EQ(std::string(copy.begin(), copy.end()), unixText);
  EXPECT_EQ(CopyOut("2:exact.bin"), exactExtent);
  ExpectSameContent(twoExtents, CopyOut("3:two.bin"));
  ExpectSameContent(large, CopyOut("15:large.dat"));
  ExpectSameContent({'x'}, CopyOut("7:renamed.x"));

  ASSERT_EQ(Run("cpmls -f emu1m -D disk.cpmdsk"), 0);
  const auto user2 = output.find("User 2:");
  ASSERT_NE(user2, std::string::npos) << output;
  const auto exactLine = output.find("EXACT   .BIN", user2);
  ASSERT_NE(exactLine, std::string::npos) << output;
  const std::string line = output.substr(exactLine, output.find('\n', exactLine) - exactLine);
  EXPECT_NE(line.find(" RS"), std::string::npos) << "read-only and system are seen: " << line;
  EXPECT_EQ(output.find("GONE"), std::string::npos) << output;
  EXPECT_EQ(output.find("NOTYPE"), std::string::npos) << output;
}

TEST_F(CpmToolsPeerTest, FilesWrittenByCpmcpListAndExportHere) {
  // cpmcp -t turns the host's LF into CR LF and ends the text with ^Z.
  const std::vector<unsigned char> small = {'h', 'i', '\r', '\n'};
  const auto exact = disk_test::Pattern(16384, 5);
  const auto multi = disk_test::Pattern(50000, 6);
  const auto large = disk_test::Pattern(300001, 7);
  CopyIn({'h', 'i', '\n'}, "0:small.txt", true);
  CopyIn(exact, "4:exact.bin");
  CopyIn(multi, "4:multi.bin");
  CopyIn(large, "15:large.dat");
  ASSERT_EQ(Run("cpmchattr -f emu1m disk.cpmdsk rs 4:multi.bin"), 0) << output;
  ASSERT_EQ(Run("cpmchattr -f emu1m disk.cpmdsk a 15:large.dat"), 0) << output;

  TCpmDiskDrive cpm(image);
  const auto& list = cpm.FileList();
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.GetKey(0), "EXACT.BIN:4");
  EXPECT_EQ(list.GetKey(1), "LARGE.DAT:15");
  EXPECT_EQ(list.GetKey(2), "MULTI.BIN:4");
  EXPECT_EQ(list.GetKey(3), "SMALL.TXT:0");
  struct Expected {
    int index;
    size_t size;
    std::uint8_t attributes;
  };
  for (const Expected& e : {Expected{0, exact.size(), 0}, Expected{1, large.size(), CPM_ATTR_ARCHIVE},
                            Expected{2, multi.size(), CPM_ATTR_READ_ONLY | CPM_ATTR_SYSTEM}, Expected{3, small.size(), 0}}) {
    const TCpmDiskFileInfo* info = list.GetItem(e.index);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->Records, (e.size + 127) / 128) << info->Name;
    EXPECT_EQ(info->Blocks, (e.size + 2047) / 2048) << info->Name;
    EXPECT_EQ(info->Extents, (e.size + 16383) / 16384) << info->Name;
    EXPECT_EQ(info->Attributes, e.attributes) << info->Name;
  }
  const std::int64_t usedBlocks = 1 + 8 + 25 + 147;
  EXPECT_EQ(list.Allocation().FreeCount(), 504 - usedBlocks);
  ExpectSameContent(small, Export(cpm, "SMALL.TXT", 0));
  EXPECT_EQ(Export(cpm, "small.txt", 0, true), small);
  EXPECT_EQ(Export(cpm, "EXACT.BIN", 4), exact);
  ExpectSameContent(multi, Export(cpm, "MULTI.BIN", 4));
  ExpectSameContent(large, Export(cpm, "LARGE.DAT", 15));

  // A file written here beside cpmtools' files keeps the disk consistent.
  Import(cpm, "MINE.BIN", disk_test::Pattern(40000, 8), 4, 0);
  ExpectFsckClean();
  ExpectSameContent(disk_test::Pattern(40000, 8), CopyOut("4:mine.bin"));
}

TEST_F(CpmToolsPeerTest, FullDirectoryWrittenByCpmcp) {
  std::string sources;
  for (int i = 0; i < 256; ++i) {
    std::string name = "f";
    name += std::to_string(i);
    disk_test::WriteBytes(dir / "out" / name, {static_cast<unsigned char>(i)});
    sources += " out/" + name;
  }
  ASSERT_EQ(Run("cpmcp -f emu1m disk.cpmdsk" + sources + " 0:"), 0) << output;
  TCpmDiskDrive cpm(image);
  EXPECT_EQ(cpm.FileList().Count(), 256);
  EXPECT_EQ(cpm.FileList().Allocation().FreeCount(), 504 - 256);
  EXPECT_EQ(Export(cpm, "F200", 0)[0], 200);
  const auto before = disk_test::ReadBytes(image);
  EXPECT_THROW(Import(cpm, "ONE.MORE", {1}, 0, 0), ECpmDiskError);
  EXPECT_EQ(disk_test::ReadBytes(image), before);
}

TEST_F(CpmToolsPeerTest, FullDiskBothWays) {
  // 504 blocks of 2 KiB: the whole data area.
  const auto everything = disk_test::Pattern(504 * 2048, 9);
  CopyIn(everything, "0:all.bin");
  {
    TCpmDiskDrive cpm(image);
    EXPECT_EQ(cpm.FileList().Allocation().FreeCount(), 0);
    EXPECT_EQ(cpm.FileList().GetItem(0)->Extents, 63u);
    EXPECT_EQ(Export(cpm, "ALL.BIN", 0), everything);
    EXPECT_THROW(Import(cpm, "X", {1}, 0, 0), ECpmDiskError);
  }
  TDiskDrive::FormatDriveFile(image);
  {
    TCpmDiskDrive cpm(image);
    EXPECT_EQ(Import(cpm, "ALL.BIN", everything, 1, 0), static_cast<std::int64_t>(everything.size()));
    EXPECT_EQ(cpm.FileList().Allocation().FreeCount(), 0);
  }
  ExpectFsckClean();
  EXPECT_EQ(CopyOut("1:all.bin"), everything);
}

TEST_F(CpmToolsPeerTest, ShortImageFromMkfsTakesFilesBothWays) {
  // mkfs.cpm writes the boot tracks and the directory only; cpmcp grows the
  // image as it writes, and so must we.
  std::filesystem::remove(image);
  ASSERT_EQ(Run("mkfs.cpm -f emu1m disk.cpmdsk"), 0) << output;
  ASSERT_EQ(std::filesystem::file_size(image), 16384u);
  const auto theirs = disk_test::Pattern(5000, 11);
  CopyIn(theirs, "0:theirs.bin");
  CopyIn({}, "0:nothing.dat");
  const auto mine = disk_test::Pattern(100000, 12);
  {
    TCpmDiskDrive cpm(image);
    ExpectSameContent(theirs, Export(cpm, "THEIRS.BIN", 0));
    const int nothing = cpm.FileList().IndexOf("NOTHING.DAT:0");
    ASSERT_GE(nothing, 0) << "cpmtools' empty file is listed";
    EXPECT_EQ(cpm.FileList().GetItem(nothing)->Records, 0u);
    EXPECT_TRUE(Export(cpm, "NOTHING.DAT", 0).empty());
    EXPECT_EQ(Import(cpm, "MINE.BIN", mine, 3, 0), static_cast<std::int64_t>((mine.size() + 127) / 128 * 128));
    EXPECT_EQ(Import(cpm, "EMPTY.TXT", {}, 0, 0x1A), 0);
  }
  EXPECT_GT(std::filesystem::file_size(image), 16384u);
  EXPECT_LE(std::filesystem::file_size(image), 1048576u);
  ExpectFsckClean();
  ExpectSameContent(mine, CopyOut("3:mine.bin"));
  EXPECT_TRUE(CopyOut("0:empty.txt").empty());
  ASSERT_EQ(Run("cpmls -f emu1m disk.cpmdsk"), 0);
  EXPECT_NE(output.find("empty.txt"), std::string::npos) << output;
}

// CP/M and cpmtools take every directory entry that starts with E5h as free,
// whatever its other bytes hold; so does every door here. A disk whose free
// entries are E5h then 00h (or FFh), empty and with ten files from cpmcp,
// opens, lists the files cpmls lists, and exports them.
TEST_F(CpmToolsPeerTest, EntriesThatStartWithE5hAreFreeWhateverFollows) {
  std::vector<std::vector<unsigned char>> contents;
  for (int i = 0; i < 10; ++i) {
    contents.push_back(disk_test::Pattern(static_cast<size_t>(700 * i + 1), 30 + static_cast<unsigned>(i)));
    CopyIn(contents.back(), "0:file" + std::to_string(i) + ".dat");
  }
  const auto written = disk_test::ReadBytes(image);
  for (const unsigned char fill : {0x00, 0xFF}) {
    SCOPED_TRACE(fill == 0 ? "E5h then 00h" : "E5h then FFh");
    for (const bool withFiles : {true, false}) {
      auto bytes = written;
      for (size_t at = 8192; at < 16384; at += 32)
        if (bytes[at] == 0xE5 || !withFiles) {
          bytes[at] = 0xE5;
          std::fill(bytes.begin() + static_cast<long>(at) + 1, bytes.begin() + static_cast<long>(at) + 32, fill);
        }
      disk_test::WriteBytes(image, bytes);
      ASSERT_EQ(Run("cpmls -f emu1m disk.cpmdsk"), 0) << output;
      TCpmDiskDrive cpm(image);
      ASSERT_EQ(cpm.FileList().Count(), withFiles ? 10 : 0);
      for (int i = 0; withFiles && i < 10; ++i) {
        const std::string name = "FILE" + std::to_string(i) + ".DAT";
        EXPECT_NE(output.find("file" + std::to_string(i) + ".dat"), std::string::npos) << output;
        ExpectSameContent(contents[static_cast<size_t>(i)], Export(cpm, name, 0));
      }
      if (!withFiles) {
        EXPECT_EQ(output.find("file"), std::string::npos) << output;
      }
    }
  }
}

TEST_F(CpmToolsPeerTest, SparseFilesExportEveryRecordAtItsOffsetAsCpmcpDoes) {
  // Random-access files as CP/M leaves them: a zero pointer inside an extent,
  // a missing middle extent, a lower extent whose RC is short. Each data
  // record names its block and record, so a record moved down shows.
  {
    TDiskDrive drive(image);
    std::vector<unsigned char> record(128);
    for (int block = 4; block < 60; ++block) {
      for (int r = 0; r < 16; ++r) {
        record.assign(128, static_cast<unsigned char>('A' + r));
        record[0] = static_cast<unsigned char>(block);
        record[1] = static_cast<unsigned char>(r);
        const int index = block * 16 + r;
        drive.Track = static_cast<std::uint16_t>(index / 32 + 2);
        drive.Sector = static_cast<std::uint16_t>(index % 32);
        drive.WriteSector(record.data());
      }
    }
  }
  {
    TCpmDiskDrive cpm(image);
    const auto entry = [&](int index, const std::string& name, int extent, int records,
                           const std::vector<std::uint16_t>& blocks) {
      TCpmDirEntry e;
      e.SetName(name, false);
      e.Bytes[0] = 0;
      e.Bytes[12] = static_cast<std::uint8_t>(extent);
      e.Bytes[15] = static_cast<std::uint8_t>(records);
      for (size_t i = 0; i < blocks.size(); ++i) e.SetPointer(static_cast<int>(i), blocks[i]);
      cpm.WriteDirEntry(index, e);
    };
    entry(0, "HOLE.DAT", 0, 0x30, {10, 0, 12});
    entry(1, "GAP.DAT", 0, 0x80, {20, 21, 22, 23, 24, 25, 26, 27});
    entry(2, "GAP.DAT", 2, 0x10, {30});
    entry(3, "SHORT.DAT", 0, 20, {40, 41});
    entry(4, "SHORT.DAT", 1, 10, {50});
  }
  TCpmDiskDrive cpm(image);
  for (const char* name : {"HOLE.DAT", "GAP.DAT", "SHORT.DAT"}) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto ours = Export(cpm, name, 0);
    EXPECT_EQ(ours, CopyOut("0:" + lower)) << name;
    EXPECT_EQ(ours.size() % 128, 0u);
  }
  // The data after each hole stays at its offset.
  const auto hole = Export(cpm, "HOLE.DAT", 0);
  ASSERT_EQ(hole.size(), 48u * 128);
  EXPECT_EQ(hole[16 * 128], 0);
  EXPECT_EQ(hole[32 * 128], 12);
  const auto gap = Export(cpm, "GAP.DAT", 0);
  ASSERT_EQ(gap.size(), 272u * 128);
  EXPECT_EQ(gap[200 * 128], 0);
  EXPECT_EQ(gap[256 * 128], 30);
}

}  // namespace
