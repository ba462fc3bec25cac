// Linux and GNU C library calls behind portable contracts.
#include "base/platform.h"

#include <string.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace orvel {

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

void prefer_huge_pages(void* block, std::size_t length) { (void)::madvise(block, length, MADV_HUGEPAGE); }

bool populate_for_writing(void* block, std::size_t bytes) {
  if (bytes == 0) return true;
  auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
#if defined(MADV_POPULATE_WRITE)
  // The whole pages around the block: populating leaves every byte as it was, so the parts of
  // its first and last page that lie outside it are not disturbed.
  auto start = reinterpret_cast<std::uintptr_t>(block) & ~(page - 1);
  auto stop = (reinterpret_cast<std::uintptr_t>(block) + bytes + page - 1) & ~(page - 1);
  for (;;) {
    if (::madvise(reinterpret_cast<void*>(start), stop - start, MADV_POPULATE_WRITE) == 0) return true;
    if (errno == EINTR) continue;
    // Kernels before 5.14 know no such advice; every other refusal means the memory is not there.
    if (errno != EINVAL) return false;
    break;
  }
#endif
  // Writing each page's first byte back gives the page as surely, a fault a page, and keeps the
  // contents. A page the kernel cannot give is not reported here: the write ends the process
  // as any write to it would have.
  auto* at = static_cast<volatile char*>(block);
  auto* end = at + bytes;
  while (at < end) {
    *at = *at;
    auto next = (reinterpret_cast<std::uintptr_t>(at) | (page - 1)) + 1;
    at = reinterpret_cast<volatile char*>(next);
  }
  return true;
}

}  // namespace orvel
