#include "tests/manager/x11_screenshot.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace cvl::test {

namespace {

struct Connection {
  Display* display = XOpenDisplay(nullptr);
  ~Connection() {
    if (display) XCloseDisplay(display);
  }
};

}  // namespace

QSize windowSize(unsigned long window) {
  Connection x;
  XWindowAttributes attributes;
  if (!x.display || !XGetWindowAttributes(x.display, window, &attributes)) return {};
  return {attributes.width, attributes.height};
}

QImage grabWindow(unsigned long window) {
  Connection x;
  XWindowAttributes attributes;
  if (!x.display || !XGetWindowAttributes(x.display, window, &attributes)) return {};
  XImage* image = XGetImage(x.display, window, 0, 0, attributes.width, attributes.height,
                            AllPlanes, ZPixmap);
  if (!image) return {};
  QImage result(attributes.width, attributes.height, QImage::Format_RGB32);
  for (int y = 0; y < attributes.height; ++y) {
    auto* line = reinterpret_cast<QRgb*>(result.scanLine(y));
    for (int x0 = 0; x0 < attributes.width; ++x0) {
      unsigned long pixel = XGetPixel(image, x0, y);
      line[x0] = qRgb((pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
    }
  }
  XDestroyImage(image);
  return result;
}

}  // namespace cvl::test
