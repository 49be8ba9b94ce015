// The format layer against the corpus made by data/make_corpus.py:
//   good/NAME.EXT  read to exactly NAME.EXT.pgm (the 8-bit bytes) or NAME.EXT.ppm (the colours of
//                  a true-colour picture, reduced to 8 bits the way read_picture reduces them);
//   bad/DEFECT.WHAT.EXT  refused with DEFECT, by the reader and by the decoder, which then leaves
//                  an existing destination as it was.
// And the writers: BMP, TGA and PCX byte for byte as the library's own savers, PNG read back by
// Pillow.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "decode.h"
#include "formats.h"
#include "safe_output.h"
#include "support.h"

namespace {

using test::Bytes;

std::vector<std::string> pictures(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir((std::string(CORPUS_DIR) + "/" + folder).c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n[0] != '.' && n.find(".pgm") == std::string::npos && n.find(".ppm") == std::string::npos) names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

run::Fault read(const std::string& path, formats::Picture& picture) {
  test::start_library();
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return run::system_fault(errno);
  FileCloser closer{fd};
  formats::Input in(fd);
  return formats::read_picture(carrier::container_for(path), in, picture);
}

Bytes pixels(const BITMAP* bmp) {
  Bytes out;
  for (int y = 0; y < bmp->h; ++y) out.insert(out.end(), bmp->line[y], bmp->line[y] + bmp->w);
  return out;
}

class Good : public ::testing::TestWithParam<std::string> {};

TEST_P(Good, ReadsToTheExpectedBytes) {
  const std::string path = std::string(CORPUS_DIR) + "/good/" + GetParam();
  const bool colour = test::file_exists(path + ".ppm");
  const Bytes file = test::read_file(path + (colour ? ".ppm" : ".pgm"));
  std::istringstream head(std::string(file.begin(), file.begin() + std::min<size_t>(file.size(), 32)));
  std::string magic;
  int w = 0, h = 0, max = 0;
  head >> magic >> w >> h >> max;
  const auto start = file.begin() + static_cast<long>(head.tellg()) + 1;
  formats::Picture got;
  const run::Fault f = read(path, got);
  ASSERT_FALSE(f) << "errno " << f.error << ", defect " << static_cast<int>(f.defect);
  ASSERT_EQ(got.bmp->w, w);
  ASSERT_EQ(got.bmp->h, h);
  EXPECT_EQ(got.true_colour, colour);
  Bytes want(start, file.end());
  if (colour) {
    Bitmap rgb;
    ASSERT_FALSE(formats::new_picture(32, w, h, rgb));
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const unsigned char* p = &want[3 * (static_cast<size_t>(y) * w + x)];
        reinterpret_cast<uint32_t*>(rgb->line[y])[x] = formats::rgb32(p[0], p[1], p[2]);
      }
    }
    ASSERT_FALSE(formats::reduce_to_eight_bits(rgb));
    want = pixels(rgb.get());
  }
  EXPECT_EQ(pixels(got.bmp.get()), want);
}

INSTANTIATE_TEST_SUITE_P(Corpus, Good, ::testing::ValuesIn(pictures("good")), test_name);

class Bad : public ::testing::TestWithParam<std::string> {};

TEST_P(Bad, IsRefusedWithItsDefectAndOverwritesNothing) {
  const std::string& name = GetParam();
  const std::string path = std::string(CORPUS_DIR) + "/bad/" + name;
  const std::string defect = name.substr(0, name.find('.'));
  const char* names[] = {"none", "unsupported", "truncated", "damaged", "too_large"};
  formats::Picture got;
  const run::Fault f = read(path, got);
  EXPECT_EQ(f.error, 0);
  EXPECT_EQ(names[static_cast<int>(f.defect)], defect);

  test::TempDir dir;
  const Bytes kept = {'k', 'e', 'p', 't', 0, 0xFF};
  test::write_file(dir.path("kept.bin"), kept);
  test::RecordingFeedback feedback;
  EXPECT_EQ(devorudo::decode_file(path, dir.path("kept.bin"), feedback).status, run::Status::image_invalid);
  EXPECT_EQ(test::read_file(dir.path("kept.bin")), kept);
}

INSTANTIATE_TEST_SUITE_P(Corpus, Bad, ::testing::ValuesIn(pictures("bad")), test_name);

// Every index 0..255 appears in the larger shapes; the palette has 6-bit entries throughout.
TEST(Writers, MatchTheLibrarysSaversAndPngReadsBack) {
  test::start_library();
  PALETTE pal;
  for (int i = 0; i < 256; ++i) pal[i] = RGB{static_cast<unsigned char>(i & 63), static_cast<unsigned char>((i * 7) & 63),
                                              static_cast<unsigned char>(63 - (i & 63)), 0};
  test::TempDir dir;
  for (const auto& [w, h] : {std::pair{1, 1}, {7, 5}, {1024, 3}, {13, 40}}) {
    Bitmap bmp(create_bitmap_ex(8, w, h));
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) bmp->line[y][x] = static_cast<unsigned char>((y * w + x) * 13 + (x == 5) * 0xC0 + y);
    }
    for (const char* ext : {"bmp", "tga", "pcx", "png"}) {
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + "." + ext);
      const std::string ours = dir.path(std::string("ours.") + ext), theirs = dir.path(std::string("theirs.") + ext);
      SafeOutput out;
      if (!out.open(ours) || formats::write_picture(carrier::container_for(ours), out, bmp.get(), pal) || !out.commit()) {
        ADD_FAILURE() << "not written";
        continue;
      }
      if (std::string(ext) == "png") {
        const test::Picture back = test::independent_read(ours);
        EXPECT_EQ(back.mode, "P");
        EXPECT_EQ(back.pixels, pixels(bmp.get()));
        continue;
      }
      ASSERT_EQ(save_bitmap(theirs.c_str(), bmp.get(), pal), 0);
      EXPECT_EQ(test::read_file(ours), test::read_file(theirs));
    }
  }
}

}  // namespace
