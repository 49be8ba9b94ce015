// The carrier: a file kept in an 8-bit indexed picture, one byte per pixel.
//
// Pixel order. Pixel (x, y) of a picture w columns wide has the linear position y * w + x:
// rows top to bottom, each row left to right. The pixel's palette index is the byte; the
// palette's colours repeat it, and carry a check of the file (below).
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
// The record. Beside the pixels, in a place that readers of pictures pass over or keep as text,
// every carrier the encoder writes holds the file's length n and the CRC-32 of its n bytes (zip's,
// gzip's and PNG's CRC), in one of two forms. Binary, 28 bytes (fields little-endian):
//    0   8  tag, the letters "ZORORUZO"
//    8   4  version, 1
//   12   8  n
//   20   4  the CRC-32 of the file
//   24   4  the CRC-32 of bytes 0 to 23: a record changed in part fails it
// Text, one line of printable ASCII, fields parted by one space:
//   ZORORUZO 1 <n in decimal> <CRC-32 of the file> <CRC-32 of the line before this field>
// the CRCs as 8 hexadecimal digits, lower case when written ("ZORORUZO 1 1500 0a1b2c3d 4e5f6a7b").
// Where each container keeps it:
//   .bmp  binary, right after the pixel data; the file-size field counts it
//   .tga  text, the image ID field, which image tools keep (earlier carriers: binary)
//   .pcx  binary, header bytes 74 to 101, in the filler after the header's fields
//   .png  text, a tEXt chunk with keyword "Comment" before the pixels, which image tools keep
//         and carry into a TGA's ID field and back (earlier carriers: binary, the data of a
//         private "zoRO" chunk)
//   .lbm  nowhere: LBM pictures are only read (from other programs), and have no record
// A reader uses n when the record is whole, n <= w * h - 1, positions 1 to n have its CRC, every
// pixel after n is 0, and the palette's check, where the colours show one, agrees: the data is
// exactly positions 1 to n, trailing zeros included. A whole record that fails is a picture
// changed after it was made, and the end-of-data rule holds. Without a whole record the
// palette's check (below) gives the length, or, failing, says the picture was changed; with no
// check either (earlier carriers, other programs' pictures, pictures a tool re-saved as grey
// levels) the end-of-data rule holds, and the length cannot be checked. In Python:
//
//   tag, version, n, crc, check = struct.unpack("<8sIQII", record)
//   whole = tag == b"ZORORUZO" and version == 1 and check == zlib.crc32(record[:24])
//
//   line = text.rstrip(" \r\n\0"); head, check = line.rsplit(" ", 1)
//   tag, version, n, crc = head.split(" ")
//   whole = tag == "ZORORUZO" and version == "1" and int(check, 16) == zlib.crc32(head.encode())
//
// The palette. A carrier's index i is the colour (i, i, i + b_i): a grey, with blue one level up
// where the palette's check (below) has a 1 in bit b_i; entry 255 is (255, 255, 255) and carries
// nothing. Its 256 colours are distinct, so a tool that keeps colours rather than indices
// (re-saving as true colour, sorting or trimming the palette) keeps every byte as the colour's
// red (= green), which the decoder reads back; and the colours keep the check, which tools that
// drop a picture's metadata, and with it the record, do not. Blue is raised, never lowered: a
// grey conversion that truncates luma keeps (i, i, i + 1) as grey i.
//
// The palette's check, for a file of n bytes whose CRC-32 is c, is 255 bits, entry e's bit
// (e from 0 to 254) being bit e % 64 of word e / 64 of
//   key = mix(mix(n) ^ c), words = key, mix(key ^ 1), mix(key ^ 2), mix(key ^ 3)
// where mix is splitmix64's step: z += 0x9E3779B97F4A7C15; z = (z ^ z >> 30) * 0xBF58476D1CE4E5B9;
// z = (z ^ z >> 27) * 0x94D049BB133111EB; z ^= z >> 31 (64-bit arithmetic). Every bit is a
// pseudo-random function of (n, c), none repeats another: whichever entries survive, each one
// is a further bit of check against a wrong length. A palette that shows all 255 checks itself:
// entries 0 to 63 give the key, which must give the other 191. A pure grey palette (earlier
// carriers), or any other program's, fails it but by a chance of 2^-191; so does one of ours
// whose palette a tool changed, which then counts as no check.
//
// Reading it. A byte value's bit comes from the picture's colours: an indexed picture's palette
// entries (matched to byte values by their red and green, in any order, missing entries
// unknown), or the pixels of a true-colour one (each byte value that occurs shows its bit). An
// entry seen with both bits is taken as unknown. With the picture's height h, the length is the
// one n from the last pixel above 0, and at least w (h - 1), up to w h - 1 and at most 1024 of
// them (the last row's window: every carrier's n lies there) whose check the bits agree with.
// With k bits shown, a wrong length agrees with them by a chance of 2^-k: the lengths are tried
// from the shortest, and the i-th is taken only while i <= 2^(k - 31), so the chance of taking
// a wrong one is at most 2^(k - 31) * 2^-k = 2^-31; each of the three other readings tried after
// the first (see settle) at most 2^-33, all together under 2^-30. At the right length, changed
// bytes go unnoticed when they keep the CRC-32 (2^-32, as with the record): the check is a
// function of the length and the CRC. No length agreeing means the pixels (or the colours)
// changed; one agreeing past that bound leaves the length unchecked.
//
// Containers, chosen by the name's extension: formats/formats.cpp holds their table, with the
// rows each can hold (what its fields take: a taller picture would be written with a wrapped
// field, and read back wrong). Both conversions stream, so memory sets no limit.
#ifndef COMMON_CARRIER_H
#define COMMON_CARRIER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "run.h"

namespace carrier {

constexpr int32_t width = 1024;

// Rows of the carrier for an n-byte file (0 <= n < 2^31 * width): n / 1024 + 1.
int32_t carrier_rows(int64_t n);

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
// once a span, after its first byte, and found held ends the walk after that byte: to the user
// it is the same as a test after every byte (a key pressed while a row goes by is found a few
// microseconds later, at the next row), at a fraction of the cost.
//
//   carrier::Cursor cursor(w, h, x1, y1, feedback, carrier::Cursor::Stop::...);
//   while (const int32_t span = cursor.next_span()) {  // positions (cursor.x, cursor.y) on
//     n = ...up to span...;
//     cursor.copy(to, from, n);                        // stops early on Esc
//   }
class Cursor {
 public:
  // When Esc is tested: after each span's first byte only (the encoder: with Esc held from the
  // start, one byte is placed), or before the first byte as well (the decoder: Esc held through the
  // scan for the data's end writes nothing).
  enum class Stop { after_each_byte, before_the_first_byte_too };

  Cursor(int32_t w, int32_t h, int32_t x1, int32_t y1, run::Feedback& feedback, Stop stop);

  // Moves to the next position, showing its row when the row changed, and returns how many
  // positions from there on lie in its row, up to (x1, y1); 0 when the walk is over, at its
  // end or on Esc.
  int32_t next_span();

  // Copies n bytes (at most the span) from `from` to `to`, testing Esc after the first (found
  // held, only that one is copied); the position moves to the last one copied. Returns how many
  // were copied.
  int32_t copy(unsigned char* to, const unsigned char* from, int32_t n);
  // The same without copying: passes over n positions.
  int32_t pass(int32_t n);

  bool escaped() const { return escaped_; }
  // Esc was found at the walk's first test (before the first byte, or after it when not tested
  // before): the run stopped before it had converted anything to speak of.
  bool stopped_at_first_test() const { return escaped_ && !tested_; }
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
  bool tested_ = false;  // a test found Esc up
};

inline int32_t Cursor::next_span() {
  if (test_before_) {
    test_before_ = false;
    escaped_ = run::escape_down(stop_);
    tested_ = !escaped_;
  }
  if (escaped_ || visited() >= last_) return 0;
  advance_position(x, y, w_);
  if (y + 1 != shown_row_) {
    shown_row_ = y + 1;
    feedback_.show_row(shown_row_, h_);
  }
  const int64_t left = last_ - visited() + 1;
  return static_cast<int32_t>(left < w_ - x ? left : w_ - x);
}

inline int32_t Cursor::copy(unsigned char* to, const unsigned char* from, int32_t n) {
  const int32_t taken = pass(n);  // the bytes up to the one after which Esc was found held
  std::memcpy(to, from, static_cast<size_t>(taken));
  return taken;
}

inline int32_t Cursor::pass(int32_t n) {
  if (n <= 0) return 0;
  // Esc is tested once for the span, after its first byte: a key pressed while the span's bytes
  // go by is found a row later, microseconds on, as if it had come then.
  if (run::escape_down(stop_)) {
    escaped_ = true;
    return 1;
  }
  tested_ = true;
  x += n - 1;
  return n;
}

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

// What a picture holds in its record's place (in either form).
struct Mark {
  enum State { none, broken, whole } state = none;
  Record record;
};
// The mark of the `n` bytes found where a record belongs: none when they do not start with the
// tag, broken when they are not exactly one record of this version with its own check, in
// binary or as text (which may end in spaces, line ends and NUL bytes).
Mark read_mark(const unsigned char* p, size_t n);

// The end-of-data rule, row by row: one past the last pixel above 0 of row[from, w), or `from`
// when there is none. A reader of a picture held whole scans its rows from the last up; the
// streamed walk each row as it comes, keeping the last found.
inline int32_t row_data_end(const unsigned char* row, int32_t from, int32_t w) {
  while (w > from && row[w - 1] == 0) --w;
  return w;
}

// Linear position of the last data byte under the end-of-data rule above: the data occupies
// positions 1 to the result. 0 means there is no data. The last-row scan runs from column
// w - 1 towards 0; the fallback scan from the picture's last pixel back to position 1.
int64_t find_data_end(const Rows& picture);

// The record as one line of text (above), without an end of line.
std::string record_text(const Record& r);

// The palette's check of a file (above): entry e's bit is bit e % 64 of words[e / 64]; entry
// 255's is 0.
struct Check {
  std::array<uint64_t, 4> words;
  unsigned bit(unsigned e) const { return e < 255 ? (words[e / 64] >> (e % 64)) & 1 : 0; }
};
Check check_of(const Record& r);

// The level a colour stands for: red, when green is the same and blue the same or one above
// (`bit`, the palette's check); -1 for any other colour.
inline int level_of(unsigned r, unsigned g, unsigned b, unsigned& bit) {
  bit = b - g;
  return r == g && bit <= 1 ? static_cast<int>(r) : -1;
}

// The check's bits as a picture's colours show them: each byte value seen with its bit.
class Shown {
 public:
  void see(unsigned level, unsigned bit) { seen_[level] |= static_cast<unsigned char>(1 + bit); }
  void add(const Shown& other) {
    for (size_t i = 0; i < seen_.size(); ++i) seen_[i] |= other.seen_[i];
  }
  // Entries 0 to 254 whose bit is known: seen, and with one bit only.
  int known() const;
  // The bits shown are a check: all 255 known and the key giving the rest; or, with fewer, one
  // of them set (a grey palette or grey colours, every bit 0, carry no check).
  bool ours() const;
  // Every bit known agrees with `c`.
  bool agrees(const Check& c) const;
  // The bits known of entries 0 to 254 (as in Check), and those of them that are 1.
  struct Bits {
    uint64_t known[4], ones[4];
    bool agree(const Check& c) const;
  };
  Bits bits() const;

 private:
  std::array<unsigned char, 256> seen_{};  // bit 0: seen with bit 0, bit 1: with bit 1
};

// How bytes are read from a picture's pixels: each pixel as it is, or through `levels` (each
// index's level, -1 for none: such a pixel cannot be read); rows top to bottom, or
// upside_down, from the last row up.
struct Reading {
  const int16_t* levels = nullptr;
  bool upside_down = false;
};

// Where the data of a picture ends, and how sure that is.
struct DataEnd {
  int64_t end = 0;         // the data is positions 1 to end
  bool exact = false;      // the record or the palette's check gave it
  bool altered = false;    // a record or a check that does not match the pixels
  bool unchecked = false;  // neither: the length is the rule's, and nothing checks the bytes
  Reading reading;         // the reading it holds for (locate_data)
};

// The one decision, for a w x h picture whose last pixel above 0 after position 0 is at `last`
// (the end-of-data rule's end; 0 for none), positions 1 to `last` having the CRC-32 `crc`: the
// record when whole and holding (and agreeing with a check shown), else the length the check
// gives, else the rule. A picture is read one way first and, failing, up to three others
// (Reading): each way may take a wrong length by a chance of at most 2^-`bits` (31 for the
// first, 33 for each other), so that all four together stay under 2^-30.
constexpr int first_reading_bits = 31, other_reading_bits = 33;
DataEnd settle(int64_t w, int64_t h, int64_t last, uint32_t crc, const Mark& mark,
               const Shown& shown, int bits = first_reading_bits);

// Whether a picture that `settle` did not find exact is read again in another way: a whole
// record that failed may hold for another, and so may a check that no length agreed with (one
// that some length agreed with, but too few bits trust, would not fare better).
inline bool read_again(const DataEnd& d, const Mark& mark, const Shown& shown) {
  return !d.exact && (mark.state == Mark::whole || (d.altered && shown.ours()));
}

// The same for a picture held whole, read as `first` says; when that is not exact and the
// picture has a whole record or shows a check, also through `other_levels` (when given) and
// upside down: a tool may have re-ordered the palette or turned the rows over.
DataEnd locate_data(const Rows& picture, const Mark& mark, const Shown& shown,
                    const Reading& first = {}, const int16_t* other_levels = nullptr);

}  // namespace carrier

#endif
