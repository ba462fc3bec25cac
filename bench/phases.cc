// Where orvel's time goes on one file: the steps of a rewrite timed one by one with the
// project's own library, in the order the tool runs them.
//
//   phases FILE   (the file is rewritten in place, exactly as orvel would rewrite it)
//
// Prints one line per step: "<step> <seconds>".
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bench/io.h"
#include "json/json_value.h"
#include "json/reader.h"
#include "json/writer.h"
#include "rules/sort_keys.h"

namespace {

constexpr std::size_t kInitialTextCapacity = 128;  // what the tool gives the writer

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int fail(const char* path, const char* what) {
  std::fprintf(stderr, "phases: %s: %s\n", path, what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: phases FILE\n");
    return 2;
  }
  const char* path = argv[1];

  double t0 = now();
  Bytes bytes;
  if (read_whole(path, &bytes) != 0) return fail(path, std::strerror(errno));
  double t1 = now();

  orvel::Arena arena;
  auto document = orvel::read_document(std::string_view(bytes.data, bytes.size), arena);
  double t2 = now();
  if (!document.ok()) {
    std::string message = orvel::to_string(document.error());
    std::free(bytes.data);
    return fail(path, message.c_str());
  }

  orvel::sort_keys(document.value());
  double t3 = now();

  std::string text;
  text.reserve(kInitialTextCapacity);
  orvel::write_pretty(document.value(), "  ", text);
  text += '\n';
  double t4 = now();

  int write_status = write_back(path, text.data(), text.size());
  double t5 = now();
  std::free(bytes.data);
  if (write_status != 0) return fail(path, std::strerror(errno));

  std::printf("read %.6f\ndecode %.6f\nsort %.6f\nrender %.6f\nwrite %.6f\n", t1 - t0, t2 - t1,
              t3 - t2, t4 - t3, t5 - t4);
  return 0;
}
