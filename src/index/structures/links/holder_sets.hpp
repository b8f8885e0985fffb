#pragma once
// The distinct holders of each nested object of one attribute, one id set per
// nested object: counting how many objects of a set hold each nested object
// is then one intersection per nested object instead of a visit to every
// holder. A holder is in the set from its first occurrence of the nested
// object to its last; LinkTable decides when that holds and whether the sets
// are kept at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/structures/bitmap.hpp"
#include "index/structures/heap_bytes.hpp"
#include "index/structures/hybrid_set/hybrid_set.hpp"

namespace vorlane::detail {

class HolderSets {
public:
    HolderSets() = default;
    HolderSets(HolderSets&& other) noexcept
        : sets_(std::move(other.sets_)),
          pairs_(std::exchange(other.pairs_, 0)),
          most_(std::exchange(other.most_, 0)) {
        other.sets_.clear();
    }
    HolderSets& operator=(HolderSets&& other) noexcept {
        if (this != &other) {
            sets_ = std::move(other.sets_);
            other.sets_.clear();
            pairs_ = std::exchange(other.pairs_, 0);
            most_ = std::exchange(other.most_, 0);
        }
        return *this;
    }
    HolderSets(const HolderSets&) = delete;
    HolderSets& operator=(const HolderSets&) = delete;

    // Nested objects with a holder.
    size_t nested() const noexcept { return sets_.size(); }
    // (holder, nested) pairs: the sets' sizes added up.
    uint64_t pairs() const noexcept { return pairs_; }

    // Puts `holder` in the set of `nested`; true when `nested` had no set yet.
    bool add(uint32_t nested, uint32_t holder) {
        auto [it, fresh] = sets_.try_emplace(nested);
        if (it->second.insert(holder)) most_ = std::max(most_, ++pairs_);
        return fresh;
    }

    // Puts `holders` (strictly ascending) in the set of `nested`, at once when
    // they are many: a bulk add brings a popular object thousands of holders.
    void add_ascending(uint32_t nested, std::span<const uint32_t> holders) {
        if (holders.empty()) return;
        HybridSet& set = sets_.try_emplace(nested).first->second;
        if (holders.size() < kFewHolders) {
            for (const uint32_t holder : holders) pairs_ += set.insert(holder) ? 1 : 0;
        } else if (set.is_empty()) {
            Bitmap ids;
            ids.add_ascending(holders);
            set = HybridSet::from_bitmap(std::move(ids));
            pairs_ += holders.size();
        } else {
            Bitmap ids;
            ids.add_ascending(holders);
            const uint64_t before = set.size();
            set.union_with(HybridSet::from_bitmap(std::move(ids)));
            pairs_ += set.size() - before;
        }
        most_ = std::max(most_, pairs_);
    }

    // Takes `holder` out of the set of `nested` (its last occurrence went); a
    // set emptied goes, and the table's buckets with the last one. A bitmap
    // keeps the room of the ids it lost: once the pairs are down to half their
    // most since the sets were last built at their size, they are built again.
    void erase(uint32_t nested, uint32_t holder) {
        const auto it = sets_.find(nested);
        if (it == sets_.end()) return;
        if (it->second.erase(holder)) --pairs_;
        if (it->second.is_empty()) {
            sets_.erase(it);
            if (sets_.empty()) clear();
            return;
        }
        if (2 * (pairs_ + sets_.size()) < most_) compact();
    }

    void clear() noexcept {
        std::unordered_map<uint32_t, HybridSet>().swap(sets_);
        pairs_ = 0;
        most_ = 0;
    }

    // The holders of `nested` (null when it has none).
    const HybridSet* find(uint32_t nested) const noexcept {
        const auto it = sets_.find(nested);
        return it == sets_.end() ? nullptr : &it->second;
    }
    // The holders of any id of `nested`: one union of their sets, each read
    // where it lies, so the cost follows the sets' containers, not their ids.
    Bitmap holders_of(const Bitmap& nested) const {
        Bitmap loose;  // the holders of the sets kept as arrays
        std::vector<const Bitmap*> bitmaps;
        const auto take = [&](const HybridSet& set) {
            if (const Bitmap* b = set.bitmap_form()) {
                bitmaps.push_back(b);
            } else {
                set.or_into(loose);
            }
        };
        if (nested.cardinality() <= sets_.size()) {
            nested.for_each([&](uint32_t id) {
                if (const HybridSet* set = find(id)) take(*set);
            });
        } else {
            for (const auto& [id, set] : sets_) {
                if (nested.contains(id)) take(set);
            }
        }
        if (bitmaps.empty()) return loose;
        if (bitmaps.size() == 1 && loose.is_empty()) return bitmaps[0]->clone();
        if (!loose.is_empty()) bitmaps.push_back(&loose);
        return Bitmap::or_many(std::span<const Bitmap* const>(bitmaps));
    }

    // fn(nested, holders) for every nested object, in no order.
    template <class Fn>
    void for_each(Fn&& fn) const {
        for (const auto& [nested, holders] : sets_) fn(nested, holders);
    }

    // The table and its sets (see heap_bytes.hpp).
    size_t memory_bytes() const noexcept {
        size_t n = hash_table_bytes(sets_);
        for (const auto& [nested, holders] : sets_) n += holders.memory_bytes();
        return n;
    }

private:
    // Fewer holders than this go in one by one: a set built for them would cost more.
    static constexpr size_t kFewHolders = 16;

    // Each bitmap built again from its ids (a few go inline), and the table's
    // buckets fitted to the sets left. Each set stays whole if it throws.
    void compact() {
        most_ = pairs_;
        for (auto& [nested, set] : sets_) {
            if (set.form() != HybridSet::Form::Bitmap) continue;
            const std::vector<uint32_t> ids = set.to_vector();
            HybridSet fresh;
            if (ids.size() < CenteredArray::kCapacity) {
                for (const uint32_t id : ids) fresh.add(id);
            } else {
                fresh = HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(ids)));
            }
            set = std::move(fresh);
        }
        if (sets_.bucket_count() > 8 * sets_.size()) sets_.rehash(0);
    }

    std::unordered_map<uint32_t, HybridSet> sets_;
    uint64_t pairs_ = 0;
    uint64_t most_ = 0;  // the most pairs since the sets were last built at their size
};

}  // namespace vorlane::detail
