#include "reader.h"

#include <algorithm>

namespace formats {

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

void Found::palette_levels(const unsigned char* entries, size_t n, size_t step, size_t red,
                           size_t blue, size_t first) {
  levels.assign(256, -1);
  for (size_t i = 0; i < n && first + i < 256; ++i) {
    const unsigned char* e = entries + i * step;
    if (e[red] == e[1] && e[1] == e[blue]) levels[first + i] = e[1];
  }
}

}  // namespace formats
