#include "kit/capture/screen_capturer.h"

#include <gtest/gtest.h>

#include "kit/capture/frame_size.h"
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
  EXPECT_EQ(JpegEncoder::codecQuality(0.0), 1);
  EXPECT_EQ(JpegEncoder::codecQuality(0.6), 60);
  EXPECT_EQ(JpegEncoder::codecQuality(1.0), 100);
}

TEST(JpegEncoder, HigherQualityKeepsMoreDetail) {
  // A noisy image: the encoded size must grow with the quality.
  std::vector<uint8_t> px(128 * 128 * 4);
  uint32_t seed = 1;
  for (auto& b : px) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
  auto image = Image::fromPixels(128, 128, 512, px);
  JpegEncoder encoder;
  auto low = encoder.encode(*image, 0.1);
  auto high = encoder.encode(*image, 0.9);
  ASSERT_TRUE(low && high);
  EXPECT_LT(low->size(), high->size());
  auto decoded = decodeJpeg(*high);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 128);
}

}  // namespace
}  // namespace cvl::test
