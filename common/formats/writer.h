// What writers put into a sink: palettes, little-endian header fields, and the picture a band
// of rows at a time (PictureWriter).
#ifndef COMMON_FORMATS_WRITER_H
#define COMMON_FORMATS_WRITER_H

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "carrier.h"
#include "files.h"
#include "run.h"

namespace formats {

// A palette of 8-bit colours, as containers store them.
struct Colour {
  unsigned char r, g, b;
};
using Palette = std::array<Colour, 256>;

// Fields being written, little-endian: a header, or a palette block.
struct Fields {
  std::vector<unsigned char> bytes;
  void u8(unsigned v) { bytes.push_back(static_cast<unsigned char>(v)); }
  void le16(unsigned v) { u8(v & 0xFF), u8((v >> 8) & 0xFF); }
  void le32(uint32_t v) { le16(v & 0xFFFF), le16(v >> 16); }
  // The first `count` entries of a palette, each red, green, blue (or blue, green, red when
  // `bgr`), then `pad` zero bytes: every container's palette is one of these.
  void colours(const Palette& pal, bool bgr, unsigned pad = 0, int count = 256) {
    for (int i = 0; i < count; ++i) {
      const Colour& c = pal[static_cast<size_t>(i)];
      u8(bgr ? c.b : c.r), u8(c.g), u8(bgr ? c.r : c.b);
      for (unsigned k = 0; k < pad; ++k) u8(0);
    }
  }
};

// The carrier's palette before its check is known: index i is (i, i, i).
const Palette& grey_palette();
// The carrier's palette for a file with record `r`: index i is (i, i, i + bit i of its check)
// (carrier.h).
Palette check_palette(const carrier::Record& r);

// Writes an 8-bit picture w x h (within its container's rows and columns) with palette `pal`
// into a sink, a band of rows at a time as a conversion makes them, top to bottom; what comes
// after the pixels, and the record in its place, once the last row is in. Nothing is held but
// what one band needs.
class PictureWriter {
 public:
  virtual ~PictureWriter() = default;
  // What comes before the pixels.
  virtual run::Fault begin() = 0;
  // The next `count` rows, top to bottom, each the picture's width, one after the other.
  virtual run::Fault rows(const unsigned char* pixels, int32_t count) = 0;
  // `pal` over the palette that begin wrote, before finish: the carrier's check is known only
  // once the last byte is placed.
  virtual run::Fault repaint(const Palette& pal) = 0;
  // After the last row: what follows the pixels, and `record` in its place when there is one.
  // Its length is at most the `room` record's that the writer was made with, which sized that
  // place.
  virtual run::Fault finish(const carrier::Record* record) = 0;
};

// A writer for a picture into `out`; `room` (null for none) sizes the record's place.
using Writer = std::unique_ptr<PictureWriter> (*)(files::Sink& out, int32_t w, int32_t h,
                                                  const Palette& pal, const carrier::Record* room);

}  // namespace formats

#endif
