// The one base of the program's own exceptions: every failure that the program
// reports carries a message that the user interface shows as it stands.
#pragma once

#include <stdexcept>
#include <string>

class EEmulatorError : public std::runtime_error {
 public:
  explicit EEmulatorError(const std::string& message) : std::runtime_error(message) {}
};
