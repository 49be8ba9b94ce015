// Shared pieces of the tests: temporary folders, files, a feedback with an Esc key the test
// controls, and an independent reader for pictures (Pillow, run as a separate process).
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
bool file_exists(const std::string& path);

// n bytes that exercise the containers: zeros inside, bytes >= 0xC0, runs longer than 63 (PCX's
// run-length limit) and a last byte that is not 0. Deterministic for a given seed.
Bytes sample_data(size_t n, uint32_t seed = 1);

// Pixels of a picture as read by Pillow, for checking what our library wrote.
struct Picture {
  int w = 0, h = 0;
  std::string mode;
  Bytes pixels;  // w * h palette indices, rows top to bottom
};
Picture independent_read(const std::string& path);

// Writes a mode "P" picture with Pillow; `format` is "BMP", "TGA", "PCX" or "PNG".
void independent_write(const std::string& path, const Picture& picture, const std::string& format);

// Feedback whose Esc key the test holds down; it records the row counts shown.
class RecordingFeedback : public run::Feedback {
 public:
  RecordingFeedback() : Feedback(&escape) {}
  void show_row(int32_t current, int32_t total) override {
    rows.push_back(current);
    totals.push_back(total);
    if (on_row) on_row(current);
  }
  volatile char escape = 0;
  std::vector<int32_t> rows, totals;
  std::function<void(int32_t)> on_row;
};

// Starts the library without a screen, once per test program.
void start_library();

}  // namespace test

#endif
