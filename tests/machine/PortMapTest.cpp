// The port dispatch, the cold-boot device port, the disk-controller ports and
// the two consoles.
#include <gtest/gtest.h>

#include "MachineTestSupport.h"

using machine_test::MachineTest;

namespace {

class PortMapTest : public MachineTest {};

TEST_F(PortMapTest, PortsWithoutADeviceReadAllOnesAndIgnoreWrites) {
  for (uint16_t Port : {25, 29, 73, 0, 15, 120, 255}) EXPECT_EQ(In(Port), 255) << "port " << Port;
  const std::vector<uint8_t> Before(Machine.Cpu().Memory, Machine.Cpu().Memory + 65536);
  for (uint16_t Port : {16, 18, 20, 22, 24, 26, 27, 28, 72, 73, 200}) Out(Port, 0xA5);
  EXPECT_EQ(std::vector<uint8_t>(Machine.Cpu().Memory, Machine.Cpu().Memory + 65536), Before);
  EXPECT_EQ(Machine.CrtLineText(1), "");
  EXPECT_EQ(In(18), 4);
  EXPECT_EQ(Machine.ColdBootIoByte, 1);
}

TEST_F(PortMapTest, ColdBootDeviceByteIsReadOnly) {
  EXPECT_EQ(In(72), 1);
  Machine.ColdBootIoByte = 0x95;
  EXPECT_EQ(In(72), 0x95);
  Out(72, 3);
  EXPECT_EQ(In(72), 0x95);
}

TEST_F(PortMapTest, OnlyTheLowByteOfThePortSelectsTheDevice) {
  Out(0x1271, 2);  // drive register through a 16-bit port number
  EXPECT_EQ(In(0x0571), 2);
  EXPECT_EQ(In(0xFF48), In(72 + 0xFF00));
  EXPECT_EQ(In(0x0148), 1);
}

TEST_F(PortMapTest, DiskControllerRegistersAreReachedThroughPorts112To119) {
  for (uint8_t Register = 1; Register < 8; ++Register) Out(112 + Register, static_cast<uint8_t>(0x10 + Register));
  for (uint8_t Register = 1; Register < 8; ++Register) EXPECT_EQ(In(112 + Register), 0x10 + Register);
  EXPECT_EQ(In(118), 0x16);
  EXPECT_EQ(In(120), 255);
}

TEST_F(PortMapTest, InAFromAPortSendsTheAccumulatorAsHighByte) {
  // LD A,5 ; IN A,(112) ; LD B,A ; LD C,113 ; LD A,3 ; OUT (C),A ; IN E,(C) ; HALT
  Out(112, 0);  // reset: status 0
  RunProgram({0x3E, 0x05, 0xDB, 0x70, 0x47, 0x0E, 0x71, 0x3E, 0x03, 0xED, 0x79, 0xED, 0x58, 0x76});
  EXPECT_EQ(Machine.Cpu().GetRegisterB(), 0);
  EXPECT_EQ(Machine.Cpu().GetRegisterE(), 3);
}

TEST_F(PortMapTest, DiskReadCopiesTheSectorToTheDmaAddressAndLightsTheLamp) {
  const std::string Disk = NewDisk("DATA");
  {
    TDiskDrive Drive(Disk);
    std::vector<uint8_t> Sector = machine_test::Pattern(128, 0x42);
    Drive.Track = 30;
    Drive.Sector = 5;
    Drive.WriteSector(Sector.data());
  }
  Machine.MountDrive(1, Disk);
  std::vector<int> Changed;
  Machine.OnDriveChanged = [&](int Drive) { Changed.push_back(Drive); };
  Out(113, 1);
  Out(114, 5);
  Out(115, 0);
  Out(116, 30);
  Out(117, 0);
  Out(118, 0xC0);  // DMA FFC0h: the copy wraps to 0000h after 64 bytes
  Out(119, 0xFF);
  Out(112, 2);
  EXPECT_EQ(In(112), 0);
  const std::vector<uint8_t> Expected = machine_test::Pattern(128, 0x42);
  for (int I = 0; I < 128; ++I) EXPECT_EQ(Machine.Cpu().ReadByte(static_cast<uint16_t>(0xFFC0 + I)), Expected[I]);
  EXPECT_EQ(Machine.DriveLamp(1), TDriveLamp::Reading);
  EXPECT_EQ(Changed, std::vector<int>{1});

  // A write takes the bytes from memory at the DMA address; the lamp turns red.
  Machine.Cpu().WriteByte(0x2000, 0x99);
  Out(118, 0x00);
  Out(119, 0x20);
  Out(114, 6);
  Out(112, 3);
  EXPECT_EQ(In(112), 0);
  EXPECT_EQ(Machine.DriveLamp(1), TDriveLamp::Writing);
  // A controller reset puts every lamp out: blue with a disk, grey without.
  Out(112, 0);
  EXPECT_EQ(Machine.DriveLamp(1), TDriveLamp::Mounted);
  EXPECT_EQ(Machine.DriveLamp(2), TDriveLamp::Empty);
  Machine.UnmountDrive(1);
  TDiskDrive Check(Disk);
  Check.Track = 30;
  Check.Sector = 6;
  uint8_t Sector[128];
  Check.ReadSector(Sector);
  EXPECT_EQ(Sector[0], 0x99);
}

TEST_F(PortMapTest, ReadingAnEmptyDriveReportsNoDisk) {
  Out(113, 2);
  Out(112, 2);
  EXPECT_EQ(In(112), 1);
}

// ---------------------------------------------------------------- consoles

class ConsolePortTest : public MachineTest {};

TEST_F(ConsolePortTest, StatusReadsFourOrSixNeverZeroOrTwo) {
  EXPECT_EQ(In(18), 4);
  EXPECT_EQ(In(16), 4);
  Machine.CrtKeyHook('x');
  EXPECT_EQ(In(18), 6);
  EXPECT_EQ(In(16), 4);
  Machine.PutTtyKey('y');
  EXPECT_EQ(In(16), 6);
  EXPECT_EQ(In(19), 'x');
  EXPECT_EQ(In(18), 4);
  EXPECT_EQ(In(17), 'y');
  EXPECT_EQ(In(16), 4);
}

TEST_F(ConsolePortTest, EmptyQueueRepeatsTheLastKey) {
  EXPECT_EQ(In(17, 0x77), 0);
  EXPECT_EQ(In(19, 0x77), 0);
  Machine.TypeCrtKeys("ab");
  EXPECT_EQ(In(19), 'a');
  EXPECT_EQ(In(19), 'b');
  EXPECT_EQ(In(19), 'b');
  EXPECT_EQ(Machine.LastCrtKey, 'b');
}

TEST_F(ConsolePortTest, DeleteTypedOnTheCrtArrivesAsBackspace) {
  Machine.CrtKeyHook(127);
  EXPECT_EQ(In(19), 8);
  // The TTY queue takes bytes as the key mapping delivers them.
  Machine.PutTtyKey(127);
  EXPECT_EQ(In(17), 127);
}

TEST_F(ConsolePortTest, TheThirtyThirdKeyIsLostAndTheFirstThirtyTwoArriveInOrder) {
  std::string Keys;
  for (int I = 0; I < 33; ++I) Keys += static_cast<char>('A' + I % 26);
  EXPECT_EQ(Machine.TypeCrtKeys(Keys), 32u);
  EXPECT_FALSE(Machine.CrtKeyHook('!'));
  for (int I = 0; I < 32; ++I) EXPECT_EQ(In(19), static_cast<uint8_t>(Keys[static_cast<size_t>(I)]));
  EXPECT_EQ(In(18), 4);
}

TEST_F(ConsolePortTest, CrtOutputGoesThroughTheVt100EmulatorUntranslated) {
  for (char C : std::string("Hello\r\nA>")) Out(19, static_cast<uint8_t>(C));
  EXPECT_EQ(Machine.CrtLineText(1), "Hello");
  EXPECT_EQ(Machine.CrtLineText(2), "A>");
  // A CR alone returns to column 1 of the same row; escape sequences are interpreted.
  for (char C : std::string("\rB\x1B[2;5HX")) Out(19, static_cast<uint8_t>(C));
  EXPECT_EQ(Machine.CrtLineText(2), "B>  X");
  EXPECT_EQ(Machine.CrtScreenText(), "Hello\nB>  X");
}

TEST_F(ConsolePortTest, TtyOutputGoesThroughTheTtyParser) {
  std::string Text;
  std::vector<std::vector<int>> Commands;
  Machine.OnTtyWriteChar = [&](uint8_t C) { Text += static_cast<char>(C); };
  Machine.OnTtyControlCode = [&](uint8_t Code, int32_t A, int32_t B) { Commands.push_back({Code, A, B}); };
  for (char C : std::string("hi\x1BSc\x1B" "Cp\x05\x07!")) Out(17, static_cast<uint8_t>(C));
  EXPECT_EQ(Text, "hi!");
  ASSERT_EQ(Commands.size(), 2u);
  EXPECT_EQ(Commands[0][0], 1);
  EXPECT_EQ(Commands[1], (std::vector<int>{8, 5, 7}));
  EXPECT_EQ(Machine.CrtLineText(1), "");
}

TEST_F(ConsolePortTest, ProgramEchoesKeysFromTheCrtQueue) {
  // loop: IN A,(18) ; AND 2 ; JR Z,loop ; IN A,(19) ; CP 13 ; JR Z,done ; OUT (19),A ; JR loop ; done: HALT
  Machine.TypeCrtKeys("DIR\r");
  RunProgram({0xDB, 0x12, 0xE6, 0x02, 0x28, 0xFA, 0xDB, 0x13, 0xFE, 0x0D, 0x28, 0x04, 0xD3, 0x13, 0x18, 0xF0, 0x76});
  EXPECT_EQ(Machine.CrtLineText(1), "DIR");
}

TEST_F(ConsolePortTest, KeysTypedIntoTheCrtEmulatorReachTheKeyQueue) {
  char Key = 'q';
  Machine.CrtEmulator().KeyPress(Key);
  char Delete = 127;
  Machine.CrtEmulator().KeyPress(Delete);
  EXPECT_EQ(In(19), 'q');
  EXPECT_EQ(In(19), 8);
}

}  // namespace
