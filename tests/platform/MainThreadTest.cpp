#include "MainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(QueuedMainThread, RunsPostedWorkInOrderOnThePumpingThread) {
  TQueuedMainThread main_thread;
  std::vector<int> order;
  std::thread::id ran_on;
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) main_thread.Post([&order, i] { order.push_back(i); });
    main_thread.Post([&] { ran_on = std::this_thread::get_id(); });
  });
  worker.join();
  EXPECT_EQ(main_thread.PendingCount(), 101u);
  EXPECT_EQ(main_thread.RunPending(), 101u);
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(QueuedMainThread, RunPendingLeavesWorkPostedByWorkForLater) {
  TQueuedMainThread main_thread;
  int runs = 0;
  main_thread.Post([&] {
    ++runs;
    main_thread.Post([&] { ++runs; });
  });
  EXPECT_EQ(main_thread.RunPending(), 1u);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(main_thread.RunPending(), 1u);
  EXPECT_EQ(runs, 2);
}

TEST(MainThreadSync, CallWaitsUntilTheMainThreadHasRunIt) {
  TQueuedMainThread main_thread;
  TMainThreadSync sync(&main_thread);
  std::atomic<bool> returned{false};
  bool result = false;
  int value = 0;
  std::thread worker([&] {
    result = sync.Call([&] { value = 42; });
    returned = true;
  });
  EXPECT_TRUE(main_thread.PumpUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(value, 42);
}

TEST(MainThreadSync, CancelReleasesTheWorkerAndDropsQueuedCalls) {
  TQueuedMainThread main_thread;
  bool ran = false;
  bool result = true;
  {
    TMainThreadSync sync(&main_thread);
    std::thread worker([&] { result = sync.Call([&] { ran = true; }); });
    while (main_thread.PendingCount() == 0) std::this_thread::yield();
    sync.Cancel();
    worker.join();
    // Calls after Cancel do not even queue.
    EXPECT_FALSE(sync.Call([&] { ran = true; }));
  }
  EXPECT_FALSE(result);
  // The queued call runs after its sync is gone and does nothing.
  main_thread.RunPending();
  EXPECT_FALSE(ran);
}

TEST(MainThreadSync, WithoutAMainThreadCallsRunDirectly) {
  TMainThreadSync sync(nullptr);
  std::thread::id ran_on;
  EXPECT_TRUE(sync.Call([&] { ran_on = std::this_thread::get_id(); }));
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(MainThread, InstalledMainThreadIsReturned) {
  TQueuedMainThread main_thread;
  EXPECT_EQ(GetMainThread(), nullptr);
  SetMainThread(&main_thread);
  EXPECT_EQ(GetMainThread(), &main_thread);
  SetMainThread(nullptr);
}
