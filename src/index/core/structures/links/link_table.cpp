#include "index/core/structures/links/link_table.hpp"

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

// A large list is [size | kLargeBit, capacity, ids...] in 2^k - 2 words (a
// chunk of 2^k words). It is made at 254 ids and goes back to a small list at
// 127 or fewer, so that a list moving about one length does not change form
// each time.
constexpr size_t kLargeWordsMin = 510;
constexpr size_t kLargeToSmall = 127;
constexpr size_t kLargeMax = 0x7FFFFFFF;

// Up to this many keys asked, their lists go straight into the set: a single
// lookup builds no buffer.
constexpr uint64_t kDirectKeys = 16;
// Ids gathered, sorted and added to the set at once: a block that sorts in cache.
constexpr size_t kGatherBlock = size_t{1} << 16;
// Fewer ids than this sort faster by comparison than by radix.
constexpr size_t kRadixMin = 1024;

// Sorts `ids` in three passes of 11 bits (a pass whose digit all ids share is
// skipped); `scratch` is working space. Several times faster than a comparison
// sort on the scattered ids a query gathers.
void radix_sort(std::vector<uint32_t>& ids, std::vector<uint32_t>& scratch) {
    constexpr unsigned kDigitBits = 11;
    constexpr uint32_t kDigits = 1U << kDigitBits;
    constexpr unsigned kPasses = 3;
    const size_t n = ids.size();
    uint32_t counts[kPasses][kDigits] = {};
    for (const uint32_t id : ids) {
        for (unsigned pass = 0; pass < kPasses; ++pass) ++counts[pass][(id >> (kDigitBits * pass)) & (kDigits - 1)];
    }
    scratch.resize(n);
    bool in_scratch = false;
    for (unsigned pass = 0; pass < kPasses; ++pass) {
        uint32_t* const count = counts[pass];
        const unsigned shift = kDigitBits * pass;
        if (count[(ids[0] >> shift) & (kDigits - 1)] == n) continue;
        uint32_t sum = 0;
        for (uint32_t d = 0; d < kDigits; ++d) sum += std::exchange(count[d], sum);
        const uint32_t* from = in_scratch ? scratch.data() : ids.data();
        uint32_t* to = in_scratch ? ids.data() : scratch.data();
        for (size_t i = 0; i < n; ++i) to[count[(from[i] >> shift) & (kDigits - 1)]++] = from[i];
        in_scratch = !in_scratch;
    }
    if (in_scratch) ids.swap(scratch);
}

}  // namespace

IdLists::Page::~Page() {
    for (const Slot& slot : slots) {
        if (!is_inline(slot) && !is_empty(slot)) std::free(heap_of(slot));
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

uint32_t* IdLists::allocate(size_t words) {
    auto* ids = static_cast<uint32_t*>(std::malloc(words * sizeof(uint32_t)));
    if (ids == nullptr) throw std::bad_alloc();
    list_bytes_ += words * sizeof(uint32_t) + kChunkHeader;
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

void IdLists::append(uint32_t key, uint32_t id) {
    Page& page = page_for_write(key);
    Slot& slot = page.slots[key & kPageMask];
    if (is_empty(slot)) {
        set_inline(slot, id);
        ++page.used;
        ++keys_;
        return;
    }
    if (is_inline(slot)) {
        uint32_t* heap = allocate(small_words(2));
        heap[0] = 2;
        heap[1] = slot.words[kIdWord];
        heap[2] = id;
        set_heap(slot, heap);
        return;
    }
    uint32_t* heap = heap_of(slot);
    const size_t size = heap[0];
    if (size < kSmallMax) {
        if (kSmallCapacity[size] == size) {
            heap = grow(heap, small_words(size), small_words(size + 1));
            set_heap(slot, heap);
        }
        heap[1 + size] = id;
        heap[0] = static_cast<uint32_t>(size + 1);
    } else if (size == kSmallMax) {
        uint32_t* large = allocate(kLargeWordsMin);
        large[0] = static_cast<uint32_t>(size + 1) | kLargeBit;
        large[1] = kLargeWordsMin - 2;
        std::memcpy(large + 2, heap + 1, size * sizeof(uint32_t));
        large[2 + size] = id;
        release(heap, small_words(size));
        set_heap(slot, large);
    } else {
        const size_t large_size = size & ~kLargeBit;
        const size_t capacity = heap[1];
        if (large_size == capacity) {
            if (large_size == kLargeMax) throw std::length_error("too many links for one id");
            const size_t words = capacity + 2;
            const size_t new_words = std::min(2 * (words + 2) - 2, kLargeMax + 2);
            heap = grow(heap, words, new_words);
            heap[1] = static_cast<uint32_t>(new_words - 2);
            set_heap(slot, heap);
        }
        heap[2 + large_size] = id;
        heap[0] = static_cast<uint32_t>(large_size + 1) | kLargeBit;
    }
}

void IdLists::truncate(uint32_t key, Page& page, unsigned i, size_t size, size_t n) noexcept {
    Slot& slot = page.slots[i];
    if (size > 1) {
        uint32_t* heap = heap_of(slot);
        if ((heap[0] & kLargeBit) != 0) {
            const size_t words = heap[1] + 2;
            if (n > kLargeToSmall) {
                heap[0] = static_cast<uint32_t>(n) | kLargeBit;
                size_t new_words = words;
                while (new_words > kLargeWordsMin && 4 * (n + 2) <= new_words + 2) new_words = (new_words + 2) / 2 - 2;
                if (new_words != words) {
                    heap = shrink(heap, words, new_words);
                    heap[1] = static_cast<uint32_t>(new_words - 2);
                    set_heap(slot, heap);
                }
                return;
            }
            // Back to a small list: the ids move down over the capacity word, in place.
            std::memmove(heap + 1, heap + 2, n * sizeof(uint32_t));
            heap[0] = static_cast<uint32_t>(n);
            if (n > 1) {
                set_heap(slot, shrink(heap, words, small_words(n)));
                return;
            }
            if (n == 1) set_inline(slot, heap[1]);
            release(heap, words);
        } else if (n > 1) {
            heap[0] = static_cast<uint32_t>(n);
            if (kSmallCapacity[n] < kSmallCapacity[size]) {
                set_heap(slot, shrink(heap, small_words(size), small_words(n)));
            }
            return;
        } else {
            if (n == 1) set_inline(slot, heap[1]);
            release(heap, small_words(size));
        }
    }
    if (n != 0) return;
    slot.words[0] = slot.words[1] = 0;
    --keys_;
    if (--page.used == 0) release_page(key);
}

bool IdLists::erase_one(uint32_t key, uint32_t id) noexcept {
    Page* page = page_of(key);
    if (page == nullptr) return false;
    const unsigned i = key & kPageMask;
    const auto ids = view(*page, i);
    auto* data = const_cast<uint32_t*>(ids.data());
    const size_t n = ids.size();
    auto* at = std::find(data, data + n, id);
    if (at == data + n) return false;
    *at = data[n - 1];
    truncate(key, *page, i, n, n - 1);
    return true;
}

size_t IdLists::clear(uint32_t key) noexcept {
    Page* page = page_of(key);
    if (page == nullptr) return 0;
    const unsigned i = key & kPageMask;
    const size_t n = view(*page, i).size();
    if (n != 0) truncate(key, *page, i, n, 0);
    return n;
}

size_t IdLists::retain(uint32_t key, const Bitmap& keep) noexcept {
    Page* page = page_of(key);
    if (page == nullptr) return 0;
    const unsigned i = key & kPageMask;
    const auto ids = view(*page, i);
    auto* data = const_cast<uint32_t*>(ids.data());
    const size_t n = ids.size();
    size_t kept = 0;
    for (size_t t = 0; t < n; ++t) {
        if (keep.contains(data[t])) data[kept++] = data[t];
    }
    if (kept != n) truncate(key, *page, i, n, kept);
    return n - kept;
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
    if (asked <= kDirectKeys) {
        keys.for_each([&](uint32_t key) {
            const auto ids = list(key);
            out.add_many(ids);
        });
        return out;
    }

    std::vector<uint32_t> buffer;
    std::vector<uint32_t> scratch;
    auto flush = [&] {
        if (buffer.size() < kRadixMin) {
            std::sort(buffer.begin(), buffer.end());
        } else {
            radix_sort(buffer, scratch);
        }
        buffer.erase(std::unique(buffer.begin(), buffer.end()), buffer.end());
        out.add_ascending(buffer);
        buffer.clear();
    };
    auto take = [&](std::span<const uint32_t> ids) {
        buffer.insert(buffer.end(), ids.begin(), ids.end());
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
        for_each_list([&](uint32_t key, std::span<const uint32_t> ids) {
            if (keys.contains(key)) take(ids);
        });
    }
    if (!buffer.empty()) flush();
    return out;
}

}  // namespace vorlane::detail
