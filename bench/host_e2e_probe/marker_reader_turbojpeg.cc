#include <turbojpeg.h>

#include <cstdlib>

#include "bench/host_e2e_probe/marker_reader.h"

namespace cvl::bench {

MarkerReader::MarkerReader() : handle_(tjInitDecompress()) {}
MarkerReader::~MarkerReader() {
  if (handle_) tjDestroy(handle_);
}

int MarkerReader::read(std::span<const uint8_t> jpeg, MarkerSpot spot, int screenW,
                       int screenH) {
  if (!handle_) return -1;
  int w = 0, h = 0, sub = 0, cs = 0;
  if (tjDecompressHeader3(handle_, jpeg.data(), jpeg.size(), &w, &h, &sub, &cs) != 0) return -1;
  int sw = TJSCALED(w, (tjscalingfactor{1, 8})), sh = TJSCALED(h, (tjscalingfactor{1, 8}));
  size_t need = static_cast<size_t>(sw) * sh * 3;
  if (need > capacity_) {
    pixels_.reset(new uint8_t[need]);
    capacity_ = need;
  }
  if (tjDecompress2(handle_, jpeg.data(), jpeg.size(), pixels_.get(), sw, sw * 3, sh, TJPF_RGB,
                    TJFLAG_FASTDCT) != 0) {
    return -1;
  }
  int cx = static_cast<int>((spot.x + spot.size / 2.0) * sw / screenW);
  int cy = static_cast<int>((spot.y + spot.size / 2.0) * sh / screenH);
  if (cx < 0 || cy < 0 || cx >= sw || cy >= sh) return -1;
  const uint8_t* p = pixels_.get() + (static_cast<size_t>(cy) * sw + cx) * 3;
  int best = -1, bestDistance = 90 * 90 * 3;
  for (int i = 0; i < MARKER_COLOUR_COUNT; ++i) {
    uint32_t c = MARKER_COLOURS[i];
    int dr = p[0] - static_cast<int>(c >> 16), dg = p[1] - static_cast<int>((c >> 8) & 0xff),
        db = p[2] - static_cast<int>(c & 0xff);
    int distance = dr * dr + dg * dg + db * db;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return best;
}

}  // namespace cvl::bench
