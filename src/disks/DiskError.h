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

// what() is the message followed by the host's reason when there is one
// ("Selected disk is bad! Cannot open file ...: Permission denied"), for the
// user; Message() is the message alone, for peers that expect its fixed text.
class EDiskError : public EEmulatorError {
 public:
  EDiskError(const std::string& message, std::int32_t code, const std::string& reason = {})
      : EEmulatorError(reason.empty() ? message : message + " " + reason), code_(code), message_(message) {}
  std::int32_t Code() const { return code_; }
  const std::string& Message() const { return message_; }

 private:
  std::int32_t code_;
  std::string message_;
};
