#include "carrier.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>

namespace carrier {

int32_t carrier_rows(int32_t n) { return n / width + 1; }

Cursor::Cursor(int32_t w, int32_t h, int32_t x1, int32_t y1, run::Feedback& feedback, Stop stop)
    : w_(w),
      h_(h),
      last_(int64_t{y1} * w + x1),
      feedback_(feedback),
      stop_(feedback.stop_flag()),
      test_before_(stop == Stop::before_the_first_byte_too) {}

int32_t Cursor::next_span() {
  if (test_before_) {
    test_before_ = false;
    escaped_ = run::escape_down(stop_);
  }
  if (escaped_ || visited() >= last_) return 0;
  advance_position(x, y, w_);
  if (y + 1 != shown_row_) {
    shown_row_ = y + 1;
    feedback_.show_row(shown_row_, h_);
  }
  const int64_t left = last_ - visited() + 1;
  return static_cast<int32_t>(left < w_ - x ? left : w_ - x);
}

int32_t Cursor::copy(unsigned char* to, const unsigned char* from, int32_t n) {
  if (n <= 0) return 0;
  // A local: the member would be fetched again after every byte stored.
  const volatile char* const stop = stop_;
  for (int32_t i = 0; i < n; ++i) {
    to[i] = from[i];
    if (run::escape_down(stop)) {
      escaped_ = true;
      x += i;
      return i + 1;
    }
  }
  x += n - 1;
  return n;
}

int64_t find_data_end(const Rows& picture) {
  if (picture.w <= 0 || picture.h <= 0) return 0;
  const int32_t w = picture.w;
  const int32_t last = picture.h - 1;
  for (int32_t x1 = w - 1; x1 >= 0; --x1) {
    if (picture.row(last)[x1] > 0) {
      // Position 0 (a one-row picture's column 0) holds no data.
      const int64_t end = int64_t{last} * w + x1;
      if (end > 0) return end;
      break;
    }
  }
  // The last row holds no data: take the last pixel above 0 anywhere after position 0.
  for (int32_t y = last; y >= 0; --y) {
    const unsigned char* row = picture.row(y);
    for (int32_t x = w - 1; x >= 0; --x) {
      if (row[x] > 0) {
        const int64_t end = int64_t{y} * w + x;
        return end > 0 ? end : 0;
      }
    }
  }
  return 0;
}

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

// True when every pixel after position `from` is 0.
bool zero_after(const Rows& picture, int64_t from) {
  const unsigned char* const end = picture.pixels + int64_t{picture.w} * picture.h;
  return std::all_of(picture.pixels + from + 1, end, [](unsigned char v) { return v == 0; });
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
  if (n != record_size || get_le(p + 8, 4) != version ||
      get_le(p + checked, 4) != crc32(0, p, checked)) {
    return m;
  }
  m.state = Mark::whole;
  m.record.length = get_le(p + 12, 8);
  m.record.crc = static_cast<uint32_t>(get_le(p + 20, 4));
  return m;
}

DataEnd locate_data(const Rows& picture, const Mark& mark) {
  DataEnd d;
  if (mark.state == Mark::whole && picture.w > 0 && picture.h > 0) {
    const uint64_t n = mark.record.length;
    if (n <= uint64_t{static_cast<uint32_t>(picture.w)} * static_cast<uint32_t>(picture.h) - 1 &&
        crc32(0, picture.pixels + 1, static_cast<size_t>(n)) == mark.record.crc &&
        zero_after(picture, static_cast<int64_t>(n))) {
      d.end = static_cast<int64_t>(n);
      d.exact = true;
      return d;
    }
  }
  d.end = find_data_end(picture);
  d.altered = mark.state != Mark::none;
  return d;
}

}  // namespace carrier
