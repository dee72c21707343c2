#include "kit/base/serial_queue.h"

namespace cvl {

SerialQueue::SerialQueue(std::string label) : SerialQueue(std::move(label), Scheduler::system()) {}

SerialQueue::SerialQueue(std::string label, const std::shared_ptr<Scheduler>& scheduler)
    : label_(std::move(label)), lane_(scheduler->makeLane(label_)) {}

void SerialQueue::async(Work work) { lane_->post(std::move(work)); }

TimerHandle SerialQueue::asyncAfter(Duration delay, Work work) {
  return lane_->schedule(lane_->now() + delay, Duration::zero(), std::move(work));
}

TimerHandle SerialQueue::every(Duration first, Duration interval, Work work) {
  return lane_->schedule(lane_->now() + first, interval, std::move(work));
}

void SerialQueue::sync(Work work) { lane_->runAndWait(std::move(work)); }

bool SerialQueue::isCurrent() const { return lane_->isCurrent(); }

}  // namespace cvl
