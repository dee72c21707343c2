#pragma once
// A poster that keeps every event handed to it, for tests of what the injector creates.
// Any thread may post; events() returns a copy.

#include <mutex>
#include <utility>
#include <vector>

#include "kit/input/event_poster.h"

namespace cvl::test {

class RecordingEventPoster final : public EventPoster {
 public:
  void post(const SyntheticEvent& event) override {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }

  std::vector<SyntheticEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

  // Returns the events so far and forgets them.
  std::vector<SyntheticEvent> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

  void releaseAll() override {
    std::lock_guard lock(mutex_);
    ++releaseAlls_;
  }
  int releaseAlls() const {
    std::lock_guard lock(mutex_);
    return releaseAlls_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<SyntheticEvent> events_;
  int releaseAlls_ = 0;
};

}  // namespace cvl::test
