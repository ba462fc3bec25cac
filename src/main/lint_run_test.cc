// The per-file step on real files: what it writes, what it refuses, what it leaves alone.
#include "main/lint_run.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include <gtest/gtest.h>

#include "rules/rules.h"
#include "tests/test_support.h"

namespace orvel {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// Ages a file's modification time, so that any rewrite, however fast, shows in it.
void set_old_mtime(const std::string& path) {
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The current time as a file system with whole-second times stamps it.
struct timespec this_second() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return {now.tv_sec, 0};
}

std::string failure_of(Result<FixedFile, std::string>&& result) {
  return result.ok() ? std::string("(no failure)") : std::move(result).error();
}

// What another program does to the file at one moment of its processing, reached through the
// table every file call goes through: once, right after the read that brought the bytes in, or
// right before the path is looked at again for the write-back.
std::function<void()> g_change;

void change_once() {
  int error_number = errno;
  if (g_change) std::exchange(g_change, nullptr)();
  errno = error_number;
}
ssize_t read_then_change(int fd, void* data, std::size_t size) {
  ssize_t n = ::read(fd, data, size);
  change_once();
  return n;
}
int change_then_stat(const char* path, struct stat* status) {
  change_once();
  return ::stat(path, status);
}

// The system's calls, with the change made at that moment.
FileOps changing_after_read() {
  FileOps ops = system_file_ops();
  ops.read = read_then_change;
  return ops;
}
FileOps changing_before_write_back() {
  FileOps ops = system_file_ops();
  ops.stat = change_then_stat;
  return ops;
}

TEST(LintFile, RewritesIntoCanonicalTextWithOneFinalLineFeed) {
  struct Case {
    std::string_view input;
    std::string_view output;
  };
  const Case cases[] = {
      {"{\"b\":1,\"a\":[1,2]}", "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": 1\n}\n"},
      {"[]\n\n\n", "[]\n"},
      {"{} \t\r\n \n", "{}\n"},
      {"5", "5\n"},
      {"\"x\"\n", "\"x\"\n"},
      {"{\"a10\":1,\"a9\":{\"d\":[],\"c\":{}}}",
       "{\n  \"a9\": {\n    \"c\": {},\n    \"d\": []\n  },\n  \"a10\": 1\n}\n"},
      // Much shorter afterwards: the tail of the old text must not survive.
      {"[1,        \n\n\n        2]            \n\n\n\n\n\n", "[\n  1,\n  2\n]\n"},
      // Already canonical: written again, byte for byte the same.
      {"{\n  \"a\": 1\n}\n", "{\n  \"a\": 1\n}\n"},
  };
  TempDir dir;
  FileScratch scratch;  // shared across the cases, as in a run
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    std::string path = dir / "a.json";
    write_file(path, c.input);
    set_old_mtime(path);
    Result<FixedFile, std::string> result = lint_file(path, scratch);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_TRUE(keys_are_sorted(result.value().document));
    EXPECT_TRUE(result.value().keys_sorted);
    EXPECT_EQ(read_file(path), c.output);
    EXPECT_NE(stat_of(path).st_mtim.tv_sec, 1000000000);
  }
}

TEST(LintFile, LeavesUndecodableFilesUntouched) {
  struct Case {
    std::string_view input;
    std::string_view message;
  };
  const Case cases[] = {
      {"{} {}", "JSONDecodeError: trailing characters at line 1 column 4"},
      {"", "JSONDecodeError: EOF while parsing a value at line 1 column 0"},
      {"{\n  \"a\": 1\n} x", "JSONDecodeError: trailing characters at line 3 column 3"},
  };
  TempDir dir;
  FileScratch scratch;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    std::string path = dir / "a.json";
    write_file(path, c.input);
    set_old_mtime(path);
    EXPECT_EQ(failure_of(lint_file(path, scratch)), c.message);
    EXPECT_EQ(read_file(path), c.input);
    EXPECT_EQ(stat_of(path).st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(stat_of(path).st_mtim.tv_nsec, 0);
  }
}

TEST(LintFile, ReusedScratchCarriesNothingFromTheLastFile) {
  TempDir dir;
  FileScratch scratch;
  std::string big = "[";
  for (int i = 0; i < 5000; ++i) big += "\"some long string value\",";
  big += "0]";
  write_file(dir / "big.json", big);
  write_file(dir / "small.json", "{\"b\":true,\"a\":null}");
  ASSERT_TRUE(lint_file(dir / "big.json", scratch).ok());
  ASSERT_TRUE(lint_file(dir / "small.json", scratch).ok());
  EXPECT_EQ(read_file(dir / "small.json"), "{\n  \"a\": null,\n  \"b\": true\n}\n");
}

TEST(LintFile, KeepsInodeLinksPermissionsAndSymbolicLinks) {
  TempDir dir;
  FileScratch scratch;
  std::string file = dir / "a.json";
  std::string hard = dir / "hard.json";
  std::string link = dir / "link.json";
  write_file(file, "[1]");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(::link(file.c_str(), hard.c_str()), 0);
  ASSERT_EQ(::symlink("a.json", link.c_str()), 0);
  struct stat before = stat_of(file);

  ASSERT_TRUE(lint_file(link, scratch).ok());

  struct stat after = stat_of(file);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(read_file(hard), "[\n  1\n]\n");
  EXPECT_TRUE(S_ISLNK(stat_of(link).st_mode));
  std::string target(16, '\0');
  ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
  ASSERT_GT(n, 0);
  target.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(target, "a.json");
}

TEST(LintFile, RefusesWhatIsNotARegularFileWithoutBlocking) {
  TempDir dir;
  FileScratch scratch;
  std::string lonely = dir / "lonely.fifo";
  std::string fed = dir / "fed.fifo";
  ASSERT_EQ(::mkfifo(lonely.c_str(), 0666), 0);
  ASSERT_EQ(::mkfifo(fed.c_str(), 0666), 0);
  // Read-write keeps the FIFO open with a writer (and a reader, so the write does not block).
  int feeder = ::open(fed.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(feeder, 0);
  ASSERT_EQ(::write(feeder, "{}", 2), 2);

  struct Case {
    std::string path;
    std::string_view message;
  };
  const Case cases[] = {
      {dir.path(), "IOError: Is a directory (os error 21)"},
      {lonely, "IOError: not a regular file"},
      {fed, "IOError: not a regular file"},
      {"/dev/zero", "IOError: not a regular file"},
      {dir / "missing.json", "IOError: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(failure_of(lint_file(c.path, scratch)), c.message);
  }
  // Nothing was taken out of the FIFO.
  char got[4] = {};
  EXPECT_EQ(::read(feeder, got, sizeof got), 2);
  EXPECT_EQ(std::string_view(got, 2), "{}");
  ::close(feeder);
  // And nothing was created in place of the missing file.
  EXPECT_NE(::access((dir / "missing.json").c_str(), F_OK), 0);
}

// Between the read and the write-back, something else changes what the path leads to. The new
// text must go to the file that was read, as it was read, or nowhere.
TEST(LintFile, WritesNothingWhenThePathNoLongerLeadsToTheFileAsItWasRead) {
  const std::string old_text = "{\"b\":1,\"a\":2}";
  const std::string precious = "precious data";
  struct Case {
    std::string_view what;
    void (*change)(const TempDir& dir);
    std::string_view message;
    std::string_view at_path;  // what the path holds afterwards; empty: nothing there
  };
  const Case cases[] = {
      {"swapped for a link to another file",
       [](const TempDir& dir) {
         ASSERT_EQ(::rename((dir / "a.json").c_str(), (dir / "moved").c_str()), 0);
         ASSERT_EQ(::symlink("victim.txt", (dir / "a.json").c_str()), 0);
       },
       "IOError: the file was replaced while it was being processed", "precious data"},
      {"replaced by a save",
       [](const TempDir& dir) {
         write_file(dir / "saved", "{\"edited\":1}");
         ASSERT_EQ(::rename((dir / "saved").c_str(), (dir / "a.json").c_str()), 0);
       },
       "IOError: the file was replaced while it was being processed", "{\"edited\":1}"},
      {"appended to",
       [](const TempDir& dir) {
         int fd = ::open((dir / "a.json").c_str(), O_WRONLY | O_APPEND);
         ASSERT_EQ(::write(fd, ",", 1), 1);
         ::close(fd);
       },
       "IOError: the file was changed while it was being processed", "{\"b\":1,\"a\":2},"},
      {"rewritten at the same size",
       [](const TempDir& dir) {
         int fd = ::open((dir / "a.json").c_str(), O_WRONLY);
         ASSERT_EQ(::write(fd, "{\"b\":3", 6), 6);
         ::close(fd);
         // Modification times are coarse: make sure this one moved.
         struct timespec times[2] = {{2000000000, 0}, {2000000000, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "a.json").c_str(), times, 0), 0);
       },
       "IOError: the file was changed while it was being processed", "{\"b\":3,\"a\":2}"},
      {"rewritten at the same size in the whole second of its read",
       [](const TempDir& dir) {
         // As on a file system whose times are whole seconds: the edit leaves the time alone.
         int fd = ::open((dir / "a.json").c_str(), O_WRONLY);
         ASSERT_EQ(::write(fd, "{\"b\":3", 6), 6);
         ::close(fd);
         struct timespec times[2] = {this_second(), this_second()};
         ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "a.json").c_str(), times, 0), 0);
       },
       "IOError: the file was changed while it was being processed", "{\"b\":3,\"a\":2}"},
      {"left alone in the whole second of its read", [](const TempDir&) {}, "(no failure)",
       "{\n  \"a\": 2,\n  \"b\": 1\n}\n"},
      {"removed", [](const TempDir& dir) { ASSERT_EQ(::unlink((dir / "a.json").c_str()), 0); },
       "IOError: No such file or directory (os error 2)", ""},
      {"swapped for a dangling link",
       [](const TempDir& dir) {
         ASSERT_EQ(::unlink((dir / "a.json").c_str()), 0);
         ASSERT_EQ(::symlink("elsewhere.json", (dir / "a.json").c_str()), 0);
       },
       "IOError: No such file or directory (os error 2)", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    FileScratch scratch;
    write_file(dir / "a.json", old_text);
    // The file's time is the current whole second, as a file system with coarse times gives it.
    struct timespec times[2] = {this_second(), this_second()};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "a.json").c_str(), times, 0), 0);
    write_file(dir / "victim.txt", precious);
    const FileOps ops = changing_before_write_back();
    scratch.file_ops = &ops;
    g_change = [&] { c.change(dir); };
    EXPECT_EQ(failure_of(lint_file(dir / "a.json", scratch)), c.message);
    EXPECT_FALSE(std::exchange(g_change, nullptr)) << "the path was not looked at again";
    EXPECT_EQ(read_file(dir / "victim.txt"), precious);
    if (c.at_path.empty()) {
      EXPECT_NE(::access((dir / "a.json").c_str(), F_OK), 0);
      EXPECT_NE(::access((dir / "elsewhere.json").c_str(), F_OK), 0);
    } else {
      EXPECT_EQ(read_file(dir / "a.json"), c.at_path);
    }
    if (::access((dir / "moved").c_str(), F_OK) == 0) {
      EXPECT_EQ(read_file(dir / "moved"), old_text);
    }
  }
}

// A file written to while it was read: bytes caught half way through another program's write are
// not reported as that file's decode error.
TEST(LintFile, ADecodeFailureOnAFileChangedWhileReadSaysItChanged) {
  struct Case {
    std::string_view what;
    std::string_view old_text;
    void (*change)(const std::string& path);
    std::string_view message;
  };
  const Case cases[] = {
      {"completed by another program", "{\"a\":1,",
       [](const std::string& path) {
         int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
         ASSERT_EQ(::write(fd, "\"b\":2}", 6), 6);
         ::close(fd);
       },
       "IOError: the file was changed while it was being processed"},
      {"rewritten at the same size", "[1,2,",
       [](const std::string& path) {
         int fd = ::open(path.c_str(), O_WRONLY);
         ASSERT_EQ(::write(fd, "[1,2]", 5), 5);
         ::close(fd);
         struct timespec times[2] = {{2000000000, 0}, {2000000000, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
       },
       "IOError: the file was changed while it was being processed"},
      {"left alone", "[1,2,", [](const std::string&) {},
       "JSONDecodeError: EOF while parsing a value at line 1 column 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    FileScratch scratch;
    std::string path = dir / "a.json";
    write_file(path, c.old_text);
    set_old_mtime(path);
    const FileOps ops = changing_after_read();
    scratch.file_ops = &ops;
    g_change = [&] { c.change(path); };
    EXPECT_EQ(failure_of(lint_file(path, scratch)), c.message);
    EXPECT_FALSE(std::exchange(g_change, nullptr)) << "the file was not read";
  }
}

// Another program holds a lease on the file (as Samba and NFS servers do for their clients). The
// rewrite waits, as other programs do, until the holder lets go on being told to, instead of
// failing at once; and without /proc (an empty chroot) it still waits, by retrying.
TEST(LintFile, WaitsForALeaseHolderToLetGo) {
  for (bool hide_proc : {false, true}) {
    SCOPED_TRACE(hide_proc ? "without /proc" : "with /proc");
    TempDir dir;
    std::string path = dir / "a.json";
    write_file(path, "{\"b\":1,\"a\":2}");
    int to_parent[2];
    ASSERT_EQ(::pipe(to_parent), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
      // Told of the break by SIGIO, taken synchronously: no handler, no sleep.
      sigset_t lease_break;
      sigemptyset(&lease_break);
      sigaddset(&lease_break, SIGIO);
      ::sigprocmask(SIG_BLOCK, &lease_break, nullptr);
      int fd = ::open(path.c_str(), O_RDONLY);
      char ready = (fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) ? 'y' : 'n';
      (void)!::write(to_parent[1], &ready, 1);
      if (ready != 'y') ::_exit(0);
      siginfo_t info;
      while (::sigwaitinfo(&lease_break, &info) < 0) {
      }
      char told = 'b';
      (void)!::write(to_parent[1], &told, 1);
      ::fcntl(fd, F_SETLEASE, F_UNLCK);
      ::_exit(0);
    }
    ASSERT_GT(holder, 0);
    ::close(to_parent[1]);
    char ready = 0;
    ASSERT_EQ(::read(to_parent[0], &ready, 1), 1);
    if (ready != 'y') {
      ::waitpid(holder, nullptr, 0);
      ::close(to_parent[0]);
      GTEST_SKIP() << "no lease can be taken here (needs a local file system and the file's owner)";
    }
    std::string message;
    if (hide_proc) {
      // In a child with an empty /proc of its own, so this process's view is untouched.
      testing::ChildResult run = testing::run_child(dir.path(), [&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) {
          (void)!::write(1, "skip", 4);
          ::_exit(0);
        }
        FileScratch scratch;
        std::string failure = failure_of(lint_file(path, scratch));
        (void)!::write(1, failure.data(), failure.size());
        ::_exit(0);
      });
      message = run.out;
    } else {
      FileScratch scratch;
      message = failure_of(lint_file(path, scratch));
    }
    char told = 0;
    bool was_told = ::read(to_parent[0], &told, 1) == 1 && told == 'b';
    ::close(to_parent[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    if (message == "skip") GTEST_SKIP() << "no private mount namespace here (needs root)";
    EXPECT_TRUE(was_told);
    EXPECT_EQ(message, "(no failure)");
    EXPECT_EQ(read_file(path), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
  }
}

TEST(LintFile, StopsReadingAFileThatCannotBeJsonAfterItsFirstStretch) {
  TempDir dir;
  FileScratch scratch;
  std::string path = dir / "sparse.json";
  write_file(path, "\n  ");
  // Sparse: 4 GiB of zero bytes on paper, nothing on disk.
  ASSERT_EQ(::truncate(path.c_str(), off_t{4} << 30), 0);
  EXPECT_EQ(failure_of(lint_file(path, scratch)), "JSONDecodeError: expected value at line 2 column 3");
  EXPECT_LE(scratch.bytes.size(), std::size_t{1} << 20);
}

}  // namespace
}  // namespace orvel
