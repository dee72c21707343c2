#pragma once
// Catches one completion value from another thread; records which thread delivered it and
// fails the test when a second one arrives.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace cvl::test {

template <typename T>
class Awaited {
 public:
  Awaited() : future_(promise_.get_future()) {}

  auto callback() {
    return [this](T value) {
      if (calls_.fetch_add(1) > 0) {
        ADD_FAILURE() << "completion ran more than once";
        return;
      }
      thread_ = std::this_thread::get_id();
      promise_.set_value(std::move(value));
    };
  }

  bool ready() const {
    return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }

  T get(std::chrono::seconds timeout = std::chrono::seconds(40)) {
    if (future_.wait_for(timeout) != std::future_status::ready) {
      ADD_FAILURE() << "completion did not run";
      return T{};
    }
    return future_.get();
  }

  std::thread::id thread() const { return thread_; }

 private:
  std::promise<T> promise_;
  std::future<T> future_;
  std::atomic<int> calls_{0};
  std::thread::id thread_;
};

}  // namespace cvl::test
