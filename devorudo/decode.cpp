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
  walk.at_once = cursor.stopped_at_first_test();
  return walk;
}

namespace {

Outcome decode(const std::string& source, const std::string& destination, run::Feedback& feedback,
               files::SafeOutput& out) {
  // The file first: a name that finds none, or a folder, is told as such whatever it ends in.
  int fd;
  struct stat st {};
  if (const run::Fault f = files::open_source(source, fd, st)) {
    return failure(Status::source_unreadable, source, f);
  }
  files::FileCloser closer{fd};
  const formats::Container* const container = formats::container_for(source);
  if (!container) {
    Outcome o = failure(Status::format_unsupported, source);
    o.picture = true;
    return o;
  }
  if (files::same_file(st, destination)) return failure(Status::same_file, destination);
  formats::Input in(fd);
  const auto refused = [&](const run::Fault& f) {
    return failure(f.error == ENOMEM ? Status::no_memory : Status::image_invalid, source, f);
  };

  // Dropped without a commit, the output leaves the destination as it was. A file rewritten in
  // place is put back from its copy on a failure; its picture is read whole, and checked, first,
  // so that a refused one does not even copy it.
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
      if (r.at_once && out.replaces_a_file()) return failure(Status::cancelled, destination);
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
  out.reserve(static_cast<uint64_t>(located.end));  // for a file rewritten in place
  const Walk walk = walk_picture(picture.image.rows(), located, out, feedback);
  if (walk.at_once && out.replaces_a_file()) return failure(Status::cancelled, destination);
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
  // Whatever the run opened is closed, or removed, and a file rewritten in place put back.
  files::SafeOutput out;
  try {
    return out.settle(decode(source, destination, feedback, out), destination);
  } catch (const std::bad_alloc&) {
    return out.settle(failure(Status::no_memory, source), destination);
  }
}

}  // namespace devorudo
