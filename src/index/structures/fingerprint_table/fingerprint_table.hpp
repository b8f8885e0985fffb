#pragma once
// Equality for a many-valued attribute: (32-bit fingerprint, id) pairs in one
// open-addressed array, 10 to 12 bytes per id and no allocation per entry. A
// lookup gives the ids whose value hashes like the needle; the caller checks
// them against the values themselves, so a collision costs a check, never a
// wrong answer.
//
// Layout: a pair's home slot is its fingerprint scaled to the capacity, so homes
// rise with fingerprints, and pairs sit in fingerprint order at or after their
// home (linear probing kept sorted). A lookup stops at the first larger
// fingerprint, an insertion shifts the rest of its run right, and a removal
// shifts the run back left. The array does not wrap around: a tail past the
// capacity takes the last run, and a run that reaches its end grows the table.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/structures/bitmap.hpp"
#include "index/structures/fxhash.hpp"
#include "index/structures/heap_bytes.hpp"

namespace vorlane {

class FingerprintTable {
public:
    using Hash = uint32_t (*)(std::string_view);
    static uint32_t default_hash(std::string_view text) noexcept {
        return static_cast<uint32_t>(digest_bytes(text) >> 32);
    }
    // A fingerprint held by more ids than this moves to a bitmap of its own: a
    // value shared by many ids would otherwise be one long run to shift through.
    static constexpr size_t kMaxRun = 16;

    // `hash` replaces the fingerprint function (tests force collisions with it).
    explicit FingerprintTable(Hash hash = nullptr) : hash_(hash != nullptr ? hash : &default_hash) {}

    Hash hash_function() const noexcept { return hash_; }
    // 0 marks a free slot, so no value fingerprints to 0.
    uint32_t fingerprint(std::string_view text) const noexcept {
        const uint32_t f = hash_(text);
        return f == 0 ? 1 : f;
    }

    size_t size() const {
        size_t n = used_;
        for (const auto& [fp, ids] : shared_) n += ids.cardinality();
        return n;
    }
    // The array plus the bitmaps of shared fingerprints.
    size_t bytes() const {
        size_t n = slots_.capacity() * sizeof(Entry);
        for (const auto& [fp, ids] : shared_) n += ids.size_in_bytes() + sizeof(std::pair<uint32_t, Bitmap>);
        return n;
    }
    // The same as held in memory (see heap_bytes.hpp): the array with its
    // tail, the table of shared fingerprints and their bitmaps.
    size_t memory_bytes() const noexcept {
        size_t n = vector_bytes(slots_) + hash_table_bytes(shared_);
        for (const auto& [fp, ids] : shared_) n += ids.memory_bytes();
        return n;
    }

    // Replaces the contents with `pairs` of (fingerprint, id), sized for `expected` ids.
    void assign(std::vector<std::pair<uint32_t, uint32_t>> pairs, size_t expected = 0) {
        shared_.clear();
        std::sort(pairs.begin(), pairs.end());
        pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
        std::vector<Entry> kept;
        kept.reserve(pairs.size());
        for (size_t from = 0; from < pairs.size();) {
            size_t to = from;
            while (to < pairs.size() && pairs[to].first == pairs[from].first) ++to;
            if (to - from > kMaxRun) {
                Bitmap& ids = shared_[pairs[from].first];
                for (size_t k = from; k < to; ++k) ids.add(pairs[k].second);
            } else {
                for (size_t k = from; k < to; ++k) kept.push_back(Entry{pairs[k].first, pairs[k].second});
            }
            from = to;
        }
        place(kept, capacity_for(std::max(expected, kept.size())));
    }

    // Room for `ids` pairs in all without growing step by step. A bulk add
    // reserves group after group: each growth is by half again at least, or
    // every group would lay the whole table out anew.
    void reserve(size_t ids) {
        if (capacity_for(ids) > cap_) place(entries(), std::max(capacity_for(ids), cap_ + cap_ / 2));
    }

    void insert(uint32_t fp, uint32_t id) {
        if (!shared_.empty()) {
            const auto it = shared_.find(fp);
            if (it != shared_.end()) {
                it->second.add(id);
                return;
            }
        }
        if ((used_ + 1) * 5 > cap_ * 4) place(entries(), grown(cap_));
        for (;;) {
            size_t pos = home(fp);
            while (pos < slots_.size() && slots_[pos].fp != 0 && slots_[pos].fp < fp) ++pos;
            size_t same = 0;
            for (; pos < slots_.size() && slots_[pos].fp == fp; ++pos, ++same) {
                if (slots_[pos].id == id) return;
            }
            if (same >= kMaxRun) {
                share(fp, pos - same, pos, id);
                return;
            }
            size_t free = pos;
            while (free < slots_.size() && slots_[free].fp != 0) ++free;
            if (free == slots_.size()) {  // the run reached the end of the tail
                place(entries(), grown(cap_));
                continue;
            }
            std::move_backward(slots_.begin() + static_cast<std::ptrdiff_t>(pos),
                               slots_.begin() + static_cast<std::ptrdiff_t>(free),
                               slots_.begin() + static_cast<std::ptrdiff_t>(free) + 1);
            slots_[pos] = Entry{fp, id};
            ++used_;
            return;
        }
    }

    // A pair that is not there is ignored.
    void remove(uint32_t fp, uint32_t id) {
        if (!shared_.empty()) {
            const auto it = shared_.find(fp);
            if (it != shared_.end()) {
                it->second.remove(id);
                if (it->second.is_empty()) shared_.erase(it);
                return;
            }
        }
        if (slots_.empty()) return;
        size_t pos = home(fp);
        while (pos < slots_.size() && slots_[pos].fp != 0 && slots_[pos].fp < fp) ++pos;
        while (pos < slots_.size() && slots_[pos].fp == fp && slots_[pos].id != id) ++pos;
        if (pos == slots_.size() || slots_[pos].fp != fp) return;
        erase_at(pos);
    }

    // Narrowing: keeps only the ids in `keep`.
    void retain(const Bitmap& keep) {
        std::vector<Entry> kept;
        kept.reserve(used_);
        for (const Entry& e : slots_) {
            if (e.fp != 0 && keep.contains(e.id)) kept.push_back(e);
        }
        for (auto it = shared_.begin(); it != shared_.end();) {
            it->second.and_inplace(keep);
            it = it->second.is_empty() ? shared_.erase(it) : std::next(it);
        }
        // Shrinks when far below the lowest load a growth leaves.
        const size_t cap = kept.size() * 5 < cap_ * 2 ? capacity_for(kept.size()) : cap_;
        place(kept, cap);
    }

    // The ids with fingerprint `fp`: those in the array are appended to `ids`;
    // a shared fingerprint's bitmap is returned instead (else nullptr).
    const Bitmap* find(uint32_t fp, std::vector<uint32_t>& ids) const {
        if (!shared_.empty()) {
            const auto it = shared_.find(fp);
            if (it != shared_.end()) return &it->second;
        }
        if (slots_.empty()) return nullptr;
        size_t pos = home(fp);
        while (pos < slots_.size() && slots_[pos].fp != 0 && slots_[pos].fp < fp) ++pos;
        for (; pos < slots_.size() && slots_[pos].fp == fp; ++pos) ids.push_back(slots_[pos].id);
        return nullptr;
    }

    // Every pair, as fn(fingerprint, id).
    template <class Fn>
    void for_each(Fn&& fn) const {
        for (const Entry& e : slots_) {
            if (e.fp != 0) fn(e.fp, e.id);
        }
        for (const auto& [fp, ids] : shared_) ids.for_each([&](uint32_t id) { fn(fp, id); });
    }

private:
    struct Entry {
        uint32_t fp;
        uint32_t id;
    };
    static constexpr size_t kMinCapacity = 16;

    size_t home(uint32_t fp) const noexcept { return static_cast<size_t>((uint64_t{fp} * cap_) >> 32); }
    // Load at most 0.8 of the home slots, 2/3 just after a growth by 1.2 (12
    // bytes per id), 0.7 when laid out for a known count.
    static size_t capacity_for(size_t ids) { return std::max(kMinCapacity, ids * 10 / 7 + 1); }
    static size_t grown(size_t cap) { return std::max(kMinCapacity, cap + cap / 5 + 1); }
    static size_t tail_for(size_t cap) { return 32 + cap / 64; }

    std::vector<Entry> entries() const {
        std::vector<Entry> out;
        out.reserve(used_);
        for (const Entry& e : slots_) {
            if (e.fp != 0) out.push_back(e);
        }
        return out;
    }

    // Lays out `sorted` (by fingerprint) afresh over `cap` home slots, in one
    // pass: each pair goes to its home or just after the previous pair.
    void place(const std::vector<Entry>& sorted, size_t cap) {
        for (;; cap = grown(cap)) {
            cap_ = cap;
            std::vector<Entry>(cap + tail_for(cap), Entry{0, 0}).swap(slots_);
            size_t next = 0;
            bool fits = true;
            for (const Entry& e : sorted) {
                const size_t pos = std::max(home(e.fp), next);
                if (pos >= slots_.size()) {
                    fits = false;
                    break;
                }
                slots_[pos] = e;
                next = pos + 1;
            }
            if (fits) break;
        }
        used_ = sorted.size();
    }

    // Backward shift: the pairs after `pos` move left while that keeps them at
    // or after their home.
    void erase_at(size_t pos) {
        size_t hole = pos;
        for (size_t next = pos + 1; next < slots_.size() && slots_[next].fp != 0 && home(slots_[next].fp) <= hole;
             ++next) {
            slots_[hole] = slots_[next];
            hole = next;
        }
        slots_[hole] = Entry{0, 0};
        --used_;
    }

    // Moves the pairs of `fp` at [from, to) and the new `id` into a bitmap.
    void share(uint32_t fp, size_t from, size_t to, uint32_t id) {
        Bitmap& ids = shared_[fp];
        ids.add(id);
        for (size_t k = from; k < to; ++k) ids.add(slots_[k].id);
        for (size_t k = from; k < to; ++k) erase_at(from);
    }

    std::vector<Entry> slots_;
    std::unordered_map<uint32_t, Bitmap> shared_;
    size_t cap_ = 0;
    size_t used_ = 0;
    Hash hash_;
};

}  // namespace vorlane
