#include "kit/capture/x11/xshm_stream_source.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "kit/base/x11/x11_connection.h"
#include "kit/capture/frame_size.h"
#include "kit/capture/scaler.h"
#include "kit/capture/x11/cursor_x11.h"
#include "kit/capture/x11/monitors_x11.h"

namespace cvl {
namespace {

// The frame the capturer keeps (and compares with), the one being grabbed, and two more for
// readers that hold on to frames a little longer. Beyond that a grab is skipped.
constexpr size_t MAX_BUFFERS = 4;

// One frame's memory: a shared-memory XImage the server writes into, or (for frames that
// are shrunk after the grab) plain memory the scaler writes into.
struct Buffer {
  XImage* image = nullptr;
  XShmSegmentInfo shm{};
  std::vector<uint8_t> heap;
  uint8_t* data = nullptr;
  int stride = 0;
};

}  // namespace

// One started stream: its own X connection, the captured rectangle and the frame buffers.
// Shared by the source and by every frame still referenced, so that it (and the
// connection the shared memory is attached to) goes only after the last frame.
struct XShmStreamSource::Session {
  X11Connection connection;
  Display* display = nullptr;  // connection.get()
  Window root = 0;
  Visual* visual = nullptr;
  int depth = 0;
  bool cursor = false;
  int randrEventBase = -1;  // -1: the server has no RandR
  x11::Monitor rect;       // captured area of the root window
  PixelSize frameSize;     // delivered size (rect shrunk to MAX_EDGE)
  std::unique_ptr<Buffer> grabBuffer;  // full-size grab target when frames are shrunk

  std::mutex poolMutex;    // guards freeList only; frames are released from any thread
  std::vector<Buffer*> freeList;
  std::vector<std::unique_ptr<Buffer>> buffers;  // the grabbing thread only (and the destructor)

  ~Session() { clearBuffers(); }

  bool scaled() const { return static_cast<bool>(grabBuffer); }

  void destroy(Buffer& b) {
    if (b.image) {
      XShmDetach(display, &b.shm);
      XDestroyImage(b.image);  // frees the structure only; the segment is detached below
      shmdt(b.shm.shmaddr);
    }
  }

  void clearBuffers() {
    for (auto& b : buffers) destroy(*b);
    buffers.clear();
    if (grabBuffer) destroy(*grabBuffer);
    grabBuffer.reset();
    std::lock_guard lock(poolMutex);
    freeList.clear();
  }

  std::unique_ptr<Buffer> makeShmBuffer(int width, int height, std::string& error) {
    auto b = std::make_unique<Buffer>();
    b->image = XShmCreateImage(display, visual, depth, ZPixmap, nullptr, &b->shm, width, height);
    if (!b->image) {
      error = "cannot create a shared-memory image";
      return nullptr;
    }
    if (b->image->bits_per_pixel != 32 || b->image->byte_order != LSBFirst ||
        visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 || visual->blue_mask != 0xff) {
      XDestroyImage(b->image);
      error = "the screen's pixel format is not 32-bit BGRX";
      return nullptr;
    }
    b->shm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(b->image->bytes_per_line) * height,
                          IPC_CREAT | 0600);
    if (b->shm.shmid < 0) {
      XDestroyImage(b->image);
      error = "cannot allocate shared memory";
      return nullptr;
    }
    b->shm.shmaddr = static_cast<char*>(shmat(b->shm.shmid, nullptr, 0));
    // Marked for removal at once: the segment goes when both sides have detached, even if
    // this process dies.
    shmctl(b->shm.shmid, IPC_RMID, nullptr);
    if (b->shm.shmaddr == reinterpret_cast<char*>(-1)) {
      XDestroyImage(b->image);
      error = "cannot attach shared memory";
      return nullptr;
    }
    b->image->data = b->shm.shmaddr;
    b->shm.readOnly = False;
    X11ErrorTrap::take();
    XShmAttach(display, &b->shm);
    XSync(display, False);
    if (X11ErrorTrap::take() != 0) {
      XDestroyImage(b->image);
      shmdt(b->shm.shmaddr);
      error = "the X server cannot attach shared memory";
      return nullptr;
    }
    b->data = reinterpret_cast<uint8_t*>(b->image->data);
    b->stride = b->image->bytes_per_line;
    return b;
  }

  // Sets up buffers for `area`; false with `error` set when that is impossible.
  bool configure(const x11::Monitor& area, std::string& error) {
    clearBuffers();
    rect = area;
    frameSize = fitLongestEdge({area.width, area.height}, MAX_EDGE);
    if (frameSize != PixelSize{area.width, area.height}) {
      grabBuffer = makeShmBuffer(area.width, area.height, error);
      if (!grabBuffer) return false;
    }
    return true;
  }

  // A free frame buffer, made on demand up to MAX_BUFFERS; null when all are in use.
  Buffer* acquire(std::string& error) {
    {
      std::lock_guard lock(poolMutex);
      if (!freeList.empty()) {
        Buffer* b = freeList.back();
        freeList.pop_back();
        return b;
      }
    }
    if (buffers.size() >= MAX_BUFFERS) return nullptr;
    std::unique_ptr<Buffer> b;
    if (scaled()) {
      b = std::make_unique<Buffer>();
      b->stride = frameSize.width * 4;
      b->heap.resize(static_cast<size_t>(b->stride) * frameSize.height);
      b->data = b->heap.data();
    } else {
      b = makeShmBuffer(frameSize.width, frameSize.height, error);
      if (!b) return nullptr;
    }
    buffers.push_back(std::move(b));
    return buffers.back().get();
  }

  void release(Buffer* b) {
    std::lock_guard lock(poolMutex);
    freeList.push_back(b);
  }

  // Reads what the server sent; true when it announced a change of the screen or of its
  // outputs (a new resolution, a monitor added or removed).
  bool layoutAnnounced() {
    bool changed = false;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (randrEventBase < 0) continue;
      if (event.type == randrEventBase + RRScreenChangeNotify) {
        XRRUpdateConfiguration(&event);
        changed = true;
      } else if (event.type == randrEventBase + RRNotify) {
        changed = true;
      }
    }
    return changed;
  }
};

namespace {

// The monitor to capture: the one with `id`, else the first one listed (the wanted display
// may just have gone), clipped to the root window.
std::optional<x11::Monitor> captureArea(Display* display, DisplayId id) {
  auto monitors = x11::queryMonitors(display);
  if (monitors.empty()) return std::nullopt;
  const x11::Monitor* m = x11::findMonitor(monitors, id);
  x11::Monitor area = m ? *m : monitors.front();
  int screen = DefaultScreen(display);
  int right = std::min(area.x + area.width, DisplayWidth(display, screen));
  int bottom = std::min(area.y + area.height, DisplayHeight(display, screen));
  area.x = std::max(area.x, 0);
  area.y = std::max(area.y, 0);
  area.width = right - area.x;
  area.height = bottom - area.y;
  if (area.width < 1 || area.height < 1) return std::nullopt;
  return area;
}

}  // namespace

// A new session on its own connection, capturing `id` (or the first monitor).
static std::shared_ptr<XShmStreamSource::Session> openSession(DisplayId id, std::string& error) {
  auto session = std::make_shared<XShmStreamSource::Session>();
  session->connection = X11Connection::open();
  session->display = session->connection.get();
  if (!session->display) {
    error = "cannot open the X display";
    return nullptr;
  }
  Display* d = session->display;
  if (!XShmQueryExtension(d)) {
    error = "the X server has no shared-memory extension";
    return nullptr;
  }
  int screen = DefaultScreen(d);
  session->root = RootWindow(d, screen);
  session->visual = DefaultVisual(d, screen);
  session->depth = DefaultDepth(d, screen);
  session->cursor = x11::hasCursorImages(d);
  int errorBase = 0;
  if (XRRQueryExtension(d, &session->randrEventBase, &errorBase)) {
    XRRSelectInput(d, session->root,
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  } else {
    session->randrEventBase = -1;
  }
  auto area = captureArea(d, id);
  if (!area) {
    error = "no display to capture (cvl.capture error 1)";
    return nullptr;
  }
  if (!session->configure(*area, error)) return nullptr;
  return session;
}

XShmStreamSource::XShmStreamSource(DisplayId displayId) : displayId_(displayId) {}

XShmStreamSource::~XShmStreamSource() { stop(); }

std::optional<CaptureError> XShmStreamSource::start() {
  std::lock_guard lock(mutex_);
  session_.reset();
  std::string error;
  auto session = openSession(displayId_, error);
  if (!session) return CaptureError{error};
  // A buffer the server cannot fill shows now, not at the first tick.
  Buffer* probe = session->acquire(error);
  if (!probe) return CaptureError{error};
  session->release(probe);
  session_ = std::move(session);
  lastLook_ = std::chrono::steady_clock::now();
  failures_ = 0;
  // The first frame; one that fails is not an error: the capturer's grace period decides.
  grab();
  return std::nullopt;
}

void XShmStreamSource::stop() {
  std::lock_guard lock(mutex_);
  // Frames still out keep the session (and its connection) alive until they are dropped.
  session_.reset();
}

ImageRef XShmStreamSource::latestImage() {
  std::lock_guard lock(mutex_);
  if (session_) {
    if (auto fresh = grab()) return fresh;
  }
  return latest_;
}

void XShmStreamSource::setFrameRate(int) {}

ImageRef XShmStreamSource::grab() {
  // The server announces a new resolution or a monitor added or removed (RandR); monitors a
  // client defines come without notice, so the area is also looked at once a second, and
  // after grabs that failed.
  auto now = std::chrono::steady_clock::now();
  if (session_->layoutAnnounced() || failures_ % 10 == 1 || now - lastLook_ >= AREA_LOOK_INTERVAL) {
    lastLook_ = now;
    auto area = captureArea(session_->display, displayId_);
    const x11::Monitor& r = session_->rect;
    if (area &&
        (area->x != r.x || area->y != r.y || area->width != r.width || area->height != r.height)) {
      std::string e;
      if (auto fresh = openSession(displayId_, e)) session_ = std::move(fresh);
    }
  }

  Session& s = *session_;
  std::string error;
  Buffer* out = s.acquire(error);
  if (!out) {
    ++failures_;
    return nullptr;  // every buffer still held by readers, or none can be made
  }
  Buffer* target = s.scaled() ? s.grabBuffer.get() : out;
  if (!XShmGetImage(s.display, s.root, target->image, s.rect.x, s.rect.y, AllPlanes)) {
    X11ErrorTrap::take();
    ++failures_;
    s.release(out);
    return nullptr;
  }
  failures_ = 0;
  if (s.cursor) {
    x11::drawCursor(s.display, target->data, target->stride, s.rect.width, s.rect.height, s.rect.x,
                    s.rect.y);
  }
  if (s.scaled()) {
    Image full(s.rect.width, s.rect.height, target->stride, target->data, nullptr);
    if (!scaleInto(full, out->data, out->stride, s.frameSize.width, s.frameSize.height)) {
      s.release(out);
      return nullptr;
    }
  }
  std::shared_ptr<const void> owner(out, [session = session_](const void* b) {
    session->release(static_cast<Buffer*>(const_cast<void*>(b)));
  });
  latest_ = Image::wrap(
      s.frameSize.width, s.frameSize.height, out->stride, out->data, std::move(owner),
      ScreenArea{double(s.rect.x), double(s.rect.y), double(s.rect.width), double(s.rect.height)});
  return latest_;
}

}  // namespace cvl
