#include "index/structures/links/link_table.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vorlane::detail {

namespace {

// glibc's chunk: 8 bytes of header, a multiple of 16 in all, 32 at least. A
// small list is its size and 4k + 1 ids, which fills its chunk exactly.
constexpr size_t kChunkHeader = 8;
constexpr size_t kSmallMax = 253;

// Capacity of a small list of n ids (2 <= n <= 253): the smallest class holding them.
constexpr std::array<uint8_t, kSmallMax + 1> kSmallCapacity = [] {
    constexpr uint8_t classes[] = {5, 9, 13, 21, 29, 45, 61, 93, 125, 189, 253};
    std::array<uint8_t, kSmallMax + 1> out{};
    size_t c = 0;
    for (size_t n = 0; n < out.size(); ++n) {
        while (classes[c] < n) ++c;
        out[n] = classes[c];
    }
    return out;
}();
constexpr size_t small_words(size_t n) { return 1 + kSmallCapacity[n]; }

// A list is hashed at 254 ids and goes back to a small list at 127 or fewer,
// so that a list moving about one length does not change form each time.
constexpr size_t kLargeToSmall = 127;
constexpr size_t kLargeMax = 0x7FFFFFFF;

// Hashed lists: linear probing, at most 3/4 full; a table under 1/8 full is
// rehashed to about 3/8. 512 slots at least (a list of 254 ids is about half
// full), 8 entries at least for the further occurrences.
constexpr size_t kHashMinBits = 9;
constexpr size_t kExtraMinBits = 3;
constexpr uint32_t kNone = IdLists::kSpareId;

constexpr bool over_full(size_t used, size_t bits) {
    const size_t capacity = size_t{1} << bits;
    return used > capacity - capacity / 4;
}
constexpr size_t bits_for(size_t used, size_t min_bits) {
    size_t bits = min_bits;
    while (over_full(used, bits)) ++bits;
    return bits;
}
constexpr bool under_full(size_t used, size_t bits, size_t min_bits) {
    return bits > min_bits && used < (size_t{1} << bits) / 8;
}

// Sequential ids must not fall into sequential slots: a full mix of the bits.
inline size_t home(uint32_t id, size_t mask) noexcept {
    id ^= id >> 16;
    id *= 0x7FEB352DU;
    id ^= id >> 15;
    id *= 0x846CA68BU;
    id ^= id >> 16;
    return id & mask;
}

// Open addressing over entries of kStride words whose first word is the id
// (kNone: empty). The table is never full, so every probe ends.
template <size_t kStride>
uint32_t* probe_find(uint32_t* entries, size_t mask, uint32_t id) noexcept {
    for (size_t t = home(id, mask);; t = (t + 1) & mask) {
        uint32_t* entry = entries + kStride * t;
        if (*entry == id) return entry;
        if (*entry == kNone) return nullptr;
    }
}

// Places `id`, absent from the table, in its first free entry.
template <size_t kStride>
uint32_t* probe_place(uint32_t* entries, size_t mask, uint32_t id) noexcept {
    size_t t = home(id, mask);
    while (entries[kStride * t] != kNone) t = (t + 1) & mask;
    entries[kStride * t] = id;
    return entries + kStride * t;
}

// Empties `at`, moving back the later entries of its run that would otherwise
// no longer be found (no tombstones: a long list's table never fills with them).
template <size_t kStride>
void probe_erase(uint32_t* entries, size_t mask, uint32_t* at) noexcept {
    size_t hole = static_cast<size_t>(at - entries) / kStride;
    for (size_t t = (hole + 1) & mask;; t = (t + 1) & mask) {
        uint32_t* entry = entries + kStride * t;
        if (*entry == kNone) break;
        const size_t h = home(*entry, mask);
        // It stays if its home lies (cyclically) after the hole, up to where it is.
        const bool stays = hole <= t ? (hole < h && h <= t) : (hole < h || h <= t);
        if (stays) continue;
        std::memcpy(entries + kStride * hole, entry, kStride * sizeof(uint32_t));
        hole = t;
    }
    entries[kStride * hole] = kNone;
}

// Ids gathered, sorted and added to the set at once: a block that sorts in cache.
constexpr size_t kGatherBlock = size_t{1} << 16;
// Up to this many keys asked, their lists go straight into the set: a single
// lookup of a plain list builds no buffer.
constexpr uint64_t kDirectKeys = 16;
// Fewer values than this sort faster by comparison than by radix.
constexpr size_t kRadixMin = 1024;

// Sorts `values` by their top 32 bits in three passes of 11 bits (a pass whose
// digit all values share is skipped); `scratch` is working space. Several
// times faster than a comparison sort on scattered ids.
template <class T>
void radix_sort(std::vector<T>& values, std::vector<T>& scratch) {
    constexpr unsigned kDigitBits = 11;
    constexpr uint32_t kDigits = 1U << kDigitBits;
    constexpr unsigned kPasses = 3;
    constexpr unsigned kKeyShift = 8 * sizeof(T) - 32;
    const size_t n = values.size();
    uint32_t counts[kPasses][kDigits] = {};
    for (const T value : values) {
        const auto key = static_cast<uint32_t>(value >> kKeyShift);
        for (unsigned pass = 0; pass < kPasses; ++pass) ++counts[pass][(key >> (kDigitBits * pass)) & (kDigits - 1)];
    }
    scratch.resize(n);
    bool in_scratch = false;
    for (unsigned pass = 0; pass < kPasses; ++pass) {
        uint32_t* const count = counts[pass];
        const unsigned shift = kKeyShift + kDigitBits * pass;
        if (count[(values[0] >> shift) & (kDigits - 1)] == n) continue;
        uint32_t sum = 0;
        for (uint32_t d = 0; d < kDigits; ++d) sum += std::exchange(count[d], sum);
        const T* from = in_scratch ? scratch.data() : values.data();
        T* to = in_scratch ? values.data() : scratch.data();
        for (size_t i = 0; i < n; ++i) to[count[(from[i] >> shift) & (kDigits - 1)]++] = from[i];
        in_scratch = !in_scratch;
    }
    if (in_scratch) values.swap(scratch);
}

template <class T>
void sort_values(std::vector<T>& values, std::vector<T>& scratch) {
    if (values.size() < kRadixMin) {
        std::sort(values.begin(), values.end());
    } else {
        radix_sort(values, scratch);
    }
}

// Sorts `ids` and drops repeats. Ids dense in their range (as the holders of
// a popular object, made one after another, are) set one bit each in a bitset
// of the range, read back in order: two sequential passes, several times
// faster than sorting.
void sort_unique(std::vector<uint32_t>& ids, std::vector<uint32_t>& scratch) {
    constexpr size_t kDenseRatio = 32;  // bits of the range per id, at most
    if (ids.size() >= kRadixMin) {
        const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
        const uint32_t base = *low;
        const size_t range = size_t{*high} - base + 1;
        if (range <= kDenseRatio * ids.size()) {
            std::vector<uint64_t> bits((range + 63) / 64);
            for (const uint32_t id : ids) bits[(id - base) >> 6] |= uint64_t{1} << ((id - base) & 63);
            ids.clear();
            for (size_t w = 0; w < bits.size(); ++w) {
                for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
                    ids.push_back(base + static_cast<uint32_t>(64 * w + static_cast<size_t>(std::countr_zero(word))));
                }
            }
            return;
        }
    }
    sort_values(ids, scratch);
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

}  // namespace

void IdLists::append_distinct(const uint32_t* table, std::vector<uint32_t>& out) {
    const size_t capacity = size_t{1} << table[kHashBits];
    const size_t start = out.size();
    out.resize(start + table[kHashDistinct] + 1);  // room for one write past the end
    const uint32_t* slots = table + kHashHead;
    uint32_t* to = out.data() + start;
    for (size_t t = 0; t < capacity; ++t) {
        // Written whether the slot is empty or not: no branch to mispredict.
        *to = slots[t];
        to += slots[t] != kNone;
    }
    out.resize(static_cast<size_t>(to - out.data()));
    if (table[kHashSpare] != 0) out.push_back(kNone);
}

bool IdLists::List::contains(uint32_t id) const noexcept {
    if (table_ == nullptr) return std::find(ids_, ids_ + size_, id) != ids_ + size_;
    if (id == kNone) return table_[kHashSpare] != 0;
    auto* slots = const_cast<uint32_t*>(table_ + kHashHead);
    return probe_find<1>(slots, (size_t{1} << table_[kHashBits]) - 1, id) != nullptr;
}

uint32_t IdLists::List::count(uint32_t id) const noexcept {
    if (table_ == nullptr) return static_cast<uint32_t>(std::count(ids_, ids_ + size_, id));
    if (id == kNone) return table_[kHashSpare];
    if (!contains(id)) return 0;
    auto* extras = const_cast<uint32_t*>(extras_of(table_));
    if (extras == nullptr) return 1;
    const uint32_t* entry = probe_find<2>(extras + kExtraHead, (size_t{1} << extras[kExtraBits]) - 1, id);
    return entry == nullptr ? 1 : 1 + entry[1];
}

IdLists::Page::~Page() {
    for (const Slot& slot : slots) {
        if (is_inline(slot) || is_empty(slot)) continue;
        uint32_t* heap = heap_of(slot);
        if ((heap[0] & kLargeBit) != 0) std::free(const_cast<uint32_t*>(extras_of(heap)));
        std::free(heap);
    }
}

IdLists::IdLists(IdLists&& other) noexcept
    : blocks_(std::move(other.blocks_)),
      block_count_(std::exchange(other.block_count_, 0)),
      page_count_(std::exchange(other.page_count_, 0)),
      keys_(std::exchange(other.keys_, 0)),
      list_bytes_(std::exchange(other.list_bytes_, 0)) {
    other.blocks_.clear();
}

IdLists& IdLists::operator=(IdLists&& other) noexcept {
    if (this != &other) {
        blocks_ = std::move(other.blocks_);
        other.blocks_.clear();
        block_count_ = std::exchange(other.block_count_, 0);
        page_count_ = std::exchange(other.page_count_, 0);
        keys_ = std::exchange(other.keys_, 0);
        list_bytes_ = std::exchange(other.list_bytes_, 0);
    }
    return *this;
}

uint32_t* IdLists::allocate_or_null(size_t words) noexcept {
    auto* ids = static_cast<uint32_t*>(std::malloc(words * sizeof(uint32_t)));
    if (ids != nullptr) list_bytes_ += words * sizeof(uint32_t) + kChunkHeader;
    return ids;
}

uint32_t* IdLists::allocate(size_t words) {
    uint32_t* ids = allocate_or_null(words);
    if (ids == nullptr) throw std::bad_alloc();
    return ids;
}

uint32_t* IdLists::grow(uint32_t* ids, size_t words, size_t new_words) {
    auto* moved = static_cast<uint32_t*>(std::realloc(ids, new_words * sizeof(uint32_t)));
    if (moved == nullptr) throw std::bad_alloc();  // `ids` is still whole
    list_bytes_ += (new_words - words) * sizeof(uint32_t);
    return moved;
}

uint32_t* IdLists::shrink(uint32_t* ids, size_t words, size_t new_words) noexcept {
    // A shrinking realloc does not fail in practice; if it did, the larger
    // array serves as well (only the byte count drifts).
    auto* moved = static_cast<uint32_t*>(std::realloc(ids, new_words * sizeof(uint32_t)));
    if (moved == nullptr) return ids;
    list_bytes_ -= (words - new_words) * sizeof(uint32_t);
    return moved;
}

void IdLists::release(uint32_t* ids, size_t words) noexcept {
    std::free(ids);
    list_bytes_ -= words * sizeof(uint32_t) + kChunkHeader;
}

IdLists::Page& IdLists::page_for_write(uint32_t key) {
    const size_t b = key >> (kPageBits + kBlockBits);
    if (blocks_.size() <= b) blocks_.resize(b + 1);
    auto& block = blocks_[b];
    if (!block) {
        block = std::make_unique<Block>();
        ++block_count_;
    }
    auto& page = block->pages[(key >> kPageBits) & kBlockMask];
    if (!page) {
        page = std::make_unique<Page>();
        ++block->used;
        ++page_count_;
    }
    return *page;
}

void IdLists::release_page(uint32_t key) noexcept {
    const size_t b = key >> (kPageBits + kBlockBits);
    auto& block = blocks_[b];
    block->pages[(key >> kPageBits) & kBlockMask].reset();
    --page_count_;
    if (--block->used != 0) return;
    block.reset();
    --block_count_;
    while (!blocks_.empty() && !blocks_.back()) blocks_.pop_back();
    if (blocks_.empty()) std::vector<std::unique_ptr<Block>>().swap(blocks_);
}

void IdLists::drop_slot(uint32_t key, Page& page, unsigned i) noexcept {
    page.slots[i].words[0] = page.slots[i].words[1] = 0;
    --keys_;
    if (--page.used == 0) release_page(key);
}

// ---- hashed lists

uint32_t* IdLists::make_table(size_t bits) {
    uint32_t* table = allocate(kHashHead + (size_t{1} << bits));
    table[kHashSize] = kLargeBit;
    table[kHashBits] = static_cast<uint32_t>(bits);
    table[kHashDistinct] = 0;
    table[kHashSpare] = 0;
    set_extras(table, nullptr);
    std::memset(table + kHashHead, 0xFF, (size_t{1} << bits) * sizeof(uint32_t));  // all kNone
    return table;
}

void IdLists::set_extras(uint32_t* table, uint32_t* extras) noexcept {
    std::memcpy(table + kHashExtras, &extras, sizeof(extras));
}

void IdLists::release_table(uint32_t* table) noexcept {
    if (auto* extras = const_cast<uint32_t*>(extras_of(table))) {
        release(extras, kExtraHead + 2 * (size_t{1} << extras[kExtraBits]));
    }
    release(table, kHashHead + (size_t{1} << table[kHashBits]));
}

uint32_t* IdLists::rehash(uint32_t* table, size_t bits) noexcept {
    uint32_t* moved = allocate_or_null(kHashHead + (size_t{1} << bits));
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, table, kHashHead * sizeof(uint32_t));
    moved[kHashBits] = static_cast<uint32_t>(bits);
    const size_t mask = (size_t{1} << bits) - 1;
    std::memset(moved + kHashHead, 0xFF, (mask + 1) * sizeof(uint32_t));
    const size_t old_capacity = size_t{1} << table[kHashBits];
    for (size_t t = 0; t < old_capacity; ++t) {
        const uint32_t id = table[kHashHead + t];
        if (id != kNone) probe_place<1>(moved + kHashHead, mask, id);
    }
    release(table, kHashHead + old_capacity);
    return moved;
}

uint32_t* IdLists::rehash_extras(uint32_t* extras, size_t bits) noexcept {
    uint32_t* moved = allocate_or_null(kExtraHead + 2 * (size_t{1} << bits));
    if (moved == nullptr) return nullptr;
    moved[kExtraBits] = static_cast<uint32_t>(bits);
    moved[kExtraUsed] = 0;
    const size_t mask = (size_t{1} << bits) - 1;
    std::memset(moved + kExtraHead, 0xFF, 2 * (mask + 1) * sizeof(uint32_t));
    if (extras == nullptr) return moved;
    moved[kExtraUsed] = extras[kExtraUsed];
    const size_t old_capacity = size_t{1} << extras[kExtraBits];
    for (size_t t = 0; t < old_capacity; ++t) {
        const uint32_t* entry = extras + kExtraHead + 2 * t;
        if (entry[0] != kNone) probe_place<2>(moved + kExtraHead, mask, entry[0])[1] = entry[1];
    }
    release(extras, kExtraHead + 2 * old_capacity);
    return moved;
}

uint32_t* IdLists::table_add_one(uint32_t* table, uint32_t id) {
    const size_t size = table[kHashSize] & ~kLargeBit;
    if (size == kLargeMax) throw std::length_error("too many links for one id");
    if (id == kNone) {
        ++table[kHashSpare];
    } else {
        size_t bits = table[kHashBits];
        uint32_t* slot = probe_find<1>(table + kHashHead, (size_t{1} << bits) - 1, id);
        if (slot == nullptr) {
            const size_t distinct = table[kHashDistinct];
            if (over_full(distinct + 1, bits)) {
                uint32_t* moved = rehash(table, ++bits);
                if (moved == nullptr) throw std::bad_alloc();
                table = moved;
            }
            probe_place<1>(table + kHashHead, (size_t{1} << bits) - 1, id);
            table[kHashDistinct] = static_cast<uint32_t>(distinct + 1);
        } else {
            // Held already: one more occurrence past the first.
            auto* extras = const_cast<uint32_t*>(extras_of(table));
            uint32_t* entry = nullptr;
            if (extras != nullptr) {
                entry = probe_find<2>(extras + kExtraHead, (size_t{1} << extras[kExtraBits]) - 1, id);
            }
            if (entry != nullptr) {
                ++entry[1];
            } else {
                const size_t used = extras == nullptr ? 0 : extras[kExtraUsed];
                if (extras == nullptr || over_full(used + 1, extras[kExtraBits])) {
                    const size_t new_bits = extras == nullptr ? kExtraMinBits : extras[kExtraBits] + size_t{1};
                    uint32_t* moved = rehash_extras(extras, new_bits);
                    if (moved == nullptr) throw std::bad_alloc();
                    extras = moved;
                    set_extras(table, extras);
                }
                probe_place<2>(extras + kExtraHead, (size_t{1} << extras[kExtraBits]) - 1, id)[1] = 1;
                extras[kExtraUsed] = static_cast<uint32_t>(used + 1);
            }
        }
    }
    table[kHashSize] = static_cast<uint32_t>(size + 1) | kLargeBit;
    return table;
}

uint32_t* IdLists::table_add(uint32_t* table, std::span<const uint32_t> ids, Slot* slot) {
    size_t done = 0;
    try {
        for (; done < ids.size(); ++done) {
            table = table_add_one(table, ids[done]);
            if (slot != nullptr) set_heap(*slot, table);
        }
    } catch (...) {
        // Removing never moves a table: `table` stays the list's.
        for (size_t t = 0; t < done; ++t) table_erase(table, ids[t]);
        if (slot == nullptr) release_table(table);
        throw;
    }
    return table;
}

bool IdLists::table_erase(uint32_t* table, uint32_t id) noexcept {
    if (id == kNone) {
        if (table[kHashSpare] == 0) return false;
        --table[kHashSpare];
    } else {
        const size_t mask = (size_t{1} << table[kHashBits]) - 1;
        uint32_t* slot = probe_find<1>(table + kHashHead, mask, id);
        if (slot == nullptr) return false;
        auto* extras = const_cast<uint32_t*>(extras_of(table));
        uint32_t* entry = nullptr;
        if (extras != nullptr) {
            const size_t extra_mask = (size_t{1} << extras[kExtraBits]) - 1;
            entry = probe_find<2>(extras + kExtraHead, extra_mask, id);
            if (entry != nullptr && --entry[1] == 0) {
                probe_erase<2>(extras + kExtraHead, extra_mask, entry);
                --extras[kExtraUsed];
            }
        }
        if (entry == nullptr) {
            probe_erase<1>(table + kHashHead, mask, slot);
            --table[kHashDistinct];
        }
    }
    table[kHashSize] = static_cast<uint32_t>((table[kHashSize] & ~kLargeBit) - 1) | kLargeBit;
    return true;
}

void IdLists::settle(uint32_t key, Page& page, unsigned i) noexcept {
    Slot& slot = page.slots[i];
    uint32_t* table = heap_of(slot);
    const size_t size = table[kHashSize] & ~kLargeBit;
    if (size <= kLargeToSmall) {
        // Short again: a plain list, written over the table's first words.
        uint32_t ids[kLargeToSmall];
        size_t n = 0;
        List(table).for_each([&](uint32_t id) { ids[n++] = id; });
        if (n <= 1) {
            release_table(table);
            if (n == 1) {
                set_inline(slot, ids[0]);
            } else {
                drop_slot(key, page, i);
            }
            return;
        }
        if (auto* extras = const_cast<uint32_t*>(extras_of(table))) {
            release(extras, kExtraHead + 2 * (size_t{1} << extras[kExtraBits]));
        }
        const size_t words = kHashHead + (size_t{1} << table[kHashBits]);
        table[0] = static_cast<uint32_t>(n);
        std::memcpy(table + 1, ids, n * sizeof(uint32_t));
        set_heap(slot, shrink(table, words, small_words(n)));
        return;
    }
    // Room no longer needed goes back; if it cannot be had, the larger tables serve.
    if (auto* extras = const_cast<uint32_t*>(extras_of(table))) {
        const size_t used = extras[kExtraUsed];
        if (used == 0) {
            release(extras, kExtraHead + 2 * (size_t{1} << extras[kExtraBits]));
            set_extras(table, nullptr);
        } else if (under_full(used, extras[kExtraBits], kExtraMinBits)) {
            if (uint32_t* moved = rehash_extras(extras, bits_for(2 * used, kExtraMinBits))) set_extras(table, moved);
        }
    }
    const size_t distinct = table[kHashDistinct];
    if (under_full(distinct, table[kHashBits], kHashMinBits)) {
        if (uint32_t* moved = rehash(table, bits_for(2 * distinct, kHashMinBits))) set_heap(slot, moved);
    }
}

// ---- every form

void IdLists::append_many(uint32_t key, std::span<const uint32_t> ids) {
    if (ids.empty()) return;
    Page* page = page_of(key);
    Slot* slot = page == nullptr ? nullptr : &page->slots[key & kPageMask];
    const bool empty = slot == nullptr || is_empty(*slot);
    uint32_t* heap = empty || is_inline(*slot) ? nullptr : heap_of(*slot);
    if (heap != nullptr && (heap[0] & kLargeBit) != 0) {
        table_add(heap, ids, slot);
        return;
    }
    const size_t size = empty ? 0 : heap == nullptr ? 1 : heap[0];
    const size_t total = size + ids.size();
    // A new list is built whole before a page is taken for it, so that a
    // failed allocation leaves no page empty.
    auto place_new = [&](auto&& set) {
        if (!empty) {
            set(*slot);
            return;
        }
        Page& target = page_for_write(key);
        set(target.slots[key & kPageMask]);
        ++target.used;
        ++keys_;
    };
    if (total > kSmallMax) {
        uint32_t* table = make_table(kHashMinBits);
        if (heap != nullptr) {
            table = table_add(table, std::span<const uint32_t>(heap + 1, size), nullptr);
        } else if (size == 1) {
            table = table_add(table, std::span<const uint32_t>(&slot->words[kIdWord], 1), nullptr);
        }
        table = table_add(table, ids, nullptr);
        try {
            place_new([&](Slot& s) { set_heap(s, table); });
        } catch (...) {
            release_table(table);
            throw;
        }
        if (heap != nullptr) release(heap, small_words(size));
        return;
    }
    if (total == 1) {
        place_new([&](Slot& s) { set_inline(s, ids[0]); });
        return;
    }
    if (heap != nullptr) {
        if (kSmallCapacity[total] != kSmallCapacity[size]) {
            heap = grow(heap, small_words(size), small_words(total));
            set_heap(*slot, heap);
        }
    } else {
        heap = allocate(small_words(total));
        if (size == 1) heap[1] = slot->words[kIdWord];
        try {
            place_new([&](Slot& s) { set_heap(s, heap); });
        } catch (...) {
            release(heap, small_words(total));
            throw;
        }
    }
    std::memcpy(heap + 1 + size, ids.data(), ids.size() * sizeof(uint32_t));
    heap[0] = static_cast<uint32_t>(total);
}

void IdLists::append_sorted(std::span<const uint64_t> entries, size_t& added) {
    // A key's slot is fetched this many entries ahead, and the list it points
    // to half as many (by then the slot has arrived). The fetches are written
    // out in the loop: GCC drops calls to a function that only prefetches.
    constexpr size_t kSlotAhead = 32;
    constexpr size_t kListAhead = 16;
    const size_t n = entries.size();
    auto key_at = [&](size_t t) { return static_cast<uint32_t>(entries[t] >> 32); };
    // The next entries whose slot and list are to be fetched.
    size_t slot_next = 0;
    size_t list_next = 0;
    std::vector<uint32_t> ids;
    added = 0;
    size_t t = 0;
    while (t < n) {
        const uint32_t key = key_at(t);
        size_t end = t + 1;
        while (end < n && key_at(end) == key) ++end;
        for (const size_t stop = std::min(n, end + kSlotAhead); slot_next < stop; ++slot_next) {
            const uint32_t ahead = key_at(slot_next);
            if (slot_next != 0 && key_at(slot_next - 1) == ahead) continue;
            if (const Page* page = page_of(ahead)) __builtin_prefetch(&page->slots[ahead & kPageMask]);
        }
        for (const size_t stop = std::min(n, end + kListAhead); list_next < stop; ++list_next) {
            const uint32_t ahead = key_at(list_next);
            if (list_next != 0 && key_at(list_next - 1) == ahead) continue;
            const Page* page = page_of(ahead);
            if (page == nullptr) continue;
            const Slot& slot = page->slots[ahead & kPageMask];
            if (!is_empty(slot) && !is_inline(slot)) __builtin_prefetch(heap_of(slot));
        }
        if (end == t + 1) {
            const auto id = static_cast<uint32_t>(entries[t]);
            append_many(key, std::span<const uint32_t>(&id, 1));
        } else {
            ids.clear();
            for (size_t a = t; a < end; ++a) ids.push_back(static_cast<uint32_t>(entries[a]));
            append_many(key, ids);
        }
        added = t = end;
    }
}

void IdLists::truncate(uint32_t key, Page& page, unsigned i, size_t size, size_t n) noexcept {
    Slot& slot = page.slots[i];
    if (size > 1) {
        uint32_t* heap = heap_of(slot);
        if (n > 1) {
            heap[0] = static_cast<uint32_t>(n);
            if (kSmallCapacity[n] < kSmallCapacity[size]) {
                set_heap(slot, shrink(heap, small_words(size), small_words(n)));
            }
            return;
        }
        if (n == 1) set_inline(slot, heap[1]);
        release(heap, small_words(size));
    }
    if (n == 0) drop_slot(key, page, i);
}

bool IdLists::erase_one(uint32_t key, uint32_t id) noexcept {
    Page* page = page_of(key);
    if (page == nullptr) return false;
    const unsigned i = key & kPageMask;
    const Slot& slot = page->slots[i];
    if (is_empty(slot)) return false;
    if (!is_inline(slot) && (heap_of(slot)[0] & kLargeBit) != 0) {
        if (!table_erase(heap_of(slot), id)) return false;
        settle(key, *page, i);
        return true;
    }
    const List ids = view(*page, i);
    auto* data = const_cast<uint32_t*>(ids.ids_);
    const size_t n = ids.size_;
    auto* at = std::find(data, data + n, id);
    if (at == data + n) return false;
    *at = data[n - 1];
    truncate(key, *page, i, n, n - 1);
    return true;
}

size_t IdLists::memory_bytes() const noexcept {
    return blocks_.capacity() * sizeof(blocks_[0]) + block_count_ * sizeof(Block) + page_count_ * sizeof(Page) +
           list_bytes_;
}

Bitmap IdLists::gather(const Bitmap& keys) const {
    Bitmap out;
    if (keys_ == 0) return out;
    const uint64_t asked = keys.cardinality();
    if (asked == 0) return out;
    std::vector<uint32_t> buffer;
    std::vector<uint32_t> scratch;
    if (asked <= kDirectKeys) {
        keys.for_each([&](uint32_t key) {
            const List ids = list(key);
            if (ids.table_ == nullptr) {
                out.add_many(std::span<const uint32_t>(ids.ids_, ids.size_));
                return;
            }
            // A hashed list's ids are in no order: sorted first, they go into
            // the set several times faster.
            buffer.clear();
            append_distinct(ids.table_, buffer);
            sort_unique(buffer, scratch);
            out.add_ascending(buffer);
        });
        return out;
    }

    auto flush = [&] {
        sort_unique(buffer, scratch);
        out.add_ascending(buffer);
        buffer.clear();
    };
    // A hashed list goes in whole: its ids are in no order, and split across
    // blocks they would each reach every part of the set.
    auto take = [&](const List& ids) {
        if (ids.table_ == nullptr) {
            buffer.insert(buffer.end(), ids.ids_, ids.ids_ + ids.size_);
        } else {
            append_distinct(ids.table_, buffer);
        }
        if (buffer.size() >= kGatherBlock) flush();
    };
    if (asked <= keys_) {
        // Walk the keys asked, a block at a time: every slot of the block is
        // fetched before any is read, so the cache misses of scattered keys overlap.
        keys.for_each_block([&](std::span<const uint32_t> block) {
            const Page* pages[Bitmap::kBlock];
            for (size_t k = 0; k < block.size(); ++k) {
                pages[k] = page_of(block[k]);
                if (pages[k] != nullptr) __builtin_prefetch(&pages[k]->slots[block[k] & kPageMask]);
            }
            for (size_t k = 0; k < block.size(); ++k) {
                if (pages[k] != nullptr) take(view(*pages[k], block[k] & kPageMask));
            }
        });
    } else {
        // Fewer keys present than asked: walk those present.
        for_each_list([&](uint32_t key, const List& ids) {
            if (keys.contains(key)) take(ids);
        });
    }
    if (!buffer.empty()) flush();
    return out;
}

}  // namespace vorlane::detail

namespace vorlane {

void LinkTable::insert_many(std::span<const std::pair<uint32_t, uint32_t>> pairs) {
    if (pairs.empty()) return;
    // A write's single link: nothing to sort or gather.
    if (pairs.size() == 1) {
        insert(pairs[0].first, pairs[0].second);
        return;
    }
    // Each side as (key << 32 | id), sorted by key: a bulk add's holders come
    // in order already, its nested ids are scattered and sorted here.
    std::vector<uint64_t> by_holder(pairs.size());
    std::vector<uint64_t> by_nested(pairs.size());
    bool holders_sorted = true;
    for (size_t t = 0; t < pairs.size(); ++t) {
        const auto [holder, nested] = pairs[t];
        by_holder[t] = uint64_t{holder} << 32 | nested;
        by_nested[t] = uint64_t{nested} << 32 | holder;
        if (t != 0 && holder < pairs[t - 1].first) holders_sorted = false;
    }
    std::vector<uint64_t> scratch;
    if (!holders_sorted) detail::sort_values(by_holder, scratch);
    detail::sort_values(by_nested, scratch);
    size_t held_added = 0;
    size_t holders_added = 0;
    try {
        held_.append_sorted(by_holder, held_added);
        holders_.append_sorted(by_nested, holders_added);
    } catch (...) {
        for (size_t t = 0; t < holders_added; ++t) {
            holders_.erase_one(static_cast<uint32_t>(by_nested[t] >> 32), static_cast<uint32_t>(by_nested[t]));
        }
        for (size_t t = 0; t < held_added; ++t) {
            held_.erase_one(static_cast<uint32_t>(by_holder[t] >> 32), static_cast<uint32_t>(by_holder[t]));
        }
        throw;
    }
    size_ += pairs.size();
    if (!sets_kept_) {
        look_again();
        return;
    }
    // The batch's distinct pairs bound those new to the sets: a batch that
    // would take the sets past their limit drops them before building any.
    uint64_t distinct = 0;
    for (size_t t = 0; t < by_nested.size(); ++t) distinct += t == 0 || by_nested[t] != by_nested[t - 1] ? 1 : 0;
    if (!keeps_sets(holders_.keys(), sets_.pairs() + distinct)) {
        drop_sets();
        return;
    }
    try {
        // A nested object's holders keep the batch's order (the sort above
        // orders keys only): a bulk add's come ascending, others are sorted here.
        std::vector<uint32_t> holders;
        std::vector<uint32_t> sorting;
        for (size_t t = 0; t < by_nested.size();) {
            const auto nested = static_cast<uint32_t>(by_nested[t] >> 32);
            holders.clear();
            bool ascending = true;
            for (; t < by_nested.size() && static_cast<uint32_t>(by_nested[t] >> 32) == nested; ++t) {
                const auto holder = static_cast<uint32_t>(by_nested[t]);
                if (!holders.empty()) {
                    if (holders.back() == holder) continue;
                    ascending = ascending && holders.back() < holder;
                }
                holders.push_back(holder);
            }
            if (!ascending) detail::sort_unique(holders, sorting);
            sets_.add_ascending(nested, holders);
        }
    } catch (...) {
        drop_sets();  // the links stand; counts walk the holders until the sets are built again
        return;
    }
    if (!keeps_sets(sets_.nested(), sets_.pairs())) drop_sets();
}

void LinkTable::rebuild_sets() noexcept {
    next_look_ = 2 * size_;
    // Occurrences bound the pairs from above: links with too few holders per
    // nested object are passed over without a build.
    const size_t nested = holders_.keys();
    if (nested > kAlwaysKept && size_ < 2 * kHoldersPerNested * nested) return;
    try {
        detail::HolderSets built;
        std::vector<uint32_t> holders;
        std::vector<uint32_t> scratch;
        holders_.for_each_list([&](uint32_t key, const detail::IdLists::List& list) {
            holders.clear();
            list.for_each([&](uint32_t holder) { holders.push_back(holder); });
            detail::sort_unique(holders, scratch);
            built.add_ascending(key, holders);
        });
        if (!keeps_sets(built.nested(), built.pairs())) return;
        sets_ = std::move(built);
        sets_kept_ = true;
    } catch (...) {
        // Not enough memory for them: counts go on walking the holders.
    }
}

}  // namespace vorlane
