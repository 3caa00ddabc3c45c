#include "ComRxOptions.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 18> kBaudRates = {110,   300,    600,    1200,   2400,   4800,   9600,   14400,  19200,
                                                 38400, 57600, 115200, 128000, 172800, 230400, 256000, 460800, 921600};

// Windows parity schemes of the port state.
constexpr uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3;
constexpr uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

}  // namespace

uint32_t ComBaudRateValue(TComBaudRate Rate) {
  return Rate < kBaudRates.size() ? kBaudRates[Rate] : kBaudRates[Com_br1200];
}

void TComSoftwareFlow::LoadFrom(const TComPortState& State) {
  FRxFlow = (State.Flags & ComFlagInX) != 0;
  FTxFlow = (State.Flags & ComFlagOutX) != 0;
  FTxAfterRxOff = (State.Flags & ComFlagTxContinueOnXoff) != 0;
  FXonChar = State.XonChar;
  FXoffChar = State.XoffChar;
}

void TComSoftwareFlow::StoreTo(TComPortState& State) const {
  State.Flags &= ~(ComFlagInX | ComFlagOutX | ComFlagTxContinueOnXoff);
  if (FRxFlow) State.Flags |= ComFlagInX;
  if (FTxFlow) State.Flags |= ComFlagOutX;
  if (FTxAfterRxOff) State.Flags |= ComFlagTxContinueOnXoff;
  State.XonChar = FXonChar;
  State.XoffChar = FXoffChar;
}

void TComHardwareFlow::LoadFrom(const TComPortState& State) {
  FTxUseCtsFlow = (State.Flags & ComFlagOutxCtsFlow) != 0;
  FTxUseDsrFlow = (State.Flags & ComFlagOutxDsrFlow) != 0;
  FTxDsrSensitivity = (State.Flags & ComFlagDsrSensitivity) != 0;
  switch (State.Flags & ComFlagDtrControlMask) {
    case ComFlagDtrEnable: FTxDtrState = Com_dtrEnabled; break;
    case ComFlagDtrHandshake: FTxDtrState = Com_dtrHandshake; break;
    default: FTxDtrState = Com_dtrDisabled; break;
  }
  switch (State.Flags & ComFlagRtsControlMask) {
    case ComFlagRtsEnable: FRxRTSState = Com_rtsEnabled; break;
    case ComFlagRtsHandshake: FRxRTSState = Com_rtsHandshake; break;
    case ComFlagRtsToggle: FRxRTSState = Com_rtsToggle; break;
    default: FRxRTSState = Com_rtsDisabled; break;
  }
}

void TComHardwareFlow::StoreTo(TComPortState& State) const {
  State.Flags &= ~(ComFlagOutxCtsFlow | ComFlagOutxDsrFlow | ComFlagDsrSensitivity | ComFlagDtrControlMask |
                   ComFlagRtsControlMask);
  if (FTxUseCtsFlow) State.Flags |= ComFlagOutxCtsFlow;
  if (FTxUseDsrFlow) State.Flags |= ComFlagOutxDsrFlow;
  if (FTxDsrSensitivity) State.Flags |= ComFlagDsrSensitivity;
  switch (FTxDtrState) {
    case Com_dtrEnabled: State.Flags |= ComFlagDtrEnable; break;
    case Com_dtrHandshake: State.Flags |= ComFlagDtrHandshake; break;
    default: break;
  }
  switch (FRxRTSState) {
    case Com_rtsEnabled: State.Flags |= ComFlagRtsEnable; break;
    case Com_rtsHandshake: State.Flags |= ComFlagRtsHandshake; break;
    case Com_rtsToggle: State.Flags |= ComFlagRtsToggle; break;
    default: break;
  }
}

TComOptions::TComOptions() {
  FSoftwareFlow.OnChanged = [this] { SoftwareFlowChanged(); };
  FHardwareFlow.OnChanged = [this] { HardwareFlowChanged(); };
  // The views' defaults go into the port state at once; otherwise the first
  // read of a view would replace them with zeros (no XON/XOFF characters, DTR
  // and RTS held off).
  SoftwareFlowChanged();
  HardwareFlowChanged();
}

void TComOptions::Assign(const TComOptions& Source) {
  FState = Source.FState;
  FInQueueSize = Source.FInQueueSize;
  FOutQueueSize = Source.FOutQueueSize;
  FSoftwareFlow.LoadFrom(FState);
  FHardwareFlow.LoadFrom(FState);
}

TComBaudRate TComOptions::GetBaudRate() const {
  for (size_t i = 0; i < kBaudRates.size(); ++i)
    if (kBaudRates[i] == FState.BaudRate) return static_cast<TComBaudRate>(i);
  return Com_br1200;
}

void TComOptions::SetBaudRate(TComBaudRate Value) { FState.BaudRate = ComBaudRateValue(Value); }

TComParity TComOptions::GetParity() const {
  if (!Flag(ComFlagParity)) return Com_pNone;
  switch (FState.Parity) {
    case kOddParity: return Com_pOdd;
    case kEvenParity: return Com_pEven;
    case kMarkParity: return Com_pMark;
    default: return Com_pNone;
  }
}

void TComOptions::SetParity(TComParity Value) {
  switch (Value) {
    case Com_pEven: SetFlag(ComFlagParity, true); FState.Parity = kEvenParity; break;
    case Com_pOdd: SetFlag(ComFlagParity, true); FState.Parity = kOddParity; break;
    case Com_pMark: SetFlag(ComFlagParity, true); FState.Parity = kMarkParity; break;
    default: SetFlag(ComFlagParity, false); FState.Parity = kNoParity; break;
  }
}

TComDataBits TComOptions::GetDataBits() const {
  switch (FState.ByteSize) {
    case 5: return Com_dbFive;
    case 7: return Com_dbSeven;
    default: return Com_dbEight;
  }
}

void TComOptions::SetDataBits(TComDataBits Value) {
  switch (Value) {
    case Com_dbFive: FState.ByteSize = 5; break;
    case Com_dbSeven: FState.ByteSize = 7; break;
    default: FState.ByteSize = 8; break;
  }
}

TComStopBits TComOptions::GetStopBits() const {
  switch (FState.StopBits) {
    case kOne5StopBits: return Com_sbOneAndHalf;
    case kTwoStopBits: return Com_sbTwo;
    default: return Com_sbOne;
  }
}

void TComOptions::SetStopBits(TComStopBits Value) {
  switch (Value) {
    case Com_sbOneAndHalf: FState.StopBits = kOne5StopBits; break;
    case Com_sbTwo: FState.StopBits = kTwoStopBits; break;
    default: FState.StopBits = kOneStopBit; break;
  }
}

TComSoftwareFlow& TComOptions::GetSoftwareFlow() {
  FSoftwareFlow.LoadFrom(FState);
  return FSoftwareFlow;
}

TComHardwareFlow& TComOptions::GetHardwareFlow() {
  FHardwareFlow.LoadFrom(FState);
  return FHardwareFlow;
}

void TComOptions::SoftwareFlowChanged() { FSoftwareFlow.StoreTo(FState); }

void TComOptions::HardwareFlowChanged() { FHardwareFlow.StoreTo(FState); }

int32_t TComOptions::QueueSize(int32_t Value) {
  if (Value < 256) return 256;
  if (Value > 65536) return 65536;
  return (Value + 255) / 256 * 256;
}

TSerialLineSettings TComOptions::BuildLineSettings() const {
  TSerialLineSettings line;
  line.BaudRate = ComBaudRateValue(GetBaudRate());
  switch (GetDataBits()) {
    case Com_dbFive: line.DataBits = 5; break;
    case Com_dbSeven: line.DataBits = 7; break;
    default: line.DataBits = 8; break;
  }
  switch (GetParity()) {
    case Com_pEven: line.Parity = TSerialParity::Even; break;
    case Com_pOdd: line.Parity = TSerialParity::Odd; break;
    case Com_pMark: line.Parity = TSerialParity::Mark; break;
    default: line.Parity = TSerialParity::None; break;
  }
  switch (GetStopBits()) {
    case Com_sbOneAndHalf: line.StopBits = TSerialStopBits::OneAndHalf; break;
    case Com_sbTwo: line.StopBits = TSerialStopBits::Two; break;
    default: line.StopBits = TSerialStopBits::One; break;
  }
  line.OutXonXoff = Flag(ComFlagOutX);
  line.InXonXoff = Flag(ComFlagInX);
  line.XonChar = FState.XonChar;
  line.XoffChar = FState.XoffChar;
  // The kernel ties CTS flow and RTS handshake into one switch.
  const uint32_t rts = FState.Flags & ComFlagRtsControlMask;
  line.CtsFlow = Flag(ComFlagOutxCtsFlow) || rts == ComFlagRtsHandshake;
  line.DsrFlow = Flag(ComFlagOutxDsrFlow);
  switch (FState.Flags & ComFlagDtrControlMask) {
    case ComFlagDtrEnable: line.Dtr = TSerialLineControl::On; break;
    case ComFlagDtrHandshake: line.Dtr = TSerialLineControl::Handshake; break;
    default: line.Dtr = TSerialLineControl::Off; break;
  }
  switch (rts) {
    case ComFlagRtsEnable:
    case ComFlagRtsToggle: line.Rts = TSerialLineControl::On; break;
    case ComFlagRtsHandshake: line.Rts = TSerialLineControl::Handshake; break;
    default: line.Rts = TSerialLineControl::Off; break;
  }
  line.ReplaceErrors = Flag(ComFlagErrorChar);
  line.ErrorChar = FState.ErrorChar;
  line.DiscardNulls = Flag(ComFlagNull);
  return line;
}
