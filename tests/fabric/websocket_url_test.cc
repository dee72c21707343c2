#include <gtest/gtest.h>

#include "kit/fabric/websocket.h"

namespace cvl {
namespace {

TEST(WebSocketUrl, ParsesWhatADialNeeds) {
  struct Case {
    const char* text;
    WebSocketUrl expected;
  };
  const Case cases[] = {
      {"ws://relay.example", {false, "relay.example", 80, "/"}},
      {"WSS://Relay.Example/host?deviceId=a&token=b%2B",
       {true, "Relay.Example", 443, "/host?deviceId=a&token=b%2B"}},
      {"ws://127.0.0.1:8080/host?x=1#frag", {false, "127.0.0.1", 8080, "/host?x=1"}},
      {"wss://[::1]:9443/r/host", {true, "::1", 9443, "/r/host"}},
      {"ws://h?q=1", {false, "h", 80, "/?q=1"}},
      {"ws://h:65535", {false, "h", 65535, "/"}},
      // The path and query go out as written, even what a strict parser would refuse.
      {"ws://h/host?token=%zz&x=a|b", {false, "h", 80, "/host?token=%zz&x=a|b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto url = parseWebSocketUrl(c.text);
    ASSERT_TRUE(url);
    EXPECT_EQ(*url, c.expected);
  }
}

TEST(WebSocketUrl, RefusesWhatCannotBeDialed) {
  for (const char* text :
       {"", "relay.example", "http://relay.example", "ftp://x", "ws://", "ws:///host",
        "ws://:80", "ws://h:", "ws://h:0", "ws://h:65536", "ws://h:12a", "ws://h:12a/x",
        "ws://user@h/", "ws://h /host", "ws://h/ho st", "ws://h/\x01", "ws://[::1/", "ws://[zz]/",
        "ws://[::1]x", "ws://bad^host/"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseWebSocketUrl(text));
  }
}

}  // namespace
}  // namespace cvl
