// The layout rules, the walk both conversions make, and safe output: no library, no screen.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "carrier.h"
#include "safe_output.h"
#include "support.h"

namespace {

using test::Bytes;

TEST(Carrier, RowsPutTheLastByteInTheLastRow) {
  for (int32_t n : {0, 1, 1023, 1024, 1025, 3 * 1024 + 5, 65535 * 1024 - 1}) {
    const int32_t h = carrier::carrier_rows(n);
    EXPECT_EQ(h - 1, n / carrier::width) << n;
    EXPECT_GE(int64_t{h} * carrier::width - 1, n) << n;
  }
  // The largest source still fits the library's int-sized picture.
  EXPECT_LE(int64_t{carrier::carrier_rows(carrier::max_source_bytes)} * carrier::width, INT32_MAX);
}

// A picture held as rows of bytes; `set` takes linear positions.
struct Grid {
  Grid(int32_t w, int32_t h, std::initializer_list<std::pair<int64_t, unsigned char>> pixels)
      : w(w), h(h), bytes(static_cast<size_t>(w) * h) {
    for (auto [position, v] : pixels) bytes[static_cast<size_t>(position)] = v;
    for (int32_t y = 0; y < h; ++y) lines.push_back(bytes.data() + static_cast<size_t>(y) * w);
  }
  int64_t end() const { return carrier::find_data_end({lines.data(), w, h}); }
  int32_t w, h;
  Bytes bytes;
  std::vector<const unsigned char*> lines;
};

TEST(Carrier, DataEndsAtTheLastRowsLastPixelAboveZeroOrElseTheLastAnywhere) {
  EXPECT_EQ(Grid(1024, 1, {{1, 7}, {1023, 9}}).end(), 1023);       // 1023 bytes fill the row
  EXPECT_EQ(Grid(1024, 2, {{1, 7}, {1024, 200}}).end(), 1024);     // column 0 of the last row
  EXPECT_EQ(Grid(512, 3, {{5, 255}, {2 * 512 + 3, 1}}).end(), 1027);  // the last row wins
  EXPECT_EQ(Grid(1024, 3, {{1500, 4}}).end(), 1500);               // a last row of zeros
  EXPECT_EQ(Grid(1024, 1, {}).end(), 0);                           // the empty source
  EXPECT_EQ(Grid(1024, 1, {{0, 9}}).end(), 0);                     // position 0 carries nothing
  EXPECT_EQ(Grid(4, 3, {{0, 9}}).end(), 0);
  EXPECT_EQ(Grid(1, 5, {{2, 1}}).end(), 2);                        // one column
}

TEST(Carrier, ExtensionsChooseTheContainerIgnoringCase) {
  EXPECT_EQ(carrier::container_for("A.BMP"), carrier::Container::bmp);
  EXPECT_EQ(carrier::container_for("dir.x/b.Tga"), carrier::Container::tga);
  EXPECT_EQ(carrier::container_for("/tmp/c.pcx"), carrier::Container::pcx);
  EXPECT_EQ(carrier::container_for("d.png"), carrier::Container::png);
  for (const char* other : {"dir.bmp/noext", "bmp", "e.lbm", "File destinazione! (nome.bmp,nome.tga,nome.pcx,)"}) {
    EXPECT_EQ(carrier::container_for(other), carrier::Container::unknown) << other;
  }
}

// The walk visits positions 1 to the end in order, a row span at a time, shows each row once,
// and stops after the byte in hand when Esc is found held.
TEST(Cursor, VisitsEveryPositionOnceAndStopsOnEsc) {
  for (int32_t w : {1, 5, 1024}) {
    for (int64_t last : {int64_t{1}, int64_t{w}, int64_t{3} * w + 2}) {
      SCOPED_TRACE("w " + std::to_string(w) + " last " + std::to_string(last));
      const int32_t h = static_cast<int32_t>(last / w + 1);
      test::RecordingFeedback feedback;
      carrier::Cursor at(w, h, static_cast<int32_t>(last % w), static_cast<int32_t>(last / w),
                         feedback);
      Bytes visited(static_cast<size_t>(w) * h), ones(static_cast<size_t>(w), 1);
      while (const int32_t span = at.span()) {
        ASSERT_LE(at.x + span, w);
        at.copy(visited.data() + int64_t{at.y} * w + at.x, ones.data(), span);
      }
      for (int64_t p = 0; p < static_cast<int64_t>(visited.size()); ++p) {
        ASSERT_EQ(visited[static_cast<size_t>(p)], p >= 1 && p <= last) << p;
      }
      EXPECT_EQ(at.visited(), last);
      std::vector<int32_t> rows;
      for (int32_t r = static_cast<int32_t>(1 / w) + 1; r <= h; ++r) rows.push_back(r);
      EXPECT_EQ(feedback.rows, rows);
    }
  }
  test::RecordingFeedback feedback;
  carrier::Cursor at(1024, 1, 1000, 0, feedback);
  Bytes to(1024), from(1024, 3);
  ASSERT_EQ(at.span(), 1000);
  EXPECT_EQ(at.copy(to.data(), from.data(), 10), 10);
  feedback.escape = 1;
  EXPECT_EQ(at.span(), 990);
  EXPECT_EQ(at.copy(to.data(), from.data(), 990), 1);
  EXPECT_EQ(at.visited(), 11);
  EXPECT_EQ(at.span(), 0);
}

// Names in a folder, to see that no temporary is left behind.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.' || (e->d_name[1] != '\0' && e->d_name[1] != '.')) {
        names.push_back(e->d_name);
      }
    }
    closedir(d);
  }
  return names;
}

TEST(SafeOutput, ReplacesTheFileWholeOnlyOnCommitThroughLinksKeepingItsMode) {
  test::TempDir dir;
  const std::string path = dir.path("out.bin"), link = dir.path("link.bin");
  test::write_file(path, Bytes(10, 'a'));
  chmod(path.c_str(), 0640);
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  const Bytes data = test::sample_data(3 << 20);  // more than one buffer
  {
    SafeOutput out;
    ASSERT_TRUE(out.open(link));
    ASSERT_TRUE(out.write(data.data(), data.size()));
    // Destroyed without a commit, as after a failure.
  }
  EXPECT_EQ(test::read_file(path), Bytes(10, 'a'));
  SafeOutput out;
  ASSERT_TRUE(out.open(link));
  ASSERT_TRUE(out.write(data.data(), data.size()));
  EXPECT_EQ(test::read_file(path), Bytes(10, 'a')) << "the old file stays until the commit";
  ASSERT_TRUE(out.commit());
  EXPECT_EQ(test::read_file(path), data);
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(dir.dir()).size(), 2u) << "a temporary was left behind";
}

TEST(SafeOutput, FailuresCarryTheirCause) {
  test::TempDir dir;
  SafeOutput out;
  EXPECT_FALSE(out.open(dir.dir()));
  EXPECT_EQ(out.error(), EISDIR);
  EXPECT_FALSE(out.open(dir.path("missing/out.bin")));
  EXPECT_EQ(out.error(), ENOENT);
  // A device is written in place: the failure shows at the latest on the commit, and the
  // device is never removed.
  ASSERT_TRUE(out.open("/dev/full"));
  out.write("0123456789", 10);
  EXPECT_FALSE(out.commit());
  EXPECT_EQ(out.error(), ENOSPC);
  EXPECT_TRUE(test::file_exists("/dev/full"));
}

}  // namespace
