// The disk manager beside the running machine: disks put into drives A to D and
// taken out while CP/M runs (captions, lamps, and CP/M noticing the change), a
// disk open in the manager while CP/M writes it, and a disk given a boot image
// by the manager that boots and warm-boots in the machine.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <vector>

#include "AdStatLt.h"
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

size_t Count(const std::string& Text, const std::string& Part) {
  size_t Found = 0;
  for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1)) ++Found;
  return Found;
}

// Everything CP/M writes to the CRT, kept beside the screen (which scrolls).
class TConsole {
 public:
  explicit TConsole(TDiskManagerRig& Rig) : FRig(Rig) {
    TCpuEmu& Cpu = Rig.Machine().Cpu();
    TCpuPortWriteProc Devices = Cpu.OnPortWrite;
    Cpu.OnPortWrite = [this, Devices](TCpuEmu& Sender, uint16_t Port, uint8_t Data) {
      if ((Port & 0xFF) == 19) Transcript += static_cast<char>(Data);
      if (Devices) Devices(Sender, Port, Data);
    };
  }
  // Types a command line, then waits for Expected and the next prompt after it;
  // false when they do not come.
  bool Command(const std::string& Line, const std::string& Expected = {}) {
    const size_t From = Transcript.size();
    FRig.Machine().TypeCrtKeys(Line + "\r");
    return WaitFor(From, Expected);
  }
  // Waits for Expected after From, then the prompt after that.
  bool WaitFor(size_t From, const std::string& Expected = {}) {
    size_t At = std::string::npos;
    if (!FRig.Rig.WaitFor([&] {
          At = Transcript.find(Expected, From);
          return At != std::string::npos;
        }))
      return false;
    return FRig.Rig.WaitFor([&] {
      const std::string After = Transcript.substr(At + Expected.size());
      return After.find("\na>") != std::string::npos || After.find("\nA>") != std::string::npos;
    });
  }
  std::string Transcript;

 private:
  TDiskManagerRig& FRig;
};

// Cold boot to the prompt with the shared CP/M image and the program's BIOS.
bool Boot(TDiskManagerRig& Rig, TConsole& Console) {
  Rig.Rig.ChooseCpmImage();
  const size_t From = Console.Transcript.size();
  Rig.Window().ResetCPMAct->trigger();
  return Rig.Rig.WaitFor([&] {
    const std::string After = Console.Transcript.substr(From);
    return After.find("a>") != std::string::npos || After.find("A>") != std::string::npos;
  });
}

TEST(DiskManagerMachineTest, InsertAndEjectWhileCpmRunsAndCpmNoticesTheChange) {
  KORVEL_REQUIRE_FIXTURE("cpm22/cpm22.hex");
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  const auto First = Rig.MakeDisk("first.cpmdsk");
  PutCpmFile(First, "ONE.TXT", Bytes("one\r\n"));
  const auto Second = Rig.MakeDisk("second.cpmdsk");
  PutCpmFile(Second, "TWO.TXT", Bytes("two\r\n"));
  TConsole Console(Rig);
  ASSERT_TRUE(Boot(Rig, Console)) << Console.Transcript;
  Window.ShowPage(TMainOrvanta::DisksPageIndex);

  Dialogs.FileAnswers.push_back(First.string());
  Window.ChangeDriveAct[1]->trigger();
  EXPECT_EQ(Dialogs.FileRequests.back().Title, "Select Drive B Disk");
  EXPECT_EQ(Window.DiskCaption[1]->text(), "\"first\"");
  EXPECT_EQ(Window.ChangeDriveAct[1]->text(), "Change B:");
  EXPECT_TRUE(Window.EjectDriveAct[1]->isEnabled());
  EXPECT_EQ(Window.DiskLight[1]->GetNotLitColor(), QColor(0, 0, 255));
  // The BIOS tells CP/M of the new disk, and CP/M starts afresh.
  ASSERT_TRUE(Console.Command("DIR B:", "Disk changed - CP/M restarts")) << Console.Transcript;
  ASSERT_TRUE(Console.Command("DIR B:", "ONE")) << Console.Transcript;
  EXPECT_TRUE(Window.DiskLight[1]->GetLit());
  EXPECT_EQ(Window.DiskLight[1]->GetLitColor(), QColor(255, 255, 0)) << "read";

  // Out, and the other disk in: the next DIR lists the other disk.
  Window.EjectDriveAct[1]->trigger();
  EXPECT_EQ(Window.DiskCaption[1]->text(), "(no disk)");
  EXPECT_EQ(Window.ChangeDriveAct[1]->text(), "Insert B:");
  EXPECT_FALSE(Window.EjectDriveAct[1]->isEnabled());
  EXPECT_FALSE(Window.DiskLight[1]->GetLit());
  EXPECT_EQ(Window.DiskLight[1]->GetNotLitColor(), QColor(128, 128, 128));
  Dialogs.FileAnswers.push_back(Second.string());
  Window.ChangeDriveAct[1]->trigger();
  EXPECT_EQ(Window.DiskCaption[1]->text(), "\"second\"");
  const size_t Before = Console.Transcript.size();
  ASSERT_TRUE(Console.Command("DIR B:", "Disk changed - CP/M restarts")) << Console.Transcript;
  ASSERT_TRUE(Console.Command("DIR B:", "TWO")) << Console.Transcript;
  EXPECT_EQ(Count(Console.Transcript.substr(Before), "ONE"), 0u) << Console.Transcript;
  // CP/M writes the new disk by its own allocation, not the old disk's.
  ASSERT_TRUE(Console.Command("SAVE 3 B:SAVED.COM")) << Console.Transcript;
  EXPECT_TRUE(TCpmDiskDrive(Second).FileExists("SAVED.COM", 0));
  EXPECT_EQ(Window.DiskLight[1]->GetLitColor(), QColor(255, 0, 0)) << "written";
  ASSERT_TRUE(Console.Command("DIR B:", "SAVED")) << Console.Transcript;
  EXPECT_EQ(CpmFile(Second, "TWO.TXT", 0, true), Bytes("two\r\n"));
  EXPECT_EQ(CpmFile(First, "ONE.TXT", 0, true), Bytes("one\r\n"));
  EXPECT_FALSE(TCpmDiskDrive(First).FileExists("SAVED.COM", 0));
  TMainWindowRig::Settle(3);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "DiskManager-drives");

  // C: and D: alike.
  for (const int Drive : {2, 3}) {
    const auto Disk = Rig.MakeDisk(std::string("drive").append(1, static_cast<char>('c' + Drive - 2)).append(".cpmdsk"));
    Dialogs.FileAnswers.push_back(Disk.string());
    Window.ChangeDriveAct[static_cast<size_t>(Drive)]->trigger();
    std::string Caption(1, '"');
    Caption.append(Disk.stem().string()).append(1, '"');
    EXPECT_EQ(Window.DiskCaption[static_cast<size_t>(Drive)]->text().toStdString(), Caption);
    EXPECT_TRUE(Window.EjectDriveAct[static_cast<size_t>(Drive)]->isEnabled());
    Window.EjectDriveAct[static_cast<size_t>(Drive)]->trigger();
    EXPECT_EQ(Window.DiskCaption[static_cast<size_t>(Drive)]->text(), "(no disk)");
  }
  // A disk in another drive, or served to a client, goes into no drive.
  Dialogs.FileAnswers.push_back(Second.string());
  Window.ChangeDriveAct[2]->trigger();
  EXPECT_EQ(Window.DiskCaption[2]->text(), "(no disk)");
  EXPECT_NE(Rig.LastMessage().find("already mounted"), std::string::npos) << Rig.LastMessage();
  RemoteDiskClientAddress Client;
  Client.Address = 0x0100007F;
  Client.Port = 4002;
  Client.ClientId = 1;
  Window.RmtDskMod().SessionList.Mount(false, First, Client);
  Dialogs.FileAnswers.push_back(First.string());
  Window.ChangeDriveAct[3]->trigger();
  EXPECT_EQ(Window.DiskCaption[3]->text(), "(no disk)");
  EXPECT_NE(Rig.LastMessage().find("remote disk server"), std::string::npos) << Rig.LastMessage();
  EXPECT_FALSE(Rig.Machine().DiskController().HasDisk(3));
  // A note or random bytes chosen through "All Files" are no disks, nor are
  // whole records that end at or before the directory (a text, 4 KiB of
  // random bytes, a program), nor whole disks whose directory holds no disk's
  // (random bytes, a ROM image, zeros): drive A keeps the running disk, and
  // the files their bytes.
  const QString BootDisk = Window.DiskCaption[0]->text();
  const std::string BootDiskFile = Rig.Machine().DriveFileName[0];
  const auto Note = Rig.HostFile("notes.txt", Bytes("Shopping: bread, milk.\nCall the plumber on Monday.\n"));
  const auto Random = Rig.HostFile("random.bin", Pattern(1000, 5));
  std::vector<korvel_test::TNoDiskFile> NoDisks = {{Note, ReadBytes(Note), "\" is 51 bytes long"},
                                                   {Random, ReadBytes(Random), "\" is 1000 bytes long"}};
  for (auto& NoDisk : korvel_test::FilesThatAreNoDisks(Rig)) NoDisks.push_back(std::move(NoDisk));
  for (const auto& NoDisk : NoDisks) {
    SCOPED_TRACE(NoDisk.File.string());
    Dialogs.FileAnswers.push_back(NoDisk.File.string());
    Window.ChangeDriveAct[0]->trigger();
    EXPECT_NE(Rig.LastMessage().find("Selected disk is not a CP/M disk image!"), std::string::npos)
        << Rig.LastMessage();
    EXPECT_NE(Rig.LastMessage().find(NoDisk.File.string() + NoDisk.Reason), std::string::npos) << Rig.LastMessage();
    EXPECT_EQ(Window.DiskCaption[0]->text(), BootDisk);
    EXPECT_TRUE(ReadBytes(NoDisk.File) == NoDisk.Kept);
  }
  ASSERT_TRUE(Console.Command("DIR")) << "CP/M runs on from its own disk: " << Console.Transcript;

  // A new disk made as users make one: an empty file into drive A, and CP/M
  // restarts from it. Back on the old boot disk, the new one goes into B,
  // opens in the disk manager and mounts for a client of the disk server.
  const auto Fresh = Rig.HostFile("fresh.cpmdsk", {});
  Dialogs.FileAnswers.push_back(Fresh.string());
  Window.ChangeDriveAct[0]->trigger();
  ASSERT_EQ(Window.DiskCaption[0]->text(), "\"fresh\"") << Rig.LastMessage();
  ASSERT_TRUE(Console.Command("DIR", "Disk changed - CP/M restarts")) << Console.Transcript;
  ASSERT_TRUE(Console.Command("DIR", "No file")) << Console.Transcript;
  Dialogs.FileAnswers.push_back(BootDiskFile);
  Window.ChangeDriveAct[0]->trigger();
  ASSERT_EQ(Window.DiskCaption[0]->text(), BootDisk) << Rig.LastMessage();
  ASSERT_TRUE(Console.Command("DIR", "Disk changed - CP/M restarts")) << Console.Transcript;
  Dialogs.FileAnswers.push_back(Fresh.string());
  Window.ChangeDriveAct[1]->trigger();
  ASSERT_EQ(Window.DiskCaption[1]->text(), "\"fresh\"") << Rig.LastMessage();
  ASSERT_TRUE(Console.Command("DIR B:", "Disk changed - CP/M restarts")) << Console.Transcript;
  ASSERT_TRUE(Console.Command("DIR B:", "No file")) << Console.Transcript;
  Window.EjectDriveAct[1]->trigger();
  Window.ShowPage(TMainOrvanta::DiskManagerPageIndex);
  const size_t Shown = Rig.MessageCount();
  Rig.Open(Fresh);
  EXPECT_EQ(Rig.MessageCount(), Shown) << Rig.LastMessage();
  EXPECT_EQ(Window.DiskManagerFile, Fresh.string());
  EXPECT_TRUE(Rig.Lines().empty());
  Client.ClientId = 2;
  EXPECT_NO_THROW(Window.RmtDskMod().SessionList.Mount(false, Fresh, Client));
  TMainWindowRig::Settle(3);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "DiskManager-new-disk-from-drive-A");
}

TEST(DiskManagerMachineTest, ADiskOpenWhileTheMachineWritesItNeverShowsAStaleList) {
  KORVEL_REQUIRE_FIXTURE("cpm22/cpm22.hex");
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  const auto DiskA = Rig.WorkFolder() / "DiskA.cpmdsk";
  PutCpmFile(DiskA, "KEEP.TXT", Bytes("keep\r\n"));
  TConsole Console(Rig);
  ASSERT_TRUE(Boot(Rig, Console)) << Console.Transcript;
  Window.ShowPage(TMainOrvanta::DiskManagerPageIndex);
  Rig.Open(DiskA);
  ASSERT_EQ(Rig.Lines().size(), 1u);
  Rig.Select("KEEP.TXT");
  Window.UpdateActions();
  EXPECT_FALSE(Window.DM_ImportTextFileAct->isEnabled()) << "in drive A";
  EXPECT_FALSE(Window.DM_DeleteFileAct->isEnabled());
  EXPECT_TRUE(Window.DM_ExportTextFileAct->isEnabled());

  // What CP/M writes shows without a refresh, and the selection stays.
  Rig.Machine().TypeCrtKeys("SAVE 2 FRESH.COM\r");
  ASSERT_TRUE(Rig.Rig.WaitFor([&] { return Rig.RowOf("FRESH.COM") >= 0; }, 5000)) << Rig.Rig.CrtText();
  EXPECT_EQ(Rig.Lines()[static_cast<size_t>(Rig.RowOf("FRESH.COM"))], " 0       FRESH.COM  rsa     4     1       512      2048");
  EXPECT_TRUE(Rig.Page().DiskFileList->item(Rig.RowOf("KEEP.TXT"))->isSelected());
  EXPECT_EQ(Rig.Page().StatusPanels[3]->text(), "1,028,096");
  Rig.Machine().TypeCrtKeys("REN OTHER.COM=FRESH.COM\r");
  ASSERT_TRUE(Rig.Rig.WaitFor([&] { return Rig.RowOf("OTHER.COM") >= 0 && Rig.RowOf("FRESH.COM") < 0; }, 5000));
  Rig.Machine().TypeCrtKeys("ERA OTHER.COM\r");
  ASSERT_TRUE(Rig.Rig.WaitFor([&] { return Rig.RowOf("OTHER.COM") < 0; }, 5000));
  EXPECT_EQ(Rig.Lines().size(), 1u);
  EXPECT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();

  // A disk that another program writes (not in a drive): seen by the page too.
  const auto Other = Rig.MakeDisk("other.cpmdsk");
  Rig.Open(Other);
  PutCpmFile(Other, "OUTSIDE.TXT", Bytes("written by another program"));
  ASSERT_TRUE(Rig.Rig.WaitFor([&] { return Rig.RowOf("OUTSIDE.TXT") >= 0; }, 5000));
}

TEST(DiskManagerMachineTest, ADiskGivenABootImageBootsAndWarmBoots) {
  KORVEL_REQUIRE_FIXTURE("cpm22/cpm22.hex");
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  auto& Dialogs = Rig.Rig.Dialogs;
  Rig.Rig.ChooseCpmImage();
  const std::string CpmHex = korvel_test::Fixture("cpm22/cpm22.hex").string();
  const std::string BiosHex = (Rig.WorkFolder() / "vantel.hex").string();
  ASSERT_TRUE(std::filesystem::exists(BiosHex));
  TConsole Console(Rig);
  const auto LoaderHex = Rig.File("loader.hex");
  const auto Loader = Pattern(200, 11);
  korvel_test::WriteHexFile(LoaderHex, 0, Loader);

  // A new disk from the page, a file on it, and a boot image.
  Dialogs.FileAnswers.push_back(Rig.File("bootme").string());
  Window.DM_CreateDiskAct->trigger();
  const auto Disk = Rig.File("bootme.cpmdsk");
  Rig.Open(Disk);
  const auto Hello = Rig.HostFile("hello.txt", Bytes("Hello from the disk manager\r\n"));
  Rig.Dialogs.FilesAnswers.push_back(std::vector<std::string>{Hello.string()});
  Window.DM_ImportTextFileAct->trigger();
  const auto SetBootImage = [&] {
    Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
      auto& Boot = dynamic_cast<TBootLoaderDlg&>(Dialog);
      Boot.C_CpmSourceFile()->setText(QString::fromStdString(CpmHex));
      Boot.C_BiosSourceFile()->setText(QString::fromStdString(BiosHex));
      Boot.C_BootLoaderFile()->setText(QString::fromStdString(LoaderHex.string()));
      Boot.BuildButton()->click();
    });
    Window.DM_SetDiskBootImageAct->trigger();
  };
  SetBootImage();
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
  const TBootImageSpan Span = Rig.Machine().BuildBootImage();
  std::vector<uint8_t> Tracks = ReadBytes(Disk);
  EXPECT_TRUE(std::equal(Loader.begin(), Loader.end(), Tracks.begin()));
  for (uint32_t Offset = 0; Offset < Span.End - Span.Low; ++Offset)
    ASSERT_EQ(Tracks[256 + Offset], Rig.Machine().BootImage[(Span.Low + Offset) & 0xFFFF]) << Offset;

  // Into drive A and booted: CP/M comes up, lists the file, and a warm boot
  // (^C at the prompt) reloads CCP and BDOS from the disk's first tracks:
  // the CCP in memory is wiped first, so only a good reload brings it back.
  Dialogs.FileAnswers.push_back(Disk.string());
  Window.ChangeDriveAct[0]->trigger();
  ASSERT_EQ(Window.DiskCaption[0]->text(), "\"bootme\"") << Rig.LastMessage();
  ASSERT_TRUE(Boot(Rig, Console)) << Console.Transcript;
  ASSERT_TRUE(Console.Command("DIR", "HELLO")) << Console.Transcript;
  const auto WarmBoot = [&] {
    for (uint32_t Address = Span.Low; Address < Span.Low + 0x800u; ++Address)
      Rig.Machine().Cpu().WriteByte(static_cast<uint16_t>(Address), 0x76);  // HALT
    const size_t From = Console.Transcript.size();
    Rig.Machine().TypeCrtKeys("\x03");
    return Console.WaitFor(From, "^C") && Console.Command("DIR", "HELLO");
  };
  ASSERT_TRUE(WarmBoot()) << Console.Transcript;

  // While it is in drive A the page gives it no boot image (the machine reads
  // its tracks on every warm boot), and says why.
  Window.ShowPage(TMainOrvanta::DiskManagerPageIndex);
  const size_t Shown = Dialogs.DialogTitles.size();
  const std::vector<uint8_t> InDrive = ReadBytes(Disk);
  Window.DM_SetDiskBootImageAct->trigger();
  EXPECT_EQ(Dialogs.DialogTitles.size(), Shown);
  EXPECT_NE(Rig.LastMessage().find("drive A:"), std::string::npos) << Rig.LastMessage();
  EXPECT_EQ(ReadBytes(Disk), InDrive);
  ASSERT_TRUE(WarmBoot()) << Console.Transcript;

  // Taken out, given a boot image again, put back: boots again; the file is
  // whole after all of it.
  Window.RunCpuAct->trigger();
  Window.EjectDriveAct[0]->trigger();
  const size_t Messages = Rig.MessageCount();
  SetBootImage();
  ASSERT_EQ(Rig.MessageCount(), Messages) << Rig.LastMessage();
  Tracks = ReadBytes(Disk);
  EXPECT_TRUE(std::equal(Loader.begin(), Loader.end(), Tracks.begin()));
  Dialogs.FileAnswers.push_back(Disk.string());
  Window.ChangeDriveAct[0]->trigger();
  ASSERT_TRUE(Boot(Rig, Console)) << Console.Transcript;
  ASSERT_TRUE(Console.Command("DIR", "HELLO")) << Console.Transcript;
  ASSERT_TRUE(WarmBoot()) << Console.Transcript;
  EXPECT_EQ(CpmFile(Disk, "HELLO.TXT", 0, true), ReadBytes(Hello));
  TMainWindowRig::Settle(3);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "DiskManager-booted");
}

}  // namespace
