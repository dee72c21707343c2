// Spliced row-encoded frames read by decoders other than the one the unit tests use: Pillow
// (python3-pil) and ffmpeg's own JPEG decoder, each in its own process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "kit/capture/row_jpeg_encoder.h"
#include "tests/capture/test_pictures.h"
#include "tests/support/child_process.h"
#include "tests/support/jpeg_decode.h"

namespace cvl::test {
namespace {

constexpr int W = 1920, H = 1080;

// A spliced frame: a desktop, then a window's worth of rows re-encoded.
std::vector<uint8_t> splicedFrame(ImageRef& shown) {
  auto px = desktopPixels(W, H, 5);
  RowJpegEncoder encoder;
  EXPECT_TRUE(encoder.encode(*imageOf(px, W, H), 60));
  fillRect(px, W, 900, 500, 640, 360, 0x3060c0);
  fillRect(px, W, 0, 1072, W, 8, 0xffffff);
  std::vector<uint8_t> changed(RowJpegEncoder::rowCount(H), 0);
  for (int r = 500 / 16; r <= 859 / 16; ++r) changed[r] = 1;
  changed.back() = 1;
  shown = imageOf(px, W, H);
  auto out = encoder.encodeChanged(*shown, 60, changed);
  EXPECT_TRUE(out);
  EXPECT_LT(encoder.rowsEncoded(), RowJpegEncoder::rowCount(H));
  return out ? std::vector<uint8_t>(out->begin(), out->end()) : std::vector<uint8_t>{};
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// TurboJPEG's decode as packed RGB, the layout both other decoders write.
std::vector<uint8_t> referenceRgb(const std::vector<uint8_t>& jpeg) {
  auto image = decodeJpeg(jpeg);
  std::vector<uint8_t> rgb;
  if (!image) return rgb;
  rgb.reserve(static_cast<size_t>(W) * H * 3);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const uint8_t* p = image->row(y) + x * 4;
      rgb.insert(rgb.end(), {p[2], p[1], p[0]});
    }
  }
  return rgb;
}

// The largest mean difference of any 16-pixel row band: a row spliced into the wrong place or
// coded wrongly stands out, while another decoder's rounding stays small everywhere.
double worstBandDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t band = static_cast<size_t>(W) * 3 * 16;
  double worst = 0;
  for (size_t start = 0; start < a.size(); start += band) {
    size_t end = std::min(a.size(), start + band);
    double sum = 0;
    for (size_t i = start; i < end; ++i) sum += std::abs(int{a[i]} - int{b[i]});
    worst = std::max(worst, sum / static_cast<double>(end - start));
  }
  return worst;
}

TEST(RowJpegDecoders, PillowReadsASplicedFrameAsTurboJpegDoes) {
  ImageRef shown;
  auto jpeg = splicedFrame(shown);
  TempDir dir;
  std::ofstream(dir.file("frame.jpg"), std::ios::binary)
      .write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  auto r = runChild("/usr/bin/python3",
                    {.args = {"-c",
                              "import sys\n"
                              "from PIL import Image\n"
                              "im = Image.open(sys.argv[1])\n"
                              "assert im.format == 'JPEG' and im.size == (1920, 1080), im.size\n"
                              "open(sys.argv[2], 'wb').write(im.convert('RGB').tobytes())\n",
                              dir.file("frame.jpg"), dir.file("frame.rgb")}});
  ASSERT_EQ(r.status, 0) << r.err;
  auto pillow = readFile(dir.file("frame.rgb"));
  auto reference = referenceRgb(jpeg);
  ASSERT_EQ(pillow.size(), reference.size());
  // The same codec underneath: the same pixels.
  EXPECT_EQ(pillow, reference);
}

TEST(RowJpegDecoders, FfmpegDecodesASplicedFrameWithoutErrors) {
  ImageRef shown;
  auto jpeg = splicedFrame(shown);
  TempDir dir;
  std::ofstream(dir.file("frame.jpg"), std::ios::binary)
      .write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  auto r = runChild("/usr/bin/ffmpeg",
                    {.args = {"-hide_banner", "-v", "error", "-xerror", "-err_detect",
                              "explode", "-i", dir.file("frame.jpg"), "-f", "rawvideo",
                              "-pix_fmt", "rgb24", dir.file("frame.rgb")}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto decoded = readFile(dir.file("frame.rgb"));
  auto reference = referenceRgb(jpeg);
  ASSERT_EQ(decoded.size(), reference.size());
  // Another IDCT and chroma upsampling: close, not identical.
  EXPECT_LT(worstBandDifference(decoded, reference), 6.0);
}

}  // namespace
}  // namespace cvl::test
