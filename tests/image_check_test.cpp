// The checks in front of the library's picture loaders, on hand-made files: each class of
// input that makes a loader write out of bounds, read uninitialised memory, allocate a huge
// picture or fill missing pixels is refused, and the well-formed neighbours of those files
// load to exactly the pixels they describe (which shows that the checks read the formats as
// the loaders do). Every refused file is also offered to load_picture, so the sanitizer build
// sees that no loader runs on it.
#include "image_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "decode.h"
#include "packfile_io.h"
#include "support.h"

namespace {

using carrier::Container;
using image_check::Problem;
using test::Bytes;

void put16(Bytes& b, unsigned v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void put32(Bytes& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void append(Bytes& b, std::initializer_list<int> bytes) {
  for (int v : bytes) b.push_back(static_cast<unsigned char>(v));
}

// A Windows BMP with a grey colour table of `colours` entries and the given pixel data.
Bytes bmp(uint32_t w, uint32_t h, unsigned bits, uint32_t compression, const Bytes& data,
          unsigned colours = 256) {
  Bytes b{'B', 'M'};
  put32(b, 54 + colours * 4 + static_cast<uint32_t>(data.size()));
  put32(b, 0);
  put32(b, 54 + colours * 4);
  put32(b, 40);
  put32(b, w);
  put32(b, h);
  put16(b, 1);
  put16(b, bits);
  put32(b, compression);
  for (int i = 0; i < 5; ++i) put32(b, 0);
  for (unsigned i = 0; i < colours; ++i) append(b, {int(i), int(i), int(i), 0});
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// A TGA; a colour map of `map_length` 24-bit entries when `map_length` > 0.
Bytes tga(unsigned type, unsigned w, unsigned h, unsigned bits, const Bytes& data,
          unsigned map_length = 256, unsigned first = 0, unsigned entry_bits = 24) {
  Bytes b{0, static_cast<unsigned char>(map_length ? 1 : 0), static_cast<unsigned char>(type)};
  put16(b, first);
  put16(b, map_length);
  b.push_back(static_cast<unsigned char>(entry_bits));
  put16(b, 0);
  put16(b, 0);
  put16(b, w);
  put16(b, h);
  b.push_back(static_cast<unsigned char>(bits));
  b.push_back(0x20);  // top row first
  b.insert(b.end(), size_t{map_length} * (entry_bits / 8), 0x40);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// An 8-bit PCX (one plane) with its 256-colour palette after the data.
Bytes pcx(unsigned w, unsigned h, unsigned line_bytes, const Bytes& data, bool palette = true) {
  Bytes b{10, 5, 1, 8};
  put16(b, 0);
  put16(b, 0);
  put16(b, w - 1);
  put16(b, h - 1);
  put16(b, 72);
  put16(b, 72);
  b.insert(b.end(), 48, 0);
  b.push_back(0);
  b.push_back(1);  // planes
  put16(b, line_bytes);
  b.insert(b.end(), 60, 0);
  b.insert(b.end(), data.begin(), data.end());
  if (palette) {
    b.push_back(12);
    b.insert(b.end(), 768, 0x20);
  }
  return b;
}

class ImageCheck : public ::testing::Test {
 protected:
  void SetUp() override { test::start_library(); }

  // The check refuses `file` for `expected`, and so does load_picture.
  void expect_refused(Container c, const Bytes& file, Problem expected, const std::string& what) {
    SCOPED_TRACE(what);
    const image_check::Report r = image_check::check_picture(c, file.data(), file.size());
    EXPECT_EQ(std::string(image_check::problem_name(r.problem)),
              image_check::problem_name(expected));
    run::Outcome refused;
    EXPECT_FALSE(devorudo::load_picture(file.data(), file.size(), c, what, refused));
    EXPECT_EQ(refused.status, run::Status::image_invalid);
  }

  // `file` passes and loads to `rows` (top row first).
  void expect_pixels(Container c, const Bytes& file, const std::vector<Bytes>& rows,
                     const std::string& what) {
    SCOPED_TRACE(what);
    const image_check::Report r = image_check::check_picture(c, file.data(), file.size());
    ASSERT_TRUE(r.ok()) << image_check::problem_name(r.problem);
    run::Outcome refused;
    devorudo::Bitmap b = devorudo::load_picture(file.data(), file.size(), c, what, refused);
    ASSERT_TRUE(b);
    ASSERT_EQ(b->h, static_cast<int>(rows.size()));
    for (size_t y = 0; y < rows.size(); ++y) {
      ASSERT_EQ(b->w, static_cast<int>(rows[y].size()));
      EXPECT_EQ(Bytes(b->line[y], b->line[y] + b->w), rows[y]) << "row " << y;
    }
  }
};

TEST_F(ImageCheck, BmpRowsMustAllBeThereAndFitAnInt) {
  // 8 bits, 5 x 2: rows of 8 bytes, bottom row first.
  const Bytes rows{1, 2, 3, 4, 5, 0, 0, 0, 6, 7, 8, 9, 10, 0, 0, 0};
  expect_pixels(Container::bmp, bmp(5, 2, 8, 0, rows), {{6, 7, 8, 9, 10}, {1, 2, 3, 4, 5}},
                "8-bit");
  expect_refused(Container::bmp, bmp(5, 2, 8, 0, Bytes(rows.begin(), rows.end() - 1)),
                 Problem::truncated, "one byte short");
  // 4 bits: each row a 32-bit word of nibbles.
  expect_pixels(Container::bmp, bmp(3, 1, 4, 0, {0x12, 0x30, 0, 0}, 16), {{1, 2, 3}}, "4-bit");

  expect_refused(Container::bmp, bmp(0x10000, 0x10000, 8, 0, {}), Problem::too_large,
                 "width x height overflows");
  expect_refused(Container::bmp, bmp(0x8000, 0x8000, 24, 0, {}), Problem::too_large,
                 "24-bit picture overflows");
  expect_refused(Container::bmp, bmp(4, uint32_t(-2), 8, 0, Bytes(8, 1)), Problem::unsupported,
                 "top-down");
  expect_refused(Container::bmp, bmp(4, 0, 8, 0, {}), Problem::unsupported, "no rows");
  expect_refused(Container::bmp, bmp(4, 1, 2, 0, Bytes(4, 1)), Problem::unsupported, "2 bits");
  Bytes v5 = bmp(4, 1, 8, 0, Bytes(4, 1));
  v5[14] = 124;
  expect_refused(Container::bmp, v5, Problem::unsupported, "later header");
  expect_refused(Container::bmp, Bytes{'B', 'M', 0, 0}, Problem::not_this_format, "stub");
}

TEST_F(ImageCheck, BmpRunLengthDataMustStayInsideThePicture) {
  // RLE8, 4 x 2, bottom row first: a run of four 7s, end of line, two 9s, end of picture.
  expect_pixels(Container::bmp, bmp(4, 2, 8, 1, {4, 7, 0, 0, 2, 9, 0, 1}),
                {{9, 9, 0, 0}, {7, 7, 7, 7}}, "RLE8");
  // Absolute run of three (padded to a word), a delta one column right and one row up.
  expect_pixels(Container::bmp, bmp(4, 2, 8, 1, {0, 3, 1, 2, 3, 0, 0, 2, 0, 1, 1, 5, 0, 1}),
                {{0, 0, 0, 5}, {1, 2, 3, 0}}, "RLE8 absolute and delta");
  // RLE4: a run of three nibbles alternating 1 and 2.
  expect_pixels(Container::bmp, bmp(4, 1, 4, 2, {3, 0x12, 0, 1}, 16), {{1, 2, 1, 0}}, "RLE4");

  const struct {
    const char* what;
    Bytes data;
    Problem problem;
  } cases[] = {
      {"run past the width", {5, 7, 0, 1}, Problem::bad_data},
      {"absolute past the width", {0, 5, 1, 2, 3, 4, 5, 0, 0, 1}, Problem::bad_data},
      {"delta below the picture", {0, 2, 0, 5, 2, 9, 0, 1}, Problem::bad_data},
      {"delta past the width", {0, 2, 3, 0, 2, 9, 0, 1}, Problem::bad_data},
      {"no end of picture", {4, 7, 0, 0, 2, 9}, Problem::truncated},
      {"cut inside a delta", {0, 2, 1}, Problem::truncated},
      {"cut inside an absolute run", {0, 4, 1, 2}, Problem::truncated},
  };
  for (const auto& c : cases) {
    expect_refused(Container::bmp, bmp(4, 2, 8, 1, c.data), c.problem, c.what);
  }
  expect_refused(Container::bmp, bmp(4, 2, 4, 2, {9, 0x12, 0, 1}, 16), Problem::bad_data,
                 "RLE4 run past the width");
  expect_refused(Container::bmp, bmp(4, 2, 4, 1, {4, 7, 0, 1}, 16), Problem::unsupported,
                 "RLE8 with 4 bits");
  // A tiny file that would make the loader allocate a 900-megapixel picture.
  expect_refused(Container::bmp, bmp(30000, 30000, 8, 1, {0, 1}), Problem::too_large,
                 "huge picture, no data");
}

TEST_F(ImageCheck, TgaColourMapsAndPacketsMustFit) {
  // Colour-mapped, raw, 3 x 2, top row first.
  const Bytes raw{1, 2, 3, 4, 5, 6};
  expect_pixels(Container::tga, tga(1, 3, 2, 8, raw), {{1, 2, 3}, {4, 5, 6}}, "raw");
  expect_refused(Container::tga, tga(1, 3, 2, 8, {1, 2, 3, 4, 5}), Problem::truncated, "short");
  expect_refused(Container::tga, tga(1, 3, 2, 8, raw, 257), Problem::bad_data, "257 colours");
  expect_refused(Container::tga, tga(1, 3, 2, 8, raw, 0xFFFF), Problem::bad_data,
                 "65535 colours");
  expect_refused(Container::tga, tga(1, 3, 2, 8, raw, 256, 10), Problem::bad_data,
                 "first entry + length > 256");
  expect_pixels(Container::tga, tga(1, 3, 2, 8, raw, 246, 10), {{1, 2, 3}, {4, 5, 6}},
                "first entry + length = 256");
  expect_refused(Container::tga, tga(1, 3, 2, 8, raw, 256, 0, 15), Problem::unsupported,
                 "15-bit colour map");
  expect_refused(Container::tga, tga(2, 3, 2, 8, raw, 0), Problem::unsupported,
                 "true colour at 8 bits");
  expect_refused(Container::tga, tga(1, 0xFFFF, 0xFFFF, 8, raw), Problem::too_large,
                 "width x height overflows");
  expect_refused(Container::tga, tga(1, 0xFFFF, 0x7FFF, 8, raw), Problem::truncated,
                 "huge and empty");

  // Run-length: a run of three 7s, then a raw packet of 8, 9 and a run of 5.
  expect_pixels(Container::tga, tga(9, 3, 2, 8, {0x82, 7, 0x01, 8, 9, 0x80, 5}),
                {{7, 7, 7}, {8, 9, 5}}, "run-length");
  expect_refused(Container::tga, tga(9, 3, 2, 8, {0xFF, 7}), Problem::bad_data,
                 "run of 128 in a row of 3");
  expect_refused(Container::tga, tga(9, 3, 2, 8, {0x82, 7, 0x03, 1, 2, 3, 4}),
                 Problem::bad_data, "raw packet past its row");
  expect_refused(Container::tga, tga(9, 3, 2, 8, {0x82, 7, 0x01, 8}), Problem::truncated,
                 "cut inside a raw packet");
  expect_refused(Container::tga, tga(9, 3, 2, 8, {0x82, 7}), Problem::truncated,
                 "missing row");
}

TEST_F(ImageCheck, PcxRowsMustAllBeThere) {
  // 3 x 2, lines of 4 bytes: a run of four 0xC5 (coded, as it is >= 0xC0), then 1 2 3 0.
  const Bytes data{0xC4, 0xC5, 1, 2, 3, 0};
  expect_pixels(Container::pcx, pcx(3, 2, 4, data), {{0xC5, 0xC5, 0xC5}, {1, 2, 3}}, "8-bit");
  expect_pixels(Container::pcx, pcx(3, 2, 4, data, false), {{0xC5, 0xC5, 0xC5}, {1, 2, 3}},
                "no palette at the end");
  expect_refused(Container::pcx, pcx(3, 2, 4, Bytes(data.begin(), data.end() - 1), false),
                 Problem::truncated, "last byte missing");
  expect_refused(Container::pcx, pcx(3, 2, 4, {0xC4, 0xC5, 1, 2, 0xC3}, false),
                 Problem::truncated, "cut inside a run");
  expect_refused(Container::pcx, pcx(3, 2, 2, data), Problem::unsupported,
                 "lines shorter than the width");
  expect_refused(Container::pcx, pcx(1024, 65535, 1024, {0xC1, 1}, false), Problem::truncated,
                 "65535 rows, one byte of data");
  Bytes huge = pcx(1, 1, 1, {1});
  huge[8] = 0xFE;  // 65535 x 65536
  huge[9] = huge[10] = huge[11] = 0xFF;
  huge[66] = huge[67] = 0xFF;
  expect_refused(Container::pcx, huge, Problem::too_large, "65535 x 65536");
  Bytes version = pcx(3, 2, 4, data);
  version[3] = 4;
  expect_refused(Container::pcx, version, Problem::unsupported, "4 bits per plane");
  expect_refused(Container::pcx, Bytes(200, 0), Problem::not_this_format, "zeros");
}

TEST_F(ImageCheck, PngNeedsItsHeaderAndBoundedDimensions) {
  test::TempDir dir;
  test::Picture p;
  p.w = 40;
  p.h = 2;
  p.pixels = test::sample_data(80);
  test::independent_write(dir.path("p.png"), p, "PNG");
  const Bytes png = test::read_file(dir.path("p.png"));
  expect_pixels(Container::png, png,
                {Bytes(p.pixels.begin(), p.pixels.begin() + 40),
                 Bytes(p.pixels.begin() + 40, p.pixels.end())},
                "Pillow's PNG");
  expect_refused(Container::png, Bytes(png.begin(), png.begin() + 30), Problem::truncated,
                 "cut inside IHDR");
  expect_refused(Container::png, Bytes(png.begin(), png.end() - 30), Problem::truncated,
                 "cut inside the data");
  expect_refused(Container::png, Bytes(png.begin(), png.end() - 12), Problem::truncated,
                 "no IEND");
  Bytes huge = png;
  huge[16] = huge[20] = 0x01;  // about 16.7 million x 16.7 million
  expect_refused(Container::png, huge, Problem::too_large, "huge dimensions");
  Bytes wide = png;
  wide[17] = 0x40;  // 4 million x 258 from a file of a few hundred bytes
  wide[22] = 0x01;
  expect_refused(Container::png, wide, Problem::too_large, "wide for its size");
  Bytes other = png;
  other[1] = 'Q';
  expect_refused(Container::png, other, Problem::not_this_format, "no signature");
}

TEST_F(ImageCheck, InputPackfileReportsReadsPastTheEnd) {
  const Bytes data{1, 2, 3, 4, 5};
  PackInput in;
  in.data = data.data();
  in.size = data.size();
  PACKFILE* f = pack_open_input(in);
  ASSERT_TRUE(f);
  EXPECT_EQ(pack_igetl(f), 0x04030201);
  EXPECT_FALSE(in.overread);
  unsigned char buffer[4] = {};
  EXPECT_EQ(pack_fread(buffer, 4, f), 1);
  EXPECT_EQ(buffer[0], 5);
  EXPECT_TRUE(in.overread);
  EXPECT_EQ(pack_getc(f), EOF);
  EXPECT_TRUE(pack_feof(f));
  pack_fclose(f);
}

TEST_F(ImageCheck, CheckedFileServesBlocksAndSeesAChangedFile) {
  test::TempDir dir;
  const std::string path = dir.path("picture.bin");
  // Three blocks and a bit, so reads cross block edges.
  const Bytes data = test::sample_data(3 * CheckedFile::block + 123);
  test::write_file(path, data);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  CheckedFile checked(fd, data.data(), data.size());

  PackInput in;
  checked.attach(in);
  PACKFILE* f = pack_open_input(in);
  ASSERT_TRUE(f);
  Bytes back(data.size());
  const long first = CheckedFile::block - 3;  // ends just short of a block edge
  ASSERT_EQ(pack_fread(back.data(), first, f), first);
  for (long i = first; i < first + 10; ++i) back[i] = static_cast<unsigned char>(pack_getc(f));
  ASSERT_EQ(pack_fseek(f, 5), 0);
  ASSERT_EQ(pack_fread(back.data() + first + 15, static_cast<long>(data.size()) - first - 15, f),
            static_cast<long>(data.size()) - first - 15);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + first + 10, data.begin()));
  EXPECT_TRUE(std::equal(back.begin() + first + 15, back.end(), data.begin() + first + 15));
  EXPECT_FALSE(in.overread);
  EXPECT_FALSE(checked.changed());
  pack_fclose(f);

  // One byte of the second block changes after the check: reading it ends the file there.
  Bytes altered = data;
  altered[CheckedFile::block + 7] ^= 1;
  test::write_file(path, altered);
  checked.attach(in);
  f = pack_open_input(in);
  ASSERT_EQ(pack_fread(back.data(), static_cast<long>(data.size()), f),
            static_cast<long>(CheckedFile::block));
  EXPECT_TRUE(in.overread);
  EXPECT_TRUE(checked.changed());
  pack_fclose(f);
  close(fd);
}

}  // namespace
