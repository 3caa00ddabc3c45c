// The serial-port glue: ports 20-23, 48 and 49 over pseudo-terminals and the
// TCP server standing in for COM1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "PseudoTerminal.h"
#include "ComPortNames.h"
#include "MachineTestSupport.h"

namespace {

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

// A program that writes to a COM port without looking at its status, faster
// than the peer reads: while the peer holds the line back the processor stays
// on its OUT instruction, the run loop going on, and no byte is lost. Turning
// the port off lets the program run on.
TEST_F(ComPortsTest, AProgramThatDoesNotPollWaitsOnItsOutWhileThePeerHoldsTheLineBack) {
  korvel_test::PseudoTerminal Pty;
  SetComPortDevice(ComNumber2, Pty.SlaveName());
  Machine.Com2Settings.PortNumber = ComNumber2;
  Machine.Com2Settings.Enabled = true;
  Machine.ActivateCom2();
  ASSERT_TRUE(Machine.ComRx2().GetActive()) << (Messages.empty() ? "" : Messages[0]);
  // Four times 64 KiB: (E xor D) for DE = 0 .. FFFFh, then HALT.
  const std::vector<uint8_t> Program = {
      0x0E, 0x04,        //         LD   C,4
      0x11, 0x00, 0x00,  //         LD   DE,0
      0x7B,              // 0105h:  LD   A,E
      0xAA,              //         XOR  D
      0xD3, 0x17,        //         OUT  (23),A
      0x13,              //         INC  DE
      0x7A,              //         LD   A,D
      0xB3,              //         OR   E
      0x20, 0xF7,        //         JR   NZ,0105h
      0x0D,              //         DEC  C
      0x20, 0xF4,        //         JR   NZ,0105h
      0x76,              //         HALT
  };
  std::vector<uint8_t> Expected;
  for (int Round = 0; Round < 4; ++Round)
    for (unsigned Value = 0; Value < 0x10000; ++Value) Expected.push_back(static_cast<uint8_t>(Value ^ (Value >> 8)));
  TCpuEmu& Cpu = Machine.Cpu();
  const auto Start = [&] {
    Cpu.Reset(0x0100);
    Cpu.LoadMemory(0x0100, static_cast<uint16_t>(Program.size()), Program.data());
    Machine.SetRunCpu(true);
  };
  const auto Halted = [&] { return (Cpu.CpuState & CpuStateHalted) != 0; };
  // Runs passes until Done holds; the limit only keeps a broken build from hanging.
  const auto RunUntil = [&](const std::function<bool()>& Done) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!Done() && std::chrono::steady_clock::now() < Deadline) {
      Machine.RunPass();
      MainThread.RunPending();
    }
    return Done();
  };
  // Passes in a row that end on the OUT instruction with the port full.
  int HeldPasses = 0;
  const auto Held = [&] {
    HeldPasses = Cpu.GetPC() == 0x0107 && !Machine.ComRx2().TxReady() ? HeldPasses + 1 : 0;
    return HeldPasses >= 20;
  };

  // The peer reads nothing until the program waits, then everything.
  Start();
  ASSERT_TRUE(RunUntil(Held));
  std::vector<uint8_t> Received;
  ASSERT_TRUE(RunUntil([&] {
    const std::vector<uint8_t> More = Pty.Receive(65536, std::chrono::milliseconds(1));
    Received.insert(Received.end(), More.begin(), More.end());
    return Halted() && Received.size() >= Expected.size();
  })) << Received.size() << " bytes received";
  EXPECT_TRUE(Received == Expected) << Received.size() << " bytes received, " << Expected.size() << " expected";

  // The peer stops reading for good: the port turned off frees the program.
  Start();
  HeldPasses = 0;
  ASSERT_TRUE(RunUntil(Held));
  Machine.Com2Settings.Enabled = false;
  Machine.ActivateCom2();
  EXPECT_TRUE(RunUntil(Halted));
  EXPECT_TRUE(Messages.empty()) << Messages[0];
}

TEST_F(ComPortsTest, Com1CanBeTheTcpServer) {
  Machine.UseTcpAsCom1 = true;
  Machine.Com1TcpPort = "0";
  Machine.Com1Settings.Enabled = true;
  Machine.ActivateCom1();
  ASSERT_TRUE(Machine.TcpPort().GetActive()) << (Messages.empty() ? "" : Messages[0]);
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
