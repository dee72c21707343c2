// The frame path on X11: one XShm grab with the cursor, the two downscales, JPEG at quality 60
// (4:2:0) for 1080p and 720p (the row encoder, and TurboJPEG's whole encode for reference),
// ScreenCapturer::grab on a still screen, and a frame of a screen that changed entirely.
// WholeFrame counts the CPU time of the whole process per captured and encoded frame;
// compare_ffmpeg.py sets it against ffmpeg's x11grab + mjpeg on the same screen.
//
// Starts its own Xvfb at 1920x1080 with the end-to-end benchmark's desktop picture (text,
// gradients, a photo-like picture), or paints and uses the server in CVL_BENCH_DISPLAY.
// `--paint-only` paints and exits.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/shm.h>

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
#include "tests/support/child_process.h"
#include "tests/support/turbojpeg_reference.h"
#include "tests/support/xvfb_server.h"

namespace {

using namespace cvl;

constexpr int W = 1920;
constexpr int H = 1080;

std::unique_ptr<test::XvfbServer> server;

// The desktop picture of the end-to-end benchmark, painted by its probe.
bool paint() {
  return test::runChild(test::builtProgram("host_e2e_probe"), {.args = {"--paint"}}).status == 0;
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
