#pragma once
// Finds the benchmark's marker colour in a received JPEG frame. Decodes at an eighth of the
// size (only the DC coefficients), which is plenty for a 48-pixel square and cheap enough to
// run on every frame. One thread.

#include <cstdint>
#include <memory>
#include <span>

#include "bench/host_e2e_probe/scene_x11.h"

namespace cvl::bench {

class MarkerReader {
 public:
  MarkerReader();
  ~MarkerReader();

  // The index into MARKER_COLOURS of the colour at the marker's centre of a frame of a
  // `screenW` x `screenH` screen, or -1 when the frame does not decode or shows none of them.
  int read(std::span<const uint8_t> jpeg, MarkerSpot spot, int screenW, int screenH);

 private:
  void* handle_;
  std::unique_ptr<uint8_t[]> pixels_;
  size_t capacity_ = 0;
};

}  // namespace cvl::bench
