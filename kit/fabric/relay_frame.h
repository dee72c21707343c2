#pragma once
// The byte layout of one WebSocket message between the relay and the host, in both directions.
//
// Stateless helpers: any thread may call them. They are used by the fabric client (host side)
// and by the reference relay (tools/relay), which builds what the host receives and reads what
// the host sends with the same functions.
//
// Relay frame (one WebSocket message; integers big-endian):
//
//   +--------+----------------------------------------------+
//   | op (1) | rest, by operation                           |
//   +--------+----------------------------------------------+
//   op: low four bits = RelayOp code, high bit = RelayOp::droppable; bits 4..6 are ignored.
//
//   control (0):            | 00 | JSON object, UTF-8 ...                  |
//   dataBin (1), dataTxt (2) | 01 | client id (4) | client message ...     |  (>= 5 bytes)
//
// Client message (the payload of a data frame):  | tag (1) | body ... |
//   FabricTag::hello:  body = 32-byte raw X25519 public key
//   FabricTag::sealed: body = one encoded envelope (8-byte counter, ciphertext, 16-byte tag)
//
// Sealed content (the plaintext inside an envelope):  | kind (1) | content ... |
//   FabricKind::text: one JSON object in UTF-8;  FabricKind::bin: one binary input frame.
//   A received kind other than bin is read as JSON text.
//
// Example: the host sending encoded envelope E to client 7 sends  01 00 00 00 07 02 E...

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "kit/base/bytes.h"

namespace cvl {

namespace RelayOp {
inline constexpr uint8_t control = 0;    // relay <-> host, JSON object
inline constexpr uint8_t dataBin = 1;    // to or from one client, binary payload
inline constexpr uint8_t dataTxt = 2;    // to or from one client, text payload
inline constexpr uint8_t bcastBin = 3;   // broadcast to all clients, binary payload
inline constexpr uint8_t bcastTxt = 4;   // broadcast to all clients, text payload
inline constexpr uint8_t droppable = 0x80;  // flag: the relay may drop this message
}  // namespace RelayOp

// The bits of the first byte that select the operation.
inline constexpr uint8_t RELAY_OP_MASK = 0x0F;
// A data frame's op byte and client id, before the client message.
inline constexpr size_t DATA_FRAME_HEADER_SIZE = 5;

namespace FabricTag {
inline constexpr uint8_t hello = 1;   // key agreement public key
inline constexpr uint8_t sealed = 2;  // sealed envelope
}  // namespace FabricTag

namespace FabricKind {
inline constexpr uint8_t text = 0;  // JSON application message
inline constexpr uint8_t bin = 1;   // binary input frame
}  // namespace FabricKind

// The dataBin frame 01, clientId (4 bytes BE), tag, body; length body.size() + 6.
Bytes frameToClient(uint32_t clientId, uint8_t tag, std::span<const uint8_t> body);

// The four bytes at offset..offset+3, most significant first. The caller guarantees they exist.
uint32_t readU32BE(std::span<const uint8_t> data, size_t offset);

// Appends `value` as four bytes, most significant first.
void appendU32BE(Bytes& out, uint32_t value);

// ---- Classifying a received WebSocket message ----

// A control message: always a JSON object.
struct ControlMessage {
  nlohmann::json object;
};

// A data frame (dataBin or dataTxt alike): the client id and the client message, which may be
// empty. Received by the host, the id names the sending viewer; read by a relay from a host's
// frame, it names the addressee.
struct ClientMessage {
  uint32_t clientId = 0;
  Bytes message;
};

using RelayMessage = std::variant<ControlMessage, ClientMessage>;

// Sorts one received WebSocket message. Absent for everything that is to be dropped silently:
// an empty message, a data frame shorter than 5 bytes, a control payload that is not a JSON
// object, and operation codes 3 to 15. Only the low four bits of the first byte select the
// operation, so 0x81 reads as dataBin and 0x80 as control.
std::optional<RelayMessage> classifyRelayMessage(std::span<const uint8_t> message);
// A text WebSocket message is classified by its UTF-8 bytes, exactly like a binary one (so text
// beginning with "{" has op 0x0B and is dropped).
std::optional<RelayMessage> classifyRelayMessage(std::string_view textMessage);

// ---- Control messages from the relay ----

// "client-join": a viewer has connected. role defaults to "viewer".
struct ClientJoin {
  uint32_t clientId = 0;
  std::string role;
};
// "client-leave": a viewer has gone. reason defaults to "left".
struct ClientLeave {
  uint32_t clientId = 0;
  std::string reason;
};
// "replaced": another instance of this device has connected; this one must end.
struct Replaced {};

using RelayControl = std::variant<ClientJoin, ClientLeave, Replaced>;

// Reads a control object by its "t" key. Absent for unknown or missing names and for join or
// leave messages without a usable "clientId". A "role" or "reason" that is not a string takes
// its default.
std::optional<RelayControl> decodeRelayControl(const nlohmann::json& object);

// A "clientId" value as an unsigned 32-bit id: an integral JSON number keeps its low 32 bits
// (a float counts when it is finite and integral); anything else is absent.
std::optional<uint32_t> relayClientId(const nlohmann::json& value);

// ---- Building what the host receives (relay side, tests) ----

// A data frame with the given op (dataBin unless told), the client id and the client message.
Bytes dataFrame(uint32_t clientId, std::span<const uint8_t> clientMessage,
                uint8_t op = RelayOp::dataBin);
// The client message tag, body.
Bytes clientMessage(uint8_t tag, std::span<const uint8_t> body);
// The control frame 00 followed by the object's compact JSON text.
Bytes controlFrame(const nlohmann::json& object);

nlohmann::json clientJoinControl(uint32_t clientId, std::string_view role = "viewer");
nlohmann::json clientLeaveControl(uint32_t clientId, std::string_view reason = "left");
nlohmann::json replacedControl();

}  // namespace cvl
