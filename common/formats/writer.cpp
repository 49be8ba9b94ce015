#include "writer.h"

namespace formats {

const Palette& grey_palette() {
  static const Palette greys = [] {
    Palette p{};
    for (int i = 0; i < 256; ++i) {
      const auto v = static_cast<unsigned char>(i);
      p[i] = Colour{v, v, v};
    }
    return p;
  }();
  return greys;
}

Palette check_palette(const carrier::Record& r) {
  const carrier::Check check = carrier::check_of(r);
  Palette p = grey_palette();
  for (unsigned i = 0; i < 255; ++i) p[i].b = static_cast<unsigned char>(i + check.bit(i));
  return p;
}

}  // namespace formats
