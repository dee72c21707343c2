#include "kit/capture/x11/xgetimage_screenshot_source.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>

#include "kit/capture/x11/monitors_x11.h"

namespace cvl {

XGetImageScreenshotSource::XGetImageScreenshotSource(DisplayId displayId) : displayId_(displayId) {}

XGetImageScreenshotSource::~XGetImageScreenshotSource() = default;

ImageRef XGetImageScreenshotSource::latestImage() {
  std::lock_guard lock(mutex_);
  if (!connection_) {
    connection_ = X11Connection::open();
    if (!connection_) return nullptr;
  }
  Display* display = connection_.get();
  auto monitors = x11::queryMonitors(display);
  const x11::Monitor* m = x11::findMonitor(monitors, displayId_);
  if (!m) return nullptr;
  int screen = DefaultScreen(display);
  int x = std::max(m->x, 0), y = std::max(m->y, 0);
  int right = std::min(m->x + m->width, DisplayWidth(display, screen));
  int bottom = std::min(m->y + m->height, DisplayHeight(display, screen));
  if (right <= x || bottom <= y) return nullptr;

  XImage* image = XGetImage(display, RootWindow(display, screen), x, y, right - x, bottom - y,
                            AllPlanes, ZPixmap);
  X11ErrorTrap::take();
  if (!image) return nullptr;
  Visual* visual = DefaultVisual(display, screen);
  if (image->bits_per_pixel != 32 || image->byte_order != LSBFirst ||
      visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 || visual->blue_mask != 0xff) {
    XDestroyImage(image);
    return nullptr;
  }
  // The image's memory is Xlib's; it is freed with the last reference to the frame.
  std::shared_ptr<const void> owner(
      image, [](const void* p) { XDestroyImage(static_cast<XImage*>(const_cast<void*>(p))); });
  return Image::wrap(image->width, image->height, image->bytes_per_line,
                     reinterpret_cast<const uint8_t*>(image->data), std::move(owner),
                     ScreenArea{double(x), double(y), double(right - x), double(bottom - y)});
}

}  // namespace cvl
