// The one growable block of page memory: it grows, is given its pages, and is charged to the
// memory meter for them, only as far as it is used, so a buffer that doubles is not charged for
// the half it never reaches. Its bytes are never zero-filled: a file is read straight into them.
#ifndef ORVEL_BASE_BYTE_BUFFER_H_
#define ORVEL_BASE_BYTE_BUFFER_H_

#include <cstddef>
#include <string_view>

namespace orvel {

// Every operation that takes memory throws std::bad_alloc when the memory meter or the kernel
// refuses it, and leaves the buffer as it was: its contents, and what it has been given, stay.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer& operator=(ByteBuffer&&) = delete;
  ~ByteBuffer() { release(); }

  char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  // Bytes from the start that have their pages and are charged for them; never past capacity().
  std::size_t populated() const { return populated_; }
  std::string_view view() const { return {data_, size_}; }

  // Makes the first `end` bytes memory that may be written, keeping the contents: past the
  // capacity the buffer grows to at least twice its size, and the bytes up to `end`, and a
  // stretch beyond while the buffer reaches that far, are given their pages in one call.
  // Inline: the reader and the writer ask before every few bytes.
  void populate(std::size_t end) {
    if (end > populated_) grow(end);
  }
  // Address space for at least `capacity` bytes, keeping the contents; nothing more is populated
  // or charged. A mapped buffer grows by remapping: the old and the new are never both held.
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) resize(capacity);
  }
  // `capacity` bytes of address space, or all of the huge pages that a mapped buffer of that size
  // spans, keeping the first min(old, new); the pages past a smaller end go back with their charge.
  void resize(std::size_t capacity);
  // Sets the size to `size` (at most the capacity); new bytes are whatever was written there.
  void set_size(std::size_t size) { size_ = size; }
  // Empties the buffer; the memory stays for the next use.
  void clear() { size_ = 0; }
  // Gives the memory back with its charge; the buffer is empty after.
  void release();

 private:
  void grow(std::size_t end);
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t populated_ = 0;
  std::size_t size_ = 0;
};

}  // namespace orvel

#endif  // ORVEL_BASE_BYTE_BUFFER_H_
