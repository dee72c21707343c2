// The system scheduler on Boost.Asio: one io_context run by a small pool of threads; every
// lane is a strand on it; timers are steady timers.
#include <pthread.h>

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

#include "kit/base/scheduler.h"

namespace cvl {
namespace asio = boost::asio;

namespace {

// The pool's size: the machine's cores, within these bounds.
constexpr unsigned MIN_POOL_THREADS = 2;
constexpr unsigned MAX_POOL_THREADS = 4;
// Linux keeps at most 15 characters of a thread's name.
constexpr std::size_t MAX_THREAD_NAME = 15;

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
    const unsigned n =
        std::clamp(std::thread::hardware_concurrency(), MIN_POOL_THREADS, MAX_POOL_THREADS);
    for (unsigned i = 0; i < n; ++i) {
      std::thread([this] {
        pthread_setname_np(pthread_self(), "cvl.pool");
        context_.run();
      }).detach();
    }
  }
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

class AsioTimer : public TimerHandle::State, public std::enable_shared_from_this<AsioTimer> {
 public:
  explicit AsioTimer(asio::any_io_executor ex) : timer(ex) {}
  void cancel() override {
    cancelled = true;
    // The timer itself is only touched from its executor; the flag is what stops the work.
    asio::post(timer.get_executor(), [self = shared_from_this()] { self->timer.cancel(); });
  }

  asio::steady_timer timer;
  std::atomic<bool> cancelled{false};
};

void waitOnce(const std::shared_ptr<AsioTimer>& state, Work work) {
  state->timer.async_wait([state, work = std::move(work)](const boost::system::error_code& ec) {
    if (ec || state->cancelled) return;
    work();
  });
}

void waitRepeating(const std::shared_ptr<AsioTimer>& state, Duration interval,
                   const std::shared_ptr<Work>& work) {
  state->timer.async_wait([state, interval, work](const boost::system::error_code& ec) {
    if (ec || state->cancelled) return;
    (*work)();
    if (state->cancelled) return;
    // The next deadline follows the previous one; deadlines already passed collapse into
    // a single tick at once.
    auto next = state->timer.expiry() + interval;
    state->timer.expires_at(std::max(next, SteadyClock::now()));
    waitRepeating(state, interval, work);
  });
}

template <typename Executor>
TimerHandle startTimer(Executor ex, TimePoint first, Duration interval, Work work) {
  auto state = std::make_shared<AsioTimer>(ex);
  state->timer.expires_at(first);
  if (interval == Duration::zero()) {
    waitOnce(state, std::move(work));
  } else {
    waitRepeating(state, interval, std::make_shared<Work>(std::move(work)));
  }
  return TimerHandle(state);
}

class StrandLane : public Scheduler::Lane {
 public:
  StrandLane() : strand_(asio::make_strand(Pool::shared().context())) {}

  void post(Work work) override { asio::post(strand_, std::move(work)); }

  TimerHandle schedule(TimePoint first, Duration interval, Work work) override {
    return startTimer(strand_, first, interval, std::move(work));
  }

  void runAndWait(Work work) override {
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(strand_, [&] {
      try {
        work();
        done.set_value();
      } catch (...) {
        done.set_exception(std::current_exception());
      }
    });
    finished.get();
  }

  bool isCurrent() const override { return strand_.running_in_this_thread(); }
  TimePoint now() const override { return SteadyClock::now(); }

 private:
  asio::strand<asio::io_context::executor_type> strand_;
};

class AsioScheduler : public Scheduler {
 public:
  TimePoint now() override { return SteadyClock::now(); }
  std::shared_ptr<Lane> makeLane(const std::string&) override {
    return std::make_shared<StrandLane>();
  }
};

}  // namespace

std::shared_ptr<Scheduler> Scheduler::system() {
  static auto* scheduler = new std::shared_ptr<Scheduler>(std::make_shared<AsioScheduler>());
  return *scheduler;
}

void runBlocking(const std::string& label, Work work) {
  std::thread([label = label.substr(0, MAX_THREAD_NAME), work = std::move(work)] {
    pthread_setname_np(pthread_self(), label.c_str());
    work();
  }).detach();
}

}  // namespace cvl
