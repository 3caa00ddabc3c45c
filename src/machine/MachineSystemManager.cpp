// The system manager: text commands from CP/M programs through ports 64 and 65.
#include <algorithm>
#include <ctime>
#include <exception>
#include <vector>

#include "Machine.h"
#include "MachineHelpers.h"

using machine_detail::RegularFileExists;
using machine_detail::SameDiskFile;
using machine_detail::SameTextIgnoringCase;
using machine_detail::Trimmed;
using machine_detail::UpperCase;

namespace {

constexpr const char* CrLf = "\r\n";
constexpr const char* DiskExtension = ".cpmdsk";

// The text of a sub-command's lines: one empty line, then each line, every one
// followed by CR LF.
std::string ListText(const std::vector<std::string>& Lines) {
  std::string Text = CrLf;
  for (const std::string& Line : Lines) Text += Line + CrLf;
  return Text;
}

std::string Quoted(const std::string& Text) { return "\"" + Text + "\""; }

// Matches Text against a file-search pattern with * and ?, letter case ignored
// (disk names are typed upper-case under CP/M).
bool WildcardMatch(const std::string& Pattern, const std::string& Text) {
  size_t P = 0, T = 0, StarP = std::string::npos, StarT = 0;
  auto Same = [](char A, char B) {
    return std::tolower(static_cast<unsigned char>(A)) == std::tolower(static_cast<unsigned char>(B));
  };
  while (T < Text.size()) {
    if (P < Pattern.size() && (Pattern[P] == '?' || (Pattern[P] != '*' && Same(Pattern[P], Text[T])))) {
      ++P;
      ++T;
    } else if (P < Pattern.size() && Pattern[P] == '*') {
      StarP = P++;
      StarT = T;
    } else if (StarP != std::string::npos) {
      P = StarP + 1;
      T = ++StarT;
    } else {
      return false;
    }
  }
  while (P < Pattern.size() && Pattern[P] == '*') ++P;
  return P == Pattern.size();
}

// A disk name names a file in the work folder and nothing else: no folder part,
// no parent reference, no control characters.
bool ValidDiskName(const std::string& Name) {
  if (Name.empty() || Name == "." || Name == "..") return false;
  return std::none_of(Name.begin(), Name.end(), [](char C) {
    return C == '/' || C == '\\' || C == '*' || C == '?' || static_cast<unsigned char>(C) < ' ';
  });
}

// Whether File opens as a disk, as a mount opens it first (read-only here: a
// list writes nothing). A file of boot tracks alone, which only drive A takes
// and then gives its directory, is not listed.
bool OpensAsDisk(const std::filesystem::path& File) {
  try {
    TDiskDrive Drive(File, -1, TDiskAccess::ReadOnly);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string FormatTime(const std::tm& Time, const char* Format) {
  char Text[128];
  const size_t Length = std::strftime(Text, sizeof Text, Format, &Time);
  return std::string(Text, Length);
}

}  // namespace

// ---------------------------------------------------------------- ports 64 and 65

void TMachine::SystemPortRead(uint8_t Port, uint8_t& Data) {
  if (Port == 64) {
    uint8_t Status = 0;
    if (SysResponseQueue.Count() > 0) Status |= 2;
    if (SysCommandQueue.Count() < SysCommandQueue.Capacity()) Status |= 4;
    if (DiskChangedFlag != 0) Status |= 128;
    Data = Status;
    return;
  }
  if (!SysResponseQueue.Get(Data)) Data = 26;
}

void TMachine::SystemPortWrite(uint8_t Port, uint8_t Data) {
  if (Port == 65) {
    SysCommandQueue.Put(Data);
    return;
  }
  if (Data == 0) {
    DiskChangedFlag = 0;
    SysCommandQueue.Clear();
  } else if (Data == 1) {
    DiskChangedFlag = 0;
    SysResponseQueue.Clear();
    RunSystemCommand();
  }
}

// ---------------------------------------------------------------- commands

std::chrono::system_clock::time_point TMachine::Now() const {
  return Clock ? Clock() : std::chrono::system_clock::now();
}

void TMachine::RunSystemCommand() {
  DiskChangedFlag = 0;
  SysResponseQueue.Clear();
  std::string Command;
  uint8_t Byte;
  while (SysCommandQueue.Get(Byte)) Command += static_cast<char>(Byte);
  Command = Trimmed(Command);

  std::string Reply;
  if (Command.empty()) {
    Reply = std::string(CrLf) + "System manager for Korvel CPM emulator:" + CrLf + CrLf +
            "  \"SYS MOUNT d: disk_name\" -- insert a disk into any drive." + CrLf +
            "  \"SYS MOUNT search_name\" -- list matching unmounted disks." + CrLf +
            "  \"SYS UNMOUNT d:\" -- remove a disk from any drive." + CrLf +
            "  \"SYS TIME\" -- display time of day." + CrLf +
            "  \"SYS DATE\" -- display current date." + CrLf +
            "  \"SYS NOW\" -- display current date and time." + CrLf +
            "  \"SYS PRINT\" -- display printer status." + CrLf +
            "  \"SYS PRINT EJECT\" -- print spooled page(s)." + CrLf +
            "  \"SYS PRINT ABORT\" -- abort spooled page(s)." + CrLf + CrLf;
  } else {
    const size_t Blank = Command.find(' ');
    const std::string Verb = UpperCase(Command.substr(0, Blank));
    const std::string Argument = Blank == std::string::npos ? std::string() : Trimmed(Command.substr(Blank + 1));
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now());
    std::tm Local{};
    localtime_r(&Seconds, &Local);
    if (Verb == "MOUNT") {
      Reply = CrLf + SysMountCommand(Argument);
    } else if (Verb == "UNMOUNT") {
      Reply = CrLf + SysUnmountCommand(Argument);
    } else if (Verb == "DATE") {
      Reply = CrLf + FormatTime(Local, "%A %B %d, %Y") + CrLf;
    } else if (Verb == "TIME") {
      const int Hour12 = Local.tm_hour % 12 == 0 ? 12 : Local.tm_hour % 12;
      Reply = CrLf + std::to_string(Hour12) + FormatTime(Local, ":%M:%S ") + (Local.tm_hour < 12 ? "am" : "pm") + CrLf;
    } else if (Verb == "NOW") {
      Reply = CrLf + FormatTime(Local, "%x %X") + CrLf;
    } else if (Verb == "PRINT") {
      Reply = CrLf + SysPrintCommand(Argument);
    } else {
      Reply = std::string(CrLf) + "Invalid command \"" + Verb + "!" + CrLf;
    }
  }
  // A reply longer than the queue is cut at its capacity.
  for (char C : Reply)
    if (!SysResponseQueue.Put(static_cast<uint8_t>(C))) break;
}

std::string TMachine::DriveLines() const {
  std::string Text;
  for (int Drive = 0; Drive < DriveCount; ++Drive)
    Text += std::string("  ") + static_cast<char>('A' + Drive) + ": " + DriveCaption(Drive) + CrLf;
  return Text;
}

std::string TMachine::SysMountCommand(const std::string& Argument) {
  if (Argument.empty()) {
    return ListText({"Mount a disk into any drive, or view a list of disks:", "",
                     "  \"MOUNT d: disk_name\" -- mount a disk",
                     "  \"MOUNT search_name\" -- list matching unmounted disks", "",
                     "    \"d\" is a drive letter.", "    \"disk_name\" is a valid disk name.",
                     "    \"search_name\" is a valid file search name.", "",
                     "  (ie. \"MOUNT a: text edit\" -- mounts disk \"text edit\" into drive A:)",
                     "  (ie. \"MOUNT work*\" -- lists all disks that start with \"work\")", "",
                     "Currently mounted disks:", ""}) +
           DriveLines() + CrLf;
  }
  auto DriveLine = [this](char Letter) {
    return std::string("  ") + Letter + ": " + DriveCaption(Letter - 'A');
  };
  const bool IsDrive = Argument[0] >= 'A' && Argument[0] <= 'D';
  if (Argument.size() == 1) {
    if (Argument == "*") return SysListDisks("*");
    if (IsDrive) return ListText({DriveLine(Argument[0])});
    return ListText({"Invalid drive identifier " + Quoted(Argument) + "!"});
  }
  if (Argument.find_first_of("*?") != std::string::npos) return SysListDisks(Argument);
  if (Argument[1] == ':') {
    if (Argument.size() == 2) {
      if (IsDrive) return ListText({DriveLine(Argument[0])});
      return ListText({"Invalid drive identifier " + Quoted(Argument) + "!"});
    }
    return SysMountDisk(Argument[0], Trimmed(Argument.substr(2)));
  }
  return ListText({"You must indicate the drive to mount the disk!"});
}

std::string TMachine::SysMountDisk(char Letter, const std::string& Name) {
  if (Letter < 'A' || Letter > 'D') return ListText({"Invalid drive identifier " + Quoted(std::string(1, Letter)) + "!"});
  if (!ValidDiskName(Name)) return ListText({"Invalid disk identifier " + Quoted(Name) + "!"});
  // Disk names are typed upper-case under CP/M: a file whose name differs only
  // in letter case is the disk meant.
  std::string File = FWorkFolder + Name + DiskExtension;
  if (!RegularFileExists(File)) {
    std::error_code Error;
    for (const auto& Entry : std::filesystem::directory_iterator(FWorkFolder, Error)) {
      const std::string EntryName = Entry.path().filename().string();
      if (SameTextIgnoringCase(EntryName, Name + DiskExtension) && Entry.is_regular_file(Error)) {
        File = Entry.path().string();
        break;
      }
    }
  }
  // A folder or device of that name is no disk: mounting it below says why.
  std::error_code Missing;
  if (!std::filesystem::exists(File, Missing)) return ListText({"No such disk as " + Quoted(Name) + "!"});
  const std::string MountedIn = SysFindMountedDrive(File);
  if (!MountedIn.empty()) return ListText({"The disk is already mounted in drive " + Quoted(MountedIn) + "!"});
  const int Drive = Letter - 'A';
  std::string Line;
  try {
    MountDrive(Drive, File);
    Line = FDiskController->HasDisk(Drive)
               ? "Mounted " + Quoted(Name) + " in drive " + Quoted(std::string(1, Letter)) + "!"
               : "An error occurred while mounting the disk!";
  } catch (const std::exception& Error) {
    Line = Error.what();
  }
  return ListText({Line});
}

std::string TMachine::SysFindMountedDrive(const std::string& FileName) const {
  for (int Drive = 0; Drive < DriveCount; ++Drive) {
    const std::string& Mounted = DriveFileName[static_cast<size_t>(Drive)];
    if (SameDiskFile(Mounted, FileName) ||
        (FDiskController->HasDisk(Drive) && SameDiskFile(FDiskController->MountedFileName(Drive), FileName)))
      return std::string(1, static_cast<char>('A' + Drive));
  }
  return {};
}

std::string TMachine::SysListDisks(const std::string& Search) {
  std::vector<std::string> Lines{"Available disks to mount:", ""};
  if (Search.find_first_of("\\/") != std::string::npos) {
    Lines.push_back("Invalid disk identifier " + Quoted(Search) + "!");
    return ListText(Lines);
  }
  std::vector<std::string> Names;
  std::error_code Error;
  const std::string Pattern = Search + DiskExtension;
  for (const auto& Entry : std::filesystem::directory_iterator(FWorkFolder, Error)) {
    std::error_code EntryError;
    if (!Entry.is_regular_file(EntryError)) continue;
    const std::string FileName = Entry.path().filename().string();
    if (!WildcardMatch(Pattern, FileName)) continue;
    if (!SysFindMountedDrive(Entry.path().string()).empty() || !OpensAsDisk(Entry.path())) continue;
    Names.push_back(FileName.substr(0, FileName.size() - std::string(DiskExtension).size()));
  }
  std::sort(Names.begin(), Names.end());
  for (const std::string& Name : Names) Lines.push_back("  " + Name);
  if (Names.empty()) Lines.push_back("No mountable disks found!");
  return ListText(Lines);
}

std::string TMachine::SysUnmountCommand(const std::string& Argument) {
  if (Argument.empty()) {
    return ListText({"Remove a disk from any drive:", "", "  \"UNMOUNT d:\" -- remove the disk from the drive \"d\"", "",
                     "    \"d\" is the drive letter to remove the disk from.", "",
                     "  (ie. \"UNMOUNT b:\" -- removes the disk from drive B:)", "", "Currently mounted disks:", ""}) +
           DriveLines() + CrLf;
  }
  if (Argument.size() == 2 && Argument[1] == ':') {
    const char Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Argument[0])));
    if (Letter == 'A')
      return ListText({"You may not remove the boot disk in drive A:", "Use the MOUNT command to change boot disk!"});
    if (Letter >= 'B' && Letter <= 'D') {
      UnmountDrive(Letter - 'A');
      return ListText({"Disk removed from drive " + Quoted(std::string(1, Letter)) + "!"});
    }
    return ListText({"Invalid drive identifier " + Quoted(std::string(1, Letter)) + "!"});
  }
  return ListText({"Invalid drive identifier " + Quoted(Argument) + "!"});
}

std::string TMachine::SysPrintCommand(const std::string& Argument) {
  if (Argument.empty()) {
    std::vector<std::string> Lines{"LPT port printer emulation status;", ""};
    if (SelectedPrinterName.empty()) {
      Lines.push_back("  No system printer is currently available.");
      Lines.push_back("");
      return ListText(Lines);
    }
    Lines.push_back("  Selected Printer: " + Quoted(SelectedPrinterName));
    Lines.push_back("");
    if (!FPrinter) {
      Lines.push_back("  Printer is not enabled.");
    } else if (!FPrinter->IsPrinting()) {
      Lines.push_back("  Printer is enabled for printing.");
    } else if (FPrinter->PageCount() <= 1) {
      Lines.push_back("  Printer is active, 1 page in current print job.");
    } else {
      Lines.push_back("  Printer is active, " + std::to_string(FPrinter->PageCount()) +
                      " pages in the current print job.");
    }
    Lines.push_back("");
    return ListText(Lines);
  }
  if (!FPrinter) return ListText({"Printer is not enabled."});
  if (!FPrinter->IsPrinting()) return ListText({"No print job is printing."});
  const bool Eject = SameTextIgnoringCase(Argument, "EJECT");
  if (!Eject && !SameTextIgnoringCase(Argument, "ABORT"))
    return ListText({"Valid printer commands are; ABORT and EJECT."});
  if (const std::string Failure = EndPrintJob(!Eject); !Failure.empty()) return ListText({Failure});
  return ListText({Eject ? "Printing remaining pages in the current print job."
                         : "Aborting remaining pages in the current print job."});
}
