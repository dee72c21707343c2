#pragma once
// A crisp square QR code for a text: byte mode, error correction level H, the standard quiet
// zone of four modules. One module pixel per module is scaled by
//   scale = max(side / width, 1)        (width = modules + quiet zone, in pixels; not rounded)
// with nearest-neighbour sampling, dark on white. Absent when no code can hold the text (a few
// kilobytes are too many at level H). Any thread.

#include <QImage>
#include <QString>

#include <optional>

namespace cvl::QRCodeImage {

inline constexpr int QUIET_ZONE = 4;

std::optional<QImage> make(const QString& text, double side);

// The scale `make` uses for a code `width` pixels wide drawn into `side`.
double scaleFor(double side, int width);

}  // namespace cvl::QRCodeImage
