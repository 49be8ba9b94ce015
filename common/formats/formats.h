// Reading and writing pictures: one module per container (bmp.cpp, tga.cpp, pcx.cpp, png.cpp,
// lbm.cpp, declared in containers.h), each holding that container's reader, streamer and writer
// (LBM: no writer, since the encoder never writes it) and saying its header once.
//
// The containers are one table (Container, below): its name, extension, the most rows and
// columns it holds, its reader, streamer and writer. Every choice of container is a look-up in
// it; the modules never look back at it.
//
// Readers take the file's bytes from an Input, check every length, offset and count before
// using it, and refuse, with the reason, what they cannot read completely: a file that ends
// early, data that would write outside the picture, a variant they do not know, more pixels than
// the file can describe (image.h checks sizes, once, before any picture is allocated or any row
// handed on). A streamer hands the rows on, top to bottom, as it decodes them; a reader makes
// the picture whole, in one pass, for pictures whose rows cannot come in order or whose colours
// must be seen whole:
//   indexed pictures   8 bits per pixel, each pixel its palette index;
//   grey pictures      8 bits per pixel, each pixel its level scaled to 8 bits;
//   true colour        32 bits per pixel (makecol32's layout), which read_picture reduces to 8
//                      bits exactly as the library's load_bitmap does (an optimised palette,
//                      then a blit through its colour table).
// Pixels that a run-length picture skips are 0.
//
// Beside the pixels, a reader reports what the record's place holds and, for an indexed picture,
// the grey level of each palette entry (the carrier's palette is grey: a tool may re-order it),
// and whether a true-colour picture has a pixel that is not opaque.
//
// Writers put an 8-bit picture, a band of rows at a time, its palette and the carrier's record
// into a files::Sink (the programs' is a SafeOutput), and every failed write returns its reason.
// Without the record and given the library's palette (from_library, library_palette.h), the BMP and
// PCX writers give, byte for byte, what the library's save_bmp and save_pcx write for the same
// picture; the record changes only its own bytes and the fields that count them. TGA carriers are
// written top to bottom, which every reader tried reads right (and image tools keep so).
#ifndef COMMON_FORMATS_FORMATS_H
#define COMMON_FORMATS_FORMATS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carrier.h"
#include "files.h"
#include "image.h"
#include "input.h"
#include "reader.h"
#include "run.h"
#include "writer.h"

namespace formats {

// What read_picture makes.
struct Picture {
  Image image;                   // 8 bits per pixel
  bool true_colour = false;      // reduced from true colour: the bytes are not a kept file
  carrier::Mark mark;            // what the record's place held (carrier.h)
  std::vector<int16_t> levels;   // an indexed picture's levels (Found)
  std::vector<int16_t> reading;  // or through this (Found::reading_levels), when not empty
  carrier::Shown shown;          // the palette's check, as its colours show it
};

// A container: a row of the table.
struct Container {
  const char* name;       // upper case, for messages: "TGA"
  const char* extension;  // lower case, without the dot
  int32_t most_rows;      // what its fields hold (carrier.h); 0 for a container only read
  int32_t most_columns;
  Reader read;
  Streamer stream;  // null for a container whose pictures are read whole
  Writer write;     // null for a container only read
  // The most bytes a row of w pixels takes in a file its writer makes, with the row's share of
  // the coding's overhead; null for a container only read.
  uint64_t (*most_row_bytes)(uint64_t w);
};

// The container a file name selects by its extension, ignoring case; null for none.
const Container* container_for(const std::string& name);

// The largest file a carrier holds: the most rows any container takes, each of the carrier's
// width, less position 0.
int64_t most_source_bytes();
// The extensions of the containers read (`written` false) or written, ".bmp, .tga o .png", the
// last two joined by `last_joint`; and of those written that hold `rows` rows.
std::string extensions(bool written, const char* last_joint);
std::string extensions_holding(int32_t rows, const char* last_joint);

// The most bytes the writer of container `c` puts out for a w x h picture, headers, palette and
// record included: the room a file rewritten in place is given before its first byte.
uint64_t most_bytes(const Container& c, int32_t w, int32_t h);

// Reads a picture in container `c` from `in`.
run::Fault read_picture(const Container& c, Input& in, Picture& out);

// Reads a picture in container `c` from `in`, handing its rows to `to` as they are decoded, and
// what it learns beside them to `found`. `streamed` false: it must be read whole (`in` is back
// at its start); rows may have been handed on before a true-colour picture showed a colour that
// stands for no level (`to` must drop them).
run::Fault stream_picture(const Container& c, Input& in, RowTaker& to, Found& found,
                          bool& streamed);

// A writer of a w x h picture in container `c`, or null (`fault` says why) for a picture the
// container cannot hold (more rows or columns than its fields take) or a container only read:
// Defect::unsupported.
std::unique_ptr<PictureWriter> writer_for(const Container& c, files::Sink& out, int32_t w,
                                          int32_t h, const Palette& pal,
                                          const carrier::Record* room, run::Fault& fault);

// Writes `image`, whole, in container `c` (see PictureWriter), with `pal`, or with a record the
// carrier's palette for it (check_palette); not 8 bits: Defect::unsupported.
// Nothing is committed: the caller commits `out`, or drops it.
run::Fault write_picture(const Container& c, files::Sink& out, const Image& image,
                         const Palette& pal, const carrier::Record* record);

}  // namespace formats

#endif
