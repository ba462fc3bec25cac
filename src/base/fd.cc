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

// `write_some(data, size, done)` writes from `done` on, like write(2).
template <class WriteSome>
int write_whole(int fd, std::string_view bytes, WriteSome write_some) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write_some(bytes.data() + done, bytes.size() - done, done);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A descriptor a parent left non-blocking says "wait", not "gone": a reader that pauses
      // must still get everything.
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_writable(fd)) continue;
      return errno;
    }
    if (n == 0) return kNothingWritten;  // it would otherwise loop for ever
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

int write_all(int fd, std::string_view bytes) {
  return write_whole(fd, bytes, [fd](const char* data, std::size_t size, std::size_t) {
    return ::write(fd, data, size);
  });
}

}  // namespace orvel
