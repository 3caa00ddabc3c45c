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
    // Bytes of a client that left go to the machine as it makes room; the
    // next client is accepted meanwhile.
    DeliverReceived();
    if (WaitFor(FListener.Handle(), POLLIN) & POLLIN) {
      std::optional<TTcpSocket> client = FListener.Accept(FWake, 0);
      if (client) Serve(*client);
    }
  }
}

void TMyClientThread::Serve(TTcpSocket& Client) {
  FHasClient.store(true);
  ServeUntilGone(Client);
  FHasClient.store(false);
  if (!FTerminated.load()) KeepWhatRemains(Client);
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
      if (FRxDelivered == FRxBuffer.size()) {
        FRxBuffer.clear();
        FRxDelivered = 0;
        // What a client that left had sent may have grown it far beyond a transfer.
        if (FRxBuffer.capacity() > kTransferSize) FRxBuffer.shrink_to_fit();
        bool failed = false;
        if (Client.WaitReadable(0, failed)) {
          const ssize_t got = ReceiveMore(Client);
          closed = got == 0 || got == -1;  // 0: the client closed; -1: the connection failed
        } else if (failed) {
          closed = true;
        }
      }
      activity = DeliverReceived();
      if (closed) return;
    }
    if (!activity && !Idle(Client, FRxDelivered == FRxBuffer.size(), FTxSent < FTxCount)) return;
  }
}

ssize_t TMyClientThread::ReceiveMore(TTcpSocket& Client) {
  const size_t held = FRxBuffer.size();
  FRxBuffer.resize(held + kTransferSize);
  const ssize_t got = Client.Receive(FRxBuffer.data() + held, kTransferSize);
  FRxBuffer.resize(held + static_cast<size_t>(got > 0 ? got : 0));
  return got;
}

void TMyClientThread::KeepWhatRemains(TTcpSocket& Client) {
  FRxBuffer.erase(FRxBuffer.begin(), FRxBuffer.begin() + static_cast<ptrdiff_t>(FRxDelivered));
  FRxDelivered = 0;
  // The client closed its side or reset the connection, so nothing follows what
  // the socket holds now; the host's receive buffer bounds it.
  while (ReceiveMore(Client) > 0) {
  }
}

bool TMyClientThread::DeliverReceived() {
  if (FRxDelivered >= FRxBuffer.size() || !PutRxData) return false;
  int taken = 0;
  PutRxData(*this, FRxBuffer.data() + FRxDelivered, taken, static_cast<int>(FRxBuffer.size() - FRxDelivered));
  FRxDelivered += static_cast<size_t>(taken);
  return taken > 0;
}

bool TMyClientThread::Idle(TTcpSocket& Client, bool Readable, bool Writable) {
  // Asked for or not, a reset or a hang-up is reported; a close only when asked
  // for (POLLRDHUP), and then also while the thread receives nothing.
  const short events = static_cast<short>(POLLRDHUP | (Readable ? POLLIN : 0) | (Writable ? POLLOUT : 0));
  return !(WaitFor(Client.Handle(), events) & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

short TMyClientThread::WaitFor(int Handle, short Events) {
  pollfd waits[3] = {{FWake.Handle(), POLLIN, 0}, {FMachineWake.Handle(), POLLIN, 0}, {Handle, Events, 0}};
  if (poll(waits, 3, -1) <= 0) return 0;  // interrupted: the caller looks again
  if (waits[1].revents & POLLIN) FMachineWake.Reset();
  return waits[2].revents;
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
  FReceiveRefused = Count < Size;
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
  // A thread whose bytes the queue refused sleeps until half the queue is free
  // again, so that it refills it in a few large steps, not one per byte read.
  if (FReceiveFIFO.Get(Value) && FReceiveRefused && FReceiveFIFO.Count() <= FReceiveFIFO.Capacity() / 2) {
    FReceiveRefused = false;
    FClientThread->WakeForRoom();
  }
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
