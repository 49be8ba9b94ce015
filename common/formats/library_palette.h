// The library's 6-bit palette as the writers take a palette: for pictures drawn with the library
// and saved by our writers (the icon tool, the writers' tests against the library's savers).
#ifndef COMMON_FORMATS_LIBRARY_PALETTE_H
#define COMMON_FORMATS_LIBRARY_PALETTE_H

#include <allegro.h>

#include "writer.h"

namespace formats {

// The library's 6-bit palette as its own writers store it.
inline Palette from_library(const RGB* pal) {
  Palette p{};
  for (int i = 0; i < 256; ++i) {
    p[i] = Colour{static_cast<unsigned char>(_rgb_scale_6[pal[i].r & 63]),
                  static_cast<unsigned char>(_rgb_scale_6[pal[i].g & 63]),
                  static_cast<unsigned char>(_rgb_scale_6[pal[i].b & 63])};
  }
  return p;
}

}  // namespace formats

#endif
