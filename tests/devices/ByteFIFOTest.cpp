#include "ByteFIFO.h"

#include <gtest/gtest.h>

TEST(ByteFIFO, CapacityIsAtLeastFourAndStorageIsRoundedUp) {
  for (uint16_t size : {0, 1, 2, 3, 4}) {
    TByteFIFO fifo(size);
    EXPECT_EQ(fifo.Capacity(), 4) << "size " << size;
    EXPECT_EQ(fifo.AllocatedSize(), 32u);
  }
  EXPECT_EQ(TByteFIFO(5).Capacity(), 5);
  EXPECT_EQ(TByteFIFO(512).AllocatedSize(), 528u);
  EXPECT_EQ(TByteFIFO(32).AllocatedSize(), 48u);
  EXPECT_EQ(TByteFIFO(65535).Capacity(), 65535);
  EXPECT_EQ(TByteFIFO(65535).AllocatedSize(), 65552u);
}

TEST(ByteFIFO, FullQueueRefusesAndEmptyQueueLeavesOutputUntouched) {
  TByteFIFO fifo(7);
  for (uint8_t i = 0; i < 7; ++i) EXPECT_TRUE(fifo.Put(i + 10));
  EXPECT_FALSE(fifo.Put(99));
  EXPECT_EQ(fifo.Count(), 7);
  for (uint8_t i = 0; i < 7; ++i) {
    uint8_t value = 0;
    ASSERT_TRUE(fifo.Get(value));
    EXPECT_EQ(value, i + 10);
  }
  uint8_t preset = 0xA5;
  EXPECT_FALSE(fifo.Get(preset));
  EXPECT_EQ(preset, 0xA5);
  EXPECT_EQ(fifo.Count(), 0);
}

TEST(ByteFIFO, InterleavedUseWrapsAtCapacityAndKeepsOrder) {
  // Capacity 5 is not a multiple of 16: wrapping at the reserved size instead of
  // the capacity would reorder or lose bytes here.
  TByteFIFO fifo(5);
  uint8_t next_in = 0, next_out = 0;
  for (int round = 0; round < 200; ++round) {
    int puts = round % 4 + 1;
    for (int i = 0; i < puts && fifo.Put(next_in); ++i) ++next_in;
    int gets = (round * 7) % 4 + 1;
    uint8_t value;
    for (int i = 0; i < gets && fifo.Get(value); ++i) {
      ASSERT_EQ(value, next_out) << "round " << round;
      ++next_out;
    }
    ASSERT_LE(fifo.Count(), fifo.Capacity());
    ASSERT_EQ(static_cast<uint8_t>(next_in - next_out), fifo.Count());
  }
}

TEST(ByteFIFO, ClearOnFullQueueRestartsAtFirstSlot) {
  TByteFIFO fifo(4);
  uint8_t value;
  fifo.Put(1);
  fifo.Put(2);
  fifo.Get(value);
  fifo.Put(3);
  fifo.Put(4);
  fifo.Put(5);
  EXPECT_FALSE(fifo.Put(6));
  fifo.Clear();
  EXPECT_EQ(fifo.Count(), 0);
  EXPECT_FALSE(fifo.Get(value));
  EXPECT_TRUE(fifo.Put(42));
  ASSERT_TRUE(fifo.Get(value));
  EXPECT_EQ(value, 42);
}
