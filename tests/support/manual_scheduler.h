#pragma once
// A scheduler whose clock and work a test drives by hand. Nothing runs by itself: work posted
// to its queues waits until the test calls runUntilIdle(), advance() or runUntil(), and then
// runs on the calling thread, one item at a time, in the order it was posted (so every queue
// is serial, and all of them together are one deterministic sequence). Timers fire when
// advance() moves the clock past their deadlines, each at its own moment.
//
// Other threads (a capture start, a pasteboard, a fake socket) may post at any time;
// runUntil() waits for such posts. A fake that stands for a slow system call can block its
// own thread on the manual clock with sleepUntil().
//
// One thread drives at a time. Queues hold the scheduler weakly: work posted after it has gone
// is dropped.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kit/base/scheduler.h"

namespace cvl::test {

class ManualScheduler : public Scheduler, public std::enable_shared_from_this<ManualScheduler> {
 public:
  static std::shared_ptr<ManualScheduler> make();

  TimePoint now() override;
  std::shared_ptr<Lane> makeLane(const std::string& label) override;

  // Runs posted work and due timers, including what that work posts, until nothing is due.
  // Returns how many items ran.
  size_t runUntilIdle();
  // Moves the clock on by `by`, stopping at every timer deadline on the way to run what is
  // due then.
  void advance(Duration by);
  // Runs due work until `condition` holds, waiting (in real time, up to `timeout`) for work
  // that other threads post meanwhile. The clock does not move. False on timeout.
  bool runUntil(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Blocks the calling thread (never the driving one) until the clock has reached `when`.
  void sleepUntil(TimePoint when);
  // Live timers not yet due.
  size_t pendingTimers();

  struct LaneImpl;
  struct TimerState;

 private:
  ManualScheduler() = default;

  struct Item {
    std::shared_ptr<LaneImpl> lane;
    Work work;
  };
  struct Timer {
    std::shared_ptr<LaneImpl> lane;
    std::shared_ptr<TimerState> state;
    std::shared_ptr<Work> work;
    Duration interval;
  };

  void post(std::shared_ptr<LaneImpl> lane, Work work);
  TimerHandle schedule(std::shared_ptr<LaneImpl> lane, TimePoint first, Duration interval,
                       Work work);
  void runAndWait(const std::shared_ptr<LaneImpl>& lane, Work work);
  // Moves timers due at the current time to the ready list; with the mutex held.
  void releaseDueTimers();
  // Runs one ready item; false when there is none.
  bool runOne();

  std::mutex mutex_;
  std::condition_variable posted_;
  std::condition_variable clockMoved_;
  TimePoint now_{std::chrono::hours(24)};
  std::deque<Item> ready_;
  // (deadline, order of scheduling) -> timer
  std::map<std::pair<TimePoint, uint64_t>, Timer> timers_;
  uint64_t timerOrder_ = 0;
  std::atomic<std::thread::id> driver_{};
  int depth_ = 0;  // driving thread only
};

}  // namespace cvl::test
