#include "kit/input/key_map.h"

#include <gtest/gtest.h>

#include <set>

namespace cvl {
namespace {

TEST(KeyMap, MapsKeysFromEveryPartOfTheTable) {
  struct Case {
    std::int64_t vk;
    std::uint16_t keycode;
  };
  const Case cases[] = {
      {0x41, 0},   {0x5A, 6},   {0x51, 12},  {0x30, 29}, {0x39, 25},  {0x70, 122}, {0x7B, 111},
      {0x60, 82},  {0x69, 92},  {0x08, 51},  {0x0D, 36}, {0x2E, 117}, {0x6F, 75},  {0xDE, 39},
      {0x10, 56},  {0xA0, 56},  {0xA1, 60},  {0xA5, 61}, {0x5B, 55},  {0x5C, 54},  {0x14, 57},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vk);
    EXPECT_EQ(KeyMap::keycode(c.vk), c.keycode);
  }
}

TEST(KeyMap, HasExactlyOneHundredEntriesAndNothingOutsideThem) {
  int mapped = 0;
  std::set<std::uint16_t> codes;
  for (std::int64_t vk = -300; vk < 0x10000; ++vk) {
    if (auto code = KeyMap::keycode(vk)) {
      ++mapped;
      codes.insert(*code);
    }
  }
  EXPECT_EQ(mapped, 100);
  // Shift, control and alt "either side" share the left key's code: three codes are used twice.
  EXPECT_EQ(codes.size(), 97u);
  for (std::int64_t vk : {0x6C, 0x5D, -1, 0x100 + 0x41, 0x7C}) {
    SCOPED_TRACE(vk);
    EXPECT_FALSE(KeyMap::keycode(vk).has_value());
  }
}

TEST(KeyMap, ModifiersHaveMasksAndKeyCodes) {
  EXPECT_EQ(KeyMap::modifierFlags().size(), 12u);
  for (const auto& [vk, mask] : KeyMap::modifierFlags()) {
    SCOPED_TRACE(vk);
    EXPECT_TRUE(KeyMap::isModifier(vk));
    EXPECT_EQ(KeyMap::modifierFlag(vk), mask);
    EXPECT_TRUE(KeyMap::keycode(vk).has_value());
  }
  EXPECT_EQ(KeyMap::modifierFlag(0xA1), KeyMap::SHIFT_MASK);
  EXPECT_EQ(KeyMap::modifierFlag(0x11), KeyMap::CONTROL_MASK);
  EXPECT_EQ(KeyMap::modifierFlag(0xA4), KeyMap::ALTERNATE_MASK);
  EXPECT_EQ(KeyMap::modifierFlag(0x5C), KeyMap::COMMAND_MASK);
  EXPECT_EQ(KeyMap::modifierFlag(0x14), 0x10000u);
  EXPECT_TRUE(KeyMap::isModifier(0x14));
  EXPECT_FALSE(KeyMap::isModifier(0x20));
  EXPECT_FALSE(KeyMap::modifierFlag(0x41).has_value());
}

}  // namespace
}  // namespace cvl
