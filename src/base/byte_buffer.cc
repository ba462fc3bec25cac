// Growable bytes without zero-filling.
#include "base/byte_buffer.h"

#include "base/pages.h"

namespace orvel {

ByteBuffer::~ByteBuffer() { free_pages(data_, capacity_); }

bool ByteBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return true;
  // A mapped buffer grows by remapping its pages: the contents are not copied, and the old and
  // the new buffer are never both held.
  auto* block = static_cast<char*>(resize_pages(data_, capacity_, capacity));
  if (block == nullptr) return false;
  data_ = block;
  capacity_ = capacity;
  return true;
}

}  // namespace orvel
