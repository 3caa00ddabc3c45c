// Shared helpers of the machine tests: a temporary work folder, a machine in it,
// direct port access, Intel-hex text and small boot images.
#pragma once

#include "TempFolder.h"
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Machine.h"

namespace machine_test {

using TTempFolder = korvel_test::TTempFolder;

// Intel-hex text of Data at Address: 16-byte data records and the end record,
// with correct checksums.
inline std::string HexText(uint16_t Address, const std::vector<uint8_t>& Data) {
  std::string Text;
  char Field[8];
  for (size_t Offset = 0; Offset < Data.size(); Offset += 16) {
    const size_t Count = std::min<size_t>(16, Data.size() - Offset);
    const unsigned RecordAddress = static_cast<uint16_t>(Address + Offset);
    unsigned Sum = static_cast<unsigned>(Count) + (RecordAddress >> 8) + (RecordAddress & 0xFF);
    std::snprintf(Field, sizeof Field, ":%02X", static_cast<unsigned>(Count));
    Text += Field;
    std::snprintf(Field, sizeof Field, "%04X00", RecordAddress);
    Text += Field;
    for (size_t I = 0; I < Count; ++I) {
      std::snprintf(Field, sizeof Field, "%02X", Data[Offset + I]);
      Text += Field;
      Sum += Data[Offset + I];
    }
    std::snprintf(Field, sizeof Field, "%02X\n", (0x100 - (Sum & 0xFF)) & 0xFF);
    Text += Field;
  }
  return Text + ":00000001FF\n";
}

inline void WriteTextFile(const std::string& FileName, const std::string& Text) {
  std::ofstream File(FileName, std::ios::binary);
  File << Text;
}

inline std::vector<uint8_t> ReadBytes(const std::string& FileName) {
  std::ifstream File(FileName, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

// Bytes Length..: a recognisable pattern (value depends on the address).
inline std::vector<uint8_t> Pattern(size_t Length, uint8_t Seed) {
  std::vector<uint8_t> Data(Length);
  for (size_t I = 0; I < Length; ++I) Data[I] = static_cast<uint8_t>(Seed + I * 7 + (I >> 8));
  return Data;
}

// A machine in its own temporary work folder, with its messages recorded.
class MachineTest : public ::testing::Test {
 protected:
  MachineTest() : Machine(Folder.Path(), nullptr) {
    Machine.OnMessage = [this](TMachineMessageKind Kind, const std::string& Text) { Messages.emplace_back(Kind, Text); };
  }

  uint8_t In(uint16_t Port, uint8_t Preset = 0x5A) {
    uint8_t Data = Preset;
    Machine.CpuPortRead(Port, Data);
    return Data;
  }
  void Out(uint16_t Port, uint8_t Data) { Machine.CpuPortWrite(Port, Data); }

  // Runs a program placed at 0100h until it executes HALT (at most Limit instructions).
  void RunProgram(const std::vector<uint8_t>& Code, uint64_t Limit = 100000) {
    TCpuEmu& Cpu = Machine.Cpu();
    Cpu.Reset(0x0100);
    Cpu.LoadMemory(0x0100, static_cast<uint16_t>(Code.size()), Code.data());
    for (uint64_t I = 0; I < Limit && !(Cpu.CpuState & CpuStateHalted); ++I) Cpu.ExecuteInstruction();
    ASSERT_TRUE(Cpu.CpuState & CpuStateHalted) << "the test program did not reach its HALT";
  }

  // Writes a CP/M image (Size bytes at CpmAddress) and a BIOS (BiosSize bytes at
  // BiosAddress) as the work folder's default hex files.
  void WriteBootImages(uint16_t CpmAddress, size_t CpmSize, uint16_t BiosAddress, size_t BiosSize) {
    CpmImage = Pattern(CpmSize, 0x11);
    BiosImage = Pattern(BiosSize, 0x77);
    WriteTextFile(Folder.File("cpm22.hex"), HexText(CpmAddress, CpmImage));
    WriteTextFile(Folder.File("vantel.hex"), HexText(BiosAddress, BiosImage));
  }

  std::string NewDisk(const std::string& Name) {
    const std::string FileName = Folder.File(Name + ".cpmdsk");
    TDiskDrive::FormatDriveFile(FileName);
    return FileName;
  }

  bool HasMessage(const std::string& Text) const {
    for (const auto& Entry : Messages)
      if (Entry.second.find(Text) != std::string::npos) return true;
    return false;
  }

  TTempFolder Folder;
  TMachine Machine;
  std::vector<std::pair<TMachineMessageKind, std::string>> Messages;
  std::vector<uint8_t> CpmImage;
  std::vector<uint8_t> BiosImage;
};

}  // namespace machine_test
