#include <gtest/gtest.h>

#include "OoMisc.h"

TEST(ComponentBase, VersionReadsTheSameWhateverIsStored) {
  TApdBaseComponent Component;
  Component.SetVersion("v9.99");
  EXPECT_EQ(Component.GetVersion(), "v4.06");
  TApdBaseWinControl Control;
  EXPECT_EQ(Control.GetVersion(), "v4.06");
}

TEST(ComponentBase, TicksPerMillisecondRoundsOnlyAboveHalf) {
  EXPECT_EQ(TicksPerMillisecondFromFrequency(3579545), 3580u);
  EXPECT_EQ(TicksPerMillisecondFromFrequency(2000500), 2000u);
  EXPECT_EQ(TicksPerMillisecondFromFrequency(0), 0u);
  EXPECT_EQ(TicksPerMillisecondFromFrequency(uint64_t{1} << 33), 0u);  // does not fit 32 bits
}

TEST(ComponentBase, TickTimerLimitsItsLength) {
  TickTimer T;
  StartTickTimerAt(T, 100000000, 55 * 1000);
  EXPECT_EQ(T.StartTicks, 1000);
  EXPECT_EQ(T.ExpireTicks, 1000 + MaxTimerTicks);
  EXPECT_FALSE(TickTimerExpiredAt(T, uint64_t{55} * (1000 + MaxTimerTicks)));
  EXPECT_TRUE(TickTimerExpiredAt(T, uint64_t{55} * (1000 + MaxTimerTicks + 1)));
}

TEST(ComponentBase, TickTimerKeepsWorkingPastFortyNineDays) {
  // 2^32 milliseconds is where a 32-bit millisecond clock wraps.
  const uint64_t Start = (uint64_t{1} << 32) - 100;
  TickTimer T;
  StartTickTimerAt(T, 10, Start);
  EXPECT_FALSE(TickTimerExpiredAt(T, Start + 200));   // past the 32-bit wrap, not yet expired
  EXPECT_TRUE(TickTimerExpiredAt(T, Start + 11 * 55 + 55));
  TickTimer Now;
  StartTickTimer(Now, 1000);
  EXPECT_FALSE(TickTimerExpired(Now));
}

TEST(ComponentBase, MaskHasBits) {
  EXPECT_TRUE(MaskHasBits(0x12, 0x02));
  EXPECT_FALSE(MaskHasBits(0x12, 0x01));
}
