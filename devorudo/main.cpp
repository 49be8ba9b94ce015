// devorudo: turns a 256-colour carrier picture back into the file it keeps.
#include <allegro.h>

#include <string>

#include "decode.h"
#include "front_end.h"

namespace devorudo {
namespace {

const char stringa[] = "DEVORUDO - Convertitore di BITMAP a 256 colori in file";
const std::string stringa4 = std::string("Componente di ZORORUZO - ") + front_end::rights_notice;

front_end::Texts texts() {
  return {
      stringa,
      front_end::author_credit,
      front_end::web_line,
      stringa4.c_str(),
      "File sorgente!(.bmp, .tga, .pcx)",
      "File destinazione!",
  };
}

}  // namespace
}  // namespace devorudo

int main() {
  if (!front_end::start_up_and_ask_names(devorudo::texts())) return 1;
  front_end::ScreenFeedback feedback;
  const run::Outcome outcome =
      devorudo::decode_file(front_end::sorgente, front_end::destinazione, feedback);
  front_end::show_completion(outcome);
  return 0;
}
END_OF_MAIN()
