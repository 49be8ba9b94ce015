#include "carrier.h"

#include <cctype>

namespace carrier {

int32_t carrier_rows(int32_t n) { return n / width + 1; }

Cursor::Cursor(int32_t w, int32_t h, int32_t x1, int32_t y1, run::Feedback& feedback)
    : w_(w), h_(h), last_(int64_t{y1} * w + x1), feedback_(feedback) {}

int32_t Cursor::span() {
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
  const volatile char* escape = feedback_.escape_key();
  for (int32_t i = 0; i < n; ++i) {
    to[i] = from[i];
    if (*escape) {
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
    if (picture.line[last][x1] > 0) {
      // Position 0 (a one-row picture's column 0) holds no data.
      const int64_t end = int64_t{last} * w + x1;
      if (end > 0) return end;
      break;
    }
  }
  // The last row holds no data: take the last pixel above 0 anywhere after position 0.
  for (int32_t y = last; y >= 0; --y) {
    const unsigned char* row = picture.line[y];
    for (int32_t x = w - 1; x >= 0; --x) {
      if (row[x] > 0) {
        const int64_t end = int64_t{y} * w + x;
        return end > 0 ? end : 0;
      }
    }
  }
  return 0;
}

Container container_for(const std::string& name) {
  const auto slash = name.find_last_of('/');
  const auto dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return Container::unknown;
  }
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "bmp") return Container::bmp;
  if (ext == "tga") return Container::tga;
  if (ext == "pcx") return Container::pcx;
  if (ext == "png") return Container::png;
  return Container::unknown;
}

int32_t container_max_rows(Container c) {
  switch (c) {
    case Container::bmp:
    case Container::png:
      return max_rows;
    case Container::tga:
      return 65535;
    case Container::pcx:
      return 65536;
    case Container::unknown:
      break;
  }
  return 0;
}

const char* container_name(Container c) {
  switch (c) {
    case Container::bmp: return "BMP";
    case Container::tga: return "TGA";
    case Container::pcx: return "PCX";
    case Container::png: return "PNG";
    case Container::unknown: break;
  }
  return "?";
}

}  // namespace carrier
