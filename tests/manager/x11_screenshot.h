#pragma once
// What a person sees of one X window: its size and its pixels (as a QImage).

#include <QImage>
#include <QSize>

#include <string>

#include "kit/base/x11/x11_connection.h"

namespace cvl::test {

// The window's size and contents on the display $DISPLAY; null/empty when it cannot be read.
QSize windowSize(unsigned long window);
QImage grabWindow(unsigned long window);

// Another client's window mapped on top of everything, as long as the object lives.
class CoveringWindow {
 public:
  CoveringWindow();
  ~CoveringWindow();
  unsigned long id() const { return window_; }

 private:
  X11Connection connection_;
  unsigned long window_ = 0;
};

// Whether top-level `upper` is stacked above `lower`.
bool isAbove(unsigned long upper, unsigned long lower);

}  // namespace cvl::test
