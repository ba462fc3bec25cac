// One file from its read to its overwrite: the lease-aware open, the whole read, and the answers
// to "is this still the file that was read?".
#ifndef ORVEL_IO_HELD_FILE_H_
#define ORVEL_IO_HELD_FILE_H_

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/byte_buffer.h"
#include "io/file_ops.h"

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

// The text after "IOError: ": "Permission denied (os error 13)", "out of memory", ..., followed
// by "; the old text could not be put back" when that is so.
std::string to_string(const IoError& error);

// The file as held from its open to its overwrite. The descriptor is read-write whenever the file
// may be written, so the new text can reach no other file than the one that was read.
struct HeldFile {
  HeldFile() = default;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();

  int fd = -1;
  int write_refused = 0;     // when it was opened for reading only: why the open for writing failed
  struct stat as_read {};    // identity, size and times of what was read
  struct timespec opened {};  // the coarse clock just after the open, as file systems stamp times
};

// Whether a first stretch of a file already shows it cannot be what the caller reads: the rest
// is then not read.
using CannotBeWhole = bool (*)(std::string_view first_stretch);

// Opens `path` and reads the file whole into `bytes`. A file under a lease is waited for until its
// holder lets go, as other programs wait, but the open never blocks on a FIFO or device. If
// `cannot_be_whole` says the first stretch read shows enough, reading stops there. At least
// `padding` bytes of capacity are left after what was read.
std::optional<IoError> read_whole_file(const std::string& path, HeldFile& file, ByteBuffer& bytes,
                                       CannotBeWhole cannot_be_whole, std::size_t padding);

// After `bytes_read` failed to decode: whether the file was written to while it was read, so that
// the failure is the change and not the bytes. Takes a second status of the descriptor and, for
// a file written to within the file system's timestamp tick of its open, reads the bytes again.
bool changed_since_open(const FileOps& ops, const HeldFile& file, std::string_view bytes_read);

// Just before writing: whether `path` still leads to the file read as `old_bytes`, unchanged. On a
// file system whose timestamps are too coarse to show an edit made in the second of the read, the
// bytes are compared again.
std::optional<IoError> check_unchanged(const FileOps& ops, const std::string& path, const HeldFile& file,
                                       std::string_view old_bytes);

}  // namespace orvel

#endif  // ORVEL_IO_HELD_FILE_H_
