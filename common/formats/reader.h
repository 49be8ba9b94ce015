// What a reader makes: a picture in memory (Reader), or its rows handed on as it decodes them
// (Streamer), and what it learns beside the pixels (Found).
#ifndef COMMON_FORMATS_READER_H
#define COMMON_FORMATS_READER_H

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
  // For an indexed picture, 256 entries: the grey level of each index's palette entry, -1 where
  // the entry is missing or not grey. Empty for other pictures.
  std::vector<int16_t> levels;
  bool translucent = false;  // true colour with a pixel that is not fully opaque
  // An indexed picture's levels from its palette's first `n` entries (r, g, b each, `step` bytes
  // apart, the red at `red`, green at 1, blue at `blue`), from entry `first` on.
  void palette_levels(const unsigned char* entries, size_t n, size_t step, size_t red, size_t blue,
                      size_t first = 0);
};

// A reader sets `out` to an 8-bit or a 32-bit picture, and `found` to what it learnt beside.
using Reader = run::Fault (*)(Input& in, Image& out, Found& found);

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

// A reader that hands its rows on as it decodes them. `streamed` false (and no fault): the
// picture's rows cannot come in order without the whole picture (or its colours must be seen
// whole), nothing was handed on, and the Reader is the way.
using Streamer = run::Fault (*)(Input& in, RowTaker& to, Found& found, bool& streamed);

}  // namespace formats

#endif
