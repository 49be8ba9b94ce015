#include "formats.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace formats {

namespace {

constexpr size_t block_size = size_t{1} << 20;

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

Input::Input(int fd) : fd_(fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    error_ = errno;
    fd_ = -1;
    return;
  }
  const off_t here = lseek(fd, 0, SEEK_CUR);
  start_ = here > 0 ? here : 0;
  size_ = st.st_size > here && here >= 0 ? static_cast<uint64_t>(st.st_size - here) : 0;
  buffer_.resize(block_size);
  begin_ = next_ = end_ = buffer_.data();
}

Input::Input(const unsigned char* data, size_t size)
    : data_(data), begin_(data), next_(data), end_(data + size), size_(size) {}

run::Fault Input::seek(uint64_t offset) {
  if (offset > size_) return truncated();
  if (fd_ < 0 && !error_) {  // from memory
    begin_ = next_ = data_ + offset;
    end_ = data_ + size_;
    consumed_ = offset;
    return {};
  }
  if (error_) return run::system_fault(error_);
  if (lseek(fd_, start_ + static_cast<off_t>(offset), SEEK_SET) < 0) {
    error_ = errno;
    return run::system_fault(error_);
  }
  begin_ = next_ = end_ = buffer_.data();
  consumed_ = offset;
  return {};
}

run::Fault Input::refill() {
  consumed_ += static_cast<uint64_t>(end_ - begin_);
  begin_ = next_ = end_ = buffer_.data();
  if (error_) return run::system_fault(error_);
  if (fd_ < 0) return truncated();
  ssize_t got;
  do {
    got = ::read(fd_, buffer_.data(), buffer_.size());
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    error_ = errno;  // and so for every later read
    return run::system_fault(error_);
  }
  end_ = begin_ + got;
  return got > 0 ? run::Fault{} : truncated();
}

run::Fault Input::get_slow(int& byte) {
  if (const run::Fault f = refill()) return f;
  byte = *next_++;
  return {};
}

run::Fault Input::read(void* to, size_t n) {
  auto* out = static_cast<unsigned char*>(to);
  while (n > 0) {
    if (next_ == end_) {
      if (const run::Fault f = refill()) return f;
    }
    const size_t take = std::min(n, static_cast<size_t>(end_ - next_));
    std::memcpy(out, next_, take);
    out += take;
    next_ += take;
    n -= take;
  }
  return {};
}

run::Fault Input::skip(uint64_t n) {
  while (n > 0) {
    if (next_ == end_) {
      if (const run::Fault f = refill()) return f;
    }
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, end_ - next_));
    next_ += take;
    n -= take;
  }
  return {};
}

uint64_t run_length_reach(uint64_t file_size) {
  return std::max<uint64_t>(uint64_t{1} << 24, file_size * 256);
}

int32_t band_rows(uint64_t row_bytes, int32_t h) {
  const uint64_t rows = (uint64_t{1} << 20) / std::max<uint64_t>(row_bytes, 1);
  return static_cast<int32_t>(std::clamp<uint64_t>(rows, 1, static_cast<uint64_t>(h)));
}

Bands::Bands(RowTaker& to, int32_t w, int32_t h)
    : to_(to), w_(w), h_(h), band_(band_rows(static_cast<uint64_t>(w), h)) {
  rows_.resize(static_cast<size_t>(w_) * static_cast<size_t>(band_));
}

run::Fault Bands::done(int32_t r) {
  if (r + 1 - top_ < band_ && r + 1 < h_) return {};
  const run::Fault f = to_.rows(rows_.data(), r + 1 - top_);
  top_ = r + 1;
  return f;
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

const Palette& grey_palette() {
  static const Palette greys = [] {
    Palette p{};
    for (int i = 0; i < 256; ++i) {
      const auto v = static_cast<unsigned char>(i);
      p[i] = Colour{v, v, v};
    }
    return p;
  }();
  return greys;
}

Palette from_library(const RGB* pal) {
  Palette p{};
  for (int i = 0; i < 256; ++i) {
    p[i] = Colour{static_cast<unsigned char>(_rgb_scale_6[pal[i].r & 63]),
                  static_cast<unsigned char>(_rgb_scale_6[pal[i].g & 63]),
                  static_cast<unsigned char>(_rgb_scale_6[pal[i].b & 63])};
  }
  return p;
}

void Found::palette_levels(const unsigned char* entries, size_t n, size_t step, size_t red,
                           size_t blue, size_t first) {
  levels.assign(256, -1);
  for (size_t i = 0; i < n && first + i < 256; ++i) {
    const unsigned char* e = entries + i * step;
    if (e[red] == e[1] && e[1] == e[blue]) levels[first + i] = e[1];
  }
}

bool grey_levels(Image& image, bool translucent) {
  if (translucent) return false;
  const auto* const pixels = reinterpret_cast<const uint32_t*>(image.row(0));
  const size_t n = static_cast<size_t>(image.w()) * static_cast<size_t>(image.h());
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = pixels[i];
    if (getr32(c) != getg32(c) || getg32(c) != getb32(c)) return false;
  }
  Image eight;
  if (new_image(8, image.w(), image.h(), unbounded, eight, true)) return false;
  unsigned char* const to = eight.row(0);
  for (size_t i = 0; i < n; ++i) to[i] = static_cast<unsigned char>(getg32(pixels[i]));
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

namespace {

// Every container, read and written. LBM is only read: the encoder writes no LBM carrier.
constexpr Container containers[] = {
    {"BMP", "bmp", carrier::bmp_max_rows, INT32_MAX, read_bmp, stream_bmp, write_bmp},
    {"TGA", "tga", 65535, 65535, read_tga, stream_tga, write_tga},
    {"PCX", "pcx", 65536, 65535, read_pcx, stream_pcx, write_pcx},
    {"PNG", "png", carrier::max_rows, INT32_MAX, read_png, stream_png, write_png},
    {"LBM", "lbm", 0, 0, read_lbm, stream_lbm, nullptr},
};

}  // namespace

const Container* container_for(const std::string& name) {
  const auto slash = name.find_last_of('/');
  const auto dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Container& c : containers) {
    if (ext == c.extension) return &c;
  }
  return nullptr;
}

run::Fault read_picture(const Container& c, Input& in, Picture& out) try {
  Image image;
  Found found;
  if (const run::Fault f = c.read(in, image, found)) return f;
  if (!image) return damaged();
  out.mark = found.mark;
  out.levels = std::move(found.levels);
  // A carrier a tool turned into true colour keeps its bytes as grey levels.
  out.true_colour = image.depth() != 8 && !grey_levels(image, found.translucent);
  if (out.true_colour) {
    if (const run::Fault reduced = reduce_to_eight_bits(image)) return reduced;
  }
  out.image = std::move(image);
  return {};
} catch (const std::bad_alloc&) {
  out = Picture{};
  return run::system_fault(ENOMEM);
}

std::unique_ptr<PictureWriter> writer_for(const Container& c, files::Sink& out, int32_t w,
                                          int32_t h, const Palette& pal,
                                          const carrier::Record* room, run::Fault& fault) {
  if (!c.write || w < 1 || h < 1 || h > c.most_rows || w > c.most_columns) {
    fault = unsupported();
    return nullptr;
  }
  fault = {};
  return c.write(out, w, h, pal, room);
}

run::Fault stream_picture(const Container& c, Input& in, RowTaker& to, carrier::Mark& mark,
                          bool& streamed) try {
  streamed = false;
  if (!c.stream) return {};
  Found found;
  const run::Fault f = c.stream(in, to, found, streamed);
  mark = found.mark;
  if (!f && !streamed) return in.seek(0);
  return f;
} catch (const std::bad_alloc&) {
  return run::system_fault(ENOMEM);
}

run::Fault write_picture(const Container& c, files::Sink& out, const Image& image,
                         const Palette& pal, const carrier::Record* record) {
  if (image.depth() != 8) return unsupported();
  run::Fault f;
  const auto writer = writer_for(c, out, image.w(), image.h(), pal, record, f);
  if (!f) f = writer->begin();
  if (!f) f = writer->rows(image.row(0), image.h());
  if (!f) f = writer->finish(record);
  return f;
}

}  // namespace formats
