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
  // Read as the streamed walk reads it first: through the levels of a palette a tool re-ordered.
  const bool by_levels = !picture.reading.empty();
  const carrier::Reading first{by_levels ? picture.reading.data() : nullptr, false};
  const carrier::DataEnd located = carrier::locate_data(image.rows(), picture.mark, picture.shown,
                                                        first, by_levels ? nullptr : levels);
  if (located.reading.levels) {
    unsigned char* const pixels = image.row(0);
    const size_t n = static_cast<size_t>(image.w()) * static_cast<size_t>(image.h());
    // Read through the levels, every pixel after position 0 has one.
    const int16_t* const to = located.reading.levels;
    for (size_t i = 0; i < n; ++i)
      pixels[i] = static_cast<unsigned char>(std::max<int16_t>(to[pixels[i]], 0));
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
  walk.located = located;
  const int32_t w = picture.w;
  const int64_t end = located.end;

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

// The run's end after either walk: Esc held from the start over an existing file cancels it; else
// the destination is committed, and the outcome says what it holds.
Outcome after_walk(const Walk& walk, files::SafeOutput& out, const std::string& destination,
                   bool true_colour) {
  if (walk.at_once && out.replaces_a_file()) return failure(Status::cancelled, destination);
  if (const run::Fault f = walk.fault ? walk.fault : out.commit()) {
    return failure(Status::destination_failed, destination, f);
  }
  Outcome o;
  o.status = walk.escaped ? Status::stopped : Status::done;
  o.file = destination;
  o.true_colour = true_colour;
  o.altered = walk.located.altered;
  o.unchecked = walk.located.unchecked;
  o.saved = walk.sent;
  o.whole = walk.located.end;
  return o;
}

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
  // The streamed pass: true with its outcome, false when the picture is to be read whole (what
  // it wrote is then dropped). `read_again`: a record or check that holds for none of the pixels
  // as they came sends it to be read whole, where they may hold for the palette's levels or the
  // rows turned over.
  bool retried = false;
  const auto stream = [&](bool read_again, Outcome& o) {
    StreamWalk walk(out, feedback, read_again);
    formats::Found found;
    bool streamed = false;
    const run::Fault f = formats::stream_picture(*container, in, walk, found, streamed);
    if (walk.sink_fault()) {
      o = failure(Status::destination_failed, destination, walk.sink_fault());
      return true;
    }
    if (f) {
      o = refused(f);
      return true;
    }
    if (streamed) {
      const Walk r = walk.finish(found);
      if ((r.at_once && out.replaces_a_file()) || !r.retry || !read_again) {
        o = after_walk(r, out, destination, false);
        return true;
      }
      retried = true;
      if (const run::Fault e = in.seek(0)) {
        o = refused(e);
        return true;
      }
    }
    // What was written goes: after a retry, or rows of a true-colour picture handed on before
    // one showed a colour that stands for no level, or a first row that asked for another
    // reading.
    retried |= walk.asked_whole();
    if (walk.started()) {
      if (const run::Fault e = out.open(destination)) {
        o = failure(Status::destination_failed, destination, e);
        return true;
      }
    }
    return false;
  };
  if (!out.rewrites_in_place()) {
    Outcome o;
    if (stream(true, o)) return o;
  }

  formats::Picture picture;
  if (const run::Fault f = formats::read_picture(*container, in, picture)) {
    // Too large to be held whole, the picture read again gives what its streamed pass gave.
    Outcome o;
    if (retried && (f.error == ENOMEM || f.defect == run::Defect::too_large) && !in.seek(0) &&
        stream(false, o)) {
      return o;
    }
    return refused(f);
  }
  const carrier::DataEnd located = find_data(picture);
  out.reserve(static_cast<uint64_t>(located.end));  // for a file rewritten in place
  return after_walk(walk_picture(picture.image.rows(), located, out, feedback), out, destination,
                    picture.true_colour);
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
