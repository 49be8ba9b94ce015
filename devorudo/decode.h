// The decoder's conversion: a carrier picture in, the file it carries out. Runs with or
// without a screen; the library must be started (a SYSTEM_NONE start is enough).
//
// Two layers. The format layer (common/formats/formats.h) reads the picture, refusing what it
// cannot read completely: most pictures it streams, handing their rows to a StreamWalk as they
// are decoded; the rest it reads whole, for walk_picture. Either walk writes the picture's data
// into a sink, as far as its record or the end-of-data rule says (common/carrier.h).
// decode_file puts them together between a source file and a destination written safely
// (common/files.h).
#ifndef DEVORUDO_DECODE_H
#define DEVORUDO_DECODE_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "carrier.h"
#include "files.h"
#include "formats.h"
#include "run.h"

namespace devorudo {

// Where the picture's data ends (carrier::locate_data): by its record when that holds, else by
// the end-of-data rule. When the record holds only for another reading of the pixels (the grey
// levels of a palette a tool re-ordered, rows a tool turned over), the picture is made that
// reading first, so that its pixels are the file's bytes.
carrier::DataEnd find_data(formats::Picture& picture);

struct Walk {
  bool escaped = false;  // ended early by Esc (before the scan, or during the walk)
  bool at_once = false;  // by Esc held before the first byte: nothing was sent
  run::Fault fault;      // why the sink refused a write
  int64_t sent = 0;      // bytes sent to the sink
  int64_t end = 0;       // bytes the whole walk would send
};

// Sends the data of the 8-bit picture to `sink`: pixels from linear position 1 up to the end
// `located` gives, one byte each, nothing when there is none.
// Esc held when the scan ends sends nothing; Esc found held during the walk (tested after each
// row's first byte, as carrier::Cursor does) stops it after that byte. feedback.show_row is called
// whenever the row changes, with the 1-based row and the picture's height.
Walk walk_picture(const carrier::Rows& picture, const carrier::DataEnd& located, files::Sink& sink,
                  run::Feedback& feedback);

// The walk over rows as a reader hands them on, top to bottom: positions 1 on, each byte written
// once the data is known to reach it. The end-of-data rule ends the data at the last pixel above
// 0, so a run of zeros is held back until a pixel above 0 follows; by the last row the record
// says whether its length takes the zeros after that pixel too. Esc is tested after each row's
// first byte (and before the first row); after it, the rows are still read, for where the data
// ends, but nothing more is written.
class StreamWalk : public formats::RowTaker {
 public:
  StreamWalk(files::Sink& out, run::Feedback& feedback)
      : out_(out), feedback_(feedback), stop_(feedback.stop_flag()) {}

  run::Fault start(int32_t w, int32_t h, const formats::Found& found) override {
    w_ = w;
    h_ = h;
    escaped_ = at_once_ = run::escape_down(stop_);
    // A palette of levels in another order than the carrier's: each pixel is read as its level
    // (an index without one, as it is).
    const std::vector<int16_t> levels = found.reading_levels();
    lut_.assign(levels.begin(), levels.end());
    if (!lut_.empty()) scratch_.resize(static_cast<size_t>(w));
    return {};
  }

  run::Fault rows(const unsigned char* pixels, int32_t count) override {
    for (int32_t i = 0; i < count; ++i, ++y_) {
      const unsigned char* row = pixels + static_cast<size_t>(w_) * static_cast<size_t>(i);
      if (!lut_.empty()) {
        for (int32_t x = 0; x < w_; ++x) scratch_[static_cast<size_t>(x)] = lut_[row[x]];
        row = scratch_.data();
      }
      const int64_t at = int64_t{y_} * w_;
      const int32_t from = y_ == 0 ? 1 : 0;  // position 0 carries nothing
      int32_t top = w_;                      // one past the row's last pixel above 0
      while (top > from && row[top - 1] == 0) --top;
      if (top > from) last_ = at + top - 1;
      if (escaped_) continue;
      feedback_.show_row(y_ + 1, h_);
      // Esc is tested once a row, after its first byte, as the walk does: found held, that byte
      // alone is taken. `end`: one past the last pixel above 0 among those taken.
      int32_t taken = w_, end = top;
      if (from < w_ && run::escape_down(stop_)) {
        escaped_ = true;
        taken = from + 1;
        end = row[from] != 0 ? taken : from;
      }
      if (const run::Fault f = take(row + from, at + from, taken - from, end - from)) return f;
    }
    return {};
  }

  // After the last row: the data's end by the record or the rule, and what follows from it.
  struct Result {
    carrier::DataEnd located;
    bool escaped = false;
    bool at_once = false;  // by Esc held when the rows began: nothing was written
    int64_t sent = 0;
    bool retry = false;  // a whole record that does not hold: another reading may
  };
  Result finish(const formats::Found& found) {
    const carrier::Mark& mark = found.mark;
    Result r;
    r.escaped = escaped_;
    r.at_once = at_once_;
    const bool whole = mark.state == carrier::Mark::whole;
    const uint64_t n = mark.record.length;
    if (escaped_) {
      // The zeros before the position reached belong to the data when the record reaches them.
      if (whole && n > static_cast<uint64_t>(sent_)) {
        sink_fault_ = zeros(std::min<int64_t>(held_, static_cast<int64_t>(n) - sent_));
      }
      r.located.end = whole ? static_cast<int64_t>(n) : last_;
      r.sent = sent_;
      return r;
    }
    // Every position up to the last above 0 is written: crc_ is theirs.
    r.located = carrier::settle(w_, h_, last_, crc_, mark, found.shown);
    if (r.located.end > last_) sink_fault_ = zeros(r.located.end - last_);
    // Another reading (the palette's levels, rows turned over) may bear out a whole record, or
    // a check that no length matched as the rows came.
    r.retry = carrier::read_again(r.located, mark, found.shown);
    r.sent = sent_;
    return r;
  }

  // Rows were begun: what the walk wrote must go before the picture is read again.
  bool started() const { return w_ > 0; }

  // Why the destination refused a write, if it did.
  run::Fault sink_fault() const { return sink_fault_; }

 private:
  // Positions [at, at + n), of which the first `end` reach the last above 0: the zeros held
  // before them and those `end` go out; the zeros after them are held.
  run::Fault take(const unsigned char* p, int64_t at, int32_t n, int32_t end) {
    if (end <= 0) {
      held_ += n;
      return {};
    }
    if (const run::Fault f = zeros(held_)) return f;
    crc_ = carrier::crc32(crc_, p, static_cast<size_t>(end));
    if ((sink_fault_ = out_.write(p, static_cast<size_t>(end)))) return sink_fault_;
    sent_ = at + end - 1;
    held_ = n - end;
    return {};
  }

  static constexpr unsigned char none[1 << 16] = {};

  // The next n positions, all 0.
  run::Fault zeros(int64_t n) {
    while (n > 0) {
      const auto k = static_cast<size_t>(std::min<int64_t>(n, sizeof none));
      crc_ = carrier::crc32(crc_, none, k);
      if ((sink_fault_ = out_.write(none, k))) return sink_fault_;
      sent_ += static_cast<int64_t>(k);
      n -= static_cast<int64_t>(k);
    }
    held_ = 0;
    return {};
  }

  files::Sink& out_;
  run::Feedback& feedback_;
  const volatile char* stop_;
  run::Fault sink_fault_;
  int32_t w_ = 0, h_ = 0, y_ = 0;
  bool escaped_ = false, at_once_ = false;
  int64_t last_ = 0;                          // the last position above 0 so far
  int64_t sent_ = 0;                          // positions 1 to sent_ are written
  int64_t held_ = 0;                          // zeros after them, held back
  uint32_t crc_ = 0;                          // of the positions written
  std::vector<unsigned char> lut_, scratch_;  // reading through levels: index to level, a row
};

// Reads the picture `source` (its container chosen by its extension) and writes the file it
// carries as `destination`. A picture whose headers cannot be read is refused before anything
// is written, one found damaged further on before the destination is touched (the output is
// dropped); a destination that is the source itself is refused before anything is read.
// Otherwise the destination is complete on disk (or, after Esc, holds what was walked) before
// this returns, or is left as it was and the outcome is destination_failed; or cancelled, when
// Esc was held as the walk began: nothing was written, and an existing file was not touched (a
// new name is still made, empty).
run::Outcome decode_file(const std::string& source, const std::string& destination,
                         run::Feedback& feedback);

}  // namespace devorudo

#endif
