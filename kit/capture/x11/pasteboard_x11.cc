#include "kit/capture/x11/pasteboard_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <climits>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>

#include "kit/base/x11/x11_connection.h"

namespace cvl {
namespace {

using Clock = std::chrono::steady_clock;

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

struct Read {
  Pasteboard::TextDone done;
};
struct Write {
  std::string text;
  std::function<void()> done;
};
using Job = std::variant<Read, Write>;

}  // namespace

// The thread, its connection and window, and the requests waiting for it. The thread sleeps in
// poll() on the connection and on a pipe through which requests wake it.
struct X11Pasteboard::Worker {
  std::mutex mutex;  // jobs, quit
  std::deque<Job> jobs;
  bool quit = false;
  int wakeFds[2] = {-1, -1};
  std::thread thread;

  // The thread's own.
  X11Connection connection;
  Display* display = nullptr;  // connection.get()
  Window window = 0;
  std::unique_ptr<Atoms> atoms;
  std::string text;  // what we answer while we own the selection

  Worker() {
    if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) wakeFds[0] = wakeFds[1] = -1;
    thread = std::thread([this] {
      pthread_setname_np(pthread_self(), "cvl.pasteboard");
      run();
    });
  }

  ~Worker() {
    {
      std::lock_guard lock(mutex);
      quit = true;
    }
    wake();
    thread.join();
    for (int fd : wakeFds) {
      if (fd >= 0) close(fd);
    }
  }

  void submit(Job job) {
    {
      std::lock_guard lock(mutex);
      jobs.push_back(std::move(job));
    }
    wake();
  }

  void wake() {
    if (wakeFds[1] >= 0) {
      char c = 1;
      [[maybe_unused]] auto n = write(wakeFds[1], &c, 1);
    }
  }

  // Opens the connection when there is none yet (again after a failure); false without one.
  bool connect() {
    if (display) return true;
    connection = X11Connection::open();
    display = connection.get();
    if (!display) return false;
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    window = XCreateWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, CopyFromParent,
                           InputOnly, CopyFromParent, CWEventMask, &attributes);
    atoms = std::make_unique<Atoms>(display);
    return true;
  }

  void run() {
    for (;;) {
      std::optional<Job> job;
      {
        std::lock_guard lock(mutex);
        if (quit) return;
        if (!jobs.empty()) {
          job = std::move(jobs.front());
          jobs.pop_front();
        }
      }
      if (job) {
        perform(*job);
        continue;
      }
      serveEvents();
      pollfd fds[2] = {{display ? ConnectionNumber(display) : -1, POLLIN, 0},
                       {wakeFds[0], POLLIN, 0}};
      poll(fds, 2, -1);
      if (fds[1].revents & POLLIN) {
        char buffer[64];
        while (read(wakeFds[0], buffer, sizeof buffer) > 0) {
        }
      }
    }
  }

  void perform(Job& job) {
    if (auto* w = std::get_if<Write>(&job)) {
      if (connect()) {
        text = std::move(w->text);
        XSetSelectionOwner(display, atoms->clipboard, window, CurrentTime);
        // A round trip: once it returns the server has made this window the owner, so any
        // client that asks from now on is sent here, and the write is done.
        XGetSelectionOwner(display, atoms->clipboard);
      }
      if (w->done) w->done();
      return;
    }
    auto& r = std::get<Read>(job);
    std::optional<std::string> result = connect() ? readSelection() : std::nullopt;
    if (r.done) r.done(std::move(result));
  }

  // Answers what other clients asked of us meanwhile.
  void serveEvents() {
    if (!display) return;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      // The server sends requests only to the selection's current owner, so every request is
      // answered with our text. (A notice that we lost the selection may still be queued
      // after we claimed it again; it says nothing about now.)
      if (event.type == SelectionRequest) answer(event.xselectionrequest);
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

    X11ErrorTrap::take();
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
      if (static_cast<long long>(text.size()) < static_cast<long long>(limit) * 4 - 1024) {
        XChangeProperty(display, request.requestor, property, atoms->utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
        reply.property = property;
      }
    }
    XSendEvent(display, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XSync(display, False);
    X11ErrorTrap::take();  // a requestor that vanished meanwhile
  }

  // The next event before `deadline` (requests of other clients are answered meanwhile);
  // false on timeout.
  bool nextEvent(Clock::time_point deadline, XEvent& event) {
    for (;;) {
      while (XPending(display) > 0) {
        XNextEvent(display, &event);
        if (event.type == SelectionRequest) {
          answer(event.xselectionrequest);
          continue;
        }
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{ConnectionNumber(display), POLLIN, 0};
      poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 100)));
    }
  }

  // Reads and deletes our property; false when it is not there.
  bool takeProperty(Atom& type, std::string& bytes) {
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, atoms->property, 0, LONG_MAX / 4, True, AnyPropertyType,
                           &type, &format, &count, &after, &data) != Success) {
      return false;
    }
    if (data) {
      if (format == 8) bytes.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
    }
    return type != None;
  }

  std::optional<std::string> readSelection() {
    // Whether we still own the clipboard is the server's to say: another client may have
    // taken it a moment ago.
    Window owner = XGetSelectionOwner(display, atoms->clipboard);
    if (owner == None) return std::nullopt;
    if (owner == window) return text;

    // Leftovers from an earlier read that timed out.
    XDeleteProperty(display, window, atoms->property);
    serveEvents();

    auto deadline = Clock::now() + READ_TIMEOUT;
    XConvertSelection(display, atoms->clipboard, atoms->utf8, atoms->property, window, CurrentTime);
    XFlush(display);
    XEvent event;
    for (;;) {
      if (!nextEvent(deadline, event)) return std::nullopt;
      if (event.type == SelectionNotify && event.xselection.requestor == window) {
        if (event.xselection.property == None) return std::nullopt;
        break;
      }
    }

    Atom type = None;
    std::string result;
    if (!takeProperty(type, result)) return std::nullopt;
    if (type != atoms->incr) return result;

    // Large text comes in increments: each new value of the property is one chunk, an empty
    // one ends the transfer. Deleting the property asks the owner for the next chunk.
    result.clear();
    for (;;) {
      if (!nextEvent(deadline, event)) return std::nullopt;
      if (event.type != PropertyNotify || event.xproperty.atom != atoms->property ||
          event.xproperty.state != PropertyNewValue) {
        continue;
      }
      std::string chunk;
      Atom chunkType = None;
      if (!takeProperty(chunkType, chunk)) continue;
      if (chunk.empty()) return result;
      result += chunk;
    }
  }
};

X11Pasteboard::X11Pasteboard() : worker_(std::make_unique<Worker>()) {}

X11Pasteboard::~X11Pasteboard() = default;

void X11Pasteboard::readText(TextDone done) { worker_->submit(Read{std::move(done)}); }

void X11Pasteboard::writeText(std::string text, std::function<void()> done) {
  worker_->submit(Write{std::move(text), std::move(done)});
}

}  // namespace cvl
