// PNG pictures: reader and writer, on zlib.
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
#include <libdeflate.h>
#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "containers.h"

namespace formats {

namespace {

constexpr unsigned char signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr size_t header_size = 33;  // signature, IHDR

// Deflate's best case: a 258-byte match coded in 2 bits, about 1032 bytes out per byte in.
constexpr uint64_t deflate_ratio = 1032;

// A comment chunk longer than this, or whose text inflates past it, holds no record: it is
// passed over unread, so a hostile file gets little memory out of its text.
constexpr size_t text_limit = size_t{1} << 20;

// The writer's deflate stream. Zlib at level 1 is several times quicker than the default on text
// and as small on random bytes; data that does not pack (archives, media, encrypted files: most
// of what people keep) goes in stored blocks, at the speed of a copy. Rows are not filtered: the
// carrier's bytes are file bytes, not images, and filtering them costs time (twice as long) for
// larger output (a third larger on text).
constexpr int compression_level = 1;
// A band packs when its bytes, taken one at a time, carry fewer bits than this: deflate at
// level 1 gains little above it, and pure noise carries 8.
constexpr double packing_entropy = 7.5;
constexpr size_t idat_bytes = size_t{256} << 10;  // an IDAT chunk's data, at most
// Inflated rows are taken from a buffer of about this size (or one row, if longer).
constexpr size_t inflated_bytes = size_t{256} << 10;

// Earlier carriers' record chunk: ancillary, private, not safe to copy.
constexpr unsigned char record_chunk[4] = {'z', 'o', 'R', 'O'};
// The keyword of the text chunk that holds the record: kept by image tools, which may write it
// in lower case.
constexpr char record_keyword[] = "Comment";

// A zlib stream, inflating.
class Inflater {
 public:
  Inflater() = default;
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
    if (started_) inflateEnd(&z);
  }
  bool start() { return started_ = inflateInit(&z) == Z_OK; }

  z_stream z{};

 private:
  bool started_ = false;
};

// A zlib error as a refusal.
run::Fault inflate_fault(int e) { return e == Z_MEM_ERROR ? run::system_fault(ENOMEM) : damaged(); }

// The chunks after the header, one at a time: their length and type, their data read or passed
// over, and their CRC checked at the end of each.
class Chunks {
 public:
  explicit Chunks(Input& in) : in_(in) {}

  // The next chunk's length and type. A length past 2^31 - 1 and a type of other bytes than
  // letters are damage.
  run::Fault next() {
    unsigned char head[8];
    if (const run::Fault f = in_.read(head, sizeof head)) return f;
    left_ = be32(head);
    std::memcpy(type_, head + 4, 4);
    if (left_ > INT32_MAX) return damaged();
    for (const unsigned char c : type_) {
      if ((c < 'A' || c > 'Z') && (c < 'a' || c > 'z')) return damaged();
    }
    crc_ = carrier::crc32(0, type_, 4);
    return {};
  }
  bool is(const char* type) const { return std::memcmp(type_, type, 4) == 0; }
  // A chunk a reader may not pass over: its type's first letter is upper case.
  bool critical() const { return (type_[0] & 0x20) == 0; }
  // The data's bytes not yet taken.
  uint64_t left() const { return left_; }

  // The next n bytes of the data (n at most left()).
  run::Fault read(unsigned char* to, size_t n) {
    if (n == 0) return {};  // `to` may be null, which the CRC would take as a fresh start
    if (const run::Fault f = in_.read(to, n)) return f;
    crc_ = carrier::crc32(crc_, to, n);
    left_ -= n;
    return {};
  }
  // The next bytes of the data as the Input has them, [p, p + n), with no copy: they stay
  // valid until the Input is used again.
  run::Fault take(const unsigned char*& p, size_t& n) {
    const unsigned char* end;
    if (const run::Fault f = in_.block(p, end)) return f;
    n = static_cast<size_t>(std::min<uint64_t>(left_, static_cast<uint64_t>(end - p)));
    crc_ = carrier::crc32(crc_, p, n);
    in_.taken(p + n);
    left_ -= n;
    return {};
  }
  // The rest of the data passed over, then the CRC.
  run::Fault end() {
    while (left_ > 0) {
      const unsigned char* p;
      size_t n;
      if (const run::Fault f = take(p, n)) return f;
    }
    unsigned char stored[4];
    if (const run::Fault f = in_.read(stored, sizeof stored)) return f;
    return be32(stored) == crc_ ? run::Fault{} : damaged();
  }

 private:
  Input& in_;
  unsigned char type_[4] = {};
  uint64_t left_ = 0;
  uint32_t crc_ = 0;
};

// What the record's places hold: the zoRO chunk's data, and every comment's text that starts
// with the tag. Several are one record only when they all are whole and say the same.
class Records {
 public:
  // Reads the chunk's data if it may hold a record (the CRC is left to Chunks::end).
  run::Fault take(Chunks& chunks) {
    if (chunks.is(reinterpret_cast<const char*>(record_chunk))) {
      if (++chunks_ > 1) return {};
      unsigned char data[carrier::record_size + 1];
      const auto n = static_cast<size_t>(std::min<uint64_t>(chunks.left(), sizeof data));
      if (const run::Fault f = chunks.read(data, n)) return f;
      add(carrier::read_mark(data, n));
      return {};
    }
    const bool text = chunks.is("tEXt") || chunks.is("zTXt") || chunks.is("iTXt");
    if (!text || chunks.left() > text_limit) return {};
    std::vector<unsigned char> data(static_cast<size_t>(chunks.left()));
    if (const run::Fault f = chunks.read(data.data(), data.size())) return f;
    comment(chunks.is("tEXt") ? 't' : chunks.is("zTXt") ? 'z' : 'i', data);
    return {};
  }

  carrier::Mark mark() const {
    if (chunks_ > 1) return carrier::Mark{carrier::Mark::broken, {}};
    if (marks_.empty()) return {};
    for (const carrier::Mark& m : marks_) {
      if (m.state != carrier::Mark::whole || m.record.length != marks_[0].record.length ||
          m.record.crc != marks_[0].record.crc) {
        return carrier::Mark{carrier::Mark::broken, {}};
      }
    }
    return marks_[0];
  }

 private:
  void add(const carrier::Mark& m) {
    if (m.state != carrier::Mark::none) marks_.push_back(m);
  }

  // A text chunk's data: keyword, 0, then for tEXt the text; for zTXt a method byte and the
  // text deflated; for iTXt a flag (deflated or not), a method byte, a language tag and a
  // translated keyword each ending in 0, then the text. A chunk that breaks this is passed over.
  void comment(char kind, const std::vector<unsigned char>& d) {
    if (d.empty()) return;
    const auto* p = d.data();
    const auto* const end = p + d.size();
    const auto* nul = static_cast<const unsigned char*>(std::memchr(p, 0, d.size()));
    if (!nul || nul - p != sizeof record_keyword - 1 ||
        strncasecmp(reinterpret_cast<const char*>(p), record_keyword, nul - p) != 0) {
      return;
    }
    p = nul + 1;
    bool deflated = kind == 'z';
    if (kind == 'i') {
      if (end - p < 2) return;
      deflated = p[0] != 0;
      p += 2;
      for (int field = 0; field < 2; ++field) {  // language, translated keyword
        nul = static_cast<const unsigned char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
        if (!nul) return;
        p = nul + 1;
      }
    } else if (kind == 'z') {
      if (p == end) return;
      ++p;
    }
    if (!deflated) return add(carrier::read_mark(p, static_cast<size_t>(end - p)));
    std::vector<unsigned char> text(text_limit);
    Inflater inflater;
    if (!inflater.start()) return;
    z_stream& z = inflater.z;
    z.next_in = const_cast<unsigned char*>(p);
    z.avail_in = static_cast<uInt>(end - p);
    z.next_out = text.data();
    z.avail_out = static_cast<uInt>(text.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END) return;  // damaged, or past the limit
    add(carrier::read_mark(text.data(), z.total_out));
  }

  int chunks_ = 0;
  std::vector<carrier::Mark> marks_;
};

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

unsigned char paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<unsigned char>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// The filtered rows of the IDAT chunks' zlib stream, inflated once, one row at a time, each
// unfiltered against the row before it. finish() checks what the rows leave: the stream ends
// right after the last row, its Adler-32 holds, and no IDAT data follows. The Adler-32 is
// summed here, with libdeflate (several times zlib's speed), and compared with the stream's
// last four bytes, which zlib reads but is told not to check.
class IdatRows {
 public:
  IdatRows(Chunks& chunks, size_t step) : chunks_(chunks), step_(step) {}

  // Room for rows of up to `row_bytes` bytes, filter byte aside.
  run::Fault start(uint64_t row_bytes) {
    if (!inflater_.start() || inflateValidate(&inflater_.z, 0) != Z_OK) {
      return run::system_fault(ENOMEM);
    }
    try {
      buffer_.resize(static_cast<size_t>(std::max<uint64_t>(inflated_bytes, 1 + row_bytes)));
      prior_.resize(static_cast<size_t>(row_bytes));
    } catch (const std::bad_alloc&) {
      return run::system_fault(ENOMEM);
    }
    return {};
  }

  // The next row of `n` bytes, unfiltered, at `row`. `first` is the first row of a pass: the
  // row before it counts as zeros.
  run::Fault next(size_t n, bool first, const unsigned char*& row) {
    if (have_ - at_ < n + 1) {
      if (const run::Fault f = fill(n + 1)) return f;
    }
    unsigned char* const d = buffer_.data() + at_ + 1;
    const unsigned char* const up = first ? nullptr : last_ ? last_ : prior_.data();
    if (const run::Fault f = unfilter(buffer_[at_], d, up, n)) return f;
    last_ = d;
    last_bytes_ = n;
    at_ += n + 1;
    row = d;
    return {};
  }

  run::Fault finish() {
    if (have_ > at_) return damaged();  // more bytes than the rows
    unsigned char scratch[64];
    while (!ended_) {
      z_stream& z = inflater_.z;
      z.next_out = scratch;
      z.avail_out = sizeof scratch;
      if (const run::Fault f = inflate_more()) return f;
      if (z.avail_out != sizeof scratch) return damaged();
    }
    if (inflater_.z.avail_in > 0) return damaged();  // data after the stream's end
    while (chunks_.left() > 0) {
      const unsigned char* p;
      size_t n;
      if (const run::Fault f = chunks_.take(p, n)) return f;
      if (n > 0) return damaged();
    }
    return chunks_.end();
  }

 private:
  // Inflates into the buffer until `need` bytes lie at its cursor; the row before, when the
  // buffer moves on, is kept in `prior_`.
  run::Fault fill(size_t need) {
    if (last_) std::memcpy(prior_.data(), last_, last_bytes_);
    last_ = nullptr;
    std::memmove(buffer_.data(), buffer_.data() + at_, have_ - at_);
    have_ -= at_;
    at_ = 0;
    z_stream& z = inflater_.z;
    while (have_ < need) {
      if (ended_) return damaged();  // the stream ends before the last row
      z.next_out = buffer_.data() + have_;
      z.avail_out = static_cast<uInt>(std::min<size_t>(buffer_.size() - have_, UINT_MAX));
      if (const run::Fault f = inflate_more()) return f;
      have_ = static_cast<size_t>(z.next_out - buffer_.data());
    }
    return {};
  }

  // One call to inflate, with more IDAT data first if it needs it.
  run::Fault inflate_more() {
    z_stream& z = inflater_.z;
    if (z.avail_in == 0) {
      while (chunks_.left() == 0) {  // the next IDAT chunk, passing over empty ones
        if (const run::Fault f = chunks_.end()) return f;
        if (const run::Fault f = chunks_.next()) return f;
        if (!chunks_.is("IDAT")) return damaged();  // the stream does not end in the IDATs
      }
      const unsigned char* p;
      size_t n;
      if (const run::Fault f = chunks_.take(p, n)) return f;
      z.next_in = const_cast<unsigned char*>(p);
      z.avail_in = static_cast<uInt>(n);
    }
    const unsigned char* const in = z.next_in;
    unsigned char* const out = z.next_out;
    const int e = inflate(&z, Z_NO_FLUSH);
    adler_ = libdeflate_adler32(adler_, out, static_cast<size_t>(z.next_out - out));
    // The last four bytes read, which end the stream.
    const auto read = static_cast<size_t>(z.next_in - in);
    const size_t kept = std::min<size_t>(read, 4);
    std::memmove(tail_, tail_ + kept, 4 - kept);
    std::memcpy(tail_ + 4 - kept, z.next_in - kept, kept);
    if (e == Z_STREAM_END) {
      ended_ = true;
      if (be32(tail_) != adler_) return damaged();
    } else if (e != Z_OK && e != Z_BUF_ERROR) {
      return inflate_fault(e);
    }
    return {};
  }

  run::Fault unfilter(unsigned filter, unsigned char* d, const unsigned char* up, size_t n) const {
    const size_t s = step_;
    switch (filter) {
      case 0: break;
      case 1:  // sub
        for (size_t i = s; i < n; ++i) d[i] = static_cast<unsigned char>(d[i] + d[i - s]);
        break;
      case 2:  // up
        if (up) {
          for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(d[i] + up[i]);
        }
        break;
      case 3:  // average
        for (size_t i = 0; i < n; ++i) {
          const unsigned left = i >= s ? d[i - s] : 0, above = up ? up[i] : 0;
          d[i] = static_cast<unsigned char>(d[i] + ((left + above) >> 1));
        }
        break;
      case 4:  // Paeth
        for (size_t i = 0; i < n; ++i) {
          const int left = i >= s ? d[i - s] : 0, above = up ? up[i] : 0;
          const int corner = up && i >= s ? up[i - s] : 0;
          d[i] = static_cast<unsigned char>(d[i] + paeth(left, above, corner));
        }
        break;
      default: return damaged();
    }
    return {};
  }

  Chunks& chunks_;
  size_t step_;
  Inflater inflater_;
  bool ended_ = false;
  uint32_t adler_ = 1;                 // of the bytes inflated so far
  unsigned char tail_[4] = {};         // the last bytes inflate read
  std::vector<unsigned char> buffer_;  // inflated bytes: [at_, have_) not yet taken
  size_t at_ = 0, have_ = 0;
  std::vector<unsigned char> prior_;     // the row before the buffer's first
  const unsigned char* last_ = nullptr;  // the last row handed out, while in the buffer
  size_t last_bytes_ = 0;
};

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
          return run::defect(run::Defect::colours);
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

namespace {

// Whether deflate would gain on these bytes: the entropy of every 16th byte, one at a time (a
// cheap look: most data that packs does so byte by byte too).
bool packs(const unsigned char* p, size_t n) {
  constexpr size_t step = 16;
  uint64_t count[256] = {};
  size_t taken = 0;
  for (size_t i = 0; i < n; i += step, ++taken) ++count[p[i]];
  double bits = 0;
  for (const uint64_t c : count) {
    if (c)
      bits -=
          static_cast<double>(c) * std::log2(static_cast<double>(c) / static_cast<double>(taken));
  }
  return taken == 0 || bits / static_cast<double>(taken) < packing_entropy;
}

// An 8-bit palette PNG, its IDAT stream deflated here a band at a time. The record's tEXt chunk
// comes before the pixels, its text sized by the `room` record and padded with spaces; the final
// record, known after the last row, is written over it.
class PngWriter : public PictureWriter {
 public:
  PngWriter(files::Sink& out, int32_t w, int32_t h, const Palette& pal, const carrier::Record* room)
      : out_(out), w_(w), h_(h), pal_(pal), text_(room ? carrier::record_text(*room).size() : 0) {}
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;
  ~PngWriter() override {
    if (started_) deflateEnd(&z_);
  }

  run::Fault begin() override {
    std::vector<unsigned char> head(signature, signature + sizeof signature);
    unsigned char ihdr[13];
    put_be32(ihdr, static_cast<uint32_t>(w_));
    put_be32(ihdr + 4, static_cast<uint32_t>(h_));
    const unsigned char rest[5] = {8, 3, 0, 0,
                                   0};  // 8 bits, palette, deflate, no filter, no interlace
    std::memcpy(ihdr + 8, rest, sizeof rest);
    chunk(head, "IHDR", ihdr, sizeof ihdr);
    plte_at_ = head.size();
    Fields plte;
    plte.colours(pal_, false);
    chunk(head, "PLTE", plte.bytes);
    if (text_) {
      text_at_ = head.size();
      chunk(head, "tEXt", text_chunk(std::string(text_, ' ')));
    }
    if (deflateInit(&z_, compression_level) != Z_OK) return run::system_fault(ENOMEM);
    started_ = true;
    out_buffer_.resize(idat_bytes);
    z_.next_out = out_buffer_.data();
    z_.avail_out = static_cast<uInt>(out_buffer_.size());
    return out_.write(head.data(), head.size());
  }

  run::Fault rows(const unsigned char* pixels, int32_t count) override {
    const auto w = static_cast<size_t>(w_);
    filtered_.resize((w + 1) * static_cast<size_t>(count));
    for (int32_t y = 0; y < count; ++y) {
      unsigned char* const to = filtered_.data() + (w + 1) * static_cast<size_t>(y);
      to[0] = 0;  // filter: none
      std::memcpy(to + 1, pixels + w * static_cast<size_t>(y), w);
    }
    const int level = packs(pixels, w * static_cast<size_t>(count)) ? compression_level : 0;
    while (level != level_) {
      const int e = deflateParams(&z_, level, Z_DEFAULT_STRATEGY);
      if (e == Z_OK) {
        level_ = level;
      } else if (e != Z_BUF_ERROR) {
        return run::system_fault(EIO);
      }
      if (const run::Fault f = emit(e == Z_BUF_ERROR)) return f;  // room for what it flushes
    }
    z_.next_in = filtered_.data();
    z_.avail_in = static_cast<uInt>(filtered_.size());
    while (z_.avail_in > 0) {
      if (deflate(&z_, Z_NO_FLUSH) == Z_STREAM_ERROR) return run::system_fault(EIO);
      if (const run::Fault f = emit(false)) return f;
    }
    return {};
  }

  run::Fault repaint(const Palette& pal) override {
    pal_ = pal;
    Fields plte;
    plte.colours(pal_, false);
    std::vector<unsigned char> whole;
    chunk(whole, "PLTE", plte.bytes);
    return out_.write_at(plte_at_, whole.data(), whole.size());
  }

  run::Fault finish(const carrier::Record* record) override {
    int e;
    do {
      e = deflate(&z_, Z_FINISH);
      if (e == Z_STREAM_ERROR) return run::system_fault(EIO);
      if (const run::Fault f = emit(e == Z_STREAM_END)) return f;
    } while (e != Z_STREAM_END);
    std::vector<unsigned char> end;
    chunk(end, "IEND", nullptr, 0);
    if (const run::Fault f = out_.write(end.data(), end.size())) return f;
    if (!record || !text_) return {};
    std::string text = carrier::record_text(*record);
    if (text.size() > text_) return unsupported();  // longer than its room
    text.resize(text_, ' ');
    const std::vector<unsigned char> tEXt = text_chunk(text);
    std::vector<unsigned char> whole;
    chunk(whole, "tEXt", tEXt.data(), tEXt.size());
    return out_.write_at(text_at_, whole.data(), whole.size());
  }

 private:
  static void put_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24), p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8), p[3] = static_cast<unsigned char>(v);
  }
  // A chunk appended to `to`: length, type, data, CRC of type and data.
  static void chunk(std::vector<unsigned char>& to, const char* type, const unsigned char* data,
                    size_t n) {
    unsigned char field[4];
    put_be32(field, static_cast<uint32_t>(n));
    to.insert(to.end(), field, field + 4);
    const size_t at = to.size();
    to.insert(to.end(), type, type + 4);
    if (n) to.insert(to.end(), data, data + n);
    put_be32(field, carrier::crc32(0, to.data() + at, n + 4));
    to.insert(to.end(), field, field + 4);
  }
  static void chunk(std::vector<unsigned char>& to, const char* type,
                    const std::vector<unsigned char>& data) {
    chunk(to, type, data.data(), data.size());
  }
  static std::vector<unsigned char> text_chunk(const std::string& text) {
    std::vector<unsigned char> data(record_keyword, record_keyword + sizeof record_keyword);
    data.insert(data.end(), text.begin(), text.end());  // keyword, 0, text
    return data;
  }

  // The deflated bytes in hand as an IDAT chunk, when the buffer is full or `all`.
  // Its length and type, the data where deflate left it, then the CRC: the data is not copied.
  run::Fault emit(bool all) {
    const size_t n = out_buffer_.size() - z_.avail_out;
    if (n == 0 || (!all && z_.avail_out > 0)) return {};
    unsigned char head[8], crc[4];
    put_be32(head, static_cast<uint32_t>(n));
    std::memcpy(head + 4, "IDAT", 4);
    put_be32(crc, carrier::crc32(carrier::crc32(0, head + 4, 4), out_buffer_.data(), n));
    z_.next_out = out_buffer_.data();
    z_.avail_out = static_cast<uInt>(out_buffer_.size());
    if (const run::Fault f = out_.write(head, sizeof head)) return f;
    if (const run::Fault f = out_.write(out_buffer_.data(), n)) return f;
    return out_.write(crc, sizeof crc);
  }

  files::Sink& out_;
  int32_t w_, h_;
  Palette pal_;
  size_t text_;           // the record's room in the tEXt chunk, 0 for none
  uint64_t text_at_ = 0;  // where that chunk starts
  uint64_t plte_at_ = 0;  // where the PLTE chunk starts
  z_stream z_{};
  bool started_ = false;
  int level_ = compression_level;
  std::vector<unsigned char> filtered_, out_buffer_;
};

}  // namespace

std::unique_ptr<PictureWriter> write_png(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room) {
  return std::make_unique<PngWriter>(out, w, h, pal, room);
}

}  // namespace formats
