#include "kit/capture/host_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <thread>
#include <vector>

#include "kit/input/input_encoder.h"
#include "tests/capture/test_pictures.h"
#include "tests/support/fake_capture.h"
#include "tests/support/manual_scheduler.h"
#include "tests/support/recording_event_poster.h"

namespace cvl::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// Answers at once, on the calling thread.
class FakePasteboard : public Pasteboard {
 public:
  std::optional<std::string> content;
  void readText(TextDone done) override { done(content); }
  void writeText(std::string text, std::function<void()> done) override {
    content = std::move(text);
    if (done) done();
  }
};

// Frames handed to onFrame, counted, and waited for from the test thread.
struct FrameLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<int64_t, int64_t>> sizes;

  HostEngine::FrameCallback callback() {
    return [this](const HostEngine::Frame& frame) {
      EXPECT_FALSE(frame.jpeg.empty());
      std::lock_guard lock(mutex);
      sizes.emplace_back(frame.width, frame.height);
      changed.notify_all();
    };
  }
  bool waitFor(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 30s, [&] { return sizes.size() >= count; });
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return sizes.size();
  }
};

// The engine's sequences run on a manual scheduler; its capture thread is a real one.
class HostEngineTest : public ::testing::Test {
 protected:
  HostEngineTest() {
    fake.displays->displays = {{10, {0, 0, 1440, 900}}, {20, {1440, 0, 1920, 1080}}};
    fake.displays->main = 10;
    fake.prepare = [](FakeFrameSource& s) { s.image = solidImage(1440, 900); };
  }

  std::shared_ptr<HostEngine> make(int64_t index = 0, std::shared_ptr<Scheduler> on = nullptr) {
    HostEngine::Platform p;
    p.capture = fake.platform();
    p.poster = poster;
    p.pasteboard = pasteboard;
    p.uptime = [] { return 100.0; };
    p.scheduler = on ? on : scheduler;
    return HostEngine::make(index, std::move(p));
  }

  // Runs everything due, waiting for a capture start or monitor switch to report back.
  void settle(const std::shared_ptr<HostEngine>& engine) {
    ASSERT_TRUE(scheduler->runUntil([&] { return !engine->status().captureBusy; }));
  }

  template <typename T>
  std::optional<T> answer(const std::function<void(HostEngine::Reply<T>)>& ask) {
    std::optional<T> result;
    ask([&](T value) { result = std::move(value); });
    scheduler->runUntilIdle();
    return result;
  }

  std::shared_ptr<ManualScheduler> scheduler = ManualScheduler::make();
  FakeCapturePlatform fake;
  std::shared_ptr<RecordingEventPoster> poster = std::make_shared<RecordingEventPoster>();
  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
};

using FpsAnswer = std::optional<HostEngine::FpsPair>;

TEST_F(HostEngineTest, FrameRatesAreRoundedClampedAndTurnedIntoPeriods) {
  auto engine = make();
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double fps;
    int64_t asked, applied, intervalMs;
  } cases[] = {
      {0, 0, 1, 1000},
      {29.5, 30, 30, 33},
      {60, 60, 30, 33},
      {-3, -3, 1, 1000},
      {2, 2, 2, 500},
      {5, 5, 5, 200},
      {10, 10, 10, 100},
      {12, 12, 12, 83},
      {15, 15, 15, 67},
      {20, 20, 20, 50},
      {24, 24, 24, 42},
      {25, 25, 25, 40},
      {0.5, 1, 1, 1000},
      {-0.5, -1, 1, 1000},
      {1e300, INT64_MAX, 30, 33},
      {-1e300, INT64_MIN, 1, 1000},
      {9.3e18, INT64_MAX, 30, 33},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fps);
    auto r = answer<FpsAnswer>([&](auto done) {
      engine->applySettings(c.fps, std::nullopt, std::nullopt, std::nullopt, done);
    });
    ASSERT_TRUE(r && *r);
    EXPECT_EQ((*r)->first, c.asked);
    EXPECT_EQ((*r)->second, c.applied);
    EXPECT_EQ(engine->status().frameIntervalMs, c.intervalMs);
    EXPECT_EQ(fake.last().frameRates.back(), c.applied) << "passed on to the source";
  }
  // Unusable rates are ignored while the rest of the message still applies.
  engine->applySettings(4, std::nullopt, std::nullopt, std::nullopt);
  for (double bad : {std::nan(""), inf, -inf}) {
    auto r = answer<FpsAnswer>(
        [&](auto done) { engine->applySettings(bad, 70, std::nullopt, std::nullopt, done); });
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    EXPECT_EQ(engine->status().frameIntervalMs, 250);
    EXPECT_EQ(engine->status().quality, 70);
  }
}

TEST_F(HostEngineTest, QualityAndEdgeAreClamped) {
  auto engine = make();
  EXPECT_EQ(engine->status().quality, 60);
  EXPECT_EQ(engine->status().maxEdge, 0);
  EXPECT_EQ(engine->status().frameIntervalMs, 150);
  struct Case {
    int64_t quality, expectedQuality, maxEdge, expectedEdge;
  } cases[] = {{0, 1, -1, 0},
               {500, 100, 1280, 1280},
               {55, 55, 0, 0},
               {INT64_MIN, 1, INT64_MIN, 0},
               {INT64_MAX, 100, INT64_MAX, INT64_MAX}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality);
    auto r = answer<FpsAnswer>([&](auto done) {
      engine->applySettings(std::nullopt, c.quality, c.maxEdge, std::nullopt, done);
    });
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    EXPECT_EQ(engine->status().quality, c.expectedQuality);
    EXPECT_EQ(engine->status().maxEdge, c.expectedEdge);
  }
  // Nothing asked, nothing changed.
  auto r = answer<FpsAnswer>([&](auto done) {
    engine->applySettings(std::nullopt, std::nullopt, std::nullopt, std::nullopt, done);
  });
  EXPECT_FALSE(*r);
  EXPECT_EQ(engine->status().quality, 100);
  EXPECT_EQ(fake.sources.size(), 1u);
}

TEST_F(HostEngineTest, MonitorChangesGoToTheCapturerOnlyWhenTheIndexChanges) {
  auto engine = make();
  engine->applySettings(std::nullopt, std::nullopt, std::nullopt, 0);
  settle(engine);
  EXPECT_EQ(fake.sources.size(), 1u) << "same index: nothing restarts";

  // A change while stopped still replaces and starts the capturer's source.
  engine->applySettings(std::nullopt, std::nullopt, std::nullopt, 1);
  settle(engine);
  ASSERT_EQ(fake.sources.size(), 2u);
  EXPECT_EQ(fake.sources[0]->stops, 1);
  EXPECT_EQ(fake.last().displayId, 20u);
  EXPECT_EQ(fake.last().starts, 1);

  // An index naming no display is stored and reported, and the capture stays where it was.
  engine->applySettings(std::nullopt, std::nullopt, std::nullopt, 7);
  settle(engine);
  EXPECT_EQ(engine->status().monitorIndex, 7);
  EXPECT_EQ(fake.sources.size(), 2u);
  auto report = answer<json>([&](auto done) { engine->monitorsMessage(done); });
  EXPECT_EQ((*report)["selected"], 7);
}

TEST_F(HostEngineTest, MonitorsReportListsEveryDisplayAndTheVirtualSize) {
  auto engine = make();
  auto report = [&] { return *answer<json>([&](auto done) { engine->monitorsMessage(done); }); };
  EXPECT_EQ(report(), json::parse(R"({
    "type": "monitors",
    "monitors": [{"index": 0, "w": 1440, "h": 900, "primary": true},
                 {"index": 1, "w": 1920, "h": 1080, "primary": false}],
    "selected": 0, "virtualW": 3360, "virtualH": 1080})"));

  fake.displays->displays = {{5, {-1440.5, -200, 1440.9, 900.7}}};
  fake.displays->main = 99;
  EXPECT_EQ(report(), json::parse(R"({
    "type": "monitors",
    "monitors": [{"index": 0, "w": 1440, "h": 900, "primary": false}],
    "selected": 0, "virtualW": 0, "virtualH": 700})"));

  fake.displays->displays.clear();
  EXPECT_EQ(report(), json::parse(R"({
    "type": "monitors", "monitors": [], "selected": 0, "virtualW": 0, "virtualH": 0})"));
}

TEST_F(HostEngineTest, RunningCaptureDeliversAFramePerTickAndNoneOnceStopped) {
  auto engine = make(1);
  FrameLog frames;
  engine->applySettings(30, std::nullopt, 720, std::nullopt);  // a tick every 33 ms
  engine->setOnFrame(frames.callback());

  engine->startCapture();
  engine->startCapture();
  settle(engine);
  EXPECT_EQ(fake.last().starts, 1) << "a second start is a no-op";
  // The first frame is grabbed at once, the next ones one period apart.
  EXPECT_EQ(frames.count(), 1u);
  scheduler->advance(32ms);
  EXPECT_EQ(frames.count(), 1u);
  scheduler->advance(1ms);
  EXPECT_EQ(frames.count(), 2u);
  scheduler->advance(330ms);
  EXPECT_EQ(frames.count(), 12u);
  EXPECT_EQ(frames.sizes[0], std::make_pair(int64_t{720}, int64_t{450}));
  EXPECT_EQ(engine->geometry(), (CaptureGeometry{1440, 0, 1920.0 / 720, 1080.0 / 450}));

  engine->stopCapture();
  scheduler->runUntilIdle();
  EXPECT_EQ(fake.last().stops, 1);
  EXPECT_FALSE(engine->status().running);
  scheduler->advance(1h);
  EXPECT_EQ(frames.count(), 12u) << "no ticks once stopped";
  EXPECT_EQ(scheduler->pendingTimers(), 0u);
}

// A still screen is handed on tick after tick as the same bytes, said to be unchanged; once it
// has stood still for 200 ms it is encoded once at each refresh quality above the frames' own.
TEST_F(HostEngineTest, AStillPictureIsHandedOnAndRefreshedOnce) {
  struct Seen {
    std::vector<uint8_t> jpeg;
    bool unchanged;
    int64_t refreshQuality;
    TimePoint at;
  };
  std::vector<Seen> seen;
  auto engine = make();
  fake.last().image = imageOf(desktopPixels(1440, 900), 1440, 900);
  engine->setOnFrame([&](const HostEngine::Frame& f) {
    seen.push_back(
        {{f.jpeg.begin(), f.jpeg.end()}, f.unchanged, f.refreshQuality, scheduler->now()});
  });
  engine->setRefreshQualities({90, 50, 90, 200});  // 200: clamped to 100
  engine->applySettings(30, std::nullopt, std::nullopt, std::nullopt);
  engine->startCapture();
  settle(engine);
  const TimePoint begin = scheduler->now();
  auto refreshes = [&] {
    std::vector<int64_t> qualities;
    for (const auto& f : seen) {
      if (f.refreshQuality) qualities.push_back(f.refreshQuality);
    }
    return qualities;
  };

  scheduler->advance(330ms);  // ticks at 0, 33, ..., 330
  ASSERT_EQ(seen.size(), 11u + 2u);
  EXPECT_FALSE(seen[0].unchanged);
  for (size_t i = 1; i < seen.size(); ++i) {
    if (seen[i].refreshQuality) continue;
    EXPECT_TRUE(seen[i].unchanged) << i;
    EXPECT_EQ(seen[i].jpeg, seen[0].jpeg) << i;
  }
  // Quality 50 is below the frames' 60: no refresh for it.
  EXPECT_EQ(refreshes(), (std::vector<int64_t>{90, 100}));
  for (const auto& f : seen) {
    if (f.refreshQuality) {
      EXPECT_EQ(f.at - begin, 231ms) << "the first tick 200 ms after the change";
      EXPECT_FALSE(f.unchanged);
      EXPECT_GT(f.jpeg.size(), seen[0].jpeg.size());
    }
  }

  // Once per still picture; the same list again changes nothing, a new one refreshes anew.
  scheduler->advance(1s);
  EXPECT_EQ(refreshes().size(), 2u);
  engine->setRefreshQualities({100, 50, 90});
  scheduler->advance(33ms);
  EXPECT_EQ(refreshes().size(), 2u);
  engine->setRefreshQualities({80});
  scheduler->advance(33ms);
  EXPECT_EQ(refreshes().size(), 3u);

  // A new picture is new, and refreshed again once it stands still.
  fake.last().image = imageOf(desktopPixels(1440, 900, 7), 1440, 900);
  size_t before = seen.size();
  scheduler->advance(33ms);
  ASSERT_EQ(seen.size(), before + 1);
  EXPECT_FALSE(seen.back().unchanged);
  EXPECT_NE(seen.back().jpeg, seen[0].jpeg);
  scheduler->advance(300ms);
  EXPECT_EQ(refreshes().size(), 4u);

  // A consumer put in place meanwhile never got the last frame: it gets it as new.
  std::vector<bool> unchanged;
  engine->setOnFrame([&](const HostEngine::Frame& f) { unchanged.push_back(f.unchanged); });
  scheduler->advance(66ms);
  EXPECT_EQ(unchanged, (std::vector<bool>{false, true}));
}

TEST_F(HostEngineTest, TicksWithoutAConsumerStillUpdateTheGeometry) {
  // A 1440x900 frame of a display twice that size: the mapping is not the initial identity.
  fake.displays->displays[0].bounds = {0, 0, 2880, 1800};
  auto engine = make();
  engine->startCapture();
  settle(engine);
  EXPECT_EQ(engine->geometry(), (CaptureGeometry{0, 0, 2, 2}));
}

TEST_F(HostEngineTest, ARateChangeWhileStoppedWaitsForTheStart) {
  auto engine = make();
  engine->applySettings(1, std::nullopt, std::nullopt, std::nullopt);  // 1000 ms period
  FrameLog frames;
  engine->setOnFrame(frames.callback());
  scheduler->advance(1h);
  EXPECT_EQ(frames.count(), 0u) << "no ticks before startCapture";
  EXPECT_EQ(scheduler->pendingTimers(), 0u);
  engine->startCapture();
  settle(engine);
  EXPECT_EQ(frames.count(), 1u);
  scheduler->advance(999ms);
  EXPECT_EQ(frames.count(), 1u);
  scheduler->advance(1ms);
  EXPECT_EQ(frames.count(), 2u);
}

// Starting the capture stream may take seconds. Meanwhile every other request of the engine
// is answered at once, and requests for the capturer itself wait their turn in order.
TEST_F(HostEngineTest, ASlowStartHoldsUpNothingElse) {
  TimePoint begin = scheduler->now();
  fake.prepare = [&](FakeFrameSource& s) {
    s.image = solidImage(1440, 900);
    s.whileStarting = [this, begin] { scheduler->sleepUntil(begin + 8s); };
  };
  pasteboard->content = "on the clipboard";
  auto engine = make();
  FrameLog frames;
  engine->setOnFrame(frames.callback());
  engine->startCapture();
  scheduler->runUntilIdle();
  ASSERT_TRUE(engine->status().captureBusy);

  // Everything else answers while the start waits.
  EXPECT_TRUE(answer<json>([&](auto done) { engine->monitorsMessage(done); }));
  EXPECT_TRUE(
      *answer<FpsAnswer>([&](auto done) { engine->applySettings(10, 50, std::nullopt, 1, done); }));
  EXPECT_EQ(answer<std::string>([&](auto done) { engine->clipboardText(done); }),
            "on the clipboard");
  InputEvent key(InputKind::keyVk);
  key.vk = 0x41;
  key.down = true;
  EXPECT_EQ(answer<bool>([&](auto done) { engine->injectEvent(key, done); }), false);
  EXPECT_EQ(poster->events().size(), 1u);
  EXPECT_EQ(answer<bool>([&](auto done) { engine->setViewOnly(true, done); }), true);

  scheduler->advance(7999ms);
  EXPECT_TRUE(engine->status().captureBusy);
  EXPECT_EQ(frames.count(), 0u);
  EXPECT_EQ(fake.sources.size(), 1u) << "the monitor switch waits for the start";

  // The start returns at 8 s; the monitor switch (on its own slow start) follows.
  scheduler->advance(1ms);
  settle(engine);
  ASSERT_EQ(fake.sources.size(), 2u);
  EXPECT_EQ(fake.sources[0]->starts, 1);
  EXPECT_EQ(fake.sources[0]->stops, 1);
  EXPECT_EQ(fake.last().displayId, 20u);
  EXPECT_EQ(fake.last().frameRates, std::vector<int>{10}) << "the rate came after the start";
  scheduler->advance(100ms);
  EXPECT_EQ(frames.count(), 1u);
}

TEST_F(HostEngineTest, StoppingDuringAStartStopsTheSourceOnceTheStartReturns) {
  TimePoint begin = scheduler->now();
  fake.prepare = [&](FakeFrameSource& s) {
    s.image = solidImage(1440, 900);
    s.whileStarting = [this, begin] { scheduler->sleepUntil(begin + 8s); };
  };
  auto engine = make();
  FrameLog frames;
  engine->setOnFrame(frames.callback());
  engine->startCapture();
  scheduler->runUntilIdle();
  engine->stopCapture();
  engine->startCapture();  // a start that has not begun is dropped by the next stop
  engine->stopCapture();
  scheduler->advance(8s);
  settle(engine);
  EXPECT_EQ(fake.last().starts, 1);
  EXPECT_EQ(fake.last().stops, 1);
  scheduler->advance(1h);
  EXPECT_EQ(frames.count(), 0u);
  EXPECT_FALSE(engine->status().running);
}

TEST_F(HostEngineTest, ViewOnlyDropsInputAndOnlyReleaseAllEndsIt) {
  auto engine = make();
  InputEvent down(InputKind::button);
  down.channel = 1;
  down.seq = 0;
  down.button = "left";
  down.down = true;

  engine->setViewOnly(true);
  EXPECT_EQ(answer<bool>([&](auto done) { engine->injectBinary(encodeBinary(down), done); }),
            false);
  EXPECT_EQ(answer<bool>([&](auto done) { engine->injectEvent(down, done); }), false);
  EXPECT_TRUE(poster->events().empty());

  engine->setViewOnly(false);
  engine->injectEvent(down);
  scheduler->runUntilIdle();
  auto posted = poster->take();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].type, EventType::leftMouseDown);

  // Control passing on releases what was held, the blind release follows, then whatever the
  // poster itself still holds; view-only stays.
  engine->setViewOnly(true);
  engine->releaseHeld();
  scheduler->runUntilIdle();
  EXPECT_TRUE(engine->viewOnly());
  posted = poster->take();
  ASSERT_EQ(posted.size(), 1 + blindRelease().size());
  EXPECT_EQ(posted[0].type, EventType::leftMouseUp);
  EXPECT_EQ(poster->releaseAlls(), 1);

  // The end of control ends view-only as well.
  engine->releaseAll();
  scheduler->runUntilIdle();
  EXPECT_FALSE(engine->viewOnly());
  EXPECT_EQ(poster->take().size(), blindRelease().size());
  EXPECT_EQ(poster->releaseAlls(), 2);
}

TEST_F(HostEngineTest, AReleaseForgetsTheOldControllersSequenceNumbers) {
  auto engine = make();
  InputFrameWriter first(1000);
  engine->injectBinary(first.event(InputEvent(InputKind::wheel)));
  engine->releaseHeld();
  // The next controller counts from its own start; its first frame is obeyed at once.
  InputFrameWriter next(1);
  engine->injectBinary(next.event(InputEvent(InputKind::wheel)));
  scheduler->runUntilIdle();
  auto posted = poster->events();
  EXPECT_EQ(std::count_if(posted.begin(), posted.end(),
                          [](const auto& e) { return e.type == EventType::scrollWheel; }),
            2);
}

TEST_F(HostEngineTest, InputGapAsksForASnapshot) {
  auto engine = make();
  auto move = [](uint32_t seq) {
    InputEvent e(InputKind::move);
    e.channel = 1;
    e.seq = seq;
    return encodeBinary(e);
  };
  EXPECT_EQ(answer<bool>([&](auto done) { engine->injectBinary(move(0), done); }), false);
  // Frame 1 never comes: once more frames wait than the receiver holds, it asks for a
  // snapshot and the waiting moves are played.
  std::vector<bool> answers;
  for (uint32_t seq = 2; seq <= Receiver::REORDER_LIMIT + 2; ++seq) {
    engine->injectBinary(move(seq), [&](bool resync) { answers.push_back(resync); });
  }
  scheduler->runUntilIdle();
  ASSERT_EQ(answers.size(), Receiver::REORDER_LIMIT + 1);
  EXPECT_TRUE(answers.back());
  EXPECT_EQ(poster->events().size(), Receiver::REORDER_LIMIT + 2);
}

TEST_F(HostEngineTest, ClipboardReadsEmptyWhenThereIsNoText) {
  auto engine = make();
  EXPECT_EQ(answer<std::string>([&](auto done) { engine->clipboardText(done); }), "");
  bool written = false;
  engine->setClipboard("hello ✓", [&] { written = true; });
  EXPECT_TRUE(written);
  EXPECT_EQ(pasteboard->content, "hello ✓");
  EXPECT_EQ(answer<std::string>([&](auto done) { engine->clipboardText(done); }), "hello ✓");
}

TEST_F(HostEngineTest, ShutdownLetsGoStopsCaptureAndTakesNoMoreInput) {
  auto engine = make();
  FrameLog frames;
  engine->setOnFrame(frames.callback());
  engine->startCapture();
  settle(engine);
  InputEvent key(InputKind::keyVk);
  key.vk = 0xA0;  // left shift
  key.down = true;
  engine->injectEvent(key);
  scheduler->runUntilIdle();
  poster->take();

  bool done = false;
  engine->shutdown([&] { done = true; });
  scheduler->runUntilIdle();
  EXPECT_TRUE(done);
  auto posted = poster->take();
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted[0].type, EventType::keyUp);
  EXPECT_EQ(poster->releaseAlls(), 1);
  EXPECT_EQ(fake.last().stops, 1);
  EXPECT_FALSE(engine->status().running);

  size_t framesAtShutdown = frames.count();
  engine->injectEvent(key);
  engine->startCapture();
  scheduler->advance(1h);
  EXPECT_TRUE(poster->events().empty());
  EXPECT_EQ(frames.count(), framesAtShutdown);
  EXPECT_EQ(fake.last().starts, 1);
}

TEST_F(HostEngineTest, PendingWorkDoesNotKeepTheEngineAlive) {
  auto engine = make();
  engine->startCapture();
  settle(engine);
  engine->monitorsMessage([](json) {});
  std::weak_ptr<HostEngine> weak = engine;
  engine.reset();
  EXPECT_TRUE(weak.expired());
  scheduler->advance(1h);  // the queued work and the timer find nothing to do
}

// The fabric client calls the engine from several viewer queues and its relay queue while the
// frame loop ticks, here on the system's thread pool. Every kind of call runs at once; the
// sanitizer builds turn any unguarded state into a failure, and the plain build catches
// deadlocks and lost frames.
TEST_F(HostEngineTest, CallsFromSeveralThreadsWhileFramesFlow) {
  fake.prepare = [](FakeFrameSource& s) { s.image = solidImage(160, 100); };
  auto engine = make(0, Scheduler::system());
  FrameLog frames;
  engine->setOnFrame(frames.callback());
  engine->applySettings(30, std::nullopt, 80, std::nullopt);
  engine->startCapture();
  ASSERT_TRUE(frames.waitFor(1));

  constexpr int ROUNDS = 60;
  std::atomic<int> answers{0};
  std::vector<std::thread> callers;
  callers.emplace_back([&] {  // a viewer changing its settings and display
    for (int i = 0; i < ROUNDS; ++i) {
      engine->applySettings(10 + i % 21, 20 + i, 40 + i, i % 2, [&](auto) { ++answers; });
      engine->monitorsMessage([&](json) { ++answers; });
    }
  });
  for (uint32_t channel : {0u, 1u}) {  // the controller's input, on two queues in turn
    callers.emplace_back([&, channel] {
      InputFrameWriter writer;
      for (int i = 0; i < ROUNDS; ++i) {
        InputEvent move(InputKind::move);
        move.x = i;
        move.y = i;
        engine->injectBinary(channel == 0 ? writer.state(move) : writer.event(move),
                             [&](bool) { ++answers; });
        InputEvent press(InputKind::button);
        press.button = "left";
        press.down = i % 2 == 0;
        engine->injectEvent(press);
      }
    });
  }
  callers.emplace_back([&] {  // the relay queue: view-only, releases, restarts, reads
    for (int i = 0; i < ROUNDS; ++i) {
      engine->setViewOnly(i % 3 == 0);
      if (i % 10 == 5) engine->releaseAll();
      if (i % 10 == 7) engine->releaseHeld();
      if (i % 20 == 10) {
        engine->stopCapture();
        engine->startCapture();
      }
      (void)engine->status();
      (void)engine->viewOnly();
      (void)engine->geometry();
      engine->clipboardText([&](std::string) { ++answers; });
      if (i % 15 == 0) engine->setOnFrame(frames.callback());
    }
  });
  for (auto& t : callers) t.join();

  // Still running and delivering after all of that, and every request was answered.
  size_t before = frames.count();
  EXPECT_TRUE(frames.waitFor(before + 2));
  constexpr int EXPECTED = ROUNDS * 2 + ROUNDS * 2 + ROUNDS;
  for (int i = 0; i < 3000 && answers.load() < EXPECTED; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(answers.load(), EXPECTED);
  std::atomic<bool> stopped{false};
  engine->shutdown([&] { stopped = true; });
  for (int i = 0; i < 3000 && !stopped; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace cvl::test
