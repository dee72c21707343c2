#include "kit/input/x11/mac_keysyms.h"

#include <gtest/gtest.h>

#include <map>

#include "kit/input/key_map.h"

namespace cvl {
namespace {

TEST(MacKeysyms, EveryMappedKeyHasItsOwnKeysym) {
  std::map<std::uint32_t, std::uint16_t> owners;
  for (std::int64_t vk = 0; vk < 0x100; ++vk) {
    const auto code = KeyMap::keycode(vk);
    if (!code) continue;
    SCOPED_TRACE(vk);
    const auto keysym = x11::keysymForMacKeyCode(*code);
    ASSERT_TRUE(keysym.has_value());
    // Two Mac codes on one keysym would make two different keys type the same thing.
    const auto [it, inserted] = owners.emplace(*keysym, *code);
    EXPECT_TRUE(inserted || it->second == *code) << "keysym 0x" << std::hex << *keysym;
  }
  EXPECT_EQ(owners.size(), 97u);
}

TEST(MacKeysyms, SpotChecks) {
  struct Case {
    std::uint16_t code;
    std::uint32_t keysym;
  };
  // a, z, 0, F1, F12, keypad 9, return, right command, caps lock, apostrophe
  const Case cases[] = {{0, 0x61},     {6, 0x7A},      {29, 0x30},     {122, 0xFFBE}, {111, 0xFFC9},
                        {92, 0xFFB9},  {36, 0xFF0D},   {54, 0xFFEC},   {57, 0xFFE5},  {39, 0x27}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(x11::keysymForMacKeyCode(c.code), c.keysym);
  }
  EXPECT_FALSE(x11::keysymForMacKeyCode(10).has_value());
  EXPECT_FALSE(x11::keysymForMacKeyCode(0xFFFF).has_value());
}

TEST(MacKeysyms, CharactersMapToLatin1OrUnicodeKeysyms) {
  struct Case {
    std::uint32_t code;
    std::optional<std::uint32_t> keysym;
  };
  const Case cases[] = {
      {'a', 0x61},          {' ', 0x20},          {'~', 0x7E},           {0xA0, 0xA0},
      {0xE9, 0xE9},         {0xFF, 0xFF},         {0x100, 0x1000100},    {0x20AC, 0x10020AC},
      {0x1F600, 0x101F600}, {0x10FFFF, 0x110FFFF}, {'\t', 0xFF09},        {'\r', 0xFF0D},
      {'\n', 0xFF0D},       {0x08, 0xFF08},       {0x1B, 0xFF1B},        {0x7F, 0xFFFF},
      {0x00, {}},           {0x1F, {}},           {0x85, {}},            {0xD800, {}},
      {0xDFFF, {}},         {0x110000, {}},       {0xFFFFFFFF, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(x11::keysymForCodePoint(c.code), c.keysym);
  }
}

}  // namespace
}  // namespace cvl
