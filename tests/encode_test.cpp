#include "encode.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "carrier.h"
#include "support.h"

namespace {

using run::Status;
using test::Bytes;

class Encode : public ::testing::Test {
 protected:
  void SetUp() override {
    test::start_library();
    for (int i = 0; i < 256; ++i) pal[i] = RGB{static_cast<unsigned char>(i / 4), 0, 0, 0};
  }
  run::Outcome encode(const std::string& source, const std::string& destination) {
    return zororuzo::encode_file(source, destination, pal, feedback);
  }
  // Checks a carrier of `data` with the independent reader.
  void expect_carrier(const std::string& path, const Bytes& data, size_t placed) {
    const test::Picture p = test::independent_read(path);
    ASSERT_EQ(p.mode, "P") << path;
    ASSERT_EQ(p.w, 1024) << path;
    ASSERT_EQ(p.h, static_cast<int>(data.size() / 1024 + 1)) << path;
    ASSERT_EQ(p.pixels.size(), size_t{1024} * p.h);
    EXPECT_EQ(p.pixels[0], 0) << path;
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<long>(placed),
                           p.pixels.begin() + 1))
        << path;
    EXPECT_TRUE(std::all_of(p.pixels.begin() + 1 + static_cast<long>(placed), p.pixels.end(),
                            [](unsigned char v) { return v == 0; }))
        << path;
  }

  test::TempDir dir;
  PALETTE pal;
  test::RecordingFeedback feedback;
};

TEST_F(Encode, EveryContainerAtTheBoundarySizes) {
  for (const char* ext : {"bmp", "tga", "pcx", "png"}) {
    for (size_t n : {0, 1, 1023, 1024, 1025, 3 * 1024, 70000}) {
      SCOPED_TRACE(std::string(ext) + " " + std::to_string(n));
      const Bytes data = test::sample_data(n, static_cast<uint32_t>(n));
      const std::string source = dir.path("source.bin");
      const std::string carrier = dir.path("carrier." + std::string(ext));
      test::write_file(source, data);
      feedback.rows.clear();
      const run::Outcome o = encode(source, carrier);
      ASSERT_EQ(o.status, Status::done);
      EXPECT_EQ(o.file, carrier);
      EXPECT_FALSE(o.trailing_zeros);
      expect_carrier(carrier, data, n);
      // The counter shows each row once, in order.
      const int32_t h = carrier::carrier_rows(static_cast<int32_t>(n));
      std::vector<int32_t> expected_rows;
      for (int32_t r = 1; n > 0 && r <= h; ++r) expected_rows.push_back(r);
      EXPECT_EQ(feedback.rows, expected_rows);
    }
  }
}

TEST_F(Encode, UpperCaseExtensionAndTrailingZeroWarning) {
  Bytes data = test::sample_data(5000);
  data.push_back(0);
  data.push_back(0);
  test::write_file(dir.path("z.bin"), data);
  const run::Outcome o = encode(dir.path("z.bin"), dir.path("Z.BMP"));
  ASSERT_EQ(o.status, Status::done);
  EXPECT_TRUE(o.trailing_zeros);
  expect_carrier(dir.path("Z.BMP"), data, data.size());
}

TEST_F(Encode, EscHeldAtTheStartPlacesExactlyOneByte) {
  const Bytes data = test::sample_data(3000);
  test::write_file(dir.path("s.bin"), data);
  feedback.escape = 1;
  const run::Outcome o = encode(dir.path("s.bin"), dir.path("one.pcx"));
  EXPECT_EQ(o.status, Status::stopped);
  expect_carrier(dir.path("one.pcx"), data, 1);

  // An empty source places nothing and still saves its one-row carrier.
  test::write_file(dir.path("empty.bin"), {});
  EXPECT_EQ(encode(dir.path("empty.bin"), dir.path("empty.tga")).status, Status::done);
  expect_carrier(dir.path("empty.tga"), {}, 0);
}

TEST_F(Encode, EscDuringTheRunKeepsWhatWasPlaced) {
  const Bytes data = test::sample_data(5000);
  test::write_file(dir.path("s.bin"), data);
  // Esc goes down as the counter reaches row 3: the byte in hand, the first of that row, is
  // the last one placed.
  feedback.on_row = [this](int32_t row) {
    if (row == 3) feedback.escape = 1;
  };
  EXPECT_EQ(encode(dir.path("s.bin"), dir.path("part.bmp")).status, Status::stopped);
  expect_carrier(dir.path("part.bmp"), data, 2 * 1024);
}

TEST_F(Encode, RefusalsWriteNothingAndKeepAnExistingDestination) {
  const std::string destination = dir.path("precious.bmp");
  test::write_file(destination, Bytes{'k', 'e', 'e', 'p'});
  test::write_file(dir.path("ok.bin"), test::sample_data(10));

  EXPECT_EQ(encode(dir.path("missing.bin"), destination).status, Status::source_unreadable);
  EXPECT_EQ(encode(dir.dir(), destination).status, Status::source_unreadable);
  EXPECT_EQ(encode(dir.path("ok.bin"), dir.path("out.jpg")).status, Status::format_unsupported);
  EXPECT_EQ(encode(dir.path("ok.bin"), dir.path("File destinazione! (nome.bmp,nome.tga,nome.pcx,)"))
                .status,
            Status::format_unsupported);
  EXPECT_FALSE(test::file_exists(dir.path("out.jpg")));
  EXPECT_EQ(test::read_file(destination), (Bytes{'k', 'e', 'e', 'p'}));
}

TEST_F(Encode, ContainersRefuseWhatTheirHeightFieldCannotHold) {
  // Sparse sources: the size is what counts, reading them is quick.
  const std::string tall = dir.path("tall.bin");
  ASSERT_EQ(truncate((test::write_file(tall, {}), tall.c_str()), off_t{65535} * 1024), 0);
  run::Outcome o = encode(tall, dir.path("tall.tga"));
  EXPECT_EQ(o.status, Status::container_too_small);
  EXPECT_EQ(o.rows, 65536);
  EXPECT_EQ(o.max_rows, 65535);
  EXPECT_FALSE(test::file_exists(dir.path("tall.tga")));

  // 65536 rows still fit PCX, whose field holds the last row's index. A sparse source ends in
  // zeros: its last bytes are the warning's case.
  o = encode(tall, dir.path("tall.pcx"));
  ASSERT_EQ(o.status, Status::done);
  EXPECT_TRUE(o.trailing_zeros);
  const Bytes header = test::read_file(dir.path("tall.pcx"));
  ASSERT_GE(header.size(), 128u);
  EXPECT_EQ(header[10] | header[11] << 8, 65535);  // ymax

  ASSERT_EQ(truncate(tall.c_str(), off_t{65536} * 1024), 0);
  EXPECT_EQ(encode(tall, dir.path("taller.pcx")).status, Status::container_too_small);

  ASSERT_EQ(truncate(tall.c_str(), carrier::max_source_bytes + 1), 0);
  EXPECT_EQ(encode(tall, dir.path("huge.bmp")).status, Status::source_too_large);
  EXPECT_FALSE(test::file_exists(dir.path("huge.bmp")));
}

TEST_F(Encode, FailedSavesAreReported) {
  test::write_file(dir.path("s.bin"), test::sample_data(2000));
  // A full disk: a name with the right extension that leads to /dev/full, for each writer.
  for (const char* ext : {"bmp", "tga", "pcx", "png"}) {
    const std::string full = dir.path(std::string("full.") + ext);
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    const run::Outcome o = encode(dir.path("s.bin"), full);
    EXPECT_EQ(o.status, Status::destination_failed) << ext;
    // loadpng's last flush fails silently: the short file is caught, but not its cause.
    EXPECT_EQ(o.error, std::string(ext) == "png" ? EIO : ENOSPC) << ext;
  }
  for (const char* destination : {"/nonexistent-folder/x.bmp", "/proc/x.tga"}) {
    const run::Outcome o = encode(dir.path("s.bin"), destination);
    EXPECT_EQ(o.status, Status::destination_failed) << destination;
    EXPECT_NE(o.error, 0) << destination;
  }
  EXPECT_EQ(encode(dir.path("s.bin"), dir.dir() + "/").status, Status::format_unsupported);
}

}  // namespace
