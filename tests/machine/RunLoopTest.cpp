// The run-loop pass and the breakpoint.
#include <gtest/gtest.h>

#include "MachineTestSupport.h"

using machine_test::MachineTest;

namespace {

class RunLoopTest : public MachineTest {
 protected:
  RunLoopTest() {
    Machine.OnRefreshCpu = [this] { ++Refreshes; };
    Machine.OnUpdateActions = [this] { ++ActionUpdates; };
    Machine.OnCloseRequest = [this] { ++CloseRequests; };
  }
  // An endless loop at 0100h: INC A ; INC B ; JR -4.
  void LoadLoop() {
    const uint8_t Loop[] = {0x3C, 0x04, 0x18, 0xFC};
    Machine.Cpu().LoadMemory(0x0100, sizeof Loop, Loop);
    Machine.Cpu().Reset(0x0100);
  }
  int Refreshes = 0;
  int ActionUpdates = 0;
  int CloseRequests = 0;
};

TEST_F(RunLoopTest, AStoppedMachineExecutesNothing) {
  LoadLoop();
  EXPECT_TRUE(Machine.RunPass());
  EXPECT_EQ(Machine.Cpu().InstructionCount, 0u);
  EXPECT_EQ(Refreshes + ActionUpdates, 0);
}

TEST_F(RunLoopTest, APassRuns100001InstructionsAndAsksToBeCalledAgain) {
  LoadLoop();
  Machine.SetRunCpu(true);
  EXPECT_FALSE(Machine.RunPass());
  EXPECT_EQ(Machine.Cpu().InstructionCount, 100001u);
  EXPECT_EQ(Refreshes, 1);
  EXPECT_EQ(ActionUpdates, 1);
  EXPECT_FALSE(Machine.RunPass());
  EXPECT_EQ(Machine.Cpu().InstructionCount, 200002u);
  EXPECT_TRUE(Machine.GetRunCpu());
}

TEST_F(RunLoopTest, ABreakpointStopsBeforeItsInstructionWithAZeroPaddedMessage) {
  // NOPs up to 0005h: the breakpoint is reached after five instructions.
  Machine.Cpu().Reset(0x0000);
  Machine.BreakPointAddress = 5;
  Machine.BreakPointEnabled = true;
  std::vector<bool> RunStates;
  Machine.OnRunStateChanged = [&](bool Running) { RunStates.push_back(Running); };
  Machine.SetRunCpu(true);
  EXPECT_TRUE(Machine.RunPass());
  EXPECT_EQ(Machine.Cpu().CurrentPC, 5);
  EXPECT_EQ(Machine.Cpu().InstructionCount, 5u);
  EXPECT_FALSE(Machine.GetRunCpu());
  EXPECT_EQ(RunStates, (std::vector<bool>{true, false}));
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].first, TMachineMessageKind::Information);
  EXPECT_EQ(Messages[0].second, "Reached break point at 0005");
  EXPECT_EQ(Refreshes, 1);

  // Running again executes the instruction at the breakpoint first and stops
  // only when the processor comes round to it again (64 KiB of NOPs later).
  Machine.SetRunCpu(true);
  EXPECT_TRUE(Machine.RunPass());
  EXPECT_EQ(Machine.Cpu().InstructionCount, 5u + 65536u);
  EXPECT_EQ(Messages.size(), 2u);
}

TEST_F(RunLoopTest, TheMessageShowsFourUpperCaseHexDigits) {
  LoadLoop();
  Machine.BreakPointAddress = 0x0102;
  Machine.BreakPointEnabled = true;
  Machine.SetRunCpu(true);
  Machine.RunPass();
  ASSERT_FALSE(Messages.empty());
  EXPECT_EQ(Messages.back().second, "Reached break point at 0102");
  Machine.Cpu().Reset(0xABCD);
  Machine.Cpu().WriteByte(0xABCD, 0xC3);  // JP ABCDh: the breakpoint is hit after one jump
  Machine.Cpu().WriteByte(0xABCE, 0xCD);
  Machine.Cpu().WriteByte(0xABCF, 0xAB);
  Machine.BreakPointAddress = 0xABCD;
  Machine.SetRunCpu(true);
  Machine.RunPass();
  EXPECT_EQ(Messages.back().second, "Reached break point at ABCD");
  EXPECT_EQ(Machine.Cpu().CurrentPC, 0xABCD);
}

TEST_F(RunLoopTest, ADisabledBreakpointNeverStops) {
  LoadLoop();
  Machine.BreakPointAddress = 0x0100;
  Machine.BreakPointEnabled = false;
  Machine.SetRunCpu(true);
  EXPECT_FALSE(Machine.RunPass());
  EXPECT_TRUE(Machine.GetRunCpu());
  EXPECT_TRUE(Messages.empty());
}

TEST_F(RunLoopTest, ShutdownStopsWithinOnePassAndRefusesToStartAgain) {
  LoadLoop();
  Machine.SetRunCpu(true);
  Machine.RunPass();
  const uint64_t Count = Machine.Cpu().InstructionCount;
  Machine.RequestShutdown();
  EXPECT_FALSE(Machine.GetRunCpu());
  Machine.SetRunCpu(true);
  EXPECT_FALSE(Machine.GetRunCpu());
  EXPECT_TRUE(Machine.RunPass());
  EXPECT_EQ(Machine.Cpu().InstructionCount, Count);
}

TEST_F(RunLoopTest, CloseDuringTheBreakpointMessageClosesAfterThePass) {
  LoadLoop();
  Machine.BreakPointAddress = 0x0102;
  Machine.BreakPointEnabled = true;
  // The window is closed while the message box is open.
  Machine.OnMessage = [this](TMachineMessageKind, const std::string&) { Machine.RequestShutdown(); };
  Machine.SetRunCpu(true);
  EXPECT_TRUE(Machine.RunPass());
  EXPECT_EQ(CloseRequests, 1);
  EXPECT_FALSE(Machine.GetRunCpu());
}

TEST_F(RunLoopTest, StepRunsOneInstructionAndIgnoresTheBreakpoint) {
  LoadLoop();
  Machine.BreakPointAddress = 0x0101;
  Machine.BreakPointEnabled = true;
  Machine.Step();
  Machine.Step();
  EXPECT_EQ(Machine.Cpu().InstructionCount, 2u);
  EXPECT_EQ(Machine.Cpu().CurrentPC, 0x0102);
  EXPECT_EQ(Refreshes, 2);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(RunLoopTest, AnErrorEscapingAPassStopsTheMachineAndIsReportedOnce) {
  // OUT (0),A with a port handler that fails.
  const uint8_t Program[] = {0xD3, 0x00, 0x18, 0xFC};
  Machine.Cpu().LoadMemory(0x0100, sizeof Program, Program);
  Machine.Cpu().Reset(0x0100);
  Machine.Cpu().OnPortWrite = [](TCpuEmu&, uint16_t, uint8_t) { throw std::runtime_error("device exploded"); };
  Machine.SetRunCpu(true);
  EXPECT_TRUE(Machine.RunPass());
  EXPECT_FALSE(Machine.GetRunCpu());
  EXPECT_TRUE(Machine.RunPass());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].first, TMachineMessageKind::Error);
  EXPECT_EQ(Messages[0].second, "device exploded");
}

}  // namespace
