// The decoder's conversion: a carrier picture in, the file it carries out. Runs with or
// without a screen; the library must be started (a SYSTEM_NONE start is enough).
//
// Two layers. load_picture checks a picture's bytes (common/image_check.h) and only then lets
// the library's loader read them; walk_picture writes a loaded picture's data into a sink
// under the end-of-data rule (common/carrier.h). decode_file puts them together between a
// source file and a destination written safely (common/safe_output.h). The lower layers work
// on bytes in memory, so a fuzz target can drive them without files.
#ifndef DEVORUDO_DECODE_H
#define DEVORUDO_DECODE_H

#include <allegro.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carrier.h"
#include "handles.h"
#include "run.h"

class SafeOutput;

namespace devorudo {

using ::Bitmap;

// Checks `size` bytes at `data` as a picture in container `c` and loads it, converted to 8 bits
// per pixel when it has more. On failure returns null and sets `failure` to image_invalid
// naming `name` (no_memory when the checked picture could not be allocated). The bytes may be
// released once it returns.
Bitmap load_picture(const unsigned char* data, size_t size, carrier::Container c,
                    const std::string& name, run::Outcome& failure);

// Checks the whole of the open file `fd` and loads it as above, holding at most one block of
// it while the picture is made. A file that cannot be read gives image_invalid with its errno;
// one that changes between the check and the load is refused as image_invalid.
Bitmap load_picture_fd(int fd, carrier::Container c, const std::string& name,
                       run::Outcome& failure);

// Where walk_picture sends the bytes. write() returns false once writing has failed.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(const unsigned char* data, size_t n) = 0;
};

class VectorSink : public ByteSink {
 public:
  explicit VectorSink(std::vector<unsigned char>& to) : to_(to) {}
  bool write(const unsigned char* data, size_t n) override {
    to_.insert(to_.end(), data, data + n);
    return true;
  }

 private:
  std::vector<unsigned char>& to_;
};

class SafeOutputSink : public ByteSink {
 public:
  explicit SafeOutputSink(SafeOutput& out) : out_(out) {}
  bool write(const unsigned char* data, size_t n) override;

 private:
  SafeOutput& out_;
};

struct Walk {
  int64_t bytes = 0;          // bytes sent to the sink
  bool escaped = false;       // ended early by Esc (before the scan, or during the walk)
  bool write_failed = false;  // the sink refused a write
};

// Sends the data of the 8-bit picture `bmp` to `sink`: pixels from linear position 1 up to
// the end that carrier::find_data_end finds, one byte each, nothing when it finds none.
// Esc held before the scan (or still held when it ends) sends nothing; Esc found held during
// the walk (tested after every byte) stops it after the byte in hand. feedback.show_row is called whenever the row
// changes, with the 1-based row and the picture's height.
Walk walk_picture(const BITMAP* bmp, ByteSink& sink, run::Feedback& feedback);

// Loads the picture `source` (its container chosen by its extension) and writes the file it
// carries as `destination`. A picture that cannot be read or fails the checks leaves the
// destination untouched (it is never opened); otherwise the destination is complete on disk
// (or, after Esc, holds what was walked) before this returns, or is left as it was and the
// outcome is destination_failed.
run::Outcome decode_file(const std::string& source, const std::string& destination,
                         run::Feedback& feedback);

}  // namespace devorudo

#endif
