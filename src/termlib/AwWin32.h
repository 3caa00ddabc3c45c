// The device layer of the serial dispatcher over a host terminal device
// (termios): TApdWin32Dispatcher opens a port by name, TApdTAPI32Dispatcher
// takes a terminal that is open already. Both fill in the dispatcher's device
// operations (AwUser.h) with the POSIX calls:
//   - the line settings record becomes termios settings through TSerialPort
//     (raw mode; any bit rate through the kernel's custom-rate call); fields
//     that termios cannot hold (DTR and RTS control, DSR flow, the Xon and
//     Xoff limits) are kept here and reported back as they were written;
//   - waiting for communication events is poll(2) on the device and on the
//     dispatcher's wake descriptor; where the device has modem lines they are
//     read with TIOCMGET every 20 ms and their changes reported;
//   - DTR and RTS are TIOCMBIS/TIOCMBIC, a BREAK is TIOCSBRK/TIOCCBRK or
//     tcsendbreak, purging is tcflush;
//   - RS-485 (RTS in toggle mode) is the kernel's RS-485 mode where the
//     driver has one (TIOCSRS485); elsewhere the output thread keys RTS
//     around each transmission, which needs a device with modem lines;
//   - received BREAKs and bytes with parity or framing errors come from the
//     terminal's PARMRK marks (TSerialInputDecoder) and are reported as line
//     errors;
//   - a device that hangs up (the far end of a pseudo-terminal closes, a USB
//     adapter goes away) is reported once as an error event; after that it is
//     no longer polled, reads stop, and writes fail and keep their data.
// A device without modem lines (a pseudo-terminal) refuses DTR, RTS and the
// modem status with -3002 and reports no lines; RS-485 on it with -3010.
#pragma once

#include <termios.h>

#include <atomic>
#include <shared_mutex>

#include "AwUser.h"
#include "SerialLineSettings.h"
#include "SerialPort.h"

class TApdWin32Dispatcher : public TApdBaseDispatcher {
 public:
  explicit TApdWin32Dispatcher(TApdBaseComponent* Owner, IMainThread* MainThread = GetMainThread());
  ~TApdWin32Dispatcher() override;

  int32_t EscapeFunction(int32_t Code) override;
  int32_t PurgeQueue(int32_t Queue) override;
  void StartDispatcher() override;
  void StopDispatcher() override;
  // Name: a COM name ("COM3", "\\.\COM3") or a device path.
  int32_t OpenDevice(const std::string& Name, uint32_t InSize, uint32_t OutSize) override;
  int32_t CloseDevice() override;
  int32_t YieldSlice() override;

  // Whether the device has hung up since it was opened.
  bool HungUp() const { return FHungUp.load(); }
  // The translations between the line settings record and the host.
  static TSerialLineSettings LineSettingsOfDCB(const TApdDCB& DCB);
  // Fills the fields that the terminal settings hold; Baud is the device's rate.
  static void DCBOfTerminal(const termios& Terminal, uint32_t Baud, TApdDCB& DCB);

 protected:
  uint32_t ReadStatus(TApdComStat& Status) override;
  int32_t ReadFailed() override;
  int32_t GetLineSettings(TApdDCB& DCB) override;
  int32_t SetLineSettings(const TApdDCB& DCB) override;
  int32_t ReadDevice(uint8_t* Buffer, uint32_t Count) override;
  int32_t QueueOutput(const uint8_t* Buffer, uint32_t Count) override;
  bool WaitEvent(uint32_t& Mask) override;
  bool SetupBuffers(uint32_t InSize, uint32_t OutSize) override;
  int32_t WriteDevice(const uint8_t* Buffer, uint32_t Count) override;
  void WaitWritable() override;
  int32_t ReadSystemModemStatus(uint8_t& Status) override;
  int32_t SendBreakSignal() override;
  bool OutputSentByDevice() override;

  // Takes over an open terminal descriptor (a duplicate that is now ours).
  int32_t AdoptDevice(int Handle);

 private:
  int32_t Failed(int Error);
  void DeviceOpened();
  // With the device lock held.
  void KernelRs485Off();

  TSerialPort FPort;
  // Shared by every use of the descriptor, exclusive to open, close and
  // change its settings; so it is never closed under a call.
  mutable std::shared_mutex FDeviceLock;
  std::atomic<bool> FHungUp{false};
  std::atomic<bool> FHasModemLines{false};
  std::atomic<bool> FParityOn{false};
  std::atomic<bool> FDsrFlowOn{false};
  std::atomic<uint32_t> FPendingErrors{0};
  std::atomic<int> FCarry{-1};  // a decoded byte that did not fit the last read
  int FLastModemLines = 0;      // the communications thread's own
  TApdDCB FWrittenDCB;          // under the line-settings lock
  bool FKernelRs485 = false;    // the kernel keys RTS (under the device lock)
};

// A dispatcher over a terminal descriptor that someone else opened (in the
// original a telephony API handed it over). The descriptor is duplicated at
// each open, so closing never closes the caller's own.
class TApdTAPI32Dispatcher final : public TApdWin32Dispatcher {
 public:
  TApdTAPI32Dispatcher(TApdBaseComponent* Owner, int DeviceHandle, IMainThread* MainThread = GetMainThread());
  ~TApdTAPI32Dispatcher() override;
  // Name is not used. A handle of 0 or below, or one that is not open, gives
  // -2007 with LastSystemError EBADF; a descriptor that is no terminal -1.
  int32_t OpenDevice(const std::string& Name, uint32_t InSize, uint32_t OutSize) override;

 private:
  int FTapiHandle;
};
