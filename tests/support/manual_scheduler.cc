#include "tests/support/manual_scheduler.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace cvl::test {

namespace {
// The lane whose work the calling thread runs right now.
thread_local const void* currentLane = nullptr;
}  // namespace

struct ManualScheduler::TimerState : TimerHandle::State {
  void cancel() override { cancelled = true; }
  std::atomic<bool> cancelled{false};
};

struct ManualScheduler::LaneImpl : Scheduler::Lane,
                                   std::enable_shared_from_this<ManualScheduler::LaneImpl> {
  LaneImpl(std::weak_ptr<ManualScheduler> owner, std::string label)
      : owner(std::move(owner)), label(std::move(label)) {}

  void post(Work work) override {
    if (auto s = owner.lock()) s->post(shared_from_this(), std::move(work));
  }
  TimerHandle schedule(TimePoint first, Duration interval, Work work) override {
    if (auto s = owner.lock())
      return s->schedule(shared_from_this(), first, interval, std::move(work));
    return {};
  }
  void runAndWait(Work work) override {
    if (auto s = owner.lock()) s->runAndWait(shared_from_this(), std::move(work));
  }
  bool isCurrent() const override { return currentLane == this; }
  TimePoint now() const override {
    auto s = owner.lock();
    return s ? s->now() : TimePoint{};
  }

  std::weak_ptr<ManualScheduler> owner;
  const std::string label;
};

std::shared_ptr<ManualScheduler> ManualScheduler::make() {
  return std::shared_ptr<ManualScheduler>(new ManualScheduler());
}

TimePoint ManualScheduler::now() {
  std::lock_guard lock(mutex_);
  return now_;
}

std::shared_ptr<Scheduler::Lane> ManualScheduler::makeLane(const std::string& label) {
  return std::make_shared<LaneImpl>(weak_from_this(), label);
}

void ManualScheduler::post(std::shared_ptr<LaneImpl> lane, Work work) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back({std::move(lane), std::move(work)});
  }
  posted_.notify_all();
}

TimerHandle ManualScheduler::schedule(std::shared_ptr<LaneImpl> lane, TimePoint first,
                                      Duration interval, Work work) {
  auto state = std::make_shared<TimerState>();
  {
    std::lock_guard lock(mutex_);
    timers_.emplace(
        std::make_pair(first, timerOrder_++),
        Timer{std::move(lane), state, std::make_shared<Work>(std::move(work)), interval});
  }
  posted_.notify_all();
  return TimerHandle(state);
}

void ManualScheduler::releaseDueTimers() {
  while (!timers_.empty() && timers_.begin()->first.first <= now_) {
    auto node = timers_.extract(timers_.begin());
    Timer timer = std::move(node.mapped());
    if (timer.state->cancelled) continue;
    TimePoint due = node.key().first;
    auto state = timer.state;
    auto work = timer.work;
    auto interval = timer.interval;
    auto lane = timer.lane;
    ready_.push_back(
        {lane, [this, state, work, interval, lane, due] {
           if (state->cancelled) return;
           (*work)();
           if (interval == Duration::zero() || state->cancelled) return;
           std::lock_guard lock(mutex_);
           TimePoint next = std::max(due + interval, now_);
           timers_.emplace(std::make_pair(next, timerOrder_++), Timer{lane, state, work, interval});
         }});
  }
}

bool ManualScheduler::runOne() {
  Item item;
  {
    std::lock_guard lock(mutex_);
    releaseDueTimers();
    if (ready_.empty()) return false;
    item = std::move(ready_.front());
    ready_.pop_front();
  }
  const void* outer = currentLane;
  currentLane = item.lane.get();
  ++depth_;
  item.work();
  --depth_;
  currentLane = outer;
  return true;
}

size_t ManualScheduler::runUntilIdle() {
  driver_ = std::this_thread::get_id();
  size_t ran = 0;
  while (runOne()) ++ran;
  return ran;
}

void ManualScheduler::advance(Duration by) {
  TimePoint target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + by;
  }
  for (;;) {
    runUntilIdle();
    {
      std::lock_guard lock(mutex_);
      // Cancelled timers are skipped without stopping the clock at their deadline.
      while (!timers_.empty() && timers_.begin()->second.state->cancelled) {
        timers_.erase(timers_.begin());
      }
      if (timers_.empty() || timers_.begin()->first.first > target) {
        now_ = target;
        break;
      }
      now_ = std::max(now_, timers_.begin()->first.first);
    }
    clockMoved_.notify_all();
  }
  clockMoved_.notify_all();
  runUntilIdle();
}

bool ManualScheduler::runUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    runUntilIdle();
    if (condition()) return true;
    std::unique_lock lock(mutex_);
    bool more = posted_.wait_until(lock, deadline, [&] {
      return !ready_.empty() || (!timers_.empty() && timers_.begin()->first.first <= now_);
    });
    if (!more) {
      lock.unlock();
      runUntilIdle();
      return condition();
    }
  }
}

void ManualScheduler::sleepUntil(TimePoint when) {
  if (std::this_thread::get_id() == driver_ && depth_ > 0) {
    std::fputs("ManualScheduler: sleepUntil on the driving thread would never return\n", stderr);
    std::abort();
  }
  std::unique_lock lock(mutex_);
  clockMoved_.wait(lock, [&] { return now_ >= when; });
}

size_t ManualScheduler::pendingTimers() {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& [key, timer] : timers_) n += timer.state->cancelled ? 0 : 1;
  return n;
}

void ManualScheduler::runAndWait(const std::shared_ptr<LaneImpl>& lane, Work work) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  post(lane, [work = std::move(work), done, this] {
    work();
    {
      std::lock_guard lock(mutex_);
      *done = true;
    }
    posted_.notify_all();
  });
  if (std::this_thread::get_id() == driver_ || driver_ == std::thread::id()) {
    if (depth_ > 0) {
      std::fputs("ManualScheduler: a queue waited for another inside running work\n", stderr);
      std::abort();
    }
    runUntil([&] { return done->load(); }, std::chrono::hours(1));
    return;
  }
  // Another thread: the driving one runs it.
  std::unique_lock lock(mutex_);
  posted_.wait(lock, [&] { return done->load(); });
}

}  // namespace cvl::test
