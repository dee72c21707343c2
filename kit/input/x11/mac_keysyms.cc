#include "kit/input/x11/mac_keysyms.h"

#include <X11/keysym.h>

#include <array>
#include <utility>

namespace cvl::x11 {
namespace {

// Mac virtual key code -> keysym. The Mac codes are positions on the ANSI keyboard; the keysym
// is what that position carries on a US keyboard without modifiers.
constexpr std::array<std::pair<std::uint16_t, std::uint32_t>, 97> TABLE{{
    // letters
    {0, XK_a}, {11, XK_b}, {8, XK_c}, {2, XK_d}, {14, XK_e}, {3, XK_f}, {5, XK_g},
    {4, XK_h}, {34, XK_i}, {38, XK_j}, {40, XK_k}, {37, XK_l}, {46, XK_m}, {45, XK_n},
    {31, XK_o}, {35, XK_p}, {12, XK_q}, {15, XK_r}, {1, XK_s}, {17, XK_t}, {32, XK_u},
    {9, XK_v}, {13, XK_w}, {7, XK_x}, {16, XK_y}, {6, XK_z},
    // digits
    {29, XK_0}, {18, XK_1}, {19, XK_2}, {20, XK_3}, {21, XK_4}, {23, XK_5}, {22, XK_6},
    {26, XK_7}, {28, XK_8}, {25, XK_9},
    // function keys
    {122, XK_F1}, {120, XK_F2}, {99, XK_F3}, {118, XK_F4}, {96, XK_F5}, {97, XK_F6},
    {98, XK_F7}, {100, XK_F8}, {101, XK_F9}, {109, XK_F10}, {103, XK_F11}, {111, XK_F12},
    // numeric keypad
    {82, XK_KP_0}, {83, XK_KP_1}, {84, XK_KP_2}, {85, XK_KP_3}, {86, XK_KP_4}, {87, XK_KP_5},
    {88, XK_KP_6}, {89, XK_KP_7}, {91, XK_KP_8}, {92, XK_KP_9}, {67, XK_KP_Multiply},
    {69, XK_KP_Add}, {78, XK_KP_Subtract}, {65, XK_KP_Decimal}, {75, XK_KP_Divide},
    // editing and navigation
    {51, XK_BackSpace}, {48, XK_Tab}, {36, XK_Return}, {53, XK_Escape}, {49, XK_space},
    {116, XK_Prior}, {121, XK_Next}, {119, XK_End}, {115, XK_Home}, {123, XK_Left},
    {126, XK_Up}, {124, XK_Right}, {125, XK_Down}, {117, XK_Delete},
    // punctuation
    {41, XK_semicolon}, {24, XK_equal}, {43, XK_comma}, {27, XK_minus}, {47, XK_period},
    {44, XK_slash}, {50, XK_grave}, {33, XK_bracketleft}, {42, XK_backslash},
    {30, XK_bracketright}, {39, XK_apostrophe},
    // modifiers: Command is the logo key
    {56, XK_Shift_L}, {60, XK_Shift_R}, {59, XK_Control_L}, {62, XK_Control_R},
    {58, XK_Alt_L}, {61, XK_Alt_R}, {55, XK_Super_L}, {54, XK_Super_R}, {57, XK_Caps_Lock},
}};

}  // namespace

std::optional<std::uint32_t> keysymForMacKeyCode(std::uint16_t keyCode) {
  for (const auto& [code, keysym] : TABLE) {
    if (code == keyCode) return keysym;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> keysymForCodePoint(std::uint32_t codePoint) {
  switch (codePoint) {
    case 0x08: return XK_BackSpace;
    case 0x09: return XK_Tab;
    case 0x0A:
    case 0x0D: return XK_Return;
    case 0x1B: return XK_Escape;
    case 0x7F: return XK_Delete;
    default: break;
  }
  if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0)) return std::nullopt;
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return std::nullopt;
  if (codePoint > 0x10FFFF) return std::nullopt;
  if (codePoint <= 0xFF) return codePoint;
  return 0x01000000u + codePoint;
}

}  // namespace cvl::x11
