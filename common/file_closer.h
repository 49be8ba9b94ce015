// A file descriptor closed when it goes.
#ifndef COMMON_FILE_CLOSER_H
#define COMMON_FILE_CLOSER_H

#include <unistd.h>

namespace files {

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace files

#endif
