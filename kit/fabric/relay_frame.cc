#include "kit/fabric/relay_frame.h"

#include <cmath>

namespace cvl {

namespace {

// 2^32, to take the low 32 bits of a JSON number.
constexpr double TWO_TO_THE_32 = 4294967296.0;

std::optional<std::string> stringField(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

Bytes frameToClient(uint32_t clientId, uint8_t tag, std::span<const uint8_t> body) {
  Bytes out;
  out.reserve(DATA_FRAME_HEADER_SIZE + 1 + body.size());  // header, tag, body
  out.push_back(RelayOp::dataBin);
  appendU32BE(out, clientId);
  out.push_back(tag);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

uint32_t readU32BE(std::span<const uint8_t> data, size_t offset) {
  return uint32_t{data[offset]} << 24 | uint32_t{data[offset + 1]} << 16 |
         uint32_t{data[offset + 2]} << 8 | uint32_t{data[offset + 3]};
}

void appendU32BE(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

std::optional<RelayMessage> classifyRelayMessage(std::span<const uint8_t> message) {
  if (message.empty()) return std::nullopt;
  switch (message[0] & RELAY_OP_MASK) {
    case RelayOp::control: {
      auto parsed = nlohmann::json::parse(message.begin() + 1, message.end(), nullptr,
                                          /*allow_exceptions=*/false);
      if (!parsed.is_object()) return std::nullopt;
      return ControlMessage{std::move(parsed)};
    }
    case RelayOp::dataBin:
    case RelayOp::dataTxt:
      if (message.size() < DATA_FRAME_HEADER_SIZE) return std::nullopt;
      return ClientMessage{readU32BE(message, 1),
                           Bytes(message.begin() + DATA_FRAME_HEADER_SIZE, message.end())};
    default:
      return std::nullopt;
  }
}

std::optional<RelayMessage> classifyRelayMessage(std::string_view textMessage) {
  return classifyRelayMessage(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(textMessage.data()), textMessage.size()));
}

std::optional<uint32_t> relayClientId(const nlohmann::json& value) {
  if (value.is_number_unsigned()) return static_cast<uint32_t>(value.get<uint64_t>());
  if (value.is_number_integer()) return static_cast<uint32_t>(value.get<int64_t>());
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d) return std::nullopt;
    // fmod is exact, so this is the low 32 bits of any integral double, however large.
    double low = std::fmod(d, TWO_TO_THE_32);
    if (low < 0) low += TWO_TO_THE_32;
    return static_cast<uint32_t>(low);
  }
  return std::nullopt;
}

std::optional<RelayControl> decodeRelayControl(const nlohmann::json& object) {
  if (!object.is_object()) return std::nullopt;
  auto name = stringField(object, "t");
  if (!name) return std::nullopt;
  if (*name == "replaced") return Replaced{};
  if (*name != "client-join" && *name != "client-leave") return std::nullopt;
  auto idField = object.find("clientId");
  if (idField == object.end()) return std::nullopt;
  auto id = relayClientId(*idField);
  if (!id) return std::nullopt;
  if (*name == "client-join") {
    return ClientJoin{*id, stringField(object, "role").value_or("viewer")};
  }
  return ClientLeave{*id, stringField(object, "reason").value_or("left")};
}

Bytes dataFrame(uint32_t clientId, std::span<const uint8_t> clientMessage, uint8_t op) {
  Bytes out;
  out.reserve(clientMessage.size() + DATA_FRAME_HEADER_SIZE);
  out.push_back(op);
  appendU32BE(out, clientId);
  out.insert(out.end(), clientMessage.begin(), clientMessage.end());
  return out;
}

Bytes clientMessage(uint8_t tag, std::span<const uint8_t> body) {
  Bytes out;
  out.reserve(body.size() + 1);
  out.push_back(tag);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes controlFrame(const nlohmann::json& object) {
  // Replacing bad UTF-8 keeps a relay from throwing on a string it was handed from elsewhere.
  std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  Bytes out;
  out.reserve(text.size() + 1);
  out.push_back(RelayOp::control);
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

nlohmann::json clientJoinControl(uint32_t clientId, std::string_view role) {
  return {{"t", "client-join"}, {"clientId", clientId}, {"role", role}};
}

nlohmann::json clientLeaveControl(uint32_t clientId, std::string_view reason) {
  return {{"t", "client-leave"}, {"clientId", clientId}, {"reason", reason}};
}

nlohmann::json replacedControl() { return {{"t", "replaced"}}; }

}  // namespace cvl
