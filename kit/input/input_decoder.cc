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
  const std::size_t keyCount = r.u16(28);
  const std::size_t charCount = r.u16(30);
  const std::size_t recordCount = r.u16(32);
  const std::size_t keysAt = layout::SNAPSHOT_FIXED_SIZE;
  const std::size_t charsAt = keysAt + 2 * keyCount;
  const std::size_t recordsAt = charsAt + 4 * charCount;
  if (r.size() != recordsAt + layout::SNAPSHOT_RECORD_SIZE * recordCount) {
    throw InputProtocolError(InputProtocolError::badLength, "snapshot length");
  }

  InputEvent event(InputKind::snapshot);
  event.channel = static_cast<std::int64_t>(InputChannel::snapshot);
  event.seq = seq;
  event.t = t;
  event.x = r.i32(14);
  event.y = r.i32(18);
  event.upto = r.u32(22);
  const std::uint8_t mask = r.u8(26);
  for (int id = 1; id <= 8; ++id) {
    if ((mask & (1u << (id - 1))) == 0) continue;
    if (auto name = buttonName(id)) event.buttons.emplace_back(*name);
  }
  event.keys.reserve(keyCount);
  for (std::size_t i = 0; i < keyCount; ++i) event.keys.push_back(r.u16(keysAt + 2 * i));
  event.chars.reserve(charCount);
  for (std::size_t i = 0; i < charCount; ++i) event.chars.push_back(r.u32(charsAt + 4 * i));
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

  const std::uint8_t channel = r.u8(2);
  const std::uint8_t kind = r.u8(3);
  const std::uint32_t seq = r.u32(4);
  const std::uint64_t t = (std::uint64_t{r.u16(8)} << 32) | r.u32(10);

  if (kind == layout::SNAPSHOT_KIND) return decodeSnapshot(r, seq, t);

  const auto fixed = layout::fixedKind(kind);
  if (!fixed) {
    throw InputProtocolError(InputProtocolError::unknownKind, "opcode 0x" + hexUpper(kind));
  }
  if (r.size() != layout::HEADER_SIZE + fixed->payloadSize) {
    throw InputProtocolError(InputProtocolError::badLength, "wrong frame length");
  }

  InputEvent event(fixed->kind);
  event.channel = channel;
  event.seq = seq;
  event.t = t;
  switch (kind) {
    case 0x01:
    case 0x02:
      event.x = r.i32(14);
      event.y = r.i32(18);
      break;
    case 0x03:
      event.pad = r.u8(14);
      event.axis = r.u8(15);
      event.value = std::bit_cast<float>(r.u32(16));
      break;
    case 0x10: {
      const std::uint8_t id = r.u8(14);
      const auto name = buttonName(id);
      if (!name) {
        throw InputProtocolError(InputProtocolError::badField, "button code " + std::to_string(id));
      }
      event.button = std::string(*name);
      event.down = r.down(15);
      break;
    }
    case 0x11:
      event.delta = r.i32(14);
      break;
    case 0x12:
      event.vk = r.u16(14);
      event.down = r.down(16);
      break;
    case 0x13:
      event.code = r.u32(14);
      event.down = r.down(18);
      break;
    case 0x14:
      event.pad = r.u8(14);
      event.padButton = r.u8(15);
      event.down = r.down(16);
      break;
  }
  return event;
}

}  // namespace cvl
