// zororuzo: keeps any file inside a 256-colour picture, one byte per pixel.
#include <allegro.h>

#include "encode.h"
#include "front_end.h"

namespace zororuzo {
namespace {

const char stringa[] = "ZORORUZO - Convertitore di files in bitmap a 256 colori";
const char stringa2[] = FRONT_END_AUTHOR_CREDIT;
const char stringa3[] = FRONT_END_WEB_LINE;
const char stringa4[] = FRONT_END_RIGHTS_NOTICE;

const char prompt_sorgente[] = "File sorgente!";
const char prompt_destinazione[] = "File destinazione! (nome.bmp,nome.tga,nome.pcx,)";

const front_end::Texts texts = {stringa,  stringa2,        stringa3,
                                stringa4, prompt_sorgente, prompt_destinazione};

}  // namespace
}  // namespace zororuzo

int main() {
  // The window's class is the one the launcher names (StartupWMClass).
  switch (front_end::start_up_and_ask_names(zororuzo::texts, "Zororuzo", program_icon)) {
    case front_end::Start::failed: return 1;
    case front_end::Start::closed: return 0;  // closed in the dialog: nothing read or written
    case front_end::Start::names: break;
  }
  front_end::convert_and_report(zororuzo::encode_file);
  return 0;
}
END_OF_MAIN()
