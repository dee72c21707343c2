#include "kit/capture/row_jpeg_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "kit/capture/jpeg_restart_segments.h"
#include "tests/capture/test_pictures.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/turbojpeg_reference.h"

namespace cvl::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes wholeEncode(const Image& image, int quality) {
  RowJpegEncoder fresh;
  auto out = fresh.encode(image, quality);
  EXPECT_TRUE(out);
  return out ? Bytes(out->begin(), out->end()) : Bytes{};
}

bool samePixels(const ImageRef& a, const ImageRef& b) {
  if (!a || !b || a->width() != b->width() || a->height() != b->height()) return false;
  for (int y = 0; y < a->height(); ++y) {
    if (std::memcmp(a->row(y), b->row(y), static_cast<size_t>(a->width()) * 4) != 0) return false;
  }
  return true;
}

struct Size {
  int w, h;
};
const Size SIZES[] = {{1, 1},     {17, 1},    {33, 17},    {64, 48},
                      {250, 97}, {250, 98}, {1280, 720}, {1920, 1080}};

double meanDifference(const Image& a, const Image& b) {
  double sum = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width() * 4; ++x) {
      if (x % 4 != 3) sum += std::abs(int{a.row(y)[x]} - int{b.row(y)[x]});
    }
  }
  return sum / (3.0 * a.width() * a.height());
}

// Whole encodes: one segment per MCU row, pixels close to the source, and for even sizes the
// same pixels as TurboJPEG's whole encode of the same planes (restart markers change the
// coding, not the coefficients). At odd sizes TurboJPEG reads planes that are one sample
// short of what it reads (it wants them padded to even sizes), so its edge differs: the frame
// path used to code the right and bottom edge blocks of odd-sized frames with wrong padding.
TEST(RowJpegEncoder, WholeEncodeHasARowPerSegmentAndDecodesLikeTurboJpeg) {
  for (Size s : SIZES) {
    for (int quality : {1, 60, 100}) {
      SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " q" << quality);
      auto image = imageOf(desktopPixels(s.w, s.h), s.w, s.h);
      Bytes ours = wholeEncode(*image, quality);
      auto pieces = findRestartSegments(ours);
      ASSERT_TRUE(pieces);
      EXPECT_EQ(pieces->rows.size(), static_cast<size_t>(RowJpegEncoder::rowCount(s.h)));
      auto decoded = decodeJpeg(ours);
      ASSERT_TRUE(decoded);
      // 4:2:0 chroma on text-like stripes costs a few levels even at the best quality.
      if (quality == 100) {
        EXPECT_LT(meanDifference(*decoded, *image), 6.0);
      }
      if (s.w % 2 == 0 && s.h % 2 == 0) {
        auto reference = turboJpegEncode(*image, quality);
        ASSERT_TRUE(reference);
        EXPECT_TRUE(samePixels(decoded, decodeJpeg(*reference)));
      }
    }
  }
}

// Frames spliced from changed rows are byte for byte what a whole encode of the same image
// gives, over a chain of frames (a splice spliced again) and across the short last row.
TEST(RowJpegEncoder, SplicedFramesEqualWholeEncodes) {
  struct Change {
    int x, y, w, h;
  };
  struct Case {
    const char* name;
    Size size;
    std::vector<Change> changes;
  } cases[] = {
      {"one row inside", {320, 200}, {{40, 40, 30, 5}}},
      {"first row", {320, 200}, {{0, 0, 4, 4}}},
      {"short last row", {320, 200}, {{100, 195, 50, 5}}},
      {"across a row boundary", {320, 200}, {{10, 14, 200, 4}}},
      {"scattered", {1920, 1080}, {{5, 5, 10, 10}, {900, 520, 640, 360}, {1800, 1075, 100, 5}}},
      {"typing line", {1920, 1080}, {{96, 300, 8, 13}}},
      {"odd size", {251, 97}, {{250, 96, 1, 1}, {0, 40, 251, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int w = c.size.w, h = c.size.h, rows = RowJpegEncoder::rowCount(h);
    auto px = desktopPixels(w, h, 7);
    RowJpegEncoder encoder;
    ASSERT_TRUE(encoder.encode(*imageOf(px, w, h), 60));
    for (int step = 0; step < 3; ++step) {
      SCOPED_TRACE(step);
      std::vector<uint8_t> changed(static_cast<size_t>(rows), 0);
      for (const auto& ch : c.changes) {
        Change moved{ch.x, std::min(h - 1, ch.y + step * 3), ch.w, ch.h};
        fillRect(px, w, moved.x, moved.y, moved.w, moved.h, 0x102030u * (step + 1) + 0x405060);
        int last = std::min(h, moved.y + moved.h) - 1;
        for (int r = moved.y / 16; r <= last / 16; ++r) changed[r] = 1;
      }
      auto image = imageOf(px, w, h);
      auto spliced = encoder.encodeChanged(*image, 60, changed);
      ASSERT_TRUE(spliced);
      EXPECT_EQ(encoder.rowsEncoded(), std::count(changed.begin(), changed.end(), 1));
      EXPECT_EQ(Bytes(spliced->begin(), spliced->end()), wholeEncode(*image, 60));
    }
  }
}

TEST(RowJpegEncoder, NothingChangedHandsOnTheSameBytesAndEverythingChangedEncodesAll) {
  int w = 200, h = 100, rows = RowJpegEncoder::rowCount(h);
  auto px = desktopPixels(w, h);
  auto image = imageOf(px, w, h);
  RowJpegEncoder encoder;
  auto first = encoder.encode(*image, 60);
  ASSERT_TRUE(first);
  Bytes before(first->begin(), first->end());

  auto same = encoder.encodeChanged(*image, 60, std::vector<uint8_t>(rows, 0));
  ASSERT_TRUE(same);
  EXPECT_EQ(encoder.rowsEncoded(), 0);
  EXPECT_EQ(same->data(), first->data()) << "the kept frame itself, not a copy";
  EXPECT_EQ(Bytes(same->begin(), same->end()), before);

  auto other = imageOf(desktopPixels(w, h, 99), w, h);
  auto all = encoder.encodeChanged(*other, 60, std::vector<uint8_t>(rows, 1));
  ASSERT_TRUE(all);
  EXPECT_EQ(encoder.rowsEncoded(), rows);
  EXPECT_EQ(Bytes(all->begin(), all->end()), wholeEncode(*other, 60));
}

// Whatever the mask says, a frame of another size or quality, a mask of the wrong length or a
// reset encoder starts from a whole encode.
TEST(RowJpegEncoder, FallsBackToAWholeEncodeWhenTheKeptFrameDoesNotFit) {
  auto base = desktopPixels(160, 64, 3);
  auto bigger = desktopPixels(160, 80, 4);
  auto changedBase = base;
  fillRect(changedBase, 160, 0, 0, 160, 64, 0x808080);
  struct Case {
    const char* name;
    const std::vector<uint8_t>* pixels;
    int h, quality;
    size_t maskSize;
    bool reset;
  } cases[] = {
      {"taller image", &bigger, 80, 60, 5, false},
      {"other quality", &changedBase, 64, 61, 4, false},
      {"short mask", &changedBase, 64, 60, 3, false},
      {"long mask", &changedBase, 64, 60, 5, false},
      {"after reset", &changedBase, 64, 60, 4, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RowJpegEncoder encoder;
    ASSERT_TRUE(encoder.encode(*imageOf(base, 160, 64), 60));
    if (c.reset) encoder.reset();
    auto image = imageOf(*c.pixels, 160, c.h);
    // An all-clear mask would hand on the old frame if the encoder wrongly kept it.
    auto out = encoder.encodeChanged(*image, c.quality, std::vector<uint8_t>(c.maskSize, 0));
    ASSERT_TRUE(out);
    EXPECT_EQ(encoder.rowsEncoded(), RowJpegEncoder::rowCount(c.h));
    EXPECT_EQ(Bytes(out->begin(), out->end()), wholeEncode(*image, c.quality));
  }
}

TEST(RowJpegEncoder, HigherQualityKeepsMoreDetail) {
  // A noisy image: the encoded size must grow with the quality.
  std::vector<uint8_t> px(128 * 128 * 4);
  uint32_t seed = 1;
  for (auto& b : px) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
  auto image = imageOf(px, 128, 128);
  RowJpegEncoder encoder;
  Bytes low = wholeEncode(*image, 10);
  Bytes high = wholeEncode(*image, 90);
  EXPECT_LT(low.size(), high.size());
  auto decoded = decodeJpeg(high);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 128);
}

TEST(RowJpegEncoder, RefusesImagesJpegCannotHold) {
  RowJpegEncoder encoder;
  std::vector<uint8_t> none;
  EXPECT_FALSE(encoder.encode(Image(0, 10, 0, none.data(), nullptr), 60));
  std::vector<uint8_t> wide(static_cast<size_t>(70000) * 4);
  EXPECT_FALSE(encoder.encode(Image(70000, 1, 70000 * 4, wide.data(), nullptr), 60));
  // Still usable afterwards.
  auto px = desktopPixels(40, 40);
  EXPECT_TRUE(encoder.encode(*imageOf(px, 40, 40), 60));
}

TEST(JpegRestartSegments, FindsRowsAndRefusesWhatTheEncoderNeverWrites) {
  auto px = desktopPixels(64, 40);
  Bytes good = wholeEncode(*imageOf(px, 64, 40), 60);
  auto pieces = findRestartSegments(good);
  ASSERT_TRUE(pieces);
  ASSERT_EQ(pieces->rows.size(), 3u);
  EXPECT_EQ(pieces->rows[0].offset, pieces->headerSize);
  EXPECT_EQ(pieces->rows[2].offset + pieces->rows[2].size + 2, good.size());

  auto firstRst = pieces->rows[0].offset + pieces->rows[0].size;  // FF D0
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"no SOI", Bytes(good.begin() + 2, good.end())},
      {"no EOI", Bytes(good.begin(), good.end() - 2)},
      {"bytes after EOI", [&] { Bytes b = good; b.push_back(0); return b; }()},
      {"restart out of order", [&] { Bytes b = good; b[firstRst + 1] = 0xD3; return b; }()},
      {"header cut short", Bytes(good.begin(), good.begin() + 30)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(findRestartSegments(c.bytes));
  }
}

}  // namespace
}  // namespace cvl::test
