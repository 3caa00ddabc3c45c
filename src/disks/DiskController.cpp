#include "DiskController.h"

#include <algorithm>
#include <cctype>
#include <exception>

namespace {

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

TDiskController::~TDiskController() { EjectAll(); }

void TDiskController::WritePort(std::uint8_t reg, std::uint8_t value) {
  reg &= 7;
  if (reg == REG_COMMAND)
    ExecuteCommand(value);
  else
    registers_[reg] = value;
}

std::uint8_t TDiskController::ReadPort(std::uint8_t reg) const { return registers_[reg & 7]; }

void TDiskController::MountDisk(const std::string& fileName, int drive) {
  if (IsMounted(fileName)) throw EDiskError("The disk is already mounted in another drive!", DISK_ERROR_NO_DISK);
  drive &= 3;
  EjectDisk(drive);
  drives_[drive].Drive = std::make_unique<TDiskDrive>(fileName, -1);
  drives_[drive].FileName = fileName;
}

void TDiskController::EjectDisk(int drive) {
  drive &= 3;
  drives_[drive].Drive.reset();
  drives_[drive].FileName.clear();
}

void TDiskController::EjectAll() {
  for (int drive = 0; drive < DRIVE_COUNT; ++drive) EjectDisk(drive);
}

bool TDiskController::HasDisk(int drive) const { return drives_[drive & 3].Drive != nullptr; }

bool TDiskController::IsMounted(const std::string& fileName) const {
  return std::any_of(drives_.begin(), drives_.end(), [&](const TControllerDiskInfo& slot) {
    return slot.Drive && SameTextIgnoringCase(slot.FileName, fileName);
  });
}

std::string TDiskController::MountedFileName(int drive) const { return drives_[drive & 3].FileName; }

TDiskDrive* TDiskController::SelectedDrive() const { return drives_[registers_[REG_DRIVE] & 3].Drive.get(); }

void TDiskController::RemountDrive(int drive) {
  drive &= 3;
  if (!drives_[drive].Drive) return;
  const std::string name = drives_[drive].FileName;
  EjectDisk(drive);
  try {
    MountDisk(name, drive);
  } catch (const std::exception&) {
    // A file that has gone or can no longer be opened leaves the drive empty.
  }
}

void TDiskController::RemountAll() {
  for (int drive = 0; drive < DRIVE_COUNT; ++drive) RemountDrive(drive);
}

void TDiskController::ExecuteCommand(std::uint8_t command) {
  switch (command) {
    case CMD_RESET:
      registers_.fill(0);
      RemountAll();
      registers_[REG_COMMAND] = STATUS_DONE;
      if (OnReset) OnReset(*this);
      break;
    case CMD_HOME:
      if (!SelectedDrive()) {
        registers_[REG_COMMAND] = DISK_ERROR_NO_DISK;
        break;
      }
      std::fill(registers_.begin() + REG_SECTOR_LOW, registers_.begin() + REG_TRACK_HIGH + 1, 0);
      registers_[REG_COMMAND] = STATUS_DONE;
      break;
    case CMD_READ:
      Transfer(false);
      break;
    case CMD_WRITE:
      Transfer(true);
      break;
    default:
      registers_[REG_COMMAND] = STATUS_UNKNOWN_COMMAND;
      break;
  }
}

void TDiskController::Transfer(bool write) {
  TDiskDrive* drive = SelectedDrive();
  if (!drive) {
    registers_[REG_COMMAND] = DISK_ERROR_NO_DISK;
    return;
  }
  const std::uint8_t driveNumber = registers_[REG_DRIVE] & 3;
  // A command ends with a status, never with an exception in the processor's
  // loop: a disk error gives its code, anything else the plain read or write
  // failure.
  try {
    if (write) {
      if (OnWriteActivity) OnWriteActivity(*this, driveNumber);
    } else {
      if (OnReadActivity) OnReadActivity(*this, driveNumber);
    }
    drive->Sector = GetSector();
    drive->Track = GetTrack();
    if (write) {
      if (OnFetchFromMemory) OnFetchFromMemory(*this, GetDmaAddress(), sectorBuffer_.data(), TDiskDrive::SECTOR_SIZE);
      drive->WriteSector(sectorBuffer_.data());
    } else {
      drive->ReadSector(sectorBuffer_.data());
      if (OnStoreToMemory) OnStoreToMemory(*this, GetDmaAddress(), sectorBuffer_.data(), TDiskDrive::SECTOR_SIZE);
    }
    registers_[REG_COMMAND] = STATUS_DONE;
  } catch (const EDiskError& error) {
    registers_[REG_COMMAND] = static_cast<std::uint8_t>(error.Code() & 0xFF);
  } catch (...) {
    registers_[REG_COMMAND] = write ? DISK_ERROR_WRITE : DISK_ERROR_READ;
  }
}
