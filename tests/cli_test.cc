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

using orvel::testing::orvel_binary;
using orvel::testing::read_file;
using orvel::testing::TempDir;
using orvel::testing::write_file;

constexpr uid_t kNobody = 65534;  // permission bits mean nothing to root

// PausedNonBlockingPipe: a non-blocking pipe that is not read until it has filled up.
enum class Stdout { Pipe, ClosedPipe, PausedNonBlockingPipe, Terminal };

struct Options {
  Stdout stdout_kind = Stdout::Pipe;
  unsigned short columns = 0;  // for Stdout::Terminal
  bool unprivileged = false;   // drop to an unprivileged user first when running as root
  bool remove_cwd = false;     // remove the (empty) working directory once inside it
};

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the program did not exit normally
};

std::string banner(std::size_t fill, std::string_view title, std::string_view colour = "") {
  std::string side(fill, '=');
  std::string line(colour);
  line += side + " " + std::string(title) + " " + side;
  if (!colour.empty()) line += "\x1b[00m";
  return line + "\n";
}

constexpr std::string_view kPass = "\x1b[92m.\x1b[00m";
constexpr std::string_view kFail = "\x1b[91mF\x1b[00m";
const std::string kUsage =
    "usage: orvel PATH [PATH ...]\nFixes and lints like: orveller PATH... --fix --config-set indent=2\n";
const std::string kHeader = banner(80, "orveller");
std::string summary80(std::string_view counts) { return banner(80, counts, "\x1b[92m"); }

// Reads `fds` until each reports the end (a pty master reports it as EIO once the child is gone).
void drain(std::vector<std::pair<int, std::string*>> fds) {
  while (!fds.empty()) {
    std::vector<pollfd> polls;
    for (auto& [fd, sink] : fds) polls.push_back({fd, POLLIN, 0});
    if (::poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "poll: " << std::strerror(errno);
      return;
    }
    for (std::size_t i = polls.size(); i-- > 0;) {
      if (polls[i].revents == 0) continue;
      char chunk[4096];
      ssize_t n = ::read(fds[i].first, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(fds[i].first);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
      fds[i].second->append(chunk, static_cast<std::size_t>(n));
    }
  }
}

[[noreturn]] void child_fail(const char* what) {
  ssize_t ignored = ::write(2, what, std::strlen(what));
  (void)ignored;
  ::_exit(127);
}

// Runs the program with `args` (argv[1...]) in `cwd`.
Outcome run(const std::vector<std::string>& args, const std::string& cwd, const Options& options = {}) {
  Outcome result;
  int err_pipe[2];
  int out_pipe[2] = {-1, -1};
  int master = -1;
  int slave = -1;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return result;
  }
  if (options.stdout_kind == Stdout::Terminal) {
    struct winsize size = {};
    size.ws_col = options.columns;
    size.ws_row = 24;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
      ADD_FAILURE() << "openpty: " << std::strerror(errno);
      return result;
    }
    // Raw: the terminal must hand on the report's bytes as they are, "\n" included.
    struct termios mode;
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
  } else if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return result;
  } else if (options.stdout_kind == Stdout::ClosedPipe) {
    ::close(out_pipe[0]);  // the reader is gone before the program writes a byte
    out_pipe[0] = -1;
  } else if (options.stdout_kind == Stdout::PausedNonBlockingPipe) {
    ::fcntl(out_pipe[1], F_SETFL, O_NONBLOCK);
  }

  std::vector<char*> argv;
  std::string binary = orvel_binary();
  argv.push_back(binary.data());
  std::vector<std::string> owned = args;
  for (std::string& arg : owned) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t child = ::fork();
  if (child == 0) {
    int out_fd = options.stdout_kind == Stdout::Terminal ? slave : out_pipe[1];
    if (::dup2(out_fd, 1) < 0 || ::dup2(err_pipe[1], 2) < 0) child_fail("dup2\n");
    if (::chdir(cwd.c_str()) != 0) child_fail("chdir\n");
    if (options.remove_cwd && ::rmdir(cwd.c_str()) != 0) child_fail("rmdir\n");
    if (options.unprivileged && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        child_fail("dropping privileges\n");
      }
    }
    ::execv(argv[0], argv.data());
    child_fail("exec\n");
  }
  ::close(err_pipe[1]);
  std::vector<std::pair<int, std::string*>> sinks = {{err_pipe[0], &result.err}};
  if (options.stdout_kind == Stdout::Terminal) {
    ::close(slave);
    sinks.push_back({master, &result.out});
  } else {
    ::close(out_pipe[1]);
    if (out_pipe[0] >= 0) sinks.push_back({out_pipe[0], &result.out});
  }
  if (options.stdout_kind == Stdout::PausedNonBlockingPipe) {
    // Read nothing until the pipe is full and the program has had time to meet "try again".
    int capacity = ::fcntl(out_pipe[0], F_GETPIPE_SZ);
    int waiting = 0;
    while (::ioctl(out_pipe[0], FIONREAD, &waiting) == 0 && waiting < capacity && ::waitpid(child, nullptr, WNOWAIT | WNOHANG | WEXITED) == 0) {
      ::usleep(1000);
    }
    ::usleep(100 * 1000);
  }
  drain(sinks);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
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
    Outcome r = run(args, dir.path());
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
    Outcome r = run(c.args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kHeader + c.name + " " + std::string(kPass) + std::string(kPass) + "\n" +
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
    Outcome r = run(args, dir.path());
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
  Outcome r = run({dir / "a.json"}, dir / "gone", options);
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
  Outcome r = run({"sub", "missing.json", ".", "notes.txt"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string two = std::string(kPass) + std::string(kPass);
  EXPECT_EQ(r.out, kHeader + "B.json " + two + "\na.json " + two + "\nnotes.txt " + two +
                       "\nsub/c.json " + two + "\n" + summary80("8 / 8 passed"));
  EXPECT_EQ(read_file(dir / "a.json"),
            "{\n  \"a9\": 0,\n  \"a10\": 0,\n  \"z\": [\n    1,\n    {\n      \"a\": 1,\n"
            "      \"b\": 2\n    }\n  ]\n}\n");
  EXPECT_EQ(read_file(dir / "B.json"), "[]\n");
  EXPECT_EQ(read_file(dir / "sub/c.json"), "1\n");
  EXPECT_EQ(read_file(dir / "notes.txt"), "\"taken when named\"\n");
}

TEST(Cli, GathersRepeatedNamesUnderOneEntry) {
  OpenDir dir;
  ::mkdir((dir / "sub").c_str(), 0777);
  dir.put("a.json", "{}");
  const std::string two = std::string(kPass) + std::string(kPass);
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
    Outcome r = run(c.args, dir.path());
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
  Outcome r = run({"b.json", "a.json"}, dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string two = std::string(kPass) + std::string(kPass);
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
  Outcome r = run({"."}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  const std::string two = std::string(kPass) + std::string(kPass);
  EXPECT_EQ(r.out, kHeader + "a.json " + two + "\nm.json " + std::string(kFail) +
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
  Outcome r = run({"."}, dir.path(), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  const std::string detail = "\t\x1b[91mlint_file: IOError: Permission denied (os error 13)\x1b[00m\n";
  EXPECT_EQ(r.out, kHeader + "a.json " + std::string(kPass) + std::string(kPass) + "\nunreadable.json " +
                       std::string(kFail) + "\n" + detail + "unwritable.json " + std::string(kFail) +
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
    Outcome r = run(args, dir.path(), options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir / "a.json"), "[\n  1\n]\n");
    EXPECT_EQ(read_file(dir / "b.json"), c.second_after);
  }
}

TEST(Cli, WaitsForANonBlockingStandardOutputThatIsFull) {
  OpenDir dir;
  std::string expected = kHeader;
  const std::string two = std::string(kPass) + std::string(kPass);
  constexpr int kFiles = 1500;  // a report well over a pipe's 64 KiB
  for (int i = 0; i < kFiles; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "a-file-with-a-name-long-enough-%04d.json", i);
    dir.put(name, "[]");
    expected += std::string(name) + " " + two + "\n";
  }
  Options options;
  options.stdout_kind = Stdout::PausedNonBlockingPipe;
  Outcome r = run({"."}, dir.path(), options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out == expected + summary80(std::to_string(2 * kFiles) + " / " + std::to_string(2 * kFiles) + " passed"))
      << r.out.size() << " bytes of the report arrived";
}

TEST(Cli, PassesNamesThatAreNotTextThroughByteForByte) {
  OpenDir dir;
  const std::string name = "\xff\xfe\x80.json";
  dir.put(name, "{\"\xc3\xa9\":1,\"a\":2}");
  const std::string two = std::string(kPass) + std::string(kPass);
  const std::vector<std::vector<std::string>> cases = {{name}, {"."}, {dir / name}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    Outcome r = run(args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kHeader + name + " " + two + "\n" + summary80("2 / 2 passed"));
    EXPECT_EQ(read_file(dir / name), "{\n  \"a\": 2,\n  \"\xc3\xa9\": 1\n}\n");
  }
}

TEST(Cli, CentresBannersOnTheTerminalWidth) {
  OpenDir dir;
  ::mkdir((dir / "dir").c_str(), 0777);
  dir.put("a.json", "[]");
  dir.put("b.json", "[]", 0);
  dir.put("dir/c.json", "{}");
  const std::string two = std::string(kPass) + std::string(kPass);
  const std::string detail = "\t\x1b[91mlint_file: IOError: Permission denied (os error 13)\x1b[00m\n";
  const std::string body = "a.json " + two + "\nb.json " + std::string(kFail) + "\n" + detail +
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
    Outcome r = run({"a.json", "b.json", "dir"}, dir.path(), options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, banner(c.title_fill, "orveller") + body +
                         banner(c.summary_fill, "4 / 5 passed", "\x1b[92m"));
  }
}

}  // namespace
