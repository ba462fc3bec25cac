// A bump allocator: many small allocations, released all at once.
#ifndef ORVEL_BASE_ARENA_H_
#define ORVEL_BASE_ARENA_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/pages.h"

namespace orvel {

// Readable bytes that follow every allocation of an arena and the bytes of a file as read, so
// that a scanner may load a whole 16- or 32-byte block from anywhere inside them without asking
// where the memory or its page ends. What they hold is unspecified.
constexpr std::size_t kReadPadding = 32;

// Bump allocator for one document at a time. `reset` keeps the largest block, so a run over many
// files reuses memory that is already mapped instead of touching fresh pages for every file.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  // Uninitialised room for `bytes` bytes aligned to `align` (a power of two, at most 16),
  // followed by at least kReadPadding readable bytes.
  // Inline: the reader allocates once per container and per decoded string, and a call costs.
  void* allocate(std::size_t bytes, std::size_t align) {
    auto at = (reinterpret_cast<std::uintptr_t>(cursor_) + (align - 1)) & ~(align - 1);
    if (cursor_ != nullptr && at + bytes <= reinterpret_cast<std::uintptr_t>(limit_)) {
      cursor_ = reinterpret_cast<char*>(at + bytes);
      return reinterpret_cast<char*>(at);
    }
    return allocate_slow(bytes, align);
  }

  template <class T>
  T* allocate_array(std::size_t count) {
    return static_cast<T*>(allocate(count * sizeof(T), alignof(T)));
  }

  // Copies `text` into the arena and returns the view of the copy.
  std::string_view copy(std::string_view text);

  // Takes over `block`, with its pages and their charge, and frees it with the arena's own
  // memory. A reader hands over the block in which it gathered a large container instead of
  // copying the container out of it. Throws std::bad_alloc, with the block still the caller's,
  // when there is no room to note it.
  void adopt(PageBlock& block);

  // Forgets every allocation; memory stays mapped for the next document, except adopted blocks.
  void reset();

 private:
  struct Block {
    Block* next;
    std::size_t size;       // usable bytes after the header; kReadPadding more follow them
    std::size_t populated;  // bytes after the header given their pages, and charged for them
    std::size_t unused;     // keeps the data that follows 16-byte aligned
  };
  struct Adopted {
    Adopted* next;
    PageBlock block;
  };
  // Gives `block` back with the charge for its pages.
  static void free_block(Block* block);
  // What a block with `usable` bytes takes from allocate_pages: the header and the padding too.
  static std::size_t block_bytes(std::size_t usable);
  void* allocate_slow(std::size_t bytes, std::size_t align);
  void free_adopted();

  // Moves limit_ on through the newest block so that room for `bytes` at `at` lies below it,
  // giving the memory its pages a stretch at a time; false when the block has no such room.
  bool extend_limit(std::uintptr_t at, std::size_t bytes);

  Block* blocks_ = nullptr;  // newest first
  Adopted* adopted_ = nullptr;  // notes in the arena's own blocks
  char* cursor_ = nullptr;
  // Allocations end below limit_, which marks how far the newest block has been given its
  // pages and never passes block_end_.
  char* limit_ = nullptr;
  char* block_end_ = nullptr;
};

}  // namespace orvel

#endif  // ORVEL_BASE_ARENA_H_
