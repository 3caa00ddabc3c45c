// The main window with its "Disk Manager" page in front, for the disk-manager
// tests: the window's dialog routing answered from scripts (several files at
// once and questions with several answers too), disks and host files made in a
// folder of the test's own, the page's lines as text, cpmtools as the far side
// and a strict Intel-hex reader.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QListWidget>
#include <QTest>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "CpmDiskDrive.h"
#include "BootLoaderDlg.h"
#include "CreateDiskPackDlg.h"
#include "DiskManagerPage.h"
#include "DiskPack.h"
#include "MainWindowTestRig.h"
#include "SelPathDlg.h"
#include "SetAttributesDlg.h"
#include "TextViewer.h"
#include "WaitUntil.h"

namespace korvel_test {

// The window's dialog routing with the scripts of TScriptedDialogs, and beside
// them answers for the multiple-file open dialog and the questions with more
// than two answers.
class TDiskManagerDialogs final : public IMainDialogs {
 public:
  explicit TDiskManagerDialogs(TScriptedDialogs& Base) : FBase(Base) {}

  // Several files at once (none: cancelled); without an answer here, the
  // single-file answer.
  std::deque<std::vector<std::string>> FilesAnswers;
  // Index of the answer chosen; without one, the first.
  std::deque<int> ChooseAnswers;
  std::vector<std::string> Choices;  // text, then "|" and the answers joined by "|"
  // Runs (once) while the next question or input box is open: what the window
  // goes on doing meanwhile (a client of the disk server mounting a disk).
  std::function<void()> WhileAsked;

  std::optional<std::string> OpenFileName(QWidget* Parent, const TMainFileRequest& Request) override {
    return FBase.OpenFileName(Parent, Request);
  }
  std::optional<std::string> SaveFileName(QWidget* Parent, const TMainFileRequest& Request) override {
    return FBase.SaveFileName(Parent, Request);
  }
  std::optional<QFont> ChooseFont(QWidget* Parent, const QFont& Initial) override {
    return FBase.ChooseFont(Parent, Initial);
  }
  std::optional<std::string> InputText(QWidget* Parent, const std::string& Title, const std::string& Prompt,
                                       const std::string& Initial) override {
    RunWhileAsked();
    return FBase.InputText(Parent, Title, Prompt, Initial);
  }
  void ShowMessage(QWidget* Parent, TMachineMessageKind Kind, const std::string& Text) override {
    FBase.ShowMessage(Parent, Kind, Text);
  }
  bool ExecDialog(QWidget* Parent, QDialog& Dialog) override { return FBase.ExecDialog(Parent, Dialog); }
  bool Ask(QWidget* Parent, TMachineMessageKind Kind, const std::string& Text, const std::string& AcceptText,
           const std::string& RejectText) override {
    RunWhileAsked();
    return FBase.Ask(Parent, Kind, Text, AcceptText, RejectText);
  }
  std::optional<std::vector<std::string>> OpenFileNames(QWidget* Parent, const TMainFileRequest& Request) override {
    if (FilesAnswers.empty()) return IMainDialogs::OpenFileNames(Parent, Request);
    FBase.FileRequests.push_back(Request);
    const std::vector<std::string> Files = FilesAnswers.front();
    FilesAnswers.pop_front();
    if (Files.empty()) return std::nullopt;
    return Files;
  }
  int Choose(QWidget*, TMachineMessageKind, const std::string& Text, const std::vector<std::string>& Answers) override {
    std::string Line = Text;
    for (const std::string& Answer : Answers) Line += "|" + Answer;
    Choices.push_back(Line);
    if (ChooseAnswers.empty()) return 0;
    const int Answer = ChooseAnswers.front();
    ChooseAnswers.pop_front();
    return Answer;
  }

 private:
  void RunWhileAsked() {
    if (!WhileAsked) return;
    const std::function<void()> Hook = std::move(WhileAsked);
    WhileAsked = nullptr;
    Hook();
  }

  TScriptedDialogs& FBase;
};

// Bytes that differ from each other and hold every value, 1Ah included.
inline std::vector<uint8_t> Pattern(size_t Size, unsigned Seed = 1) {
  std::vector<uint8_t> Data(Size);
  unsigned Value = Seed * 2654435761u + 7;
  for (size_t Index = 0; Index < Size; ++Index) {
    Value = Value * 1103515245u + 12345u;
    Data[Index] = static_cast<uint8_t>(Value >> 16);
  }
  return Data;
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& Path, const std::vector<uint8_t>& Data) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
}

// What a CP/M disk holds, read with the file system.
inline std::vector<uint8_t> CpmFile(const std::filesystem::path& Disk, const std::string& Name, int User = 0,
                                    bool Text = false, int DiskIndex = -1) {
  TCpmDiskDrive Drive(Disk, DiskIndex);
  TMemoryStream Out;
  Drive.ExportFile(Name, User, Text, Out);
  return Out.Data();
}

inline void PutCpmFile(const std::filesystem::path& Disk, const std::string& Name, const std::vector<uint8_t>& Data,
                       int User = 0, int DiskIndex = -1, uint8_t Fill = 0x1A) {
  TCpmDiskDrive Drive(Disk, DiskIndex);
  TMemoryStream In(Data);
  int Index = -1;
  Drive.ImportFile(Name, In, static_cast<int64_t>(Data.size()), Index, User, Fill);
}

// Lets the files this process writes grow to at most Bytes (the soft limit
// only, so that it can be lifted again); a write past it fails with EFBIG.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t Bytes) {
    FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &FOld);
    struct rlimit Limit = FOld;
    Limit.rlim_cur = Bytes;
    ::setrlimit(RLIMIT_FSIZE, &Limit);
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &FOld);
    std::signal(SIGXFSZ, FOldHandler);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

 private:
  struct rlimit FOld {};
  void (*FOldHandler)(int) = nullptr;
};

class TDiskManagerRig {
 public:
  TDiskManagerRig() : Dialogs(Rig.Dialogs) {
    Window().SetDialogs(&Dialogs);
    Window().ShowPage(TMainOrvanta::DiskManagerPageIndex);
    TMainWindowRig::Settle();
    std::filesystem::create_directories(Folder());
  }

  TMainOrvanta& Window() { return *Rig.Window; }
  TDiskManagerPage& Page() { return *Rig.Window->DiskManager; }
  TMachine& Machine() { return Rig.Machine(); }
  std::filesystem::path WorkFolder() const { return Rig.WorkFolder(); }
  // A folder of disks and host files beside the work folder.
  std::filesystem::path Folder() const { return Rig.Public() / "files"; }
  std::filesystem::path File(const std::string& Name) const { return Folder() / Name; }

  std::filesystem::path MakeDisk(const std::string& Name) {
    const std::filesystem::path Disk = File(Name);
    TDiskDrive::FormatDriveFile(Disk);
    return Disk;
  }
  std::filesystem::path MakePack(const std::string& Name, int Disks) {
    const std::filesystem::path Pack = File(Name);
    TDiskPack::CreatePackFile(Pack, Disks);
    return Pack;
  }
  std::filesystem::path HostFile(const std::string& Name, const std::vector<uint8_t>& Data) {
    const std::filesystem::path Path = File(Name);
    std::filesystem::create_directories(Path.parent_path());
    WriteBytes(Path, Data);
    return Path;
  }

  // "Select Disk" with the file chosen, then a click on the pack's disk.
  void Open(const std::filesystem::path& Disk, int DiskIndex = -1) {
    Rig.Dialogs.FileAnswers.push_back(Disk.string());
    Window().DM_SelectDiskFileAct->trigger();
    if (DiskIndex > 0) Page().DiskManagerDiskPackNames->setCurrentRow(DiskIndex);
    TMainWindowRig::Settle(1);
  }

  std::vector<std::string> Lines() {
    std::vector<std::string> Texts;
    for (int Row = 0; Row < Page().DiskFileList->count(); ++Row)
      Texts.push_back(Page().DiskFileList->item(Row)->text().toStdString());
    return Texts;
  }
  std::vector<std::string> PackLines() {
    std::vector<std::string> Texts;
    for (int Row = 0; Row < Page().DiskManagerDiskPackNames->count(); ++Row)
      Texts.push_back(Page().DiskManagerDiskPackNames->item(Row)->text().toStdString());
    return Texts;
  }
  // The line of a file, -1 when not listed.
  int RowOf(const std::string& Name, int User = 0) {
    const TCpmDiskFileInfoList* Files = Page().DiskManagerFiles();
    for (int Row = 0; Files != nullptr && Row < Files->Count(); ++Row)
      if (Files->GetItem(Row)->Name == Name && Files->GetItem(Row)->User == User) return Row;
    return -1;
  }
  // Selects exactly the lines of these files (the first becomes current).
  void Select(const std::vector<std::pair<std::string, int>>& Files) {
    QListWidget* List = Page().DiskFileList;
    List->clearSelection();
    bool First = true;
    for (const auto& [Name, User] : Files) {
      const int Row = RowOf(Name, User);
      EXPECT_GE(Row, 0) << Name << " in user area " << User;
      if (Row < 0) continue;
      if (First) List->setCurrentRow(Row, QItemSelectionModel::ClearAndSelect);
      else List->item(Row)->setSelected(true);
      First = false;
    }
    TMainWindowRig::Settle(1);
  }
  void Select(const std::string& Name, int User = 0) { Select({{Name, User}}); }

  std::vector<std::string> Messages() const { return Rig.MessageTexts(); }
  std::string LastMessage() const { return Rig.Dialogs.Messages.empty() ? std::string() : Rig.Dialogs.Messages.back().second; }
  size_t MessageCount() const { return Rig.Dialogs.Messages.size(); }

  TMainWindowRig Rig;
  TDiskManagerDialogs Dialogs;
};

// A host file that is no disk, its bytes, and the reason a refusal gives.
struct TNoDiskFile {
  std::filesystem::path File;
  std::vector<uint8_t> Kept;
  std::string Reason;
};

// Host files of whole records that are no disks: ending at or before the
// directory (8 KiB), a CP/M text with its ^Z padding (1,280 bytes), 4 KiB of
// random bytes and PIP.COM copied from the shared fixtures (when present); a
// whole disk's length of random bytes, a ROM image (a program padded with
// FFh), and zero bytes (a file never formatted).
inline std::vector<TNoDiskFile> FilesThatAreNoDisks(TDiskManagerRig& Rig) {
  std::string Letter;
  for (int Line = 1; Letter.size() < 1200; ++Line) Letter += "Line " + std::to_string(Line) + " of a letter.\r\n";
  Letter.resize(1280, '\x1A');
  std::vector<std::pair<std::string, std::vector<uint8_t>>> Short = {{"letter.txt", Bytes(Letter)},
                                                                    {"random4k.bin", Pattern(4096, 25)}};
  std::vector<uint8_t> Program = Pattern(3000, 27);
  if (HasFixture("cpm22/programs/PIP.COM")) {
    const std::vector<unsigned char> Pip = ReadFile(Fixture("cpm22/programs/PIP.COM"));
    Program.assign(Pip.begin(), Pip.end());
    Short.emplace_back("PIP.COM", Program);
  }
  std::vector<TNoDiskFile> Files;
  for (const auto& [Name, Data] : Short)
    Files.push_back({Rig.HostFile(Name, Data), Data,
                     "\" is " + std::to_string(Data.size()) +
                         " bytes long and ends at or before byte 8192, where the CP/M directory starts"});
  std::vector<uint8_t> Rom = Program;
  Rom.resize(1048576, 0xFF);
  const std::string NoEntry = "\" holds no CP/M directory: ";
  for (auto& [Name, Data, Reason] : std::vector<std::tuple<std::string, std::vector<uint8_t>, std::string>>{
           {"random1m.bin", Pattern(1048576, 26), NoEntry},
           {"program.rom", Rom, NoEntry},
           {"zeros.cpmdsk", std::vector<uint8_t>(1048576, 0), "\" holds only zero bytes where the CP/M directory "
                                                             "starts, at byte 8192: it was never formatted."}})
    Files.push_back({Rig.HostFile(Name, Data), Data, Reason});
  return Files;
}

// ---- cpmtools ------------------------------------------------------------------------------------

inline bool ProgramOnPath(const std::string& Program) {
  const char* Path = std::getenv("PATH");
  std::stringstream Folders(Path != nullptr ? Path : "/usr/bin:/bin");
  std::string Folder;
  while (std::getline(Folders, Folder, ':'))
    if (!Folder.empty() && ::access((std::filesystem::path(Folder) / Program).c_str(), X_OK) == 0) return true;
  return false;
}

inline bool HaveCpmTools() {
  for (const char* Tool : {"cpmls", "cpmcp", "cpmchattr", "fsck.cpm", "cpmrm"})
    if (!ProgramOnPath(Tool)) return false;
  return true;
}

// cpmtools run in a folder of its own that holds the definition of this
// machine's disks ("emu1m"), as ./diskdefs.
class TCpmTools {
 public:
  explicit TCpmTools(std::filesystem::path Folder) : FFolder(std::move(Folder)) {
    std::filesystem::create_directories(FFolder);
    std::ofstream(FFolder / "diskdefs") << "diskdef emu1m\n  seclen 128\n  tracks 256\n  sectrk 32\n  blocksize 2048\n"
                                           "  maxdir 256\n  skew 1\n  boottrk 2\n  os 2.2\nend\n";
  }
  // Runs a command line in the folder; its exit status, its output in Output.
  int Run(const std::string& Command) {
    const std::string Line = "cd '" + FFolder.string() + "' && " + Command + " > tool-output.txt 2>&1";
    const int Status = std::system(Line.c_str());
    std::ifstream In(FFolder / "tool-output.txt");
    Output.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }
  static std::string Quoted(const std::filesystem::path& Path) { return "'" + Path.string() + "'"; }
  const std::filesystem::path& Folder() const { return FFolder; }
  std::string Output;

 private:
  std::filesystem::path FFolder;
};

// ---- a strict Intel-hex reader ------------------------------------------------------------------

// Every line ":" LL AAAA TT data CC with CR LF, upper-case digits, a correct
// checksum, record types 00, 04 and a last 01; data addresses must follow each
// other without a gap from the first. Errors name the line.
struct THexFile {
  uint32_t First = 0;
  std::vector<uint8_t> Data;
  size_t Records = 0;
  size_t SegmentRecords = 0;
  std::string Error;
};

inline THexFile ReadStrictHex(const std::filesystem::path& Path) {
  THexFile Hex;
  const std::vector<uint8_t> Raw = ReadBytes(Path);
  const std::string Text(Raw.begin(), Raw.end());
  const auto Fail = [&](size_t Line, const std::string& Why) {
    Hex.Error = "line " + std::to_string(Line) + ": " + Why;
    return Hex;
  };
  const auto Digit = [](char C) -> int {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
  };
  uint32_t Segment = 0;
  uint32_t Expected = 0;
  bool Started = false;
  bool Ended = false;
  size_t At = 0;
  size_t LineNumber = 0;
  while (At < Text.size()) {
    ++LineNumber;
    const size_t End = Text.find("\r\n", At);
    if (End == std::string::npos) return Fail(LineNumber, "no CR LF at the end");
    const std::string Line = Text.substr(At, End - At);
    At = End + 2;
    if (Ended) return Fail(LineNumber, "a line after the end record");
    if (Line.size() < 11 || Line[0] != ':' || (Line.size() - 1) % 2 != 0) return Fail(LineNumber, "malformed");
    std::vector<uint8_t> Record;
    for (size_t Index = 1; Index < Line.size(); Index += 2) {
      const int High = Digit(Line[Index]);
      const int Low = Digit(Line[Index + 1]);
      if (High < 0 || Low < 0) return Fail(LineNumber, "not upper-case hex");
      Record.push_back(static_cast<uint8_t>(High * 16 + Low));
    }
    uint8_t Sum = 0;
    for (const uint8_t Byte : Record) Sum = static_cast<uint8_t>(Sum + Byte);
    if (Sum != 0) return Fail(LineNumber, "bad checksum");
    const size_t Count = Record[0];
    if (Record.size() != Count + 5) return Fail(LineNumber, "length does not match the count");
    const uint32_t Address = static_cast<uint32_t>(Record[1] << 8 | Record[2]);
    switch (Record[3]) {
      case 0: {
        if (Count == 0) return Fail(LineNumber, "empty data record");
        const uint32_t Full = Segment + Address;
        if (!Started) {
          Hex.First = Full;
          Expected = Full;
          Started = true;
        }
        if (Full != Expected) return Fail(LineNumber, "address gap");
        if (Address + Count > 0x10000) return Fail(LineNumber, "record crosses a 64 KiB boundary");
        Hex.Data.insert(Hex.Data.end(), Record.begin() + 4, Record.begin() + 4 + static_cast<std::ptrdiff_t>(Count));
        Expected += static_cast<uint32_t>(Count);
        ++Hex.Records;
        break;
      }
      case 1:
        if (Count != 0 || Address != 0) return Fail(LineNumber, "bad end record");
        Ended = true;
        break;
      case 4:
        if (Count != 2 || Address != 0) return Fail(LineNumber, "bad extended address record");
        Segment = static_cast<uint32_t>(Record[4] << 8 | Record[5]) << 16;
        ++Hex.SegmentRecords;
        break;
      default:
        return Fail(LineNumber, "unexpected record type");
    }
  }
  if (!Ended) return Fail(LineNumber, "no end record");
  return Hex;
}

// An Intel-hex file of Data at Address (records of RecordSize bytes; each
// record's address is the low 16 bits, as in a plain 16-bit hex file, so a
// record may run past FFFFh), for boot images.
inline void WriteHexFile(const std::filesystem::path& Path, uint32_t Address, const std::vector<uint8_t>& Data,
                         size_t RecordSize = 16) {
  std::string Text;
  std::vector<char> Line(16 + 2 * RecordSize);
  for (size_t Offset = 0; Offset < Data.size(); Offset += RecordSize) {
    const size_t Count = std::min<size_t>(RecordSize, Data.size() - Offset);
    const uint32_t At = (Address + static_cast<uint32_t>(Offset)) & 0xFFFF;
    uint8_t Sum = static_cast<uint8_t>(Count + (At >> 8) + (At & 0xFF));
    int Length = std::snprintf(Line.data(), Line.size(), ":%02X%04X00", static_cast<unsigned>(Count), At);
    for (size_t Index = 0; Index < Count; ++Index) {
      Length += std::snprintf(Line.data() + Length, Line.size() - static_cast<size_t>(Length), "%02X",
                              Data[Offset + Index]);
      Sum = static_cast<uint8_t>(Sum + Data[Offset + Index]);
    }
    std::snprintf(Line.data() + Length, Line.size() - static_cast<size_t>(Length), "%02X\n",
                  static_cast<unsigned>(static_cast<uint8_t>(-Sum)));
    Text += Line.data();
  }
  Text += ":00000001FF\n";
  std::ofstream(Path) << Text;
}

}  // namespace korvel_test
