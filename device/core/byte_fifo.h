// The input device's own FIFO: captured bytes waiting for a buffer.
#ifndef QUORVEL_DEVICE_BYTE_FIFO_H
#define QUORVEL_DEVICE_BYTE_FIFO_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quorvel::device::detail {

// Bytes of whole frames waiting for a buffer, oldest first. Storage grows on demand up to
// the capacity, so a large FIFO costs nothing until it is used.
class ByteFifo {
  public:
    explicit ByteFifo(std::size_t capacity) : capacity_(capacity) {}

    std::size_t Size() const { return size_; }
    std::size_t Room() const { return capacity_ - size_; }
    void Clear() { head_ = size_ = 0; }

    // `bytes` must not exceed Room().
    void Push(const std::uint8_t* data, std::size_t bytes) {
        if (bytes == 0) return;
        Reserve(size_ + bytes);
        const std::size_t tail = (head_ + size_) % storage_.size();
        const std::size_t first = std::min(bytes, storage_.size() - tail);
        std::memcpy(storage_.data() + tail, data, first);
        std::memcpy(storage_.data(), data + first, bytes - first);
        size_ += bytes;
    }

    // `bytes` must not exceed Size().
    void Pop(void* out, std::size_t bytes) {
        if (bytes == 0) return;
        Copy(static_cast<std::uint8_t*>(out), bytes);
        head_ = (head_ + bytes) % storage_.size();
        size_ -= bytes;
    }

  private:
    void Copy(std::uint8_t* out, std::size_t bytes) const {
        const std::size_t first = std::min(bytes, storage_.size() - head_);
        std::memcpy(out, storage_.data() + head_, first);
        std::memcpy(out + first, storage_.data(), bytes - first);
    }

    void Reserve(std::size_t bytes) {
        if (bytes <= storage_.size()) return;
        const std::size_t grown =
            std::min(capacity_, std::max({bytes, storage_.size() * 2, std::size_t{4096}}));
        std::vector<std::uint8_t> larger(grown);
        if (size_ > 0) Copy(larger.data(), size_);
        storage_.swap(larger);
        head_ = 0;
    }

    std::size_t capacity_;
    std::vector<std::uint8_t> storage_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quorvel::device::detail

#endif
