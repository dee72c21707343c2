#include "kit/input/input_decoder.h"

#include <bit>
#include <cstdio>

#include "kit/input/input_frame_layout.h"

namespace cvl {
namespace {

namespace layout = InputFrameLayout;

// Big-endian reads at offsets relative to the frame's first byte; callers check the length.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }
  std::uint8_t u8(std::size_t at) const { return bytes_[at]; }
  std::uint16_t u16(std::size_t at) const {
    return static_cast<std::uint16_t>((bytes_[at] << 8) | bytes_[at + 1]);
  }
  std::uint32_t u32(std::size_t at) const {
    return (std::uint32_t{bytes_[at]} << 24) | (std::uint32_t{bytes_[at + 1]} << 16) |
           (std::uint32_t{bytes_[at + 2]} << 8) | std::uint32_t{bytes_[at + 3]};
  }
  std::int32_t i32(std::size_t at) const { return static_cast<std::int32_t>(u32(at)); }
  bool down(std::size_t at) const { return bytes_[at] == 1; }

 private:
  std::span<const std::uint8_t> bytes_;
};

InputEvent decodeSnapshot(const Reader& r, std::uint32_t seq, std::uint64_t t) {
  if (r.size() < layout::SNAPSHOT_FIXED_SIZE) {
    throw InputProtocolError(InputProtocolError::truncated, "snapshot short");
  }
  const std::size_t keyCount = r.u16(layout::SNAPSHOT_KEY_COUNT_AT);
  const std::size_t charCount = r.u16(layout::SNAPSHOT_CHAR_COUNT_AT);
  const std::size_t recordCount = r.u16(layout::SNAPSHOT_RECORD_COUNT_AT);
  const std::size_t keysAt = layout::SNAPSHOT_FIXED_SIZE;
  const std::size_t charsAt = keysAt + layout::SNAPSHOT_KEY_SIZE * keyCount;
  const std::size_t recordsAt = charsAt + layout::SNAPSHOT_CHAR_SIZE * charCount;
  if (r.size() != recordsAt + layout::SNAPSHOT_RECORD_SIZE * recordCount) {
    throw InputProtocolError(InputProtocolError::badLength, "snapshot length");
  }

  InputEvent event(InputKind::snapshot);
  event.channel = static_cast<std::int64_t>(InputChannel::snapshot);
  event.seq = seq;
  event.t = t;
  event.x = r.i32(layout::SNAPSHOT_X_AT);
  event.y = r.i32(layout::SNAPSHOT_Y_AT);
  event.upto = r.u32(layout::SNAPSHOT_UPTO_AT);
  const std::uint8_t mask = r.u8(layout::SNAPSHOT_BUTTON_MASK_AT);
  for (int bit = 0; bit < 8; ++bit) {
    if ((mask & (1u << bit)) == 0) continue;
    if (auto name = buttonName(bit + 1)) event.buttons.emplace_back(*name);
  }
  event.keys.reserve(keyCount);
  for (std::size_t i = 0; i < keyCount; ++i) {
    event.keys.push_back(r.u16(keysAt + layout::SNAPSHOT_KEY_SIZE * i));
  }
  event.chars.reserve(charCount);
  for (std::size_t i = 0; i < charCount; ++i) {
    event.chars.push_back(r.u32(charsAt + layout::SNAPSHOT_CHAR_SIZE * i));
  }
  return event;
}

std::string hexUpper(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%X", value);
  return text;
}

}  // namespace

std::string_view InputProtocolError::codeName(Code code) {
  switch (code) {
    case truncated: return "truncated";
    case badMagic: return "bad-magic";
    case badVersion: return "bad-version";
    case unknownKind: return "unknown-kind";
    case badLength: return "bad-length";
    case badField: return "bad-field";
  }
  return "unknown";
}

bool isBinaryFrame(std::span<const std::uint8_t> bytes) {
  return !bytes.empty() && bytes[0] == INPUT_MAGIC;
}

bool isBinaryFrame(std::string_view bytes) {
  return !bytes.empty() && static_cast<std::uint8_t>(bytes[0]) == INPUT_MAGIC;
}

InputEvent decodeBinary(std::string_view bytes) {
  return decodeBinary(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

InputEvent decodeBinary(std::span<const std::uint8_t> bytes) {
  const Reader r(bytes);
  if (r.size() < layout::HEADER_SIZE) {
    throw InputProtocolError(InputProtocolError::truncated, "shorter than header");
  }
  if (r.u8(0) != INPUT_MAGIC) {
    throw InputProtocolError(InputProtocolError::badMagic, "not an input frame");
  }
  if (r.u8(1) != INPUT_PROTOCOL_VERSION) {
    throw InputProtocolError(InputProtocolError::badVersion, "unsupported version");
  }

  const std::uint8_t channel = r.u8(layout::CHANNEL_AT);
  const std::uint8_t kind = r.u8(layout::KIND_AT);
  const std::uint32_t seq = r.u32(layout::SEQ_AT);
  const std::uint64_t t = (std::uint64_t{r.u16(layout::T_AT)} << 32) | r.u32(layout::T_AT + 2);

  if (kind == layout::SNAPSHOT_KIND) return decodeSnapshot(r, seq, t);

  const auto fixed = layout::fixedKind(kind);
  if (!fixed) {
    throw InputProtocolError(InputProtocolError::unknownKind, "opcode 0x" + hexUpper(kind));
  }
  if (r.size() != layout::HEADER_SIZE + fixed->payloadSize) {
    throw InputProtocolError(InputProtocolError::badLength, "wrong frame length");
  }

  // The fields of each kind, at their offsets from the payload's start.
  constexpr std::size_t PAYLOAD = layout::PAYLOAD_AT;
  InputEvent event(fixed->kind);
  event.channel = channel;
  event.seq = seq;
  event.t = t;
  switch (fixed->kind) {
    case InputKind::move:
    case InputKind::moveDirect:
      event.x = r.i32(PAYLOAD);
      event.y = r.i32(PAYLOAD + 4);
      break;
    case InputKind::axis:
      event.pad = r.u8(PAYLOAD);
      event.axis = r.u8(PAYLOAD + 1);
      event.value = std::bit_cast<float>(r.u32(PAYLOAD + 2));
      break;
    case InputKind::button: {
      const std::uint8_t id = r.u8(PAYLOAD);
      const auto name = buttonName(id);
      if (!name) {
        throw InputProtocolError(InputProtocolError::badField, "button code " + std::to_string(id));
      }
      event.button = std::string(*name);
      event.down = r.down(PAYLOAD + 1);
      break;
    }
    case InputKind::wheel:
      event.delta = r.i32(PAYLOAD);
      break;
    case InputKind::keyVk:
      event.vk = r.u16(PAYLOAD);
      event.down = r.down(PAYLOAD + 2);
      break;
    case InputKind::keyUnicode:
      event.code = r.u32(PAYLOAD);
      event.down = r.down(PAYLOAD + 4);
      break;
    case InputKind::padButton:
      event.pad = r.u8(PAYLOAD);
      event.padButton = r.u8(PAYLOAD + 1);
      event.down = r.down(PAYLOAD + 2);
      break;
    case InputKind::snapshot:
      break;  // decoded above; never a fixed kind
  }
  return event;
}

}  // namespace cvl
