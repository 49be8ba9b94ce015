// What a conversion needs from the screen while it runs, how every fallible step says why it
// failed, and what a conversion reports when it ends. Conversions know nothing of the display:
// the front end implements Feedback, and turns an Outcome into the closing notice.
#ifndef COMMON_RUN_H
#define COMMON_RUN_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace run {

// What the programs read, write and hand on at a time: 1 MiB, a block of the source, a band of
// rows, the output's buffer.
constexpr size_t block_bytes = size_t{1} << 20;

// The Esc test, the one the walk (carrier::Cursor) makes: true while the run's stop flag is set
// (Esc held, or the window asked to close). A plain flag read.
inline bool escape_down(const volatile char* stop) { return *stop != 0; }

class Feedback {
 public:
  // `stop`: a flag that is non-zero while the run should stop (Esc held).
  explicit Feedback(const volatile char* stop) : stop_(stop) {}
  virtual ~Feedback() = default;

  // The row count changed: `current` (1-based) of `total` rows.
  virtual void show_row(int32_t current, int32_t total) = 0;

  // The stop flag, for escape_down.
  const volatile char* stop_flag() const { return stop_; }

 private:
  const volatile char* stop_;
};

// What is wrong with a picture's content, or with what a name stands for.
enum class Defect {
  none,
  unsupported,  // not this container, or a variant of it that is not read (header, bits, type)
  truncated,    // the file ends before the data it announces
  damaged,      // data that contradicts itself: runs or offsets outside the picture, bad checksums
  too_large,    // a size past what the library can hold, or than the file can describe
  special,      // not a regular file: a device, a FIFO or a socket
  read_whole,   // a streamed picture must be read whole after all: a true-colour one has colours
                // that stand for no level, or a first pixel says it is to be read another way
};

// Why an operation failed: a system call's errno, or a defect of the picture. Empty on success.
// Every fallible step returns one, reads and writes alike:
//   if (const run::Fault f = in.read(...)) return f;
struct Fault {
  int error = 0;
  Defect defect = Defect::none;
  explicit operator bool() const { return error != 0 || defect != Defect::none; }
};
inline Fault system_fault(int error) { return Fault{error, Defect::none}; }
inline Fault defect(Defect d) { return Fault{0, d}; }

enum class Status {
  done,                 // the whole file converted
  stopped,              // ended early by Esc; what was converted so far is saved
  cancelled,            // Esc at the run's first test, over an existing file: left as it was
  source_unreadable,    // the source could not be opened or read
  source_changed,       // the source changed size while it was read
  source_too_large,     // the source exceeds what any carrier can hold
  container_too_small,  // the chosen container cannot hold this many rows
  format_unsupported,   // the destination's extension names no container we write
  image_invalid,        // the source picture is damaged or not loadable
  no_memory,            // the picture could not be held in memory
  destination_failed,   // the destination could not be written completely
  same_file,            // the destination is the source itself
};

// What a failed run left in a file it rewrote in place (files::SafeOutput keeps a copy of it).
enum class InPlace {
  none,      // not written in place, or not touched: the file is as it was
  refused,   // no copy of the old file could be made, so its first byte was never written
  restored,  // the run failed after its first byte, and the copy was written back whole
  damaged,   // the run failed after its first byte, and so did writing the copy back
};

struct Outcome {
  Status status = Status::done;
  std::string file;            // the file the notice names
  Fault fault;                 // why it failed, when the status is a failure
  bool true_colour = false;    // the picture was not a 256-colour one: its bytes keep no file
  bool altered = false;        // the picture's record does not match it: changed since it was made
  bool unchecked = false;      // the picture holds no record: its length is the rule's, unchecked
  int64_t saved = 0;           // with stopped: the bytes of the file that the result holds
  int64_t whole = 0;           // with stopped: the bytes of the whole file
  int32_t rows = 0;            // with container_too_small: the rows needed
  int32_t max_rows = 0;        // with container_too_small: the rows the container holds
  const char* container = "";  // with container_too_small: the container's name
  bool picture = false;        // with format_unsupported: the name is a picture to read
  InPlace in_place = InPlace::none;  // with a failure: what a file rewritten in place holds
};

// An outcome that names what failed, and why.
inline Outcome failure(Status status, const std::string& file, Fault fault = {}) {
  Outcome o;
  o.status = status;
  o.file = file;
  o.fault = fault;
  return o;
}

}  // namespace run

#endif
