// Cold boot, drive mounting and the hex and binary program loads.
#include <gtest/gtest.h>

#include "MachineTestSupport.h"

using machine_test::MachineTest;
using machine_test::Pattern;
using machine_test::ReadBytes;

namespace {

class BootTest : public MachineTest {
 protected:
  // The first Count bytes of a disk file.
  std::vector<uint8_t> DiskStart(const std::string& FileName, size_t Count) {
    std::vector<uint8_t> Bytes = ReadBytes(FileName);
    Bytes.resize(Count);
    return Bytes;
  }
  // The boot image as the disk should hold it: CP/M, the gap, the BIOS.
  std::vector<uint8_t> ExpectedImage(uint16_t CpmAddress, uint16_t BiosAddress, size_t Records) {
    std::vector<uint8_t> Image(std::max<size_t>(Records * 128, BiosAddress - CpmAddress + BiosImage.size()), 0);
    std::copy(CpmImage.begin(), CpmImage.end(), Image.begin());
    std::copy(BiosImage.begin(), BiosImage.end(), Image.begin() + (BiosAddress - CpmAddress));
    Image.resize(Records * 128);
    return Image;
  }
  bool IsBlank(const std::string& FileName) {
    const std::vector<uint8_t> Bytes = ReadBytes(FileName);
    return Bytes.size() == 1048576 && std::all_of(Bytes.begin(), Bytes.end(), [](uint8_t B) { return B == 0xE5; });
  }
};

TEST_F(BootTest, ConstructionCreatesABlankDriveADisk) {
  EXPECT_EQ(Machine.DriveFileName[0], Folder.File("DiskA.cpmdsk"));
  EXPECT_TRUE(IsBlank(Folder.File("DiskA.cpmdsk")));
  EXPECT_EQ(Machine.DriveCaption(0), "(no disk)");
  EXPECT_FALSE(Machine.Booted());
}

TEST_F(BootTest, ColdBootLoadsTheImagesMountsDriveAAndStartsAtTheBiosEntry) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x300);
  Machine.TypeCrtKeys("wxyz");
  Machine.PutTtyKey('s');
  Machine.PutTtyKey('t');
  In(19);
  In(17);
  Machine.Com1Queue.Put(1);
  std::vector<bool> RunStates;
  Machine.OnRunStateChanged = [&](bool Running) { RunStates.push_back(Running); };
  Machine.ColdBoot();

  EXPECT_TRUE(Machine.GetRunCpu());
  EXPECT_EQ(RunStates, std::vector<bool>{true});
  EXPECT_TRUE(Machine.Booted());
  EXPECT_EQ(Machine.Cpu().GetPC(), 0xFA00);
  EXPECT_EQ(Machine.Cpu().CurrentPC, 0xFA00);
  EXPECT_EQ(std::vector<uint8_t>(Machine.Cpu().Memory + 0xE400, Machine.Cpu().Memory + 0xFD00),
            ExpectedImage(0xE400, 0xFA00, 50));
  EXPECT_EQ(Machine.CrtKeyQueue.Count(), 0);
  EXPECT_EQ(Machine.TtyKeyQueue.Count(), 0);
  EXPECT_EQ(In(19, 0x55), 0) << "the last key is forgotten";
  EXPECT_EQ(In(17, 0x55), 0);
  EXPECT_EQ(Machine.Com1Queue.Count(), 0);
  EXPECT_EQ(Machine.DriveCaption(0), "\"DiskA\"");
  EXPECT_EQ(Machine.DriveLamp(0), TDriveLamp::Mounted);
  EXPECT_EQ(Machine.DriveCaption(1), "(no disk)");
  // The span E400h..FD00h is 50 records, written from track 0 sector 0 on.
  EXPECT_EQ(DiskStart(Folder.File("DiskA.cpmdsk"), 50 * 128), ExpectedImage(0xE400, 0xFA00, 50));
  EXPECT_EQ(ReadBytes(Folder.File("DiskA.cpmdsk"))[50 * 128], 0xE5);
  EXPECT_EQ(In(64), 4) << "a fresh boot has no disk change pending";
}

TEST_F(BootTest, ColdBootMountsDrivesBToDWhoseFilesExist) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  const std::string B = NewDisk("Bee");
  const std::string D = NewDisk("Dee");
  Machine.DriveFileName[1] = B;
  Machine.DriveFileName[2] = Folder.File("Missing.cpmdsk");
  Machine.DriveFileName[3] = D;
  Machine.ColdBoot();
  EXPECT_EQ(Machine.DriveCaption(1), "\"Bee\"");
  EXPECT_EQ(Machine.DriveCaption(2), "(no disk)");
  EXPECT_EQ(Machine.DriveCaption(3), "\"Dee\"");
  EXPECT_TRUE(IsBlank(B)) << "only drive A receives the boot image";
  EXPECT_TRUE(IsBlank(D));
}

TEST_F(BootTest, ColdBootWithoutTheDriveAFileStopsWithItsMessage) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  Machine.DriveFileName[1] = NewDisk("Bee");
  Machine.ColdBoot();
  Machine.Cpu().Reset(0x1234);
  std::filesystem::remove(Folder.File("DiskA.cpmdsk"));
  try {
    Machine.ColdBoot();
    FAIL() << "the boot went ahead without a disk in drive A";
  } catch (const EMachineError& Error) {
    EXPECT_STREQ(Error.what(), "A disk must be selected for drive A before you may boot CPM!");
  }
  EXPECT_FALSE(Machine.GetRunCpu());
  for (int Drive = 0; Drive < 4; ++Drive) EXPECT_FALSE(Machine.DiskController().HasDisk(Drive));
  EXPECT_EQ(Machine.Cpu().GetPC(), 0x1234) << "the processor is not reset";
  EXPECT_EQ(Machine.Cpu().ReadByte(0xE400), CpmImage[0]);
}

TEST_F(BootTest, ColdBootStopsARunningMachineFirstAndRejectsBadHex) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  Machine.ColdBoot();
  machine_test::WriteTextFile(Folder.File("vantel.hex"), ":10FA00zz\n");
  EXPECT_THROW(Machine.ColdBoot(), EMachineError);
  EXPECT_FALSE(Machine.GetRunCpu());
}

TEST_F(BootTest, ImageNamesResolveAgainstTheWorkFolder) {
  EXPECT_EQ(Machine.ResolveImageName("", "cpm22.hex"), Folder.File("cpm22.hex"));
  EXPECT_EQ(Machine.ResolveImageName("my.hex", "cpm22.hex"), Folder.File("my.hex"));
  EXPECT_EQ(Machine.ResolveImageName("/opt/images/my.hex", "cpm22.hex"), "/opt/images/my.hex");
  // Images named with a folder part are used from there.
  machine_test::TTempFolder Other;
  CpmImage = Pattern(0x1600, 3);
  machine_test::WriteTextFile(Other.File("system.hex"), machine_test::HexText(0xE400, CpmImage));
  WriteBootImages(0xE400, 0x100, 0xFA00, 0x200);
  Machine.CpmImageFile = "  " + Other.File("system.hex") + " ";
  const TBootImageSpan Span = Machine.BuildBootImage();
  EXPECT_EQ(Span.Low, 0xE400);
  EXPECT_EQ(Span.Entry, 0xFA00);
  EXPECT_EQ(Span.End, 0xFC00u);
  EXPECT_EQ(Machine.BootImage[0xE400 + 0x1000], Pattern(0x1600, 3)[0x1000]);
}

TEST_F(BootTest, ABiosEndingAtTheTopOfMemoryBoots) {
  WriteBootImages(0xE400, 0x1A00, 0xFE00, 0x200);
  Machine.Cpu().WriteByte(0x0000, 0x3C);
  Machine.ColdBoot();
  EXPECT_EQ(Machine.BuildBootImage().End, 0x10000u);
  EXPECT_EQ(Machine.Cpu().ReadByte(0xFFFF), BiosImage.back());
  EXPECT_EQ(Machine.Cpu().ReadByte(0x0000), 0x3C) << "the load does not wrap into page zero";
  EXPECT_EQ(DiskStart(Folder.File("DiskA.cpmdsk"), 56 * 128), ExpectedImage(0xE400, 0xFE00, 56));
}

TEST_F(BootTest, ABootImageLargerThanTheReservedTracksIsRefusedBeforeWriting) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  Machine.ColdBoot();
  const std::string Other = NewDisk("Other");
  // CP/M from D000h to the BIOS end at FC00h: 88 records.
  WriteBootImages(0xD000, 0x2A00, 0xFA00, 0x200);
  EXPECT_THROW(Machine.MountDrive(0, Other), EMachineError);
  EXPECT_TRUE(IsBlank(Other));
  EXPECT_EQ(Machine.DriveCaption(0), "\"DiskA\"") << "drive A keeps the running boot disk";
  EXPECT_EQ(Machine.DriveFileName[0], Folder.File("DiskA.cpmdsk"));
  EXPECT_THROW(Machine.WriteBootImageToDisk(Other), EMachineError);
  EXPECT_TRUE(IsBlank(Other));
  // 64 records exactly still fit.
  WriteBootImages(0xE000, 0x1E00, 0xFE00, 0x200);
  Machine.WriteBootImageToDisk(Other);
  EXPECT_EQ(DiskStart(Other, 64 * 128), ExpectedImage(0xE000, 0xFE00, 64));
  EXPECT_EQ(ReadBytes(Other)[64 * 128], 0xE5);
}

TEST_F(BootTest, WriteBootImageToAMissingDiskNamesIt) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  try {
    Machine.WriteBootImageToDisk(Folder.File("Gone.cpmdsk"));
    FAIL();
  } catch (const EMachineError& Error) {
    EXPECT_STREQ(Error.what(), "The disk \"Gone.cpmdsk\" could not be found!");
  }
}

TEST_F(BootTest, MountingIntoDriveBLeavesTheDiskAsItWas) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  const std::string B = NewDisk("Work");
  Machine.MountDrive(1, B);
  EXPECT_TRUE(IsBlank(B));
  EXPECT_EQ(Machine.DriveFileName[1], B);
  EXPECT_EQ(Machine.DriveCaption(1), "\"Work\"");
  Machine.UnmountDrive(1);
  EXPECT_EQ(Machine.DriveFileName[1], "");
  EXPECT_EQ(Machine.DriveCaption(1), "(no disk)");
  EXPECT_EQ(Machine.DriveLamp(1), TDriveLamp::Empty);
}

TEST_F(BootTest, AFailedMountKeepsTheDrivesOldDisk) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  Machine.ColdBoot();
  const std::string B = NewDisk("Bee");
  Machine.MountDrive(1, B);
  Machine.DiskChangedFlag = 0;
  // A folder, a missing file and a file longer than a disk: each is refused
  // with its reason, before anything is written.
  std::filesystem::create_directory(Folder.File("Dir.cpmdsk"));
  machine_test::WriteTextFile(Folder.File("Long.cpmdsk"), std::string(1048576 + 128, '\xE5'));
  const auto ErrorOf = [&](int Drive, const std::string& File) {
    try {
      Machine.MountDrive(Drive, File);
    } catch (const std::exception& Error) {
      return std::string(Error.what());
    }
    return std::string("mounted");
  };
  EXPECT_NE(ErrorOf(1, Folder.File("Dir.cpmdsk")).find("it is a folder, not a file"), std::string::npos);
  EXPECT_NE(ErrorOf(1, Folder.File("Nothing.cpmdsk")).find("No such file"), std::string::npos);
  EXPECT_NE(ErrorOf(0, Folder.File("Long.cpmdsk")).find("is 1048704 bytes long, more than the 1048576 bytes of a disk"),
            std::string::npos);
  EXPECT_NE(ErrorOf(0, Folder.File("Dir.cpmdsk")).find("it is a folder"), std::string::npos);
  EXPECT_EQ(ReadBytes(Folder.File("Long.cpmdsk")), std::vector<uint8_t>(1048576 + 128, 0xE5));
  EXPECT_EQ(Machine.DriveCaption(1), "\"Bee\"");
  EXPECT_EQ(Machine.DriveFileName[1], B);
  EXPECT_EQ(Machine.DriveCaption(0), "\"DiskA\"");
  EXPECT_EQ(Machine.DiskChangedFlag, 0);
}

TEST_F(BootTest, ADiskMountedInAnotherDriveIsRefusedBeforeAnythingIsWritten) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  Machine.ColdBoot();
  const std::string B = NewDisk("Shared");
  Machine.MountDrive(1, B);
  EXPECT_THROW(Machine.MountDrive(0, B), EDiskError);
  EXPECT_TRUE(IsBlank(B));
  EXPECT_EQ(Machine.DriveCaption(0), "\"DiskA\"");
  // Another spelling of the same file is the same disk.
  const std::string Respelled = (Folder.Path() / "." / "Shared.cpmdsk").string();
  EXPECT_THROW(Machine.MountDrive(2, Respelled), EDiskError);
  EXPECT_THROW(Machine.MountDrive(2, Folder.File("SHARED.cpmdsk")), EDiskError);
  EXPECT_FALSE(Machine.DiskController().HasDisk(2));
}

TEST_F(BootTest, EveryMountOrUnmountThatChangesADriveSetsTheDiskChangedBit) {
  WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
  Machine.ColdBoot();
  const std::string One = NewDisk("One");
  const std::string Two = NewDisk("Two");
  Machine.MountDrive(1, One);  // into an empty drive
  EXPECT_EQ(In(64) & 128, 128);
  Out(64, 0);
  EXPECT_EQ(In(64) & 128, 0);
  Machine.MountDrive(1, Two);  // replacing a disk
  EXPECT_EQ(In(64) & 128, 128);
  Out(64, 0);
  Machine.UnmountDrive(1);
  EXPECT_EQ(In(64) & 128, 128);
  Out(64, 0);
  Machine.UnmountDrive(1);  // already empty: nothing changes
  EXPECT_EQ(In(64) & 128, 0);
  Machine.MountDrive(0, Machine.DriveFileName[0]);  // the same disk again
  EXPECT_EQ(In(64) & 128, 0);
}

// ---------------------------------------------------------------- program loads

class ProgramLoadTest : public MachineTest {};

TEST_F(ProgramLoadTest, HexFileLoadsItsDataAndSetsTheProgramCounter) {
  Machine.Cpu().WriteByte(0x0210, 0x77);
  machine_test::WriteTextFile(Folder.File("prog.hex"), machine_test::HexText(0x0200, Pattern(16, 9)));
  bool Refreshed = false;
  Machine.OnRefreshCpu = [&] { Refreshed = true; };
  Machine.LoadHexFile(Folder.File("prog.hex"));
  EXPECT_EQ(std::vector<uint8_t>(Machine.Cpu().Memory + 0x200, Machine.Cpu().Memory + 0x210), Pattern(16, 9));
  EXPECT_EQ(Machine.Cpu().ReadByte(0x0210), 0x77) << "the byte after the data is left alone";
  EXPECT_EQ(Machine.Cpu().GetPC(), 0x0200);
  EXPECT_TRUE(Refreshed);
  EXPECT_FALSE(Machine.GetRunCpu());
}

TEST_F(ProgramLoadTest, HexFileWithOnlyTheEndRecordLoadsNothing) {
  Machine.Cpu().WriteByte(0x0000, 0x55);
  machine_test::WriteTextFile(Folder.File("empty.hex"), ":00000001FF\n");
  Machine.LoadHexFile(Folder.File("empty.hex"));
  EXPECT_EQ(Machine.Cpu().ReadByte(0x0000), 0x55);
  EXPECT_EQ(Machine.Cpu().GetPC(), 0x0000);
}

TEST_F(ProgramLoadTest, HexDataRunningPastTheTopWrapsToZero) {
  machine_test::WriteTextFile(Folder.File("wrap.hex"), ":04FFFE0001020304F3\n:00000001FF\n");
  Machine.LoadHexFile(Folder.File("wrap.hex"));
  EXPECT_EQ(Machine.Cpu().ReadByte(0xFFFE), 1);
  EXPECT_EQ(Machine.Cpu().ReadByte(0xFFFF), 2);
  EXPECT_EQ(Machine.Cpu().ReadByte(0x0000), 3);
  EXPECT_EQ(Machine.Cpu().ReadByte(0x0001), 4);
}

TEST_F(ProgramLoadTest, BinaryProgramIsPaddedWithControlZToWholeRecords) {
  machine_test::WriteTextFile(Folder.File("one.com"), std::string(128, '\x01'));
  EXPECT_EQ(Machine.LoadBinFile(Folder.File("one.com")), "Program loaded, uses 1 blocks.");
  EXPECT_EQ(Machine.Cpu().ReadByte(0x017F), 0x01);
  for (uint16_t A = 0x0180; A < 0x0200; ++A) ASSERT_EQ(Machine.Cpu().ReadByte(A), 26);
  EXPECT_EQ(Machine.Cpu().ReadByte(0x0200), 0);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].first, TMachineMessageKind::Information);

  machine_test::WriteTextFile(Folder.File("zero.com"), "");
  EXPECT_EQ(Machine.LoadBinFile(Folder.File("zero.com")), "Program loaded, uses 0 blocks.");
  for (uint16_t A = 0x0100; A < 0x0180; ++A) ASSERT_EQ(Machine.Cpu().ReadByte(A), 26);
}

TEST_F(ProgramLoadTest, BinaryProgramSizeLimit) {
  machine_test::WriteTextFile(Folder.File("big.com"), std::string(56064, '\x02'));
  try {
    Machine.LoadBinFile(Folder.File("big.com"));
    FAIL();
  } catch (const EMachineError& Error) {
    EXPECT_STREQ(Error.what(), "Program file is to large to fit into memory!");
  }
  machine_test::WriteTextFile(Folder.File("max.com"), std::string(56063, '\x02'));
  EXPECT_EQ(Machine.LoadBinFile(Folder.File("max.com")), "Program loaded, uses 219 blocks.");
  EXPECT_EQ(Machine.Cpu().ReadByte(0xDBFE), 2);
  EXPECT_EQ(Machine.Cpu().ReadByte(0xDBFF), 26);
  EXPECT_EQ(Machine.Cpu().ReadByte(0xDC00), 0);
  EXPECT_THROW(Machine.LoadBinFile(Folder.File("none.com")), EMachineError);
}

}  // namespace
