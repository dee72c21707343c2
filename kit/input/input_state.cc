#include "kit/input/input_state.h"

#include <tuple>

namespace cvl {
namespace {

int buttonRank(const std::string& name) {
  const auto id = buttonId(name);
  return id ? *id : 0x100;
}

template <typename Set>
void setHeld(Set& set, const typename Set::key_type& value, bool down) {
  if (down) {
    set.insert(value);
  } else {
    set.erase(value);
  }
}

// Appends make(v, false) for values held but not wanted, then make(v, true) for values wanted
// but not held, both in the sets' order.
template <typename Set, typename Make>
void reconcile(const Set& held, const Set& wanted, Make make, std::vector<InputEvent>& out) {
  for (const auto& v : held) {
    if (!wanted.count(v)) out.push_back(make(v, false));
  }
  for (const auto& v : wanted) {
    if (!held.count(v)) out.push_back(make(v, true));
  }
}

}  // namespace

bool ButtonOrder::operator()(const std::string& a, const std::string& b) const {
  return std::forward_as_tuple(buttonRank(a), a) < std::forward_as_tuple(buttonRank(b), b);
}

std::optional<InputEvent> InputState::apply(const InputEvent& event) {
  switch (event.kind) {
    case InputKind::move:
    case InputKind::moveDirect:
      x = event.x;
      y = event.y;
      return event;
    case InputKind::button:
      setHeld(buttons, event.button, event.down);
      return event;
    case InputKind::keyVk:
      setHeld(keys, event.vk, event.down);
      return event;
    case InputKind::keyUnicode:
      setHeld(chars, event.code, event.down);
      return event;
    case InputKind::wheel:
      return event;
    case InputKind::axis:
    case InputKind::padButton:
    case InputKind::snapshot:
      return std::nullopt;
  }
  return std::nullopt;
}

std::vector<InputEvent> InputState::releaseAll() {
  std::vector<InputEvent> out;
  out.reserve(buttons.size() + keys.size() + chars.size());
  for (const std::string& name : buttons) out.push_back(InputEvent::ofButton(name, false));
  for (std::int64_t vk : keys) out.push_back(InputEvent::ofKey(vk, false));
  for (std::int64_t code : chars) out.push_back(InputEvent::ofCharacter(code, false));
  buttons.clear();
  keys.clear();
  chars.clear();
  return out;
}

std::vector<InputEvent> applySnapshot(InputState& state, const InputEvent& snapshot) {
  ButtonSet wantedButtons(snapshot.buttons.begin(), snapshot.buttons.end());
  std::set<std::int64_t> wantedKeys(snapshot.keys.begin(), snapshot.keys.end());
  std::set<std::int64_t> wantedChars(snapshot.chars.begin(), snapshot.chars.end());

  std::vector<InputEvent> out;
  reconcile(state.buttons, wantedButtons, InputEvent::ofButton, out);
  reconcile(state.keys, wantedKeys, InputEvent::ofKey, out);
  reconcile(state.chars, wantedChars, InputEvent::ofCharacter, out);

  state.buttons = std::move(wantedButtons);
  state.keys = std::move(wantedKeys);
  state.chars = std::move(wantedChars);
  state.x = snapshot.x;
  state.y = snapshot.y;
  return out;
}

}  // namespace cvl
