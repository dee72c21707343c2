#pragma once
// One line of a cvlview script, read from standard input:
//
//   send {"type":"monitors"}          any application message, sealed as JSON text
//   state {"type":"move","x":5,"y":9} a binary input frame on the state channel
//   event {"type":"keyvk","vk":0,"down":true}   ... on the events channel
//   snapshot {"x":0,"y":0,"buttons":["left"],"keys":[56],"chars":[]}
//   sealed <hex>                      any plaintext, sealed as it is (kind byte first)
//   raw <hex>                         any client message, unsealed
//   wait <type> [ms]                  wait for a host message of that type since the last
//                                     send ("keyed" for the key agreement; default 10 s)
//   sleep <ms>
//   quit
//
// Blank lines and lines starting with "#" are skipped. Parsing only; no state.

#include <chrono>
#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

#include "kit/base/bytes.h"
#include "kit/input/input_event.h"

namespace cvl::view {

struct SendJson {
  nlohmann::json message;
};
struct SendInput {
  enum class Channel { state, events, snapshot } channel;
  InputEvent event;
};
struct SendSealed {
  Bytes plaintext;
};
struct SendRaw {
  Bytes message;
};
struct Wait {
  std::string type;
  std::chrono::milliseconds timeout{10000};
};
struct Sleep {
  std::chrono::milliseconds duration{0};
};
struct Quit {};
struct Skip {};

using ScriptCommand = std::variant<SendJson, SendInput, SendSealed, SendRaw, Wait, Sleep, Quit, Skip>;

// The command of one line, or an error message.
std::variant<ScriptCommand, std::string> parseScriptLine(const std::string& line);

// An input event from its JSON form: "type" and the fields of InputEvent by name.
// Absent when "type" names no input kind.
std::optional<InputEvent> inputEventFromJson(const nlohmann::json& object);

}  // namespace cvl::view
