// The emulated disk controller behind I/O ports 112-119: four drive slots (A-D),
// eight byte registers and the commands reset, home, read and write. It never
// touches processor memory itself: its owner moves sectors through the memory
// events and shows activity through the lamp events.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DiskDrive.h"

class TDiskController {
 public:
  static constexpr int DRIVE_COUNT = 4;

  // Registers (port 112 + n).
  enum TRegister : std::uint8_t {
    REG_COMMAND = 0,  // write: command; read: status of the last command
    REG_DRIVE = 1,
    REG_SECTOR_LOW = 2,
    REG_SECTOR_HIGH = 3,
    REG_TRACK_LOW = 4,
    REG_TRACK_HIGH = 5,
    REG_DMA_LOW = 6,
    REG_DMA_HIGH = 7,
  };
  enum TCommand : std::uint8_t { CMD_RESET = 0, CMD_HOME = 1, CMD_READ = 2, CMD_WRITE = 3 };
  static constexpr std::uint8_t STATUS_DONE = 0;
  static constexpr std::uint8_t STATUS_UNKNOWN_COMMAND = 9;

  using TMemoryProc = std::function<void(TDiskController& sender, std::uint16_t address, std::uint8_t* buffer, int count)>;
  using TActivityProc = std::function<void(TDiskController& sender, std::uint8_t drive)>;
  using TNotifyProc = std::function<void(TDiskController& sender)>;

  TDiskController() = default;
  // Closes the disks still mounted.
  ~TDiskController();
  TDiskController(const TDiskController&) = delete;
  TDiskController& operator=(const TDiskController&) = delete;

  // The register number is taken modulo 8.
  void WritePort(std::uint8_t reg, std::uint8_t value);
  std::uint8_t ReadPort(std::uint8_t reg) const;

  // Mounts an image file into drive (taken modulo 4). A name already mounted in
  // any drive (letter case ignored) or a file that cannot be opened raises
  // EDiskError code 1; the second leaves the slot empty.
  void MountDisk(const std::string& fileName, int drive);
  void EjectDisk(int drive);
  void EjectAll();
  bool HasDisk(int drive) const;
  bool IsMounted(const std::string& fileName) const;
  // The file name mounted in drive, empty when none.
  std::string MountedFileName(int drive) const;

  // Copy count bytes of processor memory at address into buffer (write command).
  TMemoryProc OnFetchFromMemory;
  // Copy count bytes from buffer into processor memory at address (read command).
  TMemoryProc OnStoreToMemory;
  TActivityProc OnReadActivity;
  TActivityProc OnWriteActivity;
  TNotifyProc OnReset;

 private:
  struct TControllerDiskInfo {
    std::unique_ptr<TDiskDrive> Drive;
    std::string FileName;
  };

  void ExecuteCommand(std::uint8_t command);
  void Transfer(bool write);
  TDiskDrive* SelectedDrive() const;
  std::uint16_t GetSector() const { return static_cast<std::uint16_t>(registers_[REG_SECTOR_HIGH] << 8 | registers_[REG_SECTOR_LOW]); }
  std::uint16_t GetTrack() const { return static_cast<std::uint16_t>(registers_[REG_TRACK_HIGH] << 8 | registers_[REG_TRACK_LOW]); }
  std::uint16_t GetDmaAddress() const { return static_cast<std::uint16_t>(registers_[REG_DMA_HIGH] << 8 | registers_[REG_DMA_LOW]); }
  void RemountDrive(int drive);
  void RemountAll();

  std::array<TControllerDiskInfo, DRIVE_COUNT> drives_;
  std::array<std::uint8_t, 8> registers_{};
  std::array<std::uint8_t, TDiskDrive::SECTOR_SIZE> sectorBuffer_{};
};
