#pragma once
// X11EventPoster: plays synthetic events on an X display through the XTest extension, on a
// connection of its own. Pointer events move the pointer and press buttons (left 1, middle 2,
// right 3, side buttons 8 and 9, wheel lines as clicks of 4/5 and 6/7); key events press the
// keycode of the key's keysym; typed characters the keyboard lacks are put on a spare keycode
// for as long as they are needed. The X server derives the modifier state from the modifier
// keys it has seen, so the flags of an event are not replayed. While a key is held through
// the poster the server's auto-repeat is off for it (the viewer sends its own repeats); it is
// restored on release, on releaseAll() and when the poster goes. Calls are serialised by a
// lock; any thread may post.

#include <memory>
#include <string>

#include "kit/input/event_poster.h"

namespace cvl {

class X11EventPoster final : public EventPoster {
 public:
  // An empty name means $DISPLAY. Without a display or XTest every event is dropped.
  explicit X11EventPoster(const std::string& displayName = "");
  // Releases what this poster still holds down and gives the borrowed keycodes back.
  ~X11EventPoster() override;
  X11EventPoster(const X11EventPoster&) = delete;
  X11EventPoster& operator=(const X11EventPoster&) = delete;

  // True when the display is open and has XTest.
  bool available() const;

  void post(const SyntheticEvent& event) override;
  // Releases every key and button still held through this poster, and gives the keys their
  // auto-repeat back.
  void releaseAll() override;

  // At most this many button clicks are played for one wheel axis of one event, so that an
  // absurd wheel delta cannot keep the poster busy for minutes.
  static constexpr std::int64_t MAX_WHEEL_CLICKS = 64;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvl
