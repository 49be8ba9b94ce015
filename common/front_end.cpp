#include "front_end.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "files.h"

// The X11 driver's own (xalleg.h, whose X headers would bring their macros here): the window's
// name and class, which a desktop matches to the program's launcher, and its icon.
extern "C" void xwin_set_window_name(const char* name, const char* group);
extern "C" void* allegro_icon;
// The X11 driver's input step (aintunix.h): it takes the X server's pending events, as the
// library's background thread does every 10 ms.
extern "C" void _xwin_handle_input(void);

namespace front_end {

char sorgente[name_bytes];
char destinazione[name_bytes];
PALETTE pal;
volatile char stop_key = 0;

namespace {

// The close button was pressed; the notice is on the screen.
volatile char closed = 0;
volatile char at_notice = 0;

// Esc as the keyboard reports it, into stop_key, which a close keeps set.
void on_key(int scancode) {
  if ((scancode & 0x7F) == KEY_ESC) stop_key = closed || !(scancode & 0x80);
}
END_OF_FUNCTION(on_key)

// The window manager's close request: the dialog ends the program, a conversion stops as on Esc,
// the notice closes as on Ok (an Esc given to it, which it takes as its dismissal).
void on_close() {
  closed = 1;
  stop_key = 1;
  if (at_notice) simulate_keypress((KEY_ESC << 8) | 27);
}
END_OF_FUNCTION(on_close)

// The buttons pressed since the dialog or the notice last took a press. The library's mouse_b
// holds only the buttons down at its last input step, so a press and a release that arrive
// together (a tap on a touchpad, a remote desktop, a tool that clicks) never show there; the
// driver's callback sees each of them.
volatile int pressed = 0;

void on_mouse(int flags) {
  if (flags & MOUSE_FLAG_LEFT_DOWN) pressed |= 1;
  if (flags & MOUSE_FLAG_RIGHT_DOWN) pressed |= 2;
  if (flags & MOUSE_FLAG_MIDDLE_DOWN) pressed |= 4;
}
END_OF_FUNCTION(on_mouse)

// How long a press taken from `pressed` is shown as held: long enough for a button to follow it
// to its release, as it does a press held by hand.
constexpr int64_t press_shown_ns = 50000000;
int64_t press_taken_ns = 0;  // when the press in `pressed` was first shown, or 0

// Time between two turns of the dialog: it waits without using the processor, and still
// answers a key or a click within a frame.
constexpr int dialog_rest_ms = 10;

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
enum Riga {
  campo_sorgente,
  campo_destinazione,
  bottone_ok,
  riga_stringa,
  riga_stringa2,
  riga_stringa3,
  riga_stringa4
};

// clang-format off
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
// clang-format on

// Why start-up failed: the library's words, or a hint when it gave none.
const char* start_up_error() {
  return allegro_error[0] ? allegro_error : "nessuno schermo grafico disponibile (DISPLAY?)";
}

void set_prompt(char* buffer, const char* prompt) {
  std::snprintf(buffer, name_bytes, "%s", prompt);
}

}  // namespace

Start start_up_and_ask_names(const Texts& texts, const char* window_class, void* icon) {
  // A write past the file-size limit (ulimit -f) fails with EFBIG, which the run reports and
  // cleans up after, rather than ending the program with its temporary left behind.
  std::signal(SIGXFSZ, SIG_IGN);
  // Both are read when the window is made, at the library's start.
  allegro_icon = icon;
  xwin_set_window_name(window_class, window_class);
  if (install_allegro(SYSTEM_AUTODETECT, &errno, atexit) != 0) {
    std::fprintf(stderr, "Impossibile avviare la libreria grafica: %s\n", start_up_error());
    return Start::failed;
  }
  install_keyboard();
  install_mouse();
  install_timer();
  LOCK_FUNCTION(on_key);
  LOCK_FUNCTION(on_close);
  LOCK_FUNCTION(on_mouse);
  LOCK_VARIABLE(stop_key);
  LOCK_VARIABLE(pressed);
  mouse_callback = on_mouse;
  keyboard_lowlevel_callback = on_key;
  set_close_button_callback(on_close);
  if (set_gfx_mode(GFX_SAFE, 640, 480, 0, 0) != 0) {
    std::fprintf(stderr, "Impossibile aprire lo schermo 640x480: %s\n", start_up_error());
    return Start::failed;
  }
  set_color_depth(8);
  get_palette_range(pal, 0, 255);

  set_prompt(sorgente, texts.prompt_sorgente);
  set_prompt(destinazione, texts.prompt_destinazione);
  finestra_dialogo[riga_stringa].dp = const_cast<char*>(texts.stringa);
  finestra_dialogo[riga_stringa2].dp = const_cast<char*>(texts.stringa2);
  finestra_dialogo[riga_stringa3].dp = const_cast<char*>(texts.stringa3);
  finestra_dialogo[riga_stringa4].dp = const_cast<char*>(texts.stringa4);
  // Keys go to the field clicked into or reached with Tab, not to whatever lies under the pointer.
  gui_mouse_focus = FALSE;
  // A button follows the mouse until it is let go: the X server's events are taken as it asks,
  // so that the run starts when the button is released, not up to 10 ms later.
  // A press remembered from between two steps is shown as held for a moment once taken.
  gui_mouse_b = [] {
    _xwin_handle_input();
    if (mouse_needs_poll()) poll_mouse();
    int buttons = mouse_b;
    if (pressed) {
      const int64_t now = now_ns();
      if (!press_taken_ns) press_taken_ns = now;
      if (now - press_taken_ns < press_shown_ns) {
        buttons |= pressed;
      } else {
        pressed = 0;
        press_taken_ns = 0;
      }
    }
    return buttons;
  };
  // The library's dialog player, as do_dialog runs it, with a rest between its turns when no
  // key is waiting (a turn takes one key).
  DIALOG_PLAYER* player = init_dialog(finestra_dialogo, -1);
  while (!closed && update_dialog(player)) {
    if (!keypressed()) rest(dialog_rest_ms);
  }
  shutdown_dialog(player);
  return closed ? Start::closed : Start::names;
}

void convert_and_report(Conversion convert) {
  const std::string source = files::home_expanded(sorgente);
  const std::string destination = files::home_expanded(destinazione);
  ScreenFeedback feedback;
  run::Outcome outcome = convert(source, destination, feedback);
  if (outcome.file == destination) {
    outcome.file = destinazione;
  } else if (outcome.file == source) {
    outcome.file = sorgente;
  }
  show_completion(outcome);
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
  while (key[KEY_ESC] && !closed) rest(10);
  clear_keybuf();
  pressed = 0;  // a click during the run is not one on the notice
  press_taken_ns = 0;
  const Notice notice = notice_for(outcome);
  at_notice = 1;
  alert(notice.line1.c_str(), notice.line2.c_str(), notice.line3.c_str(), "Ok", nullptr, 1, 0);
  at_notice = 0;
}

}  // namespace front_end
