// The files a run reads and writes: the source, opened so that no special file can stall it,
// and the destination, written so that no existing file is lost to a failed run.
//
// A regular file (or a new name) is written as a new file without a name in the same folder
// (O_TMPFILE), then flushed to the disk, linked under a hidden name and renamed over the name
// (a new name is linked directly): the old file is replaced only by a complete new one, a
// failure leaves it as it was, and a run killed at any moment leaves no part of the new one
// behind (but for the instant between the link and the rename). Where the filesystem makes no
// unnamed file, a named temporary (".NAME.XXXXXX") takes its place and is removed on a
// failure. Hard links to a replaced file keep the old content (the rename gives the name a
// new file).
//
// Symbolic links are followed: the file a link names is written and the link kept, and a dangling
// link's target is made, as the shell's `>` does; a loop is refused (ELOOP).
//
// Two cases are written in place instead, with every write, the final length, the flush and the
// close checked: /dev/null, and an existing writable file in a folder that allows no temporary
// file. Before the first byte of such a file changes, a copy of it is made in the user's cache
// folder or the temporary folder (an unnamed file there too), and the disk is asked for room
// for the most the run will write (reserve). On any failure after that (a write, the length,
// the flush, or the source failing the conversion), the copy is written back and flushed, and
// what the file holds is told (run::InPlace); where no copy can be made, the file is not
// touched and the run fails. A killed run can still leave it half rewritten. Any other name
// that stands for something other than a regular file (a device, a FIFO, a socket) is refused
// (Defect::special) before it is opened: opening a FIFO would wait for a reader.
//
// An existing file that the user may not write is refused (EACCES), as the shell's `>` would
// refuse it, rather than replaced by the rename.
//
// Every call that a signal can interrupt is made again (EINTR), but close, whose descriptor is
// gone either way on Linux; a write that makes no progress fails after a few tries (EIO).
#ifndef COMMON_FILES_H
#define COMMON_FILES_H

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "run.h"

namespace files {

// Where bytes go: the picture writers and the decoder's walk write to one. SafeOutput is the
// programs' sink; tests and fuzz targets keep the bytes in memory.
class Sink {
 public:
  virtual ~Sink() = default;
  // Takes n more bytes; once a write has failed, every later one fails too.
  virtual run::Fault write(const void* data, size_t n) = 0;
  // Puts n bytes at `offset` from the start, over bytes written before or past the end (what
  // lies between stays 0), leaving where write goes on unchanged: a writer fills in a field
  // once it is known, or lays rows out in another order than it makes them.
  virtual run::Fault write_at(uint64_t offset, const void* data, size_t n) = 0;
};

// True when `path` names (through any link) the file that `source` describes: writing it would
// destroy what is being read.
bool same_file(const struct stat& source, const std::string& path);

// A name as typed, with a leading "~" or "~/" taken as the home folder: $HOME, or the user's
// entry in the password database when HOME is unset or empty. Any other name ("~anna/a.bmp"
// among them) is returned as it is, and so is every name when no home folder is known.
std::string home_expanded(const std::string& name);

// Retries a system call that a signal interrupted (it returns -1 with EINTR).
template <typename Call>
auto retried(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Opens `path` for reading, without waiting on a FIFO or a device, and describes it in `st`. A
// folder is refused with EISDIR, anything else that is not a regular file with Defect::special;
// the descriptor is then closed and `fd` is -1.
run::Fault open_source(const std::string& path, int& fd, struct stat& st);

class SafeOutput : public Sink {
 public:
  SafeOutput() = default;
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;
  ~SafeOutput() override;

  // Prepares to write `path`.
  run::Fault open(const std::string& path) { return start(path); }

  // The most bytes the run will write. A file rewritten in place is given room for them on the
  // disk (posix_fallocate) before its first byte is written, once its copy is made, the write
  // that would change it failing with ENOSPC (or EFBIG, past the process's file-size limit)
  // instead; its length is cut to what was written at the commit. A new file needs no room: it
  // goes if the disk fills.
  void reserve(uint64_t bytes) { reserve_ = bytes; }

  // Buffered write; fails once any write has failed.
  run::Fault write(const void* data, size_t n) override { return append(data, n); }
  run::Fault write_at(uint64_t offset, const void* data, size_t n) override {
    return place(offset, static_cast<const unsigned char*>(data), n);
  }

  // True when an existing file is rewritten in place (see above): what is written cannot be
  // taken back.
  bool rewrites_in_place() const { return in_place_ && regular_; }
  // True when the name held a regular file when opened: dropped without a commit, the output
  // leaves it exactly as it was.
  bool replaces_a_file() const { return replaces_; }

  // Writes out the buffer, syncs, closes and puts the file in place. On any failure the new
  // file is gone and an existing destination is as it was (in place: its copy written back,
  // unless that fails too; held() says which); so it is when the output is dropped.
  run::Fault commit() { return finish(); }

  // Drops an output not committed (as the destructor would) and tells what a file rewritten in
  // place holds now.
  run::InPlace drop() {
    abandon();
    return held_;
  }
  run::InPlace held() const { return held_; }

  // The end of a conversion writing `destination`: drops the output if not committed, and
  // makes `o` tell what a file rewritten in place holds. Put back, it is as it was, which any
  // failure's notice says; left damaged, the notice is the save's, naming it.
  run::Outcome settle(run::Outcome o, const std::string& destination);

 private:
  run::Fault start(const std::string& path);
  run::Fault append(const void* data, size_t n);
  run::Fault finish();
  void abandon();
  run::Fault open_in_place(bool regular);
  run::Fault drain();
  // Before the first byte of a file rewritten in place: its copy, then the room reserved.
  run::Fault claim_room();
  run::Fault keep_copy();
  // Writes the copy back over a file rewritten in place, once it has been touched.
  void restore();
  // Gives the unnamed new file its name: the destination's, or a hidden one renamed over it.
  run::Fault link_new_file();
  // Writes n bytes from p to the file.
  run::Fault put(const unsigned char* p, size_t n);
  run::Fault place(uint64_t offset, const unsigned char* p, size_t n);
  // The first failure is kept, and every later step gives it.
  run::Fault fail(int error) { return fail(run::system_fault(error)); }
  run::Fault fail(run::Fault f);

  std::string path_;     // the destination, with symbolic links followed
  std::string working_;  // the temporary's name, empty when writing in place or unnamed
  bool unnamed_ = false;  // the new file has no name yet (O_TMPFILE)
  bool in_place_ = false;
  bool touched_ = false;  // a file rewritten in place may differ from its copy
  int copy_fd_ = -1;      // the copy of a file rewritten in place
  off_t old_size_ = 0;    // its length
  std::vector<unsigned char> copy_buffer_;
  run::InPlace held_ = run::InPlace::none;
  bool regular_ = false;  // written in place over a regular file: cut to length at the end
  bool replaces_ = false;
  uint64_t reserve_ = 0;  // room to claim before the first byte
  bool ready_ = false;    // what comes before the first byte is done
  int fd_ = -1;
  run::Fault fault_;
  off_t written_ = 0;  // bytes written in order
  off_t end_ = 0;      // the file's length, with what was placed past them
  std::vector<unsigned char> buffer_;
  size_t used_ = 0;
};

}  // namespace files

#endif
