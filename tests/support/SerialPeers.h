// Far ends of the machine's COM ports for tests and benchmarks: a reader that
// keeps everything it reads from a socket or a pseudo-terminal's master side and
// can stop reading for a while or for good, as a slow or stalled peer does; a
// loopback client for the TCP server; and a host loaded by busy loops.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvel_test {

// One busy loop per processor core of the host, from construction to destruction.
class TBusyHost {
 public:
  TBusyHost() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < cores; ++i)
      FThreads.emplace_back([this] {
        volatile uint64_t spins = 0;
        while (!FStop.load(std::memory_order_relaxed)) spins = spins + 1;
      });
  }
  ~TBusyHost() {
    FStop.store(true);
    for (std::thread& thread : FThreads) thread.join();
  }
  TBusyHost(const TBusyHost&) = delete;
  TBusyHost& operator=(const TBusyHost&) = delete;

 private:
  std::atomic<bool> FStop{false};
  std::vector<std::thread> FThreads;
};

// A blocking TCP connection to the loopback address; -1 when it fails. A
// ReceiveBuffer (bytes) keeps the socket from taking much more than that while
// nobody reads it, so that a client that stops reading soon holds the server back.
inline int ConnectLoopback(uint16_t Port, int ReceiveBuffer = 0) {
  const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle < 0) return -1;
  if (ReceiveBuffer > 0) ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(handle);
    return -1;
  }
  return handle;
}

// Sends all of Text on a descriptor (a socket or a pseudo-terminal's master side).
inline bool SendAll(int Handle, const std::string& Text) {
  for (size_t done = 0; done < Text.size();) {
    const ssize_t n = ::write(Handle, Text.data() + done, Text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      pollfd entry{Handle, POLLOUT, 0};
      ::poll(&entry, 1, 20);
    }
  }
  return true;
}

// Reads a descriptor on a thread of its own and keeps what it read. It can hold
// back once a number of bytes has come: for a while (a peer busy elsewhere) or
// until told to read on (a stalled peer). It does not own the descriptor, which
// must stay open until the reader is gone.
class TPeerReader {
 public:
  explicit TPeerReader(int Handle) : FThread([this, Handle] { Run(Handle); }) {}
  ~TPeerReader() {
    FStop.store(true);
    FThread.join();
  }
  TPeerReader(const TPeerReader&) = delete;
  TPeerReader& operator=(const TPeerReader&) = delete;

  // Stops reading for Length once Count bytes have come in all.
  void PauseAt(size_t Count, std::chrono::milliseconds Length) {
    std::lock_guard<std::mutex> guard(FLock);
    FPauseAt = Count;
    FPauseLength = Length;
  }
  // Reads nothing more once Count bytes have come in all, until ReadOn.
  void StopAt(size_t Count) {
    std::lock_guard<std::mutex> guard(FLock);
    FStopAt = Count;
  }
  void ReadOn() { StopAt(SIZE_MAX); }
  std::string Received() {
    std::lock_guard<std::mutex> guard(FLock);
    return FReceived;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(FLock);
    return FReceived.size();
  }
  // The far end closed (or failed).
  bool Ended() const { return FEnded.load(); }
  // Whether the reader has made its pause.
  bool Paused() const { return FPaused.load(); }

 private:
  void Run(int Handle) {
    char buffer[4096];
    while (!FStop.load() && !FEnded.load()) {
      size_t room = sizeof buffer;
      std::chrono::milliseconds pause{0};
      {
        std::lock_guard<std::mutex> guard(FLock);
        const size_t count = FReceived.size();
        if (count >= FStopAt) {
          room = 0;
        } else {
          room = std::min(room, FStopAt - count);
          if (count >= FPauseAt) {
            pause = FPauseLength;
            FPauseAt = SIZE_MAX;
          } else {
            room = std::min(room, FPauseAt - count);
          }
        }
      }
      if (pause.count() > 0) {
        FPaused.store(true);
        const auto until = std::chrono::steady_clock::now() + pause;
        while (!FStop.load() && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (room == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      pollfd entry{Handle, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      const ssize_t n = ::read(Handle, buffer, room);
      if (n > 0) {
        std::lock_guard<std::mutex> guard(FLock);
        FReceived.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        FEnded.store(true);
      }
    }
  }

  std::mutex FLock;
  std::string FReceived;
  size_t FPauseAt = SIZE_MAX;
  std::chrono::milliseconds FPauseLength{0};
  size_t FStopAt = SIZE_MAX;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FEnded{false};
  std::atomic<bool> FPaused{false};
  std::thread FThread;
};

}  // namespace korvel_test
