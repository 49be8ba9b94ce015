// Failures of the machine around a conversion: a full disk, a read-only folder, a destination
// that is a folder, a source that changes while it is read, long and non-ASCII names. Each
// must end in a clear outcome with every existing file as it was.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "decode.h"
#include "encode.h"
#include "support.h"

namespace {

using run::Status;
using test::Bytes;

// A small tmpfs, to fill up or to make read-only. Needs root (as in CI); skipped otherwise.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& size) {
    mounted_ = mount("tmpfs", dir_.dir().c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.dir().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::string path(const std::string& name) const { return dir_.path(name); }
  void make_read_only() {
    ASSERT_EQ(mount(nullptr, dir_.dir().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  }
  size_t entries() const {
    size_t n = 0;
    if (DIR* d = opendir(dir_.dir().c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        n += name != "." && name != "..";
      }
      closedir(d);
    }
    return n;
  }

 private:
  test::TempDir dir_;
  bool mounted_ = false;
};

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { test::start_library(); }
  run::Outcome encode(const std::string& source, const std::string& destination) {
    return zororuzo::encode_file(source, destination, pal, feedback);
  }
  run::Outcome decode(const std::string& source, const std::string& destination) {
    return devorudo::decode_file(source, destination, feedback);
  }
  test::TempDir dir;
  PALETTE pal = {};
  test::RecordingFeedback feedback;
};

TEST_F(Faults, FullDiskKeepsTheOldDestinationAndLeavesNoTemporary) {
  SmallDisk disk("1m");
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  const Bytes old_file(300 * 1024, 'o');
  for (const char* ext : {"bmp", "tga", "pcx", "png"}) {
    SCOPED_TRACE(ext);
    const std::string destination = disk.path(std::string("old.") + ext);
    test::write_file(destination, old_file);
    // Random bytes do not compress: every container needs about 2 MiB for them.
    Bytes noise(2 << 20);
    std::srand(7);
    for (auto& b : noise) b = static_cast<unsigned char>(std::rand() >> 7);
    test::write_file(dir.path("big.bin"), noise);
    const run::Outcome o = encode(dir.path("big.bin"), destination);
    EXPECT_EQ(o.status, Status::destination_failed);
    EXPECT_EQ(test::read_file(destination), old_file);
    EXPECT_EQ(disk.entries(), 1u) << "a temporary was left behind";
    unlink(destination.c_str());
  }
}

TEST_F(Faults, ReadOnlyFolderAndFolderAsDestination) {
  test::write_file(dir.path("s.bin"), test::sample_data(100));
  run::Outcome o = encode(dir.path("s.bin"), dir.dir());
  EXPECT_EQ(o.status, Status::format_unsupported);
  ASSERT_EQ(mkdir(dir.path("folder.bmp").c_str(), 0755), 0);
  o = encode(dir.path("s.bin"), dir.path("folder.bmp"));
  EXPECT_EQ(o.status, Status::destination_failed);
  EXPECT_EQ(o.error, EISDIR);

  SmallDisk disk("1m");
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  test::write_file(disk.path("old.bmp"), Bytes{'o', 'l', 'd'});
  disk.make_read_only();
  o = encode(dir.path("s.bin"), disk.path("old.bmp"));
  EXPECT_EQ(o.status, Status::destination_failed);
  EXPECT_EQ(o.error, EROFS);
  EXPECT_EQ(test::read_file(disk.path("old.bmp")), (Bytes{'o', 'l', 'd'}));
}

TEST_F(Faults, SourceThatShrinksOrGrowsWhileReadIsRefused) {
  const std::string source = dir.path("moving.bin");
  const std::string destination = dir.path("moving.bmp");
  test::write_file(destination, Bytes{'o', 'l', 'd'});

  // The counter reaches row 2 while the first block is in hand: change the file then.
  test::write_file(source, test::sample_data(3 << 20));
  feedback.on_row = [&](int32_t row) {
    if (row == 2) {
      ASSERT_EQ(truncate(source.c_str(), 1000), 0);
    }
  };
  EXPECT_EQ(encode(source, destination).status, Status::source_changed);

  test::write_file(source, test::sample_data(3 << 20));
  feedback.on_row = [&](int32_t row) {
    if (row == 2) {
      ASSERT_EQ(truncate(source.c_str(), 5 << 20), 0);
    }
  };
  EXPECT_EQ(encode(source, destination).status, Status::source_changed);
  EXPECT_EQ(test::read_file(destination), (Bytes{'o', 'l', 'd'}));
}

TEST_F(Faults, LongAndNonAsciiNames) {
  // 49 characters, the most the dialog takes, and letters beyond ASCII.
  const std::string long_name = std::string(45, 'n') + ".pcx";
  ASSERT_EQ(long_name.size(), 49u);
  const std::string accented = "città_però_übergröße.bmp";
  const Bytes data = test::sample_data(1500);
  test::write_file(dir.path("sorgente è.bin"), data);
  for (const std::string& name : {long_name, accented}) {
    const run::Outcome o = encode(dir.path("sorgente è.bin"), dir.path(name));
    ASSERT_EQ(o.status, Status::done) << name;
    const test::Picture p = test::independent_read(dir.path(name));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), p.pixels.begin() + 1)) << name;
  }
}

TEST_F(Faults, DecoderOnAFullOrReadOnlyDiskKeepsTheOldFile) {
  const Bytes data = test::sample_data(2 << 20, 3);
  test::write_file(dir.path("s.bin"), data);
  ASSERT_EQ(encode(dir.path("s.bin"), dir.path("c.bmp")).status, Status::done);

  ASSERT_EQ(mkdir(dir.path("folder").c_str(), 0755), 0);
  run::Outcome o = decode(dir.path("c.bmp"), dir.path("folder"));
  EXPECT_EQ(o.status, Status::destination_failed);
  EXPECT_EQ(o.error, EISDIR);
  EXPECT_EQ(decode(dir.path("folder"), dir.path("out.bin")).status, Status::image_invalid);
  EXPECT_FALSE(test::file_exists(dir.path("out.bin")));

  SmallDisk disk("1m");
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  const Bytes old_file(300 * 1024, 'o');
  test::write_file(disk.path("old.bin"), old_file);
  o = decode(dir.path("c.bmp"), disk.path("old.bin"));
  EXPECT_EQ(o.status, Status::destination_failed);
  EXPECT_EQ(o.error, ENOSPC);
  EXPECT_EQ(test::read_file(disk.path("old.bin")), old_file);
  EXPECT_EQ(disk.entries(), 1u) << "a temporary was left behind";

  disk.make_read_only();
  o = decode(dir.path("c.bmp"), disk.path("old.bin"));
  EXPECT_EQ(o.status, Status::destination_failed);
  EXPECT_EQ(o.error, EROFS);
  EXPECT_EQ(test::read_file(disk.path("old.bin")), old_file);
}

TEST_F(Faults, NonAsciiNamesRoundTrip) {
  const Bytes data = test::sample_data(4000);
  test::write_file(dir.path("perché.bin"), data);
  ASSERT_EQ(encode(dir.path("perché.bin"), dir.path("ÀÉÎ.tga")).status, Status::done);
  ASSERT_EQ(decode(dir.path("ÀÉÎ.tga"), dir.path("però.bin")).status, Status::done);
  EXPECT_EQ(test::read_file(dir.path("però.bin")), data);
}

}  // namespace
