// A small layer over BSD stream sockets: a listening socket whose accept can be
// woken to stop, and a connected socket with non-blocking send and receive.
// It stands in for the Windows Sockets TCP server.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "EmulatorError.h"

class TWakeEvent;

// A socket could not be set up (port in use, bad port text, no privileges, ...).
class ESocketError : public EEmulatorError {
 public:
  using EEmulatorError::EEmulatorError;
};

class TTcpSocket final {
 public:
  static constexpr ssize_t kWouldBlock = -2;

  TTcpSocket() = default;
  explicit TTcpSocket(int Handle) : FHandle(Handle) {}
  TTcpSocket(TTcpSocket&& Other) noexcept : FHandle(Other.FHandle) { Other.FHandle = -1; }
  TTcpSocket& operator=(TTcpSocket&& Other) noexcept;
  TTcpSocket(const TTcpSocket&) = delete;
  TTcpSocket& operator=(const TTcpSocket&) = delete;
  ~TTcpSocket() { Close(); }

  // A blocking connect, for clients; throws ESocketError.
  static TTcpSocket Connect(const std::string& Address, uint16_t Port);

  bool IsOpen() const { return FHandle >= 0; }
  int Handle() const { return FHandle; }
  void Close();

  // Never blocks and never raises SIGPIPE: bytes sent (possibly 0 when the
  // peer's window is full), or -1 when the connection failed.
  ssize_t Send(const uint8_t* Data, size_t Size);
  // Never blocks: bytes received, 0 when the peer closed, kWouldBlock when
  // nothing is waiting, -1 when the connection failed.
  ssize_t Receive(uint8_t* Data, size_t Size);
  // Whether bytes (or the peer's close) can be received within TimeoutMs.
  // Failed is set on an exceptional condition (error or hang-up without data).
  bool WaitReadable(int TimeoutMs, bool& Failed);

 private:
  int FHandle = -1;
};

class TTcpListener final {
 public:
  TTcpListener() = default;
  TTcpListener(const TTcpListener&) = delete;
  TTcpListener& operator=(const TTcpListener&) = delete;
  ~TTcpListener() { Close(); }

  // Listens on PortText (a decimal port, "0" for any free port) at Address
  // (empty: every local address). Throws ESocketError with a message that says
  // what went wrong (port in use, needs privileges, not a port number).
  void Listen(const std::string& PortText, const std::string& Address = std::string());
  void Close();
  bool IsListening() const { return FHandle >= 0; }
  // The listening socket, to wait for a client beside other descriptors.
  int Handle() const { return FHandle; }
  // The port actually bound (the chosen one when listening on port 0).
  uint16_t LocalPort() const;

  // Waits up to TimeoutMs (-1: for ever) for a client. Returns nothing when
  // the time ran out or Wake was signalled.
  std::optional<TTcpSocket> Accept(TWakeEvent& Wake, int TimeoutMs = -1);

 private:
  int FHandle = -1;
};

// The port number of PortText, or nothing when it is not one (0..65535).
std::optional<uint16_t> ParseTcpPort(const std::string& PortText);
