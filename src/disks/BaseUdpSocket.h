// One datagram socket with the settings it is bound with: the receiver of the
// remote disk server owns one on its receive thread. Unlike a silent failure,
// opening raises ESocketError when the port cannot be bound, so a server that
// cannot serve says so at once.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "UdpSocket.h"

class TWakeEvent;

class TBaseUdpSocket final {
 public:
  static constexpr int DefaultTTL = 128;

  TBaseUdpSocket();
  TBaseUdpSocket(const TBaseUdpSocket&) = delete;
  TBaseUdpSocket& operator=(const TBaseUdpSocket&) = delete;

  // Dotted form of Host: empty gives "0.0.0.0", a host name its first IPv4
  // address, anything unresolvable "".
  static std::string ResolveAddress(const std::string& Host) { return ResolveIPv4Address(Host); }
  // Port of a number or service name; empty gives 0; ESocketError otherwise.
  static uint16_t ResolvePort(const std::string& Service) { return ResolveUdpPort(Service); }

  // Settings; they take effect at the next Open.
  std::string LocalPort;
  bool TxBroadcast = false;
  bool ReuseAddress = false;
  // Local address to bind ("" or "0.0.0.0": every address). An address that
  // does not resolve raises ESocketError.
  void SetAdapterAddress(const std::string& Text);
  uint32_t GetAdapterAddress() const { return FAdapterAddress; }
  // Time-to-live of sent datagrams, kept within 0..255.
  void SetTTL(int Value);
  int GetTTL() const { return FTTL; }

  bool GetActive() const { return FSocket.IsOpen(); }
  // True opens (Open), false closes (Close); no change when already so.
  void SetActive(bool Value);
  // Creates the socket and binds it; ESocketError when that fails.
  void Open();
  void Close() { FSocket.Close(); }
  int SocketHandle() const { return FSocket.Handle(); }
  uint16_t BoundPort() const { return FSocket.LocalPort(); }
  // Sender of the last datagram received (address 255.255.255.255 before any).
  const sockaddr_in& LastFrom() const { return FLastFrom; }

  bool WaitReadable(int TimeoutMs, const TWakeEvent* Wake = nullptr) const {
    return FSocket.WaitReadable(TimeoutMs, Wake);
  }
  bool WaitWritable(int TimeoutMs) const { return FSocket.WaitWritable(TimeoutMs); }
  // Takes a waiting datagram without blocking: its size, TUdpSocket::kWouldBlock
  // when none is waiting, -1 on failure. A datagram updates LastFrom.
  ssize_t ReceiveFrom(uint8_t* Buffer, size_t Size, sockaddr_in& From);
  // Bytes sent, 0 when the socket had no room within TimeoutMs, -1 on failure.
  ssize_t SendTo(const uint8_t* Data, size_t Length, int TimeoutMs, const sockaddr_in& To) {
    return FSocket.SendTo(Data, Length, TimeoutMs, To);
  }

 private:
  void ClearLastFrom();

  TUdpSocket FSocket;
  sockaddr_in FLastFrom{};
  uint32_t FAdapterAddress = 0;
  int FTTL = DefaultTTL;
};
