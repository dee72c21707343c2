#include "kit/fabric/host_engine_adapter.h"

namespace cvl {

namespace {

class HostEngineAdapter final : public FabricEngine {
 public:
  explicit HostEngineAdapter(std::shared_ptr<HostEngine> engine) : engine_(std::move(engine)) {}

  void startCapture() override { engine_->startCapture(); }
  void stopCapture() override { engine_->stopCapture(); }
  void releaseAll() override { engine_->releaseAll(); }
  void releaseHeld() override { engine_->releaseHeld(); }
  void injectBinary(std::vector<uint8_t> frame, Reply<bool> needsResync) override {
    engine_->injectBinary(std::move(frame), std::move(needsResync));
  }
  void injectEvent(InputEvent event) override { engine_->injectEvent(std::move(event)); }
  void applySettings(std::optional<double> fps, std::optional<int64_t> quality,
                     std::optional<int64_t> maxEdge, std::optional<int64_t> monitor,
                     Reply<std::optional<FpsApplied>> done) override {
    engine_->applySettings(fps, quality, maxEdge, monitor,
                           [done = std::move(done)](std::optional<HostEngine::FpsPair> pair) {
                             if (!done) return;
                             if (!pair) return done(std::nullopt);
                             done(FpsApplied{pair->first, pair->second, HostEngine::MAX_FPS});
                           });
  }
  void monitorsMessage(Reply<nlohmann::json> done) override {
    engine_->monitorsMessage(std::move(done));
  }
  void setViewOnly(bool on, Reply<bool> done) override {
    engine_->setViewOnly(on, std::move(done));
  }
  void clipboardText(Reply<std::string> done) override { engine_->clipboardText(std::move(done)); }
  void setClipboard(std::string text, std::function<void()> done) override {
    engine_->setClipboard(std::move(text), std::move(done));
  }
  void setOnFrame(FrameCallback callback) override {
    if (!callback) {
      engine_->setOnFrame(nullptr);
      return;
    }
    engine_->setOnFrame([callback = std::move(callback)](const HostEngine::Frame& f) {
      callback({f.jpeg, f.width, f.height, f.unchanged, f.refreshQuality});
    });
  }
  void setRefreshQualities(std::vector<int64_t> qualities) override {
    engine_->setRefreshQualities(std::move(qualities));
  }
  void shutdown(std::function<void()> done) override { engine_->shutdown(std::move(done)); }

 private:
  std::shared_ptr<HostEngine> engine_;
};

}  // namespace

std::shared_ptr<FabricEngine> fabricEngineFor(std::shared_ptr<HostEngine> engine) {
  return std::make_shared<HostEngineAdapter>(std::move(engine));
}

}  // namespace cvl
