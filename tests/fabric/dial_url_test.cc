#include "kit/fabric/dial_url.h"

#include <gtest/gtest.h>

namespace cvl {
namespace {

TEST(DialUrl, StripsSlashesAndEncodesTheQueryValues) {
  const std::pair<const char*, const char*> bases[] = {
      {"wss://relay.example", "wss://relay.example"},
      {"wss://relay.example/", "wss://relay.example"},
      {"wss://relay.example/base///", "wss://relay.example/base"},
      {"///", ""},
  };
  for (auto [given, base] : bases) EXPECT_EQ(DialUrl::baseUrl(given), base) << given;

  const std::pair<const char*, const char*> values[] = {
      {"abcXYZ019", "abcXYZ019"},
      {"a+b/c", "a%2Bb%2Fc"},
      {"k=v&x?y", "k%3Dv%26x%3Fy"},
      {"!$'()*,-.:;@_~", "!$'()*,-.:;@_~"},
      {"sp ace#%\"<>[]", "sp%20ace%23%25%22%3C%3E%5B%5D"},
      {"\xC3\xA9", "%C3%A9"},
  };
  for (auto [given, encoded] : values) {
    EXPECT_EQ(DialUrl::encodeQueryValue(given), encoded) << given;
  }

  FabricConfig config;
  config.deviceId = "mac 1";
  config.deviceToken = "t+/=";
  config.relayUrl = "ws://127.0.0.1:8080//";
  EXPECT_EQ(DialUrl::hostUrl(config),
            "ws://127.0.0.1:8080/host?deviceId=mac%201&token=t%2B%2F%3D");
}

}  // namespace
}  // namespace cvl
