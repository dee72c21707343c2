#pragma once
// A byte buffer for the per-frame path: it keeps its memory between frames and grows without
// zero-filling, so a frame's bytes are written once, straight into memory that is already
// mapped. (A std::vector or std::string zero-fills on resize, and a fresh multi-megabyte
// allocation per frame costs page faults and clearing in the kernel.)
//
// Not thread-safe; one owner at a time.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace cvl {

class ReusableBuffer {
 public:
  ReusableBuffer() = default;
  ReusableBuffer(ReusableBuffer&&) noexcept = default;
  ReusableBuffer& operator=(ReusableBuffer&&) noexcept = default;

  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::span<const uint8_t> bytes() const { return {data_.get(), size_}; }

  // Forgets the contents; keeps the memory.
  void clear() { size_ = 0; }
  // Room for at least `n` bytes in all; the contents stay.
  void reserve(size_t n) {
    if (n <= capacity_) return;
    size_t grown = capacity_ + capacity_ / 2;
    size_t target = n > grown ? n : grown;
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[target]);  // not value-initialised
    if (size_) std::memcpy(fresh.get(), data_.get(), size_);
    data_ = std::move(fresh);
    capacity_ = target;
  }
  // Makes the buffer `n` bytes long; bytes beyond the old size are undefined until written.
  void resizeUninitialised(size_t n) {
    reserve(n);
    size_ = n;
  }
  // Appends `n` undefined bytes and returns where they start, for the caller to fill.
  uint8_t* extend(size_t n) {
    reserve(size_ + n);
    uint8_t* at = data_.get() + size_;
    size_ += n;
    return at;
  }
  void append(const void* bytes, size_t n) {
    if (n) std::memcpy(extend(n), bytes, n);
  }
  void append(std::span<const uint8_t> bytes) { append(bytes.data(), bytes.size()); }
  void push_back(uint8_t b) { *extend(1) = b; }
  // Shortens the buffer to `n` bytes (n <= size()).
  void truncate(size_t n) { size_ = n < size_ ? n : size_; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace cvl
