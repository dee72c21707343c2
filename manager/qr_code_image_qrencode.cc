// QRCodeImage on libqrencode.
#include <qrencode.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "manager/qr_code_image.h"

namespace cvl::QRCodeImage {

double scaleFor(double side, int width) {
  return width > 0 ? std::max(side / width, 1.0) : 1.0;
}

std::optional<QImage> make(const QString& text, double side) {
  QByteArray bytes = text.toUtf8();
  // One byte-mode segment with the text; an empty text has no segment at all, which still
  // makes the smallest code (the library refuses a segment of length zero).
  std::unique_ptr<QRinput, void (*)(QRinput*)> input(QRinput_new2(0, QR_ECLEVEL_H), QRinput_free);
  if (!input) return std::nullopt;
  if (!bytes.isEmpty() &&
      QRinput_append(input.get(), QR_MODE_8, static_cast<int>(bytes.size()),
                     reinterpret_cast<const unsigned char*>(bytes.constData())) != 0) {
    return std::nullopt;
  }
  std::unique_ptr<QRcode, void (*)(QRcode*)> code(QRcode_encodeInput(input.get()), QRcode_free);
  if (!code) return std::nullopt;

  const int modules = code->width;
  const int width = modules + 2 * QUIET_ZONE;
  QImage unit(width, width, QImage::Format_Grayscale8);
  unit.fill(255);
  for (int y = 0; y < modules; ++y) {
    uchar* line = unit.scanLine(y + QUIET_ZONE);
    for (int x = 0; x < modules; ++x) {
      if (code->data[y * modules + x] & 1) line[x + QUIET_ZONE] = 0;
    }
  }
  const int pixels = static_cast<int>(std::lround(width * scaleFor(side, width)));
  QImage scaled = unit.scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::FastTransformation);
  if (scaled.isNull()) return std::nullopt;
  return scaled.convertToFormat(QImage::Format_RGB32);
}

}  // namespace cvl::QRCodeImage
