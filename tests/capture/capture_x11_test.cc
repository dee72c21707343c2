// gtest before Xlib: Xlib defines macros (None, Bool) that clash with gtest names.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "kit/capture/screen_capturer.h"
#include "kit/capture/x11/capture_platform_x11.h"
#include "kit/capture/x11/display_services_x11.h"
#include "kit/capture/x11/pasteboard_x11.h"
#include "kit/capture/x11/xgetimage_screenshot_source.h"
#include "kit/capture/x11/xshm_stream_source.h"
#include "tests/support/child_process.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/xvfb_server.h"

namespace cvl::test {
namespace {

using namespace std::chrono_literals;

// True when every channel of two 0xAARRGGBB colours is within `tolerance` (JPEG is lossy).
bool near(uint32_t a, uint32_t b, int tolerance = 24) {
  for (int shift : {0, 8, 16}) {
    if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > tolerance) return false;
  }
  return true;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

class CaptureX11Test : public ::testing::Test {
 protected:
  explicit CaptureX11Test(XvfbServer::Options options = {.width = 1280, .height = 800})
      : server_(options) {
    server_.exportDisplay();
    display_ = XOpenDisplay(server_.display().c_str());
    if (!display_) throw std::runtime_error("cannot reach Xvfb");
    root_ = DefaultRootWindow(display_);
    gc_ = XCreateGC(display_, root_, 0, nullptr);
  }
  ~CaptureX11Test() override {
    XFreeGC(display_, gc_);
    XCloseDisplay(display_);
  }

  void fill(uint32_t rgb, int x, int y, int w, int h) {
    XSetForeground(display_, gc_, rgb);
    XFillRectangle(display_, root_, gc_, x, y, w, h);
    XSync(display_, False);
  }
  void movePointer(int x, int y) {
    XWarpPointer(display_, 0, root_, 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }
  void xrandr(std::vector<std::string> args) {
    auto r = runChild("/usr/bin/xrandr", {.args = std::move(args)});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  XvfbServer server_;
  Display* display_ = nullptr;
  Window root_ = 0;
  GC gc_ = nullptr;
};

TEST_F(CaptureX11Test, ADrawnPatternComesBackInTheJpegAtItsPlace) {
  fill(0x202020, 0, 0, 1280, 800);
  fill(0xff0000, 100, 200, 300, 160);  // red block
  fill(0x00ff00, 1000, 600, 200, 120);  // green block
  movePointer(1279, 0);                  // keep the cursor out of the blocks

  ScreenCapturer capturer(0, x11CapturePlatform());
  capturer.start();
  EXPECT_FALSE(capturer.usingFallback());
  std::optional<GrabResult> frame;
  ASSERT_TRUE(eventually([&] { return (frame = capturer.grab(640, 90)).has_value(); }));
  EXPECT_EQ(frame->width, 640);
  EXPECT_EQ(frame->height, 400);
  EXPECT_EQ(frame->geometry, (CaptureGeometry{0, 0, 2.0, 2.0}));

  auto image = decodeJpeg(frame->jpeg);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width(), 640);
  ASSERT_EQ(image->height(), 400);
  struct Probe {
    int x, y;  // in the half-size frame
    uint32_t colour;
  } probes[] = {{125, 140, 0xff0000}, {40, 120, 0x202020},  {190, 170, 0xff0000},
                {550, 330, 0x00ff00}, {480, 290, 0x202020}, {320, 50, 0x202020}};
  for (const auto& p : probes) {
    SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
    EXPECT_TRUE(near(image->pixel(p.x, p.y), p.colour)) << std::hex << image->pixel(p.x, p.y);
  }

  // A change on the screen shows up in a later frame.
  fill(0x0000ff, 100, 200, 300, 160);
  ASSERT_TRUE(eventually([&] {
    auto f = capturer.grab(0, 90);
    auto img = f ? decodeJpeg(f->jpeg) : nullptr;
    return img && img->width() == 1280 && near(img->pixel(250, 280), 0x0000ff);
  }));
}

// The X server's damage reports drive the frames: a still screen hands on the same JPEG, a
// drawing comes back in the next frame with only its rows encoded again, and so does a move
// of the pointer.
TEST_F(CaptureX11Test, DamageDecidesWhatIsEncodedAgain) {
  fill(0x303030, 0, 0, 1280, 800);
  movePointer(1279, 799);
  ScreenCapturer capturer(0, x11CapturePlatform());
  capturer.start();
  ASSERT_FALSE(capturer.usingFallback());
  std::optional<GrabResult> frame;
  ASSERT_TRUE(eventually([&] { return (frame = capturer.grab(0, 80)).has_value(); }));
  ASSERT_TRUE(capturer.grab(0, 80));  // the detector's first report: everything once more
  std::vector<uint8_t> still(frame->jpeg.begin(), frame->jpeg.end());

  frame = capturer.grab(0, 80);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(frame->unchanged);
  EXPECT_EQ(capturer.rowsEncoded(), 0);

  fill(0xe0c020, 500, 300, 120, 20);  // rows 300..319: MCU rows 18 and 19
  frame = capturer.grab(0, 80);
  ASSERT_TRUE(frame);
  EXPECT_FALSE(frame->unchanged);
  EXPECT_EQ(capturer.rowsEncoded(), 2);
  auto image = decodeJpeg(frame->jpeg);
  ASSERT_TRUE(image);
  EXPECT_TRUE(near(image->pixel(560, 310), 0xe0c020)) << std::hex << image->pixel(560, 310);
  EXPECT_TRUE(near(image->pixel(560, 100), 0x303030));

  movePointer(100, 700);  // the cursor's old and new boxes
  frame = capturer.grab(0, 80);
  ASSERT_TRUE(frame);
  EXPECT_FALSE(frame->unchanged);
  EXPECT_GT(capturer.rowsEncoded(), 0);
  EXPECT_LT(capturer.rowsEncoded(), 8);
}

// Whether any pixel in the square of `radius` around (x, y) differs from `background`.
bool marked(const Image& image, int x, int y, int radius, uint32_t background) {
  for (int yy = std::max(0, y - radius); yy < std::min(image.height(), y + radius); ++yy) {
    for (int xx = std::max(0, x - radius); xx < std::min(image.width(), x + radius); ++xx) {
      if ((image.pixel(xx, yy) & 0xffffff) != background) return true;
    }
  }
  return false;
}

TEST_F(CaptureX11Test, TheStreamShowsTheCursorAndScreenshotsDoNot) {
  fill(0x000000, 0, 0, 1280, 800);
  movePointer(400, 300);
  X11DisplayServices displays;
  DisplayId id = displays.mainDisplay();

  XShmStreamSource stream(id);
  ASSERT_FALSE(stream.start());
  ASSERT_TRUE(eventually([&] {
    auto img = stream.latestImage();
    return img && marked(*img, 400, 300, 12, 0);
  })) << "no cursor near the pointer";
  auto frame = stream.latestImage();
  EXPECT_FALSE(marked(*frame, 900, 600, 12, 0)) << "cursor drawn where the pointer is not";

  XGetImageScreenshotSource screenshot(id);
  auto shot = screenshot.latestImage();
  ASSERT_TRUE(shot);
  EXPECT_EQ(shot->width(), 1280);
  EXPECT_EQ(shot->height(), 800);
  EXPECT_FALSE(marked(*shot, 400, 300, 12, 0));

  // A stopped stream keeps its last frame, and again after a restart until a new one comes.
  stream.stop();
  auto last = stream.latestImage();
  ASSERT_TRUE(last);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(stream.latestImage(), last) << "frames after stop";
  ASSERT_FALSE(stream.start());
  EXPECT_TRUE(stream.latestImage());
}

class TwoMonitorsX11Test : public CaptureX11Test {
 protected:
  TwoMonitorsX11Test() : CaptureX11Test({.width = 3360, .height = 1080}) {}
};

TEST_F(TwoMonitorsX11Test, MonitorsGiveTheListBoundsGeometryAndSelection) {
  X11DisplayServices displays;
  // Before any monitor is defined the whole screen is one display, and the stream keeps its
  // frames within 1920 px.
  ASSERT_EQ(displays.activeDisplays().size(), 1u);
  EXPECT_EQ(displays.bounds(displays.mainDisplay()), (DisplayBounds{0, 0, 3360, 1080}));
  {
    XShmStreamSource stream(displays.mainDisplay());
    ASSERT_FALSE(stream.start());
    // start() waits for the first frame, but only so long: on a busy machine it may come later.
    ASSERT_TRUE(eventually([&] { return stream.latestImage() != nullptr; }, 20s));
    auto frame = stream.latestImage();
    EXPECT_EQ(frame->width(), 1920);
    EXPECT_EQ(frame->height(), 617);
  }

  xrandr({"--setmonitor", "*main", "1440/380x900/240+0+0", "screen"});
  xrandr({"--setmonitor", "side", "1920/500x1080/300+1440+0", "none"});
  fill(0xff0000, 0, 0, 1440, 1080);
  fill(0x0000ff, 1440, 0, 1920, 1080);
  movePointer(1439, 1079);

  auto ids = displays.activeDisplays();
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(displays.mainDisplay(), ids[0]);
  EXPECT_EQ(displays.bounds(ids[0]), (DisplayBounds{0, 0, 1440, 900}));
  EXPECT_EQ(displays.bounds(ids[1]), (DisplayBounds{1440, 0, 1920, 1080}));
  EXPECT_EQ(displays.bounds(12345), DisplayBounds{});

  ScreenCapturer capturer(1, x11CapturePlatform());
  EXPECT_EQ(capturer.displayID(), ids[1]);
  capturer.start();
  auto check = [&](int64_t w, int64_t h, CaptureGeometry geometry, uint32_t colour) {
    std::optional<GrabResult> frame;
    ASSERT_TRUE(eventually([&] { return (frame = capturer.grab(960, 80)).has_value(); }));
    EXPECT_EQ(frame->width, w);
    EXPECT_EQ(frame->height, h);
    EXPECT_EQ(frame->geometry, geometry);
    auto image = decodeJpeg(frame->jpeg);
    ASSERT_TRUE(image);
    EXPECT_TRUE(near(image->pixel(int(w / 2), int(h / 2)), colour));
  };
  check(960, 540, {1440, 0, 2.0, 2.0}, 0x0000ff);

  capturer.selectMonitor(0);
  EXPECT_EQ(capturer.displayID(), ids[0]);
  check(960, 600, {0, 0, 1.5, 1.5}, 0xff0000);

  capturer.selectMonitor(2);  // names no display: nothing changes
  EXPECT_EQ(capturer.displayID(), ids[0]);
  check(960, 600, {0, 0, 1.5, 1.5}, 0xff0000);
  EXPECT_FALSE(capturer.usingFallback());
}

// Monitors defined while the stream runs (the server announces none of this): the stream
// moves to the monitor that is now the main display, and back to the whole screen when the
// monitors are gone.
TEST_F(TwoMonitorsX11Test, TheStreamFollowsMonitorsDefinedWhileItRuns) {
  X11DisplayServices displays;
  XShmStreamSource stream(displays.mainDisplay());
  stream.setFrameRate(5);
  ASSERT_FALSE(stream.start());
  auto shows = [&](ScreenArea area, int w, int h) {
    return eventually(
        [&] {
          auto img = stream.latestImage();
          return img && img->shows() == area && img->width() == w && img->height() == h;
        },
        20s);
  };
  EXPECT_TRUE(shows({0, 0, 3360, 1080}, 1920, 617));
  xrandr({"--setmonitor", "*main", "1440/380x900/240+0+0", "screen"});
  xrandr({"--setmonitor", "side", "1920/500x1080/300+1440+0", "none"});
  EXPECT_TRUE(shows({0, 0, 1440, 900}, 1440, 900));
  xrandr({"--delmonitor", "main"});
  xrandr({"--delmonitor", "side"});
  EXPECT_TRUE(shows({0, 0, 3360, 1080}, 1920, 617));
}

// A server whose screen can change resolution: it starts at its largest size and has a
// second, smaller mode to switch to, as a desktop whose resolution a user changes.
class ResizableScreenX11Test : public CaptureX11Test {
 protected:
  ResizableScreenX11Test() : CaptureX11Test({.width = 1920, .height = 1080}) {
    xrandr({"--newmode", "small", "10", "1280", "1290", "1300", "1310", "800", "810", "820",
            "830"});
    xrandr({"--addmode", "screen", "small"});
  }
  void switchTo(bool small) {
    if (small) {
      xrandr({"--output", "screen", "--mode", "small", "--fb", "1280x800"});
    } else {
      xrandr({"--fb", "1920x1080", "--output", "screen", "--mode", "1920x1080"});
    }
  }
};

// The stream follows a new resolution by itself, larger or smaller, with frames of the new
// area that say which part of the screen they show.
TEST_F(ResizableScreenX11Test, TheStreamFollowsANewResolution) {
  ASSERT_NO_FATAL_FAILURE(switchTo(true));
  X11DisplayServices displays;
  XShmStreamSource stream(displays.mainDisplay());
  stream.setFrameRate(2);
  ASSERT_FALSE(stream.start());
  auto sizeIs = [&](int w, int h) {
    return eventually(
        [&] {
          auto img = stream.latestImage();
          return img && img->width() == w && img->height() == h &&
                 img->shows() == ScreenArea{0, 0, double(w), double(h)};
        },
        20s);
  };
  EXPECT_TRUE(sizeIs(1280, 800));
  ASSERT_NO_FATAL_FAILURE(switchTo(false));
  EXPECT_TRUE(sizeIs(1920, 1080)) << "grabs of the old, smaller area never fail";
  ASSERT_NO_FATAL_FAILURE(switchTo(true));
  EXPECT_TRUE(sizeIs(1280, 800));
  stream.stop();
}

TEST_F(CaptureX11Test, ClipboardTextTravelsBetweenClients) {
  const std::string text = "Grüße — ✓ 日本 😀\nline two";
  {
    X11Pasteboard pasteboard;
    EXPECT_FALSE(pasteboard.text()) << "nobody owns the clipboard yet";
    pasteboard.setText(text);
    EXPECT_EQ(pasteboard.text(), text);
    auto r = runChild("/usr/bin/xclip", {.args = {"-selection", "clipboard", "-o"}}, "", 10s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, text);
    auto targets =
        runChild("/usr/bin/xclip", {.args = {"-selection", "clipboard", "-o", "-t", "TARGETS"}}, "", 10s);
    EXPECT_NE(targets.out.find("UTF8_STRING"), std::string::npos) << targets.out;

    // Another client takes the clipboard over; our copy is no longer what is read.
    const std::string theirs = "from xclip: ünïcödé";
    ChildProcess xclip("/usr/bin/xclip", {.args = {"-quiet", "-selection", "clipboard", "-i"}});
    xclip.writeInput(theirs);
    xclip.closeInput();
    EXPECT_TRUE(eventually([&] { return pasteboard.text() == theirs; }));

    // Big text arrives in increments from xclip.
    std::string big(600'000, 'x');
    for (size_t i = 0; i < big.size(); i += 1000) big[i] = '\n';
    ChildProcess bigClip("/usr/bin/xclip", {.args = {"-quiet", "-selection", "clipboard", "-i"}});
    bigClip.writeInput(big);
    bigClip.closeInput();
    EXPECT_TRUE(eventually([&] { return pasteboard.text() == big; }, 10s));

    // And we can take it back.
    pasteboard.setText("mine again");
    EXPECT_EQ(runChild("/usr/bin/xclip", {.args = {"-selection", "clipboard", "-o"}}, "", 10s).out,
              "mine again");
  }
}

// A set is finished when setText returns: a read right after it, by the same object or by
// another client, gets the new text (as a viewer's "clipset" followed at once by
// "clip-request" does). Two pasteboards take the clipboard from each other in turn.
TEST_F(CaptureX11Test, ClipboardSetIsCompleteWhenItReturns) {
  X11Pasteboard first, second;
  for (int i = 0; i < 150; ++i) {
    SCOPED_TRACE(i);
    X11Pasteboard& writer = i % 2 ? first : second;
    X11Pasteboard& reader = i % 2 ? second : first;
    const std::string text = "round " + std::to_string(i);
    writer.setText(text);
    ASSERT_EQ(writer.text(), text);
    ASSERT_EQ(reader.text(), text);
  }
}

// Requests run in the order they were made, without waiting between them: a read asked for
// right after a write gets what was written, from either pasteboard.
TEST_F(CaptureX11Test, ClipboardRequestsRunInOrder) {
  X11Pasteboard first, second;
  std::promise<std::vector<std::optional<std::string>>> finished;
  auto answers = std::make_shared<std::vector<std::optional<std::string>>>();
  auto record = [answers](std::optional<std::string> text) { answers->push_back(std::move(text)); };
  first.writeText("one", nullptr);
  first.readText(record);
  first.writeText("two", nullptr);
  first.readText(record);
  first.readText([&, record](std::optional<std::string> text) {
    record(std::move(text));
    finished.set_value(*answers);
  });
  auto got = finished.get_future().get();
  EXPECT_EQ(got, (std::vector<std::optional<std::string>>{"one", "two", "two"}));

  std::promise<std::optional<std::string>> seen;
  second.writeText("three", nullptr);
  second.writeText("four", [&] { first.readText([&](auto text) { seen.set_value(text); }); });
  EXPECT_EQ(seen.get_future().get(), "four");
}

}  // namespace
}  // namespace cvl::test
