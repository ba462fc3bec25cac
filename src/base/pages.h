// Large blocks of memory straight from the kernel, in ordinary pages, counted against a budget.
#ifndef ORVEL_BASE_PAGES_H_
#define ORVEL_BASE_PAGES_H_

#include <cstddef>

namespace orvel {

// `bytes` of uninitialised memory, 16-byte aligned, or nullptr when there is none. Blocks of a
// few megabytes and more are mapped (and so can be grown by remapping and given back whole);
// smaller ones come from malloc.
void* allocate_pages(std::size_t bytes);

// The same, with every byte zero. Mapped blocks come zeroed from the kernel, so a large block of
// which only a few pages are ever written costs only those pages.
void* allocate_zeroed_pages(std::size_t bytes);

// Resizes a block from these functions from `old_bytes` to `new_bytes`, keeping the first
// min(old_bytes, new_bytes) bytes, and returns its new address; a mapped block is moved by the
// kernel without copying. nullptr when there is no memory for it; the block is then unchanged.
void* resize_pages(void* block, std::size_t old_bytes, std::size_t new_bytes);

// Releases a block from these functions; `bytes` must be the size it was last given.
void free_pages(void* block, std::size_t bytes);

// Mapped blocks may hold at most `bytes` in all (unlimited until set): an allocation or growth
// beyond it fails like the mapping it would have needed. Blocks below a few megabytes come from
// malloc and are not counted.
void set_memory_budget(std::size_t bytes);

// The same, with the budget worked out by `budget` the first time a block is to be mapped: most
// runs map none, and reading the system's limits costs more than rewriting a small file.
void set_memory_budget_from(std::size_t (*budget)());

// The bytes of all mapped blocks currently held, as the budget counts them.
std::size_t mapped_bytes();

}  // namespace orvel

#endif  // ORVEL_BASE_PAGES_H_
