// Handing work from a worker thread to the main thread. The main thread runs the
// user interface and the emulation; events raised by receive threads (serial
// ports, the remote disk server) run there so that their handlers need no locks.
// The Qt application implements IMainThread with a queued call; tests and
// programs without a display use TQueuedMainThread and pump it themselves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class IMainThread {
 public:
  virtual ~IMainThread() = default;
  // Runs Work later on the main thread, after the work posted before it.
  // May be called from any thread.
  virtual void Post(std::function<void()> Work) = 0;
};

// The main thread of this program, as installed by the application (none at
// start). Components take it when they are created.
IMainThread* GetMainThread();
void SetMainThread(IMainThread* MainThread);

// A main-thread queue that its owner pumps: Post queues, RunPending and
// PumpUntil run the queued work on the calling thread.
class TQueuedMainThread final : public IMainThread {
 public:
  void Post(std::function<void()> Work) override;
  // Runs the work queued so far (not what it posts in turn); returns how many ran.
  size_t RunPending();
  // Runs queued work as it arrives until Done() holds or Limit has passed;
  // returns Done(). Limit only keeps a broken test from hanging.
  bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = std::chrono::seconds(20));
  size_t PendingCount();

 private:
  std::mutex FLock;
  std::condition_variable FPosted;
  std::deque<std::function<void()>> FQueue;
};

// Runs calls of one worker thread on the main thread and waits for each, like a
// synchronised event. Cancel ends every wait at once and keeps queued calls that
// have not started from ever running, so the owner can stop and join its worker
// thread even from inside a handler that runs on the main thread.
class TMainThreadSync final {
 public:
  // Without a main thread the calls run directly on the calling thread.
  explicit TMainThreadSync(IMainThread* MainThread);
  TMainThreadSync(const TMainThreadSync&) = delete;
  TMainThreadSync& operator=(const TMainThreadSync&) = delete;
  ~TMainThreadSync();

  // Called on the worker thread: runs Work on the main thread and waits until it
  // has run (true) or the sync is cancelled (false; Work then never starts, or
  // is still running on the main thread). Work must hold what it uses.
  bool Call(std::function<void()> Work);
  void Cancel();

 private:
  struct TShared;
  IMainThread* FMainThread;
  std::shared_ptr<TShared> FShared;
};
