// Reading a file whole and overwriting it in place, with its old bytes kept to put back.
#include "main/rewrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "base/arena.h"
#include "base/fd.h"
#include "base/memory_budget.h"
#include "base/os_error.h"
#include "base/platform.h"
#include "json/reader.h"
#include "json/writer.h"
#include "main/interrupts.h"

namespace orvel {

namespace {

// The first stretch read, where a file that cannot be JSON shows it: a sparse file of many
// gigabytes of zero bytes fails here instead of being read whole.
constexpr std::size_t kFirstStretchBytes = 64 * 1024;
constexpr std::size_t kMinReadGrowth = 4096;  // a file that grows while read grows in page steps
constexpr std::size_t kPieceBytes = 512 * 1024;  // large enough that write calls cost nothing
constexpr std::string_view kIndent = "  ";

IoError system_error(int error_number) { return IoError{IoErrorKind::System, error_number}; }

// The new text on its way into the file, piece by piece as the writer renders it. The file is
// overwritten, never truncated first, so that whatever fails part-way, the old bytes, still in
// memory, can be put back.
struct Overwrite {
  int fd;
  std::size_t old_size;
  std::size_t written = 0;
  int error_number = 0;  // the first failure, or kNothingWritten
  bool in_memory = false;  // on tmpfs: growth takes memory, charged before the file grows

  void put(std::string_view piece) {
    if (error_number != 0) return;  // the text after a failure has nowhere to go
    std::size_t end = written + piece.size();
    std::size_t grown_from = std::max(written, old_size);
    if (in_memory && end > grown_from && !may_grow_file_in_memory(end - grown_from)) throw std::bad_alloc();
    // Only the part beyond the old length needs new blocks.
    error_number = reserve_file_space(fd, std::max(written, old_size), end);
    if (error_number == 0) error_number = write_all_at(fd, piece, written);
    written = end;
  }

  // The whole text, when it fit in one piece. The part beyond the old end goes first: a full
  // disk or a file-size limit fails that write before any old byte is touched, and the file
  // system reserves the blocks as it writes, so no reservation call is needed (on ext4 it cost
  // more than the write itself: 10 us a small file).
  void put_whole(std::string_view text) {
    if (text.size() > old_size) {
      error_number = write_all_at(fd, text.substr(old_size), old_size);
      if (error_number == 0) error_number = write_all_at(fd, text.substr(0, old_size), 0);
    } else {
      error_number = write_all_at(fd, text, 0);
    }
    written = text.size();
  }

  static void consume(void* context, std::string_view piece) { static_cast<Overwrite*>(context)->put(piece); }
};

// Whether the path still leads to the file that was read, as it was read.
std::optional<IoError> check_unchanged(const std::string& path, const HeldFile& file, std::size_t bytes_read) {
  struct stat now;
  if (::stat(path.c_str(), &now) != 0) return system_error(errno);
  const struct stat& then = file.as_read;
  if (now.st_dev != then.st_dev || now.st_ino != then.st_ino) return IoError{IoErrorKind::Replaced};
  if (now.st_size != then.st_size || static_cast<std::size_t>(now.st_size) != bytes_read ||
      now.st_mtim.tv_sec != then.st_mtim.tv_sec || now.st_mtim.tv_nsec != then.st_mtim.tv_nsec) {
    return IoError{IoErrorKind::Changed};
  }
  return std::nullopt;
}

}  // namespace

std::string to_string(const IoError& error) {
  switch (error.kind) {
    case IoErrorKind::System: return os_error_text(error.error_number);
    case IoErrorKind::NothingWritten: return "failed to write whole buffer";
    case IoErrorKind::OutOfMemory: return "out of memory";
    case IoErrorKind::NotRegularFile: return "not a regular file";
    case IoErrorKind::Replaced: return "the file was replaced while it was being processed";
    case IoErrorKind::Changed: return "the file was changed while it was being processed";
  }
  return "unknown error";  // only for a value outside the enum
}

HeldFile::~HeldFile() {
  if (fd >= 0) ::close(fd);  // its result tells nothing we could act on
}

std::optional<IoError> read_whole_file(const std::string& path, HeldFile& file, ByteBuffer& bytes) {
  // O_NONBLOCK: a FIFO put in the file's place must not hang the run waiting for a writer.
  constexpr int kFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  file.fd = ::open(path.c_str(), O_RDWR | kFlags);
  if (file.fd < 0) {
    // A file that may be read but not written is still decoded; the refusal is its result then.
    file.write_refused = errno;
    file.fd = ::open(path.c_str(), O_RDONLY | kFlags);
    if (file.fd < 0) return system_error(errno);
  }
  if (::fstat(file.fd, &file.as_read) != 0) return system_error(errno);
  // Only a regular file is read or overwritten: a FIFO or device put under the path after it
  // was selected gives no document and must never receive the text.
  if (S_ISDIR(file.as_read.st_mode)) return system_error(EISDIR);
  if (!S_ISREG(file.as_read.st_mode)) return IoError{IoErrorKind::NotRegularFile};

  auto size = static_cast<unsigned long long>(std::max<off_t>(file.as_read.st_size, 0));
  if (size > SIZE_MAX / 2) return IoError{IoErrorKind::OutOfMemory};  // cannot be held anyway
  // One byte more than the size, so the read that shows the end needs no growth, and the
  // padding after it that the writer may read, which reads never fill. A file too large for the
  // memory budget fails here, before a byte of it is read.
  if (!bytes.reserve(static_cast<std::size_t>(size) + 1 + kReadPadding)) return IoError{IoErrorKind::OutOfMemory};
  auto usable = [&bytes] { return bytes.capacity() - kReadPadding; };
  std::size_t stretch_end = std::min(usable(), kFirstStretchBytes);
  for (;;) {
    if (bytes.size() == stretch_end) {
      if (stretch_end == usable()) {
        std::size_t capacity = bytes.capacity();
        if (capacity > SIZE_MAX / 2 || !bytes.reserve(std::max(capacity * 2, kMinReadGrowth))) {
          return IoError{IoErrorKind::OutOfMemory};
        }
      }
      stretch_end = usable();
      // The rest of the file is about to come in: its pages are given in one call rather than a
      // fault a page inside the read.
      if (!bytes.populate(stretch_end)) {
        return IoError{IoErrorKind::OutOfMemory};
      }
    }
    std::size_t asked = stretch_end - bytes.size();
    ssize_t n = ::read(file.fd, bytes.data() + bytes.size(), asked);
    if (n < 0) {
      if (errno == EINTR) continue;
      return system_error(errno);
    }
    std::size_t before = bytes.size();
    bytes.set_size(before + static_cast<std::size_t>(n));
    // Once the first stretch is in, a file that cannot be JSON is known: what was read gives
    // the same error as the whole file would.
    if (before == 0 && cannot_begin_json(bytes.view())) return std::nullopt;
    if (n == 0) return std::nullopt;
    // A short read that brings in at least the size the file had is its end: no further read
    // is needed to see it. A file that grew or shrank meanwhile fails the check before writing.
    if (static_cast<std::size_t>(n) < asked && bytes.size() >= size) return std::nullopt;
  }
}

std::optional<IoError> rewrite_file(const std::string& path, HeldFile& file, std::string_view old_bytes,
                                    const JsonValue& document, ByteBuffer& text) {
  if (file.write_refused != 0) return system_error(file.write_refused);
  if (std::optional<IoError> changed = check_unchanged(path, file, old_bytes.size())) return changed;
  // Everything the rewrite needs is held, and touched, before the first byte goes to the file:
  // running out of memory later, or being charged for fresh pages under a control group's
  // limit, would leave the file half rewritten.
  std::size_t buffer_bytes = pieces_buffer_bytes(kPieceBytes);
  if (text.capacity() < buffer_bytes) {
    if (!text.reserve(buffer_bytes)) return IoError{IoErrorKind::OutOfMemory};
    if (!text.populate(text.capacity())) {
      // Dropped, so that the next file does not take a buffer whose pages are not all there.
      std::destroy_at(&text);
      std::construct_at(&text);
      return IoError{IoErrorKind::OutOfMemory};
    }
  }

  Overwrite overwrite{file.fd, old_bytes.size()};
  overwrite.in_memory = file_is_in_memory(file.fd, file.as_read.st_dev);
  bool out_of_memory = false;
  RewriteInProgress rewriting;
  try {
    write_pretty_pieces(document, kIndent, text, TextPieces{kPieceBytes, &Overwrite::consume, &overwrite});
  } catch (const std::bad_alloc&) {
    // Not expected once the buffer is held; should it happen, it fails this file like a write.
    out_of_memory = true;
  }
  if (!out_of_memory) {
    // The buffer keeps room past its pieces, so the line feed needs no allocation.
    text.data()[text.size()] = '\n';
    text.set_size(text.size() + 1);
    if (overwrite.written == 0) {
      if (overwrite.in_memory && text.size() > old_bytes.size() &&
          !may_grow_file_in_memory(text.size() - old_bytes.size())) {
        return IoError{IoErrorKind::OutOfMemory};
      }
      overwrite.put_whole(text.view());
    } else {
      try {
        overwrite.put(text.view());
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
    }
  }
  int error_number = overwrite.error_number;
  if (!out_of_memory && error_number == 0) {
    if (overwrite.written >= old_bytes.size()) return std::nullopt;
    if (::ftruncate(file.fd, static_cast<off_t>(overwrite.written)) == 0) return std::nullopt;
    error_number = errno;
  }

  // Best effort: the first error is the one reported, whatever the repair meets. The old length
  // is restored even if the old bytes could not all be put back.
  (void)write_all_at(file.fd, old_bytes, 0);
  (void)::ftruncate(file.fd, static_cast<off_t>(old_bytes.size()));
  if (out_of_memory) return IoError{IoErrorKind::OutOfMemory};
  if (error_number == kNothingWritten) return IoError{IoErrorKind::NothingWritten};
  return system_error(error_number);
}

}  // namespace orvel
