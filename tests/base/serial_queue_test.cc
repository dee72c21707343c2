#include "kit/base/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace cvl {
namespace {

using namespace std::chrono_literals;

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
  EXPECT_FALSE(queue.isCurrent());
  bool inside = false;
  queue.sync([&] { inside = queue.isCurrent(); });
  EXPECT_TRUE(inside);
}

TEST(SerialQueue, CancelledTimersDoNotRun) {
  SerialQueue queue("cvl.test");
  std::atomic<int> fired{0};
  auto cancelled = queue.asyncAfter(50ms, [&] { fired += 100; });
  std::promise<void> done;
  queue.asyncAfter(10ms, [&] {
    fired += 1;
    done.set_value();
  });
  cancelled.cancel();
  done.get_future().wait();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(fired.load(), 1);
}

TEST(SerialQueue, RepeatingTimerTicksUntilCancelled) {
  SerialQueue queue("cvl.test");
  std::atomic<int> ticks{0};
  std::promise<void> three;
  TimerHandle timer = queue.every(0ms, 5ms, [&] {
    if (++ticks == 3) three.set_value();
  });
  three.get_future().wait();
  timer.cancel();
  queue.sync([] {});
  int after = ticks.load();
  std::this_thread::sleep_for(50ms);
  EXPECT_LE(ticks.load(), after + 1);
}

}  // namespace
}  // namespace cvl
