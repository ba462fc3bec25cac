// End to end: the built program on real directories, every byte of its output compared.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

using orvel::testing::banner;
using orvel::testing::ChildOptions;
using orvel::testing::ChildResult;
using orvel::testing::kFailMark;
using orvel::testing::kPassMark;
using orvel::testing::orvel_binary;
using orvel::testing::run_orvel;
using orvel::testing::Stdout;
using orvel::testing::read_file;
using orvel::testing::TempDir;
using orvel::testing::write_file;

constexpr uid_t kNobody = 65534;  // permission bits mean nothing to root

struct Options {
  orvel::testing::Stdout stdout_kind = orvel::testing::Stdout::Pipe;
  unsigned short columns = 0;  // for Stdout::Terminal
  bool unprivileged = false;   // drop to an unprivileged user first when running as root
  bool remove_cwd = false;     // remove the (empty) working directory once inside it
};

const std::string kUsage =
    "usage: orvel PATH [PATH ...]\nFixes and lints like: orveller PATH... --fix --config-set indent=2\n";
const std::string kHeader = banner("orveller");
std::string summary80(std::string_view counts) { return banner(counts, "\x1b[92m"); }

// Runs the program with `args` (argv[1...]) in `cwd`.
ChildResult run(const std::vector<std::string>& args, const std::string& cwd, const Options& options = {}) {
  ChildOptions child;
  child.stdout_kind = options.stdout_kind;
  child.columns = options.columns;
  child.in_child = [&] {
    if (options.remove_cwd && ::rmdir(cwd.c_str()) != 0) ::_exit(126);
    if (options.unprivileged && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(126);
    }
  };
  return run_orvel(cwd, args, child);
}

// A temporary directory that an unprivileged child may enter and write in.
struct OpenDir {
  TempDir dir;
  OpenDir() { ::chmod(dir.path().c_str(), 0777); }
  std::string operator/(std::string_view name) const { return dir / name; }
  const std::string& path() const { return dir.path(); }
  // A file that anyone may read and write.
  void put(std::string_view name, std::string_view bytes, mode_t mode = 0666) const {
    write_file(dir / name, bytes);
    ::chmod((dir / name).c_str(), mode);
  }
};

TEST(Cli, RefusesOptionsWithUsageBeforeTouchingAnything) {
  OpenDir dir;
  dir.put("a.json", "[1]");
  const std::vector<std::vector<std::string>> refused = {
      {}, {"-"}, {"--"}, {"a.json", "--fix"}, {"-x"}, {"a.json", "-", "b.json"},
  };
  for (const auto& args : refused) {
    SCOPED_TRACE(args.empty() ? std::string("(none)") : args.back());
    ChildResult r = run(args, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir / "a.json"), "[1]");
  }
}

TEST(Cli, TakesDashesInsideNamesAndEmptyArgumentsAsPaths) {
  struct Case {
    std::vector<std::string> args;
    std::string name;
  };
  const Case cases[] = {
      {{"a-b.json"}, "a-b.json"},
      {{"./-x.json"}, "-x.json"},
      {{""}, "a-b.json"},  // the working directory, listed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    OpenDir dir;
    dir.put(c.name, "{\"b\":1,\"a\":2}");
    ChildResult r = run(c.args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kHeader + c.name + " " + std::string(kPassMark) + std::string(kPassMark) + "\n" +
                         summary80("2 / 2 passed"));
    EXPECT_EQ(read_file(dir / c.name), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
  }
}

TEST(Cli, SaysNoFilesFoundWhenNothingIsSelected) {
  OpenDir dir;
  ::mkdir((dir / "empty").c_str(), 0777);
  dir.put("notes.txt", "x");
  const std::vector<std::vector<std::string>> cases = {
      {"missing.json"}, {"empty"}, {""}, {"missing.json", "empty/"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    ChildResult r = run(args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "No files found.\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(Cli, EndsAtOnceWhenTheWorkingDirectoryIsGone) {
  OpenDir dir;
  ::mkdir((dir / "gone").c_str(), 0777);
  dir.put("a.json", "[1]");
  Options options;
  options.remove_cwd = true;
  ChildResult r = run({dir / "a.json"}, dir / "gone", options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "orvel: cannot get the working directory: No such file or directory (os error 2)\n");
  EXPECT_EQ(read_file(dir / "a.json"), "[1]");
}

TEST(Cli, ReportsEveryFileInByteOrderOfNames) {
  OpenDir dir;
  ::mkdir((dir / "sub").c_str(), 0777);
  dir.put("a.json", "{\"z\":[1,{\"b\":2,\"a\":1}],\"a10\":0,\"a9\":0}");
  dir.put("B.json", "[]");
  dir.put("sub/c.json", "1");
  dir.put("notes.txt", "\"taken when named\"");
  ChildResult r = run({"sub", "missing.json", ".", "notes.txt"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string two = std::string(kPassMark) + std::string(kPassMark);
  EXPECT_EQ(r.out, kHeader + "B.json " + two + "\na.json " + two + "\nnotes.txt " + two +
                       "\nsub/c.json " + two + "\n" + summary80("8 / 8 passed"));
  EXPECT_EQ(read_file(dir / "a.json"),
            "{\n  \"a9\": 0,\n  \"a10\": 0,\n  \"z\": [\n    1,\n    {\n      \"a\": 1,\n"
            "      \"b\": 2\n    }\n  ]\n}\n");
  EXPECT_EQ(read_file(dir / "B.json"), "[]\n");
  EXPECT_EQ(read_file(dir / "sub/c.json"), "1\n");
  EXPECT_EQ(read_file(dir / "notes.txt"), "\"taken when named\"\n");
}

TEST(Cli, RewritesAFileNamedThroughASymbolicLinkAndKeepsTheLink) {
  OpenDir dir;
  ::mkdir((dir / "real").c_str(), 0777);
  dir.put("real/a.json", "{\"b\":1,\"a\":2}");
  ASSERT_EQ(::symlink("real/a.json", (dir / "link.json").c_str()), 0);
  ChildResult r = run({"link.json"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kHeader + "link.json " + std::string(kPassMark) + std::string(kPassMark) + "\n" +
                       summary80("2 / 2 passed"));
  EXPECT_EQ(read_file(dir / "real/a.json"), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "link.json").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(Cli, GathersRepeatedNamesUnderOneEntry) {
  OpenDir dir;
  ::mkdir((dir / "sub").c_str(), 0777);
  dir.put("a.json", "{}");
  const std::string two = std::string(kPassMark) + std::string(kPassMark);
  struct Case {
    std::vector<std::string> args;
    std::string report;
  };
  const Case cases[] = {
      {{"a.json", "a.json"}, "a.json " + two + two + "\n" + summary80("4 / 4 passed")},
      {{".", "a.json"}, "a.json " + two + two + "\n" + summary80("4 / 4 passed")},
      {{"./a.json", dir / "a.json"}, "a.json " + two + two + "\n" + summary80("4 / 4 passed")},
      {{"sub/../a.json", "a.json"},
       "a.json " + two + "\nsub/../a.json " + two + "\n" + summary80("4 / 4 passed")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    ChildResult r = run(c.args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kHeader + c.report);
  }
}

TEST(Cli, ProcessesInArgumentOrderAndReportsInNameOrder) {
  OpenDir dir;
  dir.put("a.json", "[1]");
  dir.put("b.json", "[2]");
  // The kernel queues one event per finished rewrite, in the order they happen.
  int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CLOSE_WRITE), 0);
  ChildResult r = run({"b.json", "a.json"}, dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string two = std::string(kPassMark) + std::string(kPassMark);
  EXPECT_EQ(r.out, kHeader + "a.json " + two + "\nb.json " + two + "\n" + summary80("4 / 4 passed"));

  std::vector<std::string> written;
  alignas(inotify_event) char events[4096];
  ssize_t n = ::read(watch, events, sizeof events);
  for (ssize_t at = 0; at < n;) {
    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
    written.emplace_back(event->name);
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  ::close(watch);
  EXPECT_EQ(written, (std::vector<std::string>{"b.json", "a.json"}));
}

TEST(Cli, RewritesTheOthersWhenOneFileFailsToDecode) {
  OpenDir dir;
  dir.put("a.json", "{\"b\":1,\"a\":2}");
  dir.put("m.json", "{\n  \"a\": 1\n} x");
  dir.put("z.json", "[true,false,null]");
  ChildResult r = run({"."}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  const std::string two = std::string(kPassMark) + std::string(kPassMark);
  EXPECT_EQ(r.out, kHeader + "a.json " + two + "\nm.json " + std::string(kFailMark) +
                       "\n\t\x1b[91mlint_file: JSONDecodeError: trailing characters at line 3 column 3"
                       "\x1b[00m\nz.json " + two + "\n" + summary80("4 / 5 passed"));
  EXPECT_EQ(read_file(dir / "a.json"), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
  EXPECT_EQ(read_file(dir / "m.json"), "{\n  \"a\": 1\n} x");
  EXPECT_EQ(read_file(dir / "z.json"), "[\n  true,\n  false,\n  null\n]\n");
}

TEST(Cli, LeavesFilesItMayNotReadOrWriteUnchanged) {
  OpenDir dir;
  dir.put("a.json", "[1]");
  dir.put("unreadable.json", "[2]", 0222);
  dir.put("unwritable.json", "[3]", 0444);
  Options options;
  options.unprivileged = true;
  ChildResult r = run({"."}, dir.path(), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  const std::string detail = "\t\x1b[91mlint_file: IOError: Permission denied (os error 13)\x1b[00m\n";
  EXPECT_EQ(r.out, kHeader + "a.json " + std::string(kPassMark) + std::string(kPassMark) + "\nunreadable.json " +
                       std::string(kFailMark) + "\n" + detail + "unwritable.json " + std::string(kFailMark) +
                       "\n" + detail + summary80("2 / 4 passed"));
  EXPECT_EQ(read_file(dir / "a.json"), "[\n  1\n]\n");
  EXPECT_EQ(read_file(dir / "unreadable.json"), "[2]");
  EXPECT_EQ(read_file(dir / "unwritable.json"), "[3]");
}

TEST(Cli, KeepsWorkingWhenStandardOutputIsClosedEarly) {
  struct Case {
    std::string_view second_file;
    std::string_view second_after;
    int status;
  };
  const Case cases[] = {{"{\"b\":1,\"a\":2}", "{\n  \"a\": 2,\n  \"b\": 1\n}\n", 0}, {"[1,]", "[1,]", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.second_file);
    OpenDir dir;
    dir.put("a.json", "[1]");
    dir.put("b.json", c.second_file);
    // A report longer than the stream's buffer, so that more than one write meets the closed pipe.
    std::vector<std::string> args = {"a.json"};
    for (int i = 0; i < 400; ++i) args.push_back("./a.json");
    args.push_back("b.json");
    Options options;
    options.stdout_kind = Stdout::ClosedPipe;
    ChildResult r = run(args, dir.path(), options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir / "a.json"), "[\n  1\n]\n");
    EXPECT_EQ(read_file(dir / "b.json"), c.second_after);
  }
}

TEST(Cli, WaitsForANonBlockingStandardOutputThatIsFull) {
  OpenDir dir;
  std::string expected = kHeader;
  const std::string two = std::string(kPassMark) + std::string(kPassMark);
  constexpr int kFiles = 1500;  // a report well over a pipe's 64 KiB
  for (int i = 0; i < kFiles; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "a-file-with-a-name-long-enough-%04d.json", i);
    dir.put(name, "[]");
    expected += std::string(name) + " " + two + "\n";
  }
  Options options;
  options.stdout_kind = Stdout::PausedNonBlockingPipe;
  ChildResult r = run({"."}, dir.path(), options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out == expected + summary80(std::to_string(2 * kFiles) + " / " + std::to_string(2 * kFiles) + " passed"))
      << r.out.size() << " bytes of the report arrived";
}

TEST(Cli, PassesNamesThatAreNotTextThroughByteForByte) {
  OpenDir dir;
  const std::string name = "\xff\xfe\x80.json";
  // The stray 0x80 would be a C1 control to an 8-bit terminal: only the report escapes it.
  const std::string shown = "\xff\xfe\\x80.json";
  dir.put(name, "{\"\xc3\xa9\":1,\"a\":2}");
  const std::string two = std::string(kPassMark) + std::string(kPassMark);
  const std::vector<std::vector<std::string>> cases = {{name}, {"."}, {dir / name}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    ChildResult r = run(args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kHeader + shown + " " + two + "\n" + summary80("2 / 2 passed"));
    EXPECT_EQ(read_file(dir / name), "{\n  \"a\": 2,\n  \"\xc3\xa9\": 1\n}\n");
  }
}

TEST(Cli, CentresBannersOnTheTerminalWidth) {
  OpenDir dir;
  ::mkdir((dir / "dir").c_str(), 0777);
  dir.put("a.json", "[]");
  dir.put("b.json", "[]", 0);
  dir.put("dir/c.json", "{}");
  const std::string two = std::string(kPassMark) + std::string(kPassMark);
  const std::string detail = "\t\x1b[91mlint_file: IOError: Permission denied (os error 13)\x1b[00m\n";
  const std::string body = "a.json " + two + "\nb.json " + std::string(kFailMark) + "\n" + detail +
                           "dir/c.json " + two + "\n";
  struct Case {
    unsigned short columns;
    std::size_t title_fill;
    std::size_t summary_fill;
  };
  const Case cases[] = {{40, 15, 13}, {80, 35, 33}, {81, 35, 33}, {0, 0, 0}, {10, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.columns);
    Options options;
    options.stdout_kind = Stdout::Terminal;
    options.columns = c.columns;
    options.unprivileged = true;
    ChildResult r = run({"a.json", "b.json", "dir"}, dir.path(), options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, banner("orveller", "", c.title_fill) + body +
                         banner("4 / 5 passed", "\x1b[92m", c.summary_fill));
  }
}

}  // namespace
