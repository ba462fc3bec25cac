// Helpers shared by the tests.
#include "tests/test_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace orvel::testing {

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  // Make directories searchable again first, in case a test took the bits away.
  ::remove(path);
  return 0;
}

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

}  // namespace

std::string banner(std::string_view title, std::string_view colour, std::size_t fill) {
  std::string line = std::string(colour) + std::string(fill, '=') + " " + std::string(title) + " " +
                     std::string(fill, '=');
  if (!colour.empty()) line += "\x1b[00m";
  return line + "\n";
}

std::string expected_report(const std::vector<ReportEntry>& entries) {
  std::string out = banner("orveller");
  std::uint64_t passed = 0;
  std::uint64_t total = 0;
  for (const ReportEntry& e : entries) {
    if (e.failure.empty()) {
      out += e.name + " " + std::string(kPassMark) + std::string(kPassMark) + "\n";
      passed += 2;
      total += 2;
    } else {
      out += e.name + " " + std::string(kFailMark) + "\n";
      out += "\t\x1b[91mlint_file: " + e.failure + "\x1b[00m\n";
      total += 1;
    }
  }
  return out + banner(std::to_string(passed) + " / " + std::to_string(total) + " passed", "\x1b[92m");
}

ChildResult run_child(const std::string& cwd, const std::function<void()>& body, const ChildOptions& options) {
  ChildResult result;
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
    ::close(out_pipe[0]);
    out_pipe[0] = -1;
  } else if (options.stdout_kind == Stdout::PausedNonBlockingPipe) {
    ::fcntl(out_pipe[1], F_SETFL, O_NONBLOCK);
  }

  pid_t child = ::fork();
  if (child == 0) {
    int out_fd = options.stdout_kind == Stdout::Terminal ? slave : out_pipe[1];
    if (::dup2(out_fd, 1) < 0 || ::dup2(err_pipe[1], 2) < 0) child_fail("dup2\n");
    if (::chdir(cwd.c_str()) != 0) child_fail("chdir\n");
    if (options.in_child) options.in_child();
    body();
    child_fail("the child's body returned\n");
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
  if (child < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    for (auto& [fd, sink] : sinks) ::close(fd);
    return result;
  }
  if (options.stdout_kind == Stdout::PausedNonBlockingPipe) {
    // Read nothing until the pipe is full and the child has had time to meet "try again".
    int capacity = ::fcntl(out_pipe[0], F_GETPIPE_SZ);
    int waiting = 0;
    while (::ioctl(out_pipe[0], FIONREAD, &waiting) == 0 && waiting < capacity &&
           ::waitpid(child, nullptr, WNOWAIT | WNOHANG | WEXITED) == 0) {
      ::usleep(1000);
    }
    ::usleep(100 * 1000);
  }
  drain(sinks);
  int status = 0;
  struct rusage usage {};
  while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.max_rss_kb = usage.ru_maxrss;
  return result;
}

std::string address_space_limit_missing() {
  constexpr rlim_t kProbe = rlim_t{1} << 30;  // below any limit a test machine runs under
  pid_t child = ::fork();
  if (child == 0) {
    struct rlimit want {kProbe, kProbe};
    struct rlimit got {};
    bool applied = ::setrlimit(RLIMIT_AS, &want) == 0 && ::getrlimit(RLIMIT_AS, &got) == 0 && got.rlim_cur == kProbe;
    ::_exit(applied ? 0 : 1);
  }
  int status = 0;
  while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return "setrlimit(RLIMIT_AS) has no effect here (under qemu-user the emulator keeps the limit "
         "from the host, lest it bind the emulator itself), so no address-space limit can be tested";
}

void exec_orvel(const std::vector<std::string>& args) {
  std::vector<std::string> owned;
#ifdef ORVEL_EMULATOR
  owned.emplace_back(ORVEL_EMULATOR);
#endif
  owned.push_back(orvel_binary());
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
}

ChildResult run_orvel(const std::string& cwd, const std::vector<std::string>& args, const ChildOptions& options) {
  return run_child(cwd, [&] { exec_orvel(args); }, options);
}

std::string source_path(std::string_view relative) {
  std::string path = std::string(ORVEL_SOURCE_DIR) + "/" + std::string(relative);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) ADD_FAILURE() << "test data is missing: " << path;
  return path;
}

std::string orvel_binary() {
  // Another build may be put under the same tests, such as an older release to compare with.
  const char* other = std::getenv("ORVEL_TEST_BINARY");
  return other != nullptr && *other != '\0' ? other : ORVEL_BINARY;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/orvel-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  // Depth-first, so directories are empty when their turn comes; chmod first so that tests that
  // removed permission bits do not leave anything behind.
  ::nftw(path_.c_str(), [](const char* p, const struct stat* st, int flag, struct FTW* f) {
    if (flag == FTW_DP || flag == FTW_D) ::chmod(p, 0700);
    return remove_entry(p, st, flag, f);
  }, 16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

void write_file(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << "cannot create " << path;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << "cannot write " << path;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace orvel::testing
