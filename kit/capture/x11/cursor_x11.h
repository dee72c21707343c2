#pragma once
// Draws the X server's current cursor (XFixes) into a BGRA frame. Shared by the X11 wrappers
// that capture with the pointer shown.

#include <cstdint>

struct _XDisplay;

namespace cvl::x11 {

// True when the server offers XFixes cursor images.
bool hasCursorImages(_XDisplay* display);
// Blends the cursor over `pixels` (a frame of the root window's area whose top-left corner is
// at root position (originX, originY)). A cursor outside the frame draws nothing.
void drawCursor(_XDisplay* display, uint8_t* pixels, int stride, int width, int height,
                int originX, int originY);

}  // namespace cvl::x11
