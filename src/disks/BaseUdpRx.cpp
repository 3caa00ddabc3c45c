#include "BaseUdpRx.h"

#include "EmulatorError.h"

TBaseUdpSocketThread::TBaseUdpSocketThread(std::unique_ptr<TBaseUdpSocket> Socket, IMainThread* MainThread,
                                           bool SynchronizeCallbacks, TDeliverProc Deliver)
    : FSocket(std::move(Socket)),
      FSynchronizeCallbacks(SynchronizeCallbacks),
      FSync(SynchronizeCallbacks ? MainThread : nullptr),
      FDelivery(std::make_shared<TDelivery>()),
      FRxBuffer(RxBufferSize) {
  FDelivery->Deliver = std::move(Deliver);
}

TBaseUdpSocketThread::~TBaseUdpSocketThread() {
  Stop();
  if (FThread.joinable()) FThread.detach();  // only when destroyed on its own thread
}

void TBaseUdpSocketThread::Start() {
  if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

void TBaseUdpSocketThread::Stop() {
  // Order matters: first no more deliveries, then release a receive thread
  // that waits for the main thread, then wake and join it.
  FDelivery->Enabled = false;
  FTerminated = true;
  FSync.Cancel();
  FWake.Signal();
  if (FThread.joinable() && !IsReceiveThread()) FThread.join();
}

void TBaseUdpSocketThread::Execute() {
  sockaddr_in from{};
  while (!FTerminated) {
    const ssize_t received = FSocket->ReceiveFrom(FRxBuffer.data(), FRxBuffer.size(), from);
    if (received == TUdpSocket::kWouldBlock || received < 0) {
      // Nothing waiting (or a transient error such as a reported ICMP
      // failure): wait for the next datagram or a stop.
      FSocket->WaitReadable(WaitMs, &FWake);
      continue;
    }
    if (received == 0 || FTerminated) continue;
    const int size = static_cast<int>(received);
    const int handle = FSocket->SocketHandle();
    if (!FSynchronizeCallbacks) {
      if (FDelivery->Enabled) FDelivery->Deliver(FRxBuffer.data(), size, handle, from);
      continue;
    }
    // The main thread gets its own copy: the receive buffer may be gone by
    // the time a handler that stopped the receiver returns.
    auto bytes = std::make_shared<std::vector<uint8_t>>(FRxBuffer.begin(), FRxBuffer.begin() + size);
    FSync.Call([delivery = FDelivery, bytes, handle, from] {
      if (delivery->Enabled) delivery->Deliver(bytes->data(), static_cast<int>(bytes->size()), handle, from);
    });
  }
}

TBaseUdpRx::TBaseUdpRx(IMainThread* MainThread) : FMainThread(MainThread) {
  FLastFrom.sin_family = AF_INET;
  FLastFrom.sin_addr.s_addr = 0xFFFFFFFFu;
}

TBaseUdpRx::~TBaseUdpRx() {
  if (FThread && FThread->IsReceiveThread()) {
    // Destroyed from its own handler without synchronisation: the thread must
    // not be joined from itself; it ends on its own and nothing delivers.
    FThread->Stop();
    FThread.release();  // NOLINT: the thread object is left to the ending thread
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
