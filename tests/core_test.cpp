// The end-of-data rule, the record's two forms and names typed with a leading ~, with the library
// linked (through the test support) but never started, and no screen. (The walk both conversions
// make, and safe output, are tested through them.)
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>

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

// The record as tools may hand it back: whole, or broken when it starts with the tag.
TEST(Carrier, RecordsAreWholeOnlyExactlyAsWritten) {
  const std::string line = carrier::record_text({1540, 0x0a1b2c3d});
  EXPECT_EQ(line.substr(0, 25), "ZORORUZO 1 1540 0a1b2c3d ");
  const std::string head = line.substr(0, 25), check = line.substr(25);
  const carrier::RecordBytes binary = carrier::record_bytes({1540, 0x0a1b2c3d});
  std::string torn(binary.begin(), binary.end());
  torn[14] ^= 1;  // the length changed under its check
  const auto checked = [](const std::string& text) {  // a line with its own check
    char field[10];
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::snprintf(field, sizeof field, " %08x", carrier::crc32(0, bytes, text.size()));
    return text + field;
  };
  const std::pair<std::string, carrier::Mark::State> cases[] = {
      {line, carrier::Mark::whole},
      {std::string(binary.begin(), binary.end()), carrier::Mark::whole},
      {torn, carrier::Mark::broken},
      {line + std::string(" \r\n\0 ", 5), carrier::Mark::whole},  // padding, line ends, C strings
      {"ZORORUZO 1 1540 0A1B2C3D " + check, carrier::Mark::broken},  // the check covers the case
      {checked("ZORORUZO 1 1540 0A1B2C3D"), carrier::Mark::whole},
      {checked("ZORORUZO 1 01540 0a1b2c3d"), carrier::Mark::broken},
      {checked("ZORORUZO 1 18446744073709551617 0a1b2c3d"), carrier::Mark::broken},  // 2^64 + 1
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
    if (c.home) {
      setenv("HOME", c.home, 1);
    } else {
      unsetenv("HOME");
    }
    EXPECT_EQ(files::home_expanded(c.typed), c.meant)
        << c.typed << ", HOME " << (c.home ? c.home : "unset");
  }
  if (was) setenv("HOME", saved.c_str(), 1);
}

}  // namespace
