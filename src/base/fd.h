// Whole writes to file descriptors: what every writer of the program needs from write(2).
#ifndef ORVEL_BASE_FD_H_
#define ORVEL_BASE_FD_H_

#include <cstddef>
#include <string_view>

namespace orvel {

// What write_all and write_all_at return for a write that accepted no byte.
inline constexpr int kNothingWritten = -1;

// Writes all of `bytes` to `fd`, going on after partial writes, retrying interrupted ones and
// waiting while a non-blocking descriptor is full. Returns 0, the error number, or
// kNothingWritten.
int write_all(int fd, std::string_view bytes);

// The same at `offset`, leaving the descriptor's own offset alone.
int write_all_at(int fd, std::string_view bytes, std::size_t offset);

}  // namespace orvel

#endif  // ORVEL_BASE_FD_H_
