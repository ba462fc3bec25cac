// The transactional overwrite of a held file: the new text goes in place, and a failure at any
// step leaves the old bytes, or says plainly that they could not all be put back.
#ifndef ORVEL_IO_OVERWRITE_H_
#define ORVEL_IO_OVERWRITE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "io/file_ops.h"
#include "io/held_file.h"

namespace orvel {

// Asked before a file whose pages are memory grows by `growth_bytes`; false refuses the growth.
using MayGrowMemory = bool (*)(std::uint64_t growth_bytes);

// The new text as its maker renders it: each piece in order to `sink`, the last one marked.
using PieceSink = void (*)(void* sink_context, std::string_view piece, bool last);
struct NewText {
  // Renders the whole text into `sink`. Called once, or twice where the text's length must be
  // known before the first byte goes in; each call gives the same bytes. The last piece stays
  // valid until the next call. May throw std::bad_alloc.
  void (*render)(void* context, PieceSink sink, void* sink_context);
  void* context;
};

// The overwrite of one held file, step by step, knowing at each how much of the old bytes it
// touched and whether it made the file longer, so that a roll-back rewrites only that.
class Overwrite {
 public:
  Overwrite(const FileOps& ops, int fd, std::string_view old_bytes, DeviceFacts facts, MayGrowMemory may_grow);

  // Writes `piece` as the next stretch of the new text. A text handed over whole (its first piece
  // is the last) goes in two writes, the part past the old end first: a full disk or size limit
  // fails that write before any old byte is touched. After a failure, does nothing.
  void put(std::string_view piece, bool last);
  // Notes a failure that came from outside, such as memory running out while rendering.
  void fail(IoError cause);
  // After the last piece: cuts off what is left of a longer old text and, on a file system that
  // reports write errors late, flushes and closes a duplicate of the descriptor to hear them
  // while the descriptor is still held. The first failure of the whole overwrite, if any.
  std::optional<IoError> finish();
  // Puts back what was touched: the file is cut back to its old length and the old bytes that
  // were overwritten are written again. Returns `cause`, marked when the old bytes could not
  // all be put back.
  IoError roll_back(IoError cause);

 private:
  std::optional<IoError> write_at(std::string_view bytes, std::size_t offset);
  std::optional<IoError> grow_to(std::size_t end);

  const FileOps& ops_;
  int fd_;
  std::string_view old_bytes_;
  DeviceFacts facts_;
  MayGrowMemory may_grow_;
  std::size_t written_ = 0;    // the new text's bytes that are in place
  std::size_t touched_ = 0;    // the old bytes from 0 on that a write reached or may have reached
  std::size_t reserved_ = 0;   // the file's blocks asked for up to here (beyond the old end)
  bool lengthened_ = false;    // a write past the old end was made: the length may have changed
  bool reserved_beyond_ = false;  // blocks past the old end were reserved
  std::optional<IoError> failure_;
};

// How a file is overwritten: the calls, the devices' facts and the memory a growth may take.
struct OverwriteOptions {
  const FileOps* ops = &system_file_ops();
  DeviceCache* devices = nullptr;       // where facts are kept for the run; null: looked up now
  MayGrowMemory may_grow_memory = nullptr;  // null: any growth is allowed
};

// Overwrites `file`, which held `old_bytes`, with `text`. Refuses, writing nothing, when the file
// was opened for reading only, when `path` no longer leads to that file or the file changed since
// it was read, on a file system whose overwrites take new blocks when its free space could not
// hold the new text and the roll-back's, and on one whose pages are memory when the growth is
// refused. Any later failure rolls back.
std::optional<IoError> overwrite_file(const std::string& path, HeldFile& file, std::string_view old_bytes,
                                      const NewText& text, const OverwriteOptions& options = {});

}  // namespace orvel

#endif  // ORVEL_IO_OVERWRITE_H_
