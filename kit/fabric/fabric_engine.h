#pragma once
// What the fabric client needs of the host's media core: capture on and off, input, viewer
// settings, the monitors report and the clipboard, and a place to deliver encoded frames.
//
// The host engine implements it (an adapter in the host); tests use a recording fake. The
// fabric client calls it from every viewer's queue and from its relay queue, at the same time,
// so an implementation serialises its own state. startCapture may block for seconds.
// The frame callback is called on the engine's frame-loop queue and must not block for long.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "kit/input/input_event.h"

namespace cvl {

class FabricEngine {
 public:
  // One encoded frame: the JPEG bytes (valid during the call only), width and height.
  using FrameCallback = std::function<void(std::span<const uint8_t> jpeg, int64_t width,
                                           int64_t height)>;

  // The frame rate a viewer asked for (rounded) and the one applied (1 to 30).
  struct FpsApplied {
    int64_t asked = 0;
    int64_t applied = 0;
    bool operator==(const FpsApplied&) const = default;
  };

  virtual ~FabricEngine() = default;

  virtual void startCapture() = 0;
  virtual void stopCapture() = 0;
  // Releases everything held down and turns view-only off.
  virtual void releaseAll() = 0;

  // One binary input frame; true when the viewer should send a resynchronising snapshot.
  virtual bool injectBinary(std::span<const uint8_t> frame) = 0;
  // One event decoded from a JSON message; same result.
  virtual bool injectEvent(const InputEvent& event) = 0;

  // Absent values are left alone; the pair is present when a usable fps was given.
  virtual std::optional<FpsApplied> applySettings(std::optional<double> fps,
                                                  std::optional<int64_t> quality,
                                                  std::optional<int64_t> maxEdge,
                                                  std::optional<int64_t> monitor) = 0;
  // The "monitors" message, "type" included.
  virtual nlohmann::json monitorsMessage() = 0;

  virtual bool viewOnly() = 0;
  virtual void setViewOnly(bool on) = 0;

  // The plain-text clipboard, empty when it holds no text.
  virtual std::string clipboardText() = 0;
  // Clears the clipboard, then sets `text` as its plain-text content.
  virtual void setClipboard(const std::string& text) = 0;

  // Replaces the frame consumer; an empty callback removes it.
  virtual void setOnFrame(FrameCallback callback) = 0;
};

}  // namespace cvl
