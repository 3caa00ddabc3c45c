#include "BaseUdpRx.h"

#include "EmulatorError.h"

TBaseUdpSocketThread::TBaseUdpSocketThread(std::unique_ptr<TBaseUdpSocket> Socket, IMainThread* MainThread,
                                           bool SynchronizeCallbacks, TDeliverProc Deliver)
    : FSocket(std::move(Socket)),
      FMainThread(SynchronizeCallbacks ? MainThread : nullptr),
      FDelivery(std::make_shared<TDelivery>()),
      FRxBuffer(RxBufferSize) {
  FDelivery->Deliver = std::move(Deliver);
}

TBaseUdpSocketThread::~TBaseUdpSocketThread() { Stop(); }

void TBaseUdpSocketThread::Start() {
  // Run waits for this lock, so the thread sees FThread assigned.
  std::lock_guard<std::mutex> started(FStartLock);
  if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
}

void TBaseUdpSocketThread::Stop() {
  // Order matters: first no more deliveries (batches still queued on the main
  // thread then do nothing), then release a receive thread that waits for
  // room on the main thread or for datagrams, then join it.
  FDelivery->Enabled = false;
  {
    std::lock_guard<std::mutex> guard(FDelivery->Lock);
    FTerminated = true;
  }
  FDelivery->Drained.notify_all();
  FWake.Signal();
  if (FThread.joinable() && !IsReceiveThread()) FThread.join();
}

void TBaseUdpSocketThread::FreeWhenEnded(std::unique_ptr<TBaseUdpSocketThread> Thread) {
  if (!Thread || !Thread->IsReceiveThread()) return;  // elsewhere it is joined and freed as usual
  Thread->Stop();
  Thread->FFreeWhenEnded = true;
  Thread.release();  // owned by its own thread from now on; see Run
}

void TBaseUdpSocketThread::Run() {
  { std::lock_guard<std::mutex> started(FStartLock); }
  Execute();
  if (FFreeWhenEnded) {
    FThread.detach();
    delete this;
  }
}

void TBaseUdpSocketThread::Execute() {
  sockaddr_in from{};
  const int handle = FSocket->SocketHandle();
  while (!FTerminated) {
    const ssize_t received = FSocket->ReceiveFrom(FRxBuffer.data(), FRxBuffer.size(), from);
    if (received == TUdpSocket::kWouldBlock || received < 0) {
      // Nothing waiting (or a transient error such as a reported ICMP
      // failure): wait for the next datagram or a stop.
      FSocket->WaitReadable(WaitMs, &FWake);
      continue;
    }
    if (received == 0 || FTerminated) continue;
    if (!FMainThread) {
      if (FDelivery->Enabled && FDelivery->Deliver)
        FDelivery->Deliver(FRxBuffer.data(), static_cast<int>(received), handle, from);
      continue;
    }
    // The main thread gets copies: the receive buffer is reused at once, and
    // may be gone by the time a handler that stopped the receiver returns.
    auto batch = std::make_shared<std::vector<TDatagram>>();
    batch->push_back({std::vector<uint8_t>(FRxBuffer.begin(), FRxBuffer.begin() + received), from});
    while (batch->size() < MaxBatch) {
      const ssize_t more = FSocket->ReceiveFrom(FRxBuffer.data(), FRxBuffer.size(), from);
      if (more < 0) break;
      if (more > 0) batch->push_back({std::vector<uint8_t>(FRxBuffer.begin(), FRxBuffer.begin() + more), from});
    }
    if (!WaitForRoom()) break;
    FMainThread->Post([delivery = FDelivery, batch, handle] {
      for (const TDatagram& datagram : *batch) {
        // A handler may switch the receiver off: the rest is then dropped.
        if (!delivery->Enabled || !delivery->Deliver) break;
        delivery->Deliver(datagram.Bytes.data(), static_cast<int>(datagram.Bytes.size()), handle, datagram.From);
      }
      {
        std::lock_guard<std::mutex> guard(delivery->Lock);
        --delivery->InFlight;
      }
      delivery->Drained.notify_all();
    });
  }
}

bool TBaseUdpSocketThread::WaitForRoom() {
  std::unique_lock<std::mutex> guard(FDelivery->Lock);
  FDelivery->Drained.wait(guard, [this] { return FTerminated || FDelivery->InFlight < MaxInFlight; });
  if (FTerminated) return false;
  ++FDelivery->InFlight;
  return true;
}

TBaseUdpRx::TBaseUdpRx(IMainThread* MainThread) : FMainThread(MainThread) {
  FLastFrom.sin_family = AF_INET;
  FLastFrom.sin_addr.s_addr = 0xFFFFFFFFu;
}

TBaseUdpRx::~TBaseUdpRx() {
  if (FThread && FThread->IsReceiveThread()) {
    // Destroyed from its own handler without synchronisation: a thread cannot
    // join itself, so it stops delivering, ends after the handler returns and
    // frees itself then.
    TBaseUdpSocketThread::FreeWhenEnded(std::move(FThread));
    return;
  }
  SetActive(false);
}

void TBaseUdpRx::SetActive(bool Value) {
  if (Value == GetActive()) return;
  if (!Value) {
    if (FThread->IsReceiveThread())
      throw EEmulatorError("The UDP receiver cannot be switched off from its own receive thread");
    // Moved out first so that a handler that runs re-entrantly sees inactive.
    std::unique_ptr<TBaseUdpSocketThread> thread = std::move(FThread);
    thread->Stop();
    return;
  }
  auto socket = std::make_unique<TBaseUdpSocket>();
  socket->LocalPort = LocalPort;
  socket->TxBroadcast = TxBroadcast;
  socket->ReuseAddress = ReuseAddress;
  socket->SetTTL(FTTL);
  socket->SetAdapterAddress(AdapterAddress);
  socket->Open();
  FThread = std::make_unique<TBaseUdpSocketThread>(
      std::move(socket), FMainThread, SynchronizeCallbacks,
      [this](const uint8_t* Data, int DataSize, int SocketHandle, const sockaddr_in& From) {
        Forward(Data, DataSize, SocketHandle, From);
      });
  FThread->Start();
}

uint16_t TBaseUdpRx::BoundPort() const { return FThread ? FThread->Socket().BoundPort() : 0; }

bool TBaseUdpRx::Send(const sockaddr_in& To, int TimeoutMs, int Length, const uint8_t* Data) {
  if (!FThread || Length < 0) return false;
  return FThread->Socket().SendTo(Data, static_cast<size_t>(Length), TimeoutMs, To) == Length;
}

void TBaseUdpRx::Forward(const uint8_t* Data, int DataSize, int SocketHandle, const sockaddr_in& From) {
  FLastFrom = From;
  if (OnDatagram) OnDatagram(*this, Data, DataSize, SocketHandle, From);
}
