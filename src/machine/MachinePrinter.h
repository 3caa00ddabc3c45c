// The list device as the machine sees it: the printer port writes bytes into it
// and the system manager asks about and ends its print jobs. The host printer
// of the user interface implements it; tests use a recording fake.
#pragma once

#include <cstdint>

class IMachinePrinter {
 public:
  virtual ~IMachinePrinter() = default;

  // One byte sent to the printer port (starts a job when none is open).
  virtual void PrintChar(uint8_t Value) = 0;
  // A host printer exists and is selected.
  virtual bool PrinterAvailable() const = 0;
  // A job is open and has not been aborted.
  virtual bool IsPrinting() const = 0;
  // Pages of the running job; 0 while not printing.
  virtual int PageCount() const = 0;
  // Ends the running job and prints what it holds; nothing when not printing.
  virtual void EjectJob() = 0;
  // Throws the running job away; nothing when not printing.
  virtual void AbortJob() = 0;
};
