// Checks a picture file's bytes before the image library's loaders see them.
//
// The library's BMP, TGA and PCX loaders trust their headers: a TGA colour map longer than 256
// entries, a TGA or BMP run-length packet that leaves the picture, or a width times height that
// overflows an int make them write outside their buffers, and a file cut short loads without
// an error, its missing pixels filled with 255 or left unset. The checks below read the file
// exactly as the library's loader for the container would, without writing anything, and
// refuse what the loader could not read completely and safely:
//
//   BMP  'BM' file header, a 40-byte (Windows) or 12-byte (OS/2) info header, width and height
//        above 0 (the library misreads top-down pictures, whose height is negative), 1, 4, 8,
//        16, 24 or 32 bits per pixel, no compression, RLE8 (8 bits only), RLE4 (4 bits only)
//        or bit fields with masks the library knows. Every row, or every run-length command up
//        to the end of the picture, must be in the file; runs and deltas must stay inside it.
//   TGA  colour-mapped, true-colour or grey pictures, raw or run-length, with the pixel sizes
//        the library reads; a colour map of at most 256 entries, whose first entry plus length
//        stays within 256, stored as 16, 24 or 32-bit entries; every row in the file, and no
//        run-length packet crossing the end of its row.
//   PCX  8 bits per plane, 1 or 3 planes, a positive size, a line length that covers the
//        width, and every run-length row in the file. (The loader then reads on to the end of
//        the file looking for its 256-colour palette: that read past the pixels is expected.)
//   PNG  the signature, an IHDR chunk, and every chunk whole up to IEND, with image data. The
//        rest (compressed data, checksums) is libpng's to check while loading.
//
// Size bound. The loaders allocate width x height pixels before they read any, so the picture
// (at the depth the loader creates it) must fit an int, and a picture may not have more
// pixels than its file can describe: where every pixel needs data in the file (raw rows,
// TGA and PCX run-length data) the file-size checks above already bound it; a BMP run-length
// picture (which may skip pixels) may have at most max(16 Mi, 256 x file size) pixels, and a
// PNG at most max(16 Mi, 8256 x file size), the most that deflate can pack into a file.
#ifndef COMMON_IMAGE_CHECK_H
#define COMMON_IMAGE_CHECK_H

#include <cstddef>
#include <cstdint>

#include "carrier.h"

namespace image_check {

enum class Problem {
  none,
  not_this_format,  // no signature, an unknown header, or a container we do not read
  unsupported,      // a variant of the format that the library refuses or misreads
  too_large,        // dimensions that overflow, or far more pixels than the file can describe
  truncated,        // the file ends before the data the loader will read
  bad_data,         // run-length data or a colour map that leaves its bounds
};

struct Report {
  Problem problem = Problem::none;
  int32_t width = 0;
  int32_t height = 0;
  // The loader legitimately reads past the pixels up to the end of the file (and asks for one
  // byte more): an attempt to read past the end then says nothing about missing pixels.
  bool reads_to_end = false;

  bool ok() const { return problem == Problem::none; }
};

// Checks `size` bytes at `data` as a picture in container `c`.
Report check_picture(carrier::Container c, const unsigned char* data, size_t size);

// A short English name of the problem, for test messages and logs.
const char* problem_name(Problem p);

}  // namespace image_check

#endif
