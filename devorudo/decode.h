// The decoder's conversion: a carrier picture in, the file it carries out. Runs with or
// without a screen; the library must be started (a SYSTEM_NONE start is enough).
//
// Two layers. The format layer (common/formats/formats.h) reads the picture, refusing what it
// cannot read completely: most pictures it streams, handing their rows to a StreamWalk as they
// are decoded; the rest it reads whole, for walk_picture. Either walk writes the picture's data
// into a sink, as far as its record or the end-of-data rule says (common/carrier.h).
// decode_file puts them together between a source file and a destination written safely
// (common/files.h).
#ifndef DEVORUDO_DECODE_H
#define DEVORUDO_DECODE_H

#include <string>

#include "carrier.h"
#include "files.h"
#include "formats.h"
#include "run.h"
#include "stream_walk.h"

namespace devorudo {

// Where the picture's data ends (carrier::locate_data): by its record when that holds, else by
// the end-of-data rule. When the record holds only for another reading of the pixels (the grey
// levels of a palette a tool re-ordered, rows a tool turned over), the picture is made that
// reading first, so that its pixels are the file's bytes.
carrier::DataEnd find_data(formats::Picture& picture);

// Sends the data of the 8-bit picture to `sink`: pixels from linear position 1 up to the end
// `located` gives, one byte each, nothing when there is none; the Walk holds `located`.
// Esc held when the scan ends sends nothing; Esc found held during the walk (tested after each
// row's first byte, as carrier::Cursor does) stops it after that byte. feedback.show_row is called
// whenever the row changes, with the 1-based row and the picture's height.
Walk walk_picture(const carrier::Rows& picture, const carrier::DataEnd& located, files::Sink& sink,
                  run::Feedback& feedback);

// Reads the picture `source` (its container chosen by its extension) and writes the file it
// carries as `destination`. A picture whose headers cannot be read is refused before anything
// is written, one found damaged further on before the destination is touched (the output is
// dropped); a destination that is the source itself is refused before anything is read.
// Otherwise the destination is complete on disk (or, after Esc, holds what was walked) before
// this returns, or is left as it was and the outcome is destination_failed; or cancelled, when
// Esc was held as the walk began: nothing was written, and an existing file was not touched (a
// new name is still made, empty).
run::Outcome decode_file(const std::string& source, const std::string& destination,
                         run::Feedback& feedback);

}  // namespace devorudo

#endif
