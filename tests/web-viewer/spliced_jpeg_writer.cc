// Spliced frames for the browser's decode check: for each size it encodes a desktop-like
// picture whole, changes a few places in it and lets the row encoder encode only the changed
// rows and splice them into the kept frame, as the host does on every tick. It writes:
//   NAME.jpg    the spliced frame, as the host sends it
//   NAME.bgra   TurboJPEG's decode of those bytes (BGRA, width x height), the reference
//   NAME.json   {"width", "height", "rows", "rowsEncoded"}
//
//   cvl_spliced_jpeg DIRECTORY
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "kit/capture/row_jpeg_encoder.h"
#include "kit/capture/screen_changes.h"
#include "tests/capture/test_pictures.h"
#include "tests/support/jpeg_decode.h"

namespace {

using namespace cvl;

bool write(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

bool splice(const std::string& dir, const std::string& name, int w, int h) {
  auto pixels = test::desktopPixels(w, h, 11);
  RowJpegEncoder encoder;
  if (!encoder.encode(*test::imageOf(pixels, w, h), 60)) return false;
  // A typing line, a block near the bottom edge and one pixel: three places, a few rows.
  ScreenChanges changes;
  ChangeRect rects[] = {
      {w / 8, h / 3, w / 2, 9}, {w - w / 5, h - 6, w / 5, 6}, {w / 2, h / 2, 1, 1}};
  uint32_t colour = 0x2266aa;
  for (const auto& r : rects) {
    test::fillRect(pixels, w, r.x, r.y, r.width, r.height, colour += 0x305010);
    changes.add(r, w, h);
  }
  std::vector<uint8_t> rows;
  markRows(changes, h, h, RowJpegEncoder::ROW_HEIGHT, rows);
  auto jpeg = encoder.encodeChanged(*test::imageOf(pixels, w, h), 60, rows);
  if (!jpeg) return false;
  std::vector<uint8_t> bytes(jpeg->begin(), jpeg->end());
  auto decoded = test::decodeJpeg(bytes);
  if (!decoded) return false;
  std::string json = "{\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) +
                     ",\"rows\":" + std::to_string(RowJpegEncoder::rowCount(h)) +
                     ",\"rowsEncoded\":" + std::to_string(encoder.rowsEncoded()) + "}\n";
  return write(dir + "/" + name + ".jpg", bytes.data(), bytes.size()) &&
         write(dir + "/" + name + ".bgra", decoded->data(),
               static_cast<size_t>(decoded->stride()) * decoded->height()) &&
         write(dir + "/" + name + ".json", json.data(), json.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: cvl_spliced_jpeg DIRECTORY\n");
    return 2;
  }
  struct Size {
    const char* name;
    int w, h;
  } sizes[] = {{"screen", 1280, 800}, {"odd", 641, 361}, {"small", 40, 50}};
  for (const auto& s : sizes) {
    if (!splice(argv[1], s.name, s.w, s.h)) {
      std::fprintf(stderr, "cannot make the %s frame\n", s.name);
      return 1;
    }
  }
  return 0;
}
