// Owners of what a conversion holds while it runs: an open file and a memory picture.
#ifndef COMMON_HANDLES_H
#define COMMON_HANDLES_H

#include <allegro.h>
#include <unistd.h>

#include <memory>

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) close(fd);
  }
};

struct BitmapDeleter {
  void operator()(BITMAP* b) const { destroy_bitmap(b); }
};
using Bitmap = std::unique_ptr<BITMAP, BitmapDeleter>;

#endif
