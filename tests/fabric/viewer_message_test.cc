// The value rules for viewers' JSON messages.
#include "kit/fabric/viewer_message.h"

#include <gtest/gtest.h>

#include <limits>

namespace cvl {
namespace {

using nlohmann::json;

TEST(ViewerMessage, IntegerRule) {
  const std::pair<json, std::optional<int64_t>> cases[] = {
      {42, 42},
      {-7, -7},
      {3.99, 3},
      {-3.99, -3},
      {"123", 123},
      {"+5", 5},
      {"-0", 0},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
      {"99999999999999999999", std::numeric_limits<int64_t>::max()},
      {"-99999999999999999999", std::numeric_limits<int64_t>::min()},
      {1e300, std::numeric_limits<int64_t>::max()},
      {18446744073709551615ULL, std::numeric_limits<int64_t>::max()},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"1.5", std::nullopt},
      {" 1", std::nullopt},
      {"0x10", std::nullopt},
      {true, std::nullopt},
      {nullptr, std::nullopt},
      {json::array({1}), std::nullopt},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(ViewerMessage::integer({{"k", value}}, "k"), expected) << value.dump();
  }
  EXPECT_EQ(ViewerMessage::integer({{"other", 1}}, "k"), std::nullopt);
  EXPECT_EQ(ViewerMessage::integer(json::array(), "k"), std::nullopt);
}

TEST(ViewerMessage, NumberBooleanAndStringRules) {
  EXPECT_EQ(ViewerMessage::number({{"fps", 29.5}}, "fps"), 29.5);
  EXPECT_EQ(ViewerMessage::number({{"fps", 12}}, "fps"), 12.0);
  EXPECT_EQ(ViewerMessage::number({{"fps", "12"}}, "fps"), std::nullopt);
  EXPECT_EQ(ViewerMessage::number({{"fps", nullptr}}, "fps"), std::nullopt);

  const std::pair<json, bool> booleans[] = {
      {true, true}, {false, false}, {1, true},       {0, false},    {-2, true},
      {0.0, false}, {0.5, true},    {"true", false}, {nullptr, false}, {json::object(), false},
  };
  for (const auto& [value, expected] : booleans) {
    EXPECT_EQ(ViewerMessage::boolean({{"on", value}}, "on"), expected) << value.dump();
  }
  EXPECT_FALSE(ViewerMessage::boolean(json::object(), "on"));

  EXPECT_EQ(ViewerMessage::string({{"to", "part_1"}}, "to"), "part_1");
  EXPECT_EQ(ViewerMessage::string({{"to", 1}}, "to"), std::nullopt);
  EXPECT_EQ(ViewerMessage::type({{"type", 3}}), "");
}

// The kind of a JSON input message is decided here, once; only the six JSON input types
// make events, spelled exactly.
TEST(ViewerMessage, OnlyTheJsonInputTypesMakeEvents) {
  const std::pair<const char*, std::optional<InputKind>> types[] = {
      {"move", InputKind::move},       {"movedirect", InputKind::moveDirect},
      {"button", InputKind::button},   {"wheel", InputKind::wheel},
      {"keyvk", InputKind::keyVk},     {"keyunicode", InputKind::keyUnicode},
      {"axis", std::nullopt},          {"padbutton", std::nullopt},
      {"snapshot", std::nullopt},      {"Move", std::nullopt},
      {"", std::nullopt},              {"monitors", std::nullopt},
  };
  for (const auto& [type, kind] : types) {
    SCOPED_TRACE(type);
    EXPECT_EQ(ViewerMessage::inputKind(type), kind);
    auto event = ViewerMessage::inputEvent({{"type", type}});
    EXPECT_EQ(event.has_value(), kind.has_value());
    if (event) {
      EXPECT_EQ(event->kind, *kind);
    }
  }
  EXPECT_FALSE(ViewerMessage::inputEvent({{"type", 1}}));
}

}  // namespace
}  // namespace cvl
