// Which files a set of arguments selects, and in what order.
#include "discovery/find_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
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

// Permission bits stop nothing for root: the listing runs in a child that has dropped to an
// unprivileged user first. Each directory holds two regular files, a link to one and a
// subdirectory, behind the mode under test.
TEST(ListJsonFiles, PassesOverEntriesWhoseStatusCannotBeQueried) {
  constexpr uid_t kNobody = 65534;
  struct Case {
    mode_t mode;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {0755, {"a.json", "b.json", "link.json"}},
      {0555, {"a.json", "b.json", "link.json"}},
      // Listed but not searched: the listing names regular files whose status nobody can query.
      {0644, {}},
      {0444, {}},
      // Searched but not listed.
      {0311, {}},
  };
  testing::TempDir tmp;
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
  const std::string root = resolve_path("", tmp.path());
  for (const Case& c : cases) {
    const std::string dir = root + "/mode" + std::to_string(c.mode >> 6) + std::to_string((c.mode >> 3) & 7) +
                            std::to_string(c.mode & 7);
    SCOPED_TRACE(dir);
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    for (const char* name : {"b.json", "a.json"}) testing::write_file(dir + "/" + name, "{}");
    ASSERT_EQ(::symlink("a.json", (dir + "/link.json").c_str()), 0);
    ASSERT_EQ(::mkdir((dir + "/sub.json").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
    testing::ChildOptions unprivileged;
    unprivileged.in_child = [] {
      if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
        ::_exit(126);
      }
    };
    testing::ChildResult run = testing::run_child(root, [&dir] {
      std::string listed;
      for (const std::string& path : list_json_files(dir)) listed += path + "\n";
      (void)!::write(1, listed.data(), listed.size());
      ::_exit(0);
    }, unprivileged);
    std::string expected;
    for (const std::string& name : c.names) expected += dir + "/" + name + "\n";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, expected);
  }
}

// A path no system call takes (PATH_MAX bytes or more) cannot be examined either: a directory
// whose own path fits lists only the names that keep it under the limit.
TEST(ListJsonFiles, PassesOverEntriesWhosePathIsTooLongToExamine) {
  testing::TempDir tmp;
  std::string dir = resolve_path("", tmp.path());
  int dir_fd = ::open(dir.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  constexpr auto kPathMax = static_cast<std::size_t>(PATH_MAX);
  const std::string long_name = std::string(200, 'x') + ".json";
  // Deep enough that the short names fit and the long one does not.
  while (dir.size() + 1 + long_name.size() < kPathMax) {
    const std::string part(std::min<std::size_t>(200, kPathMax - 20 - dir.size()), 'd');
    ASSERT_EQ(::mkdirat(dir_fd, part.c_str(), 0755), 0);
    int next = ::openat(dir_fd, part.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
    ::close(dir_fd);
    ASSERT_GE(next, 0);
    dir_fd = next;
    dir += "/" + part;
  }
  ASSERT_LT(dir.size() + 1 + std::string("a.json").size(), kPathMax);
  for (const std::string& name : {std::string("a.json"), std::string("z.json"), long_name}) {
    int fd = ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }
  Paths found = list_json_files(dir);
  // The guard that removes the tree works with whole paths, so the long one goes here.
  EXPECT_EQ(::unlinkat(dir_fd, long_name.c_str(), 0), 0);
  ::close(dir_fd);
  for (std::string& path : found) {
    if (path.starts_with(dir + "/")) path.erase(0, dir.size() + 1);
  }
  EXPECT_EQ(found, (Paths{"a.json", "z.json"}));
}

}  // namespace
}  // namespace orvel
