#include "kit/input/input_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "kit/input/input_encoder.h"

namespace cvl {
namespace {

using Bytes = std::vector<std::uint8_t>;

// "AE 01 ..." -> bytes; spaces are for reading only.
Bytes hex(std::string_view text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (c == ' ') continue;
    digits += c;
    if (digits.size() == 2) {
      out.push_back(static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16)));
      digits.clear();
    }
  }
  return out;
}

// Header for channel/kind with seq 7 and t 1000, then the payload.
Bytes frame(std::string_view channelAndKind, std::string_view payload) {
  return hex("AE 01 " + std::string(channelAndKind) + " 00000007 0000000003E8 " + std::string(payload));
}

InputEvent header(InputKind kind, std::int64_t channel = 1) {
  InputEvent e(kind);
  e.channel = channel;
  e.seq = 7;
  e.t = 1000;
  return e;
}

template <typename F>
InputEvent with(InputEvent e, F&& fill) {
  fill(e);
  return e;
}

struct Case {
  const char* name;
  Bytes bytes;
  std::optional<InputEvent> event;  // absent: an error is expected
  const char* code = "";
  const char* message = "";
};

std::vector<Case> cases() {
  const std::string snap = "00000005 FFFFFFFF 00000010 ";  // x 5, y -1, upto 16
  return {
      {"move", frame("01 01", "00000064 FFFFFFFE"),
       with(header(InputKind::move), [](auto& e) { e.x = 100; e.y = -2; })},
      {"movedirect keeps an unknown channel byte", frame("09 02", "80000000 7FFFFFFF"),
       with(header(InputKind::moveDirect, 9), [](auto& e) {
         e.x = std::numeric_limits<std::int32_t>::min();
         e.y = std::numeric_limits<std::int32_t>::max();
       })},
      {"axis", frame("00 03", "02 05 3FC00000"),
       with(header(InputKind::axis, 0), [](auto& e) { e.pad = 2; e.axis = 5; e.value = 1.5f; })},
      {"button middle down", frame("01 10", "03 01"),
       with(header(InputKind::button), [](auto& e) { e.button = "middle"; e.down = true; })},
      {"down byte 2 is a release", frame("01 10", "03 02"),
       with(header(InputKind::button), [](auto& e) { e.button = "middle"; })},
      {"button x2", frame("01 10", "05 01"),
       with(header(InputKind::button), [](auto& e) { e.button = "x2"; e.down = true; })},
      {"wheel", frame("01 11", "FFFFFF88"), with(header(InputKind::wheel), [](auto& e) { e.delta = -120; })},
      {"keyvk", frame("01 12", "00A0 01"),
       with(header(InputKind::keyVk), [](auto& e) { e.vk = 160; e.down = true; })},
      {"keyvk full 16 bits", frame("01 12", "FFFF 00"), with(header(InputKind::keyVk), [](auto& e) { e.vk = 0xFFFF; })},
      {"keyunicode", frame("01 13", "0001F600 01"),
       with(header(InputKind::keyUnicode), [](auto& e) { e.code = 0x1F600; e.down = true; })},
      {"keyunicode keeps a code above the scalar range", frame("01 13", "FFFFFFFF 00"),
       with(header(InputKind::keyUnicode), [](auto& e) { e.code = 0xFFFFFFFF; })},
      {"padbutton", frame("01 14", "01 0C 01"),
       with(header(InputKind::padButton), [](auto& e) { e.pad = 1; e.padButton = 12; e.down = true; })},
      {"t uses all 48 bits", hex("AE 01 01 11 FFFFFFFF 8000000000FF 00000001"),
       with(InputEvent(InputKind::wheel), [](auto& e) {
         e.channel = 1;
         e.seq = 0xFFFFFFFF;
         e.t = 0x8000000000FFull;
         e.delta = 1;
       })},
      // mask 0x23: ids 1, 2 and 6; 6 has no name and is skipped. K 1, C 0, P 1 -> 41 bytes.
      {"snapshot with a skipped button and a trailing record",
       frame("01 30", snap + "23 99 0001 0000 0001 0041 0102030405"),
       with(header(InputKind::snapshot, 2), [](auto& e) {
         e.x = 5;
         e.y = -1;
         e.upto = 16;
         e.buttons = {"left", "right"};
         e.keys = {0x41};
       })},
      {"snapshot keeps list order and duplicates",
       frame("00 30", snap + "1C 00 0003 0002 0000 0042 0041 0042 0001F600 00000061"),
       with(header(InputKind::snapshot, 2), [](auto& e) {
         e.x = 5;
         e.y = -1;
         e.upto = 16;
         e.buttons = {"middle", "x1", "x2"};
         e.keys = {0x42, 0x41, 0x42};
         e.chars = {0x1F600, 0x61};
       })},
      {"empty snapshot", frame("02 30", snap + "E0 00 0000 0000 0000"),
       with(header(InputKind::snapshot, 2), [](auto& e) { e.x = 5; e.y = -1; e.upto = 16; })},

      {"empty input", {}, {}, "truncated", "shorter than header"},
      {"13 bytes", hex("AE 01 01 01 00000007 00000000 03"), {}, "truncated", "shorter than header"},
      {"bad magic", hex("AF 01 01 01 00000007 0000000003E8 00000064 FFFFFFFE"), {}, "bad-magic",
       "not an input frame"},
      // The checks run in a fixed order: length, then magic, then version.
      {"13 bytes of anything", hex("00 02 01 01 00000007 00000000 03"), {}, "truncated",
       "shorter than header"},
      {"bad magic and bad version", hex("AF 02 01 01 00000007 0000000003E8 00000064 FFFFFFFE"), {},
       "bad-magic", "not an input frame"},
      {"bad version on a short snapshot", hex("AE 02 01 30 00000007 0000000003E8"), {},
       "bad-version", "unsupported version"},
      // Version is checked before the length: this frame is also one byte too long.
      {"bad version", hex("AE 02 01 01 00000007 0000000003E8 00000064 FFFFFFFE 00"), {},
       "bad-version", "unsupported version"},
      {"move one byte too long", frame("01 01", "00000064 FFFFFFFE 00"), {}, "bad-length",
       "wrong frame length"},
      {"move one byte short", frame("01 01", "00000064 FFFFFF"), {}, "bad-length",
       "wrong frame length"},
      {"header only", frame("01 12", ""), {}, "bad-length", "wrong frame length"},
      {"kind 0x04", frame("01 04", "00"), {}, "unknown-kind", "opcode 0x4"},
      {"kind 0x2A", frame("01 2A", ""), {}, "unknown-kind", "opcode 0x2A"},
      {"kind 0x00", frame("01 00", ""), {}, "unknown-kind", "opcode 0x0"},
      {"kind 0xFF", frame("01 FF", ""), {}, "unknown-kind", "opcode 0xFF"},
      {"button id 6", frame("01 10", "06 01"), {}, "bad-field", "button code 6"},
      {"button id 0", frame("01 10", "00 01"), {}, "bad-field", "button code 0"},
      {"button id 255", frame("01 10", "FF 00"), {}, "bad-field", "button code 255"},
      // Length is checked before the button id.
      {"bad button in a long frame", frame("01 10", "09 01 00"), {}, "bad-length",
       "wrong frame length"},
      {"snapshot of 33 bytes", frame("01 30", snap + "00 00 0000 0000 00"), {}, "truncated",
       "snapshot short"},
      {"snapshot one byte short of its counts", frame("01 30", snap + "00 00 0001 0000 0001 0041 01020304"),
       {}, "bad-length", "snapshot length"},
      {"snapshot one byte over its counts", frame("01 30", snap + "00 00 0000 0001 0000 00000061 00"),
       {}, "bad-length", "snapshot length"},
      {"snapshot claiming the largest counts", frame("01 30", snap + "00 00 FFFF FFFF FFFF"), {},
       "bad-length", "snapshot length"},
  };
}

TEST(InputDecoder, DecodesFramesAndRejectsMalformedOnes) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    if (c.event) {
      EXPECT_EQ(decodeBinary(c.bytes), *c.event);
      continue;
    }
    try {
      InputEvent e = decodeBinary(c.bytes);
      ADD_FAILURE() << "decoded to " << e;
    } catch (const InputProtocolError& error) {
      EXPECT_EQ(InputProtocolError::codeName(error.code), c.code);
      EXPECT_EQ(error.message, c.message);
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

TEST(InputDecoder, ReadsASliceRelativeToItsFirstByte) {
  Bytes buffer = hex("00 00 00");
  const Bytes move = frame("01 01", "00000064 FFFFFFFE");
  buffer.insert(buffer.end(), move.begin(), move.end());
  buffer.push_back(0xEE);
  const auto slice = std::span<const std::uint8_t>(buffer).subspan(3, move.size());
  EXPECT_EQ(decodeBinary(slice), decodeBinary(move));

  const std::string text(move.begin(), move.end());
  EXPECT_EQ(decodeBinary(std::string_view(text)), decodeBinary(move));
}

TEST(InputDecoder, RecognisesFramesByTheirFirstByteOnly) {
  EXPECT_FALSE(isBinaryFrame(Bytes{}));
  EXPECT_TRUE(isBinaryFrame(Bytes{0xAE}));
  EXPECT_TRUE(isBinaryFrame(Bytes{0xAE, 0x07}));
  EXPECT_FALSE(isBinaryFrame(Bytes{0x7B, 0xAE}));
  EXPECT_FALSE(isBinaryFrame(std::string_view()));
  EXPECT_TRUE(isBinaryFrame(std::string_view("\xAE", 1)));
}

TEST(InputDecoder, NanAxisValuesKeepTheirBitPattern) {
  const InputEvent e = decodeBinary(frame("00 03", "00 00 7FC00001"));
  EXPECT_TRUE(std::isnan(e.value));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(e.value), 0x7FC00001u);
}

TEST(InputEncoder, RoundTripsEveryKind) {
  // Every case that decodes gives back its bytes when re-encoded (with the snapshot trailer
  // that the decoder skips handed back in).
  for (const Case& c : cases()) {
    if (!c.event) continue;
    SCOPED_TRACE(c.name);
    InputEvent decoded = decodeBinary(c.bytes);
    SnapshotTrailer trailer;
    if (decoded.kind == InputKind::snapshot) {
      trailer.reserved = c.bytes[27];
      const std::size_t recordsAt = 34 + 2 * decoded.keys.size() + 4 * decoded.chars.size();
      for (std::size_t at = recordsAt; at < c.bytes.size(); at += 5) {
        trailer.records.push_back({c.bytes[at], c.bytes[at + 1], c.bytes[at + 2], c.bytes[at + 3], c.bytes[at + 4]});
      }
      decoded.channel = c.bytes[2];  // written as given, decoded as 2
    }
    // A release is always written as 0, and mask bits of unnamed buttons are lost on decoding.
    Bytes expected = c.bytes;
    if (decoded.kind == InputKind::snapshot) expected[26] &= 0x1F;
    if (std::string_view(c.name) == "down byte 2 is a release") expected.back() = 0;
    EXPECT_EQ(encodeBinary(decoded, trailer), expected);
  }
}

TEST(InputEncoder, RefusesWhatTheFormatCannotCarry) {
  const std::vector<std::pair<const char*, std::function<void(InputEvent&)>>> cases = {
      {"unnamed button", [](auto& e) { e.kind = InputKind::button; e.button = "back"; }},
      {"empty button", [](auto& e) { e.kind = InputKind::button; }},
      {"vk above 16 bits", [](auto& e) { e.kind = InputKind::keyVk; e.vk = 0x10000; }},
      {"negative vk", [](auto& e) { e.kind = InputKind::keyVk; e.vk = -1; }},
      {"code above 32 bits", [](auto& e) { e.kind = InputKind::keyUnicode; e.code = 0x100000000; }},
      {"pad above 8 bits", [](auto& e) { e.kind = InputKind::padButton; e.pad = 256; }},
      {"channel above 8 bits", [](auto& e) { e.kind = InputKind::move; e.channel = 256; }},
      {"t above 48 bits", [](auto& e) { e.kind = InputKind::move; e.t = 1ull << 48; }},
      {"snapshot key above 16 bits", [](auto& e) { e.kind = InputKind::snapshot; e.keys = {0x41, 0x10000}; }},
      {"snapshot unnamed button", [](auto& e) { e.kind = InputKind::snapshot; e.buttons = {"left", "x3"}; }},
      {"too many snapshot keys",
       [](auto& e) { e.kind = InputKind::snapshot; e.keys.assign(0x10000, 0x41); }},
  };
  for (const auto& [name, fill] : cases) {
    SCOPED_TRACE(name);
    InputEvent e;
    fill(e);
    EXPECT_THROW(encodeBinary(e), std::invalid_argument);
  }
  SnapshotTrailer trailer;
  trailer.records.push_back({});
  EXPECT_THROW(encodeBinary(InputEvent(InputKind::move), trailer), std::invalid_argument);
}

TEST(InputEncoder, WriterNumbersEachChannelAndCoversEventsInSnapshots) {
  InputFrameWriter writer(0xFFFFFFFF);
  InputEvent key(InputKind::keyVk);
  key.vk = 0x41;
  key.down = true;

  const InputEvent first = decodeBinary(writer.event(key));
  const InputEvent second = decodeBinary(writer.event(key));
  const InputEvent moved = decodeBinary(writer.state(InputEvent(InputKind::move)));
  EXPECT_EQ(first.channel, 1);
  EXPECT_EQ(first.seq, 0xFFFFFFFFu);
  EXPECT_EQ(second.seq, 0u);  // wraps
  EXPECT_EQ(moved.channel, 0);
  EXPECT_EQ(moved.seq, 0xFFFFFFFFu);

  InputEvent held;
  held.keys = {0x41};
  const InputEvent snapshot = decodeBinary(writer.snapshot(held));
  EXPECT_EQ(snapshot.kind, InputKind::snapshot);
  EXPECT_EQ(snapshot.upto, 0u);
  EXPECT_EQ(snapshot.keys, std::vector<std::int64_t>{0x41});
  EXPECT_EQ(writer.nextEventSeq(), 1u);
  EXPECT_EQ(writer.nextStateSeq(), 0u);
}

TEST(InputEvent, KindsHaveOneNameEach) {
  const std::pair<InputKind, const char*> names[] = {
      {InputKind::move, "move"},          {InputKind::moveDirect, "movedirect"},
      {InputKind::axis, "axis"},          {InputKind::button, "button"},
      {InputKind::wheel, "wheel"},        {InputKind::keyVk, "keyvk"},
      {InputKind::keyUnicode, "keyunicode"}, {InputKind::padButton, "padbutton"},
      {InputKind::snapshot, "snapshot"},
  };
  for (const auto& [kind, name] : names) {
    EXPECT_EQ(inputKindName(kind), name);
    EXPECT_EQ(inputKindNamed(name), kind);
  }
  for (const char* other : {"", "Move", "key", "tap", "snapshot "}) {
    EXPECT_EQ(inputKindNamed(other), std::nullopt) << other;
  }
}

TEST(InputEvent, StartsWithEveryDefaultAndPrintsWhatIsSet) {
  const InputEvent e(InputKind::keyVk);
  EXPECT_EQ(e.kind, InputKind::keyVk);
  EXPECT_EQ(e.channel, 0);
  EXPECT_FALSE(e.seq.has_value());
  EXPECT_FALSE(e.t.has_value());
  EXPECT_EQ(e.x, 0);
  EXPECT_EQ(e.y, 0);
  EXPECT_EQ(e.button, "");
  EXPECT_EQ(e.padButton, 0);
  EXPECT_EQ(e.code, 0);
  EXPECT_FALSE(e.down);
  EXPECT_EQ(e.delta, 0);
  EXPECT_EQ(e.vk, 0);
  EXPECT_EQ(e.pad, 0);
  EXPECT_EQ(e.axis, 0);
  EXPECT_EQ(e.value, 0.0f);
  EXPECT_EQ(e.upto, 0u);
  EXPECT_TRUE(e.buttons.empty() && e.keys.empty() && e.chars.empty());

  std::ostringstream text;
  text << with(e, [](auto& k) { k.seq = 3; k.vk = 0x41; k.down = true; });
  EXPECT_EQ(text.str(), "\"keyvk\" seq=3 down vk=65");

  EXPECT_EQ(inputChannelFromRaw(0), InputChannel::state);
  EXPECT_EQ(inputChannelFromRaw(2), InputChannel::snapshot);
  EXPECT_FALSE(inputChannelFromRaw(3).has_value());
  EXPECT_FALSE(inputChannelFromRaw(-1).has_value());
}

}  // namespace
}  // namespace cvl
