// The frame-path pieces against the ones they replaced, on the desktop of bench/host_e2e
// (1920x1080 Xvfb painted by host_e2e_probe): the row-restart JPEG encoder (whole frames, a
// typing line, a 640x360 region, nothing changed) against TurboJPEG's whole encode (the frame
// path's encoder before), both including the colour conversion; the change detectors; base64
// into a reused buffer against base64 into a fresh string. `vsPresent` is the CPU time over
// TurboJPEG's whole-frame time at the same size, measured first in the same run.

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>

#include <ctime>
#include <cstring>
#include <memory>
#include <string>

#include "kit/base/base64.h"
#include "kit/base/base64_into.h"
#include "kit/base/reusable_buffer.h"
#include "kit/capture/band_scaler.h"
#include "kit/capture/frame_comparer.h"
#include "kit/capture/row_jpeg_encoder.h"
#include "kit/capture/scaler.h"
#include "kit/capture/x11/capture_platform_x11.h"
#include "kit/capture/x11/damage_change_detector_x11.h"
#include "kit/capture/x11/xgetimage_screenshot_source.h"
#include "tests/support/child_process.h"
#include "tests/support/turbojpeg_reference.h"
#include "tests/support/xvfb_server.h"

namespace {

using namespace cvl;

constexpr int W = 1920, H = 1080;

std::unique_ptr<test::XvfbServer> server;
ImageRef desktop, desktopChanged, typed;  // full size
double presentMs[2] = {0, 0};             // [full, 720p]

ImageRef screenshot() {
  auto displays = x11CapturePlatform().displays;
  return XGetImageScreenshotSource(displays->mainDisplay()).latestImage();
}

ImageRef sized(const ImageRef& image, int which) {
  return which == 0 ? image : scaleImage(*image, 1280, 720);
}

std::vector<uint8_t> rowsChanged(const ImageRef& a, const ImageRef& b) {
  FrameComparer comparer;
  comparer.compare(a);
  ScreenChanges changes = comparer.compare(b);
  std::vector<uint8_t> rows;
  markRows(changes, a->height(), a->height(), RowJpegEncoder::ROW_HEIGHT, rows);
  return rows;
}

void BM_PresentEncoder(benchmark::State& state) {
  int which = static_cast<int>(state.range(0));
  ImageRef image = sized(desktop, which);
  size_t bytes = 0;
  auto t0 = std::clock();
  int64_t n = 0;
  for (auto _ : state) {
    auto jpeg = test::turboJpegEncode(*image, 60);
    bytes = jpeg->size();
    ++n;
  }
  presentMs[which] = 1e3 * static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC / n;
  state.counters["jpegBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PresentEncoder)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// mode 0: whole frame; 1: one typing line changed; 2: a 640x360 region; 3: nothing changed.
void BM_RowEncoder(benchmark::State& state) {
  int which = static_cast<int>(state.range(0));
  int mode = static_cast<int>(state.range(1));
  ImageRef a = sized(desktop, which);
  ImageRef b = sized(mode == 1 ? typed : desktopChanged, which);
  std::vector<uint8_t> rows = rowsChanged(a, b);
  if (mode == 3) std::fill(rows.begin(), rows.end(), 0);
  RowJpegEncoder encoder;
  encoder.encode(*a, 60);
  size_t bytes = 0;
  int rowsEncoded = 0;
  auto t0 = std::clock();
  int64_t n = 0;
  for (auto _ : state) {
    // Alternate between the two pictures so the changed rows really change every time.
    const Image& image = (n % 2) ? *a : *b;
    auto jpeg = mode == 0 ? encoder.encode(image, 60) : encoder.encodeChanged(image, 60, rows);
    bytes = jpeg->size();
    rowsEncoded = encoder.rowsEncoded();
    ++n;
  }
  double ms = 1e3 * static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC / n;
  state.counters["jpegBytes"] = static_cast<double>(bytes);
  state.counters["rowsEncoded"] = rowsEncoded;
  if (presentMs[which] > 0) state.counters["vsPresent"] = ms / presentMs[which];
}
BENCHMARK(BM_RowEncoder)
    ->ArgsProduct({{0, 1}, {0, 1, 2, 3}})
    ->ArgNames({"720p", "mode"})
    ->Unit(benchmark::kMillisecond);

// Shrinking 1080p to 720p: the whole frame, against only the rows a 640x360 region touches.
void BM_ScaleTo720p(benchmark::State& state) {
  std::vector<uint8_t> out(1280 * 4 * 720);
  std::vector<uint8_t> rows;
  FrameComparer comparer;
  comparer.compare(desktop);
  markRows(comparer.compare(desktopChanged), H, 720, RowJpegEncoder::ROW_HEIGHT, rows);
  int64_t n = 0;
  for (auto _ : state) {
    const Image& src = (n++ % 2) ? *desktop : *desktopChanged;
    if (state.range(0) == 0) {
      scaleInto(src, out.data(), 1280 * 4, 1280, 720);
    } else {
      scaleMarkedRows(src, out.data(), 1280 * 4, 1280, 720, rows, RowJpegEncoder::ROW_HEIGHT);
    }
  }
}
BENCHMARK(BM_ScaleTo720p)->Arg(0)->Arg(1)->ArgNames({"changedRowsOnly"})->Unit(benchmark::kMicrosecond);

// What a still tick costs to learn that nothing changed: the X server's damage and the
// pointer (two round trips), against comparing two equal full frames.
void BM_DamageTakeNothingChanged(benchmark::State& state) {
  auto detector = x11::makeDamageChangeDetector({0, 0, W, H});
  if (!detector) {
    state.SkipWithError("no DAMAGE");
    return;
  }
  detector->take();
  for (auto _ : state) benchmark::DoNotOptimize(detector->take());
}
BENCHMARK(BM_DamageTakeNothingChanged)->Unit(benchmark::kMicrosecond);

void BM_CompareEqualFrames(benchmark::State& state) {
  // Two buffers with the same pixels: every byte is read.
  std::vector<uint8_t> copy(desktop->data(), desktop->data() + static_cast<size_t>(desktop->stride()) * H);
  ImageRef twin = Image::fromPixels(W, H, desktop->stride(), std::move(copy));
  FrameComparer comparer;
  int64_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(comparer.compare((n++ % 2) ? desktop : twin));
}
BENCHMARK(BM_CompareEqualFrames)->Unit(benchmark::kMicrosecond);

// A 640x360 region differs: the changed rows are narrowed to their columns.
void BM_CompareRegionChanged(benchmark::State& state) {
  FrameComparer comparer;
  int64_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(comparer.compare((n++ % 2) ? desktop : desktopChanged));
  }
}
BENCHMARK(BM_CompareRegionChanged)->Unit(benchmark::kMicrosecond);

// Base64 of a 320 kB JPEG: the present encoder into a fresh string, against the direct one into
// a reused buffer.
void BM_Base64(benchmark::State& state) {
  std::vector<uint8_t> jpeg(320 * 1024);
  for (size_t i = 0; i < jpeg.size(); ++i) jpeg[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  ReusableBuffer buffer;
  for (auto _ : state) {
    if (state.range(0) == 0) {
      std::string text;
      text.reserve(Base64::encodedSize(jpeg.size()) + 64);
      Base64::encodeAppend(jpeg, text);
      benchmark::DoNotOptimize(text.data());
    } else {
      buffer.clear();
      uint8_t* out = buffer.extend(Base64::encodedSize(jpeg.size()));
      Base64::encodeTo(jpeg, out);
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(jpeg.size()));
}
BENCHMARK(BM_Base64)->Arg(0)->Arg(1)->ArgNames({"direct"})->Unit(benchmark::kMicrosecond);

bool prepare() {
  server = std::make_unique<test::XvfbServer>(test::XvfbServer::Options{.width = W, .height = H});
  server->exportDisplay();
  auto painted = test::runChild(test::builtProgram("host_e2e_probe"), {.args = {"--paint"}});
  if (painted.status != 0) return false;
  desktop = screenshot();
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  // A typing line: one more word in the text window.
  XSetForeground(d, gc, 0x202020);
  XFillRectangle(d, root, gc, 400, 300, 60, 9);
  XSync(d, False);
  typed = screenshot();
  // A 640x360 region redrawn (a video or a moving window).
  XSetForeground(d, gc, 0x3060c0);
  XFillRectangle(d, root, gc, 1000, 500, 640, 360);
  XSetForeground(d, gc, 0xf0f0f0);
  for (int i = 0; i < 20; ++i) XFillRectangle(d, root, gc, 1000 + i * 31, 500 + i * 17, 40, 20);
  XSync(d, False);
  desktopChanged = screenshot();
  XFreeGC(d, gc);
  XCloseDisplay(d);
  return desktop && typed && desktopChanged;
}

}  // namespace

int main(int argc, char** argv) {
  if (!prepare()) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
