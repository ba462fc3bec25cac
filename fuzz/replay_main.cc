// Runs a fuzz target once on every file named, or found directly inside a directory named, on the
// command line, so that regressions and seeds are replayed by every ordinary (non-libFuzzer) build.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/os_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace orvel {
namespace {

// Whole file, or false with errno set.
bool read_whole(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  for (;;) {
    std::size_t used = out.size();
    out.resize(used + 65536);
    ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0 && errno == EINTR) {
      out.resize(used);
      continue;
    }
    out.resize(used + static_cast<std::size_t>(n > 0 ? n : 0));
    if (n <= 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return n == 0;
    }
  }
}

// The regular files directly inside `dir`, sorted so that runs are reproducible.
bool list_directory(const std::string& dir, std::vector<std::string>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(d)) {
    std::string path = dir + "/" + entry->d_name;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(std::move(path));
  }
  ::closedir(d);
  std::sort(found.begin(), found.end());
  out.insert(out.end(), found.begin(), found.end());
  return true;
}

void say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

}  // namespace
}  // namespace orvel

int main(int argc, char** argv) {
  using orvel::os_error_text;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    struct stat st;
    // A missing corpus must fail the run: replaying nothing would pass silently.
    if (::stat(arg.c_str(), &st) != 0) {
      orvel::say("replay: cannot find " + arg + ": " + os_error_text(errno));
      return 1;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!orvel::list_directory(arg, inputs)) {
        orvel::say("replay: cannot list " + arg + ": " + os_error_text(errno));
        return 1;
      }
    } else {
      inputs.push_back(arg);
    }
  }
  std::string bytes;
  for (const std::string& path : inputs) {
    if (!orvel::read_whole(path, bytes)) {
      orvel::say("replay: cannot read " + path + ": " + os_error_text(errno));
      return 1;
    }
    // Named before it runs, so that the input behind a crash is the last line printed.
    orvel::say("replay: " + path);
    // An exactly sized copy, so that the address sanitizer sees a read past the end.
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
  }
  orvel::say("replay: " + std::to_string(inputs.size()) + " inputs passed");
  return inputs.empty() ? 1 : 0;
}
