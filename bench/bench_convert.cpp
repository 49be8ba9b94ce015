// One timed conversion per run, for bench/run: the conversions the programs run, without a
// screen, and the image library's own readers and writers alone, for comparison.
//
//   bench_convert encode SOURCE DESTINATION      zororuzo::encode_file
//   bench_convert decode SOURCE DESTINATION      devorudo::decode_file
//   bench_convert save-bmp SOURCE DESTINATION    the library's BMP writer alone, into safe output
//   bench_convert load-bmp SOURCE                the library's BMP reader alone, from a file
//   bench_convert png-level LEVEL SOURCE DESTINATION   loadpng at one compression level
//
// Prints one line of key=value pairs: seconds (the timed part only), and what else the mode
// knows (status, rows shown, bytes written).
#include <allegro.h>
#include <loadpng.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "carrier.h"
#include "encode.h"
#include "packfile_io.h"
#include "run.h"
#include "safe_output.h"
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

// The carrier of `source`, built outside the timed part.
BITMAP* carrier_of(const std::string& source) {
  std::ifstream f(source, std::ios::binary);
  if (!f) return nullptr;
  const std::vector<char> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const int32_t n = static_cast<int32_t>(data.size());
  BITMAP* bmp = create_bitmap_ex(8, carrier::width, carrier::carrier_rows(n));
  if (!bmp) return nullptr;
  clear_bitmap(bmp);
  int32_t x = 1, y = 0;
  for (char c : data) {
    bmp->line[y][x] = static_cast<unsigned char>(c);
    carrier::advance_position(x, y, carrier::width);
  }
  return bmp;
}

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
    const auto start = Clock::now();
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
    const double s = seconds_since(start);
    std::printf("seconds=%.6f status=%s rows_shown=%ld bytes=%lld\n", s, status_name(o.status),
                feedback.rows_shown, bytes_in(argv[3]));
    return o.status == run::Status::done ? 0 : 1;
  }

  if (mode == "save-bmp" && argc == 4) {
    BITMAP* bmp = carrier_of(argv[2]);
    if (!bmp) return 1;
    const auto start = Clock::now();
    SafeOutput out;
    if (!out.open(argv[3])) return 1;
    PACKFILE* f = pack_open_output(out);
    const int result = save_bmp_pf(f, bmp, pal);
    pack_fclose(f);
    const double written = seconds_since(start);
    const bool ok = result == 0 && out.commit();
    const double s = seconds_since(start);
    std::printf("seconds=%.6f write_seconds=%.6f status=%s bytes=%lld\n", s, written,
                ok ? "done" : "failed", bytes_in(argv[3]));
    destroy_bitmap(bmp);
    return ok ? 0 : 1;
  }

  if (mode == "load-bmp" && argc == 3) {
    const auto start = Clock::now();
    BITMAP* bmp = load_bmp(argv[2], nullptr);
    const double s = seconds_since(start);
    std::printf("seconds=%.6f status=%s\n", s, bmp ? "done" : "failed");
    if (!bmp) return 1;
    destroy_bitmap(bmp);
    return 0;
  }

  if (mode == "png-level" && argc == 5) {
    _png_compression_level = std::atoi(argv[2]);
    BITMAP* bmp = carrier_of(argv[3]);
    if (!bmp) return 1;
    const auto start = Clock::now();
    const int result = save_png(argv[4], bmp, pal);
    const double s = seconds_since(start);
    std::printf("seconds=%.6f status=%s bytes=%lld\n", s, result == 0 ? "done" : "failed",
                bytes_in(argv[4]));
    destroy_bitmap(bmp);
    return result == 0 ? 0 : 1;
  }

  return usage();
}
