#include "reader.h"

#include <allegro.h>

#include <algorithm>
#include <cstring>

namespace formats {

int32_t band_rows(uint64_t row_bytes, int32_t h) {
  const uint64_t rows = run::block_bytes / std::max<uint64_t>(row_bytes, 1);
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

void Found::palette_levels(const unsigned char* entries, size_t n, size_t step, size_t red,
                           size_t blue, size_t first) {
  levels.assign(256, -1);
  grey_palette = n > 0;
  shown = carrier::Shown{};
  // A run of one colour that ends the palette is padding (quantisers fill a palette of fewer
  // colours with black): past its first entry, or from it when an entry before has its level,
  // it stands for no level and shows no bit.
  n = std::min(n, 256 - std::min<size_t>(first, 256));
  const size_t colour = std::max({red, blue, size_t{1}}) + 1;
  const auto same = [&](size_t a, size_t b) {
    return std::memcmp(entries + a * step, entries + b * step, colour) == 0;
  };
  if (n > 2 && same(n - 1, n - 2)) {
    while (n > 1 && same(n - 1, n - 2)) --n;
    const unsigned char* const run = entries + (n - 1) * step;
    for (size_t i = 0; i + 1 < n; ++i) {
      if (entries[i * step + red] == run[red]) {
        --n;
        break;
      }
    }
  }
  for (size_t i = 0; i < n; ++i) {
    const unsigned char* e = entries + i * step;
    unsigned bit;
    const int level = carrier::level_of(e[red], e[1], e[blue], bit);
    if (level < 0) {
      grey_palette = false;
      continue;
    }
    levels[first + i] = static_cast<int16_t>(level);
    shown.see(static_cast<unsigned>(level), bit);
  }
}

std::vector<int16_t> Found::reading_levels() const {
  if (!grey_palette || levels.empty()) return {};
  // Levels that repeat (a palette of fewer greys, as earlier carriers had) would lose bytes.
  bool taken[256] = {}, reordered = false;
  std::vector<int16_t> lut(256);
  for (size_t i = 0; i < levels.size(); ++i) {
    lut[i] = static_cast<int16_t>(i);
    if (levels[i] < 0) continue;
    if (taken[levels[i]]) return {};
    taken[levels[i]] = true;
    reordered |= levels[i] != static_cast<int16_t>(i);
    lut[i] = levels[i];
  }
  return reordered ? lut : std::vector<int16_t>{};
}

bool level_row(const uint32_t* pixels, size_t n, unsigned char* to, carrier::Shown& shown) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = pixels[i];
    unsigned bit;
    const int level = carrier::level_of(getr32(c), getg32(c), getb32(c), bit);
    if (level < 0) return false;
    to[i] = static_cast<unsigned char>(level);
    shown.see(static_cast<unsigned>(level), bit);
  }
  return true;
}

}  // namespace formats
