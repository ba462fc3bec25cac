// Growable bytes without zero-filling.
#include "base/byte_buffer.h"

namespace orvel {

bool ByteBuffer::reserve(std::size_t capacity) {
  // A mapped buffer grows by remapping its pages: the contents are not copied, and the old and
  // the new buffer are never both held.
  return capacity <= block_.capacity() || block_.resize(capacity);
}

}  // namespace orvel
