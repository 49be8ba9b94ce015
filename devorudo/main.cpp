// devorudo: turns a 256-colour carrier picture back into the file it keeps.
#include <allegro.h>

#include "decode.h"
#include "front_end.h"

namespace devorudo {
namespace {

const char stringa[] = "DEVORUDO - Convertitore di BITMAP a 256 colori in file";
const char stringa2[] = FRONT_END_AUTHOR_CREDIT;
const char stringa3[] = FRONT_END_WEB_LINE;
const char stringa4[] = "Componente di ZORORUZO - " FRONT_END_RIGHTS_NOTICE;

const char prompt_sorgente[] = "File sorgente!(.bmp, .tga, .pcx)";
const char prompt_destinazione[] = "File destinazione!";

const front_end::Texts texts = {stringa,  stringa2,        stringa3,
                                stringa4, prompt_sorgente, prompt_destinazione};

}  // namespace
}  // namespace devorudo

int main() {
  // The window's class is the one the launcher names (StartupWMClass).
  switch (front_end::start_up_and_ask_names(devorudo::texts, "Devorudo", program_icon)) {
    case front_end::Start::failed: return 1;
    case front_end::Start::closed: return 0;  // closed in the dialog: nothing read or written
    case front_end::Start::names: break;
  }
  front_end::convert_and_report(devorudo::decode_file);
  return 0;
}
END_OF_MAIN()
