// The system manager behind ports 64 and 65.
#include <gtest/gtest.h>

#include <ctime>
#include <random>

#include "Fixtures.h"
#include "IntelHexLoader.h"
#include "MachineTestSupport.h"
#include "Unprivileged.h"

using machine_test::MachineTest;

namespace {

// A printer that records what it is given.
class TRecordingPrinter final : public IMachinePrinter {
 public:
  void PrintChar(uint8_t Value) override {
    if (FailNext) throw std::runtime_error("paper jam");
    Printed += static_cast<char>(Value);
    Printing = true;
  }
  bool PrinterAvailable() const override { return Available; }
  bool IsPrinting() const override { return Printing; }
  int PageCount() const override { return Printing ? Pages : 0; }
  void EjectJob() override {
    ++Ejects;
    Printing = false;
    if (FailEject) throw std::runtime_error("the print queue refused the job");
  }
  void AbortJob() override {
    ++Aborts;
    Printing = false;
  }
  std::string Printed;
  bool Available = true;
  bool Printing = false;
  bool FailNext = false;
  bool FailEject = false;
  int Pages = 0;
  int Ejects = 0;
  int Aborts = 0;
};

class SystemManagerTest : public MachineTest {
 protected:
  // Sends a command the way a CP/M program does and reads the reply up to ^Z.
  std::string Command(const std::string& Text) {
    Out(64, 0);
    for (char C : Text) Out(65, static_cast<uint8_t>(C));
    Out(64, 1);
    std::string Reply;
    for (int I = 0; I < 20000; ++I) {
      const uint8_t C = In(65);
      if (C == 26) break;
      Reply += static_cast<char>(C);
    }
    return Reply;
  }
  void Boot() {
    WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
    Machine.ColdBoot();
  }
};

TEST_F(SystemManagerTest, StatusBitsFollowTheQueuesAndTheDiskChangedFlag) {
  EXPECT_EQ(In(64), 4);
  for (int I = 0; I < 512; ++I) Out(65, 'x');
  EXPECT_EQ(In(64), 0) << "a full command queue and no reply";
  Out(65, 'y');
  EXPECT_EQ(Machine.SysCommandQueue.Count(), 512);
  Out(64, 0);
  EXPECT_EQ(In(64), 4);
  Machine.SysResponseQueue.Put('r');
  Machine.DiskChangedFlag = 1;
  EXPECT_EQ(In(64), 2 + 4 + 128);
  Out(64, 7);  // other values are ignored
  EXPECT_EQ(In(64), 2 + 4 + 128);
  Out(64, 0);
  EXPECT_EQ(In(64), 2 + 4);
  EXPECT_EQ(In(65), 'r');
  EXPECT_EQ(In(65), 26);
  EXPECT_EQ(In(65), 26);
}

TEST_F(SystemManagerTest, AnEmptyCommandGivesTheHelpText) {
  const std::string Reply = Command("");
  EXPECT_EQ(Reply.rfind("\r\nSystem manager for Korvel CPM emulator:\r\n\r\n", 0), 0u) << Reply;
  EXPECT_NE(Reply.find("  \"SYS MOUNT d: disk_name\" -- insert a disk into any drive.\r\n"), std::string::npos);
  EXPECT_NE(Reply.find("  \"SYS PRINT ABORT\" -- abort spooled page(s).\r\n\r\n"), std::string::npos);
  EXPECT_EQ(Reply.size(), Reply.find("abort spooled page(s).\r\n\r\n") + 26);
  EXPECT_EQ(Command("  \x01 "), Reply) << "blanks and control characters are trimmed";
}

TEST_F(SystemManagerTest, VerbsAreUpperCasedAndUnknownOnesReported) {
  const std::string Help = Command("MOUNT");
  EXPECT_EQ(Command("mount"), Help);
  EXPECT_EQ(Help.rfind("\r\n\r\nMount a disk into any drive, or view a list of disks:\r\n", 0), 0u);
  EXPECT_NE(Help.find("Currently mounted disks:\r\n\r\n  A: (no disk)\r\n  B: (no disk)\r\n  C: (no disk)\r\n  D: (no disk)\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(Command("FOO bar"), "\r\nInvalid command \"FOO!\r\n");
  EXPECT_EQ(Command("foo"), "\r\nInvalid command \"FOO!\r\n");
}

TEST_F(SystemManagerTest, DateAndTimeUseTheClock) {
  std::tm Local{};
  Local.tm_year = 2024 - 1900;
  Local.tm_mon = 1;
  Local.tm_mday = 5;
  Local.tm_hour = 13;
  Local.tm_min = 7;
  Local.tm_sec = 9;
  Local.tm_isdst = -1;
  const auto When = std::chrono::system_clock::from_time_t(std::mktime(&Local));
  Machine.Clock = [When] { return When; };
  EXPECT_EQ(Command("DATE"), "\r\nMonday February 05, 2024\r\n");
  EXPECT_EQ(Command("TIME"), "\r\n1:07:09 pm\r\n");
  const std::string Now = Command("NOW");
  EXPECT_EQ(Now.substr(0, 2), "\r\n");
  EXPECT_NE(Now.find("13:07:09"), std::string::npos) << Now;
  Local.tm_hour = 0;
  const auto Midnight = std::chrono::system_clock::from_time_t(std::mktime(&Local));
  Machine.Clock = [Midnight] { return Midnight; };
  EXPECT_EQ(Command("TIME"), "\r\n12:07:09 am\r\n");
}

TEST_F(SystemManagerTest, MountPutsADiskIntoADriveAndSetsTheDiskChangedBit) {
  Boot();
  NewDisk("WORK");
  EXPECT_EQ(Command("MOUNT B: WORK"), "\r\n\r\nMounted \"WORK\" in drive \"B\"!\r\n");
  EXPECT_EQ(Machine.DriveCaption(1), "\"WORK\"");
  EXPECT_EQ(In(64) & 128, 128) << "the BIOS must log the drive in again";
  Out(64, 0);
  EXPECT_EQ(In(64) & 128, 0);
  EXPECT_EQ(Command("MOUNT B:"), "\r\n\r\n  B: \"WORK\"\r\n");
  EXPECT_EQ(Command("MOUNT C"), "\r\n\r\n  C: (no disk)\r\n");
  EXPECT_EQ(Command("MOUNT E"), "\r\n\r\nInvalid drive identifier \"E\"!\r\n");
  EXPECT_EQ(Command("MOUNT E:"), "\r\n\r\nInvalid drive identifier \"E:\"!\r\n");
  EXPECT_EQ(Command("MOUNT E: WORK"), "\r\n\r\nInvalid drive identifier \"E\"!\r\n");
  EXPECT_EQ(Command("MOUNT WORK"), "\r\n\r\nYou must indicate the drive to mount the disk!\r\n");
  EXPECT_EQ(Command("MOUNT C: NOSUCH"), "\r\n\r\nNo such disk as \"NOSUCH\"!\r\n");
}

TEST_F(SystemManagerTest, MountFindsDiskNamesWhateverTheirCase) {
  Boot();
  NewDisk("text edit");
  EXPECT_EQ(Command("MOUNT C: TEXT EDIT"), "\r\n\r\nMounted \"TEXT EDIT\" in drive \"C\"!\r\n");
  EXPECT_EQ(Machine.DriveCaption(2), "\"text edit\"");
}

TEST_F(SystemManagerTest, MountOfADiskInAnotherDriveNamesThatDrive) {
  Boot();
  NewDisk("WORK");
  Command("MOUNT C: WORK");
  Out(64, 0);
  EXPECT_EQ(Command("MOUNT B: WORK"), "\r\n\r\nThe disk is already mounted in drive \"C\"!\r\n");
  EXPECT_EQ(Machine.DriveCaption(1), "(no disk)");
  EXPECT_EQ(In(64) & 128, 0);
}

TEST_F(SystemManagerTest, MountTakesADiskNameNeverAPath) {
  Boot();
  machine_test::TTempFolder Outside;
  TDiskDrive::FormatDriveFile(Outside.File("x.cpmdsk"));
  const std::string Relative =
      std::filesystem::relative(Outside.File("x"), Folder.Path()).string();  // "../korvel-machine-.../x"
  for (const std::string& Name : {Relative, std::string("../x"), std::string("sub/x"), std::string("a\\b"),
                                  std::string(".."), Outside.File("x")}) {
    const std::string Reply = Command("MOUNT B: " + Name);
    EXPECT_EQ(Reply, "\r\n\r\nInvalid disk identifier \"" + Name + "\"!\r\n");
  }
  EXPECT_FALSE(Machine.DiskController().HasDisk(1));
  EXPECT_EQ(Command("MOUNT ../*"), "\r\n\r\nAvailable disks to mount:\r\n\r\nInvalid disk identifier \"../*\"!\r\n");
}

TEST_F(SystemManagerTest, AFailedMountIntoDriveANeverEjectsTheBootDisk) {
  Boot();
  machine_test::WriteTextFile(Folder.File("HUGE.cpmdsk"), std::string(1048577, '\xE5'));
  std::filesystem::create_directory(Folder.File("FOLDER.cpmdsk"));
  std::string Reply = Command("MOUNT A: HUGE");
  EXPECT_NE(Reply.find("Selected disk is bad!"), std::string::npos) << Reply;
  EXPECT_NE(Reply.find("more than the 1048576 bytes of a disk"), std::string::npos) << Reply;
  Reply = Command("MOUNT A: FOLDER");
  EXPECT_NE(Reply.find("it is a folder, not a file"), std::string::npos) << Reply;
  EXPECT_EQ(Machine.DriveCaption(0), "\"DiskA\"");
  EXPECT_EQ(machine_test::ReadBytes(Folder.File("HUGE.cpmdsk")).size(), 1048577u);
  EXPECT_EQ(In(64) & 128, 0);
}

TEST_F(SystemManagerTest, ShortDisksMountAndGrowWhileFilesThatAreNoDisksAreLeftAlone) {
  Boot();
  // An empty file and the 16 KiB that mkfs.cpm writes: disks whose missing part
  // is formatted.
  machine_test::WriteTextFile(Folder.File("EMPTY.cpmdsk"), "");
  machine_test::WriteTextFile(Folder.File("MKFS.cpmdsk"), std::string(16384, '\xE5'));
  EXPECT_EQ(Command("MOUNT A: MKFS"), "\r\n\r\nMounted \"MKFS\" in drive \"A\"!\r\n");
  EXPECT_EQ(machine_test::ReadBytes(Folder.File("MKFS.cpmdsk"))[0], CpmImage[0]);
  EXPECT_EQ(Command("MOUNT A: EMPTY"), "\r\n\r\nMounted \"EMPTY\" in drive \"A\"!\r\n");
  EXPECT_EQ(Command("MOUNT B: MKFS"), "\r\n\r\nMounted \"MKFS\" in drive \"B\"!\r\n");
  // The empty file became the boot image (48 records) and the empty
  // directory: a disk as mkfs.cpm writes one.
  std::vector<uint8_t> BootTracks = CpmImage;
  BootTracks.insert(BootTracks.end(), BiosImage.begin(), BiosImage.end());
  std::vector<uint8_t> Made(16384, 0xE5);
  std::copy(BootTracks.begin(), BootTracks.end(), Made.begin());
  EXPECT_EQ(machine_test::ReadBytes(Folder.File("EMPTY.cpmdsk")), Made);

  // Files that are no disks are refused in any drive, with the reason, and
  // left as they were: a note, a CP/M text with its ^Z padding, 4 KiB of
  // random bytes, a program, drive A's image alone of other images; and files
  // of a whole disk's length: random bytes, a ROM image (a program padded with
  // FFh), zero bytes (never formatted). SYS MOUNT lists none of them.
  const auto Short = [](size_t Size) {
    return "\" is " + std::to_string(Size) +
           " bytes long and ends at or before byte 8192, where the CP/M directory starts";
  };
  const std::string NoEntry = " entries from byte 8192 on are damaged, the first at byte 8192; ";
  std::string Letter;
  for (int Line = 1; Letter.size() < 1200; ++Line) Letter += "Line " + std::to_string(Line) + " of a letter.\r\n";
  Letter.resize(1280, '\x1A');
  std::mt19937 Generator(25);
  std::string Random(1048576, '\0');
  for (char& Byte : Random) Byte = static_cast<char>(Generator());
  std::vector<uint8_t> OtherBoot = BootTracks;
  OtherBoot[100] ^= 0xFF;
  std::string Rom(BiosImage.begin(), BiosImage.end());
  Rom.resize(1048576, '\xFF');
  struct TNoDisk {
    std::string Name, Bytes, Reason;
  };
  std::vector<TNoDisk> NoDisks = {
      {"NOTES", "Shopping: bread, milk.\r\nCall the plumber on Monday.\r\n", "not a whole number of 128-byte records"},
      {"LETTER", Letter, Short(1280)},
      {"RANDOM", Random.substr(0, 4096), Short(4096)},
      {"OTHERBOOT", std::string(OtherBoot.begin(), OtherBoot.end()), Short(6144)},
      {"RANDOM1M", Random, NoEntry},
      {"ROM", Rom, NoEntry},
      {"ZEROS", std::string(1048576, '\0'), "\" holds only zero bytes where the CP/M directory starts, at byte 8192: "
                                              "it was never formatted."}};
  for (const char* Program : {"PIP.COM", "ASM.COM"}) {
    if (!korvel_test::HasFixture(std::string("cpm22/programs/") + Program)) continue;
    const auto Bytes = korvel_test::ReadFile(korvel_test::Fixture(std::string("cpm22/programs/") + Program));
    NoDisks.push_back({std::string(Program, 3), std::string(Bytes.begin(), Bytes.end()), Short(Bytes.size())});
  }
  for (const TNoDisk& NoDisk : NoDisks) {
    SCOPED_TRACE(NoDisk.Name);
    machine_test::WriteTextFile(Folder.File(NoDisk.Name + ".cpmdsk"), NoDisk.Bytes);
    for (const char* Drive : {"A", "C"}) {
      const std::string Reply = Command(std::string("MOUNT ") + Drive + ": " + NoDisk.Name);
      EXPECT_NE(Reply.find("Selected disk is not a CP/M disk image!"), std::string::npos) << Reply;
      EXPECT_NE(Reply.find(NoDisk.Reason), std::string::npos) << Reply;
    }
    const std::vector<uint8_t> Kept = machine_test::ReadBytes(Folder.File(NoDisk.Name + ".cpmdsk"));
    EXPECT_TRUE(std::string(Kept.begin(), Kept.end()) == NoDisk.Bytes);
  }
  EXPECT_EQ(Machine.DriveCaption(0), "\"EMPTY\"");
  EXPECT_FALSE(Machine.DiskController().HasDisk(2));
  EXPECT_EQ(Command("MOUNT *"), "\r\n\r\nAvailable disks to mount:\r\n\r\n  DiskA\r\n");

  // The disk made in drive A goes into any drive later.
  NewDisk("OTHER");
  EXPECT_EQ(Command("MOUNT A: OTHER"), "\r\n\r\nMounted \"OTHER\" in drive \"A\"!\r\n");
  EXPECT_EQ(Command("MOUNT C: EMPTY"), "\r\n\r\nMounted \"EMPTY\" in drive \"C\"!\r\n");

  // What earlier versions made of an empty file in drive A, a boot image
  // alone: this one, or the CP/M image with the BIOS that the first version
  // wrote into the work folder. No disk for drive D, but drive A knows both
  // images; it writes its own and the empty directory after it, and then the
  // disk goes anywhere.
  std::vector<uint8_t> Image(65536, 0);
  std::copy(CpmImage.begin(), CpmImage.end(), Image.begin() + 0xE400);
  const THexImageRange EarlierBios = LoadHexToImage(KORVEL_BIOS_EARLIER_HEX, Image.data());
  ASSERT_EQ(EarlierBios.First, 0xFA00u);
  std::vector<uint8_t> EarlierTracks(Image.begin() + 0xE400, Image.begin() + ((EarlierBios.Next + 127) & ~127u));
  EarlierTracks.resize(8192, 0xE5);
  std::vector<uint8_t> MadeOfEarlier = EarlierTracks;
  std::copy(BootTracks.begin(), BootTracks.end(), MadeOfEarlier.begin());
  MadeOfEarlier.resize(16384, 0xE5);
  const std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> OldDisks = {{BootTracks, Made},
                                                                                      {EarlierTracks, MadeOfEarlier}};
  for (const auto& [Old, Gained] : OldDisks) {
    machine_test::WriteTextFile(Folder.File("OLD.cpmdsk"), std::string(Old.begin(), Old.end()));
    const std::string Refused = Command("MOUNT D: OLD");
    EXPECT_NE(Refused.find(Short(Old.size())), std::string::npos) << Refused;
    EXPECT_EQ(machine_test::ReadBytes(Folder.File("OLD.cpmdsk")), Old);
    EXPECT_EQ(Command("MOUNT A: OLD"), "\r\n\r\nMounted \"OLD\" in drive \"A\"!\r\n");
    EXPECT_EQ(machine_test::ReadBytes(Folder.File("OLD.cpmdsk")), Gained);
    EXPECT_EQ(Command("MOUNT A: OTHER"), "\r\n\r\nMounted \"OTHER\" in drive \"A\"!\r\n");
    EXPECT_EQ(Command("MOUNT D: OLD"), "\r\n\r\nMounted \"OLD\" in drive \"D\"!\r\n");
    EXPECT_EQ(Command("UNMOUNT D:"), "\r\n\r\nDisk removed from drive \"D\"!\r\n");
  }

  // One that may not be written cannot gain its directory: drive A refuses it
  // with the reason, and keeps its disk.
  machine_test::WriteTextFile(Folder.File("LOCKED.cpmdsk"), std::string(BootTracks.begin(), BootTracks.end()));
  std::filesystem::permissions(Folder.File("LOCKED.cpmdsk"), std::filesystem::perms::owner_read |
                                                                 std::filesystem::perms::group_read |
                                                                 std::filesystem::perms::others_read);
  korvel_test::OpenFolderToAll(Folder.Path());
  korvel_test::RunUnprivileged([&] {
    const std::string Reply = Command("MOUNT A: LOCKED");
    EXPECT_NE(Reply.find("Selected disk is not a CP/M disk image!"), std::string::npos) << Reply;
    EXPECT_NE(Reply.find("\" is 6144 bytes long and holds boot tracks alone, no CP/M directory; it is read-only"),
              std::string::npos)
        << Reply;
    EXPECT_EQ(Machine.DriveCaption(0), "\"OTHER\"");
  });
  EXPECT_EQ(machine_test::ReadBytes(Folder.File("LOCKED.cpmdsk")), BootTracks);
  KORVEL_REQUIRE_FIXTURE("cpm22/programs/PIP.COM");
}

TEST_F(SystemManagerTest, MountIntoDriveAWritesTheBootImage) {
  Boot();
  const std::string Swap = NewDisk("SWAP");
  EXPECT_EQ(Command("MOUNT A: SWAP"), "\r\n\r\nMounted \"SWAP\" in drive \"A\"!\r\n");
  EXPECT_EQ(machine_test::ReadBytes(Swap)[0], CpmImage[0]);
  EXPECT_EQ(In(64) & 128, 128);
}

TEST_F(SystemManagerTest, SearchListsUnmountedDisksOnly) {
  Boot();
  NewDisk("WORK1");
  NewDisk("WORK2");
  NewDisk("GAMES");
  std::filesystem::create_directory(Folder.File("WORKDIR.cpmdsk"));
  Command("MOUNT B: WORK2");
  EXPECT_EQ(Command("MOUNT WORK*"), "\r\n\r\nAvailable disks to mount:\r\n\r\n  WORK1\r\n");
  EXPECT_EQ(Command("MOUNT *"), "\r\n\r\nAvailable disks to mount:\r\n\r\n  GAMES\r\n  WORK1\r\n");
  EXPECT_EQ(Command("MOUNT WORK?"), "\r\n\r\nAvailable disks to mount:\r\n\r\n  WORK1\r\n");
  EXPECT_EQ(Command("MOUNT NOSUCH*"), "\r\n\r\nAvailable disks to mount:\r\n\r\nNo mountable disks found!\r\n");
}

TEST_F(SystemManagerTest, UnmountRemovesDisksButNeverTheBootDisk) {
  Boot();
  NewDisk("WORK");
  Command("MOUNT B: WORK");
  Out(64, 0);
  EXPECT_EQ(Command("UNMOUNT b:"), "\r\n\r\nDisk removed from drive \"B\"!\r\n");
  EXPECT_EQ(Machine.DriveCaption(1), "(no disk)");
  EXPECT_EQ(In(64) & 128, 128);
  Out(64, 0);
  EXPECT_EQ(Command("UNMOUNT C:"), "\r\n\r\nDisk removed from drive \"C\"!\r\n");
  EXPECT_EQ(In(64) & 128, 0) << "an empty drive did not change";
  const std::string BootRefusal =
      "\r\n\r\nYou may not remove the boot disk in drive A:\r\nUse the MOUNT command to change boot disk!\r\n";
  EXPECT_EQ(Command("UNMOUNT A:"), BootRefusal);
  EXPECT_EQ(Command("UNMOUNT a:"), BootRefusal);
  EXPECT_TRUE(Machine.DiskController().HasDisk(0));
  EXPECT_EQ(Command("UNMOUNT E:"), "\r\n\r\nInvalid drive identifier \"E\"!\r\n");
  EXPECT_EQ(Command("UNMOUNT B"), "\r\n\r\nInvalid drive identifier \"B\"!\r\n");
  EXPECT_NE(Command("UNMOUNT").find("Remove a disk from any drive:\r\n"), std::string::npos);
}

TEST_F(SystemManagerTest, PrintReportsAndSteersThePrinter) {
  EXPECT_EQ(Command("PRINT"),
            "\r\n\r\nLPT port printer emulation status;\r\n\r\n  No system printer is currently available.\r\n\r\n");
  Machine.SelectedPrinterName = "Office";
  EXPECT_EQ(Command("PRINT"), "\r\n\r\nLPT port printer emulation status;\r\n\r\n  Selected Printer: \"Office\"\r\n\r\n"
                              "  Printer is not enabled.\r\n\r\n");
  EXPECT_EQ(Command("PRINT EJECT"), "\r\n\r\nPrinter is not enabled.\r\n");
  auto Owned = std::make_unique<TRecordingPrinter>();
  TRecordingPrinter& Printer = *Owned;
  Machine.SetPrinter(std::move(Owned));
  EXPECT_NE(Command("PRINT").find("  Printer is enabled for printing.\r\n"), std::string::npos);
  EXPECT_EQ(Command("PRINT eject"), "\r\n\r\nNo print job is printing.\r\n");
  Printer.Printing = true;
  Printer.Pages = 3;
  EXPECT_NE(Command("PRINT").find("  Printer is active, 3 pages in the current print job.\r\n"), std::string::npos);
  Printer.Pages = 0;
  EXPECT_NE(Command("PRINT").find("  Printer is active, 1 page in current print job.\r\n"), std::string::npos);
  EXPECT_EQ(Command("PRINT FOO"), "\r\n\r\nValid printer commands are; ABORT and EJECT.\r\n");
  EXPECT_EQ(Command("PRINT eject"), "\r\n\r\nPrinting remaining pages in the current print job.\r\n");
  EXPECT_EQ(Printer.Ejects, 1);
  Printer.Printing = true;
  EXPECT_EQ(Command("print Abort"), "\r\n\r\nAborting remaining pages in the current print job.\r\n");
  EXPECT_EQ(Printer.Aborts, 1);

  // A job the host's print system refuses: the reason goes back to CP/M and to
  // the window, and the printer is off, as after any printer failure.
  Printer.Printing = true;
  Printer.FailEject = true;
  EXPECT_EQ(Command("PRINT EJECT"), "\r\n\r\nthe print queue refused the job\r\n");
  EXPECT_EQ(Machine.Printer(), nullptr);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].second, "The printer failed and has been disabled: the print queue refused the job");
}

TEST_F(SystemManagerTest, ALongReplyIsCutAtTheQueueCapacity) {
  Boot();
  for (int I = 0; I < 1500; ++I) {
    char Name[16];
    std::snprintf(Name, sizeof Name, "DISK%04d.cpmdsk", I);
    machine_test::WriteTextFile(Folder.File(Name), "");
  }
  Command("MOUNT DISK*");
  EXPECT_EQ(Machine.SysResponseQueue.Count(), 0);
  Out(64, 0);
  for (char C : std::string("MOUNT DISK*")) Out(65, static_cast<uint8_t>(C));
  Out(64, 1);
  EXPECT_EQ(Machine.SysResponseQueue.Count(), 16384);
  EXPECT_EQ(In(64) & 2, 2);
}

TEST_F(SystemManagerTest, AZ80ProgramSendsACommandAndReadsTheReply) {
  // OUT (64),0 ; send "DATE" through port 65 ; OUT (64),1 ; copy the reply to 0200h until ^Z ; HALT
  Machine.Clock = [] { return std::chrono::system_clock::from_time_t(86400 * 3); };
  const std::vector<uint8_t> Program = {
      0xAF, 0xD3, 0x40,                    // XOR A ; OUT (64),A
      0x21, 0x30, 0x01,                    // LD HL,cmd
      0x7E, 0xB7, 0x28, 0x05,              // loop: LD A,(HL) ; OR A ; JR Z,run
      0xD3, 0x41, 0x23, 0x18, 0xF7,        // OUT (65),A ; INC HL ; JR loop
      0x3E, 0x01, 0xD3, 0x40,              // run: LD A,1 ; OUT (64),A
      0x21, 0x00, 0x02,                    // LD HL,0200h
      0xDB, 0x41, 0xFE, 0x1A, 0x28, 0x04,  // read: IN A,(65) ; CP 26 ; JR Z,done
      0x77, 0x23, 0x18, 0xF6,              // LD (HL),A ; INC HL ; JR read
      0x76};                               // done: HALT
  std::vector<uint8_t> Memory = Program;
  Memory.resize(0x30, 0);
  for (char C : std::string("DATE")) Memory.push_back(static_cast<uint8_t>(C));
  Memory.push_back(0);
  RunProgram(Memory);
  std::string Reply;
  for (uint16_t A = 0x200; Machine.Cpu().ReadByte(A) != 0; ++A) Reply += static_cast<char>(Machine.Cpu().ReadByte(A));
  EXPECT_EQ(Reply.substr(0, 2), "\r\n");
  EXPECT_NE(Reply.find("January 0"), std::string::npos) << Reply;
}

}  // namespace
