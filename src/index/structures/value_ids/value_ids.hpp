#pragma once
// The ids under each value of a few-valued attribute: equality becomes one
// lookup instead of an intersection per key bit or byte position. Kept beside
// the structures that answer ranges and string searches, and only while the
// attribute has few values for its ids: past `kAlwaysKept` values, once there
// are more than one value per `kIdsPerValue` ids, the table is dropped for good
// (it would cost an entry per id) and equality falls back to those structures.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/structures/bitmap.hpp"
#include "index/structures/heap_bytes.hpp"
#include "index/structures/hybrid_set/hybrid_set.hpp"
#include "index/structures/radix_sort.hpp"

namespace vorlane {

template <class Key, class Hash, class Equal = std::equal_to<>>
class ValueIds {
public:
    static constexpr size_t kAlwaysKept = 4096;
    static constexpr size_t kIdsPerValue = 8;
    // union_of meets each set with the candidates first when the sets hold this
    // many times more ids than there are candidates.
    static constexpr uint64_t kFewCandidates = 2;

    // Whether the table still answers; once dropped it stays dropped.
    bool active() const noexcept { return active_; }
    size_t value_count() const noexcept { return values_.size(); }

    template <class K>
    void insert(const K& key, uint32_t id) {
        insert(key, id, [](const ValueIds&) {});
    }

    // The same; when this insertion drops the table, `on_drop(*this)` runs
    // first, while the entries are still there (the new pair is not among them).
    template <class K, class OnDrop>
    void insert(const K& key, uint32_t id, OnDrop&& on_drop) {
        if (!active_) return;
        auto it = values_.find(key);
        if (it == values_.end()) {
            if (values_.size() >= kAlwaysKept && (values_.size() + 1) * kIdsPerValue > ids_ + 1) {
                on_drop(static_cast<const ValueIds&>(*this));
                drop();
                return;
            }
            it = values_.emplace(Key(key), HybridSet()).first;
        }
        if (it->second.insert(id)) ++ids_;
    }

    // Inserts ids (ascending) under one key with one lookup. Dropping the table
    // is decided as for the first of them; when it drops, `on_drop(*this)`
    // runs first and none of `ids` is entered. True while the table answers.
    template <class K, class OnDrop>
    bool insert_many(const K& key, std::span<const uint32_t> ids, OnDrop&& on_drop) {
        if (!active_ || ids.empty()) return active_;
        auto it = values_.find(key);
        if (it == values_.end()) {
            if (values_.size() >= kAlwaysKept && (values_.size() + 1) * kIdsPerValue > ids_ + 1) {
                on_drop(static_cast<const ValueIds&>(*this));
                drop();
                return false;
            }
            it = values_.emplace(Key(key), HybridSet()).first;
        }
        ids_ += it->second.insert_many(ids);
        return true;
    }

    // `key` must be the value the id was inserted with.
    template <class K>
    void remove(const K& key, uint32_t id) {
        if (!active_) return;
        const auto it = values_.find(key);
        if (it == values_.end() || !it->second.erase(id)) return;
        --ids_;
        if (it->second.is_empty()) values_.erase(it);
    }

    // Removes a batch of ids (ascending), all inserted under `key`, in one pass over its set.
    template <class K>
    void remove_many(const K& key, std::span<const uint32_t> ids) {
        if (!active_) return;
        const auto it = values_.find(key);
        if (it == values_.end()) return;
        ids_ -= it->second.erase_many(ids);
        if (it->second.is_empty()) values_.erase(it);
    }

    // Removes a batch of (id, value) pairs, each id inserted under `key_of(value)`:
    // each pair finds its key's set with one lookup, and each set then loses its
    // ids in one pass (grouped by set, not by comparing keys).
    template <class Value, class KeyOf>
    void remove_batch(const std::vector<std::pair<uint32_t, Value>>& batch, KeyOf&& key_of) {
        if (!active_) return;
        using Slot = typename decltype(values_)::value_type;
        std::vector<std::pair<Slot*, uint32_t>> found;
        found.reserve(batch.size());
        for (const auto& [id, value] : batch) {
            const auto it = values_.find(key_of(value));
            if (it != values_.end()) found.emplace_back(&*it, id);
        }
        // By entry, each entry's ids ascending: a batch that does not come by
        // id is put in id order first, and the sort by entry keeps that order.
        const auto id_of = [](const std::pair<Slot*, uint32_t>& f) { return f.second; };
        if (!std::is_sorted(found.begin(), found.end(), [&](const auto& a, const auto& b) { return id_of(a) < id_of(b); })) {
            radix_sort_by(found, id_of);
        }
        radix_sort_by(found, [](const std::pair<Slot*, uint32_t>& f) { return reinterpret_cast<uintptr_t>(f.first); });
        std::vector<uint32_t> ids;
        for (size_t from = 0; from < found.size();) {
            size_t to = from;
            ids.clear();
            while (to < found.size() && found[to].first == found[from].first) ids.push_back(found[to++].second);
            Slot& slot = *found[from].first;
            ids_ -= slot.second.erase_many(std::span<const uint32_t>(ids));
            if (slot.second.is_empty()) values_.erase(slot.first);
            from = to;
        }
    }

    // Narrowing: keeps only the ids in `keep`.
    void retain(const Bitmap& keep) {
        if (!active_) return;
        ids_ = 0;
        for (auto it = values_.begin(); it != values_.end();) {
            it->second.retain(keep);
            if (it->second.is_empty()) {
                it = values_.erase(it);
            } else {
                ids_ += it->second.size();
                ++it;
            }
        }
    }

    // Adds the ids of `other` that are in `objects`; a dropped `other` drops this one.
    void merge_from(const ValueIds& other, const Bitmap& objects) {
        merge_from(other, objects, [](const Key& key) -> const Key& { return key; });
    }
    // The same, each key of `other` taken as `key_here(key)`.
    template <class KeyHere>
    void merge_from(const ValueIds& other, const Bitmap& objects, KeyHere&& key_here) {
        if (!active_) return;
        if (!other.active_) {
            drop();
            return;
        }
        for (const auto& [key, set] : other.values_) {
            Bitmap taken = set.and_(&objects);
            if (taken.is_empty()) continue;
            const Key here = key_here(key);
            taken.for_each([&](uint32_t id) { insert(here, id); });
            if (!active_) return;
        }
    }

    // Gives every key the key `new_key(key)`; keys that meet join their ids.
    template <class NewKey>
    void rekey(NewKey&& new_key) {
        if (!active_) return;
        std::unordered_map<Key, HybridSet, Hash, Equal> values;
        values.reserve(values_.size());
        ids_ = 0;
        for (auto& [key, set] : values_) {
            const auto [it, fresh] = values.try_emplace(new_key(key));
            if (fresh) {
                it->second = std::move(set);
            } else {
                it->second.union_with(set);
            }
        }
        for (const auto& [key, set] : values) ids_ += set.size();
        values_.swap(values);
    }

    // The ids under `key` (of `candidates` only, when given). Only while active.
    template <class K>
    Bitmap find(const K& key, const Bitmap* candidates) const {
        const auto it = values_.find(key);
        if (it == values_.end()) return Bitmap();
        return it->second.and_(candidates);
    }

    // The number of ids under `key`. Only while active.
    template <class K>
    uint64_t count(const K& key) const {
        const auto it = values_.find(key);
        return it == values_.end() ? 0 : it->second.size();
    }

    // The ids under any key of `keys` (of `candidates` only, when given): the
    // sets are joined first, read in place, and the candidates applied once;
    // candidates far fewer than the sets' ids (a narrow view) are met by each
    // set first, so the join handles their few common ids only.
    template <class K>
    Bitmap union_of(std::span<const K> keys, const Bitmap* candidates) const {
        std::vector<const HybridSet*> found;  // each key looked up once
        found.reserve(keys.size());
        uint64_t total = 0;
        for (const K& key : keys) {
            const auto it = values_.find(key);
            if (it == values_.end()) continue;
            found.push_back(&it->second);
            total += it->second.size();
        }
        if (candidates != nullptr && found.size() > 1 && candidates->cardinality() * kFewCandidates < total) {
            std::vector<Bitmap> parts;
            parts.reserve(found.size());
            for (const HybridSet* set : found) parts.push_back(set->and_(candidates));
            return Bitmap::or_many(std::span<const Bitmap>(parts));
        }
        std::vector<const Bitmap*> sets;
        std::vector<Bitmap> built;  // sets not kept as bitmaps, made for the union
        built.reserve(found.size());
        for (const HybridSet* set : found) {
            if (const Bitmap* b = set->bitmap_form()) {
                sets.push_back(b);
            } else {
                sets.push_back(&built.emplace_back(set->to_bitmap()));
            }
        }
        Bitmap joined = Bitmap::or_many(sets);
        if (candidates != nullptr) joined.and_inplace(*candidates);
        return joined;
    }

    // Every stored pair, as fn(key, id).
    template <class Fn>
    void for_each(Fn&& fn) const {
        for (const auto& [key, set] : values_) set.for_each([&](uint32_t id) { fn(key, id); });
    }
    // fn(key, set) for every value, in no order.
    template <class Fn>
    void for_each_set(Fn&& fn) const {
        for (const auto& [key, set] : values_) fn(key, set);
    }
    size_t id_count() const noexcept { return ids_; }

    // The table, its id sets and the heap of string keys (see heap_bytes.hpp).
    size_t memory_bytes() const noexcept {
        size_t n = hash_table_bytes(values_);
        for (const auto& [key, set] : values_) {
            if constexpr (std::is_same_v<Key, std::string>) n += string_bytes(key);
            n += set.memory_bytes();
        }
        return n;
    }

    void drop() {
        active_ = false;
        ids_ = 0;
        std::unordered_map<Key, HybridSet, Hash, Equal>().swap(values_);
    }

private:
    std::unordered_map<Key, HybridSet, Hash, Equal> values_;
    size_t ids_ = 0;
    bool active_ = true;
};

}  // namespace vorlane
