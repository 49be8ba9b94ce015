#include "safe_output.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support.h"

namespace {

using test::Bytes;

// Names in a folder, to see that no temporary is left behind.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

TEST(SafeOutput, CommitReplacesTheFileWholeAndKeepsItsMode) {
  test::TempDir dir;
  const std::string path = dir.path("out.bin");
  test::write_file(path, Bytes(10, 'a'));
  chmod(path.c_str(), 0640);

  SafeOutput out;
  ASSERT_TRUE(out.open(path));
  const Bytes data = test::sample_data(3 << 20);  // more than one buffer
  ASSERT_TRUE(out.write(data.data(), data.size()));
  ASSERT_TRUE(out.put(0x42));
  EXPECT_EQ(test::read_file(path), Bytes(10, 'a')) << "the old file stays until the commit";
  ASSERT_TRUE(out.commit());

  Bytes expected = data;
  expected.push_back(0x42);
  EXPECT_EQ(test::read_file(path), expected);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(dir.dir()), std::vector<std::string>{"out.bin"});
}

TEST(SafeOutput, AbandonLeavesAnExistingFileAndNoTemporary) {
  test::TempDir dir;
  const std::string path = dir.path("keep.txt");
  test::write_file(path, Bytes{'o', 'l', 'd'});
  {
    SafeOutput out;
    ASSERT_TRUE(out.open(path));
    ASSERT_TRUE(out.write("new", 3));
    // Destroyed without commit, as after a failure.
  }
  EXPECT_EQ(test::read_file(path), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(entries(dir.dir()), std::vector<std::string>{"keep.txt"});
}

TEST(SafeOutput, ALinkIsFollowedNotReplaced) {
  test::TempDir dir;
  const std::string target = dir.path("target.bin");
  const std::string link = dir.path("link.bin");
  test::write_file(target, Bytes{1});
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  SafeOutput out;
  ASSERT_TRUE(out.open(link));
  ASSERT_TRUE(out.write("xy", 2));
  ASSERT_TRUE(out.commit());
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(test::read_file(target), (Bytes{'x', 'y'}));
}

TEST(SafeOutput, FailuresAreReportedWithTheirCause) {
  test::TempDir dir;
  {  // A folder is not a file.
    SafeOutput out;
    EXPECT_FALSE(out.open(dir.dir()));
    EXPECT_EQ(out.error(), EISDIR);
  }
  {  // A folder that does not exist.
    SafeOutput out;
    EXPECT_FALSE(out.open(dir.path("missing/out.bin")));
    EXPECT_EQ(out.error(), ENOENT);
  }
  {  // A full device: written in place, the failure shows at the latest on commit.
    SafeOutput out;
    ASSERT_TRUE(out.open("/dev/full"));
    const Bytes data(100, 7);
    out.write(data.data(), data.size());
    EXPECT_FALSE(out.commit());
    EXPECT_EQ(out.error(), ENOSPC);
    struct stat st {};
    EXPECT_EQ(stat("/dev/full", &st), 0) << "a device is never removed";
  }
}

}  // namespace
