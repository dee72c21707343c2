#include "tests/support/fake_capture.h"

#include <cstring>

namespace cvl::test {

std::vector<DisplayId> FakeDisplays::activeDisplays() {
  std::vector<DisplayId> ids;
  for (const auto& d : displays) ids.push_back(d.id);
  return ids;
}

DisplayBounds FakeDisplays::bounds(DisplayId id) {
  for (const auto& d : displays) {
    if (d.id == id) return d.bounds;
  }
  return {};
}

std::optional<CaptureError> FakeFrameSource::start() {
  ++starts;
  if (whileStarting) whileStarting();
  return startError;
}

namespace {

class FakeDetector : public ChangeDetector {
 public:
  explicit FakeDetector(std::shared_ptr<FakeDamage> damage) : damage_(std::move(damage)) {}
  ScreenChanges take() override {
    ++damage_->takes;
    ScreenChanges changes;
    if (first_) {
      first_ = false;
      changes.everything = true;
    } else if (!damage_->queued.empty()) {
      changes = damage_->queued.front();
      damage_->queued.pop_front();
    }
    return changes;
  }

 private:
  std::shared_ptr<FakeDamage> damage_;
  bool first_ = true;
};

}  // namespace

CapturePlatform FakeCapturePlatform::platform() {
  CapturePlatform p;
  p.displays = displays;
  auto make = [this](const char* kind) {
    return [this, kind](DisplayId id) {
      auto source = std::make_shared<FakeFrameSource>(kind, id);
      if (prepare) prepare(*source);
      sources.push_back(source);
      return std::static_pointer_cast<FrameSource>(source);
    };
  };
  p.streamSource = make("stream");
  p.screenshotSource = make("screenshot");
  p.now = [this] { return now; };
  if (damage) {
    p.changeDetector = [damage =
                            damage](const ScreenArea& area) -> std::unique_ptr<ChangeDetector> {
      damage->madeFor.push_back(area);
      return std::make_unique<FakeDetector>(damage);
    };
  }
  return p;
}

void FakeCapturePlatform::advance(double seconds) {
  now += std::chrono::duration_cast<CapturePlatform::Clock::duration>(
      std::chrono::duration<double>(seconds));
}

ImageRef solidImage(int width, int height, uint32_t argb) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < pixels.size(); i += 4) std::memcpy(&pixels[i], &argb, 4);
  return Image::fromPixels(width, height, width * 4, std::move(pixels));
}

}  // namespace cvl::test
