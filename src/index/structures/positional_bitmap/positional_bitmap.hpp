#pragma once
// The string index of one value map: per byte position and byte value the ids
// whose string has that byte there, plus per position the ids whose string
// starts or ends there. All strings share one coordinate system centred on the
// middle position, so equality, prefix, suffix and substring searches become
// intersections of per-position bitmaps.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/structures/buffered_bitmap/buffered_bitmap.hpp"
#include "index/structures/fingerprint_table/fingerprint_table.hpp"
#include "index/structures/fxhash.hpp"
#include "index/structures/small_form.hpp"
#include "index/structures/value_ids/value_ids.hpp"
#include "index/structures/waiting_changes/waiting_changes.hpp"

namespace vorlane {

struct StringKeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return static_cast<size_t>(digest_bytes(text)); }
};

class PositionalBitmap {
public:
    static constexpr size_t kBufferCapacity = 32;
    static constexpr size_t kEdgeSlot = 256;
    using Slot = BufferedBitmap<kBufferCapacity>;
    // Slots 0..255 by byte value; slot 256 marks strings starting or ending here.
    using Position = std::array<Slot, 257>;

    // Up to `small_limit` ids are kept as (id, string) pairs instead of in the
    // positions (a position costs 257 bitmaps). `fingerprint` replaces the hash
    // of the equality table (tests force collisions with it).
    explicit PositionalBitmap(size_t small_limit = small_form_limit(), FingerprintTable::Hash fingerprint = nullptr)
        : fingerprints_(fingerprint), small_limit_(small_limit) {}
    PositionalBitmap(PositionalBitmap&&) noexcept = default;
    PositionalBitmap& operator=(PositionalBitmap&&) noexcept = default;

    // Whether the strings are still kept as pairs; once in the positions they stay there.
    bool is_small() const noexcept { return !large_; }

    // --- both forms -------------------------------------------------------
    // The empty string is in no structure: every search below leaves it out.
    void insert(uint32_t id, std::string_view text);
    // Bulk insertion: ids wait in the slots' buffers until `flush` (pairs are
    // entered at once). `reserve` first with the longest string saves growing
    // the positions string by string.
    void push(uint32_t id, std::string_view text);
    // The same for many strings at once: the ids are sorted into their slots
    // first, so each slot takes its ids in one add (ascending ids stay
    // ascending per slot, which bitmaps take cheapest).
    void push_many(std::span<const std::pair<uint32_t, std::string_view>> entries);
    void reserve(size_t longest);
    // `text` must be the string the id was inserted with.
    void remove(uint32_t id, std::string_view text);
    // A removal that may wait: the id leaves the positions and the table of
    // strings with the next batch. Every change settles
    // the batch first, and readers must settle it before they search (see
    // `has_waiting_removals`).
    void remove_soon(uint32_t id, std::string_view text);
    // A write that may wait, as removals do: `id`, entered with `before`, takes
    // `after` with the next batch (or at once in the small form).
    void replace_soon(uint32_t id, std::string_view before, std::string_view after);
    // An insertion that may wait, as removals and writes do (the empty string
    // and the small form enter at once).
    void insert_soon(uint32_t id, std::string_view text);
    // Whether removals or writes wait: no search may run meanwhile.
    bool has_waiting_removals() const noexcept { return !waiting_.empty(); }
    // Carries out every waiting removal and write.
    void settle_removals();
    // Adds the strings of `other` whose ids are in `objects`.
    void merge_from(const PositionalBitmap& other, const Bitmap& objects);
    void flush() {
        for (auto& position : levels_) {
            for (auto& s : *position) s.flush();
        }
    }
    // Narrowing: keeps only the ids in `keep`.
    void retain(const Bitmap& keep) {
        settle_removals();
        empty_.and_inplace(keep);
        if (is_small()) {
            std::erase_if(small_, [&](const SmallEntry& e) { return !keep.contains(e.id); });
            return;
        }
        for (auto& position : levels_) {
            for (auto& s : *position) {
                s.flush();
                s.bitmap().and_inplace(keep);
            }
        }
        if (eq_ids_.active()) {
            eq_ids_.retain(keep);
        } else {
            fingerprints_.retain(keep);
        }
    }

    // Searches (over flushed ids). An empty needle finds every stored string,
    // except for equality, which finds nothing.
    Bitmap equal(std::string_view needle, const Bitmap* candidates = nullptr) const;
    // Every id whose string is any of `needles` (of `candidates` only, when given).
    Bitmap equal_any(std::span<const std::string_view> needles, const Bitmap* candidates = nullptr) const;
    Bitmap starts_with(std::string_view needle) const;
    Bitmap ends_with(std::string_view needle) const;
    Bitmap contains(std::string_view needle) const;
    Bitmap every_string() const;
    // The ids whose string is empty: kept apart, found by none of the searches
    // above, for the answers that list every value (orders and counts).
    const Bitmap& empty_strings() const noexcept { return empty_; }
    // fn(id, text) for every pair of the small form (ids ascending).
    template <class Fn>
    void for_each_small(Fn&& fn) const {
        for (const SmallEntry& e : small_) fn(e.id, std::string_view(e.text));
    }
    // The table of strings (while `uses_fingerprints()` is false).
    const ValueIds<std::string, StringKeyHash>& value_table() const noexcept { return eq_ids_; }

    // Whether equality goes through the fingerprints (the table of strings was dropped).
    bool uses_fingerprints() const noexcept { return !eq_ids_.active(); }
    const FingerprintTable& fingerprints() const noexcept { return fingerprints_; }

    // The heap held (see heap_bytes.hpp): the positions with their bitmaps and
    // buffers, the waiting removals, the table of strings or the fingerprints,
    // and the pairs of the small form.
    size_t memory_bytes() const noexcept;

    // --- the positions (large form) ---------------------------------------
    // Number of positions L; always even. 0 in the small form.
    size_t len() const noexcept { return levels_.size(); }
    size_t middle() const noexcept { return levels_.size() / 2; }

    // Grows to the smallest even length not below `needed`, adding positions on
    // both sides so every stored string keeps its distance to the middle. A
    // small structure moves into the positions first.
    void expand_map(size_t needed) {
        settle_removals();
        make_large();
        if (needed <= levels_.size()) return;
        const size_t target = needed + needed % 2;
        const size_t missing = target - levels_.size();
        const size_t half = missing / 2;
        levels_.reserve(target);
        for (size_t i = 0; i < missing; ++i) levels_.push_back(std::make_unique<Position>());
        // Positions are boxed, so this moves pointers, not 257 bitmaps each.
        std::rotate(levels_.begin(), levels_.end() - static_cast<std::ptrdiff_t>(half),
                    levels_.end());
    }

    // First position of a string of `n` bytes (1 <= n <= L). Odd lengths start
    // at c - (n + 1) / 2 and even ones at c - n / 2, c the middle: the start then
    // moves with the middle on every expansion, so strings entered before and
    // after one are laid out alike, and every string starts left of the middle
    // and ends at or right of c - 1.
    size_t start_of(size_t n) const {
        check(n >= 1 && n <= levels_.size(), "string longer than the positional index");
        return middle() - (n + 1) / 2;
    }

    Position& level(size_t p) {
        check(p < levels_.size(), "position out of bounds");
        return *levels_[p];
    }
    const Position& level(size_t p) const {
        check(p < levels_.size(), "position out of bounds");
        return *levels_[p];
    }
    Slot& slot(size_t p, size_t byte_or_edge) {
        check(byte_or_edge <= kEdgeSlot, "slot out of bounds");
        return level(p)[byte_or_edge];
    }
    const Slot& slot(size_t p, size_t byte_or_edge) const {
        check(byte_or_edge <= kEdgeSlot, "slot out of bounds");
        return level(p)[byte_or_edge];
    }
    Slot& edge(size_t p) { return slot(p, kEdgeSlot); }
    const Slot& edge(size_t p) const { return slot(p, kEdgeSlot); }

private:
    struct SmallEntry {
        uint32_t id;
        std::string text;
    };

    std::vector<SmallEntry>::iterator small_find(uint32_t id) {
        return std::lower_bound(small_.begin(), small_.end(), id,
                                [](const SmallEntry& e, uint32_t v) { return e.id < v; });
    }
    // Enters a pair (an id already there takes the new string); false when the
    // pairs are full and the id is new.
    bool small_insert(uint32_t id, std::string_view text);
    template <class Match>
    Bitmap small_search(Match&& match) const;
    // Moves the pairs into positions; a no-op once large.
    void make_large();
    void add_to_positions(uint32_t id, std::string_view text);
    // fn(slot's bitmap, ids) for every slot the strings of `entries` cover, with
    // that slot's ids in entry order (strings longer than the positions, never
    // entered here, and empty ones are skipped).
    // push_many for strings most of which repeat (a city, a tag): each distinct
    // string's ids enter its slots and its table entry together, so its bytes
    // are read once, not once an id. False, with nothing entered, when the
    // strings are too varied for that to pay.
    bool push_by_string(std::span<const std::pair<uint32_t, std::string_view>> entries, bool ascending);
    // Strings entered by push_by_string repeat at least this often on average.
    static constexpr size_t kIdsPerString = 8;
    template <class Fn>
    void for_each_slot_group(std::span<const std::pair<uint32_t, std::string_view>> entries, Fn&& fn);
    void remove_from_positions(uint32_t id, std::string_view text);
    // The equality structures: the table of strings while it lasts, the
    // fingerprints after it.
    void eq_insert(std::string_view text, uint32_t id);
    void eq_remove(std::string_view text, uint32_t id);
    // Fills the fingerprints from the table of strings, about to be dropped.
    void start_fingerprints(const ValueIds<std::string, StringKeyHash>& table, size_t expected);
    Bitmap fingerprint_equal(std::string_view needle, const Bitmap* candidates) const;
    // Changes batched up to this many entries; a batch of fewer ids than this
    // is carried out id by id.
    static constexpr size_t kMaxWaiting = 65536;
    static constexpr size_t kWaitingOneByOne = 16;

    // Large-form searches.
    const Bitmap& slot_bits(size_t p, size_t which) const { return slot(p, which).bitmap(); }
    Bitmap starts_at(size_t p) const;
    Bitmap ends_at(size_t e) const;
    void and_bytes(Bitmap& r, size_t from, std::string_view needle) const;
    Bitmap needle_at(size_t from, std::string_view needle) const;


    std::vector<std::unique_ptr<Position>> levels_;
    // Removals and writes not carried out yet, in the order they came.
    std::vector<WaitingChange<std::string>> waiting_;
    // The ids of each string, in the large form (see ValueIds).
    ValueIds<std::string, StringKeyHash> eq_ids_;
    // Once `eq_ids_` is dropped: ids by the fingerprint of their string, checked
    // against the positions.
    FingerprintTable fingerprints_;
    // The small form: pairs sorted by id, one per id, no empty string.
    std::vector<SmallEntry> small_;
    // The ids whose string is empty, in either form.
    Bitmap empty_;
    size_t small_limit_;
    // The longest string entered or reserved while small: the length the
    // positions start with.
    size_t longest_ = 0;
    bool large_ = false;
};

}  // namespace vorlane
