// Allegro packfiles over our own files, so that the library's image writers and readers go
// through code that sees every failure: a write that did not reach the disk, or a read that
// ran past the end of the file.
#ifndef COMMON_PACKFILE_IO_H
#define COMMON_PACKFILE_IO_H

#include <allegro.h>

class SafeOutput;

// A write-only packfile that sends its bytes to `out`. Closing it does not commit `out`;
// write failures stay in out.error().
PACKFILE* pack_open_output(SafeOutput& out);

#endif
