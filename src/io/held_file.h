// One file from its read to its overwrite: the lease-aware open, the whole read, and the answer
// to "is this still the file that was read?".
#ifndef ORVEL_IO_HELD_FILE_H_
#define ORVEL_IO_HELD_FILE_H_

#include <sys/stat.h>
#include <time.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/byte_buffer.h"
#include "io/file_ops.h"
#include "io/io_error.h"

namespace orvel {

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
  struct timespec opened {};  // the coarse clock, read before `as_read`, as file systems stamp times
};

// Whether a first stretch of a file already shows it cannot be what the caller reads: the rest
// is then not read.
using CannotBeWhole = bool (*)(std::string_view first_stretch);

// Opens `path` and reads the file whole into `bytes`. A file under a lease is waited for until its
// holder lets go, as other programs wait, but the open never blocks on a FIFO or device. If
// `cannot_be_whole` says the first stretch read shows enough, reading stops there. At least
// `padding` bytes of capacity are left after what was read.
std::optional<IoError> read_whole_file(const FileOps& ops, const std::string& path, HeldFile& file, ByteBuffer& bytes,
                                       CannotBeWhole cannot_be_whole, std::size_t padding);

// Whether `file` is still as it was read into `bytes_read`: the same size, modification time and
// change time as at its open and, when it was written within a tick of the file system's clock
// before its open, so that a later write may have left every time as it was, the same bytes.
// With `path`, as before an overwrite, the path must still lead to that very file and
// `bytes_read` must be all of it. Without, as after a failed decode, `bytes_read` may be its
// first stretch, and a write that is half done is waited out first. Changed or Replaced when it
// is not; a system error when that cannot be told.
std::optional<IoError> check_unchanged(const FileOps& ops, const HeldFile& file, std::string_view bytes_read,
                                       const std::string* path);

}  // namespace orvel

#endif  // ORVEL_IO_HELD_FILE_H_
