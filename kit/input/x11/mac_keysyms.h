#pragma once
// The X keysyms that stand for Mac virtual key codes and for typed characters, used by the
// X11 event poster. Constant tables; any thread.

#include <cstdint>
#include <optional>

namespace cvl::x11 {

// The keysym of the key a Mac virtual key code names (the US layout's unshifted symbol for
// character keys), absent for codes the table does not cover.
std::optional<std::uint32_t> keysymForMacKeyCode(std::uint16_t keyCode);

// The keysym that types one Unicode scalar value: Latin-1 printable characters are their own
// keysyms, everything else is 0x01000000 + the code point; backspace, tab, line feed and
// carriage return, escape and delete become their function keysyms. Absent for the other
// control characters, surrogates and values outside Unicode.
std::optional<std::uint32_t> keysymForCodePoint(std::uint32_t codePoint);

}  // namespace cvl::x11
