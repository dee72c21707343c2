#include "kit/capture/x11/damage_change_detector_x11.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <utility>

#include "kit/base/x11/x11_connection.h"

namespace cvl::x11 {
namespace {

struct CursorBox {
  int x = 0, y = 0, width = 0, height = 0;  // root coordinates of the cursor image
  unsigned long serial = 0;                 // tells two shapes of one size apart
  bool operator==(const CursorBox&) const = default;
};

class DamageChangeDetector : public ChangeDetector {
 public:
  DamageChangeDetector(X11Connection connection, CaptureArea area, int fixesEventBase)
      : connection_(std::move(connection)),
        display_(connection_.get()),
        area_(area),
        fixesEventBase_(fixesEventBase) {
    root_ = DefaultRootWindow(display_);
    damage_ = XDamageCreate(display_, root_, XDamageReportNonEmpty);
    region_ = XFixesCreateRegion(display_, nullptr, 0);
    XFixesSelectCursorInput(display_, root_, XFixesDisplayCursorNotifyMask);
    XSync(display_, False);
  }

  ~DamageChangeDetector() override {
    XDamageDestroy(display_, damage_);
    XFixesDestroyRegion(display_, region_);
  }

  ScreenChanges take() override {
    ScreenChanges changes;
    // Damage and cursor notices only say "look again"; the region and the pointer are read
    // below. Draining keeps the connection's queue from growing.
    bool shapeChanged = false;
    while (XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == fixesEventBase_ + XFixesCursorNotify) shapeChanged = true;
    }
    // Moves the damage into our region and empties it in one request, so nothing drawn in
    // between is lost.
    XDamageSubtract(display_, damage_, None, region_);
    int count = 0;
    XRectangle* rects = XFixesFetchRegion(display_, region_, &count);
    if (first_) {
      changes.everything = true;
    } else {
      for (int i = 0; i < count; ++i) {
        changes.add({rects[i].x - area_.x, rects[i].y - area_.y, rects[i].width, rects[i].height},
                    area_.width, area_.height);
      }
    }
    if (rects) XFree(rects);

    CursorBox box = cursorBox(shapeChanged || first_);
    if (!first_ && !(box == cursor_)) {
      changes.cursorChanged = true;
      for (const CursorBox& b : {cursor_, box}) {
        changes.add({b.x - area_.x, b.y - area_.y, b.width, b.height}, area_.width, area_.height);
      }
    }
    cursor_ = box;
    first_ = false;
    return changes;
  }

 private:
  // Where the cursor image lies now. Its size and hot spot change only with its shape, so the
  // image is fetched only then; the position is one small round trip.
  CursorBox cursorBox(bool refetchShape) {
    if (refetchShape) {
      if (XFixesCursorImage* image = XFixesGetCursorImage(display_)) {
        width_ = image->width;
        height_ = image->height;
        xhot_ = image->xhot;
        yhot_ = image->yhot;
        serial_ = image->cursor_serial;
        XFree(image);
      }
    }
    Window rootReturn = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(display_, root_, &rootReturn, &child, &rx, &ry, &wx, &wy, &mask);
    return {rx - xhot_, ry - yhot_, width_, height_, serial_};
  }

  X11Connection connection_;
  Display* display_;  // connection_.get()
  CaptureArea area_;
  int fixesEventBase_;
  Window root_ = 0;
  Damage damage_ = 0;
  XserverRegion region_ = 0;
  bool first_ = true;
  CursorBox cursor_;
  int width_ = 0, height_ = 0, xhot_ = 0, yhot_ = 0;
  unsigned long serial_ = 0;
};

}  // namespace

std::unique_ptr<ChangeDetector> makeDamageChangeDetector(CaptureArea area) {
  X11Connection connection = X11Connection::open();
  if (!connection) return nullptr;
  Display* display = connection.get();
  int damageEvent = 0, damageError = 0, fixesEvent = 0, fixesError = 0;
  if (!XDamageQueryExtension(display, &damageEvent, &damageError) ||
      !XFixesQueryExtension(display, &fixesEvent, &fixesError)) {
    return nullptr;
  }
  int major = 0, minor = 0;
  XDamageQueryVersion(display, &major, &minor);
  XFixesQueryVersion(display, &major, &minor);
  return std::make_unique<DamageChangeDetector>(std::move(connection), area, fixesEvent);
}

}  // namespace cvl::x11
