// The frame path on X11: one XShm grab with the cursor, the two downscales, JPEG at quality 60
// (4:2:0) for 1080p and 720p (the row encoder, and TurboJPEG's whole encode for reference),
// ScreenCapturer::grab on a still screen, and a frame of a screen that changed entirely.
// WholeFrame counts the CPU time of the whole process per captured and encoded frame;
// compare_ffmpeg.py sets it against ffmpeg's x11grab + mjpeg on the same screen.
//
// Starts its own Xvfb at 1920x1080 with desktop-like content (text, gradients, a photo-like
// picture), or paints and uses the server in CVL_BENCH_DISPLAY. `--paint-only` paints and
// exits.

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "kit/capture/frame_size.h"
#include "kit/capture/row_jpeg_encoder.h"
#include "kit/capture/scaler.h"
#include "kit/capture/screen_capturer.h"
#include "kit/capture/x11/capture_platform_x11.h"
#include "kit/capture/x11/cursor_x11.h"
#include "kit/capture/x11/xgetimage_screenshot_source.h"
#include "kit/capture/x11/xshm_stream_source.h"
#include "tests/support/turbojpeg_reference.h"
#include "tests/support/xvfb_server.h"

namespace {

using namespace cvl;

constexpr int W = 1920;
constexpr int H = 1080;

std::unique_ptr<test::XvfbServer> server;

uint32_t rgb(int r, int g, int b) {
  return (std::clamp(r, 0, 255) << 16) | (std::clamp(g, 0, 255) << 8) | std::clamp(b, 0, 255);
}

// A desktop: a gradient wallpaper, a top bar, a text window, a photo-like picture (smooth
// shapes with fine grain), a gradient panel and a dock of icons.
void paintDesktop(Display* d) {
  std::vector<uint32_t> px(static_cast<size_t>(W) * H);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      px[y * W + x] = rgb(30 + x * 60 / W, 60 + y * 80 / H, 120 + (x + y) * 80 / (W + H));
    }
  }
  auto rect = [&](int x0, int y0, int w, int h, uint32_t c) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) px[y * W + x] = c;
  };
  rect(0, 0, W, 28, rgb(235, 235, 235));
  rect(80, 80, 900, 700, rgb(255, 255, 255));  // text window
  rect(80, 80, 900, 30, rgb(220, 220, 225));
  // The photo: hills, sky and foliage-like grain.
  uint32_t seed = 12345;
  for (int y = 0; y < 540; ++y) {
    for (int x = 0; x < 760; ++x) {
      seed = seed * 1664525 + 1013904223;
      int grain = static_cast<int>((seed >> 24) % 24) - 12;
      double hill = 300 + 60 * std::sin(x / 90.0) + 30 * std::sin(x / 23.0 + 1);
      int r, g, b;
      if (y < hill) {
        r = 120 + y / 6;
        g = 170 + y / 8;
        b = 235;
      } else {
        double t = std::sin(x / 7.0) * std::cos(y / 5.0);
        r = 50 + static_cast<int>(40 * t);
        g = 110 + static_cast<int>(50 * t) + (y - static_cast<int>(hill)) / 4;
        b = 40;
      }
      px[(y + 120) * W + (x + 1060)] = rgb(r + grain, g + grain, b + grain);
    }
  }
  for (int y = 700; y < 980; ++y)  // gradient panel
    for (int x = 1060; x < 1820; ++x) px[y * W + x] = rgb((x - 1060) / 3, 80, (y - 700) * 255 / 280);
  for (int i = 0; i < 12; ++i) rect(560 + i * 68, H - 70, 56, 56, rgb(40 + i * 17, 200 - i * 11, 90 + i * 13));

  Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  XImage* image = XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(px.data()), W, H, 32, W * 4);
  XPutImage(d, root, gc, image, 0, 0, 0, 0, W, H);
  image->data = nullptr;
  XDestroyImage(image);
  if (XFontStruct* font = XLoadQueryFont(d, "fixed")) {
    XSetFont(d, gc, font->fid);
    XSetForeground(d, gc, 0x202020);
    const char* words = "The quick brown fox jumps over the lazy dog 0123456789 — lorem ipsum ";
    for (int line = 0; line < 48; ++line) {
      std::string text = std::to_string(line + 1) + "  " + words + words;
      XDrawString(d, root, gc, 96, 130 + line * 13, text.c_str(), static_cast<int>(text.size()));
    }
    XDrawString(d, root, gc, 12, 19, "Files  Edit  View  Go  Window  Help", 35);
    XFreeFont(d, font);
  }
  XWarpPointer(d, 0, root, 0, 0, 0, 0, 700, 420);
  XFreeGC(d, gc);
  XSync(d, False);
}

bool paint() {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  paintDesktop(d);
  XCloseDisplay(d);
  return true;
}

ImageRef screenshot() {
  auto displays = x11CapturePlatform().displays;
  return XGetImageScreenshotSource(displays->mainDisplay()).latestImage();
}

void BM_XShmGrabWithCursor(benchmark::State& state) {
  Display* d = XOpenDisplay(nullptr);
  XShmSegmentInfo shm{};
  XImage* image = XShmCreateImage(d, DefaultVisual(d, 0), DefaultDepth(d, 0), ZPixmap, nullptr,
                                  &shm, W, H);
  shm.shmid = shmget(IPC_PRIVATE, image->bytes_per_line * H, IPC_CREAT | 0600);
  shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
  shmctl(shm.shmid, IPC_RMID, nullptr);
  XShmAttach(d, &shm);
  for (auto _ : state) {
    XShmGetImage(d, DefaultRootWindow(d), image, 0, 0, AllPlanes);
    x11::drawCursor(d, reinterpret_cast<uint8_t*>(image->data), image->bytes_per_line, W, H, 0, 0);
    benchmark::DoNotOptimize(image->data[0]);
  }
  XShmDetach(d, &shm);
  XDestroyImage(image);
  shmdt(shm.shmaddr);
  XCloseDisplay(d);
}
BENCHMARK(BM_XShmGrabWithCursor)->Unit(benchmark::kMillisecond);

void BM_Downscale(benchmark::State& state) {
  int sw = static_cast<int>(state.range(0)), sh = static_cast<int>(state.range(1));
  int dw = static_cast<int>(state.range(2)), dh = static_cast<int>(state.range(3));
  ImageRef source = screenshot();
  if (sw != source->width()) source = scaleImage(*source, sw, sh);
  for (auto _ : state) {
    auto scaled = ScreenCapturer::downscale(source, std::max(dw, dh));
    if (scaled->width() != dw || scaled->height() != dh) state.SkipWithError("wrong size");
    benchmark::DoNotOptimize(scaled);
  }
}
BENCHMARK(BM_Downscale)->Args({2880, 1800, 1280, 800})->Args({1920, 1080, 1280, 720})
    ->Unit(benchmark::kMillisecond);

void BM_Jpeg(benchmark::State& state) {
  ImageRef source = screenshot();
  int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  if (w != source->width()) source = scaleImage(*source, w, h);
  RowJpegEncoder encoder;
  size_t bytes = 0;
  for (auto _ : state) {
    auto jpeg = encoder.encode(*source, 60);
    bytes = jpeg->size();
    benchmark::DoNotOptimize(jpeg);
  }
  state.counters["jpegBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Jpeg)->Args({1920, 1080})->Args({1280, 720})->Unit(benchmark::kMillisecond);

// TurboJPEG's whole encode of the same planes, without restart markers: the encoder the
// frame path had before.
void BM_JpegTurbo(benchmark::State& state) {
  ImageRef source = screenshot();
  int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  if (w != source->width()) source = scaleImage(*source, w, h);
  size_t bytes = 0;
  for (auto _ : state) {
    auto jpeg = test::turboJpegEncode(*source, 60);
    bytes = jpeg->size();
    benchmark::DoNotOptimize(jpeg);
  }
  state.counters["jpegBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_JpegTurbo)->Args({1920, 1080})->Args({1280, 720})->Unit(benchmark::kMillisecond);

// grab() on a still screen: the damage report says nothing changed and the last JPEG is
// handed on (the frame loop's work per tick while nothing moves).
void BM_StillGrab(benchmark::State& state) {
  ScreenCapturer capturer(0, x11CapturePlatform());
  capturer.start();
  size_t bytes = 0;
  for (auto _ : state) {
    auto frame = capturer.grab(state.range(0), 60);
    if (!frame) {
      state.SkipWithError("no frame");
      break;
    }
    bytes = frame->jpeg.size();
  }
  state.counters["jpegBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StillGrab)->Arg(0)->Arg(1280)->Unit(benchmark::kMillisecond);

// One frame of a screen that changed entirely: the XShm grab with the cursor, the shrink (for
// 1280) and a whole encode, as CPU time of the whole process.
void BM_WholeFrame(benchmark::State& state) {
  XShmStreamSource stream(x11CapturePlatform().displays->mainDisplay());
  if (stream.start()) {
    state.SkipWithError("the stream does not start");
    return;
  }
  RowJpegEncoder encoder;
  int edge = static_cast<int>(state.range(0));
  std::vector<uint8_t> shrunk;
  size_t bytes = 0;
  for (auto _ : state) {
    ImageRef image = stream.latestImage();
    PixelSize fitted = fitLongestEdge({image->width(), image->height()}, edge);
    std::optional<std::span<const uint8_t>> jpeg;
    if (fitted.width != image->width()) {
      shrunk.resize(static_cast<size_t>(fitted.width) * 4 * fitted.height);
      scaleInto(*image, shrunk.data(), fitted.width * 4, fitted.width, fitted.height);
      jpeg = encoder.encode(
          Image(fitted.width, fitted.height, fitted.width * 4, shrunk.data(), nullptr), 60);
    } else {
      jpeg = encoder.encode(*image, 60);
    }
    if (!jpeg) {
      state.SkipWithError("no frame");
      break;
    }
    bytes = jpeg->size();
  }
  state.counters["jpegBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WholeFrame)->Arg(0)->Arg(1280)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  bool paintOnly = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--paint-only") == 0) {
      paintOnly = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (const char* display = std::getenv("CVL_BENCH_DISPLAY")) {
    setenv("DISPLAY", display, 1);
  } else {
    server = std::make_unique<test::XvfbServer>(test::XvfbServer::Options{.width = W, .height = H});
    server->exportDisplay();
  }
  if (!paint()) {
    std::fprintf(stderr, "cannot reach the X server\n");
    return 1;
  }
  if (paintOnly) return 0;
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  server.reset();
  return 0;
}
