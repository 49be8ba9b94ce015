#include "decode.h"

#include <fcntl.h>
#include <loadpng.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "image_check.h"
#include "packfile_io.h"
#include "safe_output.h"

namespace devorudo {

namespace {

using run::Outcome;
using run::Status;
using run::failure;

// The largest picture file read: a picture the library can hold has at most INT_MAX bytes of
// pixels, plus headers, colour tables and padding.
constexpr int64_t max_picture_file = int64_t{INT_MAX} + (int64_t{64} << 20);

// Bytes gathered before they go to the sink.
constexpr size_t walk_chunk = 1 << 16;

// The library's loaders create pictures at the current colour depth; ours are 8-bit.
class EightBitLoading {
 public:
  EightBitLoading() : depth_(get_color_depth()) { set_color_depth(8); }
  ~EightBitLoading() { set_color_depth(depth_); }

 private:
  int depth_;
};

BITMAP* run_loader(carrier::Container c, PACKFILE* f, RGB* palette) {
  switch (c) {
    case carrier::Container::bmp: return load_bmp_pf(f, palette);
    case carrier::Container::tga: return load_tga_pf(f, palette);
    case carrier::Container::pcx: return load_pcx_pf(f, palette);
    case carrier::Container::png: return load_png_pf(f, palette);
    case carrier::Container::unknown: break;
  }
  return nullptr;
}

}  // namespace

namespace {

// Runs the loader over `in`, whose bytes passed the check that gave `report`.
Bitmap load_checked(PackInput& in, carrier::Container c, const image_check::Report& report,
                    const std::string& name, run::Outcome& failure_out) {
  PACKFILE* f = pack_open_input(in);
  if (!f) {
    failure_out = failure(Status::no_memory, name);
    return nullptr;
  }
  // The picture's colours mean nothing here, but a true-colour picture is reduced to 8 bits
  // against all 256 entries, of which the loader fills only as many as the picture has
  // colours: the rest must start the same every time.
  PALETTE palette = {};
  Bitmap bmp;
  {
    EightBitLoading eight_bits;
    bmp.reset(run_loader(c, f, palette));
  }
  pack_fclose(f);
  if (!bmp || (in.overread && !report.reads_to_end) || bitmap_color_depth(bmp.get()) != 8 ||
      bmp->w != report.width || bmp->h != report.height) {
    failure_out = failure(Status::image_invalid, name);
    return nullptr;
  }
  return bmp;
}

}  // namespace

Bitmap load_picture(const unsigned char* data, size_t size, carrier::Container c,
                    const std::string& name, run::Outcome& failure_out) {
  const image_check::Report report = image_check::check_picture(c, data, size);
  if (!report.ok()) {
    failure_out = failure(Status::image_invalid, name);
    return nullptr;
  }
  PackInput in;
  in.data = data;
  in.size = size;
  return load_checked(in, c, report, name, failure_out);
}

Bitmap load_picture_fd(int fd, carrier::Container c, const std::string& name,
                       run::Outcome& failure_out) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    failure_out = failure(Status::image_invalid, name, errno);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    failure_out = failure(Status::image_invalid, name, EISDIR);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    failure_out = failure(Status::image_invalid, name);
    return nullptr;
  }
  if (c == carrier::Container::unknown) {  // no loader for it
    failure_out = failure(Status::image_invalid, name);
    return nullptr;
  }
  if (st.st_size > max_picture_file) {
    failure_out = failure(Status::image_invalid, name, EFBIG);
    return nullptr;
  }
  // The whole file is read once for the check, then let go: the loader reads it again from the
  // disk a block at a time, each block matched against what was checked. So the file and the
  // picture made from it are never both held whole.
  image_check::Report report;
  std::unique_ptr<CheckedFile> checked;
  {
    const auto size = static_cast<size_t>(st.st_size);
    PageBuffer bytes(size);
    if (!bytes.ok()) {
      failure_out = failure(Status::no_memory, name);
      return nullptr;
    }
    size_t got = 0;
    while (got < size) {
      const ssize_t n = pread(fd, bytes.data() + got, size - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failure_out = failure(Status::image_invalid, name, errno);
        return nullptr;
      }
      if (n == 0) break;  // it shrank: check what there is
      got += static_cast<size_t>(n);
    }
    report = image_check::check_picture(c, bytes.data(), got);
    if (!report.ok()) {
      failure_out = failure(Status::image_invalid, name);
      return nullptr;
    }
    checked = std::make_unique<CheckedFile>(fd, bytes.data(), got);
  }
  PackInput in;
  checked->attach(in);
  Bitmap bmp = load_checked(in, c, report, name, failure_out);
  if (bmp && checked->changed()) {
    failure_out = failure(Status::image_invalid, name);
    return nullptr;
  }
  return bmp;
}

bool SafeOutputSink::write(const unsigned char* data, size_t n) { return out_.write(data, n); }

Walk walk_picture(const BITMAP* bmp, ByteSink& sink, run::Feedback& feedback) {
  Walk walk;
  const volatile char* escape = feedback.escape_key();
  if (*escape) {
    walk.escaped = true;
    return walk;
  }
  const int32_t w = bmp->w;
  const int32_t h = bmp->h;
  const int64_t end = carrier::find_data_end(carrier::Rows{bmp->line, w, h});
  if (end == 0) return walk;
  if (*escape) {
    walk.escaped = true;
    return walk;
  }

  std::vector<unsigned char> chunk(static_cast<size_t>(std::min<int64_t>(walk_chunk, end)));
  size_t used = 0;
  int64_t position = 1;
  int32_t shown_row = 0;
  bool escaped = false;
  while (position <= end && !escaped) {
    const int32_t y = static_cast<int32_t>(position / w);
    const int32_t x = static_cast<int32_t>(position % w);
    if (y + 1 != shown_row) {
      shown_row = y + 1;
      feedback.show_row(shown_row, h);
    }
    const size_t take = static_cast<size_t>(
        std::min<int64_t>({int64_t{w} - x, end - position + 1,
                           static_cast<int64_t>(chunk.size() - used)}));
    const size_t copied =
        run::copy_until_escape(chunk.data() + used, bmp->line[y] + x, take, escape, escaped);
    used += copied;
    position += copied;
    if (used == chunk.size() || escaped || position > end) {
      if (!sink.write(chunk.data(), used)) {
        walk.write_failed = true;
        break;
      }
      walk.bytes += used;
      used = 0;
    }
  }
  walk.escaped = escaped;
  return walk;
}

Outcome decode_file(const std::string& source, const std::string& destination,
                    run::Feedback& feedback) {
  const int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failure(Status::image_invalid, source, errno);
  Bitmap bmp;
  {
    FileCloser closer{fd};
    Outcome refused;
    bmp = load_picture_fd(fd, carrier::container_for(source), source, refused);
    if (!bmp) return refused;
  }

  SafeOutput out;
  if (!out.open(destination)) {
    return failure(Status::destination_failed, destination, out.error() ? out.error() : EIO);
  }
  SafeOutputSink sink(out);
  const Walk walk = walk_picture(bmp.get(), sink, feedback);
  if (walk.write_failed || !out.commit()) {
    out.abandon();
    return failure(Status::destination_failed, destination, out.error() ? out.error() : EIO);
  }
  Outcome o;
  o.status = walk.escaped ? Status::stopped : Status::done;
  o.file = destination;
  return o;
}

}  // namespace devorudo
