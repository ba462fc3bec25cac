// Whole writes to file descriptors: what every writer of the program needs from write(2).
#ifndef ORVEL_BASE_FD_H_
#define ORVEL_BASE_FD_H_

#include <cstddef>
#include <string_view>

namespace orvel {

// What write_all returns for a write that accepted no byte.
inline constexpr int kNothingWritten = -1;

// Writes all of `bytes` to `fd`, going on after partial writes, retrying interrupted ones and
// waiting while a non-blocking descriptor is full. Returns 0, the error number, or
// kNothingWritten.
int write_all(int fd, std::string_view bytes);

}  // namespace orvel

#endif  // ORVEL_BASE_FD_H_
