// Whole writes, retried and waited for.
#include "base/fd.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace orvel {

namespace {

// Waits until `fd` takes more bytes; false on an error of the wait itself.
bool wait_until_writable(int fd) {
  struct pollfd ready = {fd, POLLOUT, 0};
  for (;;) {
    int n = ::poll(&ready, 1, -1);
    if (n > 0) return true;  // an error on the descriptor shows in the next write
    if (n < 0 && errno != EINTR) return false;
  }
}

// A stream's write in write_all_at's terms: a stream has no offset, so it is not used.
ssize_t write_stream(int fd, const void* data, std::size_t size, off_t) {
  for (;;) {
    ssize_t n = ::write(fd, data, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    // A descriptor a parent left non-blocking says "wait", not "gone": a reader that pauses
    // must still get everything.
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_writable(fd)) continue;
    return -1;
  }
}

}  // namespace

int write_all_at(WriteAt write_at, int fd, std::string_view bytes, off_t offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write_at(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (n < 0) return errno;
    if (n == 0) return kNothingWritten;  // it would otherwise loop for ever
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int write_all(int fd, std::string_view bytes) { return write_all_at(write_stream, fd, bytes, 0); }

}  // namespace orvel
