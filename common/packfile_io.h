// Allegro packfiles over our own files, so that the library's image writers and readers go
// through code that sees every failure: a write that did not reach the disk, or a read that
// ran past the end of the file.
#ifndef COMMON_PACKFILE_IO_H
#define COMMON_PACKFILE_IO_H

#include <allegro.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class SafeOutput;

// A write-only packfile that sends its bytes to `out`. Closing it does not commit `out`;
// write failures stay in out.error().
PACKFILE* pack_open_output(SafeOutput& out);

// The bytes a read-only packfile serves, and what its reader did with them. The library's
// readers carry on at the end of a file (getc gives EOF, a short read leaves pixels unset), so
// `overread` records that a reader asked for more than there was.
//
// With no `refill`, all `size` bytes lie at `data` (pack_open_input makes them the window).
// With one, `data` holds only the window [start, start + available), and refill moves the
// window to cover `position`, returning false when it cannot (the reader then sees the end of
// the file).
struct PackInput {
  const unsigned char* data = nullptr;
  size_t size = 0;
  size_t position = 0;
  bool overread = false;
  size_t start = 0;
  size_t available = 0;
  std::function<bool(PackInput&)> refill;
};

// A file served a block at a time to a reader after its bytes have been checked. Each block is
// compared with a fingerprint taken during the check, so a file that changed in between reads
// as ended early (with `changed` set), never as bytes that were not checked; and only one
// block, not the whole file, is held while a picture is loaded from it.
class CheckedFile {
 public:
  static constexpr size_t block = size_t{1} << 20;

  // Takes the fingerprints of `size` bytes: the file's whole content, from offset 0.
  CheckedFile(int fd, const unsigned char* data, size_t size);

  // Prepares `in` to read the file through this object, which must outlive it.
  void attach(PackInput& in);

  bool changed() const { return changed_; }

 private:
  bool load_block(PackInput& in);
  uint64_t fingerprint(const unsigned char* data, size_t n) const;

  int fd_;
  size_t size_;
  uint64_t key_;
  std::vector<uint64_t> blocks_;
  std::vector<unsigned char> buffer_;
  bool changed_ = false;
};

// A read-only packfile over `in`, which must outlive it. Closing it leaves `in` as it is.
PACKFILE* pack_open_input(PackInput& in);

#endif
