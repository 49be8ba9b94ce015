// The bytes of a picture file as its reader takes them, the fields of its headers, and the
// defects a reader refuses a picture with.
#ifndef COMMON_FORMATS_INPUT_H
#define COMMON_FORMATS_INPUT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "run.h"

namespace formats {

// The bytes of a picture file, served in large blocks from an open file (read from its current
// offset on) or from memory. Every read returns a Fault: Defect::truncated past the end, a
// failed system call's errno.
class Input {
 public:
  explicit Input(int fd);
  Input(const unsigned char* data, size_t size);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Copies the next n bytes to `to`.
  run::Fault read(void* to, size_t n);
  // Passes over the next n bytes.
  run::Fault skip(uint64_t n);
  // The next byte.
  run::Fault get(int& byte) {
    if (next_ == end_) return get_slow(byte);
    byte = *next_++;
    return {};
  }
  // The bytes in hand, [p, end), refilled when there are none: for decoders that loop on local
  // pointers. They hand back how far they took with taken().
  run::Fault block(const unsigned char*& p, const unsigned char*& end) {
    if (next_ == end_) {
      if (const run::Fault f = refill()) return f;
    }
    p = next_;
    end = end_;
    return {};
  }
  void taken(const unsigned char* p) { next_ = p; }

  // Goes to `offset` bytes from where the Input began: a reader reads rows out of the file's
  // order, or starts again.
  run::Fault seek(uint64_t offset);

  // Reads n bytes at `offset` from where the Input began, leaving the reading where it is: a
  // reader looks at what comes after the pixels before them.
  run::Fault read_at(uint64_t offset, void* to, size_t n);

  // Bytes taken so far.
  uint64_t offset() const { return consumed_ + static_cast<uint64_t>(next_ - begin_); }
  // The whole file's size in bytes (for a file, as fstat gave it when the Input was made).
  uint64_t size() const { return size_; }
  // Bytes left from the current offset to the end (0 past it).
  uint64_t remaining() const { return size_ > offset() ? size_ - offset() : 0; }

 private:
  run::Fault get_slow(int& byte);
  // New bytes in hand, or why there are none.
  run::Fault refill();

  int fd_ = -1;
  off_t start_ = 0;  // the file's offset where the Input began
  int error_ = 0;    // fstat's, when it failed: the first refill gives it
  std::vector<unsigned char> buffer_;
  const unsigned char* data_ = nullptr;   // an Input from memory: its bytes
  const unsigned char* begin_ = nullptr;  // the bytes in hand
  const unsigned char* next_ = nullptr;
  const unsigned char* end_ = nullptr;
  uint64_t consumed_ = 0;  // bytes before begin_
  uint64_t size_ = 0;
};

// The defects a reader refuses a picture with.
inline run::Fault damaged() { return run::defect(run::Defect::damaged); }
inline run::Fault unsupported() { return run::defect(run::Defect::unsupported); }
inline run::Fault truncated() { return run::defect(run::Defect::truncated); }
inline run::Fault too_large() { return run::defect(run::Defect::too_large); }

// Little-endian and big-endian fields of a header already read into memory.
inline uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8u); }
inline uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8u) | (p[2] << 16u) | (uint32_t{p[3]} << 24u);
}
inline uint32_t be16(const unsigned char* p) { return uint32_t{p[0]} << 8u | p[1]; }
inline uint32_t be32(const unsigned char* p) {
  return uint32_t{p[0]} << 24u | uint32_t{p[1]} << 16u | uint32_t{p[2]} << 8u | p[3];
}

}  // namespace formats

#endif
