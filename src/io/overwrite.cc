// Overwriting a file in place so that it ends with its old bytes or the whole new text.
#include "io/overwrite.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "base/fd.h"

namespace orvel {

namespace {

// Free space kept beyond the bytes a copy-on-write overwrite and its roll-back take: the file
// system's own records of the new blocks (extent items, checksums) need room too. A fixed part
// for small files and a sixteenth of what is written for large ones.
constexpr std::uint64_t kCopyOnWriteMarginBytes = 1u << 20;
constexpr std::uint64_t kCopyOnWriteMarginShare = 16;

// The length and, when it came in one piece, the text itself.
struct Measure {
  std::size_t bytes = 0;
  bool whole = false;
  std::string_view text;

  static void take(void* context, std::string_view piece, bool last) {
    auto& measure = *static_cast<Measure*>(context);
    if (measure.bytes == 0 && last) {
      measure.whole = true;
      measure.text = piece;
    }
    measure.bytes += piece.size();
  }
};

// On a copy-on-write file system an overwrite takes new blocks for every byte it writes, and
// putting old bytes back takes new blocks again. Both must fit, or nothing is written.
std::optional<IoError> check_free_space(const FileOps& ops, int fd, std::size_t new_bytes, std::size_t old_bytes) {
  struct statfs status {};
  if (ops.fstatfs(fd, &status) != 0) return system_error(errno);
  std::uint64_t needed = std::uint64_t{new_bytes} + std::min(new_bytes, old_bytes);
  needed += kCopyOnWriteMarginBytes + needed / kCopyOnWriteMarginShare;
  auto block = static_cast<std::uint64_t>(status.f_bsize);
  auto available = static_cast<std::uint64_t>(status.f_bavail);
  if (block != 0 && available < (needed + block - 1) / block) return system_error(ENOSPC);
  return std::nullopt;
}

// The overwrite of one held file, step by step, knowing at each how much of the old bytes it
// touched and whether it went past their end, so that a roll-back rewrites only that.
class Overwrite {
 public:
  Overwrite(const FileOps& ops, int fd, std::string_view old_bytes, DeviceFacts facts, MayGrowMemory may_grow)
      : ops_(ops), fd_(fd), old_bytes_(old_bytes), facts_(facts), may_grow_(may_grow), reserved_(old_bytes.size()) {}

  static void take(void* context, std::string_view piece, bool last) {
    static_cast<Overwrite*>(context)->put(piece, last);
  }

  // Writes `piece` as the next stretch of the new text. A text handed over whole (its first piece
  // is the last) goes in two writes, the part past the old end first: a full disk or size limit
  // fails that write before any old byte is touched. After a failure, does nothing.
  void put(std::string_view piece, bool last) {
    if (failure_) return;  // the text after a failure has nowhere to go
    std::size_t old_size = old_bytes_.size();
    std::size_t end = written_ + piece.size();
    if (written_ == 0 && last) {
      if (end > old_size) {
        if ((failure_ = grow_to(end))) return;
        reserved_ = end;
        lengthened_ = true;
        if ((failure_ = write_at(piece.substr(old_size), old_size))) return;
        piece = piece.substr(0, old_size);
      }
      touched_ = piece.size();
      if ((failure_ = write_at(piece, 0))) return;
      written_ = end;
      return;
    }
    // In pieces, front to back. Only the part beyond the old end needs new blocks: they are
    // reserved first, so that a full disk shows before the piece's old bytes are overwritten.
    if (end > reserved_) {
      if ((failure_ = grow_to(end))) return;
      auto from = static_cast<off_t>(reserved_);
      reserved_ = end;  // asked for, so a failure that reserved a part still has it cut off
      // Where the file system cannot reserve, the write itself finds out.
      if (ops_.fallocate(fd_, FALLOC_FL_KEEP_SIZE, from, static_cast<off_t>(end) - from) != 0 &&
          errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
        failure_ = system_error(errno);
        return;
      }
    }
    if (end > old_size) lengthened_ = true;
    touched_ = std::max(touched_, std::min(end, old_size));
    if ((failure_ = write_at(piece, written_))) return;
    written_ = end;
  }

  // Notes a failure that came from outside, such as memory running out while rendering.
  void fail(IoError cause) {
    if (!failure_) failure_ = cause;
  }

  // After the last piece: cuts off what is left of a longer old text and, on a file system that
  // reports write errors late, flushes and closes a duplicate of the descriptor to hear them
  // while the descriptor is still held. The first failure of the whole overwrite, if any.
  std::optional<IoError> finish() {
    if (failure_) return failure_;
    if (written_ < old_bytes_.size()) {
      // A failed cut may still have shortened the file: every old byte is then touched.
      touched_ = old_bytes_.size();
      if (ops_.ftruncate(fd_, static_cast<off_t>(written_)) != 0) return system_error(errno);
    }
    if (facts_.reports_late) {
      if (ops_.fsync(fd_) != 0) return system_error(errno);
      // A network or FUSE file system may send the writes when a descriptor is closed and fail
      // only then: a duplicate is closed, so the error is heard while this one can still repair.
      int duplicate = ops_.dup(fd_);
      if (duplicate < 0) return system_error(errno);
      if (ops_.close(duplicate) != 0) return system_error(errno);
    }
    return std::nullopt;
  }

  // Puts back what was touched: the file is cut back to its old length and the old bytes that
  // were overwritten are written again. Returns `cause`, marked when the old bytes could not
  // all be put back.
  IoError roll_back(IoError cause) {
    bool restored = true;
    std::size_t old_size = old_bytes_.size();
    // The appended tail goes first: on a copy-on-write file system freeing it makes room for the
    // old bytes. A shortened file gets its length back from the old bytes written again.
    if (reserved_ > old_size) {
      // Blocks reserved past the end change no byte of the file: only a longer file is damaged.
      if (ops_.ftruncate(fd_, static_cast<off_t>(old_size)) != 0 && lengthened_) restored = false;
    }
    if (touched_ > 0 && write_at(old_bytes_.substr(0, touched_), 0)) restored = false;
    // Where errors show late, the repair is only known to hold once flushed.
    if (facts_.reports_late && (lengthened_ || touched_ > 0) && ops_.fsync(fd_) != 0) restored = false;
    cause.restore_failed = !restored;
    return cause;
  }

 private:
  std::optional<IoError> write_at(std::string_view bytes, std::size_t offset) {
    int error = write_all_at(ops_.pwrite, fd_, bytes, static_cast<off_t>(offset));
    if (error == 0) return std::nullopt;
    return error == kNothingWritten ? IoError{IoErrorKind::NothingWritten} : system_error(error);
  }

  // Before the file grows to `end`: where its pages are memory, the growth is asked for first.
  std::optional<IoError> grow_to(std::size_t end) {
    if (end > reserved_ && facts_.pages_are_memory && may_grow_ != nullptr && !may_grow_(end - reserved_)) {
      return IoError{IoErrorKind::OutOfMemory};
    }
    return std::nullopt;
  }

  const FileOps& ops_;
  int fd_;
  std::string_view old_bytes_;
  DeviceFacts facts_;
  MayGrowMemory may_grow_;
  std::size_t written_ = 0;    // the new text's bytes that are in place
  std::size_t touched_ = 0;    // the old bytes from 0 on that a write reached or may have reached
  // The file's blocks asked for up to here. Past the old end once a write or a reservation went
  // there: a roll-back then cuts the file back.
  std::size_t reserved_ = 0;
  bool lengthened_ = false;    // a write past the old end was made: the length may have changed
  std::optional<IoError> failure_;
};

}  // namespace

std::optional<IoError> overwrite_file(const std::string& path, HeldFile& file, std::string_view old_bytes,
                                      const NewText& text, const OverwriteOptions& options) {
  const FileOps& ops = options.ops;
  if (file.write_refused != 0) return system_error(file.write_refused);
  if (std::optional<IoError> changed = check_unchanged(ops, file, old_bytes, &path)) return changed;
  DeviceFacts facts = options.devices.facts(ops, file.fd, file.as_read.st_dev);

  // Where the free space or the memory a growth takes must be known before the first byte, the
  // text is measured first; a text that comes in one piece is kept from that pass.
  MayGrowMemory may_grow = options.may_grow_memory;
  bool asks_memory = facts.pages_are_memory && may_grow != nullptr;
  Measure measure;
  if (facts.overwrites_allocate || asks_memory) {
    try {
      text.render(text.context, PieceSink{&Measure::take, &measure});
    } catch (const std::bad_alloc&) {
      return IoError{IoErrorKind::OutOfMemory};  // nothing written yet
    }
    if (facts.overwrites_allocate) {
      if (std::optional<IoError> full = check_free_space(ops, file.fd, measure.bytes, old_bytes.size())) return full;
    }
    if (asks_memory && measure.bytes > old_bytes.size()) {
      if (!may_grow(measure.bytes - old_bytes.size())) return IoError{IoErrorKind::OutOfMemory};
      may_grow = nullptr;  // granted whole: the pieces need not ask again
    }
  }

  Overwrite overwrite(ops, file.fd, old_bytes, facts, may_grow);
  try {
    if (measure.whole) {
      overwrite.put(measure.text, true);
    } else {
      text.render(text.context, PieceSink{&Overwrite::take, &overwrite});
    }
  } catch (const std::bad_alloc&) {
    // Not expected once the caller's buffers are held; should it happen, it fails this file
    // like a write.
    overwrite.fail(IoError{IoErrorKind::OutOfMemory});
  }
  if (std::optional<IoError> failure = overwrite.finish()) return overwrite.roll_back(*failure);
  return std::nullopt;
}

}  // namespace orvel
