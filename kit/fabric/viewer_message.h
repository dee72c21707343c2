#pragma once
// Reading viewers' JSON application messages: the value rules every key is read with, and the
// mapping of JSON input messages to InputEvent. Stateless; any thread.
//
// Value rules (a key that is missing, or has another JSON type, counts as missing):
//   integer  a JSON number (a fraction is dropped toward zero) or a string of decimal digits
//            with an optional leading "+" or "-"; values beyond 64 bits saturate
//   number   a JSON number
//   boolean  true or false, or a JSON number (non-zero is true); anything else is false
//   string   a JSON string

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kit/input/input_event.h"

namespace cvl::ViewerMessage {

std::optional<int64_t> integer(const nlohmann::json& message, std::string_view key);
std::optional<double> number(const nlohmann::json& message, std::string_view key);
bool boolean(const nlohmann::json& message, std::string_view key);
std::optional<std::string> string(const nlohmann::json& message, std::string_view key);

// The message's "type" when it is a string, else the empty string (which matches nothing).
std::string type(const nlohmann::json& message);

// The input kind of a JSON input message's type ("move", "movedirect", "button", "wheel",
// "keyvk", "keyunicode"); absent for every other type, the other input kinds included.
std::optional<InputKind> inputKind(std::string_view type);

// The InputEvent of a JSON input message: the kind its "type" names, channel 0, no seq or t,
// and only the fields of that type set ("x"/"y", "button"/"down", "delta", "vk"/"down",
// "code"/"down"). x, y and delta outside the signed 32-bit range are clamped to it. Absent
// when the message's type is not a JSON input type.
std::optional<InputEvent> inputEvent(const nlohmann::json& message);

}  // namespace cvl::ViewerMessage
