// Path joining, report names and the working directory.
#include "discovery/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace orvel {
namespace {

struct ResolveCase {
  std::string base;
  std::string path;
  std::string expected;
};

TEST(ResolvePath, JoinsAndDropsEmptyAndDotComponentsOnly) {
  const std::vector<ResolveCase> cases = {
      {"/srv/work", "data", "/srv/work/data"},
      {"/srv/work", "./data/", "/srv/work/data"},
      {"/srv/work", "data//a.json", "/srv/work/data/a.json"},
      {"/srv/work", "a.json/", "/srv/work/a.json"},
      {"/srv/work", "../a.json", "/srv/work/../a.json"},
      {"/srv/work", "a/./b/../c.json", "/srv/work/a/b/../c.json"},
      {"/srv/work", ".", "/srv/work"},
      {"/srv/work", "", "/srv/work"},
      {"/srv/work", "/tmp/./x/", "/tmp/x"},
      {"/srv/work", "//", "/"},
      {"/srv/work", "/srv/work/a.json", "/srv/work/a.json"},
      {"/srv/work", "...", "/srv/work/..."},
      {"/srv/work", ".hidden/.json", "/srv/work/.hidden/.json"},
      {"/", "a.json", "/a.json"},
      {"/", "", "/"},
      {"/", "..", "/.."},
      {"", "", "/"},
      {"", "/home//me/./x", "/home/me/x"},
      {"", "relative", "/relative"},
      {"/srv/work", "\xff\xfe/\x80.json", "/srv/work/\xff\xfe/\x80.json"},
  };
  for (const ResolveCase& c : cases) {
    SCOPED_TRACE("base '" + c.base + "' path '" + c.path + "'");
    EXPECT_EQ(resolve_path(c.base, c.path), c.expected);
  }
}

TEST(ResolvePath, OutputIsAlwaysNormalisedAndNoLongerThanTheJoin) {
  // Alphabet chosen to hit every rule: separators, dots that form "." and "..", a plain byte
  // and a byte that is not text in any character set.
  const char alphabet[] = {'/', '.', 'a', '\xff'};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<int> pick(0, 3);
  auto random_text = [&] {
    std::string s(static_cast<std::size_t>(length(rng)), ' ');
    for (char& c : s) c = alphabet[pick(rng)];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::string base = i % 5 == 0 ? std::string() : resolve_path("", random_text());
    const std::string path = random_text();
    SCOPED_TRACE("base '" + base + "' path '" + path + "'");
    const std::string joined =
        !path.empty() && path[0] == '/' ? path : base + "/" + path;
    const std::string out = resolve_path(base, path);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0], '/');
    EXPECT_EQ(out.find("//"), std::string::npos);
    EXPECT_TRUE(out == "/" || out.back() != '/');
    EXPECT_EQ((out + "/").find("/./"), std::string::npos);
    EXPECT_LE(out.size(), joined.size());
    // Normalising twice changes nothing.
    EXPECT_EQ(resolve_path("", out), out);
  }
}

struct DisplayCase {
  std::string path;
  std::string working_dir;
  std::string expected;
};

TEST(DisplayName, IsRelativeOnlyBelowTheWorkingDirectory) {
  const std::vector<DisplayCase> cases = {
      {"/srv/work/a.json", "/srv/work", "a.json"},
      {"/srv/work/data/b.json", "/srv/work", "data/b.json"},
      {"/srv/work/../c.json", "/srv/work", "../c.json"},
      {"/srv/workshop/d.json", "/srv/work", "/srv/workshop/d.json"},
      {"/tmp/e.json", "/srv/work", "/tmp/e.json"},
      {"/srv/work", "/srv/work", "/srv/work"},
      {"/SRV/work/a.json", "/srv/work", "/SRV/work/a.json"},
      {"/srv", "/srv/work", "/srv"},
      {"/tmp/e.json", "/", "tmp/e.json"},
      {"/", "/", ""},
      {"/srv/work/\xff\x80.json", "/srv/work", "\xff\x80.json"},
  };
  for (const DisplayCase& c : cases) {
    SCOPED_TRACE("path '" + c.path + "' working dir '" + c.working_dir + "'");
    EXPECT_EQ(display_name(c.path, c.working_dir), c.expected);
  }
}

// Restores the working directory of the test process, whatever happens in between.
class CwdGuard {
 public:
  CwdGuard() : fd_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;
  ~CwdGuard() {
    if (fd_ >= 0) {
      EXPECT_EQ(::fchdir(fd_), 0);
      ::close(fd_);
    }
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

TEST(WorkingDir, ReturnsPathsLongerThanAPage) {
  testing::TempDir tmp;
  CwdGuard guard;
  ASSERT_TRUE(guard.ok());
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  Result<std::string, int> top = working_dir();
  ASSERT_TRUE(top.ok());

  // Built with relative steps: the whole path is too long to hand to mkdir at once.
  const std::string component(200, 'd');
  std::string expected = top.value();
  int depth = 0;
  while (expected.size() <= 5000) {
    ASSERT_EQ(::mkdir(component.c_str(), 0700), 0);
    ASSERT_EQ(::chdir(component.c_str()), 0);
    expected += "/" + component;
    ++depth;
  }
  Result<std::string, int> deep = working_dir();
  ASSERT_TRUE(deep.ok()) << "errno " << deep.error();
  EXPECT_EQ(deep.value(), expected);

  // The temporary directory's own cleanup works on whole paths, so take the chain down here.
  for (; depth > 0; --depth) {
    ASSERT_EQ(::chdir(".."), 0);
    ASSERT_EQ(::rmdir(component.c_str()), 0);
  }
}

TEST(WorkingDir, FailsWithTheErrorWhenTheDirectoryIsGone) {
  testing::TempDir tmp;
  CwdGuard guard;
  ASSERT_TRUE(guard.ok());
  const std::string gone = tmp / "gone";
  ASSERT_EQ(::mkdir(gone.c_str(), 0700), 0);
  ASSERT_EQ(::chdir(gone.c_str()), 0);
  ASSERT_EQ(::rmdir(gone.c_str()), 0);
  Result<std::string, int> cwd = working_dir();
  ASSERT_FALSE(cwd.ok());
  EXPECT_EQ(cwd.error(), ENOENT);
}

}  // namespace
}  // namespace orvel
