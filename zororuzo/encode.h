// The encoder's conversion: a file in, a carrier picture out. Runs with or without a screen;
// the library must be started (a SYSTEM_NONE start is enough).
#ifndef ZORORUZO_ENCODE_H
#define ZORORUZO_ENCODE_H

#include <string>

#include "run.h"

namespace zororuzo {

// Reads `source` and saves its carrier as `destination`, in the container its extension
// names, with the carrier's grey palette and the record of the bytes it holds
// (common/carrier.h): the same bytes whatever the display. Nothing is written unless the whole
// carrier (or, after Esc, the part converted so far) reached the disk; and nothing over an
// existing file when Esc stops the run at its first test (cancelled).
run::Outcome encode_file(const std::string& source, const std::string& destination,
                         run::Feedback& feedback);

}  // namespace zororuzo

#endif
