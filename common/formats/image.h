// A picture in memory, the one size check before any is allocated (or before its rows are
// handed on), and what makes a true-colour picture 8-bit.
#ifndef COMMON_FORMATS_IMAGE_H
#define COMMON_FORMATS_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "carrier.h"
#include "run.h"

// The library's bitmap: only pointers to it here (image.cpp has the library's header).
struct BITMAP;

namespace formats {

// An owned library bitmap.
struct BitmapDeleter {
  void operator()(BITMAP* b) const;
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
// 1 byte a pixel (depth 8) or 4 (depth 32, makecol32's layout: rgb32.h). A row is found by its
// number: there is no per-row structure, which in a narrow, tall picture would outweigh the pixels.
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

// A 32-bit picture whose every pixel is opaque and stands for a level (carrier::level_of), as an
// 8-bit picture of its levels, the check's bits shown to `shown`: a carrier that a tool turned
// into true colour. False, and `image` and `shown` as they were, for any other.
bool grey_levels(Image& image, bool translucent, carrier::Shown& shown);

// Reduces a 32-bit picture to 8 bits as the library's load_bitmap does: a palette optimised for
// the picture (starting cleared, so the same picture always gives the same bytes), its colour
// table, and a blit through it.
run::Fault reduce_to_eight_bits(Image& image);

}  // namespace formats

#endif
