// A machine in a temporary work folder that cold-boots the shared CP/M 2.2 image
// with the project's BIOS, for the end-to-end tests and the benchmark: disks are
// made and filled with the CP/M file system before the boot and read back after
// it, keys go into the console queues, and every byte written to the console
// ports is kept as a transcript beside the CRT screen buffer.
#pragma once

#include "TempFolder.h"
#include <stdlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CpmDiskDrive.h"
#include "DiskDrive.h"
#include "DiskStream.h"
#include "IntelHexLoader.h"
#include "Machine.h"
#include "MainThread.h"

namespace korvel_boot {

using TScratchFolder = korvel_test::TTempFolder;

// The bytes of a text, as a file on a CP/M disk holds them.
inline std::vector<uint8_t> TextBytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// The bytes of a program assembled to run at 0100h, read from its Intel-hex file.
inline std::vector<uint8_t> ComProgramFromHex(const std::string& hexFile) {
  std::vector<uint8_t> image(65536, 0);
  const THexImageRange range = LoadHexToImage(hexFile, image.data());
  if (!range.HasData || range.First != 0x100 || range.Next <= range.First)
    throw std::runtime_error(hexFile + " does not hold a program at 0100h");
  return std::vector<uint8_t>(image.begin() + 0x100, image.begin() + range.Next);
}

// Lines of printable text, numbered, Size bytes in all.
inline std::string NumberedText(size_t Size) {
  std::string text;
  for (int line = 0; text.size() < Size; ++line) {
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%06d The quick brown fox jumps over the lazy dog; 0123456789.\r\n", line);
    text += buffer;
  }
  text.resize(Size);
  return text;
}

// What PIP sends to PUN: for a text: a leader of 40 nulls, the text, ^Z and a
// trailer of 40 nulls.
inline std::string Punched(const std::string& text) {
  return std::string(40, '\0') + text + '\x1a' + std::string(40, '\0');
}

class TCpmBootRig {
  // Declared first: built before the machine that works in it, removed after it.
  TScratchFolder FFolder;

 public:
  // CpmImage and BiosImage: the Intel-hex files of the cold boot.
  TCpmBootRig(const std::string& CpmImage, const std::string& BiosImage) {
    Machine = std::make_unique<TMachine>(FFolder.Path(), &MainThread);
    Machine->CpmImageFile = CpmImage;
    Machine->BiosImageFile = BiosImage;
    Machine->OnMessage = [this](TMachineMessageKind, const std::string& Text) { Messages.push_back(Text); };
    // Keep a copy of every console byte on its way to the machine's devices.
    TCpuPortWriteProc deviceWrite = Machine->Cpu().OnPortWrite;
    Machine->Cpu().OnPortWrite = [this, deviceWrite](TCpuEmu& Sender, uint16_t Port, uint8_t Data) {
      const uint8_t device = static_cast<uint8_t>(Port);
      if (device == 19) CrtOutput += static_cast<char>(Data);
      if (device == 17) TtyOutput += static_cast<char>(Data);
      if (deviceWrite) deviceWrite(Sender, Port, Data);
    };
  }

  // KORVEL_BOOT_TRANSCRIPT=1 prints what the consoles showed, for finding out why a test failed.
  ~TCpmBootRig() {
    if (std::getenv("KORVEL_BOOT_TRANSCRIPT"))
      std::fprintf(stderr, "---- CRT ----\n%s\n---- TTY ----\n%s\n----\n", CrtOutput.c_str(), TtyOutput.c_str());
  }

  std::filesystem::path Folder() const { return FFolder.Path(); }
  // The file of the system manager's disk Name ("WORK" is work folder/WORK.cpmdsk).
  std::filesystem::path DiskFile(const std::string& Name) const { return FFolder.Path() / (Name + ".cpmdsk"); }

  // A freshly formatted disk (every byte E5h).
  std::filesystem::path MakeDisk(const std::string& Name) {
    const std::filesystem::path file = DiskFile(Name);
    TDiskDrive::FormatDriveFile(file);
    return file;
  }
  static void ImportFile(const std::filesystem::path& Disk, const std::string& CpmName,
                         const std::vector<uint8_t>& Bytes) {
    TCpmDiskDrive drive(Disk);
    TMemoryStream stream(Bytes);
    int index = -1;
    drive.ImportFile(CpmName, stream, static_cast<std::int64_t>(Bytes.size()), index, 0, 0x1A);
  }
  // The whole records of a file of user 0, as CP/M stored them.
  static std::vector<uint8_t> ExportFile(const std::filesystem::path& Disk, const std::string& CpmName) {
    TCpmDiskDrive drive(Disk);
    TMemoryStream stream;
    drive.ExportFile(CpmName, 0, false, stream);
    return stream.Data();
  }
  static bool FileExists(const std::filesystem::path& Disk, const std::string& CpmName) {
    TCpmDiskDrive drive(Disk);
    return drive.FileExists(CpmName, 0);
  }

  // The CCP's prompt for a drive; this CCP shows the drive letter in lower case ("a>").
  static std::string Prompt(char Drive) {
    return std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(Drive)))) + ">";
  }

  // Cold boot, then run until the console shows the prompt of drive A.
  bool BootToPrompt(uint64_t MaxInstructions = 50'000'000) {
    Machine->ColdBoot();
    return RunUntilOutput(Prompt('A'), MaxInstructions);
  }

  // Queues a line for the CRT keyboard (fed in as the queue takes it).
  void Type(const std::string& Keys) { FPendingCrtKeys += Keys; }
  void TypeTty(const std::string& Keys) { FPendingTtyKeys += Keys; }

  // Runs passes until Text appears in the console transcript after what was
  // there when the call began. False when MaxInstructions ran out first, when
  // the machine stopped, or when a pass reported an error.
  bool RunUntilOutput(const std::string& Text, uint64_t MaxInstructions = 200'000'000, bool Tty = false) {
    const std::string& output = Tty ? TtyOutput : CrtOutput;
    const size_t from = FScanFrom(Tty);
    const uint64_t limit = Machine->Cpu().InstructionCount + MaxInstructions;
    while (Machine->Cpu().InstructionCount < limit) {
      FeedKeys();
      if (output.find(Text, from) != std::string::npos) {
        FMark(Tty) = output.find(Text, from) + Text.size();
        return true;
      }
      if (!Machine->GetRunCpu()) return false;
      Machine->RunPass();
      MainThread.RunPending();
    }
    FeedKeys();
    const size_t at = output.find(Text, from);
    if (at == std::string::npos) return false;
    FMark(Tty) = at + Text.size();
    return true;
  }

  // One run-loop pass, with the typed keys fed in as the queues take them and
  // the serial ports' events delivered afterwards.
  void Pass() {
    FeedKeys();
    Machine->RunPass();
    MainThread.RunPending();
  }

  // Types a command line and runs until the next prompt of Drive; returns
  // the console text between the two.
  std::string Command(const std::string& Line, char Drive = 'A', uint64_t MaxInstructions = 400'000'000) {
    const size_t from = CrtOutput.size();
    Type(Line + "\r");
    const std::string prompt = "\r\n" + Prompt(Drive);
    if (!RunUntilOutput(prompt, MaxInstructions))
      return "<no prompt after \"" + Line + "\">: " + CrtOutput.substr(from);
    return CrtOutput.substr(from, FCrtMark - from);
  }

  // Everything written to the CRT since the last matched text.
  std::string CrtSinceMark() const { return CrtOutput.substr(FCrtMark); }

  TQueuedMainThread MainThread;
  std::unique_ptr<TMachine> Machine;
  std::string CrtOutput;
  std::string TtyOutput;
  std::vector<std::string> Messages;

 private:
  void FeedKeys() {
    while (!FPendingCrtKeys.empty() && Machine->CrtKeyHook(static_cast<uint8_t>(FPendingCrtKeys.front())))
      FPendingCrtKeys.erase(0, 1);
    while (!FPendingTtyKeys.empty() && Machine->PutTtyKey(static_cast<uint8_t>(FPendingTtyKeys.front())))
      FPendingTtyKeys.erase(0, 1);
  }
  size_t FScanFrom(bool Tty) const { return Tty ? FTtyMark : FCrtMark; }
  size_t& FMark(bool Tty) { return Tty ? FTtyMark : FCrtMark; }

  std::string FPendingCrtKeys;
  std::string FPendingTtyKeys;
  size_t FCrtMark = 0;
  size_t FTtyMark = 0;
};

}  // namespace korvel_boot
