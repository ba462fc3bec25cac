// The transactional overwrite of a held file: the new text goes in place, and a failure at any
// step leaves the old bytes, or says plainly that they could not all be put back.
#ifndef ORVEL_IO_OVERWRITE_H_
#define ORVEL_IO_OVERWRITE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/pieces.h"
#include "io/file_ops.h"
#include "io/held_file.h"
#include "io/io_error.h"

namespace orvel {

// Asked before a file whose pages are memory grows by `growth_bytes`; false refuses the growth.
using MayGrowMemory = bool (*)(std::uint64_t growth_bytes);

// The new text as its maker renders it.
struct NewText {
  // Renders the whole text into `sink`. Called once, or twice where the text's length must be
  // known before the first byte goes in; each call gives the same bytes. The last piece stays
  // valid until the next call. May throw std::bad_alloc.
  void (*render)(void* context, PieceSink sink);
  void* context;
};

// How a file is overwritten: the calls, the devices' facts and the memory a growth may take.
struct OverwriteOptions {
  const FileOps& ops;
  DeviceCache& devices;            // where facts are kept for the run
  MayGrowMemory may_grow_memory;   // null: any growth is allowed
};

// Overwrites `file`, which held `old_bytes`, with `text`. Refuses, writing nothing, when the file
// was opened for reading only, when `path` no longer leads to that file or the file changed since
// it was read, on a file system whose overwrites take new blocks when its free space could not
// hold the new text and the roll-back's, and on one whose pages are memory when the growth is
// refused. Any later failure rolls back.
std::optional<IoError> overwrite_file(const std::string& path, HeldFile& file, std::string_view old_bytes,
                                      const NewText& text, const OverwriteOptions& options);

}  // namespace orvel

#endif  // ORVEL_IO_OVERWRITE_H_
