// PNG pictures: the reader and streamer, on zlib (png_chunks.h has the framing,
// png_write.cpp the writer).
//
// The file (all fields big-endian):
//   0   8  signature 89 50 4E 47 0D 0A 1A 0A
//   then chunks, each: 0 length (4, at most 2^31 - 1), 4 type (4 letters), 8 data, 8+length CRC (4)
//   of the type and data. The first chunk is IHDR:
//   8   4  length, 13
//   12  4  "IHDR"
//   16  4  width (1 .. 2^31 - 1)
//   20  4  height (1 .. 2^31 - 1)
//   24  1  bit depth
//   25  1  colour type: 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGB + alpha
//   26  1  compression method, 0 (deflate)
//   27  1  filter method, 0
//   28  1  interlace method: 0 none, 1 Adam7
//   29  4  CRC
//   PLTE (palette) before the pixels; IDAT chunks (one zlib stream of filtered rows, each row a
//   filter byte then its samples, packed high bit first below 8 bits); IEND last. A carrier's
//   record (carrier.h) is the text of a tEXt chunk with keyword "Comment", which the writer puts
//   before the pixels. The reader takes it from any tEXt, zTXt or iTXt chunk whose keyword is
//   "comment" in any case (image tools write it so), and from the data of a "zoRO" chunk, where
//   earlier carriers kept it in binary. Two records that differ are a damaged one.
//
// What is read, and what each pixel becomes:
//   palette, 1 2 4 8 bits      8-bit picture, the index itself (tRNS ignored; an index past
//                              the PLTE's entries is still its index); the entries' grey levels
//   grey, 1 2 4 bits           8-bit picture, v * 255 / (2^d - 1)
//   grey, 8 / 16 bits          8-bit picture, v / round(v * 255 / 65535); alpha, if any, ignored
//   RGB, RGBA, 8 / 16 bits     32-bit picture, 16-bit channels rounded as grey; alpha only
//                              tells whether every pixel is opaque
//   Adam7 interlacing, for all of these.
// What is refused:
//   not the signature, other colour type / bit depth pairs, unknown compression, filter or
//   interlace methods, a critical chunk we do not know             unsupported
//   first chunk not a 13-byte IHDR, width or height 0, bad CRC (any chunk), a chunk length
//   past 2^31 - 1 or a chunk type of other bytes than letters, zlib errors anywhere in the IDAT
//   stream (it is inflated once, to its end, its Adler-32 checked), an unknown row filter, too
//   few rows, data after the last row (in the stream, or after its end), a stream that does
//   not end in the IDAT chunks, chunks out of order (IHDR again, PLTE after IDAT or twice, IDAT
//   chunks apart, no IDAT, no PLTE for a palette picture, a PLTE in a grey one), a PLTE of
//   more entries than the bit depth can index, IEND with data                     damaged
//   the file ends before IEND                                      truncated
//   width or height past 2^31 - 1, w * h * bytes per pixel past INT_MAX, more filtered rows than
//   deflate could pack into the file (1032 bytes per byte at best): before allocating  too_large
// Ancillary chunks (gAMA, tRNS, text...) are passed over, their CRCs checked: the pixels do not
// need them. Bytes after IEND are not read.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "containers.h"
#include "png_chunks.h"
#include "rgb32.h"

namespace formats {

namespace {

using png::Chunks;
using png::IdatRows;
using png::Records;
using png::signature;

constexpr size_t header_size = 33;  // signature, IHDR

// Deflate's best case: a 258-byte match coded in 2 bits, about 1032 bytes out per byte in.
constexpr uint64_t deflate_ratio = 1032;

// How the samples of a row are laid out and what they become.
struct Layout {
  unsigned colour_type;
  unsigned depth;     // bits per sample
  unsigned channels;  // samples per pixel
  bool true_colour() const { return colour_type == 2 || colour_type == 6; }
  bool grey() const { return colour_type == 0 || colour_type == 4; }
  // A row's bytes, filter byte aside, for w pixels.
  uint64_t row_bytes(uint64_t w) const { return (w * channels * depth + 7) / 8; }
  // Bytes from a sample to the same sample of the pixel before, at least 1 (the filters' step).
  size_t step() const { return std::max(1u, channels * depth / 8); }
};

// Checks the header's fields after the signature; fills `layout`.
run::Fault check_header(const unsigned char* h, Layout& layout) {
  if (be32(h + 8) != 13 || std::memcmp(h + 12, "IHDR", 4) != 0) {
    return damaged();
  }
  const uint32_t w = be32(h + 16), height = be32(h + 20);
  if (w == 0 || height == 0) return damaged();
  if (w > INT_MAX || height > INT_MAX) return too_large();
  const unsigned depth = h[24], type = h[25];
  bool known;
  switch (type) {
    case 0: known = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16; break;
    case 3: known = depth == 1 || depth == 2 || depth == 4 || depth == 8; break;
    case 2:
    case 4:
    case 6: known = depth == 8 || depth == 16; break;
    default: known = false;
  }
  if (!known || h[26] != 0 || h[27] != 0 || h[28] > 1) return unsupported();
  static constexpr unsigned channels[7] = {1, 0, 3, 1, 2, 0, 4};
  layout = Layout{type, depth, channels[type]};
  return {};
}

unsigned char level8(const unsigned char* p) {
  const uint32_t v = (uint32_t{p[0]} << 8u) | p[1];
  return static_cast<unsigned char>((v * 255 + 32767) / 65535);
}

// One decoded row (the file's samples, big-endian) of w pixels into `line`; a pixel whose alpha
// is below its most sets `translucent`.
void convert_row(const Layout& l, const unsigned char* src, unsigned char* line, size_t w,
                 bool& translucent) {
  if (l.true_colour()) {
    auto* to = reinterpret_cast<uint32_t*>(line);
    const unsigned step = l.channels * (l.depth / 8);
    const bool alpha = l.channels == 4;
    if (l.depth == 8) {
      for (size_t x = 0; x < w; ++x, src += step) {
        to[x] = rgb32(src[0], src[1], src[2]);
        translucent |= alpha && src[3] != 0xFF;
      }
    } else {
      for (size_t x = 0; x < w; ++x, src += step) {
        to[x] = rgb32(level8(src), level8(src + 2), level8(src + 4));
        translucent |= alpha && (src[6] & src[7]) != 0xFF;
      }
    }
    return;
  }
  unsigned char* to = line;
  if (l.depth == 8 && l.channels == 1) {
    std::memcpy(to, src, w);
  } else if (l.depth < 8) {
    // Packed samples, high bits first; grey levels spread over 0..255.
    const unsigned per_byte = 8 / l.depth, mask = (1u << l.depth) - 1;
    const unsigned scale = l.colour_type == 0 ? 255 / mask : 1;
    for (size_t x = 0; x < w; ++x) {
      const unsigned shift = 8 - l.depth * (x % per_byte + 1);
      to[x] = static_cast<unsigned char>(((src[x / per_byte] >> shift) & mask) * scale);
    }
  } else if (l.depth == 8) {  // grey + alpha
    for (size_t x = 0; x < w; ++x) to[x] = src[x * l.channels];
  } else {  // grey, or grey + alpha, 16 bits
    const unsigned step = 2 * l.channels;
    for (size_t x = 0; x < w; ++x, src += step) to[x] = level8(src);
  }
}

// The seven passes of Adam7 interlacing: each pass's first column and row, and its steps.
constexpr unsigned pass_x0[7] = {0, 4, 0, 2, 0, 1, 0}, pass_y0[7] = {0, 0, 4, 0, 2, 0, 1};
constexpr unsigned pass_dx[7] = {8, 8, 4, 4, 2, 2, 1}, pass_dy[7] = {8, 8, 8, 4, 4, 2, 2};
uint64_t pass_count(uint64_t size, unsigned start, unsigned step) {
  return size > start ? (size - start + step - 1) / step : 0;
}

// The bytes of the filtered rows the IDAT stream holds: per row a filter byte and its samples;
// interlaced, the rows of each of the seven passes that has any pixel.
uint64_t filtered_bytes(const Layout& l, uint64_t w, uint64_t h, bool interlaced) {
  const auto rows_of = [&](uint64_t pw, uint64_t ph) {
    return pw == 0 || ph == 0 ? 0 : ph * (1 + l.row_bytes(pw));
  };
  if (!interlaced) return rows_of(w, h);
  uint64_t total = 0;
  for (int p = 0; p < 7; ++p) {
    total += rows_of(pass_count(w, pass_x0[p], pass_dx[p]), pass_count(h, pass_y0[p], pass_dy[p]));
  }
  return total;
}

// A chunk of no type that the reader looks for: refused if critical, else passed over, its CRC
// checked, once the record's places have been taken from it.
run::Fault other_chunk(Chunks& chunks, Records& records) {
  if (chunks.critical()) return unsupported();
  if (const run::Fault f = records.take(chunks)) return f;
  return chunks.end();
}

// The chunks before the pixels, up to the first IDAT's head: the palette's levels (and whether
// there is one) and the record's places. IEND, a second IHDR or PLTE, a PLTE where none may be
// or of more entries than the samples index, are damage; another critical chunk is unknown.
run::Fault read_before_pixels(Chunks& chunks, const Layout& layout, Found& found,
                              Records& records) {
  bool palette = false;
  for (;;) {
    if (const run::Fault f = chunks.next()) return f;
    if (chunks.is("IDAT")) break;
    if (chunks.is("PLTE")) {
      const uint64_t entries = chunks.left() / 3;
      if (palette || layout.grey() || chunks.left() % 3 != 0 || entries == 0 || entries > 256 ||
          (layout.colour_type == 3 && entries > (1u << layout.depth))) {
        return damaged();
      }
      unsigned char plte[768];
      if (const run::Fault f = chunks.read(plte, static_cast<size_t>(chunks.left()))) return f;
      if (layout.colour_type == 3) found.palette_levels(plte, entries, 3, 0, 2);
      palette = true;
      if (const run::Fault f = chunks.end()) return f;
    } else if (chunks.is("IHDR") || chunks.is("IEND")) {
      return damaged();
    } else if (const run::Fault f = other_chunk(chunks, records)) {
      return f;
    }
  }
  return layout.colour_type == 3 && !palette ? damaged() : run::Fault{};
}

// The chunks after the IDAT chunks, up to IEND: the record's places, and nothing that belongs
// before the pixels.
run::Fault read_after_pixels(Chunks& chunks, Records& records) {
  for (;;) {
    if (const run::Fault f = chunks.next()) return f;
    if (chunks.is("IEND")) return chunks.left() == 0 ? chunks.end() : damaged();
    if (chunks.is("IDAT")) {
      if (chunks.left() > 0) return damaged();  // the stream ended in the IDATs before
      if (const run::Fault f = chunks.end()) return f;
    } else if (chunks.is("IHDR") || chunks.is("PLTE")) {
      return damaged();
    } else if (const run::Fault f = other_chunk(chunks, records)) {
      return f;
    }
  }
}

// Reads the picture into `out`; or, given `to`, hands its rows on (`streamed`) unless it is
// interlaced or true colour, and reads nothing past the header when it is.
run::Fault read_into(Input& in, Image& out, Found& found, RowTaker* to, bool* streamed) {
  unsigned char header[header_size];
  // A file too short for the signature is another kind of file if what it has differs.
  const size_t start = in.remaining() < sizeof signature ? in.remaining() : sizeof signature;
  if (const run::Fault f = in.read(header, start)) return f;
  if (std::memcmp(header, signature, start) != 0) return unsupported();
  if (const run::Fault f = in.read(header + start, header_size - start)) return f;
  Layout layout{};
  if (const run::Fault f = check_header(header, layout)) return f;
  const uint32_t w = be32(header + 16), h = be32(header + 20);
  const bool interlaced = header[28] == 1;

  // Sizes, before anything is allocated (new_image checks them). The width and height are
  // below 2^31 here.
  const int depth = layout.true_colour() ? 32 : 8;
  const uint64_t inflated = filtered_bytes(layout, w, h, interlaced);
  // Every pixel when deflate can pack their filtered rows into the file's bytes, none when not.
  const Reach reach{inflated <= deflate_ratio * in.size() ? uint64_t{w} * h : 0, in.size()};
  Image image;  // every row is written
  std::unique_ptr<Bands> bands;
  std::vector<uint32_t> wide;  // a streamed true-colour row
  if (to) {
    if (interlaced) return {};  // read whole
    if (const run::Fault f = check_streamed(w, h, reach)) return f;
    *streamed = true;
    bands = std::make_unique<Bands>(*to, static_cast<int32_t>(w), static_cast<int32_t>(h));
    if (depth != 8) wide.resize(w);
  } else if (const run::Fault f = new_image(depth, w, h, reach, image, true)) {
    return f;
  }
  if (be32(header + 29) != carrier::crc32(0, header + 12, 17)) return damaged();

  Chunks chunks(in);
  Records records;
  if (const run::Fault f = read_before_pixels(chunks, layout, found, records)) return f;
  if (to) {
    found.mark = records.mark();  // so far: a record may still come after the pixels
    if (const run::Fault f = to->start(static_cast<int32_t>(w), static_cast<int32_t>(h), found)) {
      return f;
    }
  }
  IdatRows idat(chunks, layout.step());
  if (const run::Fault f = idat.start(layout.row_bytes(w))) return f;
  const unsigned char* row;
  if (!interlaced) {
    const auto n = static_cast<size_t>(layout.row_bytes(w));
    for (uint32_t y = 0; y < h; ++y) {
      const auto r = static_cast<int32_t>(y);
      if (const run::Fault f = idat.next(n, y == 0, row)) return f;
      if (!bands) {
        convert_row(layout, row, image.row(r), w, found.translucent);
        continue;
      }
      if (wide.empty()) {
        convert_row(layout, row, bands->row(r), w, found.translucent);
      } else {
        convert_row(layout, row, reinterpret_cast<unsigned char*>(wide.data()), w,
                    found.translucent);
        if (found.translucent || !level_row(wide.data(), w, bands->row(r), found.shown)) {
          return run::defect(run::Defect::read_whole);
        }
      }
      if (const run::Fault f = bands->done(r)) return f;
    }
  } else {
    // Each pass's row is converted whole, then its pixels put in their places.
    const size_t pixel = depth / 8;
    std::vector<unsigned char> line;
    try {
      line.resize(size_t{w} * pixel);
    } catch (const std::bad_alloc&) {
      return run::system_fault(ENOMEM);
    }
    for (int p = 0; p < 7; ++p) {
      const uint64_t pw = pass_count(w, pass_x0[p], pass_dx[p]);
      const uint64_t ph = pass_count(h, pass_y0[p], pass_dy[p]);
      if (pw == 0) continue;
      const auto n = static_cast<size_t>(layout.row_bytes(pw));
      for (uint64_t r = 0; r < ph; ++r) {
        if (const run::Fault f = idat.next(n, r == 0, row)) return f;
        convert_row(layout, row, line.data(), pw, found.translucent);
        unsigned char* const into = image.row(static_cast<int32_t>(pass_y0[p] + r * pass_dy[p]));
        for (uint64_t i = 0; i < pw; ++i) {
          std::memcpy(into + (pass_x0[p] + i * pass_dx[p]) * pixel, line.data() + i * pixel, pixel);
        }
      }
    }
  }
  if (const run::Fault f = idat.finish()) return f;
  if (const run::Fault f = read_after_pixels(chunks, records)) return f;
  out = std::move(image);
  found.mark = records.mark();
  return {};
}

}  // namespace

run::Fault read_png(Input& in, Image& out, Found& found) {
  return read_into(in, out, found, nullptr, nullptr);
}

run::Fault stream_png(Input& in, RowTaker& to, Found& found, bool& streamed) {
  Image unused;
  return read_into(in, unused, found, &to, &streamed);
}

}  // namespace formats
