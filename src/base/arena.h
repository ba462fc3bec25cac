// A bump allocator: many small allocations, released all at once.
#ifndef ORVEL_BASE_ARENA_H_
#define ORVEL_BASE_ARENA_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/byte_buffer.h"

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
  // followed by at least kReadPadding readable bytes. Memory for it is a ByteBuffer's: refused,
  // it throws std::bad_alloc.
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
  // memory. A reader hands over the buffer in which it gathered a large container instead of
  // copying the container out of it. When there is no room to note it, the buffer is still the
  // caller's.
  void adopt(ByteBuffer& block);

  // Forgets every allocation; memory stays mapped for the next document, except adopted blocks.
  void reset();

 private:
  // The header at the start of every block: the buffer that is the block itself, so that a
  // block is freed by moving its buffer out first. A multiple of 16 bytes, so every block's data
  // starts 16-byte aligned (malloc's guarantee).
  struct alignas(16) Block {
    Block* next;
    ByteBuffer memory;
  };
  struct Adopted {
    Adopted* next;
    ByteBuffer block;
  };
  void* allocate_slow(std::size_t bytes, std::size_t align);
  void free_adopted();

  Block* blocks_ = nullptr;  // newest first
  Adopted* adopted_ = nullptr;  // notes in the arena's own blocks
  char* cursor_ = nullptr;
  // Allocations end below limit_, which marks how far the newest block has been given its
  // pages and never passes its last kReadPadding bytes.
  char* limit_ = nullptr;
};

}  // namespace orvel

#endif  // ORVEL_BASE_ARENA_H_
