// Helpers shared by the tests: the repository's data files, temporary directories, whole files.
#ifndef ORVEL_TESTS_TEST_SUPPORT_H_
#define ORVEL_TESTS_TEST_SUPPORT_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvel::testing {

// A path inside the repository, such as the conformance suite in tests/data or the benchmark
// data in bench/data. Fails the calling test, naming the path, when it is missing.
std::string source_path(std::string_view relative);

// Path of the built orvel program, or of the one $ORVEL_TEST_BINARY names.
std::string orvel_binary();

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the guard goes.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);                          // fails the test if unreadable
void write_file(const std::string& path, std::string_view bytes);        // creates or replaces

// The marks and banners of a report whose standard output is not a terminal.
inline constexpr std::string_view kPassMark = "\x1b[92m.\x1b[00m";
inline constexpr std::string_view kFailMark = "\x1b[91mF\x1b[00m";
// A banner line: `title` between `fill` "=" on each side, in `colour` when given.
std::string banner(std::string_view title, std::string_view colour = "", std::size_t fill = 80);

// One report line: a file processed once, whose failure is empty when both rules passed.
struct ReportEntry {
  std::string name;
  std::string failure;  // the lint_file message
};
// The whole report for entries already in byte order, with the fallback banner fill.
std::string expected_report(const std::vector<ReportEntry>& entries);

// What the child's standard output is.
enum class Stdout {
  Pipe,
  ClosedPipe,             // the reader is gone before the child writes a byte
  PausedNonBlockingPipe,  // non-blocking, and not read until it has filled up
  Terminal,               // a pseudo-terminal of `columns` columns
};

struct ChildOptions {
  Stdout stdout_kind = Stdout::Pipe;
  unsigned short columns = 0;           // for Stdout::Terminal
  std::function<void()> in_child = {};  // runs in the child just before its body: limits, signals
};

struct ChildResult {
  std::string out;
  std::string err;
  int status = -1;       // exit status, or 128 + the signal that ended it
  long max_rss_kb = 0;   // peak resident memory
};

// Why an address-space limit that a child sets would not bind the program it execs, or empty
// when it would. Under qemu-user, which runs the tests of a cross build, setrlimit(RLIMIT_AS)
// succeeds and limits nothing: the emulator keeps that limit from the host, where it would bind
// the emulator itself.
std::string address_space_limit_missing();

// Runs `body` in a child in `cwd`, with standard output and error captured; `body` ends the
// child (exec or _exit). Every test that needs a process of its own goes through here.
ChildResult run_child(const std::string& cwd, const std::function<void()>& body, const ChildOptions& options = {});

// Replaces the calling child with the built program and `args` (through the emulator in a cross
// build); returns only when exec failed.
void exec_orvel(const std::vector<std::string>& args);

// Runs the built program with `args` in `cwd`.
ChildResult run_orvel(const std::string& cwd, const std::vector<std::string>& args,
                      const ChildOptions& options = {});

}  // namespace orvel::testing

#endif  // ORVEL_TESTS_TEST_SUPPORT_H_
