// Searches that read the key buckets: a bucket holds the ids whose keys share
// their top bits, and its bounds say when a search can take it whole or skip it.
#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <utility>
#include <vector>

namespace vorlane {

using detail::highest_difference;

void NumericalBitmap::or_keyed(Bitmap& base, const Bitmap& among, bool all_keyed) const {
    if (all_keyed) {
        base.or_inplace(among);
        return;
    }
    // Candidates may have no key here: every keyed id is on one side of a slice.
    base.or_inplace(among.and_(slices_[0][0].bitmap()));
    base.or_inplace(among.and_(slices_[0][1].bitmap()));
}

bool NumericalBitmap::prefix_bounds(uint32_t at, size_t level, OrderKey& low, OrderKey& high) const {
    const uint32_t mask = free_bucket_bits(level);
    uint32_t first = 0;
    uint32_t last = 0;
    if (!occupied_.first_at_least(at & ~mask, first) || first > (at | mask)) return false;
    occupied_.last_at_most(at | mask, last);
    // occupied_ holds exactly the buckets with bounds.
    low = bucket_bounds_.find(first)->second.low;
    high = bucket_bounds_.find(last)->second.high;
    return true;
}

bool NumericalBitmap::union_pays(uint32_t first, uint32_t past, const Bitmap& among) const {
    if (first >= past) return true;
    const uint64_t limit = kUnionContainers;
    const uint64_t count = occupied_.range_cardinality(first, past);
    if (count > limit) return false;
    const uint64_t chunks = among.container_count();
    const uint64_t ids = among.cardinality();
    if (ids < chunks * kSparseChunkIds) {
        // Sparse candidates (sorted arrays): the slices cost about a lookup per
        // id and bit, and halve what remains at each step, so the rest of the
        // walk costs about two lookups per id. Meeting a bucket with them costs
        // a merge of both (kMergeShare lookups an element), or a search of the
        // bucket for each id when it is far larger.
        const uint64_t walk = 2 * kMergeShare * ids;
        uint64_t join = 0;
        for (uint32_t bucket : occupied_.values_in(first, past)) {
            join += std::min(buckets_.count(bucket) + ids, kMergeShare * ids);
            if (join > walk) return false;
        }
        return true;
    }
    // A join costs about a container per bucket and chunk of ids it covers; a
    // step on the slices costs a few containers per chunk of `among`.
    uint64_t containers = 0;
    for (uint32_t bucket : occupied_.values_in(first, past)) {
        containers += std::min(buckets_.count(bucket), chunks);
        if (containers > limit) return false;
    }
    return true;
}

void NumericalBitmap::side_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates,
                                     std::optional<Bitmap> equal, size_t level, bool greater,
                                     bool inclusive) const {
    const uint32_t at = bucket_of(key);
    const auto in_range = [&](const OrderKey& k) {
        return greater ? (inclusive ? k >= key : k > key) : (inclusive ? k <= key : k < key);
    };
    while (level > bucket_low_) {
        const Bitmap& among = equal ? *equal : candidates;
        OrderKey low;
        OrderKey high;
        if (!prefix_bounds(at, level, low, high)) return;
        // The bound farthest into the range decides whether any key is in it,
        // the nearest whether all are.
        if (!in_range(greater ? high : low)) return;
        if (in_range(greater ? low : high)) {
            or_keyed(base, among, equal.has_value());
            return;
        }
        // `key` lies between the bounds, so it shares every bit above the
        // highest one where they differ.
        const uint32_t mask = free_bucket_bits(level);
        const uint32_t first = greater ? at + 1 : at & ~mask;
        const uint32_t past = greater ? (at | mask) + 1 : at;
        if (union_pays(first, past, among)) {
            if (first < past) base.or_inplace(buckets_between(first, past, among));
            break;
        }
        const int split = highest_difference(low, high);
        if (split < static_cast<int>(bucket_low_)) break;  // all in `key`'s bucket
        const auto bit = static_cast<size_t>(split);
        const bool b = key.bit(bit);
        if (b != greater) {
            // Those with the winning bit here are all on the asked side.
            detail::ScratchBitmap scratch;
            Bitmap& tmp = scratch.get();
            tmp.overwrite(among);
            tmp.and_inplace(slices_[bit][greater].bitmap());
            base.or_inplace(tmp);
        }
        if (equal) {
            equal->and_inplace(slices_[bit][b].bitmap());
        } else {
            equal = candidates.and_(slices_[bit][b].bitmap());
        }
        if (equal->is_empty()) return;
        level = bit;
    }
    bucket_edge_into_base(key, base, equal ? *equal : candidates, greater, inclusive);
}

void NumericalBitmap::bucket_edge_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates,
                                            bool greater, bool inclusive) const {
    const uint32_t bucket = bucket_of(key);
    const auto bounds = bucket_bounds_.find(bucket);
    if (bounds == bucket_bounds_.end()) return;  // no key ever entered here
    const auto in_range = [&](const OrderKey& k) {
        return greater ? (inclusive ? k >= key : k > key) : (inclusive ? k <= key : k < key);
    };
    // The bound farthest into the range decides whether any key is in it, the
    // nearest whether all are.
    const OrderKey& far = greater ? bounds->second.high : bounds->second.low;
    const OrderKey& near = greater ? bounds->second.low : bounds->second.high;
    if (!in_range(far)) return;
    const Bitmap edge = buckets_.find(bucket, &candidates);
    if (edge.is_empty()) return;
    if (in_range(near)) {
        base.or_inplace(edge);
        return;
    }
    // The bucket's keys share every bit above the highest where its bounds
    // differ, and `key` (between them) shares those too.
    const KeyBounds& b = bounds->second;
    const int split = highest_difference(b.low, b.high);
    walk_bits(key, base, edge, greater, inclusive, static_cast<size_t>(split + 1), b.any, b.all, true);
}

Bitmap NumericalBitmap::buckets_between(uint32_t first, uint32_t past, const Bitmap& candidates) const {
    const std::vector<uint32_t> buckets = occupied_.values_in(first, past);
    return buckets_.union_of(std::span<const uint32_t>(buckets), &candidates);
}

Bitmap NumericalBitmap::eq_in_bucket(const OrderKey& key, const Bitmap* candidates) const {
    if (beside_buckets(key) != 0) return Bitmap();  // not among the bits every entered key shares
    const uint32_t bucket = bucket_of(key);
    const auto bounds = bucket_bounds_.find(bucket);
    if (bounds == bucket_bounds_.end() || key < bounds->second.low || bounds->second.high < key) return Bitmap();
    Bitmap result = buckets_.find(bucket, candidates);
    if (bounds->second.low == bounds->second.high) return result;  // the bucket holds `key` alone
    // Only the bits that tell the bucket's keys apart narrow anything.
    const OrderKey& any = bounds->second.any;
    const OrderKey& all = bounds->second.all;
    for (size_t i = bucket_low_; i-- > 0 && !result.is_empty();) {
        if (any.bit(i) == all.bit(i)) {
            if (key.bit(i) != any.bit(i)) return Bitmap();
            continue;
        }
        result.and_inplace(slices_[i][key.bit(i)].bitmap());
    }
    return result;
}

void NumericalBitmap::get_between_into_base(const OrderKey& low_key, const OrderKey& high_key, Bitmap& base,
                                            const Bitmap& candidates) const {
    if (is_small() || !buckets_.active()) {
        // The upper bound is searched among the candidates, the lower one among what remains.
        Bitmap at_most;
        get_lte_into_base(high_key, at_most, candidates);
        get_gte_into_base(low_key, base, at_most);
        return;
    }
    if (!any_key_) return;
    // An end beyond the bits every entered key shares becomes the first or
    // last key with those bits: the same keys lie between.
    const int low_beside = beside_buckets(low_key);
    const int high_beside = beside_buckets(high_key);
    if (high_beside < 0 || low_beside > 0) return;
    const size_t top = bucket_low_ + kBucketBits;
    const OrderKey low = low_beside < 0 ? detail::key_above(lowest_, top) : low_key;
    const OrderKey high = high_beside > 0 ? detail::key_above(lowest_, top, true) : high_key;
    const uint32_t first = bucket_of(low);
    const uint32_t last = bucket_of(high);
    if (first == last) {
        // Both bounds in one bucket: keys at most `high`, then at least `low` among them.
        Bitmap at_most;
        bucket_edge_into_base(high, at_most, candidates, false, true);
        if (!at_most.is_empty()) bucket_edge_into_base(low, base, at_most, true, true);
        return;
    }
    if (occupied_.range_cardinality(first + 1, last) <= kMaxBucketSpan) {
        // Every key of the first bucket is below `high`, every key of the last
        // above `low`, and the buckets between lie wholly inside the range.
        bucket_edge_into_base(low, base, candidates, true, true);
        base.or_inplace(buckets_between(first + 1, last, candidates));
        bucket_edge_into_base(high, base, candidates, false, true);
        return;
    }
    // The keys of the range share every bit above the highest where its ends
    // differ (one of the bucket bits, as the ends are in different buckets).
    // `equal` narrows to that prefix where the keys entered with it differ,
    // until the buckets between the ends are few or the ends part.
    const auto split = static_cast<size_t>(highest_difference(low, high));
    std::optional<Bitmap> equal;
    size_t level = kOrderKeyBits;
    for (;;) {
        const Bitmap& among = equal ? *equal : candidates;
        OrderKey lo;
        OrderKey hi;
        if (!prefix_bounds(first, level, lo, hi) || hi < low || high < lo) return;
        if (low <= lo && hi <= high) {
            or_keyed(base, among, equal.has_value());
            return;
        }
        if (union_pays(first + 1, last, among)) {
            // Every key of the first bucket is below `high`, every key of the
            // last above `low`, and the buckets between lie wholly inside.
            bucket_edge_into_base(low, base, among, true, true);
            base.or_inplace(buckets_between(first + 1, last, among));
            bucket_edge_into_base(high, base, among, false, true);
            return;
        }
        const auto bit = static_cast<size_t>(highest_difference(lo, hi));  // lo < hi: not all in, not none
        if (bit > split) {
            // The keys entered with this prefix differ here; those of the range do not.
            equal = among.and_(slices_[bit][low.bit(bit)].bitmap());
            if (equal->is_empty()) return;
            level = bit;
            continue;
        }
        if (bit == split) {
            // The ends part here: from `low` up on one side, up to `high` on the other.
            Bitmap lower = among.and_(slices_[bit][0].bitmap());
            Bitmap upper = among.and_(slices_[bit][1].bitmap());
            side_into_base(low, base, candidates, std::move(lower), bit, true, true);
            side_into_base(high, base, candidates, std::move(upper), bit, false, true);
            return;
        }
        // Every key entered with this prefix lies on one side of where the ends part.
        if (lo.bit(split)) {
            side_into_base(high, base, candidates, std::move(equal), level, false, true);
        } else {
            side_into_base(low, base, candidates, std::move(equal), level, true, true);
        }
        return;
    }
}

}  // namespace vorlane

namespace vorlane {

Bitmap NumericalBitmap::get_eq_any(std::span<const OrderKey> keys, const Bitmap* candidates) const {
    if (!is_small() && eq_ids_.active()) return eq_ids_.union_of(keys, candidates);
    std::vector<Bitmap> parts;
    parts.reserve(keys.size());
    for (const OrderKey& key : keys) parts.push_back(get_eq(key, candidates));
    return Bitmap::or_many(std::span<const Bitmap>(parts));
}

}  // namespace vorlane
