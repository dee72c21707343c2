// The viewer side of the fabric client against a fake relay link and a fake engine: key
// agreement, the controller rules, the application messages and the sealed fan-out.
#include <gtest/gtest.h>

#include <regex>

#include "kit/base/base64.h"
#include "kit/diagnostics/log.h"
#include "kit/input/input_encoder.h"
#include "tests/fabric/fabric_test_rig.h"
#include "tests/support/stderr_capture.h"

namespace cvl {
namespace {

using nlohmann::json;
using test::FabricRig;
using test::TestViewer;

json participant(const json& session, const std::string& pid) {
  for (const auto& p : session["participants"]) {
    if (p["id"] == pid) return p;
  }
  return nullptr;
}

int drivingCount(const json& session) {
  int n = 0;
  for (const auto& p : session["participants"]) n += p["driving"].get<bool>() ? 1 : 0;
  return n;
}

class ViewerSessions : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(rig.connect()); }
  std::string pidOf(const TestViewer& v) { return rig.client->viewer(v.id)->pid; }
  FabricRig rig;
};

TEST_F(ViewerSessions, KeyAgreementGreetsTheViewerAndStartsCapture) {
  test::StderrCapture capture;
  Log::setVerbose(true);
  TestViewer owner;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(owner, 7, "owner"));
  ASSERT_TRUE(rig.waitFor(owner, "input-status"));
  Log::setVerbose(false);

  EXPECT_EQ(owner.hellosFromHost, 1);
  // "you", then the session, then the input status, in that order.
  ASSERT_GE(owner.inbox.size(), 3u);
  EXPECT_EQ(owner.inbox[0],
            json({{"type", "you"}, {"participantId", pidOf(owner)},
                  {"sessionId", rig.client->sessionId()}}));
  EXPECT_EQ(owner.inbox[1]["type"], "session");
  EXPECT_EQ(owner.inbox[2], json({{"type", "input-status"}, {"canInject", true}}));

  json session = owner.inbox[1]["session"];
  EXPECT_EQ(session, json({{"id", rig.client->sessionId()},
                           {"hostDeviceId", "dev-1"},
                           {"controllerId", pidOf(owner)},
                           {"participants",
                            {{{"id", pidOf(owner)},
                              {"name", "Remote (owner)"},
                              {"role", "owner"},
                              {"capabilities", {"display", "pointer", "keyboard"}},
                              {"joinedAt", 0},
                              {"driving", true}}}},
                           {"pending", json::array()},
                           {"composition", json::object()},
                           {"createdAt", 0}}));
  EXPECT_EQ(rig.engine->locked([&] { return rig.engine->starts; }), 1);

  auto lines = test::logLines(capture.text());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[fabric] client 7 joined as owner"),
            lines.end());
  // The host logs the same phrase the viewer derived.
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "[fabric] client 7 E2E phrase: " + owner.peer.phrase().shortForm()),
            lines.end());
}

TEST_F(ViewerSessions, IdsHaveTheirShape) {
  TestViewer v;
  ASSERT_NO_FATAL_FAILURE(rig.join(v, 1, "owner"));
  const std::regex uuid12("[0-9A-F]{8}-[0-9A-F]{3}");
  EXPECT_TRUE(std::regex_match(rig.client->sessionId().substr(4), uuid12));
  EXPECT_EQ(rig.client->sessionId().substr(0, 4), "ses_");
  EXPECT_TRUE(std::regex_match(pidOf(v).substr(5), uuid12));
  EXPECT_EQ(pidOf(v).substr(0, 5), "part_");
}

TEST_F(ViewerSessions, RolesOutsideTheListWatchOnly) {
  const std::pair<const char*, const char*> roles[] = {
      {"owner", "owner"},   {"trusted", "trusted"}, {"helper", "helper"}, {"viewer", "viewer"},
      {"guest", "viewer"},  {"", "viewer"},         {"Owner", "viewer"},
  };
  for (auto [given, kept] : roles) EXPECT_EQ(normaliseRole(given), kept) << given;

  TestViewer guest;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(guest, 3, "guest"));
  ASSERT_TRUE(rig.waitFor(guest, "session"));
  json session = rig.received(guest, "session").back()["session"];
  EXPECT_EQ(session["controllerId"], nullptr);
  EXPECT_EQ(participant(session, pidOf(guest))["role"], "viewer");
  EXPECT_EQ(participant(session, pidOf(guest))["name"], "Remote (viewer)");

  rig.send(guest, {{"type", "move"}, {"x", 5}, {"y", 6}});
  rig.sendInput(guest, encodeBinary(InputEvent(InputKind::move)));
  rig.send(guest, {{"type", "control-request"}});
  ASSERT_TRUE(rig.waitFor(guest, "session", guest.inbox.size()));
  ASSERT_NO_FATAL_FAILURE(rig.settle(guest));
  EXPECT_TRUE(rig.received(guest, "input-status").empty());
  EXPECT_EQ(rig.client->controllerClientId(), std::nullopt);
  rig.engine->locked([&] {
    EXPECT_TRUE(rig.engine->events.empty());
    EXPECT_TRUE(rig.engine->binaries.empty());
  });
}

TEST_F(ViewerSessions, ControlMovesByRequestAndPass) {
  TestViewer a, b, watcher;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(a, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(b, 2, "trusted"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(watcher, 3, "viewer"));
  // The first driving viewer to key is the controller; the second is not told it may drive.
  EXPECT_EQ(rig.client->controllerClientId(), 1u);
  ASSERT_NO_FATAL_FAILURE(rig.settle(b));
  EXPECT_TRUE(rig.received(b, "input-status").empty());

  size_t seenA = a.inbox.size();
  size_t seenW = watcher.inbox.size();
  rig.send(b, {{"type", "control-request"}});
  ASSERT_TRUE(rig.waitFor(b, "input-status"));
  ASSERT_TRUE(rig.waitFor(a, "session", seenA));
  ASSERT_TRUE(rig.waitFor(watcher, "session", seenW));
  for (TestViewer* v : {&a, &b, &watcher}) {
    json session = rig.received(*v, "session").back()["session"];
    EXPECT_EQ(drivingCount(session), 1);
    EXPECT_EQ(session["controllerId"], pidOf(b));
    EXPECT_TRUE(participant(session, pidOf(b))["driving"].get<bool>());
  }

  // A watcher may pass control on, though it cannot take it.
  rig.send(watcher, {{"type", "control-pass"}, {"to", pidOf(a)}});
  ASSERT_TRUE(rig.until([&] { return rig.received(a, "input-status").size() == 2; }));
  EXPECT_EQ(rig.client->controllerClientId(), 1u);

  // Passing to a watcher or to nobody changes nothing; only the former sends a session.
  rig.send(a, {{"type", "control-pass"}, {"to", pidOf(watcher)}});
  ASSERT_NO_FATAL_FAILURE(rig.settle(a));
  EXPECT_EQ(rig.client->controllerClientId(), 1u);
  ASSERT_NO_FATAL_FAILURE(rig.settle(watcher));
  size_t sessionsBefore = rig.received(watcher, "session").size();
  rig.send(a, {{"type", "control-pass"}, {"to", "part_NOBODY"}});
  rig.send(a, {{"type", "control-pass"}, {"to", 17}});
  ASSERT_NO_FATAL_FAILURE(rig.settle(a));
  ASSERT_NO_FATAL_FAILURE(rig.settle(watcher));
  EXPECT_EQ(rig.received(watcher, "session").size(), sessionsBefore);
  EXPECT_EQ(rig.client->controllerClientId(), 1u);

  // "control-reclaim" works like a request.
  rig.send(b, {{"type", "control-reclaim"}});
  ASSERT_TRUE(rig.until([&] { return rig.client->controllerClientId() == 2u; }));
}

TEST_F(ViewerSessions, ControlPassesOnWhenTheControllerLeaves) {
  TestViewer owner, helper, watcher;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(watcher, 1, "viewer"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(owner, 2, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(helper, 3, "helper"));
  ASSERT_EQ(rig.client->controllerClientId(), 2u);
  ASSERT_NO_FATAL_FAILURE(rig.settle(helper));
  size_t seenH = helper.inbox.size();
  size_t seenW = watcher.inbox.size();

  rig.leave(owner);
  ASSERT_TRUE(rig.waitFor(helper, "session", seenH));
  ASSERT_TRUE(rig.waitFor(watcher, "session", seenW));
  json session = rig.received(helper, "session").back()["session"];
  EXPECT_EQ(session["controllerId"], pidOf(helper));
  EXPECT_EQ(session["participants"].size(), 2u);
  // The heir is not sent an input status.
  ASSERT_NO_FATAL_FAILURE(rig.settle(helper));
  EXPECT_TRUE(rig.received(helper, "input-status").empty());

  // The heir's input is obeyed.
  rig.send(helper, {{"type", "wheel"}, {"delta", -120}});
  ASSERT_TRUE(rig.until([&] { return rig.engine->locked([&] { return rig.engine->events.size(); }) == 1; }));

  // With only a watcher left there is no controller.
  seenW = watcher.inbox.size();
  rig.leave(helper);
  ASSERT_TRUE(rig.waitFor(watcher, "session", seenW));
  EXPECT_EQ(rig.received(watcher, "session").back()["session"]["controllerId"], nullptr);
  EXPECT_EQ(rig.engine->locked([&] { return rig.engine->stops; }), 0);

  // The last one leaving stops capture and releases input.
  rig.leave(watcher);
  ASSERT_TRUE(rig.until([&] { return rig.engine->locked([&] { return rig.engine->releases; }) == 1; }));
  rig.engine->locked([&] {
    EXPECT_EQ(rig.engine->stops, 1);
    EXPECT_FALSE(rig.engine->running);
  });
  EXPECT_EQ(rig.client->viewer(watcher.id), nullptr);
}

// Whatever the controller held is let go the moment control leaves it, before anyone else's
// input reaches the engine; view-only is left alone. Only the last departure ends it all.
TEST_F(ViewerSessions, WhatTheControllerHeldIsReleasedWhenControlChangesHands) {
  TestViewer owner, trusted, watcher;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(owner, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(trusted, 2, "trusted"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(watcher, 3, "viewer"));
  auto calls = [&] {
    rig.idle();
    return rig.engine->locked([&] { return std::exchange(rig.engine->calls, {}); });
  };
  using Calls = std::vector<std::string>;
  const json press = {{"type", "keyvk"}, {"vk", 0x10}, {"down", true}};
  rig.send(owner, press);
  EXPECT_EQ(calls(), Calls{"injectEvent"});

  // A request that moves control, and the new controller's input at once after it.
  rig.send(trusted, {{"type", "control-request"}});
  rig.send(trusted, press);
  rig.send(owner, press);  // no longer obeyed
  EXPECT_EQ(calls(), (Calls{"releaseHeld", "injectEvent"}));

  // Asking for control one already has changes nothing.
  rig.send(trusted, {{"type", "control-reclaim"}});
  EXPECT_EQ(calls(), Calls{});

  // Passing it on, even by a watcher.
  rig.send(watcher, {{"type", "control-pass"}, {"to", pidOf(owner)}});
  rig.send(owner, press);
  EXPECT_EQ(calls(), (Calls{"releaseHeld", "injectEvent"}));

  // The controller leaving with an heir; then the heir leaving with only a watcher left.
  rig.engine->locked([&] { rig.engine->viewOnlyOn = true; });
  rig.leave(owner);
  EXPECT_EQ(calls(), Calls{"releaseHeld"});
  rig.leave(trusted);
  EXPECT_EQ(calls(), Calls{"releaseHeld"});
  EXPECT_TRUE(rig.engine->locked([&] { return rig.engine->viewOnlyOn; })) << "view-only stays";
  EXPECT_EQ(rig.client->controllerClientId(), std::nullopt);

  // The last viewer's departure ends everything, view-only included.
  rig.leave(watcher);
  EXPECT_EQ(calls(), Calls{"releaseAll"});
  EXPECT_FALSE(rig.engine->locked([&] { return rig.engine->viewOnlyOn; }));
}

TEST_F(ViewerSessions, AControllerThatRejoinsKeepsControlButNotWhatItHeld) {
  TestViewer owner, watcher;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(owner, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(watcher, 2, "viewer"));
  ASSERT_NO_FATAL_FAILURE(rig.join(owner, 1, "owner"));
  rig.idle();
  EXPECT_EQ(rig.engine->locked([&] { return rig.engine->heldReleases; }), 1);
  EXPECT_EQ(rig.client->controllerClientId(), 1u);
}

TEST_F(ViewerSessions, InputIsObeyedFromTheDrivingControllerOnly) {
  TestViewer owner, watcher;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(owner, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(watcher, 2, "viewer"));

  InputFrameWriter writer;
  Bytes move = writer.state(InputEvent(InputKind::move));
  rig.sendInput(watcher, move);
  rig.send(watcher, {{"type", "keyvk"}, {"vk", 0}, {"down", true}});
  rig.sendInput(owner, move);
  ASSERT_NO_FATAL_FAILURE(rig.settle(watcher));
  ASSERT_NO_FATAL_FAILURE(rig.settle(owner));
  rig.engine->locked([&] {
    ASSERT_EQ(rig.engine->binaries.size(), 1u);
    EXPECT_EQ(rig.engine->binaries[0], move);
    EXPECT_TRUE(rig.engine->events.empty());
  });

  // A frame the engine cannot place makes the host ask for a snapshot.
  rig.engine->locked([&] { rig.engine->resyncAnswer = true; });
  rig.sendInput(owner, writer.event(InputEvent(InputKind::wheel)));
  ASSERT_TRUE(rig.waitFor(owner, "resync-please"));
  EXPECT_EQ(rig.received(owner, "resync-please").back(), json({{"type", "resync-please"}}));

  // JSON input messages become events of channel 0 with only their own fields set.
  struct Case {
    json message;
    InputEvent expected;
  };
  auto event = [](InputKind kind, auto&& fill) {
    InputEvent e(kind);
    fill(e);
    return e;
  };
  const Case cases[] = {
      {{{"type", "move"}, {"x", 10.9}, {"y", "-20"}},
       event(InputKind::move, [](InputEvent& e) { e.x = 10; e.y = -20; })},
      {{{"type", "movedirect"}, {"x", 5000000000LL}},
       event(InputKind::moveDirect, [](InputEvent& e) { e.x = INT32_MAX; })},
      {{{"type", "button"}, {"button", "right"}, {"down", 1}},
       event(InputKind::button, [](InputEvent& e) { e.button = "right"; e.down = true; })},
      {{{"type", "button"}, {"button", 3}, {"down", "true"}}, InputEvent(InputKind::button)},
      {{{"type", "wheel"}, {"delta", "+120"}}, event(InputKind::wheel, [](InputEvent& e) { e.delta = 120; })},
      {{{"type", "keyvk"}, {"vk", 36}, {"down", true}, {"x", 4}},
       event(InputKind::keyVk, [](InputEvent& e) { e.vk = 36; e.down = true; })},
      {{{"type", "keyunicode"}, {"code", 0x1F600}, {"down", false}},
       event(InputKind::keyUnicode, [](InputEvent& e) { e.code = 0x1F600; })},
  };
  for (const auto& c : cases) rig.send(owner, c.message);
  ASSERT_NO_FATAL_FAILURE(rig.settle(owner));
  rig.engine->locked([&] {
    ASSERT_EQ(rig.engine->events.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
      EXPECT_EQ(rig.engine->events[i], cases[i].expected) << cases[i].message.dump();
    }
  });
}

TEST_F(ViewerSessions, ApplicationMessagesAndTheirReplies) {
  TestViewer owner, watcher;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(owner, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(watcher, 2, "viewer"));
  rig.engine->locked([&] { rig.engine->clipboard = "from the host"; });

  // Settings reach the engine as read by the value rules; a usable fps is reported to all.
  rig.send(watcher, {{"type", "settings"}, {"fps", 60}, {"quality", "70"}, {"maxEdge", 800.7},
                     {"monitor", true}});
  ASSERT_TRUE(rig.waitFor(owner, "fps-applied"));
  EXPECT_EQ(rig.received(owner, "fps-applied").back(),
            json({{"type", "fps-applied"}, {"asked", 60}, {"applied", 30}, {"ceiling", 30}}));
  ASSERT_TRUE(rig.waitFor(watcher, "fps-applied"));
  rig.send(watcher, {{"type", "settings"}, {"fps", "12"}, {"quality", 9}});
  ASSERT_NO_FATAL_FAILURE(rig.settle(watcher));
  EXPECT_EQ(rig.received(watcher, "fps-applied").size(), 1u);
  rig.engine->locked([&] {
    ASSERT_EQ(rig.engine->settings.size(), 2u);
    const auto& first = rig.engine->settings[0];
    EXPECT_EQ(first.fps, 60.0);
    EXPECT_EQ(first.quality, 70);
    EXPECT_EQ(first.maxEdge, 800);
    EXPECT_EQ(first.monitor, std::nullopt);
    EXPECT_EQ(rig.engine->settings[1].fps, std::nullopt);
    EXPECT_EQ(rig.engine->settings[1].quality, 9);
  });

  // View-only is anyone's to set; everyone hears the engine's new value.
  rig.send(watcher, {{"type", "viewonly"}, {"on", 1}});
  ASSERT_TRUE(rig.waitFor(owner, "viewonly"));
  EXPECT_EQ(rig.received(owner, "viewonly").back(), json({{"type", "viewonly"}, {"on", true}}));
  rig.send(owner, {{"type", "viewonly"}, {"on", "yes"}});
  ASSERT_TRUE(rig.until([&] { return rig.received(watcher, "viewonly").size() == 2; }));
  EXPECT_EQ(rig.received(watcher, "viewonly").back()["on"], false);

  // Anyone may read the clipboard; only the controller may write it.
  rig.send(watcher, {{"type", "clip-request"}});
  ASSERT_TRUE(rig.waitFor(watcher, "clipboard"));
  EXPECT_EQ(rig.received(watcher, "clipboard").back(),
            json({{"type", "clipboard"}, {"text", "from the host"}}));
  rig.send(watcher, {{"type", "clipset"}, {"text", "sneaky"}});
  ASSERT_NO_FATAL_FAILURE(rig.settle(watcher));
  EXPECT_TRUE(rig.received(watcher, "clipboard-set").empty());
  rig.send(owner, {{"type", "clipset"}, {"text", "from the viewer"}});
  ASSERT_TRUE(rig.waitFor(owner, "clipboard-set"));
  EXPECT_EQ(rig.received(owner, "clipboard-set").back(),
            json({{"type", "clipboard-set"}, {"ok", true}}));
  rig.send(owner, {{"type", "clipset"}});
  ASSERT_NO_FATAL_FAILURE(rig.settle(owner));
  rig.engine->locked([&] {
    EXPECT_EQ(rig.engine->clipboardWrites, 2);
    EXPECT_EQ(rig.engine->clipboard, "");
  });

  // The monitors report goes to the asker only.
  rig.send(owner, {{"type", "monitors"}});
  ASSERT_TRUE(rig.waitFor(owner, "monitors"));
  EXPECT_EQ(rig.received(owner, "monitors").back(), test::FakeEngine::monitorsReport());
}

TEST_F(ViewerSessions, MalformedTrafficIsDroppedAndTheViewerKept) {
  test::StderrCapture capture;
  TestViewer v, badKey;
  ASSERT_NO_FATAL_FAILURE(rig.join(v, 1, "owner"));
  // Sealed before keys, and unknown tags, are dropped without a word.
  rig.sendRaw(v, clientMessage(FabricTag::sealed, Bytes(40, 1)));
  rig.sendRaw(v, Bytes{});
  rig.sendRaw(v, Bytes{9, 1, 2});
  rig.task->pushBinary(dataFrame(99, v.peer.hello()));  // nobody joined as 99
  rig.sendRaw(v, v.peer.hello());
  ASSERT_TRUE(rig.waitFor(v, "you"));
  // A second hello is ignored: one host hello only.
  rig.sendRaw(v, ViewerPeer().hello());

  Bytes tampered = v.peer.sealJson({{"type", "monitors"}});
  tampered.back() ^= 1;
  const Bytes garbage[] = {
      clientMessage(FabricTag::sealed, {}),
      clientMessage(FabricTag::sealed, Bytes(7, 0)),
      clientMessage(FabricTag::sealed, Bytes(8, 0)),
      tampered,
      v.peer.sealRaw({}),                                  // empty plaintext
      v.peer.sealRaw(Bytes{0, '[', '1', ']'}),             // JSON that is not an object
      v.peer.sealRaw(Bytes{0, '{', '"'}),                  // not JSON
      v.peer.sealRaw(Bytes{7, '{', '}'}),                  // unknown kind, read as JSON
      v.peer.sealJson({{"type", 5}}),
      v.peer.sealJson({{"type", "no-such-thing"}}),
      v.peer.sealInput(Bytes{0xAE}),                       // broken input frame
  };
  for (const auto& g : garbage) rig.sendRaw(v, g);
  const Bytes good = v.peer.sealJson({{"type", "monitors"}});
  rig.sendRaw(v, good);
  rig.sendRaw(v, good);  // a replay does not open
  ASSERT_NO_FATAL_FAILURE(rig.settle(v));
  EXPECT_EQ(rig.received(v, "monitors").size(), 1u);
  EXPECT_EQ(v.hellosFromHost, 1);
  EXPECT_NE(rig.client->viewer(1), nullptr);

  // A key the handshake rejects drops that viewer, which gets no reply.
  ASSERT_NO_FATAL_FAILURE(rig.join(badKey, 2, "owner"));
  rig.sendRaw(badKey, clientMessage(FabricTag::hello, Bytes(31, 4)));
  ASSERT_TRUE(rig.until([&] { return rig.client->viewer(2) == nullptr; }));
  rig.collect(badKey);
  EXPECT_EQ(badKey.hellosFromHost, 0);
  ASSERT_NO_FATAL_FAILURE(rig.join(badKey, 3, "owner"));
  rig.sendRaw(badKey, clientMessage(FabricTag::hello, Bytes(32, 0)));  // a low-order point
  ASSERT_TRUE(rig.until([&] { return rig.client->viewer(3) == nullptr; }));

  auto lines = test::logLines(capture.text());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[fabric] client 2 left (bad-key)"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[fabric] client 3 left (bad-key)"), 1);
  for (const auto& line : lines) {
    EXPECT_TRUE(line.find("joined as") != std::string::npos ||
                line.find("left (bad-key)") != std::string::npos)
        << line;
  }
}

TEST_F(ViewerSessions, RejoinDiscardsTheOldKeys) {
  test::StderrCapture capture;
  TestViewer v;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(v, 5, "owner"));
  std::string oldPid = pidOf(v);

  ASSERT_NO_FATAL_FAILURE(rig.join(v, 5, "helper"));
  ASSERT_TRUE(rig.until([&] { return rig.client->viewer(5)->pid != oldPid; }));
  // The controller id is kept across the rejoin.
  EXPECT_EQ(rig.client->controllerClientId(), 5u);
  // Sealed with the old keys: no longer opened.
  rig.send(v, {{"type", "clip-request"}});

  TestViewer again;
  again.id = 5;
  again.scanned = rig.task->sentCount();
  rig.sendRaw(again, again.peer.hello());
  ASSERT_TRUE(rig.waitFor(again, "you"));
  ASSERT_NO_FATAL_FAILURE(rig.settle(again));
  EXPECT_TRUE(rig.received(again, "clipboard").empty());
  auto lines = test::logLines(capture.text());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[fabric] client 5 rejoined as helper"),
            lines.end());
}

TEST_F(ViewerSessions, FramesGoToKeyedViewersOnly) {
  TestViewer keyed, keying;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(keyed, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.join(keying, 2, "viewer"));

  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 0xFF, 0xD9};
  rig.engine->emitFrame(jpeg, 640, 400);
  ASSERT_TRUE(rig.waitFor(keyed, "frame"));
  json frame = rig.received(keyed, "frame").back();
  EXPECT_EQ(frame["w"], 640);
  EXPECT_EQ(frame["h"], 400);
  EXPECT_EQ(frame.size(), 4u);
  EXPECT_EQ(Base64::decode(frame["data"].get<std::string>()), jpeg);

  // The viewer that was still keying got nothing; once keyed it gets the next frame.
  rig.sendRaw(keying, keying.peer.hello());
  ASSERT_TRUE(rig.waitFor(keying, "you"));
  EXPECT_TRUE(rig.received(keying, "frame").empty());
  rig.engine->emitFrame(jpeg, 640, 400);
  ASSERT_TRUE(rig.waitFor(keying, "frame"));
}

// A link that takes frames slower than they come must not pile them up: each viewer has at
// most one frame on its way, the newest one waits, and nothing but frames is ever skipped.
TEST_F(ViewerSessions, SlowLinkKeepsOnlyTheNewestFrame) {
  TestViewer a, b;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(a, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(b, 2, "viewer"));
  ASSERT_NO_FATAL_FAILURE(rig.settle(a));
  ASSERT_NO_FATAL_FAILURE(rig.settle(b));

  rig.task->holdWrites(true);
  for (int i = 0; i < 200; ++i) {
    Bytes jpeg(1000, static_cast<uint8_t>(i));
    rig.engine->emitFrame(jpeg, i, 1);
  }
  // Replies still go out while frames wait.
  for (int i = 0; i < 5; ++i) rig.send(a, {{"type", "clip-request"}});
  rig.idle();
  EXPECT_EQ(rig.task->heldWrites(), 2u + 5u);

  rig.task->holdWrites(false);
  rig.task->completeHeldWrites();
  ASSERT_TRUE(rig.until([&] { return rig.received(a, "frame").size() == 2; }));
  ASSERT_TRUE(rig.until([&] { return rig.received(b, "frame").size() == 2; }));
  for (TestViewer* v : {&a, &b}) {
    auto frames = rig.received(*v, "frame");
    EXPECT_EQ(frames[0]["w"], 0);
    EXPECT_EQ(frames[1]["w"], 199);  // the newest, not the next in line
  }
  EXPECT_EQ(rig.received(a, "clipboard").size(), 5u);

  // Once the link keeps up, every frame goes out again.
  for (int i = 0; i < 3; ++i) {
    rig.engine->emitFrame(Bytes(10, 1), 300 + i, 1);
    ASSERT_TRUE(rig.until([&] { return rig.received(a, "frame").size() == 3u + i; }));
  }
}

// The "data" of every frame the viewer has received so far.
std::vector<Bytes> framesOf(FabricRig& rig, TestViewer& viewer) {
  rig.settle(viewer);
  std::vector<Bytes> out;
  for (const auto& f : rig.received(viewer, "frame")) {
    out.push_back(Base64::decode(f["data"].get<std::string>()).value_or(Bytes{}));
  }
  return out;
}

// A viewer that asks for "skipUnchanged" gets a picture that does not change only every 2 s
// (so it knows the host is alive), a changed one at once; a viewer that does not ask gets
// every frame, as always. Settings that leave the key out keep the wish.
TEST_F(ViewerSessions, SkipUnchangedSendsAStillPictureEveryTwoSeconds) {
  TestViewer plain, skipping;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(plain, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(skipping, 2, "viewer"));
  rig.send(skipping, {{"type", "settings"}, {"skipUnchanged", true}, {"fps", 10}});
  ASSERT_TRUE(rig.waitFor(skipping, "fps-applied"));
  const Bytes a = {0xFF, 0xD8, 1, 0xFF, 0xD9}, b = {0xFF, 0xD8, 2, 0xFF, 0xD9};
  auto tick = [&](const Bytes& jpeg, bool unchanged) {
    rig.engine->emitFrame(jpeg, 64, 48, unchanged);
    rig.idle();
    rig.advance(std::chrono::milliseconds(100));
  };

  TestViewer late;  // still keying when the picture changes
  ASSERT_NO_FATAL_FAILURE(rig.join(late, 3, "viewer"));
  tick(a, false);  // at 0 ms
  rig.sendRaw(late, late.peer.hello());
  ASSERT_TRUE(rig.waitFor(late, "you"));
  rig.send(late, {{"type", "settings"}, {"skipUnchanged", true}});
  rig.idle();
  for (int i = 1; i < 20; ++i) tick(a, true);  // 100 ... 1900 ms
  EXPECT_EQ(framesOf(rig, plain).size(), 20u);
  EXPECT_EQ(framesOf(rig, skipping), std::vector<Bytes>{a}) << "nothing for 2 s";
  EXPECT_EQ(framesOf(rig, late), std::vector<Bytes>{a})
      << "the frame it could not get yet does not count: the still picture comes at once";
  tick(a, true);  // 2000 ms: the keep-alive
  EXPECT_EQ(framesOf(rig, skipping), (std::vector<Bytes>{a, a}));
  tick(a, true);
  EXPECT_EQ(framesOf(rig, skipping).size(), 2u);
  tick(b, false);  // a change goes out at once
  EXPECT_EQ(framesOf(rig, skipping), (std::vector<Bytes>{a, a, b}));
  EXPECT_EQ(framesOf(rig, plain).size(), 23u);
  EXPECT_EQ(framesOf(rig, plain).back(), b);

  // Other settings leave the wish alone; false turns it off.
  rig.send(skipping, {{"type", "settings"}, {"quality", 50}});
  rig.idle();
  tick(b, true);
  EXPECT_EQ(framesOf(rig, skipping).size(), 3u);
  rig.send(skipping, {{"type", "settings"}, {"skipUnchanged", false}});
  rig.idle();
  tick(b, true);
  EXPECT_EQ(framesOf(rig, skipping).size(), 4u);
}

// "refreshQuality": the engine hears which qualities the viewers want; a refresh frame goes
// only to the viewers that asked for its quality, and a viewer that does not skip unchanged
// pictures keeps the sharper one on every tick while the picture stands still.
TEST_F(ViewerSessions, RefreshFramesGoToTheViewersThatAskedForThem) {
  TestViewer plain, sharp, sharpSkipping, other;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(plain, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(sharp, 2, "viewer"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(sharpSkipping, 3, "viewer"));
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(other, 4, "viewer"));
  auto lastQualities = [&] {
    return rig.engine->locked([&] {
      auto list = rig.engine->refreshQualities.empty() ? std::vector<int64_t>{}
                                                       : rig.engine->refreshQualities.back();
      std::sort(list.begin(), list.end());
      return list;
    });
  };
  rig.send(sharp, {{"type", "settings"}, {"refreshQuality", 90}});
  rig.send(sharpSkipping, {{"type", "settings"}, {"refreshQuality", "90"}, {"skipUnchanged", 1}});
  rig.send(other, {{"type", "settings"}, {"refreshQuality", 500}});
  rig.idle();
  EXPECT_EQ(lastQualities(), (std::vector<int64_t>{90, 90, 100}));

  const Bytes motion = {0xFF, 0xD8, 1, 0xFF, 0xD9}, crisp = {0xFF, 0xD8, 9, 9, 0xFF, 0xD9};
  const Bytes next = {0xFF, 0xD8, 2, 0xFF, 0xD9};
  rig.engine->emitFrame(motion, 64, 48);
  rig.engine->emitFrame(crisp, 64, 48, false, 90);
  rig.idle();
  rig.engine->emitFrame(motion, 64, 48, true);
  rig.idle();
  EXPECT_EQ(framesOf(rig, plain), (std::vector<Bytes>{motion, motion}));
  EXPECT_EQ(framesOf(rig, sharp), (std::vector<Bytes>{motion, crisp, crisp}));
  EXPECT_EQ(framesOf(rig, sharpSkipping), (std::vector<Bytes>{motion, crisp}));
  EXPECT_EQ(framesOf(rig, other), (std::vector<Bytes>{motion, motion}));

  // A new picture replaces the sharper one for everybody.
  rig.engine->emitFrame(next, 64, 48);
  rig.idle();
  rig.engine->emitFrame(next, 64, 48, true);
  rig.idle();
  EXPECT_EQ(framesOf(rig, sharp).back(), next);
  EXPECT_EQ(framesOf(rig, sharp).size(), 5u);

  // Leaving, and turning it off, change what the engine is told.
  rig.leave(other);
  rig.idle();
  EXPECT_EQ(lastQualities(), (std::vector<int64_t>{90, 90}));
  rig.send(sharp, {{"type", "settings"}, {"refreshQuality", nullptr}});
  rig.idle();
  EXPECT_EQ(lastQualities(), (std::vector<int64_t>{90}));
}

// A viewer that changes its refresh quality over and over while the screen stands still gets
// each sharper frame, but the client keeps only the ones still asked for: no pile of frames.
TEST_F(ViewerSessions, ChangingTheRefreshQualityOnAStillScreenKeepsNoPileOfFrames) {
  TestViewer viewer;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(viewer, 1, "owner"));
  const Bytes motion = {0xFF, 0xD8, 1, 0xFF, 0xD9}, crisp = {0xFF, 0xD8, 9, 9, 0xFF, 0xD9};
  rig.engine->emitFrame(motion, 64, 48);
  rig.idle();
  for (int i = 0; i < 40; ++i) {
    const int64_t quality = 90 + i % 3;
    rig.send(viewer, {{"type", "settings"}, {"refreshQuality", quality}});
    rig.idle();
    rig.engine->emitFrame(crisp, 64, 48, false, quality);
    rig.idle();
    rig.engine->emitFrame(motion, 64, 48, true);
    rig.idle();
  }
  auto frames = framesOf(rig, viewer);
  ASSERT_EQ(frames.size(), 1u + 2 * 40);
  EXPECT_EQ(frames.back(), crisp) << "the sharper picture stands";
  EXPECT_EQ(rig.client->frameMessagesKept(), 2u) << "the last frame and one sharper one";
}

TEST_F(ViewerSessions, LosingTheLinkDropsEveryViewer) {
  test::StderrCapture capture;
  TestViewer a, b;
  ASSERT_NO_FATAL_FAILURE(rig.joinAndKey(a, 1, "owner"));
  ASSERT_NO_FATAL_FAILURE(rig.join(b, 2, "viewer"));
  rig.task->fail("connection reset");
  ASSERT_TRUE(rig.until([&] { return rig.engine->locked([&] { return rig.engine->releases; }) == 1; }));
  EXPECT_EQ(rig.client->viewer(1), nullptr);
  EXPECT_EQ(rig.client->viewer(2), nullptr);
  EXPECT_EQ(rig.client->controllerClientId(), std::nullopt);
  auto lines = test::logLines(capture.text());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[fabric] client 1 left (relay-down)"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[fabric] client 2 left (relay-down)"),
            lines.end());
}

}  // namespace
}  // namespace cvl
