// Reading and writing pictures: one module per container (bmp.cpp, tga.cpp, pcx.cpp, png.cpp,
// lbm.cpp), each holding that container's reader and writer (LBM: a reader only, since the
// encoder never writes it) and saying its header once.
//
// Readers take the file's bytes from an Input, check every length, offset and count before
// using it, and refuse, with the reason, what they cannot read completely: a file that ends
// early, data that would write outside the picture, a variant they do not know, a size past the
// library's int limit. They make the picture in one pass:
//   indexed pictures   8 bits per pixel, each pixel its palette index;
//   grey pictures      8 bits per pixel, each pixel its level scaled to 8 bits;
//   true colour        32 bits per pixel (makecol32's layout), which read_picture reduces to 8
//                      bits exactly as the library's load_bitmap does (an optimised palette,
//                      then a blit through its colour table).
// Pixels that a run-length picture skips are 0.
//
// Writers put an 8-bit picture, its palette and the carrier's record into a files::SafeOutput, so
// every failed write keeps its errno. Without the record, the BMP, TGA and PCX writers give, byte
// for byte, what the library's save_bmp, save_tga and save_pcx write for the same picture and
// palette; the record changes only its own bytes and the fields that count them.
#ifndef COMMON_FORMATS_FORMATS_H
#define COMMON_FORMATS_FORMATS_H

#include <allegro.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "carrier.h"
#include <memory>
#include "run.h"

namespace files {
class SafeOutput;
}

namespace formats {

// An owned library bitmap.
struct BitmapDeleter {
  void operator()(BITMAP* b) const { destroy_bitmap(b); }
};
using Bitmap = std::unique_ptr<BITMAP, BitmapDeleter>;

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
  friend run::Fault new_image(int depth, int64_t w, int64_t h, Image& out, bool whole);
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

// Starts the library, once per process. With `screen`, the system driver that a display needs
// (the front end then opens the screen and sets 8-bit pictures itself); without, the image and
// file routines alone, for 8-bit pictures (tests, benchmarks, fuzzing). False when it cannot.
bool start_library(bool screen);

// The bytes of a picture file, served in large blocks from an open file (read from its current
// offset on) or from memory. Every read is checked: a read past the end sets the fault to
// Defect::truncated, a failed system call to its errno, and from then on every read fails.
class Input {
 public:
  explicit Input(int fd);
  Input(const unsigned char* data, size_t size);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Copies the next n bytes to `to`.
  bool read(void* to, size_t n);
  // Passes over the next n bytes.
  bool skip(uint64_t n);
  // The next byte, or -1 when there is none.
  int get() {
    if (next_ < end_) return *next_++;
    return get_slow();
  }
  // The bytes in hand, [p, end), refilled when there are none: for decoders that loop on local
  // pointers. They hand back how far they took with taken(). False (with the fault set) when
  // the file has no more.
  bool block(const unsigned char*& p, const unsigned char*& end) {
    if (next_ == end_ && !refill()) {
      fail(run::defect(run::Defect::truncated));
      return false;
    }
    p = next_;
    end = end_;
    return true;
  }
  void taken(const unsigned char* p) { next_ = p; }

  // Bytes taken so far.
  uint64_t offset() const { return consumed_ + static_cast<uint64_t>(next_ - begin_); }
  // The whole file's size in bytes (for a file, as fstat gave it when the Input was made).
  uint64_t size() const { return size_; }
  // Bytes left from the current offset to the end (0 past it).
  uint64_t remaining() const { return size_ > offset() ? size_ - offset() : 0; }

  const run::Fault& fault() const { return fault_; }
  // Records a fault found by the reader (the first one stays).
  run::Fault fail(run::Fault f) {
    if (!fault_) fault_ = f;
    return fault_;
  }

 private:
  int get_slow();
  bool refill();

  int fd_ = -1;
  std::vector<unsigned char> buffer_;
  const unsigned char* begin_ = nullptr;  // the bytes in hand
  const unsigned char* next_ = nullptr;
  const unsigned char* end_ = nullptr;
  uint64_t consumed_ = 0;  // bytes before begin_
  uint64_t size_ = 0;
  run::Fault fault_;
};

// Little-endian and big-endian fields of a header already read into memory.
inline uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8u); }
inline uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8u) | (p[2] << 16u) | (uint32_t{p[3]} << 24u);
}

// A header being written, little-endian.
struct Header {
  std::vector<unsigned char> bytes;
  void u8(unsigned v) { bytes.push_back(static_cast<unsigned char>(v)); }
  void le16(unsigned v) { u8(v & 0xFF), u8((v >> 8) & 0xFF); }
  void le32(uint32_t v) { le16(v & 0xFFFF), le16(v >> 16); }
};

// A new picture of `depth` bits per pixel (8 or 32), all 0. `whole`: the caller will write every
// pixel, so the system may back it with huge pages. Refuses sizes below 1 and pictures whose
// bytes (w * h * depth / 8) do not fit an int, as the library needs; ENOMEM when it cannot be
// had.
run::Fault new_image(int depth, int64_t w, int64_t h, Image& out, bool whole);

// A picture that needs more bytes than the rest of its file holds is refused before it is
// allocated: as too large past max(16 Mi, 256 x the file's bytes) pixels (more than run-length
// data of that size can describe), as cut short below that.
run::Fault short_of_data(uint64_t pixels, uint64_t file_size);

// What read_picture makes.
struct Picture {
  Image image;               // 8 bits per pixel
  bool true_colour = false;  // reduced from true colour: the bytes are not a kept file
  carrier::Mark mark;        // what the record's place held (carrier.h)
};

// Reduces a 32-bit picture to 8 bits as the library's load_bitmap does: a palette optimised for
// the picture (starting cleared, so the same picture always gives the same bytes), its colour
// table, and a blit through it.
run::Fault reduce_to_eight_bits(Image& image);

// Reads a picture in container `c` from `in`.
run::Fault read_picture(carrier::Container c, Input& in, Picture& out);

// Writes the 8-bit picture `image` with palette `pal` (the library's 6-bit entries) to `out` in
// container `c`, with `record` in its place when there is one. Nothing is committed: the caller
// commits or abandons `out`.
run::Fault write_picture(carrier::Container c, files::SafeOutput& out, const Image& image,
                         const RGB* pal, const carrier::Record* record);

// One reader and one writer per container. A reader sets `out` to an 8-bit or a 32-bit picture,
// and `mark` to what the record's place holds. Without a record a writer gives the bytes that
// the library's saver would.
run::Fault read_bmp(Input& in, Image& out, carrier::Mark& mark);
run::Fault read_tga(Input& in, Image& out, carrier::Mark& mark);
run::Fault read_pcx(Input& in, Image& out, carrier::Mark& mark);
run::Fault read_png(Input& in, Image& out, carrier::Mark& mark);
run::Fault read_lbm(Input& in, Image& out, carrier::Mark& mark);  // the mark stays none
run::Fault write_bmp(files::SafeOutput& out, const Image& image, const RGB* pal,
                     const carrier::Record* record);
run::Fault write_tga(files::SafeOutput& out, const Image& image, const RGB* pal,
                     const carrier::Record* record);
run::Fault write_pcx(files::SafeOutput& out, const Image& image, const RGB* pal,
                     const carrier::Record* record);
run::Fault write_png(files::SafeOutput& out, const Image& image, const RGB* pal,
                     const carrier::Record* record);

// A 6-bit palette entry as the 8-bit value the library's writers store.
inline unsigned char scale_6(unsigned v) { return static_cast<unsigned char>(_rgb_scale_6[v & 63]); }

// A true-colour pixel in makecol32's layout.
inline uint32_t rgb32(unsigned r, unsigned g, unsigned b) {
  return (r << _rgb_r_shift_32) | (g << _rgb_g_shift_32) | (b << _rgb_b_shift_32);
}

}  // namespace formats

#endif
