#include "tools/view/script_command.h"

#include <cctype>

#include "kit/fabric/viewer_message.h"

namespace cvl::view {

namespace {

using nlohmann::json;

std::optional<Bytes> parseHex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

std::vector<int64_t> integers(const json& object, const char* key) {
  std::vector<int64_t> out;
  if (!object.contains(key) || !object[key].is_array()) return out;
  for (const auto& v : object[key]) {
    if (v.is_number()) out.push_back(v.get<int64_t>());
  }
  return out;
}

}  // namespace

std::optional<InputEvent> inputEventFromJson(const json& object) {
  namespace VM = ViewerMessage;
  auto kind = inputKindNamed(VM::type(object));
  if (!kind) return std::nullopt;
  InputEvent event(*kind);
  event.x = static_cast<int32_t>(VM::integer(object, "x").value_or(0));
  event.y = static_cast<int32_t>(VM::integer(object, "y").value_or(0));
  event.button = VM::string(object, "button").value_or("");
  event.padButton = VM::integer(object, "padButton").value_or(0);
  event.code = VM::integer(object, "code").value_or(0);
  event.down = VM::boolean(object, "down");
  event.delta = static_cast<int32_t>(VM::integer(object, "delta").value_or(0));
  event.vk = VM::integer(object, "vk").value_or(0);
  event.pad = VM::integer(object, "pad").value_or(0);
  event.axis = VM::integer(object, "axis").value_or(0);
  event.value = static_cast<float>(VM::number(object, "value").value_or(0.0));
  if (auto seq = VM::integer(object, "seq")) event.seq = static_cast<uint32_t>(*seq);
  if (object.contains("buttons") && object["buttons"].is_array()) {
    for (const auto& b : object["buttons"]) {
      if (b.is_string()) event.buttons.push_back(b.get<std::string>());
    }
  }
  event.keys = integers(object, "keys");
  event.chars = integers(object, "chars");
  return event;
}

std::variant<ScriptCommand, std::string> parseScriptLine(const std::string& line) {
  size_t start = line.find_first_not_of(" \t\r");
  if (start == std::string::npos || line[start] == '#') return Skip{};
  size_t end = line.find_first_of(" \t", start);
  std::string verb = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::string rest = end == std::string::npos ? "" : line.substr(end + 1);
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();

  if (verb == "quit") return Quit{};
  if (verb == "sleep" || verb == "wait") {
    std::string type;
    long ms = verb == "wait" ? 10000 : 0;
    size_t split = rest.find_first_not_of(' ');
    rest = split == std::string::npos ? "" : rest.substr(split);
    if (verb == "wait") {
      size_t space = rest.find(' ');
      type = rest.substr(0, space);
      if (type.empty()) return std::string("wait needs a message type");
      if (space != std::string::npos) rest = rest.substr(space + 1);
      else rest.clear();
    }
    if (!rest.empty()) {
      try {
        ms = std::stol(rest);
      } catch (...) {
        return "not a number of milliseconds: " + rest;
      }
    } else if (verb == "sleep") {
      return std::string("sleep needs milliseconds");
    }
    if (verb == "sleep") return Sleep{std::chrono::milliseconds(ms)};
    return Wait{type, std::chrono::milliseconds(ms)};
  }
  if (verb == "sealed" || verb == "raw") {
    auto bytes = parseHex(rest);
    if (!bytes) return "not hexadecimal bytes: " + rest;
    if (verb == "sealed") return SendSealed{*bytes};
    return SendRaw{*bytes};
  }
  json object = json::parse(rest, nullptr, false);
  if (!object.is_object()) return verb + " needs a JSON object";
  if (verb == "send") return SendJson{object};
  if (verb == "state" || verb == "event" || verb == "snapshot") {
    if (verb == "snapshot" && !object.contains("type")) object["type"] = "snapshot";
    auto event = inputEventFromJson(object);
    if (!event) return verb + " needs an input \"type\": " + ViewerMessage::type(object);
    if (verb == "state") return SendInput{SendInput::Channel::state, *event};
    if (verb == "event") return SendInput{SendInput::Channel::events, *event};
    event->kind = InputKind::snapshot;
    return SendInput{SendInput::Channel::snapshot, *event};
  }
  return "unknown command: " + verb;
}

}  // namespace cvl::view
