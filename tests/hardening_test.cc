// End-to-end runs of the built program under hostile conditions: write failures part-way through
// a rewrite, a full disk, exhausted memory, signals during a rewrite, extreme nesting, load.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <initializer_list>
#include <map>
#include <utility>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace orvel {
namespace {

using testing::ChildOptions;
using testing::ChildResult;
using testing::expected_report;
using testing::ReportEntry;
using testing::orvel_binary;
using testing::run_orvel;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

ino_t inode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

// A compact object whose canonical text is several times longer: sorting and indentation.
std::string compact_object(int entries) {
  std::string text = "{";
  for (int i = entries; i > 0; --i) {
    text += "\"key" + std::to_string(i) + "\":[" + std::to_string(i) + ",true]";
    if (i > 1) text += ",";
  }
  return text + "}";
}

TEST(Hardening, FileTooLargeMidRewriteKeepsOldBytesAndInodeAndRunGoesOn) {
  TempDir dir;
  std::string old_text = compact_object(60);
  std::string big = dir / "a.json";
  std::string small = dir / "b.json";
  write_file(big, old_text);
  write_file(small, "{\"b\":1,\"a\":2}");
  ino_t inode = inode_of(big);
  // Above the old length, the report and the small file's text, below the big file's new text.
  rlim_t limit = old_text.size() + 200;

  ChildResult run = run_orvel(dir.path(), {"a.json", "b.json"}, {.in_child = [limit] {
    struct rlimit rl {limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    // Ignored signals survive exec: reset it so that only the program itself can ignore it.
    ::signal(SIGXFSZ, SIG_DFL);
  }});

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, expected_report({{"a.json", "IOError: File too large (os error 27)"}, {"b.json", ""}}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(big), old_text);
  EXPECT_EQ(inode_of(big), inode);
  EXPECT_EQ(read_file(small), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
}

// Another program edits the file between its read and its write-back, keeps the size and puts
// the times back, as rsync -t, cp -p or tar -x onto the file do: only the change time, which no
// program sets, shows it, and the edit must stay. strace holds the program's read back; its line
// for the read comes before the hold, so the edit falls in between.
TEST(Hardening, AnEditThatPutsTheTimesBackBetweenReadAndWriteIsKept) {
#ifdef ORVEL_EMULATOR
  GTEST_SKIP() << "strace would hold back the emulator's reads, not the program's";
#endif
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/strace here";
  TempDir dir;
  std::string path = dir / "a.json";
  write_file(path, "{\"b\":1,\"a\":2}");
  const std::string edit = "{\"b\":1,\"a\":3}";
  int trace[2];
  ASSERT_EQ(::pipe(trace), 0);
  bool held_back = false;
  std::thread other_program([&] {
    std::string seen;
    char chunk[512];
    ssize_t n = 0;
    while (seen.find("DELAYED") == std::string::npos && (n = ::read(trace[0], chunk, sizeof chunk)) > 0) {
      seen.append(chunk, static_cast<std::size_t>(n));
    }
    held_back = n > 0;
    if (!held_back) return;
    int fd = ::open(path.c_str(), O_WRONLY);
    struct stat before {};
    EXPECT_EQ(::fstat(fd, &before), 0);
    EXPECT_EQ(::write(fd, edit.data(), edit.size()), static_cast<ssize_t>(edit.size()));
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    EXPECT_EQ(::futimens(fd, times), 0);
    ::close(fd);
  });
  std::string trace_out = "/proc/self/fd/" + std::to_string(trace[1]);
  ChildResult run = testing::run_child(dir.path(), [&] {
#ifdef ORVEL_TESTS_SANITIZED
    // The leak checker cannot stop a traced process's threads, and would fail the run.
    const char* options = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", (std::string(options != nullptr ? options : "") + ":detect_leaks=0").c_str(), 1);
#endif
    std::string binary = orvel_binary();
    ::execl("/usr/bin/strace", "strace", "-qq", "-o", trace_out.c_str(), "-P", path.c_str(), "-e", "trace=read", "-e",
            "inject=read:delay_exit=2000000:when=1", binary.c_str(), path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  });
  ::close(trace[1]);
  other_program.join();
  ::close(trace[0]);
  if (!held_back) GTEST_SKIP() << "strace could not hold the read back here: " << run.err;
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, expected_report({{"a.json", "IOError: the file was changed while it was being processed"}}));
  EXPECT_EQ(read_file(path), edit);
}

// The child that owns the private mount: it builds a full tmpfs, runs the program inside it and
// copies out what the test needs, since the mount vanishes with it. Exit 0 means it ran; 77 means
// the sandbox could not be made, with the reason in `reason_path`.
int disk_full_child(const std::string& mount_dir, const std::string& old_text,
                    const std::string& after_path, const std::string& reason_path) {
  auto skip = [&](const char* what) {
    std::string reason = std::string(what) + ": " + std::strerror(errno);
    int fd = ::open(reason_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      (void)!::write(fd, reason.data(), reason.size());
      ::close(fd);
    }
    return 77;
  };
  if (::unshare(CLONE_NEWNS) != 0) return skip("unshare(CLONE_NEWNS)");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return skip("mount private");
  if (::mount("tmpfs", mount_dir.c_str(), "tmpfs", 0, "size=64k") != 0) return skip("mount tmpfs");

  std::string file = mount_dir + "/a.json";
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, old_text.data(), old_text.size()) != static_cast<ssize_t>(old_text.size())) return 1;
  ::close(fd);
  // Fill every remaining block, so the longer new text has nowhere to go.
  int filler = ::open((mount_dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (filler < 0) return 1;
  std::string block(4096, 'x');
  while (::write(filler, block.data(), block.size()) > 0) {
  }
  while (::write(filler, "x", 1) > 0) {
  }
  ::close(filler);

  ChildResult run = run_orvel(mount_dir, {"a.json"});
  int out = ::open(after_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string after = read_file(file);
  std::string record = std::to_string(run.status) + "\n" + std::to_string(after.size()) + "\n" + after + run.out;
  if (out < 0 || ::write(out, record.data(), record.size()) != static_cast<ssize_t>(record.size())) return 1;
  ::close(out);
  return 0;
}

TEST(Hardening, FullDiskMidRewriteKeepsOldBytes) {
  if (::geteuid() != 0) GTEST_SKIP() << "a private tmpfs needs root; running as uid " << ::geteuid();
  TempDir dir;
  std::string mount_dir = dir / "mnt";
  ASSERT_EQ(::mkdir(mount_dir.c_str(), 0755), 0);
  // Under one page of old text, over one page of new text.
  std::string old_text = compact_object(150);
  ASSERT_LT(old_text.size(), 4096u);
  std::string after_path = dir / "after";
  std::string reason_path = dir / "reason";

  pid_t pid = ::fork();
  if (pid == 0) ::_exit(disk_full_child(mount_dir, old_text, after_path, reason_path));
  ASSERT_GT(pid, 0);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private tmpfs here: " << read_file(reason_path);
  ASSERT_EQ(WEXITSTATUS(status), 0);

  std::string record = read_file(after_path);
  EXPECT_EQ(record, "1\n" + std::to_string(old_text.size()) + "\n" + old_text +
                        expected_report({{"a.json", "IOError: No space left on device (os error 28)"}}));
}

// About `target_bytes` of records, compact and out of key order, and the canonical text they become.
struct BigDocument {
  std::string input;
  std::string output;
};

BigDocument big_document(std::size_t target_bytes) {
  const std::string note(120, 'n');
  BigDocument doc;
  doc.input.reserve(target_bytes + 4096);
  doc.output.reserve(target_bytes * 3 / 2);
  doc.input += "[";
  doc.output += "[";
  for (std::uint64_t i = 0; doc.input.size() < target_bytes; ++i) {
    std::string n = std::to_string(i);
    if (i > 0) {
      doc.input += ",";
      doc.output += ",";
    }
    doc.input += "{\"tags\":[\"x\",\"y\"],\"note\":\"" + note + "\",\"id\":" + n + ",\"a10\":true,\"a9\":null}";
    doc.output += "\n  {\n    \"a9\": null,\n    \"a10\": true,\n    \"id\": " + n + ",\n    \"note\": \"" + note +
                  "\",\n    \"tags\": [\n      \"x\",\n      \"y\"\n    ]\n  }";
  }
  doc.input += "]";
  doc.output += "\n]\n";
  return doc;
}

// The first of `candidates` that exists, or "".
std::string first_program(std::initializer_list<const char*> candidates) {
  for (const char* path : candidates) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

// Runs a program to its end with its output discarded; true when it exits 0.
bool run_quietly(const std::vector<std::string>& argv) {
  ChildResult run = testing::run_child("/", [&] {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
  });
  return run.status == 0;
}

// One text rewritten on a nearly full copy-on-write file system at each of `free_levels`.
struct SpaceScenario {
  std::string what;
  bool mixed;               // data and metadata share block groups, as small images have them
  off_t image_bytes;
  std::string old_text;
  std::string new_text;
  std::vector<std::uint64_t> free_levels;  // bytes left free when the run starts
};

// The private mount's child: for every scenario, makes and mounts a btrfs image, then at each
// free level writes the old text, fills the disk with a preallocated file until that much is
// left, runs the program and notes what the file holds and what the report says, one line a
// try: "what<TAB>level<TAB>old|new|neither:SIZE<TAB>passed|no-space|other". The mounts go when
// the child does. 77: the sandbox could not be made, with the reason in `reason_path`.
int copy_on_write_child(const std::string& dir, const std::vector<SpaceScenario>& scenarios,
                        const std::string& record_path, const std::string& reason_path) {
  auto skip = [&](const std::string& why) {
    write_file(reason_path, why);
    return 77;
  };
  std::string mkfs = first_program({"/usr/sbin/mkfs.btrfs", "/sbin/mkfs.btrfs", "/usr/bin/mkfs.btrfs"});
  std::string mount = first_program({"/usr/bin/mount", "/bin/mount"});
  if (mkfs.empty() || mount.empty()) return skip("mkfs.btrfs or mount is not installed");
  if (::unshare(CLONE_NEWNS) != 0) return skip(std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno));
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return skip("mount private");
  const std::string passed = expected_report({{"x.json", ""}});
  const std::string no_space = expected_report({{"x.json", "IOError: No space left on device (os error 28)"}});
  std::string record;
  int image_number = 0;
  for (const SpaceScenario& scenario : scenarios) {
    std::string image = dir + "/image" + std::to_string(image_number);
    std::string mnt = dir + "/mnt" + std::to_string(image_number++);
    write_file(image, "");
    if (::truncate(image.c_str(), scenario.image_bytes) != 0 || ::mkdir(mnt.c_str(), 0755) != 0) return 1;
    std::vector<std::string> make = {mkfs, "-q", "-f"};
    if (scenario.mixed) make.push_back("--mixed");
    make.push_back(image);
    if (!run_quietly(make)) return skip("mkfs.btrfs failed: no btrfs support here");
    if (!run_quietly({mount, "-t", "btrfs", "-o", "loop", image, mnt})) {
      return skip("a btrfs image cannot be mounted here (no loop device or no btrfs in the kernel)");
    }
    std::string file = mnt + "/x.json";
    std::string filler = mnt + "/filler";
    int root = ::open(mnt.c_str(), O_RDONLY | O_DIRECTORY);
    for (std::uint64_t level : scenario.free_levels) {
      ::unlink(filler.c_str());
      write_file(file, scenario.old_text);
      ::syncfs(root);
      struct statfs fs {};
      if (::fstatfs(root, &fs) != 0) return 1;
      std::uint64_t available = static_cast<std::uint64_t>(fs.f_bavail) * static_cast<std::uint64_t>(fs.f_bsize);
      if (available > level) {
        int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0644);
        // Short of the whole, where the file system cannot give it in one piece.
        for (std::uint64_t fill = available - level; fill > 0 && ::fallocate(fd, 0, 0, static_cast<off_t>(fill)) != 0;
             fill = fill * 15 / 16) {
        }
        ::close(fd);
      }
      ::syncfs(root);
      ChildResult run = run_orvel(mnt, {"x.json"});
      std::string after = read_file(file);
      std::string held = after == scenario.old_text   ? "old"
                         : after == scenario.new_text ? "new"
                                                      : "neither:" + std::to_string(after.size());
      std::string said = run.out == passed && run.status == 0     ? "passed"
                         : run.out == no_space && run.status == 1 ? "no-space"
                                                                  : "other";
      record += scenario.what + "\t" + std::to_string(level) + "\t" + held + "\t" + said + "\n";
    }
    ::close(root);
  }
  write_file(record_path, record);
  return 0;
}

// On a copy-on-write file system every overwritten byte takes a new block, and so does every
// byte put back. Nearly full, the rewrite must refuse before its first byte rather than leave
// part of the file new and find no room to put the old bytes back: whatever the free space,
// the file ends old (with the bare message of a full disk) or new (and passed).
TEST(Hardening, NearlyFullCopyOnWriteDiskLeavesTheFileOldOrNew) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a btrfs image needs root; running as uid " << ::geteuid();
  TempDir dir;
  BigDocument growing = big_document(200u << 10);
  BigDocument large = big_document(700u << 10);
  // Longer before than after: the canonical text with every line indented further.
  std::string padded;
  for (char c : growing.output) padded += c == '\n' ? std::string("\n        ") : std::string(1, c);
  auto levels = [](std::uint64_t from, std::uint64_t step, int count) {
    std::vector<std::uint64_t> out;
    for (int i = 0; i < count; ++i) out.push_back(from + step * static_cast<std::uint64_t>(i));
    return out;
  };
  const std::vector<SpaceScenario> scenarios = {
      {"growing, whole", false, off_t{2} << 30, growing.input, growing.output, levels(20'000, 150'000, 24)},
      {"shrinking, whole", false, off_t{2} << 30, padded, growing.output, levels(20'000, 150'000, 24)},
      {"growing, in pieces", true, off_t{32} << 20, large.input, large.output, levels(100'000, 200'000, 24)},
  };
  ASSERT_GT(large.output.size(), 512u << 10);
  std::string record_path = dir / "record";
  std::string reason_path = dir / "reason";
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(copy_on_write_child(dir.path(), scenarios, record_path, reason_path));
  ASSERT_GT(pid, 0);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << read_file(reason_path);
  ASSERT_EQ(WEXITSTATUS(status), 0);

  std::string record = read_file(record_path);
  std::size_t tries = 0;
  std::size_t kept_old = 0;
  std::size_t written_new = 0;
  std::map<std::string, int> outcomes;
  for (std::size_t start = 0; start < record.size();) {
    std::size_t end = record.find('\n', start);
    std::string line = record.substr(start, end - start);
    start = end + 1;
    SCOPED_TRACE(line);
    ++tries;
    bool old_and_refused = line.ends_with("\told\tno-space");
    bool new_and_passed = line.ends_with("\tnew\tpassed");
    EXPECT_TRUE(old_and_refused || new_and_passed);
    kept_old += old_and_refused ? 1 : 0;
    written_new += new_and_passed ? 1 : 0;
    // Each scenario's outcomes, for the record: "what: held said" counted.
    std::string what = line.substr(0, line.find('\t'));
    std::string outcome = line.substr(line.find('\t', what.size() + 1) + 1);
    ++outcomes[what + ": " + outcome];
  }
  for (const auto& [outcome, count] : outcomes) std::printf("%s\t%d\n", outcome.c_str(), count);
  EXPECT_EQ(tries, 72u);
  // The levels reach from too little room to plenty: both ends were met.
  EXPECT_GT(kept_old, 0u);
  EXPECT_GT(written_new, 0u);
}

// A rewrite takes the time it takes to render and write; a fatal signal that comes meanwhile
// must find the file old or new once the process is gone, never a mix, and still end the
// process with that signal. The moment writing starts shows in the file's modification time.
TEST(Hardening, SignalsDuringTheWriteLeaveTheFileWholeAndEndTheRunByThatSignal) {
  TempDir dir;
  BigDocument doc = big_document(24u << 20);
  std::string path = dir / "big.json";
  write_file(dir / "small.json", "{\"b\":1,\"a\":2}");
  struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  struct timespec signal_sent {};
  // Runs the program on both files, and once the big one's first byte is written sends the
  // signal after `delay_fraction` of `phase_seconds`. Returns the status and how long the run
  // lasted from its first byte written.
  auto run_until_written = [&](int signal_number, double delay_fraction, double phase_seconds) {
    write_file(path, doc.input);
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      int null_fd = ::open("/dev/null", O_WRONLY);
      ::dup2(null_fd, 1);
      // SIGABRT, SIGSEGV and their kind dump core by default: not hundreds of megabytes per try.
      struct rlimit no_core {0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
#ifdef ORVEL_TESTS_SANITIZED
      // The sanitizer reports a SIGSEGV, SIGBUS or SIGFPE that comes outside a rewrite and exits
      // with its own status; here only the program's own handling is under test.
      const char* options = std::getenv("ASAN_OPTIONS");
      std::string asan = options != nullptr ? std::string(options) + ":" : std::string();
      asan += "handle_segv=0:handle_sigbus=0:handle_sigfpe=0";
      ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
#endif
      testing::exec_orvel({path, dir / "small.json"});
      ::_exit(127);
    }
    // Until the first byte is written, or the child is gone (left waitable for below).
    auto still_running = [pid] {
      siginfo_t info {};
      return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    };
    struct stat st {};
    while (::stat(path.c_str(), &st) == 0 && st.st_mtim.tv_sec == 1000000000 && still_running()) {
      ::usleep(200);
    }
    auto started = std::chrono::steady_clock::now();
    if (signal_number != 0) {
      ::usleep(static_cast<useconds_t>(delay_fraction * phase_seconds * 1e6));
      ::clock_gettime(CLOCK_REALTIME, &signal_sent);
      ::kill(pid, signal_number);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    return std::make_pair(status, took.count());
  };
  // Not a structured binding: clang 14 does not let lambdas capture those.
  auto [calm_status, calm_seconds] = run_until_written(0, 0, 0);
  const double phase_seconds = calm_seconds;
  ASSERT_TRUE(WIFEXITED(calm_status) && WEXITSTATUS(calm_status) == 0);
  ASSERT_TRUE(read_file(path) == doc.output);

  struct Case {
    int signal_number;
    std::vector<double> fractions;
  };
  // Besides the usual ways to stop a program, the signals that report a fault when the kernel
  // raises them, sent here by another process (`kill -SEGV`, a watchdog's SIGABRT).
  const Case cases[] = {
      {SIGINT, {0.0, 0.3, 0.6, 0.9}}, {SIGTERM, {0.0, 0.3, 0.6, 0.9}}, {SIGHUP, {0.0, 0.3, 0.6, 0.9}},
      {SIGABRT, {0.0}}, {SIGTRAP, {0.0}}, {SIGSYS, {0.0}}, {SIGBUS, {0.0}}, {SIGSEGV, {0.0}},
      {SIGFPE, {0.0}},  {SIGILL, {0.0}},
  };
  for (const Case& c : cases) {
    int signal_number = c.signal_number;
    int ended_by_it = 0;
    auto try_at = [&](double fraction) {
      SCOPED_TRACE(std::string(strsignal(signal_number)) + " after " + std::to_string(fraction) + " of the write");
      auto [status, took] = run_until_written(signal_number, fraction, phase_seconds);
      std::string after = read_file(path);
      EXPECT_TRUE(after == doc.output || after == doc.input)
          << "the file is neither old nor new: " << after.size() << " bytes";
      // A signal that came after the run ended changes nothing; one that came during it ends it.
      if (WIFSIGNALED(status)) {
        EXPECT_EQ(WTERMSIG(status), signal_number);
        ++ended_by_it;
        // The small file comes after the big one: nothing is written once the signal is in.
        struct stat small {};
        ASSERT_EQ(::stat((dir / "small.json").c_str(), &small), 0);
        if (read_file(dir / "small.json") != "{\"b\":1,\"a\":2}") {
          EXPECT_TRUE(small.st_mtim.tv_sec < signal_sent.tv_sec ||
                      (small.st_mtim.tv_sec == signal_sent.tv_sec && small.st_mtim.tv_nsec <= signal_sent.tv_nsec))
              << "the next file was rewritten after the signal";
        }
      } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      }
      write_file(dir / "small.json", "{\"b\":1,\"a\":2}");
      (void)took;
    };
    for (double fraction : c.fractions) try_at(fraction);
    // On a busy machine a short write phase can end before a signal sent at its first byte
    // arrives; a few more tries make sure the signal is seen during one.
    for (int retry = 0; ended_by_it == 0 && retry < 4; ++retry) try_at(0.0);
    EXPECT_GT(ended_by_it, 0) << "no signal arrived during a write phase";
  }
}

#ifndef ORVEL_TESTS_SANITIZED
// Address space for the memory tests' children: room for the program, not for two copies of
// their large inputs. (The sanitizers reserve far more than this, hence the build condition.)
constexpr rlim_t kLimit = 256u << 20;

void limit_address_space() {
  struct rlimit rl {kLimit, kLimit};
  ::setrlimit(RLIMIT_AS, &rl);
}

TEST(Hardening, FileLargerThanTheMemoryLimitFailsAloneWithOutOfMemory) {
  if (std::string why = testing::address_space_limit_missing(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  // Sparse: larger than the address-space limit without using the disk.
  std::string huge = dir / "a.json";
  write_file(huge, "");
  ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(2 * kLimit)), 0);
  write_file(dir / "b.json", "[{\"b\":1,\"a\":2}]");

  ChildResult run = run_orvel(dir.path(), {"a.json", "b.json"}, {.in_child = limit_address_space});

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, expected_report({{"a.json", "IOError: out of memory"}, {"b.json", ""}}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(dir / "b.json"), "[\n  {\n    \"a\": 2,\n    \"b\": 1\n  }\n]\n");
  struct stat st {};
  ASSERT_EQ(::stat(huge.c_str(), &st), 0);
  EXPECT_EQ(static_cast<rlim_t>(st.st_size), 2 * kLimit);
}

// Memory can run out anywhere: before a file, inside one, between files, in the report. Whatever
// the limit, no signal ends the run, every file is old or new, and the run ends with a report
// naming every file or with the one line that says memory ran out.
TEST(Hardening, EveryAddressSpaceLimitEndsInAReportOrOneLine) {
  if (std::string why = testing::address_space_limit_missing(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  BigDocument big = big_document(20u << 20);
  const std::string small_old = "{\"b\":1,\"a\":[true]}";
  const std::string small_new = "{\n  \"a\": [\n    true\n  ],\n  \"b\": 1\n}\n";
  for (rlim_t mib : {16u, 20u, 24u, 32u, 40u, 48u, 64u, 80u, 96u, 128u, 160u, 192u, 256u, 320u}) {
    SCOPED_TRACE(std::to_string(mib) + " MiB");
    write_file(dir / "a.json", small_old);
    write_file(dir / "m.json", big.input);
    write_file(dir / "z.json", small_old);
    ChildResult run = run_orvel(dir.path(), {"a.json", "m.json", "z.json"}, {.in_child = [mib] {
      struct rlimit rl {mib << 20, mib << 20};
      ::setrlimit(RLIMIT_AS, &rl);
    }});
    ASSERT_LT(run.status, 128) << "ended by signal " << run.status - 128;
    std::vector<ReportEntry> entries;
    for (const char* name : {"a.json", "m.json", "z.json"}) {
      std::string after = read_file(dir / name);
      bool is_new = name[0] == 'm' ? after == big.output : after == small_new;
      bool is_old = name[0] == 'm' ? after == big.input : after == small_old;
      EXPECT_TRUE(is_new || is_old) << name << " is neither old nor new";
      entries.push_back({name, is_new ? "" : "IOError: out of memory"});
    }
    if (run.out.empty()) {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, "orvel: out of memory\n");
    } else {
      EXPECT_EQ(run.out, expected_report(entries));
      EXPECT_EQ(run.status, entries[0].failure.empty() && entries[1].failure.empty() && entries[2].failure.empty() ? 0 : 1);
      EXPECT_EQ(run.err, "");
    }
  }
}

// The new text is written while it is rendered, after the first pieces have replaced the start
// of the file, so the rewrite must need no memory it does not hold before it starts: a string
// far longer than a piece, which could be held twice (as read and as rendered) under no limit
// here, goes to the file from where it lies.
TEST(Hardening, StringLongerThanMemoryCouldHoldTwiceIsRewrittenWhole) {
  if (std::string why = testing::address_space_limit_missing(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  std::string text = "[";
  std::string expected = "[\n";
  for (int i = 0; i < 200000; ++i) {
    text += "0,";
    expected += "  0,\n";
  }
  const std::string long_string = "\"" + std::string(150u << 20, 'x') + "\"";
  text += long_string + "]";
  expected += "  " + long_string + "\n]\n";
  write_file(dir / "a.json", text);
  write_file(dir / "b.json", "{\"b\":1,\"a\":2}");

  ChildResult run = run_orvel(dir.path(), {"a.json", "b.json"}, {.in_child = limit_address_space});

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected_report({{"a.json", ""}, {"b.json", ""}}));
  EXPECT_TRUE(read_file(dir / "a.json") == expected) << "a.json is not its canonical text";
  EXPECT_EQ(read_file(dir / "b.json"), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
}
#endif

// 127 levels, arrays at even depths and objects at odd ones, every object out of key order and
// every container with a sibling after the nested one, and the canonical text of it.
struct DeepDocument {
  std::string input;
  std::string output;
};

DeepDocument deep_document() {
  constexpr int kLevels = 127;
  auto indent = [](int depth) { return std::string(2 * static_cast<std::size_t>(depth), ' '); };
  DeepDocument doc;
  std::vector<std::string> input_close;
  std::vector<std::string> output_close;
  for (int d = 0; d < kLevels; ++d) {
    std::string n = std::to_string(d);
    if (d % 2 == 0) {
      doc.input += "[";
      doc.output += "[\n" + indent(d + 1);
      input_close.push_back("," + n + "]");
      output_close.push_back(",\n" + indent(d + 1) + n + "\n" + indent(d) + "]");
    } else {
      doc.input += "{\"z\":" + n + ",\"k\":";
      doc.output += "{\n" + indent(d + 1) + "\"k\": ";
      input_close.push_back("}");
      output_close.push_back(",\n" + indent(d + 1) + "\"z\": " + n + "\n" + indent(d) + "}");
    }
  }
  doc.input += "null";
  doc.output += "null";
  for (int d = kLevels - 1; d >= 0; --d) {
    doc.input += input_close[static_cast<std::size_t>(d)];
    doc.output += output_close[static_cast<std::size_t>(d)];
  }
  doc.output += "\n";
  return doc;
}

TEST(Hardening, DeepestNestingIsSortedRewrittenAndReadsBackUnchanged) {
  TempDir dir;
  DeepDocument doc = deep_document();
  write_file(dir / "deep.json", doc.input);

  ChildResult first = run_orvel(dir.path(), {"deep.json"});
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, expected_report({{"deep.json", ""}}));
  EXPECT_EQ(read_file(dir / "deep.json"), doc.output);

  ChildResult second = run_orvel(dir.path(), {"deep.json"});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(read_file(dir / "deep.json"), doc.output);
}

TEST(Hardening, HundredThousandOpeningBracketsStopAtTheNestingLimit) {
  TempDir dir;
  std::string text(100000, '[');
  write_file(dir / "deep.json", text);
  ChildResult run = run_orvel(dir.path(), {"deep.json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, expected_report({{"deep.json",
                                       "JSONDecodeError: recursion limit exceeded at line 1 column 128"}}));
  EXPECT_EQ(read_file(dir / "deep.json"), text);
}

#ifndef ORVEL_TESTS_SANITIZED
TEST(Hardening, TenThousandFilesAreAllRewrittenAndReportedInByteOrder) {
  TempDir dir;
  std::string data = dir / "data";
  ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);
  constexpr int kFiles = 10000;
  std::vector<ReportEntry> entries;
  for (int i = 0; i < kFiles; ++i) {
    std::string n = std::to_string(i);
    std::string name = "f";
    name.append(n).append(".json");
    write_file(data + "/" + name, "{\"v" + n + "\":[],\"v10\":{},\"v9\":" + n + "}");
    entries.push_back({"data/" + name, ""});
  }
  std::sort(entries.begin(), entries.end(), [](const ReportEntry& a, const ReportEntry& b) { return a.name < b.name; });

  ChildResult run = run_orvel(dir.path(), {"data"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected_report(entries));
  struct Spot {
    int file;
    std::string text;
  };
  const Spot spots[] = {
      {0, "{\n  \"v0\": [],\n  \"v9\": 0,\n  \"v10\": {}\n}\n"},
      // A repeated key keeps its first place and takes the later value.
      {9, "{\n  \"v9\": 9,\n  \"v10\": {}\n}\n"},
      {10, "{\n  \"v9\": 10,\n  \"v10\": {}\n}\n"},
      {9999, "{\n  \"v9\": 9999,\n  \"v10\": {},\n  \"v9999\": []\n}\n"},
  };
  for (const Spot& spot : spots) {
    SCOPED_TRACE(spot.file);
    EXPECT_EQ(read_file(data + "/f" + std::to_string(spot.file) + ".json"), spot.text);
  }
}

// A memory control group of the test's own, made in the v1 memory hierarchy or, failing that,
// in the unified one where it offers the memory controller, and removed when the guard goes.
class MemoryGroup {
 public:
  MemoryGroup() {
    std::string table = read_text("/proc/self/mountinfo");
    std::string v2_point;
    for (std::size_t at = 0; at < table.size();) {
      std::size_t end = table.find('\n', at);
      if (end == std::string::npos) end = table.size();
      std::string line = table.substr(at, end - at);
      at = end + 1;
      std::vector<std::string> fields;
      for (std::size_t from = 0; from <= line.size();) {
        std::size_t space = std::min(line.find(' ', from), line.size());
        fields.push_back(line.substr(from, space - from));
        from = space + 1;
      }
      auto dash = std::find(fields.begin(), fields.end(), "-");
      if (fields.size() < 5 || fields.end() - dash < 4) continue;
      if (dash[1] == "cgroup" && ("," + dash[3] + ",").find(",memory,") != std::string::npos && fields[3] == "/") {
        hierarchy_ = fields[4];
        v1_ = true;
      }
      if (dash[1] == "cgroup2" && fields[3] == "/") v2_point = fields[4];
    }
    if (!v1_) {
      if (v2_point.empty() || read_text(v2_point + "/cgroup.subtree_control").find("memory") == std::string::npos) {
        why_ = "neither a v1 memory hierarchy nor a unified one that hands out the memory controller is mounted";
        return;
      }
      hierarchy_ = v2_point;
    }
    dir_ = hierarchy_ + "/memory-orvel-" + std::to_string(::getpid());
    if (::mkdir(dir_.c_str(), 0755) != 0) {
      why_ = "mkdir " + dir_ + ": " + std::strerror(errno);
      dir_.clear();
      return;
    }
    // Without swap the kernel's only way out at the limit is its out-of-memory killer.
    if (!v1_) (void)write_text(dir_ + "/memory.swap.max", "0");
  }
  MemoryGroup(const MemoryGroup&) = delete;
  MemoryGroup& operator=(const MemoryGroup&) = delete;
  ~MemoryGroup() {
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }

  const std::string& why() const { return why_; }
  bool v1() const { return v1_; }
  const std::string& dir() const { return dir_; }
  const std::string& hierarchy() const { return hierarchy_; }
  bool set_limit(std::uint64_t bytes) const {
    return write_text(dir_ + (v1_ ? "/memory.limit_in_bytes" : "/memory.max"), std::to_string(bytes));
  }
  // Moves the calling process into the group.
  bool join() const { return write_text(dir_ + "/cgroup.procs", std::to_string(::getpid())); }

 private:
  static std::string read_text(const std::string& path) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
  }
  static bool write_text(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && written;
  }

  std::string why_;
  std::string hierarchy_;
  std::string dir_;
  bool v1_ = false;
};

// What one run under a group limit left: how it ended, the file, the report.
struct LimitedRun {
  std::uint64_t limit_mb;
  int status;
  std::string outcome;  // "old", "new" or "mixed"
  bool report_exact;
};

// Runs the program on `doc` in a file on a private tmpfs inside `group`, at every limit from
// `lowest_mb` to `highest_mb` in 5 MB steps. The file is written from inside the group, so its
// pages are charged there as a container's own files are. With `docker_layout`, the program
// sees its group as a container without a cgroup namespace does: mounted over the hierarchy's
// mount point, while /proc/self/cgroup still names it by its path from the hierarchy's root.
// Returns the runs, or the reason the sandbox could not be made.
std::variant<std::vector<LimitedRun>, std::string> run_at_every_group_limit(const MemoryGroup& group,
                                                                           bool docker_layout,
                                                                           const BigDocument& doc,
                                                                           std::uint64_t lowest_mb,
                                                                           std::uint64_t highest_mb) {
  TempDir dir;
  std::string mount_dir = dir / "mnt";
  std::string record_path = dir / "record";
  if (::mkdir(mount_dir.c_str(), 0755) != 0) return std::string("mkdir: ") + std::strerror(errno);
  pid_t pid = ::fork();
  if (pid == 0) {
    // The driver owns the private mount, which goes with it; it stays outside the group.
    auto give_up = [&](const char* what) {
      std::string reason = std::string(what) + ": " + std::strerror(errno);
      write_file(record_path, reason);
      ::_exit(77);
    };
    if (::unshare(CLONE_NEWNS) != 0) give_up("unshare(CLONE_NEWNS)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) give_up("mount private");
    if (::mount("tmpfs", mount_dir.c_str(), "tmpfs", 0, "size=512m") != 0) give_up("mount tmpfs");
    std::string file = mount_dir + "/a.json";
    std::string record;
    for (std::uint64_t mb = lowest_mb; mb <= highest_mb; mb += 5) {
      // The last run's file goes first, with its pages, so the group can be set below them.
      ::unlink(file.c_str());
      if (!group.set_limit(mb << 20)) give_up("set the group's limit");
      ChildResult run = run_orvel(mount_dir, {"a.json"}, {.in_child = [&] {
        if (!group.join()) ::_exit(90);
        if (docker_layout) {
          if (::unshare(CLONE_NEWNS) != 0) ::_exit(91);
          if (::mount(group.dir().c_str(), group.hierarchy().c_str(), nullptr, MS_BIND, nullptr) != 0) ::_exit(92);
        }
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, doc.input.data(), doc.input.size()) != static_cast<ssize_t>(doc.input.size())) {
          ::_exit(93);
        }
        ::close(fd);
      }});
      std::string after = read_file(file);
      std::string outcome = after == doc.input ? "old" : after == doc.output ? "new" : "mixed";
      bool exact = run.out == expected_report({{"a.json", outcome == "new" ? "" : "IOError: out of memory"}}) &&
                   run.err.empty();
      record += std::to_string(mb) + " " + std::to_string(run.status) + " " + outcome + " " + (exact ? "1" : "0");
      record += "\n";
    }
    write_file(record_path, record);
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::string record = read_file(record_path);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return record;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the driver failed with status " + std::to_string(status);
  std::vector<LimitedRun> runs;
  std::istringstream lines(record);
  LimitedRun run {};
  int exact = 0;
  while (lines >> run.limit_mb >> run.status >> run.outcome >> exact) {
    run.report_exact = exact == 1;
    runs.push_back(run);
  }
  return runs;
}

// Ten million bytes of zeros in an array, whose canonical text is three times as long.
BigDocument zeros_document() {
  BigDocument doc;
  constexpr std::size_t kZeros = 5000000;
  doc.input.reserve(2 * kZeros + 1);
  doc.output.reserve(6 * kZeros + 3);
  doc.input = "[0";
  doc.output = "[\n  0";
  for (std::size_t i = 1; i < kZeros; ++i) {
    doc.input += ",0";
    doc.output += ",\n  0";
  }
  doc.input += "]";
  doc.output += "\n]\n";
  return doc;
}

// Under a memory control group's limit the kernel does not fail an allocation: it kills. A
// file on tmpfs makes it worse, since its pages and its growth are memory of the group too.
// At every limit the run must end with its report, the file old or new, and the largest limit
// must be enough.
void expect_every_group_limit_ends_in_a_report(bool docker_layout, const BigDocument& doc, std::uint64_t lowest_mb,
                                               std::uint64_t highest_mb) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a memory control group and a private tmpfs need root; running as uid " << ::geteuid();
  }
  MemoryGroup group;
  if (!group.why().empty()) GTEST_SKIP() << group.why();
  if (docker_layout && !group.v1()) GTEST_SKIP() << "the container layout of v1 needs a v1 memory hierarchy";
  auto runs = run_at_every_group_limit(group, docker_layout, doc, lowest_mb, highest_mb);
  if (auto* reason = std::get_if<std::string>(&runs)) GTEST_SKIP() << "no sandbox here: " << *reason;
  const auto& list = std::get<std::vector<LimitedRun>>(runs);
  ASSERT_EQ(list.size(), (highest_mb - lowest_mb) / 5 + 1);
  for (const LimitedRun& run : list) {
    SCOPED_TRACE(std::to_string(run.limit_mb) + " MB");
    EXPECT_TRUE(run.status == 0 || run.status == 1) << "status " << run.status << " (128 and above: a signal)";
    EXPECT_NE(run.outcome, "mixed");
    EXPECT_EQ(run.outcome == "new", run.status == 0);
    EXPECT_TRUE(run.report_exact);
  }
  EXPECT_EQ(list.back().outcome, "new");
  auto first_new = std::find_if(list.begin(), list.end(), [](const LimitedRun& run) { return run.outcome == "new"; });
  if (first_new != list.end()) std::printf("[ memory   ] rewritten from a %llu MB limit on\n",
                                           static_cast<unsigned long long>(first_new->limit_mb));
}

// 20 MB read and 30 MB written back in place; then a text that triples, whose growth on tmpfs
// is what the limits between 100 and 115 MB cannot hold unless it is counted before it is
// written.
TEST(Hardening, TmpfsFileUnderEveryMemoryGroupLimitEndsInAReport) {
  expect_every_group_limit_ends_in_a_report(false, big_document(20u << 20), 40, 120);
  expect_every_group_limit_ends_in_a_report(false, zeros_document(), 90, 130);
}

TEST(Hardening, ContainerLayoutOfTheMemoryGroupIsFoundAndEndsInAReport) {
  expect_every_group_limit_ends_in_a_report(true, big_document(20u << 20), 40, 120);
}

TEST(Hardening, TwoHundredMegabyteFileIsRewrittenWithinFourTimesItsSizeInMemory) {
  TempDir dir;
  BigDocument doc = big_document(200u << 20);
  write_file(dir / "big.json", doc.input);
  std::size_t input_size = doc.input.size();
  doc.input = std::string();

  ChildResult run = run_orvel(dir.path(), {"big.json"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected_report({{"big.json", ""}}));
  EXPECT_TRUE(read_file(dir / "big.json") == doc.output) << "the rewritten file differs from its canonical text";
  long limit_kb = static_cast<long>(4 * input_size / 1024);
  EXPECT_LT(run.max_rss_kb, limit_kb) << "peak resident memory " << run.max_rss_kb / 1024 << " MiB for a "
                                      << input_size / (1u << 20) << " MiB file (output "
                                      << doc.output.size() / (1u << 20) << " MiB)";
  std::printf("[ memory   ] %ld MiB peak for a %zu MiB file\n", run.max_rss_kb / 1024, input_size >> 20);
}
#endif

}  // namespace
}  // namespace orvel
