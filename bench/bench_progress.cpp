// The progress line's cost on a real screen, for bench/run: draws "<row> di <rows>" for every
// row of a carrier, the way the programs do while converting, and times it.
//
//   bench_progress ROWS [WAY]      needs DISPLAY; opens the programs' 640x480 window
//
// WAY is "program" (the default: front_end::show_progress, what the programs run), or one of
// the cheaper ways to put the same pixels on the screen, measured for comparison:
//   "blit"    the line drawn into a memory bitmap, then copied to the screen in one blit;
//   "tail"    only the characters that changed since the last row drawn (the font is fixed
//             width, 8 pixels a character, so the screen ends up the same);
//   "tail-blit"  both;
//   "10ms"    both, and no more than one line every 10 ms (the last row always drawn): what
//             the user sees then skips counts no screen could show anyway.
// Prints seconds (wall) and cpu_seconds (this process; the X server's work is not in it).
#include <allegro.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "front_end.h"

namespace {

double cpu_seconds() {
  rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The line as front_end::show_progress draws it, at (0, 0), colour 128 on 255.
void draw_line(BITMAP* to, const char* text, int x) { gui_textout_ex(to, text, x, 0, 128, 255, 0); }

class Way {
 public:
  Way(bool blit, bool tail, bool throttle) : blit_(blit), tail_(tail), throttle_(throttle) {
    if (blit_) memory_ = create_bitmap(640, 8);
  }
  ~Way() {
    if (memory_) destroy_bitmap(memory_);
  }
  void show(int32_t row, int32_t rows) {
    if (throttle_ && row != rows) {
      const auto now = std::chrono::steady_clock::now();
      if (now < next_) return;
      next_ = now + std::chrono::milliseconds(10);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%li di %li", static_cast<long>(row), static_cast<long>(rows));
    const size_t n = std::strlen(text);
    size_t from = 0;
    if (tail_ && shown_.size() == n) {
      while (from < n && shown_[from] == text[from]) ++from;
      if (from == n) return;
    }
    shown_ = text;
    if (blit_) {
      draw_line(memory_, text + from, 8 * static_cast<int>(from));
      blit(memory_, screen, 8 * static_cast<int>(from), 0, 8 * static_cast<int>(from), 0,
           8 * static_cast<int>(n - from), 8);
    } else {
      draw_line(screen, text + from, 8 * static_cast<int>(from));
    }
  }

 private:
  bool blit_, tail_, throttle_;
  std::chrono::steady_clock::time_point next_{};
  BITMAP* memory_ = nullptr;
  std::string shown_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: bench_progress ROWS [program|blit|tail|tail-blit|10ms]\n");
    return 2;
  }
  const long rows = std::atol(argv[1]);
  const std::string way = argc == 3 ? argv[2] : "program";
  if (way != "program" && way != "blit" && way != "tail" && way != "tail-blit" && way != "10ms") {
    return 2;
  }
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

  const bool throttle = way == "10ms";
  Way other(way == "blit" || way == "tail-blit" || throttle,
            way == "tail" || way == "tail-blit" || throttle, throttle);
  const double cpu_start = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  for (long row = 1; row <= rows; ++row) {
    if (way == "program") {
      front_end::show_progress(static_cast<int32_t>(row), static_cast<int32_t>(rows));
    } else {
      other.show(static_cast<int32_t>(row), static_cast<int32_t>(rows));
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu_start;

  // The line as this way left it, and as the programs' own drawing of the last row leaves it.
  BITMAP* after_way = create_bitmap(320, 8);
  BITMAP* after_program = create_bitmap(320, 8);
  blit(screen, after_way, 0, 0, 0, 0, 320, 8);
  front_end::show_progress(static_cast<int32_t>(rows), static_cast<int32_t>(rows));
  blit(screen, after_program, 0, 0, 0, 0, 320, 8);
  bool same = true;
  for (int y = 0; y < 8; ++y) {
    same = same && std::memcmp(after_way->line[y], after_program->line[y], 320) == 0;
  }
  destroy_bitmap(after_way);
  destroy_bitmap(after_program);

  std::printf("seconds=%.6f cpu_seconds=%.6f per_row_us=%.3f same_pixels=%d\n", wall, cpu,
              1e6 * wall / rows, same ? 1 : 0);
  return 0;
}
END_OF_MAIN()
