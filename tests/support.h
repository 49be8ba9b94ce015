// Shared pieces of the tests: temporary folders and files, sample data, a feedback whose Esc key
// the test holds, and an independent reader for pictures (Pillow, in a separate process).
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "run.h"

namespace test {

using Bytes = std::vector<unsigned char>;

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

void write_file(const std::string& path, const Bytes& data);
Bytes read_file(const std::string& path);

// n bytes that exercise the containers: zeros inside, bytes >= 0xC0, runs longer than 63 (PCX's
// run-length limit) and a last byte that is not 0; without `runs`, random bytes (that no
// container packs) and a last byte that is not 0. The same for the same arguments. The tests'
// scripts and the benchmark have tests/sample.py.
Bytes sample_data(size_t n, uint32_t seed = 1, bool runs = true);

// A picture as Pillow reads it: w * h grey levels, rows top to bottom. With `others`, it
// fails unless ImageMagick and netpbm read the same colours (tests/read_with.py).
struct Pixels {
  int w = 0, h = 0;
  std::string mode;
  Bytes pixels;
};
Pixels independent_read(const std::string& path, bool others = false);

// The one feedback of the tests, the benchmark and the fuzz targets: records the rows shown,
// and calls `on_row` (when set) with each row and the total as it is shown; Esc is held while
// `escape` is not 0.
class RecordingFeedback : public run::Feedback {
 public:
  RecordingFeedback() : Feedback(&escape) {}
  void show_row(int32_t current, int32_t total) override {
    rows.push_back(current);
    if (on_row) on_row(current, total);
  }
  volatile char escape = 0;
  std::vector<int32_t> rows;
  std::function<void(int32_t current, int32_t total)> on_row;
};

// Starts the library without a screen, once per test program.
void start_library();

}  // namespace test

#endif
