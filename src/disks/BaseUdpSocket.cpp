#include "BaseUdpSocket.h"

#include <arpa/inet.h>

TBaseUdpSocket::TBaseUdpSocket() { ClearLastFrom(); }

void TBaseUdpSocket::ClearLastFrom() {
  FLastFrom = sockaddr_in{};
  FLastFrom.sin_family = AF_INET;
  FLastFrom.sin_addr.s_addr = 0xFFFFFFFFu;
}

void TBaseUdpSocket::SetAdapterAddress(const std::string& Text) {
  const std::string dotted = ResolveAddress(Text);
  in_addr parsed{};
  if (dotted.empty() || inet_pton(AF_INET, dotted.c_str(), &parsed) != 1)
    throw ESocketError("\"" + Text + "\" is not a local IPv4 address");
  FAdapterAddress = parsed.s_addr;
}

void TBaseUdpSocket::SetTTL(int Value) { FTTL = Value < 0 ? 0 : (Value > 255 ? 255 : Value); }

void TBaseUdpSocket::SetActive(bool Value) {
  if (Value == GetActive()) return;
  if (Value)
    Open();
  else
    Close();
}

void TBaseUdpSocket::Open() {
  ClearLastFrom();
  TUdpBindOptions options;
  options.LocalPort = LocalPort;
  options.AdapterAddress = FAdapterAddress;
  options.ReuseAddress = ReuseAddress;
  options.TxBroadcast = TxBroadcast;
  options.TTL = FTTL;
  FSocket.Open(options);
}

ssize_t TBaseUdpSocket::ReceiveFrom(uint8_t* Buffer, size_t Size, sockaddr_in& From) {
  const ssize_t got = FSocket.ReceiveFrom(Buffer, Size, From);
  if (got >= 0) FLastFrom = From;
  return got;
}
