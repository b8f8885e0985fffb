// Bulk add: a batch of objects entered group by group through buffered adds.
#include "index/engine/index.hpp"
#include "index/engine/index_links.hpp"

#include <algorithm>
#include <tuple>
#include <exception>
#include <system_error>
#include <thread>

#include "index/structures/id_alloc.hpp"
#include "index/engine/delayed_query.hpp"

namespace vorlane {

namespace {

// The values of one attribute met in a group of objects, by kind.
struct AttributeGroup {
    std::vector<std::pair<uint32_t, OrderKey>> numbers;
    std::vector<std::pair<uint32_t, std::string_view>> strings;
    std::vector<std::pair<uint32_t, bool>> bools;
    // Values entered one by one: (id, value, root) for containers without
    // prepared elements, nested objects and other values.
    std::vector<std::tuple<uint32_t, const PyValue*, uint32_t>> singles;
    // Nested objects: (holder, object), entered as links all at once.
    std::vector<std::pair<uint32_t, const StoredIndexable*>> nested;
    // Container elements given ids here: (element id, holder, value). The values
    // live in the prepared elements and move into the map's ledger at the end.
    std::vector<std::tuple<uint32_t, uint32_t, PyValue*>> elements;
    // The prepared containers those came from, let go of once their values moved.
    std::vector<PreparedElements::Held*> containers;
    size_t longest = 0;

    // Sorts one value of `id` (belonging to the stored object `root`) by kind.
    void add(uint32_t id, const PyValue& v, uint32_t root) {
        switch (v.kind()) {
            case Kind::Int:
            case Kind::Float:
            case Kind::Time:
                if (const auto key = number_key(v)) numbers.emplace_back(id, *key);
                break;
            case Kind::Str: {
                const std::string_view text = v.as<cast::Str>()->value.view();
                strings.emplace_back(id, text);
                longest = std::max(longest, text.size());
                break;
            }
            case Kind::Bool: bools.emplace_back(id, v.as<cast::Bool>()->value); break;
            case Kind::Ind: nested.emplace_back(root, &v.as<cast::Ind>()->value); break;
            default: singles.emplace_back(id, &v, root);
        }
    }
};

// Large enough that a second thread pays for its start, small enough that a
// group's values stay in cache while they are sorted out.
constexpr size_t kBatchGroup = 16384;

// Objects made one after another mostly come in id and address order: checking
// costs one pass where sorting a batch of millions would cost many.
template <class T, class Less>
void sort_unless_sorted(std::vector<T>& v, Less less) {
    if (!std::is_sorted(v.begin(), v.end(), less)) std::sort(v.begin(), v.end(), less);
}

// Enters one attribute's numbers, strings, booleans and element ids into its
// map: no interpreter, no other map, so attributes can be entered side by side.
void enter_values(AttributeGroup& group, QueryMap& map) {
    if (!group.elements.empty()) {
        // Element ids are known to the map before any structure holds them,
        // so a concurrent search always translates them.
        std::vector<uint32_t> eids;
        eids.reserve(group.elements.size());
        {
            auto mapped = map.get_mapped_ids_writer();
            for (const auto& [eid, holder, value] : group.elements) {
                mapped->insert(eid, holder);
                eids.push_back(eid);
            }
        }
        sort_unless_sorted(eids, std::less<>());
        map.get_masked_ids_writer()->add_many(eids);
    }
    if (group.numbers.empty() && group.strings.empty() && group.bools.empty()) return;
    BulkQueryMapAdder adder(map);
    adder.reserve_strings(group.longest);
    if (!group.numbers.empty()) {
        sort_unless_sorted(group.numbers, [](const auto& a, const auto& b) { return a.first < b.first; });
        // A batch may name one object twice: one entry per id.
        group.numbers.erase(std::unique(group.numbers.begin(), group.numbers.end(),
                                        [](const auto& a, const auto& b) { return a.first == b.first; }),
                            group.numbers.end());
        std::vector<uint32_t> ids;
        std::vector<OrderKey> keys;
        ids.reserve(group.numbers.size());
        keys.reserve(group.numbers.size());
        for (const auto& [id, key] : group.numbers) {
            ids.push_back(id);
            keys.push_back(key);
        }
        adder.insert_numbers(ids, keys);
    }
    adder.push_strs(group.strings);
    for (const auto& [id, value] : group.bools) adder.push_bool(id, value);
}

// A rough price of entering an attribute's values: a number enters every key
// bit's bitmap, a string one bitmap a byte.
size_t price_of(const AttributeGroup& group) {
    size_t price = 8 * group.numbers.size() + group.bools.size() + 2 * group.elements.size();
    for (const auto& entry : group.strings) price += entry.second.size() + 2;
    return price;
}

// Groups of fewer objects are entered on the calling thread alone: a second
// thread costs more to start than it saves.
constexpr size_t kLanesFrom = 2048;

// Enters every attribute's values, on two threads where there are cores and
// work for both: attributes are dealt out by price, the costliest first, each
// to the thread with less to do. The map locks each thread takes are its own
// attributes'; the caller's thread waits for the other before going on.
void enter_values_in_lanes(std::span<std::pair<AttributeGroup*, QueryMap*>> work, size_t objects) {
    static const bool two_cores = std::thread::hardware_concurrency() > 1;
    if (!two_cores || objects < kLanesFrom || work.size() < 2) {
        for (auto& [group, map] : work) enter_values(*group, *map);
        return;
    }
    std::vector<std::pair<size_t, size_t>> priced;  // (price, position)
    priced.reserve(work.size());
    for (size_t k = 0; k < work.size(); ++k) priced.emplace_back(price_of(*work[k].first), k);
    std::sort(priced.begin(), priced.end(), std::greater<>());
    std::vector<size_t> mine;
    std::vector<size_t> other;
    size_t my_price = 0;
    size_t other_price = 0;
    for (const auto& [price, k] : priced) {
        if (my_price <= other_price) {
            mine.push_back(k);
            my_price += price;
        } else {
            other.push_back(k);
            other_price += price;
        }
    }
    std::exception_ptr failed;
    {
        std::jthread lane;
        try {
            lane = std::jthread([&] {
                try {
                    for (const size_t k : other) enter_values(*work[k].first, *work[k].second);
                } catch (...) {
                    failed = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one enters them all.
            mine.insert(mine.end(), other.begin(), other.end());
        }
        for (const size_t k : mine) enter_values(*work[k].first, *work[k].second);
    }  // joined here, on the way out too
    if (failed) std::rethrow_exception(failed);
}

}  // namespace

void IndexAPI::add_object_many(std::vector<StoredItem> batch, PreparedElements& prepared) {
    const PreparedScope use_prepared(prepared);
    NestedScope nested;
    enter_batch(std::move(batch), prepared);
    nested.run();  // the objects' locks are released by now
}

void IndexAPI::enter_batch(std::vector<StoredItem> batch, PreparedElements& prepared) {
    const std::weak_ptr<IndexAPI> weak_core = weak_from_this();
    // The objects' index lists stay locked (in address order) until their values
    // are in: an assignment waits, then finds this core registered and updates it.
    std::vector<Mutex<IndexList>*> lists;
    lists.reserve(batch.size());
    for (const StoredItem& stored : batch) lists.push_back(&stored.record().indexes);
    sort_unless_sorted(lists, std::less<>());
    lists.erase(std::unique(lists.begin(), lists.end()), lists.end());
    std::vector<Mutex<IndexList>::Guard> held_lists;
    held_lists.reserve(lists.size());
    for (auto* list : lists) {
        held_lists.push_back(list->lock());
        add_index_link(*held_lists.back(), weak_core);
    }

    std::vector<StoredItem> replaced;  // released after the locks
    std::vector<uint32_t> positions;    // batch position of each object entered
    {
        auto allowed = get_allowed_items_writer();
        auto graph = get_graph_writer();
        auto items_guard = get_items_writer();
        std::vector<uint32_t> ids;
        ids.reserve(batch.size());
        for (const StoredItem& stored : batch) {
            if (StoredItem old = items_guard->put(stored.record().id, stored); !old.vacant()) replaced.push_back(std::move(old));
            ids.push_back(stored.record().id);
        }
        // Values are entered once per object: not again for objects the core
        // already stores (members, and objects a member reaches: their values
        // are current), once for a repeated one. Every object of the batch is
        // stored before any value is entered, so links between them store nothing more.
        sort_unless_sorted(ids, std::less<>());
        const bool repeats = std::adjacent_find(ids.begin(), ids.end()) != ids.end();
        Bitmap taken;
        std::vector<StoredItem> fresh;
        std::vector<uint32_t> fresh_positions;  // where each object stood in the batch
        fresh.reserve(batch.size());
        fresh_positions.reserve(batch.size());
        for (size_t position = 0; position < batch.size(); ++position) {
            StoredItem& stored = batch[position];
            const uint32_t id = stored.record().id;
            if (repeats) {
                if (taken.contains(id)) continue;
                taken.add(id);
            }
            if (!graph->store(id)) continue;
            fresh.push_back(std::move(stored));
            fresh_positions.push_back(static_cast<uint32_t>(position));
        }
        batch = std::move(fresh);
        positions = std::move(fresh_positions);
        allowed->add_many(ids);
        graph->stored.run_optimize();
        // Ids of objects made together are mostly consecutive: as runs, the
        // allowed set costs little to intersect with (every answer is clipped to it).
        allowed->run_optimize();
    }
    replaced.clear();
    for (size_t from = 0; from < batch.size(); from += kBatchGroup) {
        const size_t to = std::min(batch.size(), from + kBatchGroup);
        // Lock the group's attribute storages in address order (two batches never
        // wait on each other), each once even if the batch repeats an object.
        std::vector<Mutex<AttributeMap>*> storages;
        for (size_t i = from; i < to; ++i) storages.push_back(&batch[i].record().attributes);
        sort_unless_sorted(storages, std::less<>());
        storages.erase(std::unique(storages.begin(), storages.end()), storages.end());
        std::vector<Mutex<AttributeMap>::Guard> held;
        held.reserve(storages.size());
        for (auto* storage : storages) held.push_back(storage->lock(kCannotReadIndexable));

        // Attribute ids are small and dense: groups are found by position.
        std::vector<std::unique_ptr<AttributeGroup>> by_attr;
        std::vector<uint32_t> seen_attrs;
        // Containers whose elements were converted when the batch was checked:
        // (group, holder, container), their elements counted to take their ids
        // in one block.
        std::vector<std::tuple<AttributeGroup*, uint32_t, PreparedElements::Held*>> held_containers;
        size_t element_count = 0;
        for (size_t i = from; i < to; ++i) {
            const uint32_t id = batch[i].record().id;
            const auto held_at = std::lower_bound(storages.begin(), storages.end(), &batch[i].record().attributes);
            const AttributeMap& attributes = *held[static_cast<size_t>(held_at - storages.begin())];
            attributes.for_each([&](uint32_t attr_id, const PyValue& v) {
                if (by_attr.size() <= attr_id) by_attr.resize(static_cast<size_t>(attr_id) + 1);
                if (by_attr[attr_id] == nullptr) {
                    by_attr[attr_id] = std::make_unique<AttributeGroup>();
                    seen_attrs.push_back(attr_id);
                }
                AttributeGroup& group = *by_attr[attr_id];
                if (const auto* iterable = v.as<cast::Iterable>(); iterable != nullptr) {
                    if (auto* container = prepared.take_held(positions[i], iterable->value.container.get())) {
                        held_containers.emplace_back(&group, id, container);
                        group.containers.push_back(container);
                        element_count += container->end - container->begin;
                        return;
                    }
                }
                group.add(id, v, id);
            });
        }
        if (element_count > 0) {
            // Elements converted while the batch was checked enter like values of their own.
            std::vector<uint32_t> eids(element_count);
            allocate_ids(eids);
            // Ascending, so the bitmaps append them: reused ids come in any order.
            sort_unless_sorted(eids, std::less<>());
            size_t next = 0;
            for (const auto& [group, holder, container] : held_containers) {
                for (PyValue& element : prepared.elements_of(*container)) {
                    const uint32_t eid = eids[next++];
                    group->elements.emplace_back(eid, holder, &element);
                    group->add(eid, element, holder);
                }
            }
        }

        // Maps for attributes this core has not seen yet.
        bool missing = false;
        {
            auto maps = index->read();
            for (uint32_t attr_id : seen_attrs) {
                missing = missing || maps->find(attr_id) == nullptr;
            }
        }
        if (missing) {
            auto maps = get_index_writer();
            for (uint32_t attr_id : seen_attrs) {
                if (maps->find(attr_id) == nullptr) maps->emplace(attr_id, std::make_unique<QueryMap>(weak_core));
            }
        }

        auto maps = index->read();
        std::vector<std::pair<AttributeGroup*, QueryMap*>> work;
        work.reserve(seen_attrs.size());
        for (uint32_t attr_id : seen_attrs) work.emplace_back(by_attr[attr_id].get(), maps->find(attr_id));
        {
            enter_values_in_lanes(work, to - from);
        }
        for (auto& [group, map] : work) {
            // Entered after the lanes let go of the map's structures, which
            // container elements take again.
            for (const auto& [id, value, root] : group->singles) map->insert(*value, id, root);
            map->hold_many(group->nested);
            // Last, as nothing reads the prepared values any more: the ledger
            // takes them over instead of copying them.
            if (!group->elements.empty()) {
                auto ledger = map->elements.write(QueryMap::kMapPoisoned);
                for (const auto& [eid, holder, value] : group->elements) ledger->add(eid, holder, std::move(*value));
            }
            // Let go of the containers at once: their values are gone, so no later
            // lookup may find them, and a large batch does not keep every container
            // until its end.
            for (PreparedElements::Held* container : group->containers) prepared.release(*container);
        }
    }
}

}  // namespace vorlane
