// Searches that read the key buckets: a bucket holds the ids whose keys share
// their top bits, and its bounds say when a search can take it whole or skip it.
#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"

#include <utility>
#include <vector>

namespace vorlane {

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
    walk_slices(key, base, edge, greater, inclusive, kBucketLowBit);
}

Bitmap NumericalBitmap::buckets_between(uint32_t first, uint32_t past, const Bitmap& candidates) const {
    std::vector<uint32_t> buckets;
    buckets.reserve(past - first);
    for (uint32_t bucket = first; bucket < past; ++bucket) buckets.push_back(bucket);
    return buckets_.union_of(std::span<const uint32_t>(buckets), &candidates);
}

Bitmap NumericalBitmap::eq_in_bucket(const OrderKey& key, const Bitmap* candidates) const {
    const uint32_t bucket = bucket_of(key);
    const auto bounds = bucket_bounds_.find(bucket);
    if (bounds == bucket_bounds_.end() || key < bounds->second.low || bounds->second.high < key) return Bitmap();
    Bitmap result = buckets_.find(bucket, candidates);
    if (bounds->second.low == bounds->second.high) return result;  // the bucket holds `key` alone
    for (size_t i = kBucketLowBit; i-- > 0 && !result.is_empty();) {
        bool shared = false;
        if (shared_bit(i, shared)) {
            if (key.bit(i) != shared) return Bitmap();
            continue;
        }
        result.and_inplace(slices_[i][key.bit(i)].bitmap());
    }
    return result;
}

void NumericalBitmap::get_between_into_base(const OrderKey& low, const OrderKey& high, Bitmap& base,
                                            const Bitmap& candidates) const {
    const uint32_t first = bucket_of(low);
    const uint32_t last = bucket_of(high);
    if (is_small() || !buckets_.active() || last - first > kMaxBucketSpan) {
        // The upper bound is searched among the candidates, the lower one among what remains.
        Bitmap at_most;
        get_lte_into_base(high, at_most, candidates);
        get_gte_into_base(low, base, at_most);
        return;
    }
    if (first == last) {
        // Both bounds in one bucket: keys at most `high`, then at least `low` among them.
        Bitmap at_most;
        bucket_edge_into_base(high, at_most, candidates, false, true);
        if (!at_most.is_empty()) bucket_edge_into_base(low, base, at_most, true, true);
        return;
    }
    // Every key of the first bucket is below `high`, every key of the last above
    // `low`, and the buckets between lie wholly inside the range.
    bucket_edge_into_base(low, base, candidates, true, true);
    base.or_inplace(buckets_between(first + 1, last, candidates));
    bucket_edge_into_base(high, base, candidates, false, true);
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
