// host_e2e_probe: the viewers and the screen activity of bench/host_e2e.
//
//   host_e2e_probe --paint
//       paints the desktop picture on $DISPLAY and exits.
//   host_e2e_probe --scene still|region|full --viewers N --url VIEWER_URL [--host-pid PID]
//                  [--fps 30] [--quality 60] [--max-edge 0] [--warmup 3] [--seconds 10]
//                  [--skip-unchanged]
//       draws the scene, connects N viewers that agree keys with the host, sends the settings
//       (with --skip-unchanged every viewer asks, as the browser viewer does, for frames only
//       when the picture changed and for a sharper one once it stands still),
//       lets the stream settle for the warm-up, then counts for the given seconds: frames and
//       bytes per viewer, the time from each marker change requested on the X server to the
//       first frame that shows it (viewer 0 decodes every frame), and the host's CPU time and
//       resident memory from /proc. Prints one JSON object.
//   host_e2e_probe --scene KIND --viewers 0 --seconds S
//       only draws the scene for S seconds (while another program captures the screen).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/host_e2e_probe/marker_reader.h"
#include "bench/host_e2e_probe/proc_stats.h"
#include "bench/host_e2e_probe/scene_x11.h"
#include "kit/base/base64.h"
#include "kit/fabric/relay_frame.h"
#include "kit/fabric/viewer_peer.h"
#include "kit/fabric/websocket.h"

namespace cvl::bench {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

struct Options {
  std::string scene = "still";
  int viewers = 1;
  std::string url;
  pid_t hostPid = 0;
  int fps = 30;
  int quality = 60;
  int maxEdge = 0;
  double warmup = 3;
  double seconds = 10;
  bool skipUnchanged = false;
  int screenW = 1920;
  int screenH = 1080;
};

struct Viewer {
  std::shared_ptr<WebSocketTask> task;
  ViewerPeer peer;
  uint64_t frames = 0;  // inside the window
};

class Probe {
 public:
  Probe(Options options, Scene& scene)
      : options_(std::move(options)), scene_(scene), connector_(makeBeastWebSocketConnector()) {}

  int run() {
    auto url = parseWebSocketUrl(options_.url);
    if (!url) {
      std::cerr << "host_e2e_probe: bad --url\n";
      return 2;
    }
    for (int i = 0; i < options_.viewers; ++i) {
      auto v = std::make_unique<Viewer>();
      v->task = connector_->makeTask(*url);
      viewers_.push_back(std::move(v));
    }
    for (size_t i = 0; i < viewers_.size(); ++i) {
      viewers_[i]->task->resume();
      arm(i);
    }
    {
      std::unique_lock lock(mutex_);
      if (!changed_.wait_for(lock, 60s, [&] {
            return keyed_ == options_.viewers && settingsApplied_;
          })) {
        std::cerr << "host_e2e_probe: viewers did not key (" << keyed_ << " of "
                  << options_.viewers << ")\n";
        return 1;
      }
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(options_.warmup));

    std::optional<ProcStats> before = options_.hostPid ? readProcStats(options_.hostPid)
                                                       : std::nullopt;
    {
      std::lock_guard lock(mutex_);
      windowStart_ = Clock::now();
      measuring_ = true;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(options_.seconds));
    Clock::time_point windowEnd;
    {
      std::lock_guard lock(mutex_);
      measuring_ = false;
      windowEnd = Clock::now();
    }
    std::optional<ProcStats> after = options_.hostPid ? readProcStats(options_.hostPid)
                                                      : std::nullopt;
    double window = std::chrono::duration<double>(windowEnd - windowStart_).count();

    std::lock_guard lock(mutex_);
    json out;
    out["scene"] = options_.scene;
    out["viewers"] = options_.viewers;
    out["maxEdge"] = options_.maxEdge;
    out["seconds"] = window;
    out["skipUnchanged"] = options_.skipUnchanged;
    uint64_t minFrames = UINT64_MAX, total = 0;
    for (auto& v : viewers_) {
      minFrames = std::min(minFrames, v->frames);
      total += v->frames;
    }
    uint64_t frames0 = viewers_[0]->frames;
    out["frames"] = frames0;
    out["framesAllViewers"] = total;
    out["fps"] = static_cast<double>(frames0) / window;
    out["fpsSlowestViewer"] = static_cast<double>(minFrames) / window;
    out["bytesPerFrame"] = frames0 ? static_cast<double>(jpegBytes_) / frames0 : 0.0;
    out["frameSize"] = {frameW_, frameH_};
    if (before && after) {
      double cpu = after->cpuSeconds - before->cpuSeconds;
      out["hostCpuSeconds"] = cpu;
      out["hostCpuMsPerFrame"] = frames0 ? cpu * 1e3 / static_cast<double>(frames0) : 0.0;
      // Per tick of the frame loop at the rate asked for: what a still screen costs viewers
      // that are sent nothing.
      out["hostCpuMsPerTick"] = cpu * 1e3 / (window * options_.fps);
      out["hostCpuShare"] = cpu / window;
      out["rssStartKiB"] = before->rssKiB;
      out["rssEndKiB"] = after->rssKiB;
    }
    if (scene_.hasMarker()) {
      std::vector<double> l = latencies_;
      std::sort(l.begin(), l.end());
      auto at = [&](double q) {
        return l.empty() ? 0.0 : l[std::min(l.size() - 1, static_cast<size_t>(q * l.size()))];
      };
      out["latencyCount"] = l.size();
      out["latencyMsMedian"] = at(0.5);
      out["latencyMsP90"] = at(0.9);
      out["latencyMsMax"] = l.empty() ? 0.0 : l.back();
      out["markersMissed"] = missed_;
    }
    std::cout << out.dump() << std::endl;
    for (auto& v : viewers_) v->task->cancel(1000);
    return 0;
  }

 private:
  void arm(size_t index) {
    viewers_[index]->task->receive([this, index](WebSocketReceived r) {
      if (!r.ok()) return;
      onMessage(index, r.message, Clock::now());
      arm(index);
    });
  }

  void onMessage(size_t index, const WebSocketMessage& message, Clock::time_point arrived) {
    Viewer& v = *viewers_[index];
    if (message.kind == WebSocketMessage::Kind::text) {
      auto notice = json::parse(message.data, nullptr, false);
      if (notice.is_object() && notice.value("t", "") == "host-online") {
        v.task->send(WebSocketMessage::binary(v.peer.hello()), nullptr);
      }
      return;
    }
    if (message.data.empty()) return;
    if (message.data[0] == FabricTag::hello) {
      if (v.peer.keyed()) return;
      v.peer.receive(message.data);
      json settings = {{"type", "settings"}};
      if (index == 0) {
        settings["fps"] = options_.fps;
        settings["quality"] = options_.quality;
        settings["maxEdge"] = options_.maxEdge;
      }
      if (options_.skipUnchanged) {
        settings["skipUnchanged"] = true;
        settings["refreshQuality"] = 90;
      }
      if (settings.size() > 1) {
        v.task->send(WebSocketMessage::binary(v.peer.sealJson(settings)), nullptr);
      }
      std::lock_guard lock(mutex_);
      ++keyed_;
      changed_.notify_all();
      return;
    }
    if (index != 0) {
      // Only viewer 0 opens what it gets; the others count frames by their size, so that 16
      // viewers cost this process little.
      if (message.data.size() > 4096) {
        std::lock_guard lock(mutex_);
        if (measuring_) ++v.frames;
      }
      return;
    }
    auto opened = v.peer.receive(message.data);
    if (!opened) return;
    std::string type = opened->value("type", "");
    if (type == "fps-applied") {
      std::lock_guard lock(mutex_);
      settingsApplied_ = true;
      changed_.notify_all();
      return;
    }
    if (type != "frame") return;
    auto jpeg = Base64::decode(opened->value("data", ""));
    if (!jpeg) return;
    int marker = scene_.hasMarker()
                     ? reader_.read(*jpeg, scene_.spot(), options_.screenW, options_.screenH)
                     : -1;
    std::lock_guard lock(mutex_);
    frameW_ = opened->value("w", 0);
    frameH_ = opened->value("h", 0);
    if (measuring_) {
      ++v.frames;
      jpegBytes_ += jpeg->size();
    }
    if (marker >= 0 && marker != lastColour_) noteMarker(marker, arrived);
  }

  // A frame shows marker colour `colour` for the first time since the last change: the change
  // it shows is the newest one of that colour requested before the frame arrived.
  void noteMarker(int colour, Clock::time_point arrived) {
    std::optional<uint64_t> found;
    std::optional<Clock::time_point> requested;
    for (uint64_t n = colour;; n += MARKER_COLOUR_COUNT) {
      auto t = scene_.markerRequested(n);
      if (!t || *t > arrived) break;
      found = n;
      requested = t;
    }
    lastColour_ = colour;
    if (!found) return;
    if (lastMarker_ >= 0 && measuring_ && static_cast<int64_t>(*found) > lastMarker_) {
      latencies_.push_back(std::chrono::duration<double, std::milli>(arrived - *requested).count());
      missed_ += static_cast<int64_t>(*found) - lastMarker_ - 1;
    }
    lastMarker_ = static_cast<int64_t>(*found);
  }

  Options options_;
  Scene& scene_;
  std::shared_ptr<WebSocketConnector> connector_;
  std::vector<std::unique_ptr<Viewer>> viewers_;
  MarkerReader reader_;  // network thread only

  std::mutex mutex_;
  std::condition_variable changed_;
  int keyed_ = 0;
  bool settingsApplied_ = false;
  bool measuring_ = false;
  Clock::time_point windowStart_;
  uint64_t jpegBytes_ = 0;
  int frameW_ = 0, frameH_ = 0;
  int lastColour_ = -1;
  int64_t lastMarker_ = -1;
  int64_t missed_ = 0;
  std::vector<double> latencies_;
};

int usage() {
  std::cerr << "usage: host_e2e_probe --paint | --scene KIND --viewers N [--url URL] "
               "[--host-pid PID] [--fps N] [--quality N] [--max-edge N] [--warmup S] "
               "[--seconds S] [--skip-unchanged]\n";
  return 2;
}

}  // namespace
}  // namespace cvl::bench

int main(int argc, char** argv) {
  using namespace cvl::bench;
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--paint") return paintDesktop() ? 0 : 1;
    if (arg == "--skip-unchanged") {
      options.skipUnchanged = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    std::string value = argv[++i];
    if (arg == "--scene") options.scene = value;
    else if (arg == "--viewers") options.viewers = std::stoi(value);
    else if (arg == "--url") options.url = value;
    else if (arg == "--host-pid") options.hostPid = std::stoi(value);
    else if (arg == "--fps") options.fps = std::stoi(value);
    else if (arg == "--quality") options.quality = std::stoi(value);
    else if (arg == "--max-edge") options.maxEdge = std::stoi(value);
    else if (arg == "--warmup") options.warmup = std::stod(value);
    else if (arg == "--seconds") options.seconds = std::stod(value);
    else return usage();
  }
  Scene scene(options.scene, options.fps);
  if (!scene.start()) {
    std::cerr << "host_e2e_probe: cannot draw scene " << options.scene << "\n";
    return 1;
  }
  int status = 0;
  if (options.viewers < 1) {
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
  } else {
    Probe probe(options, scene);
    status = probe.run();
    // Let the closing handshakes leave so the host sees the viewers go.
    std::this_thread::sleep_for(300ms);
  }
  scene.stop();
  std::cout.flush();
  // The network thread may still complete on the probe's viewers: leave without destructors.
  _exit(status);
}
