#pragma once
// What changed on the captured area since the last look: rectangles in the area's own pixel
// coordinates (pre-scaling), or "everything" when there is no earlier look to compare with.
// A change detector reports it before each grab; the row encoder needs it per MCU row of the
// image it encodes, which markRows works out (scaled frames included).

#include <cstdint>
#include <vector>

namespace cvl {

struct ChangeRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const ChangeRect&) const = default;
};

struct ScreenChanges {
  bool everything = false;
  std::vector<ChangeRect> rects;  // may overlap; empty and not `everything`: nothing changed
  bool cursorChanged = false;     // the pointer moved or took another shape (its boxes are in rects)

  bool none() const { return !everything && rects.empty(); }
  void add(ChangeRect r, int areaWidth, int areaHeight);  // clipped to the area; empty ones dropped
};

// One flag per `rowHeight`-pixel row of an image of `imageHeight` pixels made from an area of
// `areaHeight` pixels (imageHeight < areaHeight when the frame is shrunk): 1 where the row
// shows any change. A shrunk row also takes the changes of the area pixels its filter reads.
void markRows(const ScreenChanges& changes, int areaHeight, int imageHeight, int rowHeight,
              std::vector<uint8_t>& rows);

}  // namespace cvl
