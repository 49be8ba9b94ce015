// PCX pictures: reader and writer.
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
//                      bytes, when they start with 0x0C) gives only its grey levels, and a
//                      missing or short one is accepted
//   8 bits, 3 planes   a 32-bit picture from the red, green and blue planes
//   run-length or raw; padding past the width dropped. The data is one stream: a run may cross
//   from one plane to the next (the library's writer does this), and from one row to the next
//   (the library's reader would drop the excess instead), but not past the last row (damaged).
// What is refused:
//   unsupported   manufacturer other than 10, an unknown version or encoding, 1, 2 or 4 bits per
//                 plane, planes other than 1 or 3
//   damaged       xmax < xmin, ymax < ymin, bytes per line below the width, a run past the end
//   too_large     before allocating (new_image): a picture past the library's int, or one
//                 far larger than the rest of the file can hold (less far: truncated)
//                 (raw: its bytes; run-length: 63 bytes per pair)
//   truncated     a file cut short anywhere from the header to the last row
//
// The writer gives save_pcx_pf's bytes for an 8-bit picture and the library's palette: version 5,
// 320 x 200 dpi, the first 16 palette entries in the header, runs of at most 63 per row, single
// bytes of 0xC0 and above written as runs of 1, and 0x0C with the 256-entry palette at the end.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "containers.h"

namespace formats {

namespace {

constexpr size_t header_bytes = 128;
constexpr unsigned max_run = 63;
constexpr size_t record_at = 74;

// Run-length bytes decoded eight at a time. In a window of eight bytes, given whether its first
// is the value of a count before it (carry), and which bytes are 0xC0 or above: the counts
// among them (each the byte after it is its value, whatever it is), where the values lie (`take`,
// their places in order, padded with the last; `shift`, the same in bits, for the window read as
// one little-endian word), how many there are, and whether the last byte is a count whose value
// opens the next window.
struct Window {
  unsigned char take[8];
  unsigned char shift[8];
  unsigned char n;
  unsigned char counts;  // bit i: byte i is a count
  unsigned char carry;
};
struct Windows {
  Window at[2][256];
  Windows() : at() {
    for (unsigned carry = 0; carry < 2; ++carry) {
      for (unsigned high = 0; high < 256; ++high) {
        Window& w = at[carry][high];
        bool value_next = carry != 0;
        for (unsigned i = 0; i < 8; ++i) {
          if (!value_next && (high >> i & 1)) {
            w.counts = static_cast<unsigned char>(w.counts | 1u << i);
            value_next = true;
            continue;
          }
          value_next = false;
          w.take[w.n++] = static_cast<unsigned char>(i);
        }
        for (unsigned i = w.n; i < 8; ++i) w.take[i] = w.n ? w.take[w.n - 1] : 0;
        for (unsigned i = 0; i < 8; ++i) w.shift[i] = static_cast<unsigned char>(8 * w.take[i]);
        w.carry = value_next;
      }
    }
  }
};
const Windows windows;
// The windows read eight bytes as one word, low byte first.
constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Bit i set for byte i (in memory order) of the eight in `word` that is 0xC0 or above; that is
// 0xC1.
unsigned gather(uint64_t top_bits) {  // bit 7 of each byte, to bits 0..7
  return static_cast<unsigned>(((top_bits >> 7) * 0x0102040810204080u) >> 56);
}
unsigned high_bytes(uint64_t word) { return gather(word & (word << 1) & 0x8080808080808080u); }
unsigned c1_bytes(uint64_t word) {
  const uint64_t x = word ^ 0xC1C1C1C1C1C1C1C1u;  // 0 where the byte is 0xC1
  const uint64_t nonzero = ((x & 0x7F7F7F7F7F7F7F7Fu) + 0x7F7F7F7F7F7F7F7Fu) | x;
  return ~gather(nonzero & 0x8080808080808080u) & 0xFFu;
}

// Where decoding by windows stopped: the next byte, the next place in the row, and whether that
// byte is the value of a count before it.
struct Scan {
  const unsigned char* q;
  size_t at;
  unsigned carry;
};

// Windows from `s` on while a whole one is in hand before `end` (and a byte after it, for a
// count's value) and fits the row, each stored as one word (what lies past its values is written
// over next); up to the first window that holds a count other than 1. `pack(window, word)` gives
// the values, packed low byte first.
#define PCX_SCAN_WINDOWS(pack)                               \
  while (s.at + 8 <= row_bytes && end - s.q >= 9) {          \
    uint64_t word;                                           \
    std::memcpy(&word, s.q, sizeof word);                    \
    const Window& w = windows.at[s.carry][high_bytes(word)]; \
    if ((w.counts & ~c1_bytes(word)) != 0) break;            \
    const uint64_t values = pack(w, word);                   \
    std::memcpy(into + s.at, &values, sizeof values);        \
    s.at += w.n;                                             \
    s.q += 8;                                                \
    s.carry = w.carry;                                       \
  }                                                          \
  return s

uint64_t pack_by_shifts(const Window& w, uint64_t word) {
  const auto value = [&](int i) { return (word >> w.shift[i] & 0xFFu) << (8 * i); };
  return value(0) | value(1) | value(2) | value(3) | value(4) | value(5) | value(6) | value(7);
}

Scan scan_plain(Scan s, const unsigned char* end, unsigned char* into, size_t row_bytes) {
  PCX_SCAN_WINDOWS(pack_by_shifts);
}

#if defined(__x86_64__)
// The same with one byte shuffle a window, where the processor has it.
#define PCX_PACK_BY_SHUFFLE(w, word)                                    \
  static_cast<uint64_t>(_mm_cvtsi128_si64(                              \
      _mm_shuffle_epi8(_mm_cvtsi64_si128(static_cast<long long>(word)), \
                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>((w).take)))))
__attribute__((target("ssse3"))) Scan scan_ssse3(Scan s, const unsigned char* end,
                                                 unsigned char* into, size_t row_bytes) {
  PCX_SCAN_WINDOWS(PCX_PACK_BY_SHUFFLE);
}
#undef PCX_PACK_BY_SHUFFLE
bool has_ssse3 = __builtin_cpu_supports("ssse3");
#else
bool has_ssse3 = false;
Scan scan_ssse3(Scan s, const unsigned char* end, unsigned char* into, size_t row_bytes) {
  return scan_plain(s, end, into, row_bytes);
}
#endif
#undef PCX_SCAN_WINDOWS

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

// Padded rows decode into a row of their own, and lose the padding.
struct Padded {
  const Image& b;
  std::vector<unsigned char> scratch;
  unsigned char* row(int) { return scratch.data(); }
  run::Fault done(int r) {
    std::memcpy(b.row(r), scratch.data(), static_cast<size_t>(b.w()));
    return {};
  }
};

// Rows handed on as they are decoded, without their padding.
struct Handed {
  Bands bands;
  size_t w;
  std::vector<unsigned char> scratch;
  unsigned char* row(int) { return scratch.data(); }
  run::Fault done(int r) {
    std::memcpy(bands.row(r), scratch.data(), w);
    return bands.done(r);
  }
};

// Three planes, red, green and blue, make a row of 32-bit pixels.
struct Planes {
  const Image& b;
  size_t line_bytes;
  std::vector<unsigned char> scratch;
  unsigned char* row(int) { return scratch.data(); }
  run::Fault done(int r) {
    auto* const to = reinterpret_cast<uint32_t*>(b.row(r));
    const unsigned char* const red = scratch.data();
    const unsigned char* const green = red + line_bytes;
    const unsigned char* const blue = green + line_bytes;
    for (int x = 0; x < b.w(); ++x) to[x] = rgb32(red[x], green[x], blue[x]);
    return {};
  }
};

template <class Target>
run::Fault decode(bool run_length, Input& in, size_t row_bytes, int h, Target&& to) {
  return run_length ? decode_run_length(in, row_bytes, h, to) : decode_raw(in, row_bytes, h, to);
}

// Reads the header into `head`, then the picture; or, given `to`, hands an 8-bit picture's rows
// on (`streamed`), and reads nothing past the header for a 24-bit one.
run::Fault read_into(Input& in, Image& out, unsigned char (&head)[header_bytes],
                     RowTaker* to = nullptr, bool* streamed = nullptr) {
  int manufacturer;
  if (const run::Fault f = in.get(manufacturer)) return f;
  if (manufacturer != 10) return unsupported();
  head[0] = 10;
  if (const run::Fault f = in.read(head + 1, sizeof head - 1)) return f;
  const unsigned version = head[1], encoding = head[2], bits = head[3], planes = head[65];
  if (version == 1 || version > 5 || encoding > 1 || bits != 8 || (planes != 1 && planes != 3)) {
    return unsupported();
  }
  const uint32_t xmin = le16(head + 4), ymin = le16(head + 6), xmax = le16(head + 8),
                 ymax = le16(head + 10), line_bytes = le16(head + 66);
  if (xmax < xmin || ymax < ymin) return damaged();
  const int w = static_cast<int>(xmax - xmin + 1), h = static_cast<int>(ymax - ymin + 1);
  if (line_bytes < static_cast<uint32_t>(w)) return damaged();

  // The most rows the rest of the file holds: raw, its bytes; run-length, 63 bytes a pair.
  const size_t row_bytes = size_t{planes} * line_bytes;
  const uint64_t left = in.remaining();
  const uint64_t most = encoding == 1 ? left / 2 * max_run + left % 2 : left;
  const Reach reach{most / row_bytes * static_cast<uint64_t>(w), in.size()};
  const bool run_length = encoding == 1;
  if (to) {
    if (planes != 1) return {};  // true colour: read whole
    if (const run::Fault f = check_streamed(w, h, reach)) return f;
    *streamed = true;
    if (const run::Fault f = to->start(w, h)) return f;
    return decode(
        run_length, in, row_bytes, h,
        Handed{Bands(*to, w, h), static_cast<size_t>(w), std::vector<unsigned char>(row_bytes)});
  }
  Image b;  // every row is written
  if (const run::Fault f = new_image(planes == 1 ? 8 : 32, w, h, reach, b, true)) return f;
  run::Fault f;
  if (planes == 3) {
    f = decode(run_length, in, row_bytes, h,
               Planes{b, line_bytes, std::vector<unsigned char>(row_bytes)});
  } else if (row_bytes == static_cast<size_t>(w)) {
    f = decode(run_length, in, row_bytes, h, InPlace{b});
  } else {
    f = decode(run_length, in, row_bytes, h, Padded{b, std::vector<unsigned char>(row_bytes)});
  }
  if (f) return f;
  out = std::move(b);
  return {};
}

}  // namespace

run::Fault read_pcx(Input& in, Image& out, Found& found) {
  unsigned char head[header_bytes];
  if (const run::Fault f = read_into(in, out, head)) return f;
  found.mark = carrier::read_mark(head + record_at, carrier::record_size);
  unsigned char palette[1 + 256 * 3];
  if (out.depth() == 8 && in.remaining() >= sizeof palette) {
    if (const run::Fault f = in.skip(in.remaining() - sizeof palette)) return f;
    if (const run::Fault f = in.read(palette, sizeof palette)) return f;
    if (palette[0] == 12) found.palette_levels(palette + 1, 256, 3, 0, 2);
  }
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

void pcx_byte_shuffle(bool on) {
#if defined(__x86_64__)
  has_ssse3 = on && __builtin_cpu_supports("ssse3");
#else
  static_cast<void>(on);
#endif
}

std::unique_ptr<PictureWriter> write_pcx(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record*) {
  return std::make_unique<PcxWriter>(out, w, h, pal);
}

run::Fault stream_pcx(Input& in, RowTaker& to, Found& found, bool& streamed) {
  unsigned char head[header_bytes];
  Image unused;
  if (const run::Fault f = read_into(in, unused, head, &to, &streamed)) return f;
  found.mark = carrier::read_mark(head + record_at, carrier::record_size);
  return {};
}

}  // namespace formats
