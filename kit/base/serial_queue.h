#pragma once
// Serial queues and delayed work on the process-wide thread pool (the "global queue").
//
// A SerialQueue runs the work given to it one item at a time, in submission order, on some
// thread of the pool. Queues are cheap; each keeps a label ("cvl.viewer.7") for diagnostics.
// Any thread may submit work. A queue object must outlive the work it runs; callbacks that
// may outlive their owner hold it weakly (see DESIGN.md, Threads).

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace cvl {

using Work = std::function<void()>;
using Duration = std::chrono::steady_clock::duration;

// A pending delayed or repeating job; cancel() stops it from running (again). Dropping the
// handle does not cancel the job.
class TimerHandle {
 public:
  TimerHandle() = default;
  void cancel();
  explicit operator bool() const { return static_cast<bool>(state_); }

  struct State;
  explicit TimerHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

// The global queue: concurrent work on the shared pool.
namespace GlobalQueue {
void async(Work work);
TimerHandle asyncAfter(Duration delay, Work work);
}  // namespace GlobalQueue

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  void async(Work work);
  // Runs `work` on this queue after `delay`.
  TimerHandle asyncAfter(Duration delay, Work work);
  // Runs `work` on this queue first after `first`, then every `interval` until cancelled.
  // A tick that falls due while the previous one still runs is merged into the next one.
  TimerHandle every(Duration first, Duration interval, Work work);
  // Runs `work` on this queue and waits for it. Must not be called from this queue.
  void sync(Work work);
  // True while the calling thread is running work of this queue.
  bool isCurrent() const;

  struct Impl;

 private:
  std::string label_;
  std::shared_ptr<Impl> impl_;
};

}  // namespace cvl
