// The line settings of a host serial port in terms the POSIX terminal interface
// understands. The COM port options translate their Windows-shaped port state
// into this; TSerialPort applies it with termios and the modem-control ioctls.
#pragma once

#include <cstdint>

enum class TSerialParity : uint8_t { None, Even, Odd, Mark, Space };
enum class TSerialStopBits : uint8_t { One, OneAndHalf, Two };
// How a modem output line is driven: held off, held on, or left to the driver's
// hardware handshake.
enum class TSerialLineControl : uint8_t { Off, On, Handshake };

struct TSerialLineSettings {
  uint32_t BaudRate = 9600;  // any rate; non-standard rates use the kernel's custom-rate interface
  uint8_t DataBits = 8;      // 5 to 8
  TSerialParity Parity = TSerialParity::None;
  TSerialStopBits StopBits = TSerialStopBits::One;  // one and a half is sent as two
  bool OutXonXoff = false;  // stop sending on XOFF, go on at XON (IXON)
  bool InXonXoff = false;   // send XOFF when the input queue fills (IXOFF)
  uint8_t XonChar = 17;
  uint8_t XoffChar = 19;
  bool CtsFlow = false;  // stop sending while CTS is low (the kernel's RTS/CTS handshake)
  bool DsrFlow = false;  // stop sending while DSR is low (checked before each write)
  TSerialLineControl Dtr = TSerialLineControl::On;
  TSerialLineControl Rts = TSerialLineControl::On;
  // Received bytes with a parity or framing error are replaced by ErrorChar.
  bool ReplaceErrors = false;
  uint8_t ErrorChar = 0;
  // Received null bytes are dropped.
  bool DiscardNulls = false;
};
