#pragma once
// Where serial queues run their work, and what time it is for their timers.
//
// The system scheduler runs every queue as a strand on the process-wide thread pool (the
// "global queue") against the steady clock. Objects that own queues take a scheduler so that a
// test can hand them one of its own whose clock and work it drives by hand (see
// tests/support/manual_scheduler.h): it proves that something did not happen by moving time
// on, not by sleeping.
//
// A Lane is one serial sequence of work: the work posted to it runs one item at a time, in
// order of posting (timers in order of their deadlines). Any thread may post.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace cvl {

using Work = std::function<void()>;
using SteadyClock = std::chrono::steady_clock;
using Duration = SteadyClock::duration;
using TimePoint = SteadyClock::time_point;

// A pending delayed or repeating job; cancel() stops it from running (again). Dropping the
// handle does not cancel the job. Copies refer to the same job.
class TimerHandle {
 public:
  // What a scheduler keeps for one timer.
  class State {
   public:
    virtual ~State() = default;
    virtual void cancel() = 0;
  };

  TimerHandle() = default;
  explicit TimerHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void cancel() {
    if (state_) state_->cancel();
  }
  explicit operator bool() const { return static_cast<bool>(state_); }

 private:
  std::shared_ptr<State> state_;
};

class Scheduler {
 public:
  class Lane {
   public:
    virtual ~Lane() = default;
    virtual void post(Work work) = 0;
    // Runs `work` on this lane at `first`, then (when `interval` is not zero) every
    // `interval` after the previous deadline until cancelled. A deadline that passed while
    // earlier work ran collapses into one run at once.
    virtual TimerHandle schedule(TimePoint first, Duration interval, Work work) = 0;
    // Runs `work` on this lane and waits until it has run. Not from this lane itself.
    virtual void runAndWait(Work work) = 0;
    // True while the calling thread runs this lane's work.
    virtual bool isCurrent() const = 0;
    // The scheduler's clock.
    virtual TimePoint now() const = 0;
  };

  virtual ~Scheduler() = default;
  virtual TimePoint now() = 0;
  virtual std::shared_ptr<Lane> makeLane(const std::string& label) = 0;

  // The process-wide scheduler: Boost.Asio strands on a small thread pool, the steady clock.
  static std::shared_ptr<Scheduler> system();
};

// Runs `work` on a thread of its own (named `label` for diagnostics), for calls that block
// for long: starting a capture stream, a clipboard transfer. The work reports back by posting
// to its owner's queue; it must hold its owner weakly. Nothing waits for the thread.
void runBlocking(const std::string& label, Work work);

}  // namespace cvl
