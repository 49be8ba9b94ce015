#include "support.h"

#include "front_end.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace test {

TempDir::TempDir() {
  char pattern[] = "/tmp/zororuzo-test.XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

TempDir::~TempDir() {
  const std::string command = "chmod -R u+w '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

void write_file(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes sample_data(size_t n, uint32_t seed, bool runs) {
  std::mt19937 random(seed);
  Bytes data;
  while (data.size() < n) {
    const uint32_t r = random();  // one time in four, a run of 0 or of a value >= 0xC0
    const bool lone = !runs || r % 4;
    const size_t run = lone ? 1 : std::min<size_t>(n - data.size(), 1 + r / 4 % 200);
    const unsigned v = lone ? r >> 24 : r / 800 % 3 ? 0xC0 + (r >> 26) : 0;
    data.insert(data.end(), run, static_cast<unsigned char>(v));
  }
  if (n > 0 && data[n - 1] == 0) data[n - 1] = 0xFF;
  return data;
}

// What tests/read_with.py prints for `path`.
Pixels independent_read(const std::string& path, bool others) {
  const std::string command =
      "/usr/bin/python3 " TESTS_DIR "/read_with.py '" + path + "'" + (others ? " --others" : "");
  FILE* pipe = popen(command.c_str(), "r");
  Pixels p;
  char mode[16] = {};
  if (!pipe || std::fscanf(pipe, "%d %d %15s%*c", &p.w, &p.h, mode) != 3) {
    throw std::runtime_error("cannot read " + path);
  }
  p.mode = mode;
  for (int c; (c = std::fgetc(pipe)) != EOF;) p.pixels.push_back(static_cast<unsigned char>(c));
  if (pclose(pipe) != 0) throw std::runtime_error("a reader failed on " + path);
  return p;
}

void start_library() {
  if (!front_end::start_headless()) throw std::runtime_error("no library");
}

}  // namespace test
