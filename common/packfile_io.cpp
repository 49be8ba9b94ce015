#include "packfile_io.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "safe_output.h"

namespace {

SafeOutput& out_of(void* userdata) { return *static_cast<SafeOutput*>(userdata); }

int out_close(void*) { return 0; }
int out_getc(void*) { return EOF; }
int out_ungetc(int, void*) { return EOF; }
long out_fread(void*, long, void*) { return 0; }
int out_putc(int c, void* userdata) {
  return out_of(userdata).put(static_cast<unsigned char>(c)) ? (c & 0xFF) : EOF;
}
long out_fwrite(const void* p, long n, void* userdata) {
  if (n <= 0) return 0;
  return out_of(userdata).write(p, static_cast<size_t>(n)) ? n : 0;
}
int out_fseek(void*, int) { return -1; }
int out_feof(void*) { return 0; }
int out_ferror(void* userdata) { return out_of(userdata).error(); }

const PACKFILE_VTABLE output_vtable = {out_close, out_getc,   out_ungetc, out_fread, out_putc,
                                       out_fwrite, out_fseek, out_feof,   out_ferror};

PackInput& in_of(void* userdata) { return *static_cast<PackInput*>(userdata); }

// Makes the byte at the position readable at in.data + (position - start).
bool in_ready(PackInput& in) {
  if (in.position >= in.size) return false;
  if (in.position - in.start < in.available) return true;  // wraps before the window
  return in.refill && in.refill(in);
}

int in_close(void*) { return 0; }
int in_getc(void* userdata) {
  PackInput& in = in_of(userdata);
  // The loaders call this once a pixel: the common case, a byte in the window, comes first.
  const size_t offset = in.position - in.start;  // wraps when the position is before the window
  if (offset < in.available) {
    ++in.position;
    return in.data[offset];
  }
  if (!in_ready(in)) {
    in.overread = true;
    return EOF;
  }
  return in.data[in.position++ - in.start];
}
int in_ungetc(int c, void* userdata) {
  PackInput& in = in_of(userdata);
  if (in.position == 0) return EOF;
  --in.position;
  return c & 0xFF;
}
long in_fread(void* p, long n, void* userdata) {
  PackInput& in = in_of(userdata);
  auto* to = static_cast<unsigned char*>(p);
  long done = 0;
  while (done < n) {
    if (!in_ready(in)) {
      in.overread = true;
      break;
    }
    const size_t in_window = in.start + in.available - in.position;
    const size_t take = std::min(in_window, static_cast<size_t>(n - done));
    std::memcpy(to + done, in.data + (in.position - in.start), take);
    in.position += take;
    done += static_cast<long>(take);
  }
  return done;
}
int in_putc(int, void*) { return EOF; }
long in_fwrite(const void*, long, void*) { return 0; }
int in_fseek(void* userdata, int offset) {
  PackInput& in = in_of(userdata);
  if (offset < 0) return -1;
  if (static_cast<size_t>(offset) > in.size - in.position) {
    in.overread = true;
    in.position = in.size;
    return -1;
  }
  in.position += static_cast<size_t>(offset);
  return 0;
}
int in_feof(void* userdata) { return in_of(userdata).position >= in_of(userdata).size; }
int in_ferror(void*) { return 0; }

const PACKFILE_VTABLE input_vtable = {in_close, in_getc,   in_ungetc, in_fread, in_putc,
                                      in_fwrite, in_fseek, in_feof,   in_ferror};

}  // namespace

PACKFILE* pack_open_input(PackInput& in) {
  if (!in.refill) {  // all the bytes are the window
    in.start = 0;
    in.available = in.size;
  }
  return pack_fopen_vtable(&input_vtable, &in);
}

CheckedFile::CheckedFile(int fd, const unsigned char* data, size_t size)
    : fd_(fd), size_(size), key_(0x9E3779B97F4A7C15u) {
  // A key of this run's own, so that nobody can make a changed block match its fingerprint.
  uint64_t random_key = 0;
  if (getrandom(&random_key, sizeof random_key, 0) == sizeof random_key) key_ ^= random_key;
  for (size_t at = 0; at < size; at += block) {
    blocks_.push_back(fingerprint(data + at, std::min(block, size - at)));
  }
}

void CheckedFile::attach(PackInput& in) {
  in = PackInput{};
  in.size = size_;
  in.refill = [this](PackInput& to) { return load_block(to); };
}

bool CheckedFile::load_block(PackInput& in) {
  const size_t index = in.position / block;
  const size_t offset = index * block;
  const size_t n = std::min(block, size_ - offset);
  buffer_.resize(block);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = pread(fd_, buffer_.data() + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got != n || fingerprint(buffer_.data(), n) != blocks_[index]) {
    changed_ = true;
    return false;
  }
  in.data = buffer_.data();
  in.start = offset;
  in.available = n;
  return true;
}

// A keyed multiply-rotate hash over 8-byte words: fast, and it sees any change of content.
uint64_t CheckedFile::fingerprint(const unsigned char* data, size_t n) const {
  uint64_t h = key_ ^ n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDu;
    h ^= h >> 32;
  }
  for (; i < n; ++i) h = (h ^ data[i]) * 0xC4CEB9FE1A85EC53u;
  return h ^ (h >> 29);
}

PACKFILE* pack_open_output(SafeOutput& out) { return pack_fopen_vtable(&output_vtable, &out); }
