// Helpers shared by the tests.
#include "tests/test_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace orvel::testing {

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  // Make directories searchable again first, in case a test took the bits away.
  ::remove(path);
  return 0;
}

}  // namespace

std::string source_path(std::string_view relative) {
  std::string path = std::string(ORVEL_SOURCE_DIR) + "/" + std::string(relative);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) ADD_FAILURE() << "test data is missing: " << path;
  return path;
}

std::string orvel_binary() { return ORVEL_BINARY; }

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
