#include "carrier.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace carrier {

int32_t carrier_rows(int64_t n) { return static_cast<int32_t>(n / width + 1); }

Cursor::Cursor(int32_t w, int32_t h, int32_t x1, int32_t y1, run::Feedback& feedback, Stop stop)
    : w_(w),
      h_(h),
      last_(int64_t{y1} * w + x1),
      feedback_(feedback),
      stop_(feedback.stop_flag()),
      test_before_(stop == Stop::before_the_first_byte_too) {}

uint32_t crc32(uint32_t crc, const unsigned char* data, size_t n) {
  return libdeflate_crc32(crc, data, n);
}

namespace {

constexpr unsigned char tag[8] = {'Z', 'O', 'R', 'O', 'R', 'U', 'Z', 'O'};
constexpr uint32_t version = 1;
constexpr size_t checked = 24;  // bytes the record's own check covers

void put_le(unsigned char* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t get_le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// The text form's fields after the tag: " 1 <n> <crc> <check>", each number with no sign and no
// leading zeros (but 0 itself), each CRC 8 hexadecimal digits.
bool parse_decimal(const char*& p, const char* end, uint64_t& v) {
  const char* const start = p;
  v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  return p > start && (p - start == 1 || *start != '0');
}

bool parse_hex8(const char*& p, const char* end, uint32_t& v) {
  if (end - p < 8) return false;
  v = 0;
  for (int i = 0; i < 8; ++i, ++p) {
    const char c = *p;
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  return true;
}

bool parse_space(const char*& p, const char* end) { return p < end && *p++ == ' '; }

// The record in its text form, `n` bytes from the tag on; false when it is not one.
bool parse_text(const unsigned char* bytes, size_t n, Record& r) {
  const char* const text = reinterpret_cast<const char*>(bytes);
  const char* end = text + n;
  while (end > text && (end[-1] == ' ' || end[-1] == '\r' || end[-1] == '\n' || end[-1] == 0)) {
    --end;
  }
  const char* p = text + sizeof tag;
  uint64_t v = 0;
  uint32_t check = 0;
  if (!parse_space(p, end) || !parse_decimal(p, end, v) || v != version) return false;
  if (!parse_space(p, end) || !parse_decimal(p, end, r.length)) return false;
  if (!parse_space(p, end) || !parse_hex8(p, end, r.crc)) return false;
  const char* const checked_end = p;
  if (!parse_space(p, end) || !parse_hex8(p, end, check) || p != end) return false;
  return check == crc32(0, bytes, static_cast<size_t>(checked_end - text));
}

// The bytes of positions [from, to) under `how`, a block at a time, to `take(bytes, n)`; false
// as soon as a pixel has no level, or `take` says to stop.
template <class Take>
bool read_through(const Rows& picture, const Reading& how, int64_t from, int64_t to, Take take) {
  constexpr int64_t block = 1 << 16;
  std::vector<unsigned char> buffer;
  const int64_t w = picture.w;
  while (from < to) {
    const int64_t y = from / w, x = from % w;
    const int64_t n = std::min({to - from, w - x, block});
    const unsigned char* p =
        picture.row(static_cast<int32_t>(how.upside_down ? picture.h - 1 - y : y)) + x;
    if (how.levels) {
      buffer.resize(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; ++i) {
        const int16_t level = how.levels[p[i]];
        if (level < 0) return false;
        buffer[static_cast<size_t>(i)] = static_cast<unsigned char>(level);
      }
      p = buffer.data();
    }
    if (!take(p, static_cast<size_t>(n))) return false;
    from += n;
  }
  return true;
}

}  // namespace

RecordBytes record_bytes(const Record& r) {
  RecordBytes b{};
  std::memcpy(b.data(), tag, sizeof tag);
  put_le(b.data() + 8, version, 4);
  put_le(b.data() + 12, r.length, 8);
  put_le(b.data() + 20, r.crc, 4);
  put_le(b.data() + checked, crc32(0, b.data(), checked), 4);
  return b;
}

Mark read_mark(const unsigned char* p, size_t n) {
  Mark m;
  if (n < sizeof tag || std::memcmp(p, tag, sizeof tag) != 0) return m;
  m.state = Mark::broken;
  if (n == record_size && get_le(p + 8, 4) == version &&
      get_le(p + checked, 4) == crc32(0, p, checked)) {
    m.state = Mark::whole;
    m.record.length = get_le(p + 12, 8);
    m.record.crc = static_cast<uint32_t>(get_le(p + 20, 4));
  } else if (parse_text(p, n, m.record)) {
    m.state = Mark::whole;
  } else {
    m.record = Record{};
  }
  return m;
}

std::string record_text(const Record& r) {
  char line[64];
  std::snprintf(line, sizeof line, "%.*s %u %llu %08x", static_cast<int>(sizeof tag),
                reinterpret_cast<const char*>(tag), static_cast<unsigned>(version),
                static_cast<unsigned long long>(r.length), static_cast<unsigned>(r.crc));
  const std::string head = line;
  const uint32_t check = crc32(0, reinterpret_cast<const unsigned char*>(head.data()), head.size());
  std::snprintf(line, sizeof line, " %08x", static_cast<unsigned>(check));
  return head + line;
}

namespace {

uint64_t mix(uint64_t z) {
  z += 0x9E3779B97F4A7C15u;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

Check check_of_key(uint64_t key) { return Check{{key, mix(key ^ 1), mix(key ^ 2), mix(key ^ 3)}}; }

// Entries 0 to 254, a bit each.
constexpr uint64_t entry_bits(size_t word) { return word < 3 ? ~uint64_t{0} : ~uint64_t{0} >> 1; }

// `crc` carried over n more zero bytes.
uint32_t with_zeros(uint32_t crc, uint64_t n) {
  static constexpr unsigned char none[1 << 16] = {};
  for (; n > 0; n -= std::min<uint64_t>(n, sizeof none)) {
    crc = crc32(crc, none, static_cast<size_t>(std::min<uint64_t>(n, sizeof none)));
  }
  return crc;
}

// The last position above 0 after position 0 of `picture` read as `how`: the end-of-data rule's
// end (the last row's last pixel above 0, or else the last anywhere), 0 for none; -1 when a pixel
// on the way has no level.
int64_t last_above_zero(const Rows& picture, const Reading& how) {
  for (int64_t y = int64_t{picture.h} - 1; y >= 0; --y) {
    const unsigned char* const row =
        picture.row(static_cast<int32_t>(how.upside_down ? picture.h - 1 - y : y));
    const int32_t from = y == 0 ? 1 : 0;  // position 0 carries nothing
    if (!how.levels) {
      const int32_t end = row_data_end(row, from, picture.w);
      if (end > from) return y * picture.w + end - 1;
      continue;
    }
    for (int64_t x = int64_t{picture.w} - 1; x >= from; --x) {
      const int v = how.levels[row[x]];
      if (v < 0) return -1;
      if (v > 0) return y * picture.w + x;
    }
  }
  return 0;
}

}  // namespace

int64_t find_data_end(const Rows& picture) {
  return picture.w > 0 && picture.h > 0 ? last_above_zero(picture, Reading{}) : 0;
}

Check check_of(const Record& r) { return check_of_key(mix(mix(r.length) ^ r.crc)); }

Shown::Bits Shown::bits() const {
  Bits b{};
  for (size_t w = 0; w < 4; ++w) {
    for (size_t i = 0; i < 64; ++i) {
      const unsigned s = seen_[w * 64 + i];
      b.known[w] |= uint64_t{s == 1 || s == 2} << i;
      b.ones[w] |= uint64_t{s == 2} << i;
    }
    b.known[w] &= entry_bits(w);
    b.ones[w] &= entry_bits(w);
  }
  return b;
}

bool Shown::Bits::agree(const Check& c) const {
  for (size_t w = 0; w < 4; ++w) {
    if ((c.words[w] & known[w]) != ones[w]) return false;
  }
  return true;
}

int Shown::known() const {
  const Bits b = bits();
  int n = 0;
  for (const uint64_t k : b.known) n += __builtin_popcountll(k);
  return n;
}

bool Shown::ours() const {
  const Bits b = bits();
  if (b.known[0] == ~uint64_t{0} && b.known[1] == ~uint64_t{0} && b.known[2] == ~uint64_t{0} &&
      b.known[3] == entry_bits(3)) {
    return b.agree(check_of_key(b.ones[0]));  // the key gives the other 191 bits
  }
  return (b.ones[0] | b.ones[1] | b.ones[2] | b.ones[3]) != 0;
}

bool Shown::agrees(const Check& c) const { return bits().agree(c); }

DataEnd settle(int64_t w, int64_t h, int64_t last, uint32_t crc, const Mark& mark,
               const Shown& shown, int bits) {
  DataEnd d;
  d.end = last;
  const int64_t all = w * h - 1;
  const bool ours = shown.ours();
  if (mark.state == Mark::whole) {
    const Record& r = mark.record;
    if (r.length <= static_cast<uint64_t>(all) && r.length >= static_cast<uint64_t>(last) &&
        with_zeros(crc, r.length - static_cast<uint64_t>(last)) == r.crc) {
      // A check that disagrees with a record the pixels bear out: the colours were changed, and
      // the rule holds, as for any record that fails.
      d.exact = !ours || shown.agrees(check_of(r));
      d.altered = !d.exact;
      if (d.exact) d.end = static_cast<int64_t>(r.length);
    } else {
      d.altered = true;
    }
    return d;
  }
  if (!ours) {
    d.altered = mark.state == Mark::broken;
    d.unchecked = !d.altered;
    return d;
  }
  // The lengths of the last row's window, shortest first; the i-th trusted while
  // i <= 2^(known - bits), at most a row's (a carrier's width) of them.
  const int known = shown.known();
  const Shown::Bits shown_bits = shown.bits();
  uint64_t trusted = 0;
  if (known >= bits) trusted = known - bits >= 63 ? UINT64_MAX : uint64_t{1} << (known - bits);
  const int64_t from = std::max(last, w * (h - 1));
  uint32_t c = with_zeros(crc, static_cast<uint64_t>(from - last));
  for (int64_t n = from, i = 1; n <= all && i <= width; ++n, ++i) {
    if (shown_bits.agree(check_of(Record{static_cast<uint64_t>(n), c}))) {
      if (static_cast<uint64_t>(i) <= trusted) {
        d.end = n;
        d.exact = true;
      } else {
        d.altered = mark.state == Mark::broken;
        d.unchecked = !d.altered;
      }
      return d;
    }
    const unsigned char zero = 0;
    c = crc32(c, &zero, 1);
  }
  d.altered = true;  // no length agrees: the pixels were changed
  return d;
}

DataEnd locate_data(const Rows& picture, const Mark& mark, const Shown& shown, const Reading& first,
                    const int16_t* other_levels) {
  const auto located = [&](const Reading& how, bool& readable, int bits) {
    readable = false;
    const int64_t last = last_above_zero(picture, how);
    if (last < 0) return DataEnd{};
    uint32_t crc = 0;
    if (!read_through(picture, how, 1, last + 1, [&](const unsigned char* p, size_t k) {
          crc = crc32(crc, p, k);
          return true;
        })) {
      return DataEnd{};
    }
    readable = true;
    DataEnd d = settle(picture.w, picture.h, last, crc, mark, shown, bits);
    d.reading = how;
    return d;
  };
  if (picture.w <= 0 || picture.h <= 0) return DataEnd{};
  bool readable;
  DataEnd d = located(first, readable, first_reading_bits);
  if (!readable) {  // a pixel without a level: the indices, as they are
    d = located(Reading{nullptr, first.upside_down}, readable, first_reading_bits);
  }
  if (!read_again(d, mark, shown)) return d;
  // A tool that keeps colours may re-order or trim the palette, and one may turn the rows over.
  const Reading others[] = {{other_levels, first.upside_down},
                            {first.levels, !first.upside_down},
                            {other_levels, !first.upside_down}};
  const Reading* before = &first;
  for (const Reading& how : others) {
    const bool same = how.levels == before->levels && how.upside_down == before->upside_down;
    before = &how;
    if (same) continue;
    const DataEnd e = located(how, readable, other_reading_bits);
    if (readable && e.exact) return e;
  }
  return d;
}

}  // namespace carrier
