#include "kit/base/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "tests/support/manual_scheduler.h"

namespace cvl {
namespace {

using namespace std::chrono_literals;
using test::ManualScheduler;

// ---- On the system's thread pool ----

TEST(SerialQueue, RunsWorkInOrderOneAtATime) {
  SerialQueue queue("cvl.test");
  std::vector<int> seen;
  std::atomic<int> inside{0};
  bool overlapped = false;
  for (int i = 0; i < 200; ++i) {
    queue.async([&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      inside.fetch_sub(1);
    });
  }
  queue.sync([] {});
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, KnowsWhetherItIsCurrent) {
  SerialQueue queue("cvl.test");
  SerialQueue other("cvl.other");
  EXPECT_FALSE(queue.isCurrent());
  bool inside = false, inOther = true;
  queue.sync([&] {
    inside = queue.isCurrent();
    inOther = other.isCurrent();
  });
  EXPECT_TRUE(inside);
  EXPECT_FALSE(inOther);
}

TEST(SerialQueue, TimersOfTheSystemSchedulerFire) {
  SerialQueue queue("cvl.test");
  std::promise<void> once;
  queue.asyncAfter(5ms, [&] { once.set_value(); });
  std::atomic<int> ticks{0};
  std::promise<void> three;
  TimerHandle timer = queue.every(0ms, 5ms, [&] {
    if (++ticks == 3) three.set_value();
  });
  EXPECT_EQ(once.get_future().wait_for(30s), std::future_status::ready);
  EXPECT_EQ(three.get_future().wait_for(30s), std::future_status::ready);
  timer.cancel();
}

// ---- On a scheduler the test drives ----

TEST(ManualSerialQueue, NothingRunsUntilDrivenThenAllInPostingOrder) {
  auto scheduler = ManualScheduler::make();
  SerialQueue a("cvl.a", scheduler), b("cvl.b", scheduler);
  std::vector<std::string> seen;
  a.async([&] {
    seen.push_back("a1");
    b.async([&] { seen.push_back("b2"); });
    EXPECT_TRUE(a.isCurrent());
    EXPECT_FALSE(b.isCurrent());
  });
  b.async([&] { seen.push_back("b1"); });
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(scheduler->runUntilIdle(), 3u);
  EXPECT_EQ(seen, (std::vector<std::string>{"a1", "b1", "b2"}));
}

TEST(ManualSerialQueue, TimersFireAtTheirMomentAndCancelledOnesNever) {
  auto scheduler = ManualScheduler::make();
  SerialQueue queue("cvl.test", scheduler);
  TimePoint start = queue.now();
  std::vector<std::pair<std::string, Duration>> fired;
  auto record = [&](std::string name) {
    return [&, name] { fired.emplace_back(name, queue.now() - start); };
  };
  queue.asyncAfter(4s, record("reconnect"));
  TimerHandle cancelled = queue.asyncAfter(2s, record("cancelled"));
  TimerHandle ping = queue.every(15s, 15s, record("ping"));
  cancelled.cancel();

  scheduler->advance(3999ms);
  EXPECT_TRUE(fired.empty());
  scheduler->advance(1ms);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0], std::make_pair(std::string("reconnect"), Duration(4s)));

  scheduler->advance(41s);  // to 45 s: pings at 15, 30 and 45
  ASSERT_EQ(fired.size(), 4u);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(fired[i].second, Duration(15s * i));
  ping.cancel();
  scheduler->advance(1h);
  EXPECT_EQ(fired.size(), 4u);
  EXPECT_EQ(scheduler->pendingTimers(), 0u);
}

TEST(ManualSerialQueue, WorkFromOtherThreadsIsWaitedFor) {
  auto scheduler = ManualScheduler::make();
  SerialQueue queue("cvl.test", scheduler);
  std::vector<int> seen;
  // A thread that stands for a slow call: it waits for the clock to reach 8 s, then reports.
  TimePoint start = queue.now();
  std::thread slow([&] {
    scheduler->sleepUntil(start + 8s);
    queue.async([&] { seen.push_back(8); });
  });
  scheduler->advance(7s);
  EXPECT_TRUE(seen.empty());
  scheduler->advance(1s);
  EXPECT_TRUE(scheduler->runUntil([&] { return !seen.empty(); }));
  slow.join();
  EXPECT_EQ(seen, std::vector<int>{8});

  // sync() from another thread runs on the driving one.
  std::thread caller([&] { queue.sync([&] { seen.push_back(9); }); });
  EXPECT_TRUE(scheduler->runUntil([&] { return seen.size() == 2; }));
  caller.join();
  // sync() from the test thread drives by itself.
  queue.sync([&] { seen.push_back(10); });
  EXPECT_EQ(seen, (std::vector<int>{8, 9, 10}));
}

}  // namespace
}  // namespace cvl
