#pragma once
// Serial queues and delayed work.
//
// A SerialQueue runs the work given to it one item at a time, in submission order, on its
// scheduler (by default the process-wide thread pool, see scheduler.h). Queues are cheap; each
// keeps a label ("cvl.viewer.7") for diagnostics. Any thread may submit work. Work that may
// outlive the queue's owner holds the owner weakly (see DESIGN.md, Threads); the queue itself
// may go while work is still pending, which then still runs.

#include <memory>
#include <string>

#include "kit/base/scheduler.h"

namespace cvl {

class SerialQueue {
 public:
  // On the system scheduler.
  explicit SerialQueue(std::string label);
  SerialQueue(std::string label, const std::shared_ptr<Scheduler>& scheduler);
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  // The clock of the queue's scheduler.
  TimePoint now() const { return lane_->now(); }

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

 private:
  std::string label_;
  std::shared_ptr<Scheduler::Lane> lane_;
};

}  // namespace cvl
