#pragma once
// KeyMap: the fixed translation from the viewers' virtual-key codes (Windows VK numbering:
// 0x41 is A, 0xA0 left shift, ...) to Mac virtual key codes and the modifier-flag masks that
// every posted keyboard or mouse event carries. The injector is its user. Stateless; the
// tables are constant, so any thread may call it.

#include <cstdint>
#include <map>
#include <optional>

namespace cvl::KeyMap {

// Modifier-flag masks (the values of the Mac event flags).
inline constexpr std::uint64_t ALPHA_SHIFT_MASK = 0x10000;  // caps lock
inline constexpr std::uint64_t SHIFT_MASK = 0x20000;
inline constexpr std::uint64_t CONTROL_MASK = 0x40000;
inline constexpr std::uint64_t ALTERNATE_MASK = 0x80000;  // alt / Option
inline constexpr std::uint64_t COMMAND_MASK = 0x100000;   // the logo keys

// The Mac virtual key code for a VK, absent when the key has no mapping (100 VKs have one).
std::optional<std::uint16_t> keycode(std::int64_t vk);

// True for the 12 modifier VKs: shift, control, alt (either side and both sided ones), the two
// logo keys and caps lock. Every one of them also has a key code.
bool isModifier(std::int64_t vk);

// The flag mask a modifier VK holds down, absent for other VKs.
std::optional<std::uint64_t> modifierFlag(std::int64_t vk);

// The whole modifier table, VK -> mask.
const std::map<std::int64_t, std::uint64_t>& modifierFlags();

}  // namespace cvl::KeyMap
