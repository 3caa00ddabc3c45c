// A UDP receiver: a socket read by a thread of its own, whose datagrams reach
// the owner's OnDatagram event, on the main thread by default (so the handler
// needs no locks). The owner also sends through the same socket.
//
// Switching off joins the receive thread; no OnDatagram runs after SetActive
// (false) or destruction has returned, and the port is free again at once.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BaseUdpSocket.h"
#include "MainThread.h"
#include "WakeEvent.h"

class TBaseUdpRx;

// Data points to the datagram's bytes and is valid only during the call.
using TBaseUdpSocketRxProc = std::function<void(TBaseUdpRx& Sender, const uint8_t* Data, int DataSize,
                                                int SocketHandle, const sockaddr_in& FromAddress)>;

// Receives on its own thread from a socket that is already bound, and hands
// each datagram to Deliver, through the main thread when synchronised.
class TBaseUdpSocketThread final {
 public:
  static constexpr int RxBufferSize = 8192;
  static constexpr int WaitMs = 50;
  using TDeliverProc = std::function<void(const uint8_t* Data, int DataSize, int SocketHandle, const sockaddr_in& From)>;

  TBaseUdpSocketThread(std::unique_ptr<TBaseUdpSocket> Socket, IMainThread* MainThread, bool SynchronizeCallbacks,
                       TDeliverProc Deliver);
  TBaseUdpSocketThread(const TBaseUdpSocketThread&) = delete;
  TBaseUdpSocketThread& operator=(const TBaseUdpSocketThread&) = delete;
  ~TBaseUdpSocketThread();  // stops and joins

  void Start();
  // Stops delivering at once and ends the thread; joins unless called on the
  // receive thread itself.
  void Stop();
  TBaseUdpSocket& Socket() { return *FSocket; }
  bool IsReceiveThread() const { return std::this_thread::get_id() == FThread.get_id(); }

 private:
  // Shared with the work posted to the main thread, so that a call still
  // queued there outlives this object harmlessly.
  struct TDelivery {
    std::atomic<bool> Enabled{true};
    TDeliverProc Deliver;
  };

  void Execute();

  std::unique_ptr<TBaseUdpSocket> FSocket;
  bool FSynchronizeCallbacks;
  TMainThreadSync FSync;
  std::shared_ptr<TDelivery> FDelivery;
  TWakeEvent FWake;
  std::atomic<bool> FTerminated{false};
  std::vector<uint8_t> FRxBuffer;
  std::thread FThread;
};

class TBaseUdpRx final {
 public:
  explicit TBaseUdpRx(IMainThread* MainThread = GetMainThread());
  TBaseUdpRx(const TBaseUdpRx&) = delete;
  TBaseUdpRx& operator=(const TBaseUdpRx&) = delete;
  ~TBaseUdpRx();  // switches off first

  TBaseUdpSocketRxProc OnDatagram;

  // True binds the socket on the calling thread (ESocketError when that fails:
  // port in use, needs privileges, bad port or address) and starts receiving.
  // False stops receiving and joins the thread. Call from the owner's thread
  // (or from OnDatagram when synchronised).
  void SetActive(bool Value);
  bool GetActive() const { return FThread != nullptr; }

  // Settings; they take effect at the next activation.
  bool SynchronizeCallbacks = true;
  bool TxBroadcast = false;
  bool ReuseAddress = false;
  std::string AdapterAddress;  // empty: every local address
  std::string LocalPort;       // number or service name; empty or "0": any free port
  void SetTTL(int Value) { FTTL = Value < 0 ? 0 : (Value > 255 ? 255 : Value); }
  int GetTTL() const { return FTTL; }

  // The port actually bound while active (the chosen one for port 0), else 0.
  uint16_t BoundPort() const;
  // Sender of the last datagram delivered.
  const sockaddr_in& LastFrom() const { return FLastFrom; }

  // Sends one datagram through the receive socket; true exactly when all of it
  // went out within TimeoutMs. False while inactive.
  bool Send(const sockaddr_in& To, int TimeoutMs, int Length, const uint8_t* Data);

 private:
  void Forward(const uint8_t* Data, int DataSize, int SocketHandle, const sockaddr_in& From);

  IMainThread* FMainThread;
  int FTTL = TBaseUdpSocket::DefaultTTL;
  sockaddr_in FLastFrom{};
  std::unique_ptr<TBaseUdpSocketThread> FThread;
};
