#include "kit/fabric/host_engine_adapter.h"

namespace cvl {

namespace {

class HostEngineAdapter final : public FabricEngine {
 public:
  explicit HostEngineAdapter(std::shared_ptr<HostEngine> engine) : engine_(std::move(engine)) {}

  void startCapture() override { engine_->startCapture(); }
  void stopCapture() override { engine_->stopCapture(); }
  void releaseAll() override { engine_->releaseAll(); }
  bool injectBinary(std::span<const uint8_t> frame) override {
    return engine_->injectBinary(frame);
  }
  bool injectEvent(const InputEvent& event) override { return engine_->injectEvent(event); }
  std::optional<FpsApplied> applySettings(std::optional<double> fps,
                                          std::optional<int64_t> quality,
                                          std::optional<int64_t> maxEdge,
                                          std::optional<int64_t> monitor) override {
    auto pair = engine_->applySettings(fps, quality, maxEdge, monitor);
    if (!pair) return std::nullopt;
    return FpsApplied{pair->first, pair->second};
  }
  nlohmann::json monitorsMessage() override { return engine_->monitorsMessage(); }
  bool viewOnly() override { return engine_->viewOnly(); }
  void setViewOnly(bool on) override { engine_->setViewOnly(on); }
  std::string clipboardText() override { return engine_->clipboardText(); }
  void setClipboard(const std::string& text) override { engine_->setClipboard(text); }
  void setOnFrame(FrameCallback callback) override {
    if (!callback) {
      engine_->setOnFrame(nullptr);
      return;
    }
    engine_->setOnFrame([callback = std::move(callback)](const std::vector<uint8_t>& jpeg,
                                                         int64_t w, int64_t h) {
      callback(jpeg, w, h);
    });
  }

 private:
  std::shared_ptr<HostEngine> engine_;
};

}  // namespace

std::shared_ptr<FabricEngine> fabricEngineFor(std::shared_ptr<HostEngine> engine) {
  return std::make_shared<HostEngineAdapter>(std::move(engine));
}

}  // namespace cvl
