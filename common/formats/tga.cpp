// TGA pictures: reader and writer.
//
// The header, 18 bytes, little-endian:
//    0  u8   length of the ID field that follows the header
//    1  u8   colour map type: 0 none, 1 present
//    2  u8   image type: 1 colour-mapped, 2 true colour, 3 grey; +8 run-length coded
//    3  u16  first colour map entry
//    5  u16  colour map entries
//    7  u8   bits per colour map entry
//    8  u16  x origin on the screen (not used)
//   10  u16  y origin on the screen (not used)
//   12  u16  width
//   14  u16  height
//   16  u8   bits per pixel
//   17  u8   descriptor: bits 0-3 attribute (alpha) bits, bit 4 right to left, bit 5 top to
//            bottom, bits 6-7 interleaving
// then the ID field, the colour map (entries * ceil(bits / 8) bytes) and the pixels, rows bottom
// to top unless bit 5 says otherwise. A run-length packet is a byte n (bit 7: a run) and then
// one pixel repeated (n & 0x7F) + 1 times, or (n & 0x7F) + 1 pixels as they are.
//
// What is read:
//   colour-mapped, 8-bit indices   each pixel its index (colours, and the first entry, ignored)
//   grey, 8 bits                   each pixel its level
//   true colour, 15/16/24/32 bits  a 32-bit picture (5-bit channels scaled as the library does,
//                                  the attribute bit and alpha dropped)
//   raw or run-length, every origin, any ID field; a colour map beside true colour or grey is
//   passed over. Packets may run on into the next row (older writers do this), not past the
//   picture's last pixel (damaged).
// What is refused:
//   unsupported   colour map type above 1, image types other than 1-3 and 9-11, 16-bit indices
//                 or any other depth, map entries other than 8/15/16/24/32 bits, interleaved
//                 rows (their order is not the file's order)
//   damaged       colour-mapped without a colour map, width or height 0, a packet past the end
//   too_large     before allocating (new_image): a picture past the library's int, or one
//                 far larger than the rest of the file can hold (less far: truncated)
//                 (raw: its bytes; run-length: 128 pixels per packet of 1 + pixel bytes)
//   truncated     a file cut short anywhere from the header to the last pixel
//
// The writer: type 1, 256 map entries of 24 bits (blue, green, red), descriptor 0x20, rows top to
// bottom, which every reader tried reads right and image tools keep that way (bottom-up carriers
// came back upside down from some). The ID field is where a carrier keeps its record, as text
// (carrier.h): empty without one. Earlier carriers were bottom-up, with a binary record there.
#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "containers.h"
#include "rgb32.h"

namespace formats {

namespace {

constexpr size_t header_bytes = 18;

// Receives the pixels in the file's order, one row of `w` pixels of `bytes` each at a time, and
// puts each finished row where it belongs in the picture.
class RowPlacer {
 public:
  RowPlacer(const Image& image, unsigned bytes, bool top_down, bool right_to_left, bool alpha)
      : image_(image),
        bytes_(bytes),
        top_down_(top_down),
        right_to_left_(right_to_left),
        alpha_(alpha) {
    // 8-bit pixels land in the picture's own row; others are converted from a row of file bytes.
    if (bytes_ != 1) scratch_.resize(static_cast<size_t>(image.w()) * bytes_);
  }

  // Where file row r's bytes go.
  unsigned char* row(int r) { return bytes_ == 1 ? image_.row(target(r)) : scratch_.data(); }

  // File row r is complete.
  run::Fault finish(int r) {
    unsigned char* const line = image_.row(target(r));
    const int w = image_.w();
    if (bytes_ == 1) {
      if (right_to_left_) std::reverse(line, line + w);
      return {};
    }
    auto* const out = reinterpret_cast<uint32_t*>(line);
    const unsigned char* p = scratch_.data();
    for (int x = 0; x < w; ++x, p += bytes_) {
      uint32_t c;
      if (bytes_ == 2) {
        const unsigned v = p[0] | p[1] << 8;
        c = rgb32(_rgb_scale_5[(v >> 10) & 31], _rgb_scale_5[(v >> 5) & 31], _rgb_scale_5[v & 31]);
      } else {
        c = rgb32(p[2], p[1], p[0]);
        translucent |= alpha_ && bytes_ == 4 && p[3] != 255;
      }
      out[right_to_left_ ? w - 1 - x : x] = c;
    }
    return {};
  }

  bool translucent = false;  // a pixel's alpha, where the descriptor gives it, below 255

 private:
  int target(int r) const { return top_down_ ? r : image_.h() - 1 - r; }

  const Image& image_;
  unsigned bytes_;
  bool top_down_, right_to_left_, alpha_;
  std::vector<unsigned char> scratch_;
};

// 8-bit rows of a top-down picture handed on as they come.
class RowsHanded {
 public:
  RowsHanded(RowTaker& to, int w, int h, bool right_to_left)
      : bands_(to, w, h), w_(w), right_to_left_(right_to_left) {}
  unsigned char* row(int r) { return bands_.row(r); }
  run::Fault finish(int r) {
    if (right_to_left_) std::reverse(bands_.row(r), bands_.row(r) + w_);
    return bands_.done(r);
  }

 private:
  Bands bands_;
  int w_;
  bool right_to_left_;
};

template <class Rows>
run::Fault read_raw(Input& in, Rows& rows, int w, int h, unsigned bytes) {
  const size_t row_bytes = static_cast<size_t>(w) * bytes;
  for (int r = 0; r < h; ++r) {
    if (const run::Fault f = in.read(rows.row(r), row_bytes)) return f;
    if (const run::Fault f = rows.finish(r)) return f;
  }
  return {};
}

template <class Rows>
run::Fault read_run_length(Input& in, Rows& rows, int w, int h, unsigned bytes) {
  const size_t row_bytes = static_cast<size_t>(w) * bytes;
  unsigned char pixel[4];
  int r = 0;
  size_t at = 0;  // bytes of row r filled
  unsigned char* dst = rows.row(0);
  while (r < h) {
    int head;
    if (const run::Fault f = in.get(head)) return f;
    size_t n = (static_cast<unsigned>(head) & 0x7F) + 1;
    const uint64_t left = uint64_t(h - 1 - r) * static_cast<uint64_t>(w) + (row_bytes - at) / bytes;
    if (n > left) return damaged();
    const bool run = head & 0x80;
    if (run) {
      if (const run::Fault f = in.read(pixel, bytes)) return f;
    }
    while (n > 0) {
      const size_t take = std::min(n, (row_bytes - at) / bytes);
      unsigned char* const to = dst + at;
      if (!run) {
        if (const run::Fault f = in.read(to, take * bytes)) return f;
      } else if (bytes == 1) {
        std::memset(to, pixel[0], take);
      } else {
        for (size_t i = 0; i < take; ++i) std::memcpy(to + i * bytes, pixel, bytes);
      }
      at += take * bytes;
      n -= take;
      if (at == row_bytes) {
        if (const run::Fault f = rows.finish(r)) return f;
        if (++r == h) break;
        dst = rows.row(r);
        at = 0;
      }
    }
  }
  return {};
}

// An indexed picture's levels from the colour map's `n` entries of `bits`, for indices from
// `first` on.
void map_levels(Found& found, const unsigned char* map, size_t n, unsigned bits, size_t first) {
  std::vector<unsigned char> rgb(n * 3);
  const unsigned bytes = (bits + 7) / 8;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char* e = map + i * bytes;
    unsigned char* c = &rgb[i * 3];
    if (bytes == 1) {
      c[0] = c[1] = c[2] = e[0];
    } else if (bytes == 2) {
      const unsigned v = e[0] | e[1] << 8;
      c[0] = static_cast<unsigned char>(_rgb_scale_5[(v >> 10) & 31]);
      c[1] = static_cast<unsigned char>(_rgb_scale_5[(v >> 5) & 31]);
      c[2] = static_cast<unsigned char>(_rgb_scale_5[v & 31]);
    } else {
      c[0] = e[2], c[1] = e[1], c[2] = e[0];
    }
  }
  found.palette_levels(rgb.data(), n, 3, 0, 2, first);
}

// Reads the picture into `out`; or, given `to`, hands an 8-bit picture's rows on (`streamed`)
// unless it is run-length coded bottom-up, and reads nothing past its colour map when not.
run::Fault read_into(Input& in, Image& out, Found& found, RowTaker* to, bool* streamed) {
  unsigned char head[header_bytes];
  if (const run::Fault f = in.read(head, sizeof head)) return f;
  const unsigned id_length = head[0], map_type = head[1], image_type = head[2];
  const uint32_t map_first = le16(head + 3), map_entries = le16(head + 5);
  const unsigned entry_bits = head[7];
  const int w = static_cast<int>(le16(head + 12)), h = static_cast<int>(le16(head + 14));
  const unsigned bits = head[16], descriptor = head[17];

  if (map_type > 1) return unsupported();
  uint64_t map_bytes = 0;
  if (map_type == 1) {
    switch (entry_bits) {
      case 8:
      case 15:
      case 16:
      case 24:
      case 32: break;
      default: return unsupported();
    }
    map_bytes = uint64_t{map_entries} * ((entry_bits + 7) / 8);
  }

  unsigned bytes;  // per pixel in the file
  switch (image_type & ~8u) {
    case 1:
      if (bits != 8) return unsupported();
      if (map_type != 1) return damaged();
      bytes = 1;
      break;
    case 2:
      if (bits != 15 && bits != 16 && bits != 24 && bits != 32) {
        return unsupported();
      }
      bytes = (bits + 7) / 8;
      break;
    case 3:
      if (bits != 8) return unsupported();
      bytes = 1;
      break;
    default: return unsupported();
  }
  if (descriptor & 0xC0) return unsupported();
  const bool run_length = image_type & 8;

  unsigned char id[255];
  if (const run::Fault f = in.read(id, id_length)) return f;
  std::vector<unsigned char> map;  // the entries that indices 0 to 255 can reach
  if ((image_type & ~8u) == 1 && map_first < 256) {
    const size_t n = std::min<size_t>(map_entries, 256 - map_first);
    map.resize(n * ((entry_bits + 7) / 8));
    if (const run::Fault f = in.read(map.data(), map.size())) return f;
    map_levels(found, map.data(), n, entry_bits, map_first);
  }
  if (const run::Fault f = in.skip(map_bytes - map.size())) return f;

  // The most pixels the rest of the file holds: raw, its bytes; run-length, 128 pixels a packet.
  const uint64_t left = in.remaining();
  const Reach reach{run_length ? (left + bytes) / (1 + bytes) * 128 : left / bytes, in.size()};
  const bool top_down = descriptor & 0x20, right_to_left = descriptor & 0x10;
  if (to) {
    // Read whole: run-length rows bottom-up, and true colour that is not raw 24 or 32 bits.
    if ((bytes != 1 && (bytes < 3 || run_length)) || (run_length && !top_down)) return {};
    if (const run::Fault f = check_streamed(w, h, reach)) return f;
    *streamed = true;
    found.mark = carrier::read_mark(id, id_length);
    if (const run::Fault f = to->start(w, h, found)) return f;
    if (!top_down || bytes != 1) {  // raw, read a band at a time from its place
      const auto width = static_cast<size_t>(w);
      const bool alpha = bytes == 4 && (descriptor & 0x0F) != 0;
      std::vector<uint32_t> wide(bytes == 1 ? 0 : width);
      return hand_raw_rows(in, *to, in.offset(), width * bytes, w, h, !top_down,
                           [&](const unsigned char* stored, unsigned char* row) {
                             if (bytes == 1) {
                               std::memcpy(row, stored, width);
                             } else {
                               for (size_t x = 0; x < width; ++x) {
                                 const unsigned char* const p = stored + x * bytes;
                                 if (alpha && p[3] != 255) return false;
                                 wide[x] = rgb32(p[2], p[1], p[0]);
                               }
                               if (!level_row(wide.data(), width, row, found.shown)) return false;
                             }
                             if (right_to_left) std::reverse(row, row + width);
                             return true;
                           });
    }
    RowsHanded rows(*to, w, h, right_to_left);
    return run_length ? read_run_length(in, rows, w, h, 1) : read_raw(in, rows, w, h, 1);
  }
  Image image;  // every pixel is written, raw or run-length
  if (const run::Fault f = new_image(bytes == 1 ? 8 : 32, w, h, reach, image, true)) return f;
  RowPlacer rows(image, bytes, top_down, right_to_left, (descriptor & 0x0F) != 0);
  const run::Fault f =
      run_length ? read_run_length(in, rows, w, h, bytes) : read_raw(in, rows, w, h, bytes);
  if (f) return f;
  out = std::move(image);
  found.mark = carrier::read_mark(id, id_length);
  found.translucent = rows.translucent;
  return {};
}

}  // namespace

namespace {

// The ID field holds the record's text, sized by the `room` record and padded with spaces: the
// final record, known after the last row, is written over it.
class TgaWriter : public PictureWriter {
 public:
  TgaWriter(files::Sink& out, int32_t w, int32_t h, const Palette& pal, const carrier::Record* room)
      : out_(out), w_(w), h_(h), pal_(pal), id_(room ? carrier::record_text(*room).size() : 0) {}

  run::Fault begin() override {
    Fields head;
    head.u8(static_cast<unsigned>(id_));  // the ID field's length
    head.u8(1);                           // a colour map
    head.u8(1);                           // colour-mapped, raw
    head.le16(0);                         // first entry
    head.le16(256);
    head.u8(24);   // bits per entry
    head.le16(0);  // x origin
    head.le16(0);  // y origin
    head.le16(static_cast<unsigned>(w_));
    head.le16(static_cast<unsigned>(h_));
    head.u8(8);     // bits per pixel
    head.u8(0x20);  // top to bottom, no alpha
    head.bytes.resize(head.bytes.size() + id_, ' ');
    head.colours(pal_, true);
    return out_.write(head.bytes.data(), head.bytes.size());
  }

  // The rows lie in the file as they come: one block.
  run::Fault rows(const unsigned char* pixels, int32_t count) override {
    return out_.write(pixels, static_cast<size_t>(w_) * static_cast<size_t>(count));
  }

  run::Fault repaint(const Palette& pal) override {
    pal_ = pal;
    Fields map;
    map.colours(pal_, true);
    return out_.write_at(header_bytes + id_, map.bytes.data(), map.bytes.size());
  }

  run::Fault finish(const carrier::Record* record) override {
    if (!record || id_ == 0) return {};
    std::string text = carrier::record_text(*record);
    if (text.size() > id_) return unsupported();  // longer than its room
    text.resize(id_, ' ');
    return out_.write_at(header_bytes, text.data(), text.size());
  }

 private:
  files::Sink& out_;
  int32_t w_, h_;
  Palette pal_;
  size_t id_;
};

}  // namespace

std::unique_ptr<PictureWriter> write_tga(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room) {
  return std::make_unique<TgaWriter>(out, w, h, pal, room);
}

run::Fault read_tga(Input& in, Image& out, Found& found) {
  return read_into(in, out, found, nullptr, nullptr);
}

run::Fault stream_tga(Input& in, RowTaker& to, Found& found, bool& streamed) {
  Image unused;
  return read_into(in, unused, found, &to, &streamed);
}

}  // namespace formats
