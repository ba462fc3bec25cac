// Large allocations: malloc for small blocks, huge-page-advised mappings for large ones.
#include "base/pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace orvel {

namespace {

// Below this, malloc serves well and the kernel would not back the block with huge pages anyway.
constexpr std::size_t kMappedBytes = 4u << 20;
constexpr std::size_t kHugePageBytes = 2u << 20;

bool is_mapped(std::size_t bytes) { return bytes >= kMappedBytes; }

std::size_t g_budget = SIZE_MAX;
std::size_t g_mapped = 0;

std::size_t mapped_length(std::size_t bytes) {
  return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}

}  // namespace

void* allocate_pages(std::size_t bytes) {
  if (!is_mapped(bytes)) return std::malloc(bytes == 0 ? 1 : bytes);
  std::size_t length = mapped_length(bytes);
  if (g_mapped > g_budget || length > g_budget - g_mapped) return nullptr;
  void* block = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  g_mapped += length;
  // Advice only: where huge pages are off, ordinary pages serve and nothing else changes.
  (void)::madvise(block, length, MADV_HUGEPAGE);
  return block;
}

void free_pages(void* block, std::size_t bytes) {
  if (block == nullptr) return;
  if (!is_mapped(bytes)) {
    std::free(block);
    return;
  }
  ::munmap(block, mapped_length(bytes));
  g_mapped -= mapped_length(bytes);
}

void set_memory_budget(std::size_t bytes) { g_budget = bytes; }

}  // namespace orvel
