#include "kit/capture/band_scaler.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kit/capture/scaler.h"
#include "kit/capture/screen_changes.h"
#include "tests/capture/test_pictures.h"

namespace cvl::test {
namespace {

// Rows scaled on their own are the rows of a whole scale, whatever the band and the ratio.
TEST(BandScaler, MarkedRowsEqualAWholeScale) {
  struct Case {
    int sw, sh, dw, dh;
  } cases[] = {{1920, 1080, 1280, 720}, {2880, 1800, 1280, 800}, {333, 251, 200, 150},
               {100, 100, 99, 99}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh);
    auto px = desktopPixels(c.sw, c.sh, 11);
    auto src = imageOf(px, c.sw, c.sh);
    int stride = c.dw * 4;
    std::vector<uint8_t> whole(static_cast<size_t>(stride) * c.dh);
    ASSERT_TRUE(scaleInto(*src, whole.data(), stride, c.dw, c.dh));

    std::vector<uint8_t> rows((c.dh + 15) / 16, 0);
    rows[0] = rows[rows.size() / 2] = rows.back() = 1;
    if (rows.size() > 3) rows[rows.size() / 2 + 1] = 1;  // a run of two
    std::vector<uint8_t> banded(whole.size(), 0xAB);
    ASSERT_TRUE(scaleMarkedRows(*src, banded.data(), stride, c.dw, c.dh, rows, 16));
    for (int y = 0; y < c.dh; ++y) {
      const uint8_t* got = banded.data() + static_cast<size_t>(y) * stride;
      if (rows[y / 16]) {
        ASSERT_EQ(std::memcmp(got, whole.data() + static_cast<size_t>(y) * stride, stride), 0)
            << "row " << y;
      } else {
        ASSERT_EQ(got[0], 0xAB) << "row " << y << " is not marked and must stay as it was";
      }
    }
  }
}

// The change of a source rectangle, marked with markRows and rescaled by band, brings the kept
// output to what a whole scale of the new frame gives.
TEST(BandScaler, RescalingMarkedRowsCatchesUpWithTheNewFrame) {
  struct Case {
    int sw, sh, dw, dh;
  } cases[] = {{1920, 1080, 1280, 720}, {2880, 1800, 1280, 800}, {1000, 1000, 999, 999}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh);
    int stride = c.dw * 4;
    auto px = desktopPixels(c.sw, c.sh, 2);
    std::vector<uint8_t> kept(static_cast<size_t>(stride) * c.dh);
    ASSERT_TRUE(scaleInto(*imageOf(px, c.sw, c.sh), kept.data(), stride, c.dw, c.dh));
    ScreenChanges changes;
    for (ChangeRect r : {ChangeRect{600, 500, 340, 360}, ChangeRect{0, 287, 1000, 1},
                         ChangeRect{5, c.sh - 1, 3, 1}, ChangeRect{0, 0, 1, 1}}) {
      fillRect(px, c.sw, r.x, r.y, r.width, r.height, 0x10c080);
      changes.add(r, c.sw, c.sh);
    }
    auto now = imageOf(px, c.sw, c.sh);
    std::vector<uint8_t> rows;
    markRows(changes, c.sh, c.dh, 16, rows);
    ASSERT_TRUE(scaleMarkedRows(*now, kept.data(), stride, c.dw, c.dh, rows, 16));
    std::vector<uint8_t> whole(kept.size());
    ASSERT_TRUE(scaleInto(*now, whole.data(), stride, c.dw, c.dh));
    EXPECT_TRUE(kept == whole);
  }
}

TEST(BandScaler, RefusesRangesOutsideTheOutput) {
  auto px = desktopPixels(64, 64);
  auto src = imageOf(px, 64, 64);
  std::vector<uint8_t> dst(32 * 32 * 4);
  EXPECT_FALSE(scaleRowsInto(*src, dst.data(), 128, 32, 32, -1, 4));
  EXPECT_FALSE(scaleRowsInto(*src, dst.data(), 128, 32, 32, 30, 33));
  EXPECT_FALSE(scaleRowsInto(*src, dst.data(), 128, 32, 32, 8, 8));
  EXPECT_TRUE(scaleRowsInto(*src, dst.data(), 128, 32, 32, 31, 32));
}

}  // namespace
}  // namespace cvl::test
