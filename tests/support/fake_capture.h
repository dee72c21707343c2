#pragma once
// Fakes of the capture platform for unit tests: displays with settable bounds, frame sources
// that count their calls and hand out whatever image the test gives them, damage reports the
// test scripts, and a clock the test moves by hand. One thread at a time: the capture thread of the
// engine takes turns with its frame loop, and the test looks once both have handed over.

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/capture/capture_platform.h"

namespace cvl::test {

class FakeDisplays : public DisplayServices {
 public:
  struct Entry {
    DisplayId id;
    DisplayBounds bounds;
  };
  std::vector<Entry> displays;
  DisplayId main = 0;

  std::vector<DisplayId> activeDisplays() override;
  DisplayId mainDisplay() override { return main; }
  DisplayBounds bounds(DisplayId id) override;
};

class FakeFrameSource : public FrameSource {
 public:
  FakeFrameSource(std::string kind, DisplayId id) : kind(std::move(kind)), displayId(id) {}

  const std::string kind;  // "stream" or "screenshot"
  const DisplayId displayId;
  std::optional<CaptureError> startError;
  // Runs inside start(), on the caller's thread: a test makes a slow start with it.
  std::function<void()> whileStarting;
  ImageRef image;
  int starts = 0;
  int stops = 0;
  std::vector<int> frameRates;
  int grabs = 0;  // latestImage() calls

  std::optional<CaptureError> start() override;
  void stop() override { ++stops; }
  ImageRef latestImage() override {
    ++grabs;
    return image;
  }
  void setFrameRate(int fps) override { frameRates.push_back(fps); }
};

// The system's change detector as the test scripts it: every take() returns the next queued
// report, "nothing changed" when none is queued; the first take() of each detector made
// reports everything, as the X server's does.
struct FakeDamage {
  std::deque<ScreenChanges> queued;
  std::vector<ScreenArea> madeFor;  // the area of every detector made, oldest first
  int takes = 0;

  void queue(ChangeRect rect) {
    ScreenChanges changes;
    changes.rects.push_back(rect);
    queued.push_back(changes);
  }
};

// A whole platform of fakes; `sources` lists every source made, oldest first. `prepare` may
// adjust a source as it is made (give it an image, make it fail). With `damage` set the
// platform has a change detector; without, the capturer compares frames.
struct FakeCapturePlatform {
  std::shared_ptr<FakeDisplays> displays = std::make_shared<FakeDisplays>();
  std::shared_ptr<FakeDamage> damage;
  std::vector<std::shared_ptr<FakeFrameSource>> sources;
  std::function<void(FakeFrameSource&)> prepare;
  CapturePlatform::Clock::time_point now{std::chrono::hours(1000)};

  // The platform to hand to the code under test; it refers back to this object.
  CapturePlatform platform();
  FakeFrameSource& last() { return *sources.back(); }
  void advance(double seconds);
};

// A solid width x height image of one colour (0xAARRGGBB).
ImageRef solidImage(int width, int height, uint32_t argb = 0xff336699);

}  // namespace cvl::test
