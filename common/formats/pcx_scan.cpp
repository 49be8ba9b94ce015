// The PCX reader's run-length scanner (pcx_scan.h): the windows' table, built once, and the
// scan by shifts and by byte shuffle.
#include "pcx_scan.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>

#include "containers.h"

namespace formats {
namespace pcx {

namespace {

// Run-length bytes decoded eight at a time. In a window of eight bytes, given whether its first
// is the value of a count before it (carry), and which bytes are 0xC0 or above: the counts
// among them (each the byte after it is its value, whatever it is), where the values lie (`take`,
// their places in order, padded with the last; `shift`, the same in bits, for the window read as
// one little-endian word), how many there are, and whether the last byte is a count whose value
// opens the next window.
struct Window {
  unsigned char take[8];
  unsigned char shift[8];
  unsigned char n;
  unsigned char counts;  // bit i: byte i is a count
  unsigned char carry;
};
struct Windows {
  Window at[2][256];
  Windows() : at() {
    for (unsigned carry = 0; carry < 2; ++carry) {
      for (unsigned high = 0; high < 256; ++high) {
        Window& w = at[carry][high];
        bool value_next = carry != 0;
        for (unsigned i = 0; i < 8; ++i) {
          if (!value_next && (high >> i & 1)) {
            w.counts = static_cast<unsigned char>(w.counts | 1u << i);
            value_next = true;
            continue;
          }
          value_next = false;
          w.take[w.n++] = static_cast<unsigned char>(i);
        }
        for (unsigned i = w.n; i < 8; ++i) w.take[i] = w.n ? w.take[w.n - 1] : 0;
        for (unsigned i = 0; i < 8; ++i) w.shift[i] = static_cast<unsigned char>(8 * w.take[i]);
        w.carry = value_next;
      }
    }
  }
};
const Windows windows;
// Bit i set for byte i (in memory order) of the eight in `word` that is 0xC0 or above; that is
// 0xC1.
unsigned gather(uint64_t top_bits) {  // bit 7 of each byte, to bits 0..7
  return static_cast<unsigned>(((top_bits >> 7) * 0x0102040810204080u) >> 56);
}
unsigned high_bytes(uint64_t word) { return gather(word & (word << 1) & 0x8080808080808080u); }
unsigned c1_bytes(uint64_t word) {
  const uint64_t x = word ^ 0xC1C1C1C1C1C1C1C1u;  // 0 where the byte is 0xC1
  const uint64_t nonzero = ((x & 0x7F7F7F7F7F7F7F7Fu) + 0x7F7F7F7F7F7F7F7Fu) | x;
  return ~gather(nonzero & 0x8080808080808080u) & 0xFFu;
}

// Windows from `s` on while a whole one is in hand before `end` (and a byte after it, for a
// count's value) and fits the row, each stored as one word (what lies past its values is written
// over next); up to the first window that holds a count other than 1. `pack(window, word)` gives
// the values, packed low byte first.
#define PCX_SCAN_WINDOWS(pack)                               \
  while (s.at + 8 <= row_bytes && end - s.q >= 9) {          \
    uint64_t word;                                           \
    std::memcpy(&word, s.q, sizeof word);                    \
    const Window& w = windows.at[s.carry][high_bytes(word)]; \
    if ((w.counts & ~c1_bytes(word)) != 0) break;            \
    const uint64_t values = pack(w, word);                   \
    std::memcpy(into + s.at, &values, sizeof values);        \
    s.at += w.n;                                             \
    s.q += 8;                                                \
    s.carry = w.carry;                                       \
  }                                                          \
  return s

uint64_t pack_by_shifts(const Window& w, uint64_t word) {
  const auto value = [&](int i) { return (word >> w.shift[i] & 0xFFu) << (8 * i); };
  return value(0) | value(1) | value(2) | value(3) | value(4) | value(5) | value(6) | value(7);
}

}  // namespace

Scan scan_plain(Scan s, const unsigned char* end, unsigned char* into, size_t row_bytes) {
  PCX_SCAN_WINDOWS(pack_by_shifts);
}

#if defined(__x86_64__)
// The same with one byte shuffle a window, where the processor has it.
#define PCX_PACK_BY_SHUFFLE(w, word)                                    \
  static_cast<uint64_t>(_mm_cvtsi128_si64(                              \
      _mm_shuffle_epi8(_mm_cvtsi64_si128(static_cast<long long>(word)), \
                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>((w).take)))))
__attribute__((target("ssse3"))) Scan scan_ssse3(Scan s, const unsigned char* end,
                                                 unsigned char* into, size_t row_bytes) {
  PCX_SCAN_WINDOWS(PCX_PACK_BY_SHUFFLE);
}
#undef PCX_PACK_BY_SHUFFLE
bool has_ssse3 = __builtin_cpu_supports("ssse3");
#else
bool has_ssse3 = false;
Scan scan_ssse3(Scan s, const unsigned char* end, unsigned char* into, size_t row_bytes) {
  return scan_plain(s, end, into, row_bytes);
}
#endif
#undef PCX_SCAN_WINDOWS

}  // namespace pcx

void pcx_byte_shuffle(bool on) {
#if defined(__x86_64__)
  pcx::has_ssse3 = on && __builtin_cpu_supports("ssse3");
#else
  static_cast<void>(on);
#endif
}

}  // namespace formats
