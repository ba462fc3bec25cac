// Growable bytes that are never zero-filled: a file's contents are read straight into them.
#ifndef ORVEL_BASE_BYTE_BUFFER_H_
#define ORVEL_BASE_BYTE_BUFFER_H_

#include <cstddef>
#include <string_view>

namespace orvel {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_, size_}; }

  // Makes room for at least `capacity` bytes, keeping the contents. False when there is no
  // memory for it; the buffer is then unchanged.
  [[nodiscard]] bool reserve(std::size_t capacity);
  // Sets the size to `size` (at most the capacity); new bytes are whatever was written there.
  void set_size(std::size_t size) { size_ = size; }
  // Empties the buffer; the memory stays for the next file.
  void clear() { size_ = 0; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace orvel

#endif  // ORVEL_BASE_BYTE_BUFFER_H_
