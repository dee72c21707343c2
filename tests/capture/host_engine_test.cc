#include "kit/capture/host_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <thread>
#include <vector>

#include "kit/input/input_encoder.h"
#include "tests/support/fake_capture.h"
#include "tests/support/recording_event_poster.h"

namespace cvl::test {
namespace {

using namespace std::chrono_literals;

class FakePasteboard : public Pasteboard {
 public:
  std::optional<std::string> content;
  std::optional<std::string> text() override { return content; }
  void setText(const std::string& text) override { content = text; }
};

// Frames handed to onFrame, waited for from the test thread.
struct FrameLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<int64_t, int64_t>> sizes;

  HostEngine::FrameCallback callback() {
    return [this](const std::vector<uint8_t>& jpeg, int64_t w, int64_t h) {
      EXPECT_FALSE(jpeg.empty());
      std::lock_guard lock(mutex);
      sizes.emplace_back(w, h);
      changed.notify_all();
    };
  }
  bool waitFor(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return sizes.size() >= count; });
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return sizes.size();
  }
};

class HostEngineTest : public ::testing::Test {
 protected:
  HostEngineTest() {
    fake.displays->displays = {{10, {0, 0, 1440, 900}}, {20, {1440, 0, 1920, 1080}}};
    fake.displays->main = 10;
    fake.prepare = [](FakeFrameSource& s) { s.image = solidImage(1440, 900); };
  }

  std::shared_ptr<HostEngine> make(int64_t index = 0) {
    HostEngine::Platform p;
    p.capture = fake.platform();
    p.poster = poster;
    p.pasteboard = pasteboard;
    p.uptime = [] { return 100.0; };
    return HostEngine::make(index, std::move(p));
  }

  FakeCapturePlatform fake;
  std::shared_ptr<RecordingEventPoster> poster = std::make_shared<RecordingEventPoster>();
  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
};

TEST_F(HostEngineTest, FrameRatesAreRoundedClampedAndTurnedIntoPeriods) {
  auto engine = make();
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double fps;
    int64_t asked, applied, intervalMs;
  } cases[] = {
      {0, 0, 1, 1000},       {29.5, 30, 30, 33},     {60, 60, 30, 33},
      {-3, -3, 1, 1000},     {2, 2, 2, 500},         {5, 5, 5, 200},
      {10, 10, 10, 100},     {12, 12, 12, 83},       {15, 15, 15, 67},
      {20, 20, 20, 50},      {24, 24, 24, 42},       {25, 25, 25, 40},
      {0.5, 1, 1, 1000},     {-0.5, -1, 1, 1000},    {1e300, INT64_MAX, 30, 33},
      {-1e300, INT64_MIN, 1, 1000}, {9.3e18, INT64_MAX, 30, 33},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fps);
    auto r = engine->applySettings(c.fps, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->first, c.asked);
    EXPECT_EQ(r->second, c.applied);
    EXPECT_EQ(engine->frameIntervalMs(), c.intervalMs);
    EXPECT_EQ(fake.last().frameRates.back(), c.applied) << "passed on to the source";
  }
  // Unusable rates are ignored while the rest of the message still applies.
  engine->applySettings(4, std::nullopt, std::nullopt, std::nullopt);
  for (double bad : {std::nan(""), inf, -inf}) {
    EXPECT_FALSE(engine->applySettings(bad, 70, std::nullopt, std::nullopt));
    EXPECT_EQ(engine->frameIntervalMs(), 250);
    EXPECT_EQ(engine->quality(), 70);
  }
}

TEST_F(HostEngineTest, QualityAndEdgeAreClamped) {
  auto engine = make();
  EXPECT_EQ(engine->quality(), 60);
  EXPECT_EQ(engine->maxEdge(), 0);
  EXPECT_EQ(engine->frameIntervalMs(), 150);
  struct Case {
    int64_t quality, expectedQuality, maxEdge, expectedEdge;
  } cases[] = {{0, 1, -1, 0},      {500, 100, 1280, 1280}, {55, 55, 0, 0},
               {INT64_MIN, 1, INT64_MIN, 0}, {INT64_MAX, 100, INT64_MAX, INT64_MAX}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality);
    EXPECT_FALSE(engine->applySettings(std::nullopt, c.quality, c.maxEdge, std::nullopt));
    EXPECT_EQ(engine->quality(), c.expectedQuality);
    EXPECT_EQ(engine->maxEdge(), c.expectedEdge);
  }
  // Nothing asked, nothing changed.
  EXPECT_FALSE(engine->applySettings(std::nullopt, std::nullopt, std::nullopt, std::nullopt));
  EXPECT_EQ(engine->quality(), 100);
  EXPECT_EQ(fake.sources.size(), 1u);
}

TEST_F(HostEngineTest, MonitorChangesGoToTheCapturerOnlyWhenTheIndexChanges) {
  auto engine = make();
  engine->applySettings(std::nullopt, std::nullopt, std::nullopt, 0);
  EXPECT_EQ(fake.sources.size(), 1u) << "same index: nothing restarts";

  // A change while stopped still replaces and starts the capturer's source.
  engine->applySettings(std::nullopt, std::nullopt, std::nullopt, 1);
  ASSERT_EQ(fake.sources.size(), 2u);
  EXPECT_EQ(fake.sources[0]->stops, 1);
  EXPECT_EQ(fake.last().displayId, 20u);
  EXPECT_EQ(fake.last().starts, 1);

  // An index naming no display is stored and reported, and the capture stays where it was.
  engine->applySettings(std::nullopt, std::nullopt, std::nullopt, 7);
  EXPECT_EQ(engine->monitorIndex(), 7);
  EXPECT_EQ(fake.sources.size(), 2u);
  EXPECT_EQ(engine->monitorsMessage()["selected"], 7);
}

TEST_F(HostEngineTest, MonitorsReportListsEveryDisplayAndTheVirtualSize) {
  auto engine = make();
  EXPECT_EQ(engine->monitorsMessage(), nlohmann::json::parse(R"({
    "type": "monitors",
    "monitors": [{"index": 0, "w": 1440, "h": 900, "primary": true},
                 {"index": 1, "w": 1920, "h": 1080, "primary": false}],
    "selected": 0, "virtualW": 3360, "virtualH": 1080})"));

  fake.displays->displays = {{5, {-1440.5, -200, 1440.9, 900.7}}};
  fake.displays->main = 99;
  EXPECT_EQ(engine->monitorsMessage(), nlohmann::json::parse(R"({
    "type": "monitors",
    "monitors": [{"index": 0, "w": 1440, "h": 900, "primary": false}],
    "selected": 0, "virtualW": 0, "virtualH": 700})"));

  fake.displays->displays.clear();
  EXPECT_EQ(engine->monitorsMessage(), nlohmann::json::parse(R"({
    "type": "monitors", "monitors": [], "selected": 0, "virtualW": 0, "virtualH": 0})"));
}

TEST_F(HostEngineTest, RunningCaptureDeliversFramesAndGeometry) {
  auto engine = make(1);
  FrameLog frames;
  engine->applySettings(30, std::nullopt, 720, std::nullopt);
  engine->setOnFrame(frames.callback());

  engine->startCapture();
  engine->startCapture();
  EXPECT_EQ(fake.last().starts, 1) << "a second start is a no-op";
  ASSERT_TRUE(frames.waitFor(3));
  {
    std::lock_guard lock(frames.mutex);
    EXPECT_EQ(frames.sizes[0], std::make_pair(int64_t{720}, int64_t{450}));
  }
  EXPECT_EQ(engine->injector().geometry(), (CaptureGeometry{1440, 0, 1920.0 / 720, 1080.0 / 450}));

  engine->stopCapture();
  EXPECT_EQ(fake.last().stops, 1);
  size_t after = frames.count();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(frames.count(), after) << "no ticks once stopped";
}

TEST_F(HostEngineTest, TicksWithoutAConsumerStillUpdateTheGeometry) {
  // A 1440x900 frame of a display twice that size: the mapping is not the initial identity.
  fake.displays->displays[0].bounds = {0, 0, 2880, 1800};
  auto engine = make();
  engine->startCapture();
  for (int i = 0; i < 500; ++i) {
    if (engine->injector().geometry() == CaptureGeometry{0, 0, 2, 2}) break;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(engine->injector().geometry(), (CaptureGeometry{0, 0, 2, 2}));
}

TEST_F(HostEngineTest, FirstTickIsImmediateAndAStoppedRateChangeWaitsForTheStart) {
  auto engine = make();
  engine->applySettings(1, std::nullopt, std::nullopt, std::nullopt);  // 1000 ms period
  FrameLog frames;
  engine->setOnFrame(frames.callback());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(frames.count(), 0u) << "no ticks before startCapture";
  engine->startCapture();
  // With a one-second period only the immediate first tick can have run this early.
  ASSERT_TRUE(frames.waitFor(1));
  EXPECT_EQ(engine->frameIntervalMs(), 1000);
}

TEST_F(HostEngineTest, ViewOnlyDropsInputAndReleaseAllEndsIt) {
  auto engine = make();
  InputEvent down(InputKind::button);
  down.channel = 1;
  down.seq = 0;
  down.button = "left";
  down.down = true;

  engine->setViewOnly(true);
  EXPECT_FALSE(engine->injectBinary(encodeBinary(down)));
  EXPECT_FALSE(engine->injectEvent(down));
  EXPECT_TRUE(poster->events().empty());

  engine->setViewOnly(false);
  EXPECT_FALSE(engine->injectEvent(down));
  auto posted = poster->take();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].type, EventType::leftMouseDown);

  engine->setViewOnly(true);
  engine->releaseAll();
  EXPECT_FALSE(engine->viewOnly());
  posted = poster->take();
  // The held left button is released from the record, then the blind release follows.
  ASSERT_GE(posted.size(), 1 + blindRelease().size());
  EXPECT_EQ(posted[0].type, EventType::leftMouseUp);
  EXPECT_EQ(posted.size(), 1 + blindRelease().size());
}

TEST_F(HostEngineTest, InputGapAsksForASnapshot) {
  auto engine = make();
  auto move = [](uint32_t seq) {
    InputEvent e(InputKind::move);
    e.channel = 1;
    e.seq = seq;
    return encodeBinary(e);
  };
  EXPECT_FALSE(engine->injectBinary(move(0)));
  // Frame 1 never comes: once more frames wait than the receiver holds, it asks for a
  // snapshot and the waiting moves are played.
  bool resync = false;
  for (uint32_t seq = 2; seq <= Receiver::REORDER_LIMIT + 2; ++seq) {
    resync = engine->injectBinary(move(seq));
  }
  EXPECT_TRUE(resync);
  EXPECT_EQ(poster->events().size(), Receiver::REORDER_LIMIT + 2);
}

TEST_F(HostEngineTest, ClipboardReadsEmptyWhenThereIsNoText) {
  auto engine = make();
  EXPECT_EQ(engine->clipboardText(), "");
  engine->setClipboard("hello ✓");
  EXPECT_EQ(pasteboard->content, "hello ✓");
  EXPECT_EQ(engine->clipboardText(), "hello ✓");
}

// The fabric client calls the engine from several viewer queues and its relay queue while the
// frame loop ticks. Run every kind of call at once; the sanitizer builds turn any unguarded
// state into a failure, and the plain build catches deadlocks and lost frames.
TEST_F(HostEngineTest, CallsFromSeveralThreadsWhileFramesFlow) {
  fake.prepare = [](FakeFrameSource& s) { s.image = solidImage(160, 100); };
  auto engine = make();
  FrameLog frames;
  engine->setOnFrame(frames.callback());
  engine->applySettings(30, std::nullopt, 80, std::nullopt);
  engine->startCapture();
  ASSERT_TRUE(frames.waitFor(1));

  constexpr int ROUNDS = 60;
  std::vector<std::thread> callers;
  callers.emplace_back([&] {  // a viewer changing its settings and display
    for (int i = 0; i < ROUNDS; ++i) {
      engine->applySettings(10 + i % 21, 20 + i, 40 + i, i % 2);
      (void)engine->monitorsMessage();
    }
  });
  for (uint32_t channel : {0u, 1u}) {  // the controller's input, on two queues in turn
    callers.emplace_back([&, channel] {
      InputFrameWriter writer;
      for (int i = 0; i < ROUNDS; ++i) {
        InputEvent move(InputKind::move);
        move.x = i;
        move.y = i;
        engine->injectBinary(channel == 0 ? writer.state(move) : writer.event(move));
        InputEvent press(InputKind::button);
        press.button = "left";
        press.down = i % 2 == 0;
        engine->injectEvent(press);
      }
    });
  }
  callers.emplace_back([&] {  // the relay queue: view-only, release-all, restarts, reads
    for (int i = 0; i < ROUNDS; ++i) {
      engine->setViewOnly(i % 3 == 0);
      if (i % 10 == 5) engine->releaseAll();
      if (i % 20 == 10) {
        engine->stopCapture();
        engine->startCapture();
      }
      (void)engine->frameIntervalMs();
      (void)engine->quality();
      (void)engine->maxEdge();
      (void)engine->monitorIndex();
      (void)engine->injector().geometry();
      if (i % 15 == 0) engine->setOnFrame(frames.callback());
    }
  });
  for (auto& t : callers) t.join();

  // Still running and delivering after all of that.
  size_t before = frames.count();
  EXPECT_TRUE(frames.waitFor(before + 2));
  engine->stopCapture();
}

TEST_F(HostEngineTest, APendingTickDoesNotKeepTheEngineAlive) {
  auto engine = make();
  engine->startCapture();
  std::weak_ptr<HostEngine> weak = engine;
  engine.reset();
  // A tick that is running right now may hold it until the tick ends, but no longer.
  for (int i = 0; i < 200 && !weak.expired(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace cvl::test
