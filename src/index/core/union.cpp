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
        items_guard->for_each_in(objects, [&](uint32_t, const StoredItem& record) { records.push_back(record); });
    }
    // Hold the objects' index lists (in address order) while their values are
    // copied: an assignment in flight finishes first, and one that comes later
    // finds this core registered and updates it too.
    std::vector<Mutex<IndexList>*> lists;
    for (const StoredItem& record : records) lists.push_back(&record.record().indexes);
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
    std::vector<StoredItem> replaced;  // released after the locks
    {
        auto theirs = other.index->read();
        {
            auto mine = get_index_writer();
            theirs->for_each([&](uint32_t attr, const QueryMap&) {
                if (mine->find(attr) == nullptr) mine->emplace(attr, std::make_unique<QueryMap>(self));
            });
        }
        auto mine = index->read();
        theirs->for_each([&](uint32_t attr, const QueryMap& their_map) {
            QueryMap& my_map = *mine->find(attr);
            my_map.merge_from(their_map, objects, already_here);
            // Their child index lives as long as their map, which outlives the union.
            if (const auto their_child = their_map.child_index()) {
                children.emplace_back(my_map.ensure_child_index(), their_child.get());
            }
        });
    }
    {
        auto allowed = get_allowed_items_writer();
        auto items_guard = get_items_writer();
        for (StoredItem& record : records) {
            const uint32_t id = record.record().id;
            replaced.push_back(items_guard->put(id, std::move(record)));
        }
        allowed->or_inplace(objects);
        allowed->run_optimize();  // as after a bulk add: cheap to clip answers to
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
