// The disk manager's files: import and export of host files as text and as
// binary, on a disk and on a disk of a pack, in a chosen user area; the room an
// import needs; host names CP/M cannot hold; exports that stay in the folder
// chosen; a write that fails part way; delete, rename, attributes and user
// areas as CP/M and cpmtools see them; and the text viewer.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <set>
#include <sstream>

#include "CpmTextReader.h"
#include "DiskManagerTestRig.h"

namespace {

using korvel_test::Bytes;
using korvel_test::CpmFile;
using korvel_test::Pattern;
using korvel_test::PutCpmFile;
using korvel_test::ReadBytes;
using korvel_test::TCpmTools;
using korvel_test::TDiskManagerRig;
using korvel_test::TMainWindowRig;

// Host text files: lines ending in CR LF, sizes that are no multiple of 128.
std::vector<uint8_t> TextOf(int Lines, const std::string& Word) {
  std::string Text;
  for (int Line = 0; Line < Lines; ++Line) Text += Word + " line " + std::to_string(Line) + " of the file\r\n";
  return Bytes(Text);
}

// The whole records of Original: its bytes, then Fill up to a multiple of 128.
std::vector<uint8_t> Padded(std::vector<uint8_t> Original, uint8_t Fill) {
  Original.resize((Original.size() + 127) / 128 * 128, Fill);
  return Original;
}

// Host text as CP/M text: a CR before each LF that has none.
std::vector<uint8_t> WithCrs(const std::vector<uint8_t>& Host) {
  std::vector<uint8_t> Cpm;
  for (size_t Index = 0; Index < Host.size(); ++Index) {
    if (Host[Index] == '\n' && (Index == 0 || Host[Index - 1] != '\r')) Cpm.push_back('\r');
    Cpm.push_back(Host[Index]);
  }
  return Cpm;
}

// The "Select Path" dialog answered with Folder and OK.
std::function<void(QDialog&)> ChooseFolder(const std::filesystem::path& Folder) {
  return [Folder](QDialog& Dialog) {
    auto& Select = dynamic_cast<TSelPathDlg&>(Dialog);
    Select.SetPath(QString::fromStdString(Folder.string()));
    ASSERT_EQ(Select.GetPath().toStdString(), Folder.string());
    Select.OkButton()->click();
  };
}

// The "Select Path" dialog answered as a user makes a new folder for an export:
// Parent chosen, "New Path" with the nested Name, then OK on the new folder.
std::function<void(QDialog&)> NewPathIn(const std::filesystem::path& Parent, const QString& Name) {
  return [Parent, Name](QDialog& Dialog) {
    auto& Select = dynamic_cast<TSelPathDlg&>(Dialog);
    Select.SetPath(QString::fromStdString(Parent.string()));
    ASSERT_EQ(Select.GetPath().toStdString(), Parent.string());
    QTest::mouseClick(Select.NewPathButton(), Qt::LeftButton);
    QInputDialog* Box = Select.NewPathBox();
    ASSERT_NE(Box, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Box));
    EXPECT_EQ(Box->windowTitle(), QStringLiteral("Create Directory Path"));
    QTest::keyClicks(Box->findChild<QLineEdit*>(), Name);
    QTest::keyClick(Box->findChild<QLineEdit*>(), Qt::Key_Return);
    ASSERT_EQ(Select.MessageBox(), nullptr) << Select.MessageBox()->informativeText().toStdString();
    const std::string Made = (Parent / Name.toStdString()).string();
    EXPECT_EQ(Select.GetPath().toStdString(), Made);
    EXPECT_EQ(Select.PathLabel()->text().toStdString(), Made);
    EXPECT_TRUE(Select.OkButton()->isEnabled());
    TMainWindowRig::Settle(2);
    korvel_test::SaveScreenshot(korvel_test::Rendered(Select), "DiskManager-export-new-path");
    QTest::mouseClick(Select.OkButton(), Qt::LeftButton);
  };
}

void ImportAndExportRoundTrip(TDiskManagerRig& Rig, const std::filesystem::path& Disk, int DiskIndex) {
  TMainOrvanta& Window = Rig.Window();
  const auto Letter = Rig.HostFile("in/letter.txt", TextOf(40, "letter"));  // 1400-odd bytes
  const auto Notes = Rig.HostFile("in/notes.text", TextOf(3, "notes"));
  const auto Program = Rig.HostFile("in/prog.com", Pattern(20000, 3));      // 1Ah and zeros inside
  const auto Empty = Rig.HostFile("in/empty.bin", {});
  const auto Large = Rig.HostFile("in/LONGFILENAME.HTML", Pattern(70000, 4));

  // Text into user area 3, binary into user area 7.
  Rig.Page().SetImportUserArea(3);
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Letter.string(), Notes.string()});
  Window.DM_ImportTextFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  const TMainFileRequest& Request = Rig.Rig.Dialogs.FileRequests.back();
  EXPECT_EQ(Request.Title, "Import Text Files");
  EXPECT_TRUE(Request.MustExist);
  Rig.Page().SetImportUserArea(7);
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Program.string(), Empty.string(), Large.string()});
  Window.DM_ImportBinaryFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  EXPECT_EQ(Rig.Rig.Dialogs.FileRequests.back().Title, "Import Binary Files");

  // Listed where they went; the last one imported is selected.
  for (const auto& [Name, User] : std::vector<std::pair<std::string, int>>{
           {"LETTER.TXT", 3}, {"NOTES.TEX", 3}, {"PROG.COM", 7}, {"EMPTY.BIN", 7}, {"LONGFILE.HTM", 7}})
    EXPECT_GE(Rig.RowOf(Name, User), 0) << Name;
  EXPECT_EQ(Rig.Page().DiskFileList->currentRow(), Rig.RowOf("LONGFILE.HTM", 7));
  // On the disk: text filled with ^Z, binary with zeros, whole records.
  EXPECT_EQ(CpmFile(Disk, "LETTER.TXT", 3, false, DiskIndex), Padded(ReadBytes(Letter), 0x1A));
  EXPECT_EQ(CpmFile(Disk, "PROG.COM", 7, false, DiskIndex), Padded(ReadBytes(Program), 0));
  EXPECT_EQ(CpmFile(Disk, "LONGFILE.HTM", 7, false, DiskIndex), Padded(ReadBytes(Large), 0));
  EXPECT_TRUE(CpmFile(Disk, "EMPTY.BIN", 7, false, DiskIndex).empty());

  // One file at a time through the save dialog: text and binary.
  const auto Out = Rig.File("out");
  std::filesystem::create_directories(Out);
  Rig.Select("LETTER.TXT", 3);
  Rig.Rig.Dialogs.FileAnswers.push_back((Out / "letter.txt").string());
  Window.DM_ExportTextFileAct->trigger();
  const TMainFileRequest& Save = Rig.Rig.Dialogs.FileRequests.back();
  EXPECT_EQ(Save.Title, "Export Text File");
  EXPECT_EQ(Save.FileName, "LETTER.TXT");
  EXPECT_TRUE(Save.OverwritePrompt);
  EXPECT_EQ(ReadBytes(Out / "letter.txt"), ReadBytes(Letter)) << "text up to the first ^Z";
  EXPECT_EQ(Window.ExportFolder, Out.string() + "/");
  Rig.Select("PROG.COM", 7);
  Rig.Rig.Dialogs.FileAnswers.push_back((Out / "prog.com").string());
  Window.DM_ExportBinaryFileAct->trigger();
  EXPECT_EQ(ReadBytes(Out / "prog.com"), Padded(ReadBytes(Program), 0)) << "every record whole";

  // Several files into a folder that "New Path" makes on the way, two levels
  // deep: binary export of all five.
  const auto All = Rig.File("all/2024/05");
  std::filesystem::create_directories(Rig.File("all"));
  Rig.Select({{"LETTER.TXT", 3}, {"NOTES.TEX", 3}, {"PROG.COM", 7}, {"EMPTY.BIN", 7}, {"LONGFILE.HTM", 7}});
  Rig.Rig.Dialogs.DialogAnswers.push_back(NewPathIn(Rig.File("all"), QStringLiteral("2024/05")));
  Window.DM_ExportBinaryFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  EXPECT_EQ(Window.ExportFolder, All.string() + "/");
  EXPECT_EQ(ReadBytes(All / "LETTER.TXT"), Padded(ReadBytes(Letter), 0x1A));
  EXPECT_EQ(ReadBytes(All / "NOTES.TEX"), Padded(ReadBytes(Notes), 0x1A));
  EXPECT_EQ(ReadBytes(All / "PROG.COM"), Padded(ReadBytes(Program), 0));
  EXPECT_EQ(ReadBytes(All / "LONGFILE.HTM"), Padded(ReadBytes(Large), 0));
  EXPECT_TRUE(std::filesystem::exists(All / "EMPTY.BIN"));
  EXPECT_TRUE(ReadBytes(All / "EMPTY.BIN").empty());

  // Again as text: each file is asked about, in the list's order: Yes, No,
  // All (and the rest without asking).
  Rig.Select({{"EMPTY.BIN", 7}, {"LETTER.TXT", 3}, {"NOTES.TEX", 3}, {"PROG.COM", 7}});
  Rig.Rig.Dialogs.DialogAnswers.push_back(ChooseFolder(All));
  Rig.Dialogs.ChooseAnswers = {0, 1, 3};
  Window.DM_ExportTextFileAct->trigger();
  ASSERT_EQ(Rig.Dialogs.Choices.size(), 3u);
  EXPECT_EQ(Rig.Dialogs.Choices[0], "Overwrite existing file \"EMPTY.BIN\"?|Yes|No|Cancel|All");
  EXPECT_EQ(Rig.Dialogs.Choices[1], "Overwrite existing file \"LETTER.TXT\"?|Yes|No|Cancel|All");
  EXPECT_EQ(Rig.Dialogs.Choices[2], "Overwrite existing file \"NOTES.TEX\"?|Yes|No|Cancel|All");
  EXPECT_EQ(ReadBytes(All / "LETTER.TXT"), Padded(ReadBytes(Letter), 0x1A)) << "No: kept";
  EXPECT_EQ(ReadBytes(All / "NOTES.TEX"), ReadBytes(Notes)) << "All: text up to ^Z";
  const std::vector<uint8_t> ProgramBytes = ReadBytes(Program);
  const auto FirstEof = std::find(ProgramBytes.begin(), ProgramBytes.end(), 0x1A);
  EXPECT_EQ(ReadBytes(All / "PROG.COM"), std::vector<uint8_t>(ProgramBytes.begin(), FirstEof));
  // Cancel ends the export there.
  std::filesystem::remove(All / "NOTES.TEX");
  Rig.Select({{"LETTER.TXT", 3}, {"NOTES.TEX", 3}});
  Rig.Rig.Dialogs.DialogAnswers.push_back(ChooseFolder(All));
  Rig.Dialogs.ChooseAnswers = {2};
  Window.DM_ExportTextFileAct->trigger();
  EXPECT_EQ(Rig.Dialogs.Choices.size(), 4u);
  EXPECT_FALSE(std::filesystem::exists(All / "NOTES.TEX"));
}

TEST(DiskManagerFilesTest, ImportsAndExportsTextAndBinaryInAUserArea) {
  TDiskManagerRig Rig;
  const auto Disk = Rig.MakeDisk("disk.cpmdsk");
  Rig.Open(Disk);
  ImportAndExportRoundTrip(Rig, Disk, -1);
  TMainWindowRig::Settle(3);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Rig.Window()), "DiskManager-imported");
}

TEST(DiskManagerFilesTest, ImportsAndExportsOnADiskOfAPack) {
  TDiskManagerRig Rig;
  const auto Pack = Rig.MakePack("pack.cdp", 4);
  Rig.Open(Pack, 2);
  ASSERT_EQ(Rig.Window().DiskManagerPackIndex, 2);
  ImportAndExportRoundTrip(Rig, Pack, 2);
  // The other disks of the pack are as they were.
  for (const int Other : {0, 1, 3}) EXPECT_EQ(TCpmDiskDrive(Pack, Other).FileList().Count(), 0) << Other;
}

TEST(DiskManagerFilesTest, TheRoomCheckCountsWholeBlocksAndDirectoryEntries) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  const auto Disk = Rig.MakeDisk("disk.cpmdsk");
  // 504 blocks free; fill all but 3.
  PutCpmFile(Disk, "FILLER.BIN", std::vector<uint8_t>(501 * 2048, 1), 0, -1, 0);
  Rig.Open(Disk);
  ASSERT_EQ(Rig.Page().StatusPanels[3]->text(), "6,144");

  // Exactly the free space: imported.
  const auto Exact = Rig.HostFile("exact.bin", Pattern(3 * 2048, 1));
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Exact.string()});
  Window.DM_ImportBinaryFileAct->trigger();
  EXPECT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  EXPECT_EQ(Rig.Page().StatusPanels[3]->text(), "0");
  Rig.Rig.Dialogs.AskAnswers.push_back(true);
  Rig.Select("EXACT.BIN");
  Window.DM_DeleteFileAct->trigger();

  // One byte more: nothing at all.
  const auto Over = Rig.HostFile("over.bin", Pattern(3 * 2048 + 1, 2));
  const auto Small = Rig.HostFile("small.bin", Pattern(10, 3));
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Small.string(), Over.string()});
  Window.DM_ImportBinaryFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 1u);
  EXPECT_EQ(Rig.LastMessage(), "The files to be copied require more space then is available on the disk!");
  EXPECT_FALSE(TCpmDiskDrive(Disk).FileExists("SMALL.BIN", 0));
  // Four files of 10 bytes are 40 bytes, but four blocks: refused too.
  std::vector<std::string> Four;
  for (int Index = 0; Index < 4; ++Index)
    Four.push_back(Rig.HostFile(std::string("four").append(std::to_string(Index)).append(".bin"), Pattern(10, 4)).string());
  Rig.Dialogs.FilesAnswers.push_back(Four);
  Window.DM_ImportBinaryFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 2u);
  EXPECT_EQ(Rig.LastMessage(), "The files to be copied require more space then is available on the disk!");
  EXPECT_EQ(TCpmDiskDrive(Disk).FileList().Count(), 1);

  // A directory with one entry free: two empty files need two.
  const auto Full = Rig.MakeDisk("full.cpmdsk");
  {
    TCpmDiskDrive Drive(Full);
    for (int Index = 0; Index < 255; ++Index) {
      TMemoryStream In;
      int Row = -1;
      Drive.ImportFile(std::string("F").append(std::to_string(Index)), In, 0, Row, 0, 0);
    }
  }
  Rig.Open(Full);
  const auto E1 = Rig.HostFile("e1.bin", {});
  const auto E2 = Rig.HostFile("e2.bin", {});
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{E1.string(), E2.string()});
  Window.DM_ImportBinaryFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 3u);
  EXPECT_NE(Rig.LastMessage().find("directory entries"), std::string::npos) << Rig.LastMessage();
  EXPECT_EQ(TCpmDiskDrive(Full).FreeDirEntryCount(), 1);
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{E1.string()});
  Window.DM_ImportBinaryFileAct->trigger();
  EXPECT_EQ(Rig.MessageCount(), 3u) << Rig.LastMessage();
  EXPECT_EQ(TCpmDiskDrive(Full).FreeDirEntryCount(), 0);
}

TEST(DiskManagerFilesTest, ImportTextEndsEveryLineWithCrLfAndTheRoomCheckCountsTheCrsAdded) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  const auto Disk = Rig.MakeDisk("disk.cpmdsk");
  Rig.Open(Disk);

  // A host text with LF line ends: its first line's CR ends the first record,
  // an empty line, lines of every length.
  std::string Unix = std::string(127, 'a') + "\n\n";
  for (int Line = 0; Unix.size() < 9000; ++Line)
    Unix += std::string(Line % 41, static_cast<char>('b' + Line % 20)) + "\n";
  // A text that starts with an LF, whose CR LF pair is split between two of
  // the chunks the import reads from the host, an LF that starts a chunk
  // without a CR before it, and a lone CR that ends one.
  constexpr size_t Chunk = TCpmTextReader::ChunkSize;
  std::string Split(3 * Chunk + 100, 'x');
  for (size_t At = 50; At < Split.size(); At += 61) Split[At] = '\n';
  Split[0] = '\n';
  Split[Chunk - 1] = '\r';
  Split[Chunk] = '\n';
  Split[2 * Chunk - 1] = 'x';
  Split[2 * Chunk] = '\n';
  Split[3 * Chunk - 1] = '\r';
  Split[3 * Chunk] = 'y';
  const auto UnixFile = Rig.HostFile("unix.txt", Bytes(Unix));
  const auto SplitFile = Rig.HostFile("split.txt", Bytes(Split));
  const auto DosFile = Rig.HostFile("dos.txt", TextOf(40, "dos"));
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{UnixFile.string(), SplitFile.string(), DosFile.string()});
  Window.DM_ImportTextFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  TMainWindowRig::Settle(2);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "DiskManager-imported-text");

  // On the disk: CR LF line ends, a CR LF text as it was, ^Z after the end;
  // the page lists the records of the text with its CRs.
  const std::vector<uint8_t> UnixOnCpm = WithCrs(Bytes(Unix));
  ASSERT_EQ(UnixOnCpm.size(), Unix.size() + static_cast<size_t>(std::count(Unix.begin(), Unix.end(), '\n')));
  std::istringstream Listed(Rig.Lines()[static_cast<size_t>(Rig.RowOf("UNIX.TXT"))]);
  std::string User, Name, Attributes;
  size_t Records = 0;
  Listed >> User >> Name >> Attributes >> Records;
  EXPECT_EQ(Records, (UnixOnCpm.size() + 127) / 128) << Listed.str();
  EXPECT_EQ(CpmFile(Disk, "UNIX.TXT"), Padded(UnixOnCpm, 0x1A));
  EXPECT_EQ(CpmFile(Disk, "SPLIT.TXT"), Padded(WithCrs(Bytes(Split)), 0x1A));
  EXPECT_EQ(CpmFile(Disk, "DOS.TXT"), Padded(ReadBytes(DosFile), 0x1A));
  if (korvel_test::HaveCpmTools()) {
    // cpmtools reads the same bytes, and its text mode gives the host text back.
    TCpmTools Tools(Rig.File("tools"));
    const auto Quoted = TCpmTools::Quoted(Disk);
    ASSERT_EQ(Tools.Run("cpmcp -f emu1m " + Quoted + " 0:unix.txt binary"), 0) << Tools.Output;
    EXPECT_EQ(ReadBytes(Tools.Folder() / "binary"), Padded(UnixOnCpm, 0x1A));
    ASSERT_EQ(Tools.Run("cpmcp -f emu1m -t " + Quoted + " 0:unix.txt text"), 0) << Tools.Output;
    EXPECT_EQ(ReadBytes(Tools.Folder() / "text"), Bytes(Unix));
  }

  // A text that fits as binary but not with its CRs: refused before anything
  // is written, and imported as binary it is copied as it is.
  const auto Tight = Rig.MakeDisk("tight.cpmdsk");
  PutCpmFile(Tight, "FILLER.BIN", std::vector<uint8_t>(503 * 2048, 1), 0, -1, 0);
  Rig.Open(Tight);
  std::string Lines;
  while (Lines.size() < 2000) Lines += "a short line\n";
  ASSERT_LE(Lines.size(), 2048u);
  ASSERT_GT(WithCrs(Bytes(Lines)).size(), 2048u);
  const auto LinesFile = Rig.HostFile("lines.txt", Bytes(Lines));
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{LinesFile.string()});
  Window.DM_ImportTextFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 1u);
  EXPECT_EQ(Rig.LastMessage(), "The files to be copied require more space then is available on the disk!");
  EXPECT_FALSE(TCpmDiskDrive(Tight).FileExists("LINES.TXT", 0));
  EXPECT_EQ(TCpmDiskDrive(Tight).FreeBlockCount(), 1);
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{LinesFile.string()});
  Window.DM_ImportBinaryFileAct->trigger();
  EXPECT_EQ(Rig.MessageCount(), 1u) << Rig.LastMessage();
  EXPECT_EQ(CpmFile(Tight, "LINES.TXT"), Padded(Bytes(Lines), 0));
}

TEST(DiskManagerFilesTest, HostNamesCpmCannotHoldAreMappedOrRefused) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  const auto Disk = Rig.MakeDisk("disk.cpmdsk");
  Rig.Open(Disk);
  const auto Profile = Rig.HostFile("names/.profile", Bytes("export A=1\n"));
  const auto Spaced = Rig.HostFile("names/my notes.txt", Bytes("notes"));
  const auto Long = Rig.HostFile("names/LONGFILENAME.HTML", Bytes("<html>"));
  const auto Dots = Rig.HostFile("names/a.b.c", Bytes("abc"));
  Rig.Dialogs.FilesAnswers.push_back(
      std::vector<std::string>{Profile.string(), Spaced.string(), Long.string(), Dots.string()});
  Window.DM_ImportTextFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 1u);
  EXPECT_EQ(Rig.Rig.Dialogs.Messages[0].first, TMachineMessageKind::Information);
  EXPECT_EQ(Rig.LastMessage(), "Host file names that CPM can not hold were changed:\n.profile as PROFILE\n"
                               "my notes.txt as MY_NOTES.TXT\na.b.c as A_B.C");
  for (const char* Name : {"PROFILE", "MY_NOTES.TXT", "LONGFILE.HTM", "A_B.C"})
    EXPECT_GE(Rig.RowOf(Name), 0) << Name;
  EXPECT_EQ(CpmFile(Disk, "PROFILE", 0, true), Bytes("export A=1\r\n"));

  // No name left at all: refused, nothing imported, no empty entry.
  const auto Nothing = Rig.HostFile("names/...", Bytes("dots"));
  const auto Fine = Rig.HostFile("names/fine.txt", Bytes("fine"));
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Fine.string(), Nothing.string()});
  Window.DM_ImportTextFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 2u);
  EXPECT_NE(Rig.LastMessage().find("\"...\" leaves no CPM file name"), std::string::npos) << Rig.LastMessage();
  EXPECT_FALSE(TCpmDiskDrive(Disk).FileExists("FINE.TXT", 0));
  // Two host files that would get one name: refused before anything is written.
  const auto Twin = Rig.HostFile("names/fine.txx", Bytes("twin"));
  const auto Twin2 = Rig.HostFile("names/FINE.TXXX", Bytes("twin"));
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Fine.string(), Twin.string(), Twin2.string()});
  Window.DM_ImportTextFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 3u);
  EXPECT_NE(Rig.LastMessage().find("would both be named \"FINE.TXX\""), std::string::npos) << Rig.LastMessage();
  EXPECT_FALSE(TCpmDiskDrive(Disk).FileExists("FINE.TXT", 0));
  // A name already on the disk in that user area.
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Fine.string(), Long.string()});
  Window.DM_ImportTextFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 4u);
  EXPECT_EQ(Rig.LastMessage().substr(0, 28), "The CPM file already exists!");
  EXPECT_FALSE(TCpmDiskDrive(Disk).FileExists("FINE.TXT", 0));
  // ... but another user area is another directory.
  Rig.Page().SetImportUserArea(1);
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Long.string()});
  Window.DM_ImportTextFileAct->trigger();
  EXPECT_EQ(Rig.MessageCount(), 4u) << Rig.LastMessage();
  EXPECT_GE(Rig.RowOf("LONGFILE.HTM", 1), 0);
  {
    TCpmDiskDrive Drive(Disk);
    for (int Entry = 0; Entry < 256; ++Entry) {
      TCpmDirEntry Bytes;
      Drive.ReadDirEntry(Entry, Bytes);
      if (Bytes.IsFree()) continue;
      EXPECT_NO_THROW(CheckCpmFileName(Bytes.FileName())) << Bytes.FileName();
    }
  }
}

TEST(DiskManagerFilesTest, ExportsNeverLeaveTheFolderChosen) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  const auto Disk = Rig.MakeDisk("hostile.cpmdsk");
  PutCpmFile(Disk, "X1", Bytes("dots"));
  PutCpmFile(Disk, "X2", Bytes("slash"));
  PutCpmFile(Disk, "X3", Bytes("control"));
  {
    // Names no CP/M program writes, but a damaged or made-up directory holds.
    TCpmDiskDrive Drive(Disk);
    for (int Entry = 0; Entry < 3; ++Entry) {
      TCpmDirEntry Bytes;
      Drive.ReadDirEntry(Entry, Bytes);
      const char* Names[] = {"..         ", "../ETC     ", "A\x01/B    TXT"};
      std::memcpy(Bytes.Bytes.data() + 1, Names[Entry], 11);
      Drive.WriteDirEntry(Entry, Bytes);
    }
  }
  Rig.Open(Disk);
  ASSERT_EQ(Rig.Lines().size(), 3u);
  const auto Folder = Rig.File("exports/inner");
  std::filesystem::create_directories(Folder);
  std::set<std::string> Outside;
  for (const auto& Entry : std::filesystem::directory_iterator(Rig.File("exports"))) Outside.insert(Entry.path().string());

  Rig.Select({{"..", 0}, {"../ETC", 0}, {"A\x01/B.TXT", 0}});
  Rig.Rig.Dialogs.DialogAnswers.push_back(ChooseFolder(Folder));
  Window.DM_ExportBinaryFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  std::set<std::string> Inside;
  for (const auto& Entry : std::filesystem::directory_iterator(Folder)) Inside.insert(Entry.path().filename().string());
  EXPECT_EQ(Inside, (std::set<std::string>{"__", ".._ETC", "A__B.TXT"}));
  std::set<std::string> After;
  for (const auto& Entry : std::filesystem::directory_iterator(Rig.File("exports"))) After.insert(Entry.path().string());
  EXPECT_EQ(After, Outside) << "nothing beside the folder chosen";
  EXPECT_EQ(ReadBytes(Folder / "__"), Padded(Bytes("dots"), 0x1A));

  // One file: the save dialog offers a name that stays where the dialog is.
  Rig.Select("..");
  Window.DM_ExportTextFileAct->trigger();
  EXPECT_EQ(Rig.Rig.Dialogs.FileRequests.back().FileName, "__");
}

TEST(DiskManagerFilesTest, AWriteThatFailsKeepsTheFilesBeforeAndRemovesTheHalfWrittenOne) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  // An image that ends after its directory (as mkfs.cpm writes them): it grows
  // as files are written, and the host lets it grow to 48 KiB only.
  const auto Disk = Rig.MakeDisk("short.cpmdsk");
  std::filesystem::resize_file(Disk, 4 * 32 * 128);
  const auto First = Rig.HostFile("first.txt", TextOf(60, "first"));
  const auto Second = Rig.HostFile("second.bin", Pattern(100000, 9));  // 49 blocks, 7 entries
  const auto Third = Rig.HostFile("third.txt", TextOf(3, "third"));
  Rig.Open(Disk);
  {
    korvel_test::TFileSizeLimit Limit(48 * 1024);
    Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{First.string(), Second.string(), Third.string()});
    Window.DM_ImportTextFileAct->trigger();
  }
  ASSERT_EQ(Rig.MessageCount(), 1u);
  EXPECT_EQ(Rig.Rig.Dialogs.Messages.back().first, TMachineMessageKind::Error);
  EXPECT_NE(Rig.LastMessage().find("Write to disk failed"), std::string::npos) << Rig.LastMessage();
  // The first file whole, no entry of the second, the third never started.
  EXPECT_EQ(Rig.Lines().size(), 1u);
  EXPECT_GE(Rig.RowOf("FIRST.TXT"), 0);
  TCpmDiskDrive Drive(Disk);
  EXPECT_EQ(Drive.FileList().Count(), 1);
  EXPECT_FALSE(Drive.FileExists("SECOND.BIN", 0));
  EXPECT_EQ(Drive.FreeDirEntryCount(), 255);
  EXPECT_EQ(Drive.FreeBlockCount(), 504 - TCpmDiskDrive::SpaceForFile(static_cast<int64_t>(ReadBytes(First).size())).Blocks);
  EXPECT_EQ(CpmFile(Disk, "FIRST.TXT", 0, true), ReadBytes(First));
  if (korvel_test::HaveCpmTools()) {
    TCpmTools Tools(Rig.File("tools"));
    std::filesystem::resize_file(Disk, 1048576);  // cpmtools reads whole images
    EXPECT_EQ(Tools.Run("fsck.cpm -f emu1m -n " + TCpmTools::Quoted(Disk)), 0) << Tools.Output;
  }
}

TEST(DiskManagerFilesTest, DeleteRenameAttributesAndUserAreasAreWhatCpmtoolsSees) {
  if (!korvel_test::HaveCpmTools()) GTEST_SKIP() << "cpmtools is not installed (Debian package cpmtools); skipping";
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  TDiskManagerPage& Page = Rig.Page();
  TCpmTools Tools(Rig.File("tools"));
  const auto Disk = Rig.MakeDisk("disk.cpmdsk");
  const auto Quoted = TCpmTools::Quoted(Disk);

  // cpmtools writes, the page reads. (cpmtools keeps the exact length of a
  // file; CP/M, and so the page, whole records: a text of whole records
  // compares exactly both ways.)
  std::vector<uint8_t> ReadmeText = TextOf(60, "readme");
  ReadmeText.resize(ReadmeText.size() / 128 * 128);
  ReadmeText.back() = '\n';
  const auto Readme = Rig.HostFile("readme.txt", ReadmeText);
  const auto Data = Rig.HostFile("data.bin", Pattern(33333, 5));
  ASSERT_EQ(Tools.Run("cpmcp -f emu1m " + Quoted + " " + TCpmTools::Quoted(Readme) + " 0:readme.txt"), 0)
      << Tools.Output;
  ASSERT_EQ(Tools.Run("cpmcp -f emu1m " + Quoted + " " + TCpmTools::Quoted(Data) + " 4:data.bin"), 0) << Tools.Output;
  ASSERT_EQ(Tools.Run("cpmchattr -f emu1m " + Quoted + " s 4:data.bin"), 0) << Tools.Output;
  Rig.Open(Disk);
  ASSERT_EQ(Rig.Lines().size(), 2u);
  EXPECT_GE(Rig.RowOf("README.TXT", 0), 0);
  ASSERT_GE(Rig.RowOf("DATA.BIN", 4), 0);
  EXPECT_EQ(Rig.Lines()[static_cast<size_t>(Rig.RowOf("DATA.BIN", 4))].substr(0, 23), " 4        DATA.BIN  rSa");
  const auto Out = Rig.File("out");
  std::filesystem::create_directories(Out);
  Rig.Select("README.TXT");
  Rig.Rig.Dialogs.FileAnswers.push_back((Out / "readme.txt").string());
  Window.DM_ExportTextFileAct->trigger();
  EXPECT_EQ(ReadBytes(Out / "readme.txt"), ReadBytes(Readme));
  Rig.Select("DATA.BIN", 4);
  Rig.Rig.Dialogs.FileAnswers.push_back((Out / "data.bin").string());
  Window.DM_ExportBinaryFileAct->trigger();
  const std::vector<uint8_t> DataIn = ReadBytes(Data);
  const std::vector<uint8_t> DataOut = ReadBytes(Out / "data.bin");
  ASSERT_EQ(DataOut.size(), Padded(DataIn, 0).size());
  EXPECT_TRUE(std::equal(DataIn.begin(), DataIn.end(), DataOut.begin()));

  // The page writes, cpmtools reads.
  const auto Letter = Rig.HostFile("letter.txt", TextOf(50, "letter"));
  const auto Prog = Rig.HostFile("prog.com", Pattern(17000, 6));
  const auto Gone = Rig.HostFile("gone.tmp", Pattern(3000, 7));
  Rig.Page().SetImportUserArea(2);
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Letter.string()});
  Window.DM_ImportTextFileAct->trigger();
  Rig.Page().SetImportUserArea(0);
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Prog.string(), Gone.string()});
  Window.DM_ImportBinaryFileAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();

  // Delete, rename, attributes and a move to another user area.
  Rig.Select("GONE.TMP");
  Rig.Rig.Dialogs.AskAnswers.push_back(true);
  Window.DM_DeleteFileAct->trigger();
  Rig.Select("PROG.COM");
  Rig.Rig.Dialogs.TextAnswers.push_back(std::string("renamedprogram.command"));
  Window.DM_RenameFileAct->trigger();
  EXPECT_EQ(Rig.Rig.Dialogs.TextPrompts.back(), "Rename File|Old File Name: PROG.COM|PROG.COM");
  ASSERT_GE(Rig.RowOf("RENAMEDP.COM"), 0) << "cut to CP/M form";
  EXPECT_EQ(Page.DiskFileList->currentRow(), Rig.RowOf("RENAMEDP.COM"));
  // Read-only and system on RENAMEDP.COM, moved to user 9.
  Rig.Select("RENAMEDP.COM");
  Rig.Rig.Dialogs.DialogAnswers.push_back([](QDialog& Dialog) {
    auto& Attributes = dynamic_cast<TSetAttributesDlg&>(Dialog);
    EXPECT_EQ(Attributes.FileLabel()->text(), "RENAMEDP.COM");
    EXPECT_EQ(Attributes.UserAreaList()->currentText(), "User 0");
    Attributes.AttributeBox(0)->setChecked(true);
    Attributes.AttributeBox(1)->setChecked(true);
    Attributes.UserAreaList()->setCurrentIndex(Attributes.UserAreaList()->findData(9));
    korvel_test::SaveScreenshot(korvel_test::Rendered(Attributes), "DiskManager-SetAttributesDlg");
    Attributes.OkButton()->click();
  });
  Window.DM_SetAttributesAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  ASSERT_GE(Rig.RowOf("RENAMEDP.COM", 9), 0);
  EXPECT_TRUE(Page.DiskFileList->item(Rig.RowOf("RENAMEDP.COM", 9))->isSelected());
  // Two files of two areas with different attributes: grayed boxes and "No
  // Change"; archive set on both, everything else each file's own.
  Rig.Select({{"RENAMEDP.COM", 9}, {"LETTER.TXT", 2}});
  Rig.Rig.Dialogs.DialogAnswers.push_back([](QDialog& Dialog) {
    auto& Attributes = dynamic_cast<TSetAttributesDlg&>(Dialog);
    EXPECT_EQ(Attributes.FileLabel()->text(), "(2 files selected)");
    EXPECT_EQ(Attributes.UserAreaList()->currentText(), "No Change");
    EXPECT_EQ(Attributes.AttributeBox(0)->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(Attributes.AttributeBox(1)->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(Attributes.AttributeBox(2)->checkState(), Qt::Unchecked);
    Attributes.AttributeBox(2)->setChecked(true);
    korvel_test::SaveScreenshot(korvel_test::Rendered(Attributes), "DiskManager-SetAttributesDlg-mixed");
    Attributes.OkButton()->click();
  });
  Window.DM_SetAttributesAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  EXPECT_EQ(Page.SelectedCount(), 2);

  // The directory bytes as CP/M reads them.
  {
    TCpmDiskDrive Drive(Disk);
    for (int Entry = 0; Entry < 256; ++Entry) {
      TCpmDirEntry Bytes;
      Drive.ReadDirEntry(Entry, Bytes);
      if (Bytes.IsFree()) continue;
      const std::string Name = Bytes.FileName();
      EXPECT_NE(Name, "GONE.TMP");
      EXPECT_NE(Name, "PROG.COM");
      if (Name == "RENAMEDP.COM") {
        EXPECT_EQ(Bytes.User(), 9);
        EXPECT_EQ(Bytes.Bytes[9] & 0x80, 0x80) << "read-only";
        EXPECT_EQ(Bytes.Bytes[10] & 0x80, 0x80) << "system";
        EXPECT_EQ(Bytes.Bytes[11] & 0x80, 0x80) << "archive";
      }
      if (Name == "LETTER.TXT") {
        EXPECT_EQ(Bytes.User(), 2);
        EXPECT_EQ(Bytes.Bytes[9] & 0x80, 0);
        EXPECT_EQ(Bytes.Bytes[10] & 0x80, 0);
        EXPECT_EQ(Bytes.Bytes[11] & 0x80, 0x80);
      }
    }
  }
  // ... and as cpmtools lists and copies them.
  EXPECT_EQ(Tools.Run("fsck.cpm -f emu1m -n " + Quoted), 0) << Tools.Output;
  ASSERT_EQ(Tools.Run("cpmls -f emu1m -l " + Quoted), 0) << Tools.Output;
  const std::string Long = Tools.Output;
  EXPECT_NE(Long.find("9:\n-r-"), std::string::npos) << Long;
  EXPECT_NE(Long.find("renamedp.com"), std::string::npos) << Long;
  EXPECT_NE(Long.find("2:\n-rw-rw-rw-"), std::string::npos) << Long;
  EXPECT_EQ(Long.find("gone.tmp"), std::string::npos) << Long;
  EXPECT_EQ(Long.find("prog.com"), std::string::npos) << Long;
  ASSERT_EQ(Tools.Run("cpmls -f emu1m -A " + Quoted), 0) << Tools.Output;
  const std::string Attributes = Tools.Output;
  const auto AttributesOf = [&](const std::string& Name) {
    const size_t At = Attributes.find(" " + Name);
    return At == std::string::npos || At < 9 ? std::string() : Attributes.substr(At - 9, 9);
  };
  EXPECT_NE(AttributesOf("renamedp.com").find('s'), std::string::npos) << Attributes;
  EXPECT_NE(AttributesOf("renamedp.com").find('a'), std::string::npos) << Attributes;
  EXPECT_EQ(AttributesOf("letter.txt").find('s'), std::string::npos) << Attributes;
  EXPECT_NE(AttributesOf("letter.txt").find('a'), std::string::npos) << Attributes;
  EXPECT_NE(AttributesOf("data.bin").find('s'), std::string::npos) << Attributes;
  const auto CopyOut = [&](const std::string& Name, bool Text) {
    std::filesystem::remove(Tools.Folder() / "copy");
    EXPECT_EQ(Tools.Run(std::string("cpmcp -f emu1m ") + (Text ? "-t " : "") + Quoted + " " + Name + " copy"), 0)
        << Tools.Output;
    return ReadBytes(Tools.Folder() / "copy");
  };
  EXPECT_EQ(CopyOut("9:renamedp.com", false), Padded(ReadBytes(Prog), 0));
  EXPECT_EQ(CopyOut("2:letter.txt", false), Padded(ReadBytes(Letter), 0x1A));
  // cpmtools' text mode ends the text at the first ^Z and gives LF line ends.
  std::vector<uint8_t> Unix;
  for (const uint8_t Byte : ReadBytes(Letter))
    if (Byte != '\r') Unix.push_back(Byte);
  EXPECT_EQ(CopyOut("2:letter.txt", true), Unix);
}

TEST(DiskManagerFilesTest, TheViewerShowsTheTextAndFinds) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  TDiskManagerPage& Page = Rig.Page();
  const auto Disk = Rig.MakeDisk("Texts.cpmdsk");
  PutCpmFile(Disk, "POEM.TXT", Bytes("The first line\r\nThe second line holds a word\r\nthe WORD again\r\nlast\r\n"), 6);
  Rig.Open(Disk);
  Rig.Select("POEM.TXT", 6);
  Window.DM_ViewFileAct->trigger();
  TTextViewer& Viewer = *Page.TextViewer;
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Viewer));
  EXPECT_EQ(Viewer.windowTitle(), "View [POEM.TXT user area: 6]");
  EXPECT_EQ(Viewer.Text(), "The first line\nThe second line holds a word\nthe WORD again\nlast\n");
  EXPECT_EQ(Viewer.StatusPanel(0)->text(), "Line");
  EXPECT_EQ(Viewer.StatusPanel(1)->text(), "1");
  EXPECT_EQ(Viewer.StatusPanel(2)->text(), "Column");
  EXPECT_EQ(Viewer.StatusPanel(3)->text(), "1");
  EXPECT_EQ(Viewer.StatusPanel(4)->text(), "Disk File Name");
  EXPECT_EQ(Viewer.StatusPanel(5)->text(), "Texts");
  EXPECT_FALSE(Viewer.FindNextAct()->isEnabled());

  // Ctrl+F goes to the find box; Enter there finds and keeps the focus there.
  Viewer.activateWindow();
  Viewer.FindAct()->trigger();
  EXPECT_TRUE(Viewer.FindBox()->hasFocus());
  QTest::keyClicks(Viewer.FindBox(), "word");
  EXPECT_TRUE(Viewer.FindNextAct()->isEnabled());
  QTest::keyClick(Viewer.FindBox(), Qt::Key_Return);
  EXPECT_EQ(Viewer.RichEdit()->textCursor().selectedText(), "word");
  EXPECT_EQ(Viewer.StatusPanel(1)->text(), "2");
  EXPECT_EQ(Viewer.StatusPanel(3)->text(), "25");
  EXPECT_TRUE(Viewer.FindBox()->hasFocus());
  EXPECT_TRUE(Viewer.FindNext());
  EXPECT_EQ(Viewer.RichEdit()->textCursor().selectedText(), "WORD");
  EXPECT_EQ(Viewer.StatusPanel(1)->text(), "3");
  // Match case: no "word" after the second line; the user is told.
  Viewer.MatchCaseBox()->setChecked(true);
  Viewer.RichEdit()->moveCursor(QTextCursor::Start);
  EXPECT_TRUE(Viewer.FindNext());
  EXPECT_FALSE(Viewer.FindNext());
  EXPECT_EQ(Rig.LastMessage(), "Unable to find search phrase \"word\".");
  // Whole words: "line" is a word, "lin" is none.
  Viewer.MatchCaseBox()->setChecked(false);
  Viewer.WholeWordsBox()->setChecked(true);
  Viewer.FindBox()->setText("lin");
  Viewer.RichEdit()->moveCursor(QTextCursor::Start);
  EXPECT_FALSE(Viewer.FindNext());
  Viewer.FindBox()->setText("line");
  EXPECT_TRUE(Viewer.FindNext());
  TMainWindowRig::Settle(2);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Viewer), "DiskManager-TextViewer");
  Viewer.close();
}

}  // namespace
