#pragma once
// The string index of one value map: per byte position and byte value the ids
// whose string has that byte there, plus per position the ids whose string
// starts or ends there. All strings share one coordinate system centred on the
// middle position, so equality, prefix, suffix and substring searches become
// intersections of per-position bitmaps.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/buffered_bitmap/buffered_bitmap.hpp"

namespace vorlane {

class PositionalBitmap {
public:
    static constexpr size_t kBufferCapacity = 32;
    static constexpr size_t kEdgeSlot = 256;
    using Slot = BufferedBitmap<kBufferCapacity>;
    // Slots 0..255 by byte value; slot 256 marks strings starting or ending here.
    using Position = std::array<Slot, 257>;

    // Number of positions L; always even.
    size_t len() const noexcept { return levels_.size(); }
    size_t middle() const noexcept { return levels_.size() / 2; }

    // Grows to the smallest even length not below `needed`, adding positions on
    // both sides so every stored string keeps its distance to the middle.
    void expand_map(size_t needed) {
        if (needed <= levels_.size()) return;
        const size_t target = needed + needed % 2;
        const size_t missing = target - levels_.size();
        const size_t half = missing / 2;
        levels_.reserve(target);
        for (size_t i = 0; i < missing; ++i) levels_.push_back(std::make_unique<Position>());
        // Positions are boxed, so this moves pointers, not 257 bitmaps each.
        std::rotate(levels_.begin(), levels_.end() - static_cast<std::ptrdiff_t>(half),
                    levels_.end());
    }

    // First position of a string of `n` bytes (1 <= n <= L). Odd lengths start
    // at c - (n + 1) / 2 and even ones at c - n / 2, c the middle: the start then
    // moves with the middle on every expansion, so strings entered before and
    // after one are laid out alike, and every string starts left of the middle
    // and ends at or right of c - 1.
    size_t start_of(size_t n) const {
        check(n >= 1 && n <= levels_.size(), "string longer than the positional index");
        return middle() - (n + 1) / 2;
    }

    Position& level(size_t p) {
        check(p < levels_.size(), "position out of bounds");
        return *levels_[p];
    }
    const Position& level(size_t p) const {
        check(p < levels_.size(), "position out of bounds");
        return *levels_[p];
    }
    Slot& slot(size_t p, size_t byte_or_edge) {
        check(byte_or_edge <= kEdgeSlot, "slot out of bounds");
        return level(p)[byte_or_edge];
    }
    const Slot& slot(size_t p, size_t byte_or_edge) const {
        check(byte_or_edge <= kEdgeSlot, "slot out of bounds");
        return level(p)[byte_or_edge];
    }
    Slot& edge(size_t p) { return slot(p, kEdgeSlot); }
    const Slot& edge(size_t p) const { return slot(p, kEdgeSlot); }

    void flush() {
        for (auto& position : levels_) {
            for (auto& s : *position) s.flush();
        }
    }
    // Narrowing: keeps only the ids in `keep`.
    void retain(const Bitmap& keep) {
        for (auto& position : levels_) {
            for (auto& s : *position) {
                s.flush();
                s.bitmap().and_inplace(keep);
            }
        }
    }

private:
    std::vector<std::unique_ptr<Position>> levels_;
};

}  // namespace vorlane
