// The report: a banner, a line per file with a mark per result, failure details, the summary.
#ifndef ORVEL_MAIN_REPORT_H_
#define ORVEL_MAIN_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/fd.h"
#include "discovery/find_files.h"

namespace orvel {

inline constexpr std::string_view kGreen = "\x1b[92m";
inline constexpr std::string_view kRed = "\x1b[91m";
inline constexpr std::string_view kReset = "\x1b[00m";

// Standard output (or any descriptor) behind one buffer that is passed on only when full and at
// flush, so a short report leaves in one write at the end of the run. Write errors are dropped:
// a reader that goes away must change neither the processing nor the exit status.
class ReportStream {
 public:
  static constexpr std::size_t kBufferBytes = 8192;

  explicit ReportStream(int fd) : fd_(fd) { buffer_.reserve(kBufferBytes); }
  ReportStream(const ReportStream&) = delete;
  ReportStream& operator=(const ReportStream&) = delete;

  void write(std::string_view bytes);
  void flush();

 private:
  int fd_;
  std::string buffer_;
};

struct ReportCounts {
  std::uint64_t passed = 0;
  std::uint64_t total = 0;
};

// One banner line: the title centred between two equal fills of "=", sized to the terminal on
// descriptor 1 when it is one, else 80 each side. `colour` may be empty.
void print_banner(ReportStream& out, std::string_view title, std::string_view colour);

// The whole report; returns the counts that decide the exit status.
ReportCounts print_report(ReportStream& out, const FileSet& files);

}  // namespace orvel

#endif  // ORVEL_MAIN_REPORT_H_
