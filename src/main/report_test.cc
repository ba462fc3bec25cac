// The report's exact bytes, the buffer in front of standard output, and banner widths.
#include "main/report.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace orvel {
namespace {

// Points descriptor 1 at /dev/null for the guard's lifetime, so banners take the fallback fill
// even when the tests are run from a terminal.
class StdoutNotATerminal {
 public:
  StdoutNotATerminal() {
    std::fflush(stdout);
    saved_ = ::dup(1);
    int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    EXPECT_GE(null_fd, 0);
    EXPECT_EQ(::dup2(null_fd, 1), 1);
    ::close(null_fd);
  }
  StdoutNotATerminal(const StdoutNotATerminal&) = delete;
  StdoutNotATerminal& operator=(const StdoutNotATerminal&) = delete;
  ~StdoutNotATerminal() {
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

// Everything written to a memory file by `body`, after the stream's flush.
template <class Body>
std::string capture(Body body) {
  int fd = ::memfd_create("report", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  {
    ReportStream out(fd);
    body(out);
    out.flush();
  }
  std::string bytes;
  char chunk[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd, chunk, sizeof chunk, offset);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
    offset += n;
  }
  ::close(fd);
  return bytes;
}

std::string fill(std::size_t n) { return std::string(n, '='); }

const std::string kG(kGreen);
const std::string kR(kRed);
const std::string kZ(kReset);
const std::string kPassMark = kG + "." + kZ;
const std::string kFailMark = kR + "F" + kZ;

RuleResult passed(std::string_view name) { return {name, pass()}; }
RuleResult failed(std::string_view name, std::string message) {
  return {name, fail(std::move(message))};
}

TEST(PrintReport, WritesTheWorkedExampleWithTheFallbackFill) {
  StdoutNotATerminal redirect;
  FileSet files;
  files["dir/c.json"] = {passed(kRuleKeysAreSorted), passed(kRuleNamingStyleIsCorrect)};
  files["b.json"] = {failed("lint_file", "IOError: Permission denied (os error 13)")};
  files["a.json"] = {passed(kRuleKeysAreSorted), passed(kRuleNamingStyleIsCorrect)};
  ReportCounts counts;
  const std::string bytes = capture([&](ReportStream& out) { counts = print_report(out, files); });
  const std::string expected =
      fill(80) + " orveller " + fill(80) + "\n" +
      "a.json " + kPassMark + kPassMark + "\n" +
      "b.json " + kFailMark + "\n" +
      "\t" + kR + "lint_file: IOError: Permission denied (os error 13)" + kZ + "\n" +
      "dir/c.json " + kPassMark + kPassMark + "\n" +
      kG + fill(80) + " 4 / 5 passed " + fill(80) + kZ + "\n";
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(counts.passed, 4u);
  EXPECT_EQ(counts.total, 5u);
}

TEST(PrintReport, ShowsEveryMarkOnOneLineThenEachFailureInOrder) {
  StdoutNotATerminal redirect;
  FileSet files;
  files["a.json"] = {passed("first"), failed("second", "why"), failed("third", ""),
                     passed("fourth")};
  files["B.json"] = {passed("x"), passed("y"), passed("x"), passed("y")};
  files["\xff name"] = {};
  ReportCounts counts;
  const std::string bytes = capture([&](ReportStream& out) { counts = print_report(out, files); });
  const std::string expected =
      fill(80) + " orveller " + fill(80) + "\n" +
      "B.json " + kPassMark + kPassMark + kPassMark + kPassMark + "\n" +
      "a.json " + kPassMark + kFailMark + kFailMark + kPassMark + "\n" +
      "\t" + kR + "second: why" + kZ + "\n" +
      "\t" + kR + "third" + kZ + "\n" +
      "\xff name \n" +
      kG + fill(80) + " 6 / 8 passed " + fill(80) + kZ + "\n";
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(counts.passed, 6u);
  EXPECT_EQ(counts.total, 8u);
}

TEST(PrintReport, ShowsControlBytesOfNamesAsEscapes) {
  StdoutNotATerminal redirect;
  struct Case {
    std::string name;
    std::string shown;
  };
  const Case cases[] = {
      {"plain \xff\xfe\xa0 caf\xc3\xa9.json", "plain \xff\xfe\xa0 caf\xc3\xa9.json"},
      {std::string("\x00\x01\x1b]0;pwned\x07.json", 17), "\\x00\\x01\\x1b]0;pwned\\x07.json"},
      {"a\tb\nc\rd\x7f\x1f.json", "a\\tb\\nc\\rd\\x7f\\x1f.json"},
      {"d\x1b[3A\x1b[J\r.json", "d\\x1b[3A\\x1b[J\\r.json"},
      // C1 controls in their UTF-8 form; other characters after 0xC2, and a lone 0xC2, stay.
      {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0\xc2\xc2", "\\u0080\\u009b\\u009f\xc2\xa0\xc2\xc2"},
      // A byte 0x80 to 0x9F outside a UTF-8 sequence is a C1 control to an 8-bit terminal:
      // alone, after an overlong lead, in a sequence cut short or past its end.
      {"\x9b\xc2", "\\x9b\xc2"},
      {"a\x80\x9f\xa0\xbf.json", "a\\x80\\x9f\xa0\xbf.json"},
      {"\xc0\x9b[2J\xc1\x80", "\xc0\\x9b[2J\xc1\\x80"},
      {"\xe2\x80\xe0\x82\x9b\xed\xa0\x80", "\xe2\\x80\xe0\\x82\\x9b\xed\xa0\\x80"},
      {"\xc3\xa9\x9b\xf4\x90\x80\x80", "\xc3\xa9\\x9b\xf4\\x90\\x80\\x80"},
      // Valid UTF-8 whose bytes include 0x80 to 0x9F is a character and shows as one.
      {"\xc4\x80\xe2\x80\x9c\xe2\x81\xa5\xe2\x81\xaa\xf0\x9f\x98\x80",
       "\xc4\x80\xe2\x80\x9c\xe2\x81\xa5\xe2\x81\xaa\xf0\x9f\x98\x80"},
      // The line and paragraph separators and the bidirectional embeddings, overrides and
      // isolates, which would show the name reordered; their neighbours stay.
      {"evil\xe2\x80\xaenosj.exe", "evil\\u202enosj.exe"},
      {"\xe2\x80\xa7\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad\xe2\x80\xaf",
       "\xe2\x80\xa7\\u2028\\u2029\\u202a\\u202b\\u202c\\u202d\xe2\x80\xaf"},
      {"\xe2\x81\xa5\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9\xe2\x81\xaa",
       "\xe2\x81\xa5\\u2066\\u2067\\u2068\\u2069\xe2\x81\xaa"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    FileSet files;
    files[c.name] = {passed("x")};
    const std::string bytes = capture([&](ReportStream& out) { (void)print_report(out, files); });
    EXPECT_EQ(bytes, fill(80) + " orveller " + fill(80) + "\n" + c.shown + " " + kPassMark + "\n" +
                         kG + fill(80) + " 1 / 1 passed " + fill(80) + kZ + "\n");
  }
}

// Bytes waiting in a pipe, without reading them.
int pending(int fd) {
  int n = -1;
  EXPECT_EQ(::ioctl(fd, FIONREAD, &n), 0);
  return n;
}

TEST(ReportStream, PassesTheBufferOnOnlyWhenFullAndAtFlush) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    ReportStream out(fds[1]);
    out.write(std::string(ReportStream::kBufferBytes - 1, 'a'));
    EXPECT_EQ(pending(fds[0]), 0);
    out.write("bc");
    EXPECT_EQ(pending(fds[0]), static_cast<int>(ReportStream::kBufferBytes));
    out.flush();
    EXPECT_EQ(pending(fds[0]), static_cast<int>(ReportStream::kBufferBytes) + 1);
    out.flush();
    EXPECT_EQ(pending(fds[0]), static_cast<int>(ReportStream::kBufferBytes) + 1);
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(ReportStream, KeepsLongWritesWholeAndInOrder) {
  std::string text;
  for (int i = 0; i < 30000; ++i) text += std::to_string(i) + ",";
  const std::string bytes = capture([&](ReportStream& out) {
    out.write("<");
    out.write(text);
    out.write(">");
  });
  EXPECT_EQ(bytes, "<" + text + ">");
}

// The banner as seen on a pseudo-terminal of `columns` columns that is descriptor 1 of a child.
std::string banner_on_terminal(unsigned short columns, std::string_view title,
                               std::string_view colour) {
  int master = -1;
  int slave = -1;
  struct winsize ws {};
  ws.ws_col = columns;
  ws.ws_row = 24;
  struct termios raw {};
  cfmakeraw(&raw);  // no "\n" -> "\r\n", so the bytes arrive as written
  EXPECT_EQ(::openpty(&master, &slave, nullptr, &raw, &ws), 0);
  std::fflush(stdout);
  pid_t child = ::fork();
  if (child == 0) {
    if (::dup2(slave, 1) != 1) ::_exit(3);
    ReportStream out(1);
    print_banner(out, title, colour);
    out.flush();
    ::_exit(0);
  }
  ::close(slave);
  std::string bytes;
  char chunk[512];
  while (bytes.find('\n') == std::string::npos) {
    ssize_t n = ::read(master, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child has gone and the terminal has drained
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  int status = -1;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  ::close(master);
  return bytes;
}

TEST(PrintBanner, CentresTheTitleOnTheTerminalWidth) {
  struct Case {
    unsigned short columns;
    std::string title;
    std::string colour;
    std::size_t fill;
  };
  const std::vector<Case> cases = {
      {40, "orveller", "", 15},
      {40, "4 / 5 passed", std::string(kGreen), 13},
      {80, "orveller", "", 35},
      {80, "2 / 2 passed", std::string(kGreen), 33},
      {81, "orveller", "", 35},
      {41, "orveller", "", 15},
      {40, "orveller!", "", 14},
      {0, "orveller", "", 0},
      {11, "orveller", "", 0},
      {12, "orveller", "", 1},
      // Thirteen characters in seventeen bytes: centred by characters (by bytes it would be 10).
      {40, "h\xc3\xa9llo w\xc3\xb6rld \xe2\x82\xac", "", 12},
      {65535, "x", "", 32766},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.columns) + " columns, title " + c.title);
    std::string expected = c.colour + fill(c.fill) + " " + c.title + " " + fill(c.fill);
    if (!c.colour.empty()) expected += kZ;
    expected += "\n";
    EXPECT_EQ(banner_on_terminal(c.columns, c.title, c.colour), expected);
  }
}

TEST(PrintBanner, SizesByDescriptorOneNotByTheStream) {
  // The stream writes to a 40-column terminal, but descriptor 1 is not one: fallback fill.
  StdoutNotATerminal redirect;
  int master = -1;
  int slave = -1;
  struct winsize ws {};
  ws.ws_col = 40;
  struct termios raw {};
  cfmakeraw(&raw);
  ASSERT_EQ(::openpty(&master, &slave, nullptr, &raw, &ws), 0);
  {
    ReportStream out(slave);
    print_banner(out, "orveller", "");
    out.flush();
  }
  const std::string expected = fill(80) + " orveller " + fill(80) + "\n";
  std::string bytes;
  char chunk[512];
  while (bytes.size() < expected.size()) {
    ssize_t n = ::read(master, chunk, sizeof chunk);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(bytes, expected);
  ::close(slave);
  ::close(master);
}

}  // namespace
}  // namespace orvel
