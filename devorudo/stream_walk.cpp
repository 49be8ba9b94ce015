#include "stream_walk.h"

#include <algorithm>

namespace devorudo {

run::Fault StreamWalk::start(int32_t w, int32_t h, const formats::Found& found) {
  w_ = w;
  h_ = h;
  // Every position may hold data until the last row says otherwise.
  cursor_.emplace(w, h, w - 1, h - 1, feedback_, carrier::Cursor::Stop::before_the_first_byte_too);
  // A palette of levels in another order than the carrier's: each pixel is read as its level.
  const std::vector<int16_t> levels = found.reading_levels();
  lut_.assign(levels.begin(), levels.end());
  if (!lut_.empty()) scratch_.resize(static_cast<size_t>(w));
  // Known before the pixels, a record or a check will ask for another reading if position 0,
  // which a carrier keeps 0, is not: rows turned over, most likely. Then the picture is read
  // whole at once, not streamed first.
  another_reading_ =
      read_again_ && (found.mark.state == carrier::Mark::whole || found.shown.ours());
  return {};
}

// Positions [at, at + n), of which the first `end` reach the last above 0: the zeros held before
// them and those `end` go out; the zeros after them are held.
inline run::Fault StreamWalk::take(const unsigned char* p, int64_t at, int32_t n, int32_t end) {
  if (end <= 0) {
    held_ += n;
    return {};
  }
  if (held_ > 0) {
    if (const run::Fault f = zeros(held_)) return f;
  }
  crc_ = carrier::crc32(crc_, p, static_cast<size_t>(end));
  if ((sink_fault_ = out_.write(p, static_cast<size_t>(end)))) return sink_fault_;
  sent_ = at + end - 1;
  held_ = n - end;
  return {};
}

run::Fault StreamWalk::rows(const unsigned char* pixels, int32_t count) {
  for (int32_t i = 0; i < count; ++i, ++y_) {
    const unsigned char* row = pixels + static_cast<size_t>(w_) * static_cast<size_t>(i);
    if (!lut_.empty()) {
      for (int32_t x = 0; x < w_; ++x) scratch_[static_cast<size_t>(x)] = lut_[row[x]];
      row = scratch_.data();
    }
    if (y_ == 0 && row[0] != 0 && another_reading_) {
      asked_whole_ = true;
      return run::defect(run::Defect::read_whole);
    }
    const int64_t at = int64_t{y_} * w_;
    const int32_t from = y_ == 0 ? 1 : 0;  // position 0 carries nothing
    const int32_t top = carrier::row_data_end(row, from, w_);
    if (top > from) last_ = at + top - 1;
    if (from == w_ || cursor_->escaped()) continue;  // a one-column picture's row 0: no position
    const int32_t span = cursor_->next_span();       // the row's positions, from `from`
    if (span == 0) continue;                         // Esc before the first byte
    // Esc found held after the span's first byte: that byte alone is taken. `end`: one past the
    // last pixel above 0 among those taken.
    const int32_t taken = cursor_->pass(span);
    const int32_t end = taken == span ? top : row[from] != 0 ? from + 1 : from;
    if (const run::Fault f = take(row + from, at + from, taken, end - from)) return f;
  }
  return {};
}

Walk StreamWalk::finish(const formats::Found& found) {
  const carrier::Mark& mark = found.mark;
  Walk r;
  r.escaped = cursor_ && cursor_->escaped();
  r.at_once = cursor_ && cursor_->stopped_at_first_test();
  const bool whole = mark.state == carrier::Mark::whole;
  const uint64_t n = mark.record.length;
  if (r.escaped) {
    // The zeros before the position reached belong to the data when the record reaches them.
    if (whole && n > static_cast<uint64_t>(sent_)) {
      sink_fault_ = zeros(std::min<int64_t>(held_, static_cast<int64_t>(n) - sent_));
    }
    r.located.end = whole ? static_cast<int64_t>(n) : last_;
  } else {
    // Every position up to the last above 0 is written: crc_ is theirs.
    r.located = carrier::settle(w_, h_, last_, crc_, mark, found.shown);
    if (r.located.end > last_) sink_fault_ = zeros(r.located.end - last_);
    r.retry = carrier::read_again(r.located, mark, found.shown);
  }
  r.sent = sent_;
  r.fault = sink_fault_;
  return r;
}

// The next n positions, all 0.
run::Fault StreamWalk::zeros(int64_t n) {
  static constexpr unsigned char none[1 << 16] = {};
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

}  // namespace devorudo
