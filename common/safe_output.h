// Writing a destination so that no existing file is lost to a failed run.
//
// A regular file (or a new name) is written as a fresh temporary file in the same folder, then
// flushed to the disk and renamed over the name: the old file is replaced only by a complete
// new one, and a failure leaves it as it was and removes the temporary. A name that stands for
// something other than a regular file (a device such as /dev/full) is written in place, and
// nothing is removed when that fails.
#ifndef COMMON_SAFE_OUTPUT_H
#define COMMON_SAFE_OUTPUT_H

#include <cstddef>
#include <string>
#include <vector>

class SafeOutput {
 public:
  SafeOutput() = default;
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;
  ~SafeOutput();

  // Prepares to write `path`. `suffix` ends the temporary's name (some writers pick the
  // format by extension). False on failure, with error() set.
  bool open(const std::string& path, const std::string& suffix = "");

  // Buffered write; false once any write has failed.
  bool write(const void* data, size_t n);
  bool put(unsigned char byte) {
    if (used_ == buffer_.size() && !drain()) return false;
    buffer_[used_++] = byte;
    return true;
  }

  // The name being written: the temporary, or the destination itself when written in place.
  // For writers that open the file by name; flush() first when mixing both ways of writing.
  const std::string& working_path() const { return working_; }

  // Writes out the buffer, syncs, closes and puts the file in place. False on any failure,
  // after which the temporary is gone and an existing destination is untouched.
  bool commit();

  // Gives up: closes and removes the temporary (or a partial regular file written in place).
  void abandon();

  int error() const { return error_; }

 private:
  bool drain();
  bool fail(int error);

  std::string path_;     // the destination, with symbolic links followed
  std::string working_;  // the file being written
  bool in_place_ = false;
  int fd_ = -1;
  int error_ = 0;
  std::vector<unsigned char> buffer_;
  size_t used_ = 0;
};

#endif
