#pragma once
// The one owner of CRoaring handles: a move-only compressed set of 32-bit ids.
// Only this file calls the CRoaring C API (the pinned release compiled into the
// extension).
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

// Built as C++, CRoaring declares its C API inside ::roaring::api.
#include <roaring.h>

#include "index/structures/errors.hpp"

namespace vorlane {

using namespace ::roaring::api;  // NOLINT: the C API, see above

inline constexpr const char* kBitmapCreateFailed = "assertion failed: success";
inline constexpr const char* kBitmapCloneFailed = "Memory allocation failure cloning roaring bitmap";

// Whether every id is larger than the one before it.
bool strictly_ascending(std::span<const uint32_t> ids) noexcept;

class Bitmap {
    using Raw = roaring_bitmap_t;

public:
    // No allocation until the first write: an index holds many bitmaps that stay empty.
    Bitmap() noexcept : raw_(nullptr) {}
    Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() { add_many(std::span(ids.begin(), ids.size())); }
    explicit Bitmap(std::span<const uint32_t> ids) : Bitmap() { add_many(ids); }
    Bitmap(Bitmap&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    Bitmap& operator=(Bitmap&& other) noexcept {
        std::swap(raw_, other.raw_);
        return *this;
    }
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    ~Bitmap() {
        if (raw_ != nullptr) roaring_bitmap_free(raw_);
    }

    Bitmap clone() const {
        if (raw_ == nullptr) return Bitmap();
        Raw* copy = roaring_bitmap_copy(raw_);
        if (copy == nullptr) fail(kBitmapCloneFailed);
        return Bitmap(copy);
    }

    void add(uint32_t id) { roaring_bitmap_add(mut(), id); }
    // Adds `id`; true when it was not there yet (one lookup for both).
    bool add_checked(uint32_t id) { return roaring_bitmap_add_checked(mut(), id); }
    void add_many(std::span<const uint32_t> ids) {
        if (!ids.empty()) roaring_bitmap_add_many(mut(), ids.size(), ids.data());
    }
    // The same for ids in ascending order (as a bulk add produces them): a long
    // enough run is laid out as whole containers and merged in one union, which
    // costs a fraction of adding the ids one at a time. Any other input is added
    // one by one.
    void add_sorted(std::span<const uint32_t> ids);
    // add_sorted for ids the caller knows to be strictly ascending.
    void add_ascending(std::span<const uint32_t> ids);
    // Adds every id from `first` up to and including `last`.
    void add_range(uint32_t first, uint32_t last) {
        if (first <= last) roaring_bitmap_add_range(mut(), first, uint64_t{last} + 1);
    }
    // A run container that removals break into many runs is turned into a
    // bitset (or array): each further removal would move its whole run array.
    void remove(uint32_t id);
    // Removes ids in place (ascending is cheapest): a few one by one, which is
    // cheaper than a difference that walks every container they fall in; more
    // through one difference with a bitmap of them.
    void remove_many(std::span<const uint32_t> ids);
    // The same; true when `id` was there.
    bool remove_checked(uint32_t id);
    bool contains(uint32_t id) const { return raw_ != nullptr && roaring_bitmap_contains(raw_, id); }
    uint64_t cardinality() const { return raw_ == nullptr ? 0 : roaring_bitmap_get_cardinality(raw_); }
    bool is_empty() const { return raw_ == nullptr || roaring_bitmap_is_empty(raw_); }
    // Largest id; 0 for an empty set.
    uint32_t maximum() const { return is_empty() ? 0 : roaring_bitmap_maximum(raw_); }
    void clear() {
        if (raw_ != nullptr) roaring_bitmap_clear(raw_);
    }
    // Makes this set equal to `other`, reusing this set's memory where it can.
    void overwrite(const Bitmap& other) {
        if (other.raw_ == nullptr) {
            clear();
        } else if (!roaring_bitmap_overwrite(mut(), other.raw_)) {
            fail(kBitmapCloneFailed);
        }
    }

    Bitmap and_(const Bitmap& other) const {
        if (is_empty() || other.is_empty()) return Bitmap();
        return wrap(roaring_bitmap_and(raw_, other.raw_));
    }
    Bitmap or_(const Bitmap& other) const {
        if (other.is_empty()) return clone();
        if (is_empty()) return other.clone();
        return wrap(roaring_bitmap_or(raw_, other.raw_));
    }
    Bitmap andnot(const Bitmap& other) const {
        if (other.is_empty()) return clone();
        if (is_empty()) return Bitmap();
        return wrap(roaring_bitmap_andnot(raw_, other.raw_));
    }
    void and_inplace(const Bitmap& other) {
        if (&other == this || raw_ == nullptr) return;
        if (other.raw_ == nullptr) {
            clear();
        } else {
            roaring_bitmap_and_inplace(raw_, other.raw_);
        }
    }
    void or_inplace(const Bitmap& other) {
        if (&other != this && !other.is_empty()) roaring_bitmap_or_inplace(mut(), other.raw_);
    }
    void andnot_inplace(const Bitmap& other) {
        if (&other == this) {
            clear();
        } else if (raw_ != nullptr && other.raw_ != nullptr) {
            roaring_bitmap_andnot_inplace(raw_, other.raw_);
        }
    }
    // The union of many sets at once (cheaper than a chain of unions: the
    // containers are merged lazily and finished once). Empty sets are skipped.
    static Bitmap or_many(std::span<const Bitmap* const> sets) {
        std::vector<const Raw*> raws;
        raws.reserve(sets.size());
        for (const Bitmap* b : sets) {
            if (!b->is_empty()) raws.push_back(b->raw_);
        }
        if (raws.empty()) return Bitmap();
        if (raws.size() == 1) return wrap(roaring_bitmap_copy(raws[0]));
        return wrap(roaring_bitmap_or_many(raws.size(), raws.data()));
    }
    static Bitmap or_many(std::span<const Bitmap> sets) {
        std::vector<const Bitmap*> pointers;
        pointers.reserve(sets.size());
        for (const Bitmap& b : sets) pointers.push_back(&b);
        return or_many(std::span<const Bitmap* const>(pointers));
    }
    // Whether the two sets share an id (without building the intersection).
    bool intersects(const Bitmap& other) const {
        return raw_ != nullptr && other.raw_ != nullptr && roaring_bitmap_intersect(raw_, other.raw_);
    }
    uint64_t and_cardinality(const Bitmap& other) const {
        if (raw_ == nullptr || other.raw_ == nullptr) return 0;
        return roaring_bitmap_and_cardinality(raw_, other.raw_);
    }
    bool operator==(const Bitmap& other) const {
        if (raw_ == nullptr || other.raw_ == nullptr) return is_empty() && other.is_empty();
        return roaring_bitmap_equals(raw_, other.raw_);
    }

    // Calls fn(id) for every id in ascending order; fn returns false to stop early.
    template <class Fn>
    void for_each(Fn&& fn) const {
        if (raw_ == nullptr) return;
        roaring_iterate(
            raw_,
            [](uint32_t value, void* param) -> bool {
                auto& f = *static_cast<std::remove_reference_t<Fn>*>(param);
                if constexpr (std::is_void_v<std::invoke_result_t<decltype(f), uint32_t>>) {
                    f(value);
                    return true;
                } else {
                    return static_cast<bool>(f(value));
                }
            },
            &fn);
    }
    // Calls fn(span of ids) for consecutive blocks of up to `kBlock` ids in
    // ascending order: ids are decoded many at a time, not one call per id.
    static constexpr size_t kBlock = 256;
    template <class Fn>
    void for_each_block(Fn&& fn) const {
        if (raw_ == nullptr) return;
        roaring_uint32_iterator_t it;
        roaring_iterator_init(raw_, &it);
        uint32_t buffer[kBlock];
        for (;;) {
            const uint32_t got = roaring_uint32_iterator_read(&it, buffer, kBlock);
            if (got == 0) return;
            fn(std::span<const uint32_t>(buffer, got));
            if (got < kBlock) return;
        }
    }
    // The number of ids in [first, past).
    uint64_t range_cardinality(uint32_t first, uint64_t past) const {
        return raw_ == nullptr || past <= first ? 0 : roaring_bitmap_range_cardinality(raw_, first, past);
    }
    // The number of containers, one per 2^16-id chunk holding any id.
    uint64_t container_count() const {
        return raw_ == nullptr ? 0 : static_cast<uint64_t>(raw_->high_low_container.size);
    }
    // The ids in [first, past), ascending.
    std::vector<uint32_t> values_in(uint32_t first, uint64_t past) const;
    // The smallest id that is at least `value` (false when there is none).
    bool first_at_least(uint32_t value, uint32_t& found) const {
        if (raw_ == nullptr) return false;
        const uint64_t below = value == 0 ? 0 : roaring_bitmap_rank(raw_, value - 1);
        return below <= UINT32_MAX && roaring_bitmap_select(raw_, static_cast<uint32_t>(below), &found);
    }
    // The largest id that is at most `value` (false when there is none).
    bool last_at_most(uint32_t value, uint32_t& found) const {
        if (raw_ == nullptr) return false;
        const uint64_t upto = roaring_bitmap_rank(raw_, value);
        return upto != 0 && roaring_bitmap_select(raw_, static_cast<uint32_t>(upto - 1), &found);
    }
    std::vector<uint32_t> to_vector() const {
        std::vector<uint32_t> out(cardinality());
        if (!out.empty()) roaring_bitmap_to_uint32_array(raw_, out.data());
        return out;
    }
    // A copy that keeps every chunk as a bitset, however few its ids: a set
    // met with bitsets again and again (counting the ids both hold) is met
    // word by word then, not id by id. For such reading only.
    Bitmap with_bitset_chunks() const;
    // Dense access, one chunk of 2^16 ids at a time (ids key * 65536 + 0...65535).
    static constexpr size_t kChunkWords = 1024;
    // The keys of the chunks holding any id, ascending.
    std::vector<uint16_t> chunk_keys() const;
    // The ids of chunk `key` as kChunkWords words (bit i of word w: the id
    // with low half 64w + i): the set's own words when it keeps the chunk as
    // a bitset, else written into `scratch` (kChunkWords words; all zero
    // when no id is there).
    const uint64_t* chunk_words(uint16_t key, uint64_t* scratch) const;
    // The low halves of the ids of chunk `key`, ascending, written to `out`
    // (room for 65536); how many.
    size_t chunk_lows(uint16_t key, uint16_t* out) const;
    // Calls fn(first, bits) for each aligned word of 64 ids that holds any id,
    // in ascending order: bit i of `bits` stands for id first + i, and first is
    // a multiple of 64. A bitset chunk is read where it lies, a chunk of few
    // ids id by id, a chunk of runs through a copy of its words.
    template <class Fn>
    void for_each_word(Fn&& fn) const {
        if (raw_ == nullptr) return;
        uint64_t scratch[kChunkWords];
        const size_t chunks = container_count();
        for (size_t i = 0; i < chunks; ++i) {
            uint16_t key = 0;
            const uint16_t* lows = nullptr;
            size_t count = 0;
            const uint64_t* words = chunk_at(i, key, scratch, lows, count);
            const uint32_t base = uint32_t{key} << 16;
            if (words != nullptr) {
                for (uint32_t w = 0; w < kChunkWords; ++w) {
                    if (words[w] != 0) fn(base + w * 64, words[w]);
                }
                continue;
            }
            for (size_t k = 0; k < count;) {
                const uint32_t word = lows[k] >> 6;
                uint64_t bits = 0;
                for (; k < count && (lows[k] >> 6) == word; ++k) bits |= uint64_t{1} << (lows[k] & 63);
                fn(base + word * 64, bits);
            }
        }
    }
    size_t size_in_bytes() const { return raw_ == nullptr ? 0 : roaring_bitmap_size_in_bytes(raw_); }
    // The heap the set holds in memory (see heap_bytes.hpp): the handle, the
    // array of container pointers, keys and types at its allocated size, and
    // each container with the room it reserved, not the serialized size.
    size_t memory_bytes() const noexcept;
    bool run_optimize() { return raw_ != nullptr && roaring_bitmap_run_optimize(raw_); }

private:
    explicit Bitmap(Raw* raw) noexcept : raw_(raw) {}
    // The i-th chunk (of container_count()): its key, and either its words
    // (the set's own for a bitset chunk, else written into `scratch`) or, for
    // a chunk kept as an array, null with `lows` and `count` set to its ids'
    // low halves.
    const uint64_t* chunk_at(size_t i, uint16_t& key, uint64_t* scratch, const uint16_t*& lows, size_t& count) const;
    static Raw* create() {
        Raw* raw = roaring_bitmap_create();
        if (raw == nullptr) fail(kBitmapCreateFailed);
        return raw;
    }
    static Bitmap wrap(Raw* raw) {
        if (raw == nullptr) fail(kBitmapCreateFailed);
        return Bitmap(raw);
    }
    // The handle for writing, created on first use. Readers never create it, so
    // concurrent readers of an empty bitmap touch nothing.
    Raw* mut() {
        if (raw_ == nullptr) raw_ = create();
        return raw_;
    }

    Raw* raw_;
};

}  // namespace vorlane
