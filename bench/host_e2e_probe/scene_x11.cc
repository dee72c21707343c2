#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "bench/host_e2e_probe/scene_x11.h"

namespace cvl::bench {
namespace {

uint32_t rgb(int r, int g, int b) {
  return (std::clamp(r, 0, 255) << 16) | (std::clamp(g, 0, 255) << 8) | std::clamp(b, 0, 255);
}

void putPixels(Display* d, Drawable target, GC gc, std::vector<uint32_t>& px, int w, int h,
               int x, int y) {
  XImage* image = XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(px.data()), w, h, 32, w * 4);
  XPutImage(d, target, gc, image, 0, 0, x, y, w, h);
  image->data = nullptr;
  XDestroyImage(image);
}

// A photo-like texture (smooth shapes with fine grain) whose pattern moves with `phase`.
std::vector<uint32_t> photo(int w, int h, int phase) {
  std::vector<uint32_t> px(static_cast<size_t>(w) * h);
  uint32_t seed = 777 + phase * 31;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525 + 1013904223;
      int grain = static_cast<int>((seed >> 24) % 24) - 12;
      double t = std::sin((x + phase * 13) / 11.0) * std::cos((y - phase * 7) / 9.0);
      double sky = 120 + 50 * std::sin((x + phase * 20) / 70.0);
      if (y < sky) {
        px[static_cast<size_t>(y) * w + x] = rgb(110 + y / 4 + grain, 160 + y / 6 + grain, 230);
      } else {
        px[static_cast<size_t>(y) * w + x] =
            rgb(60 + static_cast<int>(50 * t) + grain, 120 + static_cast<int>(60 * t) + grain,
                40 + phase * 9 % 60);
      }
    }
  }
  return px;
}

}  // namespace

bool paintDesktop() {
  constexpr int W = 1920, H = 1080;
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  int sw = DisplayWidth(d, DefaultScreen(d)), sh = DisplayHeight(d, DefaultScreen(d));
  std::vector<uint32_t> px(static_cast<size_t>(W) * H);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      px[static_cast<size_t>(y) * W + x] =
          rgb(30 + x * 60 / W, 60 + y * 80 / H, 120 + (x + y) * 80 / (W + H));
    }
  }
  auto rect = [&](int x0, int y0, int w, int h, uint32_t c) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) px[static_cast<size_t>(y) * W + x] = c;
  };
  rect(0, 0, W, 28, rgb(235, 235, 235));
  rect(80, 80, 900, 700, rgb(255, 255, 255));  // text window
  rect(80, 80, 900, 30, rgb(220, 220, 225));
  auto picture = photo(760, 540, 0);
  for (int y = 0; y < 540; ++y)
    for (int x = 0; x < 760; ++x)
      px[static_cast<size_t>(y + 120) * W + (x + 1060)] = picture[static_cast<size_t>(y) * 760 + x];
  for (int y = 700; y < 980; ++y)  // gradient panel
    for (int x = 1060; x < 1820; ++x)
      px[static_cast<size_t>(y) * W + x] = rgb((x - 1060) / 3, 80, (y - 700) * 255 / 280);
  for (int i = 0; i < 12; ++i)
    rect(560 + i * 68, H - 70, 56, 56, rgb(40 + i * 17, 200 - i * 11, 90 + i * 13));

  Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  putPixels(d, root, gc, px, std::min(W, sw), std::min(H, sh), 0, 0);
  if (XFontStruct* font = XLoadQueryFont(d, "fixed")) {
    XSetFont(d, gc, font->fid);
    XSetForeground(d, gc, 0x202020);
    const char* words = "The quick brown fox jumps over the lazy dog 0123456789 - lorem ipsum ";
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
  XCloseDisplay(d);
  return true;
}

Scene::Scene(std::string kind, int fps) : kind_(std::move(kind)), fps_(std::max(fps, 1)) {}

Scene::~Scene() { stop(); }

bool Scene::start() {
  if (kind_ != "still" && kind_ != "region" && kind_ != "full") return false;
  if (kind_ == "still") return true;
  Display* probe = XOpenDisplay(nullptr);
  if (!probe) return false;
  XCloseDisplay(probe);
  thread_ = std::thread([this] { run(); });
  return true;
}

void Scene::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

std::optional<Clock::time_point> Scene::markerRequested(uint64_t n) const {
  std::lock_guard lock(mutex_);
  if (n >= markerTimes_.size()) return std::nullopt;
  return markerTimes_[n];
}

void Scene::run() {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return;
  int screen = DefaultScreen(d);
  Window root = RootWindow(d, screen);
  int sw = DisplayWidth(d, screen), sh = DisplayHeight(d, screen);
  GC gc = XCreateGC(d, root, 0, nullptr);
  XSetSubwindowMode(d, gc, IncludeInferiors);

  // The frames to cycle through, kept on the server so drawing one is a cheap copy.
  int x = 0, y = 0, w = sw, h = sh;
  std::vector<Pixmap> frames;
  if (kind_ == "region") {
    x = 1000, y = 500, w = 640, h = 360;
    for (int k = 0; k < 8; ++k) {
      Pixmap p = XCreatePixmap(d, root, w, h, DefaultDepth(d, screen));
      auto px = photo(w, h, k + 1);
      putPixels(d, p, gc, px, w, h, 0, 0);
      frames.push_back(p);
    }
  } else {
    // The desktop shifted sideways by a different amount in each frame, wrapping around.
    Pixmap desktop = XCreatePixmap(d, root, w, h, DefaultDepth(d, screen));
    XCopyArea(d, root, desktop, gc, 0, 0, w, h, 0, 0);
    for (int k = 0; k < 4; ++k) {
      Pixmap p = XCreatePixmap(d, root, w, h, DefaultDepth(d, screen));
      int dx = 37 * (k + 1);
      XCopyArea(d, desktop, p, gc, 0, 0, w - dx, h, dx, 0);
      XCopyArea(d, desktop, p, gc, w - dx, 0, dx, h, 0, 0);
      frames.push_back(p);
    }
    XFreePixmap(d, desktop);
  }
  XSync(d, False);

  auto begin = Clock::now();
  auto next = begin;
  auto interval = std::chrono::microseconds(1'000'000 / fps_);
  uint64_t frame = 0;
  int64_t lastMarker = -1;
  while (!stopping_) {
    auto now = Clock::now();
    auto marker = static_cast<int64_t>((now - begin) / MARKER_PERIOD);
    if (marker != lastMarker) {
      std::lock_guard lock(mutex_);
      while (static_cast<int64_t>(markerTimes_.size()) <= marker) markerTimes_.push_back(now);
      lastMarker = marker;
    }
    XCopyArea(d, frames[frame % frames.size()], root, gc, 0, 0, w, h, x, y);
    XSetForeground(d, gc, MARKER_COLOURS[marker % MARKER_COLOUR_COUNT]);
    XFillRectangle(d, root, gc, spot_.x, spot_.y, spot_.size, spot_.size);
    XSync(d, False);
    ++frame;
    next += interval;
    if (next < Clock::now()) next = Clock::now();
    std::this_thread::sleep_until(next);
  }
  for (Pixmap p : frames) XFreePixmap(d, p);
  XFreeGC(d, gc);
  XCloseDisplay(d);
}

}  // namespace cvl::bench
