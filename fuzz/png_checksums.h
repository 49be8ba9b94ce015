// PNG chunks carry checksums that almost every mutation breaks; the PNG targets also run an
// input with them corrected, so that mutations reach past the first chunk.
#ifndef FUZZ_PNG_CHECKSUMS_H
#define FUZZ_PNG_CHECKSUMS_H

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

// Recomputes the checksum of every whole chunk after the signature. True if any changed.
inline bool fix_png_checksums(std::vector<unsigned char>& png) {
  bool changed = false;
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const uint32_t length = uint32_t{png[at]} << 24 | uint32_t{png[at + 1]} << 16 |
                            uint32_t{png[at + 2]} << 8 | uint32_t{png[at + 3]};
    if (length > png.size() - at - 12) break;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, png.data() + at + 4, length + 4));
    unsigned char* field = png.data() + at + 8 + length;
    for (int i = 0; i < 4; ++i) {
      const auto want = static_cast<unsigned char>(crc >> (24 - 8 * i));
      changed |= field[i] != want;
      field[i] = want;
    }
    at += 12 + length;
  }
  return changed;
}

}  // namespace fuzz

#endif
