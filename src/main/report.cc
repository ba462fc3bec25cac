// The report: banner, status lines, failure details and the summary, through one buffer.
#include "main/report.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>

namespace orvel {

namespace {

constexpr std::string_view kTitle = "orveller";
constexpr std::size_t kFallbackFill = 80;  // when standard output is not a terminal

// Characters of UTF-8 text: every byte except the continuation bytes 0x80-0xBF.
std::size_t count_characters(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x80 || b > 0xBF) ++n;
  }
  return n;
}

// The fill on each side of a banner. Always asks about descriptor 1, whatever the stream writes
// to: the banner is sized for the terminal the user is looking at.
std::size_t banner_fill(std::string_view title) {
  struct winsize ws {};
  if (::ioctl(1, TIOCGWINSZ, &ws) != 0) return kFallbackFill;
  double columns = static_cast<double>(ws.ws_col);
  double chars = static_cast<double>(count_characters(title));
  double p = std::floor(columns * 0.5 - (chars + 2) * 0.5);
  return p < 0 ? 0 : static_cast<std::size_t>(p);
}

// A display name as it is, except for the bytes that would act on a terminal rather than show
// on it: C0 controls and DEL become \t, \n, \r or \xHH, and the C1 controls, in their two-byte
// UTF-8 form, become \u0080 to \u009f. A file name could otherwise move the cursor, erase
// lines or retitle the window.
void write_name(ReportStream& out, std::string_view name) {
  constexpr char kHex[] = "0123456789abcdef";
  std::size_t clean = 0;  // where the bytes not yet written start
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto byte = static_cast<unsigned char>(name[i]);
    if (byte >= 0x20 && byte != 0x7f && byte != 0xc2) continue;
    char escape[6] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf], 0, 0};
    std::size_t length = 4;
    if (byte == 0xc2) {
      auto next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
      if (next < 0x80 || next > 0x9f) continue;
      escape[1] = 'u';
      escape[2] = '0';
      escape[3] = '0';
      escape[4] = kHex[next >> 4];
      escape[5] = kHex[next & 0xf];
      length = 6;
    } else if (byte == '\t' || byte == '\n' || byte == '\r') {
      escape[1] = byte == '\t' ? 't' : byte == '\n' ? 'n' : 'r';
      length = 2;
    }
    out.write(name.substr(clean, i - clean));
    out.write(std::string_view(escape, length));
    i += length == 6 ? 1 : 0;
    clean = i + 1;
  }
  out.write(name.substr(clean));
}

void write_mark(ReportStream& out, const RuleOutcome& outcome) {
  if (outcome.kind == Outcome::Pass) {
    out.write(kGreen);
    out.write(".");
  } else {
    out.write(kRed);
    out.write("F");
  }
  out.write(kReset);
}

}  // namespace

void ReportStream::write(std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t room = kBufferBytes - buffer_.size();
    std::size_t take = bytes.size() < room ? bytes.size() : room;
    buffer_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (buffer_.size() == kBufferBytes) flush();
  }
}

void ReportStream::flush() {
  // A failed write loses what was buffered and nothing else: the run goes on as if it had been
  // read, which is what a reader that closed its end early asked for.
  (void)write_all(fd_, buffer_);
  buffer_.clear();
}

void print_banner(ReportStream& out, std::string_view title, std::string_view colour) {
  const std::string fill(banner_fill(title), '=');
  std::string line;
  line.reserve(colour.size() + 2 * fill.size() + title.size() + 2 + kReset.size() + 1);
  line.append(colour);
  line += fill;
  line += ' ';
  line.append(title);
  line += ' ';
  line += fill;
  if (!colour.empty()) line.append(kReset);
  line += '\n';
  out.write(line);
}

ReportCounts print_report(ReportStream& out, const FileSet& files) {
  print_banner(out, kTitle, "");
  ReportCounts counts;
  for (const auto& [name, results] : files) {
    write_name(out, name);
    out.write(" ");
    for (const RuleResult& result : results) write_mark(out, result.outcome);
    out.write("\n");
    for (const RuleResult& result : results) {
      if (result.outcome.kind == Outcome::Pass) {
        ++counts.passed;
        continue;
      }
      out.write("\t");
      out.write(kRed);
      out.write(result.name);
      if (!result.outcome.message.empty()) {
        out.write(": ");
        out.write(result.outcome.message);
      }
      out.write(kReset);
      out.write("\n");
    }
    counts.total += results.size();
  }
  std::string summary = std::to_string(counts.passed);
  summary += " / ";
  summary += std::to_string(counts.total);
  summary += " passed";
  print_banner(out, summary, kGreen);
  return counts;
}

}  // namespace orvel
