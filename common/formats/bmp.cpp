// BMP pictures: reader and writer.
//
// File header (14 bytes):
//    0  bfType           "BM"
//    2  bfSize           the file's size (not needed, not trusted)
//    6  bfReserved1, 2
//   10  bfOffBits        where the pixels start, counted from byte 0
// Info header, from byte 14 (offsets are the file's):
//   14  biSize           its size: 12 (OS/2 1.x), 40, 52, 56, 108, 124 (Windows), the other
//                        sizes from 16 to 64 (OS/2 2.x, whose fields past its size are 0)
//   12 bytes:   18 width (16 bits), 20 height (16 bits, rows bottom-up), 22 planes,
//               24 bits per pixel; the palette follows, entries of 3 bytes (B, G, R) and no
//               count: as many as fit before the pixels, at most 2^bits (some writers leave
//               room for fewer; a pixel's index stands whether its entry is there or not).
//   the others: 18 biWidth (signed), 22 biHeight (signed; below 0 the rows are top-down),
//               26 biPlanes, 28 biBitCount, 30 biCompression, 34 biSizeImage,
//               38 biXPelsPerMeter, 42 biYPelsPerMeter, 46 biClrUsed (0: 2^bits up to 8 bits,
//               none above), 50 biClrImportant; from 52 bytes 54, 58, 62 the red, green and
//               blue masks, from 56 bytes 66 the alpha mask (108 and 124 go on with colour
//               space, gamma and profile fields, not needed here). With a 40-byte header the
//               bit-field masks are the 12 bytes after it (16 with ALPHABITFIELDS). The
//               palette's entries have 4 bytes (B, G, R, 0); colours are not needed either,
//               since an indexed pixel becomes its index.
// Pixels: rows of (width * bits + 31) / 32 * 4 bytes, the bottom row first unless the height is
// below 0; the leftmost pixel of a byte in its highest bits. 16 bits without masks are 5-5-5,
// 24 and 32 bits are B, G, R (, unused) bytes. Run-length data (RLE8 with 8 bits, RLE4 with 4
// bits) is pairs of bytes, rows bottom-up from column 0:
//   n > 0, v       n pixels: v, or v's high and low nibble in turn
//   0, 0           end of row: column 0 of the next row up
//   0, 1           end of picture
//   0, 2, dx, dy   move dx columns right and dy rows up (the pixels passed stay 0)
//   0, n >= 3      n pixels follow (bytes, or nibbles high first), padded to an even length
// After raw indexed pixels, the bytes up to the file's end are where a carrier keeps its record
// (carrier.h); the writer puts it there when it has one, and counts it in bfSize. Bytes that
// bfSize counts past the pixels and that are no whole record are a damaged record: a carrier
// cut short, or a record overwritten.
//
// What is refused, and as what:
//   unsupported  not "BM"; a header size not above; planes not 1; bits not 1, 2, 4, 8, 16, 24
//                or 32; JPEG (4) or PNG (5) inside, OS/2 Huffman (3) or RLE24 (4), unknown
//                compression; top-down run-length data (runs are defined bottom-up only)
//   damaged      compression that does not fit the bits (RLE8 not 8, RLE4 not 4, bit fields
//                under 16); width <= 0, height 0 or INT32_MIN; a mask that is not one run of
//                bits or is wider than the pixel; bfOffBits inside the headers, masks or
//                palette (OS/2 1.x: inside the headers); a run, literal or delta past the last
//                row, or past the right edge and the row's padding (pixels in the padding are
//                dropped: some writers encode whole stored rows)
//   too_large    before allocating (new_image): width * height past the library's int; raw
//                pixels that the rest of the file cannot hold, in a picture of more than
//                max(16 Mi, 256 x file size) pixels; run-length data for more than that many
//                pixels (skipped pixels cost no bytes)
//   truncated    the file ends before the pixels (raw pixels: known from its size, before
//                allocating), or before the end-of-picture code, where it ends
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "containers.h"
#include "rgb32.h"

namespace formats {

namespace {

constexpr uint32_t bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3, bi_alphabitfields = 6;
constexpr size_t file_header_size = 14;
constexpr size_t largest_info_header = 124;

// One colour of a true-colour pixel: the bits its mask selects, made 8 bits wide by repeating
// them (as the library's own 5- and 6-bit scales do), or by dropping the lowest past 8.
class Channel {
 public:
  // False for a mask that is not one run of bits.
  bool set(uint32_t mask) {
    if (mask == 0) return true;  // a colour the pixel lacks: always 0
    shift_ = 0;
    while (!(mask & 1u)) mask >>= 1, ++shift_;
    unsigned width = 0;
    while (mask & 1u) mask >>= 1, ++width;
    if (mask != 0) return false;
    if (width > 8) shift_ += width - 8, width = 8;
    bits_ = (1u << width) - 1;
    for (unsigned v = 0; v <= bits_; ++v) {
      unsigned x = v << (8 - width);
      for (unsigned s = width; s < 8; s *= 2) x |= x >> s;
      scale_[v] = static_cast<unsigned char>(x);
    }
    return true;
  }
  unsigned operator()(uint32_t pixel) const { return scale_[(pixel >> shift_) & bits_]; }

 private:
  unsigned shift_ = 0;
  unsigned bits_ = 0;
  unsigned char scale_[256] = {};
};

struct Layout {
  int64_t width = 0, height = 0;  // height above 0; rows top-down when top_down
  bool top_down = false;
  unsigned bits = 0;
  uint32_t compression = bi_rgb;
  uint64_t row_bytes = 0;
  Channel red, green, blue;
  uint32_t alpha = 0;  // the alpha mask, 0 for none
};

// The picture's line that the n-th row of the file fills.
unsigned char* line_of(const Image& image, const Layout& l, int64_t n) {
  return image.row(static_cast<int32_t>(l.top_down ? n : l.height - 1 - n));
}

// A stored row of 1, 2 or 4-bit indices, leftmost in the highest bits, as w bytes.
void unpack(const unsigned char* row, unsigned bits, size_t w, unsigned char* to) {
  const unsigned per_byte = 8 / bits, mask = (1u << bits) - 1;
  for (size_t x = 0; x < w; ++x) {
    const unsigned shift = 8 - bits * (1 + x % per_byte);
    to[x] = (row[x / per_byte] >> shift) & mask;
  }
}

run::Fault read_indexed(Input& in, const Image& image, const Layout& l) {
  const auto w = static_cast<size_t>(l.width);
  if (l.bits == 8) {
    // The carrier's case: straight into the picture's rows.
    const uint64_t padding = l.row_bytes - w;
    for (int64_t n = 0; n < l.height; ++n) {
      if (const run::Fault f = in.read(line_of(image, l, n), w)) return f;
      if (const run::Fault f = in.skip(padding)) return f;
    }
    return {};
  }
  std::vector<unsigned char> row(l.row_bytes);
  for (int64_t n = 0; n < l.height; ++n) {
    if (const run::Fault f = in.read(row.data(), row.size())) return f;
    unpack(row.data(), l.bits, w, line_of(image, l, n));
  }
  return {};
}

// A stored row of 16, 24 or 32-bit pixels as makecol32's.
void true_colour_row(const unsigned char* p, const Layout& l, uint32_t* to, bool& translucent) {
  const unsigned bytes = l.bits / 8;
  for (int64_t x = 0; x < l.width; ++x, p += bytes) {
    uint32_t pixel = p[0] | p[1] << 8u;
    if (bytes > 2) pixel |= uint32_t{p[2]} << 16;
    if (bytes > 3) pixel |= uint32_t{p[3]} << 24;
    to[x] = rgb32(l.red(pixel), l.green(pixel), l.blue(pixel));
    translucent |= (pixel & l.alpha) != l.alpha;
  }
}

run::Fault read_true_colour(Input& in, const Image& image, const Layout& l, bool& translucent) {
  std::vector<unsigned char> row(l.row_bytes);
  for (int64_t n = 0; n < l.height; ++n) {
    if (const run::Fault f = in.read(row.data(), row.size())) return f;
    true_colour_row(row.data(), l, reinterpret_cast<uint32_t*>(line_of(image, l, n)), translucent);
  }
  return {};
}

// Reads run-length data up to its end-of-picture code. Rows count from the bottom one (0); a
// row's room is its width rounded up to a stored row's 4 bytes.
run::Fault read_run_length(Input& in, const Image& image, const Layout& l) {
  const bool four = l.compression == bi_rle4;
  const int64_t room = static_cast<int64_t>(l.row_bytes * 8 / l.bits);
  int64_t x = 0, row = 0;
  unsigned char literal[256];
  for (;;) {
    unsigned char pair[2];
    if (const run::Fault f = in.read(pair, 2)) return f;
    const int count = pair[0], code = pair[1];
    if (count > 0) {
      if (row >= l.height || x + count > room) return damaged();
      const int64_t kept = std::min<int64_t>(count, std::max<int64_t>(0, l.width - x));
      unsigned char* to = line_of(image, l, row) + std::min(x, l.width);
      if (four) {
        const unsigned char pair[2] = {static_cast<unsigned char>(code >> 4),
                                       static_cast<unsigned char>(code & 15)};
        for (int64_t i = 0; i < kept; ++i) to[i] = pair[i & 1];
      } else {
        std::memset(to, code, kept);
      }
      x += count;
    } else if (code == 0) {
      x = 0;
      ++row;
    } else if (code == 1) {
      return {};
    } else if (code == 2) {
      unsigned char move[2];
      if (const run::Fault f = in.read(move, 2)) return f;
      x += move[0];
      row += move[1];
      if (x > room || row >= l.height) return damaged();
    } else {
      if (row >= l.height || x + code > room) return damaged();
      const size_t bytes = four ? (code + 3) / 4 * 2 : code + (code & 1);
      if (const run::Fault f = in.read(literal, bytes)) return f;
      const int64_t kept = std::min<int64_t>(code, std::max<int64_t>(0, l.width - x));
      unsigned char* to = line_of(image, l, row) + std::min(x, l.width);
      if (four) {
        for (int64_t i = 0; i < kept; ++i) {
          to[i] = i & 1 ? literal[i / 2] & 15 : literal[i / 2] >> 4;
        }
      } else {
        std::memcpy(to, literal, kept);
      }
      x += code;
    }
  }
}

// Reads the picture into `out`; or, given `to`, hands its rows on (`streamed`) when they are raw
// indices, and reads nothing past the headers when not.
run::Fault read_into(Input& in, Image& out, Found& found, RowTaker* to = nullptr,
                     bool* streamed = nullptr) {
  unsigned char head[file_header_size + largest_info_header] = {};
  if (const run::Fault f = in.read(head, 2)) return f;
  if (head[0] != 'B' || head[1] != 'M') return unsupported();
  if (const run::Fault f = in.read(head + 2, 16)) return f;
  const uint32_t off_bits = le32(head + 10);
  const uint32_t info_size = le32(head + 14);
  const bool core = info_size == 12;
  const bool windows =
      info_size == 40 || info_size == 52 || info_size == 56 || info_size == 108 || info_size == 124;
  if (!core && !windows && (info_size < 16 || info_size > 64)) return unsupported();
  if (const run::Fault f = in.read(head + 18, info_size - 4)) return f;

  Layout l;
  unsigned planes;
  uint64_t palette_entries, entry_size;
  if (core) {
    l.width = le16(head + 18);
    l.height = le16(head + 20);
    planes = le16(head + 22);
    l.bits = le16(head + 24);
    palette_entries = l.bits <= 8 ? uint64_t{1} << l.bits : 0;  // at most: see below
    entry_size = 3;
  } else {
    l.width = static_cast<int32_t>(le32(head + 18));
    l.height = static_cast<int32_t>(le32(head + 22));
    planes = le16(head + 26);
    l.bits = le16(head + 28);
    l.compression = le32(head + 30);
    const uint32_t used = le32(head + 46);
    palette_entries = used == 0 && l.bits <= 8 ? uint64_t{1} << l.bits : used;
    entry_size = 4;
  }

  if (planes != 1) return unsupported();
  switch (l.bits) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32: break;
    default: return unsupported();
  }
  const bool bit_fields =
      windows && (l.compression == bi_bitfields || l.compression == bi_alphabitfields);
  const bool run_length = l.compression == bi_rle8 || l.compression == bi_rle4;
  if (l.compression != bi_rgb && !run_length && !bit_fields) return unsupported();
  if ((l.compression == bi_rle8 && l.bits != 8) || (l.compression == bi_rle4 && l.bits != 4) ||
      (bit_fields && l.bits < 16)) {
    return damaged();
  }
  if (l.width <= 0 || l.height == 0 || l.height == INT32_MIN) return damaged();
  l.top_down = l.height < 0;
  if (l.top_down) {
    if (run_length) return unsupported();
    l.height = -l.height;
  }

  // Bit fields after a 40-byte header come before the palette.
  uint64_t headers_end = file_header_size + info_size;
  if (bit_fields && info_size == 40) {
    const size_t n = l.compression == bi_alphabitfields ? 16 : 12;
    if (const run::Fault f = in.read(head + headers_end, n)) return f;
    headers_end += n;
  }
  if (l.bits > 8) {
    uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
    if (bit_fields) {
      for (int i = 0; i < 3; ++i) masks[i] = le32(head + 54 + 4 * i);
    } else if (l.bits > 16) {
      masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
    }
    const uint64_t pixel_values = uint64_t{1} << l.bits;
    for (const uint32_t m : masks) {
      if (m >= pixel_values) return damaged();
    }
    if (!l.red.set(masks[0]) || !l.green.set(masks[1]) || !l.blue.set(masks[2])) {
      return damaged();
    }
    const bool alpha_mask = bit_fields && (info_size >= 56 || l.compression == bi_alphabitfields);
    if (alpha_mask) l.alpha = le32(head + 66) & static_cast<uint32_t>((uint64_t{1} << l.bits) - 1);
  }
  if (core && off_bits >= headers_end) {
    // No count: the entries that fit before the pixels.
    palette_entries = std::min<uint64_t>(palette_entries, (off_bits - headers_end) / entry_size);
  }
  if (off_bits < headers_end + palette_entries * entry_size) return damaged();

  const uint64_t w = l.width;
  const int depth = l.bits <= 8 ? 8 : 32;
  l.row_bytes = (w * l.bits + 31) / 32 * 4;
  // Raw pixels must all be in the file; run-length data may skip pixels at no cost, up to what
  // its deltas can describe.
  const uint64_t left = in.size() > off_bits ? in.size() - off_bits : 0;
  const Reach reach{run_length ? run_length_reach(in.size()) : left / l.row_bytes * w, in.size()};
  const bool streaming = to && !run_length;
  if (to && !streaming) return {};  // read whole
  // Run-length data need not write every pixel: those it skips stay untouched zero pages.
  if (const run::Fault f = streaming
                               ? check_streamed(l.width, l.height, reach)
                               : new_image(depth, l.width, l.height, reach, out, !run_length)) {
    return f;
  }
  if (depth == 8) {  // the palette's grey levels, B, G, R (, 0) an entry
    std::vector<unsigned char> entries(
        static_cast<size_t>(std::min<uint64_t>(palette_entries, 256) * entry_size));
    if (const run::Fault f = in.skip(headers_end - in.offset())) return f;
    if (const run::Fault f = in.read(entries.data(), entries.size())) return f;
    found.palette_levels(entries.data(), entries.size() / entry_size, entry_size, 2, 0);
  }
  if (const run::Fault f = in.skip(off_bits - in.offset())) return f;
  if (streaming) {
    *streamed = true;
    const auto w = static_cast<size_t>(l.width);
    if (const run::Fault f =
            to->start(static_cast<int32_t>(w), static_cast<int32_t>(l.height), found)) {
      return f;
    }
    std::vector<uint32_t> wide(depth == 8 ? 0 : w);
    const run::Fault f = hand_raw_rows(
        in, *to, off_bits, l.row_bytes, static_cast<int32_t>(w), static_cast<int32_t>(l.height),
        !l.top_down, [&](const unsigned char* stored, unsigned char* row) {
          if (l.bits == 8) {
            std::memcpy(row, stored, w);
          } else if (depth == 8) {
            unpack(stored, l.bits, w, row);
          } else {
            bool translucent = false;
            true_colour_row(stored, l, wide.data(), translucent);
            return !translucent && level_row(wide.data(), w, row, found.shown);
          }
          return true;
        });
    if (f || depth != 8) return f;  // a record follows indexed pixels only
  } else if (run_length) {
    return read_run_length(in, out, l);
  } else if (depth != 8) {
    return read_true_colour(in, out, l, found.translucent);
  } else if (const run::Fault f = read_indexed(in, out, l)) {
    return f;
  }
  // The carrier's record follows the pixels.
  const uint64_t pixels_end = in.offset(), counted = le32(head + 2);
  unsigned char record[carrier::record_size + 1];
  const auto n = static_cast<size_t>(std::min<uint64_t>(in.remaining(), sizeof record));
  if (const run::Fault f = in.read(record, n)) return f;
  found.mark = carrier::read_mark(record, n);
  if (counted > pixels_end && found.mark.state == carrier::Mark::none) {
    found.mark.state = carrier::Mark::broken;
  }
  return {};
}

}  // namespace

run::Fault stream_bmp(Input& in, RowTaker& to, Found& found, bool& streamed) {
  Image unused;
  return read_into(in, unused, found, &to, &streamed);
}

run::Fault read_bmp(Input& in, Image& out, Found& found) { return read_into(in, out, found); }

namespace {

// The rows go bottom-up in the file while they come top-down: each band is laid out in the
// file's order and placed below the band before it, so that the rows a run never makes (after
// Esc) are the file's first, and every band is written once.
class BmpWriter : public PictureWriter {
 public:
  BmpWriter(files::Sink& out, int32_t w, int32_t h, const Palette& pal, bool record)
      : out_(out), w_(w), h_(h), pal_(pal), record_(record) {}

  run::Fault begin() override {
    const auto image_bytes = row_bytes() * static_cast<uint64_t>(h_);
    const uint32_t record_bytes = record_ ? carrier::record_size : 0;
    Fields hd;
    hd.bytes.reserve(pixels_at);
    hd.le16(0x4D42);
    hd.le32(static_cast<uint32_t>(pixels_at + image_bytes + record_bytes));
    hd.le16(0);
    hd.le16(0);
    hd.le32(pixels_at);
    hd.le32(40);
    hd.le32(static_cast<uint32_t>(w_));
    hd.le32(static_cast<uint32_t>(h_));
    hd.le16(1);
    hd.le16(8);
    hd.le32(bi_rgb);
    hd.le32(static_cast<uint32_t>(image_bytes));
    hd.le32(0xB12);  // 72 dots per inch, both ways
    hd.le32(0xB12);
    hd.le32(256);
    hd.le32(256);
    hd.colours(pal_, true, 1);
    return out_.write(hd.bytes.data(), hd.bytes.size());
  }

  run::Fault rows(const unsigned char* pixels, int32_t count) override {
    const size_t w = static_cast<size_t>(w_), stored = static_cast<size_t>(row_bytes());
    band_.resize(stored * static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      unsigned char* const row = band_.data() + stored * static_cast<size_t>(count - 1 - i);
      std::memcpy(row, pixels + w * static_cast<size_t>(i), w);
      std::memset(row + w, 0, stored - w);  // the row's padding
    }
    done_ += count;
    const uint64_t below = static_cast<uint64_t>(h_ - done_);  // rows under this band
    return out_.write_at(pixels_at + below * stored, band_.data(), band_.size());
  }

  run::Fault repaint(const Palette& pal) override {
    pal_ = pal;
    Fields entries;
    entries.colours(pal_, true, 1);
    return out_.write_at(54, entries.bytes.data(), entries.bytes.size());
  }

  run::Fault finish(const carrier::Record* record) override {
    if (!record || !record_) return {};
    const carrier::RecordBytes r = carrier::record_bytes(*record);
    return out_.write_at(pixels_at + row_bytes() * static_cast<uint64_t>(h_), r.data(), r.size());
  }

 private:
  static constexpr uint32_t pixels_at = 54 + 256 * 4;
  uint64_t row_bytes() const { return (static_cast<uint64_t>(w_) + 3) / 4 * 4; }

  files::Sink& out_;
  int32_t w_, h_;
  Palette pal_;
  bool record_;
  int32_t done_ = 0;  // rows written
  std::vector<unsigned char> band_;
};

}  // namespace

std::unique_ptr<PictureWriter> write_bmp(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room) {
  return std::make_unique<BmpWriter>(out, w, h, pal, room != nullptr);
}

}  // namespace formats
