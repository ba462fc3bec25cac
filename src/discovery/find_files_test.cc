// Which files a set of arguments selects, and in what order.
#include "discovery/find_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/paths.h"
#include "tests/test_support.h"

namespace orvel {
namespace {

using Paths = std::vector<std::string>;

std::size_t open_descriptor_count() {
  std::size_t n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++n;
    ::closedir(dir);
  }
  return n;
}

// One directory that holds every kind of entry a listing must tell apart.
class MixedDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = resolve_path("", tmp_.path());
    dir_ = root_ + "/dir";
    ASSERT_EQ(::mkdir(dir_.c_str(), 0700), 0);
    for (const char* name : {"a.json", "B.json", ".base.json", ".json", "c.JSON", "d.json.bak",
                             "notes.txt", "json", "a.jsonl"}) {
      testing::write_file(dir_ + "/" + name, "{}");
    }
    ASSERT_EQ(::mkdir((dir_ + "/sub").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir_ + "/sub.json").c_str(), 0700), 0);
    testing::write_file(dir_ + "/sub/e.json", "{}");
    testing::write_file(root_ + "/outside.txt", "{}");
    ASSERT_EQ(::symlink("../outside.txt", (dir_ + "/link.json").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir_ + "/dangling.json").c_str()), 0);
    ASSERT_EQ(::symlink("sub", (dir_ + "/subdir-link.json").c_str()), 0);
    // Opening a FIFO for reading would block the run until a writer came along.
    ASSERT_EQ(::mkfifo((dir_ + "/f.json").c_str(), 0600), 0);
  }

  testing::TempDir tmp_;
  std::string root_;
  std::string dir_;
};

TEST_F(MixedDirectory, ListsRegularJsonFilesOneLevelInByteOrder) {
  const Paths expected = {dir_ + "/.base.json", dir_ + "/.json", dir_ + "/B.json",
                          dir_ + "/a.json", dir_ + "/link.json"};
  EXPECT_EQ(list_json_files(dir_), expected);
  EXPECT_EQ(find_files({"dir"}, root_), expected);
  EXPECT_EQ(find_files({"dir/"}, root_), expected);
}

TEST_F(MixedDirectory, LeavesNoDescriptorOpen) {
  const std::size_t before = open_descriptor_count();
  EXPECT_EQ(find_files({"dir", "dir", "dir/sub", "missing"}, root_).size(), 11u);
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(MixedDirectory, ArgumentsSelectInCommandLineOrder) {
  struct Case {
    Paths arguments;
    Paths expected;
  };
  const std::vector<Case> cases = {
      // A regular file named directly is taken whatever its name.
      {{"dir/notes.txt"}, {dir_ + "/notes.txt"}},
      {{"dir/c.JSON", "dir/json"}, {dir_ + "/c.JSON", dir_ + "/json"}},
      {{"dir/a.json/"}, {dir_ + "/a.json"}},
      // Through a link: the link's own path is kept.
      {{"dir/link.json"}, {dir_ + "/link.json"}},
      {{"dir/subdir-link.json"}, {dir_ + "/subdir-link.json/e.json"}},
      // Missing paths, dangling links and special files contribute nothing.
      {{"missing.json"}, {}},
      {{"dir/dangling.json"}, {}},
      {{"dir/f.json"}, {}},
      {{"missing.json", "dir/a.json"}, {dir_ + "/a.json"}},
      // Duplicates are kept and arguments are not sorted against each other.
      {{"dir/a.json", "dir/a.json"}, {dir_ + "/a.json", dir_ + "/a.json"}},
      {{"dir/sub", "dir/B.json"}, {dir_ + "/sub/e.json", dir_ + "/B.json"}},
      {{"dir/sub/../a.json"}, {dir_ + "/sub/../a.json"}},
      // An empty argument is the working directory itself.
      {{""}, {}},
      {{"", "dir/sub"}, {dir_ + "/sub/e.json"}},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& a : c.arguments) trace += "'" + a + "' ";
    SCOPED_TRACE(trace);
    EXPECT_EQ(find_files(c.arguments, root_), c.expected);
  }
}

TEST_F(MixedDirectory, EmptyArgumentListsTheWorkingDirectory) {
  EXPECT_EQ(find_files({""}, dir_).size(), 5u);
  EXPECT_EQ(find_files({"", "."}, dir_ + "/sub"), (Paths{dir_ + "/sub/e.json", dir_ + "/sub/e.json"}));
}

TEST_F(MixedDirectory, DirectoryNamedThroughALinkIsListedUnderTheLink) {
  ASSERT_EQ(::symlink("dir", (root_ + "/alias").c_str()), 0);
  const Paths found = find_files({"alias"}, root_);
  ASSERT_EQ(found.size(), 5u);
  EXPECT_EQ(found[0], root_ + "/alias/.base.json");
  EXPECT_EQ(found[4], root_ + "/alias/link.json");
}

TEST(ListJsonFiles, SortsByBytesNotByNumberOrCase) {
  testing::TempDir tmp;
  const std::string dir = resolve_path("", tmp.path());
  for (const char* name : {"a_b.json", "a2.json", "a.json", "a10.json", "Z.json", "a-b.json",
                           "\xc3\xa9.json", "\x7f.json"}) {
    testing::write_file(dir + "/" + name, "[]");
  }
  const Paths expected = {dir + "/Z.json",   dir + "/a-b.json", dir + "/a.json",
                          dir + "/a10.json", dir + "/a2.json",  dir + "/a_b.json",
                          dir + "/\x7f.json", dir + "/\xc3\xa9.json"};
  EXPECT_EQ(list_json_files(dir), expected);
}

TEST(ListJsonFiles, IsEmptyForWhatCannotBeListed) {
  testing::TempDir tmp;
  const std::string file = tmp / "plain.json";
  testing::write_file(file, "{}");
  for (const std::string& path : {tmp / "missing", file, std::string("/proc/self/fd/0/x")}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(list_json_files(path).empty());
  }
}

}  // namespace
}  // namespace orvel
