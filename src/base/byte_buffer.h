// Growable bytes that are never zero-filled: a file's contents are read straight into them.
#ifndef ORVEL_BASE_BYTE_BUFFER_H_
#define ORVEL_BASE_BYTE_BUFFER_H_

#include <cstddef>
#include <string_view>

#include "base/pages.h"

namespace orvel {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  char* data() { return block_.data(); }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return block_.capacity(); }
  std::string_view view() const { return {block_.data(), size_}; }

  // Makes room for at least `capacity` bytes, keeping the contents. Room is address space
  // only: populate gives it its memory. False when there is no room; the buffer is then
  // unchanged.
  [[nodiscard]] bool reserve(std::size_t capacity);
  // Gives the bytes up to `end` (at most the capacity) their pages in one call, charged to the
  // memory meter, keeping the contents; past them, writes take a page fault each and are not
  // charged. False when the memory is refused.
  [[nodiscard]] bool populate(std::size_t end) { return block_.populate(end); }
  std::size_t populated() const { return block_.populated(); }
  // Sets the size to `size` (at most the capacity); new bytes are whatever was written there.
  void set_size(std::size_t size) { size_ = size; }
  // Empties the buffer; the memory stays for the next file.
  void clear() { size_ = 0; }

 private:
  PageBlock block_;
  std::size_t size_ = 0;
};

}  // namespace orvel

#endif  // ORVEL_BASE_BYTE_BUFFER_H_
