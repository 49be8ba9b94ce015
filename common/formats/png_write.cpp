// PNG pictures: the writer, on zlib (png_chunks.h has the framing it shares with the reader,
// png_read.cpp the file's layout).
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "containers.h"
#include "png_chunks.h"

namespace formats {

namespace {

using png::record_keyword;
using png::signature;

// The writer's deflate stream. Zlib at level 1 is several times quicker than the default on text
// and as small on random bytes; data that does not pack (archives, media, encrypted files: most
// of what people keep) goes in stored blocks, at the speed of a copy. Rows are not filtered: the
// carrier's bytes are file bytes, not images, and filtering them costs time (twice as long) for
// larger output (a third larger on text).
constexpr int compression_level = 1;
// A band packs when its bytes, taken one at a time, carry fewer bits than this: deflate at
// level 1 gains little above it, and pure noise carries 8.
constexpr double packing_entropy = 7.5;
constexpr size_t idat_bytes = size_t{256} << 10;  // an IDAT chunk's data, at most

// Whether deflate would gain on these bytes: the entropy of every 16th byte, one at a time (a
// cheap look: most data that packs does so byte by byte too).
bool packs(const unsigned char* p, size_t n) {
  constexpr size_t step = 16;
  uint64_t count[256] = {};
  size_t taken = 0;
  for (size_t i = 0; i < n; i += step, ++taken) ++count[p[i]];
  double bits = 0;
  for (const uint64_t c : count) {
    if (c)
      bits -=
          static_cast<double>(c) * std::log2(static_cast<double>(c) / static_cast<double>(taken));
  }
  return taken == 0 || bits / static_cast<double>(taken) < packing_entropy;
}

// An 8-bit palette PNG, its IDAT stream deflated here a band at a time. The record's tEXt chunk
// comes before the pixels, its text sized by the `room` record and padded with spaces; the final
// record, known after the last row, is written over it.
class PngWriter : public PictureWriter {
 public:
  PngWriter(files::Sink& out, int32_t w, int32_t h, const Palette& pal, const carrier::Record* room)
      : out_(out), w_(w), h_(h), pal_(pal), text_(room ? carrier::record_text(*room).size() : 0) {}
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;
  ~PngWriter() override {
    if (started_) deflateEnd(&z_);
  }

  run::Fault begin() override {
    std::vector<unsigned char> head(signature, signature + sizeof signature);
    unsigned char ihdr[13];
    put_be32(ihdr, static_cast<uint32_t>(w_));
    put_be32(ihdr + 4, static_cast<uint32_t>(h_));
    const unsigned char rest[5] = {8, 3, 0, 0,
                                   0};  // 8 bits, palette, deflate, no filter, no interlace
    std::memcpy(ihdr + 8, rest, sizeof rest);
    chunk(head, "IHDR", ihdr, sizeof ihdr);
    plte_at_ = head.size();
    Fields plte;
    plte.colours(pal_, false);
    chunk(head, "PLTE", plte.bytes);
    if (text_) {
      text_at_ = head.size();
      chunk(head, "tEXt", text_chunk(std::string(text_, ' ')));
    }
    if (deflateInit(&z_, compression_level) != Z_OK) return run::system_fault(ENOMEM);
    started_ = true;
    out_buffer_.resize(idat_bytes);
    z_.next_out = out_buffer_.data();
    z_.avail_out = static_cast<uInt>(out_buffer_.size());
    return out_.write(head.data(), head.size());
  }

  run::Fault rows(const unsigned char* pixels, int32_t count) override {
    const auto w = static_cast<size_t>(w_);
    filtered_.resize((w + 1) * static_cast<size_t>(count));
    for (int32_t y = 0; y < count; ++y) {
      unsigned char* const to = filtered_.data() + (w + 1) * static_cast<size_t>(y);
      to[0] = 0;  // filter: none
      std::memcpy(to + 1, pixels + w * static_cast<size_t>(y), w);
    }
    const int level = packs(pixels, w * static_cast<size_t>(count)) ? compression_level : 0;
    while (level != level_) {
      const int e = deflateParams(&z_, level, Z_DEFAULT_STRATEGY);
      if (e == Z_OK) {
        level_ = level;
      } else if (e != Z_BUF_ERROR) {
        return run::system_fault(EIO);
      }
      if (const run::Fault f = emit(e == Z_BUF_ERROR)) return f;  // room for what it flushes
    }
    z_.next_in = filtered_.data();
    z_.avail_in = static_cast<uInt>(filtered_.size());
    while (z_.avail_in > 0) {
      if (deflate(&z_, Z_NO_FLUSH) == Z_STREAM_ERROR) return run::system_fault(EIO);
      if (const run::Fault f = emit(false)) return f;
    }
    return {};
  }

  run::Fault repaint(const Palette& pal) override {
    pal_ = pal;
    Fields plte;
    plte.colours(pal_, false);
    std::vector<unsigned char> whole;
    chunk(whole, "PLTE", plte.bytes);
    return out_.write_at(plte_at_, whole.data(), whole.size());
  }

  run::Fault finish(const carrier::Record* record) override {
    int e;
    do {
      e = deflate(&z_, Z_FINISH);
      if (e == Z_STREAM_ERROR) return run::system_fault(EIO);
      if (const run::Fault f = emit(e == Z_STREAM_END)) return f;
    } while (e != Z_STREAM_END);
    std::vector<unsigned char> end;
    chunk(end, "IEND", nullptr, 0);
    if (const run::Fault f = out_.write(end.data(), end.size())) return f;
    if (!record || !text_) return {};
    std::string text = carrier::record_text(*record);
    if (text.size() > text_) return unsupported();  // longer than its room
    text.resize(text_, ' ');
    const std::vector<unsigned char> tEXt = text_chunk(text);
    std::vector<unsigned char> whole;
    chunk(whole, "tEXt", tEXt.data(), tEXt.size());
    return out_.write_at(text_at_, whole.data(), whole.size());
  }

 private:
  static void put_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24), p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8), p[3] = static_cast<unsigned char>(v);
  }
  // A chunk appended to `to`: length, type, data, CRC of type and data.
  static void chunk(std::vector<unsigned char>& to, const char* type, const unsigned char* data,
                    size_t n) {
    unsigned char field[4];
    put_be32(field, static_cast<uint32_t>(n));
    to.insert(to.end(), field, field + 4);
    const size_t at = to.size();
    to.insert(to.end(), type, type + 4);
    if (n) to.insert(to.end(), data, data + n);
    put_be32(field, carrier::crc32(0, to.data() + at, n + 4));
    to.insert(to.end(), field, field + 4);
  }
  static void chunk(std::vector<unsigned char>& to, const char* type,
                    const std::vector<unsigned char>& data) {
    chunk(to, type, data.data(), data.size());
  }
  static std::vector<unsigned char> text_chunk(const std::string& text) {
    std::vector<unsigned char> data(record_keyword, record_keyword + sizeof record_keyword);
    data.insert(data.end(), text.begin(), text.end());  // keyword, 0, text
    return data;
  }

  // The deflated bytes in hand as an IDAT chunk, when the buffer is full or `all`.
  // Its length and type, the data where deflate left it, then the CRC: the data is not copied.
  run::Fault emit(bool all) {
    const size_t n = out_buffer_.size() - z_.avail_out;
    if (n == 0 || (!all && z_.avail_out > 0)) return {};
    unsigned char head[8], crc[4];
    put_be32(head, static_cast<uint32_t>(n));
    std::memcpy(head + 4, "IDAT", 4);
    put_be32(crc, carrier::crc32(carrier::crc32(0, head + 4, 4), out_buffer_.data(), n));
    z_.next_out = out_buffer_.data();
    z_.avail_out = static_cast<uInt>(out_buffer_.size());
    if (const run::Fault f = out_.write(head, sizeof head)) return f;
    if (const run::Fault f = out_.write(out_buffer_.data(), n)) return f;
    return out_.write(crc, sizeof crc);
  }

  files::Sink& out_;
  int32_t w_, h_;
  Palette pal_;
  size_t text_;           // the record's room in the tEXt chunk, 0 for none
  uint64_t text_at_ = 0;  // where that chunk starts
  uint64_t plte_at_ = 0;  // where the PLTE chunk starts
  z_stream z_{};
  bool started_ = false;
  int level_ = compression_level;
  std::vector<unsigned char> filtered_, out_buffer_;
};

}  // namespace

std::unique_ptr<PictureWriter> write_png(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room) {
  return std::make_unique<PngWriter>(out, w, h, pal, room);
}

}  // namespace formats
