#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>

#include "kit/capture/x11/cursor_x11.h"

namespace cvl::x11 {

bool hasCursorImages(Display* display) {
  int eventBase = 0, errorBase = 0;
  return XFixesQueryExtension(display, &eventBase, &errorBase);
}

void drawCursor(Display* display, uint8_t* pixels, int stride, int width, int height,
                int originX, int originY) {
  XFixesCursorImage* cursor = XFixesGetCursorImage(display);
  if (!cursor) return;
  int left = cursor->x - cursor->xhot - originX;
  int top = cursor->y - cursor->yhot - originY;
  int x0 = std::max(0, -left), y0 = std::max(0, -top);
  int x1 = std::min<int>(cursor->width, width - left);
  int y1 = std::min<int>(cursor->height, height - top);
  for (int cy = y0; cy < y1; ++cy) {
    // XFixes hands out premultiplied ARGB, one pixel per `unsigned long`.
    const unsigned long* src = cursor->pixels + static_cast<size_t>(cy) * cursor->width;
    uint8_t* dst = pixels + static_cast<size_t>(top + cy) * stride;
    for (int cx = x0; cx < x1; ++cx) {
      uint32_t argb = static_cast<uint32_t>(src[cx]);
      uint32_t a = argb >> 24;
      if (a == 0) continue;
      uint8_t* p = dst + static_cast<size_t>(left + cx) * 4;
      uint32_t keep = 255 - a;
      // min() guards against a cursor that is not premultiplied after all.
      p[0] = static_cast<uint8_t>(std::min<uint32_t>(255, (argb & 0xff) + (p[0] * keep + 127) / 255));
      p[1] = static_cast<uint8_t>(
          std::min<uint32_t>(255, ((argb >> 8) & 0xff) + (p[1] * keep + 127) / 255));
      p[2] = static_cast<uint8_t>(
          std::min<uint32_t>(255, ((argb >> 16) & 0xff) + (p[2] * keep + 127) / 255));
    }
  }
  XFree(cursor);
}

}  // namespace cvl::x11
