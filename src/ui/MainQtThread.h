// The main thread of the window program: work posted from a receive thread
// (serial ports, the TCP server, the remote disk server) runs as a queued call
// in the Qt event loop of the thread that created this object. Work that throws
// does not take the event loop down: its message goes to the error handler.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "MainThread.h"

class TMainQtThread final : public IMainThread {
 public:
  using TErrorHandler = std::function<void(const std::string& Message)>;

  // Create on the thread that runs the event loop.
  TMainQtThread();
  // Posted work that has not run yet is dropped.
  ~TMainQtThread() override;
  TMainQtThread(const TMainQtThread&) = delete;
  TMainQtThread& operator=(const TMainQtThread&) = delete;

  void Post(std::function<void()> Work) override;
  // Set on the main thread before work is posted.
  void SetErrorHandler(TErrorHandler Handler) { FOnError = std::move(Handler); }

 private:
  void Run(const std::function<void()>& Work);

  // Queued calls are delivered to this object's thread, and dropped with it.
  std::unique_ptr<QObject> FReceiver;
  TErrorHandler FOnError;
};
