// gtest before Xlib: Xlib defines macros (None, Bool) that clash with gtest names.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "tests/support/xvfb_server.h"

namespace cvl::test {
namespace {

TEST(XvfbServer, ServesItsOwnDisplayAtTheRequestedSize) {
  XvfbServer server({.width = 640, .height = 480});
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(DisplayWidth(display, DefaultScreen(display)), 640);
  EXPECT_EQ(DisplayHeight(display, DefaultScreen(display)), 480);
  XCloseDisplay(display);
}

}  // namespace
}  // namespace cvl::test
