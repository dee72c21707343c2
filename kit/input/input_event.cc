#include "kit/input/input_event.h"

#include <ostream>

namespace cvl {

InputEvent InputEvent::ofButton(std::string name, bool down) {
  InputEvent event(InputKind::button);
  event.button = std::move(name);
  event.down = down;
  return event;
}

InputEvent InputEvent::ofKey(std::int64_t vk, bool down) {
  InputEvent event(InputKind::keyVk);
  event.vk = vk;
  event.down = down;
  return event;
}

InputEvent InputEvent::ofCharacter(std::int64_t code, bool down) {
  InputEvent event(InputKind::keyUnicode);
  event.code = code;
  event.down = down;
  return event;
}

std::optional<InputChannel> inputChannelFromRaw(std::int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<InputChannel>(raw);
}

namespace {

constexpr std::pair<InputKind, std::string_view> KIND_NAMES[] = {
    {InputKind::move, "move"},           {InputKind::moveDirect, "movedirect"},
    {InputKind::axis, "axis"},           {InputKind::button, "button"},
    {InputKind::wheel, "wheel"},         {InputKind::keyVk, "keyvk"},
    {InputKind::keyUnicode, "keyunicode"}, {InputKind::padButton, "padbutton"},
    {InputKind::snapshot, "snapshot"},
};

}  // namespace

std::string_view inputKindName(InputKind kind) {
  for (const auto& [k, name] : KIND_NAMES) {
    if (k == kind) return name;
  }
  return "?";
}

std::optional<InputKind> inputKindNamed(std::string_view name) {
  for (const auto& [k, kindName] : KIND_NAMES) {
    if (kindName == name) return k;
  }
  return std::nullopt;
}

std::optional<std::string_view> buttonName(std::int64_t id) {
  for (const auto& [buttonIdValue, name] : BUTTON_NAMES) {
    if (buttonIdValue == id) return name;
  }
  return std::nullopt;
}

std::optional<std::uint8_t> buttonId(std::string_view name) {
  for (const auto& [id, buttonNameValue] : BUTTON_NAMES) {
    if (buttonNameValue == name) return id;
  }
  return std::nullopt;
}

namespace {

template <typename T>
void printList(std::ostream& out, const char* label, const std::vector<T>& values) {
  if (values.empty()) return;
  out << ' ' << label << "=[";
  for (std::size_t i = 0; i < values.size(); ++i) out << (i ? "," : "") << values[i];
  out << ']';
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const InputEvent& event) {
  const InputEvent defaults;
  out << '"' << inputKindName(event.kind) << '"';
  if (event.channel != 0) out << " channel=" << event.channel;
  if (event.seq) out << " seq=" << *event.seq;
  if (event.t) out << " t=" << *event.t;
  if (event.x != 0 || event.y != 0) out << " x=" << event.x << " y=" << event.y;
  if (!event.button.empty()) out << " button=" << event.button;
  if (event.padButton != 0) out << " padButton=" << event.padButton;
  if (event.code != 0) out << " code=" << event.code;
  if (event.down) out << " down";
  if (event.delta != 0) out << " delta=" << event.delta;
  if (event.vk != 0) out << " vk=" << event.vk;
  if (event.pad != 0) out << " pad=" << event.pad;
  if (event.axis != 0) out << " axis=" << event.axis;
  if (event.value != defaults.value) out << " value=" << event.value;
  if (event.upto != 0) out << " upto=" << event.upto;
  printList(out, "buttons", event.buttons);
  printList(out, "keys", event.keys);
  printList(out, "chars", event.chars);
  return out;
}

}  // namespace cvl
