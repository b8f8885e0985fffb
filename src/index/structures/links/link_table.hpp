#pragma once
// Links holder -> nested object of one attribute, counted per occurrence: a
// holder whose list holds the same object twice has the link twice, and the
// link goes with its last occurrence. Both directions are kept, each as a list
// of ids per id, so an occurrence repeated is an id repeated in both lists
// (a long list counts its repeats instead) and no count is stored anywhere else.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "index/structures/bitmap.hpp"
#include "index/structures/links/holder_sets.hpp"

namespace vorlane {

namespace detail {

// A list of 32-bit ids (a multiset, in no order) per 32-bit key. Slots come in
// pages of 256 keys, allocated as keys arrive and freed when they empty, found
// through blocks of 256 page pointers, one block per 65,536 keys (as in
// PagedIdMap): ids are handed out one after another, so the keys of a table
// cluster in runs. A slot is 8 bytes, read in one cache line: empty, one id
// inline, or a heap list whose first word is its size. A heap list's capacity
// follows from its size (a size class filling an allocator chunk). Dense keys
// with one id each cost 8 bytes a key. Past 253 ids a list is hashed instead,
// so that removing one id from a popular object's list costs the same however
// long the list is: an open-addressing set of its distinct ids, plus a second
// small table of the occurrences past the first for ids held more than once
// (most lists have none).
class IdLists {
public:
    IdLists() = default;
    IdLists(IdLists&& other) noexcept;
    IdLists& operator=(IdLists&& other) noexcept;
    IdLists(const IdLists&) = delete;
    IdLists& operator=(const IdLists&) = delete;
    ~IdLists() = default;

    // The id that marks an empty slot of a hashed list: its occurrences are
    // counted in the list's header instead.
    static constexpr uint32_t kSpareId = 0xFFFFFFFFU;

    // One list as read; valid until the next change.
    class List {
    public:
        List() = default;
        // Occurrences.
        size_t size() const noexcept { return table_ == nullptr ? size_ : table_[kHashSize] & ~kLargeBit; }
        bool empty() const noexcept { return size() == 0; }
        // The cost of finding an id, in ids compared: the length of a plain
        // list; a hashed list's probe, most likely a cache miss, is counted
        // as a scan of a few cache lines.
        size_t lookup_cost() const noexcept { return table_ == nullptr ? size_ : 16; }
        bool contains(uint32_t id) const noexcept;
        uint32_t count(uint32_t id) const noexcept;

        // fn(id) once per occurrence.
        template <class Fn>
        void for_each(Fn&& fn) const {
            if (table_ == nullptr) {
                for (size_t t = 0; t < size_; ++t) fn(ids_[t]);
                return;
            }
            const uint32_t* slots = table_ + kHashHead;
            const size_t capacity = size_t{1} << table_[kHashBits];
            for (size_t t = 0; t < capacity; ++t) {
                if (slots[t] != kSpareId) fn(slots[t]);
            }
            if (const uint32_t* extra = extras_of(table_)) {
                const uint32_t* entries = extra + kExtraHead;
                const size_t extra_capacity = size_t{1} << extra[kExtraBits];
                for (size_t t = 0; t < extra_capacity; ++t) {
                    if (entries[2 * t] == kSpareId) continue;
                    for (uint32_t c = entries[2 * t + 1]; c != 0; --c) fn(entries[2 * t]);
                }
            }
            for (uint32_t c = table_[kHashSpare]; c != 0; --c) fn(kSpareId);
        }

    private:
        friend class IdLists;
        List(const uint32_t* ids, size_t size) noexcept : ids_(ids), size_(size) {}
        explicit List(const uint32_t* table) noexcept : table_(table) {}
        const uint32_t* ids_ = nullptr;  // a plain list
        size_t size_ = 0;
        const uint32_t* table_ = nullptr;  // or a hashed list's words
    };

    // Adds one occurrence of `id` to the list of `key`.
    void append(uint32_t key, uint32_t id) { append_many(key, std::span<const uint32_t>(&id, 1)); }
    // Adds one occurrence of each of `ids` to the list of `key`, growing it
    // once. All or nothing: if it throws, the list is as it was.
    void append_many(uint32_t key, std::span<const uint32_t> ids);
    // Adds each (key << 32 | id) of `entries`, sorted by key: a key's ids go
    // in one append, and the slots and lists of later keys are fetched ahead.
    // `added` counts the entries added so far, so that a caller can undo them
    // if it throws (a key's ids are added all or none).
    void append_sorted(std::span<const uint64_t> entries, size_t& added);
    // Removes one occurrence of `id` from the list of `key`; false if it held none.
    bool erase_one(uint32_t key, uint32_t id) noexcept;

    List list(uint32_t key) const noexcept {
        const Page* page = page_of(key);
        return page == nullptr ? List() : view(*page, key & kPageMask);
    }
    // The ids of every list whose key is in `keys`, as a set.
    Bitmap gather(const Bitmap& keys) const;

    // fn(key, list) for every non-empty list, keys ascending; fn must not change the table.
    template <class Fn>
    void for_each_list(Fn&& fn) const {
        for (size_t b = 0; b < blocks_.size(); ++b) {
            if (!blocks_[b]) continue;
            for (size_t p = 0; p < kBlockSize; ++p) {
                const Page* page = blocks_[b]->pages[p].get();
                if (page == nullptr) continue;
                const uint32_t base = static_cast<uint32_t>((b << (kPageBits + kBlockBits)) | (p << kPageBits));
                for (unsigned i = 0; i < kPageSize; ++i) {
                    if (!is_empty(page->slots[i])) fn(base | i, view(*page, i));
                }
            }
        }
    }

    // Keys with a non-empty list.
    size_t keys() const noexcept { return keys_; }
    size_t memory_bytes() const noexcept;

private:
    static constexpr unsigned kPageBits = 8;
    static constexpr unsigned kBlockBits = 8;
    static constexpr unsigned kPageSize = 1U << kPageBits;
    static constexpr unsigned kBlockSize = 1U << kBlockBits;
    static constexpr uint32_t kPageMask = kPageSize - 1;
    static constexpr uint32_t kBlockMask = kBlockSize - 1;

    // A heap list's first word: its size, with this bit set for a hashed list.
    static constexpr uint32_t kLargeBit = 0x80000000U;

    // A hashed list's words: its occurrences (with kLargeBit), log2 of its slot
    // count, the ids in its slots, the occurrences of kSpareId, the address of
    // its table of further occurrences (or null), then the slots (kSpareId: empty).
    static constexpr size_t kHashSize = 0;
    static constexpr size_t kHashBits = 1;
    static constexpr size_t kHashDistinct = 2;
    static constexpr size_t kHashSpare = 3;
    static constexpr size_t kHashExtras = 4;  // two words
    static constexpr size_t kHashHead = 6;
    // The table of further occurrences: log2 of its entry count, the entries
    // used, then entries of two words (id, occurrences past the first).
    static constexpr size_t kExtraBits = 0;
    static constexpr size_t kExtraUsed = 1;
    static constexpr size_t kExtraHead = 2;
    static const uint32_t* extras_of(const uint32_t* table) noexcept {
        const uint32_t* extras;
        std::memcpy(&extras, table + kHashExtras, sizeof(extras));
        return extras;
    }

    // All zero: empty. Tag word odd: one id, in the other word. Otherwise the
    // two words hold a heap list's address (which malloc aligns, so it is even).
    struct Slot {
        uint32_t words[2];
    };
    static constexpr unsigned kTagWord = std::endian::native == std::endian::little ? 0 : 1;
    static constexpr unsigned kIdWord = 1 - kTagWord;
    static bool is_empty(const Slot& slot) noexcept { return (slot.words[0] | slot.words[1]) == 0; }
    static bool is_inline(const Slot& slot) noexcept { return (slot.words[kTagWord] & 1U) != 0; }
    static uint32_t* heap_of(const Slot& slot) noexcept {
        uint32_t* heap;
        std::memcpy(&heap, slot.words, sizeof(heap));
        return heap;
    }
    static void set_heap(Slot& slot, uint32_t* heap) noexcept {
        slot.words[0] = slot.words[1] = 0;
        std::memcpy(slot.words, &heap, sizeof(heap));
    }
    static void set_inline(Slot& slot, uint32_t id) noexcept {
        slot.words[kTagWord] = 1;
        slot.words[kIdWord] = id;
    }

    struct Page {
        Page() = default;
        Page(const Page&) = delete;
        Page& operator=(const Page&) = delete;
        ~Page();
        Slot slots[kPageSize]{};
        uint16_t used = 0;  // non-empty slots
    };
    struct Block {
        std::unique_ptr<Page> pages[kBlockSize];
        uint32_t used = 0;  // pages allocated
    };

    static List view(const Page& page, unsigned i) noexcept {
        const Slot& slot = page.slots[i];
        if (is_inline(slot)) return List(&slot.words[kIdWord], 1);
        if (is_empty(slot)) return List();
        const uint32_t* heap = heap_of(slot);
        if ((heap[0] & kLargeBit) == 0) return List(heap + 1, heap[0]);
        return List(heap);
    }
    const Page* page_of(uint32_t key) const noexcept {
        const size_t block = key >> (kPageBits + kBlockBits);
        if (block >= blocks_.size() || !blocks_[block]) return nullptr;
        return blocks_[block]->pages[(key >> kPageBits) & kBlockMask].get();
    }
    Page* page_of(uint32_t key) noexcept {
        return const_cast<Page*>(std::as_const(*this).page_of(key));
    }
    Page& page_for_write(uint32_t key);
    void release_page(uint32_t key) noexcept;
    // Empties slot i of `page` (the slot of `key`), whose heap list is gone.
    void drop_slot(uint32_t key, Page& page, unsigned i) noexcept;
    // Cuts the plain list of `key` (slot i of `page`, `size` ids) to its first n ids.
    void truncate(uint32_t key, Page& page, unsigned i, size_t size, size_t n) noexcept;

    // Hashed lists.
    uint32_t* make_table(size_t bits);
    void release_table(uint32_t* table) noexcept;
    // Adds `ids` to `table`, which may move (returned, and kept in `slot` as
    // it goes if there is one). All or nothing: if it throws, the ids added are
    // taken out again, and a table with no slot yet is released.
    uint32_t* table_add(uint32_t* table, std::span<const uint32_t> ids, Slot* slot);
    // Adds one occurrence, growing the table first if it must.
    uint32_t* table_add_one(uint32_t* table, uint32_t id);
    // Removes one occurrence; false if it held none. Never moves the table.
    bool table_erase(uint32_t* table, uint32_t id) noexcept;
    // After a removal: gives the table back room it no longer needs, or
    // makes the list plain again once it is short.
    void settle(uint32_t key, Page& page, unsigned i) noexcept;
    // A table copied into one of 2^bits slots (null if that cannot be allocated).
    uint32_t* rehash(uint32_t* table, size_t bits) noexcept;
    uint32_t* rehash_extras(uint32_t* extras, size_t bits) noexcept;
    void set_extras(uint32_t* table, uint32_t* extras) noexcept;
    // Appends a hashed list's ids to `out`, once each, in no order.
    static void append_distinct(const uint32_t* table, std::vector<uint32_t>& out);

    uint32_t* allocate(size_t words);
    uint32_t* allocate_or_null(size_t words) noexcept;
    uint32_t* grow(uint32_t* heap, size_t words, size_t new_words);
    uint32_t* shrink(uint32_t* heap, size_t words, size_t new_words) noexcept;
    void release(uint32_t* heap, size_t words) noexcept;

    std::vector<std::unique_ptr<Block>> blocks_;
    size_t block_count_ = 0;
    size_t page_count_ = 0;
    size_t keys_ = 0;
    size_t list_bytes_ = 0;  // heap arrays of the lists, with the allocator's chunk headers
};

}  // namespace detail

// Links holder -> nested object of one attribute, counted per occurrence.
// Beside the links, while nested objects are few for their holders (a few
// shared objects held by many), the distinct holders of each nested object
// as a set: counting by nested object then costs an intersection per nested
// object, not a visit per holder. Past `kAlwaysKept` nested objects, once
// they have fewer than `kHoldersPerNested` holders each, the sets are dropped
// (they would cost about as much as the links); they are built again from the
// links, checked each time the links have doubled since the last look, once
// the links have twice that many holders per nested object.
class LinkTable {
public:
    static constexpr size_t kAlwaysKept = 4096;
    static constexpr uint64_t kHoldersPerNested = 16;

    LinkTable() = default;
    LinkTable(LinkTable&& other) noexcept
        : held_(std::move(other.held_)),
          holders_(std::move(other.holders_)),
          sets_(std::move(other.sets_)),
          size_(std::exchange(other.size_, 0)),
          sets_kept_(std::exchange(other.sets_kept_, true)),
          next_look_(std::exchange(other.next_look_, 0)) {}
    LinkTable& operator=(LinkTable&& other) noexcept {
        held_ = std::move(other.held_);
        holders_ = std::move(other.holders_);
        sets_ = std::move(other.sets_);
        size_ = std::exchange(other.size_, 0);
        sets_kept_ = std::exchange(other.sets_kept_, true);
        next_look_ = std::exchange(other.next_look_, 0);
        return *this;
    }
    LinkTable(const LinkTable&) = delete;
    LinkTable& operator=(const LinkTable&) = delete;

    // One more occurrence.
    void insert(uint32_t holder, uint32_t nested) {
        held_.append(holder, nested);
        try {
            holders_.append(nested, holder);
        } catch (...) {
            held_.erase_one(holder, nested);
            throw;
        }
        ++size_;
        if (!sets_kept_) {
            look_again();
            return;
        }
        try {
            if (sets_.add(nested, holder) && !keeps_sets(sets_.nested(), sets_.pairs())) drop_sets();
        } catch (...) {
            drop_sets();  // the links stand; counts walk the holders until the sets are built again
        }
    }
    // One occurrence fewer; false if there was none.
    bool remove(uint32_t holder, uint32_t nested) noexcept {
        if (!held_.erase_one(holder, nested)) return false;
        holders_.erase_one(nested, holder);
        --size_;
        if (size_ == 0) {
            // No links, no sets to keep up: kept again from the next link on.
            sets_.clear();
            sets_kept_ = true;
        } else if (sets_kept_) {
            if (!contains(holder, nested)) {
                try {
                    sets_.erase(nested, holder);
                } catch (...) {
                    drop_sets();
                }
            }
        } else if (next_look_ > 4 * size_) {
            next_look_ = 2 * size_;  // so that links shrunk and grown again are looked at
        }
        return true;
    }
    // One more occurrence of each (holder, nested) pair, as one insert each
    // would add them, at a fraction of the cost for a large batch: each side's
    // lists are appended in key order, a key's ids at once. If it throws, the
    // table is as it was.
    void insert_many(std::span<const std::pair<uint32_t, uint32_t>> pairs);
    bool contains(uint32_t holder, uint32_t nested) const noexcept {
        const auto held = held_.list(holder);
        const auto holders = holders_.list(nested);
        return held.lookup_cost() <= holders.lookup_cost() ? held.contains(nested) : holders.contains(holder);
    }
    // Occurrences of the pair (counted in the list cheaper to search).
    uint32_t count(uint32_t holder, uint32_t nested) const noexcept {
        const auto held = held_.list(holder);
        const auto holders = holders_.list(nested);
        return held.lookup_cost() <= holders.lookup_cost() ? held.count(nested) : holders.count(holder);
    }
    bool has_holders(uint32_t nested) const noexcept { return !holders_.list(nested).empty(); }
    bool holds_any(uint32_t holder) const noexcept { return !held_.list(holder).empty(); }
    // Occurrences of links to `nested`: its holders, when each holder has one link.
    size_t links_to(uint32_t nested) const noexcept { return holders_.list(nested).size(); }
    // Whether every holder has exactly one link (holds one object, once).
    bool one_link_per_holder() const noexcept { return held_.keys() == size_; }

    // The holders of some id of `nested`: a union of the holder sets while
    // they are kept, else gathered from the links.
    Bitmap holders_of(const Bitmap& nested) const {
        return sets_kept_ ? sets_.holders_of(nested) : holders_.gather(nested);
    }
    // The nested objects held by some id of `holders`.
    Bitmap held_by(const Bitmap& holders) const { return held_.gather(holders); }

    // The distinct holders of each nested object, or null while they are not kept.
    const detail::HolderSets* holder_sets() const noexcept { return sets_kept_ ? &sets_ : nullptr; }

    // fn(nested) once per occurrence held by `holder`; fn must not change the table.
    template <class Fn>
    void for_each_held(uint32_t holder, Fn&& fn) const {
        held_.list(holder).for_each(fn);
    }
    // fn(holder, nested) once per occurrence, every link, holders ascending;
    // fn must not change the table.
    template <class Fn>
    void for_each(Fn&& fn) const {
        held_.for_each_list([&](uint32_t holder, const detail::IdLists::List& held) {
            held.for_each([&](uint32_t nested) { fn(holder, nested); });
        });
    }
    // Occurrences in all.
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Heap bytes held: pages, page blocks and list arrays (with the allocator's
    // chunk headers for the arrays, whose sizes are chosen to fill chunks), and
    // the holder sets.
    size_t memory_bytes() const noexcept {
        return held_.memory_bytes() + holders_.memory_bytes() + sets_.memory_bytes();
    }

private:
    static bool keeps_sets(size_t nested, uint64_t pairs) noexcept {
        return nested <= kAlwaysKept || pairs >= nested * kHoldersPerNested;
    }
    void drop_sets() noexcept {
        sets_.clear();
        sets_kept_ = false;
        next_look_ = 2 * size_;
    }
    // While the sets are dropped: builds them again if the links have doubled
    // since the last look and have holders enough per nested object.
    void look_again() noexcept {
        if (size_ >= next_look_) rebuild_sets();
    }
    void rebuild_sets() noexcept;

    detail::IdLists held_;     // holder -> nested ids, one per occurrence
    detail::IdLists holders_;  // nested -> holder ids, one per occurrence
    detail::HolderSets sets_;  // nested -> distinct holders, while kept
    size_t size_ = 0;
    bool sets_kept_ = true;
    size_t next_look_ = 0;  // while dropped: the occurrences at which to look again
};

}  // namespace vorlane
