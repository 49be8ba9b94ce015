#include "decode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "carrier.h"
#include "file_closer.h"
#include "files.h"
#include "formats.h"

namespace devorudo {

namespace {

using run::failure;
using run::Outcome;
using run::Status;

}  // namespace

carrier::DataEnd find_data(formats::Picture& picture) {
  formats::Image& image = picture.image;
  const int16_t* const levels = picture.levels.empty() ? nullptr : picture.levels.data();
  const carrier::DataEnd located = carrier::locate_data(image.rows(), picture.mark, levels);
  if (located.reading.levels) {
    unsigned char* const pixels = image.row(0);
    const size_t n = static_cast<size_t>(image.w()) * static_cast<size_t>(image.h());
    // The record held through the levels, so every pixel after position 0 has one.
    for (size_t i = 0; i < n; ++i) {
      pixels[i] = static_cast<unsigned char>(std::max<int16_t>(levels[pixels[i]], 0));
    }
  }
  if (located.reading.upside_down) {
    for (int32_t y = 0, z = image.h() - 1; y < z; ++y, --z) {
      std::swap_ranges(image.row(y), image.row(y) + image.w(), image.row(z));
    }
  }
  return located;
}

Walk walk_picture(const carrier::Rows& picture, const carrier::DataEnd& located, files::Sink& sink,
                  run::Feedback& feedback) {
  Walk walk;
  const int32_t w = picture.w;
  const int64_t end = located.end;
  walk.end = end;

  // Esc held before the walk (from the dialog, or through the scan) stops it before any byte.
  carrier::Cursor cursor(w, picture.h, static_cast<int32_t>(end % w), static_cast<int32_t>(end / w),
                         feedback, carrier::Cursor::Stop::before_the_first_byte_too);
  // Each span goes to the sink as it stands in the picture: the sink's buffer is the one copy.
  while (const int32_t span = cursor.next_span()) {
    const unsigned char* const from = picture.row(cursor.y) + cursor.x;
    const int32_t n = cursor.pass(span);
    if ((walk.fault = sink.write(from, static_cast<size_t>(n)))) break;
    walk.sent += n;
  }
  walk.escaped = cursor.escaped();
  return walk;
}

namespace {

// The walk over rows as a reader hands them on, top to bottom: positions 1 on, each byte written
// once the data is known to reach it. The end-of-data rule ends the data at the last pixel above
// 0, so a run of zeros is held back until a pixel above 0 follows; by the last row the record
// says whether its length takes the zeros after that pixel too. Esc is tested after every byte
// (and before the first); after it, the rows are still read, for where the data ends, but
// nothing more is written.
class StreamWalk : public formats::RowTaker {
 public:
  StreamWalk(files::Sink& out, run::Feedback& feedback)
      : out_(out), feedback_(feedback), stop_(feedback.stop_flag()) {}

  run::Fault start(int32_t w, int32_t h) override {
    w_ = w;
    h_ = h;
    escaped_ = run::escape_down(stop_);
    return {};
  }

  run::Fault rows(const unsigned char* pixels, int32_t count) override {
    const volatile char* const stop = stop_;
    for (int32_t i = 0; i < count; ++i, ++y_) {
      const unsigned char* const row = pixels + static_cast<size_t>(w_) * static_cast<size_t>(i);
      const int64_t at = int64_t{y_} * w_;
      const int32_t from = y_ == 0 ? 1 : 0;  // position 0 carries nothing
      for (int32_t x = w_ - 1; x >= from; --x) {
        if (row[x] > 0) {
          last_ = at + x;
          break;
        }
      }
      if (escaped_) continue;
      feedback_.show_row(y_ + 1, h_);
      int32_t taken = w_;
      for (int32_t x = from; x < w_; ++x) {
        if (run::escape_down(stop)) {
          escaped_ = true;
          taken = x + 1;
          break;
        }
      }
      if (const run::Fault f = take(row + from, at + from, taken - from)) return f;
    }
    return {};
  }

  // After the last row: the data's end by the record or the rule, and what follows from it.
  struct Result {
    carrier::DataEnd located;
    bool escaped = false;
    int64_t sent = 0;
    bool retry = false;  // a whole record that does not hold: another reading may
  };
  Result finish(const carrier::Mark& mark) {
    Result r;
    r.escaped = escaped_;
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
    const uint64_t all = static_cast<uint64_t>(w_) * static_cast<uint64_t>(h_) - 1;
    if (whole && n >= static_cast<uint64_t>(last_) && n <= all &&
        zeros_crc(crc_, n - static_cast<uint64_t>(last_)) == mark.record.crc) {
      sink_fault_ = zeros(static_cast<int64_t>(n) - last_);
      r.located.end = static_cast<int64_t>(n);
      r.located.exact = true;
    } else {
      r.located.end = last_;
      r.located.altered = mark.state != carrier::Mark::none;
      r.located.unchecked = !r.located.altered;
      r.retry = whole;
    }
    r.sent = sent_;
    return r;
  }

  // Why the destination refused a write, if it did.
  run::Fault sink_fault() const { return sink_fault_; }

 private:
  // Positions [at, at + n): the zeros held before them and every byte up to the last above 0 go
  // out; the zeros after it are held.
  run::Fault take(const unsigned char* p, int64_t at, int32_t n) {
    int32_t end = n;
    while (end > 0 && p[end - 1] == 0) --end;
    if (end == 0) {
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

  // The next n positions, all 0.
  run::Fault zeros(int64_t n) {
    static const unsigned char none[1 << 16] = {};
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

  // `crc` carried over n more zeros.
  static uint32_t zeros_crc(uint32_t crc, uint64_t n) {
    static const unsigned char none[1 << 16] = {};
    for (; n > 0; n -= std::min<uint64_t>(n, sizeof none)) {
      crc = carrier::crc32(crc, none, static_cast<size_t>(std::min<uint64_t>(n, sizeof none)));
    }
    return crc;
  }

  files::Sink& out_;
  run::Feedback& feedback_;
  const volatile char* stop_;
  run::Fault sink_fault_;
  int32_t w_ = 0, h_ = 0, y_ = 0;
  bool escaped_ = false;
  int64_t last_ = 0;  // the last position above 0 so far
  int64_t sent_ = 0;  // positions 1 to sent_ are written
  int64_t held_ = 0;  // zeros after them, held back
  uint32_t crc_ = 0;  // of the positions written
};

Outcome decode(const std::string& source, const std::string& destination, run::Feedback& feedback) {
  const formats::Container* const container = formats::container_for(source);
  if (!container) return failure(Status::format_unsupported, source);
  int fd;
  struct stat st {};
  if (const run::Fault f = files::open_source(source, fd, st)) {
    return failure(Status::image_invalid, source, f);
  }
  files::FileCloser closer{fd};
  if (files::same_file(st, destination)) return failure(Status::same_file, destination);
  formats::Input in(fd);
  const auto refused = [&](const run::Fault& f) {
    return failure(f.error == ENOMEM ? Status::no_memory : Status::image_invalid, source, f);
  };

  // Dropped without a commit, the output leaves the destination as it was. A file rewritten in
  // place cannot be given back, so its picture is read whole, and checked, first.
  files::SafeOutput out;
  if (const run::Fault f = out.open(destination)) {
    return failure(Status::destination_failed, destination, f);
  }
  if (!out.rewrites_in_place()) {
    StreamWalk walk(out, feedback);
    carrier::Mark mark;
    bool streamed = false;
    const run::Fault f = formats::stream_picture(*container, in, walk, mark, streamed);
    if (walk.sink_fault())
      return failure(Status::destination_failed, destination, walk.sink_fault());
    if (f) return refused(f);
    if (streamed) {
      const StreamWalk::Result r = walk.finish(mark);
      if (!r.retry) {
        if (const run::Fault e = walk.sink_fault() ? walk.sink_fault() : out.commit()) {
          return failure(Status::destination_failed, destination, e);
        }
        Outcome o;
        o.status = r.escaped ? Status::stopped : Status::done;
        o.file = destination;
        o.altered = r.located.altered;
        o.unchecked = r.located.unchecked;
        o.saved = r.sent;
        o.whole = r.located.end;
        return o;
      }
      // The record holds for none of the pixels as they came: read whole, it may for their grey
      // levels or their rows turned over.
      if (const run::Fault e = in.seek(0)) return refused(e);
      if (const run::Fault e = out.open(destination)) {
        return failure(Status::destination_failed, destination, e);
      }
    }
  }

  formats::Picture picture;
  if (const run::Fault f = formats::read_picture(*container, in, picture)) return refused(f);
  const carrier::DataEnd located = find_data(picture);
  const Walk walk = walk_picture(picture.image.rows(), located, out, feedback);
  if (const run::Fault f = walk.fault ? walk.fault : out.commit()) {
    return failure(Status::destination_failed, destination, f);
  }
  Outcome o;
  o.status = walk.escaped ? Status::stopped : Status::done;
  o.file = destination;
  o.true_colour = picture.true_colour;
  o.altered = located.altered;
  o.unchecked = located.unchecked;
  o.saved = walk.sent;
  o.whole = walk.end;
  return o;
}

}  // namespace

Outcome decode_file(const std::string& source, const std::string& destination,
                    run::Feedback& feedback) {
  try {
    return decode(source, destination, feedback);
  } catch (const std::bad_alloc&) {
    return failure(Status::no_memory, source);  // whatever was opened is closed, or removed
  }
}

}  // namespace devorudo
