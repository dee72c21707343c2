#include "kit/input/input_encoder.h"

#include <bit>
#include <stdexcept>
#include <string>

#include "kit/input/input_frame_layout.h"

namespace cvl {
namespace {

namespace layout = InputFrameLayout;

class Writer {
 public:
  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u16(std::uint16_t v) {
    u8(static_cast<std::uint8_t>(v >> 8));
    u8(static_cast<std::uint8_t>(v));
  }
  void u32(std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v >> 16));
    u16(static_cast<std::uint16_t>(v));
  }
  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
  void down(bool v) { u8(v ? 1 : 0); }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }
  void reserve(std::size_t n) { bytes_.reserve(n); }

 private:
  std::vector<std::uint8_t> bytes_;
};

[[noreturn]] void reject(const std::string& why) {
  throw std::invalid_argument("cannot encode input event: " + why);
}

std::uint64_t inRange(std::int64_t value, std::uint64_t max, const char* field) {
  if (value < 0 || static_cast<std::uint64_t>(value) > max) {
    reject(std::string(field) + " " + std::to_string(value) + " out of range");
  }
  return static_cast<std::uint64_t>(value);
}

std::uint8_t u8Field(std::int64_t v, const char* field) { return static_cast<std::uint8_t>(inRange(v, 0xFF, field)); }
std::uint16_t u16Field(std::int64_t v, const char* field) {
  return static_cast<std::uint16_t>(inRange(v, 0xFFFF, field));
}
std::uint32_t u32Field(std::int64_t v, const char* field) {
  return static_cast<std::uint32_t>(inRange(v, 0xFFFFFFFF, field));
}

void header(Writer& w, const InputEvent& event, std::uint8_t kind) {
  const std::uint64_t t = event.t.value_or(0);
  if (t > layout::MAX_T) reject("t does not fit in 48 bits");
  w.u8(INPUT_MAGIC);
  w.u8(INPUT_PROTOCOL_VERSION);
  w.u8(u8Field(event.channel, "channel"));
  w.u8(kind);
  w.u32(event.seq.value_or(0));
  w.u16(static_cast<std::uint16_t>(t >> 32));
  w.u32(static_cast<std::uint32_t>(t));
}

std::vector<std::uint8_t> encodeSnapshot(const InputEvent& event, const SnapshotTrailer& trailer) {
  if (event.keys.size() > 0xFFFF) reject("more than 65535 keys");
  if (event.chars.size() > 0xFFFF) reject("more than 65535 chars");
  if (trailer.records.size() > 0xFFFF) reject("more than 65535 trailing records");
  std::uint8_t mask = 0;
  for (const std::string& name : event.buttons) {
    const auto id = buttonId(name);
    if (!id) reject("no button id for \"" + name + "\"");
    mask |= static_cast<std::uint8_t>(1u << (*id - 1));
  }

  Writer w;
  w.reserve(layout::SNAPSHOT_FIXED_SIZE + 2 * event.keys.size() + 4 * event.chars.size() +
            layout::SNAPSHOT_RECORD_SIZE * trailer.records.size());
  header(w, event, layout::SNAPSHOT_KIND);
  w.i32(event.x);
  w.i32(event.y);
  w.u32(event.upto);
  w.u8(mask);
  w.u8(trailer.reserved);
  w.u16(static_cast<std::uint16_t>(event.keys.size()));
  w.u16(static_cast<std::uint16_t>(event.chars.size()));
  w.u16(static_cast<std::uint16_t>(trailer.records.size()));
  for (std::int64_t key : event.keys) w.u16(u16Field(key, "key"));
  for (std::int64_t c : event.chars) w.u32(u32Field(c, "char"));
  for (const auto& record : trailer.records) {
    for (std::uint8_t b : record) w.u8(b);
  }
  return w.take();
}

}  // namespace

std::vector<std::uint8_t> encodeBinary(const InputEvent& event, const SnapshotTrailer& trailer) {
  if (event.kind == InputKind::snapshot) return encodeSnapshot(event, trailer);
  if (trailer.reserved != 0 || !trailer.records.empty()) reject("a trailer belongs to snapshots only");

  const auto fixed = layout::fixedKind(event.kind);
  if (!fixed) reject("no frame kind for \"" + std::string(inputKindName(event.kind)) + "\"");

  Writer w;
  w.reserve(layout::HEADER_SIZE + fixed->payloadSize);
  header(w, event, fixed->code);
  switch (event.kind) {
    case InputKind::move:
    case InputKind::moveDirect:
      w.i32(event.x);
      w.i32(event.y);
      break;
    case InputKind::axis:
      w.u8(u8Field(event.pad, "pad"));
      w.u8(u8Field(event.axis, "axis"));
      w.u32(std::bit_cast<std::uint32_t>(event.value));
      break;
    case InputKind::button: {
      const auto id = buttonId(event.button);
      if (!id) reject("no button id for \"" + event.button + "\"");
      w.u8(*id);
      w.down(event.down);
      break;
    }
    case InputKind::wheel:
      w.i32(event.delta);
      break;
    case InputKind::keyVk:
      w.u16(u16Field(event.vk, "vk"));
      w.down(event.down);
      break;
    case InputKind::keyUnicode:
      w.u32(u32Field(event.code, "code"));
      w.down(event.down);
      break;
    case InputKind::padButton:
      w.u8(u8Field(event.pad, "pad"));
      w.u8(u8Field(event.padButton, "padButton"));
      w.down(event.down);
      break;
    case InputKind::snapshot:
      break;  // encoded above; never a fixed kind
  }
  return w.take();
}

std::vector<std::uint8_t> InputFrameWriter::state(InputEvent e) {
  return numbered(std::move(e), InputChannel::state, nextState_);
}

std::vector<std::uint8_t> InputFrameWriter::event(InputEvent e) {
  return numbered(std::move(e), InputChannel::events, nextEvent_);
}

std::vector<std::uint8_t> InputFrameWriter::numbered(InputEvent e, InputChannel channel,
                                                     std::uint32_t& next) {
  e.channel = static_cast<std::int64_t>(channel);
  e.seq = next;
  auto frame = encodeBinary(e);  // a refused event uses up no number
  ++next;
  return frame;
}

std::vector<std::uint8_t> InputFrameWriter::snapshot(InputEvent s, const SnapshotTrailer& trailer) {
  s.kind = InputKind::snapshot;
  s.channel = static_cast<std::int64_t>(InputChannel::snapshot);
  s.upto = nextEvent_ - 1;
  return encodeBinary(s, trailer);
}

}  // namespace cvl
