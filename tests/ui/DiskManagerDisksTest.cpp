// The disk manager's whole-disk operations: Create Disk and Create Disk Pack
// (with its progress, and when it fails), Copy Disk, Replace Disk (a file of
// the right length that is no disk refused) and Rename Disk, Disk to Hex32
// read back by a strict Intel-hex reader, Set Boot Image with its checks, and
// the bootable and protected flags; disks in use (in a drive, or served) are
// never replaced, whatever name they are reached by.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <set>

#include "DiskManagerNames.h"
#include "DiskManagerTestRig.h"
#include "RmtDskMod.h"

namespace {

using korvel_test::Bytes;
using korvel_test::CpmFile;
using korvel_test::Pattern;
using korvel_test::PutCpmFile;
using korvel_test::ReadBytes;
using korvel_test::TDiskManagerRig;
using korvel_test::TMainWindowRig;
using korvel_test::WriteBytes;
using korvel_test::WriteHexFile;

std::set<std::string> FilesIn(const std::filesystem::path& Folder) {
  std::set<std::string> Names;
  for (const auto& Entry : std::filesystem::directory_iterator(Folder)) Names.insert(Entry.path().filename().string());
  return Names;
}

RemoteDiskClientAddress Client(uint16_t Port) {
  RemoteDiskClientAddress Address;
  Address.Address = 0x0100007F;
  Address.Port = Port;
  Address.ClientId = 1;
  return Address;
}

std::vector<uint8_t> PackDisk(const std::filesystem::path& Pack, int Index) {
  TDiskPack Disks(Pack, TFileStream::TMode::OpenRead);
  Disks.SelectDisk(Index);
  std::vector<uint8_t> Data(static_cast<size_t>(Disks.DiskSize()));
  Disks.SetPosition(0);
  EXPECT_EQ(Disks.Read(Data.data(), Disks.DiskSize()), Disks.DiskSize());
  return Data;
}

TEST(DiskManagerDisksTest, CreateDiskAsksAboutTheFileReallyWrittenAndNeverReplacesADiskInUse) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  Dialogs.FileAnswers.push_back(Rig.File("fresh.dsk").string());
  Window.DM_CreateDiskAct->trigger();
  const TMainFileRequest& Request = Dialogs.FileRequests.back();
  EXPECT_EQ(Request.Title, "Create New Disk File");
  EXPECT_EQ(Request.Filter, "Emulator Disk Files|*.cpmdsk|All Files|*.*");
  EXPECT_EQ(Request.DefaultExtension, "cpmdsk");
  EXPECT_EQ(Request.InitialFolder, Window.WorkFolder());
  EXPECT_FALSE(Request.OverwritePrompt) << "asked below, about the file with its extension";
  EXPECT_FALSE(std::filesystem::exists(Rig.File("fresh.dsk")));
  EXPECT_EQ(ReadBytes(Rig.File("fresh.cpmdsk")), std::vector<uint8_t>(1048576, 0xE5));
  EXPECT_TRUE(Dialogs.Questions.empty());

  // "old.txt" chosen: the file written is old.cpmdsk, and that is what is asked about.
  const auto Old = Rig.MakeDisk("old.cpmdsk");
  PutCpmFile(Old, "KEEP.ME", Bytes("keep"));
  const auto Text = Rig.HostFile("old.txt", Bytes("a text file"));
  Dialogs.FileAnswers.push_back(Text.string());
  Dialogs.AskAnswers.push_back(false);
  Window.DM_CreateDiskAct->trigger();
  ASSERT_EQ(Dialogs.Questions.size(), 1u);
  EXPECT_EQ(Dialogs.Questions[0], OverwriteQuestion(Old.string()) + "|Yes|No");
  EXPECT_TRUE(TCpmDiskDrive(Old).FileExists("KEEP.ME", 0)) << "No: kept";
  // The disk shown in the manager, replaced: the page shows the blank disk.
  Rig.Open(Old);
  ASSERT_EQ(Rig.Lines().size(), 1u);
  Dialogs.FileAnswers.push_back(Text.string());
  Dialogs.AskAnswers.push_back(true);
  Window.DM_CreateDiskAct->trigger();
  EXPECT_FALSE(TCpmDiskDrive(Old).FileExists("KEEP.ME", 0));
  EXPECT_EQ(ReadBytes(Text), Bytes("a text file"));
  EXPECT_TRUE(Rig.Lines().empty());
  EXPECT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();

  // In drive C (mounted by another name of the same file), or served to a
  // client: refused before anything is asked or written.
  PutCpmFile(Old, "KEEP.ME", Bytes("keep"));
  const auto Link = Rig.File("other-name.cpmdsk");
  std::filesystem::create_hard_link(Old, Link);
  Rig.Machine().MountDrive(2, Link.string());
  const size_t Asked = Dialogs.Questions.size();
  Dialogs.FileAnswers.push_back(Old.string());
  Window.DM_CreateDiskAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 1u);
  EXPECT_EQ(Dialogs.Messages.back().first, TMachineMessageKind::Warning);
  EXPECT_NE(Rig.LastMessage().find("is in use and can not be replaced"), std::string::npos) << Rig.LastMessage();
  EXPECT_NE(Rig.LastMessage().find("drive C:"), std::string::npos) << Rig.LastMessage();
  EXPECT_EQ(Dialogs.Questions.size(), Asked);
  EXPECT_TRUE(TCpmDiskDrive(Old).FileExists("KEEP.ME", 0));
  Rig.Machine().UnmountDrive(2);
  Window.RmtDskMod().SessionList.Mount(false, Old, Client(4001));
  Dialogs.FileAnswers.push_back(Link.string());
  Window.DM_CreateDiskAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 2u);
  EXPECT_NE(Rig.LastMessage().find("remote disk server"), std::string::npos) << Rig.LastMessage();
  EXPECT_TRUE(TCpmDiskDrive(Old).FileExists("KEEP.ME", 0));
  // Served to a client only while the question is open: still refused.
  Window.RmtDskMod().SessionList.Clear();
  Dialogs.FileAnswers.push_back(Old.string());
  Dialogs.AskAnswers.push_back(true);
  Rig.Dialogs.WhileAsked = [&] { Window.RmtDskMod().SessionList.Mount(false, Old, Client(4002)); };
  Window.DM_CreateDiskAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 3u);
  EXPECT_NE(Rig.LastMessage().find("remote disk server"), std::string::npos) << Rig.LastMessage();
  EXPECT_TRUE(TCpmDiskDrive(Old).FileExists("KEEP.ME", 0));
}

TEST(DiskManagerDisksTest, CreateDiskPackOfFourAndOfAHundredTwentyEightWithProgress) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  struct TRun {
    std::vector<int> Progress;
    bool EventsRan = false;
    bool StayedWhileWriting = false;
  };
  const auto Create = [&](const std::filesystem::path& Name, int Disks, TRun& Run) {
    Dialogs.DialogAnswers.push_back([&, Name, Disks](QDialog& Dialog) {
      auto& Pack = dynamic_cast<TCreateDiskPackDlg&>(Dialog);
      EXPECT_EQ(Pack.MessageLabel()->text(), "Press OK button to create disk pack file. ");
      EXPECT_EQ(Pack.ProgressBar()->value(), 0);
      EXPECT_EQ(Pack.C_DiskCount()->minimum(), 4);
      EXPECT_EQ(Pack.C_DiskCount()->maximum(), 128);
      Pack.C_FileName()->setText(QString::fromStdString(Name.string()));
      Pack.C_DiskCount()->setValue(Disks);
      if (Disks == 4) korvel_test::SaveScreenshot(korvel_test::Rendered(Pack), "DiskManager-CreateDiskPackDlg");
      QObject::connect(Pack.ProgressBar(), &QProgressBar::valueChanged, &Pack,
                       [&Run](int Value) { Run.Progress.push_back(Value); });
      // While the pack is written the window goes on handling its events, and
      // the dialog can not be closed.
      QTimer::singleShot(0, &Pack, [&Run, &Pack] {
        Run.EventsRan = true;
        Pack.reject();
        Pack.close();
        Run.StayedWhileWriting = Pack.isVisible() && !Pack.CancelButton()->isEnabled();
      });
      QTest::mouseClick(Pack.OkButton(), Qt::LeftButton);
      EXPECT_EQ(Pack.MessageLabel()->text(), "Disk pack file created.");
    });
    Window.DM_CreateDiskPackAct->trigger();
  };

  TRun Four;
  Create(Rig.File("four"), 4, Four);
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  EXPECT_EQ(Dialogs.DialogTitles.back(), "Create Disk Pack");
  const auto FourFile = Rig.File("four.cdp");
  ASSERT_TRUE(std::filesystem::exists(FourFile));
  EXPECT_EQ(std::filesystem::file_size(FourFile), 1024u + 4u * 1048576u);
  EXPECT_EQ(Four.Progress, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_TRUE(Four.EventsRan);
  EXPECT_TRUE(Four.StayedWhileWriting);
  {
    TDiskPack Pack(FourFile);
    EXPECT_EQ(Pack.GetDiskCount(), 4);
    EXPECT_EQ(Pack.GetDiskName(3), "DISK 4");
  }

  TRun Big;
  Create(Rig.File("big.pack"), 128, Big);
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  const auto BigFile = Rig.File("big.cdp");
  ASSERT_TRUE(std::filesystem::exists(BigFile));
  EXPECT_EQ(std::filesystem::file_size(BigFile), 4608u + 128u * 1048576u);
  ASSERT_EQ(Big.Progress.size(), 128u);
  EXPECT_EQ(Big.Progress.back(), 128);
  EXPECT_TRUE(std::is_sorted(Big.Progress.begin(), Big.Progress.end()));
  EXPECT_TRUE(Big.StayedWhileWriting);
  Rig.Open(BigFile, 127);
  EXPECT_EQ(Rig.PackLines().size(), 128u);
  EXPECT_EQ(Rig.Page().DMDiskPackStatusText->text(), " Disk: 128 of 128");
  EXPECT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();

  // Browse: a save dialog whose question waits for OK, about the ".cdp" file.
  Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    auto& Pack = dynamic_cast<TCreateDiskPackDlg&>(Dialog);
    Pack.C_FileName()->clear();
    Dialogs.FileAnswers.push_back(Rig.File("four.txt").string());
    Pack.BrowseButton()->click();
    const TMainFileRequest& Request = Dialogs.FileRequests.back();
    EXPECT_EQ(Request.Title, "Create Disk Pack File");
    EXPECT_EQ(Request.Filter, "Emulator Disk Pack Files|*.cdp|All Files|*.*");
    EXPECT_EQ(Request.DefaultExtension, "cdp");
    EXPECT_EQ(Request.FileName, "*.cdp");
    EXPECT_EQ(Request.InitialFolder, Rig.Window().WorkFolder());
    EXPECT_FALSE(Request.OverwritePrompt);
    EXPECT_EQ(Pack.C_FileName()->text().toStdString(), Rig.File("four.txt").string());
    Dialogs.AskAnswers.push_back(false);
    Pack.OkButton()->click();
    EXPECT_EQ(Dialogs.Questions.back(), OverwriteQuestion(FourFile.string()) + "|Yes|No");
    EXPECT_TRUE(Pack.isVisible()) << "not replaced; the dialog stays";
  });
  Window.DM_CreateDiskPackAct->trigger();
  EXPECT_EQ(std::filesystem::file_size(FourFile), 1024u + 4u * 1048576u);
}

TEST(DiskManagerDisksTest, AFailedPackIsReportedLeavesNothingAndGivesTheDialogBack) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  // An old pack at the name stays as it was.
  const auto Target = Rig.MakePack("games.cdp", 4);
  PutCpmFile(Target, "OLD.TXT", Bytes("old"), 0, 1);
  const std::set<std::string> Before = FilesIn(Rig.Folder());
  int Moved = 0;
  bool GivenBack = false;
  Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    auto& Pack = dynamic_cast<TCreateDiskPackDlg&>(Dialog);
    Pack.C_FileName()->setText(QString::fromStdString(Target.string()));
    Pack.C_DiskCount()->setValue(32);
    QObject::connect(Pack.ProgressBar(), &QProgressBar::valueChanged, &Pack, [&Moved](int Value) {
      if (Value > 0) ++Moved;
    });
    Dialogs.AskAnswers.push_back(true);
    {
      // The host lets files grow to 10 MiB: the pack fails at its tenth disk.
      korvel_test::TFileSizeLimit Limit(10 * 1048576);
      QTest::mouseClick(Pack.OkButton(), Qt::LeftButton);
    }
    GivenBack = Pack.isVisible() && Pack.OkButton()->isEnabled() && Pack.CancelButton()->isEnabled() &&
                Pack.C_FileName()->isEnabled() && Pack.ProgressBar()->value() == 0 &&
                Pack.MessageLabel()->text() == "Press OK button to create disk pack file. ";
    korvel_test::SaveScreenshot(korvel_test::Rendered(Pack), "DiskManager-CreateDiskPackDlg-failed");
    Pack.CancelButton()->click();
    EXPECT_FALSE(Pack.isVisible());
  });
  Window.DM_CreateDiskPackAct->trigger();
  EXPECT_GT(Moved, 1) << "the progress moved before the failure";
  EXPECT_TRUE(GivenBack);
  ASSERT_EQ(Rig.MessageCount(), 1u);
  EXPECT_EQ(Dialogs.Messages.back().first, TMachineMessageKind::Error);
  EXPECT_NE(Rig.LastMessage().find("could not be created"), std::string::npos) << Rig.LastMessage();
  EXPECT_EQ(FilesIn(Rig.Folder()), Before) << "no half-made file";
  EXPECT_EQ(std::filesystem::file_size(Target), 1024u + 4u * 1048576u);
  EXPECT_EQ(CpmFile(Target, "OLD.TXT", 0, true, 1), Bytes("old"));
}

TEST(DiskManagerDisksTest, CopyDiskCopiesAndRefusesItselfAndDisksInUse) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  const auto Source = Rig.MakeDisk("source.cpmdsk");
  PutCpmFile(Source, "DATA.BIN", Pattern(30000, 1), 0, -1, 0);
  Rig.Open(Source);
  Dialogs.FileAnswers.push_back(Rig.File("copy.bak").string());
  Window.DM_BackupDiskAct->trigger();
  EXPECT_EQ(Dialogs.FileRequests.back().Title, "Copy Disk File \"source\"");
  EXPECT_FALSE(Dialogs.FileRequests.back().OverwritePrompt);
  EXPECT_EQ(ReadBytes(Rig.File("copy.cpmdsk")), ReadBytes(Source));

  // Onto itself, by its name or another; onto a disk in drive D: refused.
  const auto Other = Rig.File("same-file.cpmdsk");
  std::filesystem::create_symlink(Source, Other);
  const auto Mounted = Rig.MakeDisk("mounted.cpmdsk");
  Rig.Machine().MountDrive(3, Mounted.string());
  const auto MountedBytes = ReadBytes(Mounted);
  for (const auto& Target : {Source, Other, Mounted}) {
    const size_t Before = Rig.MessageCount();
    Dialogs.FileAnswers.push_back(Target.string());
    Window.DM_BackupDiskAct->trigger();
    ASSERT_EQ(Rig.MessageCount(), Before + 1) << Target;
    EXPECT_EQ(Rig.LastMessage(), "The destination disk file is currently in use and can not be replaced.");
    EXPECT_EQ(Dialogs.Messages.back().first, TMachineMessageKind::Warning);
  }
  EXPECT_EQ(ReadBytes(Mounted), MountedBytes);
  // Over another disk: asked first.
  Dialogs.FileAnswers.push_back(Rig.File("copy.cpmdsk").string());
  Dialogs.AskAnswers.push_back(false);
  Window.DM_BackupDiskAct->trigger();
  EXPECT_EQ(Dialogs.Questions.back(), OverwriteQuestion(Rig.File("copy.cpmdsk").string()) + "|Yes|No");
  // Served to a client while the question is open: refused after all.
  const auto CopyBytes = ReadBytes(Rig.File("copy.cpmdsk"));
  PutCpmFile(Source, "NEW.BIN", Pattern(3000, 3), 0, -1, 0);
  Dialogs.FileAnswers.push_back(Rig.File("copy.cpmdsk").string());
  Dialogs.AskAnswers.push_back(true);
  Rig.Dialogs.WhileAsked = [&] {
    Window.RmtDskMod().SessionList.Mount(false, Rig.File("copy.cpmdsk"), Client(4005));
  };
  Window.DM_BackupDiskAct->trigger();
  Window.RmtDskMod().SessionList.Clear();
  EXPECT_EQ(Rig.LastMessage(), "The destination disk file is currently in use and can not be replaced.");
  EXPECT_EQ(ReadBytes(Rig.File("copy.cpmdsk")), CopyBytes);

  // A disk of a pack becomes an image of its own.
  const auto Pack = Rig.MakePack("pack.cdp", 4);
  PutCpmFile(Pack, "ON.TWO", Pattern(5000, 2), 0, 2, 0);
  Rig.Open(Pack, 2);
  Dialogs.FileAnswers.push_back(Rig.File("two").string());
  Window.DM_BackupDiskAct->trigger();
  EXPECT_EQ(ReadBytes(Rig.File("two.cpmdsk")), PackDisk(Pack, 2));
  EXPECT_EQ(CpmFile(Rig.File("two.cpmdsk"), "ON.TWO"), CpmFile(Pack, "ON.TWO", 0, false, 2));

  // A short image (mkfs.cpm writes only what it must) copies as a whole disk.
  const auto Short = Rig.MakeDisk("short.cpmdsk");
  PutCpmFile(Short, "S.TXT", Bytes("short"));
  std::filesystem::resize_file(Short, 20 * 1024);
  Rig.Open(Short);
  Dialogs.FileAnswers.push_back(Rig.File("whole").string());
  Window.DM_BackupDiskAct->trigger();
  const auto Whole = ReadBytes(Rig.File("whole.cpmdsk"));
  ASSERT_EQ(Whole.size(), 1048576u);
  EXPECT_TRUE(std::equal(Whole.begin(), Whole.begin() + 20 * 1024, ReadBytes(Short).begin()));
  EXPECT_TRUE(std::all_of(Whole.begin() + 20 * 1024, Whole.end(), [](uint8_t Byte) { return Byte == 0xE5; }));
  EXPECT_EQ(CpmFile(Rig.File("whole.cpmdsk"), "S.TXT", 0, true), Bytes("short"));
  EXPECT_EQ(Rig.MessageCount(), 4u) << Rig.LastMessage();
}

TEST(DiskManagerDisksTest, ReplaceDiskAndRenameDiskOfAPack) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  // A pack made with Create Disk Pack; its second disk bootable and protected.
  Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    auto& Made = dynamic_cast<TCreateDiskPackDlg&>(Dialog);
    Made.C_FileName()->setText(QString::fromStdString(Rig.File("pack").string()));
    Made.C_DiskCount()->setValue(4);
    QTest::mouseClick(Made.OkButton(), Qt::LeftButton);
  });
  Window.DM_CreateDiskPackAct->trigger();
  const auto Pack = Rig.File("pack.cdp");
  ASSERT_TRUE(std::filesystem::exists(Pack)) << Rig.LastMessage();
  const auto Image = Rig.MakeDisk("Tools.cpmdsk");
  PutCpmFile(Image, "STAT.COM", Pattern(5248, 3), 0, -1, 0);
  Rig.Open(Pack, 1);
  ASSERT_EQ(Window.DiskManagerPackIndex, 1);
  Window.DM_SetDiskBootableAct->trigger();
  Window.DM_SetDiskProtectedAct->trigger();
  ASSERT_EQ(Rig.PackLines()[1], "[BR] DISK 2");

  // Another size: refused, the disk as it was.
  const auto Wrong = Rig.HostFile("wrong.cpmdsk", std::vector<uint8_t>(1000, 0xE5));
  const auto DiskBefore = PackDisk(Pack, 1);
  Dialogs.FileAnswers.push_back(Wrong.string());
  Window.DM_ReplaceDiskContentsAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 1u);
  EXPECT_EQ(Rig.LastMessage(), "Disk image file is not the same size as the disk pack disks.");
  EXPECT_EQ(PackDisk(Pack, 1), DiskBefore);

  Dialogs.FileAnswers.push_back(Image.string());
  Dialogs.TextAnswers.push_back(std::string("Tools Disk"));
  Window.DM_ReplaceDiskContentsAct->trigger();
  EXPECT_EQ(Dialogs.FileRequests.back().Title, "Replace Disk With File");
  EXPECT_TRUE(Dialogs.FileRequests.back().MustExist);
  EXPECT_EQ(Dialogs.TextPrompts.back(), "Replace Disk [DISK 2]|Change Disk Name To: Tools|Tools");
  EXPECT_EQ(PackDisk(Pack, 1), ReadBytes(Image));
  EXPECT_EQ(Rig.PackLines()[1], "[__] Tools Disk") << "flags cleared";
  ASSERT_GE(Rig.RowOf("STAT.COM"), 0);
  EXPECT_EQ(PackDisk(Pack, 0), PackDisk(Pack, 2)) << "the other disks are blank still";

  // Rename: a name of 40 characters keeps 32.
  Dialogs.TextAnswers.push_back(std::string("A Rather Long Name For A Disk Of Tools"));
  Window.DM_RenameDiskAct->trigger();
  EXPECT_EQ(Dialogs.TextPrompts.back(), "Rename Disk [Tools Disk]|Change Disk Name To: |Tools Disk");
  EXPECT_EQ(Rig.PackLines()[1], "[__] A Rather Long Name For A Disk Of");
  EXPECT_EQ(TDiskPack(Pack).GetDiskName(1), "A Rather Long Name For A Disk Of");
  // Cancelled: nothing changes.
  Window.DM_RenameDiskAct->trigger();
  EXPECT_EQ(TDiskPack(Pack).GetDiskName(1), "A Rather Long Name For A Disk Of");
  EXPECT_EQ(Rig.MessageCount(), 1u) << Rig.LastMessage();

  // A disk's length of random bytes, its directory area too, is no disk: it
  // is refused with the reason before a name is asked for, and the pack stays
  // as it was, byte for byte, its disk listing its file.
  const auto Noise = Rig.HostFile("noise.cpmdsk", Pattern(1048576, 26));
  const auto PackBefore = ReadBytes(Pack);
  const size_t Prompts = Dialogs.TextPrompts.size();
  Dialogs.FileAnswers.push_back(Noise.string());
  Dialogs.TextAnswers.push_back(std::string("Noise"));
  Window.DM_ReplaceDiskContentsAct->trigger();
  EXPECT_EQ(Rig.MessageCount(), 2u);
  EXPECT_EQ(Dialogs.Messages.back().first, TMachineMessageKind::Error);
  EXPECT_NE(Rig.LastMessage().find("Selected disk is not a CP/M disk image!"), std::string::npos)
      << Rig.LastMessage();
  EXPECT_NE(Rig.LastMessage().find("\"" + Noise.string() + "\""), std::string::npos) << Rig.LastMessage();
  EXPECT_EQ(Dialogs.TextPrompts.size(), Prompts) << "no name asked for";
  EXPECT_TRUE(ReadBytes(Pack) == PackBefore) << "the pack file changed";
  Window.DM_RefreshDisplayAct->trigger();
  EXPECT_EQ(Rig.PackLines()[1], "[__] A Rather Long Name For A Disk Of");
  EXPECT_GE(Rig.RowOf("STAT.COM"), 0);
  EXPECT_EQ(CpmFile(Pack, "STAT.COM", 0, false, 1), Pattern(5248, 3));
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "DiskManager-replace-disk-refused");
  Dialogs.TextAnswers.clear();

  // A real disk of random bytes (its directory formatted) holding a file
  // replaces the pack disk byte for byte.
  std::vector<uint8_t> Games = Pattern(1048576, 42);
  std::fill(Games.begin() + 8192, Games.begin() + 16384, 0xE5);
  const auto GamesDisk = Rig.HostFile("Games.cpmdsk", Games);
  PutCpmFile(GamesDisk, "ROGUE.COM", Pattern(9000, 5), 0, -1, 0);
  Dialogs.FileAnswers.push_back(GamesDisk.string());
  Dialogs.TextAnswers.push_back(std::string("Games"));
  Window.DM_ReplaceDiskContentsAct->trigger();
  ASSERT_EQ(Rig.MessageCount(), 2u) << Rig.LastMessage();
  EXPECT_EQ(Dialogs.TextPrompts.back(),
            "Replace Disk [A Rather Long Name For A Disk Of]|Change Disk Name To: Games|Games");
  EXPECT_TRUE(PackDisk(Pack, 1) == ReadBytes(GamesDisk)) << "not the image, byte for byte";
  EXPECT_EQ(Rig.PackLines()[1], "[__] Games");
  EXPECT_GE(Rig.RowOf("ROGUE.COM"), 0);
  EXPECT_LT(Rig.RowOf("STAT.COM"), 0);
  EXPECT_EQ(PackDisk(Pack, 0), PackDisk(Pack, 2)) << "the other disks are blank still";
}

TEST(DiskManagerDisksTest, DiskToHex32WritesWhatAStrictReaderReadsBack) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  const auto Disk = Rig.MakeDisk("Disk.cpmdsk");
  PutCpmFile(Disk, "DATA.BIN", Pattern(100000, 4), 0, -1, 0);
  Rig.Open(Disk);
  Dialogs.FileAnswers.push_back(Rig.File("Disk.hexfile").string());
  Window.DM_SaveDiskToHexAct->trigger();
  const TMainFileRequest& Request = Dialogs.FileRequests.back();
  EXPECT_EQ(Request.Title, "Save Disk As Hex File");
  EXPECT_EQ(Request.Filter, "Intel 32 bit hex file|*.hex");
  EXPECT_EQ(Request.DefaultExtension, "hex");
  EXPECT_EQ(Request.FileName, "Disk.hex");
  EXPECT_EQ(Request.InitialFolder, Rig.Folder().string() + "/");
  ASSERT_EQ(Rig.MessageCount(), 1u);
  EXPECT_EQ(Dialogs.Messages.back().first, TMachineMessageKind::Information);
  EXPECT_EQ(Rig.LastMessage(), "The Hex32 file has been created.");

  const korvel_test::THexFile Hex = korvel_test::ReadStrictHex(Rig.File("Disk.hex"));
  ASSERT_EQ(Hex.Error, "");
  EXPECT_EQ(Hex.First, 0x100000u);
  EXPECT_EQ(Hex.Data, ReadBytes(Disk));
  EXPECT_EQ(Hex.Records, 16384u) << "64 bytes a record";
  EXPECT_EQ(Hex.SegmentRecords, 16u) << "segments 0010h to 001Fh, each once";

  // Saved again, over the file of the first time: asked about "Disk.hex",
  // though "Disk.txt" was chosen.
  const auto Written = ReadBytes(Rig.File("Disk.hex"));
  std::filesystem::resize_file(Rig.File("Disk.hex"), 10);
  Dialogs.FileAnswers.push_back(Rig.File("Disk.txt").string());
  Dialogs.AskAnswers.push_back(false);
  Window.DM_SaveDiskToHexAct->trigger();
  EXPECT_EQ(Dialogs.Questions.back(), OverwriteQuestion(Rig.File("Disk.hex").string()) + "|Yes|No");
  EXPECT_EQ(std::filesystem::file_size(Rig.File("Disk.hex")), 10u);
  Dialogs.FileAnswers.push_back(Rig.File("Disk.txt").string());
  Dialogs.AskAnswers.push_back(true);
  Window.DM_SaveDiskToHexAct->trigger();
  EXPECT_EQ(ReadBytes(Rig.File("Disk.hex")), Written);
  EXPECT_FALSE(std::filesystem::exists(Rig.File("Disk.txt")));
  EXPECT_EQ(Rig.MessageCount(), 2u);

  // Refusals, each a warning, nothing written.
  Rig.Page().SaveDiskToHex(Disk.string(), Disk.string(), 0x100000);
  EXPECT_EQ(Rig.LastMessage(), "The source and destination file names can not be the same.");
  Rig.Page().SaveDiskToHex(Rig.File("gone.cpmdsk").string(), Rig.File("gone.hex").string(), 0x100000);
  EXPECT_EQ(Rig.LastMessage(), "The disk file named \"" + Rig.File("gone.cpmdsk").string() + "\" could not be accessed.");
  std::filesystem::create_directory(Rig.File("folder.hex"));
  Rig.Page().SaveDiskToHex(Disk.string(), Rig.File("folder.hex").string(), 0x100000);
  EXPECT_EQ(Rig.LastMessage(),
            "Output file \"" + Rig.File("folder.hex").string() + "\" already exists and can not be delete.");
  EXPECT_EQ(Dialogs.Messages.back().first, TMachineMessageKind::Warning);
  EXPECT_FALSE(std::filesystem::exists(Rig.File("gone.hex")));

  // A disk of a pack has no such action.
  Rig.Open(Rig.MakePack("pack.cdp", 4));
  EXPECT_FALSE(Window.DM_SaveDiskToHexAct->isEnabled());
}

// The bytes of a disk's first two tracks.
std::vector<uint8_t> BootTracks(const std::filesystem::path& Disk) {
  const std::vector<uint8_t> Bytes = ReadBytes(Disk);
  return std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + 64 * 128);
}

TEST(DiskManagerDisksTest, SetBootImageWritesTheTracksOnlyWhenEveryCheckHolds) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  const auto Disk = Rig.MakeDisk("boot.cpmdsk");
  PutCpmFile(Disk, "FILE.TXT", Bytes("a file that stays"));
  const auto Loader = Pattern(256, 1);
  const auto Cpm = Pattern(4000, 2);
  const auto Bios = Pattern(3936, 3);  // CP/M at D000h, BIOS up to EF00h: 7936 bytes
  WriteHexFile(Rig.File("loader.hex"), 0, Loader);
  WriteHexFile(Rig.File("cpm.hex"), 0xD000, Cpm);
  WriteHexFile(Rig.File("bios.hex"), 0xD000 + 4000, Bios);
  Rig.Open(Disk);
  const auto Answer = [&](const std::string& LoaderFile, const std::string& CpmFile, const std::string& BiosFile) {
    Dialogs.DialogAnswers.push_back([&, LoaderFile, CpmFile, BiosFile](QDialog& Dialog) {
      auto& Boot = dynamic_cast<TBootLoaderDlg&>(Dialog);
      EXPECT_EQ(Boot.InitialFolder, Rig.Window().WorkFolder());
      Boot.C_CpmSourceFile()->setText(QString::fromStdString(Rig.File(CpmFile).string()));
      Boot.C_BiosSourceFile()->setText(QString::fromStdString(Rig.File(BiosFile).string()));
      Boot.C_BootLoaderFile()->setText(QString::fromStdString(Rig.File(LoaderFile).string()));
      ASSERT_TRUE(Boot.BuildButton()->isEnabled());
      Boot.BuildButton()->click();
    });
    Window.DM_SetDiskBootImageAct->trigger();
  };

  // The dialog: Build only while all three files exist.
  Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    auto& Boot = dynamic_cast<TBootLoaderDlg&>(Dialog);
    EXPECT_EQ(Boot.windowTitle(), "Build Boot Image");
    Boot.C_CpmSourceFile()->setText(QString::fromStdString(Rig.File("cpm.hex").string()));
    Boot.C_BiosSourceFile()->setText(QString::fromStdString(Rig.File("bios.hex").string()));
    Boot.C_BootLoaderFile()->setText(QString::fromStdString(Rig.File("missing.hex").string()));
    EXPECT_FALSE(Boot.BuildButton()->isEnabled());
    Dialogs.FileAnswers.push_back(Rig.File("loader.hex").string());
    Boot.BrowseLoaderAct()->trigger();
    const TMainFileRequest& Request = Dialogs.FileRequests.back();
    EXPECT_EQ(Request.Title, "Select Boot Loader Hex File To Load");
    EXPECT_EQ(Request.Filter, "HEX files|*.hex|All Files|*.*");
    EXPECT_EQ(Request.FileName, Rig.File("missing.hex").string());
    EXPECT_TRUE(Boot.BuildButton()->isEnabled());
    EXPECT_EQ(Boot.BrowseLoaderAct()->toolTip(), "Select boot loader hex file (must load at address 0)");
    korvel_test::SaveScreenshot(korvel_test::Rendered(Boot), "DiskManager-BootLoaderDlg");
    Boot.CancelButton()->click();
  });
  Window.DM_SetDiskBootImageAct->trigger();
  EXPECT_EQ(Dialogs.DialogTitles.back(), "Build Boot Image");

  // Each refusal writes nothing.
  const std::vector<uint8_t> Blank = ReadBytes(Disk);
  std::vector<uint8_t> Big = Pattern(257, 4);
  WriteHexFile(Rig.File("loader257.hex"), 0, Big);
  WriteHexFile(Rig.File("loader10.hex"), 0x10, Pattern(16, 5));
  // A loader whose last record ends within 256 bytes but that put a record far above.
  {
    std::ofstream Stray(Rig.File("stray.hex"));
    Stray << ":020000001122CB\n:0103000099" << "63\n:02008000334407\n:00000001FF\n";
  }
  WriteHexFile(Rig.File("bios+1.hex"), 0xD000 + 4000, Pattern(3937, 3));
  WriteHexFile(Rig.File("low-bios.hex"), 0x1000, Pattern(16, 6));
  const std::vector<std::pair<std::vector<std::string>, std::string>> Refusals = {
      {{"loader257.hex", "cpm.hex", "bios.hex"}, "Boot loader max size is 256 bytes."},
      {{"stray.hex", "cpm.hex", "bios.hex"}, "Boot loader max size is 256 bytes."},
      {{"loader10.hex", "cpm.hex", "bios.hex"}, "Boot loader must start at address 0."},
      {{"loader.hex", "cpm.hex", "bios+1.hex"}, "CPM + BIOS image max size is 7936 bytes."},
      {{"loader.hex", "cpm.hex", "low-bios.hex"}, "The BIOS image must end above the start of the CPM image"},
  };
  for (const auto& [Files, Message] : Refusals) {
    SCOPED_TRACE(Files[0] + " " + Files[2]);
    const size_t Before = Rig.MessageCount();
    Answer(Files[0], Files[1], Files[2]);
    ASSERT_EQ(Rig.MessageCount(), Before + 1);
    EXPECT_EQ(Rig.LastMessage().substr(0, Message.size()), Message);
    EXPECT_EQ(ReadBytes(Disk), Blank);
  }

  // A disk that another program has since overwritten with a whole disk's
  // length of what is no disk (random bytes, a ROM image, zeros) is refused
  // with the reason, and keeps those bytes.
  for (const auto& NoDisk : korvel_test::FilesThatAreNoDisks(Rig)) {
    if (NoDisk.Kept.size() != Blank.size()) continue;
    SCOPED_TRACE(NoDisk.File.string());
    WriteBytes(Disk, NoDisk.Kept);
    const size_t Before = Rig.MessageCount();
    Answer("loader.hex", "cpm.hex", "bios.hex");
    ASSERT_EQ(Rig.MessageCount(), Before + 1);
    EXPECT_NE(Rig.LastMessage().find("Selected disk is not a CP/M disk image!"), std::string::npos)
        << Rig.LastMessage();
    EXPECT_NE(Rig.LastMessage().find(Disk.string() + NoDisk.Reason), std::string::npos) << Rig.LastMessage();
    EXPECT_TRUE(ReadBytes(Disk) == NoDisk.Kept);
  }
  WriteBytes(Disk, Blank);

  // Exactly 256 and 7936 bytes: the loader in sectors 0 and 1, CP/M and BIOS
  // from sector 2 to the last sector of track 1; the files stay.
  const size_t Refused = Rig.MessageCount();
  Answer("loader.hex", "cpm.hex", "bios.hex");
  ASSERT_EQ(Rig.MessageCount(), Refused) << Rig.LastMessage();
  std::vector<uint8_t> Expected = Loader;
  Expected.insert(Expected.end(), Cpm.begin(), Cpm.end());
  Expected.insert(Expected.end(), Bios.begin(), Bios.end());
  EXPECT_EQ(BootTracks(Disk), Expected);
  const std::vector<uint8_t> After = ReadBytes(Disk);
  EXPECT_TRUE(std::equal(After.begin() + 64 * 128, After.end(), Blank.begin() + 64 * 128)) << "tracks 2 on untouched";

  // Data that runs past FFFFh wraps as the hex reader wrapped it: nothing is
  // read beyond the 64 KiB image.
  WriteHexFile(Rig.File("high-cpm.hex"), 0xF000, Pattern(4096, 7));
  const auto Wrapping = Pattern(64, 8);
  WriteHexFile(Rig.File("wrap-bios.hex"), 0xFFE0, Wrapping, 64);
  Answer("loader.hex", "high-cpm.hex", "wrap-bios.hex");
  ASSERT_EQ(Rig.MessageCount(), Refused) << Rig.LastMessage();
  std::vector<uint8_t> Image(65536, 0);
  const auto High = Pattern(4096, 7);
  std::copy(High.begin(), High.end(), Image.begin() + 0xF000);
  for (size_t Index = 0; Index < Wrapping.size(); ++Index) Image[(0xFFE0 + Index) & 0xFFFF] = Wrapping[Index];
  const std::vector<uint8_t> Tracks = BootTracks(Disk);
  for (uint32_t Offset = 0; Offset < 0x1020; ++Offset)
    ASSERT_EQ(Tracks[256 + Offset], Image[(0xF000 + Offset) & 0xFFFF]) << Offset;

  // In drive B: refused before the dialog, with the reason.
  Rig.Machine().MountDrive(1, Disk.string());
  const std::vector<uint8_t> Mounted = ReadBytes(Disk);
  const size_t Shown = Dialogs.DialogTitles.size();
  Window.Guarded([&] { Rig.Page().SetDiskBootImageActExecute(); });
  EXPECT_EQ(Dialogs.DialogTitles.size(), Shown);
  EXPECT_NE(Rig.LastMessage().find("drive B:"), std::string::npos) << Rig.LastMessage();
  EXPECT_EQ(ReadBytes(Disk), Mounted);
  Rig.Machine().UnmountDrive(1);

  // A disk of a pack becomes bootable; a plain disk has no flags to set.
  const auto Pack = Rig.MakePack("pack.cdp", 4);
  Rig.Open(Pack, 1);
  Answer("loader.hex", "cpm.hex", "bios.hex");
  EXPECT_EQ(Rig.PackLines()[1], "[B_] DISK 2");
  EXPECT_TRUE(Window.DM_SetDiskBootableAct->isChecked());
  const auto Disk2 = PackDisk(Pack, 1);
  EXPECT_EQ(std::vector<uint8_t>(Disk2.begin(), Disk2.begin() + 64 * 128), Expected);
  EXPECT_EQ(PackDisk(Pack, 0), PackDisk(Pack, 2));

  // A new disk from an empty file gets the empty directory with its boot
  // tracks, 16 KiB as mkfs.cpm writes a disk, and so opens again.
  const auto Fresh = Rig.HostFile("fresh.cpmdsk", {});
  Rig.Open(Fresh);
  const size_t Opened = Rig.MessageCount();
  Answer("loader.hex", "cpm.hex", "bios.hex");
  ASSERT_EQ(Rig.MessageCount(), Opened) << Rig.LastMessage();
  EXPECT_EQ(BootTracks(Fresh), Expected);
  std::vector<uint8_t> Made(16384, 0xE5);
  std::copy(Expected.begin(), Expected.end(), Made.begin());
  EXPECT_EQ(ReadBytes(Fresh), Made);
  Rig.Open(Disk);
  Rig.Open(Fresh);
  EXPECT_EQ(Rig.MessageCount(), Opened) << Rig.LastMessage();
  EXPECT_EQ(Window.DiskManagerFile, Fresh.string());
}

TEST(DiskManagerDisksTest, BootableAndProtectedActOnlyOnADiskOfAPack) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  const auto Pack = Rig.MakePack("pack.cdp", 4);
  Rig.Open(Pack, 0);
  Window.DM_SetDiskBootableAct->trigger();
  EXPECT_EQ(Rig.PackLines()[0], "[B_] DISK 1");
  EXPECT_TRUE(Window.DM_SetDiskBootableAct->isChecked());
  Window.DM_SetDiskProtectedAct->trigger();
  EXPECT_EQ(Rig.PackLines()[0], "[BR] DISK 1");
  Window.DM_SetDiskBootableAct->trigger();
  EXPECT_EQ(Rig.PackLines()[0], "[_R] DISK 1");
  EXPECT_FALSE(Window.DM_SetDiskBootableAct->isChecked());
  EXPECT_TRUE(Window.DM_SetDiskProtectedAct->isChecked());
  EXPECT_EQ(TDiskPack(Pack).GetDiskFlags(0), DISK_PACK_PROTECTED);
  EXPECT_EQ(Rig.Page().StatusPanels[5]->text(), "pack [[_R] DISK 1]");
  // Another disk has its own flags.
  Rig.Page().DiskManagerDiskPackNames->setCurrentRow(3);
  TMainWindowRig::Settle(1);
  EXPECT_FALSE(Window.DM_SetDiskProtectedAct->isChecked());
  EXPECT_EQ(TDiskPack(Pack).GetDiskFlags(3), 0);
  EXPECT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();

  // A plain disk has neither flag: the actions are disabled, and done all the
  // same they say why and change nothing.
  const auto Disk = Rig.MakeDisk("plain.cpmdsk");
  Rig.Open(Disk);
  EXPECT_FALSE(Window.DM_SetDiskBootableAct->isEnabled());
  EXPECT_FALSE(Window.DM_SetDiskProtectedAct->isEnabled());
  const auto Before = ReadBytes(Disk);
  EXPECT_FALSE(Window.Guarded([&] { Rig.Page().SetDiskFlag(DISK_PACK_BOOTABLE, true); }));
  EXPECT_NE(Rig.LastMessage().find("disk pack"), std::string::npos) << Rig.LastMessage();
  EXPECT_FALSE(Window.DM_SetDiskBootableAct->isChecked());
  EXPECT_EQ(ReadBytes(Disk), Before);
}

}  // namespace
