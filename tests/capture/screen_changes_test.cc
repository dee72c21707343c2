#include "kit/capture/screen_changes.h"

#include <gtest/gtest.h>

#include "kit/capture/frame_comparer.h"
#include "tests/capture/test_pictures.h"

namespace cvl::test {
namespace {

std::vector<int> marked(const std::vector<uint8_t>& rows) {
  std::vector<int> out;
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i]) out.push_back(static_cast<int>(i));
  return out;
}

TEST(ScreenChanges, AddClipsToTheAreaAndDropsEmptyRects) {
  ScreenChanges c;
  c.add({-5, -5, 10, 10}, 100, 50);
  c.add({95, 45, 20, 20}, 100, 50);
  c.add({200, 0, 5, 5}, 100, 50);
  c.add({10, 10, 0, 5}, 100, 50);
  EXPECT_EQ(c.rects, (std::vector<ChangeRect>{{0, 0, 5, 5}, {95, 45, 5, 5}}));
}

TEST(ScreenChanges, MarkRowsAtFullSizeAndShrunk) {
  struct Case {
    const char* name;
    ScreenChanges changes;
    int areaHeight, imageHeight;
    std::vector<int> rows;
  } cases[] = {
      {"nothing", {}, 1080, 1080, {}},
      {"everything", {true, {}, false}, 64, 64, {0, 1, 2, 3}},
      {"inside one row", {false, {{0, 17, 5, 3}}, false}, 1080, 1080, {1}},
      {"touching a boundary", {false, {{0, 15, 5, 2}}, false}, 1080, 1080, {0, 1}},
      {"the short last row", {false, {{0, 1079, 1, 1}}, false}, 1080, 1080, {67}},
      {"two rects", {false, {{0, 0, 1, 1}, {0, 40, 1, 1}}, false}, 64, 64, {0, 2}},
      // 1080 -> 720: area row 300 is image row 200, widened by two for the filter.
      {"shrunk", {false, {{0, 300, 10, 1}}, false}, 1080, 720, {12}},
      {"shrunk across a boundary", {false, {{0, 286, 10, 1}}, false}, 1080, 720, {11, 12}},
      {"shrunk at the bottom", {false, {{0, 1079, 10, 1}}, false}, 1080, 720, {44}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> rows;
    markRows(c.changes, c.areaHeight, c.imageHeight, 16, rows);
    EXPECT_EQ(rows.size(), static_cast<size_t>((c.imageHeight + 15) / 16));
    EXPECT_EQ(marked(rows), c.rows);
  }
}

TEST(FrameComparer, ReportsTheBandsAndColumnsThatDiffer) {
  int w = 200, h = 70;
  auto px = desktopPixels(w, h);
  FrameComparer comparer;
  EXPECT_TRUE(comparer.compare(imageOf(px, w, h)).everything) << "nothing to compare with";

  auto same = comparer.compare(imageOf(px, w, h));  // equal pixels in another buffer
  EXPECT_TRUE(same.none());

  fillRect(px, w, 30, 20, 10, 2, 0x00ff00);   // band 1
  fillRect(px, w, 150, 66, 5, 4, 0xff0000);   // band 4, the short one
  auto changed = comparer.compare(imageOf(px, w, h));
  EXPECT_FALSE(changed.everything);
  EXPECT_EQ(changed.rects, (std::vector<ChangeRect>{{30, 16, 10, 16}, {150, 64, 5, 6}}));

  // Only the padding byte differs: nothing a viewer can see.
  auto padded = px;
  padded[3] ^= 0xff;
  EXPECT_TRUE(comparer.compare(imageOf(padded, w, h)).none());

  EXPECT_TRUE(comparer.compare(imageOf(desktopPixels(w, h + 1), w, h + 1)).everything)
      << "another size";
}

// The column search works on pixel pairs: single changed pixels at every column parity, at the
// edges and in odd widths must still give the exact columns.
TEST(FrameComparer, FindsExactColumnsForSinglePixelsAndPairs) {
  for (int w : {1, 2, 3, 7, 64, 65}) {
    for (int x0 = 0; x0 < w; x0 += std::max(1, w / 9)) {
      for (int x1 : {x0, std::min(w - 1, x0 + 1), w - 1}) {
        SCOPED_TRACE(testing::Message() << "w " << w << " columns " << x0 << ".." << x1);
        auto px = desktopPixels(w, 20, 3);
        FrameComparer comparer;
        comparer.compare(imageOf(px, w, 20));
        px[(static_cast<size_t>(3) * w + x0) * 4 + 1] ^= 0x40;   // row 3
        px[(static_cast<size_t>(17) * w + x1) * 4 + 2] ^= 0x01;  // row 17, the next band
        auto changes = comparer.compare(imageOf(px, w, 20));
        EXPECT_EQ(changes.rects, (std::vector<ChangeRect>{{x0, 0, 1, 16}, {x1, 16, 1, 4}}));
      }
    }
  }
}

}  // namespace
}  // namespace cvl::test
