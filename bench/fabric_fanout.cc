// The fan-out of frames: one host seals and writes each 1280x800 frame (JPEG quality 60) for
// 1, 4 and 16 keyed viewers through cvlrelay on loopback. FanOut reports the host's CPU time
// per frame (the whole benchmark process: the viewers and the relay run as child processes),
// the frames per second, and `vsEncode`: that CPU time over the capture-and-encode CPU time
// of the same screen measured first in the same run (CaptureEncode). Below 1 means sealing
// and sending for that many viewers costs less than encoding the frame once.
//
// Starts its own Xvfb and relay. `--viewers N --url URL` is the child mode: N viewers on the
// relay's viewer endpoint that agree keys, print "ready", and then drain what they receive.

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kit/capture/row_jpeg_encoder.h"
#include "kit/capture/x11/display_services_x11.h"
#include "kit/capture/x11/xshm_stream_source.h"
#include "kit/fabric/fabric_client.h"
#include "kit/fabric/viewer_peer.h"
#include "kit/fabric/websocket.h"
#include "tests/support/child_process.h"
#include "tests/support/relay_process.h"
#include "tests/support/xvfb_server.h"

namespace {

using namespace cvl;
using namespace std::chrono_literals;

constexpr int W = 1280;
constexpr int H = 800;

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---- The screen ----

std::unique_ptr<test::XvfbServer> server;
std::vector<uint8_t> sampleJpeg;
double encodeCpuPerFrame = 0;

// A desktop-like picture: a gradient, a white text-like window and a grainy photo region.
void paint(Display* d) {
  std::vector<uint32_t> px(static_cast<size_t>(W) * H);
  uint32_t seed = 99;
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      uint32_t c = ((30 + x * 60 / W) << 16) | ((60 + y * 80 / H) << 8) | (140 + (x + y) / 40);
      if (x > 60 && x < 700 && y > 60 && y < 560) {
        c = ((y / 14) % 2 && (x / 7) % 3) ? 0x202020 : 0xFFFFFF;
      } else if (x > 760 && x < 1220 && y > 100 && y < 700) {
        seed = seed * 1664525 + 1013904223;
        int t = static_cast<int>(60 * std::sin(x / 9.0) * std::cos(y / 7.0)) +
                static_cast<int>((seed >> 24) % 20);
        c = (std::clamp(90 + t, 0, 255) << 16) | (std::clamp(140 + t, 0, 255) << 8) | 60;
      }
      px[static_cast<size_t>(y) * W + x] = c;
    }
  }
  int screen = DefaultScreen(d);
  XImage* image = XCreateImage(d, DefaultVisual(d, screen), DefaultDepth(d, screen), ZPixmap, 0,
                               reinterpret_cast<char*>(px.data()), W, H, 32, 0);
  XPutImage(d, RootWindow(d, screen), DefaultGC(d, screen), image, 0, 0, 0, 0, W, H);
  image->data = nullptr;
  XDestroyImage(image);
  XSync(d, False);
}

// Capture and whole encode of the screen, as the frame loop does it per tick when all of the
// screen changed: a grab, then every row encoded.
void BM_CaptureEncode(benchmark::State& state) {
  XShmStreamSource source(X11DisplayServices().mainDisplay());
  if (source.start()) {
    state.SkipWithError("the stream does not start");
    return;
  }
  RowJpegEncoder encoder;
  std::optional<std::span<const uint8_t>> jpeg;
  double cpu0 = processCpuSeconds();
  int64_t n = 0;
  for (auto _ : state) {
    ImageRef image = source.latestImage();
    jpeg = image ? encoder.encode(*image, 60) : std::nullopt;
    if (!jpeg) {
      state.SkipWithError("no frame");
      break;
    }
    ++n;
  }
  encodeCpuPerFrame = (processCpuSeconds() - cpu0) / static_cast<double>(std::max<int64_t>(n, 1));
  if (jpeg) sampleJpeg.assign(jpeg->begin(), jpeg->end());
  source.stop();
  state.counters["jpegBytes"] = static_cast<double>(sampleJpeg.size());
  state.counters["cpuMsPerFrame"] = encodeCpuPerFrame * 1e3;
}
BENCHMARK(BM_CaptureEncode)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// ---- The fan-out ----

// Answers at once from a queue of its own, as the engine does from its sequences.
class IdleEngine : public FabricEngine {
 public:
  void startCapture() override {}
  void stopCapture() override {}
  void releaseAll() override {}
  void releaseHeld() override {}
  void injectBinary(std::vector<uint8_t>, Reply<bool> done) override {
    later([done] { done(false); });
  }
  void injectEvent(InputEvent) override {}
  void applySettings(std::optional<double>, std::optional<int64_t>, std::optional<int64_t>,
                     std::optional<int64_t>, Reply<std::optional<FpsApplied>> done) override {
    later([done] { done(std::nullopt); });
  }
  void monitorsMessage(Reply<nlohmann::json> done) override {
    later([done] { done({{"type", "monitors"}}); });
  }
  void setViewOnly(bool on, Reply<bool> done) override { later([done, on] { done(on); }); }
  void clipboardText(Reply<std::string> done) override { later([done] { done(""); }); }
  void setClipboard(std::string, std::function<void()> done) override { later(done); }
  void setOnFrame(FrameCallback) override {}
  void setRefreshQualities(std::vector<int64_t>) override {}
  void shutdown(std::function<void()> done) override { later(done); }

 private:
  void later(std::function<void()> f) {
    if (f) queue_.async(std::move(f));
  }
  SerialQueue queue_{"cvl.frameloop"};
};

const char* DEVICE = "bench-host";
const char* TOKEN = "bench-token";
const char* VIEWER_TOKEN = "bench-viewer";
std::string selfPath;

void BM_FanOut(benchmark::State& state) {
  if (sampleJpeg.empty()) {
    state.SkipWithError("CaptureEncode did not run");
    return;
  }
  const int viewers = static_cast<int>(state.range(0));
  test::RelayProcess relay({{{DEVICE, TOKEN, {{VIEWER_TOKEN, {"*"}}}}}});
  FabricConfig config{DEVICE, TOKEN, relay.baseUrl(), std::nullopt, std::nullopt};
  FabricClient::Options options;
  options.canInject = [] { return false; };
  auto client = FabricClient::make(config, std::make_shared<IdleEngine>(), options);
  client->start();

  test::ChildProcess crowd(selfPath, {{"--viewers", std::to_string(viewers), "--url",
                                       relay.viewerUrl(DEVICE, VIEWER_TOKEN, "viewer")}});
  if (!crowd.waitForOut("ready", 60s)) {
    state.SkipWithError("viewers did not key");
    return;
  }
  // Let the greetings go out before timing.
  std::this_thread::sleep_for(300ms);

  auto wall0 = std::chrono::steady_clock::now();
  double cpu0 = processCpuSeconds();
  int64_t frames = 0;
  for (auto _ : state) {
    uint64_t target = client->framesWritten() + static_cast<uint64_t>(viewers);
    client->broadcastFrame({sampleJpeg, W, H});
    for (uint64_t seen = client->framesWritten(); seen < target; seen = client->framesWritten()) {
      client->waitFramesWritten(seen);
    }
    ++frames;
  }
  double cpu = (processCpuSeconds() - cpu0) / static_cast<double>(std::max<int64_t>(frames, 1));
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  state.counters["fps"] = static_cast<double>(frames) / wall;
  state.counters["cpuMsPerFrame"] = cpu * 1e3;
  state.counters["vsEncode"] = cpu / encodeCpuPerFrame;
  client->stop();
}
BENCHMARK(BM_FanOut)->Arg(1)->Arg(4)->Arg(16)->MeasureProcessCPUTime()->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---- Child mode: a crowd of viewers ----

int runCrowd(int count, const std::string& url) {
  auto parsed = parseWebSocketUrl(url);
  if (!parsed) return 2;
  auto connector = makeBeastWebSocketConnector();
  std::mutex mutex;
  std::atomic<int> keyed{0};
  struct One {
    std::shared_ptr<WebSocketTask> task;
    ViewerPeer peer;
  };
  std::vector<std::unique_ptr<One>> crowd;
  std::function<void(One*)> arm = [&](One* one) {
    one->task->receive([&, one](WebSocketReceived r) {
      if (!r.ok()) return;
      std::lock_guard guard(mutex);
      if (r.message.kind == WebSocketMessage::Kind::text) {
        auto notice = nlohmann::json::parse(r.message.data, nullptr, false);
        if (notice.is_object() && notice.value("t", "") == "host-online") {
          one->task->send(WebSocketMessage::binary(one->peer.hello()), nullptr);
        }
      } else if (!r.message.data.empty() && r.message.data[0] == 1 && !one->peer.keyed()) {
        one->peer.receive(r.message.data);
        if (++keyed == count) std::cout << "ready" << std::endl;
      }
      arm(one);
    });
  };
  for (int i = 0; i < count; ++i) {
    auto one = std::make_unique<One>();
    one->task = connector->makeTask(*parsed);
    one->task->resume();
    arm(one.get());
    crowd.push_back(std::move(one));
  }
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  std::this_thread::sleep_for(std::chrono::hours(24));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  selfPath = argv[0];
  if (argc >= 5 && std::strcmp(argv[1], "--viewers") == 0) {
    return runCrowd(std::stoi(argv[2]), argv[4]);
  }
  server = std::make_unique<test::XvfbServer>(test::XvfbServer::Options{.width = W, .height = H});
  server->exportDisplay();
  Display* d = XOpenDisplay(server->display().c_str());
  if (!d) return 1;
  paint(d);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  XCloseDisplay(d);
  return 0;
}
