#include "kit/capture/jpeg_restart_segments.h"

#include <cstring>

namespace cvl {

bool findRestartSegments(std::span<const uint8_t> jpeg, JpegRestartSegments& out) {
  out.rows.clear();
  out.headerSize = 0;
  const uint8_t* p = jpeg.data();
  size_t n = jpeg.size();
  if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
  size_t at = 2;
  // Marker segments up to and including SOS: FF xx, then a two-byte length that counts itself.
  for (;;) {
    if (at + 4 > n || p[at] != 0xFF) return false;
    uint8_t marker = p[at + 1];
    size_t length = (size_t{p[at + 2]} << 8) | p[at + 3];
    if (length < 2 || at + 2 + length > n) return false;
    at += 2 + length;
    if (marker == 0xDA) break;
    if (marker == 0xD8 || marker == 0xD9 || (marker >= 0xD0 && marker <= 0xD7)) return false;
  }
  out.headerSize = at;
  // Entropy-coded data: an FF there is always followed by a stuffed 00, so every other FF
  // starts a marker.
  size_t start = at;
  int expected = 0;
  while (at < n) {
    const void* hit = std::memchr(p + at, 0xFF, n - at);
    if (!hit) return false;  // no EOI
    size_t ff = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
    if (ff + 1 >= n) return false;
    uint8_t next = p[ff + 1];
    if (next == 0x00) {
      at = ff + 2;
      continue;
    }
    if (next == 0xD9) {
      if (ff + 2 != n) return false;
      out.rows.push_back({start, ff - start});
      return true;
    }
    if (next != 0xD0 + expected) return false;
    out.rows.push_back({start, ff - start});
    expected = (expected + 1) % 8;
    start = at = ff + 2;
  }
  return false;
}

std::optional<JpegRestartSegments> findRestartSegments(std::span<const uint8_t> jpeg) {
  JpegRestartSegments out;
  if (!findRestartSegments(jpeg, out)) return std::nullopt;
  return out;
}

}  // namespace cvl
