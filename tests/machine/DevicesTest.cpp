// Device mapping, the printer port and the reader and punch files.
#include <gtest/gtest.h>

#include "MachineTestSupport.h"

using machine_test::MachineTest;
using machine_test::ReadBytes;
using machine_test::WriteTextFile;

namespace {

class TFakePrinter final : public IMachinePrinter {
 public:
  explicit TFakePrinter(std::string& Log) : FLog(Log) {}
  void PrintChar(uint8_t Value) override {
    if (Fail) throw std::runtime_error("printer offline");
    FLog += static_cast<char>(Value);
  }
  bool PrinterAvailable() const override { return Available; }
  bool IsPrinting() const override { return false; }
  int PageCount() const override { return 0; }
  void EjectJob() override {}
  void AbortJob() override {}
  bool Available = true;
  bool Fail = false;

 private:
  std::string& FLog;
};

class DevicesTest : public MachineTest {
 protected:
  void Boot() {
    WriteBootImages(0xE400, 0x1600, 0xFA00, 0x200);
    Machine.ColdBoot();
  }
  std::string ReadAllFromReader(int Limit = 5000) {
    std::string Text;
    for (int I = 0; I < Limit && (In(26) & 2); ++I) Text += static_cast<char>(In(27));
    return Text;
  }
};

// ---------------------------------------------------------------- mapping

TEST_F(DevicesTest, MappingTextsNameTheFourDevices) {
  EXPECT_EQ(TMachine::ConLstMappingText(1), "CON=CRT, LST=TTY");
  EXPECT_EQ(TMachine::RdrPunMappingText(1), "RDR=TTY, PUN=TTY");
  EXPECT_EQ(TMachine::ConLstMappingText(0), "CON=TTY, LST=TTY");
  EXPECT_EQ(TMachine::RdrPunMappingText(0), "RDR=TTY, PUN=TTY");
  EXPECT_EQ(TMachine::ConLstMappingText(255), "CON=UC1, LST=UL1");
  EXPECT_EQ(TMachine::RdrPunMappingText(255), "RDR=UR2, PUN=UP2");
  // CON=UC1, RDR=UR1, PUN=UP2, LST=LPT.
  EXPECT_EQ(TMachine::ConLstMappingText(187), "CON=UC1, LST=LPT");
  EXPECT_EQ(TMachine::RdrPunMappingText(187), "RDR=UR1, PUN=UP2");
}

TEST_F(DevicesTest, TheLiveIoByteIsWrittenOnlyAfterTheFirstBoot) {
  Machine.Cpu().WriteByte(3, 0x42);
  Machine.DeviceMapping = 187;
  Machine.DeviceMappingsDisplayChanged();
  Machine.UseDefaultDeviceMappings();
  EXPECT_EQ(Machine.Cpu().ReadByte(3), 0x42);
  EXPECT_EQ(Machine.DeviceMapping, 1);

  Boot();
  Machine.DeviceMapping = 187;
  Machine.DeviceMappingsDisplayChanged();
  EXPECT_EQ(Machine.Cpu().ReadByte(3), 187);
  Machine.SetDefaultMappings();
  EXPECT_EQ(Machine.ColdBootIoByte, 187);
  EXPECT_EQ(In(72), 187);
  Machine.ColdBootIoByte = 0x81;
  Machine.UseDefaultDeviceMappings();
  EXPECT_EQ(Machine.DeviceMapping, 0x81);
  EXPECT_EQ(Machine.Cpu().ReadByte(3), 0x81);
  // CP/M changed its IOBYTE: the Ports page reads it back.
  int Changes = 0;
  Machine.OnDeviceMappingChanged = [&] { ++Changes; };
  Machine.Cpu().WriteByte(3, 0x54);
  Machine.ReadDeviceMappingFromMemory();
  EXPECT_EQ(Machine.DeviceMapping, 0x54);
  EXPECT_EQ(Changes, 1);
}

// ---------------------------------------------------------------- printer

TEST_F(DevicesTest, PrinterPortPrintsWhilePrintingIsEnabled) {
  std::string Log;
  EXPECT_EQ(In(24), 0);
  Out(25, 'a');
  auto Printer = std::make_unique<TFakePrinter>(Log);
  TFakePrinter* Fake = Printer.get();
  Machine.SetPrinter(std::move(Printer));
  EXPECT_EQ(In(24), 4);
  Fake->Available = false;
  EXPECT_EQ(In(24), 0);
  Fake->Available = true;
  for (char C : std::string("LIST\r\n")) Out(25, static_cast<uint8_t>(C));
  EXPECT_EQ(Log, "LIST\r\n");
  EXPECT_EQ(In(25), 255);
  Machine.SetPrinter(nullptr);
  Out(25, 'z');
  EXPECT_EQ(Log, "LIST\r\n");
  EXPECT_EQ(In(24), 0);
}

TEST_F(DevicesTest, AFailingPrinterIsReportedOnceAndSwitchedOff) {
  std::string Log;
  auto Printer = std::make_unique<TFakePrinter>(Log);
  Printer->Fail = true;
  Machine.SetPrinter(std::move(Printer));
  for (int I = 0; I < 10; ++I) Out(25, 'x');
  EXPECT_EQ(Machine.Printer(), nullptr);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].first, TMachineMessageKind::Warning);
  EXPECT_NE(Messages[0].second.find("printer offline"), std::string::npos);
  EXPECT_EQ(In(24), 0);
}

// ---------------------------------------------------------------- reader

TEST_F(DevicesTest, ReaderDeliversTheFileThenReportsNothingAndCloses) {
  WriteTextFile(Folder.File("in.txt"), "abc");
  Machine.InputFileName = Folder.File("in.txt");
  EXPECT_EQ(In(26), 0);
  EXPECT_EQ(In(27, 0x33), 0x33) << "a closed reader leaves the data unchanged";
  ASSERT_TRUE(Machine.SetInputFileEnabled(true));
  int Changes = 0;
  Machine.OnPortFilesChanged = [&] { ++Changes; };
  EXPECT_EQ(ReadAllFromReader(), "abc");
  EXPECT_EQ(In(26), 0);
  EXPECT_FALSE(Machine.InputFileEnabled());
  EXPECT_EQ(Changes, 1);
  EXPECT_EQ(In(27, 0x44), 0x44);
}

TEST_F(DevicesTest, ReaderLargerThanItsBufferArrivesWhole) {
  std::string Text;
  for (int I = 0; I < 1300; ++I) Text += static_cast<char>('A' + I % 26);
  WriteTextFile(Folder.File("big.txt"), Text);
  Machine.InputFileName = Folder.File("big.txt");
  ASSERT_TRUE(Machine.SetInputFileEnabled(true));
  EXPECT_EQ(ReadAllFromReader(), Text);
}

TEST_F(DevicesTest, ReaderReturningEndOfStreamGivesControlZForEver) {
  WriteTextFile(Folder.File("in.txt"), "x");
  Machine.InputFileName = Folder.File("in.txt");
  Machine.ReaderEndOfStream = TReaderEndOfStream::ReturnEndOfStream;
  Machine.SetInputFileEnabled(true);
  EXPECT_EQ(In(27), 'x');
  for (int I = 0; I < 3; ++I) {
    EXPECT_EQ(In(26), 2);
    EXPECT_EQ(In(27), 26);
  }
  EXPECT_TRUE(Machine.InputFileEnabled());
}

TEST_F(DevicesTest, ReaderRestartContinuesFromTheStart) {
  WriteTextFile(Folder.File("in.txt"), "12");
  Machine.InputFileName = Folder.File("in.txt");
  Machine.ReaderEndOfStream = TReaderEndOfStream::Restart;
  Machine.SetInputFileEnabled(true);
  std::string Text;
  for (int I = 0; I < 5; ++I) Text += static_cast<char>(In(27));
  EXPECT_EQ(Text, "12121");
  // An empty file stays open and has nothing to read.
  Machine.SetInputFileEnabled(false);
  WriteTextFile(Folder.File("empty.txt"), "");
  Machine.InputFileName = Folder.File("empty.txt");
  Machine.SetInputFileEnabled(true);
  In(27);  // the byte left over from the first file
  EXPECT_EQ(In(26), 0);
  EXPECT_TRUE(Machine.InputFileEnabled());
}

TEST_F(DevicesTest, ReaderSwitchConsoleChangesTheConsoleWhateverItWas) {
  Boot();
  WriteTextFile(Folder.File("in.txt"), "");
  Machine.InputFileName = Folder.File("in.txt");
  Machine.ReaderEndOfStream = TReaderEndOfStream::SwitchConsole;
  Machine.ReaderSwitchConsoleTo = 0;  // TTY
  Machine.DeviceMapping = 0xA5;       // CON=CRT, not BAT
  int Changes = 0;
  Machine.OnDeviceMappingChanged = [&] { ++Changes; };
  Machine.SetInputFileEnabled(true);
  EXPECT_EQ(In(26), 0);
  EXPECT_EQ(Machine.DeviceMapping, 0xA4);
  EXPECT_EQ(Machine.Cpu().ReadByte(3), 0xA4);
  EXPECT_EQ(Changes, 1);
  EXPECT_FALSE(Machine.InputFileEnabled());
}

TEST_F(DevicesTest, AReaderFileThatCannotBeOpenedIsReported) {
  Machine.InputFileName = Folder.File("missing.txt");
  EXPECT_FALSE(Machine.SetInputFileEnabled(true));
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].second, "Unable to open the input file \"" + Folder.File("missing.txt") + "\".");
  Machine.InputFileName = Folder.Path().string();
  EXPECT_FALSE(Machine.SetInputFileEnabled(true)) << "a folder is not a reader file";
}

// ---------------------------------------------------------------- punch

TEST_F(DevicesTest, PunchWritesEachByteAtOnce) {
  Machine.OutputFileName = Folder.File("out.txt");
  EXPECT_EQ(In(28), 0);
  Out(29, 'n');
  ASSERT_TRUE(Machine.SetOutputFileEnabled(true));
  EXPECT_EQ(In(28), 4);
  EXPECT_EQ(In(29), 255);
  for (char C : std::string("PUN\x1A")) Out(29, static_cast<uint8_t>(C));
  EXPECT_EQ(ReadBytes(Folder.File("out.txt")), (std::vector<uint8_t>{'P', 'U', 'N', 26})) << "nothing is held back";
  Machine.SetOutputFileEnabled(false);
  EXPECT_EQ(In(28), 0);
}

TEST_F(DevicesTest, PunchAppendsOrEmptiesAnExistingFile) {
  WriteTextFile(Folder.File("out.txt"), "old");
  Machine.OutputFileName = Folder.File("out.txt");
  Machine.AppendOutputFile = true;
  Machine.SetOutputFileEnabled(true);
  Out(29, '+');
  Machine.SetOutputFileEnabled(false);
  EXPECT_EQ(ReadBytes(Folder.File("out.txt")), (std::vector<uint8_t>{'o', 'l', 'd', '+'}));
  Machine.AppendOutputFile = false;
  Machine.SetOutputFileEnabled(true);
  EXPECT_TRUE(ReadBytes(Folder.File("out.txt")).empty());
  Machine.SetOutputFileEnabled(false);
  // Appending to a file that does not exist creates it.
  Machine.OutputFileName = Folder.File("new.txt");
  Machine.AppendOutputFile = true;
  EXPECT_TRUE(Machine.SetOutputFileEnabled(true));
  Out(29, 'n');
  EXPECT_EQ(ReadBytes(Folder.File("new.txt")), std::vector<uint8_t>{'n'});
}

TEST_F(DevicesTest, AFailedPunchWriteClosesTheFileAndSaysSo) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  Machine.OutputFileName = "/dev/full";
  ASSERT_TRUE(Machine.SetOutputFileEnabled(true));
  int Changes = 0;
  Machine.OnPortFilesChanged = [&] { ++Changes; };
  for (int I = 0; I < 5; ++I) Out(29, 'x');
  EXPECT_FALSE(Machine.OutputFileEnabled());
  EXPECT_EQ(In(28), 0);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].first, TMachineMessageKind::Warning);
  EXPECT_NE(Messages[0].second.find("/dev/full"), std::string::npos);
  EXPECT_EQ(Changes, 1);
}

TEST_F(DevicesTest, APunchFileThatCannotBeOpenedIsReported) {
  Machine.OutputFileName = Folder.File("no/such/folder/out.txt");
  EXPECT_FALSE(Machine.SetOutputFileEnabled(true));
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].second, "Unable to open the output file \"" + Folder.File("no/such/folder/out.txt") + "\".");
}

}  // namespace
