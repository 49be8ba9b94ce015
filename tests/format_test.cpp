// The readers against the corpus that scripts/make_corpus made (its conventions are there): a
// good picture reads to its .pgm bytes, or to its .ppm colours reduced as read_picture reduces
// them; a bad one is refused with the defect its name begins with, also by the decoder, which
// leaves an existing destination as it was. The writers: BMP and PCX byte for byte as the
// library's savers.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "containers.h"
#include "decode.h"
#include "file_closer.h"
#include "files.h"
#include "formats.h"
#include "library_palette.h"
#include "rgb32.h"
#include "support.h"

namespace {

using test::Bytes;

// The pictures in a corpus folder, without their expectations.
std::vector<std::string> pictures(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e :
       std::filesystem::directory_iterator(std::string(CORPUS_DIR) + "/" + folder)) {
    const std::string ext = e.path().extension();
    if (ext != ".pgm" && ext != ".ppm" && ext != ".out") names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Bytes pixels(const formats::Image& image) { return Bytes(image.row(0), image.row(image.h())); }

class Good : public ::testing::TestWithParam<std::string> {};

TEST_P(Good, ReadsToTheExpectedBytes) {
  const std::string path = std::string(CORPUS_DIR) + "/good/" + GetParam();
  const bool colour = std::filesystem::exists(path + ".ppm");
  const Bytes file = test::read_file(path + (colour ? ".ppm" : ".pgm"));
  int w = 0, h = 0, header = 0;  // "P5" or "P6", width, height, 255, one white-space character
  const std::string head(file.begin(), file.begin() + std::min<size_t>(file.size(), 32));
  std::sscanf(head.c_str(), "P%*d %d %d %*d%*c%n", &w, &h, &header);
  Bytes want(file.begin() + header, file.end());
  test::start_library();
  const int fd = open(path.c_str(), O_RDONLY);
  files::FileCloser closer{fd};
  formats::Input in(fd);
  formats::Picture got;
  const run::Fault f = formats::read_picture(*formats::container_for(path), in, got);
  ASSERT_FALSE(f) << "errno " << f.error << ", defect " << static_cast<int>(f.defect);
  ASSERT_EQ(got.image.w(), w);
  ASSERT_EQ(got.image.h(), h);
  EXPECT_EQ(got.true_colour, colour);
  if (colour) {
    formats::Image rgb;
    ASSERT_FALSE(formats::new_image(32, w, h, formats::unbounded, rgb, true));
    for (int i = 0; i < w * h; ++i) {
      reinterpret_cast<uint32_t*>(rgb.row(0))[i] =
          formats::rgb32(want[3 * i], want[3 * i + 1], want[3 * i + 2]);
    }
    ASSERT_FALSE(formats::reduce_to_eight_bits(rgb));
    want = pixels(rgb);
  }
  EXPECT_EQ(pixels(got.image), want);
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".pcx") == 0) {  // the other decoding
    formats::pcx_byte_shuffle(false);
    const Bytes bytes = test::read_file(path);
    formats::Input again(bytes.data(), bytes.size());
    formats::Picture plain;
    EXPECT_FALSE(formats::read_picture(*formats::container_for(path), again, plain));
    formats::pcx_byte_shuffle(true);
    EXPECT_EQ(pixels(plain.image), pixels(got.image));
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Good, ::testing::ValuesIn(pictures("good")));

class Bad : public ::testing::TestWithParam<std::string> {};

TEST_P(Bad, IsRefusedWithItsDefectAndOverwritesNothing) {
  test::start_library();
  // Named in the order of run::Defect, every one of them.
  constexpr const char* defects[] = {"none",    "unsupported", "truncated",
                                     "damaged", "too_large",   "special"};
  static_assert(sizeof defects / sizeof *defects == static_cast<size_t>(run::Defect::special) + 1);
  test::TempDir dir;
  const Bytes kept = {'k', 'e', 'p', 't', 0, 0xFF};
  test::write_file(dir.path("kept.bin"), kept);
  test::RecordingFeedback feedback;
  const run::Outcome o = devorudo::decode_file(std::string(CORPUS_DIR) + "/bad/" + GetParam(),
                                               dir.path("kept.bin"), feedback);
  EXPECT_EQ(o.status, run::Status::image_invalid);
  EXPECT_EQ(o.fault.error, 0);
  EXPECT_EQ(defects[static_cast<int>(o.fault.defect)], GetParam().substr(0, GetParam().find('.')));
  EXPECT_EQ(test::read_file(dir.path("kept.bin")), kept);
}

INSTANTIATE_TEST_SUITE_P(Corpus, Bad, ::testing::ValuesIn(pictures("bad")));

// The records corpus (scripts/make_records): VERDICT.WHAT.EXT decodes to VERDICT.WHAT.EXT.out,
// with the altered warning when VERDICT is "altered", the unchecked one when it is "rule", and
// the true-colour one when WHAT is "colours".
class Records : public ::testing::TestWithParam<std::string> {};

TEST_P(Records, DecodeAsTheirVerdictSays) {
  test::start_library();
  const std::string path = TESTS_DIR "/data/records/" + GetParam();
  test::TempDir dir;
  test::RecordingFeedback feedback;
  const run::Outcome o = devorudo::decode_file(path, dir.path("out.bin"), feedback);
  EXPECT_EQ(o.status, run::Status::done);
  EXPECT_EQ(o.altered, GetParam().rfind("altered.", 0) == 0);
  EXPECT_EQ(o.unchecked, GetParam().rfind("rule.", 0) == 0);
  EXPECT_EQ(o.true_colour, GetParam().find(".colours.") != std::string::npos);
  EXPECT_EQ(test::read_file(dir.path("out.bin")), test::read_file(path + ".out"));
  // A picture whose data comes back exact is read once (its rows counted up, never again from
  // the first): its palette's levels, or a record or check before its pixels that a first pixel
  // above 0 says are turned over, decide the reading before the walk.
  if (GetParam().rfind("exact.", 0) == 0) {
    EXPECT_TRUE(std::is_sorted(feedback.rows.begin(), feedback.rows.end())) << "read twice";
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Records, ::testing::ValuesIn(pictures("../records")));

// Row 0 holds every index when it is 256 wide or more; row 1 starts with a run of 0xC3 longer than
// a PCX run, row 2 ends in one of 0; the palette's entries use all 6 bits. (TGA and PNG carriers
// are read back by other programs in the conversion tests.)
TEST(Writers, MatchTheLibrarysSavers) {
  test::start_library();
  PALETTE pal;
  for (int i = 0; i < 256; ++i)
    pal[i] = RGB{uint8_t(i & 63), uint8_t(i * 7 & 63), uint8_t(63 - (i & 63)), 0};
  test::TempDir dir;
  for (const auto& [w, h] : {std::pair{1, 1}, {7, 5}, {1024, 3}, {13, 40}}) {
    formats::Image image;
    ASSERT_FALSE(formats::new_image(8, w, h, formats::unbounded, image, true));
    formats::Bitmap bmp(create_bitmap_ex(8, w, h));  // the same pixels, for the library's savers
    for (int i = 0, x = 0, y = 0; i < w * h; ++i, x = i % w, y = i / w) {
      bmp->line[y][x] = image.row(y)[x] = y == 1 && x < 70 ? 0xC3
                                          : y == 2 && x >= w / 2
                                              ? 0
                                              : static_cast<unsigned char>(i * 13 + y);
    }
    for (const std::string ext : {"bmp", "pcx"}) {  // without the record, which the round trips see
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + "." + ext);
      const std::string theirs = dir.path("theirs." + ext), ours = dir.path("ours." + ext);
      ASSERT_EQ(save_bitmap(theirs.c_str(), bmp.get(), pal), 0);
      files::SafeOutput out;
      ASSERT_FALSE(out.open(ours) ||
                   formats::write_picture(*formats::container_for(ours), out, image,
                                          formats::from_library(pal), nullptr) ||
                   out.commit());
      EXPECT_EQ(test::read_file(ours), test::read_file(theirs));
    }
  }
}

}  // namespace
