// A pseudo-terminal pair as the far end of a serial port in tests: the port
// under test opens SlaveName; the test talks through the master side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace korvel_test {

class PseudoTerminal {
 public:
  PseudoTerminal() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed";
      return;
    }
    slave_name_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    // The master side passes bytes unchanged.
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
  }
  ~PseudoTerminal() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& SlaveName() const { return slave_name_; }
  // The slave side as the port under test sees it: its terminal settings.
  termios SlaveSettings() const {
    termios settings{};
    tcgetattr(slave_, &settings);
    return settings;
  }
  int Master() const { return master_; }
  // The slave side, as the test holds it open: the same device the port opens.
  int Slave() const { return slave_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd entry{master_, POLLOUT, 0};
        poll(&entry, 1, 100);
      }
    }
  }

  // Reads until Count bytes have come or a generous limit has passed.
  std::vector<uint8_t> Receive(size_t Count, std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
    std::vector<uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + Limit;
    while (got.size() < Count && std::chrono::steady_clock::now() < deadline) {
      uint8_t buffer[4096];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
      } else {
        pollfd entry{master_, POLLIN, 0};
        poll(&entry, 1, 20);
      }
    }
    return got;
  }

  // Drops whatever waits on the master side.
  void Drain() {
    uint8_t buffer[4096];
    while (read(master_, buffer, sizeof buffer) > 0) {
    }
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_name_;
};

}  // namespace korvel_test
