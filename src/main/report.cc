// The report: banner, status lines, failure details and the summary, through one buffer.
#include "main/report.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace orvel {

namespace {

constexpr std::string_view kTitle = "orveller";
constexpr std::size_t kFallbackFill = 80;  // when standard output is not a terminal

// Characters of UTF-8 text: every byte except the continuation bytes 0x80-0xBF.
std::size_t count_characters(std::string_view text) {
  auto is_lead = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), is_lead));
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

// The code point of the well-formed UTF-8 sequence at `at` and its length, or a length of 0
// where none starts: a stray continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF, a sequence cut short.
struct Decoded {
  char32_t code_point = 0;
  std::size_t length = 0;
};

Decoded decode_utf8(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u; };
  unsigned lead = byte(0);
  std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
  if (lead < 0xc2 || lead > 0xf4) return {};
  // The second byte's range rules out overlong forms, surrogates and values past U+10FFFF.
  unsigned low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
  unsigned high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
  if (byte(1) < low || byte(1) > high) return {};
  char32_t code_point = lead & (length == 2 ? 0x1fu : length == 3 ? 0x0fu : 0x07u);
  for (std::size_t i = 1; i < length; ++i) {
    unsigned next = byte(i);
    if (next < 0x80 || next > 0xbf) return {};
    code_point = (code_point << 6) | (next & 0x3fu);
  }
  return {code_point, length};
}

// Characters a terminal acts on rather than shows: the C1 controls, the line and paragraph
// separators, and the bidirectional embeddings, overrides and isolates, which reorder the
// text around them.
bool drives_the_terminal(char32_t c) {
  return (c >= 0x80 && c <= 0x9f) || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// A display name as it is, except for what would act on a terminal rather than show on it: C0
// controls and DEL become \t, \n, \r or \xHH; a byte 0x80 to 0x9F outside any UTF-8 sequence,
// which an 8-bit terminal takes as a C1 control (0x9B is CSI), becomes \xHH; and the characters
// of `drives_the_terminal` become \u0080 to \u009f, \u2028 and so on. A file name could
// otherwise move the cursor, erase lines, retitle the window or show itself reordered. Other
// bytes, valid UTF-8 or not, are shown as they are.
void write_name(ReportStream& out, std::string_view name) {
  constexpr char kHex[] = "0123456789abcdef";
  std::size_t clean = 0;  // where the bytes not yet written start
  std::size_t i = 0;
  while (i < name.size()) {
    auto byte = static_cast<unsigned char>(name[i]);
    if (byte >= 0x20 && byte < 0x7f) {
      ++i;
      continue;
    }
    char escape[6] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf], 0, 0};
    std::size_t length = 4;
    std::size_t consumed = 1;
    if (byte >= 0x80) {
      Decoded decoded = decode_utf8(name, i);
      if (decoded.length != 0 && !drives_the_terminal(decoded.code_point)) {
        i += decoded.length;
        continue;
      }
      if (decoded.length == 0 && byte > 0x9f) {
        ++i;
        continue;
      }
      if (decoded.length != 0) {
        char32_t c = decoded.code_point;
        escape[1] = 'u';
        escape[2] = kHex[(c >> 12) & 0xf];
        escape[3] = kHex[(c >> 8) & 0xf];
        escape[4] = kHex[(c >> 4) & 0xf];
        escape[5] = kHex[c & 0xf];
        length = 6;
        consumed = decoded.length;
      }
    } else if (byte == '\t' || byte == '\n' || byte == '\r') {
      escape[1] = byte == '\t' ? 't' : byte == '\n' ? 'n' : 'r';
      length = 2;
    }
    out.write(name.substr(clean, i - clean));
    out.write(std::string_view(escape, length));
    i += consumed;
    clean = i;
  }
  out.write(name.substr(clean));
}

void write_mark(ReportStream& out, const RuleOutcome& outcome) {
  bool pass = outcome.kind == Outcome::Pass;
  out.write(pass ? kGreen : kRed);
  out.write(pass ? "." : "F");
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
  out.write(colour);
  out.write(fill);
  out.write(" ");
  out.write(title);
  out.write(" ");
  out.write(fill);
  if (!colour.empty()) out.write(kReset);
  out.write("\n");
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
  print_banner(out, std::to_string(counts.passed) + " / " + std::to_string(counts.total) + " passed", kGreen);
  return counts;
}

}  // namespace orvel
