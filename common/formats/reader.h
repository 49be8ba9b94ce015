// What a reader makes: a picture in memory (Reader), or its rows handed on as it decodes them
// (Streamer), and what it learns beside the pixels (Found).
#ifndef COMMON_FORMATS_READER_H
#define COMMON_FORMATS_READER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "carrier.h"
#include "image.h"
#include "input.h"
#include "run.h"

namespace formats {

// What a reader learns beside the pixels.
struct Found {
  carrier::Mark mark;  // what the record's place held (carrier.h)
  // For an indexed picture, 256 entries: the level of each index's palette entry (its red, when
  // green is the same and blue the same or one above: carrier::level_of), -1 where the entry is
  // missing or of another colour. Empty for other pictures.
  std::vector<int16_t> levels;
  // Every entry the palette has stands for a level.
  bool grey_palette = false;
  // The palette's check as the palette's entries, or a true-colour picture's pixels, show it.
  carrier::Shown shown;
  bool translucent = false;  // true colour with a pixel that is not fully opaque
  // An indexed picture's levels from its palette's first `n` entries (r, g, b each, `step` bytes
  // apart, the red at `red`, green at 1, blue at `blue`), from entry `first` on.
  void palette_levels(const unsigned char* entries, size_t n, size_t step, size_t red, size_t blue,
                      size_t first = 0);
  // How the pixels are read: through the levels, each index without one as it is, when the
  // palette's levels are distinct and not in the carrier's order (a tool sorted or trimmed it);
  // as indices (empty) when not.
  std::vector<int16_t> reading_levels() const;
};

// A row of true-colour pixels (makecol32's layout) as the bytes they carry, each pixel's level
// (carrier::level_of), its bit shown to `shown`; false at the first pixel of another colour.
bool level_row(const uint32_t* pixels, size_t n, unsigned char* to, carrier::Shown& shown);

// A reader sets `out` to an 8-bit or a 32-bit picture, and `found` to what it learnt beside.
using Reader = run::Fault (*)(Input& in, Image& out, Found& found);

// Takes a picture's rows, top to bottom, as a reader decodes them: the picture is never whole in
// memory.
class RowTaker {
 public:
  virtual ~RowTaker() = default;
  // Before the first row: the picture's size, and what the reader found before its pixels (an
  // indexed picture's palette; the record's place, where it comes first).
  virtual run::Fault start(int32_t w, int32_t h, const Found& found) = 0;
  // The next `count` rows (each pixel its index, or grey level), each w bytes, one after the
  // other.
  virtual run::Fault rows(const unsigned char* pixels, int32_t count) = 0;
};

// Rows handed on a band at a time: about 1 MiB of them, and at least one.
int32_t band_rows(uint64_t row_bytes, int32_t h);

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

// Raw rows stored `stored` bytes apart from offset `at`, top to bottom or (`bottom_up`) the other
// way, handed on top to bottom a band at a time, each band read from its place in the file;
// `convert(stored_row, row)` makes a stored row the picture's w bytes, or returns false for a row
// of colours that stand for no level (Defect::read_whole). The Input is left after the last stored
// row.
template <class Convert>
run::Fault hand_raw_rows(Input& in, RowTaker& to, uint64_t at, uint64_t stored, int32_t w,
                         int32_t h, bool bottom_up, Convert convert) {
  const int32_t band = band_rows(stored, h);
  std::vector<unsigned char> file(static_cast<size_t>(stored) * static_cast<size_t>(band));
  std::vector<unsigned char> rows(static_cast<size_t>(w) * static_cast<size_t>(band));
  for (int32_t top = 0; top < h; top += band) {
    const int32_t k = std::min(band, h - top);
    const auto first = static_cast<uint64_t>(bottom_up ? h - top - k : top);
    if (const run::Fault f = in.seek(at + first * stored)) return f;
    if (const run::Fault f = in.read(file.data(), stored * static_cast<uint64_t>(k))) return f;
    for (int32_t i = 0; i < k; ++i) {
      if (!convert(file.data() + stored * static_cast<uint64_t>(bottom_up ? k - 1 - i : i),
                   rows.data() + static_cast<size_t>(w) * static_cast<size_t>(i))) {
        return run::defect(run::Defect::read_whole);
      }
    }
    if (const run::Fault f = to.rows(rows.data(), k)) return f;
  }
  return in.seek(at + stored * static_cast<uint64_t>(h));
}

// A reader that hands its rows on as it decodes them. `streamed` false (and no fault): the
// picture's rows cannot come in order without the whole picture (or its colours must be seen
// whole), nothing was handed on, and the Reader is the way.
using Streamer = run::Fault (*)(Input& in, RowTaker& to, Found& found, bool& streamed);

}  // namespace formats

#endif
