// Large blocks of memory straight from the kernel, in ordinary pages; ByteBuffer is built on them.
#ifndef ORVEL_BASE_PAGES_H_
#define ORVEL_BASE_PAGES_H_

#include <cstddef>

namespace orvel {

// `bytes` of uninitialised memory, 16-byte aligned, or nullptr when there is none. Blocks of
// 256 KiB and more are mapped, in huge pages where the kernel has them (and so can be grown by
// remapping and given back whole); smaller ones come from malloc. Nothing is charged to the
// memory meter here.
void* allocate_pages(std::size_t bytes);

// The bytes a block from these functions really has when `bytes` are asked for: a mapped block
// is whole huge pages, and a caller that will fill it may as well ask for all of them.
std::size_t usable_bytes(std::size_t bytes);

// The same, with every byte zero. Mapped blocks come zeroed from the kernel, so a large block of
// which only a few pages are ever written costs only those pages.
void* allocate_zeroed_pages(std::size_t bytes);

// Resizes a block from these functions from `old_bytes` to `new_bytes`, keeping the first
// min(old_bytes, new_bytes) bytes, and returns its new address; a mapped block is moved by the
// kernel without copying. nullptr when there is no memory for it; the block is then unchanged.
void* resize_pages(void* block, std::size_t old_bytes, std::size_t new_bytes);

// Releases a block from these functions; `bytes` must be the size it was last given. What was
// charged for its pages is for the caller to release.
void free_pages(void* block, std::size_t bytes);

// Gives the `bytes` at `at`, inside a block of `block_bytes` from these functions, their pages
// now, in one call rather than a fault a page; the contents are unchanged. False when the kernel
// has no pages to give. Nothing is charged to the memory meter here.
[[nodiscard]] bool populate_pages(char* at, std::size_t bytes, std::size_t block_bytes);

}  // namespace orvel

#endif  // ORVEL_BASE_PAGES_H_
