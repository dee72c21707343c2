// The row encoder on the libjpeg API (libjpeg-turbo underneath): TurboJPEG's own API has no
// restart markers. Raw YCbCr input, converted by libyuv row band by row band, so an unchanged
// row is neither converted nor encoded.
#include <stdio.h>  // jpeglib.h needs FILE and size_t first

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "kit/base/reusable_buffer.h"
#include "kit/capture/jpeg_restart_segments.h"
#include "kit/capture/row_jpeg_encoder.h"
#include "kit/capture/yuv_convert.h"

namespace cvl {
namespace {

constexpr int MAX_JPEG_SIDE = 65500;

// libjpeg reports fatal errors through error_exit, which must not return: jump back to the
// call that started the work.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void errorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}
void quietMessage(j_common_ptr) {}

// Writes the codec's output straight into a ReusableBuffer, growing it when it runs full.
struct BufferDestination {
  jpeg_destination_mgr base;
  ReusableBuffer* buffer = nullptr;

  static void init(j_compress_ptr cinfo) {
    auto* self = reinterpret_cast<BufferDestination*>(cinfo->dest);
    self->buffer->clear();
    self->buffer->reserve(64 * 1024);
    self->base.next_output_byte = self->buffer->data();
    self->base.free_in_buffer = self->buffer->capacity();
  }
  static boolean empty(j_compress_ptr cinfo) {
    // The whole buffer is full by contract; keep it and continue behind it.
    auto* self = reinterpret_cast<BufferDestination*>(cinfo->dest);
    size_t used = self->buffer->capacity();
    self->buffer->resizeUninitialised(used);
    self->buffer->reserve(used * 2);
    self->base.next_output_byte = self->buffer->data() + used;
    self->base.free_in_buffer = self->buffer->capacity() - used;
    return TRUE;
  }
  static void term(j_compress_ptr cinfo) {
    auto* self = reinterpret_cast<BufferDestination*>(cinfo->dest);
    self->buffer->resizeUninitialised(
        static_cast<size_t>(self->base.next_output_byte - self->buffer->data()));
  }
};

}  // namespace

struct RowJpegEncoder::Impl {
  jpeg_compress_struct cinfo{};
  ErrorManager error{};
  BufferDestination destination{};
  bool created = false;

  // Y, Cb and Cr of the frame on the MCU grid (padded right and down), kept between frames.
  std::vector<uint8_t> planes;
  int yStride = 0, cStride = 0;
  uint8_t* y = nullptr;
  uint8_t* cb = nullptr;
  uint8_t* cr = nullptr;

  // The last frame and where its rows lie in it; the frame being spliced; the changed rows'
  // own encode.
  ReusableBuffer frame, spare, partial;
  JpegRestartSegments frameRows, partialRows;
  int width = 0, height = 0, quality = 0;
  bool haveFrame = false;
  int rowsEncoded = 0;
  std::vector<int> rowList;

  Impl() {
    cinfo.err = jpeg_std_error(&error.base);
    error.base.error_exit = errorExit;
    error.base.output_message = quietMessage;
    if (setjmp(error.jump) != 0) return;  // out of memory creating the codec: stays unusable
    jpeg_create_compress(&cinfo);
    destination.base.init_destination = BufferDestination::init;
    destination.base.empty_output_buffer = BufferDestination::empty;
    destination.base.term_destination = BufferDestination::term;
    cinfo.dest = &destination.base;
    created = true;
  }
  ~Impl() {
    if (created) jpeg_destroy_compress(&cinfo);
  }

  void preparePlanes(int w, int h) {
    int mcusX = (w + 15) / 16, rows = rowCount(h);
    yStride = mcusX * 16;
    cStride = mcusX * 8;
    size_t ySize = static_cast<size_t>(yStride) * rows * 16;
    size_t cSize = static_cast<size_t>(cStride) * rows * 8;
    if (planes.size() < ySize + 2 * cSize) planes.resize(ySize + 2 * cSize);
    y = planes.data();
    cb = y + ySize;
    cr = cb + cSize;
  }

  // Converts MCU row `row` of `image` into the planes and fills the padding around the image
  // with copies of its edge samples, as the codec expects of raw input.
  bool convertRow(const Image& image, int row) {
    int w = image.width(), h = image.height();
    int top = row * ROW_HEIGHT, lines = std::min(ROW_HEIGHT, h - top);
    Image band(w, lines, image.stride(), image.row(top), nullptr);
    uint8_t* yRow = y + static_cast<size_t>(top) * yStride;
    uint8_t* cbRow = cb + static_cast<size_t>(top / 2) * cStride;
    uint8_t* crRow = cr + static_cast<size_t>(top / 2) * cStride;
    if (!convertToJpegYuv420(band, yRow, yStride, cbRow, crRow, cStride)) return false;
    int cw = (w + 1) / 2, cLines = (lines + 1) / 2;
    auto padRight = [](uint8_t* rowStart, int stride, int used, int count) {
      if (used >= stride) return;
      for (int i = 0; i < count; ++i) {
        uint8_t* r = rowStart + static_cast<size_t>(i) * stride;
        std::memset(r + used, r[used - 1], static_cast<size_t>(stride - used));
      }
    };
    padRight(yRow, yStride, w, lines);
    padRight(cbRow, cStride, cw, cLines);
    padRight(crRow, cStride, cw, cLines);
    auto padDown = [](uint8_t* rowStart, int stride, int used, int total) {
      for (int i = used; i < total; ++i) {
        std::memcpy(rowStart + static_cast<size_t>(i) * stride,
                    rowStart + static_cast<size_t>(used - 1) * stride, static_cast<size_t>(stride));
      }
    };
    padDown(yRow, yStride, lines, ROW_HEIGHT);
    padDown(cbRow, cStride, cLines, ROW_HEIGHT / 2);
    padDown(crRow, cStride, cLines, ROW_HEIGHT / 2);
    return true;
  }

  // Encodes the MCU rows in `rows` (ascending) as one image of those rows stacked, with a
  // restart after each, into `out`. Their planes must be converted already.
  bool encodeRows(const std::vector<int>& rows, int w, int h, int q, ReusableBuffer& out) {
    if (!created) return false;
    destination.buffer = &out;
    // The stacked image is as tall as its rows; only the image's last row may be short.
    // volatile: it lives across the setjmp below.
    volatile int stackHeight = 0;
    for (int r : rows) stackHeight = stackHeight + std::min(ROW_HEIGHT, h - r * ROW_HEIGHT);
    if (setjmp(error.jump) != 0) {
      jpeg_abort_compress(&cinfo);
      return false;
    }
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(stackHeight);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, q, TRUE);
    cinfo.raw_data_in = TRUE;
    cinfo.optimize_coding = FALSE;  // the standard tables: every row coded alike
    // As TurboJPEG chooses: the fast integer DCT below quality 96, the accurate one above.
    cinfo.dct_method = q >= 96 ? JDCT_ISLOW : JDCT_IFAST;
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c) {
      cinfo.comp_info[c].h_samp_factor = 1;
      cinfo.comp_info[c].v_samp_factor = 1;
    }
    cinfo.restart_interval = static_cast<unsigned>((w + 15) / 16);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPROW yRows[16], cbRows[8], crRows[8];
    JSAMPARRAY components[3] = {yRows, cbRows, crRows};
    for (int r : rows) {
      for (int i = 0; i < 16; ++i) yRows[i] = y + static_cast<size_t>(r * 16 + i) * yStride;
      for (int i = 0; i < 8; ++i) {
        cbRows[i] = cb + static_cast<size_t>(r * 8 + i) * cStride;
        crRows[i] = cr + static_cast<size_t>(r * 8 + i) * cStride;
      }
      jpeg_write_raw_data(&cinfo, components, 16);
    }
    jpeg_finish_compress(&cinfo);
    return true;
  }

  std::optional<std::span<const uint8_t>> encodeAll(const Image& image, int q) {
    int w = image.width(), h = image.height();
    preparePlanes(w, h);
    rowList.clear();
    for (int r = 0; r < rowCount(h); ++r) {
      if (!convertRow(image, r)) return fail();
      rowList.push_back(r);
    }
    if (!encodeRows(rowList, w, h, q, frame)) return fail();
    if (!findRestartSegments(frame.bytes(), frameRows) ||
        static_cast<int>(frameRows.rows.size()) != rowCount(h)) {
      return fail();
    }
    width = w;
    height = h;
    quality = q;
    haveFrame = true;
    rowsEncoded = rowCount(h);
    return frame.bytes();
  }

  std::optional<std::span<const uint8_t>> encodeSome(const Image& image, int q,
                                                     std::span<const uint8_t> changed) {
    int w = image.width(), h = image.height();
    // Every row changed: a whole encode, each row converted once.
    if (std::all_of(changed.begin(), changed.end(), [](uint8_t c) { return c != 0; })) {
      return encodeAll(image, q);
    }
    rowList.clear();
    for (int r = 0; r < rowCount(h); ++r) {
      if (!changed[r]) continue;
      if (!convertRow(image, r)) return fail();
      rowList.push_back(r);
    }
    rowsEncoded = static_cast<int>(rowList.size());
    if (rowList.empty()) return frame.bytes();
    if (!encodeRows(rowList, w, h, q, partial) ||
        !findRestartSegments(partial.bytes(), partialRows) ||
        partialRows.rows.size() != rowList.size()) {
      return fail();
    }
    // Splice: the kept header, then each row from the new encode or the last frame, with the
    // restart markers numbered by row.
    spare.clear();
    spare.reserve(frame.size() + partial.size());
    spare.append(frame.data(), frameRows.headerSize);
    size_t next = 0;
    int rows = rowCount(h);
    for (int r = 0; r < rows; ++r) {
      const ReusableBuffer& from = changed[r] ? partial : frame;
      const auto& piece = changed[r] ? partialRows.rows[next++] : frameRows.rows[r];
      spare.append(from.data() + piece.offset, piece.size);
      uint8_t marker[2] = {0xFF, static_cast<uint8_t>(r + 1 < rows ? 0xD0 + r % 8 : 0xD9)};
      spare.append(marker, 2);
    }
    std::swap(frame, spare);
    if (!findRestartSegments(frame.bytes(), frameRows)) return fail();
    return frame.bytes();
  }

  std::optional<std::span<const uint8_t>> fail() {
    haveFrame = false;
    rowsEncoded = 0;
    return std::nullopt;
  }
};

RowJpegEncoder::RowJpegEncoder() : impl_(std::make_unique<Impl>()) {}
RowJpegEncoder::~RowJpegEncoder() = default;

std::optional<std::span<const uint8_t>> RowJpegEncoder::encode(const Image& image, int quality) {
  if (image.width() < 1 || image.height() < 1 || image.width() > MAX_JPEG_SIDE ||
      image.height() > MAX_JPEG_SIDE) {
    return impl_->fail();
  }
  return impl_->encodeAll(image, std::clamp(quality, 1, 100));
}

std::optional<std::span<const uint8_t>> RowJpegEncoder::encodeChanged(
    const Image& image, int quality, std::span<const uint8_t> changedRows) {
  quality = std::clamp(quality, 1, 100);
  if (!impl_->haveFrame || image.width() != impl_->width || image.height() != impl_->height ||
      quality != impl_->quality ||
      changedRows.size() != static_cast<size_t>(rowCount(image.height()))) {
    return encode(image, quality);
  }
  return impl_->encodeSome(image, quality, changedRows);
}

int RowJpegEncoder::rowsEncoded() const { return impl_->rowsEncoded; }

void RowJpegEncoder::reset() { impl_->haveFrame = false; }

}  // namespace cvl
