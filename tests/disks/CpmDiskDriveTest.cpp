#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CpmDiskDrive.h"
#include "DiskPack.h"
#include "DiskTestSupport.h"
#include "Unprivileged.h"

namespace {

using disk_test::TTempDir;

TCpmDirEntry Entry(int user, const std::string& name, int extent, int rc, std::vector<std::uint16_t> pointers) {
  TCpmDirEntry entry;
  entry.SetName(name, false);
  entry.Bytes[0] = static_cast<std::uint8_t>(user);
  entry.Bytes[12] = static_cast<std::uint8_t>(extent & 31);
  entry.Bytes[14] = static_cast<std::uint8_t>(extent >> 5);
  entry.Bytes[15] = static_cast<std::uint8_t>(rc);
  for (size_t i = 0; i < pointers.size(); ++i) entry.SetPointer(static_cast<int>(i), pointers[i]);
  return entry;
}

std::vector<unsigned char> Export(TCpmDiskDrive& cpm, const std::string& name, int user, bool text) {
  TMemoryStream out;
  cpm.ExportFile(name, user, text, out);
  return out.Data();
}

std::int64_t Import(TCpmDiskDrive& cpm, const std::string& name, const std::vector<unsigned char>& data, int user = 0,
                    std::uint8_t fill = 0, int* index = nullptr) {
  TMemoryStream in(data);
  int position = -1;
  const auto written = cpm.ImportFile(name, in, static_cast<std::int64_t>(data.size()), position, user, fill);
  if (index) *index = position;
  return written;
}

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EEmulatorError& error) {
    return error.what();
  }
  return "";
}

class CpmDiskDriveTest : public ::testing::Test {
 protected:
  void SetUp() override { TDiskDrive::FormatDriveFile(image); }
  std::unique_ptr<TCpmDiskDrive> Open() { return std::make_unique<TCpmDiskDrive>(image); }
  TTempDir dir;
  std::filesystem::path image = dir / "disk.cpmdsk";
};

TEST_F(CpmDiskDriveTest, FreshDiskIsEmptyWith504FreeBlocks) {
  auto cpm = Open();
  EXPECT_EQ(cpm->FileList().Count(), 0);
  EXPECT_EQ(cpm->FileList().Allocation().FreeCount(), 504);
  EXPECT_EQ(cpm->FileList().FreeBytes(), 1032192);
  EXPECT_EQ(cpm->FileList().Allocation().BlockCount(), 512);
}

TEST_F(CpmDiskDriveTest, DirectoryEntriesLieAfterTheReservedTracks) {
  auto cpm = Open();
  cpm->WriteDirEntry(255, Entry(7, "LAST.ONE", 0, 0, {}));
  const auto bytes = disk_test::ReadBytes(image);
  const size_t at = (3 * 32 + 31) * 128 + 96;
  EXPECT_EQ(bytes[at], 7);
  EXPECT_EQ(std::string(bytes.begin() + at + 1, bytes.begin() + at + 12), "LAST    ONE");
  TCpmDirEntry entry;
  cpm->ReadDirEntry(255, entry);
  EXPECT_EQ(entry.FileName(), "LAST.ONE");
  try {
    cpm->ReadDirEntry(256, entry);
    FAIL();
  } catch (const EDiskError& error) {
    EXPECT_EQ(error.Code(), 2);
    EXPECT_STREQ(error.what(), "Directory entry does not exist!");
  }
}

TEST_F(CpmDiskDriveTest, ListingGroupsExtentsAndSortsByNameThenUser) {
  {
    auto cpm = Open();
    TCpmDirEntry freed = Entry(0, "PIP.COM", 0, 1, {50});
    freed.Bytes[0] = 0xE5;
    cpm->WriteDirEntry(0, freed);
    cpm->WriteDirEntry(1, Entry(3, "BIG.DAT", 0, 128, {10, 11, 12, 13, 14, 15, 16, 17}));
    cpm->WriteDirEntry(2, Entry(3, "BIG.DAT", 1, 5, {18}));
    cpm->WriteDirEntry(3, Entry(1, "X.COM", 0, 1, {20}));
    cpm->WriteDirEntry(4, Entry(0, "X.COM", 0, 1, {21}));
    cpm->WriteDirEntry(5, Entry(0, "README", 0, 1, {22}));
    TCpmDirEntry readOnly = Entry(0, "A.TXT", 0, 0, {});
    readOnly.SetAttributes(CPM_ATTR_READ_ONLY | CPM_ATTR_ARCHIVE);
    cpm->WriteDirEntry(6, readOnly);
  }
  auto cpm = Open();
  const auto& list = cpm->FileList();
  std::vector<std::string> keys;
  for (int i = 0; i < list.Count(); ++i) keys.push_back(list.GetKey(i));
  EXPECT_EQ(keys, (std::vector<std::string>{"A.TXT:0", "BIG.DAT:3", "README:0", "X.COM:0", "X.COM:1"}));
  const TCpmDiskFileInfo* big = list.GetItem(list.IndexOf("big.dat:3"));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->Records, 133u);
  EXPECT_EQ(big->Extents, 2u);
  EXPECT_EQ(big->Blocks, 9u);
  EXPECT_EQ(list.GetItem(0)->Attributes, CPM_ATTR_READ_ONLY | CPM_ATTR_ARCHIVE);
  EXPECT_EQ(list.GetItem(0)->Name, "A.TXT") << "attribute bits are no part of the name";
  EXPECT_EQ(list.GetItem(99), nullptr);
  EXPECT_EQ(list.GetKey(-1), "");
  EXPECT_FALSE(cpm->FileExists("PIP.COM", 0));
  EXPECT_TRUE(cpm->FileExists("readme", 0));
  EXPECT_EQ(list.Allocation().FreeCount(), 504 - 12) << "the freed entry's block 50 stays free";
  EXPECT_FALSE(list.Allocation().IsUsed(50));

  TCpmDiskFileInfoList copy;
  cpm->CopyFileListTo(&copy);
  EXPECT_EQ(copy.Count(), 5);
  EXPECT_EQ(copy.Allocation().FreeCount(), list.Allocation().FreeCount());
  cpm->CopyFileListTo(nullptr);
}

TEST_F(CpmDiskDriveTest, EveryLivePointerIsMarkedUsed) {
  {
    auto cpm = Open();
    cpm->WriteDirEntry(0, Entry(0, "SPARSE.DAT", 0, 48, {30, 0, 31, 0, 0, 0, 0, 32}));
    cpm->WriteDirEntry(1, Entry(17, "OTHER.SYS", 0, 16, {40}));  // user 16-31 still owns its blocks
    TCpmDirEntry label = Entry(0x20, "LABEL", 0, 0, {41});
    cpm->WriteDirEntry(2, label);
  }
  auto cpm = Open();
  const auto& allocation = cpm->FileList().Allocation();
  EXPECT_TRUE(allocation.IsUsed(30));
  EXPECT_TRUE(allocation.IsUsed(31));
  EXPECT_TRUE(allocation.IsUsed(32));
  EXPECT_TRUE(allocation.IsUsed(40));
  EXPECT_FALSE(allocation.IsUsed(41)) << "a label entry holds no block pointers";
  EXPECT_EQ(cpm->FileList().Count(), 1) << "user 17 is not listed";
  // A new file must not land on any of them.
  Import(*cpm, "NEW.DAT", std::vector<unsigned char>(2048 * 40, 1));
  TCpmDirEntry entry;
  std::set<std::uint16_t> blocks;
  for (int e = 0; e < 256; ++e) {
    cpm->ReadDirEntry(e, entry);
    if (entry.FileName() == "NEW.DAT")
      for (int i = 0; i < 8; ++i) blocks.insert(entry.Pointer(i));
  }
  for (std::uint16_t live : {30, 31, 32, 40}) EXPECT_EQ(blocks.count(live), 0u) << "block " << live;
}

TEST(CpmDiskAllocationList, FirstFitUpToTheLastBlockOnTheDisk) {
  TCpmDiskFileInfoList list;
  auto& allocation = list.Allocation();
  EXPECT_EQ(allocation.AllocateBlock(), 4);
  EXPECT_EQ(allocation.AllocateBlock(), 5);
  allocation.MarkFree(4);
  allocation.MarkFree(4);
  EXPECT_EQ(allocation.FreeCount(), 503);
  EXPECT_EQ(allocation.AllocateBlock(), 4);
  while (allocation.FreeCount() > 0) ASSERT_LT(allocation.AllocateBlock(), 508);
  EXPECT_EQ(allocation.AllocateBlock(), TCpmDiskAllocationList::NO_BLOCK);
  allocation.MarkUsed(600);  // ignored
  EXPECT_EQ(allocation.FreeCount(), 0);
  list.Clear();
  EXPECT_EQ(allocation.FreeCount(), 504);
}

TEST_F(CpmDiskDriveTest, TextImportPadsWithCtrlZAndExportsExactly) {
  auto cpm = Open();
  const std::string text(300, 'T');
  int index = -1;
  EXPECT_EQ(Import(*cpm, "notes.txt", std::vector<unsigned char>(text.begin(), text.end()), 0, 0x1A, &index), 384);
  ASSERT_EQ(index, 0);
  const TCpmDiskFileInfo* info = cpm->FileList().GetItem(index);
  EXPECT_EQ(info->Name, "NOTES.TXT");
  EXPECT_EQ(info->Records, 3u);
  EXPECT_EQ(info->Blocks, 1u);
  const auto exported = Export(*cpm, "NOTES.TXT", 0, true);
  EXPECT_EQ(std::string(exported.begin(), exported.end()), text);
  const auto binary = Export(*cpm, "notes.txt", 0, false);
  ASSERT_EQ(binary.size(), 384u);
  EXPECT_EQ(std::count(binary.begin() + 300, binary.end(), 0x1A), 84);
}

TEST_F(CpmDiskDriveTest, LargeBinaryFilesSpanExtentsAndRoundTrip) {
  auto cpm = Open();
  const auto data = disk_test::Pattern(16385, 5);
  EXPECT_EQ(Import(*cpm, "BIG.BIN", data), 16512);
  TCpmDirEntry first;
  TCpmDirEntry second;
  cpm->ReadDirEntry(0, first);
  cpm->ReadDirEntry(1, second);
  EXPECT_EQ(first.RecordCount(), 128);
  EXPECT_EQ(first.UsedPointerCount(), 8);
  EXPECT_EQ(second.ExtentNumber(), 1);
  EXPECT_EQ(second.RecordCount(), 1);
  EXPECT_EQ(second.UsedPointerCount(), 1);
  auto exported = Export(*cpm, "BIG.BIN", 0, false);
  ASSERT_EQ(exported.size(), 16512u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), exported.begin()));
  EXPECT_TRUE(std::all_of(exported.begin() + 16385, exported.end(), [](unsigned char b) { return b == 0; }));

  std::vector<unsigned char> withCtrlZ(1000, 'a');
  withCtrlZ[10] = 0x1A;
  Import(*cpm, "Z.BIN", withCtrlZ);
  EXPECT_EQ(Export(*cpm, "Z.BIN", 0, false).size(), 1024u) << "binary export writes whole records";
  EXPECT_EQ(Export(*cpm, "Z.BIN", 0, true).size(), 10u);

  // Over 32 extents: S2 carries the high part of the extent number.
  const auto huge = disk_test::Pattern(33 * 16384 + 7, 6);
  Import(*cpm, "HUGE.BIN", huge);
  exported = Export(*cpm, "HUGE.BIN", 0, false);
  EXPECT_TRUE(std::equal(huge.begin(), huge.end(), exported.begin()));
  TCpmDirEntry entry;
  bool sawS2 = false;
  for (int e = 0; e < 256; ++e) {
    cpm->ReadDirEntry(e, entry);
    if (entry.FileName() == "HUGE.BIN" && entry.ExtentNumber() == 33) sawS2 = entry.Bytes[14] == 1 && entry.Bytes[12] == 1;
  }
  EXPECT_TRUE(sawS2);
}

TEST_F(CpmDiskDriveTest, ImportRefusesDuplicatesTakesEmptyFilesAndStopsAtTheEndOfTheStream) {
  auto cpm = Open();
  Import(*cpm, "ONE.TXT", {1, 2, 3});
  EXPECT_EQ(ErrorOf([&] { Import(*cpm, "one.txt", {4}); }), "A file named \"ONE.TXT\" already exists in user area 0!");
  EXPECT_NO_THROW(Import(*cpm, "ONE.TXT", {4}, 1)) << "another user area is another file";
  // An empty host file is an empty CP/M file: one entry, no records, no blocks.
  TMemoryStream empty;
  int index = 7;
  const auto freeBlocks = cpm->FileList().Allocation().FreeCount();
  EXPECT_EQ(cpm->ImportFile("EMPTY", empty, 0, index, 0, 0), 0);
  ASSERT_GE(index, 0);
  const TCpmDiskFileInfo* info = cpm->FileList().GetItem(index);
  EXPECT_EQ(info->Name, "EMPTY");
  EXPECT_EQ(info->Extents, 1u);
  EXPECT_EQ(info->Records, 0u);
  EXPECT_EQ(info->Blocks, 0u);
  EXPECT_EQ(cpm->FileList().Allocation().FreeCount(), freeBlocks);
  TMemoryStream exported;
  cpm->ExportFile("EMPTY", 0, false, exported);
  EXPECT_TRUE(exported.Data().empty());

  // The stream promises 100000 bytes but holds 1000.
  TMemoryStream shortStream(disk_test::Pattern(1000));
  const auto freeBefore = cpm->FileList().Allocation().FreeCount();
  EXPECT_EQ(cpm->ImportFile("SHORT.DAT", shortStream, 100000, index, 0, 0), 1024);
  EXPECT_EQ(cpm->FileList().GetItem(index)->Blocks, 1u);
  EXPECT_EQ(cpm->FileList().Allocation().FreeCount(), freeBefore - 1);
}

TEST_F(CpmDiskDriveTest, FullDirectoryOrDiskIsRefusedBeforeAnythingIsWritten) {
  auto cpm = Open();
  for (int i = 0; i < 255; ++i) {
    std::string name = "F";
    name += std::to_string(i);
    Import(*cpm, name, {static_cast<unsigned char>(i)});
  }
  const auto before = disk_test::ReadBytes(image);
  EXPECT_EQ(ErrorOf([&] { Import(*cpm, "TWO.EXT", std::vector<unsigned char>(16385, 1)); }),
            "Copy to CPM file failed, all available directory entries are used!");
  EXPECT_EQ(disk_test::ReadBytes(image), before);
  Import(*cpm, "LAST", {1});
  EXPECT_EQ(ErrorOf([&] { Import(*cpm, "MORE", {1}); }), "Copy to CPM file failed, all available directory entries are used!");

  TDiskDrive::FormatDriveFile(image);
  cpm = Open();
  Import(*cpm, "FILL.BIN", std::vector<unsigned char>(500 * 2048, 7));
  EXPECT_EQ(cpm->FileList().Allocation().FreeCount(), 4);
  const auto full = disk_test::ReadBytes(image);
  EXPECT_EQ(ErrorOf([&] { Import(*cpm, "BIG.BIN", std::vector<unsigned char>(5 * 2048, 1)); }),
            "Unable to write CPM file, not enough free space remaining!");
  EXPECT_EQ(disk_test::ReadBytes(image), full);
  EXPECT_EQ(Import(*cpm, "FITS.BIN", std::vector<unsigned char>(4 * 2048, 1)), 4 * 2048);
  EXPECT_EQ(cpm->FileList().Allocation().FreeCount(), 0);
}

TEST_F(CpmDiskDriveTest, NamesThatDifferOnlyInLetterCaseAreDifferentFiles) {
  auto cpm = Open();
  Import(*cpm, "UPPER.TXT", std::vector<unsigned char>(128, 'U'));
  // Another system wrote the same name in lower case, and a lone lower-case name.
  const auto lowerCaseEntry = [&](int index, const std::string& field, std::uint16_t block, unsigned char fill) {
    TCpmDirEntry entry = Entry(0, "X", 0, 1, {block});
    std::memcpy(entry.Bytes.data() + 1, field.data(), 11);
    cpm->WriteDirEntry(index, entry);
    std::vector<unsigned char> record(128, fill);
    cpm->Drive().Track = static_cast<std::uint16_t>(block * 16 / 32 + 2);
    cpm->Drive().Sector = static_cast<std::uint16_t>(block * 16 % 32);
    cpm->Drive().WriteSector(record.data());
  };
  lowerCaseEntry(10, "upper   txt", 100, 'l');
  lowerCaseEntry(11, "lone    txt", 101, 'o');
  cpm->ReadDirectory();
  ASSERT_EQ(cpm->FileList().Count(), 3) << "two spellings are two files";
  EXPECT_EQ(cpm->FileList().GetItem(cpm->FileList().IndexOf("upper.txt:0"))->Name, "upper.txt");
  EXPECT_EQ(cpm->FileList().GetItem(cpm->FileList().IndexOf("UPPER.TXT:0"))->Name, "UPPER.TXT");
  EXPECT_EQ(cpm->FileList().IndexOf("LONE.TXT:0"), cpm->FileList().IndexOf("lone.txt:0"));

  EXPECT_EQ(Export(*cpm, "UPPER.TXT", 0, false), std::vector<unsigned char>(128, 'U'));
  EXPECT_EQ(Export(*cpm, "upper.txt", 0, false), std::vector<unsigned char>(128, 'l'));
  EXPECT_EQ(Export(*cpm, "LONE.TXT", 0, false), std::vector<unsigned char>(128, 'o')) << "one spelling: case is no matter";
  EXPECT_NE(ErrorOf([&] { Export(*cpm, "Upper.Txt", 0, false); }).find("differ only in letter case"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { cpm->DeleteFile("Upper.Txt", 0); }).find("differ only in letter case"), std::string::npos);

  // Each operation changes the file meant and never its twin.
  cpm->SetFileAttributes("upper.txt", 0, CPM_ATTR_READ_ONLY, 0);
  const auto attributesOf = [&](const std::string& key) { return cpm->FileList().GetItem(cpm->FileList().IndexOf(key))->Attributes; };
  EXPECT_EQ(attributesOf("upper.txt:0"), CPM_ATTR_READ_ONLY);
  EXPECT_EQ(attributesOf("UPPER.TXT:0"), 0);
  cpm->RenameFile("upper.txt", "OTHER.TXT", 0);
  EXPECT_EQ(Export(*cpm, "OTHER.TXT", 0, false), std::vector<unsigned char>(128, 'l'));
  EXPECT_EQ(Export(*cpm, "UPPER.TXT", 0, false), std::vector<unsigned char>(128, 'U'));
  lowerCaseEntry(12, "upper   txt", 102, 'm');
  cpm->ReadDirectory();
  cpm->DeleteFile("UPPER.TXT", 0);
  EXPECT_EQ(Export(*cpm, "upper.txt", 0, false), std::vector<unsigned char>(128, 'm'));
  EXPECT_EQ(cpm->FileList().Count(), 3);
  auto reopened = Open();
  EXPECT_EQ(reopened->FileList().IndexOf("UPPER.TXT:0"), reopened->FileList().IndexOf("upper.txt:0"));
  EXPECT_EQ(reopened->FileList().GetItem(reopened->FileList().IndexOf("UPPER.TXT:0"))->Name, "upper.txt");
}

TEST_F(CpmDiskDriveTest, ReadOnlyDiskListsAndExportsButChangesNothing) {
  auto cpm = Open();
  Import(*cpm, "KEEP.TXT", disk_test::Pattern(3000));
  cpm.reset();
  const auto before = disk_test::ReadBytes(image);
  std::filesystem::permissions(image, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                          std::filesystem::perms::others_read);
  korvel_test::OpenFolderToAll(dir.Path());
  korvel_test::RunUnprivileged([&] {
    TCpmDiskDrive readOnly(image);
    ASSERT_EQ(readOnly.FileList().Count(), 1);
    const auto data = Export(readOnly, "KEEP.TXT", 0, false);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 3000, disk_test::Pattern(3000).begin()));
    const std::string refused = "Write to disk failed, the disk image is read-only!";
    EXPECT_EQ(ErrorOf([&] { Import(readOnly, "NEW.TXT", {1, 2, 3}); }), refused);
    EXPECT_EQ(ErrorOf([&] { Import(readOnly, "EMPTY.TXT", {}); }), refused);
    EXPECT_EQ(ErrorOf([&] { readOnly.DeleteFile("KEEP.TXT", 0); }), refused);
    EXPECT_EQ(ErrorOf([&] { readOnly.RenameFile("KEEP.TXT", "NEW.TXT", 0); }), refused);
    EXPECT_EQ(ErrorOf([&] { readOnly.SetFileAttributes("KEEP.TXT", 0, CPM_ATTR_SYSTEM, 3); }), refused);
    EXPECT_EQ(readOnly.FileList().Count(), 1);
  });
  EXPECT_EQ(disk_test::ReadBytes(image), before);
}

TEST_F(CpmDiskDriveTest, DiskFailurePartWayLeavesNoHalfWrittenFile) {
  // A short image on a host that lets files grow only to 40 tracks: the
  // directory works, blocks past that fail to be written.
  auto bytes = disk_test::ReadBytes(image);
  bytes.resize(40 * 32 * 128);
  disk_test::WriteBytes(image, bytes);
  EXPECT_EXIT(
      {
        disk_test::LimitFileSize(40 * 32 * 128);
        auto cpm = Open();
        Import(*cpm, "KEEP.ME", {1, 2, 3});
        int code = 0;
        try {
          Import(*cpm, "TOOBIG.DAT", disk_test::Pattern(40 * 16384));
        } catch (const EDiskError& error) {
          code = error.Code();
        }
        auto reopened = Open();
        const bool clean = code == 8 && !cpm->FileExists("TOOBIG.DAT", 0) && cpm->FileList().Count() == 1 &&
                           !reopened->FileExists("TOOBIG.DAT", 0) && reopened->FileExists("KEEP.ME", 0) &&
                           reopened->FileList().Allocation().FreeCount() == 503;
        std::exit(clean ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(std::filesystem::file_size(image), 40u * 32 * 128);
}

TEST_F(CpmDiskDriveTest, DeleteFreesOnlyBlocksNoOtherEntryNames) {
  auto cpm = Open();
  Import(*cpm, "A.DAT", std::vector<unsigned char>(3 * 2048, 1));
  Import(*cpm, "B.DAT", std::vector<unsigned char>(2048, 2));
  // A damaged entry: RC 200, a directory block and a block of B.DAT (block 7).
  cpm->WriteDirEntry(10, Entry(2, "BAD.DAT", 0, 200, {2, 7, 0, 40}));
  cpm->ReadDirectory();
  EXPECT_EQ(cpm->FileList().Allocation().FreeCount(), 504 - 5);
  cpm->DeleteFile("bad.dat", 2);
  EXPECT_TRUE(cpm->FileList().Allocation().IsUsed(2));
  EXPECT_TRUE(cpm->FileList().Allocation().IsUsed(7)) << "B.DAT still owns block 7";
  EXPECT_FALSE(cpm->FileList().Allocation().IsUsed(40));
  TCpmDirEntry entry;
  cpm->ReadDirEntry(10, entry);
  EXPECT_TRUE(std::all_of(entry.Bytes.begin(), entry.Bytes.end(), [](std::uint8_t b) { return b == 0xE5; }));
  cpm->DeleteFile("A.DAT", 0);
  EXPECT_EQ(cpm->FileList().Allocation().FreeCount(), 503);
  EXPECT_EQ(Export(*cpm, "B.DAT", 0, false), std::vector<unsigned char>(2048, 2));
  cpm->DeleteFile("NOTHERE", 0);
  EXPECT_EQ(cpm->FileList().Count(), 1);
}

TEST_F(CpmDiskDriveTest, RenameKeepsAttributesAndRefusesBadNames) {
  auto cpm = Open();
  Import(*cpm, "A.TXT", {1});
  Import(*cpm, "B.TXT", {2});
  cpm->SetFileAttributes("A.TXT", 0, CPM_ATTR_READ_ONLY | CPM_ATTR_SYSTEM, 0);
  const int index = cpm->RenameFile("a.txt", "new.txt", 0);
  ASSERT_GE(index, 0);
  EXPECT_EQ(cpm->FileList().GetKey(index), "NEW.TXT:0");
  EXPECT_EQ(cpm->FileList().GetItem(index)->Attributes, CPM_ATTR_READ_ONLY | CPM_ATTR_SYSTEM);
  EXPECT_EQ(Export(*cpm, "NEW.TXT", 0, false)[0], 1);
  EXPECT_EQ(ErrorOf([&] { cpm->RenameFile("NEW.TXT", "new.txt", 0); }), "The file \"NEW.TXT\" already exists!");
  EXPECT_EQ(ErrorOf([&] { cpm->RenameFile("B.TXT", "NEW.TXT", 0); }), "The file \"NEW.TXT\" already exists!");
  EXPECT_EQ(ErrorOf([&] { cpm->RenameFile("GONE.TXT", "X.TXT", 0); }), "The file \"GONE.TXT\" does not exist!");
  const std::vector<std::string> bad = {"", ".TXT", "LONGFILENAME.TXT", "A.TEXT", "A*.TXT", "A?", "A.B.C", "A:B",
                                        "A;B", "A<B", "A>B", "A=B", "A,B", "A[B", "A]B", "A|B", "A B",
                                        std::string("A\x01"), std::string("A\x7F"), std::string("\xC4" "B")};
  for (const auto& name : bad) {
    EXPECT_NE(ErrorOf([&] { cpm->RenameFile("B.TXT", name, 0); }), "") << "name \"" << name << "\"";
    EXPECT_NE(ErrorOf([&] { Import(*cpm, name, {1}); }), "") << "name \"" << name << "\"";
  }
  EXPECT_TRUE(cpm->FileExists("B.TXT", 0));
  EXPECT_EQ(cpm->FileList().Count(), 2);
  EXPECT_NO_THROW(cpm->RenameFile("B.TXT", "a-b_1.$$$", 0));
  EXPECT_TRUE(cpm->FileExists("A-B_1.$$$", 0));
}

TEST_F(CpmDiskDriveTest, AttributesAndUserAreasMoveTogether) {
  auto cpm = Open();
  Import(*cpm, "F.COM", std::vector<unsigned char>(20000, 3));
  Import(*cpm, "F.COM", {4}, 5);
  int index = cpm->SetFileAttributes("f.com", 0, CPM_ATTR_ARCHIVE, 1);
  EXPECT_EQ(cpm->FileList().GetKey(index), "F.COM:1");
  EXPECT_EQ(cpm->FileList().GetItem(index)->Attributes, CPM_ATTR_ARCHIVE);
  EXPECT_EQ(cpm->FileList().GetItem(index)->Extents, 2u) << "every extent moves";
  EXPECT_FALSE(cpm->FileExists("F.COM", 0));
  EXPECT_EQ(ErrorOf([&] { cpm->SetFileAttributes("F.COM", 1, 0, 5); }),
            "A file named \"F.COM\" already exists in user area 5!");
  EXPECT_EQ(ErrorOf([&] { cpm->SetFileAttributes("G.COM", 1, 0, 1); }), "The file \"G.COM\" does not exist!");
  EXPECT_NE(ErrorOf([&] { cpm->SetFileAttributes("F.COM", 1, 0, 17); }), "");
  index = cpm->SetFileAttributes("F.COM", 1, CPM_ATTR_ALL, 1);
  EXPECT_EQ(cpm->FileList().GetItem(index)->Attributes, CPM_ATTR_ALL);
  EXPECT_EQ(Export(*cpm, "F.COM", 1, false).size(), 20096u);
}

TEST_F(CpmDiskDriveTest, UserNumbersOutsideZeroToFifteenAreRefused) {
  auto cpm = Open();
  Import(*cpm, "A.TXT", {1});
  TMemoryStream out;
  for (int user : {-1, 16, 31, 229}) {
    EXPECT_THROW(Import(*cpm, "B.TXT", {1}, user), ECpmDiskError);
    EXPECT_THROW(cpm->ExportFile("A.TXT", user, false, out), ECpmDiskError);
    EXPECT_THROW(cpm->DeleteFile("A.TXT", user), ECpmDiskError);
    EXPECT_THROW(cpm->RenameFile("A.TXT", "C.TXT", user), ECpmDiskError);
    EXPECT_THROW(cpm->SetFileAttributes("A.TXT", user, 0, 0), ECpmDiskError);
    EXPECT_THROW(cpm->FileExists("A.TXT", user), ECpmDiskError);
  }
  EXPECT_EQ(ErrorOf([&] { cpm->ExportFile("NONE", 3, false, out); }), "Unable to locate file \"NONE\" in user area 3!");
}

TEST_F(CpmDiskDriveTest, ExportReportsAStreamThatRefusesData) {
  class TFullStream : public TMemoryStream {
   public:
    std::int64_t Write(const void*, std::int64_t count) override { return count / 2; }
  };
  auto cpm = Open();
  Import(*cpm, "A.TXT", {1, 2, 3});
  TFullStream full;
  EXPECT_EQ(ErrorOf([&] { cpm->ExportFile("A.TXT", 0, false, full); }), "Unable to save data read from CPM file to stream!");
}

TEST_F(CpmDiskDriveTest, PackDisksHoldTheirOwnFileSystems) {
  TDiskPack::CreatePackFile(dir / "p.cdp", 3);
  {
    TCpmDiskDrive disk2(dir / "p.cdp", 2);
    Import(disk2, "ON2.TXT", {2});
  }
  EXPECT_EQ(TCpmDiskDrive(dir / "p.cdp", 0).FileList().Count(), 0);
  TCpmDiskDrive disk2(dir / "p.cdp", 2);
  EXPECT_TRUE(disk2.FileExists("ON2.TXT", 0));
}

// Garbage directories: listing, exporting, importing and deleting must never
// crash, hang or write outside the file; failures are the system's exceptions.
void ExerciseDirectory(const std::filesystem::path& image, std::mt19937& random) {
  const auto sizeBefore = std::filesystem::file_size(image);
  std::unique_ptr<TCpmDiskDrive> cpm;
  try {
    cpm = std::make_unique<TCpmDiskDrive>(image);
  } catch (const EEmulatorError&) {
    return;
  }
  const auto& list = cpm->FileList();
  ASSERT_LE(list.Count(), 256);
  ASSERT_LE(list.Allocation().FreeCount(), 504);
  std::vector<std::pair<std::string, int>> files;
  for (int i = 0; i < list.Count(); ++i) {
    ASSERT_LE(list.GetItem(i)->User, 15);
    files.emplace_back(list.GetItem(i)->Name, list.GetItem(i)->User);
  }
  // Counts what an export writes without keeping it: garbage extent numbers
  // make files of up to 8 MiB.
  class TCountingSink : public TStream {
   public:
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void*, std::int64_t count) override {
      Size += count;
      return count;
    }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return Size; }
    std::int64_t Size = 0;
  };
  for (const auto& [name, user] : files) {
    for (bool text : {false, true}) {
      TCountingSink out;
      try {
        cpm->ExportFile(name, user, text, out);
        // Extent numbers reach 511: a random-access file may name any of them.
        ASSERT_LE(out.Size, 512 * 128 * 128);
      } catch (const EEmulatorError&) {
      }
    }
  }
  // Blocks named by any entry that owns blocks must never be given to a new file.
  std::set<std::uint16_t> live;
  TCpmDirEntry entry;
  for (int e = 0; e < 256; ++e) {
    cpm->ReadDirEntry(e, entry);
    if (entry.OwnsBlocks())
      for (int i = 0; i < 8; ++i) live.insert(entry.Pointer(i));
  }
  const std::string name = "FUZZ" + std::to_string(random() % 1000) + ".NEW";
  try {
    Import(*cpm, name, disk_test::Pattern(5000 + random() % 40000, random()), static_cast<int>(random() % 16));
  } catch (const EEmulatorError&) {
  }
  for (int e = 0; e < 256; ++e) {
    cpm->ReadDirEntry(e, entry);
    if (entry.FileName() != name) continue;
    for (int i = 0; i < 8; ++i) {
      if (entry.Pointer(i) != 0) {
        ASSERT_EQ(live.count(entry.Pointer(i)), 0u) << "new file took live block " << entry.Pointer(i);
      }
    }
  }
  if (!files.empty()) {
    const auto& [victim, user] = files[random() % files.size()];
    try {
      cpm->DeleteFile(victim, user);
      cpm->RenameFile(files.front().first, "RENAMED.X", files.front().second);
    } catch (const EEmulatorError&) {
    }
  }
  ASSERT_EQ(std::filesystem::file_size(image), sizeBefore);
}

TEST_F(CpmDiskDriveTest, DirectoryOfRandomBytesListsAndExportsWithoutCrash) {
  std::mt19937 random(12345);
  auto bytes = disk_test::ReadBytes(image);
  for (size_t i = 2 * 32 * 128; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(random());
  disk_test::WriteBytes(image, bytes);
  ExerciseDirectory(image, random);
}

TEST_F(CpmDiskDriveTest, FuzzedDirectorySectors) {
  std::mt19937 random(20261209);
  const std::streamoff directoryOffset = 2 * 32 * 128;
  for (int round = 0; round < 200; ++round) {
    // Plausible entries mixed with noise: small user numbers, printable names,
    // pointers near and past the valid range, extreme RC and extent bytes.
    std::vector<std::uint8_t> directory(256 * 32);
    for (int e = 0; e < 256; ++e) {
      std::uint8_t* entry = directory.data() + 32 * e;
      const auto kind = random() % 4;
      if (kind == 0) {
        std::fill(entry, entry + 32, 0xE5);
        continue;
      }
      for (int i = 0; i < 32; ++i) entry[i] = static_cast<std::uint8_t>(random());
      if (kind >= 2) {
        entry[0] = static_cast<std::uint8_t>(random() % 40);
        for (int i = 1; i < 12; ++i) entry[i] = static_cast<std::uint8_t>('A' + random() % 4 + (random() % 8 == 0 ? 0x80 : 0));
        for (int p = 0; p < 8; ++p) {
          const std::uint16_t block = static_cast<std::uint16_t>(random() % 4 == 0 ? 0 : random() % 530);
          entry[16 + 2 * p] = static_cast<std::uint8_t>(block & 0xFF);
          entry[17 + 2 * p] = static_cast<std::uint8_t>(block >> 8);
        }
      }
    }
    {
      std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(directoryOffset);
      file.write(reinterpret_cast<const char*>(directory.data()), static_cast<std::streamsize>(directory.size()));
    }
    ExerciseDirectory(image, random);
    if (HasFatalFailure()) FAIL() << "round " << round;
  }
}

}  // namespace

namespace {

// The host's names as the disk manager imports them: what CP/M can hold, never
// an empty or invalid name.
TEST(CpmFileNameTest, HostNamesBecomeValidCpmNames) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"LONGFILENAME.HTML", "LONGFILE.HTM"},
      {"report.text", "REPORT.TEX"},
      {"/home/user/readme", "README"},
      {".profile", "PROFILE"},
      {"..txt", "TXT"},
      {"a.b.c", "A_B.C"},
      {"my file.txt", "MY_FILE.TXT"},
      {"x*y?.c;d", "X_Y_.C_D"},
      {"na:me.t[t]", "NA_ME.T_T"},
      {"\xC3\xA4pfel.txt", "_PFEL.TXT"},
      {"ctl\x01.bin", "CTL_.BIN"},
      {"archive.", "ARCHIVE"},
      {"a-b_1.$$$", "A-B_1.$$$"},
  };
  for (const auto& [host, cpm] : cases) {
    EXPECT_EQ(HostToCpmFileName(host), cpm) << host;
    EXPECT_EQ(CheckCpmFileName(HostToCpmFileName(host)), cpm) << host;
  }
  for (const std::string host : {"", ".", "..", "...", "/tmp/.", "dir/"}) EXPECT_EQ(HostToCpmFileName(host), "") << host;
}

// Names from a directory are put into a folder chosen for an export: whatever
// a damaged or hostile directory holds, the file stays in that folder.
TEST(CpmFileNameTest, CpmNamesBecomeHostNamesInsideTheFolder) {
  EXPECT_EQ(CpmToHostFileName("PIP.COM"), "PIP.COM");
  EXPECT_EQ(CpmToHostFileName("README"), "README");
  EXPECT_EQ(CpmToHostFileName(".."), "__");
  EXPECT_EQ(CpmToHostFileName("."), "_");
  EXPECT_EQ(CpmToHostFileName(""), "_");
  EXPECT_EQ(CpmToHostFileName("../X"), ".._X");
  EXPECT_EQ(CpmToHostFileName("A/B.C"), "A_B.C");
  EXPECT_EQ(CpmToHostFileName("A\\B"), "A_B");
  EXPECT_EQ(CpmToHostFileName(std::string("A\x01\x1F\x7F", 4)), "A___");
  // What a crafted directory entry reads as, exported by name.
  TTempDir dir;
  const auto image = dir / "disk.cpmdsk";
  TDiskDrive::FormatDriveFile(image);
  TCpmDiskDrive cpm(image);
  TCpmDirEntry entry = Entry(0, "X", 0, 1, {4});
  std::memcpy(entry.Bytes.data() + 1, "..      ", 8);
  std::memcpy(entry.Bytes.data() + 9, "   ", 3);
  cpm.WriteDirEntry(0, entry);
  cpm.ReadDirectory();
  ASSERT_EQ(cpm.FileList().Count(), 1);
  EXPECT_EQ(cpm.FileList().GetItem(0)->Name, "..");
  const std::filesystem::path target = dir / "out" / CpmToHostFileName(cpm.FileList().GetItem(0)->Name);
  EXPECT_EQ(target.parent_path(), dir / "out");
  EXPECT_NE(target.filename(), "..");
}

TEST_F(CpmDiskDriveTest, SpaceForFileCountsWholeBlocksAndEntries) {
  // "blocks/entries"
  const auto space = [](std::int64_t size) {
    const auto result = TCpmDiskDrive::SpaceForFile(size);
    return std::to_string(result.Blocks) + "/" + std::to_string(result.DirEntries);
  };
  EXPECT_EQ(space(0), "0/1");
  EXPECT_EQ(space(1), "1/1");
  EXPECT_EQ(space(2048), "1/1");
  EXPECT_EQ(space(2049), "2/1");
  EXPECT_EQ(space(16384), "8/1");
  EXPECT_EQ(space(16385), "9/2");
  EXPECT_EQ(space(-5), "0/1");
  // What an import really takes is what SpaceForFile says.
  auto cpm = Open();
  EXPECT_EQ(cpm->FreeDirEntryCount(), 256);
  EXPECT_EQ(cpm->FreeBlockCount(), 504);
  for (const std::int64_t size : {0, 1, 2048, 2049, 16384, 16385, 40000}) {
    const int entries = cpm->FreeDirEntryCount();
    const int blocks = cpm->FreeBlockCount();
    std::string name(1, 'F');
    name += std::to_string(size);
    name += ".BIN";
    Import(*cpm, name, std::vector<unsigned char>(static_cast<size_t>(size), 7));
    const auto expected = TCpmDiskDrive::SpaceForFile(size);
    EXPECT_EQ(entries - cpm->FreeDirEntryCount(), expected.DirEntries) << size;
    EXPECT_EQ(blocks - cpm->FreeBlockCount(), expected.Blocks) << size;
  }
}

}  // namespace
