#include "UdpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "WakeEvent.h"

uint16_t ResolveUdpPort(const std::string& Service) {
  if (Service.empty()) return 0;
  if (std::optional<uint16_t> number = ParseTcpPort(Service)) return *number;
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  if (getservbyname_r(Service.c_str(), "udp", &entry, buffer, sizeof buffer, &found) == 0 && found)
    return ntohs(static_cast<uint16_t>(found->s_port));
  throw ESocketError("\"" + Service + "\" is neither a UDP port number (0 to 65535) nor a known service");
}

std::string ResolveIPv4Address(const std::string& Host) {
  if (Host.empty()) return "0.0.0.0";
  in_addr parsed{};
  if (Host[0] >= '0' && Host[0] <= '9') return inet_pton(AF_INET, Host.c_str(), &parsed) == 1 ? Host : std::string();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* results = nullptr;
  if (getaddrinfo(Host.c_str(), nullptr, &hints, &results) != 0 || !results) return std::string();
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(results->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(results);
  return text;
}

sockaddr_in MakeIPv4Address(const std::string& DottedAddress, uint16_t Port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(Port);
  if (inet_pton(AF_INET, DottedAddress.c_str(), &result.sin_addr) != 1)
    throw ESocketError("\"" + DottedAddress + "\" is not an IPv4 address");
  return result;
}

void TUdpSocket::Open(const TUdpBindOptions& Options) {
  Close();
  const uint16_t port = ResolveUdpPort(Options.LocalPort);
  const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (handle < 0) throw ESocketError(std::string("Unable to create a UDP socket: ") + std::strerror(errno));
  const auto fail = [handle](const std::string& what, int error) {
    close(handle);
    throw ESocketError(what + ": " + std::strerror(error));
  };
  int on = 1;
  if (Options.ReuseAddress && setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    fail("Unable to allow address reuse", errno);
  if (Options.TxBroadcast && setsockopt(handle, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
    fail("Unable to allow broadcasts", errno);
  const int ttl = Options.TTL < 0 ? 0 : (Options.TTL > 255 ? 255 : Options.TTL);
  if (setsockopt(handle, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) fail("Unable to set the time-to-live", errno);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = Options.AdapterAddress;
  if (bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    close(handle);
    const std::string name = "UDP port " + std::to_string(port);
    if (error == EADDRINUSE) throw ESocketError(name + " is already in use");
    if (error == EACCES) throw ESocketError(name + " needs privileges that this program does not have");
    throw ESocketError("Unable to bind " + name + ": " + std::strerror(error));
  }
  FHandle = handle;
}

void TUdpSocket::Close() {
  if (FHandle >= 0) close(FHandle);
  FHandle = -1;
}

uint16_t TUdpSocket::LocalPort() const {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (FHandle < 0 || getsockname(FHandle, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

bool TUdpSocket::WaitReadable(int TimeoutMs, const TWakeEvent* Wake) const {
  if (FHandle < 0) return false;
  pollfd entries[2] = {{FHandle, POLLIN, 0}, {Wake ? Wake->Handle() : -1, POLLIN, 0}};
  if (poll(entries, Wake ? 2 : 1, TimeoutMs < 0 ? -1 : TimeoutMs) <= 0) return false;
  if (Wake && (entries[1].revents & POLLIN)) return false;
  return (entries[0].revents & POLLIN) != 0;
}

bool TUdpSocket::WaitWritable(int TimeoutMs) const {
  if (FHandle < 0) return false;
  pollfd entry{FHandle, POLLOUT, 0};
  return poll(&entry, 1, TimeoutMs < 0 ? -1 : TimeoutMs) > 0 && (entry.revents & POLLOUT);
}

ssize_t TUdpSocket::ReceiveFrom(uint8_t* Buffer, size_t Size, sockaddr_in& From) {
  if (FHandle < 0) return -1;
  for (;;) {
    socklen_t fromSize = sizeof From;
    const ssize_t got = recvfrom(FHandle, Buffer, Size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&From), &fromSize);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
  }
}

ssize_t TUdpSocket::SendTo(const uint8_t* Data, size_t Size, int TimeoutMs, const sockaddr_in& To) {
  if (FHandle < 0) return -1;
  bool waited = false;
  for (;;) {
    const ssize_t sent =
        sendto(FHandle, Data, Size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&To), sizeof To);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // One wait for room, then one more try.
    if (waited || !WaitWritable(TimeoutMs)) return 0;
    waited = true;
  }
}
