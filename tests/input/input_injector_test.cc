#include "kit/input/input_injector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kit/diagnostics/log.h"
#include "kit/input/key_map.h"
#include "tests/support/recording_event_poster.h"

namespace cvl {
namespace {

InputEvent move(int x, int y) {
  InputEvent event(InputKind::move);
  event.x = x;
  event.y = y;
  return event;
}

constexpr auto button = InputEvent::ofButton;
constexpr auto keyvk = InputEvent::ofKey;
constexpr auto keyunicode = InputEvent::ofCharacter;

InputEvent wheel(std::int32_t delta) {
  InputEvent event(InputKind::wheel);
  event.delta = delta;
  return event;
}

class InputInjectorTest : public ::testing::Test {
 protected:
  std::shared_ptr<test::RecordingEventPoster> poster = std::make_shared<test::RecordingEventPoster>();
  double now = 1000.0;
  InputInjector injector{poster, [this] { return now; }};
};

TEST_F(InputInjectorTest, MovesMapFramePixelsThroughTheCurrentGeometry) {
  injector.setGeometry({100, 50, 2, 2});
  injector.inject(move(10, 20));
  injector.setGeometry({-1920, 0, 1.5, 0.75});
  InputEvent direct(InputKind::moveDirect);
  direct.x = 3;
  direct.y = -7;
  injector.inject(direct);

  const auto events = poster->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, EventType::mouseMoved);
  EXPECT_EQ(events[0].button, MouseButton::left);
  EXPECT_EQ(events[0].position, (GlobalPoint{120, 90}));
  EXPECT_FALSE(events[0].clickState.has_value());
  EXPECT_EQ(events[1].type, EventType::mouseMoved);
  EXPECT_EQ(events[1].position, (GlobalPoint{-1915.5, -5.25}));
  EXPECT_EQ(injector.lastPoint(), (GlobalPoint{-1915.5, -5.25}));
  EXPECT_EQ(injector.geometry(), (CaptureGeometry{-1920, 0, 1.5, 0.75}));
}

TEST_F(InputInjectorTest, ButtonsPostAtTheLastPointWithTheirTypeAndButton) {
  struct Case {
    const char* name;
    EventType downType, upType;
    MouseButton button;
    std::optional<std::int64_t> buttonNumber;
  };
  const Case cases[] = {
      {"left", EventType::leftMouseDown, EventType::leftMouseUp, MouseButton::left, {}},
      {"right", EventType::rightMouseDown, EventType::rightMouseUp, MouseButton::right, {}},
      {"middle", EventType::otherMouseDown, EventType::otherMouseUp, MouseButton::center, 2},
      {"x1", EventType::otherMouseDown, EventType::otherMouseUp, MouseButton::center, 3},
      {"x2", EventType::otherMouseDown, EventType::otherMouseUp, MouseButton::center, 4},
  };
  injector.inject(move(30, 40));
  poster->take();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    now += 10;  // no multi-clicks here
    injector.inject({button(c.name, true), button(c.name, false)});
    const auto events = poster->take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, c.downType);
    EXPECT_EQ(events[1].type, c.upType);
    for (const auto& event : events) {
      EXPECT_EQ(event.button, c.button);
      EXPECT_EQ(event.position, (GlobalPoint{30, 40}));
      EXPECT_EQ(event.buttonNumber, c.buttonNumber);
      EXPECT_EQ(event.clickState, 1);
    }
  }
  injector.inject({button("back", true), button("", true), button("LEFT", false)});
  EXPECT_TRUE(poster->events().empty());
}

// One press and release per step, at the step's time and point; the expected values are the
// click states the press and its release carry.
TEST_F(InputInjectorTest, CountsMultiClicksOfOneButtonCloseInTimeAndPlace) {
  struct Step {
    double t;
    int x, y;
    const char* button;
    std::int64_t clickState;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"double and triple click", {{0, 5, 5, "left", 1}, {0.2, 5, 5, "left", 2}, {0.4, 5, 5, "left", 3}}},
      {"the interval is measured from press to press",
       {{0, 5, 5, "left", 1}, {0.5, 5, 5, "left", 2}, {1.0, 5, 5, "left", 3}, {1.6, 5, 5, "left", 1}}},
      {"too slow", {{0, 5, 5, "left", 1}, {0.6, 5, 5, "left", 1}}},
      {"exactly 4 points away still counts", {{0, 5, 5, "left", 1}, {0.1, 5, 9, "left", 2}}},
      {"5 points away", {{0, 5, 5, "left", 1}, {0.1, 8, 9, "left", 1}}},
      {"travel is measured from the previous press",
       {{0, 0, 0, "left", 1}, {0.1, 3, 0, "left", 2}, {0.2, 6, 0, "left", 3}, {0.3, 9, 0, "left", 4}}},
      {"another button restarts", {{0, 5, 5, "left", 1}, {0.1, 5, 5, "right", 1}, {0.2, 5, 5, "left", 1}}},
      {"side buttons are told apart", {{0, 5, 5, "x1", 1}, {0.1, 5, 5, "x2", 1}, {0.2, 5, 5, "x2", 2}}},
      {"right double click", {{0, 5, 5, "right", 1}, {0.3, 6, 6, "right", 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    now += 100;  // a fresh start for every case
    const double start = now;
    for (const Step& step : c.steps) {
      now = start + step.t;
      injector.inject(move(step.x, step.y));
      injector.inject(button(step.button, true));
      injector.inject(button(step.button, false));
    }
    const auto events = poster->take();
    ASSERT_EQ(events.size(), 3 * c.steps.size());
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(events[3 * i + 1].clickState, c.steps[i].clickState);
      EXPECT_EQ(events[3 * i + 2].clickState, c.steps[i].clickState);
    }
  }
}

TEST_F(InputInjectorTest, AReleaseCarriesItsPressCountAndLeavesTheBookkeepingAlone) {
  injector.inject({button("left", true), button("left", false)});
  now += 0.3;
  injector.inject(button("left", true));
  // A late release, far away: it still carries 2 and does not restart the interval.
  now += 0.15;
  injector.inject(move(50, 50));
  injector.inject(move(0, 0));
  injector.inject(button("left", false));
  now += 0.1;  // 0.25 s after the second press
  injector.inject({button("left", true), button("left", false)});

  const auto events = poster->events();
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[2].clickState, 2);
  EXPECT_EQ(events[5].type, EventType::leftMouseUp);
  EXPECT_EQ(events[5].clickState, 2);
  EXPECT_EQ(events[6].clickState, 3);
  EXPECT_EQ(events[7].clickState, 3);
}

TEST_F(InputInjectorTest, MovesWhileAButtonIsHeldAreDrags) {
  struct Case {
    std::vector<const char*> held;
    EventType type;
    MouseButton button;
    std::optional<std::int64_t> buttonNumber;
  };
  const Case cases[] = {
      {{}, EventType::mouseMoved, MouseButton::left, {}},
      {{"left"}, EventType::leftMouseDragged, MouseButton::left, {}},
      {{"right"}, EventType::rightMouseDragged, MouseButton::right, {}},
      {{"middle"}, EventType::otherMouseDragged, MouseButton::center, 2},
      {{"x1"}, EventType::otherMouseDragged, MouseButton::center, 3},
      {{"x2"}, EventType::otherMouseDragged, MouseButton::center, 4},
      {{"right", "left"}, EventType::leftMouseDragged, MouseButton::left, {}},
      {{"x1", "right"}, EventType::rightMouseDragged, MouseButton::right, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.held.empty() ? "none" : c.held.back());
    for (const char* name : c.held) injector.inject(button(name, true));
    poster->take();
    injector.inject(move(7, 8));
    const auto events = poster->take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, c.type);
    EXPECT_EQ(events[0].button, c.button);
    EXPECT_EQ(events[0].buttonNumber, c.buttonNumber);
    EXPECT_EQ(events[0].position, (GlobalPoint{7, 8}));
    for (const char* name : c.held) injector.inject(button(name, false));
    injector.inject(move(0, 0));
    EXPECT_EQ(poster->take().back().type, EventType::mouseMoved);
  }
}

TEST_F(InputInjectorTest, WheelDeltasBecomeLinesRoundedHalfAwayFromZero) {
  struct Case {
    std::int32_t delta;
    std::int64_t lines;
  };
  const Case cases[] = {
      {120, 3}, {40, 1},   {60, 2},   {10, 1},     {-10, -1},   {200, 5},   {0, 0},
      {-60, -2}, {-120, -3}, {1, 1},  {-1, -1},    {100, 3},    {-100, -3}, {20, 1},
      {INT32_MAX, 53687091}, {INT32_MIN, -53687091},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delta);
    injector.inject(wheel(c.delta));
    const auto events = poster->take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EventType::scrollWheel);
    EXPECT_EQ(events[0].wheelLines, c.lines);
    EXPECT_EQ(events[0].wheelLinesHorizontal, 0);
  }
}

TEST_F(InputInjectorTest, ModifierMasksRideOnEveryEventUntilReleased) {
  injector.inject(keyvk(0xA0, true));
  injector.inject({move(1, 1), button("left", true), button("left", false), wheel(120), keyvk(0x41, true),
                   keyvk(0x41, false), keyunicode(0xE9, true)});
  const auto events = poster->take();
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[0].type, EventType::keyDown);
  EXPECT_EQ(events[0].keyCode, 56);
  for (const auto& event : events) EXPECT_EQ(event.flags, KeyMap::SHIFT_MASK);

  // Masks are not counted: whichever shift goes up clears shift.
  for (std::int64_t release : {0xA0, 0xA1, 0x10}) {
    SCOPED_TRACE(release);
    injector.inject({keyvk(0xA0, true), keyvk(0xA1, true), keyvk(release, false), move(2, 2)});
    const auto after = poster->take();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[1].keyCode, 60);
    EXPECT_EQ(after[1].flags, KeyMap::SHIFT_MASK);
    EXPECT_EQ(after[2].type, EventType::keyUp);
    EXPECT_EQ(after[2].flags, 0u);
    EXPECT_EQ(after[3].flags, 0u);
    injector.inject({keyvk(0xA0, false), keyvk(0xA1, false)});
    poster->take();
  }
}

TEST_F(InputInjectorTest, ModifiersCombineAndEachKeyEventSeesItsOwnChange) {
  struct Step {
    std::int64_t vk;
    bool down;
    std::uint16_t keyCode;
    std::uint64_t flags;
  };
  using namespace KeyMap;
  const Step steps[] = {
      {0xA2, true, 59, CONTROL_MASK},
      {0xA5, true, 61, CONTROL_MASK | ALTERNATE_MASK},
      {0x5C, true, 54, CONTROL_MASK | ALTERNATE_MASK | COMMAND_MASK},
      {0x14, true, 57, CONTROL_MASK | ALTERNATE_MASK | COMMAND_MASK | ALPHA_SHIFT_MASK},
      {0x5A, true, 6, CONTROL_MASK | ALTERNATE_MASK | COMMAND_MASK | ALPHA_SHIFT_MASK},
      {0x14, false, 57, CONTROL_MASK | ALTERNATE_MASK | COMMAND_MASK},
      {0x12, false, 58, CONTROL_MASK | COMMAND_MASK},
      {0x5B, false, 55, CONTROL_MASK},
      {0x11, false, 59, 0},
      {0x5A, false, 6, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.vk);
    injector.inject(keyvk(step.vk, step.down));
    const auto events = poster->take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, step.down ? EventType::keyDown : EventType::keyUp);
    EXPECT_EQ(events[0].keyCode, step.keyCode);
    EXPECT_TRUE(events[0].unicode.empty());
    EXPECT_EQ(events[0].flags, step.flags);
    EXPECT_EQ(injector.flags(), step.flags);
  }
}

TEST_F(InputInjectorTest, KeysWithoutACodeAreDroppedWithAVerboseLine) {
  struct Case {
    std::int64_t vk;
    const char* digits;
  };
  const Case cases[] = {{0x5D, "5D"}, {0x6C, "6C"}, {0x7C, "7C"}, {0x1234, "1234"}, {-1, "-1"}};
  Log::setVerbose(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits);
    testing::internal::CaptureStderr();
    injector.inject(keyvk(c.vk, true));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(poster->events().empty());
    EXPECT_NE(err.find(std::string("] [input] no keycode for VK 0x") + c.digits + " — dropped\n"),
              std::string::npos)
        << err;
  }
  Log::setVerbose(false);
  testing::internal::CaptureStderr();
  injector.inject(keyvk(0x5D, false));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(poster->events().empty());
}

TEST_F(InputInjectorTest, CharactersTravelAsUtf16OnKeyCodeZero) {
  struct Case {
    std::int64_t code;
    std::u16string units;
  };
  const Case cases[] = {
      {0x41, u"A"},
      {0xE9, u"\u00E9"},
      {0x20AC, u"\u20AC"},
      {0xFFFF, std::u16string(1, char16_t{0xFFFF})},
      {0x1F600, u"\U0001F600"},
      {0x10000, std::u16string{char16_t{0xD800}, char16_t{0xDC00}}},
      {0x10FFFF, std::u16string{char16_t{0xDBFF}, char16_t{0xDFFF}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    injector.inject({keyunicode(c.code, true), keyunicode(c.code, false)});
    const auto events = poster->take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, EventType::keyDown);
    EXPECT_EQ(events[1].type, EventType::keyUp);
    for (const auto& event : events) {
      EXPECT_EQ(event.keyCode, 0);
      EXPECT_EQ(event.unicode, c.units);
    }
  }
  EXPECT_EQ(u"\U0001F600", (std::u16string{char16_t{0xD83D}, char16_t{0xDE00}}));
}

TEST_F(InputInjectorTest, IgnoresWhatIsNotACharacterOrNotAnInjectableKind) {
  for (std::int64_t code : {-1LL, 0xD800LL, 0xDBFFLL, 0xDC00LL, 0xDFFFLL, 0x110000LL, 0x7FFFFFFFFFFFFFFFLL,
                            static_cast<long long>(INT64_MIN)}) {
    injector.inject(keyunicode(code, true));
  }
  for (InputKind kind : {InputKind::axis, InputKind::padButton, InputKind::snapshot}) {
    InputEvent event(kind);
    event.down = true;
    event.vk = 0x41;
    event.button = "left";
    injector.inject(event);
  }
  EXPECT_TRUE(poster->events().empty());
  EXPECT_EQ(injector.lastPoint(), (GlobalPoint{0, 0}));
}

TEST_F(InputInjectorTest, GeometryIsReplacedWholeWhileMovesAreInjected) {
  // The frame loop replaces the geometry on its own thread while input is injected: every
  // move must see one geometry, never half of an old one and half of a new one.
  injector.setGeometry({0, 0, 1, -1});
  std::atomic<bool> done{false};
  std::thread frameLoop([&] {
    for (double k = 1; !done; ++k) injector.setGeometry({k, -k, k, -k});
  });
  for (int i = 0; i < 5000; ++i) injector.inject(move(1, 1));
  done = true;
  frameLoop.join();
  const auto events = poster->events();
  ASSERT_FALSE(events.empty());
  for (const auto& event : events) ASSERT_EQ(event.position.x, -event.position.y);
}

TEST(InputInjectorClock, SystemUptimeIsMonotonicSeconds) {
  const double first = InputInjector::systemUptime();
  const double second = InputInjector::systemUptime();
  EXPECT_GT(first, 0);
  EXPECT_GE(second, first);
}

}  // namespace
}  // namespace cvl
