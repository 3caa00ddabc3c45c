#include "TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "WakeEvent.h"

namespace {

sockaddr_in MakeAddress(const std::string& address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  if (address.empty()) {
    result.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1) {
    throw ESocketError("\"" + address + "\" is not an IPv4 address");
  }
  return result;
}

}  // namespace

std::optional<uint16_t> ParseTcpPort(const std::string& PortText) {
  size_t begin = PortText.find_first_not_of(" \t");
  size_t end = PortText.find_last_not_of(" \t");
  if (begin == std::string::npos) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = begin; i <= end; ++i) {
    if (PortText[i] < '0' || PortText[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(PortText[i] - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

TTcpSocket& TTcpSocket::operator=(TTcpSocket&& Other) noexcept {
  if (this != &Other) {
    Close();
    FHandle = Other.FHandle;
    Other.FHandle = -1;
  }
  return *this;
}

void TTcpSocket::Close() {
  if (FHandle >= 0) close(FHandle);
  FHandle = -1;
}

TTcpSocket TTcpSocket::Connect(const std::string& Address, uint16_t Port) {
  sockaddr_in target = MakeAddress(Address, Port);
  TTcpSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.IsOpen()) throw ESocketError(std::string("Unable to create a TCP socket: ") + std::strerror(errno));
  if (connect(socket.Handle(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0)
    throw ESocketError("Unable to connect to " + Address + ":" + std::to_string(Port) + ": " + std::strerror(errno));
  return socket;
}

ssize_t TTcpSocket::Send(const uint8_t* Data, size_t Size) {
  if (FHandle < 0) return -1;
  for (;;) {
    const ssize_t sent = send(FHandle, Data, Size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

ssize_t TTcpSocket::Receive(uint8_t* Data, size_t Size) {
  if (FHandle < 0) return -1;
  for (;;) {
    const ssize_t got = recv(FHandle, Data, Size, MSG_DONTWAIT);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
  }
}

bool TTcpSocket::WaitReadable(int TimeoutMs, bool& Failed) {
  Failed = false;
  if (FHandle < 0) {
    Failed = true;
    return false;
  }
  pollfd entry{FHandle, POLLIN, 0};
  if (poll(&entry, 1, TimeoutMs) <= 0) return false;
  if (entry.revents & POLLIN) return true;
  Failed = (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  return false;
}

void TTcpListener::Listen(const std::string& PortText, const std::string& Address) {
  Close();
  std::optional<uint16_t> port = ParseTcpPort(PortText);
  if (!port) throw ESocketError("\"" + PortText + "\" is not a TCP port number (0 to 65535)");
  sockaddr_in local = MakeAddress(Address, *port);
  int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (handle < 0) throw ESocketError(std::string("Unable to create a TCP socket: ") + std::strerror(errno));
  // Lets the server listen again at once after it was stopped while a closed
  // connection lingers; a port that another socket listens on stays refused.
  int on = 1;
  setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(handle, 4) != 0) {
    const int error = errno;
    close(handle);
    const std::string name = "TCP port " + std::to_string(*port);
    if (error == EADDRINUSE) throw ESocketError(name + " is already in use");
    if (error == EACCES) throw ESocketError(name + " needs privileges that this program does not have");
    throw ESocketError("Unable to listen on " + name + ": " + std::strerror(error));
  }
  FHandle = handle;
}

void TTcpListener::Close() {
  if (FHandle >= 0) close(FHandle);
  FHandle = -1;
}

uint16_t TTcpListener::LocalPort() const {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (FHandle < 0 || getsockname(FHandle, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

std::optional<TTcpSocket> TTcpListener::Accept(TWakeEvent& Wake, int TimeoutMs) {
  if (FHandle < 0) return std::nullopt;
  pollfd entries[2] = {{FHandle, POLLIN, 0}, {Wake.Handle(), POLLIN, 0}};
  if (poll(entries, 2, TimeoutMs) <= 0 || (entries[1].revents & POLLIN) || !(entries[0].revents & POLLIN))
    return std::nullopt;
  const int client = accept4(FHandle, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return std::nullopt;  // the client went away again before it was taken
  int on = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return TTcpSocket(client);
}
