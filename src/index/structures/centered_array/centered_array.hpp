#pragma once
// A sorted set of at most four ids whose live range floats inside the array, so
// an insertion shifts whichever side of the insertion point is shorter.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "index/structures/errors.hpp"

namespace vorlane {

inline constexpr const char* kCenteredArrayFull = "CenteredArray full";
inline constexpr const char* kCenteredArrayRange = "CenteredArray live range out of bounds";

class CenteredArray {
public:
    static constexpr size_t kCapacity = 4;

    CenteredArray() = default;

    // An array holding `ids` (ascending, distinct) from slot 0.
    static CenteredArray from_sorted(std::span<const uint32_t> ids) {
        check(ids.size() <= kCapacity, kCenteredArrayRange);
        CenteredArray out;
        std::copy(ids.begin(), ids.end(), out.data_.begin());
        out.len_ = ids.size();
        return out;
    }

    void insert(uint32_t id) {
        if (len_ >= kCapacity) fail(kCenteredArrayFull);
        if (start_ == 0 || start_ + len_ >= kCapacity) recentre();
        size_t k = 0;
        if (len_ > 0) {
            const size_t pos = floor_offset(id);
            const uint32_t at = data_[start_ + pos];
            if (at == id) return;
            k = pos + (at < id ? 1 : 0);
        }
        if (start_ > 0 && k < len_ / 2) {
            std::copy(data_.begin() + start_, data_.begin() + start_ + k,
                      data_.begin() + start_ - 1);
            --start_;
        } else {
            check(start_ + len_ < kCapacity, kCenteredArrayRange);
            std::copy_backward(data_.begin() + start_ + k, data_.begin() + start_ + len_,
                               data_.begin() + start_ + len_ + 1);
        }
        data_[start_ + k] = id;
        ++len_;
    }

    // Takes `id` out if present; tells whether it was.
    bool erase(uint32_t id) {
        if (len_ == 0) return false;
        const size_t pos = floor_offset(id);
        const size_t abs = start_ + pos;
        if (data_[abs] != id) return false;
        if (abs >= len_ / 2) {
            std::copy(data_.begin() + abs + 1, data_.begin() + start_ + len_, data_.begin() + abs);
        } else {
            std::copy_backward(data_.begin() + start_, data_.begin() + abs,
                               data_.begin() + abs + 1);
            ++start_;
        }
        --len_;
        return true;
    }

    // Callers merge only when both together fit; a fifth id is an internal error.
    void union_with(const CenteredArray& other) {
        const auto a = live();
        const auto b = other.live();
        std::array<uint32_t, kCapacity> merged{};
        size_t i = 0, j = 0, n = 0;
        auto put = [&](uint32_t id) {
            check(n < kCapacity, "CenteredArray merge needs more than four slots");
            merged[n++] = id;
        };
        while (i < a.size() && j < b.size()) {
            if (a[i] < b[j]) {
                put(a[i++]);
            } else if (b[j] < a[i]) {
                put(b[j++]);
            } else {
                put(a[i]);
                ++i;
                ++j;
            }
        }
        while (i < a.size()) put(a[i++]);
        while (j < b.size()) put(b[j++]);
        data_ = merged;
        start_ = 0;
        len_ = n;
        if (len_ <= 2) recentre();
    }

    std::span<const uint32_t> live() const {
        check(start_ + len_ <= kCapacity, kCenteredArrayRange);
        return {data_.data() + start_, len_};
    }
    bool contains(uint32_t id) const {
        const auto ids = live();
        return std::binary_search(ids.begin(), ids.end(), id);
    }
    size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    size_t start() const noexcept { return start_; }

private:
    // Offset of the last live id that is at most `id`; 0 when there is none.
    size_t floor_offset(uint32_t id) const {
        const auto ids = live();
        const size_t above = static_cast<size_t>(std::upper_bound(ids.begin(), ids.end(), id) -
                                                 ids.begin());
        return above == 0 ? 0 : above - 1;
    }

    // Leaves free slots on both sides so the next insertion can shift either way.
    void recentre() {
        const size_t target = (kCapacity - len_) / 2;
        if (target == start_) return;
        std::array<uint32_t, kCapacity> moved{};
        std::copy(data_.begin() + start_, data_.begin() + start_ + len_, moved.begin() + target);
        data_ = moved;
        start_ = target;
    }

    std::array<uint32_t, kCapacity> data_{};
    size_t start_ = 0;
    size_t len_ = 0;
};

}  // namespace vorlane
