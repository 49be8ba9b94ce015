// The end-of-data rule, the record's two forms, the palette's check and names typed with a
// leading ~, with the library
// linked (through the test support) but never started, and no screen. (The walk both conversions
// make, and safe output, are tested through them.)
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <random>

#include "carrier.h"
#include "files.h"
#include "support.h"

namespace {

using test::Bytes;

// The end of the data in a picture w x h whose pixels are 0 but for `set` (linear positions).
int64_t data_end(int32_t w, int32_t h,
                 std::initializer_list<std::pair<int64_t, unsigned char>> set) {
  Bytes bytes(static_cast<size_t>(w) * h);
  for (auto [position, v] : set) bytes[static_cast<size_t>(position)] = v;
  return carrier::find_data_end({bytes.data(), w, h});
}

TEST(Carrier, DataEndsAtTheLastRowsLastPixelAboveZeroOrElseTheLastAnywhere) {
  EXPECT_EQ(data_end(1024, 1, {{1, 7}, {1023, 9}}), 1023);              // 1023 bytes fill the row
  EXPECT_EQ(data_end(1024, 2, {{1, 7}, {1024, 200}}), 1024);            // column 0 of the last row
  EXPECT_EQ(data_end(512, 3, {{5, 255}, {1026, 1}, {1027, 2}}), 1027);  // the last row wins
  EXPECT_EQ(data_end(1024, 3, {{1500, 4}}), 1500);                      // a last row of zeros
  EXPECT_EQ(data_end(1024, 2, {{700, 3}}), 700);                        // ...back to the first row
  EXPECT_EQ(data_end(1024, 1, {{0, 9}}), 0);  // position 0 carries nothing
  EXPECT_EQ(data_end(4, 3, {}), 0);
  EXPECT_EQ(data_end(1, 5, {{2, 1}}), 2);  // one column
}

// The record as tools may hand it back: whole, or broken when it starts with the tag. (Text
// records with other fields under their own check are the records corpus's *.record-*.png.)
TEST(Carrier, RecordsAreWholeOnlyExactlyAsWritten) {
  const std::string line = carrier::record_text({1540, 0x0a1b2c3d});
  EXPECT_EQ(line.substr(0, 25), "ZORORUZO 1 1540 0a1b2c3d ");
  const std::string head = line.substr(0, 25), check = line.substr(25);
  const carrier::RecordBytes binary = carrier::record_bytes({1540, 0x0a1b2c3d});
  std::string torn(binary.begin(), binary.end());
  torn[14] ^= 1;  // the length changed under its check
  const std::pair<std::string, carrier::Mark::State> cases[] = {
      {line, carrier::Mark::whole},
      {std::string(binary.begin(), binary.end()), carrier::Mark::whole},
      {torn, carrier::Mark::broken},
      {line + std::string(" \r\n\0 ", 5), carrier::Mark::whole},  // padding, line ends, C strings
      {"ZORORUZO 1 1540 0A1B2C3D " + check, carrier::Mark::broken},  // the check covers the case
      {head + check + " x", carrier::Mark::broken},
      {head + check.substr(1), carrier::Mark::broken},
      {"ZORORUZO", carrier::Mark::broken},
      {"made elsewhere", carrier::Mark::none},
  };
  for (const auto& [text, state] : cases) {
    const carrier::Mark m =
        carrier::read_mark(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    EXPECT_EQ(m.state, state) << text;
    if (state == carrier::Mark::whole) {
      EXPECT_TRUE(m.record.length == 1540 && m.record.crc == 0x0a1b2c3d);
    }
  }
}

// The palette's check as docs/formats.md computes it in Python, for the record above.
TEST(Check, IsTheDocumentedFunctionOfLengthAndCrc) {
  const carrier::Check c = carrier::check_of({1540, 0x62779217});
  EXPECT_EQ(c.words[0], 0x8cb1d496673dafdfu);
  EXPECT_EQ(c.words[3], 0x0d7a49752e72330du);
  EXPECT_EQ(c.bit(0), 1u);
  EXPECT_EQ(c.bit(5), 0u);
  EXPECT_EQ(c.bit(255), 0u);  // entry 255 carries nothing
}

// A carrier's data (a file of `n` bytes, each drawn from the first `values` of a shuffled set of
// byte values above 0, then `zeros` zero bytes) decoded by its colours alone: the bits that its
// palette or its true colour shows for the values it holds (all 255 entries, or only the values
// that occur), and with or without its record. (Whole carriers through tools are the records
// corpus's exact.check-* and altered.check-* pictures.)
TEST(Check, GivesTheLengthOnlyWhenItsBitsAreEnough) {
  const struct {
    int values;    // distinct byte values above 0 in the file
    int zeros;     // zero bytes at its end
    bool palette;  // all 255 entries shown (an indexed picture), not only the values used
    int change;    // a byte changed after the check was made (0: none)
    int check_of;  // 0: the file's own check; 1: another file's; 2: a grey palette's (none)
    bool record;   // a whole record beside
    const char* verdict;
    int64_t end_less;  // the data's end, short of the file's length by this many bytes
  } cases[] = {
      {35, 30, false, 0, 0, false, "exact", 0},       // 36 bits (0 too): 32 lengths tried, 31 are
      {35, 40, false, 0, 0, false, "unchecked", 40},  // ...41 may not
      {30, 0, false, 0, 0, false, "exact", 0},        // 31 bits: the first length
      {29, 0, false, 0, 0, false, "unchecked", 0},    // 30 bits: not even that
      {255, 5, true, 700, 0, false, "altered", 5},    // a pixel changed: no length agrees
      {39, 0, false, 10, 0, false, "altered", 0},     // ...also through the values shown
      {255, 5, true, 0, 1, false, "altered", 5},      // another file's check
      {255, 5, true, 0, 2, false, "unchecked", 5},    // a grey palette: an earlier carrier
      {255, 5, true, 0, 1, true, "altered", 5},       // a record the check does not agree with
      {3, 5, false, 0, 0, true, "exact", 0},          // a record the few bits shown agree with
  };
  std::mt19937 random(1540);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.values << " values, " << c.zeros << " zeros, " << c.verdict);
    Bytes order(255);
    for (int i = 0; i < 255; ++i) order[static_cast<size_t>(i)] = static_cast<unsigned char>(i + 1);
    std::shuffle(order.begin(), order.end() - 1, random);  // 255, whose entry carries no bit, last
    const size_t n = 3000 + static_cast<size_t>(c.zeros);
    Bytes picture(1024 * (n / 1024 + 1));
    for (size_t k = 0; k + c.zeros < n; ++k) {
      picture[k + 1] = order[(k * 7 + k / 13) % static_cast<size_t>(c.values)];
    }
    const carrier::Record record{n, carrier::crc32(0, picture.data() + 1, n)};
    const carrier::Check check = carrier::check_of(c.check_of ? carrier::Record{n + 1, 7} : record);
    carrier::Shown shown;
    for (unsigned v = 0; v < 256; ++v) {
      const bool used = v == 0 || std::count(order.begin(), order.begin() + c.values, v) > 0;
      if (c.palette || used) shown.see(v, c.check_of == 2 ? 0 : check.bit(v));
    }
    if (c.change) picture[static_cast<size_t>(c.change)] ^= 1;
    const carrier::Mark mark{c.record ? carrier::Mark::whole : carrier::Mark::none, record};
    const carrier::DataEnd d = carrier::locate_data(
        {picture.data(), 1024, static_cast<int32_t>(picture.size() / 1024)}, mark, shown);
    EXPECT_EQ(d.exact       ? "exact"
              : d.altered   ? "altered"
              : d.unchecked ? "unchecked"
                            : "?",
              std::string(c.verdict));
    EXPECT_EQ(d.end, static_cast<int64_t>(n) - c.end_less);
  }
}

// A palette of random near-grey colours, whole, is no check: its key does not give its rest.
TEST(Check, AWholePaletteMustCheckItself) {
  std::mt19937 random(7);
  carrier::Shown ours, other;
  const carrier::Check check = carrier::check_of({99, 1234});
  for (unsigned v = 0; v < 256; ++v) {
    ours.see(v, check.bit(v));
    other.see(v, v < 255 ? random() & 1 : 0);
  }
  EXPECT_TRUE(ours.ours());
  EXPECT_EQ(ours.known(), 255);
  EXPECT_FALSE(other.ours());
  ours.see(5, 1 - check.bit(5));  // seen both ways: unknown, and the rest still agrees
  EXPECT_EQ(ours.known(), 254);
  EXPECT_TRUE(ours.agrees(check));
}

TEST(Names, ALeadingTildeIsTheHomeFolder) {
  const char* const was = std::getenv("HOME");
  const std::string saved = was ? was : "", own = getpwuid(getuid())->pw_dir;
  const struct {
    const char* home;  // null: unset
    std::string typed, meant;
  } cases[] = {
      {"/home/anna", "~", "/home/anna"},
      {"/home/anna", "~/Documenti/a.bmp", "/home/anna/Documenti/a.bmp"},
      {"/home/anna/", "~/a.bmp", "/home/anna/a.bmp"},
      {"/", "~/a.bmp", "/a.bmp"},
      {"/", "~", "/"},
      {"/home/anna", "~anna/a.bmp", "~anna/a.bmp"},  // another user's folder: as typed
      {"/home/anna", "~.bmp", "~.bmp"},
      {"/home/anna", "a/~/b.bmp", "a/~/b.bmp"},
      {"/home/anna", "", ""},
      {"", "~/a.bmp", own + "/a.bmp"},  // from the password database
      {nullptr, "~", own},
  };
  for (const auto& c : cases) {
    c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
    EXPECT_EQ(files::home_expanded(c.typed), c.meant)
        << c.typed << ", HOME " << (c.home ? c.home : "unset");
  }
  if (was) setenv("HOME", saved.c_str(), 1);
}

}  // namespace
