// The line settings of a host serial port (baud rate, data format, flow control,
// queue sizes), held in one port-state record laid out like the Windows device
// control block, so that the settings stored by the program keep their meaning.
// The software- and hardware-flow objects are views of that record. The same
// header declares the exceptions that opening a port can raise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "EmulatorError.h"
#include "SerialLineSettings.h"

// The port-state record: the Windows DCB, field for field (28 bytes).
struct TComPortState {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;
  uint8_t XonChar = 0;
  uint8_t XoffChar = 0;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;
  uint16_t wReserved1 = 0;
};
static_assert(sizeof(TComPortState) == 28, "the port state keeps the layout of the device control block");

// Bits of TComPortState::Flags.
enum TComPortFlag : uint32_t {
  ComFlagBinary = 0x0001,
  ComFlagParity = 0x0002,
  ComFlagOutxCtsFlow = 0x0004,
  ComFlagOutxDsrFlow = 0x0008,
  ComFlagDtrControlMask = 0x0030,
  ComFlagDtrEnable = 0x0010,
  ComFlagDtrHandshake = 0x0020,
  ComFlagDsrSensitivity = 0x0040,
  ComFlagTxContinueOnXoff = 0x0080,
  ComFlagOutX = 0x0100,
  ComFlagInX = 0x0200,
  ComFlagErrorChar = 0x0400,
  ComFlagNull = 0x0800,
  ComFlagRtsControlMask = 0x3000,
  ComFlagRtsEnable = 0x1000,
  ComFlagRtsHandshake = 0x2000,
  ComFlagRtsToggle = 0x3000,
  ComFlagAbortOnError = 0x4000,
};

enum TComBaudRate : uint8_t {
  Com_br110, Com_br300, Com_br600, Com_br1200, Com_br2400, Com_br4800, Com_br9600, Com_br14400, Com_br19200,
  Com_br38400, Com_br57600, Com_br115200, Com_br128000, Com_br172800, Com_br230400, Com_br256000, Com_br460800,
  Com_br921600,
};
enum TComParity : uint8_t { Com_pNone, Com_pEven, Com_pOdd, Com_pMark };
enum TComDataBits : uint8_t { Com_dbFive, Com_dbSeven, Com_dbEight };
enum TComStopBits : uint8_t { Com_sbOne, Com_sbOneAndHalf, Com_sbTwo };
enum TComDtrState : uint8_t { Com_dtrDisabled, Com_dtrEnabled, Com_dtrHandshake };
enum TComRtsState : uint8_t { Com_rtsDisabled, Com_rtsEnabled, Com_rtsHandshake, Com_rtsToggle };

// The bit rate of each TComBaudRate value.
uint32_t ComBaudRateValue(TComBaudRate Rate);

// XON/XOFF flow control. Each setter calls OnChanged only when the value changes.
class TComSoftwareFlow final {
 public:
  std::function<void()> OnChanged;

  bool GetRxFlow() const { return FRxFlow; }
  void SetRxFlow(bool Value) { Change(FRxFlow, Value); }
  bool GetTxFlow() const { return FTxFlow; }
  void SetTxFlow(bool Value) { Change(FTxFlow, Value); }
  uint8_t GetXonChar() const { return FXonChar; }
  void SetXonChar(uint8_t Value) { Change(FXonChar, Value); }
  uint8_t GetXoffChar() const { return FXoffChar; }
  void SetXoffChar(uint8_t Value) { Change(FXoffChar, Value); }
  bool GetTxAfterRxOff() const { return FTxAfterRxOff; }
  void SetTxAfterRxOff(bool Value) { Change(FTxAfterRxOff, Value); }

  // Copies the view from a port state, or into one, without notifying.
  void LoadFrom(const TComPortState& State);
  void StoreTo(TComPortState& State) const;

 private:
  template <typename T>
  void Change(T& Field, T Value) {
    if (Field == Value) return;
    Field = Value;
    if (OnChanged) OnChanged();
  }

  bool FRxFlow = false;
  bool FTxFlow = false;
  uint8_t FXonChar = 17;   // DC1
  uint8_t FXoffChar = 19;  // DC3
  bool FTxAfterRxOff = true;
};

// Modem-line flow control. Each setter calls OnChanged only when the value changes.
class TComHardwareFlow final {
 public:
  std::function<void()> OnChanged;

  bool GetTxUseCtsFlow() const { return FTxUseCtsFlow; }
  void SetTxUseCtsFlow(bool Value) { Change(FTxUseCtsFlow, Value); }
  bool GetTxUseDsrFlow() const { return FTxUseDsrFlow; }
  void SetTxUseDsrFlow(bool Value) { Change(FTxUseDsrFlow, Value); }
  bool GetTxDsrSensitivity() const { return FTxDsrSensitivity; }
  void SetTxDsrSensitivity(bool Value) { Change(FTxDsrSensitivity, Value); }
  TComDtrState GetTxDtrState() const { return FTxDtrState; }
  void SetTxDtrState(TComDtrState Value) { Change(FTxDtrState, Value); }
  TComRtsState GetRxRTSState() const { return FRxRTSState; }
  void SetRxRTSState(TComRtsState Value) { Change(FRxRTSState, Value); }

  void LoadFrom(const TComPortState& State);
  void StoreTo(TComPortState& State) const;

 private:
  template <typename T>
  void Change(T& Field, T Value) {
    if (Field == Value) return;
    Field = Value;
    if (OnChanged) OnChanged();
  }

  bool FTxUseCtsFlow = false;
  bool FTxUseDsrFlow = false;
  bool FTxDsrSensitivity = false;
  TComDtrState FTxDtrState = Com_dtrEnabled;
  TComRtsState FRxRTSState = Com_rtsEnabled;
};

class TComOptions final {
 public:
  TComOptions();
  TComOptions(const TComOptions&) = delete;
  TComOptions& operator=(const TComOptions&) = delete;
  // Takes every setting of Source.
  void Assign(const TComOptions& Source);

  TComBaudRate GetBaudRate() const;
  void SetBaudRate(TComBaudRate Value);
  TComParity GetParity() const;
  void SetParity(TComParity Value);
  TComDataBits GetDataBits() const;
  void SetDataBits(TComDataBits Value);
  TComStopBits GetStopBits() const;
  void SetStopBits(TComStopBits Value);

  // The views are refreshed from the port state each time they are fetched;
  // changing a value through them writes the port state at once.
  TComSoftwareFlow& GetSoftwareFlow();
  TComHardwareFlow& GetHardwareFlow();

  // Sets the platform's null-discarding bit: received null bytes are dropped
  // while this is True. The name is odd, but the program's stored settings
  // (False, so that binary transfers keep their nulls) rely on this meaning.
  bool GetPassNulls() const { return Flag(ComFlagNull); }
  void SetPassNulls(bool Value) { SetFlag(ComFlagNull, Value); }
  // Received bytes with a parity or framing error are replaced by ErrorChar.
  bool GetReplaceOnError() const { return Flag(ComFlagErrorChar); }
  void SetReplaceOnError(bool Value) { SetFlag(ComFlagErrorChar, Value); }
  // Kept with the settings; the POSIX terminal interface has no twin of it.
  bool GetAbortOnError() const { return Flag(ComFlagAbortOnError); }
  void SetAbortOnError(bool Value) { SetFlag(ComFlagAbortOnError, Value); }
  uint8_t GetErrorChar() const { return FState.ErrorChar; }
  void SetErrorChar(uint8_t Value) { FState.ErrorChar = Value; }
  uint8_t GetEofChar() const { return FState.EofChar; }
  void SetEofChar(uint8_t Value) { FState.EofChar = Value; }
  uint8_t GetEventChar() const { return FState.EvtChar; }
  void SetEventChar(uint8_t Value) { FState.EvtChar = Value; }

  // Driver queue sizes: limited to 256..65536 and rounded up to a multiple of 256.
  int32_t GetInQueueSize() const { return FInQueueSize; }
  void SetInQueueSize(int32_t Value) { FInQueueSize = QueueSize(Value); }
  int32_t GetOutQueueSize() const { return FOutQueueSize; }
  void SetOutQueueSize(int32_t Value) { FOutQueueSize = QueueSize(Value); }

  // Copy a flow view into the port state (connected to the views' OnChanged).
  void SoftwareFlowChanged();
  void HardwareFlowChanged();

  // The port state itself, as stored with the settings.
  const TComPortState& PortState() const { return FState; }
  TComPortState& PortState() { return FState; }

  // The line settings to apply to a host port: what the properties read, so the
  // port runs with exactly the settings that are shown.
  TSerialLineSettings BuildLineSettings() const;

 private:
  bool Flag(uint32_t Bit) const { return (FState.Flags & Bit) != 0; }
  void SetFlag(uint32_t Bit, bool Value) {
    if (Value)
      FState.Flags |= Bit;
    else
      FState.Flags &= ~Bit;
  }
  static int32_t QueueSize(int32_t Value);

  TComPortState FState;
  TComSoftwareFlow FSoftwareFlow;
  TComHardwareFlow FHardwareFlow;
  int32_t FInQueueSize = 2048;
  int32_t FOutQueueSize = 1024;
};

// The port opened but its settings could not be applied.
class EComSetOptions : public EEmulatorError {
 public:
  EComSetOptions() : EEmulatorError("Unable to configure selected comunications port with the specified options!") {}
};

// Another program (or another port object) holds the port.
class EComPortInUse : public EEmulatorError {
 public:
  EComPortInUse()
      : EEmulatorError(
            "The request could not be completed because the specified comunications port in currently in use!") {}
};

// The port does not exist or cannot be opened.
class EComInvalidPort : public EEmulatorError {
 public:
  EComInvalidPort()
      : EEmulatorError(
            "The request could not be completed because the specified comunications port could not be accessed!") {}
};
