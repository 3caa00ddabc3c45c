// A UDP receiver: a socket read by a thread of its own, whose datagrams reach
// the owner's OnDatagram event, on the main thread by default (so the handler
// needs no locks). The owner also sends through the same socket.
//
// Switching off joins the receive thread; no OnDatagram runs after SetActive
// (false) or destruction has returned, and the port is free again at once.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BaseUdpSocket.h"
#include "MainThread.h"
#include "WakeEvent.h"

class TBaseUdpRx;

// Data points to the datagram's bytes and is valid only during the call.
using TBaseUdpSocketRxProc = std::function<void(TBaseUdpRx& Sender, const uint8_t* Data, int DataSize, int SocketHandle,
                                                const sockaddr_in& FromAddress)>;

// Receives on its own thread from a socket that is already bound, and hands
// each datagram to Deliver, on the main thread when synchronised. Datagrams go
// to the main thread in batches of what has arrived meanwhile; the thread
// receives the next ones while the main thread handles a batch, but keeps at
// most MaxInFlight batches queued there (beyond that the host's socket buffer
// holds them, and drops them when full, as with any datagram socket).
class TBaseUdpSocketThread final {
 public:
  static constexpr int RxBufferSize = 8192;
  static constexpr int WaitMs = 50;
  // Datagrams handed to the main thread at most in one go.
  static constexpr size_t MaxBatch = 32;
  static constexpr int MaxInFlight = 2;
  using TDeliverProc =
      std::function<void(const uint8_t* Data, int DataSize, int SocketHandle, const sockaddr_in& From)>;

  TBaseUdpSocketThread(std::unique_ptr<TBaseUdpSocket> Socket, IMainThread* MainThread, bool SynchronizeCallbacks,
                       TDeliverProc Deliver);
  TBaseUdpSocketThread(const TBaseUdpSocketThread&) = delete;
  TBaseUdpSocketThread& operator=(const TBaseUdpSocketThread&) = delete;
  ~TBaseUdpSocketThread();  // stops and joins

  void Start();
  // Stops delivering at once and ends the thread; joins unless called on the
  // receive thread itself.
  void Stop();
  // For an owner that goes away on the receive thread itself: stops the
  // thread, which frees itself when it has ended.
  static void FreeWhenEnded(std::unique_ptr<TBaseUdpSocketThread> Thread);
  TBaseUdpSocket& Socket() { return *FSocket; }
  bool IsReceiveThread() const { return std::this_thread::get_id() == FThread.get_id(); }

 private:
  // Shared with the work posted to the main thread, so that a call still
  // queued there outlives this object harmlessly.
  struct TDelivery {
    std::atomic<bool> Enabled{true};
    TDeliverProc Deliver;
    std::mutex Lock;
    std::condition_variable Drained;
    int InFlight = 0;  // batches posted to the main thread and not yet run
  };

  struct TDatagram {
    std::vector<uint8_t> Bytes;
    sockaddr_in From;
  };

  void Run();
  void Execute();
  // Waits until the main thread has room for another batch; false when stopping.
  bool WaitForRoom();

  std::unique_ptr<TBaseUdpSocket> FSocket;
  IMainThread* FMainThread;
  std::shared_ptr<TDelivery> FDelivery;
  TWakeEvent FWake;
  std::atomic<bool> FTerminated{false};
  std::mutex FStartLock;
  bool FFreeWhenEnded = false;  // set and read on the receive thread only
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
