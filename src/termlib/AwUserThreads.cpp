// The three threads of a dispatcher and the hand-overs between them.
//
// The communications thread waits in the device layer (poll) and hands each
// event to the dispatch thread, then waits until the dispatch thread has dealt
// with it, so the two run in lock step. The dispatch thread also wakes every
// 50 ms on its own to run the timer and status triggers. The output thread
// sleeps until output is queued and then writes the transmit ring out.
//
// Stopping sets the kill flag, wakes every wait (the condition variables, the
// two wake descriptors and any call waiting for the main thread) and joins the
// threads with no lock held, so it cannot deadlock against a thread that waits
// for a lock or for the main thread.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "AdExcept.h"
#include "AwUser.h"

namespace {
// How long the dispatch thread sleeps when nothing happens.
constexpr auto DispatchTick = std::chrono::milliseconds(50);
// How long StartDispatcher waits for each thread to report that it runs.
constexpr int StartHandshakeMs = 3000;

// The host's nice value for a priority on the scale idle 0 .. time critical 6
// (normal is 3). Raising a thread above normal needs the right to do so; a
// refusal leaves the thread at normal.
int NiceOfLevel(int Level) {
  if (Level <= 0) return 19;
  return std::clamp((3 - Level) * 5, -20, 19);
}

void WaitForWake(TWakeEvent& Wake, int TimeoutMs) {
  pollfd entry{Wake.Handle(), POLLIN, 0};
  poll(&entry, 1, TimeoutMs);
}
}  // namespace

// The state shared by the calls that the dispatch thread runs on the main thread.
struct TApdBaseDispatcher::TMainCalls {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Cancelled = false;
};

// ---------------------------------------------------------------------------
// TApdDispatcherThread

TApdDispatcherThread::~TApdDispatcherThread() { Join(); }

void TApdDispatcherThread::Join() {
  if (FThread.joinable() && !IsCurrentThread()) FThread.join();
}

void TApdDispatcherThread::Start() {
  FThread = std::thread([this] {
    FSystemId = static_cast<int>(gettid());
    FDispatcher.ApplyThreadPriority(*this, FRole == Output);
    Execute();
    FDispatcher.ThreadGone(this);
  });
}

bool TApdDispatcherThread::SynchronizedCall(uint32_t Msg, uint32_t Param, uint32_t LParam,
                                            const TApdEventProc& Method) {
  return FDispatcher.CallOnMainThread([&Method, Msg, Param, LParam] { Method(Msg, Param, LParam); }, -1);
}

void TComThread::Execute() {
  TApdBaseDispatcher& dispatcher = FDispatcher;
  dispatcher.SignalHandshake();
  while (!dispatcher.KillThreads()) {
    uint32_t mask = 0;
    if (!dispatcher.WaitEvent(mask)) break;  // the device failed
    if (dispatcher.KillThreads()) break;
    if (mask == 0) continue;  // only woken (room in the ring, or a stop)
    if (mask & (EvRing | EvRingTe)) dispatcher.FRingSeen = true;
    dispatcher.PostCommEvent(mask);
    dispatcher.WaitEventDone();
  }
  dispatcher.SignalHandshake();
}

void TDispThread::Execute() {
  TApdBaseDispatcher& dispatcher = FDispatcher;
  dispatcher.SignalHandshake();
  for (;;) {
    uint32_t mask = 0;
    const bool event = dispatcher.WaitCommEvent(mask);
    if (dispatcher.KillThreads()) break;
    dispatcher.ProcessCommEvent(mask, event);
    dispatcher.CheckTriggers();
    if (dispatcher.KillThreads() || dispatcher.FClosePending.load()) {
      dispatcher.SignalHandshake();
      break;
    }
  }
}

void TOutThread::Execute() { FDispatcher.OutputLoop(); }

// ---------------------------------------------------------------------------
// Starting and stopping

void TApdBaseDispatcher::StartThreads() {
  if (FThreadsStarted.load()) throw EAPDException("Dispatcher already started");
  JoinThreadObjects();
  FKillThreads = false;
  FThreadsStarted = true;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FMainCalls = std::make_shared<TMainCalls>();
    FCommEvent = FEventDone = FDispNudge = false;
  }
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FHandshake = false;
    ++FActiveThreads;
    FComRunning = true;
    FComThread = std::make_unique<TComThread>(*this);
  }
  WaitHandshake(StartHandshakeMs);
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FHandshake = false;
    ++FActiveThreads;
    FDispRunning = true;
    FDispThread = std::make_unique<TDispThread>(*this);
    FDispThreadId = FDispThread->Id();
  }
  WaitHandshake(StartHandshakeMs);
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FHandshake = false;
    ++FActiveThreads;
    FOutRunning = true;
    FOutThread = std::make_unique<TOutThread>(*this);
  }
  WaitHandshake(StartHandshakeMs);
}

void TApdBaseDispatcher::StopThreads() {
  FKillThreads = true;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FThreadSignal.notify_all();
  }
  if (FComWake) FComWake->Signal();
  if (FOutWake) FOutWake->Signal();
  CancelMainThreadCalls();
  JoinThreadObjects();
}

void TApdBaseDispatcher::StopDeviceThreads() {
  // The communications and output threads use the descriptor: they end, and
  // are joined, before it is closed. The dispatch thread ends too (kill), but
  // it may be the caller, so it is joined later.
  FKillThreads = true;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FThreadSignal.notify_all();
  }
  if (FComWake) FComWake->Signal();
  if (FOutWake) FOutWake->Signal();
  CancelMainThreadCalls();
  std::unique_ptr<TComThread> com;
  std::unique_ptr<TOutThread> out;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    if (FComThread && !FComThread->IsCurrentThread()) com = std::move(FComThread);
    if (FOutThread && !FOutThread->IsCurrentThread()) out = std::move(FOutThread);
  }
  out.reset();
  com.reset();
  // Another caller may have taken them to join; wait until they are gone anyway.
  std::unique_lock<std::mutex> guard(FThreadLock);
  FThreadSignal.wait(guard, [&] { return !FComRunning && !FOutRunning; });
}

void TApdBaseDispatcher::ThreadGone(TApdDispatcherThread* Thread) {
  const bool dispatchThread = Thread->Role() == TApdDispatcherThread::Dispatch;
  // A close asked for by a handler ends here, on the dispatch thread.
  if (dispatchThread && FClosePending.load()) ReleaseBuffers();
  std::lock_guard<std::mutex> guard(FThreadLock);
  if (dispatchThread)
    FDispRunning = false;
  else if (Thread->Role() == TApdDispatcherThread::Communications)
    FComRunning = false;
  else
    FOutRunning = false;
  if (--FActiveThreads == 0) FThreadsStarted = false;
  // Notified under the lock: whoever waits for this may destroy the dispatcher next.
  FThreadSignal.notify_all();
}

void TApdBaseDispatcher::SignalHandshake() {
  std::lock_guard<std::mutex> guard(FThreadLock);
  FHandshake = true;
  FThreadSignal.notify_all();
}

bool TApdBaseDispatcher::WaitHandshake(int TimeoutMs) {
  std::unique_lock<std::mutex> guard(FThreadLock);
  const bool shaken = FThreadSignal.wait_for(guard, std::chrono::milliseconds(TimeoutMs), [&] { return FHandshake; });
  FHandshake = false;
  return shaken;
}

void TApdBaseDispatcher::PostCommEvent(uint32_t Mask) {
  std::lock_guard<std::mutex> guard(FThreadLock);
  FLastEventMask = Mask;
  FCommEvent = true;
  FThreadSignal.notify_all();
}

void TApdBaseDispatcher::WaitEventDone() {
  std::unique_lock<std::mutex> guard(FThreadLock);
  FThreadSignal.wait(guard, [&] { return FEventDone || FKillThreads.load(); });
  FEventDone = false;
}

bool TApdBaseDispatcher::WaitCommEvent(uint32_t& Mask) {
  std::unique_lock<std::mutex> guard(FThreadLock);
  FThreadSignal.wait_for(guard, DispatchTick, [&] { return FCommEvent || FDispNudge || FKillThreads.load(); });
  const bool event = FCommEvent;
  Mask = event ? FLastEventMask : 0;
  FCommEvent = FDispNudge = false;
  return event;
}

void TApdBaseDispatcher::WakeDispatchThread() {
  std::lock_guard<std::mutex> guard(FThreadLock);
  FDispNudge = true;
  FThreadSignal.notify_all();
}

// ---------------------------------------------------------------------------
// The dispatch thread's work

void TApdBaseDispatcher::ProcessCommEvent(uint32_t Mask, bool FromComThread) {
  auto statusChecks = [this] {
    while (!FClosePending.load() && StatusTriggerCheck()) {
    }
  };
  if (Mask & (EvCts | EvDsr | EvRlsd | EvRing | EvRingTe)) {
    UpdateModemDeltas();
    statusChecks();
  }
  if (Mask & (EvBreak | EvErr)) {
    RefreshLineErrors();
    statusChecks();
  }
  ReadIntoRing();
  if (!FClosePending.load()) {
    UpdateModemDeltas();
    statusChecks();
    while (!FClosePending.load() && DataTriggerCheck()) {
    }
  }
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    if (FStatusTriggerFired) ResetStatusTriggersLocked();
  }
  if (FromComThread) {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FEventDone = true;
    FThreadSignal.notify_all();
  }
}

void TApdBaseDispatcher::CheckTriggers() {
  if (FClosePending.load()) return;
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    FStatusTriggerFired = false;
  }
  while (!FClosePending.load() && (StatusTriggerCheck() || TimerTriggerCheck())) {
  }
  std::lock_guard<std::mutex> guard(FDataSection);
  if (FStatusTriggerFired) ResetStatusTriggersLocked();
}

// ---------------------------------------------------------------------------
// The output thread's work

void TApdBaseDispatcher::OutputLoop() {
  SignalHandshake();
  // RTS raised by this thread for the transmission under way (RS-485 keyed here).
  bool keyed = false;
  for (;;) {
    FOutWake->Reset();
    if (FKillThreads.load() || FClosePending.load()) break;
    if (keyed && !FRtsKeyedByOutput.load()) keyed = false;  // the line settings have RTS again
    bool idle = false;
    uint32_t used = 0, written = 0;
    int error = 0;
    {
      // No purge empties the ring while a write takes bytes from it.
      std::lock_guard<std::mutex> write(FWriteSection);
      const uint8_t* ring = nullptr;
      uint32_t size = 0, index = 0;
      {
        std::lock_guard<std::mutex> guard(FOutputSection);
        used = TransmitUsedLocked();
        if (used == 0 || FTxBuffer.empty() || (FOutputError != 0 && !FOutputRetry)) {
          idle = true;
        } else {
          // A refused block is tried again on request; the refusal stands
          // until some of it goes out.
          FOutputRetry = false;
          ring = FTxBuffer.data();
          size = static_cast<uint32_t>(FTxBuffer.size());
          index = static_cast<uint32_t>(FTxTail % size);
        }
      }
      if (!idle) {
        if (FRtsKeyedByOutput.load() && !keyed) keyed = EscapeFunction(EscSetRts) == 0;
        const uint32_t first = std::min(used, size - index);
        int32_t result = WriteDevice(ring + index, first);
        if (result > 0) {
          written = static_cast<uint32_t>(result);
          if (written == first && used > first) {
            result = WriteDevice(ring, used - first);
            if (result > 0) written += static_cast<uint32_t>(result);
          }
        }
        if (result < 0) error = -result;
        std::lock_guard<std::mutex> guard(FOutputSection);
        FTxTail += written;
        // A refused block stays in the ring, to be reported and retried.
        if (error != 0)
          FOutputError = error;
        else if (written > 0)
          FOutputError = 0;
      }
    }
    if (idle && keyed) {
      // The transmission ends once the device has sent its last byte; new
      // output meanwhile goes out under the same RTS.
      if (OutputSentByDevice()) {
        EscapeFunction(EscClrRts);
        keyed = false;
      } else {
        WaitForWake(*FOutWake, 1);
      }
      continue;
    }
    if (idle) {
      WaitForWake(*FOutWake, -1);
      continue;
    }
    if (written > 0 && (FArmedStatusKinds.load() & ((1u << StatusOutBuffFree) | (1u << StatusOutBuffUsed))))
      WakeDispatchThread();
    if (error != 0) {
      SetLastSystemError(error);
      continue;
    }
    if (written < used) WaitWritable();
  }
  // A stop in the middle of a transmission frees the line too.
  if (keyed && FRtsKeyedByOutput.load()) EscapeFunction(EscClrRts);
  SignalHandshake();
}

// ---------------------------------------------------------------------------
// Priorities and calls on the main thread

void TApdBaseDispatcher::ApplyThreadPriority(TApdDispatcherThread& Thread, bool OutputThread) {
  int level;
  {
    std::lock_guard<std::mutex> guard(FLineSection);
    level = FThreadBoost + 3 + (OutputThread && FRs485 ? 1 : 0);
  }
  // A thread at normal priority keeps what it inherited.
  if (level != 3 && Thread.SystemId() != 0) setpriority(PRIO_PROCESS, static_cast<id_t>(Thread.SystemId()), NiceOfLevel(level));
}

void TApdBaseDispatcher::ApplyThreadPriorities() {
  int boost;
  bool rs485;
  {
    std::lock_guard<std::mutex> guard(FLineSection);
    boost = FThreadBoost;
    rs485 = FRs485;
  }
  std::lock_guard<std::mutex> guard(FThreadLock);
  if (FComThread && FComThread->SystemId())
    setpriority(PRIO_PROCESS, static_cast<id_t>(FComThread->SystemId()), NiceOfLevel(boost + 3));
  if (FDispThread && FDispThread->SystemId())
    setpriority(PRIO_PROCESS, static_cast<id_t>(FDispThread->SystemId()), NiceOfLevel(boost + 3));
  if (FOutThread && FOutThread->SystemId())
    setpriority(PRIO_PROCESS, static_cast<id_t>(FOutThread->SystemId()), NiceOfLevel(boost + 3 + (rs485 ? 1 : 0)));
}

bool TApdBaseDispatcher::CallOnMainThread(std::function<void()> Work, int TimeoutMs) {
  if (!FMainThread) {
    // No main thread: the call runs here, on the dispatch thread, which a
    // handler's failure must not end.
    try {
      Work();
    } catch (...) {
    }
    return true;
  }
  std::shared_ptr<TMainCalls> calls;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    calls = FMainCalls;
  }
  if (!calls) return false;
  struct TCall {
    bool Running = false, Done = false, Dropped = false;
  };
  auto call = std::make_shared<TCall>();
  {
    std::lock_guard<std::mutex> guard(calls->Lock);
    if (calls->Cancelled) return false;
  }
  // The posted work touches the dispatcher only once it has started, and then
  // the dispatch thread waits for it, so the dispatcher outlives it.
  FMainThread->Post([calls, call, work = std::move(Work)] {
    {
      std::lock_guard<std::mutex> guard(calls->Lock);
      if (calls->Cancelled || call->Dropped) return;
      call->Running = true;
    }
    struct TFinish {
      TMainCalls& Calls;
      TCall& Call;
      ~TFinish() {
        std::lock_guard<std::mutex> guard(Calls.Lock);
        Call.Done = true;
        Calls.Changed.notify_all();
      }
    } finish{*calls, *call};
    work();
  });
  std::unique_lock<std::mutex> guard(calls->Lock);
  auto settled = [&] { return call->Done || (!call->Running && calls->Cancelled); };
  if (TimeoutMs < 0)
    calls->Changed.wait(guard, settled);
  else
    calls->Changed.wait_for(guard, std::chrono::milliseconds(TimeoutMs), settled);
  if (call->Done) return true;
  if (call->Running) {
    // Started just now: wait for it to finish whatever happens.
    calls->Changed.wait(guard, [&] { return call->Done; });
    return true;
  }
  call->Dropped = true;
  return false;
}

void TApdBaseDispatcher::CancelMainThreadCalls() {
  std::shared_ptr<TMainCalls> calls;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    calls = FMainCalls;
  }
  if (!calls) return;
  std::lock_guard<std::mutex> guard(calls->Lock);
  calls->Cancelled = true;
  calls->Changed.notify_all();
}
