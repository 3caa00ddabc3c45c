// The serial-port glue: ports 20-23, 48 and 49 over pseudo-terminals and the
// TCP server standing in for COM1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "PseudoTerminal.h"
#include "ComPortNames.h"
#include "MachineTestSupport.h"
#include "SerialPeers.h"
#include "WaitUntil.h"
#include "WritingProgram.h"

namespace {

using machine_test::TWritingProgram;
using machine_test::TWritingProgramRun;

// A machine whose serial events arrive through a main-thread queue the test pumps.
class ComPortsTest : public ::testing::Test {
 protected:
  ComPortsTest() : Machine(Folder.Path(), &MainThread) {
    Machine.OnMessage = [this](TMachineMessageKind, const std::string& Text) { Messages.push_back(Text); };
    Machine.OnComSettingsChanged = [this](int Port) { SettingsChanges.push_back(Port); };
  }
  ~ComPortsTest() override {
    SetComPortDevice(ComNumber1, "");
    SetComPortDevice(ComNumber2, "");
  }
  uint8_t In(uint16_t Port, uint8_t Preset = 0x5A) {
    uint8_t Data = Preset;
    Machine.CpuPortRead(Port, Data);
    return Data;
  }
  void Out(uint16_t Port, uint8_t Data) { Machine.CpuPortWrite(Port, Data); }
  bool Pump(const std::function<bool()>& Done) { return MainThread.PumpUntil(Done, std::chrono::seconds(10)); }
  // COM1 as the TCP server, on a free port.
  void UseTcpCom1() {
    Machine.UseTcpAsCom1 = true;
    Machine.Com1TcpPort = "0";
    Machine.Com1Settings.Enabled = true;
    Machine.ActivateCom1();
    ASSERT_TRUE(Machine.TcpPort().GetActive()) << (Messages.empty() ? "" : Messages[0]);
  }
  // COM2 on a pseudo-terminal, turned on.
  void UsePtyCom2(korvel_test::PseudoTerminal& Pty) {
    SetComPortDevice(ComNumber2, Pty.SlaveName());
    Machine.Com2Settings.PortNumber = ComNumber2;
    Machine.Com2Settings.Enabled = true;
    Machine.ActivateCom2();
    ASSERT_TRUE(Machine.ComRx2().GetActive()) << (Messages.empty() ? "" : Messages[0]);
  }
  // Runs the program until the port has taken nothing for twenty passes in a
  // row (TakesAByte false), or until it ends; true when it was held there.
  static bool RunUntilHeldBack(TWritingProgramRun& Run, const std::function<bool()>& TakesAByte) {
    int HeldBackPasses = 0;
    Run.RunUntil([&] {
      HeldBackPasses = TakesAByte() ? 0 : HeldBackPasses + 1;
      return HeldBackPasses >= 20 || Run.Halted();
    });
    return HeldBackPasses >= 20 && !Run.Halted();
  }
  // The processor was held on each output form, wrote every byte once (a held
  // write is not written), and the peer received every byte in order.
  void ExpectEveryFormHeldAndEveryByteInOrder(const TWritingProgram& Program, const TWritingProgramRun& Run,
                                             const std::string& Received) {
    EXPECT_EQ(Run.HeldAt, (std::set<uint16_t>{Program.PlainOut, Program.PrefixedOut, Program.BlockOut}));
    EXPECT_LT(Run.LongestHeldPass, TMachine::PassInstructionCount);
    EXPECT_TRUE(Run.Written == Program.Expected) << Run.Written.size() << " bytes written";
    EXPECT_TRUE(Received == std::string(Program.Expected.begin(), Program.Expected.end()))
        << Received.size() << " bytes received, " << Program.Expected.size() << " expected";
    EXPECT_TRUE(Messages.empty()) << Messages[0];
  }

  static constexpr int ComNumber1 = 41;
  static constexpr int ComNumber2 = 42;
  machine_test::TTempFolder Folder;
  TQueuedMainThread MainThread;
  TMachine Machine;
  std::vector<std::string> Messages;
  std::vector<int> SettingsChanges;
};

// A closed port has no peer to hold output back: it takes every byte at once
// (and drops it), and reports no received byte, yet its queue still drains.
TEST_F(ComPortsTest, ClosedPortsTakeEveryByteAndStillDrainTheirQueues) {
  Machine.Com1Queue.Put(0x31);
  Machine.Com2Queue.Put(0x32);
  EXPECT_EQ(In(20), 4);
  EXPECT_EQ(In(22), 4);
  EXPECT_EQ(In(21), 0x31);
  EXPECT_EQ(In(23), 0x32);
  EXPECT_EQ(In(21, 0x77), 0x77) << "an empty queue leaves the data unchanged";
  Out(21, 'x');  // dropped
  Out(23, 'y');
}

TEST_F(ComPortsTest, TcpCom1OnlyTakesBytesWhileTheServerIsOff) {
  Machine.UseTcpAsCom1 = true;
  Machine.Com1Queue.Put(1);
  EXPECT_EQ(In(20), 4);
  EXPECT_EQ(In(21, 0x66), 0x66);
}

TEST_F(ComPortsTest, SettingsPortsReportAndChangeTheSettings) {
  Machine.Com1Settings.BaudIndex = 8;  // 57600: beyond what the port can report
  Machine.Com1Settings.FormatIndex = 3;
  Machine.Com1Settings.TwoStopBits = false;
  Machine.Com1Settings.HardwareFlow = true;
  EXPECT_EQ(In(48), 0 + 3 * 8 + 64);
  // Without a selection the baud bits read 7.
  EXPECT_EQ(In(49), 7 + 3 * 8 + 64);

  Out(48, 0x4B);  // 2400 baud, 7 bits even parity, one stop bit, hardware flow
  EXPECT_EQ(Machine.Com1Settings.BaudIndex, 3);
  EXPECT_EQ(Machine.Com1Settings.FormatIndex, 1);
  EXPECT_FALSE(Machine.Com1Settings.TwoStopBits);
  EXPECT_TRUE(Machine.Com1Settings.HardwareFlow);
  EXPECT_EQ(In(48), 0x4B);
  TComOptions& Options = Machine.ComRx1().GetOptions();
  EXPECT_EQ(Options.GetBaudRate(), Com_br2400);
  EXPECT_EQ(Options.GetParity(), Com_pEven);
  EXPECT_EQ(Options.GetDataBits(), Com_dbSeven);
  EXPECT_EQ(Options.GetStopBits(), Com_sbOne);
  EXPECT_TRUE(Options.GetHardwareFlow().GetTxUseCtsFlow());
  Out(48, 0x80 | 0x20 | 0x18 | 0x05);  // bit 7 is ignored
  EXPECT_EQ(In(48), 0x3D);
  EXPECT_EQ(Options.GetStopBits(), Com_sbTwo);
  EXPECT_EQ(Options.GetDataBits(), Com_dbEight);
  EXPECT_FALSE(Options.GetHardwareFlow().GetTxUseCtsFlow());
  EXPECT_EQ(SettingsChanges, (std::vector<int>{1, 1}));
}

TEST_F(ComPortsTest, EnablingAMissingPortReportsWhyAndLeavesItOff) {
  SetComPortDevice(ComNumber1, Folder.File("no-such-tty"));
  Machine.Com1Settings.PortNumber = ComNumber1;
  Machine.Com1Settings.Enabled = true;
  Machine.ActivateCom1();
  EXPECT_FALSE(Machine.Com1Settings.Enabled);
  EXPECT_FALSE(Machine.ComRx1().GetActive());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].rfind("Unable to activate Com Port 1, ", 0), 0u) << Messages[0];
  EXPECT_GT(Messages[0].size(), std::string("Unable to activate Com Port 1, ").size());
  EXPECT_EQ(SettingsChanges, std::vector<int>{1});
}

TEST_F(ComPortsTest, BytesTravelBothWaysThroughAHostPort) {
  korvel_test::PseudoTerminal Pty;
  SetComPortDevice(ComNumber2, Pty.SlaveName());
  Machine.Com2Settings.PortNumber = ComNumber2;
  Machine.Com2Settings.HardwareFlow = false;
  Machine.Com2Settings.Enabled = true;
  Machine.ActivateCom2();
  ASSERT_TRUE(Machine.ComRx2().GetActive()) << (Messages.empty() ? "" : Messages[0]);
  EXPECT_EQ(In(22), 4);
  Pty.Send({'h', 'i'});
  ASSERT_TRUE(Pump([&] { return Machine.Com2Queue.Count() == 2; }));
  EXPECT_EQ(In(22), 6);
  EXPECT_EQ(In(23), 'h');
  EXPECT_EQ(In(23), 'i');
  EXPECT_EQ(In(22), 4);
  Out(23, 'o');
  Out(23, 'k');
  EXPECT_EQ(Pty.Receive(2), (std::vector<uint8_t>{'o', 'k'}));
  // COM1 is closed: it only takes bytes.
  EXPECT_EQ(In(20), 4);
}

TEST_F(ComPortsTest, ASettingsWriteReopensOnlyItsOwnPort) {
  korvel_test::PseudoTerminal Pty1;
  korvel_test::PseudoTerminal Pty2;
  SetComPortDevice(ComNumber1, Pty1.SlaveName());
  SetComPortDevice(ComNumber2, Pty2.SlaveName());
  Machine.Com1Settings.PortNumber = ComNumber1;
  Machine.Com2Settings.PortNumber = ComNumber2;
  Machine.Com1Settings.Enabled = Machine.Com2Settings.Enabled = true;
  Machine.ActivateCom1();
  Machine.ActivateCom2();
  ASSERT_TRUE(Machine.ComRx1().GetActive());
  ASSERT_TRUE(Machine.ComRx2().GetActive());
  Pty1.Send({'1'});
  Pty2.Send({'2'});
  ASSERT_TRUE(Pump([&] { return Machine.Com1Queue.Count() == 1 && Machine.Com2Queue.Count() == 1; }));
  Out(49, 0x03);  // COM2: 2400 baud, 7 bits no parity, no flow control
  EXPECT_EQ(Machine.Com2Queue.Count(), 0) << "re-opening drops what was queued";
  EXPECT_TRUE(Machine.ComRx2().GetActive());
  EXPECT_EQ(Machine.ComRx2().GetOptions().GetBaudRate(), Com_br2400);
  EXPECT_EQ(Machine.Com1Queue.Count(), 1);
  EXPECT_TRUE(Machine.ComRx1().GetActive());
  EXPECT_EQ(In(21), '1');
}

TEST_F(ComPortsTest, ABreakDropsTheNextBlockAndColdBootsTheMachine) {
  machine_test::WriteTextFile(Folder.File("cpm22.hex"), machine_test::HexText(0xE400, std::vector<uint8_t>(0x1600, 1)));
  machine_test::WriteTextFile(Folder.File("vantel.hex"), machine_test::HexText(0xFA00, std::vector<uint8_t>(0x200, 2)));
  TComRx& Rx = Machine.ComRx2();
  ASSERT_TRUE(Rx.OnModemSignal);
  ASSERT_TRUE(Rx.OnDataBlock);
  Machine.CrtKeyHook('k');
  Rx.OnModemSignal(Rx, ComSignalCts);
  EXPECT_FALSE(Machine.Booted());
  Rx.OnModemSignal(Rx, ComSignalBreak | ComSignalCts);
  EXPECT_TRUE(Machine.Booted());
  EXPECT_TRUE(Machine.GetRunCpu());
  EXPECT_EQ(Machine.Cpu().GetPC(), 0xFA00);
  EXPECT_EQ(Machine.CrtKeyQueue.Count(), 0);
  const uint8_t Block[] = {'a', 'b'};
  Rx.OnDataBlock(Rx, Block, 2);
  EXPECT_EQ(Machine.Com2Queue.Count(), 0);
  Rx.OnDataBlock(Rx, Block, 2);
  EXPECT_EQ(Machine.Com2Queue.Count(), 2);
  EXPECT_FALSE(Machine.DropNextCom1Block);
}

TEST_F(ComPortsTest, ABreakWhoseBootFailsIsReported) {
  TComRx& Rx = Machine.ComRx1();
  Rx.OnModemSignal(Rx, ComSignalBreak);
  EXPECT_TRUE(Machine.DropNextCom1Block);
  EXPECT_FALSE(Machine.GetRunCpu());
  EXPECT_EQ(Messages.size(), 1u);
}

TEST_F(ComPortsTest, ReceivedBytesBeyondTheQueueAreLost) {
  TComRx& Rx = Machine.ComRx1();
  std::vector<uint8_t> Block(600);
  for (size_t I = 0; I < Block.size(); ++I) Block[I] = static_cast<uint8_t>(I);
  Rx.OnDataBlock(Rx, Block.data(), static_cast<uint32_t>(Block.size()));
  EXPECT_EQ(Machine.Com1Queue.Count(), 512);
  EXPECT_EQ(In(21), 0);
  EXPECT_EQ(In(21), 1);
}

TEST_F(ComPortsTest, AFailingPortIsReportedOnceAndLeftOff) {
  auto Pty = std::make_unique<korvel_test::PseudoTerminal>();
  SetComPortDevice(ComNumber2, Pty->SlaveName());
  Machine.Com2Settings.PortNumber = ComNumber2;
  Machine.Com2Settings.HardwareFlow = false;
  Machine.Com2Settings.Enabled = true;
  Machine.ActivateCom2();
  ASSERT_TRUE(Machine.ComRx2().GetActive());
  Pty.reset();  // the far end goes away
  for (int I = 0; I < 50; ++I) Out(23, 'x');
  Pump([&] { return !Machine.Com2Settings.Enabled; });
  for (int I = 0; I < 50; ++I) Out(23, 'x');
  MainThread.RunPending();
  EXPECT_FALSE(Machine.Com2Settings.Enabled);
  EXPECT_FALSE(Machine.ComRx2().GetActive());
  EXPECT_EQ(In(22), 4) << "a port closed after a failure must not hold CP/M's output back";
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].rfind("Com Port 2 failed", 0), 0u) << Messages[0];
}

// How long a peer stops reading in the middle of the output.
constexpr auto kPeerPause = std::chrono::milliseconds(2500);

// A program that writes without looking at the status port, faster than the
// peer reads, on a host loaded by busy loops: COM1 as the TCP server, whose
// client stops reading for a while. The server's queue holds the program back
// whenever it writes faster than the server passes bytes on to the client.
// Every output form is held; a held pass ends on the held instruction, every
// byte is written once; and every byte arrives in order. A
// client that stops reading for good holds the program until it leaves.
TEST_F(ComPortsTest, AProgramThatDoesNotPollIsHeldOnEveryOutputWhileATcpClientHoldsTheLineBack) {
  ASSERT_NO_FATAL_FAILURE(UseTcpCom1());
  const TWritingProgram Program = machine_test::WritingProgram(21, 1024);
  {
    const int Client = korvel_test::ConnectLoopback(Machine.TcpPort().GetLocalPort(), 8192);
    ASSERT_GE(Client, 0);
    ASSERT_TRUE(korvel_test::WaitUntil([&] { return Machine.TcpPort().HasClient(); }));
    korvel_test::TPeerReader Reader(Client);
    Reader.PauseAt(Program.Expected.size() / 6, kPeerPause);
    TWritingProgramRun Run(Machine, MainThread, 21, Program);
    {
      korvel_test::TBusyHost Load;
      ASSERT_TRUE(Run.RunUntil([&] { return Run.Halted() && Reader.Count() >= Program.Expected.size(); }))
          << Reader.Count() << " bytes received";
    }
    EXPECT_TRUE(Reader.Paused());
    ExpectEveryFormHeldAndEveryByteInOrder(Program, Run, Reader.Received());
    ::close(Client);
  }

  // The client's socket and the server's take megabytes before the line is
  // held back for good.
  const TWritingProgram Long = machine_test::WritingProgram(21, 16384);
  const int Stalled = korvel_test::ConnectLoopback(Machine.TcpPort().GetLocalPort(), 8192);
  ASSERT_GE(Stalled, 0);
  ASSERT_TRUE(korvel_test::WaitUntil([&] { return Machine.TcpPort().HasClient(); }));
  TWritingProgramRun Run(Machine, MainThread, 21, Long);
  ASSERT_TRUE(RunUntilHeldBack(Run, [&] { return Machine.TcpPort().TxReady(); }));
  EXPECT_TRUE(Machine.Cpu().Held());
  ::close(Stalled);
  EXPECT_TRUE(Run.RunUntil([&] { return Run.Halted(); })) << "the program was not freed when the client left";
  EXPECT_TRUE(Messages.empty()) << Messages[0];
}

// The same over a pseudo-terminal on COM2, whose reader stops early in each
// part: for a while in the first, and in the others until the program has been
// held there; then a reader that stops for good holds the program until the
// port is turned off.
TEST_F(ComPortsTest, AProgramThatDoesNotPollIsHeldOnEveryOutputWhileAPseudoTerminalHoldsTheLineBack) {
  korvel_test::PseudoTerminal Pty;
  ASSERT_NO_FATAL_FAILURE(UsePtyCom2(Pty));
  // A pseudo-terminal takes some 20 KB while nobody reads: the program is held
  // in the part where the reader stopped.
  const TWritingProgram Program = machine_test::WritingProgram(23, 192);
  const size_t PartSize = Program.Expected.size() / 3;
  korvel_test::TPeerReader Reader(Pty.Master());
  {
    size_t StopAt = 2048;
    Reader.StopAt(StopAt);
    std::optional<std::chrono::steady_clock::time_point> HeldSince;
    TWritingProgramRun Run(Machine, MainThread, 23, Program);
    {
      korvel_test::TBusyHost Load;
      ASSERT_TRUE(Run.RunUntil([&] {
        const auto Now = std::chrono::steady_clock::now();
        if (!HeldSince && Machine.Cpu().Held() && Reader.Count() >= StopAt) HeldSince = Now;
        if (HeldSince && Now - *HeldSince >= (StopAt < PartSize ? kPeerPause : std::chrono::milliseconds(0))) {
          StopAt = StopAt + PartSize < Program.Expected.size() ? StopAt + PartSize : SIZE_MAX;
          Reader.StopAt(StopAt);
          HeldSince.reset();
        }
        return Run.Halted() && Reader.Count() >= Program.Expected.size();
      })) << Reader.Count() << " bytes received";
    }
    ExpectEveryFormHeldAndEveryByteInOrder(Program, Run, Reader.Received());
  }

  Reader.StopAt(Reader.Count() + 2048);
  TWritingProgramRun Run(Machine, MainThread, 23, Program);
  ASSERT_TRUE(RunUntilHeldBack(Run, [&] { return Machine.ComRx2().TxReady(); }));
  EXPECT_TRUE(Machine.Cpu().Held());
  // A break point set on the instruction it waits on is not reached by waiting.
  Machine.BreakPointAddress = Machine.Cpu().GetPC();
  Machine.BreakPointEnabled = true;
  Run.Pass();
  EXPECT_TRUE(Machine.GetRunCpu());
  Machine.BreakPointEnabled = false;
  // The Ports page's "Enable Com Port" box unchecked.
  Machine.Com2Settings.Enabled = false;
  Machine.ActivateCom2();
  EXPECT_TRUE(Run.RunUntil([&] { return Run.Halted(); })) << "the program was not freed when the port was turned off";
  EXPECT_TRUE(Messages.empty()) << Messages[0];
}

// A pass that has run its time ends at its next write to a COM port, however
// fast the peer, and at a status read that finds the line held back; the
// instruction it ended on runs first in the next pass, whatever the time. With
// a limit of nothing, every pass of a program writing freely to a
// pseudo-terminal writes one byte and ends held on the next write,
// every output form included, and the bytes all arrive in order; a program
// that polls the status of a peer that stopped reading is held at its third
// look, a pass with it runs three instructions.
TEST_F(ComPortsTest, APassThatHasRunItsTimeEndsAtItsNextWriteOrAHeldBackStatusRead) {
  korvel_test::PseudoTerminal Pty;
  ASSERT_NO_FATAL_FAILURE(UsePtyCom2(Pty));
  korvel_test::TPeerReader Reader(Pty.Master());
  Machine.PassOutputLimit = std::chrono::nanoseconds(0);

  const TWritingProgram Program = machine_test::WritingProgram(23, 2);
  {
    TWritingProgramRun Run(Machine, MainThread, 23, Program);
    size_t Passes = 0;
    while (!Run.Halted() && Passes < 4 * Program.Expected.size()) {
      const size_t Before = Run.Written.size();
      Run.Pass();
      ++Passes;
      if (Run.Halted()) break;
      ASSERT_TRUE(Machine.Cpu().Held()) << "pass " << Passes;
      // The first pass ends at the program's first write; each after it starts with a write.
      ASSERT_EQ(Run.Written.size(), Before + (Passes == 1 ? 0 : 1)) << "pass " << Passes;
    }
    ASSERT_TRUE(Run.Halted()) << Run.Written.size() << " bytes written in " << Passes << " passes";
    EXPECT_EQ(Passes, Program.Expected.size() + 1);
    EXPECT_EQ(Run.HeldAt, (std::set<uint16_t>{Program.PlainOut, Program.PrefixedOut, Program.BlockOut}));
    EXPECT_TRUE(Run.Written == Program.Expected) << Run.Written.size() << " bytes written";
    ASSERT_TRUE(korvel_test::WaitUntil([&] { return Reader.Count() >= Program.Expected.size(); }));
    EXPECT_TRUE(Reader.Received() == std::string(Program.Expected.begin(), Program.Expected.end()));
  }

  // The peer stops reading; once its line is held back, a polling program
  // looks three times in a pass (the look a pass starts with runs whatever
  // the time) and is held on the third.
  Reader.StopAt(Reader.Count());
  Machine.PassOutputLimit = TMachine::PassOutputTime;
  const TWritingProgram Polling = machine_test::PollingProgram(22, 23, 60000);
  TWritingProgramRun Run(Machine, MainThread, 23, Polling);
  ASSERT_TRUE(RunUntilHeldBack(Run, [&] { return Machine.ComRx2().TxReady(); }));
  Machine.PassOutputLimit = std::chrono::nanoseconds(0);
  for (int Pass = 0; Pass < 3; ++Pass) {
    const uint64_t Before = Machine.Cpu().InstructionCount;
    Run.Pass();
    EXPECT_TRUE(Machine.Cpu().Held());
    EXPECT_EQ(Machine.Cpu().GetPC(), 0x0106);
    EXPECT_EQ(Machine.Cpu().InstructionCount - Before, 3u);
  }
  Machine.Com2Settings.Enabled = false;
  Machine.ActivateCom2();
  EXPECT_TRUE(Messages.empty()) << Messages[0];
}

TEST_F(ComPortsTest, Com1CanBeTheTcpServer) {
  ASSERT_NO_FATAL_FAILURE(UseTcpCom1());
  EXPECT_EQ(In(20), 4);

  const int Client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(Client, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(Machine.TcpPort().GetLocalPort());
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(Client, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0);
  ASSERT_EQ(::send(Client, "net", 3, 0), 3);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(In(20) & 2) && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(In(20), 6);
  std::string Received;
  while ((In(20) & 2) && Received.size() < 3) Received += static_cast<char>(In(21));
  EXPECT_EQ(Received, "net");
  Out(21, 'o');
  Out(21, 'k');
  char Reply[2] = {};
  size_t Got = 0;
  while (Got < 2) {
    const ssize_t N = ::recv(Client, Reply + Got, 2 - Got, 0);
    if (N <= 0) break;
    Got += static_cast<size_t>(N);
  }
  EXPECT_EQ(std::string(Reply, Got), "ok");
  ::close(Client);

  // A second server on the same port cannot start: the failure is reported.
  TMachine Other(Folder.Path(), &MainThread);
  std::vector<std::string> OtherMessages;
  Other.OnMessage = [&](TMachineMessageKind, const std::string& Text) { OtherMessages.push_back(Text); };
  Other.UseTcpAsCom1 = true;
  Other.Com1TcpPort = std::to_string(Machine.TcpPort().GetLocalPort());
  Other.Com1Settings.Enabled = true;
  Other.ActivateCom1();
  EXPECT_FALSE(Other.Com1Settings.Enabled);
  ASSERT_EQ(OtherMessages.size(), 1u);
  EXPECT_EQ(OtherMessages[0].rfind("Unable to activate Com Port 1, ", 0), 0u);
}

}  // namespace
