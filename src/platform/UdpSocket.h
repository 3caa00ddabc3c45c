// A small layer over one BSD datagram socket (IPv4, UDP): bind, wait, receive
// and send. It stands in for the Windows Sockets datagram calls. Receiving and
// sending never block longer than the time the caller gives.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "TcpSocket.h"  // ESocketError

class TWakeEvent;

// What a datagram socket is bound with.
struct TUdpBindOptions {
  std::string LocalPort;        // decimal port or service name; empty binds any free port
  uint32_t AdapterAddress = 0;  // IPv4 address in network order; 0 binds every local address
  bool ReuseAddress = false;
  bool TxBroadcast = false;
  int TTL = 128;
};

class TUdpSocket final {
 public:
  static constexpr ssize_t kWouldBlock = -2;

  TUdpSocket() = default;
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;
  ~TUdpSocket() { Close(); }

  // Creates and binds the socket. Throws ESocketError with a message that says
  // what went wrong (port in use, needs privileges, unknown port or service).
  void Open(const TUdpBindOptions& Options);
  void Close();
  bool IsOpen() const { return FHandle >= 0; }
  int Handle() const { return FHandle; }
  // The port actually bound (the chosen one for port 0), 0 while closed.
  uint16_t LocalPort() const;

  // Waits up to TimeoutMs (negative: without limit) until a datagram is
  // waiting. Returns false when the time ran out, Wake (if given) was
  // signalled, or the socket is closed.
  bool WaitReadable(int TimeoutMs, const TWakeEvent* Wake = nullptr) const;
  bool WaitWritable(int TimeoutMs) const;

  // Never blocks: the datagram's size (cut to Size), kWouldBlock when none is
  // waiting, -1 on failure. From receives the sender.
  ssize_t ReceiveFrom(uint8_t* Buffer, size_t Size, sockaddr_in& From);
  // Sends one datagram, waiting up to TimeoutMs for room: bytes sent, 0 when
  // the socket stayed full, -1 on failure.
  ssize_t SendTo(const uint8_t* Data, size_t Size, int TimeoutMs, const sockaddr_in& To);

 private:
  int FHandle = -1;
};

// Port of a decimal number or known UDP service name; empty gives 0. Throws
// ESocketError for anything else.
uint16_t ResolveUdpPort(const std::string& Service);
// Dotted form of Host: empty gives "0.0.0.0"; a name is looked up and its first
// IPv4 address returned; text that is neither gives "".
std::string ResolveIPv4Address(const std::string& Host);
// A loopback or other IPv4 socket address from a dotted address and a port.
sockaddr_in MakeIPv4Address(const std::string& DottedAddress, uint16_t Port);
