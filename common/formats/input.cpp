#include "input.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace formats {

Input::Input(int fd) : fd_(fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    error_ = errno;
    fd_ = -1;
    return;
  }
  const off_t here = lseek(fd, 0, SEEK_CUR);
  start_ = here > 0 ? here : 0;
  size_ = st.st_size > here && here >= 0 ? static_cast<uint64_t>(st.st_size - here) : 0;
  buffer_.resize(run::block_bytes);
  begin_ = next_ = end_ = buffer_.data();
}

Input::Input(const unsigned char* data, size_t size)
    : data_(data), begin_(data), next_(data), end_(data + size), size_(size) {}

run::Fault Input::seek(uint64_t offset) {
  if (offset > size_) return truncated();
  if (fd_ < 0 && !error_) {  // from memory
    begin_ = next_ = data_ + offset;
    end_ = data_ + size_;
    consumed_ = offset;
    return {};
  }
  if (error_) return run::system_fault(error_);
  if (lseek(fd_, start_ + static_cast<off_t>(offset), SEEK_SET) < 0) {
    error_ = errno;
    return run::system_fault(error_);
  }
  begin_ = next_ = end_ = buffer_.data();
  consumed_ = offset;
  return {};
}

run::Fault Input::read_at(uint64_t offset, void* to, size_t n) {
  if (offset > size_ || n > size_ - offset) return truncated();
  if (fd_ < 0 && !error_) {  // from memory
    std::memcpy(to, data_ + offset, n);
    return {};
  }
  if (error_) return run::system_fault(error_);
  auto* out = static_cast<unsigned char*>(to);
  while (n > 0) {
    const ssize_t got = pread(fd_, out, n, start_ + static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return run::system_fault(errno);  // an error here is this read's alone
    if (got == 0) return truncated();
    out += got, offset += static_cast<uint64_t>(got), n -= static_cast<size_t>(got);
  }
  return {};
}

run::Fault Input::refill() {
  consumed_ += static_cast<uint64_t>(end_ - begin_);
  begin_ = next_ = end_ = buffer_.data();
  if (error_) return run::system_fault(error_);
  if (fd_ < 0) return truncated();
  ssize_t got;
  do {
    got = ::read(fd_, buffer_.data(), buffer_.size());
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    error_ = errno;  // and so for every later read
    return run::system_fault(error_);
  }
  end_ = begin_ + got;
  return got > 0 ? run::Fault{} : truncated();
}

run::Fault Input::get_slow(int& byte) {
  if (const run::Fault f = refill()) return f;
  byte = *next_++;
  return {};
}

run::Fault Input::read(void* to, size_t n) {
  auto* out = static_cast<unsigned char*>(to);
  while (n > 0) {
    if (next_ == end_) {
      if (const run::Fault f = refill()) return f;
    }
    const size_t take = std::min(n, static_cast<size_t>(end_ - next_));
    std::memcpy(out, next_, take);
    out += take;
    next_ += take;
    n -= take;
  }
  return {};
}

run::Fault Input::skip(uint64_t n) {
  while (n > 0) {
    if (next_ == end_) {
      if (const run::Fault f = refill()) return f;
    }
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, end_ - next_));
    next_ += take;
    n -= take;
  }
  return {};
}

}  // namespace formats
