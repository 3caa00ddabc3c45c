// A host serial port through the POSIX terminal interface: opened non-blocking
// and exclusively, set to raw mode with the given line settings, read and
// written without ever blocking the caller. It stands in for the Windows
// serial communications calls; the COM port component builds its receive
// thread and single-byte writes on it.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "SerialInputDecoder.h"
#include "SerialLineSettings.h"

enum class TSerialOpenResult { Opened, InUse, NotAccessible };
enum class TSerialWriteResult { Written, WouldBlock, Failed };

class TSerialPort final {
 public:
  TSerialPort() = default;
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;
  ~TSerialPort();

  // PortName is a COM name or a device path (see ComPortNames.h). A device that
  // another port object or program holds open gives InUse; one that is missing,
  // not a terminal or not permitted gives NotAccessible. errno is kept in LastError.
  TSerialOpenResult Open(const std::string& PortName);
  // Takes over a terminal that is open already (a descriptor the caller hands
  // over, for example a duplicate of its own) and switches it to non-blocking
  // mode; false, with LastError, when it is not a terminal. Close closes it.
  bool Adopt(int Handle);
  void Close();
  bool IsOpen() const { return FHandle >= 0; }
  int Handle() const { return FHandle; }
  const std::string& DeviceName() const { return FDeviceName; }
  int LastError() const { return FLastError; }

  // Raw mode with Settings; false when the driver refuses them.
  bool Configure(const TSerialLineSettings& Settings);

  // Reads what has arrived, decoded (see TSerialInputDecoder): the number of data
  // bytes put into Buffer, 0 when nothing is waiting (or only marks arrived),
  // -1 when the device failed or hung up (errno in LastError). Size >= 2.
  ssize_t Read(uint8_t* Buffer, size_t Size, TSerialInputEvents& Events);

  // True when a byte can be handed over now: the driver has room, nothing of
  // ours is still waiting to be sent, and DSR is up where DSR flow is asked for.
  bool CanWrite();
  // Waits up to TimeoutMs (0: not at all) for CanWrite.
  bool WaitCanWrite(int TimeoutMs);
  TSerialWriteResult Write(uint8_t Value);
  // Hands over as much of Data as the driver takes now, without waiting: the
  // number of bytes taken, 0 when it takes none (its queue is full, or DSR is
  // down where DSR flow is asked for), or -errno when the device failed.
  ssize_t WriteSome(const uint8_t* Data, size_t Size);
  // Raw bytes waiting in the driver's input queue (marks included).
  int InputQueued() const;
  // Throws away what the driver holds for receiving and for sending.
  bool Purge(bool Input, bool Output);
  // Holds the line in the BREAK state, or releases it.
  bool SetBreak(bool On);
  // Stops sending, or starts again, as if XOFF or XON had arrived.
  bool SuspendOutput(bool Suspend);

  // TIOCM_* bits of the modem lines, or nothing where the device has none
  // (pseudo-terminals, for example).
  std::optional<int> GetModemLines() const;
  bool SetModemLines(int Bits, bool On);
  // Sends a line BREAK (a quarter to half a second).
  bool SendBreak();
  // Bytes the driver still holds for sending.
  int OutputQueued() const;
  // Waits until the driver and the hardware have sent everything handed over
  // (the last stop bit included, where the driver can tell); false when the
  // device failed. It does not return while the output is held back (XOFF, CTS).
  bool DrainOutput();

  // Raw mode with Settings, on top of a device's current terminal settings.
  // False when the rate has no name in the terminal interface; the port then
  // sets it through the custom-rate call after the rest.
  static bool BuildTerminalSettings(const TSerialLineSettings& Settings, termios& Terminal);

  // The bit rate the device runs at now, as the kernel reports it.
  static std::optional<uint32_t> CurrentBaudRate(int Handle);

 private:
  int FHandle = -1;
  // Written by whichever thread saw a failure last (reader, writer, caller).
  std::atomic<int> FLastError{0};
  std::string FDeviceName;
  std::atomic<bool> FDsrFlow{false};
  TSerialInputDecoder FDecoder;
  uint8_t FRaw[4096];
};

// Sets any bit rate through the kernel's custom-rate interface (SerialBaudRate.cpp,
// kept apart because its kernel headers clash with <termios.h>).
bool SetSerialCustomBaudRate(int Handle, uint32_t Rate);
std::optional<uint32_t> GetSerialBaudRate(int Handle);
