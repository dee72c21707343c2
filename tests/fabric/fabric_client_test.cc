// The fabric client's relay connection: the dial URL, link up, pings, reconnection with the
// generation check, "replaced" and stop, against a fake connector on a manual clock.
#include <gtest/gtest.h>

#include "tests/fabric/fabric_test_rig.h"
#include "tests/support/stderr_capture.h"

namespace cvl {
namespace {

using test::FabricRig;
using test::TestViewer;
using namespace std::chrono_literals;

size_t countLines(const test::StderrCapture& capture, const std::string& line) {
  auto lines = test::logLines(capture.text());
  return std::count(lines.begin(), lines.end(), line);
}

TEST(FabricClientLink, DialsWithCredentialsAndNeverLogsTheToken) {
  test::StderrCapture capture;
  FabricRig rig;
  rig.client->start();
  auto task = rig.connector->task(0);
  ASSERT_TRUE(task);
  EXPECT_TRUE(task->resumed());
  EXPECT_EQ(task->url.host, "127.0.0.1");
  EXPECT_EQ(task->url.port, 9);
  EXPECT_EQ(task->url.target, "/host?deviceId=dev-1&token=s3cret%2Btoken%2F%3D%3D");

  // Up on the first message, not on the open, and only once per connection.
  rig.idle();
  EXPECT_EQ(countLines(capture, "[fabric] link UP \u2014 relay accepted host dev-1"), 0u);
  task->pushBinary(controlFrame({{"t", "welcome"}}));
  task->pushBinary(Bytes{0x0F});
  ASSERT_TRUE(rig.until([&] { return task->receivePending(); }));
  task->fail("gone");
  rig.idle();
  EXPECT_EQ(rig.connector->count(), 1u) << "the next dial waits 4 s";
  rig.advance(3999ms);
  EXPECT_EQ(rig.connector->count(), 1u);
  rig.advance(1ms);
  auto second = rig.connector->task(1);
  ASSERT_TRUE(second);
  second->pushBinary(Bytes{});
  ASSERT_TRUE(rig.until([&] { return second->receivePending(); }));

  auto lines = test::logLines(capture.text());
  const std::vector<std::string> expected = {
      "[fabric] dialing ws://127.0.0.1:9 as dev-1",
      "[fabric] link UP \u2014 relay accepted host dev-1",
      "[fabric] link down (gone), retrying in 4s",
      "[fabric] dialing ws://127.0.0.1:9 as dev-1",
      "[fabric] link UP \u2014 relay accepted host dev-1",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(capture.text().find("s3cret"), std::string::npos);
}

TEST(FabricClientLink, IncompleteConfigurationNeverDials) {
  test::StderrCapture capture;
  auto config = test::testConfig();
  config.deviceToken = "";
  FabricRig rig(config);
  rig.client->start();
  rig.advance(1h);
  EXPECT_EQ(rig.connector->count(), 0u);
  EXPECT_EQ(rig.scheduler->pendingTimers(), 0u);
  EXPECT_EQ(test::logLines(capture.text()),
            std::vector<std::string>{"[fabric] not configured \u2014 staying single-machine"});
}

TEST(FabricClientLink, UnusableRelayUrlIsRetriedEveryFourSeconds) {
  test::StderrCapture capture;
  auto config = test::testConfig();
  config.relayUrl = "http://relay.example";
  FabricRig rig(config);
  rig.client->start();
  rig.advance(8s);
  rig.client->stop();
  rig.advance(1h);
  EXPECT_EQ(rig.connector->count(), 0u);
  const std::vector<std::string> pair = {"[fabric] bad relay URL",
                                         "[fabric] link down (bad-url), retrying in 4s"};
  std::vector<std::string> expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), pair.begin(), pair.end());
  EXPECT_EQ(test::logLines(capture.text()), expected) << "at 0, 4 and 8 s";
}

TEST(FabricClientLink, OneReconnectPerDyingConnection) {
  test::StderrCapture capture;
  FabricRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.connect());
  TestViewer viewer;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(viewer, 4, "owner"));
  auto first = rig.task;

  // A receive error, a ping error and a late message of the same connection: one reconnect.
  first->failPings("timed out");
  first->fail("connection reset");
  first->pushBinary(controlFrame(clientJoinControl(8)));
  rig.advance(15s);  // a ping falls due too
  EXPECT_EQ(first->cancelCode(), 1006);
  EXPECT_EQ(rig.connector->count(), 2u);
  EXPECT_EQ(countLines(capture, "[fabric] link down (connection reset), retrying in 4s"), 1u);
  EXPECT_EQ(countLines(capture, "[fabric] client 4 left (relay-down)"), 1u);
  EXPECT_EQ(rig.client->viewer(8), nullptr);

  // Viewers join afresh on the new connection and key again.
  rig.task = rig.connector->task(1);
  rig.task->pushBinary(controlFrame({{"t", "hello"}}));
  TestViewer again;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(again, 4, "owner"));
}

TEST(FabricClientLink, PingsFromTheFifteenthSecondAndFailsOnAPingError) {
  test::StderrCapture capture;
  FabricRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.connect());
  auto task = rig.task;
  rig.advance(14999ms);
  EXPECT_EQ(task->pings(), 0);  // none before the first interval has passed
  rig.advance(1ms);
  EXPECT_EQ(task->pings(), 1);
  rig.advance(30s);
  EXPECT_EQ(task->pings(), 3);

  task->failPings("no pong");
  rig.advance(15s);
  EXPECT_EQ(countLines(capture, "[fabric] link down (ping-failed: no pong), retrying in 4s"), 1u);
  int pingsAtDeath = task->pings();
  rig.advance(4s);
  EXPECT_EQ(rig.connector->count(), 2u);
  // The dead connection's timer is gone with it.
  rig.advance(1h);
  EXPECT_EQ(task->pings(), pingsAtDeath);
  rig.client->stop();
}

TEST(FabricClientLink, ReplacedEndsTheClient) {
  test::StderrCapture capture;
  FabricRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.connect());
  rig.task->pushBinary(controlFrame(replacedControl()));
  ASSERT_TRUE(rig.until([&] { return rig.replacedCalls == 1; }));
  // It left in order: everything let go and capture stopped, then the socket closed.
  EXPECT_EQ(rig.engine->locked([&] { return rig.engine->shutdowns; }), 1);
  EXPECT_EQ(rig.task->cancelCode(), 1001);
  EXPECT_EQ(countLines(capture, "[fabric] replaced by a newer host instance \u2014 exiting"), 1u);
  // Nothing dials again.
  rig.task->fail("closed");
  rig.advance(1h);
  EXPECT_EQ(rig.connector->count(), 1u);
}

// Leaving because the process ends: no more input, then everything let go and capture
// stopped, then the socket closed with 1001, then done. No departure lines, no new dial.
TEST(FabricClientLink, LeavingLetsGoThenClosesThenReports) {
  test::StderrCapture capture;
  FabricRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.connect());
  TestViewer owner;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(owner, 1, "owner"));
  rig.send(owner, {{"type", "keyvk"}, {"vk", 0x10}, {"down", true}});
  rig.idle();
  size_t linesBefore = test::logLines(capture.text()).size();

  bool done = false;
  rig.task->holdWrites(true);
  rig.client->leave([&] { done = true; });
  rig.send(owner, {{"type", "keyvk"}, {"vk", 0x41}, {"down", true}});  // too late
  rig.idle();
  EXPECT_TRUE(done);
  EXPECT_EQ(rig.task->cancelCode(), 1001);
  rig.engine->locked([&] {
    EXPECT_EQ(rig.engine->calls, (std::vector<std::string>{"injectEvent", "shutdown"}));
  });
  EXPECT_EQ(rig.client->viewer(1), nullptr);
  rig.task->fail("closed");
  rig.advance(1h);
  EXPECT_EQ(rig.connector->count(), 1u);
  EXPECT_EQ(test::logLines(capture.text()).size(), linesBefore);
}

TEST(FabricClientLink, LeavingTakesAtMostItsTimeout) {
  FabricRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.connect());
  rig.engine->locked([&] { rig.engine->shutdownHangs = true; });
  bool done = false;
  rig.client->leave([&] { done = true; });
  rig.advance(999ms);
  EXPECT_FALSE(done);
  rig.advance(1ms);
  EXPECT_TRUE(done);
}

TEST(FabricClientLink, StopEndsForGood) {
  test::StderrCapture capture;
  FabricRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.connect());
  TestViewer viewer;
  ASSERT_NO_FATAL_FAILURE(rig.join(viewer, 2, "viewer"));
  rig.client->stop();
  rig.idle();
  EXPECT_EQ(rig.task->cancelCode(), 1001);
  EXPECT_EQ(rig.client->viewer(2), nullptr);
  EXPECT_EQ(countLines(capture, "[fabric] client 2 left (connector-stopping)"), 1u);
  rig.advance(1h);
  EXPECT_EQ(rig.connector->count(), 1u);
  EXPECT_EQ(rig.task->pings(), 0);

  // Stopping during the wait before a redial prevents the dial.
  FabricRig waiting;
  ASSERT_NO_FATAL_FAILURE(waiting.connect());
  waiting.task->fail("boom");
  waiting.advance(3s);
  ASSERT_TRUE(waiting.task->cancelCode().has_value());
  waiting.client->stop();
  waiting.advance(1h);
  EXPECT_EQ(waiting.connector->count(), 1u);
}

}  // namespace
}  // namespace cvl
