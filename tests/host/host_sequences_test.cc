// The host's core as one piece: the fabric client driving the real host engine, on one manual
// clock, with fakes only at the system's edges (capture platform, input poster, clipboard,
// relay socket). Shows that no viewer, no relay message and no ping waits for a blocking call.
#include <gtest/gtest.h>

#include "kit/base/base64.h"
#include "kit/capture/host_engine.h"
#include "kit/fabric/host_engine_adapter.h"
#include "tests/capture/test_pictures.h"
#include "tests/fabric/fabric_test_rig.h"
#include "tests/support/fake_capture.h"
#include "tests/support/manual_scheduler.h"
#include "tests/support/recording_event_poster.h"

namespace cvl::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

class InstantPasteboard : public Pasteboard {
 public:
  void readText(TextDone done) override { done(std::string("on the host")); }
  void writeText(std::string, std::function<void()> done) override {
    if (done) done();
  }
};

// The index of the first message of `type`, or the inbox's size.
size_t firstOf(const TestViewer& viewer, const std::string& type) {
  for (size_t i = 0; i < viewer.inbox.size(); ++i) {
    if (viewer.inbox[i].value("type", "") == type) return i;
  }
  return viewer.inbox.size();
}

// The capture stream takes 8 s to start. Meanwhile a second viewer joins, agrees keys and
// gets its answers, the controller's keys reach the system, and pings keep going out; frames
// follow once the stream is up, each viewer's only after its greeting.
TEST(HostSequences, ASlowCaptureStartHoldsUpNoViewerAndNoPing) {
  auto scheduler = ManualScheduler::make();
  const TimePoint begin = scheduler->now();
  FakeCapturePlatform fake;
  fake.displays->displays = {{1, {0, 0, 1280, 800}}};
  fake.displays->main = 1;
  fake.prepare = [&](FakeFrameSource& s) {
    s.image = solidImage(1280, 800);
    s.whileStarting = [scheduler, begin] { scheduler->sleepUntil(begin + 8s); };
  };
  auto poster = std::make_shared<RecordingEventPoster>();
  HostEngine::Platform platform;
  platform.capture = fake.platform();
  platform.poster = poster;
  platform.pasteboard = std::make_shared<InstantPasteboard>();
  platform.scheduler = scheduler;
  auto engine = HostEngine::make(0, std::move(platform));

  FabricRig rig(testConfig(), scheduler, fabricEngineFor(engine));
  rig.options.pingInterval = 2s;
  rig.remake();
  ASSERT_NO_FATAL_FAILURE(rig.connect());

  TestViewer owner, watcher;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(owner, 1, "owner"));
  ASSERT_TRUE(rig.waitFor(owner, "input-status"));
  ASSERT_TRUE(engine->status().captureBusy) << "the stream is still starting";

  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(watcher, 2, "viewer"));
  rig.send(watcher, {{"type", "monitors"}});
  ASSERT_TRUE(rig.waitFor(watcher, "monitors"));
  rig.send(watcher, {{"type", "clip-request"}});
  ASSERT_TRUE(rig.waitFor(watcher, "clipboard"));
  rig.send(owner, {{"type", "keyvk"}, {"vk", 0x41}, {"down", true}});
  ASSERT_TRUE(rig.until([&] { return poster->events().size() == 1; }));
  EXPECT_EQ(scheduler->now(), begin) << "all of it without the clock moving";

  for (int second = 1; second < 8; ++second) {
    rig.advance(1s);
    EXPECT_TRUE(engine->status().captureBusy);
  }
  EXPECT_EQ(rig.task->pings(), 3) << "at 2, 4 and 6 s";
  EXPECT_TRUE(rig.received(owner, "frame").empty());

  rig.advance(1s);  // the stream is up
  ASSERT_TRUE(rig.waitFor(owner, "frame"));
  ASSERT_TRUE(rig.waitFor(watcher, "frame"));
  EXPECT_EQ(rig.task->pings(), 4);
  for (TestViewer* v : {&owner, &watcher}) {
    EXPECT_EQ(firstOf(*v, "you"), 0u);
    EXPECT_LT(firstOf(*v, "you"), firstOf(*v, "frame"));
  }
  EXPECT_EQ(fake.last().starts, 1);
}

// A viewer that agrees keys while frames are flowing gets its greeting before any frame.
TEST(HostSequences, AViewerKeyingWhileFramesFlowIsGreetedFirst) {
  auto scheduler = ManualScheduler::make();
  FakeCapturePlatform fake;
  fake.displays->displays = {{1, {0, 0, 320, 200}}};
  fake.displays->main = 1;
  fake.prepare = [](FakeFrameSource& s) { s.image = solidImage(320, 200); };
  HostEngine::Platform platform;
  platform.capture = fake.platform();
  platform.poster = std::make_shared<RecordingEventPoster>();
  platform.pasteboard = std::make_shared<InstantPasteboard>();
  platform.scheduler = scheduler;
  auto engine = HostEngine::make(0, std::move(platform));
  FabricRig rig(testConfig(), scheduler, fabricEngineFor(engine));
  ASSERT_NO_FATAL_FAILURE(rig.connect());

  TestViewer first;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(first, 1, "owner"));
  rig.send(first, {{"type", "settings"}, {"fps", 30}});
  ASSERT_TRUE(rig.waitFor(first, "frame"));

  // Each later viewer joins and sends its hello between two ticks, at every offset.
  for (uint32_t id = 2; id < 12; ++id) {
    SCOPED_TRACE(id);
    TestViewer later;
    ASSERT_NO_FATAL_FAILURE(rig.join(later, id, "viewer"));
    rig.advance(std::chrono::milliseconds(3 * id));
    rig.sendRaw(later, later.peer.hello());
    for (int tick = 0; tick < 3; ++tick) rig.advance(33ms);
    ASSERT_TRUE(rig.waitFor(later, "frame"));
    EXPECT_EQ(firstOf(later, "you"), 0u);
    rig.leave(later);
  }
}

// A still screen, the real engine behind the fabric client: the browser viewer's wishes
// ("skipUnchanged", "refreshQuality": 90) get it the picture, the sharper picture once it has
// stood still for 200 ms, and then that picture once every 2 s; a viewer that asks for
// nothing gets the same picture on every tick, as always.
TEST(HostSequences, AStillScreenGoesToAViewerThatSkipsUnchangedFramesEveryTwoSeconds) {
  auto scheduler = ManualScheduler::make();
  FakeCapturePlatform fake;
  fake.displays->displays = {{1, {0, 0, 320, 200}}};
  fake.displays->main = 1;
  fake.prepare = [](FakeFrameSource& s) { s.image = imageOf(desktopPixels(320, 200), 320, 200); };
  HostEngine::Platform platform;
  platform.capture = fake.platform();
  platform.poster = std::make_shared<RecordingEventPoster>();
  platform.pasteboard = std::make_shared<InstantPasteboard>();
  platform.scheduler = scheduler;
  auto engine = HostEngine::make(0, std::move(platform));
  FabricRig rig(testConfig(), scheduler, fabricEngineFor(engine));
  ASSERT_NO_FATAL_FAILURE(rig.connect());
  auto pictures = [&](TestViewer& v) {
    std::vector<std::string> out;
    for (const auto& f : rig.received(v, "frame")) out.push_back(f["data"].get<std::string>());
    return out;
  };

  TestViewer plain, browser;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(plain, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(browser, 2, "viewer"));
  rig.send(browser,
           {{"type", "settings"}, {"fps", 10}, {"skipUnchanged", true}, {"refreshQuality", 90}});
  ASSERT_TRUE(rig.waitFor(browser, "fps-applied"));
  ASSERT_TRUE(rig.waitFor(browser, "frame"));  // the capture stream is up
  rig.advance(300ms);
  rig.idle();
  auto seen = pictures(browser);
  ASSERT_GE(seen.size(), 2u);
  const std::string sharp = seen.back();
  EXPECT_GT(Base64::decode(sharp)->size(), Base64::decode(seen.front())->size())
      << "the last one is the sharper picture";

  const size_t before = seen.size();
  rig.advance(1800ms);
  rig.idle();
  EXPECT_EQ(pictures(browser).size(), before) << "nothing while the picture stands still";
  rig.advance(400ms);
  rig.idle();
  seen = pictures(browser);
  ASSERT_EQ(seen.size(), before + 1);
  EXPECT_EQ(seen.back(), sharp) << "the keep-alive shows the sharper picture";

  auto plainSeen = pictures(plain);
  EXPECT_GE(plainSeen.size(), 25u) << "a frame on every tick";
  for (const auto& p : plainSeen) EXPECT_EQ(p, plainSeen.front());
}

}  // namespace
}  // namespace cvl::test
