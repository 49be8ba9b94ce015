// libFuzzer target: a picture file's bytes through the decoder's input path -- the format
// layer's reader for one container (FUZZ_CONTAINER, one binary each), then the walk of the
// picture's data into memory, as far as its record (when whole and matching) or the
// end-of-data rule says. Beyond the sanitizers' findings it checks what the decoder
// promises of every picture it accepts, and that the reader gives the same answer whether the
// bytes come from memory or from an open file (where they arrive in blocks, as devorudo reads
// them).
//
// PNG chunks carry checksums that almost every mutation breaks, and the reader stops at the
// first bad one; so a PNG input whose checksums are wrong is also run with them corrected,
// which lets the mutations reach the header, the filters and the zlib stream.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "decode.h"
#include "formats.h"
#include "front_end.h"
#include "png_checksums.h"
#include "support.h"

namespace {

#define FUZZ_STRING(x) #x
#define FUZZ_NAME(x) FUZZ_STRING(x)
// The container, by the extension the build names.
const formats::Container& container = *formats::container_for("picture." FUZZ_NAME(FUZZ_CONTAINER));
const bool png = std::strcmp(container.extension, "png") == 0;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "decode_fuzz: %s\n", what);
  std::abort();
}

// Collects what the walk sends.
class VectorSink : public files::Sink {
 public:
  explicit VectorSink(std::vector<unsigned char>& to) : to_(to) {}
  run::Fault write(const void* data, size_t n) override {
    const auto* p = static_cast<const unsigned char*>(data);
    to_.insert(to_.end(), p, p + n);
    return {};
  }
  run::Fault write_at(uint64_t offset, const void* data, size_t n) override {
    if (to_.size() < offset + n) to_.resize(offset + n);
    std::memcpy(to_.data() + offset, data, n);
    return {};
  }

 private:
  std::vector<unsigned char>& to_;
};

// The tests' feedback, checking the row counts the walk reports as it goes (of h rows, or any
// number when h is 0).
void check_rows(test::RecordingFeedback& feedback, int32_t h) {
  feedback.on_row = [&rows = feedback.rows, h](int32_t current, int32_t total) {
    if ((h && total != h) || current < 1 || current > total ||
        (rows.size() > 1 && current <= rows[rows.size() - 2])) {
      fail("row counter out of order");
    }
  };
}

// The input as an open file, at offset 0.
int file_holding(const uint8_t* data, size_t size) {
  const int fd = memfd_create("picture", MFD_CLOEXEC);
  if (fd < 0) fail("memfd_create failed");
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) fail("writing the memory file failed");
    done += static_cast<size_t>(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) fail("lseek failed");
  return fd;
}

// A refusal names a defect of the picture; the only system error a reader may meet on bytes
// in memory is a picture too large for the memory at hand.
void check_refusal(const run::Fault& f) {
  if (f.error != 0 && f.error != ENOMEM) fail("a refusal gave a system error");
  if (f.error == 0 && f.defect == run::Defect::none) fail("a refusal without a reason");
}

bool same_fault(const run::Fault& a, const run::Fault& b) {
  return a.error == b.error && a.defect == b.defect;
}

// The picture read as the decoder streams it: its walk's bytes and verdict.
struct Streamed {
  run::Fault fault;
  bool streamed = false;
  devorudo::Walk result;
  std::vector<unsigned char> bytes;
};

Streamed stream_one(const uint8_t* data, size_t size) {
  Streamed s;
  formats::Input in(data, size);
  VectorSink sink(s.bytes);
  test::RecordingFeedback feedback;
  check_rows(feedback, 0);
  devorudo::StreamWalk walk(sink, feedback);
  formats::Found found;
  s.fault = formats::stream_picture(container, in, walk, found, s.streamed);
  if (s.streamed && !s.fault) s.result = walk.finish(found);
  // A true-colour picture may stream rows until one shows another colour: the decoder then
  // drops them and reads it whole.
  if (!s.streamed && !s.bytes.empty() && !walk.started()) {
    fail("a picture read whole had bytes streamed");
  }
  return s;
}

// `first`: the input as it came, not a copy with corrected checksums.
void decode_one(const uint8_t* data, size_t size, bool first) {
  // Streamed, the picture is refused as read whole, or accepted where only its size kept it from
  // being held whole; accepted both ways, the walks agree (checked at the end).
  const Streamed streamed = stream_one(data, size);
  formats::Input memory(data, size);
  formats::Picture picture;
  const run::Fault fault = formats::read_picture(container, memory, picture);

  // The file's Input takes a fresh 1 MiB block for every read, and on a virtual machine the
  // page faults of that block cost more than the rest of the input's run: every accepted
  // picture is read again from a file, but only one refused input in eight (chosen by its
  // bytes, so that a finding repeats).
  const bool again = !fault || (crc32(0, data, static_cast<uInt>(size)) & 7) == 0;
  formats::Picture from_file;
  run::Fault file_fault = fault;
  if (again) {
    const int fd = file_holding(data, size);
    formats::Input file(fd);
    file_fault = formats::read_picture(container, file, from_file);
    close(fd);
  }

  static const bool tell = std::getenv("DECODE_FUZZ_VERDICT") != nullptr;  // for triage
  if (tell && first) {
    std::fprintf(stderr, "decode_fuzz: %s (defect %d, error %d)\n", fault ? "refused" : "accepted",
                 static_cast<int>(fault.defect), fault.error);
  }
  if (!same_fault(fault, file_fault)) fail("reading from a file and from memory disagree");
  if (streamed.streamed && streamed.fault && !same_fault(streamed.fault, fault)) {
    fail("streamed and read whole, the picture is refused for different reasons");
  }
  if (streamed.streamed && !streamed.fault && fault &&
      !same_fault(fault, run::defect(run::Defect::too_large))) {
    fail("streamed, a picture is accepted that read whole is refused");
  }
  if (fault) {
    check_refusal(fault);
    if (picture.image || from_file.image) fail("a refused picture was kept");
    return;
  }

  const formats::Image& image = picture.image;
  if (!image || image.depth() != 8 || image.w() < 1 || image.h() < 1) {
    fail("an accepted picture is not an 8-bit picture of positive size");
  }
  const formats::Image& other = from_file.image;
  if (!other || other.w() != image.w() || other.h() != image.h() || other.depth() != 8 ||
      from_file.true_colour != picture.true_colour) {
    fail("reading from a file and from memory give different pictures");
  }
  for (int y = 0; y < image.h(); ++y) {
    if (std::memcmp(image.row(y), other.row(y), static_cast<size_t>(image.w())) != 0) {
      fail("reading from a file and from memory give different pixels");
    }
  }

  std::vector<unsigned char> bytes;
  VectorSink sink(bytes);
  test::RecordingFeedback feedback;
  check_rows(feedback, image.h());
  if (picture.mark.state != from_file.mark.state ||
      picture.mark.record.length != from_file.mark.record.length) {
    fail("reading from a file and from memory give different records");
  }
  if (picture.levels != from_file.levels)
    fail("reading from a file and from memory give other levels");
  const carrier::DataEnd located = devorudo::find_data(picture);
  const devorudo::Walk walk = devorudo::walk_picture(image.rows(), located, sink, feedback);
  if (walk.escaped || walk.fault) fail("the walk stopped by itself");
  const bool whole = picture.mark.state == carrier::Mark::whole;
  if (located.exact + located.altered + located.unchecked != 1 || (whole && located.unchecked)) {
    fail("the walk's verdict is not one of three");
  }
  // Without a check in the colours the record alone decides, as it did before there was one.
  if (!picture.shown.ours() &&
      (located.exact != (whole && !located.altered) ||
       located.altered != (picture.mark.state != carrier::Mark::none && !located.exact) ||
       located.unchecked != (picture.mark.state == carrier::Mark::none))) {
    fail("the walk's verdict does not follow the record");
  }
  // Data runs from position 1 to a pixel above 0 (or, by a whole record, to its length): never
  // past the picture, and it is the picture's own bytes.
  if (static_cast<int64_t>(bytes.size()) > int64_t{image.w()} * image.h() - 1) {
    fail("the walk ran past the picture");
  }
  if (located.exact && whole ? bytes.size() != picture.mark.record.length
                             : !located.exact && !bytes.empty() && bytes.back() == 0) {
    fail("the data does not end where it should");
  }
  for (size_t i = 0; i < bytes.size(); i += 997) {
    const int64_t p = static_cast<int64_t>(i) + 1;
    if (bytes[i] != image.row(0)[p]) fail("the walk sent other bytes");
  }
  // The streamed walk gives the same, unless its record held only for another reading of the
  // pixels, which the decoder then reads whole.
  if (streamed.streamed && !streamed.result.retry) {
    const carrier::DataEnd& s = streamed.result.located;
    if (s.end != located.end || s.exact != located.exact || s.altered != located.altered ||
        s.unchecked != located.unchecked || streamed.bytes != bytes) {
      fail("streamed and read whole, the walks differ");
    }
  } else if (streamed.streamed && located.exact &&
             (located.reading.levels != nullptr) == !picture.reading.empty() &&
             !located.reading.upside_down) {
    fail("the streamed walk asked for another reading where none was needed");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!front_end::start_headless()) fail("the library did not start");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decode_one(data, size, true);
  if (png) {
    std::vector<unsigned char> fixed(data, data + size);
    if (fuzz::fix_png_checksums(fixed)) decode_one(fixed.data(), fixed.size(), false);
  }
  return 0;
}
