// PNG's framing, shared by the reader and the writer (png_chunks.h): the record's places among
// the chunks, and the IDAT stream's rows inflated and unfiltered.
#include "png_chunks.h"

#include <libdeflate.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>

namespace formats {
namespace png {

namespace {

// A comment chunk longer than this, or whose text inflates past it, holds no record: it is
// passed over unread, so a hostile file gets little memory out of its text.
constexpr size_t text_limit = size_t{1} << 20;

// Inflated rows are taken from a buffer of about this size (or one row, if longer).
constexpr size_t inflated_bytes = size_t{256} << 10;

// Earlier carriers' record chunk: ancillary, private, not safe to copy.
constexpr unsigned char record_chunk[4] = {'z', 'o', 'R', 'O'};

unsigned char paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<unsigned char>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

}  // namespace

run::Fault inflate_fault(int e) { return e == Z_MEM_ERROR ? run::system_fault(ENOMEM) : damaged(); }

run::Fault Records::take(Chunks& chunks) {
  if (chunks.is(reinterpret_cast<const char*>(record_chunk))) {
    if (++chunks_ > 1) return {};
    unsigned char data[carrier::record_size + 1];
    const auto n = static_cast<size_t>(std::min<uint64_t>(chunks.left(), sizeof data));
    if (const run::Fault f = chunks.read(data, n)) return f;
    add(carrier::read_mark(data, n));
    return {};
  }
  const bool text = chunks.is("tEXt") || chunks.is("zTXt") || chunks.is("iTXt");
  if (!text || chunks.left() > text_limit) return {};
  std::vector<unsigned char> data(static_cast<size_t>(chunks.left()));
  if (const run::Fault f = chunks.read(data.data(), data.size())) return f;
  comment(chunks.is("tEXt") ? 't' : chunks.is("zTXt") ? 'z' : 'i', data);
  return {};
}

carrier::Mark Records::mark() const {
  if (chunks_ > 1) return carrier::Mark{carrier::Mark::broken, {}};
  if (marks_.empty()) return {};
  for (const carrier::Mark& m : marks_) {
    if (m.state != carrier::Mark::whole || m.record.length != marks_[0].record.length ||
        m.record.crc != marks_[0].record.crc) {
      return carrier::Mark{carrier::Mark::broken, {}};
    }
  }
  return marks_[0];
}

void Records::comment(char kind, const std::vector<unsigned char>& d) {
  if (d.empty()) return;
  const auto* p = d.data();
  const auto* const end = p + d.size();
  const auto* nul = static_cast<const unsigned char*>(std::memchr(p, 0, d.size()));
  if (!nul || nul - p != sizeof record_keyword - 1 ||
      strncasecmp(reinterpret_cast<const char*>(p), record_keyword, nul - p) != 0) {
    return;
  }
  p = nul + 1;
  bool deflated = kind == 'z';
  if (kind == 'i') {
    if (end - p < 2) return;
    deflated = p[0] != 0;
    p += 2;
    for (int field = 0; field < 2; ++field) {  // language, translated keyword
      nul = static_cast<const unsigned char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
      if (!nul) return;
      p = nul + 1;
    }
  } else if (kind == 'z') {
    if (p == end) return;
    ++p;
  }
  if (!deflated) return add(carrier::read_mark(p, static_cast<size_t>(end - p)));
  std::vector<unsigned char> text(text_limit);
  Inflater inflater;
  if (!inflater.start()) return;
  z_stream& z = inflater.z;
  z.next_in = const_cast<unsigned char*>(p);
  z.avail_in = static_cast<uInt>(end - p);
  z.next_out = text.data();
  z.avail_out = static_cast<uInt>(text.size());
  if (inflate(&z, Z_FINISH) != Z_STREAM_END) return;  // damaged, or past the limit
  add(carrier::read_mark(text.data(), z.total_out));
}

run::Fault IdatRows::start(uint64_t row_bytes) {
  if (!inflater_.start() || inflateValidate(&inflater_.z, 0) != Z_OK) {
    return run::system_fault(ENOMEM);
  }
  try {
    buffer_.resize(static_cast<size_t>(std::max<uint64_t>(inflated_bytes, 1 + row_bytes)));
    prior_.resize(static_cast<size_t>(row_bytes));
  } catch (const std::bad_alloc&) {
    return run::system_fault(ENOMEM);
  }
  return {};
}

run::Fault IdatRows::next(size_t n, bool first, const unsigned char*& row) {
  if (have_ - at_ < n + 1) {
    if (const run::Fault f = fill(n + 1)) return f;
  }
  unsigned char* const d = buffer_.data() + at_ + 1;
  const unsigned char* const up = first ? nullptr : last_ ? last_ : prior_.data();
  if (const run::Fault f = unfilter(buffer_[at_], d, up, n)) return f;
  last_ = d;
  last_bytes_ = n;
  at_ += n + 1;
  row = d;
  return {};
}

run::Fault IdatRows::finish() {
  if (have_ > at_) return damaged();  // more bytes than the rows
  unsigned char scratch[64];
  while (!ended_) {
    z_stream& z = inflater_.z;
    z.next_out = scratch;
    z.avail_out = sizeof scratch;
    if (const run::Fault f = inflate_more()) return f;
    if (z.avail_out != sizeof scratch) return damaged();
  }
  if (inflater_.z.avail_in > 0) return damaged();  // data after the stream's end
  while (chunks_.left() > 0) {
    const unsigned char* p;
    size_t n;
    if (const run::Fault f = chunks_.take(p, n)) return f;
    if (n > 0) return damaged();
  }
  return chunks_.end();
}

run::Fault IdatRows::fill(size_t need) {
  if (last_) std::memcpy(prior_.data(), last_, last_bytes_);
  last_ = nullptr;
  std::memmove(buffer_.data(), buffer_.data() + at_, have_ - at_);
  have_ -= at_;
  at_ = 0;
  z_stream& z = inflater_.z;
  while (have_ < need) {
    if (ended_) return damaged();  // the stream ends before the last row
    z.next_out = buffer_.data() + have_;
    z.avail_out = static_cast<uInt>(std::min<size_t>(buffer_.size() - have_, UINT_MAX));
    if (const run::Fault f = inflate_more()) return f;
    have_ = static_cast<size_t>(z.next_out - buffer_.data());
  }
  return {};
}

run::Fault IdatRows::inflate_more() {
  z_stream& z = inflater_.z;
  if (z.avail_in == 0) {
    while (chunks_.left() == 0) {  // the next IDAT chunk, passing over empty ones
      if (const run::Fault f = chunks_.end()) return f;
      if (const run::Fault f = chunks_.next()) return f;
      if (!chunks_.is("IDAT")) return damaged();  // the stream does not end in the IDATs
    }
    const unsigned char* p;
    size_t n;
    if (const run::Fault f = chunks_.take(p, n)) return f;
    z.next_in = const_cast<unsigned char*>(p);
    z.avail_in = static_cast<uInt>(n);
  }
  const unsigned char* const in = z.next_in;
  unsigned char* const out = z.next_out;
  const int e = inflate(&z, Z_NO_FLUSH);
  adler_ = libdeflate_adler32(adler_, out, static_cast<size_t>(z.next_out - out));
  // The last four bytes read, which end the stream.
  const auto read = static_cast<size_t>(z.next_in - in);
  const size_t kept = std::min<size_t>(read, 4);
  std::memmove(tail_, tail_ + kept, 4 - kept);
  std::memcpy(tail_ + 4 - kept, z.next_in - kept, kept);
  if (e == Z_STREAM_END) {
    ended_ = true;
    if (be32(tail_) != adler_) return damaged();
  } else if (e != Z_OK && e != Z_BUF_ERROR) {
    return inflate_fault(e);
  }
  return {};
}

run::Fault IdatRows::unfilter(unsigned filter, unsigned char* d, const unsigned char* up,
                              size_t n) const {
  const size_t s = step_;
  switch (filter) {
    case 0: break;
    case 1:  // sub
      for (size_t i = s; i < n; ++i) d[i] = static_cast<unsigned char>(d[i] + d[i - s]);
      break;
    case 2:  // up
      if (up) {
        for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(d[i] + up[i]);
      }
      break;
    case 3:  // average
      for (size_t i = 0; i < n; ++i) {
        const unsigned left = i >= s ? d[i - s] : 0, above = up ? up[i] : 0;
        d[i] = static_cast<unsigned char>(d[i] + ((left + above) >> 1));
      }
      break;
    case 4:  // Paeth
      for (size_t i = 0; i < n; ++i) {
        const int left = i >= s ? d[i - s] : 0, above = up ? up[i] : 0;
        const int corner = up && i >= s ? up[i - s] : 0;
        d[i] = static_cast<unsigned char>(d[i] + paeth(left, above, corner));
      }
      break;
    default: return damaged();
  }
  return {};
}

}  // namespace png
}  // namespace formats
