// The arena's blocks and their reuse from one document to the next.
#include "base/arena.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace orvel {

namespace {

constexpr std::size_t kFirstBlockBytes = 64 * 1024;  // a small file never needs more than one

// Frees a block: its buffer is moved out of the header first, since the header is inside what
// the buffer frees.
void free_block(ByteBuffer& memory) { ByteBuffer(std::move(memory)).release(); }

}  // namespace

Arena::~Arena() {
  free_adopted();
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    free_block(blocks_->memory);
    blocks_ = next;
  }
}

void* Arena::allocate_slow(std::size_t bytes, std::size_t align) {
  if (blocks_ != nullptr) {
    ByteBuffer& memory = blocks_->memory;
    auto at = (reinterpret_cast<std::uintptr_t>(cursor_) + (align - 1)) & ~(align - 1);
    auto offset = static_cast<std::size_t>(at - reinterpret_cast<std::uintptr_t>(memory.data()));
    std::size_t usable_end = memory.capacity() - kReadPadding;
    if (offset <= usable_end && bytes <= usable_end - offset) {
      memory.populate(offset + bytes);
      limit_ = memory.data() + std::min(memory.populated(), usable_end);
      return allocate(bytes, align);
    }
  }
  std::size_t previous = blocks_ != nullptr ? blocks_->memory.capacity() : kFirstBlockBytes / 2;
  std::size_t size = std::max(previous * 2, sizeof(Block) + bytes + align + kReadPadding);
  ByteBuffer memory;
  memory.resize(size);
  memory.populate(sizeof(Block));
  auto* block = new (memory.data()) Block{blocks_, std::move(memory)};
  blocks_ = block;
  cursor_ = limit_ = reinterpret_cast<char*>(block + 1);
  return allocate(bytes, align);
}

std::string_view Arena::copy(std::string_view text) {
  if (text.empty()) return {};
  char* p = static_cast<char*>(allocate(text.size(), 1));
  std::memcpy(p, text.data(), text.size());
  return {p, text.size()};
}

void Arena::adopt(ByteBuffer& block) {
  void* room = allocate(sizeof(Adopted), alignof(Adopted));
  adopted_ = new (room) Adopted{adopted_, std::move(block)};
}

void Arena::free_adopted() {
  // The notes live in blocks that are freed or reused after this, so they are read first.
  for (Adopted* note = adopted_; note != nullptr; note = note->next) note->block.release();
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
    free_block(other->memory);
    other = next;
  }
  keep->next = nullptr;
  // The pages given so far stay, and limit_ with them.
  cursor_ = reinterpret_cast<char*>(keep + 1);
}

}  // namespace orvel
