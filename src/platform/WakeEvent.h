// A file descriptor that a thread can poll beside its device or socket, and that
// another thread signals to wake it (to stop it, for example).
#pragma once

class TWakeEvent final {
 public:
  TWakeEvent();  // throws EEmulatorError when the host has no descriptors left
  TWakeEvent(const TWakeEvent&) = delete;
  TWakeEvent& operator=(const TWakeEvent&) = delete;
  ~TWakeEvent();

  // Stays signalled until Reset.
  void Signal();
  void Reset();
  int Handle() const { return FHandle; }

 private:
  int FHandle;
};
