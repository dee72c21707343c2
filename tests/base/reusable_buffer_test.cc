#include "kit/base/reusable_buffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace cvl {
namespace {

TEST(ReusableBuffer, KeepsContentsWhileGrowingAndMemoryWhenCleared) {
  ReusableBuffer b;
  std::vector<uint8_t> ramp(1000);
  std::iota(ramp.begin(), ramp.end(), 0);
  for (int i = 0; i < 50; ++i) b.append(ramp);  // many growths
  ASSERT_EQ(b.size(), 50'000u);
  for (size_t i = 0; i < b.size(); ++i) ASSERT_EQ(b.data()[i], static_cast<uint8_t>(i % 1000));

  const uint8_t* memory = b.data();
  size_t capacity = b.capacity();
  b.clear();
  EXPECT_TRUE(b.empty());
  b.append(ramp);
  EXPECT_EQ(b.data(), memory) << "a cleared buffer reuses its memory";
  EXPECT_EQ(b.capacity(), capacity);

  uint8_t* tail = b.extend(3);
  tail[0] = 7, tail[1] = 8, tail[2] = 9;
  b.push_back(10);
  EXPECT_EQ(b.size(), 1004u);
  EXPECT_EQ(b.bytes().back(), 10);
  EXPECT_EQ(b.data()[1001], 8);
  b.truncate(2);
  EXPECT_EQ(b.size(), 2u);
  b.truncate(10);
  EXPECT_EQ(b.size(), 2u) << "truncate never lengthens";
}

}  // namespace
}  // namespace cvl
