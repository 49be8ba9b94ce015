// Both conversions without a screen, as the programs run them: exact round trips over sizes,
// trailing zeros and containers (the carriers checked with other programs' readers), Esc at each
// point where it is tested, and one case per class of failure, each leaving every existing file
// as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

#include "carrier.h"
#include "decode.h"
#include "encode.h"
#include "formats.h"
#include "front_end.h"
#include "support.h"

namespace {

using run::Status;
using test::Bytes;

const Bytes keep{'k', 'e', 'e', 'p'};

class Convert : public ::testing::Test {
 protected:
  void SetUp() override { test::start_library(); }
  run::Outcome encode(const std::string& source, const std::string& destination) {
    return zororuzo::encode_file(source, destination, feedback);
  }
  run::Outcome decode(const std::string& source, const std::string& destination) {
    return devorudo::decode_file(source, destination, feedback);
  }
  // The cause of a failed save, or -1 for any other outcome.
  static int save_error(const run::Outcome& o) {
    return o.status == Status::destination_failed ? o.fault.error : -1;
  }
  // The carrier of `data`, named `name` in the test folder.
  std::string carrier_of(const Bytes& data, const std::string& name) {
    test::write_file(dir.path("source.bin"), data);
    test::RecordingFeedback quiet;
    EXPECT_EQ(zororuzo::encode_file(dir.path("source.bin"), dir.path(name), quiet).status,
              Status::done);
    return dir.path(name);
  }
  test::TempDir dir;
  test::RecordingFeedback feedback;
};

// Sample data of n bytes, then `zeros` zero bytes.
Bytes ending_in_zeros(size_t n, size_t zeros) {
  Bytes data = test::sample_data(n, static_cast<uint32_t>(n + zeros));
  data.resize(n + zeros);
  return data;
}

// n bytes from 0xC0 up, none the same as the one before.
Bytes lone_high_bytes(size_t n) {
  Bytes data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(0xC0 + i % 64);
  return data;
}

TEST_F(Convert, RoundTripsAreExactInEveryContainer) {
  const std::string archives = TESTS_DIR "/data/archives/";
  const struct {
    Bytes data;
    bool others;  // also read by ImageMagick, netpbm and the library's load_bitmap
  } cases[] = {
      {ending_in_zeros(0, 0), true},
      {ending_in_zeros(1, 0), false},
      {ending_in_zeros(1023, 0), false},
      {ending_in_zeros(1024, 0), false},
      {ending_in_zeros(1025, 0), false},
      {ending_in_zeros(3072, 0), false},
      {ending_in_zeros(70000, 0), true},
      {ending_in_zeros(2000, 1), false},
      {ending_in_zeros(2000, 1023), false},
      {ending_in_zeros(2000, 1024), false},
      {ending_in_zeros(2000, 1025), true},
      {ending_in_zeros(0, 1), false},
      {ending_in_zeros(0, 5000), true},
      {ending_in_zeros(3000, 2000), false},
      {lone_high_bytes(6000), false},              // the most a PCX row can take
      {lone_high_bytes((1 << 20) + 5000), false},  // PCX: 2 MiB, across its 1 MiB blocks
      {test::sample_data((1 << 20) + 5000, 3, false), false},  // what no container packs
      {test::read_file(archives + "made.zip"), false},
      {test::read_file(archives + "made.tar"), false},
  };
  for (const char* ext : {"bmp", "TGA", "pcx", "Png"}) {
    for (const auto& c : cases) {
      const size_t n = c.data.size();
      SCOPED_TRACE(std::string(ext) + " " + std::to_string(n) + " bytes");
      feedback.rows.clear();
      const std::string picture = carrier_of(c.data, std::string("carrier.") + ext);
      const test::Pixels p = test::independent_read(picture, c.others);
      EXPECT_TRUE(p.mode == "P" || p.mode == "L") << p.mode;  // the indices, or their greys
      ASSERT_EQ(p.w, 1024);
      ASSERT_EQ(p.h, static_cast<int>(n / 1024 + 1));
      Bytes expected(static_cast<size_t>(1024 * p.h));
      std::copy(c.data.begin(), c.data.end(), expected.begin() + 1);
      EXPECT_TRUE(p.pixels == expected) << "pixel 0 is 0, byte k at k + 1, zeros after";
      const Bytes file = test::read_file(picture);
      EXPECT_LE(file.size(), formats::most_bytes(*formats::container_for(picture), 1024, p.h));
      if (std::string(ext) == "pcx") {  // a reader of the header's 16 colours sees them too
        EXPECT_TRUE(std::equal(file.begin() + 16, file.begin() + 64, file.end() - 768));
      }
      if (c.others && std::string(ext) != "Png") {  // the library reads no PNG
        PALETTE ignored;
        const formats::Bitmap loaded(load_bitmap(picture.c_str(), ignored));
        ASSERT_TRUE(loaded && loaded->w == 1024 && loaded->h == p.h);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), loaded->line[0])) << "load_bitmap";
      }

      const run::Outcome o = decode(picture, dir.path("back.bin"));
      ASSERT_EQ(o.status, Status::done);
      EXPECT_FALSE(o.altered);
      EXPECT_EQ(test::read_file(dir.path("back.bin")), c.data);
      std::vector<int32_t> rows;
      for (int32_t r = 1; r <= p.h; ++r) rows.push_back(r);
      EXPECT_EQ(feedback.rows, rows) << "each row read shown once, in order";
    }
  }
}

// The notice after Esc counts what was kept of the whole, its digits grouped by thousands.
std::string stopped(const run::Outcome& o) { return front_end::notice_for(o).line3; }

TEST_F(Convert, EscStopsAfterTheByteInHand) {
  Bytes data = test::sample_data(5000);
  std::fill(data.begin() + 2040, data.begin() + 2048, 0);  // zeros up to the byte in hand below
  const std::string picture = carrier_of(data, "c.pcx");
  // Held from the start, the decoder stops before its scan: none. (The encoder's one byte, and
  // both programs over an existing file, are the end-to-end case escape_held.)
  feedback.escape = 1;
  EXPECT_EQ(stopped(decode(picture, dir.path("none.bin"))), "Interrotta: salvati 0 byte su 5.000.");
  EXPECT_TRUE(test::read_file(dir.path("none.bin")).empty());

  // Esc goes down as the counter reaches row 3: the byte in hand, the first of that row
  // (position 2048), is the last one written, the zeros before it with it.
  feedback.escape = 0;
  feedback.on_row = [this](int32_t row, int32_t) { feedback.escape = row == 3; };
  EXPECT_EQ(stopped(decode(picture, dir.path("part.bin"))),
            "Interrotta: salvati 2.048 byte su 5.000.");
  EXPECT_EQ(test::read_file(dir.path("part.bin")), Bytes(data.begin(), data.begin() + 2048));

  // The encoder at row 3 (a count with fewer digits than the whole's: the byte in hand, the
  // first of that row, is the last placed) and at row 2000, with the rows before already
  // compressed and written, over an existing file: the record, its room made for the whole
  // file, holds the part, and the rows after are 0.
  const Bytes big = test::sample_data(3 << 20);
  test::write_file(dir.path("source.bin"), big);
  for (const std::string ext : {"png", "tga", "bmp"}) {
    for (const auto& [row, line] : {std::pair{3, "2.048"}, {2000, "2.046.976"}}) {
      SCOPED_TRACE(ext + " " + line);
      test::write_file(dir.path("big." + ext), keep);
      feedback.on_row = [this, row = row](int32_t r, int32_t) { feedback.escape = r == row; };
      EXPECT_EQ(stopped(encode(dir.path("source.bin"), dir.path("big." + ext))),
                "Interrotta: salvati " + std::string(line) + " byte su 3.145.728.");
      feedback.on_row = nullptr;
      feedback.escape = 0;
      ASSERT_EQ(decode(dir.path("big." + ext), dir.path("big.bin")).status, Status::done);
      EXPECT_TRUE(test::read_file(dir.path("big.bin")) ==
                  Bytes(big.begin(), big.begin() + (row - 1) * 1024));
    }
  }
}

TEST_F(Convert, RefusalsTouchNoExistingFile) {
  const std::string source = carrier_of(test::sample_data(2000), "c.bmp");
  const std::string precious = dir.path("precious.bmp");
  test::write_file(precious, keep);
  ASSERT_EQ(link(source.c_str(), dir.path("same.bmp").c_str()), 0);
  ASSERT_EQ(symlink(source.c_str(), dir.path("also.bmp").c_str()), 0);
  ASSERT_EQ(mkdir(dir.path("folder.bmp").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.path("fifo.bmp").c_str(), 0644), 0);  // opened, it would wait for a peer
  ASSERT_EQ(symlink("loop.bmp", dir.path("loop.bmp").c_str()), 0);
  const Bytes picture = test::read_file(source);
  // Sparse sources, for the containers' height fields: the size is what counts.
  for (auto [name, size] : {std::pair{"64mib.bin", off_t{65535} * 1024},
                            {"65mib.bin", off_t{65536} * 1024},
                            {"4gib.bin", off_t{4194302} * 1024},
                            {"2tib.bin", off_t{formats::most_source_bytes()} + 1}}) {
    test::write_file(dir.path(name), {});
    ASSERT_EQ(truncate(dir.path(name).c_str(), size), 0);
  }
  const run::Fault special = run::defect(run::Defect::special), none{};
  const run::Fault enoent = run::system_fault(ENOENT), eisdir = run::system_fault(EISDIR);
  const std::string fifo = dir.path("fifo.bmp");
  const struct {
    bool encoder;
    std::string from, to;
    Status status;
    run::Fault fault;
  } cases[] = {
      {true, dir.path("missing.bin"), precious, Status::source_unreadable, enoent},
      {true, dir.dir(), precious, Status::source_unreadable, eisdir},
      {true, fifo, precious, Status::source_unreadable, special},
      {true, "/dev/zero", precious, Status::source_unreadable, special},
      {true, source, dir.path("out.jpg"), Status::format_unsupported, none},
      {true, source, dir.path("out.LBM"), Status::format_unsupported, none},
      {true, source, dir.path("same.bmp"), Status::same_file, none},
      {true, source, dir.path("folder.bmp"), Status::destination_failed, eisdir},
      {true, source, "/nonexistent-folder/x.bmp", Status::destination_failed, enoent},
      {true, source, fifo, Status::destination_failed, special},
      {true, source, dir.path("loop.bmp"), Status::destination_failed, run::system_fault(ELOOP)},
      {true, dir.path("64mib.bin"), dir.path("tall.tga"), Status::container_too_small, none},
      {true, dir.path("64mib.bin"), dir.path("tall.pcx"), Status::done, none},  // 65536 rows fit
      {true, dir.path("65mib.bin"), dir.path("taller.pcx"), Status::container_too_small, none},
      {true, dir.path("4gib.bin"), dir.path("huge.bmp"), Status::container_too_small, none},
      {true, dir.path("2tib.bin"), dir.path("huge.png"), Status::source_too_large, none},
      // The decoder opens the file (as the encoder does) before it looks at the extension.
      {false, dir.path("missing.bmp"), precious, Status::source_unreadable, enoent},
      {false, dir.path("missing.jpg"), precious, Status::source_unreadable, enoent},
      {false, dir.path("64mib.bin"), precious, Status::format_unsupported, none},
      {false, source, dir.path("also.bmp"), Status::same_file, none},
      {false, source, "/dev/full", Status::destination_failed, special},
      {false, source, fifo, Status::destination_failed, special},
      {false, source, "/dev/null", Status::done, none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    const run::Outcome o = c.encoder ? encode(c.from, c.to) : decode(c.from, c.to);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.fault.error, c.fault.error);
    EXPECT_EQ(o.fault.defect, c.fault.defect);
    EXPECT_EQ(front_end::notice_for(o).line3.empty(), c.status == Status::done)
        << "a refusal says why";
    if (c.status == Status::format_unsupported) {  // what each program takes
      EXPECT_EQ(front_end::notice_for(o).line1.find(".png o .lbm") != std::string::npos,
                !c.encoder);
    }
  }
  EXPECT_EQ(test::read_file(precious), keep);
  EXPECT_EQ(test::read_file(source), picture);
  for (const char* refused : {"out.jpg", "tall.tga", "taller.pcx", "huge.bmp", "huge.png"}) {
    EXPECT_FALSE(std::filesystem::exists(dir.path(refused))) << refused;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.path("fifo.bmp")));
  // A dangling link is written through, as the shell's > would: the link stays, its target is
  // made.
  ASSERT_EQ(symlink("made/there.bin", dir.path("dangling.bin").c_str()), 0);
  std::filesystem::create_directory(dir.path("made"));
  EXPECT_EQ(decode(source, dir.path("dangling.bin")).status, Status::done);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path("dangling.bin")));
  EXPECT_EQ(test::read_file(dir.path("made/there.bin")), test::sample_data(2000));
}

// A source that packs well makes a PNG far smaller than the other containers' carriers.
TEST_F(Convert, APngPacksWhatPacks) {
  test::write_file(dir.path("packs.bin"), Bytes(1 << 20, 'z'));
  ASSERT_EQ(encode(dir.path("packs.bin"), dir.path("packs.png")).status, Status::done);
  EXPECT_LT(std::filesystem::file_size(dir.path("packs.png")), 64u << 10);
}

// Runs `body` in a child process once `prepare` succeeds there; returns body's result.
int in_child(const std::function<bool()>& prepare, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(prepare() ? body() : 99);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

// As an ordinary user (nobody) when the tests run as root, for whom every file is writable.
bool ordinary_user() { return geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0); }

TEST_F(Convert, FullAndReadOnlyDisksKeepTheOldFileAndLeaveNoTemporary) {
  const Bytes noise = test::sample_data(2 << 20, 7, false);  // none can shrink them below 2 MiB
  const std::string picture = carrier_of(noise, "big.tga");
  // Every writer stopped at 512 KiB, on a carrier its output's buffer holds whole: BMP's rows
  // fail as they are placed, the others' when the record is put in at the end.
  test::write_file(dir.path("small.bin"), Bytes(noise.begin(), noise.begin() + (700 << 10)));
  for (const char* ext : {"bmp", "tga", "pcx", "png"}) {
    const std::string full = dir.path(std::string("full.") + ext);
    test::write_file(full, keep);
    const auto stop_at_512_kib = [] {  // writes past it fail with EFBIG
      const rlimit limit{512 << 10, RLIM_INFINITY};
      return signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
    const auto save = [&] { return save_error(encode(dir.path("small.bin"), full)); };
    EXPECT_EQ(in_child(stop_at_512_kib, save), EFBIG) << ext;
    EXPECT_EQ(test::read_file(full), keep);
  }
  // Disks with less room left than the 2 MiB asked for, then read-only: a 1 MiB tmpfs, and an
  // ext4 image filled but for 1 MiB (where a reservation that fails can leave the file grown,
  // which tmpfs never does). Mounting needs root (as in CI).
  const Bytes old(300 << 10, 'o');
  for (const std::string fs : {"tmpfs", "ext4"}) {
    SCOPED_TRACE(fs);
    test::TempDir disk;
    const std::string image = dir.path("ext4.img"), old_file = disk.path("old");
    const std::string old_picture = disk.path("old.pcx"), fill = disk.path("fill");
    if (fs == "tmpfs" ? mount("tmpfs", disk.dir().c_str(), "tmpfs", 0, "size=1m") != 0
                      : std::system(("truncate -s 16M " + image + " && mkfs.ext4 -q -F " + image +
                                     " >/dev/null 2>&1 && mount -o loop " + image + " " +
                                     disk.dir() + " 2>/dev/null")
                                        .c_str()) != 0) {
      GTEST_SKIP() << "no " << fs << " here (mounting needs root and a loop device)";
    }
    for (const std::string& name : {old_file, old_picture}) test::write_file(name, old);
    if (fs == "ext4") {
      const std::string filled =
          "dd if=/dev/zero of=" + fill + " bs=64k 2>/dev/null; " + "truncate -s -1M " + fill;
      ASSERT_EQ(std::system(filled.c_str()), 0);
    }
    const auto entries = [&] {
      return std::distance(std::filesystem::directory_iterator(disk.dir()), {});
    };
    const auto before = entries();
    EXPECT_EQ(save_error(encode(dir.path("source.bin"), old_file + ".png")), ENOSPC);
    EXPECT_EQ(save_error(decode(picture, old_file)), ENOSPC);
    EXPECT_EQ(entries(), before) << "a temporary was left";
    // In a folder that takes no new file, a file is rewritten in place: the room for all of it
    // is asked for before its first byte changes, and a file grown by the failed request is
    // cut back, so the notice says that nothing changed.
    ASSERT_EQ(chmod(old_file.c_str(), 0666) | chmod(old_picture.c_str(), 0666) |
                  chmod(disk.dir().c_str(), 0555) | chmod(dir.dir().c_str(), 0755) |
                  chmod(picture.c_str(), 0644) | chmod(dir.path("source.bin").c_str(), 0644),
              0);
    const auto in_place = [&](bool encoder) {
      return in_child(ordinary_user, [&] {
        const run::Outcome o =
            encoder ? encode(dir.path("source.bin"), old_picture) : decode(picture, old_file);
        return front_end::notice_for(o).line1 == "Impossibile salvare il file:" ? save_error(o) : 0;
      });
    };
    EXPECT_EQ(in_place(false), ENOSPC);
    EXPECT_EQ(in_place(true), ENOSPC);
    ASSERT_EQ(mount(nullptr, disk.dir().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(save_error(decode(picture, old_file)), EROFS);
    EXPECT_EQ(save_error(encode(dir.path("source.bin"), disk.path("new.bmp"))), EROFS);
    for (const std::string& name : {old_file, old_picture}) EXPECT_EQ(test::read_file(name), old);
    umount2(disk.dir().c_str(), MNT_DETACH);
  }
}

TEST_F(Convert, ASourceThatShrinksOrGrowsWhileReadIsRefused) {
  const std::string source = dir.path("moving.bin"), destination = dir.path("moving.bmp");
  test::write_file(destination, keep);
  for (off_t size : {off_t{1000}, off_t{5} << 20}) {
    test::write_file(source, test::sample_data(3 << 20));
    // The counter reaches row 2 while the first block is in hand: change the file then.
    feedback.on_row = [&](int32_t row, int32_t) {
      if (row == 2) {
        EXPECT_EQ(truncate(source.c_str(), size), 0);
      }
    };
    EXPECT_EQ(encode(source, destination).status, Status::source_changed) << size;
  }
  EXPECT_EQ(test::read_file(destination), keep);
}

// An address space that may grow by `extra` bytes past what it has: larger allocations fail.
bool memory_limit(rlim_t extra) {
  long pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  const bool read = statm && std::fscanf(statm, "%ld", &pages) == 1;
  if (statm) std::fclose(statm);
  if (!read) return false;
  const rlimit limit{static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + extra, RLIM_INFINITY};
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

TEST_F(Convert, WhatMemoryCannotHoldEndsInTheMemoryNotice) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
  // Pictures that ask for much memory (tests/data/memory), grown with zeros to `size` bytes.
  const struct {
    const char* name;
    off_t size;
    Status status;
  } cases[] = {
      {"rle-1x268435456.bmp", off_t{1} << 20, Status::done},  // 256 MiB never touched
      {"rle-32768x16384.bmp", off_t{2} << 20, Status::no_memory},
      {"rle32-16384x8192.tga", off_t{6} << 20, Status::no_memory},
      {"raw32-536870000x1.bmp", off_t{64} << 20, Status::image_invalid},  // before allocating
      {"rle-65536x32768.bmp", off_t{16} << 20, Status::image_invalid},    // past an int
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string from = dir.path(c.name), to = dir.path("kept.bin");
    test::write_file(from, test::read_file(TESTS_DIR "/data/memory/" + std::string(c.name)));
    ASSERT_EQ(truncate(from.c_str(), c.size), 0);
    test::write_file(to, keep);
    const int status = in_child([] { return memory_limit(rlim_t{320} << 20); },
                                [&] { return static_cast<int>(decode(from, to).status); });
    EXPECT_EQ(status, static_cast<int>(c.status));
    if (c.status != Status::done) {
      EXPECT_EQ(test::read_file(to), keep);
    }
  }
}

// Both conversions stream: 200 MiB round trips in 96 MiB of address space, and a file past
// 2 GiB (sparse, but for its ends) through BMP and PNG, where the disk has room for it twice.
TEST_F(Convert, LargeFilesRoundTripInLittleMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
  GTEST_SKIP() << "the sanitizers reserve more address space, and take minutes over gigabytes";
#endif
  const Bytes ends = test::sample_data(1 << 20);
  const auto round_trip = [&](const std::string& source, const std::string& carrier) {
    const std::string back = dir.path("back.bin");
    const int status = in_child(
        [] { return memory_limit(rlim_t{96} << 20); },
        [&] {
          const Status encoded = encode(source, carrier).status;
          return static_cast<int>(encoded == Status::done ? decode(carrier, back).status : encoded);
        });
    EXPECT_EQ(status, static_cast<int>(Status::done)) << carrier;
    EXPECT_EQ(std::system(("cmp -s " + source + " " + back).c_str()), 0) << carrier;
    std::filesystem::remove(carrier);
    std::filesystem::remove(back);
  };
  Bytes data = test::sample_data(200 << 20);
  data.resize(data.size() + 100);  // zeros at the end come back by the record
  test::write_file(dir.path("200mib.bin"), data);
  data = {};
  for (const char* ext : {"bmp", "png"}) round_trip(dir.path("200mib.bin"), dir.path("c.") + ext);

  // A carrier a tool turned into true colour streams too: 40 MiB as Pillow's 24-bit BMP (120 MiB
  // of pixels, more than the memory allowed).
  const std::string tc = dir.path("tc.bmp"), back = dir.path("back.bin");
  test::write_file(dir.path("40mib.bin"), test::sample_data(40 << 20));
  ASSERT_EQ(encode(dir.path("40mib.bin"), dir.path("c.bmp")).status, Status::done);
  ASSERT_EQ(
      std::system(("/usr/bin/python3 -c \"from PIL import Image; Image.MAX_IMAGE_PIXELS = None; "
                   "Image.open('" +
                   dir.path("c.bmp") + "').convert('RGB').save('" + tc + "')\"")
                      .c_str()),
      0);
  const int streamed = in_child([] { return memory_limit(rlim_t{96} << 20); },
                                [&] { return static_cast<int>(decode(tc, back).status); });
  EXPECT_EQ(streamed, static_cast<int>(Status::done));
  EXPECT_EQ(std::system(("cmp -s " + dir.path("40mib.bin") + " " + back).c_str()), 0);
  for (const char* name : {"tc.bmp", "c.bmp", "back.bin", "40mib.bin"}) {
    std::filesystem::remove(dir.path(name));
  }

  const off_t big = (off_t{5} << 29) + 12345;  // 2.5 GiB and a bit
  struct statvfs disk {};
  if (statvfs(dir.dir().c_str(), &disk) != 0 || off_t(disk.f_bavail * disk.f_frsize) < 3 * big) {
    GTEST_SKIP() << "no room on the disk for a file past 2 GiB, its carrier and its copy";
  }
  const std::string source = dir.path("big.bin");
  test::write_file(source, ends);
  const int fd = open(source.c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, ends.data(), ends.size(), big - static_cast<off_t>(ends.size()) - 7),
            static_cast<ssize_t>(ends.size()));
  ASSERT_EQ(ftruncate(fd, big), 0);  // and seven zeros at the end
  close(fd);
  for (const char* ext : {"bmp", "png"}) round_trip(source, dir.path("big.") + ext);
}

TEST_F(Convert, WhatTheUserProtectedIsKept) {
  const std::string picture = carrier_of(test::sample_data(3000), "c.png");
  ASSERT_EQ(chmod(dir.dir().c_str(), 0777) | chmod(picture.c_str(), 0644), 0);
  // A file the user may not write is refused as the shell would refuse it, not replaced.
  const std::string locked = dir.path("locked.bin");
  test::write_file(locked, keep);
  ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
  EXPECT_EQ(in_child(ordinary_user, [&] { return save_error(decode(picture, locked)); }), EACCES);
  EXPECT_EQ(test::read_file(locked), keep);
  // A file replaced keeps its mode.
  test::write_file(dir.path("mode.bin"), keep);
  ASSERT_EQ(chmod(dir.path("mode.bin").c_str(), 0604), 0);
  EXPECT_EQ(decode(picture, dir.path("mode.bin")).status, Status::done);
  EXPECT_EQ(std::filesystem::status(dir.path("mode.bin")).permissions(),
            std::filesystem::perms(0604));
  // A writable file in a folder that takes no temporary is written in place (every container,
  // both programs: tests/faults); with Esc held from the start, by either program, it is left as
  // it was.
  ASSERT_EQ(mkdir(dir.path("shut").c_str(), 0777), 0);
  const std::string open_file = dir.path("shut/open.bin"), open_picture = dir.path("shut/o.bmp");
  for (const std::string& name : {open_file, open_picture}) {
    test::write_file(name, Bytes(10000, 'o'));
    ASSERT_EQ(chmod(name.c_str(), 0666), 0);
  }
  // One the user may write but not read cannot be copied first, so it is not touched.
  const std::string unread = dir.path("shut/unread.bin");
  test::write_file(unread, keep);
  ASSERT_EQ(chmod(unread.c_str(), 0222) | chmod(dir.path("shut").c_str(), 0555), 0);
  EXPECT_EQ(
      in_child(ordinary_user,
               [&] {
                 return front_end::notice_for(decode(picture, unread)).line3 ==
                        "Impossibile farne una copia di riserva: il file non è stato toccato.";
               }),
      1);
  EXPECT_EQ(test::read_file(unread), keep);
  const auto write = [&] { return static_cast<int>(decode(picture, open_file).status); };
  const auto encode_over = [&] { return static_cast<int>(encode(picture, open_picture).status); };
  feedback.escape = 1;
  EXPECT_EQ(in_child(ordinary_user, write), static_cast<int>(Status::cancelled));
  EXPECT_EQ(in_child(ordinary_user, encode_over), static_cast<int>(Status::cancelled));
  for (const std::string& name : {open_file, open_picture}) {
    EXPECT_EQ(test::read_file(name), Bytes(10000, 'o'));
  }
}

}  // namespace
