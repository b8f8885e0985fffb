#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

#include <algorithm>
#include <bit>
#include <array>
#include <optional>
#include <unordered_map>

#include "index/structures/heap_bytes.hpp"

namespace vorlane {

namespace {

enum class ScratchState : uint8_t { Unused, Live, Destroyed };

// Plain thread-locals stay readable while the thread's objects are destroyed,
// which is how a late use is told from a first one.
thread_local ScratchState scratch_state = ScratchState::Unused;
thread_local bool scratch_borrowed = false;

struct ScratchHolder {
    Bitmap bitmap;
    ~ScratchHolder() { scratch_state = ScratchState::Destroyed; }
};

Bitmap& thread_scratch() {
    if (scratch_state == ScratchState::Destroyed) {
        fail("scratch bitmap used after its thread storage was destroyed");
    }
    thread_local ScratchHolder holder;
    scratch_state = ScratchState::Live;
    return holder.bitmap;
}

}  // namespace

// `tmp` := a AND b, reusing tmp's memory.
static const Bitmap& tmp_and(Bitmap& tmp, const Bitmap& a, const Bitmap& b) {
    tmp.overwrite(a);
    tmp.and_inplace(b);
    return tmp;
}

namespace detail {

ScratchBitmap::ScratchBitmap() {
    if (scratch_borrowed) fail("scratch bitmap already borrowed on this thread");
    bitmap_ = &thread_scratch();
    scratch_borrowed = true;
}

ScratchBitmap::~ScratchBitmap() { scratch_borrowed = false; }

}  // namespace detail

Bitmap NumericalBitmap::get_eq(const OrderKey& key, const Bitmap* candidates) const {
    if (is_small()) {
        std::vector<uint32_t> ids;
        for (const SmallEntry& e : small_) {
            if (e.key == key && (candidates == nullptr || candidates->contains(e.id))) ids.push_back(e.id);
        }
        return Bitmap(std::span<const uint32_t>(ids));
    }
    if (!any_key_) return Bitmap();
    if (eq_ids_.active()) return eq_ids_.find(key, candidates);
    if (buckets_.active()) return eq_in_bucket(key, candidates);
    // Only bits that tell entered keys apart narrow anything; they are taken
    // smallest side first, so the result turns sparse (and cheap) early.
    std::array<std::pair<uint64_t, const Bitmap*>, kOrderKeyBits> sides;
    size_t count = 0;
    for (size_t i = 0; i < kOrderKeyBits; ++i) {
        bool shared = false;
        if (shared_bit(i, shared)) {
            if (key.bit(i) != shared) return Bitmap();  // no entered key looks like this
            continue;
        }
        const Bitmap& side = slices_[i][key.bit(i)].bitmap();
        sides[count++] = {side.cardinality(), &side};
    }
    if (count == 0) {
        // One distinct key was ever entered: every entered id has it.
        const Bitmap& all = slices_[0][key.bit(0)].bitmap();
        return candidates != nullptr ? candidates->and_(all) : all.clone();
    }
    std::sort(sides.begin(), sides.begin() + static_cast<std::ptrdiff_t>(count));
    Bitmap result = candidates != nullptr ? candidates->and_(*sides[0].second) : sides[0].second->clone();
    for (size_t j = 1; j < count && !result.is_empty(); ++j) result.and_inplace(*sides[j].second);
    return result;
}

void NumericalBitmap::range_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates, bool greater,
                                      bool inclusive) const {
    if (!is_small() && any_key_ && buckets_.active()) {
        if (const int beside = beside_buckets(key); beside != 0) {
            // Every entered key lies on one side of `key`.
            if ((beside < 0) == greater) or_keyed(base, candidates, false);
            return;
        }
        // When far more buckets lie on the asked side of `key` than on the other
        // (a wide range over values of both signs, whose small magnitudes spread
        // over many buckets), the other side is found and taken from the keyed ids.
        const uint32_t at = bucket_of(key);
        const uint64_t above = occupied_.range_cardinality(at + 1, uint64_t{UINT32_MAX} + 1);
        const uint64_t below = occupied_.range_cardinality(0, at);
        const uint64_t far = greater ? above : below;
        const uint64_t near = greater ? below : above;
        if (far > kUnionContainers && far > kComplementShare * near) {
            Bitmap other;
            side_into_base(key, other, candidates, std::nullopt, kOrderKeyBits, !greater, !inclusive);
            Bitmap keyed = candidates.and_(slices_[0][0].bitmap());
            keyed.or_inplace(candidates.and_(slices_[0][1].bitmap()));
            keyed.andnot_inplace(other);
            base.or_inplace(keyed);
            return;
        }
        side_into_base(key, base, candidates, std::nullopt, kOrderKeyBits, greater, inclusive);
        return;
    }
    walk_slices(key, base, candidates, greater, inclusive);
}

void NumericalBitmap::walk_slices(const OrderKey& key, Bitmap& base, const Bitmap& candidates, bool greater,
                                  bool inclusive, size_t top) const {
    if (!is_small()) {
        walk_bits(key, base, candidates, greater, inclusive, top, seen_any_, seen_all_, false);
        return;
    }
    std::vector<uint32_t> ids;
    for (const SmallEntry& e : small_) {
        const bool in = greater ? (inclusive ? e.key >= key : e.key > key)
                                : (inclusive ? e.key <= key : e.key < key);
        if (in && candidates.contains(e.id)) ids.push_back(e.id);
    }
    base.add_many(ids);
}

void NumericalBitmap::walk_bits(const OrderKey& key, Bitmap& base, const Bitmap& candidates, bool greater,
                                bool inclusive, size_t top, const OrderKey& any, const OrderKey& all,
                                bool keyed) const {
    // From the top bit down, `equal` holds the candidates whose key agrees with
    // `key` on every bit so far. Where the key has the bit that loses (0 for
    // greater, 1 for less), the still-equal ids on the other side are in the
    // result; every id sits in exactly one side of a slice.
    detail::ScratchBitmap scratch;
    Bitmap& tmp = scratch.get();
    const bool winning = greater;  // the bit value that makes an id greater (or smaller)
    std::optional<Bitmap> equal;
    for (size_t i = top; i-- > 0;) {
        const bool b = key.bit(i);
        const bool shared = any.bit(i);
        if ((equal || keyed) && shared == all.bit(i)) {
            // Every id left has a key with `shared` here.
            if (b == shared) continue;
            if (shared == winning) base.or_inplace(equal ? *equal : candidates);
            return;
        }
        const Bitmap& same = slices_[i][b].bitmap();
        if (!equal) {
            if (b != winning) base.or_inplace(tmp_and(tmp, candidates, slices_[i][winning].bitmap()));
            equal = candidates.and_(same);
        } else {
            if (b != winning) base.or_inplace(tmp_and(tmp, *equal, slices_[i][winning].bitmap()));
            equal->and_inplace(same);
        }
        if (equal->is_empty()) return;
    }
    if (!inclusive) return;
    if (equal) {
        base.or_inplace(*equal);
    } else if (keyed) {
        base.or_inplace(candidates);  // every bit was shared: each has `key` itself
    }
}

void NumericalBitmap::merge_from(const NumericalBitmap& other, const Bitmap& objects) {
    check(!other.has_waiting_removals(), "merging from a structure with removals waiting");
    settle_removals();
    if (other.is_small()) {
        for (const SmallEntry& e : other.small_) {
            if (objects.contains(e.id)) insert(e.id, e.key);
        }
        return;
    }
    if (is_small()) {
        // Every id of `other` is on one side of each slice. When the ids taken
        // over still fit, their keys are read back and kept as pairs.
        Bitmap incoming = other.slices_[0][0].bitmap().or_(other.slices_[0][1].bitmap());
        incoming.and_inplace(objects);
        if (small_.size() + incoming.cardinality() <= small_limit_) {
            incoming.for_each([&](uint32_t id) { insert(id, other.key_in_slices(id)); });
            return;
        }
        make_large();
    }
    if (!other.any_key_) return;
    if (!any_key_) {
        seen_any_ = other.seen_any_;
        seen_all_ = other.seen_all_;
        lowest_ = other.lowest_;
        highest_ = other.highest_;
        any_key_ = true;
    } else {
        seen_any_.head = static_cast<uint16_t>(seen_any_.head | other.seen_any_.head);
        seen_any_.mantissa |= other.seen_any_.mantissa;
        seen_all_.head = static_cast<uint16_t>(seen_all_.head & other.seen_all_.head);
        seen_all_.mantissa &= other.seen_all_.mantissa;
        lowest_ = std::min(lowest_, other.lowest_);
        highest_ = std::max(highest_, other.highest_);
    }
    for (const HeadBits& h : other.heads_) {
        // Each of other's heads with its bits, as if its keys were noted here.
        note_head(OrderKey{h.head, h.any});
        note_head(OrderKey{h.head, h.all});
    }
    // Both sides' buckets go into buckets at least as wide as either's.
    fit_buckets();
    if (buckets_.active() && other.buckets_.active() && other.bucket_low_ > bucket_low_) {
        coarsen_buckets(other.bucket_low_);
    }
    for (size_t i = 0; i < kOrderKeyBits; ++i) {
        for (size_t side = 0; side < 2; ++side) {
            const Bitmap& bits = other.slices_[i][side].bitmap();
            if (!bits.is_empty()) slices_[i][side].bitmap().or_inplace(bits.and_(objects));
        }
    }
    eq_ids_.merge_from(other.eq_ids_, objects);
    // A bucket of `other` lies within one of these; its low bound tells which.
    const auto here = [&](uint32_t bucket) { return bucket_of(other.bucket_bounds_.at(bucket).low); };
    buckets_.merge_from(other.buckets_, objects, here);
    if (buckets_.active()) {
        for (const auto& [bucket, bounds] : other.bucket_bounds_) widen_bounds(bucket_of(bounds.low), bounds);
    } else {
        drop_bucket_bounds();
    }
}

OrderKey NumericalBitmap::key_in_slices(uint32_t id) const {
    OrderKey key{0, 0};
    for (size_t i = 0; i < 64; ++i) {
        if (slices_[i][1].bitmap().contains(id)) key.mantissa |= uint64_t{1} << i;
    }
    for (size_t i = 64; i < kOrderKeyBits; ++i) {
        if (slices_[i][1].bitmap().contains(id)) key.head = static_cast<uint16_t>(key.head | (1U << (i - 64)));
    }
    return key;
}

void NumericalBitmap::make_large() {
    if (!is_small()) return;
    slices_.resize(kOrderKeyBits);
    std::vector<uint32_t> ids;
    std::vector<OrderKey> keys;
    ids.reserve(small_.size());
    keys.reserve(small_.size());
    for (const SmallEntry& e : small_) {
        ids.push_back(e.id);
        keys.push_back(e.key);
    }
    std::vector<SmallEntry>().swap(small_);
    bucket_low_ = wanted_bucket_low();
    insert_many_into_slices(ids, keys);
}

void NumericalBitmap::coarsen_buckets(size_t low) {
    // A bucket's keys share every bit from the old low bit up, so any of them
    // (its low bound) tells the bucket it falls into.
    std::unordered_map<uint32_t, KeyBounds, BucketHash> bounds;
    Bitmap occupied;
    for (const auto& [bucket, b] : bucket_bounds_) {
        const uint32_t into = window_bits(b.low, low);
        const auto [it, fresh] = bounds.try_emplace(into, b);
        if (fresh) {
            occupied.add(into);
        } else {
            it->second.widen(b);
        }
    }
    buckets_.rekey([&](uint32_t bucket) { return window_bits(bucket_bounds_.at(bucket).low, low); });
    bucket_bounds_.swap(bounds);
    occupied_ = std::move(occupied);
    bucket_low_ = low;
}

void NumericalBitmap::settle_removals() {
    if (waiting_.empty()) return;
    std::vector<WaitingChange<OrderKey>> waiting;
    waiting.swap(waiting_);
    const std::vector<NetChange<OrderKey>> changes = net_changes(waiting);
    if (changes.size() < kWaitingOneByOne) {
        for (const NetChange<OrderKey>& c : changes) {
            if (c.leaving != nullptr && c.staying != nullptr) {
                replace(c.id, *c.leaving, *c.staying);
            } else if (c.leaving != nullptr) {
                remove_from_slices(c.id, *c.leaving);
                eq_ids_.remove(*c.leaving, c.id);
                buckets_.remove(bucket_of(*c.leaving), c.id);
            } else {
                insert(c.id, *c.staying);
            }
        }
        return;
    }
    // The tables lose every leaving key, key by key and bucket by bucket. An id
    // that stays with a new key moves only on the slices where its two keys
    // differ; an id that leaves for good leaves every slice, and one that
    // arrives enters every slice, each as one sorted group.
    std::vector<std::pair<uint32_t, OrderKey>> gone;
    std::vector<uint32_t> gone_ids;
    std::vector<uint32_t> arriving_ids;
    std::vector<OrderKey> arriving_keys;
    std::vector<const NetChange<OrderKey>*> moves;
    for (const NetChange<OrderKey>& c : changes) {
        if (c.leaving != nullptr) gone.emplace_back(c.id, *c.leaving);
        if (c.leaving != nullptr && c.staying != nullptr) {
            moves.push_back(&c);
        } else if (c.leaving != nullptr) {
            gone_ids.push_back(c.id);
        } else {
            arriving_ids.push_back(c.id);
            arriving_keys.push_back(*c.staying);
        }
    }
    flush();
    if (!moves.empty()) {
        // A move is only sound for an id the slices hold: one they do not hold
        // (never entered here) arrives whole instead.
        std::vector<uint32_t> move_ids;
        move_ids.reserve(moves.size());
        for (const auto* c : moves) move_ids.push_back(c->id);
        Bitmap held{std::span<const uint32_t>(move_ids)};
        held.and_inplace(slices_[0][0].bitmap().or_(slices_[0][1].bitmap()));
        if (held.cardinality() != moves.size()) {
            std::erase_if(moves, [&](const NetChange<OrderKey>* c) {
                if (held.contains(c->id)) return false;
                arriving_ids.push_back(c->id);
                arriving_keys.push_back(*c->staying);
                return true;
            });
        }
    }
    if (!gone.empty()) {
        eq_ids_.remove_batch(gone, [](const OrderKey& key) { return key; });
        buckets_.remove_batch(gone, [this](const OrderKey& key) { return bucket_of(key); });
    }
    if (!gone_ids.empty()) {
        const Bitmap leaving{std::span<const uint32_t>(gone_ids)};  // ascending: changes come by id
        for (Slice& slice : slices_) {
            slice[0].bitmap().andnot_inplace(leaving);
            slice[1].bitmap().andnot_inplace(leaving);
        }
    }
    if (!moves.empty()) {
        OrderKey changed{0, 0};
        for (const auto* c : moves) {
            changed.head = static_cast<uint16_t>(changed.head | (c->leaving->head ^ c->staying->head));
            changed.mantissa |= c->leaving->mantissa ^ c->staying->mantissa;
        }
        std::vector<uint32_t> to_one;
        std::vector<uint32_t> to_zero;
        for (size_t bit = 0; bit < kOrderKeyBits; ++bit) {
            if (!changed.bit(bit)) continue;
            to_one.clear();
            to_zero.clear();
            for (const auto* c : moves) {
                const bool was = c->leaving->bit(bit);
                if (was == c->staying->bit(bit)) continue;
                (was ? to_zero : to_one).push_back(c->id);
            }
            Slice& slice = slices_[bit];
            if (!to_one.empty()) {
                slice[0].bitmap().andnot_inplace(Bitmap{std::span<const uint32_t>(to_one)});
                slice[1].bitmap().add_ascending(to_one);
            }
            if (!to_zero.empty()) {
                slice[1].bitmap().andnot_inplace(Bitmap{std::span<const uint32_t>(to_zero)});
                slice[0].bitmap().add_ascending(to_zero);
            }
        }
        // The tables take the new keys grouped by key, ids ascending within each.
        std::vector<std::pair<OrderKey, uint32_t>> entering;
        entering.reserve(moves.size());
        for (const auto* c : moves) entering.emplace_back(*c->staying, c->id);
        std::sort(entering.begin(), entering.end());
        for (const auto& [key, id] : entering) {
            eq_ids_.insert(key, id);
            enter_bucket(id, key);
        }
    }
    insert_many_into_slices(arriving_ids, arriving_keys);
}

void NumericalBitmap::replace(uint32_t id, const OrderKey& before, const OrderKey& after) {
    if (is_small()) {
        remove(id, before);
        insert(id, after);
        return;
    }
    settle_removals();
    Entry& first = slices_[0][before.bit(0)];
    if (first.pending_count() != 0) first.flush();
    if (!first.bitmap().contains(id)) {
        insert(id, after);
        return;
    }
    note(after);
    fit_buckets();
    const uint64_t mantissa_moves = before.mantissa ^ after.mantissa;
    const auto head_moves = static_cast<uint32_t>(before.head ^ after.head);
    const auto move = [&](size_t bit) {
        Entry& from = slices_[bit][before.bit(bit)];
        if (from.pending_count() != 0) from.flush();
        from.bitmap().remove(id);
        slices_[bit][after.bit(bit)].bitmap().add(id);
    };
    for (uint64_t bits = mantissa_moves; bits != 0; bits &= bits - 1) move(static_cast<size_t>(std::countr_zero(bits)));
    for (uint32_t bits = head_moves; bits != 0; bits &= bits - 1) move(64 + static_cast<size_t>(std::countr_zero(bits)));
    if (before == after) return;
    eq_ids_.remove(before, id);
    eq_ids_.insert(after, id);
    if (!buckets_.active()) return;
    if (bucket_of(before) == bucket_of(after)) {
        widen_bounds(bucket_of(after), KeyBounds(after));
        return;
    }
    buckets_.remove(bucket_of(before), id);
    enter_bucket(id, after);
}

void NumericalBitmap::insert_many(std::span<const uint32_t> ids, std::span<const OrderKey> keys) {
    check(ids.size() == keys.size(), "ids and keys differ in number");
    if (ids.empty()) return;
    settle_removals();
    for (const OrderKey& k : keys) note(k);
    if (is_small()) {
        if (small_.size() + ids.size() <= small_limit_) {
            for (size_t j = 0; j < ids.size(); ++j) small_insert(ids[j], keys[j]);
            return;
        }
        make_large();
    }
    fit_buckets();
    insert_many_into_slices(ids, keys);
}

void NumericalBitmap::insert_many_into_slices(std::span<const uint32_t> ids, std::span<const OrderKey> keys) {
    if (ids.empty()) return;
    OrderKey any{0, 0};
    OrderKey all{0xFFFF, ~uint64_t{0}};
    for (const OrderKey& k : keys) {
        any.head = static_cast<uint16_t>(any.head | k.head);
        any.mantissa |= k.mantissa;
        all.head = static_cast<uint16_t>(all.head & k.head);
        all.mantissa &= k.mantissa;
    }
    // Subsets of ascending ids are ascending: checked once for every slice.
    const bool ascending = strictly_ascending(ids);
    // Ids of objects made one after another are often consecutive: a shared bit
    // then adds them as one range (only for distinct ascending ids, which span
    // exactly their number).
    const bool consecutive = ascending && ids.back() - ids.front() + 1 == ids.size();
    const auto add_subset = [&](Bitmap& target, std::span<const uint32_t> subset) {
        if (ascending) {
            target.add_ascending(subset);
        } else {
            target.add_sorted(subset);
        }
    };
    const auto add_all = [&](Bitmap& target) {
        if (consecutive) {
            target.add_range(ids.front(), ids.back());
        } else {
            add_subset(target, ids);
        }
    };
    // Sides are split without branches: every id is written to both arrays and
    // only the matching side's count moves on.
    const size_t n = ids.size();
    std::vector<uint32_t> ones(n);
    std::vector<uint32_t> zeros(n);
    std::vector<uint64_t> mantissas(n);
    std::vector<uint64_t> heads(n);
    for (size_t j = 0; j < n; ++j) {
        mantissas[j] = keys[j].mantissa;
        heads[j] = keys[j].head;
    }
    for (size_t bit = 0; bit < kOrderKeyBits; ++bit) {
        if (all.bit(bit)) {
            add_all(slices_[bit][1].bitmap());
            continue;
        }
        if (!any.bit(bit)) {
            add_all(slices_[bit][0].bitmap());
            continue;
        }
        const uint64_t* words = bit >= 64 ? heads.data() : mantissas.data();
        const unsigned shift = static_cast<unsigned>(bit >= 64 ? bit - 64 : bit);
        size_t n_ones = 0;
        size_t n_zeros = 0;
        for (size_t j = 0; j < n; ++j) {
            const auto set = static_cast<size_t>((words[j] >> shift) & 1U);
            ones[n_ones] = ids[j];
            zeros[n_zeros] = ids[j];
            n_ones += set;
            n_zeros += 1 - set;
        }
        add_subset(slices_[bit][1].bitmap(), std::span<const uint32_t>(ones.data(), n_ones));
        add_subset(slices_[bit][0].bitmap(), std::span<const uint32_t>(zeros.data(), n_zeros));
    }
    if (eq_ids_.active() && !insert_keys_by_key(ids, keys, ascending)) {
        for (size_t j = 0; j < n && eq_ids_.active(); ++j) eq_ids_.insert(keys[j], ids[j]);
    }
    for (size_t j = 0; j < n && buckets_.active(); ++j) enter_bucket(ids[j], keys[j]);
}

bool NumericalBitmap::insert_keys_by_key(std::span<const uint32_t> ids, std::span<const OrderKey> keys, bool ascending) {
    // Few keys for many ids (an age, a year): each key's ids enter its set
    // together. False, with nothing entered, when the keys are too varied.
    const size_t most = std::max<size_t>(16, ids.size() / kIdsPerKey);
    std::unordered_map<OrderKey, uint32_t, OrderKeyHash> number_of;
    std::vector<OrderKey> distinct;
    std::vector<std::vector<uint32_t>> ids_of;
    for (size_t j = 0; j < ids.size(); ++j) {
        const auto [it, fresh] = number_of.try_emplace(keys[j], static_cast<uint32_t>(distinct.size()));
        if (fresh) {
            if (distinct.size() == most) return false;
            distinct.push_back(keys[j]);
            ids_of.emplace_back();
        }
        ids_of[it->second].push_back(ids[j]);
    }
    for (size_t k = 0; k < distinct.size() && eq_ids_.active(); ++k) {
        std::vector<uint32_t>& each = ids_of[k];
        if (!ascending) {
            std::sort(each.begin(), each.end());
            each.erase(std::unique(each.begin(), each.end()), each.end());
        }
        eq_ids_.insert_many(distinct[k], std::span<const uint32_t>(each), [](const auto&) {});
    }
    return true;
}

size_t NumericalBitmap::memory_bytes() const noexcept {
    size_t n = vector_bytes(slices_);
    for (const Slice& slice : slices_) n += slice[0].memory_bytes() + slice[1].memory_bytes();
    n += eq_ids_.memory_bytes() + buckets_.memory_bytes() + hash_table_bytes(bucket_bounds_) +
         occupied_.memory_bytes();
    return n + vector_bytes(waiting_) + vector_bytes(small_) + vector_bytes(heads_);
}

}  // namespace vorlane
