// One timed conversion per run, for bench/run: the conversions the programs run, without a
// screen, and the image library's own BMP writer and reader alone, for comparison.
//
//   bench_convert encode SOURCE DESTINATION      zororuzo::encode_file
//   bench_convert decode SOURCE DESTINATION      devorudo::decode_file
//   bench_convert save-bmp SOURCE DESTINATION    the library's save_bmp of the carrier (built
//                                                beforehand, untimed) to a plain file
//   bench_convert load-bmp SOURCE                the library's load_bmp
//   bench_convert check-record SOURCE            the decoder's check of a whole record against
//                                                the carrier (built beforehand, untimed): the
//                                                CRC-32 of the data and the zeros after it
//
// Prints one line of key=value pairs: seconds and cpu_seconds (the timed part only), status,
// and what else the mode knows (rows shown, the longest the count stood still in seconds, bytes
// written). Encode and decode then print the
// closing notice's three lines as the program shows them, one a line (the third may be empty).
#include <allegro.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "carrier.h"
#include "decode.h"
#include "encode.h"
#include "formats.h"
#include "front_end.h"
#include "notice.h"
#include "run.h"
#include "support.h"

namespace {

// The time the row count stood still longest: from the start to the first row, between rows,
// and from the last row to the end (each lap ends one pause and starts the next).
struct Pauses {
  std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
  double longest = 0;
  void lap() {
    const auto now = std::chrono::steady_clock::now();
    longest = std::max(longest, std::chrono::duration<double>(now - last).count());
    last = now;
  }
};

long long bytes_in(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The carrier of `source`, built outside the timed part: the encoder's own, as a BMP beside
// the source (removed after), read back into a library bitmap.
formats::Bitmap carrier_of(const std::string& source) {
  formats::Bitmap bmp;
  const std::string made = source + ".carrier.bmp";
  test::RecordingFeedback quiet;
  const bool encoded = zororuzo::encode_file(source, made, quiet).status == run::Status::done;
  const int fd = encoded ? open(made.c_str(), O_RDONLY) : -1;
  std::remove(made.c_str());
  if (fd < 0) return bmp;
  formats::Input in(fd);
  formats::Picture picture;
  if (!formats::read_picture(*formats::container_for(made), in, picture)) {
    const formats::Image& image = picture.image;
    bmp.reset(create_bitmap_ex(8, image.w(), image.h()));
    for (int y = 0; bmp && y < image.h(); ++y) {
      std::memcpy(bmp->line[y], image.row(y), static_cast<size_t>(image.w()));
    }
  }
  close(fd);
  return bmp;
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall and processor seconds since it was made.
struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = cpu_seconds();
  void print(bool ok, const char* more = "") const {
    const std::chrono::duration<double> s = std::chrono::steady_clock::now() - wall;
    std::printf("seconds=%.6f cpu_seconds=%.6f status=%s%s\n", s.count(), cpu_seconds() - cpu,
                ok ? "done" : "failed", more);
  }
};

int usage() {
  std::fprintf(stderr,
               "usage: bench_convert encode|decode|save-bmp SOURCE DESTINATION\n"
               "       bench_convert load-bmp|check-record SOURCE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  if (!front_end::start_headless()) {
    std::fprintf(stderr, "cannot start the library\n");
    return 1;
  }
  PALETTE pal;
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<unsigned char>(i / 4);
    pal[i] = RGB{v, v, v, 0};
  }

  if ((mode == "encode" || mode == "decode") && argc == 4) {
    test::RecordingFeedback feedback;  // no screen, Esc never held
    Pauses pauses;
    feedback.on_row = [&](int32_t, int32_t) { pauses.lap(); };
    const Timer timer;
    const run::Outcome o = mode == "encode" ? zororuzo::encode_file(argv[2], argv[3], feedback)
                                            : devorudo::decode_file(argv[2], argv[3], feedback);
    pauses.lap();
    const bool ok = o.status == run::Status::done;
    char more[96];
    std::snprintf(more, sizeof more, " rows_shown=%ld longest_pause=%.3f bytes=%lld",
                  static_cast<long>(feedback.rows.size()), pauses.longest, bytes_in(argv[3]));
    timer.print(ok, more);
    const front_end::Notice notice = front_end::notice_for(o);
    std::printf("%s\n%s\n%s\n", notice.line1.c_str(), notice.line2.c_str(), notice.line3.c_str());
    return ok ? 0 : 1;
  }

  if (mode == "save-bmp" && argc == 4) {
    const formats::Bitmap bmp = carrier_of(argv[2]);
    if (!bmp) return 1;
    const Timer timer;
    const bool ok = save_bmp(argv[3], bmp.get(), pal) == 0;
    timer.print(ok);
    return ok ? 0 : 1;
  }

  if (mode == "load-bmp" && argc == 3) {
    const Timer timer;
    const formats::Bitmap bmp(load_bmp(argv[2], nullptr));
    timer.print(bmp != nullptr);
    return bmp ? 0 : 1;
  }

  if (mode == "check-record" && argc == 3) {
    const formats::Bitmap bmp = carrier_of(argv[2]);
    if (!bmp) return 1;
    const carrier::Rows rows{bmp->line[0], bmp->w, bmp->h};  // the library's one block
    carrier::Mark mark{carrier::Mark::whole, {static_cast<uint64_t>(bytes_in(argv[2])), 0}};
    FILE* f = std::fopen(argv[2], "rb");
    static unsigned char block[1 << 16];
    for (size_t got; f && (got = std::fread(block, 1, sizeof block, f)) > 0;) {
      mark.record.crc = carrier::crc32(mark.record.crc, block, got);
    }
    if (f) std::fclose(f);
    const Timer timer;
    const bool ok = carrier::locate_data(rows, mark, carrier::Shown{}).exact;
    timer.print(ok);
    return ok ? 0 : 1;
  }

  return usage();
}
END_OF_MAIN()
