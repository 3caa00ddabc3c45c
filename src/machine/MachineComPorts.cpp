// The two serial ports: COM1 (a host port or the TCP server) and COM2, their
// data, status and settings ports, received data and BREAK.
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

#include "Machine.h"

namespace {

constexpr TComBaudRate BaudList[16] = {
    Com_br300,    Com_br600,    Com_br1200,   Com_br2400,   Com_br4800,   Com_br9600,   Com_br19200,  Com_br38400,
    Com_br57600,  Com_br115200, Com_br128000, Com_br172800, Com_br230400, Com_br256000, Com_br460800, Com_br921600,
};

struct TFormat {
  TComParity Parity;
  TComDataBits DataBits;
};
constexpr TFormat FormatList[4] = {
    {Com_pNone, Com_dbSeven}, {Com_pEven, Com_dbSeven}, {Com_pOdd, Com_dbSeven}, {Com_pNone, Com_dbEight}};

void SetComponentDefaults(TComRx& Port, TComBaudRate Rate) {
  TComOptions& Options = Port.GetOptions();
  Options.SetInQueueSize(256);
  Options.SetOutQueueSize(256);
  Options.SetBaudRate(Rate);
  Options.SetParity(Com_pEven);
  Options.SetDataBits(Com_dbSeven);
  Options.SetStopBits(Com_sbOne);
  Options.GetSoftwareFlow().SetRxFlow(false);
  Options.GetSoftwareFlow().SetTxFlow(false);
  Options.GetHardwareFlow().SetTxDtrState(Com_dtrEnabled);
  Options.GetHardwareFlow().SetRxRTSState(Com_rtsEnabled);
  Options.SetAbortOnError(false);
  Port.SetSyncCallbacks(true);
}

}  // namespace

void TMachine::InitComPorts() {
  SetComponentDefaults(*FComRx1, Com_br38400);
  SetComponentDefaults(*FComRx2, Com_br19200);
  for (int Port = 1; Port <= 2; ++Port) {
    TComRx& Rx = Port == 1 ? *FComRx1 : *FComRx2;
    Rx.OnDataBlock = [this, Port](TComRx&, const uint8_t* Data, uint32_t Count) { ComDataBlock(Port, Data, Count); };
    Rx.OnModemSignal = [this, Port](TComRx&, uint8_t Signals) { ComModemSignal(Port, Signals); };
    Rx.OnError = [this, Port](TComRx&, uint32_t Code, bool& Stop) {
      Stop = true;
      ComPortFailed(Port, std::strerror(static_cast<int>(Code)));
    };
    ComQueueChanged(Port);
  }
}

// ---------------------------------------------------------------- ports 20-23, 48, 49

// Status bit 4 ("takes a byte") of a port that a peer drains (a TCP client
// connected, a serial port open) follows the port: a peer that holds the line
// back keeps it clear, and the BIOS waits; a program that writes all the same
// is held on its output instruction. A port that no peer drains (off, closed
// after a failure, TCP with no client) always takes a byte, so output to it
// never slows CP/M: it is dropped, or kept for the next TCP client while the
// queue has room.
bool TMachine::ComLineHeldBack(uint8_t DataPort) {
  if (DataPort == 21 && UseTcpAsCom1) return FTcpPort->HasClient() && !FTcpPort->TxReady();
  TComRx& Rx = DataPort == 21 ? *FComRx1 : *FComRx2;
  return Rx.GetActive() && !Rx.TxReady();
}

void TMachine::ComPortRead(uint8_t Port, uint8_t& Data) {
  switch (Port) {
    case 20: {
      uint8_t Status = 0;
      if (UseTcpAsCom1) {
        if (FTcpPort->RxReady()) Status |= 2;
      } else {
        if (FComRx1->GetActive() && Com1Queue.Count() > 0) Status |= 2;
      }
      if (!ComLineHeldBack(21))
        Status |= 4;
      else if (PassRanLong())
        HoldInstructionOn(21);
      Data = Status;
      break;
    }
    case 21:
      if (UseTcpAsCom1)
        FTcpPort->ReadByte(Data);
      else if (Com1Queue.Get(Data))
        ComByteTaken(1);
      break;
    case 22: {
      uint8_t Status = 0;
      if (FComRx2->GetActive() && Com2Queue.Count() > 0) Status |= 2;
      if (!ComLineHeldBack(23))
        Status |= 4;
      else if (PassRanLong())
        HoldInstructionOn(23);
      Data = Status;
      break;
    }
    case 23:
      if (Com2Queue.Get(Data)) ComByteTaken(2);
      break;
    case 48:
      Data = GetComConfig(1);
      break;
    default:
      Data = GetComConfig(2);
      break;
  }
}

void TMachine::ComPortWrite(uint8_t Port, uint8_t Data) {
  switch (Port) {
    case 21:
    case 23: {
      // Software that tests the status port never finds the line held back
      // here. A pass that has run long enough ends before the byte instead.
      if (PassRanLong() || ComLineHeldBack(Port)) {
        HoldInstructionOn(Port);
        break;
      }
      if (Port == 21 && UseTcpAsCom1) {
        FTcpPort->WriteByte(Data);  // without a client: kept while the queue has room
        break;
      }
      const int Number = Port == 21 ? 1 : 2;
      TComRx& Rx = Number == 1 ? *FComRx1 : *FComRx2;
      if (!Rx.GetActive()) break;  // no peer: dropped
      try {
        // The port takes the byte, or its driver has no room for it after all:
        // then the instruction is held too.
        if (!Rx.WriteByte(Data, 0) && Rx.GetActive()) HoldInstructionOn(Port);
      } catch (const std::exception& Error) {
        ComPortFailed(Number, Error.what());
      }
      break;
    }
    case 48:
      SetComConfig(1, Data);
      break;
    default:
      SetComConfig(2, Data);
      break;
  }
}

// A byte written to a port whose peer holds the line back, by a program that
// did not wait for the status port: the processor is held on the output
// instruction, whichever it is (OUT, OUTI, OTIR, ...), as a device that pulls
// the processor's WAIT line keeps it there, and the pass ends (see RunPass).
// The instruction runs again in the next pass, until the port takes the byte;
// turning the port off, or the TCP client leaving, lets it complete. A pass
// that has run for PassOutputLimit ends the same way on its next write to a
// COM port, or on a read of a status port that finds the line held back (the
// BIOS waiting for the line polls it, and each look at a serial line is a
// system call): the window gets its turn, and the next pass goes on there,
// with that instruction, which runs whatever the time.
void TMachine::HoldInstructionOn(uint8_t DataPort) {
  FCpu->HoldInstruction();
  FHeldDataPort = DataPort;
}

bool TMachine::PassRanLong() const {
  // Within an instruction the count holds the instructions done before it.
  return FPassStart && FCpu->InstructionCount != FPassStartCount &&
         std::chrono::steady_clock::now() - *FPassStart >= PassOutputLimit;
}

void TMachine::AwaitHeldPort() {
  const auto Deadline = std::chrono::steady_clock::now() + HeldPortWait;
  while (ComLineHeldBack(FHeldDataPort) && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
}

uint8_t TMachine::GetComConfig(int Port) const {
  const TComPortSettings& Settings = Port == 1 ? Com1Settings : Com2Settings;
  return static_cast<uint8_t>((Settings.BaudIndex & 7) + (Settings.FormatIndex & 3) * 8 + (Settings.TwoStopBits ? 32 : 0) +
                              (Settings.HardwareFlow ? 64 : 0));
}

void TMachine::SetComConfig(int Port, uint8_t Value) {
  TComPortSettings& Settings = Port == 1 ? Com1Settings : Com2Settings;
  Settings.BaudIndex = Value & 7;
  Settings.FormatIndex = (Value >> 3) & 3;
  Settings.TwoStopBits = (Value & 32) != 0;
  Settings.HardwareFlow = (Value & 64) != 0;
  ActivateCom(Port);
  if (OnComSettingsChanged) OnComSettingsChanged(Port);
}

// ---------------------------------------------------------------- activation

void TMachine::ActivateCom1() { ActivateCom(1); }
void TMachine::ActivateCom2() { ActivateCom(2); }

void TMachine::ActivateCom(int Port) {
  TComPortSettings& Settings = Port == 1 ? Com1Settings : Com2Settings;
  TComRx& Rx = Port == 1 ? *FComRx1 : *FComRx2;
  TByteFIFO& Queue = Port == 1 ? Com1Queue : Com2Queue;
  Queue.Clear();
  Rx.ClosePort();
  ComQueueChanged(Port);
  if (Port == 1) FTcpPort->SetActive(false);

  try {
    if (Port == 1 && UseTcpAsCom1) {
      if (Settings.Enabled) {
        FTcpPort->SetListenPort(Com1TcpPort);
        FTcpPort->SetActive(true);
      }
      return;
    }
    Rx.SetPortName(Settings.Device.empty() ? "\\\\.\\COM" + std::to_string(Settings.PortNumber) : Settings.Device);
    TComOptions& Options = Rx.GetOptions();
    if (Settings.BaudIndex >= 0 && Settings.BaudIndex < 16) Options.SetBaudRate(BaudList[Settings.BaudIndex]);
    if (Settings.FormatIndex >= 0 && Settings.FormatIndex < 4) {
      Options.SetParity(FormatList[Settings.FormatIndex].Parity);
      Options.SetDataBits(FormatList[Settings.FormatIndex].DataBits);
    }
    Options.SetStopBits(Settings.TwoStopBits ? Com_sbTwo : Com_sbOne);
    TComHardwareFlow& Flow = Options.GetHardwareFlow();
    Flow.SetTxUseCtsFlow(Settings.HardwareFlow);
    Flow.SetTxUseDsrFlow(Settings.HardwareFlow);
    Flow.SetTxDtrState(Settings.HardwareFlow ? Com_dtrHandshake : Com_dtrEnabled);
    Flow.SetRxRTSState(Settings.HardwareFlow ? Com_rtsHandshake : Com_rtsEnabled);
    if (Settings.Enabled) Rx.SetActive(true);
  } catch (const std::exception& Error) {
    Settings.Enabled = false;
    Message(TMachineMessageKind::Warning,
            "Unable to activate Com Port " + std::to_string(Port) + ", " + std::string(Error.what()));
    if (OnComSettingsChanged) OnComSettingsChanged(Port);
  }
}

void TMachine::ComPortFailed(int Port, const std::string& Reason) {
  TComPortSettings& Settings = Port == 1 ? Com1Settings : Com2Settings;
  TComRx& Rx = Port == 1 ? *FComRx1 : *FComRx2;
  const bool WasEnabled = Settings.Enabled;
  Settings.Enabled = false;
  Rx.ClosePort();
  // Reported once: the port is off now and stays off until it is enabled again.
  if (!WasEnabled) return;
  Message(TMachineMessageKind::Warning,
          "Com Port " + std::to_string(Port) + " failed (" + Reason + ") and has been closed.");
  if (OnComSettingsChanged) OnComSettingsChanged(Port);
}

// ---------------------------------------------------------------- received data

// The port takes no more from the host than the queue has room for (see
// ComQueueChanged), so a block always fits; only a caller that ignores the room
// loses what finds the queue full.
void TMachine::ComDataBlock(int Port, const uint8_t* Data, uint32_t Count) {
  bool& Drop = Port == 1 ? DropNextCom1Block : DropNextCom2Block;
  if (Drop) {
    Drop = false;
  } else {
    TByteFIFO& Queue = Port == 1 ? Com1Queue : Com2Queue;
    for (uint32_t I = 0; I < Count; ++I) Queue.Put(Data[I]);
  }
  ComQueueChanged(Port);
}

// The port hears of the room CP/M makes only once the queue is half empty, so
// that its receive thread wakes for a good share of the queue rather than for
// every byte. Until then it knows of less room than there is, which is safe;
// an empty queue is always known to be empty, so input never stalls.
void TMachine::ComByteTaken(int Port) {
  const TByteFIFO& Queue = Port == 1 ? Com1Queue : Com2Queue;
  if (Queue.Count() <= Queue.Capacity() / 2) ComQueueChanged(Port);
}

void TMachine::ComQueueChanged(int Port) {
  const TByteFIFO& Queue = Port == 1 ? Com1Queue : Com2Queue;
  (Port == 1 ? *FComRx1 : *FComRx2).SetReceiveRoom(static_cast<uint32_t>(Queue.Capacity() - Queue.Count()));
}

void TMachine::ComModemSignal(int Port, uint8_t Signals) {
  if (Signals & ComSignalBreak) ComBreak(Port);
}

void TMachine::ComBreak(int Port) {
  // The block that arrives with the BREAK is thrown away and the machine restarts.
  if (Port == 1)
    DropNextCom1Block = true;
  else
    DropNextCom2Block = true;
  try {
    ColdBoot();
  } catch (const std::exception& Error) {
    Message(TMachineMessageKind::Error, Error.what());
  }
}
