#pragma once
// What a person sees of one X window: its size and its pixels (as a QImage).

#include <QImage>
#include <QSize>

#include <string>

namespace cvl::test {

// The window's size and contents on the display $DISPLAY; null/empty when it cannot be read.
QSize windowSize(unsigned long window);
QImage grabWindow(unsigned long window);

}  // namespace cvl::test
