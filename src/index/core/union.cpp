// Union: another core's objects, values and nested objects merged into this one.
#include "index/core/index.hpp"

#include <algorithm>

namespace vorlane {

void IndexAPI::union_with(const std::shared_ptr<IndexAPI>& self, IndexAPI& other) {
    // Child indexes merge level by level, without recursion: nesting may be deep.
    std::vector<std::pair<std::shared_ptr<IndexAPI>, IndexAPI*>> pending{{self, &other}};
    for (size_t i = 0; i < pending.size(); ++i) {
        auto [mine, theirs] = pending[i];
        mine->merge_core(mine, *theirs, pending);
    }
}

void IndexAPI::merge_core(const std::shared_ptr<IndexAPI>& self, IndexAPI& other,
                          std::vector<std::pair<std::shared_ptr<IndexAPI>, IndexAPI*>>& pending) {
    if (this == &other) return;
    // Take `other`'s records first and let go of its locks before any object's.
    Bitmap objects;
    std::vector<StoredItem> records;
    {
        auto allowed = other.allowed_items->read();
        objects = allowed->clone();
    }
    {
        auto items_guard = other.items->read();
        objects.for_each([&](uint32_t id) {
            check(id < items_guard->size(), "allowed id without a stored record");
            if (!(*items_guard)[id].vacant()) records.push_back((*items_guard)[id]);
        });
    }
    // Hold the objects' index lists (in address order) while their values are
    // copied: an assignment in flight finishes first, and one that comes later
    // finds this core registered and updates it too.
    std::vector<Mutex<IndexList>*> lists;
    for (const StoredItem& record : records) lists.push_back(record.item->indexes.get());
    std::sort(lists.begin(), lists.end(), std::less<>());
    lists.erase(std::unique(lists.begin(), lists.end()), lists.end());
    std::vector<Mutex<IndexList>::Guard> held;
    held.reserve(lists.size());
    for (auto* list : lists) held.push_back(list->lock());

    Bitmap already_here;
    {
        auto allowed = allowed_items->read();
        already_here = allowed->and_(objects);
    }
    std::vector<std::pair<std::shared_ptr<IndexAPI>, IndexAPI*>> children;
    {
        auto theirs = other.index->read();
        {
            auto mine = get_index_writer();
            if (mine->size() < theirs->size()) mine->resize(theirs->size());
            for (size_t p = 0; p < theirs->size(); ++p) {
                if ((*theirs)[p] != nullptr && (*mine)[p] == nullptr) (*mine)[p] = std::make_unique<QueryMap>(self);
            }
        }
        auto mine = index->read();
        for (size_t p = 0; p < theirs->size(); ++p) {
            if ((*theirs)[p] == nullptr) continue;
            (*mine)[p]->merge_from(*(*theirs)[p], objects, already_here);
            children.emplace_back((*mine)[p]->child_index, (*theirs)[p]->child_index.get());
        }
    }
    {
        auto allowed = get_allowed_items_writer();
        auto items_guard = get_items_writer();
        const uint32_t largest = objects.is_empty() ? 0 : objects.maximum();
        if (!objects.is_empty() && items_guard->size() <= largest) items_guard->resize(static_cast<size_t>(largest) + 1);
        for (StoredItem& record : records) (*items_guard)[record.item->id] = std::move(record);
        allowed->or_inplace(objects);
    }
    // Register this core with each object (its list is already held).
    const std::weak_ptr<IndexAPI> weak_self = self;
    for (auto& list : held) add_index_link(*list, weak_self);
    held.clear();
    // Nested objects: the child indexes merge the same way. Their pairs were
    // recorded by the value maps' merge, value by value, like any other entry.
    for (auto& [mine, theirs] : children) pending.emplace_back(mine, theirs);
}

}  // namespace vorlane
