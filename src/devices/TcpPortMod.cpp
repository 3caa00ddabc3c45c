#include "TcpPortMod.h"

#include <poll.h>

TMyClientThread::TMyClientThread(TTcpListener& Listener) : FListener(Listener) {}

TMyClientThread::~TMyClientThread() {
  Terminate();
  if (FThread.joinable()) FThread.join();
}

void TMyClientThread::Start() {
  if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

void TMyClientThread::Terminate() {
  FTerminated.store(true);
  FWake.Signal();
}

void TMyClientThread::Execute() {
  while (!FTerminated.load()) {
    // Bytes that a client sent just before it left still go to the machine;
    // until they have, accept waits only briefly between tries.
    DeliverReceived();
    const bool undelivered = FRxDelivered < FRxCount;
    std::optional<TTcpSocket> client = FListener.Accept(FWake, undelivered ? 1 : -1);
    if (client) Serve(*client);
  }
}

void TMyClientThread::Serve(TTcpSocket& Client) {
  FHasClient.store(true);
  ServeUntilGone(Client);
  FHasClient.store(false);
}

void TMyClientThread::ServeUntilGone(TTcpSocket& Client) {
  while (!FTerminated.load()) {
    bool activity = false;
    if (FTxSent == FTxCount && GetTxData) {
      int count = 0;
      GetTxData(*this, FTxBuffer, count, kTransferSize);
      FTxCount = count;
      FTxSent = 0;
    }
    if (FTxSent < FTxCount) {
      const ssize_t sent = Client.Send(FTxBuffer + FTxSent, static_cast<size_t>(FTxCount - FTxSent));
      if (sent < 0) return;  // the connection broke; unsent bytes wait for the next client
      FTxSent += static_cast<int>(sent);
      activity = sent > 0;
    }
    if (!activity) {
      bool closed = false;
      if (FRxDelivered == FRxCount) {
        bool failed = false;
        if (Client.WaitReadable(0, failed)) {
          const ssize_t got = Client.Receive(FRxBuffer, kTransferSize);
          if (got > 0) {
            FRxCount = static_cast<int>(got);
            FRxDelivered = 0;
          } else if (got != TTcpSocket::kWouldBlock) {
            closed = true;  // 0: the client closed; -1: the connection failed
          }
        } else if (failed) {
          closed = true;
        }
      }
      activity = DeliverReceived();
      if (closed) return;
    }
    if (!activity) Idle(Client, FRxDelivered == FRxCount, FTxSent < FTxCount);
  }
}

bool TMyClientThread::DeliverReceived() {
  if (FRxDelivered >= FRxCount || !PutRxData) return false;
  int taken = 0;
  PutRxData(*this, FRxBuffer + FRxDelivered, taken, FRxCount - FRxDelivered);
  FRxDelivered += taken;
  return taken > 0;
}

void TMyClientThread::Idle(TTcpSocket& Client, bool Readable, bool Writable) {
  const short events = static_cast<short>((Readable ? POLLIN : 0) | (Writable ? POLLOUT : 0));
  pollfd waits[3] = {{FWake.Handle(), POLLIN, 0}, {FOutputWake.Handle(), POLLIN, 0}, {Client.Handle(), events, 0}};
  // A socket that fails or hangs up wakes the poll even without events asked for.
  poll(waits, 3, Readable ? -1 : 1);
  if (waits[1].revents & POLLIN) FOutputWake.Reset();
}

TTcpPortModule::TTcpPortModule() = default;

TTcpPortModule::~TTcpPortModule() { SetActive(false); }

void TTcpPortModule::SetActive(bool Value) {
  if (Value == GetActive()) return;
  if (Value) {
    FListener.Listen(FListenPort, FListenAddress);
    FClientThread = std::make_unique<TMyClientThread>(FListener);
    FClientThread->GetTxData = [this](TMyClientThread& sender, uint8_t* buffer, int& count, int size) {
      GetTxData(sender, buffer, count, size);
    };
    FClientThread->PutRxData = [this](TMyClientThread& sender, const uint8_t* buffer, int& count, int size) {
      PutRxData(sender, buffer, count, size);
    };
    FClientThread->Start();
    FActive.store(true);
  } else {
    FActive.store(false);
    FClientThread.reset();  // joins; the client's socket closes with it
    FListener.Close();
  }
}

void TTcpPortModule::PutRxData(TMyClientThread&, const uint8_t* Buffer, int& Count, int Size) {
  std::lock_guard<std::mutex> guard(FLock);
  Count = 0;
  while (Count < Size && FReceiveFIFO.Put(Buffer[Count])) ++Count;
}

void TTcpPortModule::GetTxData(TMyClientThread&, uint8_t* Buffer, int& Count, int Size) {
  std::lock_guard<std::mutex> guard(FLock);
  Count = 0;
  while (Count < Size && FTransmitFIFO.Get(Buffer[Count])) ++Count;
  FTransmitIdle = Count == 0;
}

bool TTcpPortModule::RxReady() {
  if (!GetActive()) return false;
  std::lock_guard<std::mutex> guard(FLock);
  return FReceiveFIFO.Count() > 0;
}

void TTcpPortModule::ReadByte(uint8_t& Value) {
  if (!GetActive()) return;
  std::lock_guard<std::mutex> guard(FLock);
  FReceiveFIFO.Get(Value);
}

bool TTcpPortModule::TxReady() {
  if (!GetActive()) return false;
  std::lock_guard<std::mutex> guard(FLock);
  return FTransmitFIFO.Count() < FTransmitFIFO.Capacity();
}

void TTcpPortModule::WriteByte(uint8_t Value) {
  if (!GetActive()) return;
  std::lock_guard<std::mutex> guard(FLock);
  FTransmitFIFO.Put(Value);
  // Only a thread that found nothing to send sleeps on the queue; one busy
  // sending comes back for the byte by itself.
  if (FTransmitIdle) {
    FTransmitIdle = false;
    FClientThread->WakeForOutput();
  }
}
