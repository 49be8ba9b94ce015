// The carrier: a file kept in an 8-bit indexed picture, one byte per pixel.
//
// Pixel order. Pixel (x, y) of a picture w columns wide has the linear position y * w + x:
// rows top to bottom, each row left to right. The pixel's palette index is the byte; the
// palette's colours mean nothing and readers ignore them.
//
// Placement. Byte k of an n-byte file (k from 0) lies at linear position k + 1. Position 0,
// pixel (0, 0), carries nothing and is 0. Every pixel after position n is 0.
//
// Size. The encoder always writes 1024 columns and n / 1024 + 1 rows, so position n always
// falls in the last row and the capacity 1024 * rows - 1 always holds the file. Readers take
// the width and height from the picture and accept any.
//
// End of data. The pixels hold no length and no end marker. The data ends at the last pixel
// above 0 of the last row (for every carrier the encoder writes, that is the file's last byte
// that is not 0). When the last row has none, the data ends at the last pixel above 0 anywhere
// after position 0; with none at all there is no data. By the pixels alone a file's trailing 0
// bytes cannot be told from the filler: the record below keeps them.
//
// The record. Beside the pixels, in a place that readers of pictures pass over, every carrier
// the encoder writes holds 28 bytes (fields little-endian):
//    0   8  tag, the letters "ZORORUZO"
//    8   4  version, 1
//   12   8  n, the file's length in bytes
//   20   4  the CRC-32 of the file's n bytes (zip's, gzip's and PNG's CRC)
//   24   4  the CRC-32 of bytes 0 to 23: a record changed in part fails it
// Where each container keeps it:
//   .bmp  right after the pixel data; the file-size field counts it
//   .tga  the image ID field (ID length 28), between the header and the colour map
//   .pcx  header bytes 74 to 101, in the filler after the header's fields
//   .png  the data of one "zoRO" chunk (ancillary, private, not safe to copy, so an editor that
//         changes the pixels drops it), after PLTE
//   .lbm  nowhere: LBM pictures are only read (from other programs), and have no record
// A reader uses n when the record is whole, n <= w * h - 1, positions 1 to n have its CRC and
// every pixel after n is 0: the data is exactly positions 1 to n, trailing zeros included.
// Otherwise the picture was changed after it was made, and the end-of-data rule holds; so it
// does for pictures without a record (earlier carriers, other programs' pictures). In Python:
//
//   tag, version, n, crc, check = struct.unpack("<8sIQII", record)
//   whole = tag == b"ZORORUZO" and version == 1 and check == zlib.crc32(record[:24])
//
// Containers, chosen by the name's extension (formats.h holds their table), and the rows each can
// hold:
//   .bmp  32-bit height field. Bound only by the size limit below.
//   .png  31-bit height. Bound only by the size limit below.
//   .tga  16-bit height field: at most 65535 rows, files up to 67107839 bytes (64 MiB less
//         1025 bytes).
//   .pcx  16-bit last-row index: at most 65536 rows, files up to 67108863 bytes (64 MiB less 1).
// A taller picture would be written with a wrapped height field, and read back wrong.
//
// Size limit. The image library sizes pictures as width * height in an int, so a 1024-column
// carrier holds at most 2097151 rows: files up to 2147482623 bytes (2 GiB less 1025 bytes).
#ifndef COMMON_CARRIER_H
#define COMMON_CARRIER_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "run.h"

namespace carrier {

constexpr int32_t width = 1024;
constexpr int32_t max_rows = INT32_MAX / width;
constexpr int64_t max_source_bytes = int64_t{max_rows} * width - 1;

// Rows of the carrier for an n-byte file (n >= 0): n / 1024 + 1.
int32_t carrier_rows(int32_t n);

// Moves (x, y) to the next linear position in a picture w columns wide.
inline void advance_position(int32_t& x, int32_t& y, int32_t w) {
  if (++x == w) {
    x = 0;
    ++y;
  }
}

// The walk that both conversions make: linear positions 1 to (x1, y1) of a picture w columns
// wide and h rows, visited by advance_position's rule a row span at a time. The row count
// follows the position: it is shown whenever the row changes. Esc (run::escape_down) is tested
// after every byte, and found held ends the walk after the byte in hand.
//
//   carrier::Cursor cursor(w, h, x1, y1, feedback, carrier::Cursor::Stop::...);
//   while (const int32_t span = cursor.next_span()) {  // positions (cursor.x, cursor.y) on
//     n = ...up to span...;
//     cursor.copy(to, from, n);                        // stops early on Esc
//   }
class Cursor {
 public:
  // When Esc is tested: after each byte only (the encoder: with Esc held from the start, one
  // byte is placed), or before the first byte as well (the decoder: Esc held through the scan
  // for the data's end writes nothing).
  enum class Stop { after_each_byte, before_the_first_byte_too };

  Cursor(int32_t w, int32_t h, int32_t x1, int32_t y1, run::Feedback& feedback, Stop stop);

  // Moves to the next position, showing its row when the row changed, and returns how many
  // positions from there on lie in its row, up to (x1, y1); 0 when the walk is over, at its
  // end or on Esc.
  int32_t next_span();

  // Copies n bytes (at most the span) from `from` to `to`, testing Esc after each; the position
  // moves to the last one copied. Returns how many were copied.
  int32_t copy(unsigned char* to, const unsigned char* from, int32_t n);

  bool escaped() const { return escaped_; }
  // Positions visited so far.
  int64_t visited() const { return int64_t{y} * w_ + x; }

  int32_t x = 0, y = 0;  // the position last visited

 private:
  int32_t w_, h_;
  int64_t last_;
  run::Feedback& feedback_;
  const volatile char* stop_;
  bool test_before_ = false;
  int32_t shown_row_ = 0;
  bool escaped_ = false;
};

// Read-only view of an 8-bit picture: h rows of w pixels, each right after the one before.
struct Rows {
  const unsigned char* pixels;
  int32_t w;
  int32_t h;
  const unsigned char* row(int32_t y) const {
    return pixels + static_cast<size_t>(y) * static_cast<size_t>(w);
  }
};

// The CRC-32 of zip, gzip and PNG: `crc` carried on over n more bytes (0 to start).
uint32_t crc32(uint32_t crc, const unsigned char* data, size_t n);

// The record's contents.
struct Record {
  uint64_t length = 0;
  uint32_t crc = 0;
};
constexpr size_t record_size = 28;
using RecordBytes = std::array<unsigned char, record_size>;
RecordBytes record_bytes(const Record& r);

// What a picture holds in its record's place.
struct Mark {
  enum State { none, broken, whole } state = none;
  Record record;
};
// The mark of the `n` bytes found where a record belongs: none when they do not start with the
// tag, broken when they are not exactly one record of this version with its own check.
Mark read_mark(const unsigned char* p, size_t n);

// Linear position of the last data byte under the end-of-data rule above: the data occupies
// positions 1 to the result. 0 means there is no data. The last-row scan runs from column
// w - 1 towards 0; the fallback scan from the picture's last pixel back to position 1.
int64_t find_data_end(const Rows& picture);

// Where the data of `picture` ends, by its record when that holds, else by the rule.
struct DataEnd {
  int64_t end = 0;       // the data is positions 1 to end
  bool exact = false;    // the record gave it
  bool altered = false;  // a record that does not match the pixels
};
DataEnd locate_data(const Rows& picture, const Mark& mark);

}  // namespace carrier

#endif
