// Why a file could not be read or rewritten, and the text the report gives for it.
#ifndef ORVEL_IO_IO_ERROR_H_
#define ORVEL_IO_IO_ERROR_H_

#include <cstdint>
#include <string>

namespace orvel {

enum class IoErrorKind : std::uint8_t {
  System,           // an operating-system error number
  NothingWritten,   // a write that accepted no byte
  OutOfMemory,
  NotRegularFile,
  Replaced,         // the path leads to another file than the one read
  Changed,          // the file read was written to since
};

struct IoError {
  IoErrorKind kind;
  int error_number = 0;         // for System
  bool restore_failed = false;  // an overwrite failed and the old bytes could not all be put back
};

// An operating-system error number as an IoError.
inline IoError system_error(int error_number) { return IoError{IoErrorKind::System, error_number}; }

// The text after "IOError: ": "Permission denied (os error 13)", "out of memory", ..., followed
// by "; the old text could not be put back" when that is so.
std::string to_string(const IoError& error);

}  // namespace orvel

#endif  // ORVEL_IO_IO_ERROR_H_
