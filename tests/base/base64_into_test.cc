#include "kit/base/base64_into.h"

#include <gtest/gtest.h>

#include "kit/base/base64.h"

namespace cvl {
namespace {

// The direct encoder agrees with the present one for every tail length and every byte value,
// and writes exactly encodedSize bytes.
TEST(Base64Into, MatchesTheStringEncoderAndStaysInItsBytes) {
  for (size_t size = 0; size < 70; ++size) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(255 - i * 37);
    std::string expected = Base64::encode(data);
    std::vector<uint8_t> out(Base64::encodedSize(size) + 1, '#');
    EXPECT_EQ(Base64::encodeTo(data, out.data()), expected.size());
    EXPECT_EQ(std::string(out.begin(), out.end() - 1), expected);
    EXPECT_EQ(out.back(), '#');
  }
  std::vector<uint8_t> all(256 * 3);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i / 3 + (i % 3) * 85);
  std::vector<uint8_t> out(Base64::encodedSize(all.size()));
  Base64::encodeTo(all, out.data());
  EXPECT_EQ(std::string(out.begin(), out.end()), Base64::encode(all));
}

}  // namespace
}  // namespace cvl
