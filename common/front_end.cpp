#include "front_end.h"

#include "formats.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace front_end {

char sorgente[name_bytes];
char destinazione[name_bytes];
PALETTE pal;

namespace {

char messaggio[32];  // the progress line

// The row count last reached, and whether the screen shows it yet.
int32_t reached_row, reached_total;
bool reached_shown = true;
int64_t last_drawn_ns = INT64_MIN / 2;
constexpr int64_t frame_ns = 1000000000 / 60;

int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void draw_reached() {
  if (reached_shown) return;
  show_progress(reached_row, reached_total);
  reached_shown = true;
  last_drawn_ns = now_ns();
}

// The dialog's rows; the text rows receive each program's lines at start-up.
enum Riga { campo_sorgente, campo_destinazione, bottone_ok, riga_stringa, riga_stringa2,
            riga_stringa3, riga_stringa4 };

DIALOG finestra_dialogo[] = {
  /* (proc)         (x)  (y)  (w)  (h)  (fg) (bg) (key) (flags) (d1) (d2) (dp)        (dp2)    (dp3) */
  { d_edit_proc,    80,  32,  512, 48,  255, 0,   0,    0,      name_chars, 0, sorgente, nullptr, nullptr },
  { d_edit_proc,    80,  48,  512, 48,  255, 0,   0,    0,      name_chars, 0, destinazione, nullptr, nullptr },
  { d_button_proc,  240, 400, 161, 49,  255, 0,   0,    D_EXIT, 0,   0,   const_cast<char*>("OK"), nullptr, nullptr },
  { d_ctext_proc,   318, 300, 0,   0,   255, 0,   0,    0,      0,   0,   nullptr,    nullptr, nullptr },
  { d_ctext_proc,   318, 316, 0,   0,   255, 0,   0,    0,      0,   0,   nullptr,    nullptr, nullptr },
  { d_ctext_proc,   318, 332, 0,   0,   255, 0,   0,    0,      0,   0,   nullptr,    nullptr, nullptr },
  { d_ctext_proc,   318, 348, 0,   0,   255, 0,   0,    0,      0,   0,   nullptr,    nullptr, nullptr },
  { nullptr,        0,   0,   0,   0,   0,   0,   0,    0,      0,   0,   nullptr,    nullptr, nullptr },
};

// Why start-up failed: the library's words, or a hint when it gave none.
const char* start_up_error() {
  return allegro_error[0] ? allegro_error : "nessuno schermo grafico disponibile (DISPLAY?)";
}

void set_prompt(char* buffer, const char* prompt) {
  std::snprintf(buffer, name_bytes, "%s", prompt);
}

}  // namespace

bool start_up_and_ask_names(const Texts& texts) {
  if (!formats::start_library(true)) {
    std::fprintf(stderr, "Impossibile avviare la libreria grafica: %s\n", start_up_error());
    return false;
  }
  install_keyboard();
  install_mouse();
  install_timer();
  if (set_gfx_mode(GFX_SAFE, 640, 480, 0, 0) != 0) {
    std::fprintf(stderr, "Impossibile aprire lo schermo 640x480: %s\n", start_up_error());
    return false;
  }
  set_color_depth(8);
  get_palette_range(pal, 0, 255);

  set_prompt(sorgente, texts.prompt_sorgente);
  set_prompt(destinazione, texts.prompt_destinazione);
  finestra_dialogo[riga_stringa].dp = const_cast<char*>(texts.stringa);
  finestra_dialogo[riga_stringa2].dp = const_cast<char*>(texts.stringa2);
  finestra_dialogo[riga_stringa3].dp = const_cast<char*>(texts.stringa3);
  finestra_dialogo[riga_stringa4].dp = const_cast<char*>(texts.stringa4);
  do_dialog(finestra_dialogo, -1);
  return true;
}

void show_progress(int32_t current_row, int32_t total_rows) {
  std::snprintf(messaggio, sizeof messaggio, "%li di %li", static_cast<long>(current_row),
                static_cast<long>(total_rows));
  gui_textout_ex(screen, messaggio, 0, 0, 128, 255, 0);
}

void progress_reached(int32_t current_row, int32_t total_rows) {
  reached_row = current_row;
  reached_total = total_rows;
  reached_shown = false;
  if (now_ns() - last_drawn_ns >= frame_ns) draw_reached();
}

void show_completion(const run::Outcome& outcome) {
  draw_reached();
  // The notice closes on Esc: one still held from stopping the run (and its key repeats) would
  // close it before it is seen. It waits until Esc is let go.
  while (key[KEY_ESC]) rest(10);
  clear_keybuf();
  const run::Notice notice = run::notice_for(outcome);
  alert(notice.line1.c_str(), notice.line2.c_str(), notice.line3.c_str(), "Ok", nullptr, 1, 0);
}

}  // namespace front_end
