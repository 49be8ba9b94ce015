// The start and the end that both programs share: the library's start-up (with a screen, or
// headless for tests, benchmarks and fuzzing), the file-name dialog, the progress line drawn
// while converting, the stop flag behind the Esc test, and the closing notice with its texts.
#ifndef COMMON_FRONT_END_H
#define COMMON_FRONT_END_H

#include <allegro.h>

#include <cstdint>
#include <string>

#include "notice.h"
#include "run.h"

// Each program's own window icon (XPM data), drawn at build time from its source.
extern "C" void* program_icon;

namespace front_end {

// The dialog's field limit, in characters.
constexpr int name_chars = 49;
// A UTF-8 character takes up to 4 bytes in the library's text routines.
constexpr int name_bytes = (name_chars + 1) * 4;

// The text lines the dialog shares between the programs (the second and third, and the rights
// notice that ends the fourth). The notice is short enough for the decoder's longer fourth line,
// which prefixes it, to fit the 640-pixel screen.
#define FRONT_END_AUTHOR_CREDIT "Scritto dagli sviluppatori di ZORORUZO e DEVORUDO"
#define FRONT_END_WEB_LINE "http://zororuzo.example.org/      Ver. 0.01 POWERED BY ALLEGRO.H"
#define FRONT_END_RIGHTS_NOTICE "(C) 2026 Gli autori - Senza alcuna garanzia"

// What each program puts into the dialog.
struct Texts {
  const char* stringa;
  const char* stringa2;
  const char* stringa3;
  const char* stringa4;
  const char* prompt_sorgente;
  const char* prompt_destinazione;
};

extern char sorgente[name_bytes];
extern char destinazione[name_bytes];
extern PALETTE pal;  // the display's, as read at the start (carriers have their own greys)

// How the start ended.
enum class Start {
  names,   // the dialog closed with OK or Esc: convert
  closed,  // the window's close button was pressed in the dialog: end without converting
  failed,  // no screen; a message on stderr says why
};

// Starts the library with the program's window class and icon (XPM data), the input drivers
// and the 640x480 screen, reads the display's palette and asks for the two names. The dialog
// waits without using the processor.
Start start_up_and_ask_names(const Texts& texts, const char* window_class, void* icon);

// Starts the library without a screen, once per process: its image and file routines alone,
// for 8-bit pictures, as the conversions need them (tests, benchmarks, fuzzing). False when it
// cannot. (headless.cpp, apart from the screen's code.)
bool start_headless();

// A conversion from the file `source` to the file `destination`: the encoder's or the decoder's.
using Conversion = run::Outcome (*)(const std::string& source, const std::string& destination,
                                    run::Feedback& feedback);

// Runs `convert` on the dialog's names, a leading ~ in either taken as the home folder
// (files::home_expanded), with the screen's feedback, then shows its notice, which names the
// file as it was typed.
void convert_and_report(Conversion convert);

// Draws "<current> di <total>" in the screen's top-left corner.
void show_progress(int32_t current_row, int32_t total_rows);

// The row count as the conversion reaches it, drawn at most once per display frame (a 60 Hz
// screen shows no more), and always as last reached before the notice: to a person the screen
// is the same as drawing it after every byte, and the program costs no more than its conversion.
void progress_reached(int32_t current_row, int32_t total_rows);

// Draws the last row count reached, then shows the closing notice for the run and waits until
// it is dismissed (with Ok, Return, Esc or the window's close button).
void show_completion(const run::Outcome& outcome);

// Non-zero while Esc is held, and from the moment the window's close button is pressed: a
// conversion stops on either.
extern volatile char stop_key;

// Feedback that draws on the screen and stops on Esc or the close button.
class ScreenFeedback : public run::Feedback {
 public:
  ScreenFeedback() : Feedback(&stop_key) {}
  void show_row(int32_t current, int32_t total) override { progress_reached(current, total); }
};

}  // namespace front_end

#endif
