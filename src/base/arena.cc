// The arena's blocks and their reuse from one document to the next.
#include "base/arena.h"

#include <cstring>
#include <new>

#include "base/pages.h"

namespace orvel {

namespace {

constexpr std::size_t kFirstBlockBytes = 64 * 1024;  // a small file never needs more than one

}  // namespace

std::size_t Arena::block_bytes(std::size_t usable) { return sizeof(Block) + usable + kReadPadding; }

Arena::~Arena() {
  free_adopted();
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    free_pages(blocks_, block_bytes(blocks_->size));
    blocks_ = next;
  }
}

void* Arena::allocate_slow(std::size_t bytes, std::size_t align) {
  std::size_t previous = blocks_ != nullptr ? blocks_->size : kFirstBlockBytes / 2;
  std::size_t size = previous * 2;
  if (size < bytes + align) size = bytes + align;
  // The header is 16 bytes, so every block's data starts 16-byte aligned (malloc's guarantee).
  static_assert(sizeof(Block) == 16);
  auto* block = static_cast<Block*>(allocate_pages(block_bytes(size)));
  if (block == nullptr) throw std::bad_alloc();
  block->next = blocks_;
  block->size = size;
  blocks_ = block;
  cursor_ = reinterpret_cast<char*>(block + 1);
  limit_ = cursor_ + size;
  return allocate(bytes, align);
}

std::string_view Arena::copy(std::string_view text) {
  if (text.empty()) return {};
  char* p = static_cast<char*>(allocate(text.size(), 1));
  std::memcpy(p, text.data(), text.size());
  return {p, text.size()};
}

void Arena::adopt(void* block, std::size_t bytes) {
  auto* note = static_cast<Adopted*>(allocate(sizeof(Adopted), alignof(Adopted)));
  *note = Adopted{adopted_, block, bytes};
  adopted_ = note;
}

void Arena::free_adopted() {
  // The notes live in blocks that are freed or reused after this, so they are read first.
  for (Adopted* note = adopted_; note != nullptr; note = note->next) {
    free_pages(note->block, note->bytes);
  }
  adopted_ = nullptr;
}

void Arena::reset() {
  free_adopted();
  if (blocks_ == nullptr) return;
  // Keep only the newest block: it is the largest, since sizes double.
  Block* keep = blocks_;
  Block* other = keep->next;
  while (other != nullptr) {
    Block* next = other->next;
    free_pages(other, block_bytes(other->size));
    other = next;
  }
  keep->next = nullptr;
  blocks_ = keep;
  cursor_ = reinterpret_cast<char*>(keep + 1);
  limit_ = cursor_ + keep->size;
}

}  // namespace orvel
