#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>

#include "kit/capture/x11/monitors_x11.h"
#include "kit/capture/x11/xgetimage_screenshot_source.h"

namespace cvl {

XGetImageScreenshotSource::XGetImageScreenshotSource(DisplayId displayId)
    : displayId_(displayId) {}

XGetImageScreenshotSource::~XGetImageScreenshotSource() {
  if (display_) XCloseDisplay(display_);
}

ImageRef XGetImageScreenshotSource::latestImage() {
  std::lock_guard lock(mutex_);
  if (!display_) {
    x11::installErrorHandler();
    display_ = XOpenDisplay(nullptr);
    if (!display_) return nullptr;
  }
  auto monitors = x11::queryMonitors(display_);
  const x11::Monitor* m = x11::findMonitor(monitors, displayId_);
  if (!m) return nullptr;
  int screen = DefaultScreen(display_);
  int x = std::max(m->x, 0), y = std::max(m->y, 0);
  int right = std::min(m->x + m->width, DisplayWidth(display_, screen));
  int bottom = std::min(m->y + m->height, DisplayHeight(display_, screen));
  if (right <= x || bottom <= y) return nullptr;

  XImage* image = XGetImage(display_, RootWindow(display_, screen), x, y, right - x, bottom - y,
                            AllPlanes, ZPixmap);
  x11::takeError();
  if (!image) return nullptr;
  Visual* visual = DefaultVisual(display_, screen);
  if (image->bits_per_pixel != 32 || image->byte_order != LSBFirst ||
      visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 || visual->blue_mask != 0xff) {
    XDestroyImage(image);
    return nullptr;
  }
  // The image's memory is Xlib's; it is freed with the last reference to the frame.
  std::shared_ptr<const void> owner(image, [](const void* p) {
    XDestroyImage(static_cast<XImage*>(const_cast<void*>(p)));
  });
  return Image::wrap(image->width, image->height, image->bytes_per_line,
                     reinterpret_cast<const uint8_t*>(image->data), std::move(owner),
                     ScreenArea{double(x), double(y), double(right - x), double(bottom - y)});
}

}  // namespace cvl
