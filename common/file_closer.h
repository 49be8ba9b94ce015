// A file descriptor closed when it goes. Neither copied nor moved: one owner closes it, once.
#ifndef COMMON_FILE_CLOSER_H
#define COMMON_FILE_CLOSER_H

#include <unistd.h>

namespace files {

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  ~FileCloser() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_;
};

}  // namespace files

#endif
