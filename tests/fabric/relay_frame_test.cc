#include "kit/fabric/relay_frame.h"

#include <gtest/gtest.h>

#include <string>

namespace cvl {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(Bytes head, std::string_view tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(RelayFrame, FrameToClientLayout) {
  const uint8_t body[] = {0xAA};
  EXPECT_EQ(frameToClient(258, FabricTag::sealed, body),
            (Bytes{0x01, 0x00, 0x00, 0x01, 0x02, 0x02, 0xAA}));
  EXPECT_EQ(frameToClient(0xFFFFFFFF, FabricTag::hello, {}),
            (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
  // The host's frame is exactly a data frame around a client message.
  const Bytes key(32, 0x5A);
  EXPECT_EQ(frameToClient(7, FabricTag::hello, key),
            dataFrame(7, clientMessage(FabricTag::hello, key)));
}

TEST(RelayFrame, BigEndianIntegers) {
  EXPECT_EQ(readU32BE(Bytes{0x00, 0x00, 0x01, 0x00}, 0), 256u);
  EXPECT_EQ(readU32BE(Bytes{0xFF, 0x12, 0x34, 0x56, 0x78}, 1), 0x12345678u);
  EXPECT_EQ(readU32BE(Bytes{0xFF, 0xFF, 0xFF, 0xFE}, 0), 0xFFFFFFFEu);

  Bytes out{0x09};
  appendU32BE(out, 0x80000001u);
  EXPECT_EQ(out, (Bytes{0x09, 0x80, 0x00, 0x00, 0x01}));
  EXPECT_EQ(readU32BE(out, 1), 0x80000001u);
}

struct ClassifyCase {
  const char* name;
  Bytes message;
  // Expected: dropped, a control object (as compact JSON), or a client message.
  enum { dropped, control, client } kind;
  std::string json;
  uint32_t clientId;
  Bytes clientMessage;
};

TEST(RelayFrame, ClassifiesReceivedMessages) {
  const ClassifyCase cases[] = {
      {"empty", {}, ClassifyCase::dropped, "", 0, {}},
      {"lone op byte", {0x01}, ClassifyCase::dropped, "", 0, {}},
      {"4-byte data frame", {0x01, 0, 0, 0}, ClassifyCase::dropped, "", 0, {}},
      {"5-byte data frame: empty client message", {0x01, 0, 0, 0, 7}, ClassifyCase::client, "", 7,
       {}},
      {"dataBin", {0x01, 0, 0, 1, 2, 0x02, 0xAA}, ClassifyCase::client, "", 258, {0x02, 0xAA}},
      {"dataTxt handled alike", {0x02, 0x12, 0x34, 0x56, 0x78, 0x01}, ClassifyCase::client, "",
       0x12345678, {0x01}},
      {"0x81 is dataBin", {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, ClassifyCase::client, "",
       0xFFFFFFFF, {0x02}},
      {"bits 4-6 are ignored", {0x71, 0, 0, 0, 9, 0x01}, ClassifyCase::client, "", 9, {0x01}},
      {"control object", concat({0x00}, R"({"t":"replaced"})"), ClassifyCase::control,
       R"({"t":"replaced"})", 0, {}},
      {"0x80 is control", concat({0x80}, R"( {"a":[1,2]} )"), ClassifyCase::control,
       R"({"a":[1,2]})", 0, {}},
      {"control without payload", {0x00}, ClassifyCase::dropped, "", 0, {}},
      {"control array", concat({0x00}, "[1,2]"), ClassifyCase::dropped, "", 0, {}},
      {"control string", concat({0x00}, R"("x")"), ClassifyCase::dropped, "", 0, {}},
      {"control not JSON", concat({0x00}, "{nope"), ClassifyCase::dropped, "", 0, {}},
      {"control with trailing bytes", concat({0x00}, "{} {}"), ClassifyCase::dropped, "", 0, {}},
      {"control with bad UTF-8", concat({0x00}, "{\"t\":\"\xC3\x28\"}"), ClassifyCase::dropped, "", 0, {}},
      {"bcastBin", {0x03, 0, 0, 0, 1, 0x02}, ClassifyCase::dropped, "", 0, {}},
      {"bcastTxt", {0x04, 0, 0, 0, 1, 0x02}, ClassifyCase::dropped, "", 0, {}},
      {"op 15", {0x0F, 0, 0, 0, 1, 0x02}, ClassifyCase::dropped, "", 0, {}},
      {"text starting with '{' is op 0x0B", bytesOf(R"({"t":"replaced"})"),
       ClassifyCase::dropped, "", 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = classifyRelayMessage(c.message);
    switch (c.kind) {
      case ClassifyCase::dropped:
        EXPECT_FALSE(result.has_value());
        break;
      case ClassifyCase::control:
        ASSERT_TRUE(result.has_value());
        ASSERT_TRUE(std::holds_alternative<ControlMessage>(*result));
        EXPECT_EQ(std::get<ControlMessage>(*result).object.dump(), c.json);
        break;
      case ClassifyCase::client:
        ASSERT_TRUE(result.has_value());
        ASSERT_TRUE(std::holds_alternative<ClientMessage>(*result));
        EXPECT_EQ(std::get<ClientMessage>(*result).clientId, c.clientId);
        EXPECT_EQ(std::get<ClientMessage>(*result).message, c.clientMessage);
        break;
    }
  }
}

TEST(RelayFrame, TextMessagesAreClassifiedByTheirBytes) {
  EXPECT_FALSE(classifyRelayMessage(std::string_view(R"({"t":"replaced"})")).has_value());
  EXPECT_FALSE(classifyRelayMessage(std::string_view()).has_value());
  using namespace std::string_view_literals;
  auto result = classifyRelayMessage("\x02\x00\x00\x00\x07hi"sv);
  ASSERT_TRUE(result && std::holds_alternative<ClientMessage>(*result));
  EXPECT_EQ(std::get<ClientMessage>(*result).clientId, 7u);
  EXPECT_EQ(std::get<ClientMessage>(*result).message, bytesOf("hi"));
}

struct ControlCase {
  const char* json;
  enum { none, join, leave, replaced } kind;
  uint32_t clientId;
  const char* text;  // role or reason
};

TEST(RelayFrame, DecodesControlMessages) {
  const ControlCase cases[] = {
      {R"({"t":"client-join","clientId":7,"role":"viewer-only"})", ControlCase::join, 7,
       "viewer-only"},
      {R"({"t":"client-join","clientId":7})", ControlCase::join, 7, "viewer"},
      {R"({"t":"client-join","clientId":7,"role":3})", ControlCase::join, 7, "viewer"},
      {R"({"t":"client-join","clientId":4294967297})", ControlCase::join, 1, "viewer"},
      {R"({"t":"client-join","clientId":-1})", ControlCase::join, 4294967295u, "viewer"},
      {R"({"t":"client-join","clientId":12.0})", ControlCase::join, 12, "viewer"},
      {R"({"t":"client-join","clientId":4294967298.0})", ControlCase::join, 2, "viewer"},
      {R"({"t":"client-join","clientId":1e300})", ControlCase::join, 0, "viewer"},
      {R"({"t":"client-join","clientId":12.5})", ControlCase::none, 0, ""},
      {R"({"t":"client-join","clientId":"7"})", ControlCase::none, 0, ""},
      {R"({"t":"client-join","clientId":true})", ControlCase::none, 0, ""},
      {R"({"t":"client-join","clientId":null})", ControlCase::none, 0, ""},
      {R"({"t":"client-join"})", ControlCase::none, 0, ""},
      {R"({"t":"client-leave","clientId":9,"reason":"kicked"})", ControlCase::leave, 9, "kicked"},
      {R"({"t":"client-leave","clientId":9})", ControlCase::leave, 9, "left"},
      {R"({"t":"client-leave","reason":"kicked"})", ControlCase::none, 0, ""},
      {R"({"t":"replaced"})", ControlCase::replaced, 0, ""},
      {R"({"t":"replaced","clientId":"whatever"})", ControlCase::replaced, 0, ""},
      {R"({"t":"client-joined","clientId":1})", ControlCase::none, 0, ""},
      {R"({"t":7,"clientId":1})", ControlCase::none, 0, ""},
      {R"({"clientId":1})", ControlCase::none, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto control = decodeRelayControl(nlohmann::json::parse(c.json));
    switch (c.kind) {
      case ControlCase::none:
        EXPECT_FALSE(control.has_value());
        break;
      case ControlCase::join: {
        ASSERT_TRUE(control && std::holds_alternative<ClientJoin>(*control));
        EXPECT_EQ(std::get<ClientJoin>(*control).clientId, c.clientId);
        EXPECT_EQ(std::get<ClientJoin>(*control).role, c.text);
        break;
      }
      case ControlCase::leave: {
        ASSERT_TRUE(control && std::holds_alternative<ClientLeave>(*control));
        EXPECT_EQ(std::get<ClientLeave>(*control).clientId, c.clientId);
        EXPECT_EQ(std::get<ClientLeave>(*control).reason, c.text);
        break;
      }
      case ControlCase::replaced:
        ASSERT_TRUE(control.has_value());
        EXPECT_TRUE(std::holds_alternative<Replaced>(*control));
        break;
    }
  }
}

TEST(RelayFrame, RelaySideBuildersRoundTrip) {
  auto join = classifyRelayMessage(controlFrame(clientJoinControl(0xFEDCBA98, "controller")));
  ASSERT_TRUE(join && std::holds_alternative<ControlMessage>(*join));
  auto decodedJoin = decodeRelayControl(std::get<ControlMessage>(*join).object);
  ASSERT_TRUE(decodedJoin && std::holds_alternative<ClientJoin>(*decodedJoin));
  EXPECT_EQ(std::get<ClientJoin>(*decodedJoin).clientId, 0xFEDCBA98u);
  EXPECT_EQ(std::get<ClientJoin>(*decodedJoin).role, "controller");

  auto leave = classifyRelayMessage(controlFrame(clientLeaveControl(3)));
  ASSERT_TRUE(leave && std::holds_alternative<ControlMessage>(*leave));
  auto decodedLeave = decodeRelayControl(std::get<ControlMessage>(*leave).object);
  ASSERT_TRUE(decodedLeave && std::holds_alternative<ClientLeave>(*decodedLeave));
  EXPECT_EQ(std::get<ClientLeave>(*decodedLeave).reason, "left");

  auto replaced = classifyRelayMessage(controlFrame(replacedControl()));
  ASSERT_TRUE(replaced && std::holds_alternative<ControlMessage>(*replaced));
  auto decodedReplaced = decodeRelayControl(std::get<ControlMessage>(*replaced).object);
  ASSERT_TRUE(decodedReplaced && std::holds_alternative<Replaced>(*decodedReplaced));

  // A string with bad UTF-8 is replaced rather than making the builder throw.
  EXPECT_NO_THROW(controlFrame(clientJoinControl(1, "\xFF")));

  auto data = classifyRelayMessage(dataFrame(42, bytesOf("xyz"), RelayOp::dataTxt));
  ASSERT_TRUE(data && std::holds_alternative<ClientMessage>(*data));
  EXPECT_EQ(std::get<ClientMessage>(*data).clientId, 42u);
  EXPECT_EQ(std::get<ClientMessage>(*data).message, bytesOf("xyz"));
}

}  // namespace
}  // namespace cvl
