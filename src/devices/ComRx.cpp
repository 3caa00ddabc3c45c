#include "ComRx.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {
// Where the device has modem lines, they are looked at this often.
constexpr int kModemLinePollMs = 50;
// The least room worth a read: the port's decoder may give one byte more than
// it reads (see TSerialPort::Read).
constexpr uint32_t kLeastReadRoom = 2;

uint8_t ModemLineChanges(int before, int now) {
  uint8_t signals = 0;
  if ((now & TIOCM_RNG) && !(before & TIOCM_RNG)) signals |= ComSignalRing;
  if ((now ^ before) & TIOCM_CTS) signals |= ComSignalCts;
  if ((now ^ before) & TIOCM_DSR) signals |= ComSignalDsr;
  if ((now ^ before) & TIOCM_CD) signals |= ComSignalRlsd;
  return signals;
}

}  // namespace

TComRxThread::TComRxThread(TComRx& Owner, TSerialPort& Port, TEvents Events, bool SyncCallbacks,
                           IMainThread* MainThread)
    : FOwner(Owner),
      FPort(Port),
      FEvents(std::move(Events)),
      FSyncCallbacks(SyncCallbacks && MainThread != nullptr),
      FSync(MainThread) {}

namespace {
// The receive thread that the calling thread is, if any.
thread_local const TComRxThread* CurrentReceiveThread = nullptr;
}  // namespace

void TComRxThread::Start() {
  if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

bool TComRxThread::IsCurrentThread() const { return CurrentReceiveThread == this; }

// The thread says it is about to wait before it looks at the room; the
// receiver stores the room before it looks whether the thread waits. So either
// the thread sees the new room or the receiver sees it waiting and wakes it.
bool TComRxThread::ReceiverHasRoom() {
  FWaitingForRoom.store(true);
  if (FOwner.GetReceiveRoom() < kLeastReadRoom) return false;
  FWaitingForRoom.store(false);
  return true;
}

void TComRxThread::ReceiveRoomChanged() {
  if (FWaitingForRoom.exchange(false)) FWake.Signal();
}

TComRxThread::~TComRxThread() { Join(); }

void TComRxThread::Stop() {
  FStopped->store(true);
  FWake.Signal();
  FSync.Cancel();
}

void TComRxThread::Join() {
  Stop();
  if (FThread.joinable() && !IsCurrentThread()) FThread.join();
}

void TComRxThread::Deliver(std::function<void()> Work) {
  if (FSyncCallbacks)
    FSync.Call(std::move(Work));
  else
    Work();
}

void TComRxThread::Execute() {
  CurrentReceiveThread = this;
  std::optional<int> lines = FPort.GetModemLines();
  while (!FStopped->load()) {
    // While the receiver has no room the device is not watched at all: what
    // arrives stays with the driver, which holds the sender back.
    const bool room = ReceiverHasRoom();
    pollfd waits[2] = {{room ? FPort.Handle() : -1, POLLIN, 0}, {FWake.Handle(), POLLIN, 0}};
    const int ready = poll(waits, 2, lines ? kModemLinePollMs : -1);
    if (FStopped->load()) break;
    if (ready < 0 && errno != EINTR) {
      DoError(errno);
      break;
    }
    // A stop is seen above before the wake-up is cleared here, so no stop is lost.
    if (ready > 0 && (waits[1].revents & POLLIN)) FWake.Reset();
    TSerialInputEvents events;
    bool failed = false;
    if (room && ready > 0 && (waits[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
      failed = !ReadAvailable(events);
    if (FStopped->load()) break;

    uint8_t signals = events.Break ? ComSignalBreak : 0;
    if (lines) {
      if (std::optional<int> now = FPort.GetModemLines()) {
        signals |= ModemLineChanges(*lines, *now);
        lines = now;
      }
    }
    if (signals && FEvents.OnModemSignal) {
      Deliver([handler = FEvents.OnModemSignal, owner = &FOwner, stopped = FStopped, signals] {
        if (!stopped->load()) handler(*owner, signals);
      });
    }
    if (failed && !FStopped->load()) {
      // The device failed or hung up (unplugged, far end closed): there is
      // nothing left to wait for, so the thread ends after reporting it.
      DoError(FPort.LastError());
      break;
    }
  }
  FFinished.store(true);
}

bool TComRxThread::ReadAvailable(TSerialInputEvents& Events) {
  bool failed = false;
  while (!FStopped->load() && !failed) {
    // Take everything that is waiting, up to the buffer's size and the room the
    // receiver has, as one block.
    const size_t limit = std::min<size_t>(kReceiveBufferSize, FOwner.GetReceiveRoom());
    size_t count = 0;
    while (count + kLeastReadRoom <= limit) {
      const ssize_t got = FPort.Read(FBuffer.get() + count, limit - count, Events);
      if (got < 0) failed = true;
      if (got <= 0) break;
      count += static_cast<size_t>(got);
    }
    if (count == 0) break;
    FOwner.TakeReceiveRoom(static_cast<uint32_t>(count));
    if (!FEvents.OnDataBlock && !FEvents.OnData) continue;
    // Each delivered block has its own copy: a synchronised handler may still be
    // using it after the thread has been released from waiting for it.
    auto block = std::make_shared<std::vector<uint8_t>>(FBuffer.get(), FBuffer.get() + count);
    Deliver([block, events = FEvents, owner = &FOwner, stopped = FStopped] {
      if (stopped->load()) return;
      if (events.OnDataBlock) events.OnDataBlock(*owner, block->data(), static_cast<uint32_t>(block->size()));
      if (!events.OnData) return;
      for (uint8_t value : *block) {
        if (stopped->load()) return;
        events.OnData(*owner, value);
      }
    });
  }
  return !failed;
}

void TComRxThread::DoError(int Code) {
  if (!FEvents.OnError) return;
  Deliver([handler = FEvents.OnError, owner = &FOwner, stopped = FStopped, Code] {
    bool stop = stopped->load();
    handler(*owner, static_cast<uint32_t>(Code), stop);
    if (stop) stopped->store(true);
  });
}

TComRx::TComRx(IMainThread* MainThread) : FMainThread(MainThread) {}

TComRx::~TComRx() { ClosePort(); }

void TComRx::SetReceiveRoom(uint32_t Bytes) {
  FReceiveRoom.store(Bytes);
  if (FThread) FThread->ReceiveRoomChanged();
}

void TComRx::TakeReceiveRoom(uint32_t Bytes) {
  uint32_t room = FReceiveRoom.load();
  while (room != UnlimitedReceiveRoom &&
         !FReceiveRoom.compare_exchange_weak(room, room - std::min(room, Bytes))) {
  }
}

bool TComRx::GetActive() const { return FThread && !FThread->Finished(); }

void TComRx::SetActive(bool Value) {
  if (Value == GetActive()) return;
  if (Value)
    OpenPort();
  else
    ClosePort();
}

void TComRx::OpenPort() {
  ClosePort();
  if (FThread || FPort.IsOpen()) return;  // a close from the receive thread is still under way
  switch (FPort.Open(FPortName)) {
    case TSerialOpenResult::Opened: break;
    case TSerialOpenResult::InUse: throw EComPortInUse();
    case TSerialOpenResult::NotAccessible: throw EComInvalidPort();
  }
  if (!FPort.Configure(FOptions.BuildLineSettings())) {
    FPort.Close();
    throw EComSetOptions();
  }
  TComRxThread::TEvents events{OnData, OnDataBlock, OnModemSignal, OnError};
  FThread = std::make_unique<TComRxThread>(*this, FPort, std::move(events), FSyncCallbacks, FMainThread);
  FThread->Start();
}

void TComRx::ClosePort() {
  if (FThread) {
    if (FThread->IsCurrentThread()) {
      FThread->Stop();
      return;
    }
    FThread->Join();
    FThread.reset();
  }
  FPort.Close();
}

bool TComRx::TxReady() { return GetActive() && FPort.CanWrite(); }

bool TComRx::WriteByte(uint8_t Value, uint32_t TimeoutMs) {
  if (!GetActive() || !FPort.IsOpen()) return false;
  // The previous byte should be out first; once the time is up the byte still
  // goes to the driver if it has room, as a slow line only delays it.
  FPort.WaitCanWrite(static_cast<int>(std::min<uint32_t>(TimeoutMs, 60000)));
  switch (FPort.Write(Value)) {
    case TSerialWriteResult::Written: return true;
    case TSerialWriteResult::WouldBlock: return false;
    case TSerialWriteResult::Failed: break;
  }
  bool result = false;
  if (OnError) OnError(*this, static_cast<uint32_t>(FPort.LastError()), result);
  return result;
}
