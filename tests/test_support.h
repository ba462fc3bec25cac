// Helpers shared by the tests: the repository's data files, temporary directories, whole files.
#ifndef ORVEL_TESTS_TEST_SUPPORT_H_
#define ORVEL_TESTS_TEST_SUPPORT_H_

#include <string>
#include <string_view>

namespace orvel::testing {

// A path inside the repository, such as the conformance suite in tests/data or the benchmark
// data in bench/data. Fails the calling test, naming the path, when it is missing.
std::string source_path(std::string_view relative);

// Path of the built orvel program.
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

}  // namespace orvel::testing

#endif  // ORVEL_TESTS_TEST_SUPPORT_H_
