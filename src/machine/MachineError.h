// The exception of the emulated machine: boot, image loading and mounting
// failures whose message the user interface shows as it stands.
#pragma once

#include <string>

#include "EmulatorError.h"

class EMachineError : public EEmulatorError {
 public:
  explicit EMachineError(const std::string& message) : EEmulatorError(message) {}
};
