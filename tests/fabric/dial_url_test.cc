#include "kit/fabric/dial_url.h"

#include <gtest/gtest.h>

namespace cvl {
namespace {

TEST(DialUrl, StripsSlashesAndEncodesTheQueryValues) {
  // The encoding itself: tests/base/url_encoding_test.cc (QUERY_VALUE_ALLOWED).
  const std::pair<const char*, const char*> bases[] = {
      {"wss://relay.example", "wss://relay.example"},
      {"wss://relay.example/", "wss://relay.example"},
      {"wss://relay.example/base///", "wss://relay.example/base"},
      {"///", ""},
  };
  for (auto [given, base] : bases) EXPECT_EQ(DialUrl::baseUrl(given), base) << given;

  FabricConfig config;
  config.deviceId = "mac 1";
  config.deviceToken = "t+/=";
  config.relayUrl = "ws://127.0.0.1:8080//";
  EXPECT_EQ(DialUrl::hostUrl(config),
            "ws://127.0.0.1:8080/host?deviceId=mac%201&token=t%2B%2F%3D");
}

}  // namespace
}  // namespace cvl
