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

}  // namespace
