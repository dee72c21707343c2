#include "kit/capture/screen_capturer.h"

#include <gtest/gtest.h>

#include "kit/capture/frame_size.h"
#include "kit/capture/row_jpeg_encoder.h"
#include "tests/capture/test_pictures.h"
#include "tests/support/fake_capture.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/stderr_capture.h"

namespace cvl::test {
namespace {

const char* START_FAILED_PREFIX = "[capture] ScreenCaptureKit start failed (";
const char* NO_FRAME_LINE =
    "[capture] ScreenCaptureKit gave no frame in 4.0s; falling back to CGDisplay (no cursor)";

class ScreenCapturerTest : public ::testing::Test {
 protected:
  ScreenCapturerTest() {
    fake.displays->displays = {{10, {0, 0, 1440, 900}}, {20, {1440, 0, 1920, 1080}}};
    fake.displays->main = 10;
  }

  std::unique_ptr<ScreenCapturer> make(int64_t index = 0) {
    return std::make_unique<ScreenCapturer>(index, fake.platform());
  }

  FakeCapturePlatform fake;
};

TEST_F(ScreenCapturerTest, ChoosesTheListedDisplayOrTheMainOne) {
  fake.displays->displays.insert(fake.displays->displays.begin(), {30, {0, 0, 800, 600}});
  struct Case {
    int64_t index;
    DisplayId expected;
  } cases[] = {{0, 30}, {1, 10}, {2, 20}, {3, 10}, {-1, 10}, {INT64_MAX, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    fake.sources.clear();
    auto capturer = make(c.index);
    EXPECT_EQ(capturer->displayID(), c.expected);
    ASSERT_EQ(fake.sources.size(), 1u);
    EXPECT_EQ(fake.last().kind, "stream");
    EXPECT_EQ(fake.last().displayId, c.expected);
    EXPECT_EQ(fake.last().starts, 0) << "constructing must not start capture";
  }
}

TEST_F(ScreenCapturerTest, AFailedStartLogsAndSwitchesToScreenshotsForGood) {
  fake.prepare = [](FakeFrameSource& s) {
    if (s.kind == "stream") s.startError = CaptureError{"no shared memory"};
    if (s.kind == "screenshot") s.image = solidImage(1440, 900);
  };
  auto capturer = make();
  StderrCapture log;
  capturer->start();
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{std::string(START_FAILED_PREFIX) +
                                     "no shared memory); using CGDisplay fallback"});
  ASSERT_EQ(fake.sources.size(), 2u);
  EXPECT_EQ(fake.sources[0]->stops, 1);
  EXPECT_EQ(fake.last().kind, "screenshot");
  EXPECT_EQ(fake.last().displayId, 10u);
  EXPECT_TRUE(capturer->usingFallback());
  EXPECT_TRUE(capturer->grab(0, 60).has_value());

  // Stays on screenshots across monitor changes.
  capturer->selectMonitor(1);
  EXPECT_EQ(fake.last().kind, "screenshot");
  EXPECT_EQ(fake.last().displayId, 20u);
}

TEST_F(ScreenCapturerTest, AStreamWithoutFramesFallsBackAfterTheGracePeriod) {
  fake.prepare = [](FakeFrameSource& s) {
    if (s.kind == "screenshot") s.image = solidImage(64, 40);
  };
  auto capturer = make();
  capturer->start();
  StderrCapture log;
  EXPECT_FALSE(capturer->grab(0, 60));
  fake.advance(3.999);
  EXPECT_FALSE(capturer->grab(0, 60));
  EXPECT_EQ(fake.sources.size(), 1u) << "still within the grace period";
  EXPECT_TRUE(log.lines().empty());

  fake.advance(0.001);
  auto frame = capturer->grab(0, 60);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 64);
  EXPECT_EQ(log.lines(), std::vector<std::string>{NO_FRAME_LINE});
  EXPECT_EQ(fake.sources[0]->stops, 1);
  EXPECT_EQ(fake.last().kind, "screenshot");

  // Later grabs come from screenshots without another line, and an empty screenshot is just
  // no frame on that tick.
  EXPECT_TRUE(capturer->grab(0, 60));
  fake.last().image = nullptr;
  EXPECT_FALSE(capturer->grab(0, 60));
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(fake.sources.size(), 2u);
}

TEST_F(ScreenCapturerTest, GrabBeforeAnyStartFallsBackAtOnce) {
  auto capturer = make();
  StderrCapture log;
  EXPECT_FALSE(capturer->grab(0, 60)) << "the fake screenshot has no image either";
  EXPECT_TRUE(capturer->usingFallback());
  EXPECT_EQ(log.lines(), std::vector<std::string>{NO_FRAME_LINE});
}

TEST_F(ScreenCapturerTest, AStreamingFrameIsEncodedWithTheBoundsAtGrabTime) {
  fake.displays->displays[1].bounds = {-1440, 0, 1440, 900};
  auto capturer = make(1);
  capturer->start();
  fake.last().image = solidImage(1440, 900, 0xff20c040);

  auto frame = capturer->grab(720, 60);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 720);
  EXPECT_EQ(frame->height, 450);
  EXPECT_EQ(frame->geometry, (CaptureGeometry{-1440, 0, 2.0, 2.0}));
  auto decoded = decodeJpeg(frame->jpeg);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 720);
  EXPECT_EQ(decoded->height(), 450);

  // The display moved between two frames: the next frame maps with the new bounds.
  fake.displays->displays[1].bounds = {100, 50, 1920, 1200};
  frame = capturer->grab(0, 60);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->geometry, (CaptureGeometry{100, 50, 1920.0 / 1440, 1200.0 / 900}));
  EXPECT_FALSE(capturer->usingFallback());
}

TEST_F(ScreenCapturerTest, SelectMonitorReplacesTheStreamOnlyForAListedIndex) {
  auto capturer = make();
  capturer->setFrameRate(12);
  capturer->start();
  for (int64_t bad : {2, -1, 100}) {
    capturer->selectMonitor(bad);
  }
  ASSERT_EQ(fake.sources.size(), 1u);
  EXPECT_EQ(fake.last().stops, 0);
  EXPECT_EQ(capturer->displayID(), 10u);

  fake.advance(10);
  capturer->selectMonitor(1);
  ASSERT_EQ(fake.sources.size(), 2u);
  EXPECT_EQ(fake.sources[0]->stops, 1);
  EXPECT_EQ(fake.last().kind, "stream");
  EXPECT_EQ(fake.last().displayId, 20u);
  EXPECT_EQ(fake.last().frameRates, std::vector<int>{12});
  EXPECT_EQ(fake.last().starts, 1);
  EXPECT_EQ(capturer->displayID(), 20u);
  // The new stream gets its own grace period from its start.
  EXPECT_FALSE(capturer->grab(0, 60));
  EXPECT_FALSE(capturer->usingFallback());
}

TEST_F(ScreenCapturerTest, SetFrameRateClampsToOneToSixty) {
  auto capturer = make();
  struct Case {
    int64_t asked, stored;
  } cases[] = {{0, 1}, {-5, 1}, {1, 1}, {30, 30}, {60, 60}, {61, 60}, {INT64_MIN, 1},
               {INT64_MAX, 60}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    capturer->setFrameRate(c.asked);
    EXPECT_EQ(capturer->targetFps(), c.stored);
    EXPECT_EQ(fake.last().frameRates.back(), c.stored);
  }
}

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const GrabResult& frame) { return Bytes(frame.jpeg.begin(), frame.jpeg.end()); }

// What a whole encode of the picture gives: what every frame must be byte for byte, however
// it was made.
Bytes wholeEncode(const ImageRef& image, int64_t maxEdge, int quality) {
  RowJpegEncoder fresh;
  auto out = fresh.encode(*ScreenCapturer::downscale(image, maxEdge), quality);
  EXPECT_TRUE(out);
  return out ? Bytes(out->begin(), out->end()) : Bytes{};
}

// The X server's damage reports on a 1440x900 display: a still screen is neither grabbed nor
// encoded, changed rows only are encoded again, and once a second the screen is grabbed all
// the same (a captured area may move without a pixel changing).
TEST_F(ScreenCapturerTest, DamageDecidesWhatIsGrabbedAndEncoded) {
  fake.damage = std::make_shared<FakeDamage>();
  auto pixels = desktopPixels(1440, 900);
  fake.prepare = [&](FakeFrameSource& s) { s.image = imageOf(pixels, 1440, 900); };
  auto capturer = make();
  capturer->start();
  FakeFrameSource& source = fake.last();
  const int rows = RowJpegEncoder::rowCount(900);

  // The first grab makes the detector for the area the frame shows; its first report
  // ("everything") makes the next grab a whole one as well.
  for (int i = 0; i < 2; ++i) {
    auto frame = capturer->grab(0, 60);
    ASSERT_TRUE(frame);
    EXPECT_FALSE(frame->unchanged);
    EXPECT_EQ(capturer->rowsEncoded(), rows);
  }
  ASSERT_EQ(fake.damage->madeFor.size(), 1u);
  EXPECT_EQ(fake.damage->madeFor[0], (ScreenArea{0, 0, 1440, 900}));
  EXPECT_EQ(source.grabs, 2);

  auto first = capturer->grab(0, 60);
  ASSERT_TRUE(first);
  Bytes still = bytesOf(*first);
  for (int tick = 0; tick < 10; ++tick) {
    fake.advance(0.09);
    auto frame = capturer->grab(0, 60);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->unchanged);
    EXPECT_EQ(frame->jpeg.data(), first->jpeg.data()) << "the very same bytes";
    EXPECT_EQ(capturer->rowsEncoded(), 0);
    EXPECT_EQ(frame->geometry, (CaptureGeometry{0, 0, 1, 1}));
  }
  EXPECT_EQ(source.grabs, 2) << "a still screen is not grabbed";
  fake.advance(0.1);  // a second since the last grab
  ASSERT_TRUE(capturer->grab(0, 60)->unchanged);
  EXPECT_EQ(source.grabs, 3);
  EXPECT_EQ(capturer->rowsEncoded(), 0);

  // A change in rows 100..119 re-encodes MCU rows 6 and 7 only, and the frame is what a
  // whole encode of the new picture gives.
  fillRect(pixels, 1440, 300, 100, 200, 20, 0x2040a0);
  source.image = imageOf(pixels, 1440, 900);
  fake.damage->queue({300, 100, 200, 20});
  auto changed = capturer->grab(0, 60);
  ASSERT_TRUE(changed);
  EXPECT_FALSE(changed->unchanged);
  EXPECT_EQ(capturer->rowsEncoded(), 2);
  EXPECT_EQ(bytesOf(*changed), wholeEncode(source.image, 0, 60));
  EXPECT_NE(bytesOf(*changed), still);

  // Another quality or size is a whole new frame, whatever damage says.
  struct Case {
    int64_t maxEdge, quality, width;
  } cases[] = {{0, 70, 1440}, {720, 70, 720}, {720, 70, 720}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.maxEdge << " q" << c.quality);
    bool again = &c == &cases[2];
    auto frame = capturer->grab(c.maxEdge, c.quality);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, c.width);
    EXPECT_EQ(frame->unchanged, again);
    if (!again) EXPECT_EQ(bytesOf(*frame), wholeEncode(source.image, c.maxEdge, c.quality));
  }
}

// Shrunk frames are spliced from the rows a change touches, shrunk again into the kept
// picture, and still come out byte for byte as a whole shrink and encode of the new picture:
// changes at the edges, thin ones, and several at once.
TEST_F(ScreenCapturerTest, ChangedRowsOfShrunkFramesGiveTheWholeEncode) {
  struct Case {
    const char* name;
    std::vector<ChangeRect> rects;
  } cases[] = {
      {"one pixel", {{700, 450, 1, 1}}},
      {"top edge", {{0, 0, 1440, 3}}},
      {"bottom edge", {{10, 897, 50, 3}}},
      {"a typing line", {{200, 311, 400, 14}}},
      {"two regions", {{0, 40, 640, 360}, {900, 600, 300, 250}}},
  };
  for (bool byDamage : {true, false}) {
    for (int64_t maxEdge : {0, 1280, 1000, 333}) {
      fake.damage = byDamage ? std::make_shared<FakeDamage>() : nullptr;
      fake.sources.clear();
      auto pixels = desktopPixels(1440, 900, 5);
      fake.prepare = [&](FakeFrameSource& s) { s.image = imageOf(pixels, 1440, 900); };
      auto capturer = make();
      capturer->start();
      for (int i = 0; i < 2; ++i) ASSERT_TRUE(capturer->grab(maxEdge, 60));
      uint32_t colour = 0x101010;
      for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << ", maxEdge " << maxEdge
                                        << (byDamage ? ", damage" : ", compared"));
        ScreenChanges report;
        for (const auto& r : c.rects) {
          fillRect(pixels, 1440, r.x, r.y, r.width, r.height, colour += 0x203040);
          report.rects.push_back(r);
        }
        if (byDamage) fake.damage->queued.push_back(report);
        fake.last().image = imageOf(pixels, 1440, 900);
        auto frame = capturer->grab(maxEdge, 60);
        ASSERT_TRUE(frame);
        EXPECT_FALSE(frame->unchanged);
        EXPECT_LT(capturer->rowsEncoded(), RowJpegEncoder::rowCount(int(frame->height)));
        EXPECT_EQ(bytesOf(*frame), wholeEncode(fake.last().image, maxEdge, 60));
      }
    }
  }
}

TEST_F(ScreenCapturerTest, WithoutDamageEqualFramesHandOnTheSameJpeg) {
  auto pixels = desktopPixels(1440, 900, 9);
  fake.prepare = [&](FakeFrameSource& s) { s.image = imageOf(pixels, 1440, 900); };
  auto capturer = make();
  capturer->start();
  auto first = capturer->grab(1280, 60);
  ASSERT_TRUE(first);
  Bytes bytes = bytesOf(*first);
  // The same frame again, and an equal copy of it: both compared, neither encoded.
  for (bool copy : {false, true}) {
    if (copy) fake.last().image = imageOf(pixels, 1440, 900);
    auto frame = capturer->grab(1280, 60);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->unchanged);
    EXPECT_EQ(bytesOf(*frame), bytes);
    EXPECT_EQ(capturer->rowsEncoded(), 0);
  }
  EXPECT_EQ(fake.last().grabs, 3) << "without damage every grab looks at the screen";
}

// The sharper frame of a still picture: the kept picture (shrunk or not) encoded whole at
// another quality, while the last grab's bytes stay as they were.
TEST_F(ScreenCapturerTest, RefreshEncodesTheKeptPictureWholeAtItsQuality) {
  auto pixels = desktopPixels(1440, 900, 2);
  fake.prepare = [&](FakeFrameSource& s) { s.image = imageOf(pixels, 1440, 900); };
  auto capturer = make();
  EXPECT_FALSE(capturer->refresh(90)) << "no picture yet";
  capturer->start();
  for (int64_t maxEdge : {0, 1000}) {
    SCOPED_TRACE(maxEdge);
    auto frame = capturer->grab(maxEdge, 40);
    ASSERT_TRUE(frame);
    Bytes motion = bytesOf(*frame);
    auto sharp = capturer->refresh(90);
    ASSERT_TRUE(sharp);
    EXPECT_EQ(bytesOf(*sharp), wholeEncode(fake.last().image, maxEdge, 90));
    EXPECT_GT(sharp->jpeg.size(), motion.size());
    EXPECT_EQ(sharp->width, frame->width);
    EXPECT_EQ(sharp->geometry, frame->geometry);
    EXPECT_EQ(bytesOf(*frame), motion) << "the grab's bytes are left alone";
  }
}

TEST(Downscale, KeepsTheAspectRatioAndAtLeastOnePixelPerSide) {
  struct Case {
    int w, h;
    int64_t maxEdge;
    int ew, eh;
  } cases[] = {
      {2880, 1800, 1280, 1280, 800},  {1920, 1080, 1280, 1280, 720},
      {1920, 1080, 0, 1920, 1080},    {1920, 1080, -1, 1920, 1080},
      {1920, 1080, 1920, 1920, 1080}, {1080, 1920, 1280, 720, 1280},
      {10000, 1, 100, 100, 1},        {1, 10000, 100, 1, 100},
      {3008, 1692, 1920, 1920, 1080}, {1440, 900, 1920, 1440, 900},
      {3, 2, 1, 1, 1},                {1920, 1080, INT64_MAX, 1920, 1080},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " max " << c.maxEdge);
    auto image = solidImage(c.w, c.h);
    auto scaled = ScreenCapturer::downscale(image, c.maxEdge);
    EXPECT_EQ(scaled->width(), c.ew);
    EXPECT_EQ(scaled->height(), c.eh);
    if (c.ew == c.w && c.eh == c.h) {
      EXPECT_EQ(scaled, image) << "an image that fits is passed on as it is";
    }
  }
}

TEST(Downscale, ScalesTheContentNotJustTheSize) {
  // Left half red, right half blue; after halving, the halves stay where they were.
  std::vector<uint8_t> px(200 * 100 * 4);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 200; ++x) {
      uint8_t* p = &px[(y * 200 + x) * 4];
      p[0] = x < 100 ? 0 : 255;
      p[2] = x < 100 ? 255 : 0;
      p[3] = 255;
    }
  }
  auto scaled = ScreenCapturer::downscale(Image::fromPixels(200, 100, 800, px), 100);
  ASSERT_EQ(scaled->width(), 100);
  EXPECT_EQ(scaled->pixel(10, 25), 0xffff0000u);
  EXPECT_EQ(scaled->pixel(90, 25), 0xff0000ffu);
}

TEST(CompressionQuality, MapsPercentToTheUnitRange) {
  struct Case {
    int64_t quality;
    double expected;
  } cases[] = {{0, 0.0}, {60, 0.6}, {100, 1.0}, {150, 1.0}, {-20, 0.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality);
    EXPECT_DOUBLE_EQ(ScreenCapturer::compressionQuality(c.quality), c.expected);
  }
  EXPECT_EQ(ScreenCapturer::codecQuality(0.0), 1);
  EXPECT_EQ(ScreenCapturer::codecQuality(0.6), 60);
  EXPECT_EQ(ScreenCapturer::codecQuality(1.0), 100);
}

}  // namespace
}  // namespace cvl::test
