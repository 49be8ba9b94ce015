#include "decode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "carrier.h"
#include "formats.h"
#include "safe_output.h"

namespace devorudo {

namespace {

using run::Outcome;
using run::Status;
using run::failure;

// Bytes gathered before they go to the sink.
constexpr size_t walk_chunk = 1 << 16;

class SafeOutputSink : public ByteSink {
 public:
  explicit SafeOutputSink(files::SafeOutput& out) : out_(out) {}
  bool write(const unsigned char* data, size_t n) override { return !out_.write(data, n); }

 private:
  files::SafeOutput& out_;
};

}  // namespace

Walk walk_picture(const carrier::Rows& picture, const carrier::Mark& mark, ByteSink& sink,
                  run::Feedback& feedback) {
  Walk walk;
  const int32_t w = picture.w;
  const int32_t h = picture.h;
  const carrier::DataEnd located = carrier::locate_data(picture, mark);
  const int64_t end = located.end;
  walk.exact = located.exact;
  walk.altered = located.altered;
  walk.end = end;
  // Esc held before the walk (from the dialog, or through the scan) stops it before any byte.
  if (feedback.escape_down()) {
    walk.escaped = true;
    return walk;
  }
  if (end == 0) return walk;

  const int32_t y1 = static_cast<int32_t>(end / w);
  const int32_t x1 = static_cast<int32_t>(end % w);
  carrier::Cursor at(w, h, x1, y1, feedback);
  std::vector<unsigned char> chunk(static_cast<size_t>(std::min<int64_t>(walk_chunk, end)));
  size_t used = 0;
  while (const int32_t span = at.span()) {
    const auto n = static_cast<int32_t>(std::min<size_t>(span, chunk.size() - used));
    used += at.copy(chunk.data() + used, picture.row(at.y) + at.x, n);
    if (used == chunk.size() || at.escaped() || at.visited() == end) {
      if (!sink.write(chunk.data(), used)) {
        walk.write_failed = true;
        break;
      }
      walk.sent += static_cast<int64_t>(used);
      used = 0;
    }
  }
  walk.escaped = at.escaped();
  return walk;
}

namespace {

Outcome decode(const std::string& source, const std::string& destination,
               run::Feedback& feedback) {
  const carrier::Container container = carrier::container_for(source);
  if (container == carrier::Container::unknown) {
    return failure(Status::format_unsupported, source);
  }
  int fd;
  struct stat st {};
  if (const run::Fault f = files::open_source(source, fd, st)) {
    return failure(Status::image_invalid, source, f);
  }
  formats::Picture picture;
  {
    files::FileCloser closer{fd};
    if (files::same_file(st, destination)) return failure(Status::same_file, destination);
    formats::Input in(fd);
    if (const run::Fault f = formats::read_picture(container, in, picture)) {
      return failure(f.error == ENOMEM ? Status::no_memory : Status::image_invalid, source, f);
    }
  }

  files::SafeOutput out;
  if (const run::Fault f = out.open(destination)) {
    return failure(Status::destination_failed, destination, f);
  }
  SafeOutputSink sink(out);
  const Walk walk = walk_picture(picture.image.rows(), picture.mark, sink, feedback);
  const run::Fault f = walk.write_failed ? out.fault() : out.commit();
  if (f) {
    out.abandon();
    return failure(Status::destination_failed, destination, f);
  }
  Outcome o;
  o.status = walk.escaped ? Status::stopped : Status::done;
  o.file = destination;
  o.true_colour = picture.true_colour;
  o.altered = walk.altered;
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
