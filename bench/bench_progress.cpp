// The progress line's cost on a real screen, for bench/run: the row count of a carrier of ROWS
// rows, reached one row at a time as a conversion reaches it, on the programs' 640x480 window.
//
//   bench_progress ROWS frame     front_end::progress_reached, what the programs call: drawn
//                                 at most once per display frame
//   bench_progress ROWS every     front_end::show_progress for every row: the cost the frame
//                                 limit saves
//
// Needs DISPLAY. Prints seconds (wall) and cpu_seconds (this process; the X server's work is
// not in it).
#include <allegro.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "front_end.h"

namespace {

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string way = argc == 3 ? argv[2] : "";
  if (way != "frame" && way != "every") {
    std::fprintf(stderr, "usage: bench_progress ROWS frame|every\n");
    return 2;
  }
  const auto rows = static_cast<int32_t>(std::atol(argv[1]));
  // The programs' start-up, without the dialog.
  if (allegro_init() != 0) return 1;
  install_keyboard();
  install_mouse();
  install_timer();
  if (set_gfx_mode(GFX_SAFE, 640, 480, 0, 0) != 0) {
    std::fprintf(stderr, "no screen: %s\n", allegro_error);
    return 1;
  }
  set_color_depth(8);

  const double cpu_start = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  for (int32_t row = 1; row <= rows; ++row) {
    if (way == "frame") {
      front_end::progress_reached(row, rows);
    } else {
      front_end::show_progress(row, rows);
    }
  }
  // The programs draw the last count reached before their notice.
  if (way == "frame") front_end::show_progress(rows, rows);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  std::printf("seconds=%.6f cpu_seconds=%.6f\n", wall.count(), cpu_seconds() - cpu_start);
  return 0;
}
END_OF_MAIN()
