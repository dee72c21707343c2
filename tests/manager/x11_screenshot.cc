#include "tests/manager/x11_screenshot.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace cvl::test {

QSize windowSize(unsigned long window) {
  X11Connection x = X11Connection::open();
  XWindowAttributes attributes;
  if (!x || !XGetWindowAttributes(x.get(), window, &attributes)) return {};
  return {attributes.width, attributes.height};
}

QImage grabWindow(unsigned long window) {
  X11Connection x = X11Connection::open();
  XWindowAttributes attributes;
  if (!x || !XGetWindowAttributes(x.get(), window, &attributes)) return {};
  XImage* image = XGetImage(x.get(), window, 0, 0, attributes.width, attributes.height,
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

CoveringWindow::CoveringWindow() : connection_(X11Connection::open()) {
  Display* display = connection_.get();
  if (!display) return;
  window_ = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 600, 700, 0, 0, 0);
  XMapRaised(display, window_);
  XSync(display, False);
}

CoveringWindow::~CoveringWindow() {
  if (connection_) XDestroyWindow(connection_.get(), window_);
}

bool isAbove(unsigned long upper, unsigned long lower) {
  X11Connection x = X11Connection::open();
  if (!x) return false;
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(x.get(), DefaultRootWindow(x.get()), &root, &parent, &children, &count)) {
    return false;
  }
  int upperAt = -1, lowerAt = -1;  // bottom to top
  for (unsigned int i = 0; i < count; ++i) {
    if (children[i] == upper) upperAt = static_cast<int>(i);
    if (children[i] == lower) lowerAt = static_cast<int>(i);
  }
  if (children) XFree(children);
  return upperAt >= 0 && lowerAt >= 0 && upperAt > lowerAt;
}

}  // namespace cvl::test
