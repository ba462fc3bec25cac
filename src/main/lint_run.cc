// The run: every candidate read, decoded, sorted and rewritten in place, then the report.
#include "main/lint_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "base/byte_buffer.h"
#include "base/os_error.h"
#include "discovery/find_files.h"
#include "discovery/paths.h"
#include "json/reader.h"
#include "json/writer.h"
#include "rules/rules.h"
#include "rules/sort_keys.h"

namespace orvel {

namespace {

constexpr std::string_view kIndent = "  ";
constexpr std::size_t kMinReadGrowth = 4096;  // a file whose size was unknown grows in page steps

constexpr const char* kOutOfMemory = "IOError: out of memory";

std::string io_error(int error_number) { return "IOError: " + os_error_text(error_number); }

// Closes on every path out of a function; close's result tells nothing we could act on.
struct FdGuard {
  int fd;
  ~FdGuard() { ::close(fd); }
};

// Only a regular file is read or overwritten: a FIFO or device put under the path gives no
// document and must never receive the text. Returns the refusal, or an empty string.
std::string check_regular(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return io_error(EISDIR);
  if (!S_ISREG(st.st_mode)) return "IOError: not a regular file";
  return {};
}

// Reads everything from `fd` into `bytes`, starting with room for `size_hint` bytes. Returns the
// failure text, or an empty string.
std::string gather_bytes(int fd, std::size_t size_hint, ByteBuffer& bytes) {
  // One byte more than the size, so the read that reports the end needs no growth.
  if (!bytes.reserve(size_hint + 1)) return kOutOfMemory;
  for (;;) {
    if (bytes.size() == bytes.capacity()) {
      std::size_t capacity = bytes.capacity();
      if (capacity > SIZE_MAX / 2 || !bytes.reserve(std::max(capacity * 2, kMinReadGrowth))) {
        bytes.clear();
        return kOutOfMemory;
      }
    }
    ssize_t n = ::read(fd, bytes.data() + bytes.size(), bytes.capacity() - bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int error_number = errno;
      bytes.clear();
      return io_error(error_number);
    }
    if (n == 0) return {};
    bytes.set_size(bytes.size() + static_cast<std::size_t>(n));
  }
}

std::string read_whole_file(const std::string& path, ByteBuffer& bytes) {
  // O_NONBLOCK: a FIFO put in the file's place must not hang the run waiting for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return io_error(errno);
  FdGuard guard{fd};
  std::size_t size_hint = 0;
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    std::string refusal = check_regular(st);
    if (!refusal.empty()) return refusal;
    // A size beyond what a string can hold cannot be read into memory anyway.
    if (st.st_size > 0) {
      auto size = static_cast<unsigned long long>(st.st_size);
      if (size > SIZE_MAX / 2) return kOutOfMemory;
      size_hint = static_cast<std::size_t>(size);
    }
  }
  return gather_bytes(fd, size_hint, bytes);
}

// Writes all of `data` at `offset`. Returns 0, or the error number; -1 stands for a write that
// accepted nothing.
int write_all_at(int fd, std::string_view data, std::size_t offset) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done,
                         static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return -1;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Reserves blocks for the bytes from `from` to `to` without changing the file's size or contents,
// so that a full disk shows up before those bytes are written. Returns 0 or the error number.
// posix_fallocate is no substitute: where the file system cannot reserve, it writes zeros, which
// would destroy the old text.
int reserve_space(int fd, std::size_t from, std::size_t to) {
  if (to <= from) return 0;
  for (;;) {
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                    static_cast<off_t>(to - from)) == 0) {
      return 0;
    }
    if (errno == EINTR) continue;
    // The file system cannot reserve; the write itself will find out whether there is room.
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return 0;
    return errno;
  }
}

// The new text on its way into the file, piece by piece as the writer renders it. The file is
// overwritten, never truncated first, so that whatever fails part-way, the old bytes, still in
// memory, can be put back.
struct Rewrite {
  int fd;
  std::size_t old_size;
  std::size_t written = 0;
  int error_number = 0;  // the first failure; -1 for a write that accepted nothing

  void put(std::string_view piece) {
    if (error_number != 0) return;  // the text after a failure has nowhere to go
    std::size_t end = written + piece.size();
    // Only the part beyond the old length needs new blocks.
    error_number = reserve_space(fd, std::max(written, old_size), end);
    if (error_number == 0) error_number = write_all_at(fd, piece, written);
    written = end;
  }

  static void consume(void* context, std::string_view piece) {
    static_cast<Rewrite*>(context)->put(piece);
  }
};

constexpr std::size_t kPieceBytes = 512 * 1024;  // large enough that write calls cost nothing

// Renders `document` into the file at `path` in place of its contents, `old_bytes`. Returns the
// failure text, or an empty string. On failure the file holds `old_bytes` again.
std::string write_back(const std::string& path, std::string_view old_bytes,
                       const JsonValue& document, ByteBuffer& buffer) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return io_error(errno);
  FdGuard guard{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return io_error(errno);
  std::string refusal = check_regular(st);
  if (!refusal.empty()) return refusal;

  Rewrite rewrite{fd, old_bytes.size()};
  bool out_of_memory = false;
  try {
    write_pretty_pieces(document, kIndent, buffer, TextPieces{kPieceBytes, &Rewrite::consume, &rewrite});
    if (!buffer.reserve(buffer.size() + 1)) throw std::bad_alloc();
    buffer.data()[buffer.size()] = '\n';
    buffer.set_size(buffer.size() + 1);
    rewrite.put(buffer.view());
  } catch (const std::bad_alloc&) {
    // The text is rendered while the file is being overwritten, so running out of memory here
    // must not end the process with the file half rewritten: it fails this file like a write.
    out_of_memory = true;
  }
  int error_number = rewrite.error_number;
  if (!out_of_memory && error_number == 0 &&
      ::ftruncate(fd, static_cast<off_t>(rewrite.written)) != 0) {
    error_number = errno;
  }
  if (!out_of_memory && error_number == 0) return {};

  // Best effort: the first error is the one reported, whatever the repair meets. The old length
  // is restored even if the old bytes could not all be put back.
  (void)write_all_at(fd, old_bytes, 0);
  (void)::ftruncate(fd, static_cast<off_t>(old_bytes.size()));
  if (error_number == 0) return kOutOfMemory;
  return error_number < 0 ? std::string("IOError: failed to write whole buffer") : io_error(error_number);
}

[[noreturn]] void fail_fatally(std::string_view message) {
  (void)write_all(2, message);
  std::exit(1);
}

}  // namespace

Result<JsonValue, std::string> lint_file(const std::string& path, FileScratch& scratch) {
  // The previous file's document dies here: it pointed into these very buffers.
  scratch.arena.reset();
  scratch.bytes.clear();
  scratch.text.clear();

  std::string failure = read_whole_file(path, scratch.bytes);
  if (!failure.empty()) return Err{std::move(failure)};

  Result<JsonValue, DecodeError> read = read_document(scratch.bytes.view(), scratch.arena);
  if (!read.ok()) return Err{"JSONDecodeError: " + to_string(read.error())};
  JsonValue document = std::move(read).value();

  sort_keys(document);
  failure = write_back(path, scratch.bytes.view(), document, scratch.text);
  if (!failure.empty()) return Err{std::move(failure)};
  return document;
}

int LintRun(const std::vector<std::string>& arguments, ReportStream& out) {
  Result<std::string, int> cwd = working_dir();
  if (!cwd.ok()) {
    fail_fatally("orvel: cannot get the working directory: " + os_error_text(cwd.error()) + "\n");
  }
  const std::string& working_directory = cwd.value();

  std::vector<std::string> candidates = find_files(arguments, working_directory);
  if (candidates.empty()) {
    out.write("No files found.\n");
    return 1;
  }

  FileSet files;
  FileScratch scratch;  // one for the whole run: later files reuse memory that is already mapped
  for (const std::string& path : candidates) {
    // The entry exists before the file is read, so a file that fails still has its line.
    std::vector<RuleResult>& results = files[display_name(path, working_directory)];
    Result<JsonValue, std::string> linted = lint_file(path, scratch);
    if (linted.ok()) {
      for (RuleResult& result : evaluate_rules(linted.value())) results.push_back(std::move(result));
    } else {
      results.push_back(RuleResult{"lint_file", fail(std::move(linted.error()))});
    }
  }

  ReportCounts counts = print_report(out, files);
  return counts.passed == counts.total ? 0 : 1;
}

}  // namespace orvel
