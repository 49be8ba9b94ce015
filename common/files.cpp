#include "files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>

namespace {

std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// As many links as the system follows in one name.
constexpr int max_links = 40;

bool is_dev_null(const struct stat& st) {
  struct stat null {};
  return S_ISCHR(st.st_mode) && stat("/dev/null", &null) == 0 && st.st_rdev == null.st_rdev;
}

// Tries given to a write that makes no progress before it counts as an I/O error.
constexpr int stalled_tries = 8;

// Writes n bytes from p at `offset`, or where the file stands when it is negative: 0, or the
// errno of the failure.
int write_fully(int fd, const unsigned char* p, size_t n, off_t offset) {
  int stalled = 0;
  while (n > 0) {
    const ssize_t got = offset < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0 && ++stalled == stalled_tries) return EIO;
    p += got;
    n -= static_cast<size_t>(got);
    if (offset >= 0) offset += got;
  }
  return 0;
}

// Copies the first n bytes of `from` to the same place in `to` through `buffer` (not the
// output's, which may hold bytes still to write): 0, or the errno of the failure (EIO when
// `from` ends first).
int copy_bytes(int from, int to, off_t n, std::vector<unsigned char>& buffer) {
  for (off_t at = 0; at < n;) {
    const size_t want = static_cast<size_t>(std::min<off_t>(n - at, buffer.size()));
    const ssize_t got = files::retried([&] { return ::pread(from, buffer.data(), want, at); });
    if (got <= 0) return got < 0 ? errno : EIO;
    if (const int e = write_fully(to, buffer.data(), static_cast<size_t>(got), at)) return e;
    at += got;
  }
  return 0;
}

int open_retried(const char* path, int flags, mode_t mode = 0) {
  return files::retried([&] { return ::open(path, flags, mode); });
}

// Folders where the copy of a file rewritten in place may go, the user's cache first.
std::vector<std::string> copy_folders() {
  std::vector<std::string> folders;
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/') {
    folders.push_back(cache);
  }
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    folders.push_back(std::string(home) + "/.cache");
  }
  if (const char* tmp = std::getenv("TMPDIR"); tmp && tmp[0] == '/') folders.push_back(tmp);
  folders.push_back("/tmp");
  return folders;
}

// A file without a name in `folder`, for reading and writing: O_TMPFILE, or where the
// filesystem makes none, a named one removed at once. -1 with errno on failure.
int unnamed_file(const std::string& folder) {
  const int fd = open_retried(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string pattern = folder + "/.zororuzo-copy.XXXXXX";
  const int named = files::retried([&] { return mkostemp(pattern.data(), O_CLOEXEC); });
  if (named >= 0) unlink(pattern.c_str());
  return named;
}

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace

namespace files {

std::string home_expanded(const std::string& name) {
  if (name.empty() || name[0] != '~' || (name.size() > 1 && name[1] != '/')) return name;
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else if (const passwd* user = getpwuid(getuid()); user && user->pw_dir && *user->pw_dir) {
    home = user->pw_dir;
  } else {
    return name;
  }
  if (name.size() == 1) return home;
  while (!home.empty() && home.back() == '/') home.pop_back();  // "/" too: "~/a" is "/a"
  return home + name.substr(1);
}

bool same_file(const struct stat& source, const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && st.st_dev == source.st_dev && st.st_ino == source.st_ino;
}

SafeOutput::~SafeOutput() { abandon(); }

run::Fault SafeOutput::fail(run::Fault f) {
  if (!fault_) fault_ = f;
  return fault_;
}

run::Fault open_source(const std::string& path, int& fd, struct stat& st) {
  fd = open_retried(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return run::system_fault(errno);
  run::Fault f;
  if (fstat(fd, &st) != 0) {
    f = run::system_fault(errno);
  } else if (S_ISDIR(st.st_mode)) {
    f = run::system_fault(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    f = run::defect(run::Defect::special);
  } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    f = run::system_fault(errno);
  }
  if (f) {
    ::close(fd);
    fd = -1;
  }
  return f;
}

run::Fault SafeOutput::start(const std::string& path) {
  abandon();
  fault_ = {};
  used_ = 0;
  written_ = end_ = 0;
  replaces_ = false;
  reserve_ = 0;
  ready_ = false;
  held_ = run::InPlace::none;
  buffer_.resize(run::block_bytes);
  if (path.empty()) return fail(ENOENT);

  // Follow symbolic links to the file they name, which need not exist yet.
  path_ = path;
  for (int links = 0;; ++links) {
    struct stat link {};
    if (lstat(path_.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) break;
    if (links == max_links) return fail(ELOOP);
    std::vector<char> target(PATH_MAX);
    const ssize_t n = readlink(path_.c_str(), target.data(), target.size());
    if (n < 0) return fail(errno);
    const std::string to(target.data(), static_cast<size_t>(n));
    path_ = to[0] == '/' ? to : folder_of(path_) + "/" + to;
  }
  if (char* real = realpath(path_.c_str(), nullptr)) {
    path_ = real;
    std::free(real);
  }

  struct stat st {};
  const bool exists = stat(path_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return fail(errno);
  if (exists && S_ISDIR(st.st_mode)) return fail(EISDIR);
  replaces_ = exists && S_ISREG(st.st_mode);
  if (exists && !S_ISREG(st.st_mode) && !is_dev_null(st)) {
    return fail(run::defect(run::Defect::special));
  }
  if (exists && faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) return fail(errno);
  if (exists && !S_ISREG(st.st_mode)) return open_in_place(false);

  // The new file has no name until it is whole; a filesystem without unnamed files gets a
  // named temporary instead.
  const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~current_umask());
  in_place_ = false;
  fd_ = open_retried(folder_of(path_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  unnamed_ = fd_ >= 0;
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    const std::string pattern = folder_of(path_) + "/." + base_of(path_) + ".XXXXXX";
    std::string name;
    fd_ = retried([&] {
      name = pattern;  // mkstemp leaves its template undefined when it fails
      return mkostemp(name.data(), O_CLOEXEC);
    });
    if (fd_ >= 0) working_ = name;
  }
  if (fd_ < 0) {
    // A folder that takes no new file still lets the user rewrite a file they may write.
    if (exists && (errno == EACCES || errno == EPERM)) return open_in_place(true);
    return fail(errno);
  }
  // The file is made private; give it the mode the destination has, or would get.
  if (retried([&] { return fchmod(fd_, mode); }) != 0) {
    const int e = errno;
    abandon();
    return fail(e);
  }
  return {};
}

run::Fault SafeOutput::open_in_place(bool regular) {
  in_place_ = true;
  regular_ = regular;
  // Not truncated now: blocks the file already has are rewritten without asking the disk for
  // more, and the length is set once everything is written.
  fd_ = open_retried(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0) return fail(errno);
  return {};
}

run::Fault SafeOutput::keep_copy() {
  const int from = open_retried(path_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  int e = from < 0 ? errno : retried([&] { return fstat(from, &st); }) != 0 ? errno : 0;
  old_size_ = st.st_size;
  copy_buffer_.resize(run::block_bytes);  // kept for the restore, which must not need memory
  // The first folder with room for the whole file, and that lets the user in, keeps it.
  for (const std::string& folder : e ? std::vector<std::string>{} : copy_folders()) {
    const int copy = unnamed_file(folder);
    e = copy < 0 ? errno : copy_bytes(from, copy, old_size_, copy_buffer_);
    if (!e) {
      copy_fd_ = copy;
      break;
    }
    if (copy >= 0) ::close(copy);
  }
  if (from >= 0) ::close(from);
  if (copy_fd_ >= 0) return {};
  held_ = run::InPlace::refused;
  return fail(e);
}

run::Fault SafeOutput::claim_room() {
  ready_ = true;
  const uint64_t bytes = std::exchange(reserve_, 0);
  if (!rewrites_in_place()) return {};
  if (const run::Fault f = keep_copy()) return f;
  int e = 0;
  if (bytes > 0) {
    do {
      e = posix_fallocate(fd_, 0, static_cast<off_t>(bytes));
    } while (e == EINTR);
  }
  // A filesystem that cannot reserve is written without. From here on a failure puts the copy
  // back.
  if (e == 0 || e == EOPNOTSUPP || e == EINVAL) {
    touched_ = true;
    return {};
  }
  // The reservation added blocks at most (ext4 can keep them, tmpfs does not): the old bytes
  // are as they were, and so is the length once cut back; should that fail, the copy puts both
  // back.
  touched_ = retried([&] { return ftruncate(fd_, old_size_); }) != 0;
  return fail(e);
}

void SafeOutput::restore() {
  if (!touched_) return;
  touched_ = false;
  held_ = run::InPlace::damaged;
  const int to = fd_ >= 0 ? fd_ : open_retried(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (to < 0) return;
  if (copy_bytes(copy_fd_, to, old_size_, copy_buffer_) == 0 &&
      retried([&] { return ftruncate(to, old_size_); }) == 0 &&
      (retried([&] { return fsync(to); }) == 0 || errno == EINVAL)) {
    held_ = run::InPlace::restored;
  }
  if (to != fd_) ::close(to);
}

run::Fault SafeOutput::put(const unsigned char* p, size_t n) {
  if (fd_ < 0) return fail(EBADF);
  if (n > 0 && !ready_) {
    if (const run::Fault f = claim_room()) return f;
  }
  if (const int e = write_fully(fd_, p, n, -1)) return fail(e);
  written_ += static_cast<off_t>(n);
  end_ = std::max(end_, written_);
  return fault_;
}

run::Fault SafeOutput::place(uint64_t offset, const unsigned char* p, size_t n) {
  if (fault_) return fault_;
  if (const run::Fault f = drain()) return f;
  if (n > 0 && !ready_) {
    if (const run::Fault f = claim_room()) return f;
  }
  if (const int e = write_fully(fd_, p, n, static_cast<off_t>(offset))) return fail(e);
  end_ = std::max(end_, static_cast<off_t>(offset + n));
  return {};
}

run::Fault SafeOutput::drain() {
  const size_t n = used_;
  used_ = 0;
  return put(buffer_.data(), n);
}

run::Fault SafeOutput::append(const void* data, size_t n) {
  if (fault_) return fault_;
  const auto* p = static_cast<const unsigned char*>(data);
  // A block as large as the buffer goes to the file as it is: copying it first costs as much.
  if (n >= buffer_.size()) {
    if (const run::Fault f = drain()) return f;
    return put(p, n);
  }
  while (n > 0) {
    if (used_ == buffer_.size()) {
      if (const run::Fault f = drain()) return f;
    }
    const size_t take = std::min(n, buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
  }
  return {};
}

run::Fault SafeOutput::link_new_file() {
  char fd_path[32];
  std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", fd_);
  const auto link_as = [&](const std::string& name) {
    const int linked = retried(
        [&] { return linkat(AT_FDCWD, fd_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW); });
    // Without /proc, the descriptor itself, which needs a privilege the user may have.
    if (linked == 0 || errno != ENOENT || access("/proc/self/fd", F_OK) == 0) return linked;
    return retried([&] { return linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH); });
  };
  // A new name is given the file at once, with nothing to replace; taken meanwhile, it is
  // replaced as an existing file is.
  if (!replaces_ && link_as(path_) == 0) {
    working_ = path_;  // removed should the close fail; renamed onto itself otherwise
    return {};
  }
  if (!replaces_ && errno != EEXIST) return fail(errno);
  // A hidden name beside the destination, which the rename then moves over it.
  const std::string stem = folder_of(path_) + "/." + base_of(path_) + ".";
  std::mt19937 random(static_cast<uint32_t>(getpid()) ^ static_cast<uint32_t>(time(nullptr)));
  for (int tries = 0; tries < 100; ++tries) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%06x", static_cast<unsigned>(random() & 0xFFFFFF));
    const std::string name = stem + suffix;
    if (link_as(name) == 0) {
      working_ = name;
      return {};
    }
    if (errno != EEXIST) return fail(errno);
  }
  return fail(EEXIST);
}

run::Fault SafeOutput::finish() {
  if (fd_ < 0) return fail(EBADF);
  run::Fault f = drain();
  if (!f && !ready_) f = claim_room();  // an empty file written in place changes it too
  if (!f && regular_ && retried([&] { return ftruncate(fd_, end_); }) != 0) f = fail(errno);
  if (!f && retried([&] { return fsync(fd_); }) != 0 && errno != EINVAL && errno != EROFS) {
    f = fail(errno);
  }
  if (!f && unnamed_) f = link_new_file();
  if (f) {
    abandon();
    return f;
  }
  // Not retried: on Linux the descriptor is closed even when close reports an error, and an
  // interrupted close has lost nothing that the sync before did not already put on the disk.
  if (::close(fd_) != 0 && errno != EINTR) {
    fd_ = -1;
    f = fail(errno);
    abandon();
    return f;
  }
  fd_ = -1;
  if (!in_place_ && !working_.empty()) {
    if (retried([&] { return rename(working_.c_str(), path_.c_str()); }) != 0) {
      const int e = errno;
      unlink(working_.c_str());
      working_.clear();
      return fail(e);
    }
  }
  if (!in_place_) {
    // Make the new name itself durable.
    const int dir = open_retried(folder_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      retried([&] { return fsync(dir); });
      ::close(dir);
    }
  }
  working_.clear();
  touched_ = false;
  abandon();  // the copy goes
  return {};
}

run::Outcome SafeOutput::settle(run::Outcome o, const std::string& destination) {
  const run::InPlace held = drop();
  if (held == run::InPlace::damaged && o.status != run::Status::destination_failed) {
    const run::Fault why = o.fault.error ? o.fault : run::Fault{};
    o = run::failure(run::Status::destination_failed, destination, why);
  }
  o.in_place = held;
  return o;
}

void SafeOutput::abandon() {
  if (in_place_ && regular_) restore();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (copy_fd_ >= 0) {
    ::close(copy_fd_);
    copy_fd_ = -1;
  }
  if (!working_.empty()) unlink(working_.c_str());
  working_.clear();
  in_place_ = regular_ = unnamed_ = touched_ = false;
  used_ = 0;
}

}  // namespace files
