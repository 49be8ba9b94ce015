// The library's own loaders (load_bmp_pf, load_tga_pf, load_pcx_pf and loadpng's load_png_pf)
// over a picture held in memory, for the differential target and raw_load. Only the fuzz build
// has them: it compiles them from the library's source with the fuzzers' instrumentation.
//
// They trust what they read: hand them only bytes that the project's reader accepted, or run
// them where a crash is the point (raw_load).
#ifndef FUZZ_LIBRARY_LOAD_H
#define FUZZ_LIBRARY_LOAD_H

#include <allegro.h>

#include <cstddef>

#include "formats.h"

namespace fuzz {

struct LibraryLoad {
  formats::Bitmap bmp;   // null when the loader refused the file
  bool ran_out = false;  // the loader asked for bytes past the end of the file
  size_t past_end = 0;   // how many it asked for
};

// Starts the library headless at 8-bit colour depth, as the programs did when they used its
// loaders, and registers loadpng. Once per process.
void start_library();

// Loads `data` with the library's loader for container `c`, from a PACKFILE over the memory
// (our own vtable), the palette cleared first. At `depth` 8 (the default) the loader reduces a
// true-colour picture to 8 bits as the programs saw it; at depth 32 it converts nothing, and a
// true-colour picture comes back at the file's own depth (15, 16, 24 or 32 bits).
LibraryLoad library_load(const formats::Container& c, const unsigned char* data, size_t size,
                         int depth = 8);

}  // namespace fuzz

#endif
