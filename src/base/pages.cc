// Large allocations: malloc for small blocks, mappings of ordinary pages for large ones.
#include "base/pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/memory_budget.h"
#include "base/platform.h"

namespace orvel {

namespace {

// From this size on, a block is a mapping of its own, in huge pages where the kernel has them.
// Under a hypervisor that shadows the guest's page tables, every small page costs a trap into
// the host when the kernel first writes it and again when the program first touches it; on
// such a 2-core VM (Linux 6.18, PVM), huge pages took a 100 MB document from 0.760 s to 0.406 s
// median over 9 interleaved rounds, and citm_catalog (1.7 MB), whose buffers are below 4 MiB,
// from 19.3 ms to 10.5 ms once the threshold came down from 4 MiB to this.
constexpr std::size_t kMappedBytes = 256u << 10;
constexpr std::size_t kHugePageBytes = 2u << 20;

bool is_mapped(std::size_t bytes) { return bytes >= kMappedBytes; }

// Whole huge pages; a size too large to be rounded up is one that mmap refuses as it stands.
std::size_t mapped_length(std::size_t bytes) {
  return bytes > SIZE_MAX - kHugePageBytes ? SIZE_MAX : (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}

void* map_block(std::size_t length) {
  // Under an address-space limit a block is refused while there is still room for the stack
  // and the heap's small blocks, which could only fail where a failure ends the run.
  if (length > address_space_room()) return nullptr;
  void* block = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  // On a VM whose host backs the guest's memory without shadowing it, huge pages saved no user
  // time and raised the system time (0.239 s to 0.393 s median on the same document), from
  // fresh huge pages the host had not backed yet; where small pages trap, they pay many times
  // over. Advice only: without huge pages, the block is the same.
  prefer_huge_pages(block, length);
  return block;
}

// A block that changes between malloc and a mapping is copied; at most a few megabytes are.
void* move_block(void* block, std::size_t old_bytes, std::size_t new_bytes) {
  void* moved = allocate_pages(new_bytes);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, block, old_bytes < new_bytes ? old_bytes : new_bytes);
  free_pages(block, old_bytes);
  return moved;
}

}  // namespace

void* allocate_pages(std::size_t bytes) {
  if (!is_mapped(bytes)) return std::malloc(bytes == 0 ? 1 : bytes);
  return map_block(mapped_length(bytes));
}

std::size_t usable_bytes(std::size_t bytes) { return is_mapped(bytes) ? mapped_length(bytes) : bytes; }

void* allocate_zeroed_pages(std::size_t bytes) {
  if (!is_mapped(bytes)) return std::calloc(bytes == 0 ? 1 : bytes, 1);
  return map_block(mapped_length(bytes));
}

void* resize_pages(void* block, std::size_t old_bytes, std::size_t new_bytes) {
  if (block == nullptr) return allocate_pages(new_bytes);
  if (!is_mapped(old_bytes) && !is_mapped(new_bytes)) {
    return std::realloc(block, new_bytes == 0 ? 1 : new_bytes);
  }
  if (!is_mapped(old_bytes) || !is_mapped(new_bytes)) return move_block(block, old_bytes, new_bytes);
  std::size_t old_length = mapped_length(old_bytes);
  std::size_t new_length = mapped_length(new_bytes);
  if (new_length == old_length) return block;
  if (new_length > old_length && new_length - old_length > address_space_room()) return nullptr;
  void* moved = ::mremap(block, old_length, new_length, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return nullptr;
  // The advice covers the pages that were moved, not those added at the end.
  if (new_length > old_length) prefer_huge_pages(moved, new_length);
  return moved;
}

void free_pages(void* block, std::size_t bytes) {
  if (block == nullptr) return;
  if (!is_mapped(bytes)) {
    std::free(block);
    return;
  }
  ::munmap(block, mapped_length(bytes));
}

bool populate_pages(char* at, std::size_t bytes, std::size_t block_bytes) {
  // A small block from malloc is left to its faults: its pages are often the heap's already,
  // and a call for a few pages would cost more than their faults (on 10,000 small files it was
  // a call a file).
  return !is_mapped(block_bytes) || populate_for_writing(at, bytes);
}

}  // namespace orvel
