#pragma once
// A fabric client wired to a fake relay connection and a fake engine, and test viewers that
// key and talk through it the way real viewers do through the relay. The client's queues and
// timers run on a manual scheduler: nothing happens until the rig runs them (until(), idle(),
// advance()), so a test proves that something did not happen by running everything that is
// due, or by moving the clock on.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kit/fabric/fabric_client.h"
#include "kit/fabric/relay_frame.h"
#include "kit/fabric/viewer_peer.h"
#include "tests/fabric/fabric_fakes.h"
#include "tests/support/manual_scheduler.h"

namespace cvl::test {

inline FabricConfig testConfig() {
  FabricConfig config;
  config.deviceId = "dev-1";
  config.deviceToken = "s3cret+token/==";
  config.relayUrl = "ws://127.0.0.1:9/";
  return config;
}

struct TestViewer {
  uint32_t id = 0;
  ViewerPeer peer;
  size_t scanned = 0;  // frames of the relay connection looked at so far
  std::vector<nlohmann::json> inbox;
  int hellosFromHost = 0;
};

class FabricRig {
 public:
  // With `engineUnderTest` the client drives that engine (on the same scheduler) instead of
  // the recording fake.
  explicit FabricRig(FabricConfig config = testConfig(),
                     std::shared_ptr<ManualScheduler> on = nullptr,
                     std::shared_ptr<FabricEngine> engineUnderTest = nullptr)
      : scheduler(on ? on : ManualScheduler::make()), config_(std::move(config)) {
    engine = std::make_shared<FakeEngine>(scheduler);
    driven = engineUnderTest ? engineUnderTest : engine;
    connector = std::make_shared<FakeConnector>();
    options.connector = connector;
    options.canInject = [] { return true; };
    options.onReplaced = [this] { ++replacedCalls; };
    options.scheduler = scheduler;
    client = FabricClient::make(config_, driven, options);
  }

  // Makes the client again with changed options (the fakes stay).
  void remake() { client = FabricClient::make(config_, driven, options); }

  // Runs everything due until `condition` holds; false when it never does.
  bool until(const std::function<bool()>& condition) {
    return scheduler->runUntil(condition, std::chrono::seconds(10));
  }
  // Runs everything that is due.
  void idle() { scheduler->runUntilIdle(); }
  // Moves the clock on, running what falls due.
  void advance(Duration by) { scheduler->advance(by); }

  // Starts the client and lets the relay say hello, so that the link is up.
  void connect() {
    size_t made = connector->count();
    client->start();
    idle();
    ASSERT_EQ(connector->count(), made + 1);
    task = connector->task(made);
    task->pushBinary(controlFrame({{"t", "hello"}}));
    // The next receive is armed once the first message has been handled.
    ASSERT_TRUE(until([&] { return task->receivePending(); }));
  }

  void join(TestViewer& viewer, uint32_t id, const std::string& role) {
    viewer.id = id;
    task->pushBinary(controlFrame(clientJoinControl(id, role)));
    ASSERT_TRUE(until([&] { return client->viewer(id) != nullptr; }));
  }
  void leave(const TestViewer& viewer, const std::string& reason = "left") {
    task->pushBinary(controlFrame(clientLeaveControl(viewer.id, reason)));
  }
  void sendRaw(const TestViewer& viewer, const Bytes& message) {
    task->pushBinary(dataFrame(viewer.id, message));
  }
  void send(TestViewer& viewer, const nlohmann::json& message) {
    sendRaw(viewer, viewer.peer.sealJson(message));
  }
  void sendInput(TestViewer& viewer, const Bytes& frame) {
    sendRaw(viewer, viewer.peer.sealInput(frame));
  }

  // Joins and completes the key agreement; waits for the host's greeting.
  void joinAndKey(TestViewer& viewer, uint32_t id, const std::string& role) {
    join(viewer, id, role);
    sendRaw(viewer, viewer.peer.hello());
    ASSERT_TRUE(waitFor(viewer, "you"));
  }

  // Reads what the host sent to this viewer since the last look.
  void collect(TestViewer& viewer) {
    auto frames = task->sent();
    for (; viewer.scanned < frames.size(); ++viewer.scanned) {
      auto message = classifyRelayMessage(frames[viewer.scanned]);
      if (!message) continue;
      auto* client = std::get_if<ClientMessage>(&*message);
      if (!client || client->clientId != viewer.id || client->message.empty()) continue;
      if (client->message[0] == FabricTag::hello) ++viewer.hellosFromHost;
      if (auto json = viewer.peer.receive(client->message)) viewer.inbox.push_back(*json);
    }
  }

  // Waits for the next message of `type` in the viewer's inbox (from `from` on).
  bool waitFor(TestViewer& viewer, const std::string& type, size_t from = 0) {
    return until([&] {
      collect(viewer);
      for (size_t i = from; i < viewer.inbox.size(); ++i) {
        if (viewer.inbox[i].value("type", "") == type) return true;
      }
      return false;
    });
  }

  // All messages of `type` the viewer has received so far.
  std::vector<nlohmann::json> received(TestViewer& viewer, const std::string& type) {
    collect(viewer);
    std::vector<nlohmann::json> out;
    for (const auto& m : viewer.inbox) {
      if (m.value("type", "") == type) out.push_back(m);
    }
    return out;
  }

  // Everything sent so far has been handled, and every answer sent.
  void settle(TestViewer& viewer) {
    idle();
    collect(viewer);
  }

  std::shared_ptr<ManualScheduler> scheduler;
  FabricClient::Options options;
  std::shared_ptr<FakeEngine> engine;
  std::shared_ptr<FabricEngine> driven;
  std::shared_ptr<FakeConnector> connector;
  std::shared_ptr<FabricClient> client;
  std::shared_ptr<FakeTask> task;
  std::atomic<int> replacedCalls{0};

 private:
  FabricConfig config_;
};

}  // namespace cvl::test
