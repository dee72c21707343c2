#pragma once
// The synthetic input events the injector creates, as plain values, and the EventPoster that
// plays them to the system as if they came from local hardware. The codes follow the Mac
// event model the injector is written against (event types, mouse buttons, click state,
// button number, modifier-flag masks, virtual key codes, a UTF-16 string on key events); each
// platform's poster translates them. The injector owns its poster and calls it from the
// injecting thread only; posters must tolerate calls from different threads one at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace cvl {

// Event type codes (the published CoreGraphics values).
enum class EventType : std::int32_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  rightMouseDragged = 7,
  keyDown = 10,
  keyUp = 11,
  scrollWheel = 22,
  otherMouseDown = 25,
  otherMouseUp = 26,
  otherMouseDragged = 27,
};

// The mouse button of a mouse event; middle and side buttons are all `center`, told apart by
// the button-number field (2 middle, 3 and 4 the side buttons).
enum class MouseButton : std::int32_t { left = 0, right = 1, center = 2 };

// A point in global display coordinates (points, origin at the main display's top left).
struct GlobalPoint {
  double x = 0;
  double y = 0;
  bool operator==(const GlobalPoint&) const = default;
};

// One event. Which fields matter depends on `type`:
//   mouse events     position, button, clickState (buttons), buttonNumber (other buttons)
//   scrollWheel      wheelLines (+ scrolls up), wheelLinesHorizontal (+ scrolls left)
//   keyDown / keyUp  keyCode (Mac virtual key code), unicode (typed text, overrides the key)
// Every event carries the modifier masks held at the time it was made.
struct SyntheticEvent {
  EventType type = EventType::mouseMoved;
  GlobalPoint position;
  MouseButton button = MouseButton::left;
  std::optional<std::int64_t> clickState;
  std::optional<std::int64_t> buttonNumber;
  std::int64_t wheelLines = 0;
  std::int64_t wheelLinesHorizontal = 0;
  std::uint16_t keyCode = 0;
  std::u16string unicode;
  std::uint64_t flags = 0;

  bool operator==(const SyntheticEvent&) const = default;
};

class EventPoster {
 public:
  virtual ~EventPoster() = default;
  // Plays one event. Posting never fails loudly: an event the system cannot take is dropped.
  virtual void post(const SyntheticEvent& event) = 0;
  // Lets go of every key and button this poster still holds down on the system, whatever
  // the caller's record says.
  virtual void releaseAll() {}
};

// The poster of the platform this build runs on (X11: XTest on $DISPLAY). When the system
// cannot be reached the poster drops every event.
std::unique_ptr<EventPoster> makeSystemEventPoster();

}  // namespace cvl
