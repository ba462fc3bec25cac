// Large blocks of memory straight from the kernel, with huge pages where they pay.
#ifndef ORVEL_BASE_PAGES_H_
#define ORVEL_BASE_PAGES_H_

#include <cstddef>

namespace orvel {

// `bytes` of uninitialised memory, 16-byte aligned, or nullptr when there is none. Blocks of a
// few megabytes and more are mapped and advised to use huge pages: first touching fresh memory
// is what dominates the cost of a large file, and huge pages make it markedly cheaper.
void* allocate_pages(std::size_t bytes);

// Releases a block from allocate_pages; `bytes` must be the size it was allocated with.
void free_pages(void* block, std::size_t bytes);

// From now on, allocate_pages refuses a mapped block that would take the mapped total above
// `bytes`, as if the kernel had refused it.
void set_memory_budget(std::size_t bytes);

}  // namespace orvel

#endif  // ORVEL_BASE_PAGES_H_
