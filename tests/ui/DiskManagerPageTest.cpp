// The "Disk Manager" page: the lines of a disk and of the disks of a pack, the
// status panels, the enabled states of the actions as the selection and the
// machine change them, the list's mouse rules, and a failed open that leaves
// the page showing the disk it showed.
#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QSplitter>
#include <QStatusBar>
#include <QTest>
#include <filesystem>

#include "DiskManagerTestRig.h"
#include "RmtDskMod.h"

namespace {

using korvel_test::Bytes;
using korvel_test::PutCpmFile;
using korvel_test::Pattern;
using korvel_test::ReadBytes;
using korvel_test::TDiskManagerRig;
using korvel_test::TMainWindowRig;

TEST(DiskManagerPageTest, ListsTheFilesOfADiskInTheirColumns) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  TDiskManagerPage& Page = Rig.Page();
  // Before any disk: the column header, no lines, no pack panel.
  EXPECT_EQ(Page.DiskListHeader->text().toStdString(), "Usr       FileName  Attr  Recs  Exts      Size     Space");
  EXPECT_EQ(Page.DiskFileList->count(), 0);
  EXPECT_TRUE(Page.DiskPackNamesPanel->isHidden());
  EXPECT_EQ(Page.StatusPanels[0]->text(), "Disk Size:");
  EXPECT_EQ(Page.StatusPanels[2]->text(), "Free Space:");
  EXPECT_EQ(Page.StatusPanels[4]->text(), "File Name:");
  EXPECT_EQ(Page.StatusPanels[1]->text(), "0");

  const auto Disk = Rig.MakeDisk("Work.cpmdsk");
  PutCpmFile(Disk, "THREE.TXT", std::vector<uint8_t>(300, 'x'), 5);
  {
    TCpmDiskDrive Drive(Disk);
    Drive.SetFileAttributes("THREE.TXT", 5, CPM_ATTR_READ_ONLY, 5);
  }
  PutCpmFile(Disk, "PIP.COM", korvel_test::Pattern(7 * 1024), 0, -1, 0);
  PutCpmFile(Disk, "README", Bytes("read me\r\n"), 0);
  PutCpmFile(Disk, "BIG.DAT", korvel_test::Pattern(40000), 15, -1, 0);
  {
    TCpmDiskDrive Drive(Disk);
    Drive.SetFileAttributes("BIG.DAT", 15, CPM_ATTR_SYSTEM | CPM_ATTR_ARCHIVE, 15);
  }

  Rig.Open(Disk);
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  const TMainFileRequest& Request = Rig.Rig.Dialogs.FileRequests.back();
  EXPECT_EQ(Request.Title, "Select CPM Disk File To View");
  EXPECT_EQ(Request.Filter,
            "Emulator Disk Files|*.cpmdsk|Emulator Disk Pack|*.cdp|All Emulator Disk Files|*.cpmdsk;*.cdp|All Files|*.*");
  EXPECT_EQ(Request.DefaultExtension, "cpmdsk");
  EXPECT_TRUE(Request.MustExist);
  EXPECT_EQ(Request.InitialFolder, Window.WorkFolder());
  EXPECT_EQ(Window.DiskManagerFile, Disk.string());
  EXPECT_EQ(Window.DiskManagerPackIndex, -1);

  // Sorted by name; user, name right-aligned in 14, attributes, records,
  // extents, bytes and the space of its blocks.
  const std::vector<std::string> Expected = {
      "15         BIG.DAT  rSA   313     3     40064     40960",
      " 0         PIP.COM  rsa    56     1      7168      8192",
      " 0          README  rsa     1     1       128      2048",
      " 5       THREE.TXT  Rsa     3     1       384      2048",
  };
  EXPECT_EQ(Rig.Lines(), Expected);
  EXPECT_EQ(Page.StatusPanels[1]->text(), "1,048,576");
  EXPECT_EQ(Page.StatusPanels[3]->text(), "978,944") << "504 - 20 - 4 - 1 - 1 blocks free";
  EXPECT_EQ(Page.StatusPanels[5]->text(), "Work");
  EXPECT_TRUE(Page.DiskPackNamesPanel->isHidden());
  EXPECT_TRUE(Page.DMDiskPackStatusText->text().isEmpty());

  TMainWindowRig::Settle(3);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "DiskManager-page");

  // Eject Disk: nothing open, nothing listed.
  Window.DM_EjectDiskAct->trigger();
  EXPECT_TRUE(Window.DiskManagerFile.empty());
  EXPECT_EQ(Window.DiskManagerPackIndex, -1);
  EXPECT_EQ(Page.DiskFileList->count(), 0);
  EXPECT_EQ(Page.StatusPanels[1]->text(), "0");
  EXPECT_EQ(Page.StatusPanels[5]->text(), "");
  EXPECT_FALSE(Window.DM_EjectDiskAct->isEnabled());
}

TEST(DiskManagerPageTest, APackShowsItsDisksAndAClickOpensOne) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  TDiskManagerPage& Page = Rig.Page();
  // A pack whose extension is in capitals is a pack too.
  const auto Pack = Rig.MakePack("Games.CDP", 4);
  PutCpmFile(Pack, "ONE.TXT", Bytes("one"), 0, 0);
  PutCpmFile(Pack, "THREE.TXT", Bytes("three"), 2, 2);
  {
    TDiskPack Disks(Pack);
    Disks.SetDiskFlags(1, DISK_PACK_BOOTABLE | DISK_PACK_PROTECTED);
    Disks.SetDiskName(3, "Last Disk");
  }
  Rig.Open(Pack);
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  EXPECT_EQ(Window.DiskManagerPackIndex, 0);
  EXPECT_FALSE(Page.DiskPackNamesPanel->isHidden());
  EXPECT_EQ(Rig.PackLines(), (std::vector<std::string>{"[__] DISK 1", "[BR] DISK 2", "[__] DISK 3", "[__] Last Disk"}));
  EXPECT_EQ(Page.DMDiskPackStatusText->text(), " Disk: 1 of 4");
  EXPECT_EQ(Page.StatusPanels[5]->text(), "Games [[__] DISK 1]");
  ASSERT_EQ(Rig.Lines().size(), 1u);
  EXPECT_NE(Rig.Lines()[0].find("ONE.TXT"), std::string::npos);
  EXPECT_TRUE(Window.DM_SetDiskBootableAct->isEnabled());
  EXPECT_FALSE(Window.DM_SetDiskBootableAct->isChecked());
  EXPECT_FALSE(Window.DM_SaveDiskToHexAct->isEnabled()) << "a disk of a pack";
  EXPECT_TRUE(Window.DM_RenameDiskAct->isEnabled());

  // A click on the third disk's line opens it.
  QListWidget* Names = Page.DiskManagerDiskPackNames;
  const QRect Third = Names->visualItemRect(Names->item(2));
  QTest::mouseClick(Names->viewport(), Qt::LeftButton, Qt::NoModifier, Third.center());
  TMainWindowRig::Settle(1);
  EXPECT_EQ(Window.DiskManagerPackIndex, 2);
  EXPECT_EQ(Page.DMDiskPackStatusText->text(), " Disk: 3 of 4");
  EXPECT_EQ(Page.StatusPanels[5]->text(), "Games [[__] DISK 3]");
  ASSERT_EQ(Rig.Lines().size(), 1u);
  EXPECT_NE(Rig.Lines()[0].find("THREE.TXT"), std::string::npos);
  EXPECT_EQ(Rig.Lines()[0].substr(0, 2), " 2");
  // The second disk's flags show on the auto-check actions.
  Names->setCurrentRow(1);
  TMainWindowRig::Settle(1);
  EXPECT_TRUE(Window.DM_SetDiskBootableAct->isChecked());
  EXPECT_TRUE(Window.DM_SetDiskProtectedAct->isChecked());
  TMainWindowRig::Settle(3);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "DiskManager-pack");

  // A plain disk hides the panel again and empties its status.
  const auto Disk = Rig.MakeDisk("plain.cpmdsk");
  Rig.Open(Disk);
  EXPECT_TRUE(Page.DiskPackNamesPanel->isHidden());
  EXPECT_TRUE(Page.DMDiskPackStatusText->text().isEmpty());
  EXPECT_EQ(Page.DiskManagerDiskPackNames->count(), 0);
  EXPECT_EQ(Window.DiskManagerPackIndex, -1);
  EXPECT_FALSE(Window.DM_SetDiskBootableAct->isEnabled());
}

TEST(DiskManagerPageTest, ADiskThatCannotBeOpenedLeavesThePreviousOneShown) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  const auto Pack = Rig.MakePack("pack.cdp", 4);
  PutCpmFile(Pack, "KEEP.ME", Bytes("kept"), 0, 1);
  Rig.Open(Pack, 1);
  ASSERT_EQ(Window.DiskManagerPackIndex, 1);
  const std::vector<std::string> Lines = Rig.Lines();
  const std::vector<std::string> PackLines = Rig.PackLines();
  ASSERT_EQ(Lines.size(), 1u);

  // A pack that is none, an image longer than a disk, a missing file, a note
  // and random bytes chosen through "All Files", whole records that end at or
  // before the directory (a text, 4 KiB of random bytes, a program), and whole
  // disks whose directory holds no disk's (random bytes, a ROM image, zeros).
  const auto NotAPack = Rig.HostFile("fake.cdp", std::vector<uint8_t>(4096, 'x'));
  const auto TooLong = Rig.HostFile("long.cpmdsk", std::vector<uint8_t>(2 * 1048576, 0xE5));
  const auto Note = Rig.HostFile("notes.txt", Bytes("Shopping: bread, milk.\nCall the plumber on Monday.\n"));
  const auto Random = Rig.HostFile("random.bin", Pattern(1000, 5));
  const auto NoDisks = korvel_test::FilesThatAreNoDisks(Rig);
  std::vector<std::filesystem::path> Bads = {NotAPack, TooLong, Rig.File("missing.cpmdsk"), Note, Random};
  for (const auto& NoDisk : NoDisks) Bads.push_back(NoDisk.File);
  for (const auto& Bad : Bads) {
    SCOPED_TRACE(Bad.string());
    const size_t Before = Rig.MessageCount();
    Rig.Open(Bad);
    ASSERT_EQ(Rig.MessageCount(), Before + 1);
    EXPECT_EQ(Rig.Rig.Dialogs.Messages.back().first, TMachineMessageKind::Error);
    EXPECT_EQ(Window.DiskManagerFile, Pack.string());
    EXPECT_EQ(Window.DiskManagerPackIndex, 1);
    EXPECT_EQ(Rig.Lines(), Lines);
    EXPECT_EQ(Rig.PackLines(), PackLines);
    EXPECT_EQ(Rig.Page().DiskManagerDiskPackNames->currentRow(), 1);
    EXPECT_FALSE(Rig.Page().DiskPackNamesPanel->isHidden());
  }
  EXPECT_NE(Rig.Messages()[0].find("not a disk pack"), std::string::npos) << Rig.Messages()[0];
  for (size_t Shown = 3; Shown < Bads.size(); ++Shown)
    EXPECT_NE(Rig.Messages()[Shown].find("Selected disk is not a CP/M disk image!"), std::string::npos)
        << Rig.Messages()[Shown];
  for (size_t Index = 0; Index < NoDisks.size(); ++Index) {
    const std::string Shown = Rig.Messages()[5 + Index];
    EXPECT_NE(Shown.find(NoDisks[Index].File.string() + NoDisks[Index].Reason), std::string::npos) << Shown;
    EXPECT_TRUE(ReadBytes(NoDisks[Index].File) == NoDisks[Index].Kept) << NoDisks[Index].File;
  }
  EXPECT_EQ(ReadBytes(Note), Bytes("Shopping: bread, milk.\nCall the plumber on Monday.\n"));
  EXPECT_EQ(ReadBytes(Random), Pattern(1000, 5));

  // A disk whose directory has a damaged entry among its files opens: its
  // files are listed and can be exported.
  const auto Damaged = Rig.MakeDisk("damaged.cpmdsk");
  PutCpmFile(Damaged, "FIRST.TXT", Bytes("the first file\r\n"));
  PutCpmFile(Damaged, "SECOND.COM", Pattern(5000, 6), 3, -1, 0);
  std::vector<uint8_t> DamagedBytes = ReadBytes(Damaged);
  const std::vector<uint8_t> Garbage = Pattern(32, 7);
  std::copy(Garbage.begin(), Garbage.end(), DamagedBytes.begin() + 8192 + 32 * 5);
  ASSERT_GT(DamagedBytes[8192 + 32 * 5], 0x21) << "no user number, label or time stamps";
  korvel_test::WriteBytes(Damaged, DamagedBytes);
  Rig.Open(Damaged);
  EXPECT_EQ(Window.DiskManagerFile, Damaged.string()) << Rig.LastMessage();
  ASSERT_EQ(Rig.Lines().size(), 2u);
  Rig.Select("SECOND.COM", 3);
  Rig.Rig.Dialogs.FileAnswers.push_back(Rig.File("second.com").string());
  Window.DM_ExportBinaryFileAct->trigger();
  std::vector<uint8_t> Second = Pattern(5000, 6);
  Second.resize(5120, 0);
  EXPECT_EQ(ReadBytes(Rig.File("second.com")), Second);
  EXPECT_EQ(ReadBytes(Damaged), DamagedBytes);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "DiskManager-damaged-directory");
  Rig.Open(Pack, 1);

  // A pack whose one disk cannot be read: the click leaves the disk shown.
  std::filesystem::resize_file(Pack, TDiskPack::DataOffsetFor(4) + 3 * TDiskPack::DISK_SIZE);
  Rig.Page().DiskManagerDiskPackNames->setCurrentRow(3);
  TMainWindowRig::Settle(1);
  EXPECT_EQ(Window.DiskManagerPackIndex, 1);
  EXPECT_EQ(Rig.Lines(), Lines);
  EXPECT_EQ(Rig.Page().DiskManagerDiskPackNames->currentRow(), 1);
  KORVEL_REQUIRE_FIXTURE("cpm22/programs/PIP.COM");
}

TEST(DiskManagerPageTest, ActionsFollowTheSelectionAndTheDrivesByFileIdentity) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  TDiskManagerPage& Page = Rig.Page();
  const auto Enabled = [&](std::initializer_list<QAction*> Actions) {
    std::string Text;
    for (QAction* Action : Actions) Text += Action->isEnabled() ? "1" : "0";
    return Text;
  };
  // No disk: choosing, creating only.
  EXPECT_EQ(Enabled({Window.DM_SelectDiskFileAct, Window.DM_CreateDiskAct, Window.DM_CreateDiskPackAct}), "111");
  EXPECT_EQ(Enabled({Window.DM_RefreshDisplayAct, Window.DM_ImportTextFileAct, Window.DM_ExportTextFileAct,
                     Window.DM_EjectDiskAct, Window.DM_BackupDiskAct, Window.DM_SetDiskBootImageAct}),
            "000000");

  const auto Disk = Rig.MakeDisk("disk.cpmdsk");
  for (const char* Name : {"A.TXT", "B.TXT", "C.TXT"}) PutCpmFile(Disk, Name, Bytes(Name));
  Rig.Open(Disk);
  QAction* const Files[] = {Window.DM_ImportTextFileAct, Window.DM_ImportBinaryFileAct, Window.DM_ExportTextFileAct,
                            Window.DM_ExportBinaryFileAct, Window.DM_DeleteFileAct,     Window.DM_RenameFileAct,
                            Window.DM_ViewFileAct,         Window.DM_SetAttributesAct,  Window.DM_ChangeUserAct};
  const auto FileStates = [&] {
    std::string Text;
    for (QAction* Action : Files) Text += Action->isEnabled() ? "1" : "0";
    return Text;
  };
  Page.DiskFileList->clearSelection();
  Page.DiskFileList->setCurrentRow(-1);
  TMainWindowRig::Settle(1);
  EXPECT_EQ(FileStates(), "110000000") << "nothing selected: import only";
  Rig.Select("B.TXT");
  EXPECT_EQ(FileStates(), "111111111");
  Rig.Select({{"A.TXT", 0}, {"C.TXT", 0}});
  EXPECT_EQ(Page.SelectedCount(), 2);
  EXPECT_EQ(FileStates(), "111110011") << "two lines: neither rename nor view";

  // The disk in drive B, mounted under another spelling of its path: changes
  // are refused, reading goes on.
  const std::filesystem::path Link = Rig.File("link.cpmdsk");
  std::filesystem::create_symlink(Disk, Link);
  Rig.Machine().MountDrive(1, Link.string());
  TMainWindowRig::Settle(1);
  Window.UpdateActions();
  EXPECT_EQ(FileStates(), "001100000");
  EXPECT_NE(Page.DiskInUseReason(Disk.string()).find("drive B:"), std::string::npos);
  // A file of the same name but another letter case is another file.
  EXPECT_EQ(Page.DiskInUseReason(Rig.MakeDisk("DISK.cpmdsk").string()), "");
  // Executed all the same (a test, a stale tool bar): refused with the reason.
  Page.DiskFileList->setCurrentRow(0);
  EXPECT_FALSE(Window.Guarded([&] { Page.DeleteFileActExecute(); }));
  EXPECT_TRUE(Rig.Rig.Dialogs.Questions.empty()) << "refused before asking";
  EXPECT_FALSE(korvel_test::CpmFile(Disk, "A.TXT").empty());
  ASSERT_FALSE(Rig.Messages().empty());
  EXPECT_NE(Rig.LastMessage().find("drive B:"), std::string::npos) << Rig.LastMessage();
  Rig.Machine().UnmountDrive(1);
  Window.UpdateActions();
  EXPECT_EQ(FileStates(), "111111111") << "one line selected now";

  // Served to a client of the remote disk server: the same.
  RemoteDiskClientAddress Client;
  Client.Address = 0x0100007F;
  Client.Port = 4000;
  Client.ClientId = 1;
  Window.RmtDskMod().SessionList.Mount(false, Disk, Client);
  Window.UpdateActions();
  EXPECT_EQ(FileStates(), "001100100");
  EXPECT_NE(Page.DiskInUseReason(Disk.string()).find("remote disk server"), std::string::npos);
  Window.RmtDskMod().SessionList.Clear();
  Window.UpdateActions();
  EXPECT_EQ(FileStates(), "111111111");

  // Served only from the moment the question is open: refused all the same.
  Rig.Select("A.TXT");
  Rig.Dialogs.WhileAsked = [&] { Window.RmtDskMod().SessionList.Mount(false, Disk, Client); };
  EXPECT_FALSE(Window.Guarded([&] { Page.DeleteFileActExecute(); }));
  EXPECT_NE(Rig.LastMessage().find("remote disk server"), std::string::npos) << Rig.LastMessage();
  EXPECT_EQ(korvel_test::CpmFile(Disk, "A.TXT", 0, true), Bytes("A.TXT"));
  Window.RmtDskMod().SessionList.Clear();

  // An export never takes the place of the disk it reads, nor of a disk in a drive.
  const auto DiskBytes = korvel_test::ReadBytes(Disk);
  const auto Other = Rig.MakeDisk("other.cpmdsk");
  Rig.Machine().MountDrive(2, Other.string());
  for (const auto& Target : {Disk, Other}) {
    Rig.Select("A.TXT");
    Rig.Rig.Dialogs.FileAnswers.push_back(Target.string());
    EXPECT_FALSE(Window.Guarded([&] { Page.ExportFiles(false); })) << Target;
    EXPECT_NE(Rig.LastMessage().find("can not be replaced"), std::string::npos) << Rig.LastMessage();
  }
  EXPECT_NE(Rig.LastMessage().find("drive C:"), std::string::npos) << Rig.LastMessage();
  Rig.Machine().UnmountDrive(2);
  EXPECT_EQ(korvel_test::ReadBytes(Disk), DiskBytes);
  EXPECT_EQ(korvel_test::ReadBytes(Other), std::vector<uint8_t>(1048576, 0xE5));
}

TEST(DiskManagerPageTest, MouseRulesDoubleClickAndDeletingTheLastLine) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  TDiskManagerPage& Page = Rig.Page();
  const auto Disk = Rig.MakeDisk("disk.cpmdsk");
  for (const char* Name : {"A.TXT", "B.TXT", "C.TXT"}) PutCpmFile(Disk, Name, Bytes(std::string("text of ") + Name));
  Rig.Open(Disk);
  QListWidget* List = Page.DiskFileList;
  const auto Click = [&](int Row, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) {
    QTest::mouseClick(List->viewport(), Qt::LeftButton, Modifiers, List->visualItemRect(List->item(Row)).center());
    TMainWindowRig::Settle(1);
  };
  Click(0);
  Click(2, Qt::ControlModifier);
  EXPECT_EQ(Page.SelectedCount(), 2);
  // Ctrl-click takes the line off again; the release with Ctrl held leaves it so.
  Click(2, Qt::ControlModifier);
  EXPECT_EQ(Page.SelectedCount(), 1);
  // A plain click selects that line alone.
  Click(1);
  EXPECT_EQ(Page.SelectedCount(), 1);
  EXPECT_TRUE(List->item(1)->isSelected());

  // A double click views the file.
  QTest::mouseDClick(List->viewport(), Qt::LeftButton, Qt::NoModifier, List->visualItemRect(List->item(1)).center());
  TMainWindowRig::Settle(2);
  ASSERT_TRUE(Page.TextViewer->isVisible());
  EXPECT_EQ(Page.TextViewer->windowTitle().toStdString(), "View [B.TXT user area: 0]");
  Page.TextViewer->close();

  // Deleting the last line selects the new last line.
  Rig.Select("C.TXT");
  Rig.Rig.Dialogs.AskAnswers.push_back(true);
  Window.DM_DeleteFileAct->trigger();
  ASSERT_EQ(Rig.Rig.Dialogs.Questions.back(), "Delete File \"C.TXT\"?|OK|Cancel");
  ASSERT_EQ(List->count(), 2);
  EXPECT_EQ(List->currentRow(), 1);
  EXPECT_TRUE(List->item(1)->isSelected());
  // Several: one question for all, and the line under the old index stays.
  Rig.Select({{"A.TXT", 0}, {"B.TXT", 0}});
  Rig.Rig.Dialogs.AskAnswers.push_back(false);
  Window.DM_DeleteFileAct->trigger();
  EXPECT_EQ(Rig.Rig.Dialogs.Questions.back(), "Delete the 2 selected files from the disk?|OK|Cancel");
  EXPECT_EQ(List->count(), 2) << "cancelled";
  Rig.Rig.Dialogs.AskAnswers.push_back(true);
  Window.DM_DeleteFileAct->trigger();
  EXPECT_EQ(List->count(), 0);
  EXPECT_EQ(Rig.Messages().size(), 0u) << Rig.LastMessage();
  EXPECT_FALSE(TCpmDiskDrive(Disk).FileExists("A.TXT", 0));

  // Refresh Display keeps the file under the cursor.
  PutCpmFile(Disk, "X.TXT", Bytes("x"));
  PutCpmFile(Disk, "Y.TXT", Bytes("y"));
  Window.DM_RefreshDisplayAct->trigger();
  Rig.Select("Y.TXT");
  PutCpmFile(Disk, "A.TXT", Bytes("a"));
  Window.DM_RefreshDisplayAct->trigger();
  ASSERT_EQ(List->count(), 3);
  EXPECT_EQ(List->currentRow(), 2);
  EXPECT_TRUE(List->item(2)->isSelected());
}

}  // namespace
