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

namespace orvel {

namespace {

// The first stretch read, where a file that cannot be JSON shows it: a sparse file of many
// gigabytes of zero bytes fails here instead of being read whole.
constexpr std::size_t kFirstStretchBytes = 64 * 1024;
constexpr std::size_t kMinReadGrowth = 4096;  // a file that grows while read grows in page steps
// The coarsest timestamps a file system keeps (FAT's two seconds): an edit within this much of a
// whole-second time may leave that time as it was.
constexpr time_t kCoarsestTickSeconds = 2;
// exFAT's times and FAT's change time count hundredths of a second, which is coarser than a
// fast clock's tick: the tick is taken as at least that.
constexpr long kHundredthNs = 10'000'000;
constexpr std::size_t kCompareBytes = 16 * 1024;  // the stretch compared again at a time
// Waiting for a lease without /proc: the holder has the kernel's lease-break time (45 s unless
// changed) to let go, after which the kernel breaks the lease itself. The pauses grow to 100 ms;
// 3000 of them outlast any break time people set.
constexpr int kLeasePolls = 3000;
constexpr long kLongestLeasePauseNs = 100'000'000;

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

// Whether the file's first bytes are still `old_bytes`, read again through the descriptor. The
// size was compared before: a file that grew or shrank is known to have changed.
std::optional<IoError> compare_again(const FileOps& ops, int fd, std::string_view old_bytes) {
  std::array<char, kCompareBytes> stretch;
  for (std::size_t done = 0; done < old_bytes.size();) {
    std::size_t asked = std::min(stretch.size(), old_bytes.size() - done);
    ssize_t n = ops.pread(fd, stretch.data(), asked, static_cast<off_t>(done));
    if (n < 0) return system_error(errno);
    auto got = static_cast<std::size_t>(n);
    if (got == 0 || std::memcmp(stretch.data(), old_bytes.data() + done, got) != 0) {
      return IoError{IoErrorKind::Changed};
    }
    done += got;
  }
  return std::nullopt;
}

// The coarse clock's tick: file systems stamp times from it, so writes within one tick share
// their times.
long coarse_tick_ns() {
  struct timespec tick {};
  if (::clock_getres(CLOCK_REALTIME_COARSE, &tick) != 0 || tick.tv_sec != 0) return 1'000'000'000;
  return std::max(tick.tv_nsec, kHundredthNs);
}

// Whether a write stamped `stamp` may have been followed, after the open at `opened`, by one
// that left the time as it was. A time ahead of the clock counts too: it cannot tell.
bool written_within_a_tick(const struct timespec& stamp, const struct timespec& opened) {
  if (stamp.tv_nsec == 0) return opened.tv_sec < stamp.tv_sec + kCoarsestTickSeconds;
  time_t seconds = opened.tv_sec - stamp.tv_sec;
  if (seconds < 0) return true;
  if (seconds > 1) return false;
  static const long tick_ns = coarse_tick_ns();
  return seconds * 1'000'000'000 + (opened.tv_nsec - stamp.tv_nsec) < tick_ns;
}

}  // namespace

HeldFile::~HeldFile() {
  // Where a late write error can show at close, it was sought through a duplicate before the
  // file was called written; this close tells nothing more.
  if (fd >= 0) ::close(fd);
}

std::optional<IoError> read_whole_file(const FileOps& ops, const std::string& path, HeldFile& file, ByteBuffer& bytes,
                                       CannotBeWhole cannot_be_whole, std::size_t padding) {
  constexpr int kFlags = O_NOCTTY | O_CLOEXEC;
  file.fd = open_regular(path, O_RDWR | kFlags);
  if (file.fd < 0) {
    // A file that may be read but not written is still decoded; the refusal is its result then.
    file.write_refused = errno;
    file.fd = open_regular(path, O_RDONLY | kFlags);
    if (file.fd < 0) return system_error(errno);
  }
  // The clock file systems stamp times with, read without a system call, before the times it is
  // weighed against: a write after the status cannot be stamped earlier than this.
  (void)::clock_gettime(CLOCK_REALTIME_COARSE, &file.opened);
  if (ops.fstat(file.fd, &file.as_read) != 0) return system_error(errno);
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
    ssize_t n = ops.read(file.fd, bytes.data() + bytes.size(), asked);
    if (n < 0) return system_error(errno);
    std::size_t before = bytes.size();
    bytes.set_size(before + static_cast<std::size_t>(n));
    if (before == 0 && cannot_be_whole != nullptr && cannot_be_whole(bytes.view())) return std::nullopt;
    if (n == 0) return std::nullopt;
    // A short read that brings in at least the size the file had is its end: no further read
    // is needed to see it. A file that grew or shrank meanwhile fails the check before writing.
    if (static_cast<std::size_t>(n) < asked && bytes.size() >= size) return std::nullopt;
  }
}

std::optional<IoError> check_unchanged(const FileOps& ops, const HeldFile& file, std::string_view bytes_read,
                                       const std::string* path) {
  const struct stat& then = file.as_read;
  struct stat now {};
  if (path != nullptr) {
    if (ops.stat(path->c_str(), &now) != 0) return system_error(errno);
    if (now.st_dev != then.st_dev || now.st_ino != then.st_ino) return IoError{IoErrorKind::Replaced};
  } else {
    // A write copies into the file a page at a time and may be paused between pages, so a
    // reader can see half of it. Looking for data takes the file's lock on ext4, btrfs and
    // tmpfs, which a write holds throughout: once it returns, no write is half done. Nothing is
    // changed by it.
    (void)ops.lseek(file.fd, 0, SEEK_DATA);
    if (ops.fstat(file.fd, &now) != 0) return system_error(errno);
  }
  // The change time is the one no program can set back: it shows an edit whose writer restored
  // the modification time, as rsync -t, cp -p and touch -r do.
  if (now.st_size != then.st_size || !same_time(now.st_mtim, then.st_mtim) || !same_time(now.st_ctim, then.st_ctim) ||
      (path != nullptr && static_cast<std::size_t>(then.st_size) != bytes_read.size())) {
    return IoError{IoErrorKind::Changed};
  }
  if (!written_within_a_tick(then.st_mtim, file.opened) && !written_within_a_tick(then.st_ctim, file.opened)) {
    return std::nullopt;
  }
  return compare_again(ops, file.fd, bytes_read);
}

}  // namespace orvel
