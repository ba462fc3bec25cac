// Linux and GNU C library calls behind portable contracts.
#include "base/platform.h"

#include <fcntl.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

namespace orvel {

int reserve_file_space(int fd, std::size_t from, std::size_t to) {
  if (to <= from) return 0;
  for (;;) {
    // posix_fallocate is no substitute: where the file system cannot reserve, it writes zeros,
    // which would destroy the old text.
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(to - from)) == 0) {
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return 0;
    return errno;
  }
}

std::string error_description(int error_number) {
  // g++ defines _GNU_SOURCE, so this is the GNU strerror_r: it returns the text, which may or
  // may not be the buffer we pass. 256 bytes hold every message glibc has; a longer one is cut
  // by the library, never overrun.
  char buffer[256];
  return strerror_r(error_number, buffer, sizeof buffer);
}

std::uint64_t process_random_bits() {
  static const std::uint64_t bits = [] {
    std::uint64_t b = 0x9e3779b97f4a7c15ull;
    if (const auto* random = reinterpret_cast<const unsigned char*>(getauxval(AT_RANDOM))) {
      std::memcpy(&b, random, sizeof b);
    }
    return b;
  }();
  return bits;
}

void avoid_huge_pages(void* block, std::size_t length) { (void)::madvise(block, length, MADV_NOHUGEPAGE); }

}  // namespace orvel
