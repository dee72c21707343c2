#include "kit/base/base64.h"

#include <gtest/gtest.h>

namespace cvl {
namespace {

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Base64, KnownVectorsRoundTrip) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, encoded] : vectors) {
    EXPECT_EQ(Base64::encode(bytesOf(plain)), encoded);
    EXPECT_EQ(Base64::decode(encoded), bytesOf(plain));
  }
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::string text = Base64::encode(all);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(Base64::decode(text), all);
}

TEST(Base64, RejectsMalformedText) {
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zm9v!A==", "Zg==Zg==", "=Zg=", "Zm 9"}) {
    EXPECT_EQ(Base64::decode(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace cvl
