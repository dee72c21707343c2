// Feeds arbitrary client messages to the fabric client's viewer handling, both raw and sealed
// under a keyed test viewer's channel, so the bytes reach the envelope opening, the input
// path and the JSON application messages. Nothing may crash, hang or leak, and the viewers
// must survive everything but a rejected hello.
//
// Input: byte 0 selects (mod 3): 0 = the rest is a client message of the keyed viewer,
// 1 = the rest is a plaintext sealed for it, 2 = the rest is a client message of a viewer
// that has not agreed keys yet.
#include <cstdlib>

#include "kit/fabric/fabric_client.h"
#include "kit/fabric/viewer_peer.h"

namespace {

using namespace cvl;

// Answers from a queue of its own, as the engine does from its sequences; the harness waits
// for that queue as well as the viewers' after every input.
class QuietEngine : public FabricEngine {
 public:
  void startCapture() override {}
  void stopCapture() override {}
  void releaseAll() override {}
  void releaseHeld() override {}
  void injectBinary(std::vector<uint8_t> frame, Reply<bool> done) override {
    bool resync = !frame.empty() && frame[0] & 1;
    queue.async([done, resync] { done(resync); });
  }
  void injectEvent(InputEvent) override {}
  void applySettings(std::optional<double> fps, std::optional<int64_t>, std::optional<int64_t>,
                     std::optional<int64_t>, Reply<std::optional<FpsApplied>> done) override {
    std::optional<FpsApplied> answer;
    if (fps) answer = FpsApplied{1, 1};
    queue.async([done, answer] { done(answer); });
  }
  void monitorsMessage(Reply<nlohmann::json> done) override {
    queue.async([done] { done({{"type", "monitors"}}); });
  }
  void setViewOnly(bool on, Reply<bool> done) override {
    queue.async([done, on] { done(on); });
  }
  void clipboardText(Reply<std::string> done) override {
    queue.async([done] { done("clip"); });
  }
  void setClipboard(std::string, std::function<void()> done) override { queue.async(done); }
  void setOnFrame(FrameCallback) override {}
  void setRefreshQualities(std::vector<int64_t>) override {}
  void shutdown(std::function<void()> done) override { queue.async(done); }

  SerialQueue queue{"cvl.frameloop"};
};

struct Rig {
  Rig() {
    FabricConfig config{"dev", "token", "ws://127.0.0.1:9", std::nullopt, std::nullopt};
    FabricClient::Options options;
    options.canInject = [] { return false; };
    engine = std::make_shared<QuietEngine>();
    client = FabricClient::make(config, engine, options);
    client->addClient(1, "owner");
    client->fromClient(1, peer.hello());
    auto viewer = client->viewer(1);
    viewer->queue.sync([] {});
    // Without a link the host's hello is not sent anywhere; key the test side directly.
    peer.complete(viewer->handshake.publicKey());
    client->addClient(2, "viewer");
  }
  std::shared_ptr<QuietEngine> engine;
  std::shared_ptr<FabricClient> client;
  ViewerPeer peer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig();
  static auto* engine = rig->engine.get();
  if (size == 0) return 0;
  std::span<const uint8_t> rest(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      rig->client->fromClient(1, rest);
      break;
    case 1:
      rig->client->fromClient(1, rig->peer.sealRaw(rest));
      break;
    default:
      rig->client->fromClient(2, rest);
      break;
  }
  for (uint32_t id : {1u, 2u}) {
    auto viewer = rig->client->viewer(id);
    if (viewer) {
      viewer->queue.sync([] {});
      engine->queue.sync([] {});  // its answers, and what they send on
      viewer->queue.sync([] {});
    } else if (id == 1) {
      std::abort();  // the keyed viewer was dropped
    } else {
      rig->client->addClient(2, "viewer");  // a rejected hello drops it: bring it back
    }
  }
  return 0;
}
