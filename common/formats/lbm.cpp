// LBM pictures (IFF ILBM and PBM): reader only. The encoder never writes them.
//
// The file, all fields big-endian:
//    0  "FORM"
//    4  u32  length of what follows (only to tell a file cut short from one without a BODY)
//    8  "ILBM" (bit planes) or "PBM " (chunky, a byte a pixel)
//   12  chunks: a 4-byte id, a u32 length, that many bytes, and a pad byte when it is odd
// BMHD, the header (20 bytes), before the BODY:
//    0  u16  width
//    2  u16  height
//    4  i16  x position (not used)
//    6  i16  y position (not used)
//    8  u8   planes: bits per pixel
//    9  u8   masking: 0 none, 1 a mask plane after each row's planes, 2 a transparent colour,
//            3 lasso (only 1 adds data)
//   10  u8   compression: 0 none, 1 ByteRun1
//   11  u8   pad
//   12  u16  transparent colour (not used)
//   14  u8   x aspect, 15 u8 y aspect, 16 i16 page width, 18 i16 page height (not used)
// BODY: the rows, top to bottom. An ILBM row is `planes` lines of (width + 15) / 16 * 2 bytes,
// plane 0 (the pixel's lowest bit) first, the leftmost pixel in a byte's highest bit; a PBM row
// is one line of the width rounded up to even, a byte a pixel. ByteRun1 codes each line on its
// own: a byte n below 128 and the n + 1 bytes that follow as they are; n above 128 and one byte
// repeated 257 - n times; 128 nothing. A pixel is its index, bits as the planes give them (HAM
// and EHB pictures too, as the library gives them); the CMAP (the colours, r, g, b an entry, at
// most 256 taken) gives the levels a carrier's colours stand for; CAMG (display modes) and any
// other chunk are passed over.
//
// What is read:
//   ILBM with 1 to 8 planes and PBM, raw or ByteRun1, any width (bits and bytes past it are
//   dropped), with or without a CMAP, any chunks before the BMHD and between it and the BODY
//   (a second BMHD is passed over, as the library does). Reading stops at the end of the
//   picture's rows: the BODY's length and what follows it are not read.
// What is refused:
//   unsupported   not a FORM, a FORM of another type, more than 8 planes (deep ILBM), a mask
//                 plane (the library would take it for pixels), compression other than 0 or 1
//   damaged       a BMHD that is not 20 bytes, a BODY before the BMHD, the FORM's chunks
//                 ending without a BODY, width or height 0, 0 planes, a run or literal past its
//                 line
//   too_large     before allocating (new_image): a picture past the library's int, or one
//                 far larger than the rest of the file can hold (less far: truncated)
//                 (raw: its lines; ByteRun1: 2 bytes per 128 of a line)
//   truncated     a file cut short anywhere from the FORM to the last line (between two chunks:
//                 before the end its FORM length gives), a chunk before the BODY longer than
//                 the file
// Where the library's load_lbm (src/lbm.c) differs (docs/library.md, "The library's LBM
// loader", with the corpus pictures that show it): it needs the BMHD first and a CMAP, reads a
// mask plane as a pixel plane, takes 128 to 255 planes (a signed char) as none, accepts 0
// planes, a width or height of 0 and a file cut short (its end read as pixels), lets runs past
// the line overrun its buffer and a CMAP of more than 256 colours its palette, ORs the bits past
// the width into the next row (past the picture on the last) when a line has an odd number of
// bytes before its padding, copies an odd-width PBM's pad byte past the row, and reads on after
// a BODY from the end of its rows, not of its length.
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "containers.h"

namespace formats {

namespace {

constexpr size_t bmhd_bytes = 20;
constexpr unsigned max_planes = 8;
constexpr size_t longest_run = 128;  // bytes one ByteRun1 code (two bytes) gives at most

bool is(const unsigned char* id, const char (&name)[5]) { return std::memcmp(id, name, 4) == 0; }

struct Bmhd {
  uint32_t w = 0, h = 0;
  unsigned planes = 0;
  bool byte_run = false;
};

run::Fault read_header(Input& in, uint32_t length, Bmhd& out) {
  if (length != bmhd_bytes) return damaged();
  unsigned char b[bmhd_bytes];
  if (const run::Fault f = in.read(b, sizeof b)) return f;
  out.w = be16(b);
  out.h = be16(b + 2);
  out.planes = b[8];
  const unsigned masking = b[9], compression = b[10];
  if (out.planes > max_planes || masking == 1 || compression > 1) return unsupported();
  if (out.planes == 0 || out.w == 0 || out.h == 0) return damaged();
  out.byte_run = compression == 1;
  return {};
}

// One line of n bytes into `to`.
run::Fault read_line(Input& in, bool byte_run, unsigned char* to, size_t n) {
  if (!byte_run) return in.read(to, n);
  size_t x = 0;
  while (x < n) {
    int code;
    if (const run::Fault f = in.get(code)) return f;
    if (code < 128) {
      const size_t k = static_cast<size_t>(code) + 1;
      if (k > n - x) return damaged();
      if (const run::Fault f = in.read(to + x, k)) return f;
      x += k;
    } else if (code > 128) {
      const size_t k = 257 - static_cast<size_t>(code);
      if (k > n - x) return damaged();
      int value;
      if (const run::Fault f = in.get(value)) return f;
      std::memset(to + x, value, k);
      x += k;
    }
  }
  return {};
}

// The BODY into `out`, or, given `to`, its rows handed on as they are decoded.
run::Fault read_body(Input& in, const Bmhd& head, bool pbm, Image& out, RowTaker* to,
                     const Found& found) {
  const int w = static_cast<int>(head.w), h = static_cast<int>(head.h);
  const size_t line_bytes = pbm ? (head.w + 1) & ~1u : (head.w + 15) / 16 * 2;
  const unsigned lines = pbm ? 1 : head.planes;  // per row

  // The most rows the rest of the file holds, at the fewest bytes a row's lines can take.
  const uint64_t codes = (line_bytes + longest_run - 1) / longest_run;  // per line, at least
  const uint64_t row_least = lines * (head.byte_run ? 2 * codes : line_bytes);
  const Reach reach{in.remaining() / row_least * head.w, in.size()};
  Image image;  // every pixel is written (ILBM: its bits ORed in, plane by plane)
  std::unique_ptr<Bands> bands;
  if (to) {
    if (const run::Fault f = check_streamed(w, h, reach)) return f;
    if (const run::Fault f = to->start(w, h, found)) return f;
    bands = std::make_unique<Bands>(*to, w, h);
  } else if (const run::Fault f = new_image(8, w, h, reach, image, true)) {
    return f;
  }
  std::vector<unsigned char> line(line_bytes);
  for (int y = 0; y < h; ++y) {
    unsigned char* const row = bands ? bands->row(y) : image.row(y);
    if (bands) std::memset(row, 0, static_cast<size_t>(w));
    if (pbm) {
      // Even widths decode straight into the row; odd ones lose their pad byte.
      unsigned char* const into = line_bytes == head.w ? row : line.data();
      if (const run::Fault f = read_line(in, head.byte_run, into, line_bytes)) return f;
      if (into != row) std::memcpy(row, into, head.w);
      if (bands) {
        if (const run::Fault f = bands->done(y)) return f;
      }
      continue;
    }
    for (unsigned p = 0; p < lines; ++p) {
      if (const run::Fault f = read_line(in, head.byte_run, line.data(), line_bytes)) return f;
      const auto bit = static_cast<unsigned char>(1u << p);
      for (int x0 = 0; x0 < w; x0 += 8) {
        const unsigned v = line[static_cast<size_t>(x0) / 8];
        if (v == 0) continue;
        const int stop = w - x0 < 8 ? w - x0 : 8;  // bits past the width are dropped
        for (int k = 0; k < stop; ++k) {
          if (v & (0x80u >> k)) row[x0 + k] |= bit;
        }
      }
    }
    if (bands) {
      if (const run::Fault f = bands->done(y)) return f;
    }
  }
  out = std::move(image);
  return {};
}

// Reads the picture into `out`, or, given `to`, hands its rows on.
run::Fault read_into(Input& in, Image& out, Found& found, RowTaker* to) {
  found = Found{};  // LBM has no place for the record; its palette gives the levels
  unsigned char form[12];
  if (const run::Fault f = in.read(form, 4)) return f;
  if (!is(form, "FORM")) return unsupported();
  if (const run::Fault f = in.read(form + 4, 8)) return f;
  const bool pbm = is(form + 8, "PBM ");
  if (!pbm && !is(form + 8, "ILBM")) return unsupported();

  const uint64_t form_end = uint64_t{8} + be32(form + 4);
  Bmhd head;
  bool have_header = false;
  for (;;) {
    if (in.remaining() == 0) {  // no BODY: the FORM's chunks are over, or the file was cut
      return in.offset() < form_end ? truncated() : damaged();
    }
    unsigned char chunk[8];
    if (const run::Fault f = in.read(chunk, sizeof chunk)) return f;
    const uint32_t length = be32(chunk + 4);
    if (is(chunk, "BODY")) {
      if (!have_header) return damaged();
      return read_body(in, head, pbm, out, to, found);
    }
    if (is(chunk, "BMHD") && !have_header) {
      if (const run::Fault f = read_header(in, length, head)) return f;
      have_header = true;
      continue;
    }
    if (is(chunk, "CMAP") && length <= 256 * 3) {
      unsigned char map[256 * 3];
      if (const run::Fault f = in.read(map, length)) return f;
      found.palette_levels(map, length / 3, 3, 0, 2);
      if (const run::Fault f = in.skip(length & 1)) return f;
      continue;
    }
    const uint64_t skip = uint64_t{length} + (length & 1);
    if (const run::Fault f = in.skip(skip)) return f;
  }
}

}  // namespace

run::Fault read_lbm(Input& in, Image& out, Found& found) {
  return read_into(in, out, found, nullptr);
}

run::Fault stream_lbm(Input& in, RowTaker& to, Found& found, bool& streamed) {
  Image unused;
  streamed = true;  // rows always come in order: a refusal before the first is still one
  return read_into(in, unused, found, &to);
}

}  // namespace formats
