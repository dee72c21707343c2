#include "kit/input/key_map.h"

#include <array>
#include <unordered_map>

namespace cvl::KeyMap {
namespace {

struct Entry {
  std::int64_t vk;
  std::uint16_t keycode;
};

// Runs of consecutive VKs, each with its Mac key codes in VK order.
constexpr std::array<std::uint16_t, 26> LETTERS{0,  11, 8,  2,  14, 3,  5,  4,  34,
                                                38, 40, 37, 46, 45, 31, 35, 12, 15,
                                                1,  17, 32, 9,  13, 7,  16, 6};
constexpr std::array<std::uint16_t, 10> DIGITS{29, 18, 19, 20, 21, 23, 22, 26, 28, 25};
constexpr std::array<std::uint16_t, 12> FUNCTION_KEYS{122, 120, 99,  118, 96,  97,
                                                      98,  100, 101, 109, 103, 111};
constexpr std::array<std::uint16_t, 10> KEYPAD_DIGITS{82, 83, 84, 85, 86, 87, 88, 89, 91, 92};

constexpr std::array<Entry, 42> SINGLE_KEYS{{
    {0x08, 51},   // backspace
    {0x09, 48},   // tab
    {0x0D, 36},   // return
    {0x1B, 53},   // escape
    {0x20, 49},   // space
    {0x21, 116},  // page up
    {0x22, 121},  // page down
    {0x23, 119},  // end
    {0x24, 115},  // home
    {0x25, 123},  // left arrow
    {0x26, 126},  // up arrow
    {0x27, 124},  // right arrow
    {0x28, 125},  // down arrow
    {0x2E, 117},  // forward delete
    {0x6A, 67},   // keypad *
    {0x6B, 69},   // keypad +
    {0x6D, 78},   // keypad -
    {0x6E, 65},   // keypad .
    {0x6F, 75},   // keypad /
    {0xBA, 41},   // ;
    {0xBB, 24},   // =
    {0xBC, 43},   // ,
    {0xBD, 27},   // -
    {0xBE, 47},   // .
    {0xBF, 44},   // /
    {0xC0, 50},   // `
    {0xDB, 33},   // [
    {0xDC, 42},   // backslash
    {0xDD, 30},   // ]
    {0xDE, 39},   // '
    {0x10, 56},   // shift (either side)
    {0xA0, 56},   // left shift
    {0xA1, 60},   // right shift
    {0x11, 59},   // control (either side)
    {0xA2, 59},   // left control
    {0xA3, 62},   // right control
    {0x12, 58},   // alt (either side)
    {0xA4, 58},   // left alt
    {0xA5, 61},   // right alt
    {0x5B, 55},   // left logo key: Command
    {0x5C, 54},   // right logo key: right Command
    {0x14, 57},   // caps lock
}};

template <std::size_t N>
void addRun(std::unordered_map<std::int64_t, std::uint16_t>& table, std::int64_t firstVK,
            const std::array<std::uint16_t, N>& codes) {
  for (std::size_t i = 0; i < N; ++i) table.emplace(firstVK + static_cast<std::int64_t>(i), codes[i]);
}

const std::unordered_map<std::int64_t, std::uint16_t>& table() {
  static const auto built = [] {
    std::unordered_map<std::int64_t, std::uint16_t> t;
    addRun(t, 0x41, LETTERS);
    addRun(t, 0x30, DIGITS);
    addRun(t, 0x70, FUNCTION_KEYS);
    addRun(t, 0x60, KEYPAD_DIGITS);
    for (const Entry& e : SINGLE_KEYS) t.emplace(e.vk, e.keycode);
    return t;
  }();
  return built;
}

}  // namespace

std::optional<std::uint16_t> keycode(std::int64_t vk) {
  const auto& t = table();
  auto it = t.find(vk);
  if (it == t.end()) return std::nullopt;
  return it->second;
}

const std::map<std::int64_t, std::uint64_t>& modifierFlags() {
  static const std::map<std::int64_t, std::uint64_t> flags{
      {0x10, SHIFT_MASK},   {0xA0, SHIFT_MASK},       {0xA1, SHIFT_MASK},
      {0x11, CONTROL_MASK}, {0xA2, CONTROL_MASK},     {0xA3, CONTROL_MASK},
      {0x12, ALTERNATE_MASK}, {0xA4, ALTERNATE_MASK}, {0xA5, ALTERNATE_MASK},
      {0x5B, COMMAND_MASK}, {0x5C, COMMAND_MASK},     {0x14, ALPHA_SHIFT_MASK},
  };
  return flags;
}

bool isModifier(std::int64_t vk) { return modifierFlags().count(vk) != 0; }

std::optional<std::uint64_t> modifierFlag(std::int64_t vk) {
  const auto& flags = modifierFlags();
  auto it = flags.find(vk);
  if (it == flags.end()) return std::nullopt;
  return it->second;
}

}  // namespace cvl::KeyMap
