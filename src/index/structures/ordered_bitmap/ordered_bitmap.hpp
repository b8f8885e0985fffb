#pragma once
// Bit-sliced index of 76-bit order keys: per key bit, the ids whose key has a 0
// there and those whose key has a 1. Range searches walk the bits from the top
// and cost a fixed number of bitmap operations, whatever the number of values.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "index/structures/bitmap.hpp"
#include "index/structures/buffered_bitmap/buffered_bitmap.hpp"
#include "index/structures/fxhash.hpp"
#include "index/structures/small_form.hpp"
#include "index/structures/value_ids/value_ids.hpp"
#include "index/structures/waiting_changes/waiting_changes.hpp"

namespace vorlane {

inline constexpr size_t kOrderKeyBits = 76;

// 12-bit head (key bits 64..75) above a 64-bit mantissa. Unsigned key order is
// numeric order, and integers and floats share the key space (3 and 3.0 are one
// key), so comparisons mix them freely.
struct OrderKey {
    uint16_t head = 0;
    uint64_t mantissa = 0;

    constexpr bool bit(size_t i) const noexcept {
        return i < 64 ? ((mantissa >> i) & 1U) != 0 : ((head >> (i - 64)) & 1U) != 0;
    }
    friend constexpr auto operator<=>(const OrderKey&, const OrderKey&) = default;
};

namespace detail {
inline constexpr uint16_t kPositiveHead = 0x800;
inline constexpr uint16_t kHeadMask = 0xFFF;

constexpr OrderKey signed_order_key(bool negative, uint16_t exponent, uint64_t mantissa) {
    const auto head = static_cast<uint16_t>((exponent | kPositiveHead) & kHeadMask);
    if (negative) return {static_cast<uint16_t>(~head & kHeadMask), ~mantissa};
    return {head, mantissa};
}
}  // namespace detail

inline constexpr OrderKey kZeroOrderKey{detail::kPositiveHead, 0};

// Exact for every 64-bit integer: the magnitude keeps all its bits, no rounding
// through a double.
constexpr OrderKey int_order_key(int64_t value) {
    if (value == 0) return kZeroOrderKey;
    const auto bits = static_cast<uint64_t>(value);
    const uint64_t magnitude = value < 0 ? ~bits + 1 : bits;  // 2^63 for the minimum
    const int shift = std::countl_zero(magnitude);
    return detail::signed_order_key(value < 0, static_cast<uint16_t>(1086 - shift),
                                    magnitude << shift);
}

// NaN has no key: it compares false with every number, so it must neither enter
// the slices nor bound a search; callers skip it.
//
// Subnormals (exponent field 0) keep exponent 0 and no implicit top bit: the
// positive ones share the head of zero with a non-zero mantissa, which orders
// them above zero and below the smallest normal float (head 0x801), and in
// their own order by fraction; the sign step mirrors this for negative ones.
constexpr std::optional<OrderKey> float_order_key(double value) {
    const auto bits = std::bit_cast<uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const auto exponent = static_cast<uint16_t>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (exponent == 0x7FF && fraction != 0) return std::nullopt;
    if (exponent == 0 && fraction == 0) return kZeroOrderKey;
    const uint64_t implicit = exponent != 0 ? uint64_t{1} << 63 : 0;
    return detail::signed_order_key(negative, exponent, (fraction << 11) | implicit);
}

namespace detail {
// The highest key bit where `a` and `b` differ; -1 when they are equal.
inline int highest_difference(const OrderKey& a, const OrderKey& b) noexcept {
    if (a.head != b.head) return 64 + std::bit_width(static_cast<unsigned>(a.head ^ b.head)) - 1;
    if (a.mantissa != b.mantissa) return std::bit_width(a.mantissa ^ b.mantissa) - 1;
    return -1;
}
// `key` with every bit below `bit` cleared (or, with `ones`, set).
inline OrderKey key_above(const OrderKey& key, size_t bit, bool ones = false) noexcept {
    OrderKey out = key;
    if (bit >= 64) {
        const auto low_head = static_cast<uint16_t>((1U << (bit - 64)) - 1);
        out.head = static_cast<uint16_t>(ones ? out.head | low_head : out.head & ~low_head);
        out.mantissa = ones ? ~uint64_t{0} : 0;
    } else {
        const uint64_t low = (uint64_t{1} << bit) - 1;
        out.mantissa = ones ? out.mantissa | low : out.mantissa & ~low;
    }
    return out;
}
}  // namespace detail

struct OrderKeyHash {
    size_t operator()(const OrderKey& k) const noexcept {
        // Integer keys keep their magnitude in the top bits: mix before bucketing.
        return static_cast<size_t>(detail::multiply_mix(k.mantissa ^ (uint64_t{k.head} << 52), kFxSeed));
    }
};

struct BucketHash {
    size_t operator()(uint32_t bucket) const noexcept { return static_cast<size_t>(detail::multiply_mix(bucket, kFxSeed)); }
};

// The mantissa bits of the keys ever entered with one head (sign and
// exponent, key bits 64...75): those set in any of them and those set in all.
struct HeadBits {
    uint16_t head = 0;
    uint64_t any = 0;
    uint64_t all = 0;
};

// The keys of some ids with one head, summed: how many there are, the sum of
// their mantissas' magnitudes (a negative head's mantissas are stored mirrored
// bit for bit) and the magnitude bits set in any of them. Under one head every
// mantissa bit has one weight, so this is each key's share of a sum.
struct HeadTotal {
    uint16_t head = 0;
    uint64_t count = 0;
    unsigned __int128 magnitudes = 0;
    uint64_t bits = 0;

    bool negative() const noexcept { return (head & 0x800) == 0; }
    friend bool operator==(const HeadTotal&, const HeadTotal&) = default;
};

class NumericalBitmap {
public:
    static constexpr size_t kBufferCapacity = 64;
    using Entry = BufferedBitmap<kBufferCapacity>;
    // Entry 0: ids whose key bit is 0; entry 1: those whose bit is 1.
    using Slice = std::array<Entry, 2>;

    // Up to this many ids are kept as (id, key) pairs instead of in the slices.
    // Up to `small_limit` ids are kept as (id, key) pairs instead of in the
    // slices (each id would cost a container in 76 bitmaps).
    explicit NumericalBitmap(size_t small_limit = small_form_limit()) : small_limit_(small_limit) {}
    NumericalBitmap(NumericalBitmap&&) noexcept = default;
    NumericalBitmap& operator=(NumericalBitmap&&) noexcept = default;

    // Whether the ids are still kept as pairs; once in the slices they stay there.
    bool is_small() const noexcept { return slices_.empty(); }

    void insert(uint32_t id, const OrderKey& key) {
        settle_removals();
        note(key);
        if (is_small()) {
            if (small_insert(id, key)) return;
            make_large();
        }
        fit_buckets();
        for (size_t i = 0; i < kOrderKeyBits; ++i) slices_[i][key.bit(i)].bitmap().add(id);
        enter_key(id, key);
    }
    // Inserts a group of ids (ascending, for the cheapest bitmap appends) with
    // their keys. A bit that all keys share adds the whole group with one call;
    // only bits that vary are sorted into the two sides id by id.
    void insert_many(std::span<const uint32_t> ids, std::span<const OrderKey> keys);
    // Bulk insertion: ids wait in the buffers until `flush` (pairs are entered
    // at once).
    void push(uint32_t id, const OrderKey& key) {
        settle_removals();
        note(key);
        if (is_small()) {
            if (small_insert(id, key)) return;
            make_large();
        }
        fit_buckets();
        for (size_t i = 0; i < kOrderKeyBits; ++i) slices_[i][key.bit(i)].push(id);
        enter_key(id, key);
    }
    // Gives `id`, entered with key `before`, the key `after`: only the slices
    // whose bit differs between the two move the id, and the tables move it
    // when its key or bucket changes. An id that is not there with `before`
    // (as the first slice tells) is entered afresh instead.
    void replace(uint32_t id, const OrderKey& before, const OrderKey& after);
    // Whether any id of `ids` has a key here.
    bool holds_any(const Bitmap& ids) const {
        if (is_small()) {
            return std::any_of(small_.begin(), small_.end(), [&](const SmallEntry& e) { return ids.contains(e.id); });
        }
        return slices_[0][0].bitmap().intersects(ids) || slices_[0][1].bitmap().intersects(ids);
    }
    // Adds the ids of `other` that are in `objects`.
    void merge_from(const NumericalBitmap& other, const Bitmap& objects);
    void flush() {
        for (auto& slice : slices_) {
            slice[0].flush();
            slice[1].flush();
        }
    }
    // `key` must be the key the id was inserted with, or stale bits stay behind.
    // A pending id is flushed first so a later flush cannot bring it back.
    void remove(uint32_t id, const OrderKey& key) {
        if (is_small()) {
            const auto it = small_find(id);
            if (it != small_.end() && it->id == id) small_.erase(it);
            return;
        }
        settle_removals();
        remove_from_slices(id, key);
        eq_ids_.remove(key, id);
        buckets_.remove(bucket_of(key), id);
    }
    // A removal that may wait: the id leaves the slices, the key table and the
    // buckets with the next batch (a random id costs a cache miss in each of 76
    // bitmaps; a sorted batch walks them, and one pass per key clears the tables).
    // Every change settles the batch first, and readers must settle it before
    // they read (see `has_waiting_removals`).
    void remove_soon(uint32_t id, const OrderKey& key) {
        if (is_small()) {
            remove(id, key);
            return;
        }
        waiting_.push_back(WaitingChange<OrderKey>{id, key, false});
        if (waiting_.size() >= kMaxWaiting) settle_removals();
    }
    // A write that may wait, as removals do: `id`, entered with `before`, takes
    // `after` with the next batch (or at once in the small form).
    void replace_soon(uint32_t id, const OrderKey& before, const OrderKey& after) {
        if (before == after) return;
        if (is_small()) {
            replace(id, before, after);
            return;
        }
        note(after);
        fit_buckets();
        waiting_.push_back(WaitingChange<OrderKey>{id, before, false});
        waiting_.push_back(WaitingChange<OrderKey>{id, after, true});
        if (waiting_.size() >= kMaxWaiting) settle_removals();
    }
    // An insertion that may wait, as removals and writes do: `id` enters with
    // `key` with the next batch (or at once in the small form), so that objects
    // added one after another enter each bitmap as one sorted group.
    void insert_soon(uint32_t id, const OrderKey& key) {
        if (is_small()) {
            insert(id, key);
            return;
        }
        note(key);
        fit_buckets();
        waiting_.push_back(WaitingChange<OrderKey>{id, key, true});
        if (waiting_.size() >= kMaxWaiting) settle_removals();
    }
    // Whether removals or writes wait: no search may run meanwhile.
    bool has_waiting_removals() const noexcept { return !waiting_.empty(); }
    // Carries out every waiting removal and write.
    void settle_removals();
    // Narrowing: keeps only the ids in `keep`.
    void retain(const Bitmap& keep) {
        settle_removals();
        if (is_small()) {
            std::erase_if(small_, [&](const SmallEntry& e) { return !keep.contains(e.id); });
            return;
        }
        flush();
        for (auto& slice : slices_) {
            slice[0].bitmap().and_inplace(keep);
            slice[1].bitmap().and_inplace(keep);
        }
        eq_ids_.retain(keep);
        buckets_.retain(keep);
    }

    // Every id whose key equals `key` (of `candidates` only, when given):
    // one lookup while the attribute has few values, else an intersection of
    // the slices that tell keys apart.
    Bitmap get_eq(const OrderKey& key, const Bitmap* candidates = nullptr) const;
    // Every id whose key is any of `keys` (of `candidates` only, when given).
    Bitmap get_eq_any(std::span<const OrderKey> keys, const Bitmap* candidates = nullptr) const;

    // Each ors into `base` the ids of `candidates` whose key is greater than (at
    // least, less than, at most) `key`. Read only the bitmaps, not the buffers.
    void get_gt_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates) const;
    void get_gte_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates) const;
    void get_lt_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates) const;
    void get_lte_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates) const;
    // Ors into `base` the ids of `candidates` whose key lies in [low, high]
    // (low <= high): a narrow range is read off the key buckets, with only the
    // two buckets at its ends searched key bit by key bit.
    void get_between_into_base(const OrderKey& low, const OrderKey& high, Bitmap& base,
                               const Bitmap& candidates) const;

    // Keys fall into buckets by 20 of their bits, key bits low...low + 19 for
    // the structure's `bucket_low_bit`, in key order: every key entered shares
    // the bits above those. A range between two keys with at most this many
    // buckets that ever held a key between them is answered by joining those.
    static constexpr uint32_t kMaxBucketSpan = 512;
    // Buckets are joined rather than split further on the slices when the join
    // reads at most this many containers.
    static constexpr uint64_t kUnionContainers = 128;
    // Candidates with fewer ids than this a chunk on average are sparse: their
    // containers are sorted arrays, and whether to join the buckets is decided
    // by counts of ids rather than of containers.
    static constexpr uint64_t kSparseChunkIds = 4096;
    // A lookup of an id in a slice's bitset costs about this many steps of a
    // merge of two sorted arrays.
    static constexpr uint64_t kMergeShare = 3;
    // A one-sided range is found as the keyed ids less the other side once the
    // asked side holds this many times as many buckets.
    static constexpr uint64_t kComplementShare = 3;
    static constexpr size_t kBucketBits = 20;
    // The lowest bucket bit sits this many bits below the highest bit where
    // entered keys differ (keys alike in their top bits, as timestamps are,
    // still spread over up to 2^12 buckets), and never above the head and top
    // 8 mantissa bits.
    static constexpr size_t kBucketSpread = 12;
    static constexpr size_t kMaxBucketLowBit = kOrderKeyBits - kBucketBits;
    // Every key of a bucket has the same bits from this one up.
    size_t bucket_low_bit() const noexcept { return bucket_low_; }
    uint32_t bucket_of(const OrderKey& key) const noexcept { return window_bits(key, bucket_low_); }
    // Key bits low...low + 19.
    static constexpr uint32_t window_bits(const OrderKey& key, size_t low) noexcept {
        uint64_t bits = 0;
        if (low >= 64) {
            bits = key.head >> (low - 64);
        } else if (low == 0) {
            bits = key.mantissa;
        } else {
            bits = (key.mantissa >> low) | (uint64_t{key.head} << (64 - low));
        }
        return static_cast<uint32_t>(bits & ((uint32_t{1} << kBucketBits) - 1));
    }

    // The slices exist in the large form only.
    const Slice& slice(size_t bit) const {
        check(bit < slices_.size(), "order key bit out of range, or no slices yet");
        return slices_[bit];
    }
    Slice& slice(size_t bit) {
        check(bit < slices_.size(), "order key bit out of range, or no slices yet");
        return slices_[bit];
    }

    // Shared by the four range searches: the slices split off the ids on the
    // far side of `key` a bit at a time until what is left of that side lies in
    // few buckets, which are then joined (see side_into_base).
    void range_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates, bool greater,
                         bool inclusive) const;
    // The walk over the slices, from bit `top` - 1 down: the candidates must
    // agree with `key` on every bit from `top` up.
    void walk_slices(const OrderKey& key, Bitmap& base, const Bitmap& candidates, bool greater, bool inclusive,
                     size_t top = kOrderKeyBits) const;
    // Adds the ids of `key`'s own bucket (of `candidates`) on the asked side of
    // `key`: the whole bucket or none of it where its bounds say so, else a walk
    // over the bits below the bucket's.
    void bucket_edge_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates, bool greater,
                               bool inclusive) const;
    // The ids (of `candidates`) of the occupied buckets first...past - 1, all at once.
    Bitmap buckets_between(uint32_t first, uint32_t past, const Bitmap& candidates) const;
    // Equality through `key`'s bucket and the bits below it (no table of keys).
    Bitmap eq_in_bucket(const OrderKey& key, const Bitmap* candidates) const;

    // fn(id, key) for every pair of the small form (ids ascending).
    template <class Fn>
    void for_each_small(Fn&& fn) const {
        for (const SmallEntry& e : small_) fn(e.id, e.key);
    }
    // The table of keys (answers while active).
    const ValueIds<OrderKey, OrderKeyHash>& key_table() const noexcept { return eq_ids_; }
    // The ids of each key bucket (answers while active; see bucket_of).
    const ValueIds<uint32_t, BucketHash>& bucket_table() const noexcept { return buckets_; }
    // Bounds of every key entered so far (removals leave them); none before the first key.
    std::optional<std::pair<OrderKey, OrderKey>> key_bounds() const {
        if (!any_key_) return std::nullopt;
        return std::pair{lowest_, highest_};
    }
    // Every id with a key, in the large form.
    Bitmap keyed_ids() const { return slices_[0][0].bitmap().or_(slices_[0][1].bitmap()); }
    // The key of an id, read back from the slices' bitmaps (large form).
    OrderKey key_of(uint32_t id) const { return key_in_slices(id); }
    // The heap held (see heap_bytes.hpp): the slices with their bitmaps and
    // buffers, the key table, the buckets with their bounds and the set of
    // occupied ones, the waiting removals and the pairs of the small form.
    size_t memory_bytes() const noexcept;

    // The heads of every key ever entered, ascending (removals leave them).
    std::span<const HeadBits> head_bits() const noexcept { return heads_; }

    // The head totals of the ids of `of` that hold a key here (others are
    // passed over), heads ascending, none for a head without such ids. In the
    // large form the ids are split by head on the head bits where the heads
    // entered differ, and each mantissa bit the keys of a head do not share is
    // counted with one intersection.
    std::vector<HeadTotal> head_totals(const Bitmap& of) const;
    // head_totals of each group, in order, the same as asking group by group:
    // asked so, unless the first group takes more work an id than a pass over
    // the keys would; then all are summed in one pass.
    std::vector<std::vector<HeadTotal>> head_totals_of_groups(std::span<const Bitmap> groups) const;
    // The same in one pass over the keys of the groups' ids (large form):
    // each id's key is read once and added to the totals of each group
    // holding it (groups may share ids).
    std::vector<std::vector<HeadTotal>> head_totals_in_one_pass(std::span<const Bitmap> groups) const;

    // True when every key ever entered has the same value at `bit`, stored in
    // `value`: that slice then cannot tell entered ids apart and searches skip it.
    bool shared_bit(size_t bit, bool& value) const noexcept {
        if (!any_key_) return false;
        value = seen_all_.bit(bit);
        return seen_any_.bit(bit) == value;
    }

private:
    // Where `key` lies against the bits every entered key shares above the
    // buckets' (large form, some key entered): -1 below all entered keys,
    // 1 above them, 0 when it shares those bits.
    int beside_buckets(const OrderKey& key) const noexcept {
        const size_t top = bucket_low_ + kBucketBits;
        if (top >= kOrderKeyBits) return 0;
        const OrderKey mine = detail::key_above(key, top);
        const OrderKey shared = detail::key_above(lowest_, top);
        return mine < shared ? -1 : (shared < mine ? 1 : 0);
    }
    // The lowest bucket bit that keeps every key entered so far (and those
    // noted) in buckets below the bits they all share.
    size_t wanted_bucket_low() const noexcept {
        if (!any_key_) return 0;
        const int differ = detail::highest_difference(lowest_, highest_);
        const int low = differ + 1 - static_cast<int>(kBucketSpread);
        return std::min(static_cast<size_t>(std::max(low, 0)), kMaxBucketLowBit);
    }
    // Widens the buckets when a noted key does not share the bits above them:
    // buckets only ever merge, each into the one its keys fall into now.
    void fit_buckets() {
        if (is_small() || !buckets_.active()) return;
        const size_t wanted = wanted_bucket_low();
        if (wanted > bucket_low_) coarsen_buckets(wanted);
    }
    void coarsen_buckets(size_t low);
    // The bits of bucket `at` below key bit `level` (level >= bucket_low_bit).
    uint32_t free_bucket_bits(size_t level) const noexcept {
        if (level >= bucket_low_ + kBucketBits) return (uint32_t{1} << kBucketBits) - 1;
        return (uint32_t{1} << (level - bucket_low_)) - 1;
    }
    // The bounds of the keys ever entered into the buckets that agree with
    // bucket `at` on their bits from key bit `level` up (bucket_low_bit <=
    // level <= kOrderKeyBits); false when none of them ever held a key.
    bool prefix_bounds(uint32_t at, size_t level, OrderKey& low, OrderKey& high) const;
    // Ors `among` into `base`; its ids without a key here left out unless
    // `all_keyed` says there are none.
    void or_keyed(Bitmap& base, const Bitmap& among, bool all_keyed) const;
    // Whether joining the occupied buckets first...past - 1 (met with `among`)
    // costs less than splitting them further on the slices.
    bool union_pays(uint32_t first, uint32_t past, const Bitmap& among) const;
    // Ors into `base` the ids of `equal` (all `candidates` when none) on the
    // asked side of `key`; they agree with `key` on every bit from `level` up.
    // At each step the bounds of the keys that share that prefix say whether
    // all or none of `equal` is in; else the buckets beyond `key`'s own are
    // joined when few, or the highest bit that tells those keys apart splits
    // `equal` on the slices (bits every such key shares are never read).
    void side_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates, std::optional<Bitmap> equal,
                        size_t level, bool greater, bool inclusive) const;

    struct SmallEntry {
        uint32_t id;
        OrderKey key;
    };
    // The smallest and largest key entered into a bucket, and the bits set in
    // any and in all of its keys (all kept after removals too).
    struct KeyBounds {
        OrderKey low;
        OrderKey high;
        OrderKey any;
        OrderKey all;

        explicit KeyBounds(const OrderKey& key) : low(key), high(key), any(key), all(key) {}
        void widen(const KeyBounds& other) {
            low = std::min(low, other.low);
            high = std::max(high, other.high);
            any.head = static_cast<uint16_t>(any.head | other.any.head);
            any.mantissa |= other.any.mantissa;
            all.head = static_cast<uint16_t>(all.head & other.all.head);
            all.mantissa &= other.all.mantissa;
        }
    };
    // The walk over the slices from bit `top` - 1 down, skipping every bit on
    // which `any` and `all` agree (the bits set in any and in every key the ids
    // may have). Only `keyed` candidates all have such a key: else the first
    // bit read leaves the others out.
    void walk_bits(const OrderKey& key, Bitmap& base, const Bitmap& candidates, bool greater, bool inclusive,
                   size_t top, const OrderKey& any, const OrderKey& all, bool keyed) const;

    void enter_key(uint32_t id, const OrderKey& key) {
        eq_ids_.insert(key, id);
        enter_bucket(id, key);
    }
    void enter_bucket(uint32_t id, const OrderKey& key) {
        if (!buckets_.active()) return;
        const uint32_t bucket = bucket_of(key);
        buckets_.insert(bucket, id);
        if (!buckets_.active()) {
            drop_bucket_bounds();
            return;
        }
        widen_bounds(bucket, KeyBounds(key));
    }
    void widen_bounds(uint32_t bucket, const KeyBounds& bounds) {
        const auto [it, fresh] = bucket_bounds_.try_emplace(bucket, bounds);
        if (fresh) {
            occupied_.add(bucket);
            return;
        }
        it->second.widen(bounds);
    }

    void drop_bucket_bounds() {
        std::unordered_map<uint32_t, KeyBounds, BucketHash>().swap(bucket_bounds_);
        occupied_ = Bitmap();
    }

    void note(const OrderKey& key) {
        note_head(key);
        seen_any_.head = static_cast<uint16_t>(seen_any_.head | key.head);
        seen_any_.mantissa |= key.mantissa;
        seen_all_.head = static_cast<uint16_t>(seen_all_.head & key.head);
        seen_all_.mantissa &= key.mantissa;
        lowest_ = std::min(lowest_, key);
        highest_ = std::max(highest_, key);
        any_key_ = true;
    }

    // Enters the key's mantissa bits under its head (the last head met first:
    // keys come in runs of one head often).
    void note_head(const OrderKey& key) {
        if (last_head_ < heads_.size() && heads_[last_head_].head == key.head) {
            heads_[last_head_].any |= key.mantissa;
            heads_[last_head_].all &= key.mantissa;
            return;
        }
        auto it = std::lower_bound(heads_.begin(), heads_.end(), key.head,
                                   [](const HeadBits& h, uint16_t head) { return h.head < head; });
        if (it != heads_.end() && it->head == key.head) {
            it->any |= key.mantissa;
            it->all &= key.mantissa;
        } else {
            it = heads_.insert(it, HeadBits{key.head, key.mantissa, key.mantissa});
        }
        last_head_ = static_cast<size_t>(it - heads_.begin());
    }
    // head_totals over the heads first...past - 1 for `ids`, whose keys (if
    // `keyed`, else those of them that have a key) agree on every head bit
    // the heads agree on.
    // The cost of the bitmap operations of a head_totals, in lookups of one
    // id; past the limit, the rest is not worked out (and the totals are short).
    struct Work {
        uint64_t done = 0;
        uint64_t limit = UINT64_MAX;
        bool over() const noexcept { return done > limit; }
    };
    void split_by_head(const Bitmap& ids, size_t first, size_t past, bool keyed, std::vector<HeadTotal>& out,
                       Work& work) const;
    // The head total of `ids`, all with a key with the head heads_[at].
    HeadTotal total_of_head(const Bitmap& ids, size_t at, Work& work) const;
    // head_totals, adding its cost to `work`.
    std::vector<HeadTotal> head_totals(const Bitmap& of, Work& work) const;
    // A head's ids are counted against the slices as bitsets from this many
    // ids a chunk (on average) on.
    static constexpr uint64_t kDenseIdsPerChunk = 256;
    // The head totals of the groups `members` (indices into `groups`) into
    // `out`: chunk by chunk, the keys of the ids the groups hold are read off
    // the slices' words at once (a transpose of each word's bit matrix), then
    // each group's ids add theirs to its totals.
    void sum_in_one_pass(std::span<const Bitmap> groups, std::span<const size_t> members,
                         std::vector<std::vector<HeadTotal>>& out) const;

    std::vector<SmallEntry>::iterator small_find(uint32_t id) {
        return std::lower_bound(small_.begin(), small_.end(), id,
                                [](const SmallEntry& e, uint32_t v) { return e.id < v; });
    }
    // Enters a pair (an id already there takes the new key); false when the
    // pairs are full and the id is new.
    bool small_insert(uint32_t id, const OrderKey& key) {
        const auto it = small_find(id);
        if (it != small_.end() && it->id == id) {
            it->key = key;
            return true;
        }
        if (small_.size() >= small_limit_) return false;
        small_.insert(it, SmallEntry{id, key});
        return true;
    }
    // Changes batched up to this many entries; a batch of fewer ids than this
    // is carried out id by id.
    static constexpr size_t kMaxWaiting = 65536;
    static constexpr size_t kWaitingOneByOne = 16;
    void remove_from_slices(uint32_t id, const OrderKey& key) {
        for (size_t i = 0; i < kOrderKeyBits; ++i) {
            Entry& entry = slices_[i][key.bit(i)];
            if (entry.pending_count() != 0) entry.flush();
            entry.bitmap().remove(id);
        }
    }
    // Moves the pairs into freshly made slices.
    void make_large();
    void insert_many_into_slices(std::span<const uint32_t> ids, std::span<const OrderKey> keys);
    // The key of an id, read back from the slices' bitmaps.
    OrderKey key_in_slices(uint32_t id) const;


    // Slices live on the heap: 152 buffered bitmaps are too large to move by
    // value. Empty while the ids are kept as pairs.
    std::vector<Slice> slices_;
    // The ids of each key, in the large form (see ValueIds).
    // The key table's part of insert_many_into_slices when its keys repeat.
    bool insert_keys_by_key(std::span<const uint32_t> ids, std::span<const OrderKey> keys, bool ascending);
    // Keys entered key by key repeat at least this often on average.
    static constexpr size_t kIdsPerKey = 8;
    ValueIds<OrderKey, OrderKeyHash> eq_ids_;
    // The ids of each key bucket, in the large form: range answers that read
    // few bitmaps, whatever the number of ids (see bucket_of).
    ValueIds<uint32_t, BucketHash> buckets_;
    // Bounds of the keys of each bucket, while the buckets are kept.
    std::unordered_map<uint32_t, KeyBounds, BucketHash> bucket_bounds_;
    // The buckets that have bounds, in order: a range reads only these, however
    // wide the gap of bucket numbers between negative and positive keys.
    Bitmap occupied_;
    // Removals and writes not carried out yet, in the order they came.
    std::vector<WaitingChange<OrderKey>> waiting_;
    // The small form: pairs sorted by id, one per id.
    std::vector<SmallEntry> small_;
    size_t small_limit_;
    // The bits set in any key and in every key entered so far. Removals leave
    // them as they are: a bit shared by every key ever entered is shared by the
    // keys still present.
    OrderKey seen_any_{0, 0};
    OrderKey seen_all_{0xFFFF, ~uint64_t{0}};
    // The smallest and largest key entered so far (bounds after removals too).
    OrderKey lowest_{0xFFFF, ~uint64_t{0}};
    OrderKey highest_{0, 0};
    bool any_key_ = false;
    // The heads of the keys entered so far, ascending, with their mantissa bits
    // (at most 4096: one per sign and exponent); and the one met last.
    std::vector<HeadBits> heads_;
    size_t last_head_ = 0;
    // The lowest key bit of the buckets (see bucket_of): set from the keys
    // when the slices are made, raised as keys further apart come.
    size_t bucket_low_ = 0;
};

namespace detail {

// Borrows this thread's scratch bitmap for one range search; a second borrow on
// the same thread, or one after the thread's storage is gone, is an internal error.
class ScratchBitmap {
public:
    ScratchBitmap();
    ~ScratchBitmap();
    ScratchBitmap(const ScratchBitmap&) = delete;
    ScratchBitmap& operator=(const ScratchBitmap&) = delete;
    Bitmap& get() noexcept { return *bitmap_; }

private:
    Bitmap* bitmap_;
};

}  // namespace detail

}  // namespace vorlane
