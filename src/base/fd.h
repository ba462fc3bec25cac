// Whole writes to file descriptors: what every writer of the program needs from write(2).
#ifndef ORVEL_BASE_FD_H_
#define ORVEL_BASE_FD_H_

#include <sys/types.h>

#include <cstddef>
#include <string_view>

namespace orvel {

// What the whole writes return for a write that accepted no byte.
inline constexpr int kNothingWritten = -1;

// A call that writes like pwrite(2) and retries an interrupted write itself.
using WriteAt = ssize_t (*)(int fd, const void* data, std::size_t size, off_t offset);

// Writes all of `bytes` to `fd` from `offset` on through `write_at`, going on after partial
// writes. Returns 0, the error number, or kNothingWritten.
int write_all_at(WriteAt write_at, int fd, std::string_view bytes, off_t offset);

// Writes all of `bytes` to the stream `fd`, going on after partial writes, retrying interrupted
// ones and waiting while a non-blocking descriptor is full. Returns as write_all_at.
int write_all(int fd, std::string_view bytes);

}  // namespace orvel

#endif  // ORVEL_BASE_FD_H_
