// libFuzzer target: a picture file's bytes through the decoder's whole input path -- the
// checks, the library's loader, the end-of-data scan and the walk -- for one container
// (FUZZ_CONTAINER, one binary each). Beyond the sanitizers' findings it checks what the
// decoder promises of every picture it accepts.
//
// Each input goes through both ways of loading: from an open file (what decode_file does; the
// input is put in a memory-backed file) and from bytes in memory. They must agree on whether
// the picture is accepted and, when it is, on every pixel (which also catches pixels that
// depend on memory the loader never set; see tests/data/regressions/same_pixels).
//
// loadpng leaks the picture it has created when libpng then fails on the pixel data (see
// fuzz/lsan.supp). A one-off program does not mind, but a long campaign would run out of
// memory, so the PNG target (FUZZ_FREE_LEAKED_BITMAPS) wraps the library's create_bitmap_ex and
// destroy_bitmap at link time and destroys what a refused picture left behind.
//
// PNG chunks carry checksums that almost every mutation breaks, and libpng stops at the first
// bad one; so a PNG input whose checksums are wrong is also run with them corrected, which
// lets the mutations reach the header checks and the loader.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "decode.h"

namespace {

constexpr carrier::Container container = carrier::Container::FUZZ_CONTAINER;

volatile char no_escape = 0;

// Checks the row counts the walk reports as it goes.
class CheckedFeedback : public run::Feedback {
 public:
  explicit CheckedFeedback(int32_t h) : Feedback(&no_escape), h_(h) {}
  void show_row(int32_t current, int32_t total) override {
    if (total != h_ || current < 1 || current > total || current <= last_) {
      fail("row counter out of order");
    }
    last_ = current;
  }
  static void fail(const char* what) {
    std::fprintf(stderr, "decode_fuzz: %s\n", what);
    std::abort();
  }

 private:
  int32_t h_;
  int32_t last_ = 0;
};

// Recomputes the checksum of every whole chunk after the signature. True if any changed.
bool fix_png_checksums(std::vector<unsigned char>& png) {
  bool changed = false;
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const uint32_t length = uint32_t{png[at]} << 24 | uint32_t{png[at + 1]} << 16 |
                            uint32_t{png[at + 2]} << 8 | uint32_t{png[at + 3]};
    if (length > png.size() - at - 12) break;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, png.data() + at + 4, length + 4));
    unsigned char* field = png.data() + at + 8 + length;
    const unsigned char want[4] = {static_cast<unsigned char>(crc >> 24),
                                   static_cast<unsigned char>(crc >> 16),
                                   static_cast<unsigned char>(crc >> 8),
                                   static_cast<unsigned char>(crc)};
    for (int i = 0; i < 4; ++i) {
      changed |= field[i] != want[i];
      field[i] = want[i];
    }
    at += 12 + length;
  }
  return changed;
}

#ifdef FUZZ_FREE_LEAKED_BITMAPS
std::set<BITMAP*> live_bitmaps;
#endif

// Destroys what the library created and lost while refusing the input; an accepted input,
// or any other container, must leave nothing behind.
void free_leaked_bitmaps(bool refused) {
#ifdef FUZZ_FREE_LEAKED_BITMAPS
  if (live_bitmaps.empty()) return;
  if (!refused) CheckedFeedback::fail("an accepted picture left a bitmap behind");
  const std::set<BITMAP*> leaked = std::move(live_bitmaps);
  live_bitmaps.clear();
  for (BITMAP* b : leaked) destroy_bitmap(b);
#else
  (void)refused;
#endif
}

// The input as an open file, at offset 0.
int file_holding(const uint8_t* data, size_t size) {
  const int fd = memfd_create("picture", MFD_CLOEXEC);
  if (fd < 0) CheckedFeedback::fail("memfd_create failed");
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) CheckedFeedback::fail("writing the memory file failed");
    done += static_cast<size_t>(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) CheckedFeedback::fail("lseek failed");
  return fd;
}

bool refused_properly(const devorudo::Bitmap& bmp, const run::Outcome& failure) {
  if (bmp) return false;
  if (failure.status != run::Status::image_invalid && failure.status != run::Status::no_memory) {
    CheckedFeedback::fail("a refused picture gave an unexpected status");
  }
  return true;
}

// `first`: the input as it came, not a copy with corrected checksums. True if refused.
bool decode_one(const uint8_t* data, size_t size, bool first) {
  const std::string name = "input." FUZZ_CONTAINER_NAME;
  run::Outcome failure;
  const int fd = file_holding(data, size);
  devorudo::Bitmap bmp = devorudo::load_picture_fd(fd, container, name, failure);
  close(fd);
  run::Outcome memory_failure;
  const devorudo::Bitmap from_memory =
      devorudo::load_picture(data, size, container, name, memory_failure);

  const bool refused = refused_properly(bmp, failure);
  static const bool tell = std::getenv("DECODE_FUZZ_VERDICT") != nullptr;  // for triage
  if (tell && first) std::fprintf(stderr, "decode_fuzz: %s\n", refused ? "refused" : "accepted");
  if (refused_properly(from_memory, memory_failure) != refused) {
    CheckedFeedback::fail("loading from a file and from memory disagree on refusing");
  }
  if (refused) return true;
  if (bitmap_color_depth(bmp.get()) != 8 || bmp->w < 1 || bmp->h < 1) {
    CheckedFeedback::fail("an accepted picture is not an 8-bit picture of positive size");
  }
  if (from_memory->w != bmp->w || from_memory->h != bmp->h ||
      bitmap_color_depth(from_memory.get()) != 8) {
    CheckedFeedback::fail("loading from a file and from memory give different pictures");
  }
  for (int y = 0; y < bmp->h; ++y) {
    if (std::memcmp(bmp->line[y], from_memory->line[y], static_cast<size_t>(bmp->w)) != 0) {
      CheckedFeedback::fail("loading from a file and from memory give different pixels");
    }
  }

  std::vector<unsigned char> bytes;
  devorudo::VectorSink sink(bytes);
  CheckedFeedback feedback(bmp->h);
  const devorudo::Walk walk = devorudo::walk_picture(bmp.get(), sink, feedback);
  if (walk.escaped || walk.write_failed) CheckedFeedback::fail("the walk stopped by itself");
  if (walk.bytes != static_cast<int64_t>(bytes.size())) {
    CheckedFeedback::fail("the walk miscounted its bytes");
  }
  // Data runs from position 1 to a pixel above 0: never past the picture, never ending in 0.
  if (static_cast<int64_t>(bytes.size()) > int64_t{bmp->w} * bmp->h - 1) {
    CheckedFeedback::fail("the walk ran past the picture");
  }
  if (!bytes.empty() && bytes.back() == 0) CheckedFeedback::fail("the data ends in a 0");
  return false;
}

}  // namespace

#ifdef FUZZ_FREE_LEAKED_BITMAPS
extern "C" BITMAP* __real_create_bitmap_ex(int depth, int w, int h);
extern "C" void __real_destroy_bitmap(BITMAP* b);

extern "C" BITMAP* __wrap_create_bitmap_ex(int depth, int w, int h) {
  BITMAP* b = __real_create_bitmap_ex(depth, w, h);
  if (b) live_bitmaps.insert(b);
  return b;
}

extern "C" void __wrap_destroy_bitmap(BITMAP* b) {
  live_bitmaps.erase(b);
  __real_destroy_bitmap(b);
}
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (install_allegro(SYSTEM_NONE, &errno, std::atexit) != 0) {
    CheckedFeedback::fail("the library did not start");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  free_leaked_bitmaps(decode_one(data, size, true));
  if (container == carrier::Container::png) {
    std::vector<unsigned char> fixed(data, data + size);
    if (fix_png_checksums(fixed)) free_leaked_bitmaps(decode_one(fixed.data(), fixed.size(), false));
  }
  return 0;
}
