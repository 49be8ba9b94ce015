#include "files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr size_t buffer_size = 1 << 20;

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
  fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
  buffer_.resize(buffer_size);
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

  std::string pattern = folder_of(path_) + "/." + base_of(path_) + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd_ = mkstemp(name.data());
  if (fd_ < 0) {
    // A folder that takes no new file still lets the user rewrite a file they may write.
    if (exists && (errno == EACCES || errno == EPERM)) return open_in_place(true);
    return fail(errno);
  }
  in_place_ = false;
  working_ = name.data();
  // mkstemp makes the file private; give it the mode the destination has, or would get.
  const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~current_umask());
  if (fchmod(fd_, mode) != 0) {
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
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0) return fail(errno);
  return {};
}

run::Fault SafeOutput::claim_room() {
  const uint64_t bytes = std::exchange(reserve_, 0);
  if (!rewrites_in_place() || bytes == 0) return {};
  struct stat st {};
  if (fstat(fd_, &st) != 0) return fail(errno);
  const int e = posix_fallocate(fd_, 0, static_cast<off_t>(bytes));
  // A filesystem that cannot reserve is written without.
  if (e == 0 || e == EOPNOTSUPP || e == EINVAL) return {};
  // Blocks were added at most: the old content is as it was, and its length is made so again
  // (the reservation's error is the one told).
  const int cut = ftruncate(fd_, st.st_size);
  static_cast<void>(cut);
  return fail(e);
}

run::Fault SafeOutput::put(const unsigned char* p, size_t n) {
  if (fd_ < 0) return fail(EBADF);
  if (n > 0 && reserve_) {
    if (const run::Fault f = claim_room()) return f;
  }
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::write(fd_, p + done, n - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<size_t>(got);
  }
  written_ += static_cast<off_t>(done);
  end_ = std::max(end_, written_);
  return fault_;
}

run::Fault SafeOutput::place(uint64_t offset, const unsigned char* p, size_t n) {
  if (fault_) return fault_;
  if (const run::Fault f = drain()) return f;
  if (n > 0 && reserve_) {
    if (const run::Fault f = claim_room()) return f;
  }
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<size_t>(got);
  }
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

run::Fault SafeOutput::finish() {
  if (fd_ < 0) return fail(EBADF);
  run::Fault f = drain();
  if (!f && regular_ && ftruncate(fd_, end_) != 0) f = fail(errno);
  if (!f && fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) f = fail(errno);
  if (::close(fd_) != 0 && !f) f = fail(errno);
  fd_ = -1;
  if (f) {
    abandon();
    return f;
  }
  if (!in_place_) {
    if (rename(working_.c_str(), path_.c_str()) != 0) {
      const int e = errno;
      unlink(working_.c_str());
      working_.clear();
      return fail(e);
    }
    // Make the rename itself durable.
    const int dir = ::open(folder_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      ::close(dir);
    }
  }
  working_.clear();
  return {};
}

void SafeOutput::abandon() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!working_.empty()) unlink(working_.c_str());
  working_.clear();
  in_place_ = regular_ = false;
  used_ = 0;
}

}  // namespace files
