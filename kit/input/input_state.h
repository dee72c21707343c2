#pragma once
// InputState: what the controlling viewer currently holds down (mouse buttons, virtual keys,
// typed characters) and where its pointer last was. Every event updates it, a snapshot is
// reconciled against it, and releasing everything empties it so nothing stays stuck. Owned by
// the Receiver; not locked: the receiver's callers serialise all access.

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kit/input/input_event.h"

namespace cvl {

// The eight sided modifier VKs: left/right shift, control, alt, then left/right logo key.
inline constexpr std::array<std::int64_t, 8> MODIFIER_VKS{0xA0, 0xA1, 0xA2, 0xA3,
                                                          0xA4, 0xA5, 0x5B, 0x5C};

// Held buttons are listed (and released) in BUTTON_NAMES order: left, right, middle, x1, x2;
// names outside that table, which only JSON input can bring, follow in text order.
struct ButtonOrder {
  bool operator()(const std::string& a, const std::string& b) const;
};
using ButtonSet = std::set<std::string, ButtonOrder>;

class InputState {
 public:
  std::int32_t x = 0;
  std::int32_t y = 0;
  ButtonSet buttons;
  std::set<std::int64_t> keys;   // ascending
  std::set<std::int64_t> chars;  // ascending

  // Records `event` and returns it to be injected; absent for kinds that are never injected
  // (gamepad events, snapshots). Presses of held things and releases of things
  // not held pass through unchanged.
  std::optional<InputEvent> apply(const InputEvent& event);

  // Release events for everything held (buttons, then keys ascending, then characters
  // ascending) and empties the sets; the pointer position stays.
  std::vector<InputEvent> releaseAll();
};

// The presses and releases that bring the host in line with `snapshot`, in this order: buttons
// released, buttons pressed, keys released, keys pressed, characters released, characters
// pressed (each group in its set's order; duplicates in the snapshot collapse). Then the state
// is replaced by the snapshot's content and position. No move is emitted for the position.
std::vector<InputEvent> applySnapshot(InputState& state, const InputEvent& snapshot);

}  // namespace cvl
