#include "encode.h"

#include <fcntl.h>
#include <loadpng.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "carrier.h"
#include "handles.h"
#include "packfile_io.h"
#include "safe_output.h"

namespace zororuzo {

namespace {

using run::Outcome;
using run::Status;
using run::failure;

constexpr size_t read_block = 1 << 20;

ssize_t read_some(int fd, unsigned char* buffer, size_t n) {
  ssize_t got;
  do {
    got = read(fd, buffer, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

// A PNG is complete when it ends with its IEND chunk: a writer whose last flush failed leaves
// the file short of it.
bool png_is_complete(const std::string& path) {
  static const unsigned char iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  FileCloser closer{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < 12) return false;
  unsigned char tail[12];
  return pread(fd, tail, sizeof tail, st.st_size - 12) == 12 &&
         std::memcmp(tail, iend, sizeof tail) == 0;
}

// Asks for huge pages for the picture's pixels, which the library keeps in one block.
void advise_huge_pages(BITMAP* bmp) {
  const auto w = static_cast<size_t>(bmp->w);
  const auto h = static_cast<size_t>(bmp->h);
  if (h > 0 && bmp->line[h - 1] == bmp->line[0] + w * (h - 1)) {
    ::advise_huge_pages(bmp->line[0], w * h);
  }
}

// Writes the carrier into `out` in the container `c`. Returns 0, or the cause of the failure.
int write_carrier(SafeOutput& out, carrier::Container c, BITMAP* bmp, const RGB* pal) {
  if (c == carrier::Container::png) {
    // loadpng writes only by name, through the library's own files, which leave the cause
    // of a failed write in errno.
    set_filename_encoding(U_UTF8);
    // loadpng compresses at zlib's slowest level, 9, unless told otherwise. Level 1, measured
    // by `bench/run png-levels` on 60 MiB carriers: text in 0.51 s and 14.7 MiB, against
    // 2.84 s and 11.6 MiB at level 9 (five times quicker for a quarter more bytes); random
    // bytes shrink at no level and take 1.43 s at every level from 1 to 9. Level 0 (0.18 s)
    // would store everything uncompressed, as large as a BMP.
    _png_compression_level = 1;
    errno = 0;
    if (save_png(out.working_path().c_str(), bmp, pal) != 0) return errno ? errno : EIO;
    return png_is_complete(out.working_path()) ? 0 : EIO;
  }
  PACKFILE* f = pack_open_output(out);
  if (!f) return ENOMEM;
  int result = -1;
  switch (c) {
    case carrier::Container::bmp: result = save_bmp_pf(f, bmp, pal); break;
    case carrier::Container::tga: result = save_tga_pf(f, bmp, pal); break;
    case carrier::Container::pcx: result = save_pcx_pf(f, bmp, pal); break;
    default: break;
  }
  pack_fclose(f);
  if (out.error() != 0) return out.error();
  return result == 0 ? 0 : EIO;
}

}  // namespace

Outcome encode_file(const std::string& source, const std::string& destination, const RGB* pal,
                    run::Feedback& feedback) {
  const int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failure(Status::source_unreadable, source, errno);
  FileCloser closer{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0) return failure(Status::source_unreadable, source, errno);
  if (S_ISDIR(st.st_mode)) return failure(Status::source_unreadable, source, EISDIR);
  if (!S_ISREG(st.st_mode)) return failure(Status::source_unreadable, source);

  if (st.st_size > carrier::max_source_bytes) return failure(Status::source_too_large, source);
  const int64_t n = st.st_size;
  const int32_t h = carrier::carrier_rows(static_cast<int32_t>(n));

  const carrier::Container container = carrier::container_for(destination);
  if (container == carrier::Container::unknown) {
    return failure(Status::format_unsupported, destination);
  }
  if (h > carrier::container_max_rows(container)) {
    Outcome o = failure(Status::container_too_small, destination);
    o.rows = h;
    o.max_rows = carrier::container_max_rows(container);
    o.container = carrier::container_name(container);
    return o;
  }

  Bitmap bmp(create_bitmap_ex(8, carrier::width, h));
  if (!bmp) return failure(Status::no_memory, source);
  advise_huge_pages(bmp.get());
  clear_bitmap(bmp.get());

  // Byte k of the source goes to linear position k + 1.
  std::vector<unsigned char> buffer(static_cast<size_t>(std::min<int64_t>(read_block, n + 1)));
  const volatile char* escape = feedback.escape_key();
  int64_t placed = 0;
  int32_t shown_row = 0;
  bool escaped = false;
  unsigned char last_byte = 0;
  while (!escaped && placed < n) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(buffer.size(), n - placed));
    const ssize_t got = read_some(fd, buffer.data(), want);
    if (got < 0) return failure(Status::source_unreadable, source, errno);
    if (got == 0) return failure(Status::source_changed, source);  // it shrank
    size_t used = 0;
    while (used < static_cast<size_t>(got) && !escaped) {
      const int64_t position = placed + 1;
      const int32_t y = static_cast<int32_t>(position / carrier::width);
      const int32_t x = static_cast<int32_t>(position % carrier::width);
      if (y + 1 != shown_row) {
        shown_row = y + 1;
        feedback.show_row(shown_row, h);
      }
      const size_t take = std::min<size_t>(static_cast<size_t>(got) - used, carrier::width - x);
      const size_t copied = run::copy_until_escape(bmp->line[y] + x, buffer.data() + used, take,
                                                   escape, escaped);
      used += copied;
      placed += copied;
    }
    last_byte = buffer[used - 1];
  }
  if (!escaped) {
    // The size was read before the bytes; a source that grew since has more to give.
    unsigned char extra;
    const ssize_t got = read_some(fd, &extra, 1);
    if (got < 0) return failure(Status::source_unreadable, source, errno);
    if (got > 0) return failure(Status::source_changed, source);
  }

  SafeOutput out;
  const std::string suffix = container == carrier::Container::png ? ".png" : "";
  if (!out.open(destination, suffix)) {
    return failure(Status::destination_failed, destination, out.error());
  }
  if (const int error = write_carrier(out, container, bmp.get(), pal)) {
    out.abandon();
    return failure(Status::destination_failed, destination, error);
  }
  if (!out.commit()) return failure(Status::destination_failed, destination, out.error());

  Outcome o;
  o.status = escaped ? Status::stopped : Status::done;
  o.file = destination;
  o.trailing_zeros = placed > 0 && last_byte == 0;
  return o;
}

}  // namespace zororuzo
