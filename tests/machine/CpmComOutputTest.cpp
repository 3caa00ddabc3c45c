// CP/M's output to a COM port whose peer holds the line back, on a host loaded
// by busy loops: the console on COM1 as the TCP server (STAT CON:=UC1:) and the
// punch on COM2 over a pseudo-terminal (PIP PUN:=). Output waits for the peer
// and arrives byte for byte; turning the port off, or the TCP client leaving,
// frees a CP/M that waits on a stalled peer; and a TCP console with no client
// connected lets CP/M run at its normal speed.
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ComPortNames.h"
#include "CpmBootRig.h"
#include "Fixtures.h"
#include "PseudoTerminal.h"
#include "SerialPeers.h"
#include "WaitUntil.h"

namespace {

using korvel_boot::TCpmBootRig;
using korvel_boot::TextBytes;
using korvel_test::FixtureBytes;
using korvel_test::TBusyHost;
using korvel_test::TPeerReader;
using Clock = std::chrono::steady_clock;

const char* const kCpmImage = "cpm22/cpm22.hex";
// Only keeps a broken build from hanging; a sound one needs a small part of it.
constexpr auto kPatience = std::chrono::minutes(5);
// How long a peer stops reading in the middle of the output.
constexpr auto kPause = std::chrono::milliseconds(2500);
// The client's socket takes little more than this while the client does not
// read, so that the server's sooner holds CP/M back.
constexpr int kClientReceiveBuffer = 8192;

class CpmComOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_FIXTURE(kCpmImage);
    Rig = std::make_unique<TCpmBootRig>(korvel_test::Fixture(kCpmImage).string(), KORVEL_BIOS_HEX);
    DiskA = Rig->Machine->DriveFileName[0];
    TCpmBootRig::ImportFile(DiskA, "BIG.TXT", TextBytes(Text));
    // What CP/M writes to COM1's data port, whether or not anyone takes it; a
    // write the port held (a pass that ran long ends on it) comes again.
    TCpuPortWriteProc deviceWrite = Machine().Cpu().OnPortWrite;
    Machine().Cpu().OnPortWrite = [this, deviceWrite](TCpuEmu& Sender, uint16_t Port, uint8_t Data) {
      deviceWrite(Sender, Port, Data);
      if (static_cast<uint8_t>(Port) == 21 && !Sender.HoldRequested()) Com1Written += static_cast<char>(Data);
    };
  }
  void TearDown() override { SetComPortDevice(ComNumber, ""); }

  TMachine& Machine() { return *Rig->Machine; }

  // Runs passes until Done holds (keys typed on the CRT go in as they fit).
  bool RunUntil(const std::function<bool()>& Done) {
    const auto deadline = Clock::now() + kPatience;
    while (!Done()) {
      if (Clock::now() > deadline || !Machine().GetRunCpu()) return Done();
      Rig->Pass();
    }
    return true;
  }
  // Runs passes until CP/M has waited on a port that took nothing for twenty
  // passes in a row.
  bool RunUntilStalled(const std::function<bool()>& PortTakesAByte) {
    int stalledPasses = 0;
    return RunUntil([&] {
      stalledPasses = PortTakesAByte() ? 0 : stalledPasses + 1;
      return stalledPasses >= 20;
    });
  }
  // Whether Output shows the prompt again after From.
  static bool PromptAfter(const std::string& Output, size_t From) {
    return Output.find("\r\na>", From) != std::string::npos;
  }

  // COM1 as the TCP server on a free port.
  void UseTcpCom1() {
    Machine().UseTcpAsCom1 = true;
    Machine().Com1TcpPort = std::to_string(0);  // any free port
    Machine().Com1Settings.Enabled = true;
    Machine().ActivateCom1();
    ASSERT_TRUE(Machine().TcpPort().GetActive()) << (Rig->Messages.empty() ? "" : Rig->Messages.front());
  }
  // COM2 on the far end of the pseudo-terminal, as the Ports page opens it.
  void UsePtyCom2() {
    SetComPortDevice(ComNumber, Peer.SlaveName());
    Machine().Com2Settings.PortNumber = ComNumber;
    Machine().Com2Settings.Enabled = true;
    Machine().ActivateCom2();
    ASSERT_TRUE(Machine().Com2Settings.Enabled) << (Rig->Messages.empty() ? "" : Rig->Messages.front());
  }

  static constexpr int ComNumber = 44;
  const std::string Text = korvel_boot::NumberedText(200 * 1024);
  std::unique_ptr<TCpmBootRig> Rig;
  std::filesystem::path DiskA;
  std::string Com1Written;
  korvel_test::PseudoTerminal Peer;
};

// The console moved to COM1 as a TCP server with STAT, as a user does it. A
// client that stops reading for a while in the middle of a 200 KB TYPE gets
// every byte, however late the busy host lets the server's thread run. (The
// sockets of the loopback interface take megabytes before a client that does
// not read holds the server back.) A client that stops reading for good holds
// CP/M back once they are full, and frees it by leaving; the next client finds
// the console working.
TEST_F(CpmComOutputTest, TcpConsoleWaitsForAClientThatPausesAndIsFreedWhenItLeaves) {
  TCpmBootRig::ImportFile(DiskA, "STAT.COM", FixtureBytes("cpm22/programs/STAT.COM"));
  UseTcpCom1();
  ASSERT_TRUE(Rig->BootToPrompt()) << Rig->CrtOutput;
  const int client = korvel_test::ConnectLoopback(Machine().TcpPort().GetLocalPort(), kClientReceiveBuffer);
  ASSERT_GE(client, 0);
  auto reader = std::make_unique<TPeerReader>(client);
  Rig->Type("STAT CON:=UC1:\r");
  ASSERT_TRUE(RunUntil([&] { return PromptAfter(reader->Received(), 0); })) << reader->Received();

  const size_t from = reader->Count();
  reader->PauseAt(from + 60000, kPause);
  ASSERT_TRUE(korvel_test::SendAll(client, "TYPE BIG.TXT\r"));
  {
    TBusyHost load;
    EXPECT_TRUE(RunUntil([&] { return PromptAfter(reader->Received(), from + 16); }));
  }
  const std::string shown = reader->Received().substr(from);
  const std::string expected = "TYPE BIG.TXT\r\r\n" + Text + "\r\na>";
  EXPECT_TRUE(shown == expected) << shown.size() << " bytes shown, " << expected.size() << " expected";
  EXPECT_TRUE(reader->Paused());

  reader.reset();
  ::close(client);

  // A client that reads nothing: once its socket and the server's are full
  // (megabytes on the loopback interface), CP/M waits for it (TYPE runs again
  // until then), until it leaves.
  const int stalled = korvel_test::ConnectLoopback(Machine().TcpPort().GetLocalPort(), kClientReceiveBuffer);
  ASSERT_GE(stalled, 0);
  size_t typed = 0;
  bool typeNext = true;
  int heldPasses = 0;
  ASSERT_TRUE(RunUntil([&] {
    if (typeNext || PromptAfter(Com1Written, typed + 16)) {
      typeNext = false;
      typed = Com1Written.size();
      heldPasses = 0;
      EXPECT_TRUE(korvel_test::SendAll(stalled, "TYPE BIG.TXT\r"));
      return false;
    }
    heldPasses = Machine().TcpPort().TxReady() ? 0 : heldPasses + 1;
    return heldPasses >= 20;
  }));
  EXPECT_FALSE(PromptAfter(Com1Written, typed + 16));
  ::close(stalled);
  EXPECT_TRUE(RunUntil([&] { return PromptAfter(Com1Written, typed + 16); })) << "CP/M was not freed when the client left";

  const int next = korvel_test::ConnectLoopback(Machine().TcpPort().GetLocalPort());
  ASSERT_GE(next, 0);
  {
    TPeerReader nextReader(next);
    EXPECT_TRUE(korvel_test::SendAll(next, "DIR\r"));
    EXPECT_TRUE(RunUntil([&] { return nextReader.Received().find("BIG      TXT") != std::string::npos; }))
        << nextReader.Received();
  }
  ::close(next);
  EXPECT_TRUE(Rig->Messages.empty()) << Rig->Messages.front();
}

// PIP PUN:= to COM2 on a pseudo-terminal: a reader that stops holds PIP back
// once the pseudo-terminal is full, and gets every byte when it reads on a few
// seconds later; a reader that stops for good holds PIP until the port is
// turned off, and then PIP ends.
TEST_F(CpmComOutputTest, PunchOnAComPortWaitsForAPausedPeerAndIsFreedWhenThePortIsTurnedOff) {
  TCpmBootRig::ImportFile(DiskA, "PIP.COM", FixtureBytes("cpm22/programs/PIP.COM"));
  UsePtyCom2();
  Machine().ColdBootIoByte = 0x01 | 1 << 4;  // CON = CRT, PUN = PTP (COM2)
  ASSERT_TRUE(Rig->BootToPrompt()) << Rig->CrtOutput;
  TPeerReader reader(Peer.Master());

  // The reader stops after 60000 bytes, and reads on once CP/M has waited for
  // it for a while.
  reader.StopAt(60000);
  size_t from = Rig->CrtOutput.size();
  Rig->Type("PIP PUN:=BIG.TXT\r");
  const std::string expected = korvel_boot::Punched(Text);
  {
    TBusyHost load;
    ASSERT_TRUE(RunUntilStalled([&] { return Machine().ComRx2().TxReady(); }));
    const auto readOn = Clock::now() + kPause;
    RunUntil([&] { return Clock::now() >= readOn; });
    EXPECT_FALSE(PromptAfter(Rig->CrtOutput, from)) << "CP/M did not wait for the peer";
    reader.ReadOn();
    EXPECT_TRUE(RunUntil([&] { return PromptAfter(Rig->CrtOutput, from); })) << Rig->CrtOutput.substr(from);
    ASSERT_TRUE(korvel_test::WaitUntil([&] { return reader.Count() >= expected.size(); }, kPatience));
  }
  EXPECT_TRUE(reader.Received() == expected) << reader.Count() << " bytes punched, " << expected.size() << " expected";

  reader.StopAt(reader.Count() + 20000);
  from = Rig->CrtOutput.size();
  Rig->Type("PIP PUN:=BIG.TXT\r");
  ASSERT_TRUE(RunUntilStalled([&] { return Machine().ComRx2().TxReady(); }));
  EXPECT_FALSE(PromptAfter(Rig->CrtOutput, from)) << "CP/M did not wait for the peer";
  // The Ports page's "Enable Com Port" box unchecked.
  Machine().Com2Settings.Enabled = false;
  Machine().ActivateCom2();
  EXPECT_TRUE(RunUntil([&] { return PromptAfter(Rig->CrtOutput, from); })) << Rig->CrtOutput.substr(from);
  EXPECT_TRUE(Rig->Messages.empty()) << Rig->Messages.front();
}

// CP/M's console on COM1 as a TCP server that no client is connected to: the
// boot reaches the prompt, and a TYPE of 200 KB (typed by a client that leaves
// at once) takes about the instructions the same TYPE takes on the CRT. A BIOS
// that waited for each byte the server cannot pass on would take thousands of
// times as many.
TEST_F(CpmComOutputTest, TcpConsoleWithoutAClientRunsCpmAtItsNormalSpeed) {
  ASSERT_TRUE(Rig->BootToPrompt()) << Rig->CrtOutput;
  Rig->Type("TYPE BIG.TXT\r");
  uint64_t first = Machine().Cpu().InstructionCount;
  ASSERT_TRUE(Rig->RunUntilOutput("\r\na>", 1'000'000'000)) << Rig->CrtSinceMark();
  const uint64_t onTheCrt = Machine().Cpu().InstructionCount - first;

  UseTcpCom1();
  Machine().ColdBootIoByte = 3;  // CON = UC1 (COM1)
  Machine().ColdBoot();
  EXPECT_TRUE(RunUntil([&] { return Com1Written.find("a>") != std::string::npos; })) << Com1Written;

  const int typist = korvel_test::ConnectLoopback(Machine().TcpPort().GetLocalPort());
  ASSERT_GE(typist, 0);
  ASSERT_TRUE(korvel_test::SendAll(typist, "TYPE BIG.TXT\r"));
  ::close(typist);
  // The typed line is in the machine's queue and the server has seen the client go.
  ASSERT_TRUE(korvel_test::WaitUntil([&] { return Machine().TcpPort().RxReady() && !Machine().TcpPort().HasClient(); },
                                     kPatience));
  const size_t from = Com1Written.size();
  first = Machine().Cpu().InstructionCount;
  const uint64_t limit = first + 3 * onTheCrt;
  while (!PromptAfter(Com1Written, from) && Machine().Cpu().InstructionCount < limit && Machine().GetRunCpu())
    Machine().RunPass();
  const uint64_t overTcp = Machine().Cpu().InstructionCount - first;
  EXPECT_TRUE(PromptAfter(Com1Written, from))
      << "no prompt after " << overTcp << " instructions; the same TYPE on the CRT took " << onTheCrt;
  const std::string expected = "TYPE BIG.TXT\r\r\n" + Text + "\r\na>";
  EXPECT_TRUE(Com1Written.substr(from) == expected)
      << Com1Written.size() - from << " bytes written, " << expected.size() << " expected";
  EXPECT_TRUE(Rig->Messages.empty()) << Rig->Messages.front();
}

}  // namespace
