// Both conversions without a screen, as the programs run them: round trips over sizes and
// containers (the carriers checked with an independent reader), Esc at each point where it is
// tested, and one test per class of failure, each leaving every existing file as it was.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <random>

#include "carrier.h"
#include "decode.h"
#include "encode.h"
#include "support.h"

namespace {

using run::Status;
using test::Bytes;

const Bytes keep{'k', 'e', 'e', 'p'};

class Convert : public ::testing::Test {
 protected:
  void SetUp() override {
    test::start_library();
    for (int i = 0; i < 256; ++i) pal[i] = RGB{uint8_t(i / 4), uint8_t(i * 7 % 64), uint8_t(63 - i / 4), 0};
  }
  run::Outcome encode(const std::string& source, const std::string& destination) {
    return zororuzo::encode_file(source, destination, pal, feedback);
  }
  run::Outcome decode(const std::string& source, const std::string& destination) {
    return devorudo::decode_file(source, destination, feedback);
  }
  // The carrier of `data`, named `name` in the test folder.
  std::string carrier_of(const Bytes& data, const std::string& name) {
    test::write_file(dir.path("source.bin"), data);
    test::RecordingFeedback quiet;
    EXPECT_EQ(zororuzo::encode_file(dir.path("source.bin"), dir.path(name), pal, quiet).status,
              Status::done);
    return dir.path(name);
  }
  test::TempDir dir;
  test::RecordingFeedback feedback;
  PALETTE pal;
};

TEST_F(Convert, RoundTripsEveryContainerAtTheBoundarySizes) {
  for (const char* ext : {"bmp", "tga", "pcx", "png"}) {
    for (size_t n : {0, 1, 1023, 1024, 1025, 3 * 1024, 70000}) {
      SCOPED_TRACE(std::string(ext) + " " + std::to_string(n));
      const Bytes data = test::sample_data(n, static_cast<uint32_t>(n) + 7);
      test::write_file(dir.path("in.bin"), data);
      feedback.rows.clear();
      const std::string picture = dir.path(std::string("carrier.") + ext);
      ASSERT_EQ(encode(dir.path("in.bin"), picture).status, Status::done);
      const int32_t h = static_cast<int32_t>(n / 1024 + 1);
      std::vector<int32_t> rows;
      for (int32_t r = 1; r <= h && n > 0; ++r) rows.push_back(r);
      EXPECT_EQ(feedback.rows, rows) << "each row shown once, in order";

      const test::Picture p = test::independent_read(picture);
      ASSERT_EQ(p.w, 1024);
      ASSERT_EQ(p.h, h);
      Bytes expected(static_cast<size_t>(1024 * h));
      std::copy(data.begin(), data.end(), expected.begin() + 1);
      EXPECT_TRUE(p.pixels == expected) << "pixel 0 is 0, byte k at k + 1, zeros after";

      ASSERT_EQ(decode(picture, dir.path("back.bin")).status, Status::done);
      EXPECT_EQ(test::read_file(dir.path("back.bin")), data);
    }
  }
}

TEST_F(Convert, TrailingZerosAreLostAndWarnedOf) {
  Bytes data = test::sample_data(3000);
  data.resize(5000);  // the last row of bytes is all 0: the end is found in an earlier row
  const run::Outcome o = encode((test::write_file(dir.path("z.bin"), data), dir.path("z.bin")),
                                dir.path("z.tga"));
  EXPECT_TRUE(o.trailing_zeros);
  ASSERT_EQ(decode(dir.path("z.tga"), dir.path("z.out")).status, Status::done);
  EXPECT_EQ(test::read_file(dir.path("z.out")), Bytes(data.begin(), data.begin() + 3000));
}

TEST_F(Convert, EscStopsAfterTheByteInHand) {
  const Bytes data = test::sample_data(5000);
  test::write_file(dir.path("s.bin"), data);
  feedback.escape = 1;  // held from the start: the encoder places exactly one byte
  EXPECT_EQ(encode(dir.path("s.bin"), dir.path("one.bmp")).status, Status::stopped);
  Bytes expected(5 * 1024);
  expected[1] = data[0];
  EXPECT_TRUE(test::independent_read(dir.path("one.bmp")).pixels == expected);
  // The decoder, with Esc held before its scan, writes nothing.
  test::write_file(dir.path("out.bin"), keep);
  EXPECT_EQ(decode(carrier_of(data, "c.pcx"), dir.path("out.bin")).status, Status::stopped);
  EXPECT_TRUE(test::read_file(dir.path("out.bin")).empty());

  // Esc goes down as the counter reaches row 3: the byte in hand, the first of that row
  // (position 2048), is the last one placed or written.
  feedback.escape = 0;
  feedback.on_row = [this](int32_t row) { feedback.escape = row == 3; };
  EXPECT_EQ(encode(dir.path("s.bin"), dir.path("part.bmp")).status, Status::stopped);
  const Bytes part = test::independent_read(dir.path("part.bmp")).pixels;
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 2048, part.begin() + 1));
  EXPECT_EQ(part[2049], 0);
  feedback.escape = 0;
  EXPECT_EQ(decode(dir.path("c.pcx"), dir.path("part.bin")).status, Status::stopped);
  EXPECT_EQ(test::read_file(dir.path("part.bin")), Bytes(data.begin(), data.begin() + 2048));
}

TEST_F(Convert, RefusalsTouchNoExistingFile) {
  const std::string source = carrier_of(test::sample_data(2000), "c.bmp");
  const std::string precious = dir.path("precious.bmp");
  test::write_file(precious, keep);
  ASSERT_EQ(link(source.c_str(), dir.path("same.bmp").c_str()), 0);
  ASSERT_EQ(symlink(source.c_str(), dir.path("also.bmp").c_str()), 0);
  ASSERT_EQ(mkdir(dir.path("folder.bmp").c_str(), 0755), 0);
  const Bytes picture = test::read_file(source);
  const struct Case {
    bool encoder;
    std::string from, to;
    Status status;
    int error;
  } cases[] = {
      {true, dir.path("missing.bin"), precious, Status::source_unreadable, ENOENT},
      {true, dir.dir(), precious, Status::source_unreadable, EISDIR},
      {true, source, dir.path("out.jpg"), Status::format_unsupported, 0},
      {true, source, dir.path("same.bmp"), Status::same_file, 0},
      {true, source, dir.path("folder.bmp"), Status::destination_failed, EISDIR},
      {true, source, "/nonexistent-folder/x.bmp", Status::destination_failed, ENOENT},
      {false, dir.path("missing.bmp"), precious, Status::image_invalid, ENOENT},
      {false, dir.path("folder.bmp"), precious, Status::image_invalid, EISDIR},
      {false, dir.path("c.lbm"), precious, Status::format_unsupported, 0},
      {false, source, dir.path("also.bmp"), Status::same_file, 0},
      {false, source, dir.path("folder.bmp"), Status::destination_failed, EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    const run::Outcome o = c.encoder ? encode(c.from, c.to) : decode(c.from, c.to);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.error, c.error);
  }
  EXPECT_EQ(test::read_file(precious), keep);
  EXPECT_EQ(test::read_file(source), picture);
  EXPECT_FALSE(test::file_exists(dir.path("out.jpg")));
}

// A small tmpfs, to fill up or to make read-only. Needs root (as in CI); skipped otherwise.
class SmallDisk {
 public:
  SmallDisk() { mounted_ = mount("tmpfs", dir_.dir().c_str(), "tmpfs", 0, "size=1m") == 0; }
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
      while (readdir(d)) ++n;
      closedir(d);
    }
    return n - 2;
  }

 private:
  test::TempDir dir_;
  bool mounted_ = false;
};

TEST_F(Convert, FullAndReadOnlyDisksKeepTheOldFileAndLeaveNoTemporary) {
  // Random bytes do not compress: every container needs about 2 MiB for them.
  Bytes noise(2 << 20, 1);
  std::mt19937 random(7);
  for (size_t i = 0; i + 1 < noise.size(); ++i) noise[i] = static_cast<unsigned char>(random());
  test::write_file(dir.path("big.bin"), noise);
  const std::string picture = carrier_of(noise, "big.tga");
  for (const char* ext : {"bmp", "tga", "pcx", "png"}) {  // every writer, on a full device
    const std::string full = dir.path(std::string("full.") + ext);
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    const run::Outcome o = encode(dir.path("big.bin"), full);
    EXPECT_EQ(o.status, Status::destination_failed) << ext;
    EXPECT_EQ(o.error, ENOSPC) << ext;
  }
  EXPECT_EQ(decode(picture, "/dev/full").error, ENOSPC);

  SmallDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  const Bytes old_file(300 * 1024, 'o');
  for (const char* name : {"old.bmp", "old.png", "old.bin"}) {
    SCOPED_TRACE(name);
    test::write_file(disk.path(name), old_file);
    const bool encoder = std::string(name) != "old.bin";
    const run::Outcome o = encoder ? encode(dir.path("big.bin"), disk.path(name))
                                   : decode(picture, disk.path(name));
    EXPECT_EQ(o.status, Status::destination_failed);
    EXPECT_EQ(o.error, ENOSPC);
    EXPECT_EQ(test::read_file(disk.path(name)), old_file);
    EXPECT_EQ(disk.entries(), 1u) << "a temporary was left behind";
    unlink(disk.path(name).c_str());
  }
  test::write_file(disk.path("old.bin"), old_file);
  disk.make_read_only();
  EXPECT_EQ(decode(picture, disk.path("old.bin")).error, EROFS);
  EXPECT_EQ(encode(dir.path("big.bin"), disk.path("new.bmp")).error, EROFS);
  EXPECT_EQ(test::read_file(disk.path("old.bin")), old_file);
}

TEST_F(Convert, ASourceThatShrinksOrGrowsWhileReadIsRefused) {
  const std::string source = dir.path("moving.bin"), destination = dir.path("moving.bmp");
  test::write_file(destination, keep);
  for (off_t size : {off_t{1000}, off_t{5} << 20}) {
    test::write_file(source, test::sample_data(3 << 20));
    // The counter reaches row 2 while the first block is in hand: change the file then.
    feedback.on_row = [&](int32_t row) {
      if (row == 2) {
        ASSERT_EQ(truncate(source.c_str(), size), 0);
      }
    };
    EXPECT_EQ(encode(source, destination).status, Status::source_changed) << size;
  }
  EXPECT_EQ(test::read_file(destination), keep);
}

// Runs `body` as an ordinary user (nobody) when the tests run as root, for whom every file is
// writable; returns its result.
int as_ordinary_user(const std::function<int()>& body) {
  if (geteuid() != 0) return body();
  const pid_t child = fork();
  if (child == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 ? body() : 99);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(Convert, WhatTheUserProtectedIsKept) {
  const std::string picture = carrier_of(test::sample_data(3000), "c.png");
  ASSERT_EQ(chmod(dir.dir().c_str(), 0777), 0);
  ASSERT_EQ(chmod(picture.c_str(), 0644), 0);
  // A file the user may not write is refused as the shell would refuse it, not replaced.
  const std::string locked = dir.path("locked.bin");
  test::write_file(locked, keep);
  ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
  EXPECT_EQ(as_ordinary_user([&] { return decode(picture, locked).error; }), EACCES);
  EXPECT_EQ(test::read_file(locked), keep);
  // A writable file in a folder that takes no temporary is written in place.
  ASSERT_EQ(mkdir(dir.path("shut").c_str(), 0777), 0);
  const std::string open_file = dir.path("shut/open.bin");
  test::write_file(open_file, Bytes(10000, 'o'));
  ASSERT_EQ(chmod(open_file.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.path("shut").c_str(), 0555), 0);
  EXPECT_EQ(as_ordinary_user([&] { return static_cast<int>(decode(picture, open_file).status); }),
            static_cast<int>(Status::done));
  EXPECT_EQ(test::read_file(open_file), test::sample_data(3000));
}

TEST_F(Convert, ContainersRefuseWhatTheirHeightFieldCannotHold) {
  // Sparse sources: the size is what counts, reading them is quick.
  const std::string tall = dir.path("tall.bin");
  test::write_file(tall, {});
  ASSERT_EQ(truncate(tall.c_str(), off_t{65535} * 1024), 0);
  run::Outcome o = encode(tall, dir.path("tall.tga"));
  EXPECT_EQ(o.status, Status::container_too_small);
  EXPECT_EQ(o.rows, 65536);
  // 65536 rows still fit PCX, whose field holds the last row's index.
  EXPECT_EQ(encode(tall, dir.path("tall.pcx")).status, Status::done);
  ASSERT_EQ(truncate(tall.c_str(), off_t{65536} * 1024), 0);
  EXPECT_EQ(encode(tall, dir.path("taller.pcx")).status, Status::container_too_small);
  ASSERT_EQ(truncate(tall.c_str(), carrier::max_source_bytes + 1), 0);
  EXPECT_EQ(encode(tall, dir.path("huge.bmp")).status, Status::source_too_large);
  EXPECT_FALSE(test::file_exists(dir.path("tall.tga")) || test::file_exists(dir.path("huge.bmp")));
}

}  // namespace
