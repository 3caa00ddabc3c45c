// A loopback client of the remote disk server for the tests: builds requests
// byte by byte, sends them from its own socket, and pumps the test's main
// thread until the reply arrives.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "MainThread.h"
#include "UdpSocket.h"

namespace rmt_test {

using TBytes = std::vector<uint8_t>;

inline void Put16(TBytes& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}
inline void Put32(TBytes& bytes, size_t offset, uint32_t value) {
  Put16(bytes, offset, static_cast<uint16_t>(value));
  Put16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}
inline uint16_t Get16(const TBytes& bytes, size_t offset) {
  return static_cast<uint16_t>(bytes.at(offset) | (bytes.at(offset + 1) << 8));
}
inline uint32_t Get32(const TBytes& bytes, size_t offset) {
  return Get16(bytes, offset) | (static_cast<uint32_t>(Get16(bytes, offset + 2)) << 16);
}

inline TBytes SessionRequest(uint8_t command, uint16_t tag, uint32_t session, uint16_t clientId) {
  TBytes bytes(10, 0);
  bytes[0] = command;
  Put16(bytes, 2, tag);
  Put32(bytes, 4, session);
  Put16(bytes, 8, clientId);
  return bytes;
}
inline TBytes NopRequest(uint16_t tag, uint32_t session, uint16_t clientId) {
  return SessionRequest(0, tag, session, clientId);
}
inline TBytes UnmountRequest(uint16_t tag, uint32_t session, uint16_t clientId) {
  return SessionRequest(2, tag, session, clientId);
}
inline TBytes MountRequest(uint16_t tag, const std::string& name, uint16_t clientId, bool readOnly = false) {
  TBytes bytes(9 + name.size(), 0);
  bytes[0] = 1;
  Put16(bytes, 2, tag);
  bytes[4] = readOnly ? 1 : 0;
  Put16(bytes, 6, clientId);
  bytes[8] = static_cast<uint8_t>(name.size());
  std::copy(name.begin(), name.end(), bytes.begin() + 9);
  return bytes;
}
inline TBytes ReadRequest(uint16_t tag, uint32_t session, uint16_t clientId, uint16_t track, uint16_t sector) {
  TBytes bytes(14, 0);
  bytes[0] = 3;
  Put16(bytes, 2, tag);
  Put32(bytes, 4, session);
  Put16(bytes, 8, clientId);
  Put16(bytes, 10, track);
  Put16(bytes, 12, sector);
  return bytes;
}
inline TBytes WriteRequest(uint16_t tag, uint32_t session, uint16_t clientId, uint16_t track, uint16_t sector,
                           const TBytes& block) {
  const TBytes header = ReadRequest(tag, session, clientId, track, sector);
  TBytes bytes(header.size() + block.size());
  std::copy(header.begin(), header.end(), bytes.begin());
  std::copy(block.begin(), block.end(), bytes.begin() + static_cast<long>(header.size()));
  bytes[0] = 4;
  return bytes;
}

// The 68-byte error reply the server must send for Code, Tag and Text.
inline TBytes ErrorReply(uint16_t code, uint16_t tag, const std::string& text) {
  TBytes bytes(68, 0);
  Put16(bytes, 0, code);
  Put16(bytes, 2, tag);
  bytes[4] = static_cast<uint8_t>(text.size());
  std::copy(text.begin(), text.end(), bytes.begin() + 5);
  return bytes;
}
inline TBytes DoneReply(uint16_t tag) {
  TBytes bytes(4, 0);
  Put16(bytes, 2, tag);
  return bytes;
}

class TTestClient {
 public:
  // The socket is bound to LocalAddress: any 127.x.y.z address is this host,
  // and gives the server a client from another address.
  TTestClient(TQueuedMainThread& mainThread, uint16_t serverPort, const std::string& localAddress = "127.0.0.1")
      : mainThread_(mainThread), server_(MakeIPv4Address("127.0.0.1", serverPort)) {
    TUdpBindOptions options;
    options.LocalPort = "0";
    in_addr local{};
    if (inet_pton(AF_INET, localAddress.c_str(), &local) != 1)
      throw std::runtime_error("test client address " + localAddress + " is not dotted IPv4");
    options.AdapterAddress = local.s_addr;
    socket_.Open(options);
  }

  uint16_t Port() const { return socket_.LocalPort(); }
  void Send(const TBytes& request) {
    if (socket_.SendTo(request.data(), request.size(), 1000, server_) != static_cast<ssize_t>(request.size()))
      throw std::runtime_error("test client could not send");
  }
  // The next datagram, pumping the main thread meanwhile; nothing when none
  // came within Limit.
  std::optional<TBytes> Receive(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    TBytes buffer(8192);
    sockaddr_in from{};
    std::optional<TBytes> result;
    mainThread_.PumpUntil(
        [&] {
          const ssize_t got = socket_.ReceiveFrom(buffer.data(), buffer.size(), from);
          if (got < 0) return false;
          result = TBytes(buffer.begin(), buffer.begin() + got);
          return true;
        },
        limit);
    return result;
  }
  std::optional<TBytes> Request(const TBytes& request) {
    Send(request);
    return Receive();
  }
  // The reply whose tag is Tag, skipping older replies.
  std::optional<TBytes> ReceiveTagged(uint16_t tag) {
    for (int i = 0; i < 10000; ++i) {
      std::optional<TBytes> reply = Receive();
      if (!reply) return std::nullopt;
      if (reply->size() >= 4 && Get16(*reply, 2) == tag) return reply;
    }
    return std::nullopt;
  }
  // Mounts Name and returns the session id from a well-formed mount reply.
  uint32_t Mount(const std::string& name, uint16_t clientId, bool readOnly = false) {
    std::optional<TBytes> reply = Request(MountRequest(0x4D4D, name, clientId, readOnly));
    if (!reply || reply->size() != 14 || Get16(*reply, 0) != 0)
      throw std::runtime_error("mount of " + name + " failed");
    return Get32(*reply, 4);
  }

 private:
  TQueuedMainThread& mainThread_;
  sockaddr_in server_;
  TUdpSocket socket_;
};

}  // namespace rmt_test
