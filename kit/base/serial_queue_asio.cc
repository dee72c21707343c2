// SerialQueue and GlobalQueue on Boost.Asio: one io_context run by a small pool of threads;
// every serial queue is a strand on it.
#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "kit/base/serial_queue.h"

namespace cvl {
namespace asio = boost::asio;

namespace {

// The pool lives for the whole process and is never torn down: work may still be running
// while static objects are destroyed at exit, so it must not depend on them.
class Pool {
 public:
  static Pool& shared() {
    static Pool* pool = new Pool();
    return *pool;
  }
  asio::io_context& context() { return context_; }

 private:
  Pool() : guard_(asio::make_work_guard(context_)) {
    unsigned n = std::max(2u, std::min(4u, std::thread::hardware_concurrency()));
    for (unsigned i = 0; i < n; ++i) {
      std::thread([this] { context_.run(); }).detach();
    }
  }
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

}  // namespace

struct TimerHandle::State {
  explicit State(asio::any_io_executor ex) : timer(ex) {}
  asio::steady_timer timer;
  std::atomic<bool> cancelled{false};
};

void TimerHandle::cancel() {
  if (!state_) return;
  state_->cancelled = true;
  // The timer itself is only touched from its executor; the flag is what stops the work.
  asio::post(state_->timer.get_executor(), [state = state_] { state->timer.cancel(); });
}

struct SerialQueue::Impl {
  Impl() : strand(asio::make_strand(Pool::shared().context())) {}
  asio::strand<asio::io_context::executor_type> strand;
};

namespace {

template <typename Executor>
TimerHandle startTimer(Executor ex, Duration delay, Work work) {
  auto state = std::make_shared<TimerHandle::State>(ex);
  state->timer.expires_after(delay);
  state->timer.async_wait([state, work = std::move(work)](const boost::system::error_code& ec) {
    if (ec || state->cancelled) return;
    work();
  });
  return TimerHandle(state);
}

void scheduleRepeat(const std::shared_ptr<TimerHandle::State>& state, Duration interval,
                    const std::shared_ptr<Work>& work) {
  state->timer.async_wait([state, interval, work](const boost::system::error_code& ec) {
    if (ec || state->cancelled) return;
    (*work)();
    if (state->cancelled) return;
    // The next deadline follows the previous one; deadlines already passed collapse into
    // a single tick at once.
    auto next = state->timer.expiry() + interval;
    auto now = std::chrono::steady_clock::now();
    state->timer.expires_at(std::max(next, now));
    scheduleRepeat(state, interval, work);
  });
}

}  // namespace

namespace GlobalQueue {
void async(Work work) { asio::post(Pool::shared().context(), std::move(work)); }
TimerHandle asyncAfter(Duration delay, Work work) {
  return startTimer(Pool::shared().context().get_executor(), delay, std::move(work));
}
}  // namespace GlobalQueue

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), impl_(std::make_shared<Impl>()) {}
SerialQueue::~SerialQueue() = default;

void SerialQueue::async(Work work) { asio::post(impl_->strand, std::move(work)); }

TimerHandle SerialQueue::asyncAfter(Duration delay, Work work) {
  return startTimer(impl_->strand, delay, std::move(work));
}

TimerHandle SerialQueue::every(Duration first, Duration interval, Work work) {
  auto state = std::make_shared<TimerHandle::State>(impl_->strand);
  state->timer.expires_after(first);
  scheduleRepeat(state, interval, std::make_shared<Work>(std::move(work)));
  return TimerHandle(state);
}

void SerialQueue::sync(Work work) {
  std::promise<void> done;
  auto finished = done.get_future();
  asio::post(impl_->strand, [&] {
    try {
      work();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

bool SerialQueue::isCurrent() const { return impl_->strand.running_in_this_thread(); }

}  // namespace cvl
