// Allegro packfiles over our own files, so that the library's image writers and readers go
// through code that sees every failure: a write that did not reach the disk, or a read that
// ran past the end of the file.
#ifndef COMMON_PACKFILE_IO_H
#define COMMON_PACKFILE_IO_H

#include <allegro.h>

#include <cstddef>

class SafeOutput;

// A write-only packfile that sends its bytes to `out`. Closing it does not commit `out`;
// write failures stay in out.error().
PACKFILE* pack_open_output(SafeOutput& out);

// The bytes a read-only packfile serves, and what its reader did with them. The library's
// readers carry on at the end of a file (getc gives EOF, a short read leaves pixels unset), so
// `overread` records that a reader asked for more than there was.
struct PackInput {
  const unsigned char* data = nullptr;
  size_t size = 0;
  size_t position = 0;
  bool overread = false;
};

// A read-only packfile over `in`, which must outlive it. Closing it leaves `in` as it is.
PACKFILE* pack_open_input(PackInput& in);

#endif
