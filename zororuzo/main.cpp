// zororuzo: keeps any file inside a 256-colour picture, one byte per pixel.
#include <allegro.h>

#include "encode.h"
#include "front_end.h"

namespace zororuzo {
namespace {

const char stringa[] = "ZORORUZO - Convertitore di files in bitmap a 256 colori";

const front_end::Texts texts = {
    stringa,
    front_end::author_credit,
    front_end::web_line,
    front_end::rights_notice,
    "File sorgente!",
    "File destinazione! (nome.bmp,nome.tga,nome.pcx,)",
};

}  // namespace
}  // namespace zororuzo

int main() {
  if (!front_end::start_up_and_ask_names(zororuzo::texts)) return 1;
  front_end::ScreenFeedback feedback;
  const run::Outcome outcome = zororuzo::encode_file(front_end::sorgente, front_end::destinazione,
                                                     front_end::pal, feedback);
  front_end::show_completion(outcome);
  return 0;
}
END_OF_MAIN()
