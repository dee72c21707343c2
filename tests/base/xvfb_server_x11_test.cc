// gtest before Xlib: Xlib defines macros (None, Bool) that clash with gtest names.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "kit/base/x11/x11_connection.h"
#include "tests/support/xvfb_server.h"

namespace cvl::test {
namespace {

TEST(XvfbServer, ServesItsOwnDisplayAtTheRequestedSize) {
  XvfbServer server({.width = 640, .height = 480});
  X11Connection connection = X11Connection::open(server.display());
  ASSERT_TRUE(connection);
  Display* display = connection.get();
  EXPECT_EQ(DisplayWidth(display, DefaultScreen(display)), 640);
  EXPECT_EQ(DisplayHeight(display, DefaultScreen(display)), 480);
}

}  // namespace
}  // namespace cvl::test
