// PNG's framing, shared by the reader (png_read.cpp) and the writer (png_write.cpp): the
// signature, the chunks one at a time, the zlib stream, the record's places among the chunks
// and the IDAT stream's filtered rows. The file's layout is set out in png_read.cpp.
#ifndef COMMON_FORMATS_PNG_CHUNKS_H
#define COMMON_FORMATS_PNG_CHUNKS_H

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "carrier.h"
#include "input.h"
#include "run.h"

namespace formats {
namespace png {

constexpr unsigned char signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// The keyword of the text chunk that holds the record: kept by image tools, which may write it
// in lower case.
constexpr char record_keyword[] = "Comment";

// A zlib stream, inflating.
class Inflater {
 public:
  Inflater() = default;
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
    if (started_) inflateEnd(&z);
  }
  bool start() { return started_ = inflateInit(&z) == Z_OK; }

  z_stream z{};

 private:
  bool started_ = false;
};

// A zlib error as a refusal.
run::Fault inflate_fault(int e);

// The chunks after the header, one at a time: their length and type, their data read or passed
// over, and their CRC checked at the end of each.
class Chunks {
 public:
  explicit Chunks(Input& in) : in_(in) {}

  // The next chunk's length and type. A length past 2^31 - 1 and a type of other bytes than
  // letters are damage.
  run::Fault next() {
    unsigned char head[8];
    if (const run::Fault f = in_.read(head, sizeof head)) return f;
    left_ = be32(head);
    std::memcpy(type_, head + 4, 4);
    if (left_ > INT32_MAX) return damaged();
    for (const unsigned char c : type_) {
      if ((c < 'A' || c > 'Z') && (c < 'a' || c > 'z')) return damaged();
    }
    crc_ = carrier::crc32(0, type_, 4);
    return {};
  }
  bool is(const char* type) const { return std::memcmp(type_, type, 4) == 0; }
  // A chunk a reader may not pass over: its type's first letter is upper case.
  bool critical() const { return (type_[0] & 0x20) == 0; }
  // The data's bytes not yet taken.
  uint64_t left() const { return left_; }

  // The next n bytes of the data (n at most left()).
  run::Fault read(unsigned char* to, size_t n) {
    if (n == 0) return {};  // `to` may be null, which the CRC would take as a fresh start
    if (const run::Fault f = in_.read(to, n)) return f;
    crc_ = carrier::crc32(crc_, to, n);
    left_ -= n;
    return {};
  }
  // The next bytes of the data as the Input has them, [p, p + n), with no copy: they stay
  // valid until the Input is used again.
  run::Fault take(const unsigned char*& p, size_t& n) {
    const unsigned char* end;
    if (const run::Fault f = in_.block(p, end)) return f;
    n = static_cast<size_t>(std::min<uint64_t>(left_, static_cast<uint64_t>(end - p)));
    crc_ = carrier::crc32(crc_, p, n);
    in_.taken(p + n);
    left_ -= n;
    return {};
  }
  // The rest of the data passed over, then the CRC.
  run::Fault end() {
    while (left_ > 0) {
      const unsigned char* p;
      size_t n;
      if (const run::Fault f = take(p, n)) return f;
    }
    unsigned char stored[4];
    if (const run::Fault f = in_.read(stored, sizeof stored)) return f;
    return be32(stored) == crc_ ? run::Fault{} : damaged();
  }

 private:
  Input& in_;
  unsigned char type_[4] = {};
  uint64_t left_ = 0;
  uint32_t crc_ = 0;
};

// What the record's places hold: the zoRO chunk's data, and every comment's text that starts
// with the tag. Several are one record only when they all are whole and say the same.
class Records {
 public:
  // Reads the chunk's data if it may hold a record (the CRC is left to Chunks::end).
  run::Fault take(Chunks& chunks);
  carrier::Mark mark() const;

 private:
  void add(const carrier::Mark& m) {
    if (m.state != carrier::Mark::none) marks_.push_back(m);
  }
  // A text chunk's data: keyword, 0, then for tEXt the text; for zTXt a method byte and the
  // text deflated; for iTXt a flag (deflated or not), a method byte, a language tag and a
  // translated keyword each ending in 0, then the text. A chunk that breaks this is passed over.
  void comment(char kind, const std::vector<unsigned char>& d);

  int chunks_ = 0;
  std::vector<carrier::Mark> marks_;
};

// The filtered rows of the IDAT chunks' zlib stream, inflated once, one row at a time, each
// unfiltered against the row before it. finish() checks what the rows leave: the stream ends
// right after the last row, its Adler-32 holds, and no IDAT data follows. The Adler-32 is
// summed here, with libdeflate (several times zlib's speed), and compared with the stream's
// last four bytes, which zlib reads but is told not to check.
class IdatRows {
 public:
  IdatRows(Chunks& chunks, size_t step) : chunks_(chunks), step_(step) {}

  // Room for rows of up to `row_bytes` bytes, filter byte aside.
  run::Fault start(uint64_t row_bytes);
  // The next row of `n` bytes, unfiltered, at `row`. `first` is the first row of a pass: the
  // row before it counts as zeros.
  run::Fault next(size_t n, bool first, const unsigned char*& row);
  run::Fault finish();

 private:
  // Inflates into the buffer until `need` bytes lie at its cursor; the row before, when the
  // buffer moves on, is kept in `prior_`.
  run::Fault fill(size_t need);
  // One call to inflate, with more IDAT data first if it needs it.
  run::Fault inflate_more();
  run::Fault unfilter(unsigned filter, unsigned char* d, const unsigned char* up, size_t n) const;

  Chunks& chunks_;
  size_t step_;
  Inflater inflater_;
  bool ended_ = false;
  uint32_t adler_ = 1;                 // of the bytes inflated so far
  unsigned char tail_[4] = {};         // the last bytes inflate read
  std::vector<unsigned char> buffer_;  // inflated bytes: [at_, have_) not yet taken
  size_t at_ = 0, have_ = 0;
  std::vector<unsigned char> prior_;     // the row before the buffer's first
  const unsigned char* last_ = nullptr;  // the last row handed out, while in the buffer
  size_t last_bytes_ = 0;
};

}  // namespace png
}  // namespace formats

#endif
