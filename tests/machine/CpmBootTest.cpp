// CP/M 2.2 booted end to end on the machine with the project's BIOS: the
// prompt, commands and transient programs on the CRT, disks written by CP/M and
// read back through the CP/M file system, warm boot, the reader and punch
// files through PIP, the system manager through SYS, disk changes, and the TTY
// console.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ComPortNames.h"
#include "CpmBootRig.h"
#include "Fixtures.h"
#include "PseudoTerminal.h"
#include "Unprivileged.h"

namespace {

using korvel_boot::TCpmBootRig;
using korvel_boot::TextBytes;
using korvel_test::FixtureBytes;

const char* const kCpmImage = "cpm22/cpm22.hex";


// Bytes that change from record to record, with ^Z and zero bytes among them.
std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t value = 12345;
  for (size_t i = 0; i < size; ++i) {
    value = value * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(value >> 16);
  }
  return bytes;
}

// What the CP/M file system keeps of a file: whole records, the last one
// filled up with ^Z.
std::vector<uint8_t> AsRecords(std::vector<uint8_t> bytes) {
  while (bytes.size() % 128 != 0) bytes.push_back(0x1A);
  return bytes;
}


class CpmBootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_FIXTURE(kCpmImage);
    Rig = std::make_unique<TCpmBootRig>(korvel_test::Fixture(kCpmImage).string(), KORVEL_BIOS_HEX);
    DiskA = Rig->Machine->DriveFileName[0];
  }

  void ImportPrograms(const std::filesystem::path& disk) {
    for (const char* name : {"STAT.COM", "PIP.COM", "DUMP.COM"})
      TCpmBootRig::ImportFile(disk, name, FixtureBytes(std::string("cpm22/programs/") + name));
  }
  void ImportSys(const std::filesystem::path& disk) {
    TCpmBootRig::ImportFile(disk, "SYS.COM", korvel_boot::ComProgramFromHex(KORVEL_SYS_HEX));
  }
  // Puts drive B's disk in place before the boot.
  std::filesystem::path UseDiskB(const std::string& name) {
    const std::filesystem::path disk = Rig->MakeDisk(name);
    Rig->Machine->DriveFileName[1] = disk.string();
    return disk;
  }
  void Boot() { ASSERT_TRUE(Rig->BootToPrompt()) << Rig->CrtOutput; }
  // Stops the machine so that the disks can be read from the host.
  void Stop() { Rig->Machine->SetRunCpu(false); }

  std::unique_ptr<TCpmBootRig> Rig;
  std::filesystem::path DiskA;
};

TEST_F(CpmBootTest, BiosImageHasTheJumpTableAndFitsTheBootTracks) {
  const TBootImageSpan span = Rig->Machine->BuildBootImage();
  EXPECT_EQ(span.Low, 0xE400);
  EXPECT_EQ(span.Entry, 0xFA00);
  ASSERT_GT(span.End, 0xFA00u + 17 * 3);
  EXPECT_LE((span.End - span.Low + 127) / 128, 64u) << "the boot image must fit the two reserved tracks";
  const std::vector<uint8_t>& image = Rig->Machine->BootImage;
  for (int entry = 0; entry < 17; ++entry) {
    const size_t at = 0xFA00 + 3 * static_cast<size_t>(entry);
    ASSERT_EQ(image[at], 0xC3) << "entry " << entry << " is not a JP";
    const unsigned target = image[at + 1] | image[at + 2] << 8;
    EXPECT_GE(target, 0xFA00u + 17 * 3) << "entry " << entry;
    EXPECT_LT(target, span.End) << "entry " << entry;
  }
}

TEST_F(CpmBootTest, ColdBootReachesThePromptAndDirFindsNoFile) {
  Boot();
  EXPECT_NE(Rig->Machine->CrtScreenText().find(TCpmBootRig::Prompt('A')), std::string::npos) << Rig->Machine->CrtScreenText();
  EXPECT_EQ(Rig->Machine->Cpu().ReadByte(0x0003), Rig->Machine->ColdBootIoByte);
  EXPECT_EQ(Rig->Machine->Cpu().ReadByte(0x0000), 0xC3);
  EXPECT_EQ(Rig->Machine->Cpu().ReadByte(0x0001) | Rig->Machine->Cpu().ReadByte(0x0002) << 8, 0xFA03);
  EXPECT_EQ(Rig->Machine->Cpu().ReadByte(0x0006) | Rig->Machine->Cpu().ReadByte(0x0007) << 8, 0xEC06);
  const std::string dir = Rig->Command("DIR");
  EXPECT_NE(dir.find("No file"), std::string::npos) << dir;
  EXPECT_TRUE(Rig->Messages.empty()) << Rig->Messages.front();
}

TEST_F(CpmBootTest, ImportedProgramsAreListedAndRun) {
  ImportPrograms(DiskA);
  Boot();
  const std::string dir = Rig->Command("DIR");
  for (const char* name : {"STAT     COM", "PIP      COM", "DUMP     COM"})
    EXPECT_NE(dir.find(name), std::string::npos) << name << " missing in:\n" << dir;

  // 508 blocks, 4 of them the directory, STAT 3, PIP 4 and DUMP 1: 496 blocks of 2 KiB free.
  const std::string stat = Rig->Command("STAT");
  EXPECT_NE(stat.find("A: R/W, Space: 992k"), std::string::npos) << stat;
  const std::string statDsk = Rig->Command("STAT DSK:");
  EXPECT_NE(statDsk.find("1016: Kilobyte Drive  Capacity"), std::string::npos) << statDsk;
  EXPECT_NE(statDsk.find("256: 32  Byte Directory Entries"), std::string::npos) << statDsk;
  EXPECT_NE(statDsk.find("32: Sectors/ Track"), std::string::npos) << statDsk;
  EXPECT_NE(statDsk.find("128: Records/ Extent"), std::string::npos) << statDsk;
  EXPECT_NE(statDsk.find("2: Reserved Tracks"), std::string::npos) << statDsk;

  // DUMP shows the file's first bytes on its first line.
  const std::vector<uint8_t> dumpCom = FixtureBytes("cpm22/programs/DUMP.COM");
  char firstLine[64];
  std::snprintf(firstLine, sizeof firstLine, "0000 %02X %02X %02X %02X", dumpCom[0], dumpCom[1], dumpCom[2], dumpCom[3]);
  const std::string dump = Rig->Command("DUMP DUMP.COM");
  EXPECT_NE(dump.find(firstLine), std::string::npos) << dump;
}

TEST_F(CpmBootTest, PipCopiesAFileFromAToBByteForByte) {
  ImportPrograms(DiskA);
  const std::vector<uint8_t> data = Pattern(40000);  // 313 records: three directory entries of up to 128
  TCpmBootRig::ImportFile(DiskA, "DATA.BIN", data);
  const std::filesystem::path diskB = UseDiskB("DISKB");
  Boot();
  const std::string pip = Rig->Command("PIP B:COPY.BIN=A:DATA.BIN");
  EXPECT_EQ(pip.find("ERR"), std::string::npos) << pip;
  EXPECT_NE(Rig->Command("DIR B:").find("COPY     BIN"), std::string::npos);
  Stop();
  EXPECT_EQ(TCpmBootRig::ExportFile(diskB, "COPY.BIN"), AsRecords(data));
}

// Disks as other tools make them: mkfs.cpm (cpmtools) writes only the boot
// tracks and the directory, 16 KiB, and cpmcp grows it. CP/M boots from such a
// disk, writes files to it and to an empty file in B:, reads one that mkfs.cpm
// labelled and gave time stamps, and cpmtools finds the files on a clean file
// system afterwards. Then a disk made as users make one: an empty file in
// drive A that CP/M boots from, which SYS MOUNT later puts into another drive.
TEST_F(CpmBootTest, ShortDisksFromMkfsBootAndTakeFiles) {
  if (std::system("command -v mkfs.cpm fsck.cpm cpmls > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "cpmtools is not installed (Debian package cpmtools); skipping";
  const std::filesystem::path folder = Rig->Folder();
  std::ofstream(folder / "diskdefs") << "diskdef emu1m\n  seclen 128\n  tracks 256\n  sectrk 32\n  blocksize 2048\n"
                                        "  maxdir 256\n  skew 1\n  boottrk 2\n  os 2.2\nend\n"
                                        "diskdef emu1m3\n  seclen 128\n  tracks 256\n  sectrk 32\n  blocksize 2048\n"
                                        "  maxdir 256\n  skew 1\n  boottrk 2\n  os 3\nend\n";
  const auto tool = [&](const std::string& command) {
    const std::string line = "cd '" + folder.string() + "' && " + command + " > tool.txt 2>&1";
    const int status = std::system(line.c_str());
    std::ifstream in(folder / "tool.txt");
    const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(status, 0) << command << ": " << output;
    return output;
  };
  std::filesystem::remove(DiskA);
  tool("mkfs.cpm -f emu1m DiskA.cpmdsk");
  ASSERT_EQ(std::filesystem::file_size(DiskA), 16384u);
  const std::string ed = "'" + korvel_test::Fixture("cpm22/programs/ED.COM").string() + "'";
  tool("cpmcp -f emu1m DiskA.cpmdsk " + ed + " 0:ed.com");
  ImportPrograms(DiskA);
  ImportSys(DiskA);
  const std::filesystem::path diskB = folder / "EMPTY.cpmdsk";
  std::ofstream(diskB).close();
  Rig->Machine->DriveFileName[1] = diskB.string();
  tool("mkfs.cpm -f emu1m3 -L labelled -t LABELLED.cpmdsk");
  tool("cpmcp -f emu1m3 LABELLED.cpmdsk " + ed + " 0:edit.com");
  Rig->Machine->DriveFileName[2] = (folder / "LABELLED.cpmdsk").string();
  Boot();
  const std::string dir = Rig->Command("DIR");
  EXPECT_NE(dir.find("PIP      COM"), std::string::npos) << dir;
  EXPECT_NE(dir.find("ED       COM"), std::string::npos) << dir;
  const std::string pip = Rig->Command("PIP B:STAT.COM=A:STAT.COM");
  EXPECT_EQ(pip.find("ERR"), std::string::npos) << pip;
  EXPECT_EQ(Rig->Command("SAVE 4 NEW.COM").find("Err"), std::string::npos);
  EXPECT_NE(Rig->Command("DIR B:").find("STAT     COM"), std::string::npos);
  const std::string labelled = Rig->Command("DIR C:");
  EXPECT_NE(labelled.find("EDIT     COM"), std::string::npos) << labelled;
  Stop();
  tool("fsck.cpm -f emu1m -n DiskA.cpmdsk");
  tool("fsck.cpm -f emu1m -n EMPTY.cpmdsk");
  tool("fsck.cpm -f emu1m3 -n LABELLED.cpmdsk");
  EXPECT_NE(tool("cpmls -f emu1m DiskA.cpmdsk").find("new.com"), std::string::npos);
  EXPECT_EQ(TCpmBootRig::ExportFile(diskB, "STAT.COM"), AsRecords(FixtureBytes("cpm22/programs/STAT.COM")));

  const std::filesystem::path fresh = folder / "FRESH.cpmdsk";
  std::ofstream(fresh).close();
  Rig->Machine->DriveFileName = {fresh.string(), DiskA.string(), "", ""};
  Boot();
  EXPECT_NE(Rig->Command("DIR").find("No file"), std::string::npos);
  const std::string swap = Rig->Command("B:SYS MOUNT A: EMPTY");
  EXPECT_NE(swap.find("Mounted \"EMPTY\" in drive \"A\"!"), std::string::npos) << swap;
  const std::string mount = Rig->Command("B:SYS MOUNT C: FRESH");
  EXPECT_NE(mount.find("Mounted \"FRESH\" in drive \"C\"!"), std::string::npos) << mount;
  EXPECT_NE(Rig->Command("DIR C:").find("No file"), std::string::npos);
  Stop();
  tool("fsck.cpm -f emu1m -n FRESH.cpmdsk");

  // What earlier versions made of an empty file in drive A: the boot image
  // alone, of this BIOS or of the one the first version wrote into the work
  // folder. Drive A boots either, and both then hold this boot image and an
  // empty directory, as cpmtools reads it.
  const auto bootImageWith = [&](const char* bios) {
    std::vector<uint8_t> image(65536, 0);
    LoadHexToImage(korvel_test::Fixture(kCpmImage).string(), image.data());
    const THexImageRange range = LoadHexToImage(bios, image.data());
    return std::vector<uint8_t>(image.begin() + 0xE400, image.begin() + ((range.Next + 127) & ~127u));
  };
  const std::vector<uint8_t> current = bootImageWith(KORVEL_BIOS_HEX);
  std::vector<uint8_t> earlier = bootImageWith(KORVEL_BIOS_EARLIER_HEX);
  ASSERT_NE(earlier, current);
  earlier.resize(8192, 0xE5);  // formatted to the end of its 2 KiB block, as the file grew
  std::ofstream(folder / "OLDBIOS.cpmdsk", std::ios::binary).write(reinterpret_cast<const char*>(earlier.data()), 8192);
  std::ofstream(folder / "OLDBOOT.cpmdsk", std::ios::binary)
      .write(reinterpret_cast<const char*>(current.data()), static_cast<std::streamsize>(current.size()));
  Rig->Machine->DriveFileName = {(folder / "OLDBIOS.cpmdsk").string(), DiskA.string(), "", ""};
  Boot();
  EXPECT_NE(Rig->Command("DIR").find("No file"), std::string::npos);
  const std::string old = Rig->Command("B:SYS MOUNT A: OLDBOOT");
  EXPECT_NE(old.find("Mounted \"OLDBOOT\" in drive \"A\"!"), std::string::npos) << old;
  EXPECT_NE(Rig->Command("DIR").find("No file"), std::string::npos);
  Stop();
  std::vector<uint8_t> made = current;
  made.resize(16384, 0xE5);
  for (const char* disk : {"OLDBIOS.cpmdsk", "OLDBOOT.cpmdsk"}) {
    EXPECT_TRUE(korvel_test::ReadFile(folder / disk) == made) << disk;
    tool(std::string("fsck.cpm -f emu1m -n ") + disk);
  }
}

// A disk image the user may not write: CP/M reads it, and a write to it is a
// disk error that CP/M reports, never a write that silently goes nowhere.
TEST_F(CpmBootTest, ReadOnlyDiskIsReadAndAWriteToItIsReported) {
  const std::filesystem::path readOnly = Rig->MakeDisk("LOCKED");
  const std::vector<uint8_t> keep = AsRecords(TextBytes("keep me\r\n"));
  TCpmBootRig::ImportFile(readOnly, "KEEP.TXT", keep);
  const std::vector<unsigned char> before = korvel_test::ReadFile(readOnly);
  namespace fs = std::filesystem;
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(DiskA, fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
  korvel_test::OpenFolderToAll(Rig->Folder());
  korvel_test::RunUnprivileged([&] {
    Rig->Machine->DriveFileName[1] = readOnly.string();
    Boot();
    EXPECT_NE(Rig->Command("DIR B:").find("KEEP     TXT"), std::string::npos);
    Rig->Type("SAVE 1 B:NEW.COM\r");
    EXPECT_TRUE(Rig->RunUntilOutput("Bdos Err On B: Bad Sector")) << Rig->CrtOutput;
  });
  EXPECT_EQ(korvel_test::ReadFile(readOnly), before);
}

TEST_F(CpmBootTest, ControlCWarmBootReloadsTheCommandProcessor) {
  ImportPrograms(DiskA);
  Boot();
  TCpuEmu& cpu = Rig->Machine->Cpu();
  std::vector<uint8_t> ccp(0x800);
  for (size_t i = 0; i < ccp.size(); ++i) ccp[i] = cpu.ReadByte(static_cast<uint16_t>(0xE400 + i));
  // A program may overwrite the command processor; the warm boot must bring it back from drive A.
  for (uint16_t address = 0xE400; address < 0xE700; ++address) cpu.WriteByte(address, 0x76);
  Rig->Type("\x03");
  ASSERT_TRUE(Rig->RunUntilOutput(TCpmBootRig::Prompt('A'))) << Rig->CrtOutput;
  for (size_t i = 0; i < 0x300; ++i) ASSERT_EQ(cpu.ReadByte(static_cast<uint16_t>(0xE400 + i)), ccp[i]) << i;
  EXPECT_NE(Rig->Command("DIR").find("PIP      COM"), std::string::npos);
}

TEST_F(CpmBootTest, ADriveWithoutDiskIsRefusedAndTheWarmBootRecovers) {
  Boot();
  Rig->Type("DIR C:\r");
  ASSERT_TRUE(Rig->RunUntilOutput("Bdos Err On C: Select")) << Rig->CrtOutput;
  Rig->Type(" ");  // any key: CP/M warm boots
  ASSERT_TRUE(Rig->RunUntilOutput(TCpmBootRig::Prompt('A'))) << Rig->CrtOutput;
  EXPECT_NE(Rig->Command("DIR").find("No file"), std::string::npos);
}

TEST_F(CpmBootTest, PunchAndReaderFilesWorkThroughPip) {
  const std::string text = "Punched through PIP.\r\nSecond line.\r\n";
  TCpmBootRig::ImportFile(DiskA, "PIP.COM", FixtureBytes("cpm22/programs/PIP.COM"));
  TCpmBootRig::ImportFile(DiskA, "TEXT.TXT", TextBytes(text));
  TMachine& machine = *Rig->Machine;
  // CON = CRT, RDR = UR1 (reader file), PUN = UP1 (punch file), LST = TTY.
  machine.ColdBootIoByte = 0x01 | 2 << 2 | 2 << 4;
  machine.OutputFileName = (Rig->Folder() / "punch.out").string();
  ASSERT_TRUE(machine.SetOutputFileEnabled(true));
  const std::string readerText = "Read from the reader file.\r\nLine two.\r\n";
  {
    std::ofstream reader(Rig->Folder() / "reader.in", std::ios::binary);
    reader << readerText;
  }
  machine.InputFileName = (Rig->Folder() / "reader.in").string();
  ASSERT_TRUE(machine.SetInputFileEnabled(true));
  Boot();

  const std::string punch = Rig->Command("PIP PUN:=TEXT.TXT");
  EXPECT_EQ(punch.find("ERR"), std::string::npos) << punch;
  const std::string fromReader = Rig->Command("PIP READ.TXT=RDR:");
  EXPECT_EQ(fromReader.find("ERR"), std::string::npos) << fromReader;
  Stop();
  EXPECT_FALSE(machine.SetOutputFileEnabled(false));

  const std::vector<unsigned char> punched = korvel_test::ReadFile(Rig->Folder() / "punch.out");
  const std::string punchedText(punched.begin(), punched.end());
  // PIP may add leader, trailer and ^Z around the text; the text itself arrives whole.
  EXPECT_NE(punchedText.find(text), std::string::npos) << punchedText;

  const std::vector<uint8_t> read = TCpmBootRig::ExportFile(DiskA, "READ.TXT");
  const std::string readText(read.begin(), std::find(read.begin(), read.end(), 0x1A));
  EXPECT_EQ(readText, readerText);
}

TEST_F(CpmBootTest, TtyConsoleRunsCpmWhenTheIoByteSelectsIt) {
  Rig->Machine->ColdBootIoByte = 0x00;  // CON = TTY
  std::string ttyShown;
  Rig->Machine->OnTtyWriteChar = [&ttyShown](uint8_t c) { ttyShown += static_cast<char>(c); };
  Rig->Machine->ColdBoot();
  ASSERT_TRUE(Rig->RunUntilOutput(TCpmBootRig::Prompt('A'), 50'000'000, true)) << Rig->TtyOutput;
  EXPECT_EQ(Rig->CrtOutput, "");
  Rig->TypeTty("DIR\r");
  ASSERT_TRUE(Rig->RunUntilOutput("No file", 50'000'000, true)) << Rig->TtyOutput;
  EXPECT_NE(ttyShown.find("No file"), std::string::npos) << "the TTY parser did not show the output";
}

// The list device on the printer (LST = LPT): what PIP sends arrives at the printer.
TEST_F(CpmBootTest, ListDeviceReachesThePrinter) {
  class TRecordingPrinter : public IMachinePrinter {
   public:
    explicit TRecordingPrinter(std::string& printed) : Printed(printed) {}
    void PrintChar(uint8_t Value) override { Printed += static_cast<char>(Value); }
    bool PrinterAvailable() const override { return true; }
    bool IsPrinting() const override { return !Printed.empty(); }
    int PageCount() const override { return Printed.empty() ? 0 : 1; }
    void EjectJob() override {}
    void AbortJob() override {}
    std::string& Printed;
  };
  std::string printed;
  const std::string text = "Printed through the list device.\r\n";
  TCpmBootRig::ImportFile(DiskA, "PIP.COM", FixtureBytes("cpm22/programs/PIP.COM"));
  TCpmBootRig::ImportFile(DiskA, "TEXT.TXT", TextBytes(text));
  Rig->Machine->SetPrinter(std::make_unique<TRecordingPrinter>(printed));
  Rig->Machine->ColdBootIoByte = 0x01 | 2 << 6;  // CON = CRT, LST = LPT
  Boot();
  const std::string pip = Rig->Command("PIP LST:=TEXT.TXT");
  EXPECT_EQ(pip.find("ERR"), std::string::npos) << pip;
  EXPECT_NE(printed.find(text), std::string::npos) << printed;
}

// The list device on COM2 (LST = UL1) while that port is closed: the port takes
// every byte at once and drops it, so CP/M carries on instead of hanging.
TEST_F(CpmBootTest, ListDeviceOnAClosedComPortDoesNotHangCpm) {
  TCpmBootRig::ImportFile(DiskA, "PIP.COM", FixtureBytes("cpm22/programs/PIP.COM"));
  TCpmBootRig::ImportFile(DiskA, "TEXT.TXT", TextBytes("Nobody listens.\r\n"));
  Rig->Machine->ColdBootIoByte = 0x01 | 3 << 6;  // CON = CRT, LST = UL1 (COM2)
  Boot();
  const std::string pip = Rig->Command("PIP LST:=TEXT.TXT");
  EXPECT_NE(pip.find("PIP LST:=TEXT.TXT"), std::string::npos) << pip;
  EXPECT_EQ(pip.find("<no prompt"), std::string::npos) << pip;
}

// The batch console (CON = BAT) takes its keys from the reader file and writes to
// the list device; when the file runs out the machine switches the console to the
// CRT, and the BIOS, which reads the IOBYTE on every poll, follows at once.
TEST_F(CpmBootTest, BatchConsoleReadsTheReaderThenSwitchesToTheCrt) {
  TMachine& machine = *Rig->Machine;
  const uint8_t batch = 2 | 2 << 2 | 1 << 6;  // CON = BAT, RDR = UR1 (file), LST = CRT
  machine.ColdBootIoByte = batch;
  machine.DeviceMapping = batch;
  {
    std::ofstream reader(Rig->Folder() / "batch.in", std::ios::binary);
    reader << "DIR\r";
  }
  machine.InputFileName = (Rig->Folder() / "batch.in").string();
  machine.ReaderEndOfStream = TReaderEndOfStream::SwitchConsole;
  machine.ReaderSwitchConsoleTo = 1;  // CRT
  ASSERT_TRUE(machine.SetInputFileEnabled(true));
  machine.ColdBoot();
  ASSERT_TRUE(Rig->RunUntilOutput("No file", 50'000'000)) << Rig->CrtOutput;
  ASSERT_TRUE(Rig->RunUntilOutput(TCpmBootRig::Prompt('A'), 50'000'000)) << Rig->CrtOutput;
  EXPECT_EQ(machine.Cpu().ReadByte(0x0003) & 3, 1) << "the console did not switch to the CRT";
  const std::string dir = Rig->Command("DIR");
  EXPECT_NE(dir.find("No file"), std::string::npos) << dir;
}

// ---- Serial bursts ----------------------------------------------------------------------------

using korvel_boot::NumberedText;
using korvel_boot::Punched;

// A peer on the far end of a serial port that sends a burst on a thread of its
// own, waiting whenever the port takes nothing more, as a writer on a
// pseudo-terminal does.
class TBurstWriter {
 public:
  TBurstWriter(int Master, std::string Bytes)
      : FThread([this, Master, bytes = std::move(Bytes)] {
          for (size_t done = 0; done < bytes.size() && !FStop.load();) {
            const ssize_t n = ::write(Master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
              done += static_cast<size_t>(n);
            } else {
              pollfd entry{Master, POLLOUT, 0};
              ::poll(&entry, 1, 50);  // a short nap so that a test that gave up ends this loop
            }
          }
        }) {}
  ~TBurstWriter() {
    FStop.store(true);
    FThread.join();
  }

 private:
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

class CpmSerialBurstTest : public CpmBootTest {
 protected:
  void SetUp() override {
    CpmBootTest::SetUp();
    if (IsSkipped()) return;
    TCpmBootRig::ImportFile(DiskA, "PIP.COM", FixtureBytes("cpm22/programs/PIP.COM"));
    TMachine& machine = *Rig->Machine;
    machine.OutputFileName = (Rig->Folder() / "punch.out").string();
    ASSERT_TRUE(machine.SetOutputFileEnabled(true));
  }
  void TearDown() override { SetComPortDevice(ComNumber, ""); }
  // Opens COM Port (1 or 2) on the pseudo-terminal's far end.
  void OpenComPort(int Port) {
    SetComPortDevice(ComNumber, Peer.SlaveName());
    TComPortSettings& settings = Port == 1 ? Rig->Machine->Com1Settings : Rig->Machine->Com2Settings;
    settings.PortNumber = ComNumber;
    settings.Enabled = true;
    Port == 1 ? Rig->Machine->ActivateCom1() : Rig->Machine->ActivateCom2();
    ASSERT_TRUE(settings.Enabled) << (Rig->Messages.empty() ? "" : Rig->Messages.front());
  }
  std::string PunchedFile() {
    Stop();
    EXPECT_FALSE(Rig->Machine->SetOutputFileEnabled(false));
    const std::vector<unsigned char> punched = korvel_test::ReadFile(Rig->Folder() / "punch.out");
    return std::string(punched.begin(), punched.end());
  }

  static constexpr int ComNumber = 45;
  korvel_test::PseudoTerminal Peer;
};

// Bursts far larger than the machine's 512-byte receive queue, written at once
// while PIP reads them through RDR: (COM2): nothing is lost, since the port
// takes from the host only what the queue has room for and the peer waits.
TEST_F(CpmSerialBurstTest, BurstsThroughTheReaderReachPipWhole) {
  const std::filesystem::path diskB = UseDiskB("DISKB");
  OpenComPort(2);
  // CON = CRT, RDR = PTR (COM2), PUN = UP1 (punch file).
  Rig->Machine->ColdBootIoByte = 0x01 | 1 << 2 | 2 << 4;
  Boot();

  const std::string small = NumberedText(20 * 1024);
  {
    TBurstWriter peer(Peer.Master(), small + "\x1a");
    const std::string pip = Rig->Command("PIP B:IN.TXT=RDR:");
    EXPECT_EQ(pip.find("<no prompt"), std::string::npos) << pip;
  }
  const std::string large = NumberedText(1024 * 1024);
  {
    TBurstWriter peer(Peer.Master(), large + "\x1a");
    const std::string pip = Rig->Command("PIP PUN:=RDR:", 'A', 4'000'000'000);
    EXPECT_EQ(pip.find("<no prompt"), std::string::npos) << pip;
  }
  const std::string punched = PunchedFile();
  EXPECT_TRUE(punched == Punched(large)) << punched.size() << " bytes punched, " << Punched(large).size() << " expected";
  const std::vector<uint8_t> in = TCpmBootRig::ExportFile(diskB, "IN.TXT");
  EXPECT_TRUE(std::string(in.begin(), std::find(in.begin(), in.end(), 0x1A)) == small) << in.size() << " bytes in IN.TXT";
  EXPECT_TRUE(Rig->Messages.empty()) << Rig->Messages.front();
}

// The same with CP/M's console on COM1: the peer types the command line and the
// text for PIP to read from CON: in one burst, and reads what CP/M echoes.
TEST_F(CpmSerialBurstTest, BurstsIntoTheConsoleReachPipWhole) {
  OpenComPort(1);
  // CON = UC1 (COM1), PUN = UP1 (punch file).
  Rig->Machine->ColdBootIoByte = 0x03 | 2 << 4;
  // Runs the machine until the console shows the prompt anew; the peer reads
  // all that the console shows, so that CP/M never waits to write it.
  const auto runToPrompt = [this] {
    const std::string prompt = "\r\n" + TCpmBootRig::Prompt('A');
    std::string tail;
    const uint64_t limit = Rig->Machine->Cpu().InstructionCount + 4'000'000'000;
    while (Rig->Machine->Cpu().InstructionCount < limit && Rig->Machine->GetRunCpu()) {
      char buffer[4096];
      for (ssize_t n; (n = ::read(Peer.Master(), buffer, sizeof buffer)) > 0;) {
        tail.append(buffer, static_cast<size_t>(n));
        if (tail.find(prompt) != std::string::npos) return true;
        if (tail.size() > prompt.size()) tail.erase(0, tail.size() - prompt.size());
      }
      Rig->Machine->RunPass();
      Rig->MainThread.RunPending();
    }
    return false;
  };
  Rig->Machine->ColdBoot();
  ASSERT_TRUE(runToPrompt());

  const std::string small = NumberedText(20 * 1024);
  const std::string large = NumberedText(1024 * 1024);
  for (const std::string* text : {&small, &large}) {
    TBurstWriter peer(Peer.Master(), "PIP PUN:=CON:\r" + *text + "\x1a");
    EXPECT_TRUE(runToPrompt()) << text->size() << " bytes";
  }
  const std::string punched = PunchedFile();
  EXPECT_TRUE(punched == Punched(small) + Punched(large))
      << punched.size() << " bytes punched, " << Punched(small).size() + Punched(large).size() << " expected";
  EXPECT_TRUE(Rig->Messages.empty()) << Rig->Messages.front();
}

// ---- The system manager through SYS.COM ---------------------------------------------------------

class CpmSystemManagerTest : public CpmBootTest {
 protected:
  void SetUp() override {
    CpmBootTest::SetUp();
    if (IsSkipped()) return;
    ImportPrograms(DiskA);
    ImportSys(DiskA);
    // Tuesday 5 March 2024, 14:07:09 local time.
    std::tm when{};
    when.tm_year = 2024 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 5;
    when.tm_hour = 14;
    when.tm_min = 7;
    when.tm_sec = 9;
    when.tm_isdst = -1;
    const auto fixed = std::chrono::system_clock::from_time_t(std::mktime(&when));
    Rig->Machine->Clock = [fixed] { return fixed; };
  }
  // Runs SYS with the command; fails the test on any protocol complaint of SYS.
  std::string Sys(const std::string& command) {
    const std::string reply = Rig->Command("SYS " + command);
    EXPECT_EQ(reply.find("SYS:"), std::string::npos) << reply;
    return reply;
  }
};

TEST_F(CpmSystemManagerTest, DateTimeAndPrintReplies) {
  Boot();
  EXPECT_NE(Sys("DATE").find("March 05, 2024"), std::string::npos);
  EXPECT_NE(Sys("TIME").find("2:07:09"), std::string::npos);
  const std::string print = Sys("PRINT");
  EXPECT_NE(print.find("LPT port printer emulation status;"), std::string::npos) << print;
  EXPECT_NE(Sys("PRINT EJECT").find("Printer is not enabled."), std::string::npos);
  EXPECT_NE(Sys("").find("System manager for Korvel CPM emulator:"), std::string::npos);
  EXPECT_NE(Sys("FOO").find("Invalid command \"FOO!"), std::string::npos);
}

TEST_F(CpmSystemManagerTest, MountAndUnmountChangeDrivesAndCpmFollows) {
  const std::filesystem::path work = Rig->MakeDisk("WORK");
  TCpmBootRig::ImportFile(work, "ONWORK.TXT", TextBytes("on the work disk\r\n"));
  Boot();

  const std::string mount = Sys("MOUNT B: WORK");
  EXPECT_NE(mount.find("Mounted \"WORK\" in drive \"B\"!"), std::string::npos) << mount;
  EXPECT_NE(mount.find("(disk changed)"), std::string::npos) << mount;
  EXPECT_NE(Rig->Command("DIR B:").find("ONWORK   TXT"), std::string::npos);
  EXPECT_NE(Sys("MOUNT B:").find("  B: \"WORK\""), std::string::npos);
  EXPECT_NE(Sys("MOUNT C: WORK").find("The disk is already mounted in drive \"B\"!"), std::string::npos);

  // A name that reaches out of the work folder is refused, and the drive keeps its disk.
  const std::string escape = Sys("MOUNT B: ../WORK");
  EXPECT_EQ(escape.find("Mounted"), std::string::npos) << escape;
  EXPECT_EQ(escape.find("(disk changed)"), std::string::npos) << escape;
  EXPECT_NE(Rig->Command("DIR B:").find("ONWORK   TXT"), std::string::npos);

  const std::string unmount = Sys("UNMOUNT B:");
  EXPECT_NE(unmount.find("Disk removed from drive \"B\"!"), std::string::npos) << unmount;
  EXPECT_NE(unmount.find("(disk changed)"), std::string::npos) << unmount;
  EXPECT_NE(Sys("UNMOUNT A:").find("You may not remove the boot disk in drive A:"), std::string::npos);
  Rig->Type("DIR B:\r");
  EXPECT_TRUE(Rig->RunUntilOutput("Bdos Err On B: Select")) << Rig->CrtOutput;
}

// A new boot disk: drive A's disk receives the boot image as it is mounted, so
// the warm boot that ends SYS loads CP/M from it and lists its files.
TEST_F(CpmSystemManagerTest, MountIntoDriveASwapsTheBootDisk) {
  const std::filesystem::path other = Rig->MakeDisk("OTHER");
  TCpmBootRig::ImportFile(other, "ONOTHER.TXT", TextBytes("on the other disk\r\n"));
  Boot();
  const std::string mount = Sys("MOUNT A: OTHER");
  EXPECT_NE(mount.find("Mounted \"OTHER\" in drive \"A\"!"), std::string::npos) << mount;
  const std::string dir = Rig->Command("DIR");
  EXPECT_NE(dir.find("ONOTHER  TXT"), std::string::npos) << dir;
  EXPECT_EQ(dir.find("SYS      COM"), std::string::npos) << dir;
  Rig->Type("\x03");
  EXPECT_TRUE(Rig->RunUntilOutput(TCpmBootRig::Prompt('A'))) << Rig->CrtOutput;
}

TEST_F(CpmSystemManagerTest, UnmountingTheCurrentDiskReturnsCpmToDriveA) {
  const std::filesystem::path diskB = UseDiskB("DISKB");
  Boot();
  Rig->Command("B:", 'B');
  const std::string reply = Rig->Command("A:SYS UNMOUNT B:", 'A');
  EXPECT_NE(reply.find("Disk removed from drive \"B\"!"), std::string::npos) << reply;
  EXPECT_NE(Rig->Command("DIR").find("SYS      COM"), std::string::npos);
}

// A disk swapped in a drive must be logged in afresh: CP/M must never write the
// new disk with the allocation map of the old one, or it would hand out blocks
// that the new disk's files use.
TEST_F(CpmSystemManagerTest, MountedDiskIsLoggedInAgainBeforeCpmWritesIt) {
  const std::vector<uint8_t> data = Pattern(24000);
  TCpmBootRig::ImportFile(DiskA, "DATA.BIN", data);
  UseDiskB("FIRST");
  const std::filesystem::path second = Rig->MakeDisk("SECOND");
  const std::vector<uint8_t> keep1 = Pattern(30000), keep2 = AsRecords(TextBytes("keep me\r\n"));
  TCpmBootRig::ImportFile(second, "KEEP1.DAT", keep1);
  TCpmBootRig::ImportFile(second, "KEEP2.DAT", keep2);
  Boot();
  // Log B: in while it holds the empty disk: its map says every block is free.
  EXPECT_NE(Rig->Command("DIR B:").find("No file"), std::string::npos);
  Sys("MOUNT B: SECOND");
  const std::string pip = Rig->Command("PIP B:NEW.BIN=A:DATA.BIN");
  EXPECT_EQ(pip.find("ERR"), std::string::npos) << pip;
  Stop();
  EXPECT_EQ(TCpmBootRig::ExportFile(second, "KEEP1.DAT"), AsRecords(keep1));
  EXPECT_EQ(TCpmBootRig::ExportFile(second, "KEEP2.DAT"), keep2);
  EXPECT_EQ(TCpmBootRig::ExportFile(second, "NEW.BIN"), AsRecords(data));
}

// The same with the disk swapped from the host while CP/M waits at its prompt:
// the BIOS sees the disk-changed bit at the next disk access and restarts CP/M
// through the warm boot before anything is written.
TEST_F(CpmSystemManagerTest, DiskSwappedFromTheHostIsNoticedByTheBios) {
  const std::vector<uint8_t> data = Pattern(24000);
  TCpmBootRig::ImportFile(DiskA, "DATA.BIN", data);
  UseDiskB("FIRST");
  const std::filesystem::path second = Rig->MakeDisk("SECOND");
  const std::vector<uint8_t> keep = Pattern(30000);
  TCpmBootRig::ImportFile(second, "KEEP.DAT", keep);
  Boot();
  EXPECT_NE(Rig->Command("DIR B:").find("No file"), std::string::npos);

  Rig->Machine->MountDrive(1, second.string());
  ASSERT_EQ(Rig->Machine->DiskChangedFlag, 1);
  const std::string cancelled = Rig->Command("PIP B:NEW.BIN=A:DATA.BIN");
  EXPECT_NE(cancelled.find("Disk changed"), std::string::npos) << cancelled;
  EXPECT_EQ(Rig->Machine->DiskChangedFlag, 0);
  const std::string pip = Rig->Command("PIP B:NEW.BIN=A:DATA.BIN");
  EXPECT_EQ(pip.find("ERR"), std::string::npos) << pip;
  Stop();
  EXPECT_EQ(TCpmBootRig::ExportFile(second, "KEEP.DAT"), AsRecords(keep));
  EXPECT_EQ(TCpmBootRig::ExportFile(second, "NEW.BIN"), AsRecords(data));
}

}  // namespace
