// The PCX reader's run-length scanner: eight bytes at a time, by one byte shuffle where the
// processor has SSSE3 or by shifts where not, while the bytes are single values (each alone or
// after a count of 1). pcx.cpp decodes the rest.
#ifndef COMMON_FORMATS_PCX_SCAN_H
#define COMMON_FORMATS_PCX_SCAN_H

#include <cstddef>

namespace formats {
namespace pcx {

// Where decoding by windows stopped: the next byte, the next place in the row, and whether that
// byte is the value of a count before it.
struct Scan {
  const unsigned char* q;
  size_t at;
  unsigned carry;
};

// The windows read eight bytes as one word, low byte first.
constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Windows from `s` on while a whole one is in hand before `end` (and a byte after it, for a
// count's value) and fits the row, each stored into `into` as one word (what lies past its
// values is written over next); up to the first window that holds a count other than 1. Only
// where little_endian. scan_ssse3 is the same with one byte shuffle a window, to be called
// where has_ssse3 (on other processors than x86-64, it is scan_plain).
Scan scan_plain(Scan s, const unsigned char* end, unsigned char* into, size_t row_bytes);
Scan scan_ssse3(Scan s, const unsigned char* end, unsigned char* into, size_t row_bytes);
// Whether the processor has the byte shuffle, and the reader may use it (pcx_byte_shuffle).
extern bool has_ssse3;

}  // namespace pcx
}  // namespace formats

#endif
