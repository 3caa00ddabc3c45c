// The disk manager's whole-disk operations: create a disk or a disk pack, copy a
// disk, save it as Intel hex, replace or rename a disk of a pack, its bootable
// and protected flags, and the boot image on a disk's first two tracks.
#include <unistd.h>

#include <QAction>
#include <QListWidget>
#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

#include "BootLoaderDlg.h"
#include "CreateDiskPackDlg.h"
#include "DiskDrive.h"
#include "DiskManagerNames.h"
#include "DiskManagerPage.h"
#include "DiskPack.h"
#include "FileIdentity.h"
#include "IntelHexLoader.h"
#include "ZilogHex32Writer.h"
#include "frmKorvel.h"

namespace {

constexpr const char* DiskFileFilter = "Emulator Disk Files|*.cpmdsk|All Files|*.*";
constexpr const char* DiskFilesFilter =
    "Emulator Disk Files|*.cpmdsk|Emulator Disk Pack|*.cdp|All Emulator Disk Files|*.cpmdsk;*.cdp|All Files|*.*";

// The boot image on a disk: the loader in track 0 sectors 0 and 1, then CP/M
// and BIOS from sector 2 to the end of track 1.
constexpr uint32_t BootLoaderSize = 256;
constexpr uint32_t SystemSpace = 62 * TDiskDrive::SECTOR_SIZE;  // 7936

bool Exists(const std::string& FileName) {
  std::error_code Error;
  return std::filesystem::exists(FileName, Error);
}

bool SameTextIgnoringCase(const std::string& A, const std::string& B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return std::tolower(static_cast<unsigned char>(X)) == std::tolower(static_cast<unsigned char>(Y));
         });
}

// The whole disk as it reads (a short image reads as formatted where it ends).
std::vector<uint8_t> ReadWholeDisk(const std::string& FileName, int DiskIndex) {
  TDiskDrive Drive(FileName, DiskIndex, TDiskAccess::ReadOnly);
  std::vector<uint8_t> Bytes(static_cast<size_t>(TDiskDrive::DISK_SIZE));
  for (int Record = 0; Record < TDiskDrive::RECORD_COUNT; ++Record) {
    Drive.Track = static_cast<uint16_t>(Record / TDiskDrive::SECTORS_PER_TRACK);
    Drive.Sector = static_cast<uint16_t>(Record % TDiskDrive::SECTORS_PER_TRACK);
    Drive.ReadSector(Bytes.data() + static_cast<size_t>(Record) * TDiskDrive::SECTOR_SIZE);
  }
  return Bytes;
}

// A pack opened to be changed; a pack the host will not let us write is
// refused with that reason.
std::unique_ptr<TDiskPack> OpenPackForChange(const std::string& FileName, int DiskIndex) {
  auto Pack = std::make_unique<TDiskPack>(FileName);
  if (Pack->IsReadOnly())
    throw EDiskPackError("The disk pack file \"" + FileName + "\" is read-only; its disks can not be changed.");
  Pack->SelectDisk(DiskIndex);
  return Pack;
}

// A hex file's data, and whether any of it lies at Limit or above: the file
// is read twice, over zeros and over FFh; where no data went the two keep
// their fill and differ, where data went they are the same.
struct THexSpan {
  THexImageRange Range;
  bool OutsideLimit = false;
};

THexSpan LoadBootHex(const std::string& FileName, std::vector<uint8_t>& Image, uint32_t Limit) {
  std::fill(Image.begin(), Image.end(), 0);
  THexSpan Span;
  Span.Range = LoadHexToImage(FileName, Image.data());
  std::vector<uint8_t> Other(Image.size(), 0xFF);
  LoadHexToImage(FileName, Other.data());
  for (uint32_t Address = 0; Address < Image.size(); ++Address)
    if (Address >= Limit && Image[Address] == Other[Address]) Span.OutsideLimit = true;
  return Span;
}

}  // namespace

// ---------------------------------------------------------------- create

std::optional<std::string> TDiskManagerPage::AskDiskFileToWrite(const std::string& Title) {
  TMainFileRequest Request;
  Request.Title = Title;
  Request.Filter = DiskFileFilter;
  Request.DefaultExtension = "cpmdsk";
  Request.InitialFolder = DialogFolder(FDiskFolder);
  Request.MustExist = false;
  // The question about replacing a file is asked by the caller, about the file
  // really written (with ".cpmdsk"), not by the dialog about the name as typed.
  Request.OverwritePrompt = false;
  const std::optional<std::string> File = FWindow.Dialogs().SaveFileName(&FWindow, Request);
  if (!File) return std::nullopt;
  FDiskFolder = FolderOf(*File);
  return ChangeFileExt(*File, ".cpmdsk");
}

void TDiskManagerPage::CreateDiskActExecute() {
  const std::optional<std::string> File = AskDiskFileToWrite("Create New Disk File");
  if (!File) return;
  const std::string& Target = *File;
  if (!ConfirmReplace(Target)) return;
  const bool Shown = DiskOpen() && IsSameFile(Target, FWindow.DiskManagerFile);
  TDiskDrive::FormatDriveFile(Target);
  if (Shown) ReopenOrEject();
}

void TDiskManagerPage::CreateDiskPackActExecute() {
  TCreateDiskPackDlg& Dialog = *CreateDiskPackDlg;
  Dialog.InitialFolder = FWindow.WorkFolder();
  Dialog.SetDialogs(&FWindow.Dialogs());
  Dialog.CheckTarget = [this](const std::string& Target) {
    const std::string Reason = DiskInUseReason(Target);
    return Reason.empty() ? Reason : "The disk file \"" + Target + "\" is in use and can not be replaced.\n" + Reason;
  };
  if (!FWindow.Dialogs().ExecDialog(&FWindow, Dialog)) return;
  if (DiskOpen() && !Dialog.CreatedFile().empty() && IsSameFile(Dialog.CreatedFile(), FWindow.DiskManagerFile))
    ReopenOrEject();
}

// ---------------------------------------------------------------- copy and hex

void TDiskManagerPage::BackupDiskActExecute() {
  if (!DiskOpen()) return;
  const std::optional<std::string> File =
      AskDiskFileToWrite("Copy Disk File \"" + FileStem(FWindow.DiskManagerFile) + "\"");
  if (!File) return;
  const std::string& Target = *File;
  const auto InUse = [&] {
    if (Target != FWindow.DiskManagerFile && !IsSameFile(Target, FWindow.DiskManagerFile) &&
        DiskInUseReason(Target).empty())
      return false;
    FWindow.ShowMessage(TMachineMessageKind::Warning,
                        "The destination disk file is currently in use and can not be replaced.");
    return true;
  };
  if (InUse()) return;
  if (!ConfirmReplace(Target, false)) return;
  // The machine and the disk server go on while the question is open: looked at again.
  if (InUse()) return;
  const std::vector<uint8_t> Disk = ReadWholeDisk(FWindow.DiskManagerFile, FWindow.DiskManagerPackIndex);
  TReplacingFile Copy(Target);
  if (Copy.Stream().Write(Disk.data(), static_cast<int64_t>(Disk.size())) != static_cast<int64_t>(Disk.size()))
    throw EStreamError("Unable to write the disk file \"" + Target + "\".");
  Copy.Commit();
}

bool TDiskManagerPage::SaveDiskToHex(const std::string& SourceFile, const std::string& DestFile,
                                     uint32_t StartAddress) {
  std::string Message;
  if (SourceFile.empty() || !Exists(SourceFile)) {
    Message = "The disk file named \"" + SourceFile + "\" could not be accessed.";
  } else if (SameTextIgnoringCase(SourceFile, DestFile) || IsSameFile(SourceFile, DestFile)) {
    Message = "The source and destination file names can not be the same.";
  } else if (Exists(DestFile) &&
             (!std::filesystem::is_regular_file(DestFile) ||
              ::access(FolderOf(std::filesystem::absolute(DestFile).string()).c_str(), W_OK) != 0)) {
    Message = "Output file \"" + DestFile + "\" already exists and can not be delete.";
  } else {
    try {
      const std::vector<uint8_t> Disk = ReadWholeDisk(SourceFile, -1);
      TZilogHex32WriterStream Hex(DestFile, StartAddress, 64);
      Hex.Write(Disk.data(), static_cast<int64_t>(Disk.size()));
      Hex.Close();
    } catch (const std::exception& Error) {
      Message = Error.what();
    }
  }
  if (!Message.empty()) {
    FWindow.ShowMessage(TMachineMessageKind::Warning, Message);
    return false;
  }
  FWindow.ShowMessage(TMachineMessageKind::Information, "The Hex32 file has been created.");
  return true;
}

void TDiskManagerPage::SaveDiskToHexActExecute() {
  if (!DiskOpen() || PackDiskOpen()) return;
  TMainFileRequest Request;
  Request.Title = "Save Disk As Hex File";
  Request.Filter = "Intel 32 bit hex file|*.hex";
  Request.DefaultExtension = "hex";
  Request.FileName = ChangeFileExt(std::filesystem::path(FWindow.DiskManagerFile).filename().string(), ".hex");
  Request.InitialFolder = FolderOf(FWindow.DiskManagerFile);
  Request.MustExist = false;
  Request.OverwritePrompt = false;
  const std::optional<std::string> File = FWindow.Dialogs().SaveFileName(&FWindow, Request);
  if (!File) return;
  // An old file is replaced only when the user says so, asked about the file
  // really written (with ".hex"). The disk itself is refused by SaveDiskToHex.
  const std::string Target = ChangeFileExt(*File, ".hex");
  if (std::filesystem::is_regular_file(Target) && !IsSameFile(Target, FWindow.DiskManagerFile) &&
      !ConfirmReplace(Target, false))
    return;
  SaveDiskToHex(FWindow.DiskManagerFile, Target, 0x100000);
}

// ---------------------------------------------------------------- pack disks

void TDiskManagerPage::ReplaceDiskContentsActExecute() {
  if (!PackDiskOpen()) return;
  CheckChangeable();
  TMainFileRequest Request;
  Request.Title = "Replace Disk With File";
  Request.Filter = DiskFilesFilter;
  Request.DefaultExtension = "cpmdsk";
  Request.InitialFolder = DialogFolder(FDiskFolder);
  Request.MustExist = true;
  const std::optional<std::string> File = FWindow.Dialogs().OpenFileName(&FWindow, Request);
  if (!File) {
    ReopenOrEject();
    return;
  }
  FDiskFolder = FolderOf(*File);
  const int Index = FWindow.DiskManagerPackIndex;
  {
    std::unique_ptr<TDiskPack> Pack = OpenPackForChange(FWindow.DiskManagerFile, Index);
    std::vector<uint8_t> Disk;
    {
      TFileStream Source(*File, TFileStream::TMode::OpenRead);
      if (Source.GetSize() != Pack->DiskSize())
        throw EEmulatorError("Disk image file is not the same size as the disk pack disks.");
      // A file of the right length need not be a disk: it is checked as a
      // drive checks it (read-only, nothing written), so that what is no CP/M
      // disk is refused with the reason before the name is asked for.
      const TDiskDrive Checked(*File, -1, TDiskAccess::ReadOnly);
      Disk.resize(static_cast<size_t>(Pack->DiskSize()));
      Source.SetPosition(0);
      if (Source.Read(Disk.data(), Pack->DiskSize()) != Pack->DiskSize())
        throw EStreamError("Unable to read the disk file \"" + *File + "\".");
    }
    const std::string Name = FileStem(*File);
    const std::optional<std::string> Answer = FWindow.Dialogs().InputText(
        &FWindow, "Replace Disk [" + Pack->GetDiskName(Index) + "]", "Change Disk Name To: " + Name, Name);
    if (Answer) {
      Pack->SetPosition(0);
      if (Pack->Write(Disk.data(), Pack->DiskSize()) != Pack->DiskSize())
        throw EDiskPackError("Unable to write to disk pack file.");
      Pack->SetDiskName(Index, *Answer);
      Pack->SetDiskFlags(Index, 0);
    }
  }
  ReopenOrEject();
}

void TDiskManagerPage::RenameDiskActExecute() {
  if (!PackDiskOpen()) return;
  CheckChangeable();
  const int Index = FWindow.DiskManagerPackIndex;
  {
    std::unique_ptr<TDiskPack> Pack = OpenPackForChange(FWindow.DiskManagerFile, Index);
    const std::string Name = Pack->GetDiskName(Index);
    const std::optional<std::string> Answer =
        FWindow.Dialogs().InputText(&FWindow, "Rename Disk [" + Name + "]", "Change Disk Name To: ", Name);
    if (Answer) Pack->SetDiskName(Index, *Answer);
  }
  ReopenOrEject();
}

void TDiskManagerPage::SetDiskFlag(uint8_t Bit, bool Set) {
  try {
    if (!PackDiskOpen())
      throw EEmulatorError("Only a disk of a disk pack is bootable or protected: open a disk of a pack first.");
    CheckChangeable();
    const int Index = FWindow.DiskManagerPackIndex;
    std::unique_ptr<TDiskPack> Pack = OpenPackForChange(FWindow.DiskManagerFile, Index);
    const uint8_t Flags = Pack->GetDiskFlags(Index);
    Pack->SetDiskFlags(Index, static_cast<uint8_t>(Set ? (Flags | Bit) : (Flags & ~Bit)));
  } catch (...) {
    // The check goes back to what the disk holds.
    UpdatePageActions();
    throw;
  }
  ReopenOrEject();
}

// ---------------------------------------------------------------- boot image

void TDiskManagerPage::SetDiskBootImageActExecute() {
  if (!DiskOpen()) return;
  // The machine reads its boot image from drive A's first tracks on every warm
  // boot: a disk in a drive (or served to a client) keeps its tracks.
  CheckChangeable();
  TBootLoaderDlg& Dialog = *BootLoaderDlg;
  Dialog.InitialFolder = FWindow.WorkFolder();
  Dialog.SetDialogs(&FWindow.Dialogs());
  if (!FWindow.Dialogs().ExecDialog(&FWindow, Dialog)) return;
  CheckChangeable();

  // Everything is checked before anything is written.
  std::vector<uint8_t> Loader(65536, 0);
  const THexSpan LoaderSpan = LoadBootHex(Dialog.GetBootLoaderFile(), Loader, BootLoaderSize);
  if (!LoaderSpan.Range.HasData)
    throw EEmulatorError("The boot loader file \"" + Dialog.GetBootLoaderFile() + "\" holds no data.");
  if (LoaderSpan.Range.First != 0) throw EEmulatorError("Boot loader must start at address 0.");
  if (LoaderSpan.Range.Next > BootLoaderSize || LoaderSpan.OutsideLimit)
    throw EEmulatorError("Boot loader max size is 256 bytes.");
  std::vector<uint8_t> System(65536, 0);
  const THexImageRange Cpm = LoadHexToImage(Dialog.GetCpmFile(), System.data());
  const THexImageRange Bios = LoadHexToImage(Dialog.GetBiosFile(), System.data());
  if (!Cpm.HasData) throw EEmulatorError("The CPM file \"" + Dialog.GetCpmFile() + "\" holds no data.");
  if (!Bios.HasData) throw EEmulatorError("The BIOS file \"" + Dialog.GetBiosFile() + "\" holds no data.");
  if (Bios.Next <= Cpm.First)
    throw EEmulatorError("The BIOS image must end above the start of the CPM image: the CPM image starts at " +
                         std::to_string(Cpm.First) + ", the BIOS ends at " + std::to_string(Bios.Next) + ".");
  if (Bios.Next - Cpm.First > SystemSpace)
    throw EEmulatorError("CPM + BIOS image max size is " + std::to_string(SystemSpace) + " bytes.");

  {
    TDiskDrive Drive(FWindow.DiskManagerFile, FWindow.DiskManagerPackIndex);
    Drive.CheckWritable();
    uint8_t Record[TDiskDrive::SECTOR_SIZE];
    const auto Put = [&](int Sequence) {
      Drive.Track = static_cast<uint16_t>(Sequence / TDiskDrive::SECTORS_PER_TRACK);
      Drive.Sector = static_cast<uint16_t>(Sequence % TDiskDrive::SECTORS_PER_TRACK);
      Drive.WriteSector(Record);
    };
    for (int Sector = 0; Sector < 2; ++Sector) {
      std::memcpy(Record, Loader.data() + Sector * TDiskDrive::SECTOR_SIZE, sizeof Record);
      Put(Sector);
    }
    // The image is 64 KiB: an address past its end wraps to its start, as the
    // hex reader wrapped the data.
    int Sequence = 2;
    for (uint32_t Address = Cpm.First; Address < Bios.Next; Address += TDiskDrive::SECTOR_SIZE) {
      for (uint32_t Byte = 0; Byte < sizeof Record; ++Byte) Record[Byte] = System[(Address + Byte) & 0xFFFF];
      Put(Sequence++);
    }
  }
  RememberStamp();
  if (PackDiskOpen()) {
    {
      std::unique_ptr<TDiskPack> Pack = OpenPackForChange(FWindow.DiskManagerFile, FWindow.DiskManagerPackIndex);
      Pack->SetDiskFlags(FWindow.DiskManagerPackIndex,
                         static_cast<uint8_t>(Pack->GetDiskFlags(FWindow.DiskManagerPackIndex) | DISK_PACK_BOOTABLE));
    }
    ReopenOrEject();
  }
}
