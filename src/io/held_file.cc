// Opening a file without blocking on what is not one, reading it whole, and checking that it is
// still the file that was read.
#include "io/held_file.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include "base/os_error.h"
#include "base/platform.h"

namespace orvel {

namespace {

// The first stretch read, where a file that cannot be JSON shows it: a sparse file of many
// gigabytes of zero bytes fails here instead of being read whole.
constexpr std::size_t kFirstStretchBytes = 64 * 1024;
constexpr std::size_t kMinReadGrowth = 4096;  // a file that grows while read grows in page steps
// The coarsest timestamps a file system keeps (FAT's two seconds): an edit within this much of a
// whole-second modification time may leave that time as it was.
constexpr time_t kCoarsestTickSeconds = 2;
constexpr std::size_t kCompareBytes = 16 * 1024;  // the stretch compared again at a time
// Waiting for a lease without /proc: the holder has the kernel's lease-break time (45 s unless
// changed) to let go, after which the kernel breaks the lease itself. The pauses grow to 100 ms;
// 3000 of them outlast any break time people set.
constexpr int kLeasePolls = 3000;
constexpr long kLongestLeasePauseNs = 100'000'000;

IoError system_error(int error_number) { return IoError{IoErrorKind::System, error_number}; }

int open_retried(const char* path, int flags) {
  for (;;) {
    int fd = ::open(path, flags);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// After a non-blocking open was refused because another program holds a lease on the file:
// waits for the lease to be broken, without ever blocking on a FIFO or device that could have
// taken the file's place. The file is pinned by a descriptor that opens nothing (O_PATH), shown
// to be regular, and that very inode is opened again, blocking, through /proc. Where /proc is
// missing (an empty chroot), the non-blocking open is retried with growing pauses: the refused
// open already asked the holder to let go.
int open_after_lease(const std::string& path, int flags) {
  int pinned = open_retried(path.c_str(), O_PATH | O_CLOEXEC);
  if (pinned < 0) return -1;
  struct stat status {};
  if (::fstat(pinned, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(pinned);
    // No longer a regular file: opened without blocking, it is refused as what it now is.
    return open_retried(path.c_str(), flags | O_NONBLOCK);
  }
  std::string through_proc = "/proc/self/fd/" + std::to_string(pinned);
  int fd = open_retried(through_proc.c_str(), flags);
  int open_error = errno;
  ::close(pinned);
  if (fd >= 0 || open_error != ENOENT) {
    errno = open_error;
    return fd;
  }
  long pause_ns = 1'000'000;
  for (int poll = 0; poll < kLeasePolls; ++poll) {
    struct timespec pause = {0, pause_ns};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    pause_ns = std::min(pause_ns * 2, kLongestLeasePauseNs);
    fd = open_retried(path.c_str(), flags | O_NONBLOCK);
    if (fd >= 0 || errno != EWOULDBLOCK) return fd;
  }
  return -1;
}

// Opens without blocking on a FIFO put in the file's place, but waits for a lease as other
// programs do.
int open_regular(const std::string& path, int flags) {
  int fd = open_retried(path.c_str(), flags | O_NONBLOCK);
  // A non-blocking open of a file refuses with EWOULDBLOCK only when a lease stands in the way.
  if (fd < 0 && errno == EWOULDBLOCK) return open_after_lease(path, flags);
  return fd;
}

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the file's bytes are still `old_bytes` (or, unless `to_the_end`, begin with them), read
// again through the descriptor.
std::optional<IoError> compare_again(const FileOps& ops, int fd, std::string_view old_bytes, bool to_the_end) {
  std::array<char, kCompareBytes> stretch;
  std::size_t done = 0;
  for (;;) {
    if (!to_the_end && done == old_bytes.size()) return std::nullopt;
    // One byte past the old end is asked for too: a file that grew is changed.
    std::size_t asked = std::min(stretch.size(), old_bytes.size() + 1 - done);
    ssize_t n = ops.pread(fd, stretch.data(), asked, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return system_error(errno);
    }
    auto got = static_cast<std::size_t>(n);
    if (got == 0) {
      if (done == old_bytes.size()) return std::nullopt;
      return IoError{IoErrorKind::Changed};
    }
    got = to_the_end ? got : std::min(got, old_bytes.size() - done);
    if (got > old_bytes.size() - done || std::memcmp(stretch.data(), old_bytes.data() + done, got) != 0) {
      return IoError{IoErrorKind::Changed};
    }
    done += got;
  }
}

}  // namespace

std::string to_string(const IoError& error) {
  std::string text;
  switch (error.kind) {
    case IoErrorKind::System: text = os_error_text(error.error_number); break;
    case IoErrorKind::NothingWritten: text = "failed to write whole buffer"; break;
    case IoErrorKind::OutOfMemory: text = "out of memory"; break;
    case IoErrorKind::NotRegularFile: text = "not a regular file"; break;
    case IoErrorKind::Replaced: text = "the file was replaced while it was being processed"; break;
    case IoErrorKind::Changed: text = "the file was changed while it was being processed"; break;
  }
  if (error.restore_failed) text += "; the old text could not be put back";
  return text;
}

HeldFile::~HeldFile() {
  // Where a late write error can show at close, it was sought through a duplicate before the
  // file was called written; this close tells nothing more.
  if (fd >= 0) ::close(fd);
}

std::optional<IoError> read_whole_file(const std::string& path, HeldFile& file, ByteBuffer& bytes,
                                       CannotBeWhole cannot_be_whole, std::size_t padding) {
  constexpr int kFlags = O_NOCTTY | O_CLOEXEC;
  file.fd = open_regular(path, O_RDWR | kFlags);
  if (file.fd < 0) {
    // A file that may be read but not written is still decoded; the refusal is its result then.
    file.write_refused = errno;
    file.fd = open_regular(path, O_RDONLY | kFlags);
    if (file.fd < 0) return system_error(errno);
  }
  if (::fstat(file.fd, &file.as_read) != 0) return system_error(errno);
  // The clock file systems stamp times with, read without a system call.
  (void)::clock_gettime(CLOCK_REALTIME_COARSE, &file.opened);
  // Only a regular file is read or overwritten: a FIFO or device put under the path after it
  // was selected gives no document and must never receive the text.
  if (S_ISDIR(file.as_read.st_mode)) return system_error(EISDIR);
  if (!S_ISREG(file.as_read.st_mode)) return IoError{IoErrorKind::NotRegularFile};

  auto size = static_cast<unsigned long long>(std::max<off_t>(file.as_read.st_size, 0));
  if (size > SIZE_MAX / 2) return IoError{IoErrorKind::OutOfMemory};  // cannot be held anyway
  // One byte more than the size, so the read that shows the end needs no growth, and the
  // padding after it, which reads never fill. A file too large for the memory budget fails
  // here, before a byte of it is read.
  try {
    bytes.reserve(static_cast<std::size_t>(size) + 1 + padding);
  } catch (const std::bad_alloc&) {
    return IoError{IoErrorKind::OutOfMemory};
  }
  auto usable = [&bytes, padding] { return bytes.capacity() - padding; };
  std::size_t stretch_end = std::min(usable(), kFirstStretchBytes);
  for (;;) {
    if (bytes.size() == stretch_end) {
      try {
        if (stretch_end == usable()) bytes.reserve(std::max(bytes.capacity() * 2, kMinReadGrowth));
        stretch_end = usable();
        // The rest of the file is about to come in: its pages are given in one call rather than
        // a fault a page inside the read.
        bytes.populate(stretch_end);
      } catch (const std::bad_alloc&) {
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
    if (before == 0 && cannot_be_whole != nullptr && cannot_be_whole(bytes.view())) return std::nullopt;
    if (n == 0) return std::nullopt;
    // A short read that brings in at least the size the file had is its end: no further read
    // is needed to see it. A file that grew or shrank meanwhile fails the check before writing.
    if (static_cast<std::size_t>(n) < asked && bytes.size() >= size) return std::nullopt;
  }
}

bool changed_since_open(const FileOps& ops, const HeldFile& file, std::string_view bytes_read) {
  // A write copies into the file a page at a time and may be paused between pages, so a reader
  // can see half of it. Looking for data takes the file's lock on ext4, btrfs and tmpfs, which a
  // write holds throughout: once it returns, no write is half done. Nothing is changed by it.
  (void)::lseek(file.fd, 0, SEEK_DATA);
  struct stat now {};
  if (ops.fstat(file.fd, &now) != 0) return false;  // nothing known: the bytes' own error stands
  const struct stat& then = file.as_read;
  if (now.st_size != then.st_size || !same_time(now.st_mtim, then.st_mtim) || !same_time(now.st_ctim, then.st_ctim)) {
    return true;
  }
  // Two writes within one tick of the file system's clock leave one time: a file written just
  // before it was opened may have been written again since. Its bytes then tell.
  if (then.st_mtim.tv_sec + kCoarsestTickSeconds > file.opened.tv_sec) {
    std::optional<IoError> compared = compare_again(ops, file.fd, bytes_read, false);
    return compared && compared->kind == IoErrorKind::Changed;
  }
  return false;
}

std::optional<IoError> check_unchanged(const FileOps& ops, const std::string& path, const HeldFile& file,
                                       std::string_view old_bytes) {
  struct stat now;
  if (::stat(path.c_str(), &now) != 0) return system_error(errno);
  const struct stat& then = file.as_read;
  if (now.st_dev != then.st_dev || now.st_ino != then.st_ino) return IoError{IoErrorKind::Replaced};
  if (now.st_size != then.st_size || static_cast<std::size_t>(now.st_size) != old_bytes.size() ||
      !same_time(now.st_mtim, then.st_mtim)) {
    return IoError{IoErrorKind::Changed};
  }
  // A whole-second time that was current when the file was opened: an edit made since, in the
  // same tick, would not have moved it. Only then are the bytes read again.
  bool coarse_and_recent = then.st_mtim.tv_nsec == 0 && file.opened.tv_sec < then.st_mtim.tv_sec + kCoarsestTickSeconds;
  if (coarse_and_recent) return compare_again(ops, file.fd, old_bytes, true);
  return std::nullopt;
}

}  // namespace orvel
