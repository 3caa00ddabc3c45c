// A TCP server that stands in for the host serial port behind the emulated
// COM1. It serves one client at a time and moves raw bytes, unchanged, between
// the client's socket and two 512-byte queues: the emulated machine reads and
// writes the queues, the client thread the socket. One lock guards both queues
// and is never held around a socket call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ByteFIFO.h"
#include "TcpSocket.h"
#include "WakeEvent.h"

class TMyClientThread;

// Count is set to the number of bytes taken (PutRxData) or given (GetTxData).
using TClientPutDataProc = std::function<void(TMyClientThread& Sender, const uint8_t* Buffer, int& Count, int Size)>;
using TClientGetDataProc = std::function<void(TMyClientThread& Sender, uint8_t* Buffer, int& Count, int Size)>;

// The server's client thread: accepts a client, serves it until it leaves, then
// waits for the next. It sleeps until there is something to do: the client
// sends or leaves, the client's socket takes more, the machine queues output
// (WakeForOutput) or makes room for received bytes that its queue refused
// (WakeForRoom).
//
// A client has left once it closed its side or reset the connection, also while
// its bytes still wait for room in the machine's queue. Every byte it sent
// before it left that the host still holds (after a close: all of them; after a
// reset: all that had arrived, which the host keeps) is taken from the socket
// and goes to the machine, in order, before any byte of the next client; the
// next client is accepted at once and receives the machine's output meanwhile.
// A client's close often turns into a reset by itself (its own side closes with
// the machine's output unread), so a reset drops nothing either.
class TMyClientThread final {
 public:
  TClientGetDataProc GetTxData;
  TClientPutDataProc PutRxData;

  explicit TMyClientThread(TTcpListener& Listener);
  TMyClientThread(const TMyClientThread&) = delete;
  TMyClientThread& operator=(const TMyClientThread&) = delete;
  ~TMyClientThread();  // terminates and joins

  // Connects the data events and starts the thread.
  void Start();
  void Terminate();
  // Output was queued for a thread that found none the last time it looked.
  void WakeForOutput() { FMachineWake.Signal(); }
  // The machine made room in a receive queue that refused bytes the last time.
  void WakeForRoom() { FMachineWake.Signal(); }
  // A client is connected and served.
  bool HasClient() const { return FHasClient.load(); }

 private:
  static constexpr int kTransferSize = 512;

  void Execute();
  void Serve(TTcpSocket& Client);
  void ServeUntilGone(TTcpSocket& Client);
  // One receive of up to kTransferSize bytes behind those already held: the
  // count, 0 when the client closed, TTcpSocket::kWouldBlock or -1.
  ssize_t ReceiveMore(TTcpSocket& Client);
  // Takes every byte that a client that left still has in its socket.
  void KeepWhatRemains(TTcpSocket& Client);
  // Passes received bytes on; true when any were taken.
  bool DeliverReceived();
  // Sleeps until a stop request, the machine's wake or the client's socket
  // (readable when Readable, writable when Writable) wakes it. False when the
  // client has left.
  bool Idle(TTcpSocket& Client, bool Readable, bool Writable);
  // Sleeps until a stop request, the machine's wake or Events on Handle;
  // returns the events that Handle reported.
  short WaitFor(int Handle, short Events);

  TTcpListener& FListener;
  TWakeEvent FWake;
  TWakeEvent FMachineWake;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FHasClient{false};
  uint8_t FTxBuffer[kTransferSize + 16] = {};
  int FTxCount = 0;
  int FTxSent = 0;
  // Received bytes not yet delivered start at FRxDelivered. It holds one
  // transfer while a client is served, and whatever a client that left still
  // had in its socket.
  std::vector<uint8_t> FRxBuffer;
  size_t FRxDelivered = 0;
  std::thread FThread;
};

class TTcpPortModule final {
 public:
  TTcpPortModule();
  TTcpPortModule(const TTcpPortModule&) = delete;
  TTcpPortModule& operator=(const TTcpPortModule&) = delete;
  ~TTcpPortModule();  // stops the server and joins its thread

  // Turning on listens on ListenPort and raises ESocketError when that fails
  // (port in use, not a port number, needs privileges). Turning off closes the
  // connection and joins the client thread. The queues are kept either way.
  void SetActive(bool Value);
  bool GetActive() const { return FActive.load(); }

  const std::string& GetListenPort() const { return FListenPort; }
  void SetListenPort(const std::string& Value) { FListenPort = Value; }
  // The local address to listen at; empty (the default) listens at all of them.
  const std::string& GetListenAddress() const { return FListenAddress; }
  void SetListenAddress(const std::string& Value) { FListenAddress = Value; }
  // The port actually listened on (the chosen one for ListenPort "0"), 0 while off.
  uint16_t GetLocalPort() const { return FListener.LocalPort(); }

  // The emulated machine's side; all false or without effect while inactive.
  bool RxReady();
  void ReadByte(uint8_t& Value);
  bool TxReady();
  // A byte for a full queue is dropped.
  void WriteByte(uint8_t Value);
  // A client is connected: the transmit queue drains as fast as it reads.
  // Without one the queue only keeps what the next client receives first.
  bool HasClient() const { return GetActive() && FClientThread && FClientThread->HasClient(); }

  // The client thread's side.
  void PutRxData(TMyClientThread& Sender, const uint8_t* Buffer, int& Count, int Size);
  void GetTxData(TMyClientThread& Sender, uint8_t* Buffer, int& Count, int Size);

 private:
  std::mutex FLock;
  // The client thread found the transmit queue empty and waits to be woken.
  bool FTransmitIdle = false;
  // The receive queue refused bytes of the client thread, which waits to be
  // woken once the machine has read half of the queue.
  bool FReceiveRefused = false;
  TByteFIFO FTransmitFIFO{512};
  TByteFIFO FReceiveFIFO{512};
  std::string FListenPort = "9999";
  std::string FListenAddress;
  std::atomic<bool> FActive{false};
  TTcpListener FListener;
  std::unique_ptr<TMyClientThread> FClientThread;
};
