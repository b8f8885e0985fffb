#pragma once
// ShapedMap: a map from 32-bit keys to values that keeps its keys in a table
// shared with every map holding the same keys in the same order (KeyShape),
// and its values in one array in key order. An object's attributes cost their
// values and three words; lookups scan a few keys, or probe the table's hash
// index when it has many. Keys are never removed.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "index/structures/key_shape.hpp"

namespace vorlane {

template <class V>
class ShapedMap {
    static_assert(std::is_nothrow_move_constructible_v<V>, "values move when the array grows");

public:
    ShapedMap() noexcept = default;
    ShapedMap(ShapedMap&& other) noexcept
        : shape_(std::exchange(other.shape_, KeyShape::root())),
          values_(std::exchange(other.values_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          owns_shape_(std::exchange(other.owns_shape_, false)) {}
    ShapedMap& operator=(ShapedMap&& other) noexcept {
        ShapedMap gone(std::move(*this));
        swap(other);
        return *this;
    }
    ShapedMap(const ShapedMap&) = delete;
    ShapedMap& operator=(const ShapedMap&) = delete;
    ~ShapedMap() { release(); }

    void swap(ShapedMap& other) noexcept {
        std::swap(shape_, other.shape_);
        std::swap(values_, other.values_);
        std::swap(capacity_, other.capacity_);
        std::swap(owns_shape_, other.owns_shape_);
    }

    // Makes room for `n` entries in all.
    void reserve(size_t n) {
        if (n > capacity_) grow_to(static_cast<uint32_t>(n));
    }

    const V* get(uint32_t key) const noexcept {
        const auto position = shape_->find(key);
        return position ? &values_[*position] : nullptr;
    }
    V* get(uint32_t key) noexcept {
        const auto position = shape_->find(key);
        return position ? &values_[*position] : nullptr;
    }

    // The key table and the value at a position of it: a reader that found a
    // key's position in this table before reads it again without a search.
    const KeyShape* shape() const noexcept { return shape_; }
    const V& at(uint32_t position) const noexcept { return values_[position]; }

    // Stores `value` under `key`; a previous value of `key` is released.
    void insert(uint32_t key, V value) {
        if (V* slot = get(key)) {
            V old = std::move(*slot);
            std::destroy_at(slot);
            std::construct_at(slot, std::move(value));
            return;
        }
        const uint32_t n = shape_->size();
        // The next table first, then the room: either can fail, and then the
        // map is as it was.
        const KeyShape* next = owns_shape_ ? nullptr : shape_->shared_child(key);
        std::unique_ptr<KeyShape> own;
        if (next == nullptr && !owns_shape_) {
            own = shape_->private_copy();
            own->append(key);
        }
        if (n == capacity_) grow_to(n < 4 ? 4 : n + n / 2);
        if (owns_shape_) {
            const_cast<KeyShape*>(shape_)->append(key);
        } else if (own != nullptr) {
            shape_ = own.release();
            owns_shape_ = true;
        } else {
            shape_ = next;
        }
        std::construct_at(&values_[n], std::move(value));
    }

    size_t size() const noexcept { return shape_->size(); }
    bool empty() const noexcept { return size() == 0; }

    // fn(key, value) for every entry, in the order the keys were entered.
    template <class Fn>
    void for_each(Fn&& fn) const {
        const uint32_t n = shape_->size();
        for (uint32_t i = 0; i < n; ++i) fn(shape_->key(i), values_[i]);
    }

    // The value array's bytes (the key table is shared, or counted here when private).
    size_t memory_bytes() const noexcept { return capacity_ * sizeof(V); }

private:
    void grow_to(uint32_t capacity) {
        V* grown = static_cast<V*>(::operator new(sizeof(V) * capacity));
        const uint32_t n = shape_->size();
        for (uint32_t i = 0; i < n; ++i) {
            std::construct_at(&grown[i], std::move(values_[i]));
            std::destroy_at(&values_[i]);
        }
        ::operator delete(values_);
        values_ = grown;
        capacity_ = capacity;
    }

    void release() noexcept {
        const uint32_t n = shape_->size();
        for (uint32_t i = 0; i < n; ++i) std::destroy_at(&values_[i]);
        ::operator delete(values_);
        if (owns_shape_) delete shape_;
        values_ = nullptr;
        capacity_ = 0;
        shape_ = KeyShape::root();
        owns_shape_ = false;
    }

    const KeyShape* shape_ = KeyShape::root();
    V* values_ = nullptr;  // the first shape_->size() hold values
    uint32_t capacity_ = 0;
    bool owns_shape_ = false;
};

}  // namespace vorlane
