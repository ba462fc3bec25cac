// The in-place rewrite of one file: read whole through one descriptor, and overwritten through
// that same descriptor once its path is found to lead to it still, unchanged.
#ifndef ORVEL_MAIN_REWRITE_H_
#define ORVEL_MAIN_REWRITE_H_

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/byte_buffer.h"
#include "json/json_value.h"

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
  int error_number = 0;  // for System
};

// The text after "IOError: ": "Permission denied (os error 13)", "out of memory", ...
std::string to_string(const IoError& error);

// One file from its read to its rewrite. The descriptor is read-write whenever the file may be
// written, so the new text can reach no other file than the one that was read.
struct HeldFile {
  HeldFile() = default;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();

  int fd = -1;
  int write_refused = 0;  // when it was opened for reading only: why the open for writing failed
  struct stat as_read {};  // identity, size and modification time of what was read
};

// Opens `path` and reads the file whole into `bytes`. If the first stretch read already shows
// that the file cannot be JSON, it stops there: decoding what is in `bytes` then gives the very
// error the whole file would. At least kReadPadding bytes of
// capacity are left after what was read, so that the document's text can be written from it.
std::optional<IoError> read_whole_file(const std::string& path, HeldFile& file, ByteBuffer& bytes);

// Overwrites `file`, which held `old_bytes`, with the canonical text of `document` and one line
// feed, rendered in pieces through `text`. Refuses, writing nothing, when `path` no longer leads
// to that file or the file changed since it was read. A write that fails part-way puts
// `old_bytes` back. Fatal signals wait until the file is old or new again.
std::optional<IoError> rewrite_file(const std::string& path, HeldFile& file, std::string_view old_bytes,
                                    const JsonValue& document, ByteBuffer& text);

}  // namespace orvel

#endif  // ORVEL_MAIN_REWRITE_H_
