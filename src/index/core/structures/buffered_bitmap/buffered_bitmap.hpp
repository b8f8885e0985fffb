#pragma once
// A bitmap with a small array of pending ids: bulk insertion collects ids here
// and moves them into the bitmap with one add-many call per full buffer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "index/core/structures/bitmap.hpp"

namespace vorlane {

template <size_t N>
class BufferedBitmap {
public:
    static constexpr size_t kCapacity = N;

    void push(uint32_t id) {
        if (len_ == N) flush();
        buffer_[len_++] = id;
    }
    void flush() {
        check(len_ <= N, "BufferedBitmap buffer overrun");
        if (len_ == 0) return;
        bitmap_.add_many(std::span<const uint32_t>(buffer_.data(), len_));
        len_ = 0;
    }

    // Single adds, removes and every read go to the bitmap directly; searches
    // see pending ids only after a flush.
    Bitmap& bitmap() noexcept { return bitmap_; }
    const Bitmap& bitmap() const noexcept { return bitmap_; }
    std::span<const uint32_t> pending() const noexcept { return {buffer_.data(), len_}; }
    size_t pending_count() const noexcept { return len_; }

private:
    std::array<uint32_t, N> buffer_{};
    Bitmap bitmap_;
    size_t len_ = 0;
};

}  // namespace vorlane
