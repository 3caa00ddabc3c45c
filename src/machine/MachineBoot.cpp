// Image loading, drive mounting and the cold boot.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <sstream>

#include "BiosImages.h"
#include "IntelHexLoader.h"
#include "Machine.h"
#include "MachineHelpers.h"

using machine_detail::RegularFileExists;
using machine_detail::SameDiskFile;
using machine_detail::Trimmed;

namespace {

// The span of a boot image whose CP/M image and BIOS were loaded to Cpm and Bios.
TBootImageSpan BootImageSpan(const THexImageRange& Cpm, const std::string& CpmName, const THexImageRange& Bios,
                             const std::string& BiosName) {
  if (!Cpm.HasData) throw EMachineError("The CP/M image \"" + CpmName + "\" holds no data!");
  if (!Bios.HasData) throw EMachineError("The BIOS image \"" + BiosName + "\" holds no data!");
  TBootImageSpan Span;
  Span.Entry = static_cast<uint16_t>(Bios.First);
  Span.Low = static_cast<uint16_t>(Cpm.First);
  Span.End = Bios.Next;
  if (Span.End <= Span.Low)
    throw EMachineError("The BIOS image \"" + BiosName + "\" must end above the start of the CP/M image!");
  return Span;
}

// The records of Image (64 KiB) from the CP/M start to the BIOS end, whole.
std::vector<uint8_t> BootRecordsOf(const std::vector<uint8_t>& Image, const TBootImageSpan& Span) {
  const uint32_t Records = (Span.End - Span.Low + 127) / 128;
  std::vector<uint8_t> Bytes(static_cast<size_t>(Records) * TDiskDrive::SECTOR_SIZE);
  for (size_t At = 0; At < Bytes.size(); ++At) Bytes[At] = Image[(Span.Low + At) & 0xFFFF];
  return Bytes;
}

}  // namespace

std::string TMachine::ResolveImageName(const std::string& Name, const std::string& DefaultName) const {
  if (Name.empty()) return FWorkFolder + DefaultName;
  if (Name.find('/') == std::string::npos) return FWorkFolder + Name;
  return Name;
}

TBootImageSpan TMachine::BuildBootImage() {
  const std::string CpmName = ResolveImageName(Trimmed(CpmImageFile), "cpm22.hex");
  const std::string BiosName = ResolveImageName(Trimmed(BiosImageFile), "vantel.hex");
  std::fill(BootImage.begin(), BootImage.end(), 0);
  const THexImageRange Cpm = LoadHexToImage(CpmName, BootImage.data());
  const THexImageRange Bios = LoadHexToImage(BiosName, BootImage.data());
  return BootImageSpan(Cpm, CpmName, Bios, BiosName);
}

void TMachine::CheckBootImageFits(const TBootImageSpan& Span) const {
  const uint32_t Records = (Span.End - Span.Low + 127) / 128;
  if (Records > static_cast<uint32_t>(BootRecordCount))
    throw EMachineError("The CP/M and BIOS images need " + std::to_string(Records) +
                        " records, more than the " + std::to_string(BootRecordCount) +
                        " records of the reserved tracks!");
}

std::vector<uint8_t> TMachine::BootRecords(const TBootImageSpan& Span) const { return BootRecordsOf(BootImage, Span); }

std::vector<std::vector<uint8_t>> TMachine::BootTracksAlone(const TBootImageSpan& Span) const {
  std::vector<std::vector<uint8_t>> Tracks{BootRecords(Span)};
  const std::string_view EarlierBios = EarlierBiosHexImage();
  if (EarlierBios.empty()) return Tracks;
  // The same CP/M image, with the earlier BIOS loaded over it as BuildBootImage does.
  std::vector<uint8_t> Image(BootImage.size(), 0);
  const std::string CpmName = ResolveImageName(Trimmed(CpmImageFile), "cpm22.hex");
  const THexImageRange Cpm = LoadHexToImage(CpmName, Image.data());
  std::istringstream BiosText{std::string(EarlierBios)};
  const std::string BiosName = "vantel.hex of the first version";
  const THexImageRange Bios = LoadHexText(BiosText, Image.data(), BiosName);
  Tracks.push_back(BootRecordsOf(Image, BootImageSpan(Cpm, CpmName, Bios, BiosName)));
  return Tracks;
}

void TMachine::WriteBootImage(TDiskDrive& Drive, const TBootImageSpan& Span) {
  const std::vector<uint8_t> Bytes = BootRecords(Span);
  const uint32_t Records = static_cast<uint32_t>(Bytes.size() / TDiskDrive::SECTOR_SIZE);
  uint8_t OnDisk[TDiskDrive::SECTOR_SIZE];
  for (uint32_t Index = 0; Index < Records; ++Index) {
    Drive.Sector = static_cast<uint16_t>(Index % Drive.SectorsPerTrack());
    Drive.Track = static_cast<uint16_t>(Index / Drive.SectorsPerTrack());
    const uint8_t* Record = Bytes.data() + static_cast<size_t>(Index) * TDiskDrive::SECTOR_SIZE;
    // A read-only disk boots when it already holds this boot image.
    if (Drive.IsReadOnly()) {
      Drive.ReadSector(OnDisk);
      if (std::memcmp(OnDisk, Record, sizeof OnDisk) == 0) continue;
      throw EMachineError("The disk \"" + Drive.FileName().filename().string() +
                          "\" is read-only and does not hold this boot image, which cannot be written to it!");
    }
    Drive.WriteSector(Record);
  }
}

TBootImageSpan TMachine::BootImageFor(const std::string& FileName) {
  const TBootImageSpan Span = BuildBootImage();
  std::error_code Error;
  if (!std::filesystem::exists(FileName, Error))
    throw EMachineError("The disk \"" + std::filesystem::path(FileName).filename().string() +
                        "\" could not be found!");
  CheckBootImageFits(Span);
  return Span;
}

void TMachine::WriteBootImageToDisk(const std::string& FileName) {
  const TBootImageSpan Span = BootImageFor(FileName);
  TDiskDrive Drive(FileName, -1, TDiskAccess::ReadWriteIfAllowed, BootTracksAlone(Span));
  WriteBootImage(Drive, Span);
}

void TMachine::MountDrive(int Drive, const std::string& FileName) {
  if (Drive < 0 || Drive >= DriveCount || !FDiskController) return;
  TDiskController& Controller = *FDiskController;
  for (int Other = 0; Other < DriveCount; ++Other)
    if (Other != Drive && Controller.HasDisk(Other) && SameDiskFile(Controller.MountedFileName(Other), FileName))
      throw EDiskError("The disk is already mounted in another drive!", DISK_ERROR_NO_DISK);

  // Everything that can fail happens before the drive lets go of its disk.
  // A file that cannot be a disk (a folder, a device, one longer than a disk,
  // a file whose directory holds no disk's) fails to open here with its
  // reason; one shorter than a disk is a disk whose missing part reads
  // formatted, and grows as it is written. Drive A also takes a file of a boot
  // image alone, this one or the one of the earlier BIOS: earlier versions made
  // such disks of empty files. The controller opens the disk again below, with
  // no boot tracks: by then the trial has written the directory after them.
  TBootImageSpan Span;
  std::vector<std::vector<uint8_t>> BootTracks;
  if (Drive == 0) {
    Span = BootImageFor(FileName);
    BootTracks = BootTracksAlone(Span);
  }
  {
    TDiskDrive Trial(FileName, -1, TDiskAccess::ReadWriteIfAllowed, BootTracks);
    if (Drive == 0) WriteBootImage(Trial, Span);
  }

  const std::string OldFile = Controller.MountedFileName(Drive);
  const bool HadDisk = Controller.HasDisk(Drive);
  Controller.EjectDisk(Drive);
  try {
    Controller.MountDisk(FileName, Drive);
  } catch (...) {
    if (HadDisk) {
      try {
        Controller.MountDisk(OldFile, Drive);
      } catch (const std::exception&) {
      }
    }
    if (!Controller.HasDisk(Drive)) {
      DriveFileName[static_cast<size_t>(Drive)].clear();
      SetLamp(Drive, TDriveLamp::Empty);
      if (HadDisk) DiskChangedFlag = 1;
      if (OnDriveChanged) OnDriveChanged(Drive);
    }
    throw;
  }
  DriveFileName[static_cast<size_t>(Drive)] = FileName;
  // CP/M keeps an allocation map per logged-in disk: a different disk in the
  // drive must be logged in again before it is written.
  if (!HadDisk || !SameDiskFile(OldFile, FileName)) DiskChangedFlag = 1;
  FLamps[static_cast<size_t>(Drive)] = TDriveLamp::Mounted;
  if (OnDriveChanged) OnDriveChanged(Drive);
}

void TMachine::UnmountDrive(int Drive) {
  if (Drive < 0 || Drive >= DriveCount || !FDiskController) return;
  const bool HadDisk = FDiskController->HasDisk(Drive);
  DriveFileName[static_cast<size_t>(Drive)].clear();
  FDiskController->EjectDisk(Drive);
  if (HadDisk) DiskChangedFlag = 1;
  FLamps[static_cast<size_t>(Drive)] = TDriveLamp::Empty;
  if (OnDriveChanged) OnDriveChanged(Drive);
}

std::string TMachine::DriveCaption(int Drive) const {
  if (Drive < 0 || Drive >= DriveCount || !FDiskController || !FDiskController->HasDisk(Drive)) return "(no disk)";
  std::string Caption(1, '"');
  Caption += std::filesystem::path(FDiskController->MountedFileName(Drive)).stem().string();
  Caption += '"';
  return Caption;
}

void TMachine::ColdBoot() {
  SetRunCpu(false);
  Com1Queue.Clear();
  Com2Queue.Clear();
  ComQueueChanged(1);
  ComQueueChanged(2);
  CrtKeyQueue.Clear();
  LastCrtKey = 0;
  TtyKeyQueue.Clear();
  LastTtyKey = 0;

  FDiskController->EjectAll();
  for (int Drive = 0; Drive < DriveCount; ++Drive) SetLamp(Drive, TDriveLamp::Empty);

  const TBootImageSpan Span = BuildBootImage();
  const uint32_t Length = std::min<uint32_t>(Span.End - Span.Low, 0x10000);
  for (uint32_t Offset = 0; Offset < Length; ++Offset) {
    const uint16_t Address = static_cast<uint16_t>(Span.Low + Offset);
    FCpu->WriteByte(Address, BootImage[Address]);
  }

  if (!RegularFileExists(DriveFileName[0])) throw EMachineError("A disk must be selected for drive A before you may boot CPM!");
  MountDrive(0, DriveFileName[0]);
  for (int Drive = 1; Drive < DriveCount; ++Drive) {
    const std::string& FileName = DriveFileName[static_cast<size_t>(Drive)];
    if (RegularFileExists(FileName)) MountDrive(Drive, FileName);
  }

  FCpu->Reset(Span.Entry);
  // A fresh CP/M logs every disk in anyway.
  DiskChangedFlag = 0;
  if (OnRefreshCpu) OnRefreshCpu();
  SetRunCpu(true);
  FBooted = true;
}

void TMachine::LoadHexFile(const std::string& FileName) {
  std::fill(BootImage.begin(), BootImage.end(), 0);
  const THexImageRange Range = LoadHexToImage(FileName, BootImage.data());
  const uint32_t Length = Range.HasData ? std::min<uint32_t>((Range.Next - Range.First) & 0x1FFFF, 0x10000) : 0;
  for (uint32_t Offset = 0; Offset < Length; ++Offset) {
    const uint16_t Address = static_cast<uint16_t>(Range.First + Offset);
    FCpu->WriteByte(Address, BootImage[Address]);
  }
  FCpu->Reset(static_cast<uint16_t>(Range.First));
  if (OnRefreshCpu) OnRefreshCpu();
}

std::string TMachine::LoadBinFile(const std::string& FileName) {
  constexpr size_t kLimit = 0xDB00;  // 0100h up to the CCP of a 64 KiB system
  std::fill(BootImage.begin(), BootImage.end(), 0);
  const int File = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (File < 0)
    throw EMachineError("Unable to open the program file \"" + FileName + "\": " + std::strerror(errno) + ".");
  struct TCloser {
    int Fd;
    ~TCloser() { ::close(Fd); }
  } Closer{File};
  struct stat Info {};
  if (::fstat(File, &Info) != 0 || !S_ISREG(Info.st_mode))
    throw EMachineError("Unable to read entire program file!");
  const size_t Size = static_cast<size_t>(Info.st_size);
  if (Size >= kLimit) throw EMachineError("Program file is to large to fit into memory!");
  size_t Done = 0;
  while (Done < Size) {
    const ssize_t Got = ::read(File, BootImage.data() + Done, Size - Done);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) throw EMachineError("Unable to read entire program file!");
    Done += static_cast<size_t>(Got);
  }
  const size_t Pad = 128 - Size % 128;
  std::fill(BootImage.begin() + static_cast<std::ptrdiff_t>(Size), BootImage.begin() + static_cast<std::ptrdiff_t>(Size + Pad),
            26);
  FCpu->LoadMemory(0x0100, static_cast<uint16_t>(Size + Pad), BootImage.data());
  const std::string Text = "Program loaded, uses " + std::to_string((Size + 255) / 256) + " blocks.";
  Message(TMachineMessageKind::Information, Text);
  return Text;
}
