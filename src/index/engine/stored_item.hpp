#pragma once
// The index's record of one stored object, and the table of records by id.
#include <array>
#include <bit>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "index/structures/bitmap.hpp"
#include "index/structures/heap_bytes.hpp"
#include "index/engine/record.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

struct StoredItem {
    // The Python object as it was added; `collect` hands these back. Empty for
    // a vacant position.
    ObjectHandle py_item;

    bool vacant() const noexcept { return !py_item; }
    // The object's native state, inside the object.
    const Indexable& record() const noexcept { return py_item.record(); }
};

// Stored records by object id. Ids are process-wide, so one core's ids are
// spread over the whole range: records live in pages of 64 consecutive ids,
// allocated when the first of their ids arrives and freed with the last, so a
// core's memory follows the objects it holds, not the largest id in the process.
// Pages are found through blocks of 256 page pointers (one block per 16,384
// ids) held in a vector by block number: a lookup is two indexed loads, and
// the blocks of even ten million ids take a few megabytes, so they stay in
// cache while a large answer is walked.
class ItemTable {
public:
    static constexpr unsigned kPageBits = 6;
    static constexpr uint32_t kPageSize = 1U << kPageBits;

    ItemTable() = default;
    ItemTable(const ItemTable&) = delete;
    ItemTable& operator=(const ItemTable&) = delete;

    // The record of `id`, or null.
    const StoredItem* find(uint32_t id) const noexcept {
        const Page* page = page_of(id);
        if (page == nullptr) return nullptr;
        const StoredItem& slot = page->slots[id & (kPageSize - 1)];
        return slot.vacant() ? nullptr : &slot;
    }

    // Puts `item` at `id` and returns the record that stood there (vacant if none),
    // for the caller to release after its locks.
    StoredItem put(uint32_t id, StoredItem item) {
        if (item.vacant()) return take(id);
        if (!kept_.is_empty()) kept_.remove(id);  // answered for again
        const size_t block_no = id >> (kPageBits + kBlockBits);
        if (blocks_.size() <= block_no) blocks_.resize(block_no + 1);
        auto& block = blocks_[block_no];
        if (block == nullptr) block = std::make_unique<Block>();
        auto& page = block->pages[(id >> kPageBits) & kBlockMask];
        if (page == nullptr) {
            page = std::make_unique<Page>();
            ++block->used;
        }
        StoredItem& slot = page->slots[id & (kPageSize - 1)];
        if (slot.vacant()) ++page->used, ++count_;
        return std::exchange(slot, std::move(item));
    }

    // Takes the record of `id` out (vacant if there was none).
    StoredItem take(uint32_t id) noexcept {
        Page* page = page_of(id);
        if (page == nullptr) return StoredItem{};
        StoredItem& slot = page->slots[id & (kPageSize - 1)];
        if (slot.vacant()) return StoredItem{};
        StoredItem old = std::move(slot);
        slot = StoredItem{};
        release_slot(id);
        return old;
    }

    size_t size() const noexcept { return count_; }

    // The block vector, blocks, pages (records kept for views included) and the
    // set of kept ids (see heap_bytes.hpp); not the objects the records hold.
    size_t memory_bytes() const noexcept {
        size_t n = vector_bytes(blocks_) + kept_.memory_bytes();
        for (const auto& block : blocks_) {
            if (block == nullptr) continue;
            n += heap_chunk(sizeof(Block)) + block->used * heap_chunk(sizeof(Page));
        }
        return n;
    }

    // Records of objects the core no longer answers for (removed or narrowed
    // away), kept because views made before may still collect them.
    void keep_for_views(const Bitmap& ids) { kept_.or_inplace(ids); }
    void keep_for_view(uint32_t id) { kept_.add(id); }
    // Moves every kept record to `out`: no view is left that could read them.
    void release_kept(std::vector<StoredItem>& out) {
        if (kept_.is_empty()) return;
        kept_.for_each([&](uint32_t id) { out.push_back(take(id)); });
        kept_ = Bitmap();
    }

    // fn(id, record) for every id of `ids` that has a record, in ascending order.
    template <class Fn>
    void for_each_in(const Bitmap& ids, Fn&& fn) const {
        ids.for_each([&](uint32_t id) {
            if (const StoredItem* slot = find(id)) fn(id, *slot);
        });
    }

    // fn(record) for every record held, those kept for views included.
    template <class Fn>
    void for_each_record(Fn&& fn) const {
        for (const auto& block : blocks_) {
            if (block == nullptr) continue;
            for (const auto& page : block->pages) {
                if (page == nullptr) continue;
                for (const StoredItem& slot : page->slots) {
                    if (!slot.vacant()) fn(slot);
                }
            }
        }
    }

    // fn(objects) for the stored objects of `ids` in ascending id order (ids
    // without a record are left out), handed over as spans of up to
    // Bitmap::kBlock objects or a little more. Gathering a span reads only the
    // item table (ids in a row share their page, looked up once), so the caller's pass over
    // the objects themselves is a tight loop whose cache misses overlap, as in
    // a copy of a list.
    template <class Fn>
    void for_each_object(const Bitmap& ids, Fn&& fn) const {
        // A word of the set is one page: its page is looked up once, and a
        // full word's records are read in a row.
        static_assert(kPageSize == 64);
        PyObject* objects[Bitmap::kBlock + kPageSize];
        size_t found = 0;
        ids.for_each_word([&](uint32_t first, uint64_t bits) {
            const Page* page = page_of(first);
            if (page == nullptr) return;
            const StoredItem* slots = page->slots.data();
            if (bits == ~uint64_t{0}) {
                for (uint32_t k = 0; k < kPageSize; ++k) {
                    PyObject* obj = slots[k].py_item.get();
                    objects[found] = obj;
                    found += obj != nullptr;
                }
            } else {
                for (; bits != 0; bits &= bits - 1) {
                    PyObject* obj = slots[std::countr_zero(bits)].py_item.get();
                    objects[found] = obj;
                    found += obj != nullptr;
                }
            }
            if (found >= Bitmap::kBlock) {
                fn(std::span<PyObject* const>(objects, found));
                found = 0;
            }
        });
        if (found != 0) fn(std::span<PyObject* const>(objects, found));
    }
    // The same for a list of ids in its own order (an ordered answer).
    template <class Fn>
    void for_each_object(std::span<const uint32_t> ids, Fn&& fn) const {
        for (size_t at = 0; at < ids.size(); at += Bitmap::kBlock) {
            objects_of_block(ids.subspan(at, std::min<size_t>(Bitmap::kBlock, ids.size() - at)), fn);
        }
    }

private:
    static constexpr unsigned kBlockBits = 8;
    static constexpr uint32_t kBlockMask = (1U << kBlockBits) - 1;

    struct Page {
        std::array<StoredItem, kPageSize> slots;
        uint32_t used = 0;
    };
    struct Block {
        std::array<std::unique_ptr<Page>, size_t{1} << kBlockBits> pages;
        uint32_t used = 0;  // pages allocated
    };

    // fn(objects) for the ids of `block` (at most Bitmap::kBlock) that have a
    // record, in block order.
    template <class Fn>
    void objects_of_block(std::span<const uint32_t> block, Fn& fn) const {
        PyObject* objects[Bitmap::kBlock];
        size_t found = 0;
        const Page* page = nullptr;
        uint32_t page_no = UINT32_MAX;
        for (const uint32_t id : block) {
            if ((id >> kPageBits) != page_no) {
                page_no = id >> kPageBits;
                page = page_of(id);
            }
            if (page == nullptr) continue;
            PyObject* obj = page->slots[id & (kPageSize - 1)].py_item.get();
            objects[found] = obj;
            found += obj != nullptr;
        }
        if (found != 0) fn(std::span<PyObject* const>(objects, found));
    }

    Page* page_of(uint32_t id) const noexcept {
        const size_t block_no = id >> (kPageBits + kBlockBits);
        if (block_no >= blocks_.size()) return nullptr;
        const Block* block = blocks_[block_no].get();
        return block == nullptr ? nullptr : block->pages[(id >> kPageBits) & kBlockMask].get();
    }

    // One record of the page of `id` went vacant: an emptied page goes, and a
    // block with it once its last page has gone.
    void release_slot(uint32_t id) noexcept {
        --count_;
        auto& block = blocks_[id >> (kPageBits + kBlockBits)];
        auto& page = block->pages[(id >> kPageBits) & kBlockMask];
        if (--page->used != 0) return;
        page.reset();
        if (--block->used == 0) block.reset();
    }

    std::vector<std::unique_ptr<Block>> blocks_;
    size_t count_ = 0;
    Bitmap kept_;
};

using SharedItems = std::shared_ptr<RwLock<ItemTable>>;

}  // namespace vorlane
