#include "kit/fabric/viewer_message.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace cvl::ViewerMessage {

namespace {

using json = nlohmann::json;

const json* find(const json& message, std::string_view key) {
  if (!message.is_object()) return nullptr;
  auto it = message.find(key);
  return it == message.end() ? nullptr : &*it;
}

int64_t saturate(double value) {
  // 2^63 is exactly representable; everything at or beyond it saturates.
  constexpr double TWO_TO_THE_63 = 9223372036854775808.0;
  if (value >= TWO_TO_THE_63) return std::numeric_limits<int64_t>::max();
  if (value <= -TWO_TO_THE_63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);  // truncates toward zero
}

std::optional<int64_t> parseDecimal(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  // Accumulate as a negative number so that INT64_MIN fits.
  int64_t value = 0;
  bool saturated = false;
  constexpr int64_t MIN_VALUE = std::numeric_limits<int64_t>::min();
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (saturated) continue;
    if (value < (MIN_VALUE + digit) / 10) {
      saturated = true;
      continue;
    }
    value = value * 10 - digit;
  }
  if (saturated) return negative ? MIN_VALUE : std::numeric_limits<int64_t>::max();
  if (negative) return value;
  return value == MIN_VALUE ? std::numeric_limits<int64_t>::max() : -value;
}

int32_t clamp32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace

std::optional<int64_t> integer(const json& message, std::string_view key) {
  const json* value = find(message, key);
  if (!value) return std::nullopt;
  if (value->is_number_integer()) {
    if (value->is_number_unsigned()) {
      auto u = value->get<uint64_t>();
      return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                 ? std::numeric_limits<int64_t>::max()
                 : static_cast<int64_t>(u);
    }
    return value->get<int64_t>();
  }
  if (value->is_number_float()) {
    double d = value->get<double>();
    if (std::isnan(d)) return std::nullopt;
    return saturate(d);
  }
  if (value->is_string()) return parseDecimal(value->get_ref<const std::string&>());
  return std::nullopt;
}

std::optional<double> number(const json& message, std::string_view key) {
  const json* value = find(message, key);
  if (!value || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

bool boolean(const json& message, std::string_view key) {
  const json* value = find(message, key);
  if (!value) return false;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number_integer()) {
    return value->is_number_unsigned() ? value->get<uint64_t>() != 0
                                       : value->get<int64_t>() != 0;
  }
  if (value->is_number_float()) return value->get<double>() != 0.0;
  return false;
}

std::optional<std::string> string(const json& message, std::string_view key) {
  const json* value = find(message, key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::string type(const json& message) { return string(message, "type").value_or(""); }

std::optional<InputKind> inputKind(std::string_view type) {
  auto kind = inputKindNamed(type);
  if (!kind) return std::nullopt;
  switch (*kind) {
    case InputKind::move:
    case InputKind::moveDirect:
    case InputKind::button:
    case InputKind::wheel:
    case InputKind::keyVk:
    case InputKind::keyUnicode:
      return kind;
    case InputKind::axis:
    case InputKind::padButton:
    case InputKind::snapshot:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<InputEvent> inputEvent(const json& message) {
  auto kind = inputKind(type(message));
  if (!kind) return std::nullopt;
  InputEvent event(*kind);
  switch (*kind) {
    case InputKind::move:
    case InputKind::moveDirect:
      event.x = clamp32(integer(message, "x").value_or(0));
      event.y = clamp32(integer(message, "y").value_or(0));
      break;
    case InputKind::button:
      event.button = string(message, "button").value_or("");
      event.down = boolean(message, "down");
      break;
    case InputKind::wheel:
      event.delta = clamp32(integer(message, "delta").value_or(0));
      break;
    case InputKind::keyVk:
      event.vk = integer(message, "vk").value_or(0);
      event.down = boolean(message, "down");
      break;
    case InputKind::keyUnicode:
      event.code = integer(message, "code").value_or(0);
      event.down = boolean(message, "down");
      break;
    default:
      break;
  }
  return event;
}

}  // namespace cvl::ViewerMessage
