#include "decode.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "carrier.h"
#include "encode.h"
#include "support.h"

namespace {

using run::Status;
using test::Bytes;

const char* const containers[] = {"bmp", "tga", "pcx", "png"};

class Decode : public ::testing::Test {
 protected:
  void SetUp() override {
    test::start_library();
    for (int i = 0; i < 256; ++i) pal[i] = RGB{static_cast<unsigned char>(i / 4), 0, 0, 0};
  }
  // Encodes `data` into a carrier named `carrier_name` in the test folder; returns its path.
  std::string carrier_of(const Bytes& data, const std::string& carrier_name) {
    const std::string source = dir.path("source.bin");
    test::write_file(source, data);
    test::RecordingFeedback quiet;
    const std::string path = dir.path(carrier_name);
    const run::Outcome o = zororuzo::encode_file(source, path, pal, quiet);
    EXPECT_EQ(o.status, Status::done) << carrier_name;
    return path;
  }
  run::Outcome decode(const std::string& source, const std::string& destination) {
    return devorudo::decode_file(source, destination, feedback);
  }

  test::TempDir dir;
  test::RecordingFeedback feedback;
  PALETTE pal;
};

Bytes without_trailing_zeros(Bytes data) {
  while (!data.empty() && data.back() == 0) data.pop_back();
  return data;
}

TEST_F(Decode, RoundTripsThroughBothConversionsInEveryContainer) {
  for (const char* ext : containers) {
    for (size_t n : {0, 1, 1023, 1024, 1025, 3 * 1024, 70000}) {
      SCOPED_TRACE(std::string(ext) + " " + std::to_string(n));
      const Bytes data = test::sample_data(n, static_cast<uint32_t>(n) + 7);
      const std::string picture = carrier_of(data, "carrier." + std::string(ext));
      feedback.rows.clear();
      feedback.totals.clear();
      const run::Outcome o = decode(picture, dir.path("back.bin"));
      ASSERT_EQ(o.status, Status::done);
      EXPECT_EQ(o.file, dir.path("back.bin"));
      EXPECT_EQ(test::read_file(dir.path("back.bin")), data);
      const int32_t h = carrier::carrier_rows(static_cast<int32_t>(n));
      if (n > 0) {
        // The counter climbs row by row to the last one.
        ASSERT_EQ(feedback.rows.size(), static_cast<size_t>(h));
        EXPECT_EQ(feedback.rows.front(), 1);
        EXPECT_EQ(feedback.rows.back(), h);
        EXPECT_EQ(feedback.totals.back(), h);
      }
    }
  }
}

TEST_F(Decode, TrailingZerosAndZeroLastRowsComeBackWithoutTheirZeros) {
  const Bytes body = test::sample_data(1023, 3);
  struct Case {
    const char* what;
    Bytes data;
  };
  const Case cases[] = {
      {"three trailing zeros", [&] { Bytes d = body; d.insert(d.end(), 3, 0); return d; }()},
      // A zero last row: the end is the last non-zero pixel of an earlier row.
      {"last row of zeros", [&] { Bytes d = body; d.insert(d.end(), 500, 0); return d; }()},
      {"two rows of zeros", [&] { Bytes d(body.begin(), body.begin() + 100); d.insert(d.end(), 2100, 0); return d; }()},
      {"zeros inside", [&] { Bytes d(2000, 0); d[0] = 0xC1; d[1999] = 9; return d; }()},
      {"only zeros", Bytes(1500, 0)},
  };
  for (const Case& c : cases) {
    for (const char* ext : containers) {
      SCOPED_TRACE(std::string(c.what) + " " + ext);
      const std::string picture = carrier_of(c.data, std::string("z.") + ext);
      ASSERT_EQ(decode(picture, dir.path("back.bin")).status, Status::done);
      EXPECT_EQ(test::read_file(dir.path("back.bin")), without_trailing_zeros(c.data));
    }
  }
}

TEST_F(Decode, PicturesFromAnotherWriterDecodeByTheEndRule) {
  for (int w : {512, 1000}) {
    test::Picture p;
    p.w = w;
    p.h = 3;
    p.mode = "P";
    p.pixels = test::sample_data(size_t(w) * 3, static_cast<uint32_t>(w));
    // Last row: its last pixel above 0 at column w / 2.
    std::fill(p.pixels.begin() + 2 * w + w / 2 + 1, p.pixels.end(), 0);
    p.pixels[2 * w + w / 2] = 0xC7;
    // A zero last row: the end falls back to the last pixel above 0, column 10 of row 1.
    test::Picture q = p;
    std::fill(q.pixels.begin() + w + 11, q.pixels.end(), 0);
    q.pixels[w + 10] = 0xFF;
    for (const char* format : {"BMP", "TGA", "PCX", "PNG"}) {
      SCOPED_TRACE(std::string(format) + " " + std::to_string(w));
      std::string ext = format;
      for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      test::independent_write(dir.path("p." + ext), p, format);
      ASSERT_EQ(decode(dir.path("p." + ext), dir.path("p.bin")).status, Status::done);
      EXPECT_EQ(test::read_file(dir.path("p.bin")),
                Bytes(p.pixels.begin() + 1, p.pixels.begin() + 2 * w + w / 2 + 1));
      EXPECT_EQ(feedback.totals.back(), 3);

      test::independent_write(dir.path("q." + ext), q, format);
      ASSERT_EQ(decode(dir.path("q." + ext), dir.path("q.bin")).status, Status::done);
      EXPECT_EQ(test::read_file(dir.path("q.bin")),
                Bytes(q.pixels.begin() + 1, q.pixels.begin() + w + 11));
    }
  }
}

TEST_F(Decode, OneColumnAndOnePixelPicturesStayInsideTheImage) {
  test::Picture column;
  column.w = 1;
  column.h = 4;
  column.pixels = {5, 6, 7, 8};  // position 0 (the 5) carries nothing
  test::independent_write(dir.path("column.bmp"), column, "BMP");
  ASSERT_EQ(decode(dir.path("column.bmp"), dir.path("c.bin")).status, Status::done);
  EXPECT_EQ(test::read_file(dir.path("c.bin")), (Bytes{6, 7, 8}));
  EXPECT_EQ(feedback.rows, (std::vector<int32_t>{2, 3, 4}));

  test::Picture dot;
  dot.w = dot.h = 1;
  dot.pixels = {200};
  test::independent_write(dir.path("dot.tga"), dot, "TGA");
  ASSERT_EQ(decode(dir.path("dot.tga"), dir.path("d.bin")).status, Status::done);
  EXPECT_TRUE(test::read_file(dir.path("d.bin")).empty());
}

TEST_F(Decode, PicturesWithMoreThanEightBitsStillLoad) {
  // A 24-bit BMP of pure grey levels: the library brings it to 8 bits, and the walk writes
  // whatever indices that gives, the right count of them.
  const std::string path = dir.path("rgb.bmp");
  const std::string script =
      "import sys\nfrom PIL import Image\n"
      "im = Image.new(\"RGB\", (16, 2), (255, 255, 255))\nim.save(sys.argv[1])\n";
  ASSERT_EQ(std::system(("/usr/bin/python3 -c '" + script + "' '" + path + "'").c_str()), 0);
  ASSERT_EQ(decode(path, dir.path("rgb.bin")).status, Status::done);
  const Bytes out = test::read_file(dir.path("rgb.bin"));
  EXPECT_EQ(out.size(), 16u * 2 - 1);
  EXPECT_NE(out.back(), 0);
}

TEST_F(Decode, EscBeforeTheScanLeavesAnEmptyDestination) {
  const std::string picture = carrier_of(test::sample_data(5000), "c.pcx");
  const std::string destination = dir.path("out.bin");
  test::write_file(destination, Bytes{'o', 'l', 'd'});
  feedback.escape = 1;
  const run::Outcome o = decode(picture, destination);
  EXPECT_EQ(o.status, Status::stopped);
  EXPECT_EQ(run::notice_for(o).line1, "Immagine terminata e salvata come:");
  EXPECT_TRUE(test::read_file(destination).empty());
  EXPECT_TRUE(feedback.rows.empty());
}

TEST_F(Decode, EscDuringTheWalkKeepsWhatWasWritten) {
  const Bytes data = test::sample_data(5000);
  const std::string picture = carrier_of(data, "c.bmp");
  // Esc goes down as the counter reaches row 3: the byte in hand, the first of that row
  // (position 2048), is the last one written.
  feedback.on_row = [this](int32_t row) {
    if (row == 3) feedback.escape = 1;
  };
  EXPECT_EQ(decode(picture, dir.path("part.bin")).status, Status::stopped);
  EXPECT_EQ(test::read_file(dir.path("part.bin")), Bytes(data.begin(), data.begin() + 2048));
}

TEST_F(Decode, UnreadablePicturesLeaveTheDestinationAlone) {
  const Bytes keep{'k', 'e', 'e', 'p'};
  const std::string destination = dir.path("precious.bin");
  test::write_file(destination, keep);
  const Bytes data = test::sample_data(20000);

  std::vector<std::string> bad;
  for (const char* ext : containers) {
    // Cut short: the last rows (or PNG's last chunks) are missing.
    Bytes cut = test::read_file(carrier_of(data, std::string("whole.") + ext));
    cut.resize(cut.size() - 1500);
    bad.push_back(dir.path(std::string("cut.") + ext));
    test::write_file(bad.back(), cut);
    // Not a picture at all.
    bad.push_back(dir.path(std::string("text.") + ext));
    test::write_file(bad.back(), Bytes(300, 'x'));
  }
  // A TGA colour map of 300 entries, which would overflow the loader's table.
  Bytes tga = test::read_file(carrier_of(data, "map.tga"));
  tga[5] = 300 & 0xFF;
  tga[6] = 300 >> 8;
  bad.push_back(dir.path("map.tga"));
  test::write_file(bad.back(), tga);
  // A BMP whose width times height overflows an int.
  Bytes bmp = test::read_file(carrier_of(data, "huge.bmp"));
  bmp[20] = 1;  // width 0x10400
  bmp[24] = 1;  // height 0x10000 + 20
  bad.push_back(dir.path("huge.bmp"));
  test::write_file(bad.back(), bmp);
  // An empty file and a picture with an unknown extension.
  bad.push_back(dir.path("empty.bmp"));
  test::write_file(bad.back(), {});
  bad.push_back(dir.path("carrier.jpg"));
  test::write_file(bad.back(), test::read_file(carrier_of(data, "x.bmp")));

  for (const std::string& source : bad) {
    const run::Outcome o = decode(source, destination);
    EXPECT_EQ(o.status, Status::image_invalid) << source;
    EXPECT_EQ(o.file, source);
    EXPECT_EQ(run::notice_for(o).line1, "Impossibile leggere l'immagine:");
  }
  for (const std::string& source : {dir.path("missing.bmp"), dir.dir()}) {
    const run::Outcome o = decode(source, destination);
    EXPECT_EQ(o.status, Status::image_invalid) << source;
    EXPECT_NE(o.error, 0) << source;
  }
  EXPECT_EQ(test::read_file(destination), keep);
  EXPECT_FALSE(test::file_exists(dir.path("missing.bin")));
}

TEST_F(Decode, FailedWritesAreReported) {
  const std::string picture = carrier_of(test::sample_data(3000), "c.tga");
  run::Outcome o = decode(picture, "/dev/full");
  EXPECT_EQ(o.status, Status::destination_failed);
  EXPECT_EQ(o.error, ENOSPC);
  EXPECT_EQ(o.file, "/dev/full");

  o = decode(picture, "/nonexistent-folder/out.bin");
  EXPECT_EQ(o.status, Status::destination_failed);
  EXPECT_EQ(o.error, ENOENT);
}

TEST_F(Decode, TheLowerLayersWorkOnBytesInMemory) {
  const Bytes data = test::sample_data(4000);
  const Bytes file = test::read_file(carrier_of(data, "m.png"));
  run::Outcome refused;
  devorudo::Bitmap bmp =
      devorudo::load_picture(file.data(), file.size(), carrier::Container::png, "m", refused);
  ASSERT_TRUE(bmp);
  Bytes out;
  devorudo::VectorSink sink(out);
  const devorudo::Walk walk = devorudo::walk_picture(bmp.get(), sink, feedback);
  EXPECT_FALSE(walk.escaped);
  EXPECT_EQ(walk.bytes, 4000);
  EXPECT_EQ(out, data);

  // The same bytes offered as another container are refused before any loader runs.
  EXPECT_FALSE(
      devorudo::load_picture(file.data(), file.size(), carrier::Container::bmp, "m", refused));
  EXPECT_EQ(refused.status, Status::image_invalid);
  EXPECT_EQ(refused.file, "m");
}

}  // namespace
