#pragma once
// Attribute storage of an object: attribute id -> value. Most objects have a
// handful of attributes, so the map starts as 8 inline slots searched linearly
// (no heap, one scan of contiguous keys) and becomes a hash map only when a
// ninth distinct key arrives. There is no removal, so the small form never
// has holes and iterates in insertion order.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "index/core/structures/fxhash.hpp"

namespace vorlane {

// FxHash of a key: integral keys (attribute ids) are mixed directly; other keys
// go through std::hash first.
struct FxKeyHash {
    template <class K>
    size_t operator()(const K& key) const noexcept {
        if constexpr (std::is_integral_v<K> || std::is_enum_v<K>) {
            return static_cast<size_t>(fx_mix(static_cast<uint64_t>(key)));
        } else {
            return static_cast<size_t>(fx_mix(static_cast<uint64_t>(std::hash<K>{}(key))));
        }
    }
};

namespace detail {
// Puts `value` into a live slot, releasing what the slot held. Records with a
// const field cannot be assigned; they are destroyed and rebuilt instead.
template <class V>
void replace_value(V& slot, V&& value) {
    if constexpr (std::is_move_assignable_v<V>) {
        slot = std::move(value);
    } else {
        static_assert(std::is_nothrow_move_constructible_v<V>,
                      "a value that cannot be move-assigned must move without throwing");
        std::destroy_at(&slot);
        std::construct_at(&slot, std::move(value));
    }
}
}  // namespace detail

template <class K, class V>
class SmallKVMap {
public:
    static constexpr size_t kCapacity = 8;

    SmallKVMap() noexcept = default;
    SmallKVMap(const SmallKVMap&) = delete;
    SmallKVMap& operator=(const SmallKVMap&) = delete;
    SmallKVMap(SmallKVMap&& other) noexcept(std::is_nothrow_move_constructible_v<K> &&
                                            std::is_nothrow_move_constructible_v<V>) {
        for (; len_ < other.len_; ++len_) {
            std::construct_at(key_at(len_), std::move(*other.key_at(len_)));
            std::construct_at(value_at(len_), std::move(*other.value_at(len_)));
        }
        other.clear();
    }
    SmallKVMap& operator=(SmallKVMap&& other) noexcept(
        std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>) {
        if (this != &other) {
            clear();
            for (; len_ < other.len_; ++len_) {
                std::construct_at(key_at(len_), std::move(*other.key_at(len_)));
                std::construct_at(value_at(len_), std::move(*other.value_at(len_)));
            }
            other.clear();
        }
        return *this;
    }
    ~SmallKVMap() { clear(); }

    const V* get(const K& key) const noexcept {
        const size_t i = find(key);
        return i < len_ ? value_at(i) : nullptr;
    }
    V* get(const K& key) noexcept {
        const size_t i = find(key);
        return i < len_ ? value_at(i) : nullptr;
    }

    size_t size() const noexcept { return len_; }
    bool full() const noexcept { return len_ == kCapacity; }

    // Replaces the value of a present key in place (keeping its position) and
    // returns true; false when the key is absent, leaving `value` untouched.
    bool replace(const K& key, V& value) {
        V* slot = get(key);
        if (slot == nullptr) return false;
        detail::replace_value(*slot, std::move(value));
        return true;
    }

    // Appends a key known to be absent; the caller checks there is room.
    void push(K key, V value) {
        std::construct_at(key_at(len_), std::move(key));
        try {
            std::construct_at(value_at(len_), std::move(value));
        } catch (...) {
            std::destroy_at(key_at(len_));
            throw;
        }
        ++len_;
    }

    template <class Fn>
    void for_each(Fn&& fn) const {
        for (size_t i = 0; i < len_; ++i) fn(*key_at(i), *value_at(i));
    }

    // Moves every pair out, in slot order, and leaves the map empty.
    template <class Sink>
    void drain(Sink&& sink) {
        for (size_t i = 0; i < len_; ++i) sink(std::move(*key_at(i)), std::move(*value_at(i)));
        clear();
    }

private:
    size_t find(const K& key) const noexcept {
        size_t i = 0;
        while (i < len_ && !(*key_at(i) == key)) ++i;
        return i;
    }
    void clear() noexcept {
        // Only the first len_ slots were ever constructed.
        for (size_t i = 0; i < len_; ++i) {
            std::destroy_at(value_at(i));
            std::destroy_at(key_at(i));
        }
        len_ = 0;
    }

    K* key_at(size_t i) noexcept { return std::launder(reinterpret_cast<K*>(keys_) + i); }
    const K* key_at(size_t i) const noexcept {
        return std::launder(reinterpret_cast<const K*>(keys_) + i);
    }
    V* value_at(size_t i) noexcept { return std::launder(reinterpret_cast<V*>(values_) + i); }
    const V* value_at(size_t i) const noexcept {
        return std::launder(reinterpret_cast<const V*>(values_) + i);
    }

    alignas(K) unsigned char keys_[sizeof(K) * kCapacity];
    alignas(V) unsigned char values_[sizeof(V) * kCapacity];
    size_t len_ = 0;
};

template <class K, class V>
class HybridHashmap {
public:
    using Small = SmallKVMap<K, V>;
    using Large = std::unordered_map<K, V, FxKeyHash>;

    HybridHashmap() = default;
    HybridHashmap(HybridHashmap&&) = default;
    HybridHashmap& operator=(HybridHashmap&&) = default;
    HybridHashmap(const HybridHashmap&) = delete;
    HybridHashmap& operator=(const HybridHashmap&) = delete;

    const V* get(const K& key) const {
        if (const Small* small = std::get_if<Small>(&form_)) return small->get(key);
        const Large& large = std::get<Large>(form_);
        auto it = large.find(key);
        return it == large.end() ? nullptr : &it->second;
    }
    V* get(const K& key) {
        return const_cast<V*>(static_cast<const HybridHashmap&>(*this).get(key));
    }

    // Stores `value` under `key`; a previous value of `key` is released.
    void insert(K key, V value) {
        if (Small* small = std::get_if<Small>(&form_)) {
            if (small->replace(key, value)) return;
            if (!small->full()) {
                small->push(std::move(key), std::move(value));
                return;
            }
            // Ninth distinct key: move the eight pairs, in slot order, into a
            // hash map with room to grow before its first rehash.
            Large large;
            large.reserve(28);
            small->drain([&large](K&& k, V&& v) { large.emplace(std::move(k), std::move(v)); });
            large.emplace(std::move(key), std::move(value));
            form_.template emplace<Large>(std::move(large));
            return;
        }
        Large& large = std::get<Large>(form_);
        if (auto it = large.find(key); it != large.end()) {
            detail::replace_value(it->second, std::move(value));
        } else {
            large.emplace(std::move(key), std::move(value));
        }
    }

    size_t size() const noexcept {
        if (const Small* small = std::get_if<Small>(&form_)) return small->size();
        return std::get<Large>(form_).size();
    }
    bool empty() const noexcept { return size() == 0; }
    bool is_small() const noexcept { return std::holds_alternative<Small>(form_); }

    // Calls fn(key, value) for every entry: insertion order in the small form,
    // table order in the large one.
    template <class Fn>
    void for_each(Fn&& fn) const {
        if (const Small* small = std::get_if<Small>(&form_)) {
            small->for_each(fn);
            return;
        }
        for (const auto& [k, v] : std::get<Large>(form_)) fn(k, v);
    }

private:
    std::variant<Small, Large> form_;
};

}  // namespace vorlane
