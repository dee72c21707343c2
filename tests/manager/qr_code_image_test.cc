// The QR image: what it encodes (read back with zbarimg), the scale rule, the fallback.
#include "manager/qr_code_image.h"

#include <gtest/gtest.h>

#include <QImage>

#include "tests/support/child_process.h"

namespace cvl {
namespace {

// The text zbarimg reads from the image, without its trailing newline; absent when it finds
// no code.
std::optional<std::string> decode(const QImage& image) {
  test::TempDir dir;
  std::string file = dir.file("qr.png");
  EXPECT_TRUE(image.save(QString::fromStdString(file)));
  auto result = test::runChild("/usr/bin/zbarimg", {.args = {"--raw", "-q", "-Sbinary", file}});
  if (result.status != 0) return std::nullopt;
  std::string text = result.out;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Width of the dark run along the top edge of the top-left finder pattern: seven modules.
int finderWidth(const QImage& image, int firstDark) {
  int y = firstDark;
  int x = firstDark;
  while (x < image.width() && qGray(image.pixel(x, y)) < 128) ++x;
  return x - firstDark;
}

int firstDarkColumn(const QImage& image) {
  for (int i = 0; i < image.width(); ++i) {
    if (qGray(image.pixel(i, i)) < 128) return i;
  }
  return -1;
}

TEST(QRCodeImage, DecodesBackToTheExactText) {
  const std::string texts[] = {
      "otpauth://totp/Corvello:Desk%20one?secret=JBSWY3DPEHPK3PXP&issuer=Corvello&digits=6",
      "otpauth://totp/Corvello:caf\xc3\xa9?secret=ABC",
      "",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    auto image = QRCodeImage::make(QString::fromStdString(text), 200);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->width(), 200);
    EXPECT_EQ(image->height(), 200);
    EXPECT_EQ(decode(*image), text);
  }
}

TEST(QRCodeImage, ScaleIsSideOverWidthButNeverBelowOne) {
  EXPECT_DOUBLE_EQ(QRCodeImage::scaleFor(200, 33), 200.0 / 33);
  EXPECT_DOUBLE_EQ(QRCodeImage::scaleFor(20, 33), 1.0);

  // An empty text is the smallest code at level H: 21 modules + 2 x 4 quiet = 29 pixels.
  auto natural = QRCodeImage::make("", 20);
  ASSERT_TRUE(natural.has_value());
  EXPECT_EQ(natural->width(), 29);  // scale 1: the code's own width, drawn down by the view
  EXPECT_EQ(firstDarkColumn(*natural), 4);
  EXPECT_EQ(finderWidth(*natural, 4), 7);

  auto large = QRCodeImage::make("", 200);
  ASSERT_TRUE(large.has_value());
  double scale = 200.0 / 29;  // about 6.9 pixels per module, not rounded to 7 or 6
  int first = firstDarkColumn(*large);
  EXPECT_NEAR(first, 4 * scale, 1.0);
  EXPECT_NEAR(finderWidth(*large, first), 7 * scale, 1.0);
  // Nearest neighbour: nothing but black and white.
  for (int y = 0; y < large->height(); ++y) {
    for (int x = 0; x < large->width(); ++x) {
      int gray = qGray(large->pixel(x, y));
      ASSERT_TRUE(gray == 0 || gray == 255) << x << "," << y;
    }
  }
}

TEST(QRCodeImage, TextTooLongForAnyCodeGivesNothing) {
  EXPECT_FALSE(QRCodeImage::make(QString(4096, QChar('x')), 200).has_value());
}

}  // namespace
}  // namespace cvl
