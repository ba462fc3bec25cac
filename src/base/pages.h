// Large blocks of memory straight from the kernel, in ordinary pages, charged to the memory meter
// as they are given their pages.
#ifndef ORVEL_BASE_PAGES_H_
#define ORVEL_BASE_PAGES_H_

#include <cstddef>

namespace orvel {

// `bytes` of uninitialised memory, 16-byte aligned, or nullptr when there is none. Blocks of a
// few megabytes and more are mapped (and so can be grown by remapping and given back whole);
// smaller ones come from malloc. Nothing is charged to the memory meter here: see
// populate_pages.
void* allocate_pages(std::size_t bytes);

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

// Gives the `bytes` at `at` their pages now, charged to the memory meter first: memory is
// counted where it is given, not where address space is mapped for it. False, with nothing
// charged, when the meter refuses or the kernel has no pages to give.
[[nodiscard]] bool populate_pages(void* at, std::size_t bytes);

// A block of page memory that is given its pages, and charged for them, only as far as it is
// used: a block that doubles is not charged for the half it never reaches. Gives its pages and
// its charge back when it goes.
class PageBlock {
 public:
  PageBlock() = default;
  PageBlock(PageBlock&& other) noexcept;
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;
  PageBlock& operator=(PageBlock&&) = delete;
  ~PageBlock() { free(); }

  char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  // Bytes from the start that have their pages (and are charged).
  std::size_t populated() const { return populated_; }

  // Resizes the block to `capacity` bytes, keeping the first min(old, new) bytes; pages past a
  // smaller end are given back with their charge. Nothing is populated or charged here. False
  // when there is no memory for it; the block is then unchanged.
  [[nodiscard]] bool resize(std::size_t capacity);

  // Gives the bytes up to `end` (at most the capacity) their pages, and up to a stretch more
  // beyond, so that a block filled a little at a time takes one call a stretch rather than a
  // fault a page. The contents are unchanged. False when the memory is refused; the bytes past
  // populated() must then not be written.
  [[nodiscard]] bool populate(std::size_t end) { return end <= populated_ || populate_slow(end); }

  // Gives everything back; the block is empty after.
  void free();

 private:
  bool populate_slow(std::size_t end);
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t populated_ = 0;
};

}  // namespace orvel

#endif  // ORVEL_BASE_PAGES_H_
