// End-to-end runs of the built program under hostile conditions: write failures part-way through
// a rewrite, a full disk, exhausted memory, extreme nesting, a vanished working directory, load.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace orvel {
namespace {

using testing::orvel_binary;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

constexpr std::string_view kGreenMark = "\x1b[92m.\x1b[00m";
constexpr std::string_view kRedMark = "\x1b[91mF\x1b[00m";

// Standard output is a file in these runs, so both banners use the fallback fill of 80.
std::string banner(std::string_view title, std::string_view colour) {
  std::string fill(80, '=');
  std::string line = std::string(colour) + fill + " " + std::string(title) + " " + fill;
  if (!colour.empty()) line += "\x1b[00m";
  return line + "\n";
}

struct Entry {
  std::string name;
  std::string failure;  // empty: both rules passed
};

// The whole report for entries already in byte order, each processed once.
std::string expected_report(const std::vector<Entry>& entries) {
  std::string out = banner("orveller", "");
  std::uint64_t passed = 0;
  std::uint64_t total = 0;
  for (const Entry& e : entries) {
    if (e.failure.empty()) {
      out += e.name + " " + std::string(kGreenMark) + std::string(kGreenMark) + "\n";
      passed += 2;
      total += 2;
    } else {
      out += e.name + " " + std::string(kRedMark) + "\n";
      out += "\t\x1b[91mlint_file: " + e.failure + "\x1b[00m\n";
      total += 1;
    }
  }
  return out + banner(std::to_string(passed) + " / " + std::to_string(total) + " passed", "\x1b[92m");
}

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  long max_rss_kb = 0;
};

// Runs the program in `cwd` with `args`; `in_child` runs in the child just before exec (limits,
// signal dispositions). Output goes to files, so no pipe can fill up and stall the child.
RunResult run_orvel(const std::string& cwd, const std::vector<std::string>& args,
              const std::function<void()>& in_child = {}) {
  TempDir io;
  std::string out_path = io / "stdout";
  std::string err_path = io / "stderr";
  std::string binary = orvel_binary();
  std::vector<char*> argv;
  argv.push_back(binary.data());
  std::vector<std::string> owned(args);
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    if (in_child) in_child();
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  RunResult run;
  EXPECT_GT(pid, 0) << "fork failed";
  if (pid <= 0) return run;
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.max_rss_kb = usage.ru_maxrss;
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

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

  RunResult run = run_orvel(dir.path(), {"a.json", "b.json"}, [limit] {
    struct rlimit rl {limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    // Ignored signals survive exec: reset it so that only the program itself can ignore it.
    ::signal(SIGXFSZ, SIG_DFL);
  });

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, expected_report({{"a.json", "IOError: File too large (os error 27)"}, {"b.json", ""}}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(big), old_text);
  EXPECT_EQ(inode_of(big), inode);
  EXPECT_EQ(read_file(small), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
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

  RunResult run = run_orvel(mount_dir, {"a.json"});
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

#ifndef ORVEL_SANITIZED
// Address space for the memory tests' children: room for the program, not for two copies of
// their large inputs. (The sanitizers reserve far more than this, hence the build condition.)
constexpr rlim_t kLimit = 256u << 20;

void limit_address_space() {
  struct rlimit rl {kLimit, kLimit};
  ::setrlimit(RLIMIT_AS, &rl);
}

TEST(Hardening, FileLargerThanTheMemoryLimitFailsAloneWithOutOfMemory) {
  TempDir dir;
  // Sparse: larger than the address-space limit without using the disk.
  std::string huge = dir / "a.json";
  write_file(huge, "");
  ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(2 * kLimit)), 0);
  write_file(dir / "b.json", "[{\"b\":1,\"a\":2}]");

  RunResult run = run_orvel(dir.path(), {"a.json", "b.json"}, limit_address_space);

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, expected_report({{"a.json", "IOError: out of memory"}, {"b.json", ""}}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(dir / "b.json"), "[\n  {\n    \"a\": 2,\n    \"b\": 1\n  }\n]\n");
  struct stat st {};
  ASSERT_EQ(::stat(huge.c_str(), &st), 0);
  EXPECT_EQ(static_cast<rlim_t>(st.st_size), 2 * kLimit);
}

// The new text is written while it is rendered, after the first pieces have replaced the start
// of the file, so the rewrite must need no memory it does not hold before it starts: a string
// far longer than a piece, which could be held twice (as read and as rendered) under no limit
// here, goes to the file from where it lies.
TEST(Hardening, StringLongerThanMemoryCouldHoldTwiceIsRewrittenWhole) {
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

  RunResult run = run_orvel(dir.path(), {"a.json", "b.json"}, limit_address_space);

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

  RunResult first = run_orvel(dir.path(), {"deep.json"});
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, expected_report({{"deep.json", ""}}));
  EXPECT_EQ(read_file(dir / "deep.json"), doc.output);

  RunResult second = run_orvel(dir.path(), {"deep.json"});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(read_file(dir / "deep.json"), doc.output);
}

TEST(Hardening, HundredThousandOpeningBracketsStopAtTheNestingLimit) {
  TempDir dir;
  std::string text(100000, '[');
  write_file(dir / "deep.json", text);
  RunResult run = run_orvel(dir.path(), {"deep.json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, expected_report({{"deep.json",
                                       "JSONDecodeError: recursion limit exceeded at line 1 column 128"}}));
  EXPECT_EQ(read_file(dir / "deep.json"), text);
}

TEST(Hardening, VanishedWorkingDirectoryEndsTheRunBeforeAnyFileIsTouched) {
  TempDir dir;
  std::string gone = dir / "gone";
  ASSERT_EQ(::mkdir(gone.c_str(), 0755), 0);
  // Named by its absolute path, so only the missing working directory can stop it.
  std::string file = dir / "a.json";
  write_file(file, "{\"b\":1,\"a\":2}");
  RunResult run = run_orvel(gone, {file}, [&gone] { ::rmdir(gone.c_str()); });
  EXPECT_NE(run.status, 0);
  EXPECT_EQ(run.err, "orvel: cannot get the working directory: No such file or directory (os error 2)\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(read_file(file), "{\"b\":1,\"a\":2}");
}

#ifndef ORVEL_SANITIZED
TEST(Hardening, TenThousandFilesAreAllRewrittenAndReportedInByteOrder) {
  TempDir dir;
  std::string data = dir / "data";
  ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);
  constexpr int kFiles = 10000;
  std::vector<Entry> entries;
  for (int i = 0; i < kFiles; ++i) {
    std::string n = std::to_string(i);
    std::string name = "f";
    name.append(n).append(".json");
    write_file(data + "/" + name, "{\"v" + n + "\":[],\"v10\":{},\"v9\":" + n + "}");
    entries.push_back({"data/" + name, ""});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

  RunResult run = run_orvel(dir.path(), {"data"});
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

// About 200 MB of records, compact and out of key order, and the canonical text they become.
struct BigDocument {
  std::string input;
  std::string output;
};

BigDocument big_document() {
  constexpr std::size_t kTargetBytes = 200u << 20;
  const std::string note(120, 'n');
  BigDocument doc;
  doc.input.reserve(kTargetBytes + 4096);
  doc.output.reserve(kTargetBytes * 3 / 2);
  doc.input += "[";
  doc.output += "[";
  for (std::uint64_t i = 0; doc.input.size() < kTargetBytes; ++i) {
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

TEST(Hardening, TwoHundredMegabyteFileIsRewrittenWithinFourTimesItsSizeInMemory) {
  TempDir dir;
  BigDocument doc = big_document();
  write_file(dir / "big.json", doc.input);
  std::size_t input_size = doc.input.size();
  doc.input = std::string();

  RunResult run = run_orvel(dir.path(), {"big.json"});
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
