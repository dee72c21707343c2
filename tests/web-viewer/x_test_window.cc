// An X window for the browser tests: covers the given rectangle in one colour, takes the
// keyboard focus, and prints every key and button event as one JSON line on standard output:
//   {"event":"ready"}
//   {"event":"key","down":true,"keysym":"eacute","text":"é","state":0}
//   {"event":"button","down":true,"button":1,"x":10,"y":20}
//
//   cvl_x_test_window X Y WIDTH HEIGHT #RRGGBB [animate]
//
// With "animate" it repaints a grid of coloured cells that shifts every 15 ms, so that every
// captured frame differs (for the page benchmark).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void appendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The character a keysym stands for, ignoring Control (Latin-1 and Unicode keysyms only).
std::string characterOf(KeySym sym) {
  std::string out;
  if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF)) appendUtf8(out, sym);
  else if ((sym & 0xFF000000) == 0x01000000) appendUtf8(out, sym & 0x00FFFFFF);
  return out;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void paintCells(Display* d, Window w, GC gc, int width, int height, int step) {
  const int cell = 40;
  for (int y = 0; y < height; y += cell) {
    for (int x = 0; x < width; x += cell) {
      unsigned v = static_cast<unsigned>((x / cell) * 37 + (y / cell) * 91 + step * 7);
      XSetForeground(d, gc, ((v * 53) & 0xFF) << 16 | ((v * 97) & 0xFF) << 8 | ((v * 29) & 0xFF));
      XFillRectangle(d, w, gc, x, y, cell, cell);
    }
  }
  XSetForeground(d, gc, 0xFFFFFF);
  XFillRectangle(d, w, gc, (step * 12) % width, 0, 24, height);
  XFlush(d);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: cvl_x_test_window X Y WIDTH HEIGHT #RRGGBB [animate]\n");
    return 2;
  }
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "cannot open the display\n");
    return 1;
  }
  int screen = DefaultScreen(d);
  unsigned long color = std::strtoul(argv[5] + (argv[5][0] == '#'), nullptr, 16);
  XSetWindowAttributes attrs{};
  attrs.override_redirect = True;
  attrs.background_pixel = color;
  attrs.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                     StructureNotifyMask;
  Window window = XCreateWindow(d, RootWindow(d, screen), std::atoi(argv[1]), std::atoi(argv[2]),
                                std::atoi(argv[3]), std::atoi(argv[4]), 0, CopyFromParent,
                                InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
  XMapRaised(d, window);
  for (;;) {
    XEvent e;
    XNextEvent(d, &e);
    if (e.type == MapNotify) break;
  }
  XSetInputFocus(d, window, RevertToPointerRoot, CurrentTime);
  XSync(d, False);
  std::printf("{\"event\":\"ready\"}\n");
  std::fflush(stdout);
  const bool animate = argc == 7 && std::strcmp(argv[6], "animate") == 0;
  GC gc = XCreateGC(d, window, 0, nullptr);
  int step = 0;
  for (;;) {
    if (animate && XPending(d) == 0) {
      pollfd fd{ConnectionNumber(d), POLLIN, 0};
      if (poll(&fd, 1, 15) == 0) {
        paintCells(d, window, gc, std::atoi(argv[3]), std::atoi(argv[4]), ++step);
        continue;
      }
    }
    XEvent e;
    XNextEvent(d, &e);
    if (e.type == KeyPress || e.type == KeyRelease) {
      char buf[32];
      KeySym sym = NoSymbol;
      XLookupString(&e.xkey, buf, sizeof buf, &sym, nullptr);
      const char* name = XKeysymToString(sym);
      std::printf("{\"event\":\"key\",\"down\":%s,\"keysym\":%s,\"text\":%s,\"state\":%u}\n",
                  e.type == KeyPress ? "true" : "false", quoted(name ? name : "").c_str(),
                  quoted(characterOf(sym)).c_str(), e.xkey.state);
    } else if (e.type == ButtonPress || e.type == ButtonRelease) {
      std::printf("{\"event\":\"button\",\"down\":%s,\"button\":%u,\"x\":%d,\"y\":%d}\n",
                  e.type == ButtonPress ? "true" : "false", e.xbutton.button, e.xbutton.x_root,
                  e.xbutton.y_root);
    }
    std::fflush(stdout);
  }
}
