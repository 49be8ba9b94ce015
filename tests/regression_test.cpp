// Pictures the fuzz targets (fuzz/run) found to break the decoder's input path, kept as files:
//   data/regressions/<container>/*  must be refused -- by decode_file, which then leaves an
//                                    existing destination as it was, and by load_picture;
//   data/regressions/same_pixels/*  valid true-colour pictures, which must load to the same
//                                    pixels every time.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "carrier.h"
#include "decode.h"
#include "support.h"

// In a sanitizer build: the library leaks listed in fuzz/lsan.supp are known, and the system's
// libraries have no frame pointers, so stacks are taken the slow way to see where leaks come
// from. (Unused in other builds.)
extern "C" const char* __lsan_default_options() { return "suppressions=" LEAK_SUPPRESSIONS; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

using run::Status;

std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(folder + "/" + e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> refused_pictures() {
  std::vector<std::string> all;
  for (const char* c : {"bmp", "tga", "pcx", "png"}) {
    for (const std::string& f : files_in(std::string(REGRESSIONS_DIR) + "/" + c)) {
      all.push_back(f);
    }
  }
  return all;
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(std::strlen(REGRESSIONS_DIR) + 1);
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

class Refused : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { test::start_library(); }
};

TEST_P(Refused, ByTheConversionAndTheLoaderWithNothingOverwritten) {
  const std::string& picture = GetParam();
  test::TempDir dir;
  const std::string destination = dir.path("kept.bin");
  const test::Bytes kept = {'k', 'e', 'e', 'p', 0, 0xFF};
  test::write_file(destination, kept);

  test::RecordingFeedback feedback;
  const run::Outcome o = devorudo::decode_file(picture, destination, feedback);
  EXPECT_EQ(o.status, Status::image_invalid);
  EXPECT_EQ(o.file, picture);
  EXPECT_EQ(test::read_file(destination), kept);

  const test::Bytes bytes = test::read_file(picture);
  run::Outcome failure;
  const devorudo::Bitmap bmp = devorudo::load_picture(
      bytes.data(), bytes.size(), carrier::container_for(picture), picture, failure);
  EXPECT_EQ(bmp, nullptr);
  EXPECT_EQ(failure.status, Status::image_invalid);
}

INSTANTIATE_TEST_SUITE_P(Regressions, Refused, ::testing::ValuesIn(refused_pictures()),
                         test_name);

// Fills a stretch of the stack that the next call will reuse with `byte`.
__attribute__((noinline)) void dirty_stack(unsigned char byte) {
  volatile unsigned char area[64 * 1024];
  for (size_t i = 0; i < sizeof area; ++i) area[i] = byte;
}

__attribute__((noinline)) test::Bytes pixels_after_dirty_stack(const test::Bytes& bytes,
                                                              carrier::Container c,
                                                              unsigned char byte) {
  dirty_stack(byte);
  run::Outcome failure;
  const devorudo::Bitmap bmp = devorudo::load_picture(bytes.data(), bytes.size(), c, "", failure);
  if (!bmp) return {};
  test::Bytes pixels;
  for (int y = 0; y < bmp->h; ++y) pixels.insert(pixels.end(), bmp->line[y], bmp->line[y] + bmp->w);
  return pixels;
}

// A true-colour picture is reduced to 8 bits against the whole loader palette, which the
// library fills only as far as the picture has colours: an uninitialised rest made the bytes a
// picture decodes to depend on what the stack held.
TEST(SamePixels, TrueColourPicturesLoadTheSameWhateverTheStackHeld) {
  test::start_library();
  const std::vector<std::string> pictures = files_in(std::string(REGRESSIONS_DIR) + "/same_pixels");
  ASSERT_FALSE(pictures.empty());
  for (const std::string& picture : pictures) {
    SCOPED_TRACE(picture);
    const test::Bytes bytes = test::read_file(picture);
    const carrier::Container c = carrier::container_for(picture);
    const test::Bytes first = pixels_after_dirty_stack(bytes, c, 0x00);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(pixels_after_dirty_stack(bytes, c, 0xFF), first);
    EXPECT_EQ(pixels_after_dirty_stack(bytes, c, 0x5A), first);
  }
}

}  // namespace
