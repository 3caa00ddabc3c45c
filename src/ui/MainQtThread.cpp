#include "MainQtThread.h"

#include <QMetaObject>
#include <exception>

TMainQtThread::TMainQtThread() : FReceiver(std::make_unique<QObject>()) {}

TMainQtThread::~TMainQtThread() = default;

void TMainQtThread::Post(std::function<void()> Work) {
  QMetaObject::invokeMethod(
      FReceiver.get(), [this, Work = std::move(Work)] { Run(Work); }, Qt::QueuedConnection);
}

void TMainQtThread::Run(const std::function<void()>& Work) {
  try {
    Work();
  } catch (const std::exception& Error) {
    if (FOnError) FOnError(Error.what());
  } catch (...) {
    if (FOnError) FOnError("An unknown error occurred.");
  }
}
