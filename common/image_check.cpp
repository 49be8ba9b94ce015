#include "image_check.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace image_check {

namespace {

// A picture whose pixels may come from a small file (skips in BMP run-length data, deflate in
// PNG) may still have this many pixels.
constexpr uint64_t small_picture_pixels = uint64_t{1} << 24;
constexpr uint64_t bmp_rle_pixels_per_byte = 256;
constexpr uint64_t png_pixels_per_byte = 8256;  // 1-bit pixels, deflate's 1032:1 at best

// The library allocates width * height * bytes in an int, with a few bytes of padding.
constexpr uint64_t max_picture_bytes = INT_MAX - 64;

class Bytes {
 public:
  Bytes(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  size_t size() const { return size_; }
  bool has(uint64_t offset, uint64_t n) const { return offset <= size_ && n <= size_ - offset; }
  unsigned u8(size_t at) const { return data_[at]; }
  unsigned u16le(size_t at) const { return data_[at] | data_[at + 1] << 8; }
  uint32_t u32le(size_t at) const {
    return data_[at] | data_[at + 1] << 8 | data_[at + 2] << 16 | uint32_t{data_[at + 3]} << 24;
  }
  uint32_t u32be(size_t at) const {
    return uint32_t{data_[at]} << 24 | data_[at + 1] << 16 | data_[at + 2] << 8 | data_[at + 3];
  }
  bool equals(size_t at, const char* text, size_t n) const {
    return has(at, n) && std::memcmp(data_ + at, text, n) == 0;
  }

 private:
  const unsigned char* data_;
  size_t size_;
};

Report refuse(Problem p) {
  Report r;
  r.problem = p;
  return r;
}

// Width and height above 0 whose picture of `bytes_per_pixel` fits the library's int.
bool fits(uint64_t w, uint64_t h, uint64_t bytes_per_pixel) {
  return w > 0 && h > 0 && w <= INT32_MAX && h <= INT32_MAX &&
         w * h <= max_picture_bytes / bytes_per_pixel;
}

Report accept(uint64_t w, uint64_t h, bool reads_to_end = false) {
  Report r;
  r.width = static_cast<int32_t>(w);
  r.height = static_cast<int32_t>(h);
  r.reads_to_end = reads_to_end;
  return r;
}

// ---- BMP ----

constexpr uint32_t bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3;

// Walks BMP run-length data from `p` as the library's loader does (rows bottom up, from column
// 0, a command's pixels written at the current column), refusing any write outside the
// picture and data that ends before the loader would stop.
Problem walk_bmp_rle(const Bytes& b, size_t p, int64_t w, int64_t h, bool four_bits) {
  int64_t line = h - 1;
  for (;;) {
    int64_t pos = 0;
    for (;;) {
      if (!b.has(p, 2)) return Problem::truncated;
      const unsigned count = b.u8(p), val = b.u8(p + 1);
      p += 2;
      bool end_of_line = false;
      if (count > 0) {
        if (line < 0 || line >= h || pos + count > w) return Problem::bad_data;
        pos += count;
      } else if (val == 0) {
        end_of_line = true;
      } else if (val == 1) {
        return Problem::none;
      } else if (val == 2) {
        if (!b.has(p, 2)) return Problem::truncated;
        pos += b.u8(p);
        line -= b.u8(p + 1);
        p += 2;
      } else {
        const size_t bytes = four_bits ? (val + 3) / 4 * 2 : val + (val & 1);
        if (!b.has(p, bytes)) return Problem::truncated;
        if (line < 0 || line >= h || pos + val > w) return Problem::bad_data;
        pos += val;
        p += bytes;
      }
      if (end_of_line || pos - 1 > w) break;
    }
    if (--line < 0) return Problem::none;
  }
}

Report check_bmp(const Bytes& b) {
  if (!b.has(0, 18) || b.u16le(0) != 0x4D42) return refuse(Problem::not_this_format);
  const uint32_t off_bits = b.u32le(10);
  const uint32_t info_size = b.u32le(14);
  uint64_t w, h;
  unsigned bit_count;
  uint32_t compression = bi_rgb;
  size_t header_end;
  if (info_size == 40) {
    if (!b.has(0, 54)) return refuse(Problem::truncated);
    w = b.u32le(18);
    const uint32_t height_field = b.u32le(22);
    // Top-down pictures (negative height) come out of the library's loader wrong.
    if (height_field > INT32_MAX) return refuse(Problem::unsupported);
    h = height_field;
    bit_count = b.u16le(28);
    compression = b.u32le(30);
    header_end = 54;
  } else if (info_size == 12) {
    if (!b.has(0, 26)) return refuse(Problem::truncated);
    w = b.u16le(18);
    h = b.u16le(20);
    bit_count = b.u16le(24);
    header_end = 26;
  } else if (info_size > 40) {
    return refuse(Problem::unsupported);  // later Windows headers: the library reads none
  } else {
    return refuse(Problem::not_this_format);
  }

  // Where the loader starts reading pixels: after the colour table, which it takes to fill
  // the gap up to the pixel offset; with bit fields, right after the three masks.
  size_t data_start;
  unsigned depth_bytes;  // bytes per pixel of the picture the loader creates
  uint64_t row_bytes = 0;
  if (compression == bi_bitfields) {
    if (!b.has(0, 66)) return refuse(Problem::truncated);
    const uint32_t red = b.u32le(54), blue = b.u32le(62);
    if (blue == 0x1f && (red == 0x7C00 || red == 0xF800) && bit_count == 16) {
      depth_bytes = 2;
    } else if (blue == 0xFF && red == 0xFF0000 && bit_count == 32) {
      depth_bytes = 4;
    } else {
      return refuse(Problem::unsupported);
    }
    data_start = 66;
    if (off_bits != data_start) return refuse(Problem::unsupported);
    row_bytes = (w * depth_bytes + 3) / 4 * 4;
  } else {
    if (off_bits < header_end) return refuse(Problem::not_this_format);
    data_start = off_bits;
    switch (bit_count) {
      case 1: row_bytes = (w + 31) / 32 * 4; depth_bytes = 1; break;
      case 4: row_bytes = (w + 7) / 8 * 4; depth_bytes = 1; break;
      case 8: row_bytes = (w + 3) / 4 * 4; depth_bytes = 1; break;
      case 16: row_bytes = (w * 2 + 3) / 4 * 4; depth_bytes = 2; break;
      case 24: row_bytes = (w * 3 + 3) / 4 * 4; depth_bytes = 3; break;
      case 32: row_bytes = w * 4; depth_bytes = 4; break;
      default: return refuse(Problem::unsupported);
    }
  }
  if (!fits(w, h, depth_bytes)) {
    return refuse(w == 0 || h == 0 ? Problem::unsupported : Problem::too_large);
  }

  switch (compression) {
    case bi_rgb:
    case bi_bitfields:
      if (!b.has(data_start, row_bytes * h)) return refuse(Problem::truncated);
      return accept(w, h);
    case bi_rle8:
    case bi_rle4: {
      if (bit_count != (compression == bi_rle8 ? 8u : 4u)) return refuse(Problem::unsupported);
      const uint64_t allowed = std::max<uint64_t>(small_picture_pixels,
                                                  bmp_rle_pixels_per_byte * b.size());
      if (w * h > allowed) return refuse(Problem::too_large);
      if (!b.has(data_start, 0)) return refuse(Problem::truncated);
      const Problem p = walk_bmp_rle(b, data_start, static_cast<int64_t>(w),
                                     static_cast<int64_t>(h), compression == bi_rle4);
      return p == Problem::none ? accept(w, h) : refuse(p);
    }
    default:
      return refuse(Problem::unsupported);
  }
}

// ---- TGA ----

Report check_tga(const Bytes& b) {
  if (!b.has(0, 18)) return refuse(Problem::truncated);
  const unsigned id_length = b.u8(0), map_type = b.u8(1), image_type = b.u8(2);
  const unsigned first_entry = b.u16le(3), map_length = b.u16le(5), entry_bits = b.u8(7);
  const uint64_t w = b.u16le(12), h = b.u16le(14);
  const unsigned bits = b.u8(16);

  if (map_type > 1 || (image_type & ~0xFu) != 0) return refuse(Problem::not_this_format);
  // The loader reads the colour map into a 256-entry table before it looks at anything else.
  size_t map_bytes = 0;
  if (map_type == 1) {
    if (map_length > 256 || first_entry + map_length > 256) return refuse(Problem::bad_data);
    if (entry_bits != 16 && entry_bits != 24 && entry_bits != 32) {
      return refuse(Problem::unsupported);
    }
    map_bytes = size_t{map_length} * (entry_bits / 8);
  }

  const bool run_length = (image_type & 8) != 0;
  unsigned pixel_bytes;
  switch (image_type & 7) {
    case 1:  // colour-mapped
      if (map_type != 1 || bits != 8) return refuse(Problem::unsupported);
      pixel_bytes = 1;
      break;
    case 2:  // true colour
      if (map_type != 0) return refuse(Problem::unsupported);
      if (bits == 15 || bits == 16) pixel_bytes = 2;
      else if (bits == 24) pixel_bytes = 3;
      else if (bits == 32) pixel_bytes = 4;
      else return refuse(Problem::unsupported);
      break;
    case 3:  // grey
      if (map_type != 0 || bits != 8) return refuse(Problem::unsupported);
      pixel_bytes = 1;
      break;
    default:
      return refuse(Problem::not_this_format);
  }
  if (!fits(w, h, pixel_bytes)) {
    return refuse(w == 0 || h == 0 ? Problem::unsupported : Problem::too_large);
  }

  size_t p = 18 + id_length + map_bytes;
  if (!run_length) {
    return b.has(p, w * h * pixel_bytes) ? accept(w, h) : refuse(Problem::truncated);
  }
  // The loader decodes each row on its own: a packet running past the end of its row writes
  // past the row (past the picture, for the first row it reads).
  for (uint64_t y = 0; y < h; ++y) {
    uint64_t c = 0;
    do {
      if (!b.has(p, 1)) return refuse(Problem::truncated);
      const unsigned head = b.u8(p++);
      const unsigned n = (head & 0x7F) + 1;
      const size_t bytes = (head & 0x80) ? pixel_bytes : size_t{n} * pixel_bytes;
      if (!b.has(p, bytes)) return refuse(Problem::truncated);
      if (c + n > w) return refuse(Problem::bad_data);
      c += n;
      p += bytes;
    } while (c < w);
  }
  return accept(w, h);
}

// ---- PCX ----

Report check_pcx(const Bytes& b) {
  if (!b.has(0, 128)) return refuse(b.has(0, 1) && b.u8(0) == 10 ? Problem::truncated
                                                                  : Problem::not_this_format);
  if (b.u8(0) != 10 || b.u8(2) != 1) return refuse(Problem::not_this_format);
  if (b.u8(3) != 8) return refuse(Problem::unsupported);
  const int64_t w = int64_t{b.u16le(8)} - b.u16le(4) + 1;
  const int64_t h = int64_t{b.u16le(10)} - b.u16le(6) + 1;
  const unsigned planes = b.u8(65);
  const uint64_t line_bytes = b.u16le(66);
  if (planes != 1 && planes != 3) return refuse(Problem::unsupported);
  // Columns past the line length would be left unset.
  if (w <= 0 || h <= 0 || line_bytes < static_cast<uint64_t>(w)) {
    return refuse(Problem::unsupported);
  }
  if (!fits(w, h, planes)) return refuse(Problem::too_large);

  // Every row is run-length coded up to line_bytes * planes bytes; a run may overshoot the
  // end of its row (the loader drops the excess).
  const uint64_t row = line_bytes * planes;
  size_t p = 128;
  for (int64_t y = 0; y < h; ++y) {
    uint64_t x = 0;
    while (x < row) {
      if (!b.has(p, 1)) return refuse(Problem::truncated);
      const unsigned ch = b.u8(p++);
      if ((ch & 0xC0) == 0xC0) {
        if (!b.has(p, 1)) return refuse(Problem::truncated);
        ++p;
        x += ch & 0x3F;
      } else {
        ++x;
      }
    }
  }
  return accept(w, h, planes == 1);
}

// ---- PNG ----

Report check_png(const Bytes& b) {
  static const char signature[] = "\x89PNG\r\n\x1a\n";
  if (!b.equals(0, signature, 8)) return refuse(Problem::not_this_format);
  if (!b.has(0, 33)) return refuse(Problem::truncated);
  if (b.u32be(8) != 13 || !b.equals(12, "IHDR", 4)) return refuse(Problem::not_this_format);
  const uint64_t w = b.u32be(16), h = b.u32be(20);
  const unsigned colour_type = b.u8(25);

  // Every chunk whole, up to IEND. (libpng would see a file cut short too, but only after
  // the loader has allocated the picture, which it then leaks.) A transparency chunk before
  // the image data makes the loader add alpha.
  bool transparency = false;
  bool image_data = false;
  size_t p = 8;
  for (;;) {
    if (!b.has(p, 8)) return refuse(Problem::truncated);
    const uint32_t length = b.u32be(p);
    if (length > INT32_MAX) return refuse(Problem::bad_data);
    if (!b.has(p, uint64_t{length} + 12)) return refuse(Problem::truncated);
    if (b.equals(p + 4, "IDAT", 4)) image_data = true;
    if (b.equals(p + 4, "tRNS", 4) && !image_data) transparency = true;
    if (b.equals(p + 4, "IEND", 4)) break;
    p += length + 12;
  }
  if (!image_data) return refuse(Problem::truncated);

  unsigned depth_bytes;
  switch (colour_type) {
    case 0: depth_bytes = transparency ? 4 : 3; break;  // grey, made RGB
    case 2: depth_bytes = transparency ? 4 : 3; break;
    case 3: depth_bytes = transparency ? 4 : 1; break;
    case 4:
    case 6: depth_bytes = 4; break;
    default: return refuse(Problem::not_this_format);
  }
  if (!fits(w, h, depth_bytes)) {
    return refuse(w == 0 || h == 0 ? Problem::not_this_format : Problem::too_large);
  }
  if (w * h > std::max<uint64_t>(small_picture_pixels, png_pixels_per_byte * b.size())) {
    return refuse(Problem::too_large);
  }
  return accept(w, h);
}

}  // namespace

Report check_picture(carrier::Container c, const unsigned char* data, size_t size) {
  const Bytes b(data, size);
  switch (c) {
    case carrier::Container::bmp: return check_bmp(b);
    case carrier::Container::tga: return check_tga(b);
    case carrier::Container::pcx: return check_pcx(b);
    case carrier::Container::png: return check_png(b);
    case carrier::Container::unknown: break;
  }
  return refuse(Problem::not_this_format);
}

const char* problem_name(Problem p) {
  switch (p) {
    case Problem::none: return "none";
    case Problem::not_this_format: return "not_this_format";
    case Problem::unsupported: return "unsupported";
    case Problem::too_large: return "too_large";
    case Problem::truncated: return "truncated";
    case Problem::bad_data: return "bad_data";
  }
  return "?";
}

}  // namespace image_check
