#include "MainThread.h"

#include <atomic>

namespace {
std::atomic<IMainThread*> InstalledMainThread{nullptr};
}

IMainThread* GetMainThread() { return InstalledMainThread.load(); }

void SetMainThread(IMainThread* MainThread) { InstalledMainThread.store(MainThread); }

void TQueuedMainThread::Post(std::function<void()> Work) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FQueue.push_back(std::move(Work));
  }
  FPosted.notify_all();
}

size_t TQueuedMainThread::RunPending() {
  size_t count;
  {
    std::lock_guard<std::mutex> guard(FLock);
    count = FQueue.size();
  }
  size_t ran = 0;
  for (; ran < count; ++ran) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FQueue.empty()) break;
      work = std::move(FQueue.front());
      FQueue.pop_front();
    }
    // Run outside the lock: the work may post more, or pump in turn.
    work();
  }
  return ran;
}

bool TQueuedMainThread::PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit) {
  const auto deadline = std::chrono::steady_clock::now() + Limit;
  for (;;) {
    RunPending();
    if (Done()) return true;
    std::unique_lock<std::mutex> guard(FLock);
    if (std::chrono::steady_clock::now() >= deadline) return Done();
    // Wake for new work, and now and then to look at Done again.
    FPosted.wait_for(guard, std::chrono::milliseconds(5), [this] { return !FQueue.empty(); });
  }
}

size_t TQueuedMainThread::PendingCount() {
  std::lock_guard<std::mutex> guard(FLock);
  return FQueue.size();
}

struct TMainThreadSync::TShared {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Cancelled = false;
};

TMainThreadSync::TMainThreadSync(IMainThread* MainThread)
    : FMainThread(MainThread), FShared(std::make_shared<TShared>()) {}

TMainThreadSync::~TMainThreadSync() { Cancel(); }

bool TMainThreadSync::Call(std::function<void()> Work) {
  if (!FMainThread) {
    Work();
    return true;
  }
  struct TCall {
    bool Done = false;
  };
  auto call = std::make_shared<TCall>();
  std::shared_ptr<TShared> shared = FShared;
  {
    std::lock_guard<std::mutex> guard(shared->Lock);
    if (shared->Cancelled) return false;
  }
  FMainThread->Post([shared, call, work = std::move(Work)] {
    {
      std::lock_guard<std::mutex> guard(shared->Lock);
      if (shared->Cancelled) return;
    }
    work();
    {
      std::lock_guard<std::mutex> guard(shared->Lock);
      call->Done = true;
    }
    shared->Changed.notify_all();
  });
  std::unique_lock<std::mutex> guard(shared->Lock);
  shared->Changed.wait(guard, [&] { return call->Done || shared->Cancelled; });
  return call->Done;
}

void TMainThreadSync::Cancel() {
  {
    std::lock_guard<std::mutex> guard(FShared->Lock);
    FShared->Cancelled = true;
  }
  FShared->Changed.notify_all();
}
