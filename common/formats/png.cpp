// PNG pictures: reader and writer, on libspng (zlib underneath).
//
// The file (all fields big-endian):
//   0   8  signature 89 50 4E 47 0D 0A 1A 0A
//   then chunks, each: 0 length (4, at most 2^31 - 1), 4 type (4 letters), 8 data, 8+length CRC (4)
//   of the type and data. The first chunk is IHDR, read here before the library sees the file:
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
//   first chunk not a 13-byte IHDR, width or height 0, bad CRC (any chunk), zlib errors
//   anywhere in the IDAT stream (it is inflated to its end and its Adler-32 checked), too few
//   rows, data after the last row (in the stream, or after its end), a stream that does not
//   end in the IDAT chunks, chunks out of order (PLTE after IDAT, no IDAT, no PLTE for a
//   palette picture...), a PLTE of more entries than the bit depth can index        damaged
//   the file ends before IEND                                      truncated
//   width or height past 2^31 - 1, w * h * bytes per pixel past INT_MAX, more filtered rows than
//   deflate could pack into the file (1032 bytes per byte at best): before allocating; an
//   ancillary chunk past the memory limits below                   too_large
// Broken ancillary chunks (gAMA, tRNS, text...) are passed over: the pixels do not need them.
#include <spng.h>
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

// Ancillary chunks the library keeps in memory (text, ICC profile...): none of them matter to
// a carrier, so a hostile file gets little memory out of them. The pixel data is streamed.
constexpr size_t chunk_limit = size_t{1} << 20;
constexpr size_t chunk_cache_limit = size_t{8} << 20;

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

struct ContextFree {
  void operator()(spng_ctx* c) const { spng_ctx_free(c); }
};
using Context = std::unique_ptr<spng_ctx, ContextFree>;

// Earlier carriers' record chunk: ancillary, private, not safe to copy.
constexpr unsigned char record_chunk[4] = {'z', 'o', 'R', 'O'};
// The keyword of the text chunk that holds the record: kept by image tools, which may write it
// in lower case.
constexpr char record_keyword[] = "Comment";

// The whole zlib stream of the IDAT chunks, inflated to its end. The library stops inflating
// once it has the last row, so this second pass is what checks the rest: the stream's end, its
// Adler-32, and that nothing follows the last row, in the stream or after it.
class StreamCheck {
 public:
  explicit StreamCheck(uint64_t expected) : expected_(expected) {}
  StreamCheck(const StreamCheck&) = delete;
  StreamCheck& operator=(const StreamCheck&) = delete;
  ~StreamCheck() {
    if (started_) inflateEnd(&z_);
  }

  // The next bytes of IDAT data.
  void feed(const unsigned char* p, size_t n) {
    if (fault_ || n == 0) return;
    if (ended_) return fail(run::Defect::damaged);  // data after the stream's end
    if (!started_) {
      if (inflateInit(&z_) != Z_OK) return fail(ENOMEM);
      started_ = true;
    }
    z_.next_in = const_cast<unsigned char*>(p);
    z_.avail_in = static_cast<uInt>(n);
    while (z_.avail_in > 0 && !ended_) {
      z_.next_out = scratch_;
      z_.avail_out = sizeof scratch_;
      const int e = inflate(&z_, Z_NO_FLUSH);
      if (e == Z_MEM_ERROR) return fail(ENOMEM);
      if (e != Z_OK && e != Z_STREAM_END && e != Z_BUF_ERROR) return fail(run::Defect::damaged);
      if (z_.total_out > expected_) return fail(run::Defect::damaged);  // more than the rows
      ended_ = e == Z_STREAM_END;
    }
    if (z_.avail_in > 0) fail(run::Defect::damaged);
  }

  // Once the last IDAT chunk has passed: the stream ended, exactly after the last row.
  run::Fault verdict() const {
    if (fault_) return fault_;
    if (!ended_ || z_.total_out != expected_) return damaged();
    return {};
  }

 private:
  void fail(run::Defect d) { fault_ = run::defect(d); }
  void fail(int error) { fault_ = run::system_fault(error); }

  uint64_t expected_;
  z_stream z_{};
  bool started_ = false, ended_ = false;
  run::Fault fault_;
  unsigned char scratch_[1 << 15];
};

// The header, already read and checked, then the rest of the file from the Input. The chunks
// that pass to the library are followed here: each chunk's CRC is checked here (the library is
// told to trust them: its CRC is zlib's, several times slower), and so are the carrier's record
// chunks and the IDAT stream.
struct Source {
  Source(Input& input, uint64_t inflated) : in(input), stream(inflated) {}

  Input& in;
  run::Fault read_fault;  // why the library's last read failed
  unsigned char header[header_size] = {};
  size_t header_left = header_size;

  uint64_t skip = sizeof signature;  // bytes before the next chunk's length and type
  uint64_t data = 0;                 // of those, the chunk's data (the rest is its CRC)
  unsigned char head[8] = {};        // the next chunk's length and type, as they come
  size_t head_got = 0;
  bool idat = false;             // the chunk is an IDAT
  bool chunk = false;            // past the signature: the bytes skipped are a chunk's
  uint32_t crc = 0;              // of the chunk's type and data so far
  unsigned char stored[4] = {};  // the chunk's CRC, as it comes
  bool crc_wrong = false;        // a chunk's CRC does not match it
  uint64_t capture = 0;          // bytes of a record chunk's data still to keep
  int records = 0;
  unsigned char record[carrier::record_size + 1] = {};
  size_t record_got = 0;
  StreamCheck stream;

  void watch(const unsigned char* p, size_t n) {
    while (n > 0) {
      if (skip == 0) {
        const size_t take = std::min(n, sizeof head - head_got);
        std::memcpy(head + head_got, p, take);
        head_got += take, p += take, n -= take;
        if (head_got < sizeof head) return;
        head_got = 0;
        const uint32_t length = be32(head);
        data = length;
        skip = uint64_t{length} + 4;  // the data and the CRC
        idat = std::memcmp(head + 4, "IDAT", 4) == 0;
        crc = carrier::crc32(0, head + 4, 4);
        chunk = true;
        if (std::memcmp(head + 4, record_chunk, 4) == 0 && ++records == 1) {
          capture = std::min<uint64_t>(length, sizeof record);
        }
        continue;
      }
      const size_t take = static_cast<size_t>(std::min<uint64_t>(n, skip));
      const size_t kept = static_cast<size_t>(std::min<uint64_t>(take, capture));
      std::memcpy(record + record_got, p, kept);
      record_got += kept, capture -= kept;
      const size_t of_data = static_cast<size_t>(std::min<uint64_t>(take, data));
      if (idat) stream.feed(p, of_data);
      if (chunk) {
        crc = carrier::crc32(crc, p, of_data);
        for (size_t i = of_data; i < take; ++i) stored[4 - (skip - i)] = p[i];  // the CRC's bytes
      }
      data -= of_data;
      skip -= take, p += take, n -= take;
      if (chunk && skip == 0 && be32(stored) != crc) crc_wrong = true;
    }
  }

  carrier::Mark mark() const {
    if (records > 1) return carrier::Mark{carrier::Mark::broken, {}};
    return records == 1 ? carrier::read_mark(record, record_got) : carrier::Mark{};
  }
};

int read_source(spng_ctx*, void* user, void* to, size_t n) {
  auto& s = *static_cast<Source*>(user);
  auto* out = static_cast<unsigned char*>(to);
  const size_t asked = n;
  if (s.header_left > 0) {
    const size_t take = n < s.header_left ? n : s.header_left;
    std::memcpy(out, s.header + (header_size - s.header_left), take);
    s.header_left -= take;
    out += take;
    n -= take;
  }
  if (n > 0) {
    s.read_fault = s.in.read(out, n);
    if (s.read_fault) return SPNG_IO_EOF;
  }
  s.watch(static_cast<unsigned char*>(to), asked);
  if (s.crc_wrong) {
    s.read_fault = damaged();
    return SPNG_IO_ERROR;
  }
  return 0;
}

// A library error as a refusal. A failed read has its own reason.
run::Fault refusal(int error, const Source& source) {
  if (source.read_fault) return source.read_fault;
  switch (error) {
    case SPNG_EMEM: return run::system_fault(ENOMEM);
    case SPNG_ECHUNK_UNKNOWN_CRITICAL: return unsupported();
    case SPNG_ECHUNK_LIMITS:
    case SPNG_EUSER_WIDTH:
    case SPNG_EUSER_HEIGHT:
    case SPNG_EOVERFLOW: return too_large();
    default: return damaged();
  }
}

// How the samples of a row are laid out and what they become.
struct Layout {
  unsigned colour_type;
  unsigned depth;     // bits per sample
  unsigned channels;  // samples per pixel
  bool true_colour() const { return colour_type == 2 || colour_type == 6; }
  // Rows whose bytes are already the picture's bytes: decoded straight into it.
  bool direct() const { return depth == 8 && (colour_type == 0 || colour_type == 3); }
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
void convert_row(const Layout& l, const unsigned char* src, unsigned char* line, int w,
                 bool& translucent) {
  if (l.true_colour()) {
    auto* to = reinterpret_cast<uint32_t*>(line);
    const unsigned step = l.channels * (l.depth / 8);
    const bool alpha = l.channels == 4;
    if (l.depth == 8) {
      for (int x = 0; x < w; ++x, src += step) {
        to[x] = rgb32(src[0], src[1], src[2]);
        translucent |= alpha && src[3] != 0xFF;
      }
    } else {
      for (int x = 0; x < w; ++x, src += step) {
        to[x] = rgb32(level8(src), level8(src + 2), level8(src + 4));
        translucent |= alpha && (src[6] & src[7]) != 0xFF;
      }
    }
    return;
  }
  unsigned char* to = line;
  if (l.depth < 8) {
    // Packed samples, high bits first; grey levels spread over 0..255.
    const unsigned per_byte = 8 / l.depth, mask = (1u << l.depth) - 1;
    const unsigned scale = l.colour_type == 0 ? 255 / mask : 1;
    for (int x = 0; x < w; ++x) {
      const unsigned shift = 8 - l.depth * (x % per_byte + 1);
      to[x] = static_cast<unsigned char>(((src[x / per_byte] >> shift) & mask) * scale);
    }
  } else if (l.depth == 8) {  // grey + alpha
    for (int x = 0; x < w; ++x) to[x] = src[x * l.channels];
  } else {  // grey, or grey + alpha, 16 bits
    const unsigned step = 2 * l.channels;
    for (int x = 0; x < w; ++x, src += step) to[x] = level8(src);
  }
}

// The bytes of the filtered rows the IDAT stream holds: per row a filter byte and its samples;
// interlaced, the rows of each of the seven passes that has any pixel.
uint64_t filtered_bytes(const Layout& l, uint64_t w, uint64_t h, bool interlaced) {
  const auto rows_of = [&](uint64_t pw, uint64_t ph) {
    return pw == 0 || ph == 0 ? 0 : ph * (1 + (pw * l.channels * l.depth + 7) / 8);
  };
  if (!interlaced) return rows_of(w, h);
  static constexpr unsigned x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
  static constexpr unsigned dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
  uint64_t total = 0;
  for (int p = 0; p < 7; ++p) {
    total += rows_of(w > x0[p] ? (w - x0[p] + dx[p] - 1) / dx[p] : 0,
                     h > y0[p] ? (h - y0[p] + dy[p] - 1) / dy[p] : 0);
  }
  return total;
}

// What the record's places hold: the zoRO chunks' mark and every comment's that starts with the
// tag. Several are one record only when they all are whole and say the same.
carrier::Mark record_mark(spng_ctx* c, const carrier::Mark& chunk) {
  std::vector<carrier::Mark> marks;
  if (chunk.state != carrier::Mark::none) marks.push_back(chunk);
  uint32_t n = 0;
  if (spng_get_text(c, nullptr, &n) == 0 && n > 0) {
    std::vector<spng_text> texts(n);
    if (spng_get_text(c, texts.data(), &n) == 0) {
      for (uint32_t i = 0; i < n; ++i) {
        if (strcasecmp(texts[i].keyword, record_keyword) != 0 || !texts[i].text) continue;
        const carrier::Mark m = carrier::read_mark(
            reinterpret_cast<const unsigned char*>(texts[i].text), texts[i].length);
        if (m.state != carrier::Mark::none) marks.push_back(m);
      }
    }
  }
  if (marks.empty()) return {};
  for (const carrier::Mark& m : marks) {
    if (m.state != carrier::Mark::whole || m.record.length != marks[0].record.length ||
        m.record.crc != marks[0].record.crc) {
      return carrier::Mark{carrier::Mark::broken, {}};
    }
  }
  return marks[0];
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
  const uint64_t row_bytes = (uint64_t{w} * layout.channels * layout.depth + 7) / 8;
  const uint64_t inflated = filtered_bytes(layout, w, h, interlaced);
  // Every pixel when deflate can pack their filtered rows into the file's bytes, none when not.
  const Reach reach{inflated <= deflate_ratio * in.size() ? uint64_t{w} * h : 0, in.size()};
  Image image;  // every row is written
  std::unique_ptr<Bands> bands;
  if (to) {
    if (interlaced || depth != 8) return {};  // read whole
    if (const run::Fault f = check_streamed(w, h, reach)) return f;
    *streamed = true;
    if (const run::Fault f = to->start(static_cast<int32_t>(w), static_cast<int32_t>(h))) return f;
    bands = std::make_unique<Bands>(*to, static_cast<int32_t>(w), static_cast<int32_t>(h));
  } else if (const run::Fault f = new_image(depth, w, h, reach, image, true)) {
    return f;
  }

  Source source(in, inflated);
  std::memcpy(source.header, header, header_size);

  // The stream's Adler-32 is checked by the second pass (StreamCheck), the chunks' CRCs here.
  Context ctx(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
  if (!ctx) return run::system_fault(ENOMEM);
  spng_ctx* const c = ctx.get();
  int e = spng_set_png_stream(c, read_source, &source);
  if (!e) e = spng_set_image_limits(c, INT_MAX, INT_MAX);
  if (!e) e = spng_set_chunk_limits(c, chunk_limit, chunk_cache_limit);
  if (!e) e = spng_set_crc_action(c, SPNG_CRC_USE, SPNG_CRC_USE);
  if (!e) e = spng_decode_image(c, nullptr, 0, SPNG_FMT_RAW, SPNG_DECODE_PROGRESSIVE);
  if (e) return refusal(e, source);

  // Rows that need converting go through one row, or, interlaced, the whole image (each pass
  // fills in part of every row, so no row is complete before the last pass).
  std::vector<unsigned char> rows;
  if (!layout.direct()) {
    try {
      rows.resize(static_cast<size_t>(row_bytes * (interlaced ? h : 1)));
    } catch (const std::bad_alloc&) {
      return run::system_fault(ENOMEM);
    }
  }
  spng_row_info row{};
  do {
    e = spng_get_row_info(c, &row);
    if (e) break;
    const int y = static_cast<int>(row.row_num);
    unsigned char* const line = bands ? bands->row(y) : image.row(y);
    unsigned char* const into = layout.direct() ? line
                                : interlaced    ? rows.data() + row_bytes * y
                                                : rows.data();
    e = spng_decode_row(c, into, static_cast<size_t>(row_bytes));
    if (e && e != SPNG_EOI) break;
    if (!layout.direct() && !interlaced) {
      convert_row(layout, rows.data(), line, static_cast<int>(w), found.translucent);
    }
    if (bands) {
      if (const run::Fault f = bands->done(y)) return f;
    }
  } while (!e);
  if (e != SPNG_EOI) return refusal(e, source);
  // The chunks after the pixels, up to IEND, with their CRCs; then the rest of the stream.
  if ((e = spng_decode_chunks(c)) != 0) return refusal(e, source);
  if (const run::Fault f = source.stream.verdict()) return f;
  if (!layout.direct() && interlaced) {
    for (uint32_t y = 0; y < h; ++y) {
      convert_row(layout, rows.data() + row_bytes * y, image.row(static_cast<int>(y)),
                  static_cast<int>(w), found.translucent);
    }
  }
  if (layout.colour_type == 3) {
    spng_plte plte{};
    if (spng_get_plte(c, &plte) == 0) {
      found.palette_levels(&plte.entries[0].red, plte.n_entries, sizeof plte.entries[0], 0, 2);
    }
  }
  out = std::move(image);
  found.mark = record_mark(c, source.mark());
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
