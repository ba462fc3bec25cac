// Growable bytes without zero-filling.
#include "base/byte_buffer.h"

#include <cstring>

#include "base/pages.h"

namespace orvel {

ByteBuffer::~ByteBuffer() { free_pages(data_, capacity_); }

bool ByteBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return true;
  auto* block = static_cast<char*>(allocate_pages(capacity));
  if (block == nullptr) return false;
  if (size_ > 0) std::memcpy(block, data_, size_);
  free_pages(data_, capacity_);
  data_ = block;
  capacity_ = capacity;
  return true;
}

}  // namespace orvel
