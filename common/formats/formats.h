// Reading and writing pictures: one module per container (bmp.cpp, tga.cpp, pcx.cpp, png.cpp,
// lbm.cpp), each holding that container's reader and writer (LBM: a reader only, since the
// encoder never writes it) and saying its header once.
//
// The containers are one table (Container, below): its name, extension, the most rows and
// columns it holds, its reader and its writer. Every choice of container is a look-up in it.
//
// Readers take the file's bytes from an Input, check every length, offset and count before
// using it, and refuse, with the reason, what they cannot read completely: a file that ends
// early, data that would write outside the picture, a variant they do not know, a size past the
// library's int limit (new_image checks sizes, once, before any picture is allocated). They
// make the picture in one pass:
//   indexed pictures   8 bits per pixel, each pixel its palette index;
//   grey pictures      8 bits per pixel, each pixel its level scaled to 8 bits;
//   true colour        32 bits per pixel (makecol32's layout), which read_picture reduces to 8
//                      bits exactly as the library's load_bitmap does (an optimised palette,
//                      then a blit through its colour table).
// Pixels that a run-length picture skips are 0.
//
// Beside the pixels, a reader reports what the record's place holds and, for an indexed picture,
// the grey level of each palette entry (the carrier's palette is grey: a tool may re-order it),
// and whether a true-colour picture has a pixel that is not opaque.
//
// Writers put an 8-bit picture, its palette and the carrier's record into a files::Sink (the
// programs' is a SafeOutput), and every failed write returns its reason. Without the record and
// given the library's palette (from_library), the BMP and PCX writers give, byte for byte, what
// the library's save_bmp and save_pcx write for the same picture; the record changes only its own
// bytes and the fields that count them. TGA carriers are written top to bottom, which every reader
// tried reads right (and image tools keep so).
#ifndef COMMON_FORMATS_FORMATS_H
#define COMMON_FORMATS_FORMATS_H

#include <allegro.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "carrier.h"
#include "files.h"
#include "run.h"

namespace formats {

// An owned library bitmap.
struct BitmapDeleter {
  void operator()(BITMAP* b) const { destroy_bitmap(b); }
};
using Bitmap = std::unique_ptr<BITMAP, BitmapDeleter>;

// How many pixels the rest of a picture's file can describe at most, by the container's densest
// coding, and the file's size.
struct Reach {
  uint64_t pixels;
  uint64_t file_size;
};
// For a picture that no file bounds.
constexpr Reach unbounded{UINT64_MAX, 0};
// The most pixels that run-length data of a file this size could describe, skipping at no
// cost: max(16 Mi, 256 x its bytes).
uint64_t run_length_reach(uint64_t file_size);

// A picture in memory: h rows of w pixels, top to bottom, each row right after the one before,
// 1 byte a pixel (depth 8) or 4 (depth 32, makecol32's layout). A row is found by its number:
// there is no per-row structure, which in a narrow, tall picture would outweigh the pixels.
// 8-bit pixels come zeroed from the system, so those a reader never writes cost no memory;
// 32-bit ones lie in a library bitmap one row high (w * h wide), which the library's colour
// routines take whole.
class Image {
 public:
  int32_t w() const { return w_; }
  int32_t h() const { return h_; }
  int depth() const { return depth_; }
  explicit operator bool() const { return base_ != nullptr; }
  unsigned char* row(int32_t y) const {
    return base_ + static_cast<size_t>(y) * static_cast<size_t>(w_) * (depth_ / 8);
  }
  // The pixels as the carrier's rule reads them (carrier.h).
  carrier::Rows rows() const { return carrier::Rows{base_, w_, h_}; }

 private:
  friend run::Fault new_image(int depth, int64_t w, int64_t h, Reach reach, Image& out, bool whole);
  // new_image's checks alone, for a picture whose rows are handed on rather than kept.
  run::Fault check_size(int depth, int64_t w, int64_t h, Reach reach);

  // Rows handed on a band at a time: about 1 MiB of them, and at least one.
  int32_t band_rows(uint64_t row_bytes, int32_t h);
  friend run::Fault reduce_to_eight_bits(Image& image);
  struct Free {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char, Free> memory_;  // 8 bits
  Bitmap bitmap_;                                // 32 bits, or 8 reduced from them
  unsigned char* base_ = nullptr;
  int32_t w_ = 0, h_ = 0;
  int depth_ = 8;
};

// The bytes of a picture file, served in large blocks from an open file (read from its current
// offset on) or from memory. Every read returns a Fault: Defect::truncated past the end, a
// failed system call's errno.
class Input {
 public:
  explicit Input(int fd);
  Input(const unsigned char* data, size_t size);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Copies the next n bytes to `to`.
  run::Fault read(void* to, size_t n);
  // Passes over the next n bytes.
  run::Fault skip(uint64_t n);
  // The next byte.
  run::Fault get(int& byte) {
    if (next_ == end_) return get_slow(byte);
    byte = *next_++;
    return {};
  }
  // The bytes in hand, [p, end), refilled when there are none: for decoders that loop on local
  // pointers. They hand back how far they took with taken().
  run::Fault block(const unsigned char*& p, const unsigned char*& end) {
    if (next_ == end_) {
      if (const run::Fault f = refill()) return f;
    }
    p = next_;
    end = end_;
    return {};
  }
  void taken(const unsigned char* p) { next_ = p; }

  // Goes to `offset` bytes from where the Input began: a reader reads rows out of the file's
  // order, or starts again.
  run::Fault seek(uint64_t offset);

  // Bytes taken so far.
  uint64_t offset() const { return consumed_ + static_cast<uint64_t>(next_ - begin_); }
  // The whole file's size in bytes (for a file, as fstat gave it when the Input was made).
  uint64_t size() const { return size_; }
  // Bytes left from the current offset to the end (0 past it).
  uint64_t remaining() const { return size_ > offset() ? size_ - offset() : 0; }

 private:
  run::Fault get_slow(int& byte);
  // New bytes in hand, or why there are none.
  run::Fault refill();

  int fd_ = -1;
  off_t start_ = 0;  // the file's offset where the Input began
  int error_ = 0;    // fstat's, when it failed: the first refill gives it
  std::vector<unsigned char> buffer_;
  const unsigned char* data_ = nullptr;   // an Input from memory: its bytes
  const unsigned char* begin_ = nullptr;  // the bytes in hand
  const unsigned char* next_ = nullptr;
  const unsigned char* end_ = nullptr;
  uint64_t consumed_ = 0;  // bytes before begin_
  uint64_t size_ = 0;
};

// The defects a reader refuses a picture with.
inline run::Fault damaged() { return run::defect(run::Defect::damaged); }
inline run::Fault unsupported() { return run::defect(run::Defect::unsupported); }
inline run::Fault truncated() { return run::defect(run::Defect::truncated); }
inline run::Fault too_large() { return run::defect(run::Defect::too_large); }

// Little-endian and big-endian fields of a header already read into memory.
inline uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8u); }
inline uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8u) | (p[2] << 16u) | (uint32_t{p[3]} << 24u);
}
inline uint32_t be16(const unsigned char* p) { return uint32_t{p[0]} << 8u | p[1]; }
inline uint32_t be32(const unsigned char* p) {
  return uint32_t{p[0]} << 24u | uint32_t{p[1]} << 16u | uint32_t{p[2]} << 8u | p[3];
}

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

// The carrier's palette: index i is (i, i, i).
const Palette& grey_palette();
// The library's 6-bit palette as its own writers store it.
Palette from_library(const RGB* pal);

// What a reader learns beside the pixels.
struct Found {
  carrier::Mark mark;  // what the record's place held (carrier.h)
  // For an indexed picture, 256 entries: the grey level of each index's palette entry, -1 where
  // the entry is missing or not grey. Empty for other pictures.
  std::vector<int16_t> levels;
  bool translucent = false;  // true colour with a pixel that is not fully opaque
  // An indexed picture's levels from its palette's first `n` entries (r, g, b each, `step` bytes
  // apart, the red at `red`, green at 1, blue at `blue`), from entry `first` on.
  void palette_levels(const unsigned char* entries, size_t n, size_t step, size_t red, size_t blue,
                      size_t first = 0);
};

// A new picture of `depth` bits per pixel (8 or 32), all 0: the one size check before every
// picture is allocated. Refused: a size below 1 (damaged); w * h * depth / 8 bytes past an int,
// as the library needs, or more pixels than run_length_reach of the file's size, the ceiling
// of a picture held whole (too large); more pixels than `reach` (cut short). ENOMEM when it cannot
// be had. `whole`: the caller will write every pixel, so the system may back it with huge pages.
run::Fault new_image(int depth, int64_t w, int64_t h, Reach reach, Image& out, bool whole);
// new_image's checks alone; and, for a picture whose rows are handed on rather than kept, all
// but the library's int limit.
run::Fault check_size(int depth, int64_t w, int64_t h, Reach reach);
run::Fault check_streamed(int64_t w, int64_t h, Reach reach);

// Rows handed on a band at a time: about 1 MiB of them, and at least one.
int32_t band_rows(uint64_t row_bytes, int32_t h);

// What read_picture makes.
struct Picture {
  Image image;                  // 8 bits per pixel
  bool true_colour = false;     // reduced from true colour: the bytes are not a kept file
  carrier::Mark mark;           // what the record's place held (carrier.h)
  std::vector<int16_t> levels;  // an indexed picture's grey levels (Found)
};

// A 32-bit picture whose every pixel is grey and opaque, as an 8-bit picture of its levels: a
// carrier that a tool turned into true colour. False, and `image` as it was, for any other.
bool grey_levels(Image& image, bool translucent);

// Reduces a 32-bit picture to 8 bits as the library's load_bitmap does: a palette optimised for
// the picture (starting cleared, so the same picture always gives the same bytes), its colour
// table, and a blit through it.
run::Fault reduce_to_eight_bits(Image& image);

// A reader sets `out` to an 8-bit or a 32-bit picture, and `found` to what it learnt beside.
using Reader = run::Fault (*)(Input& in, Image& out, Found& found);
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
  // After the last row: what follows the pixels, and `record` in its place when there is one.
  // Its length is at most the `room` record's that the writer was made with, which sized that
  // place.
  virtual run::Fault finish(const carrier::Record* record) = 0;
};

// A writer for a picture into `out`; `room` (null for none) sizes the record's place.
using Writer = std::unique_ptr<PictureWriter> (*)(files::Sink& out, int32_t w, int32_t h,
                                                  const Palette& pal, const carrier::Record* room);

// Takes a picture's rows, top to bottom, as a reader decodes them: the picture is never whole in
// memory.
class RowTaker {
 public:
  virtual ~RowTaker() = default;
  // Before the first row: the picture's size.
  virtual run::Fault start(int32_t w, int32_t h) = 0;
  // The next `count` rows (each pixel its index, or grey level), each w bytes, one after the
  // other.
  virtual run::Fault rows(const unsigned char* pixels, int32_t count) = 0;
};

// Rows a reader fills one after the other, top to bottom, handed on to a RowTaker a band at a
// time: row(r) is where row r goes, done(r) says it is complete.
class Bands {
 public:
  Bands(RowTaker& to, int32_t w, int32_t h);
  unsigned char* row(int32_t r) {
    return rows_.data() + static_cast<size_t>(r - top_) * static_cast<size_t>(w_);
  }
  run::Fault done(int32_t r);

 private:
  RowTaker& to_;
  int32_t w_, h_, band_, top_ = 0;
  std::vector<unsigned char> rows_;
};

// A reader that hands its rows on as it decodes them. `streamed` false (and no fault): the
// picture's rows cannot come in order without the whole picture (or its colours must be seen
// whole), nothing was handed on, and the Reader is the way.
using Streamer = run::Fault (*)(Input& in, RowTaker& to, Found& found, bool& streamed);

// A container: a row of the table.
struct Container {
  const char* name;       // upper case, for messages: "TGA"
  const char* extension;  // lower case, without the dot
  int32_t most_rows;      // what its fields hold (carrier.h); 0 for a container only read
  int32_t most_columns;
  Reader read;
  Streamer stream;  // null for a container whose pictures are read whole
  Writer write;     // null for a container only read
};

// The container a file name selects by its extension, ignoring case; null for none.
const Container* container_for(const std::string& name);

// Reads a picture in container `c` from `in`.
run::Fault read_picture(const Container& c, Input& in, Picture& out);

// Reads a picture in container `c` from `in`, handing its rows to `to` as they are decoded, and
// what the record's place holds to `mark`. `streamed` false: it must be read whole (`in` is back
// at its start, and nothing was handed on).
run::Fault stream_picture(const Container& c, Input& in, RowTaker& to, carrier::Mark& mark,
                          bool& streamed);

// A writer of a w x h picture in container `c`, or null (`fault` says why) for a picture the
// container cannot hold (more rows or columns than its fields take) or a container only read:
// Defect::unsupported.
std::unique_ptr<PictureWriter> writer_for(const Container& c, files::Sink& out, int32_t w,
                                          int32_t h, const Palette& pal,
                                          const carrier::Record* room, run::Fault& fault);

// Writes `image`, whole, in container `c` (see PictureWriter); not 8 bits: Defect::unsupported.
// Nothing is committed: the caller commits `out`, or drops it.
run::Fault write_picture(const Container& c, files::Sink& out, const Image& image,
                         const Palette& pal, const carrier::Record* record);

// The table's readers and writers, one module each (LBM: read only).
run::Fault read_bmp(Input& in, Image& out, Found& found);
run::Fault read_tga(Input& in, Image& out, Found& found);
run::Fault read_pcx(Input& in, Image& out, Found& found);
run::Fault read_png(Input& in, Image& out, Found& found);
run::Fault read_lbm(Input& in, Image& out, Found& found);  // no record, no levels
run::Fault stream_bmp(Input& in, RowTaker& to, Found& found, bool& streamed);
run::Fault stream_tga(Input& in, RowTaker& to, Found& found, bool& streamed);
run::Fault stream_pcx(Input& in, RowTaker& to, Found& found, bool& streamed);
run::Fault stream_png(Input& in, RowTaker& to, Found& found, bool& streamed);
run::Fault stream_lbm(Input& in, RowTaker& to, Found& found, bool& streamed);
std::unique_ptr<PictureWriter> write_bmp(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room);
std::unique_ptr<PictureWriter> write_tga(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room);
std::unique_ptr<PictureWriter> write_pcx(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room);
std::unique_ptr<PictureWriter> write_png(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room);

// A true-colour pixel in makecol32's layout.
inline uint32_t rgb32(unsigned r, unsigned g, unsigned b) {
  return (r << _rgb_r_shift_32) | (g << _rgb_g_shift_32) | (b << _rgb_b_shift_32);
}

}  // namespace formats

#endif
