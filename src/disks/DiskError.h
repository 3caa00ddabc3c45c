// The exception of the disk classes. Its code doubles as the disk controller's
// status byte (low 8 bits) and the remote disk protocol's error code (low 16 bits).
#pragma once

#include <cstdint>
#include <string>

#include "EmulatorError.h"

// Status codes carried by EDiskError.
enum TDiskErrorCode : std::int32_t {
  DISK_ERROR_NO_DISK = 1,         // no usable disk, mount conflict, unknown session
  DISK_ERROR_BAD_ADDRESS = 2,     // track, sector or directory entry out of range
  DISK_ERROR_READ = 4,            // read failed
  DISK_ERROR_WRITE = 8,           // write failed
  DISK_ERROR_IN_USE = 16,         // disk in use by another client, wrong client
  DISK_ERROR_MOUNTED = 64,        // client already has another disk mounted
};

class EDiskError : public EEmulatorError {
 public:
  EDiskError(const std::string& message, std::int32_t code) : EEmulatorError(message), code_(code) {}
  std::int32_t Code() const { return code_; }

 private:
  std::int32_t code_;
};
