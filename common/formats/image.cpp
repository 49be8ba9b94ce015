#include "image.h"

#include <allegro.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "input.h"
#include "reader.h"

namespace formats {

namespace {

// Asks the system to back [start, start + bytes) with huge pages, before anything touches it.
// Filling tens of MiB 4 KiB at a time takes a page fault each, and on a virtual machine these
// cost as much processor time as the conversion itself (60 MiB BMP, 2-core VM: 16,000 faults
// and 0.95 s of processor time without the advice, 1,400 faults and 0.50 s with it). Only
// advice: where huge pages are off or unavailable, nothing changes.
void advise_huge_pages(void* start, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t huge = uintptr_t{2} << 20;
  const auto first = reinterpret_cast<uintptr_t>(start);
  const uintptr_t from = (first + huge - 1) & ~(huge - 1);
  const uintptr_t to = (first + bytes) & ~(huge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)start;
  (void)bytes;
#endif
}

}  // namespace

void BitmapDeleter::operator()(BITMAP* b) const { destroy_bitmap(b); }

uint64_t run_length_reach(uint64_t file_size) {
  return std::max<uint64_t>(uint64_t{1} << 24, file_size * 256);
}

run::Fault check_size(int depth, int64_t w, int64_t h, Reach reach) {
  if (w < 1 || h < 1) return damaged();
  if (w > INT_MAX / h || w * h > INT_MAX / (depth / 8)) return too_large();
  // Held whole, a picture costs its pixels: past the ceiling, however densely its coding packs
  // them (a 1-bit PNG, a 1-plane LBM), it is refused.
  const bool bounded = reach.pixels != unbounded.pixels || reach.file_size != unbounded.file_size;
  if (bounded && static_cast<uint64_t>(w * h) > run_length_reach(reach.file_size)) {
    return too_large();
  }
  return check_streamed(w, h, reach);
}

run::Fault check_streamed(int64_t w, int64_t h, Reach reach) {
  if (w < 1 || h < 1 || w > INT32_MAX || h > INT32_MAX) return damaged();
  const auto pixels = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
  if (pixels > reach.pixels) {
    const bool far = pixels > run_length_reach(reach.file_size);
    return run::defect(far ? run::Defect::too_large : run::Defect::truncated);
  }
  return {};
}

run::Fault new_image(int depth, int64_t w, int64_t h, Reach reach, Image& out, bool whole) {
  out = Image{};
  if (const run::Fault f = check_size(depth, w, h, reach)) return f;
  const auto bytes = static_cast<size_t>(w * h * (depth / 8));
  if (depth == 8) {
    // calloc takes a large block straight from the system, whose pages are zero until written.
    out.memory_.reset(static_cast<unsigned char*>(std::calloc(bytes, 1)));
    out.base_ = out.memory_.get();
  } else {
    out.bitmap_.reset(create_bitmap_ex(depth, static_cast<int>(w * h), 1));
    if (out.bitmap_) out.base_ = out.bitmap_->line[0];
  }
  if (!out.base_) return run::system_fault(ENOMEM);
  if (whole) advise_huge_pages(out.base_, bytes);
  if (depth != 8) std::memset(out.base_, 0, bytes);
  out.w_ = static_cast<int32_t>(w);
  out.h_ = static_cast<int32_t>(h);
  out.depth_ = depth;
  return {};
}

bool grey_levels(Image& image, bool translucent, carrier::Shown& shown) {
  if (translucent) return false;
  const auto* const pixels = reinterpret_cast<const uint32_t*>(image.row(0));
  const size_t n = static_cast<size_t>(image.w()) * static_cast<size_t>(image.h());
  Image eight;
  if (new_image(8, image.w(), image.h(), unbounded, eight, true)) return false;
  carrier::Shown seen;
  if (!level_row(pixels, n, eight.row(0), seen)) return false;
  shown = seen;
  image = std::move(eight);
  return true;
}

run::Fault reduce_to_eight_bits(Image& image) {
  BITMAP* const wide = image.bitmap_.get();  // one row: the colours do not depend on the shape
  Bitmap eight(create_bitmap_ex(8, wide->w, 1));
  if (!eight) return run::system_fault(ENOMEM);
  PALETTE palette = {};
  generate_optimized_palette(wide, palette, nullptr);
  auto table = std::make_unique<RGB_MAP>();
  RGB_MAP* const previous = rgb_map;
  create_rgb_table(table.get(), palette, nullptr);
  rgb_map = table.get();
  blit(wide, eight.get(), 0, 0, 0, 0, wide->w, 1);
  rgb_map = previous;
  image.base_ = eight->line[0];
  image.bitmap_ = std::move(eight);
  image.depth_ = 8;
  return {};
}

}  // namespace formats
