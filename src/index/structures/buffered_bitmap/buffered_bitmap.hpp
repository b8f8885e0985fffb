#pragma once
// A bitmap with a small array of pending ids: bulk insertion collects ids here
// and moves them into the bitmap with one add-many call per full buffer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "index/structures/bitmap.hpp"
#include "index/structures/heap_bytes.hpp"

namespace vorlane {

template <size_t N>
class BufferedBitmap {
public:
    static constexpr size_t kCapacity = N;

    void push(uint32_t id) {
        if (len_ == N) flush();
        if (!buffer_) buffer_ = std::make_unique<uint32_t[]>(N);
        buffer_[len_++] = id;
    }
    void flush() {
        check(len_ <= N, "BufferedBitmap buffer overrun");
        if (len_ == 0) return;
        bitmap_.add_sorted(std::span<const uint32_t>(buffer_.get(), len_));
        len_ = 0;
    }

    // Single adds, removes and every read go to the bitmap directly; searches
    // see pending ids only after a flush.
    Bitmap& bitmap() noexcept { return bitmap_; }
    const Bitmap& bitmap() const noexcept { return bitmap_; }
    std::span<const uint32_t> pending() const noexcept { return {buffer_.get(), len_}; }
    size_t pending_count() const noexcept { return len_; }
    // The bitmap and, once a bulk add has used it, the buffer (see heap_bytes.hpp).
    size_t memory_bytes() const noexcept {
        return bitmap_.memory_bytes() + (buffer_ ? heap_chunk(N * sizeof(uint32_t)) : 0);
    }

private:
    // Allocated by the first push: most of these bitmaps (hundreds per value map)
    // are never written in bulk, and an empty one should cost next to nothing.
    std::unique_ptr<uint32_t[]> buffer_;
    Bitmap bitmap_;
    size_t len_ = 0;
};

}  // namespace vorlane
