#include "encode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "carrier.h"
#include "file_closer.h"
#include "files.h"
#include "formats.h"

namespace zororuzo {

namespace {

using run::failure;
using run::Outcome;
using run::Status;

// Rows made before they are written: a block of them.
constexpr int32_t rows_per_band = run::block_bytes / carrier::width;

ssize_t read_some(int fd, unsigned char* buffer, size_t n) {
  ssize_t got;
  do {
    got = read(fd, buffer, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

// Reads the source to its end and back to its start: a failure unless it holds n bytes.
Outcome read_through(int fd, int64_t n, const std::string& source) {
  std::vector<unsigned char> buffer(run::block_bytes);
  int64_t total = 0;
  ssize_t r;
  while ((r = read_some(fd, buffer.data(), buffer.size())) > 0) total += r;
  if (r < 0 || lseek(fd, 0, SEEK_SET) != 0) {
    return failure(Status::source_unreadable, source, run::system_fault(errno));
  }
  return total == n ? Outcome{} : failure(Status::source_changed, source);
}

Outcome encode(const std::string& source, const std::string& destination, run::Feedback& feedback,
               files::SafeOutput& out) {
  int fd;
  struct stat st {};
  if (const run::Fault f = files::open_source(source, fd, st)) {
    return failure(Status::source_unreadable, source, f);
  }
  files::FileCloser closer{fd};
  if (files::same_file(st, destination)) return failure(Status::same_file, destination);

  if (st.st_size > formats::most_source_bytes()) return failure(Status::source_too_large, source);
  const int64_t n = st.st_size;
  const int32_t h = carrier::carrier_rows(n);

  const formats::Container* const container = formats::container_for(destination);
  if (!container || !container->write) return failure(Status::format_unsupported, destination);
  if (h > container->most_rows) {
    Outcome o = failure(Status::container_too_small, destination);
    o.rows = h;
    o.max_rows = container->most_rows;
    o.container = container->name;
    return o;
  }

  // Dropped without a commit, the output leaves the destination as it was.
  if (const run::Fault f = out.open(destination)) {
    return failure(Status::destination_failed, destination, f);
  }
  // A file rewritten in place is put back from its copy should the run fail; the source is read
  // through once first all the same, so that one that cannot be read or changes size fails
  // before the file is copied or touched, and the disk gives room for the whole carrier.
  if (out.rewrites_in_place()) {
    if (const Outcome o = read_through(fd, n, source); o.status != Status::done) return o;
  }
  out.reserve(formats::most_bytes(*container, carrier::width, h));
  const carrier::Record room{static_cast<uint64_t>(n), 0};  // the longest record it may hold
  run::Fault f;
  const auto writer =
      formats::writer_for(*container, out, carrier::width, h, formats::grey_palette(), &room, f);
  if (!f) f = writer->begin();
  if (f) return failure(Status::destination_failed, destination, f);

  // The picture is made and written a band of rows at a time: byte k of the source goes to
  // linear position k + 1, the last one to position n, and every pixel after it is 0.
  const int32_t band_rows = std::min<int32_t>(h, rows_per_band);
  std::vector<unsigned char> band(static_cast<size_t>(band_rows) * carrier::width);
  int32_t band_top = 0;  // the band's first row
  carrier::Cursor cursor(carrier::width, h, static_cast<int32_t>(n % carrier::width),
                         static_cast<int32_t>(n / carrier::width), feedback,
                         carrier::Cursor::Stop::after_each_byte);
  const auto write_band = [&] {
    const int32_t count = std::min(band_rows, h - band_top);
    f = writer->rows(band.data(), count);
    band_top += count;
    // The data writes over every byte of the next band unless it ends there or Esc stops it:
    // only then does it need its zeros.
    if (cursor.escaped() || int64_t{band_top + band_rows} * carrier::width > n) {
      std::fill(band.begin(), band.end(), 0);
    }
    return !f;
  };
  std::vector<unsigned char> buffer(
      static_cast<size_t>(std::min<int64_t>(run::block_bytes, n + 1)));
  size_t used = 0, got = 0;
  uint32_t crc = 0;  // of the bytes placed, a block at a time
  while (const int32_t span = cursor.next_span()) {
    if (cursor.y >= band_top + band_rows && !write_band()) {
      return failure(Status::destination_failed, destination, f);
    }
    if (used == got) {
      crc = carrier::crc32(crc, buffer.data(), got);
      const ssize_t r = read_some(fd, buffer.data(), buffer.size());
      if (r < 0) return failure(Status::source_unreadable, source, run::system_fault(errno));
      if (r == 0) return failure(Status::source_changed, source);  // it shrank
      got = static_cast<size_t>(r);
      used = 0;
    }
    unsigned char* const to =
        band.data() + static_cast<size_t>(cursor.y - band_top) * carrier::width + cursor.x;
    used += cursor.copy(to, buffer.data() + used,
                        static_cast<int32_t>(std::min<size_t>(span, got - used)));
  }
  const bool escaped = cursor.escaped();
  if (escaped) {  // the band's bytes after the last one placed still hold the band before's
    const auto placed = cursor.visited() + 1 - int64_t{band_top} * carrier::width;
    std::fill(band.begin() + placed, band.end(), 0);
  }
  // Esc held from the start: whoever pressed it wanted out, and loses no file to it. A new name
  // still gets the carrier of the one byte placed.
  if (cursor.stopped_at_first_test() && out.replaces_a_file()) {
    return failure(Status::cancelled, destination);
  }
  const carrier::Record record{static_cast<uint64_t>(cursor.visited()),
                               carrier::crc32(crc, buffer.data(), used)};
  if (!escaped && used == got) {
    // The size was read before the bytes; a source that grew since has more to give.
    unsigned char extra;
    const ssize_t r = read_some(fd, &extra, 1);
    if (r < 0) return failure(Status::source_unreadable, source, run::system_fault(errno));
    if (r > 0) return failure(Status::source_changed, source);
  } else if (!escaped) {
    return failure(Status::source_changed, source);  // it grew within the last block
  }
  // The band in hand, then the rows of zeros after the data (after Esc, all the rest).
  while (band_top < h) {
    if (!write_band()) return failure(Status::destination_failed, destination, f);
  }
  // The palette's check is the file's (or, after Esc, the bytes placed), like the record.
  if (!f) f = writer->repaint(formats::check_palette(record));
  if (!f) f = writer->finish(&record);
  if (!f) f = out.commit();
  if (f) return failure(Status::destination_failed, destination, f);

  Outcome o;
  o.status = escaped ? Status::stopped : Status::done;
  o.file = destination;
  o.saved = static_cast<int64_t>(record.length);
  o.whole = n;
  return o;
}

}  // namespace

Outcome encode_file(const std::string& source, const std::string& destination,
                    run::Feedback& feedback) {
  // Whatever the run opened is closed, or removed, and a file rewritten in place put back.
  files::SafeOutput out;
  try {
    return out.settle(encode(source, destination, feedback, out), destination);
  } catch (const std::bad_alloc&) {
    return out.settle(failure(Status::no_memory, source), destination);
  }
}

}  // namespace zororuzo
