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

class QuietEngine : public FabricEngine {
 public:
  void startCapture() override {}
  void stopCapture() override {}
  void releaseAll() override {}
  bool injectBinary(std::span<const uint8_t> frame) override { return !frame.empty() && frame[0] & 1; }
  bool injectEvent(const InputEvent&) override { return false; }
  std::optional<FpsApplied> applySettings(std::optional<double> fps, std::optional<int64_t>,
                                          std::optional<int64_t>,
                                          std::optional<int64_t>) override {
    if (!fps) return std::nullopt;
    return FpsApplied{1, 1};
  }
  nlohmann::json monitorsMessage() override { return {{"type", "monitors"}}; }
  bool viewOnly() override { return false; }
  void setViewOnly(bool) override {}
  std::string clipboardText() override { return "clip"; }
  void setClipboard(const std::string&) override {}
  void setOnFrame(FrameCallback) override {}
};

struct Rig {
  Rig() {
    FabricConfig config{"dev", "token", "ws://127.0.0.1:9", std::nullopt, std::nullopt};
    FabricClient::Options options;
    options.canInject = [] { return false; };
    client = FabricClient::make(config, std::make_shared<QuietEngine>(), options);
    client->addClient(1, "owner");
    client->fromClient(1, peer.hello());
    auto viewer = client->viewer(1);
    viewer->queue.sync([] {});
    // Without a link the host's hello is not sent anywhere; key the test side directly.
    peer.complete(viewer->hs.publicKey());
    client->addClient(2, "viewer");
  }
  std::shared_ptr<FabricClient> client;
  ViewerPeer peer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig();
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
    } else if (id == 1) {
      std::abort();  // the keyed viewer was dropped
    } else {
      rig->client->addClient(2, "viewer");  // a rejected hello drops it: bring it back
    }
  }
  return 0;
}
