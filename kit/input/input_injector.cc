#include "kit/input/input_injector.h"

#include <chrono>
#include <cmath>

#include "kit/diagnostics/log.h"
#include "kit/input/key_map.h"

namespace cvl {
namespace {

// "5D" for 0x5D, "-1" for -1: upper-case hexadecimal with a sign.
std::string upperHex(std::int64_t value) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  // The magnitude in unsigned arithmetic, so that the most negative value has one too.
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::string digits;
  do {
    digits.insert(digits.begin(), DIGITS[magnitude % 16]);
    magnitude /= 16;
  } while (magnitude != 0);
  return value < 0 ? "-" + digits : digits;
}

// The wheel lines for a delta: 120 units (one notch) are 3 lines, rounded half away from
// zero, and any movement at all is at least one line.
std::int64_t wheelLines(std::int32_t delta) {
  auto lines = static_cast<std::int64_t>(std::round(static_cast<double>(delta) / 120.0 * 3.0));
  if (lines == 0 && delta != 0) lines = delta > 0 ? 1 : -1;
  return lines;
}

}  // namespace

InputInjector::InputInjector() : InputInjector(std::shared_ptr<EventPoster>(makeSystemEventPoster())) {}

InputInjector::InputInjector(std::shared_ptr<EventPoster> poster, Clock uptime)
    : poster_(std::move(poster)), uptime_(std::move(uptime)) {}

double InputInjector::systemUptime() {
  // steady_clock is CLOCK_MONOTONIC on Linux: time since boot, not counting suspend.
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

CaptureGeometry InputInjector::geometry() const {
  std::lock_guard lock(geometryMutex_);
  return geometry_;
}

void InputInjector::setGeometry(const CaptureGeometry& geometry) {
  std::lock_guard lock(geometryMutex_);
  geometry_ = geometry;
}

void InputInjector::inject(const std::vector<InputEvent>& events) {
  for (const InputEvent& event : events) inject(event);
}

void InputInjector::inject(const InputEvent& event) {
  switch (event.kind) {
    case InputKind::move:
    case InputKind::moveDirect: {
      const CaptureGeometry g = geometry();
      moveTo({g.originX + g.scaleX * static_cast<double>(event.x),
              g.originY + g.scaleY * static_cast<double>(event.y)});
      break;
    }
    case InputKind::button:
      mouseButton(event.button, event.down);
      break;
    case InputKind::wheel:
      scroll(event.delta);
      break;
    case InputKind::keyVk:
      key(event.vk, event.down);
      break;
    case InputKind::keyUnicode:
      unicode(event.code, event.down);
      break;
    case InputKind::axis:
    case InputKind::padButton:
    case InputKind::snapshot:
      break;
  }
}

void InputInjector::moveTo(GlobalPoint point) {
  lastPoint_ = point;
  SyntheticEvent event;
  event.position = point;
  if (leftDown_) {
    event.type = EventType::leftMouseDragged;
    event.button = MouseButton::left;
  } else if (rightDown_) {
    event.type = EventType::rightMouseDragged;
    event.button = MouseButton::right;
  } else if (otherDown_) {
    event.type = EventType::otherMouseDragged;
    event.button = MouseButton::center;
    event.buttonNumber = otherButtonNumber_;
  } else {
    event.type = EventType::mouseMoved;
    event.button = MouseButton::left;
  }
  post(std::move(event));
}

void InputInjector::mouseButton(const std::string& name, bool down) {
  SyntheticEvent event;
  bool other = false;
  if (name == "left") {
    event.type = down ? EventType::leftMouseDown : EventType::leftMouseUp;
    event.button = MouseButton::left;
    leftDown_ = down;
  } else if (name == "right") {
    event.type = down ? EventType::rightMouseDown : EventType::rightMouseUp;
    event.button = MouseButton::right;
    rightDown_ = down;
  } else if (name == "middle" || name == "x1" || name == "x2") {
    event.type = down ? EventType::otherMouseDown : EventType::otherMouseUp;
    event.button = MouseButton::center;
    otherDown_ = down;
    otherButtonNumber_ = name == "middle" ? 2 : name == "x1" ? 3 : 4;
    other = true;
  } else {
    return;
  }

  if (down) {
    const double now = uptime_();
    const double travel = std::hypot(lastPoint_.x - lastClickPos_.x, lastPoint_.y - lastClickPos_.y);
    if (name == lastClickButton_ && now - lastClickTime_ <= doubleClickInterval &&
        travel <= doubleClickSlop) {
      ++clickCount_;
    } else {
      clickCount_ = 1;
    }
    lastClickTime_ = now;
    lastClickPos_ = lastPoint_;
    lastClickButton_ = name;
  }

  event.position = lastPoint_;
  // Releases carry the count of their press, so the system sees a complete double click.
  event.clickState = clickCount_;
  if (other) event.buttonNumber = otherButtonNumber_;
  post(std::move(event));
}

void InputInjector::scroll(std::int32_t delta) {
  SyntheticEvent event;
  event.type = EventType::scrollWheel;
  event.wheelLines = wheelLines(delta);
  post(std::move(event));
}

void InputInjector::key(std::int64_t vk, bool down) {
  if (const auto mask = KeyMap::modifierFlag(vk)) {
    // Masks are not counted: releasing either shift key clears shift.
    flags_ = down ? (flags_ | *mask) : (flags_ & ~*mask);
  }
  const auto keyCode = KeyMap::keycode(vk);
  if (!keyCode) {
    if (!KeyMap::isModifier(vk)) Log::vlog("[input] no keycode for VK 0x" + upperHex(vk) + " — dropped");
    return;
  }
  SyntheticEvent event;
  event.type = down ? EventType::keyDown : EventType::keyUp;
  event.keyCode = *keyCode;
  post(std::move(event));
}

void InputInjector::unicode(std::int64_t code, bool down) {
  if (code < 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return;
  SyntheticEvent event;
  event.type = down ? EventType::keyDown : EventType::keyUp;
  event.keyCode = 0;
  if (code <= 0xFFFF) {
    event.unicode.push_back(static_cast<char16_t>(code));
  } else {
    const auto offset = static_cast<std::uint32_t>(code - 0x10000);
    event.unicode.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
    event.unicode.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
  }
  post(std::move(event));
}

void InputInjector::post(SyntheticEvent event) {
  if (!poster_) return;
  event.flags = flags_;
  poster_->post(event);
}

}  // namespace cvl
