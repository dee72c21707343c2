#include "kit/base/url_encoding.h"

#include <gtest/gtest.h>

namespace cvl {
namespace {

TEST(UrlEncodingTest, PercentEncodeKeepsOnlyTheAllowedSet) {
  struct Case {
    std::string_view text, allowed, encoded;
  } cases[] = {
      {"a+b/c", url::QUERY_VALUE_ALLOWED, "a%2Bb%2Fc"},
      {"k&v=w?x", url::QUERY_VALUE_ALLOWED, "k%26v%3Dw%3Fx"},
      {"A-z_0.9~!$'()*,:;@", url::QUERY_VALUE_ALLOWED, "A-z_0.9~!$'()*,:;@"},
      {"abcXYZ019", url::QUERY_VALUE_ALLOWED, "abcXYZ019"},
      {"k=v&x?y", url::QUERY_VALUE_ALLOWED, "k%3Dv%26x%3Fy"},
      {"sp ace#%\"<>[]", url::QUERY_VALUE_ALLOWED, "sp%20ace%23%25%22%3C%3E%5B%5D"},
      {"\xC3\xA9", url::QUERY_VALUE_ALLOWED, "%C3%A9"},
      {std::string_view("a\0b", 3), url::QUERY_VALUE_ALLOWED, "a%00b"},
      {"a+b/c&d=e?f", url::QUERY_ALLOWED, "a+b/c&d=e?f"},
      {"sp ace#%\"<>", url::QUERY_ALLOWED, "sp%20ace%23%25%22%3C%3E"},
      {"otpauth://totp/A:b?secret=K", url::ALPHANUMERIC_ONLY,
       "otpauth%3A%2F%2Ftotp%2FA%3Ab%3Fsecret%3DK"},
      {"é\x01\x7f", url::QUERY_ALLOWED, "%C3%A9%01%7F"},
      {"", url::QUERY_ALLOWED, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(url::percentEncode(c.text, c.allowed), c.encoded);
  }
}

TEST(UrlEncodingTest, JoinDropsOneTrailingSlash) {
  EXPECT_EQ(url::join("https://b.test", "/login"), "https://b.test/login");
  EXPECT_EQ(url::join("https://b.test/", "/login"), "https://b.test/login");
  EXPECT_EQ(url::join("https://b.test//", "/login"), "https://b.test//login");
  EXPECT_EQ(url::join("", "/login"), "/login");
}

}  // namespace
}  // namespace cvl
