// The calls that tie orvel to Linux and the GNU C library, gathered so that a port knows where to
// look. A port to another Unix replaces what this file's functions do; beyond it, only the
// memory budget (which reads /proc and the control group files, and may simply bound nothing
// elsewhere) and the list of signals held over a rewrite (SIGPWR, SIGSTKFLT and the real-time
// signals are Linux's) need a look.
#ifndef ORVEL_BASE_PLATFORM_H_
#define ORVEL_BASE_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvel {

// Reserves disk blocks for the bytes from `from` to `to` of `fd` without changing its size or
// contents, so a full disk shows before they are written. Returns 0 or the error number; 0 too
// where the file system cannot reserve (the write itself finds out then).
int reserve_file_space(int fd, std::size_t from, std::size_t to);

// The C library's description of `error_number`: "Permission denied".
std::string error_description(int error_number);

// 64 random bits that stay the same for the whole process, at no cost beyond the first call
// (the kernel hands every process random bytes at start-up). A fixed value where there are none.
std::uint64_t process_random_bits();

// Whether the file open as `fd`, on the file system of `device` (its st_dev), keeps its bytes
// in memory only (tmpfs, ramfs): its pages are shared memory, charged to the control group that
// wrote them, and its growth takes memory. The answer for the last device asked is kept, so a
// run over many files of one file system asks the kernel once. False when it cannot be told.
bool file_is_in_memory(int fd, std::uint64_t device);

// Advises the kernel to back the mapping of `length` bytes at `block` with ordinary pages, even
// where it would give huge ones unasked. Advice only: where it is refused, nothing else changes.
void avoid_huge_pages(void* block, std::size_t length);

// Gives the `bytes` at `block` their memory now, as writing to each page would, but in one call
// instead of a fault per page; the contents are unchanged. False when the kernel says the memory
// cannot be had: the pages are then only partly given, and writing to the rest may fail as it
// would have. Kernels before 5.14 cannot populate in one call: there each page is written with
// its own byte, and a page that cannot be had ends the process there instead of returning
// false, so on them only the memory meter stands between a write and the out-of-memory killer.
bool populate_for_writing(void* block, std::size_t bytes);

}  // namespace orvel

#endif  // ORVEL_BASE_PLATFORM_H_
