#pragma once
// InputEvent: the one value type of a decoded remote-input event, whether it came from a binary
// input frame (input_decoder.h) or from a viewer's JSON message. Its kind is decided once, where
// the event comes in, as an InputKind; every input stage after that (held state, receiver,
// injector) switches on the enumeration. Plain value; any thread.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cvl {

// First two bytes of every binary input frame.
inline constexpr std::uint8_t INPUT_MAGIC = 0xAE;
inline constexpr std::uint8_t INPUT_PROTOCOL_VERSION = 1;

// The channel byte of a frame; it picks the ordering discipline in the receiver.
enum class InputChannel : std::uint8_t {
  state = 0,     // newest frame wins, older ones are dropped
  events = 1,    // applied strictly in sequence order, gaps waited for
  snapshot = 2,  // the channel of every decoded snapshot
};

// Absent for raw values outside the enumeration (3 and above, or negative).
std::optional<InputChannel> inputChannelFromRaw(std::int64_t raw);

enum class InputKind : std::uint8_t {
  move,
  moveDirect,
  axis,        // gamepad
  button,
  wheel,
  keyVk,
  keyUnicode,
  padButton,   // gamepad
  snapshot,
};

// The kind's name as binary-frame tools and JSON messages spell it: "move", "movedirect",
// "axis", "button", "wheel", "keyvk", "keyunicode", "padbutton", "snapshot".
std::string_view inputKindName(InputKind kind);
// The kind that `name` spells exactly; absent for any other text.
std::optional<InputKind> inputKindNamed(std::string_view name);

// Mouse button ids of the binary frames and their names, in id order. This order is also the
// order in which held buttons are listed and released (see input_state.h).
inline constexpr std::array<std::pair<std::uint8_t, std::string_view>, 5> BUTTON_NAMES{{
    {1, "left"},
    {2, "right"},
    {3, "middle"},
    {4, "x1"},
    {5, "x2"},
}};

// The name of a button id, absent for ids without a name.
std::optional<std::string_view> buttonName(std::int64_t id);
// The id of a button name, absent for names outside BUTTON_NAMES.
std::optional<std::uint8_t> buttonId(std::string_view name);

struct InputEvent {
  InputKind kind = InputKind::move;
  // The frame's channel byte as it came (see InputChannel); 0 for events built in the host.
  std::int64_t channel = 0;
  std::optional<std::uint32_t> seq;
  // The sender's 48-bit clock; carried along, never interpreted by the host.
  std::optional<std::uint64_t> t;
  // Pointer position in pixels of the frame the viewer is shown.
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::string button;          // a name from BUTTON_NAMES
  std::int64_t padButton = 0;  // gamepad button number
  std::int64_t code = 0;       // Unicode scalar value of a typed character
  bool down = false;
  std::int32_t delta = 0;  // wheel movement, 120 per notch
  std::int64_t vk = 0;     // virtual-key code (key_map.h numbering)
  std::int64_t pad = 0;    // gamepad index
  std::int64_t axis = 0;   // gamepad axis index
  float value = 0.0f;      // gamepad axis value
  // Snapshot only: the last sequence number covered, and what the viewer holds down.
  std::uint32_t upto = 0;
  std::vector<std::string> buttons;
  std::vector<std::int64_t> keys;
  std::vector<std::int64_t> chars;

  InputEvent() = default;
  explicit InputEvent(InputKind k) : kind(k) {}

  // A press (`down`) or release of held input, as the host builds it (channel 0, no number):
  // a button by its BUTTON_NAMES name, a virtual key, a typed character.
  static InputEvent ofButton(std::string name, bool down);
  static InputEvent ofKey(std::int64_t vk, bool down);
  static InputEvent ofCharacter(std::int64_t code, bool down);

  bool operator==(const InputEvent&) const = default;
};

// One line describing the event (type plus the fields that differ from their defaults), for
// test failures and tools. Not for the host's log: key and character events may be someone
// typing a password.
std::ostream& operator<<(std::ostream& out, const InputEvent& event);

}  // namespace cvl
