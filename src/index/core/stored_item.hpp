#pragma once
// The index's record of one stored object, and the table of records by id.
#include <array>
#include <memory>
#include <unordered_map>
#include <utility>

#include "index/core/structures/bitmap.hpp"
#include "index/indexable.hpp"
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
class ItemTable {
public:
    static constexpr unsigned kPageBits = 6;
    static constexpr uint32_t kPageSize = 1U << kPageBits;

    ItemTable() = default;
    ItemTable(const ItemTable&) = delete;
    ItemTable& operator=(const ItemTable&) = delete;

    // The record of `id`, or null.
    const StoredItem* find(uint32_t id) const noexcept {
        const auto it = pages_.find(id >> kPageBits);
        if (it == pages_.end()) return nullptr;
        const StoredItem& slot = it->second->slots[id & (kPageSize - 1)];
        return slot.vacant() ? nullptr : &slot;
    }

    // Puts `item` at `id` and returns the record that stood there (vacant if none),
    // for the caller to release after its locks.
    StoredItem put(uint32_t id, StoredItem item) {
        if (item.vacant()) return take(id);
        auto& page = pages_[id >> kPageBits];
        if (page == nullptr) page = std::make_unique<Page>();
        StoredItem& slot = page->slots[id & (kPageSize - 1)];
        if (slot.vacant()) ++page->used, ++count_;
        return std::exchange(slot, std::move(item));
    }

    // Takes the record of `id` out (vacant if there was none).
    StoredItem take(uint32_t id) noexcept {
        const auto it = pages_.find(id >> kPageBits);
        if (it == pages_.end()) return StoredItem{};
        StoredItem& slot = it->second->slots[id & (kPageSize - 1)];
        if (slot.vacant()) return StoredItem{};
        StoredItem old = std::move(slot);
        slot = StoredItem{};
        release_slot(id);
        return old;
    }

    size_t size() const noexcept { return count_; }

    // fn(id, record) for every id of `ids` that has a record, in ascending order.
    template <class Fn>
    void for_each_in(const Bitmap& ids, Fn&& fn) const {
        uint32_t page_no = 0;
        const Page* page = nullptr;
        bool looked = false;
        ids.for_each([&](uint32_t id) {
            if (!looked || (id >> kPageBits) != page_no) {
                page_no = id >> kPageBits;
                const auto it = pages_.find(page_no);
                page = it == pages_.end() ? nullptr : it->second.get();
                looked = true;
            }
            if (page == nullptr) return;
            const StoredItem& slot = page->slots[id & (kPageSize - 1)];
            if (!slot.vacant()) fn(id, slot);
        });
    }

private:
    struct Page {
        std::array<StoredItem, kPageSize> slots;
        uint32_t used = 0;
    };

    // One record of the page of `id` went vacant.
    void release_slot(uint32_t id) noexcept {
        const auto it = pages_.find(id >> kPageBits);
        --count_;
        if (--it->second->used == 0) pages_.erase(it);
    }

    std::unordered_map<uint32_t, std::unique_ptr<Page>> pages_;
    size_t count_ = 0;
};

using SharedItems = std::shared_ptr<RwLock<ItemTable>>;

}  // namespace vorlane
