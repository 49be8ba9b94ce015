// PCX pictures: reader and writer (pcx_scan.h has the reader's run-length scanner).
//
// The header, 128 bytes, little-endian:
//    0  u8   manufacturer, always 10
//    1  u8   version: 0, 2, 3, 4 or 5
//    2  u8   encoding: 1 run-length; 0 (raw) from a few writers
//    3  u8   bits per pixel in each plane
//    4  u16  xmin
//    6  u16  ymin
//    8  u16  xmax: the width is xmax - xmin + 1
//   10  u16  ymax: the height is ymax - ymin + 1
//   12  u16  horizontal resolution
//   14  u16  vertical resolution
//   16  48   16-colour palette (r, g, b)
//   64  u8   reserved
//   65  u8   planes
//   66  u16  bytes per line of one plane (at least the width; the rest is padding)
//   68  u16  palette interpretation
//   70  u16  horizontal screen size
//   72  u16  vertical screen size
//   74  54   filler; a carrier keeps its record (carrier.h) in bytes 74 to 101
// then each row's planes, one after the other, bytes per line each. Run-length data is a byte
// 0xC0 | n followed by a byte repeated n times, or one byte below 0xC0 that stands for itself.
// 8-bit pictures end in 0x0C and a 768-byte palette.
//
// What is read:
//   8 bits, 1 plane    each pixel its index; the palette at the end (the file's last 769
//                      bytes, when they start with 0x0C) gives its levels, and a missing or
//                      short one is accepted
//   1, 2, 4 bits, and several planes of them up to 8 bits a pixel
//                      each pixel its index, plane k giving its bits from k * bits on; up to 16
//                      colours the header's palette gives the levels, above that the one at
//                      the end; but one bit in one plane is black for 1 and white for 0 (levels
//                      0 and 255), whatever the header's palette says: so ImageMagick writes a
//                      black and white picture, a carrier of zeros among them, and reads it back
//                      (netpbm and Pillow take 1 for white)
//   8 bits, 3 planes   a 32-bit picture from the red, green and blue planes
//   run-length or raw; padding past the width dropped. The data is one stream: a run may cross
//   from one plane to the next (the library's writer does this), and from one row to the next
//   (the library's reader would drop the excess instead), but not past the last row (damaged).
// What is refused:
//   unsupported   manufacturer other than 10, an unknown version or encoding, bits other than
//                 1, 2, 4 or 8, planes that make more than 8 bits a pixel (but 3 of 8 bits)
//   damaged       xmax < xmin, ymax < ymin, bytes per line below the width, a run past the end
//   too_large     before allocating (new_image): a picture past the library's int, or one
//                 far larger than the rest of the file can hold (less far: truncated)
//                 (raw: its bytes; run-length: 63 bytes per pair)
//   truncated     a file cut short anywhere from the header to the last row
//
// The writer gives save_pcx_pf's bytes for an 8-bit picture and the library's palette: version 5,
// 320 x 200 dpi, the first 16 palette entries in the header, runs of at most 63 per row, single
// bytes of 0xC0 and above written as runs of 1, and 0x0C with the 256-entry palette at the end.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "containers.h"
#include "pcx_scan.h"
#include "rgb32.h"

namespace formats {

namespace {

using pcx::has_ssse3;
using pcx::little_endian;
using pcx::Scan;
using pcx::scan_plain;
using pcx::scan_ssse3;

constexpr size_t header_bytes = 128;
constexpr unsigned max_run = 63;
constexpr size_t record_at = 74;

// Decodes h rows of row_bytes each, one after the other: row r goes to to.row(r), and
// to.done(r) follows once it is complete.
template <class Target>
run::Fault decode_run_length(Input& in, size_t row_bytes, int h, Target& to) {
  // The loops run on local pointers over the Input's block in hand, and take the next one when
  // this one is used up.
  const unsigned char* p;
  const unsigned char* end;
  if (const run::Fault f = in.block(p, end)) return f;
  size_t pending = 0;  // what is left of a run from the row before
  unsigned char pending_value = 0;
  for (int r = 0; r < h; ++r) {
    unsigned char* const row = to.row(r);
    size_t x = std::min(pending, row_bytes);
    std::memset(row, pending_value, x);
    pending -= x;
    while (x < row_bytes) {
      {
        // Eight bytes at a time while they are single bytes, each alone or after a count of 1
        // (most data is; a quarter of random bytes are counted), with no branch on each byte.
        Scan scan{p, x, 0};
        if (little_endian)
          scan = has_ssse3 ? scan_ssse3(scan, end, row, row_bytes)
                           : scan_plain(scan, end, row, row_bytes);
        if (scan.carry) row[scan.at++] = *scan.q++;
        p = scan.q;
        x = scan.at;
        while (x < row_bytes && p < end && *p < 0xC0) row[x++] = *p++;
      }
      if (x == row_bytes) break;
      // The next byte alone or a count and its byte, taking the next block as needed.
      if (p == end) {
        in.taken(p);
        if (const run::Fault f = in.block(p, end)) return f;
      }
      const unsigned b = *p++;
      if (b < 0xC0) {
        row[x++] = static_cast<unsigned char>(b);
        continue;
      }
      size_t n = b & 0x3Fu;
      if (p == end) {
        in.taken(p);
        if (const run::Fault f = in.block(p, end)) return f;
      }
      const unsigned char value = *p++;
      if (n > row_bytes - x) {
        const uint64_t data_left = uint64_t(h - 1 - r) * row_bytes + (row_bytes - x);
        if (n > data_left) return damaged();
        pending = n - (row_bytes - x);
        pending_value = value;
        n = row_bytes - x;
      }
      std::memset(row + x, value, n);
      x += n;
    }
    if (const run::Fault f = to.done(r)) {
      in.taken(p);
      return f;
    }
  }
  in.taken(p);
  return {};
}

template <class Target>
run::Fault decode_raw(Input& in, size_t row_bytes, int h, Target& to) {
  for (int r = 0; r < h; ++r) {
    if (const run::Fault f = in.read(to.row(r), row_bytes)) return f;
    if (const run::Fault f = to.done(r)) return f;
  }
  return {};
}

// Rows without padding decode straight into the picture.
struct InPlace {
  const Image& b;
  unsigned char* row(int r) { return b.row(r); }
  run::Fault done(int) { return {}; }
};

// How a stored row is laid out: `planes` lines of `line_bytes`, each holding w pixels of `bits`.
struct Lines {
  unsigned bits, planes;
  size_t line_bytes, w;
  bool true_colour() const { return planes == 3 && bits == 8; }
};

// A stored row of indices as w bytes: one 8-bit plane as it is; fewer bits (the leftmost pixel in
// a byte's highest ones) or several planes combined, plane k giving the index's bits from k * bits.
void indices(const unsigned char* stored, const Lines& l, unsigned char* to) {
  if (l.bits == 8 && l.planes == 1) {
    std::memcpy(to, stored, l.w);
    return;
  }
  const unsigned per_byte = 8 / l.bits, mask = (1u << l.bits) - 1;
  for (size_t x = 0; x < l.w; ++x) {
    const unsigned shift = 8 - l.bits * (1 + static_cast<unsigned>(x % per_byte));
    unsigned v = 0;
    for (unsigned k = 0; k < l.planes; ++k) {
      v |= ((stored[k * l.line_bytes + x / per_byte] >> shift) & mask) << (k * l.bits);
    }
    to[x] = static_cast<unsigned char>(v);
  }
}

// Three planes, red, green and blue, as a row of 32-bit pixels.
void planes_row(const unsigned char* stored, const Lines& l, uint32_t* to) {
  const unsigned char* const red = stored;
  const unsigned char* const green = red + l.line_bytes;
  const unsigned char* const blue = green + l.line_bytes;
  for (size_t x = 0; x < l.w; ++x) to[x] = rgb32(red[x], green[x], blue[x]);
}

// Rows with padding, fewer bits or more planes decode into a row of their own, and become the
// picture's row of indices.
struct Padded {
  const Image& b;
  Lines l;
  std::vector<unsigned char> scratch;
  unsigned char* row(int) { return scratch.data(); }
  run::Fault done(int r) {
    indices(scratch.data(), l, b.row(r));
    return {};
  }
};

// Rows handed on as they are decoded, as indices or (true colour) levels.
struct Handed {
  Bands bands;
  Lines l;
  Found& found;
  std::vector<unsigned char> scratch;
  std::vector<uint32_t> wide;
  unsigned char* row(int) { return scratch.data(); }
  run::Fault done(int r) {
    if (!l.true_colour()) {
      indices(scratch.data(), l, bands.row(r));
    } else {
      planes_row(scratch.data(), l, wide.data());
      if (!level_row(wide.data(), l.w, bands.row(r), found.shown)) {
        return run::defect(run::Defect::read_whole);
      }
    }
    return bands.done(r);
  }
};

// Three planes, red, green and blue, make a row of 32-bit pixels.
struct Planes {
  const Image& b;
  Lines l;
  std::vector<unsigned char> scratch;
  unsigned char* row(int) { return scratch.data(); }
  run::Fault done(int r) {
    planes_row(scratch.data(), l, reinterpret_cast<uint32_t*>(b.row(r)));
    return {};
  }
};

template <class Target>
run::Fault decode(bool run_length, Input& in, size_t row_bytes, int h, Target&& to) {
  return run_length ? decode_run_length(in, row_bytes, h, to) : decode_raw(in, row_bytes, h, to);
}

// Reads the header into `head`, then the picture; or, given `to`, hands its rows on
// (`streamed`), a true-colour picture's as levels (Defect::read_whole at the first pixel that
// stands for none).
run::Fault read_into(Input& in, Image& out, unsigned char (&head)[header_bytes], Found& found,
                     RowTaker* to = nullptr, bool* streamed = nullptr) {
  int manufacturer;
  if (const run::Fault f = in.get(manufacturer)) return f;
  if (manufacturer != 10) return unsupported();
  head[0] = 10;
  if (const run::Fault f = in.read(head + 1, sizeof head - 1)) return f;
  const unsigned version = head[1], encoding = head[2], bits = head[3], planes = head[65];
  const bool indexed =
      (bits == 1 || bits == 2 || bits == 4 || bits == 8) && planes >= 1 && bits * planes <= 8;
  if (version == 1 || version > 5 || encoding > 1 || (!indexed && !(bits == 8 && planes == 3))) {
    return unsupported();
  }
  const uint32_t xmin = le16(head + 4), ymin = le16(head + 6), xmax = le16(head + 8),
                 ymax = le16(head + 10), line_bytes = le16(head + 66);
  if (xmax < xmin || ymax < ymin) return damaged();
  const int w = static_cast<int>(xmax - xmin + 1), h = static_cast<int>(ymax - ymin + 1);
  if (uint64_t{line_bytes} * 8 / bits < static_cast<uint64_t>(w)) return damaged();
  const Lines lines{bits, planes, line_bytes, static_cast<size_t>(w)};
  // One bit: 1 is black and 0 white, the header's palette aside, as image tools that write a
  // carrier of zeros so read and write it. Up to 16 colours, the header's palette; 256, the one
  // at the file's end.
  if (bits == 1 && planes == 1) {
    found.levels.assign(256, -1);
    found.levels[0] = 255;
    found.levels[1] = 0;
    found.grey_palette = true;
  } else if (indexed && bits * planes <= 4) {
    found.palette_levels(head + 16, 16, 3, 0, 2);
  }

  // The most rows the rest of the file holds: raw, its bytes; run-length, 63 bytes a pair.
  const size_t row_bytes = size_t{planes} * line_bytes;
  const uint64_t left = in.remaining();
  const uint64_t most = encoding == 1 ? left / 2 * max_run + left % 2 : left;
  const Reach reach{most / row_bytes * static_cast<uint64_t>(w), in.size()};
  const bool run_length = encoding == 1;
  if (to) {
    if (const run::Fault f = check_streamed(w, h, reach)) return f;
    *streamed = true;
    if (const run::Fault f = to->start(w, h, found)) return f;
    return decode(run_length, in, row_bytes, h,
                  Handed{Bands(*to, w, h), lines, found, std::vector<unsigned char>(row_bytes),
                         std::vector<uint32_t>(lines.true_colour() ? lines.w : 0)});
  }
  Image b;  // every row is written
  if (const run::Fault f = new_image(indexed ? 8 : 32, w, h, reach, b, true)) return f;
  run::Fault f;
  if (!indexed) {
    f = decode(run_length, in, row_bytes, h,
               Planes{b, lines, std::vector<unsigned char>(row_bytes)});
  } else if (row_bytes == static_cast<size_t>(w) && bits == 8) {
    f = decode(run_length, in, row_bytes, h, InPlace{b});
  } else {
    f = decode(run_length, in, row_bytes, h,
               Padded{b, lines, std::vector<unsigned char>(row_bytes)});
  }
  if (f) return f;
  out = std::move(b);
  return {};
}

// The 256-entry palette at the end of an 8-bit picture (0x0C, then 768 bytes): its levels. The
// reading stays where it is.
run::Fault end_palette(Input& in, Found& found) {
  unsigned char palette[1 + 256 * 3];
  if (in.size() < header_bytes + sizeof palette) return {};
  if (const run::Fault f = in.read_at(in.size() - sizeof palette, palette, sizeof palette)) {
    return f;
  }
  if (palette[0] == 12) found.palette_levels(palette + 1, 256, 3, 0, 2);
  return {};
}

}  // namespace

run::Fault read_pcx(Input& in, Image& out, Found& found) {
  unsigned char head[header_bytes];
  if (const run::Fault f = read_into(in, out, head, found)) return f;
  found.mark = carrier::read_mark(head + record_at, carrier::record_size);
  if (out.depth() == 8 && head[3] * head[65] > 4) return end_palette(in, found);
  return {};
}

namespace {

class PcxWriter : public PictureWriter {
 public:
  PcxWriter(files::Sink& out, int32_t w, int32_t h, const Palette& pal)
      : out_(out), w_(w), h_(h), pal_(pal) {}

  // Bytes per line hold the width and ymax the last row's index, in 16 bits. The vertical screen
  // size is only a hint, and takes the height's low 16 bits, as the library writes it.
  run::Fault begin() override {
    const auto w = static_cast<unsigned>(w_), h = static_cast<unsigned>(h_);
    Fields head;
    head.u8(10);       // manufacturer
    head.u8(5);        // version
    head.u8(1);        // run-length
    head.u8(8);        // bits per pixel
    head.le16(0);      // xmin
    head.le16(0);      // ymin
    head.le16(w - 1);  // xmax
    head.le16(h - 1);  // ymax
    head.le16(320);    // dpi
    head.le16(200);
    head.colours(pal_, false, 0, 16);
    head.u8(0);    // reserved
    head.u8(1);    // planes
    head.le16(w);  // bytes per line
    head.le16(1);  // colour palette
    head.le16(w);  // screen size
    head.le16(h & 0xFFFF);
    head.bytes.resize(header_bytes);  // filler, and the record's place
    return out_.write(head.bytes.data(), head.bytes.size());
  }

  // Each row in runs of at most 63, single bytes of 0xC0 and above written as runs of 1: a row
  // codes to at most two bytes a pixel.
  run::Fault rows(const unsigned char* pixels, int32_t count) override {
    coded_.resize(size_t{2} * static_cast<size_t>(w_) * static_cast<size_t>(count));
    unsigned char* o = coded_.data();
    for (int32_t y = 0; y < count; ++y) {
      const unsigned char* s = pixels + static_cast<size_t>(w_) * static_cast<size_t>(y);
      const unsigned char* const e = s + w_;
      while (s < e) {
        const unsigned char v = *s;
        if (s + 1 == e || s[1] != v) {
          // A byte on its own, the usual case: a count of 1 first if it would read as one, with
          // no branch on the byte (in most data the test would guess wrong a quarter of the time).
          *o = 0xC1;
          o += v >= 0xC0;
          *o++ = v;
          ++s;
          continue;
        }
        const unsigned char* const limit = e - s > max_run ? s + max_run : e;
        const unsigned char* t = s + 2;
        while (t < limit && *t == v) ++t;
        *o++ = static_cast<unsigned char>(0xC0 | (t - s));
        *o++ = v;
        s = t;
      }
    }
    return out_.write(coded_.data(), static_cast<size_t>(o - coded_.data()));
  }

  // The header's 16 entries now; the 256 at the end, after the last row, with pal_.
  run::Fault repaint(const Palette& pal) override {
    pal_ = pal;
    Fields head;
    head.colours(pal_, false, 0, 16);
    return out_.write_at(16, head.bytes.data(), head.bytes.size());
  }

  // The 256-entry palette after 0x0C, then the record in the header.
  run::Fault finish(const carrier::Record* record) override {
    Fields palette;
    palette.u8(12);
    palette.colours(pal_, false);
    if (const run::Fault f = out_.write(palette.bytes.data(), palette.bytes.size())) return f;
    if (!record) return {};
    const carrier::RecordBytes r = carrier::record_bytes(*record);
    return out_.write_at(record_at, r.data(), r.size());
  }

 private:
  files::Sink& out_;
  int32_t w_, h_;
  Palette pal_;
  std::vector<unsigned char> coded_;
};

}  // namespace

std::unique_ptr<PictureWriter> write_pcx(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record*) {
  return std::make_unique<PcxWriter>(out, w, h, pal);
}

run::Fault stream_pcx(Input& in, RowTaker& to, Found& found, bool& streamed) {
  // The palette, at the end, comes first: the rows are read through its levels.
  unsigned char head[header_bytes];
  if (!in.read_at(0, head, header_bytes) && head[0] == 10 && head[3] * head[65] > 4 &&
      head[3] * head[65] <= 8) {
    if (const run::Fault f = end_palette(in, found)) return f;
  }
  Image unused;
  if (const run::Fault f = read_into(in, unused, head, found, &to, &streamed)) return f;
  found.mark = carrier::read_mark(head + record_at, carrier::record_size);
  return {};
}

}  // namespace formats
