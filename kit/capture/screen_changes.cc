#include "kit/capture/screen_changes.h"

#include <algorithm>
#include <cmath>

namespace cvl {

void ScreenChanges::add(ChangeRect r, int areaWidth, int areaHeight) {
  int x0 = std::max(r.x, 0), y0 = std::max(r.y, 0);
  int x1 = std::min<int64_t>(int64_t{r.x} + r.width, areaWidth);
  int y1 = std::min<int64_t>(int64_t{r.y} + r.height, areaHeight);
  if (x1 <= x0 || y1 <= y0) return;
  rects.push_back({x0, y0, x1 - x0, y1 - y0});
}

void markRows(const ScreenChanges& changes, int areaHeight, int imageHeight, int rowHeight,
              std::vector<uint8_t>& rows) {
  int count = imageHeight > 0 && rowHeight > 0 ? (imageHeight + rowHeight - 1) / rowHeight : 0;
  rows.assign(static_cast<size_t>(count), changes.everything ? 1 : 0);
  if (changes.everything || count == 0 || areaHeight <= 0) return;
  bool scaled = imageHeight != areaHeight;
  double s = static_cast<double>(imageHeight) / areaHeight;
  for (const auto& r : changes.rects) {
    if (r.height <= 0) continue;
    int top = r.y, bottom = r.y + r.height;  // area rows [top, bottom)
    if (scaled) {
      // A bilinear shrink reads the area rows around each image row: widen by one on both
      // sides (two for the rounding of the mapping).
      top = static_cast<int>(std::floor(top * s)) - 2;
      bottom = static_cast<int>(std::ceil(bottom * s)) + 2;
    }
    top = std::clamp(top, 0, imageHeight - 1);
    bottom = std::clamp(bottom, top + 1, imageHeight);
    for (int row = top / rowHeight; row <= (bottom - 1) / rowHeight; ++row) rows[row] = 1;
  }
}

}  // namespace cvl
