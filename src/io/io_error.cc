// The report's text for each way a file could not be read or rewritten.
#include "io/io_error.h"

#include "base/os_error.h"

namespace orvel {

std::string to_string(const IoError& error) {
  std::string text;
  switch (error.kind) {
    case IoErrorKind::System: text = os_error_text(error.error_number); break;
    case IoErrorKind::NothingWritten: text = "failed to write whole buffer"; break;
    case IoErrorKind::OutOfMemory: text = "out of memory"; break;
    case IoErrorKind::NotRegularFile: text = "not a regular file"; break;
    case IoErrorKind::Replaced: text = "the file was replaced while it was being processed"; break;
    case IoErrorKind::Changed: text = "the file was changed while it was being processed"; break;
  }
  if (error.restore_failed) text += "; the old text could not be put back";
  return text;
}

}  // namespace orvel
