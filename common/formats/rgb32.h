// A true-colour pixel in the library's 32-bit layout (makecol32's), as the readers make them
// for a true-colour picture: its channels' shifts are the library's, set when it starts.
#ifndef COMMON_FORMATS_RGB32_H
#define COMMON_FORMATS_RGB32_H

#include <allegro.h>

#include <cstdint>

namespace formats {

inline uint32_t rgb32(unsigned r, unsigned g, unsigned b) {
  return (r << _rgb_r_shift_32) | (g << _rgb_g_shift_32) | (b << _rgb_b_shift_32);
}

}  // namespace formats

#endif
