#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstring>

#include "kit/capture/x11/monitors_x11.h"
#include "kit/capture/x11/pasteboard_x11.h"

namespace cvl {
namespace {

struct Atoms {
  Atom clipboard, utf8, targets, text, textPlain, incr, property;

  explicit Atoms(Display* d)
      : clipboard(XInternAtom(d, "CLIPBOARD", False)),
        utf8(XInternAtom(d, "UTF8_STRING", False)),
        targets(XInternAtom(d, "TARGETS", False)),
        text(XInternAtom(d, "TEXT", False)),
        textPlain(XInternAtom(d, "text/plain;charset=utf-8", False)),
        incr(XInternAtom(d, "INCR", False)),
        property(XInternAtom(d, "CVL_CLIPBOARD", False)) {}
};

Window makeHiddenWindow(Display* d) {
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  return XCreateWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                       CopyFromParent, CWEventMask, &attributes);
}

// Waits until the connection has an event or `deadline` passes; false on timeout.
bool waitForEvent(Display* d, std::chrono::steady_clock::time_point deadline) {
  while (XPending(d) == 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{ConnectionNumber(d), POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 100)));
  }
  return true;
}

}  // namespace

// The selection owner: a thread with its own connection and window. It sleeps in poll() on
// the connection and on a pipe through which setText() hands over new text.
struct X11Pasteboard::Owner {
  Display* display = nullptr;
  Window window = 0;
  std::unique_ptr<Atoms> atoms;
  int wakeFds[2] = {-1, -1};
  std::thread thread;

  std::mutex mutex;  // text, pending, quit
  std::condition_variable claimed;  // pending went false
  std::string text;
  bool pending = false;
  bool quit = false;

  ~Owner() {
    {
      std::lock_guard lock(mutex);
      quit = true;
    }
    wake();
    if (thread.joinable()) thread.join();
    if (display) XCloseDisplay(display);
    for (int fd : wakeFds) {
      if (fd >= 0) close(fd);
    }
  }

  bool open() {
    x11::installErrorHandler();
    display = XOpenDisplay(nullptr);
    if (!display) return false;
    if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    window = makeHiddenWindow(display);
    atoms = std::make_unique<Atoms>(display);
    thread = std::thread([this] { run(); });
    return true;
  }

  void wake() {
    if (wakeFds[1] >= 0) {
      char c = 1;
      [[maybe_unused]] auto n = write(wakeFds[1], &c, 1);
    }
  }

  void run() {
    for (;;) {
      {
        std::unique_lock lock(mutex);
        if (quit) return;
        if (pending) {
          lock.unlock();
          XSetSelectionOwner(display, atoms->clipboard, window, CurrentTime);
          // A round trip: once it returns the server has made this window the owner, so any
          // client that asks from now on is sent here.
          XGetSelectionOwner(display, atoms->clipboard);
          lock.lock();
          // Only now is the set finished: a reader released earlier would ask the server
          // before it knew the new owner and find the clipboard empty.
          pending = false;
          claimed.notify_all();
        }
      }
      while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        // The server sends requests only to the selection's current owner, so every request
        // is answered with our text. (A notice that we lost the selection may still be
        // queued after we have claimed it again; it says nothing about now.)
        if (event.type == SelectionRequest) answer(event.xselectionrequest);
      }
      pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
      poll(fds, 2, -1);
      if (fds[1].revents & POLLIN) {
        char buffer[64];
        while (read(wakeFds[0], buffer, sizeof buffer) > 0) {
        }
      }
    }
  }

  void answer(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    // Old clients leave the property out and expect the target's name to be used.
    Atom property = request.property != None ? request.property : request.target;

    std::string copy;
    {
      std::lock_guard lock(mutex);
      copy = text;
    }
    x11::takeError();
    if (request.target == atoms->targets) {
      Atom list[] = {atoms->targets, atoms->utf8, atoms->text, atoms->textPlain};
      XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(list), 4);
      reply.property = property;
    } else if (request.target == atoms->utf8 || request.target == atoms->text ||
               request.target == atoms->textPlain) {
      // One property write; text beyond what one request may carry is refused rather than
      // sent in increments.
      long limit = XExtendedMaxRequestSize(display);
      if (limit == 0) limit = XMaxRequestSize(display);
      if (static_cast<long long>(copy.size()) < static_cast<long long>(limit) * 4 - 1024) {
        XChangeProperty(display, request.requestor, property, atoms->utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(copy.data()),
                        static_cast<int>(copy.size()));
        reply.property = property;
      }
    }
    XSendEvent(display, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XSync(display, False);
    x11::takeError();  // a requestor that vanished meanwhile
  }
};

X11Pasteboard::X11Pasteboard() = default;

X11Pasteboard::~X11Pasteboard() {
  owner_.reset();
  if (reader_) XCloseDisplay(reader_);
}

void X11Pasteboard::setText(const std::string& text) {
  std::lock_guard lock(ownerMutex_);
  if (!owner_) {
    auto owner = std::make_unique<Owner>();
    if (!owner->open()) return;
    owner_ = std::move(owner);
  }
  {
    std::lock_guard textLock(owner_->mutex);
    owner_->text = text;
    owner_->pending = true;
  }
  owner_->wake();
  // Wait until the owner thread has claimed the selection, so that a read right after the
  // set (here or by another client) sees the new text.
  std::unique_lock textLock(owner_->mutex);
  owner_->claimed.wait_for(textLock, READ_TIMEOUT, [&] { return !owner_->pending; });
}

std::optional<std::string> X11Pasteboard::text() {
  // Our own text, answered without a transfer when the server still names our window as the
  // owner. Whether we still own the clipboard is the server's to say: another client may
  // have taken it a moment ago and its notice not have reached the owner thread yet.
  Window ours = 0;
  std::string mine;
  {
    std::lock_guard lock(ownerMutex_);
    if (owner_) {
      std::lock_guard textLock(owner_->mutex);
      if (!owner_->pending) {
        ours = owner_->window;
        mine = owner_->text;
      }
    }
  }
  return readSelection(ours, mine);
}

std::optional<std::string> X11Pasteboard::readSelection(unsigned long ownWindow,
                                                        const std::string& ownText) {
  std::lock_guard lock(readMutex_);
  if (!reader_) {
    x11::installErrorHandler();
    reader_ = XOpenDisplay(nullptr);
    if (!reader_) return std::nullopt;
    readerWindow_ = makeHiddenWindow(reader_);
  }
  Display* d = reader_;
  Window window = readerWindow_;
  Atoms atoms(d);
  Window owner = XGetSelectionOwner(d, atoms.clipboard);
  if (owner == None) return std::nullopt;
  if (ownWindow != 0 && owner == ownWindow) return ownText;

  // Leftovers from an earlier read that timed out.
  XDeleteProperty(d, window, atoms.property);
  XSync(d, False);
  while (XPending(d) > 0) {
    XEvent stale;
    XNextEvent(d, &stale);
  }

  auto deadline = std::chrono::steady_clock::now() + READ_TIMEOUT;
  XConvertSelection(d, atoms.clipboard, atoms.utf8, atoms.property, window, CurrentTime);
  XFlush(d);
  for (;;) {
    if (!waitForEvent(d, deadline)) return std::nullopt;
    XEvent event;
    XNextEvent(d, &event);
    if (event.type == SelectionNotify && event.xselection.requestor == window) {
      if (event.xselection.property == None) return std::nullopt;
      break;
    }
  }

  // Reads and deletes the property; false when it is not there.
  auto take = [&](Atom& type, std::string& bytes) {
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, window, atoms.property, 0, LONG_MAX / 4, True, AnyPropertyType,
                           &type, &format, &count, &after, &data) != Success) {
      return false;
    }
    if (data) {
      if (format == 8) bytes.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
    }
    return type != None;
  };

  Atom type = None;
  std::string result;
  if (!take(type, result)) return std::nullopt;
  if (type != atoms.incr) return result;

  // Large text comes in increments: each new value of the property is one chunk, an empty
  // one ends the transfer. Deleting the property asks the owner for the next chunk.
  result.clear();
  for (;;) {
    if (!waitForEvent(d, deadline)) return std::nullopt;
    XEvent event;
    XNextEvent(d, &event);
    if (event.type != PropertyNotify || event.xproperty.atom != atoms.property ||
        event.xproperty.state != PropertyNewValue) {
      continue;
    }
    std::string chunk;
    Atom chunkType = None;
    if (!take(chunkType, chunk)) continue;
    if (chunk.empty()) return result;
    result += chunk;
  }
}

}  // namespace cvl
