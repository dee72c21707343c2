#include "tools/relay/relay_target.h"

#include <gtest/gtest.h>

namespace cvl::relay {
namespace {

TEST(RelayTarget, TakesTheEndpointAndTheDecodedQuery) {
  struct Case {
    const char* target;
    const char* endpoint;
    std::map<std::string, std::string> query;
  };
  const Case cases[] = {
      {"/host?deviceId=dev-1&token=t%2B%2F%3D", "host", {{"deviceId", "dev-1"}, {"token", "t+/="}}},
      {"/relay/prefix/view?role=owner", "view", {{"role", "owner"}}},
      {"/", "", {}},
      {"/index.html", "index.html", {}},
      {"/r/?x=1", "", {{"x", "1"}}},
      // A plus is a plus, and a space arrives escaped.
      {"/host?token=a+b%20c", "host", {{"token", "a+b c"}}},
      // The first occurrence of a key counts; empty pieces and keys without "=" are kept apart.
      {"/host?a=1&&a=2&b&=c&", "host", {{"a", "1"}, {"b", ""}, {"", "c"}}},
      // Characters a browser leaves unescaped are taken as they are.
      {"/view?token=a|b{c}^d#e\xC3\xA9", "view", {{"token", "a|b{c}^d#e\xC3\xA9"}}},
      {"/host?k=%41%e9", "host", {{"k", "A\xE9"}}},
      // The path is not decoded: only the literal endpoint names route.
      {"/h%6Fst?x=1", "h%6Fst", {{"x", "1"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    RelayTarget target = parseRelayTarget(c.target);
    EXPECT_FALSE(target.malformed);
    EXPECT_EQ(target.endpoint, c.endpoint);
    EXPECT_EQ(target.query, c.query);
  }
}

TEST(RelayTarget, ABrokenEscapeTrustsNoParameter) {
  for (const char* text : {"/host?deviceId=dev-1&token=%zz", "/host?token=%4", "/host?token=%",
                           "/view?%g0=x"}) {
    SCOPED_TRACE(text);
    RelayTarget target = parseRelayTarget(text);
    EXPECT_TRUE(target.malformed);
    EXPECT_TRUE(target.query.empty());
  }
  // The endpoint still routes, so the refusal is the endpoint's own (401, not 404).
  EXPECT_EQ(parseRelayTarget("/r/host?token=%zz").endpoint, "host");
}

}  // namespace
}  // namespace cvl::relay
