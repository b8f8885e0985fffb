#pragma once
// Attribute storage of an object: attribute id -> value. Most objects have a
// handful of attributes, so the map starts as 8 inline slots searched linearly
// (no heap, one scan of contiguous keys) and becomes a hash map only when a
// ninth distinct key arrives. There is no removal, so the small form never
// has holes and iterates in insertion order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

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

// Up to eight pairs in one heap block sized to what the object holds, searched
// linearly: no empty slots carried by every object.
template <class K, class V>
class SmallKVMap {
public:
    static constexpr size_t kCapacity = 8;

    SmallKVMap() noexcept = default;
    SmallKVMap(const SmallKVMap&) = delete;
    SmallKVMap& operator=(const SmallKVMap&) = delete;
    SmallKVMap(SmallKVMap&&) noexcept = default;
    SmallKVMap& operator=(SmallKVMap&&) noexcept = default;

    const V* get(const K& key) const noexcept {
        for (const auto& entry : entries_) {
            if (entry.first == key) return &entry.second;
        }
        return nullptr;
    }
    V* get(const K& key) noexcept {
        for (auto& entry : entries_) {
            if (entry.first == key) return &entry.second;
        }
        return nullptr;
    }

    size_t size() const noexcept { return entries_.size(); }
    bool full() const noexcept { return entries_.size() == kCapacity; }
    // Room for `n` pairs in all, allocated once (construction knows how many come).
    void reserve(size_t n) { entries_.reserve(std::min(n, kCapacity)); }

    // Replaces the value of a present key in place (keeping its position) and
    // returns true; false when the key is absent, leaving `value` untouched.
    bool replace(const K& key, V& value) {
        V* slot = get(key);
        if (slot == nullptr) return false;
        detail::replace_value(*slot, std::move(value));
        return true;
    }

    // Appends a key known to be absent; the caller checks there is room.
    void push(K key, V value) { entries_.emplace_back(std::move(key), std::move(value)); }

    template <class Fn>
    void for_each(Fn&& fn) const {
        for (const auto& [k, v] : entries_) fn(k, v);
    }

    // Moves every pair out, in slot order, and leaves the map empty.
    template <class Sink>
    void drain(Sink&& sink) {
        for (auto& [k, v] : entries_) sink(std::move(k), std::move(v));
        entries_.clear();
        entries_.shrink_to_fit();
    }

private:
    std::vector<std::pair<K, V>> entries_;
};

template <class K, class V>
class HybridHashmap {
public:
    using Small = SmallKVMap<K, V>;
    using Large = std::unordered_map<K, V, FxKeyHash>;
    // Reserves room for `n` entries in the small form.
    void reserve(size_t n) {
        if (Small* small = std::get_if<Small>(&form_)) small->reserve(n);
    }

    HybridHashmap() = default;
    HybridHashmap(HybridHashmap&&) = default;
    HybridHashmap& operator=(HybridHashmap&&) = default;
    HybridHashmap(const HybridHashmap&) = delete;
    HybridHashmap& operator=(const HybridHashmap&) = delete;

    const V* get(const K& key) const {
        if (const Small* small = std::get_if<Small>(&form_)) return small->get(key);
        const Large& large = *std::get<std::unique_ptr<Large>>(form_);
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
            auto large = std::make_unique<Large>();
            large->reserve(28);
            small->drain([&large](K&& k, V&& v) { large->emplace(std::move(k), std::move(v)); });
            large->emplace(std::move(key), std::move(value));
            form_.template emplace<std::unique_ptr<Large>>(std::move(large));
            return;
        }
        Large& large = *std::get<std::unique_ptr<Large>>(form_);
        if (auto it = large.find(key); it != large.end()) {
            detail::replace_value(it->second, std::move(value));
        } else {
            large.emplace(std::move(key), std::move(value));
        }
    }

    size_t size() const noexcept {
        if (const Small* small = std::get_if<Small>(&form_)) return small->size();
        return std::get<std::unique_ptr<Large>>(form_)->size();
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
        for (const auto& [k, v] : *std::get<std::unique_ptr<Large>>(form_)) fn(k, v);
    }

private:
    std::variant<Small, std::unique_ptr<Large>> form_;
};

}  // namespace vorlane
