#include "kit/input/input_state.h"

#include <gtest/gtest.h>


namespace cvl {
namespace {

constexpr auto button = InputEvent::ofButton;
constexpr auto key = InputEvent::ofKey;
constexpr auto character = InputEvent::ofCharacter;

InputState held(std::vector<std::string> buttons, std::vector<std::int64_t> keys,
                std::vector<std::int64_t> chars) {
  InputState s;
  s.x = 3;
  s.y = 4;
  s.buttons.insert(buttons.begin(), buttons.end());
  s.keys.insert(keys.begin(), keys.end());
  s.chars.insert(chars.begin(), chars.end());
  return s;
}

void expectHolds(const InputState& s, std::vector<std::string> buttons, std::vector<std::int64_t> keys,
                 std::vector<std::int64_t> chars) {
  EXPECT_EQ(std::vector<std::string>(s.buttons.begin(), s.buttons.end()), buttons);
  EXPECT_EQ(std::vector<std::int64_t>(s.keys.begin(), s.keys.end()), keys);
  EXPECT_EQ(std::vector<std::int64_t>(s.chars.begin(), s.chars.end()), chars);
}

TEST(InputState, ApplyRecordsHeldInputAndPassesInjectableEventsOn) {
  struct Case {
    const char* name;
    InputEvent event;
    bool injected;
    std::vector<std::string> buttons;
    std::vector<std::int64_t> keys;
    std::vector<std::int64_t> chars;
    std::int32_t x = 3, y = 4;
  };
  InputEvent move(InputKind::move);
  move.x = -7;
  move.y = 9;
  InputEvent direct = move;
  direct.kind = InputKind::moveDirect;
  InputEvent wheel(InputKind::wheel);
  wheel.delta = 120;
  InputEvent axis(InputKind::axis);
  axis.value = 0.5f;
  InputEvent pad(InputKind::padButton);
  pad.down = true;
  // Starting from left held, key 0x41 held, character 0x61 held, pointer at (3, 4).
  const Case cases[] = {
      {"move", move, true, {"left"}, {0x41}, {0x61}, -7, 9},
      {"movedirect", direct, true, {"left"}, {0x41}, {0x61}, -7, 9},
      {"button press", button("right", true), true, {"left", "right"}, {0x41}, {0x61}},
      {"press of a held button", button("left", true), true, {"left"}, {0x41}, {0x61}},
      {"button release", button("left", false), true, {}, {0x41}, {0x61}},
      {"release of a button not held", button("middle", false), true, {"left"}, {0x41}, {0x61}},
      {"key press", key(0x10, true), true, {"left"}, {0x10, 0x41}, {0x61}},
      {"key release", key(0x41, false), true, {"left"}, {}, {0x61}},
      {"character press", character(0x1F600, true), true, {"left"}, {0x41}, {0x61, 0x1F600}},
      {"character release", character(0x61, false), true, {"left"}, {0x41}, {}},
      {"wheel", wheel, true, {"left"}, {0x41}, {0x61}},
      {"axis", axis, false, {"left"}, {0x41}, {0x61}},
      {"padbutton", pad, false, {"left"}, {0x41}, {0x61}},
      {"snapshot", InputEvent(InputKind::snapshot), false, {"left"}, {0x41}, {0x61}},
      {"a key press in the shape of a snapshot",
       [] { InputEvent e(InputKind::snapshot); e.vk = 0x42; e.down = true; return e; }(), false,
       {"left"}, {0x41}, {0x61}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InputState s = held({"left"}, {0x41}, {0x61});
    const auto out = s.apply(c.event);
    if (c.injected) {
      EXPECT_EQ(out, c.event);
    } else {
      EXPECT_FALSE(out.has_value());
    }
    expectHolds(s, c.buttons, c.keys, c.chars);
    EXPECT_EQ(s.x, c.x);
    EXPECT_EQ(s.y, c.y);
  }
}

TEST(InputState, ReleaseAllReleasesButtonsThenKeysThenCharactersInOrder) {
  InputState s = held({"x1", "left", "back", "right"}, {0x41, 0x10}, {0x1F600, 0x61});
  const std::vector<InputEvent> expected = {
      button("left", false), button("right", false), button("x1", false), button("back", false),
      key(0x10, false),      key(0x41, false),       character(0x61, false), character(0x1F600, false),
  };
  EXPECT_EQ(s.releaseAll(), expected);
  expectHolds(s, {}, {}, {});
  EXPECT_EQ(s.x, 3);
  EXPECT_EQ(s.y, 4);
  EXPECT_TRUE(s.releaseAll().empty());
}

TEST(InputState, SnapshotEmitsTheDifferenceInGroupOrder) {
  InputState s = held({"middle", "left"}, {0x10, 0x41}, {0x62, 0x61});
  InputEvent snapshot(InputKind::snapshot);
  snapshot.x = 50;
  snapshot.y = 60;
  snapshot.buttons = {"x2", "left", "right"};
  snapshot.keys = {0x41, 0x42, 0x42};  // duplicates collapse
  snapshot.chars = {0x63, 0x61, 0x63};
  const std::vector<InputEvent> expected = {
      button("middle", false), button("right", true),   button("x2", true),
      key(0x10, false),        key(0x42, true),         character(0x62, false),
      character(0x63, true),
  };
  EXPECT_EQ(applySnapshot(s, snapshot), expected);
  expectHolds(s, {"left", "right", "x2"}, {0x41, 0x42}, {0x61, 0x63});
  EXPECT_EQ(s.x, 50);
  EXPECT_EQ(s.y, 60);

  // The same snapshot again changes nothing held, only the position.
  snapshot.x = 51;
  EXPECT_TRUE(applySnapshot(s, snapshot).empty());
  EXPECT_EQ(s.x, 51);
  expectHolds(s, {"left", "right", "x2"}, {0x41, 0x42}, {0x61, 0x63});

  // An empty snapshot releases everything.
  const std::vector<InputEvent> releases = {
      button("left", false), button("right", false), button("x2", false), key(0x41, false),
      key(0x42, false),      character(0x61, false), character(0x63, false),
  };
  EXPECT_EQ(applySnapshot(s, InputEvent(InputKind::snapshot)), releases);
  expectHolds(s, {}, {}, {});
}

}  // namespace
}  // namespace cvl
