#pragma once
// What the fabric client needs of the host's media core: capture on and off, input, viewer
// settings, the monitors report and the clipboard, and a place to deliver encoded frames.
//
// The host engine implements it (an adapter in the host); tests use a recording fake. Every
// call only hands the request to the sequence that owns that state and returns at once; none
// blocks, so the fabric client may call from its relay queue, from any viewer's queue, and
// (for the calls without a reply) while it holds its own lock to keep their order. A reply
// runs later on the engine's side, never inside the call; it must be short and post onward.
// The frame callback is called on the engine's frame loop and must not block for long.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/input/input_event.h"

namespace cvl {

class FabricEngine {
 public:
  // One encoded frame.
  struct Frame {
    std::span<const uint8_t> jpeg;  // valid during the call only
    int64_t width = 0;
    int64_t height = 0;
    // Byte for byte the JPEG of the previous frame this consumer got (refresh frames aside):
    // the screen did not change.
    bool unchanged = false;
    // 0 for the frames of the frame loop; otherwise a one-off, sharper encode of a picture
    // that has stood still, at the refresh quality some viewers asked for.
    int64_t refreshQuality = 0;
  };
  using FrameCallback = std::function<void(const Frame& frame)>;
  template <typename T>
  using Reply = std::function<void(T)>;

  // The frame rate a viewer asked for (rounded) and the one applied (1 to 30).
  struct FpsApplied {
    int64_t asked = 0;
    int64_t applied = 0;
    int64_t ceiling = 0;  // the highest rate the engine applies
    bool operator==(const FpsApplied&) const = default;
  };

  virtual ~FabricEngine() = default;

  virtual void startCapture() = 0;
  virtual void stopCapture() = 0;
  // Releases everything held down and turns view-only off: input control has ended.
  virtual void releaseAll() = 0;
  // Releases everything held down: control has passed from one viewer to another.
  virtual void releaseHeld() = 0;

  // One binary input frame; the reply is true when the viewer should send a resynchronising
  // snapshot.
  virtual void injectBinary(std::vector<uint8_t> frame, Reply<bool> needsResync) = 0;
  // One event decoded from a JSON message.
  virtual void injectEvent(InputEvent event) = 0;

  // Absent values are left alone; the reply holds the pair when a usable fps was given.
  virtual void applySettings(std::optional<double> fps, std::optional<int64_t> quality,
                             std::optional<int64_t> maxEdge, std::optional<int64_t> monitor,
                             Reply<std::optional<FpsApplied>> done) = 0;
  // The "monitors" message, "type" included.
  virtual void monitorsMessage(Reply<nlohmann::json> done) = 0;
  // The reply holds the new value.
  virtual void setViewOnly(bool on, Reply<bool> done) = 0;

  // The plain-text clipboard, empty when it holds no text.
  virtual void clipboardText(Reply<std::string> done) = 0;
  // Replaces the clipboard's content with `text`; `done` runs once it is in place.
  virtual void setClipboard(std::string text, std::function<void()> done) = 0;

  // Replaces the frame consumer; an empty callback removes it.
  virtual void setOnFrame(FrameCallback callback) = 0;
  // The refresh qualities the viewers ask for ("refreshQuality"), each 1..100; empty: none.
  virtual void setRefreshQualities(std::vector<int64_t> qualities) = 0;

  // The process is leaving: release everything held, stop capture, take no more input;
  // `done` runs once that is finished.
  virtual void shutdown(std::function<void()> done) = 0;
};

}  // namespace cvl
