#pragma once
// Finds the pieces of a baseline JPEG written with a restart marker after every MCU row: the
// header (SOI up to the end of the SOS segment) and the entropy-coded segment of each row,
// without the markers between them. With fixed Huffman tables a row's segment depends only on
// that row's pixels, so segments of different encodes of the same size and quality can be
// spliced behind one header.
//
//   FFD8 ... FFDA <SOS> | row 0 | FFD0 | row 1 | FFD1 | ... | FFD7 | row 8 | FFD0 | ... | row n-1 | FFD9
//
// Stateless; any thread. Meant for the encoder's own output: anything else gives absent.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cvl {

struct JpegRestartSegments {
  struct Piece {
    size_t offset = 0;
    size_t size = 0;
  };
  size_t headerSize = 0;        // bytes before the first row's segment
  std::vector<Piece> rows;      // the entropy-coded segment of each MCU row, in order
};

// Absent when `jpeg` is not SOI, marker segments, SOS, segments separated by RST0..RST7 in
// sequence, and EOI at the very end.
std::optional<JpegRestartSegments> findRestartSegments(std::span<const uint8_t> jpeg);
// Same, reusing `out`'s memory; false instead of absent.
bool findRestartSegments(std::span<const uint8_t> jpeg, JpegRestartSegments& out);

}  // namespace cvl
