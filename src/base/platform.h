// The calls that tie orvel to Linux and the GNU C library, gathered so that a port knows where to
// look. A port to another Unix replaces what this file's functions do; beyond it, the
// memory budget (which reads /proc and the control group files, and may simply bound nothing
// elsewhere), the page allocator (pages.cc grows a mapping in place with mremap, which is
// Linux's; elsewhere a mapping that grows is copied) and the list of signals held over a
// rewrite (SIGPWR, SIGSTKFLT and the real-time signals are Linux's) need a look, and so do the
// file calls of io: the lease wait's O_PATH and /proc/self/fd, the coarse clock and SEEK_DATA
// (held_file.cc), the statfs type numbers (file_ops.cc) and fallocate (overwrite.cc).
#ifndef ORVEL_BASE_PLATFORM_H_
#define ORVEL_BASE_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvel {

// The C library's description of `error_number`: "Permission denied".
std::string error_description(int error_number);

// 64 random bits that stay the same for the whole process, at no cost beyond the first call
// (the kernel hands every process random bytes at start-up). A fixed value where there are none.
std::uint64_t process_random_bits();

// Advises the kernel to back the mapping of `length` bytes at `block` with huge pages where it
// has them. Advice only: where it is refused, nothing else changes.
void prefer_huge_pages(void* block, std::size_t length);

// Gives the `bytes` at `block` their memory now, as writing to each page would, but in one call
// instead of a fault per page; the contents are unchanged. False when the kernel says the memory
// cannot be had: the pages are then only partly given, and writing to the rest may fail as it
// would have. Kernels before 5.14 cannot populate in one call: there each page is written with
// its own byte, and a page that cannot be had ends the process there instead of returning
// false, so on them only the memory meter stands between a write and the out-of-memory killer.
bool populate_for_writing(void* block, std::size_t bytes);

}  // namespace orvel

#endif  // ORVEL_BASE_PLATFORM_H_
