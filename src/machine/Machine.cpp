// The machine's construction, the port dispatch, the cold-boot device port, the
// disk controller's callbacks, the consoles and the run-loop pass.
#include "Machine.h"


#include <cstdio>
#include <exception>

// The CRT emulator's terminal while no window control is attached: typed keys
// go to the machine's CRT key queue, everything else is not shown anywhere.
class TMachineCrtHost final : public TAdTerminalHost {
 public:
  explicit TMachineCrtHost(TMachine& Machine) : FMachine(Machine) {}
  void KeyboardData(TAdTerminalEmulator& Sender, uint8_t Data) override {
    (void)Sender;
    FMachine.CrtKeyHook(Data);
  }

 private:
  TMachine& FMachine;
};

namespace {

std::string WithTrailingSeparator(const std::filesystem::path& Folder) {
  std::string Text = Folder.string();
  if (!Text.empty() && Text.back() != '/') Text += '/';
  return Text;
}

}  // namespace

TMachine::TMachine(const std::filesystem::path& WorkFolder, IMainThread* MainThread)
    : FWorkFolder(WithTrailingSeparator(WorkFolder)),
      FCpu(std::make_unique<TCpuEmu>()),
      FDiskController(std::make_unique<TDiskController>()),
      FCrtHost(std::make_unique<TMachineCrtHost>(*this)),
      FCrtEmulator(std::make_unique<TAdVT100Emulator>()),
      FTtyParser(std::make_unique<TSimpTermParser>()),
      FComRx1(std::make_unique<TComRx>(MainThread)),
      FComRx2(std::make_unique<TComRx>(MainThread)),
      FTcpPort(std::make_unique<TTcpPortModule>()) {
  FCpu->OnPortRead = [this](TCpuEmu&, uint16_t Port, uint8_t& Data) { CpuPortRead(Port, Data); };
  FCpu->OnPortWrite = [this](TCpuEmu&, uint16_t Port, uint8_t Data) { CpuPortWrite(Port, Data); };

  FDiskController->OnFetchFromMemory = [this](TDiskController&, uint16_t Address, uint8_t* Buffer, int Count) {
    DiskMemoryRead(Address, Buffer, Count);
  };
  FDiskController->OnStoreToMemory = [this](TDiskController&, uint16_t Address, uint8_t* Buffer, int Count) {
    DiskMemoryWrite(Address, Buffer, Count);
  };
  FDiskController->OnReadActivity = [this](TDiskController&, uint8_t Drive) { SetLamp(Drive, TDriveLamp::Reading); };
  FDiskController->OnWriteActivity = [this](TDiskController&, uint8_t Drive) { SetLamp(Drive, TDriveLamp::Writing); };
  FDiskController->OnReset = [this](TDiskController& Sender) {
    for (int Drive = 0; Drive < DriveCount; ++Drive)
      SetLamp(Drive, Sender.HasDisk(Drive) ? TDriveLamp::Mounted : TDriveLamp::Empty);
  };

  // The CRT page's terminal: ANSI, normal cursor keys and keypad, auto-repeat;
  // Page Down, Page Up, Home and End send PF3, PF4, PF1 and PF2 unless the key
  // map already says otherwise.
  FCrtEmulator->SetTerminal(FCrtHost.get());
  FCrtEmulator->SetAnsiMode(true);
  FCrtEmulator->SetAppCursorKeys(false);
  FCrtEmulator->SetAppKeypad(false);
  FCrtEmulator->SetAutoRepeat(true);
  // Bytes 127 to 255 show as the characters they are, not as line drawing; the
  // terminal answers ENQ with nothing.
  FCrtEmulator->DisplayUpperASCII = true;
  FCrtEmulator->Answerback.clear();
  if (TAdKeyboardMapping* KeyMap = FCrtEmulator->GetKeyboardMapping()) {
    const std::pair<const char*, const char*> ExtraKeys[] = {
        {"VK_NEXT", "DEC_PF3k"}, {"VK_PRIOR", "DEC_PF4k"}, {"VK_HOME", "DEC_PF1k"}, {"VK_END", "DEC_PF2k"}};
    for (const auto& [Key, Value] : ExtraKeys)
      if (KeyMap->Get(Key).empty()) KeyMap->Add(Key, Value);
  }

  FTtyParser->OnChar = [this](TSimpTermParser&, uint8_t Character) {
    if (OnTtyWriteChar) OnTtyWriteChar(Character);
  };
  FTtyParser->OnCommand = [this](TSimpTermParser&, uint8_t Code, int32_t Arg1, int32_t Arg2) {
    if (OnTtyControlCode) OnTtyControlCode(Code, Arg1, Arg2);
  };

  InitComPorts();

  DriveFileName[0] = FWorkFolder + "DiskA.cpmdsk";
  // Drive A needs a disk to boot: a blank one is made on the first run. A folder
  // that cannot take it leaves the file missing, which the cold boot reports.
  std::error_code Error;
  if (!std::filesystem::exists(DriveFileName[0], Error)) {
    try {
      TDiskDrive::FormatDriveFile(DriveFileName[0]);
    } catch (const std::exception&) {
    }
  }
}

TMachine::~TMachine() {
  // The ports' threads hand events to this object: stop them first.
  FComRx1->ClosePort();
  FComRx2->ClosePort();
  FTcpPort->SetActive(false);
  CloseReader();
  ClosePunch();
}

void TMachine::Message(TMachineMessageKind Kind, const std::string& Text) {
  if (OnMessage) OnMessage(Kind, Text);
}

// ---------------------------------------------------------------- CRT access

void TMachine::SetCrtTerminal(TAdTerminalHost* Host) { FCrtEmulator->SetTerminal(Host ? Host : FCrtHost.get()); }

std::string TMachine::CrtLineText(int Row) const {
  std::string Text = CrtBuffer().GetLineText(Row);
  while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\0')) Text.pop_back();
  return Text;
}

std::string TMachine::CrtScreenText() const {
  std::vector<std::string> Lines;
  for (int Row = 1; Row <= CrtBuffer().GetRowCount(); ++Row) Lines.push_back(CrtLineText(Row));
  while (!Lines.empty() && Lines.back().empty()) Lines.pop_back();
  std::string Screen;
  for (size_t I = 0; I < Lines.size(); ++I) Screen += (I > 0 ? "\n" : "") + Lines[I];
  return Screen;
}

// ---------------------------------------------------------------- port dispatch

void TMachine::CpuPortRead(uint16_t Port, uint8_t& Data) {
  const uint8_t Number = static_cast<uint8_t>(Port);
  switch (Number) {
    case 16: case 17: case 18: case 19:
      ConsolePortRead(Number, Data);
      break;
    case 20: case 21: case 22: case 23: case 48: case 49:
      ComPortRead(Number, Data);
      break;
    case 24: case 26: case 27: case 28:
      DevicePortRead(Number, Data);
      break;
    case 64: case 65:
      SystemPortRead(Number, Data);
      break;
    case 72:
      Data = ColdBootIoByte;
      break;
    case 112: case 113: case 114: case 115: case 116: case 117: case 118: case 119:
      if (FDiskController) Data = FDiskController->ReadPort(Number & 7);
      break;
    default:
      Data = 255;
      break;
  }
}

void TMachine::CpuPortWrite(uint16_t Port, uint8_t Data) {
  const uint8_t Number = static_cast<uint8_t>(Port);
  switch (Number) {
    case 17: case 19:
      ConsolePortWrite(Number, Data);
      break;
    case 21: case 23: case 48: case 49:
      ComPortWrite(Number, Data);
      break;
    case 25: case 29:
      DevicePortWrite(Number, Data);
      break;
    case 64: case 65:
      SystemPortWrite(Number, Data);
      break;
    case 112: case 113: case 114: case 115: case 116: case 117: case 118: case 119:
      if (FDiskController) FDiskController->WritePort(Number & 7, Data);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------- disk controller callbacks

void TMachine::DiskMemoryRead(uint16_t Address, uint8_t* Buffer, int Count) {
  if (FCpu) FCpu->SaveMemory(Address, static_cast<uint16_t>(Count), Buffer);
}

void TMachine::DiskMemoryWrite(uint16_t Address, const uint8_t* Buffer, int Count) {
  if (FCpu) FCpu->LoadMemory(Address, static_cast<uint16_t>(Count), Buffer);
}

void TMachine::SetLamp(int Drive, TDriveLamp Lamp) {
  if (Drive < 0 || Drive >= DriveCount) return;
  TDriveLamp& Current = FLamps[static_cast<size_t>(Drive)];
  if (Current == Lamp) return;
  Current = Lamp;
  if (OnDriveChanged) OnDriveChanged(Drive);
}

// ---------------------------------------------------------------- consoles

bool TMachine::CrtKeyHook(uint8_t Key) { return CrtKeyQueue.Put(Key == 127 ? 8 : Key); }

bool TMachine::PutTtyKey(uint8_t Key) { return TtyKeyQueue.Put(Key); }

size_t TMachine::TypeCrtKeys(const std::string& Text) {
  size_t Typed = 0;
  for (char Key : Text) {
    if (!CrtKeyHook(static_cast<uint8_t>(Key))) break;
    ++Typed;
  }
  return Typed;
}

void TMachine::ConsolePortRead(uint8_t Port, uint8_t& Data) {
  switch (Port) {
    case 16:
      Data = TtyKeyQueue.Count() > 0 ? 6 : 4;
      break;
    case 17:
      // An empty queue answers with the previous key again.
      TtyKeyQueue.Get(LastTtyKey);
      Data = LastTtyKey;
      break;
    case 18:
      Data = CrtKeyQueue.Count() > 0 ? 6 : 4;
      break;
    default:
      CrtKeyQueue.Get(LastCrtKey);
      Data = LastCrtKey;
      break;
  }
}

void TMachine::ConsolePortWrite(uint8_t Port, uint8_t Data) {
  if (Port == 17)
    FTtyParser->ProcessChar(Data);
  else
    FCrtEmulator->ProcessBlock(&Data, 1, csWriteChar);
}

// ---------------------------------------------------------------- run loop

void TMachine::SetRunCpu(bool Value) {
  if (Value && ShutdownRequested) Value = false;
  if (Value == FRunCpu) return;
  FRunCpu = Value;
  if (OnRunStateChanged) OnRunStateChanged(FRunCpu);
}

bool TMachine::RunPass() {
  if (!FRunCpu || ShutdownRequested) return true;
  bool Done = false;
  FPassStart = std::chrono::steady_clock::now();
  FPassStartCount = FCpu->InstructionCount;
  try {
    FCpu->ExecuteInstructions(PassInstructionCount, BreakPointEnabled ? BreakPointAddress : -1);
    FPassStart.reset();
    if (FCpu->Held()) AwaitHeldPort();
  } catch (const std::exception& Error) {
    FPassStart.reset();
    // Device handlers deal with their own failures; whatever still escapes would
    // fail again on every pass, so the machine stops and says so once.
    SetRunCpu(false);
    if (OnRefreshCpu) OnRefreshCpu();
    Message(TMachineMessageKind::Error, Error.what());
    if (OnUpdateActions) OnUpdateActions();
    return true;
  }
  // A processor held on the instruction at the break point has not reached it
  // again: it has waited there since the pass began.
  if (BreakPointEnabled && !FCpu->Held() && FCpu->CurrentPC == BreakPointAddress) {
    Done = true;
    SetRunCpu(false);
    if (OnRefreshCpu) OnRefreshCpu();
    char Digits[8];
    std::snprintf(Digits, sizeof Digits, "%04X", static_cast<unsigned>(BreakPointAddress));
    Message(TMachineMessageKind::Information, std::string("Reached break point at ") + Digits);
  }
  if (FRunCpu && !ShutdownRequested && OnRefreshCpu) OnRefreshCpu();
  if (ShutdownRequested) {
    SetRunCpu(false);
    if (OnCloseRequest) OnCloseRequest();
    return true;
  }
  if (OnUpdateActions) OnUpdateActions();
  return Done;
}

void TMachine::Step() {
  FCpu->ExecuteInstruction();
  if (OnRefreshCpu) OnRefreshCpu();
}

void TMachine::RequestShutdown() {
  SetRunCpu(false);
  ShutdownRequested = true;
}
