#include "carrier.h"

#include <gtest/gtest.h>

#include <vector>

#include "run.h"

namespace {

using carrier::Container;

TEST(CarrierRows, BoundarySizes) {
  EXPECT_EQ(carrier::carrier_rows(0), 1);
  EXPECT_EQ(carrier::carrier_rows(1), 1);
  EXPECT_EQ(carrier::carrier_rows(1023), 1);
  EXPECT_EQ(carrier::carrier_rows(1024), 2);
  EXPECT_EQ(carrier::carrier_rows(1025), 2);
  EXPECT_EQ(carrier::carrier_rows(3 * 1024 + 5), 4);
  // The largest source still fits the library's int-sized picture.
  const auto largest = static_cast<int32_t>(carrier::max_source_bytes);
  EXPECT_EQ(carrier::carrier_rows(largest), carrier::max_rows);
  EXPECT_LE(int64_t{carrier::carrier_rows(largest)} * carrier::width, INT32_MAX);
}

TEST(CarrierRows, LastByteAlwaysInLastRow) {
  for (int32_t n : {1, 1023, 1024, 1025, 2047, 2048, 65535 * 1024 - 1}) {
    const int32_t h = carrier::carrier_rows(n);
    EXPECT_EQ(n / carrier::width, h - 1) << n;
    EXPECT_GE(int64_t{h} * carrier::width - 1, n) << n;
  }
}

TEST(AdvancePosition, WrapsAtWidth) {
  for (int32_t w : {1, 512, 1024}) {
    int32_t x = 0, y = 0;
    for (int64_t position = 1; position <= 3 * w + 2; ++position) {
      carrier::advance_position(x, y, w);
      ASSERT_EQ(int64_t{y} * w + x, position) << "width " << w;
      ASSERT_LT(x, w);
    }
  }
  // Width 1: the first pixel touched is (0, 1).
  int32_t x = 0, y = 0;
  carrier::advance_position(x, y, 1);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 1);
}

// A picture held as rows of bytes, for find_data_end.
struct Grid {
  Grid(int32_t w, int32_t h) : w(w), h(h), pixels(static_cast<size_t>(w) * h) {
    for (int32_t y = 0; y < h; ++y) lines.push_back(pixels.data() + static_cast<size_t>(y) * w);
  }
  void set(int64_t position, unsigned char v) { pixels[static_cast<size_t>(position)] = v; }
  carrier::Rows rows() const { return {lines.data(), w, h}; }
  int32_t w, h;
  std::vector<unsigned char> pixels;
  std::vector<const unsigned char*> lines;
};

TEST(FindDataEnd, LastRowRule) {
  {  // 1023 bytes fill the only row: the end is its last column.
    Grid g(1024, 1);
    g.set(1, 7);
    g.set(1023, 9);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 1023);
  }
  {  // 1024 bytes: the last one is column 0 of row 1.
    Grid g(1024, 2);
    g.set(1, 7);
    g.set(1024, 200);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 1024);
  }
  {  // The scan of the last row wins over larger values earlier on.
    Grid g(512, 3);
    g.set(5, 255);
    g.set(2 * 512 + 3, 1);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 2 * 512 + 3);
  }
  {  // Zeros after the data are filler.
    Grid g(1024, 1);
    g.set(10, 0xC0);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 10);
  }
}

TEST(FindDataEnd, NoDataInLastRowFallsBackToEarlierRows) {
  {  // A source whose last row of bytes is all 0.
    Grid g(1024, 3);
    g.set(1500, 4);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 1500);
  }
  {  // Empty source: all zero.
    Grid g(1024, 1);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 0);
  }
  {  // Only position 0 set, one row: position 0 carries nothing.
    Grid g(1024, 1);
    g.set(0, 9);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 0);
  }
  {  // Only position 0 set, several rows.
    Grid g(4, 3);
    g.set(0, 9);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 0);
  }
  {  // Width 1: every row is one pixel.
    Grid g(1, 5);
    g.set(2, 1);
    EXPECT_EQ(carrier::find_data_end(g.rows()), 2);
  }
}

TEST(ContainerFor, ExtensionsIgnoreCaseAndFolders) {
  EXPECT_EQ(carrier::container_for("a.bmp"), Container::bmp);
  EXPECT_EQ(carrier::container_for("A.BMP"), Container::bmp);
  EXPECT_EQ(carrier::container_for("dir.x/b.Tga"), Container::tga);
  EXPECT_EQ(carrier::container_for("/tmp/c.pcx"), Container::pcx);
  EXPECT_EQ(carrier::container_for("d.png"), Container::png);
  EXPECT_EQ(carrier::container_for("dir.bmp/noext"), Container::unknown);
  EXPECT_EQ(carrier::container_for("File destinazione! (nome.bmp,nome.tga,nome.pcx,)"),
            Container::unknown);
  EXPECT_EQ(carrier::container_for("e.jpg"), Container::unknown);
  EXPECT_EQ(carrier::container_for("bmp"), Container::unknown);
}

TEST(NoticeFor, SuccessKeepsItsWordsAndWarnsOfTrailingZeros) {
  run::Outcome o;
  o.file = "out.bmp";
  auto n = run::notice_for(o);
  EXPECT_EQ(n.line1, "Immagine terminata e salvata come:");
  EXPECT_EQ(n.line2, "out.bmp");
  EXPECT_EQ(n.line3, "");
  o.trailing_zeros = true;
  EXPECT_NE(run::notice_for(o).line3, "");
  o.status = run::Status::source_unreadable;
  o.file = "doc.txt";
  n = run::notice_for(o);
  EXPECT_EQ(n.line1, "Impossibile aprire il file sorgente:");
  EXPECT_EQ(n.line2, "doc.txt");
}

}  // namespace
