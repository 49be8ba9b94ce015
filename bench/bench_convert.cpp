// One timed conversion per run, for bench/run: the conversions the programs run, without a
// screen, and the image library's own readers and writers alone, for comparison.
//
//   bench_convert encode SOURCE DESTINATION      zororuzo::encode_file
//   bench_convert decode SOURCE DESTINATION      devorudo::decode_file
//   bench_convert save-bmp SOURCE DESTINATION    the library's BMP writer alone: save_bmp of the
//                                                carrier (built beforehand) to a plain file
//   bench_convert load-bmp SOURCE                the library's BMP reader alone: load_bmp
//   bench_convert png-level LEVEL SOURCE DESTINATION   loadpng at one compression level
//
// Prints one line of key=value pairs: seconds (the timed part only), and what else the mode
// knows (status, rows shown, bytes written).
#include <allegro.h>
#include <loadpng.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "carrier.h"
#include "encode.h"
#include "run.h"
#ifdef BENCH_HAVE_DECODER
#include "decode.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// No screen: counts the rows it is shown; Esc is never held.
class CountingFeedback : public run::Feedback {
 public:
  CountingFeedback() : Feedback(&escape_) {}
  void show_row(int32_t, int32_t) override { ++rows_shown; }
  long rows_shown = 0;

 private:
  char escape_ = 0;
};

const char* status_name(run::Status s) {
  switch (s) {
    case run::Status::done: return "done";
    case run::Status::stopped: return "stopped";
    case run::Status::source_unreadable: return "source_unreadable";
    case run::Status::source_changed: return "source_changed";
    case run::Status::source_too_large: return "source_too_large";
    case run::Status::container_too_small: return "container_too_small";
    case run::Status::format_unsupported: return "format_unsupported";
    case run::Status::image_invalid: return "image_invalid";
    case run::Status::no_memory: return "no_memory";
    case run::Status::destination_failed: return "destination_failed";
  }
  return "?";
}

long long bytes_in(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The carrier of `source`, built outside the timed part, a row at a time.
BITMAP* carrier_of(const std::string& source) {
  const long long n = bytes_in(source);
  FILE* f = n >= 0 && n <= carrier::max_source_bytes ? std::fopen(source.c_str(), "rb") : nullptr;
  if (!f) return nullptr;
  BITMAP* bmp = create_bitmap_ex(8, carrier::width, carrier::carrier_rows(static_cast<int32_t>(n)));
  if (bmp) {
    clear_bitmap(bmp);
    // Byte k goes to linear position k + 1: row 0 from column 1, the others whole.
    size_t got = std::fread(bmp->line[0] + 1, 1, carrier::width - 1, f);
    for (int y = 1; y < bmp->h; ++y) got += std::fread(bmp->line[y], 1, carrier::width, f);
    if (static_cast<long long>(got) != n) {
      destroy_bitmap(bmp);
      bmp = nullptr;
    }
  }
  std::fclose(f);
  return bmp;
}

// Processor time of this process so far (user and system).
double cpu_seconds() {
  rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Times a part: wall seconds and processor seconds.
struct Timer {
  Clock::time_point wall = Clock::now();
  double cpu = cpu_seconds();
  std::string fields() const {
    char text[96];
    std::snprintf(text, sizeof text, "seconds=%.6f cpu_seconds=%.6f", seconds_since(wall),
                  cpu_seconds() - cpu);
    return text;
  }
};

int usage() {
  std::fprintf(stderr,
               "usage: bench_convert encode|decode|save-bmp SOURCE DESTINATION\n"
               "       bench_convert load-bmp SOURCE\n"
               "       bench_convert png-level LEVEL SOURCE DESTINATION\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
    std::fprintf(stderr, "cannot start the library\n");
    return 1;
  }
  set_color_depth(8);
  set_filename_encoding(U_UTF8);
  register_png_file_type();
  PALETTE pal;
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<unsigned char>(i / 4);
    pal[i] = RGB{v, v, v, 0};
  }

  if ((mode == "encode" || mode == "decode") && argc == 4) {
    CountingFeedback feedback;
    run::Outcome o;
    const Timer timer;
    if (mode == "encode") {
      o = zororuzo::encode_file(argv[2], argv[3], pal, feedback);
    } else {
#ifdef BENCH_HAVE_DECODER
      o = devorudo::decode_file(argv[2], argv[3], feedback);
#else
      std::fprintf(stderr, "built without the decoder\n");
      return 1;
#endif
    }
    std::printf("%s status=%s rows_shown=%ld bytes=%lld\n", timer.fields().c_str(),
                status_name(o.status), feedback.rows_shown, bytes_in(argv[3]));
    return o.status == run::Status::done ? 0 : 1;
  }

  if (mode == "save-bmp" && argc == 4) {
    BITMAP* bmp = carrier_of(argv[2]);
    if (!bmp) return 1;
    const Timer timer;
    const bool ok = save_bmp(argv[3], bmp, pal) == 0;
    std::printf("%s status=%s bytes=%lld\n", timer.fields().c_str(), ok ? "done" : "failed",
                bytes_in(argv[3]));
    destroy_bitmap(bmp);
    return ok ? 0 : 1;
  }

  if (mode == "load-bmp" && argc == 3) {
    const Timer timer;
    BITMAP* bmp = load_bmp(argv[2], nullptr);
    std::printf("%s status=%s\n", timer.fields().c_str(), bmp ? "done" : "failed");
    if (!bmp) return 1;
    destroy_bitmap(bmp);
    return 0;
  }

  if (mode == "png-level" && argc == 5) {
    _png_compression_level = std::atoi(argv[2]);
    BITMAP* bmp = carrier_of(argv[3]);
    if (!bmp) return 1;
    const Timer timer;
    const int result = save_png(argv[4], bmp, pal);
    std::printf("%s status=%s bytes=%lld\n", timer.fields().c_str(),
                result == 0 ? "done" : "failed", bytes_in(argv[4]));
    destroy_bitmap(bmp);
    return result == 0 ? 0 : 1;
  }

  return usage();
}
