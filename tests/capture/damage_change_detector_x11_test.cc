// gtest first: Xlib's macros (None, Bool, ...) would break its templates.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "kit/capture/x11/damage_change_detector_x11.h"

#include "tests/support/xvfb_server.h"

namespace cvl::test {
namespace {

bool covers(const ScreenChanges& c, ChangeRect want) {
  for (const auto& r : c.rects) {
    if (r.x <= want.x && r.y <= want.y && r.x + r.width >= want.x + want.width &&
        r.y + r.height >= want.y + want.height) {
      return true;
    }
  }
  return false;
}

class DamageChangeDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.exportDisplay();
    display_ = XOpenDisplay(nullptr);
    ASSERT_TRUE(display_);
    root_ = DefaultRootWindow(display_);
    gc_ = XCreateGC(display_, root_, 0, nullptr);
    XWarpPointer(display_, None, root_, 0, 0, 0, 0, 5, 5);  // outside the area
    XSync(display_, False);
  }
  void TearDown() override {
    if (display_) {
      XFreeGC(display_, gc_);
      XCloseDisplay(display_);
    }
  }
  void fill(Drawable d, int x, int y, int w, int h) {
    XSetForeground(display_, gc_, 0x336699);
    XFillRectangle(display_, d, gc_, x, y, w, h);
    XSync(display_, False);
  }

  // The area: 320x240 at (100, 50) of a 640x480 screen.
  const x11::CaptureArea area_{100, 50, 320, 240};
  XvfbServer server_{{.width = 640, .height = 480}};
  Display* display_ = nullptr;
  Window root_ = 0;
  GC gc_ = nullptr;
};

TEST_F(DamageChangeDetectorTest, ReportsDrawingInTheAreaOnceAndNothingElse) {
  auto detector = x11::makeDamageChangeDetector(area_);
  ASSERT_TRUE(detector);
  EXPECT_TRUE(detector->take().everything) << "the first look has nothing to compare with";
  EXPECT_TRUE(detector->take().none());

  fill(root_, 200, 100, 20, 10);
  auto drawn = detector->take();
  EXPECT_FALSE(drawn.everything);
  EXPECT_TRUE(covers(drawn, {100, 50, 20, 10})) << "in area coordinates";
  EXPECT_TRUE(detector->take().none()) << "reported once";

  fill(root_, 500, 400, 30, 30);  // outside the area
  fill(root_, 90, 40, 20, 20);    // overlapping its corner
  auto edge = detector->take();
  EXPECT_EQ(edge.rects, (std::vector<ChangeRect>{{0, 0, 10, 10}}));
}

TEST_F(DamageChangeDetectorTest, ReportsDrawingInWindowsAndTheCursorsOldAndNewPlace) {
  auto detector = x11::makeDamageChangeDetector(area_);
  ASSERT_TRUE(detector);
  detector->take();

  // An application window inside the area.
  Window window = XCreateSimpleWindow(display_, root_, 150, 80, 100, 60, 0, 0, 0xffffff);
  XMapWindow(display_, window);
  XSync(display_, False);
  detector->take();
  fill(window, 10, 10, 5, 5);
  EXPECT_TRUE(covers(detector->take(), {60, 40, 5, 5}));

  XWarpPointer(display_, None, root_, 0, 0, 0, 0, 300, 200);
  XSync(display_, False);
  auto moved = detector->take();
  EXPECT_TRUE(moved.cursorChanged);
  EXPECT_TRUE(covers(moved, {200, 150, 1, 1})) << "the new place";
  XWarpPointer(display_, None, root_, 0, 0, 0, 0, 310, 200);
  XSync(display_, False);
  auto again = detector->take();
  EXPECT_TRUE(again.cursorChanged);
  EXPECT_TRUE(covers(again, {200, 150, 1, 1})) << "the old place";
  EXPECT_TRUE(covers(again, {210, 150, 1, 1})) << "the new place";
  EXPECT_FALSE(detector->take().cursorChanged);
}

TEST(DamageChangeDetector, IsNotMadeWithoutTheDamageExtension) {
  XvfbServer server({.extraArgs = {"-extension", "DAMAGE"}});
  server.exportDisplay();
  EXPECT_FALSE(x11::makeDamageChangeDetector({0, 0, 100, 100}));
}

}  // namespace
}  // namespace cvl::test
