// Small helpers shared by the tests of code that runs threads of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace korvel_test {

// Waits until Done holds; the limit only keeps a broken test from hanging.
inline bool WaitUntil(const std::function<bool()>& Done,
                      std::chrono::milliseconds Limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + Limit;
  while (!Done()) {
    if (std::chrono::steady_clock::now() > deadline) return Done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The bytes of Text.
inline std::vector<uint8_t> Bytes(const std::string& Text) { return {Text.begin(), Text.end()}; }

}  // namespace korvel_test
