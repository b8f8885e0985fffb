#include "index/core/index.hpp"

#include <algorithm>
#include <tuple>

#include "index/core/id_alloc.hpp"
#include "index/core/query/delayed_query.hpp"
#include "index/core/structures/string_interner.hpp"
#include "python/gil.hpp"

namespace vorlane {

std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent) {
    auto core = std::make_shared<IndexAPI>();
    core->index = std::make_shared<RwLock<MapVec>>();
    core->items = std::make_shared<RwLock<ItemsVec>>();
    core->allowed_items = std::make_shared<RwLock<Bitmap>>();
    core->parent_child_map = std::make_shared<RwLock<ParentChildMap>>();
    if (const auto owner = parent.lock()) core->depth = owner->depth + 1;
    core->parent = std::move(parent);
    return core;
}

const std::shared_ptr<IndexAPI>& empty_index() {
    static const auto* empty = new std::shared_ptr<IndexAPI>(IndexAPI::create());  // never released
    return *empty;
}

void IndexAPI::add_object(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, StoredItem stored,
                          Mutex<AttributeMap>::Guard attributes) {
    // The record goes in before the id is allowed, so a concurrent collect never
    // meets an allowed id without its record.
    StoredItem replaced;
    {
        auto items_guard = get_items_writer();
        if (items_guard->size() <= item_id) items_guard->resize(static_cast<size_t>(item_id) + 1);
        replaced = std::exchange((*items_guard)[item_id], std::move(stored));
    }
    {
        // An object this core already holds has its current values in the maps
        // (every write reaches each index it is registered with); entering them
        // again would count its nested objects' pairs twice.
        auto allowed = get_allowed_items_writer();
        if (allowed->contains(item_id)) return;
        allowed->add(item_id);
    }
    attributes->for_each([&](uint32_t attr_id, const PyValue& v) { add_index(weak_core, item_id, attr_id, v); });
}

namespace {

// The values of one attribute met in a group of objects, by kind.
struct AttributeGroup {
    std::vector<std::pair<uint32_t, OrderKey>> numbers;
    std::vector<std::pair<uint32_t, std::string_view>> strings;
    std::vector<std::pair<uint32_t, bool>> bools;
    // Values entered one by one: (id, value, root) for containers without
    // prepared elements, nested objects and other values.
    std::vector<std::tuple<uint32_t, const PyValue*, uint32_t>> singles;
    // Container elements given ids here: (element id, holder, value).
    std::vector<std::tuple<uint32_t, uint32_t, const PyValue*>> elements;
    size_t longest = 0;

    // Sorts one value of `id` (belonging to the stored object `root`) by kind.
    void add(uint32_t id, const PyValue& v, uint32_t root) {
        switch (v.kind()) {
            case Kind::Int:
            case Kind::Float:
                if (const auto key = number_key(v)) numbers.emplace_back(id, *key);
                break;
            case Kind::Str: {
                const std::string_view text = v.as<cast::Str>()->value.view();
                strings.emplace_back(id, text);
                longest = std::max(longest, text.size());
                break;
            }
            case Kind::Bool: bools.emplace_back(id, v.as<cast::Bool>()->value); break;
            default: singles.emplace_back(id, &v, root);
        }
    }
};

constexpr size_t kBatchGroup = 4096;

}  // namespace

void IndexAPI::add_object_many(const std::weak_ptr<IndexAPI>& weak_core, std::vector<StoredItem> batch,
                               const PreparedElements* prepared) {
    // The objects' index lists stay locked (in address order) until their values
    // are in: an assignment waits, then finds this core registered and updates it.
    std::vector<Mutex<IndexList>*> lists;
    lists.reserve(batch.size());
    for (const StoredItem& stored : batch) lists.push_back(stored.item->indexes.get());
    std::sort(lists.begin(), lists.end(), std::less<>());
    lists.erase(std::unique(lists.begin(), lists.end()), lists.end());
    std::vector<Mutex<IndexList>::Guard> held_lists;
    held_lists.reserve(lists.size());
    for (auto* list : lists) {
        held_lists.push_back(list->lock());
        add_index_link(*held_lists.back(), weak_core);
    }

    std::vector<StoredItem> replaced;  // released after the locks
    {
        uint32_t largest = 0;
        for (const StoredItem& stored : batch) largest = std::max(largest, stored.item->id);
        auto allowed = get_allowed_items_writer();
        auto items_guard = get_items_writer();
        if (!batch.empty() && items_guard->size() <= largest) items_guard->resize(static_cast<size_t>(largest) + 1);
        std::vector<uint32_t> ids;
        ids.reserve(batch.size());
        for (const StoredItem& stored : batch) {
            replaced.push_back(std::exchange((*items_guard)[stored.item->id], stored));
            ids.push_back(stored.item->id);
        }
        // Values are entered once per object: not again for objects the core
        // already holds (their values are current), once for a repeated one.
        std::sort(ids.begin(), ids.end());
        const bool repeats = std::adjacent_find(ids.begin(), ids.end()) != ids.end();
        Bitmap taken;
        std::vector<StoredItem> fresh;
        fresh.reserve(batch.size());
        for (StoredItem& stored : batch) {
            const uint32_t id = stored.item->id;
            if (allowed->contains(id)) continue;
            if (repeats) {
                if (taken.contains(id)) continue;
                taken.add(id);
            }
            fresh.push_back(std::move(stored));
        }
        batch = std::move(fresh);
        allowed->add_many(ids);
    }
    replaced.clear();

    for (size_t from = 0; from < batch.size(); from += kBatchGroup) {
        const size_t to = std::min(batch.size(), from + kBatchGroup);
        // Lock the group's attribute storages in address order (two batches never
        // wait on each other), each once even if the batch repeats an object.
        std::vector<Mutex<AttributeMap>*> storages;
        for (size_t i = from; i < to; ++i) storages.push_back(batch[i].item->attributes.get());
        std::sort(storages.begin(), storages.end(), std::less<>());
        storages.erase(std::unique(storages.begin(), storages.end()), storages.end());
        std::vector<Mutex<AttributeMap>::Guard> held;
        held.reserve(storages.size());
        for (auto* storage : storages) held.push_back(storage->lock(kCannotReadIndexable));

        // Attribute ids are small and dense: groups are found by position.
        std::vector<std::unique_ptr<AttributeGroup>> by_attr;
        std::vector<uint32_t> seen_attrs;
        for (size_t i = from; i < to; ++i) {
            const uint32_t id = batch[i].item->id;
            const auto held_at = std::lower_bound(storages.begin(), storages.end(), batch[i].item->attributes.get());
            const AttributeMap& attributes = *held[static_cast<size_t>(held_at - storages.begin())];
            attributes.for_each([&](uint32_t attr_id, const PyValue& v) {
                if (by_attr.size() <= attr_id) by_attr.resize(static_cast<size_t>(attr_id) + 1);
                if (by_attr[attr_id] == nullptr) {
                    by_attr[attr_id] = std::make_unique<AttributeGroup>();
                    seen_attrs.push_back(attr_id);
                }
                AttributeGroup& group = *by_attr[attr_id];
                if (const auto* iterable = v.as<cast::Iterable>(); iterable != nullptr && prepared != nullptr) {
                    const auto found = prepared->find(iterable->value.container.get());
                    if (found != prepared->end()) {
                        // Elements converted while the batch was checked enter like values of their own.
                        for (const PyValue& element : found->second.elements) {
                            const uint32_t eid = allocate_id();
                            group.elements.emplace_back(eid, id, &element);
                            group.add(eid, element, id);
                        }
                        return;
                    }
                }
                group.add(id, v, id);
            });
        }

        // Maps for attributes this core has not seen yet.
        bool missing = false;
        {
            auto maps = index->read();
            for (uint32_t attr_id : seen_attrs) {
                missing = missing || attr_id >= maps->size() || (*maps)[attr_id] == nullptr;
            }
        }
        if (missing) {
            auto maps = get_index_writer();
            for (uint32_t attr_id : seen_attrs) {
                if (maps->size() <= attr_id) maps->resize(static_cast<size_t>(attr_id) + 1);
                if ((*maps)[attr_id] == nullptr) (*maps)[attr_id] = std::make_unique<QueryMap>(weak_core);
            }
        }

        auto maps = index->read();
        for (uint32_t attr_id : seen_attrs) {
            AttributeGroup& group = *by_attr[attr_id];
            QueryMap& map = *(*maps)[attr_id];
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
                std::sort(eids.begin(), eids.end());
                map.get_masked_ids_writer()->add_many(eids);
                auto ledger = map.elements.write(QueryMap::kMapPoisoned);
                for (const auto& [eid, holder, value] : group.elements) ledger->add(eid, holder, *value);
            }
            if (!group.numbers.empty() || !group.strings.empty() || !group.bools.empty()) {
                BulkQueryMapAdder adder(map);
                adder.reserve_strings(group.longest);
                if (!group.numbers.empty()) {
                    std::sort(group.numbers.begin(), group.numbers.end(),
                              [](const auto& a, const auto& b) { return a.first < b.first; });
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
                for (const auto& [id, text] : group.strings) adder.push_str(id, text);
                for (const auto& [id, value] : group.bools) adder.push_bool(id, value);
            }
            // Entered after the adder let go of the map's structures, which
            // container elements take again.
            for (const auto& [id, value, root] : group.singles) map.insert(*value, id, root);
        }
    }
}

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

void IndexAPI::add_index(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, uint32_t attr_id,
                         const PyValue& v) {
    {
        auto maps = index->read();
        if (attr_id < maps->size() && (*maps)[attr_id] != nullptr) {
            (*maps)[attr_id]->insert(v, item_id, item_id);
            return;
        }
    }
    auto fresh = std::make_unique<QueryMap>(weak_core);
    fresh->insert(v, item_id, item_id);
    auto maps = get_index_writer();
    if (!allowed_items->read()->contains(item_id)) return;  // narrowed away meanwhile
    if (maps->size() <= attr_id) maps->resize(static_cast<size_t>(attr_id) + 1);
    auto& slot = (*maps)[attr_id];
    if (slot == nullptr) {
        slot = std::move(fresh);
    } else {
        // Another thread created the map meanwhile: enter into the one that stands.
        slot->insert(v, item_id, item_id);
    }
}

void IndexAPI::remove_index(uint32_t item_id, uint32_t attr_id, const PyValue& v) {
    auto maps = index->read();
    if (attr_id >= maps->size() || (*maps)[attr_id] == nullptr) return;
    (*maps)[attr_id]->remove_id(v, item_id, item_id);
}

void IndexAPI::replace_value(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, uint32_t attr_id,
                             const PyValue* old, const PyValue& value) {
    {
        auto maps = index->read();
        // An object narrowed away left the maps with its values; it takes new
        // ones only when it is added again.
        if (!allowed_items->read()->contains(item_id)) return;
        if (attr_id < maps->size() && (*maps)[attr_id] != nullptr) {
            QueryMap& map = *(*maps)[attr_id];
            if (old != nullptr) map.remove_id(*old, item_id, item_id);
            map.insert(value, item_id, item_id);
            return;
        }
    }
    // No map yet, so no old value in this core either: a first value.
    add_index(weak_core, item_id, attr_id, value);
}

namespace {
uint64_t pair_key(uint32_t parent, uint32_t child) { return (uint64_t{parent} << 32) | child; }
}  // namespace

void ParentChildMap::insert(uint32_t parent, uint32_t child) {
    if (counts[pair_key(parent, child)]++ == 0) pairs.insert(parent, child);
}

void ParentChildMap::retain_parents(const Bitmap& keep) {
    for (auto it = counts.begin(); it != counts.end();) {
        const auto parent = static_cast<uint32_t>(it->first >> 32);
        if (keep.contains(parent)) {
            ++it;
        } else {
            pairs.remove(parent, static_cast<uint32_t>(it->first));
            it = counts.erase(it);
        }
    }
}

bool ParentChildMap::remove(uint32_t parent, uint32_t child) {
    const auto it = counts.find(pair_key(parent, child));
    if (it == counts.end()) return false;
    if (--it->second != 0) return false;
    counts.erase(it);
    pairs.remove(parent, child);
    return !pairs.has_lefts(child);
}

void IndexAPI::register_path(uint32_t parent_id, uint32_t child_id) {
    get_parent_child_map_writer()->insert(parent_id, child_id);
}

bool IndexAPI::unregister_path(uint32_t parent_id, uint32_t child_id) {
    return get_parent_child_map_writer()->remove(parent_id, child_id);
}

// ---------------------------------------------------------------------------
// Deferred storing of nested objects

namespace {

// Objects to store and objects to let go of, each in the order they came.
struct PendingNested {
    std::vector<NestedWork> stores;
    std::vector<NestedWork> drops;
};
thread_local PendingNested* t_nested = nullptr;

// True when `object` is among the holders of `holder` in the cores above `owner`:
// storing it again one level deeper would only repeat a cycle of objects.
bool held_above(const std::shared_ptr<IndexAPI>& owner, uint32_t holder, uint32_t object) {
    Bitmap level{holder};
    std::shared_ptr<IndexAPI> core = owner;
    while (core != nullptr && !level.is_empty()) {
        {
            auto pairs = core->parent_child_map->read();
            level = pairs->pairs.lefts_of(level);
        }
        if (level.contains(object)) return true;
        core = core->parent.lock();
    }
    return false;
}

// A nested object no holder refers to any more leaves its child index: its
// values go (releasing what it holds in turn), its record and its link too.
void drop_nested(NestedWork& work) {
    const Indexable& record = *work.nested.owned_handle;
    const uint32_t cid = record.id;
    IndexAPI& child = *work.child;
    StoredItem released;  // let go of after the locks
    {
        auto list = record.indexes->lock();  // no write to it meanwhile
        auto attributes = record.get_py_values();
        if (child.parent_child_map->read()->pairs.has_lefts(cid)) return;  // held again meanwhile
        {
            auto allowed = child.get_allowed_items_writer();
            if (!allowed->contains(cid)) return;
            allowed->remove(cid);
        }
        attributes->for_each([&](uint32_t attr_id, const PyValue& v) { child.remove_index(cid, attr_id, v); });
        {
            auto items = child.get_items_writer();
            if (cid < items->size()) released = std::exchange((*items)[cid], StoredItem{});
        }
        trim_indexes(*list, &child);
    }
}

void store_nested(NestedWork& work) {
    const uint32_t cid = work.nested.owned_handle->id;
    IndexAPI& child = *work.child;
    // Past this depth a chain of objects is not followed (the pair stays recorded).
    if (child.depth > kMaxNestingDepth) return;
    // The value that held it was taken out again meanwhile: nothing to store.
    if (!child.parent_child_map->read()->pairs.contains(work.holder, cid)) return;
    if (auto owner = work.owner.lock(); owner != nullptr && held_above(owner, work.holder, cid)) return;
    // The nested object's containers are converted before any of its locks are
    // taken, with the interpreter lock, so no user code runs under them.
    PreparedElements prepared;
    {
        py::GilAcquire gil;
        check_container_attributes(*work.nested.owned_handle, prepared);
    }
    const PreparedScope use_prepared(prepared);
    std::weak_ptr<IndexAPI> weak_child = work.child;
    auto list = register_index(*work.nested.owned_handle, weak_child);
    if (child.allowed_items->read()->contains(cid)) return;  // stored once, however many holders
    auto attributes = work.nested.owned_handle->get_py_values();
    child.add_object(weak_child, cid, StoredItem{work.nested.python_handle, work.nested.owned_handle->shared_copy()},
                     std::move(attributes));
}

}  // namespace

void defer_nested(NestedWork work) {
    check(t_nested != nullptr, "nested object entered outside an operation that stores it");
    (work.leaving ? t_nested->drops : t_nested->stores).push_back(std::move(work));
}

NestedScope::NestedScope() : outer_(t_nested == nullptr) {
    if (outer_) t_nested = new PendingNested();
}

NestedScope::~NestedScope() {
    if (!outer_) return;
    PendingNested* pending = std::exchange(t_nested, nullptr);
    delete pending;
}

void NestedScope::run() {
    if (!outer_) return;  // an enclosing scope runs the work
    // Every object let go of leaves first (leaving cascades, storing never makes
    // anything leave), so that what is stored next meets the pairs as they now
    // stand: an object whose holder is on its way out is not stored one level
    // deeper in the meantime, again and again. Breadth first within each.
    size_t next_store = 0;
    size_t next_drop = 0;
    while (next_drop < t_nested->drops.size() || next_store < t_nested->stores.size()) {
        if (next_drop < t_nested->drops.size()) {
            NestedWork work = std::move(t_nested->drops[next_drop++]);
            drop_nested(work);
        } else {
            NestedWork work = std::move(t_nested->stores[next_store++]);
            store_nested(work);
        }
    }
    t_nested->stores.clear();
    t_nested->drops.clear();
}

FilteredIndexCore IndexAPI::reduced(std::span<const QueryExpr> filters) const {
    Bitmap result;
    {
        auto maps = index->read();
        auto allowed = allowed_items->read();
        result = evaluate_and_queries_vec(*maps, *allowed, filters);
    }
    return FilteredIndexCore{shared_from_this(), std::move(result)};
}

FilteredIndexCore IndexAPI::reduced_query(const QueryExpr& expr) const {
    return FilteredIndexCore{shared_from_this(), query_ids(expr)};
}

Bitmap IndexAPI::query_ids(const QueryExpr& expr) const {
    auto maps = index->read();
    auto allowed = allowed_items->read();
    // Results of nodes that may reach past the base are clipped to the allowed ids.
    Bitmap result = evaluate_query(*maps, *allowed, expr);
    result.and_inplace(*allowed);
    return result;
}

void IndexAPI::keep_only_from_bitmap(const Bitmap& keep) {
    // Exclusive: a write to an object being narrowed away either lands before
    // (and is narrowed away with it) or finds it gone.
    auto maps = get_index_writer();
    keep_only_from_bitmap_locked(*maps, keep);
}

void IndexAPI::keep_only_from_bitmap_locked(const MapVec& maps, const Bitmap& keep) {
    Bitmap removed;
    {
        auto allowed = get_allowed_items_writer();
        if (depth > 0) removed = allowed->andnot(keep);
        allowed->and_inplace(keep);
    }
    for (const auto& map : maps) {
        if (map == nullptr) continue;
        map->retain(keep);
        Bitmap children;
        {
            // The pairs of holders narrowed away go with their values.
            auto pairs = map->child_index->get_parent_child_map_writer();
            pairs->retain_parents(keep);
            children = pairs->pairs.rights_of(keep);
        }
        map->child_index->keep_only_from_bitmap(children);
    }
    // The records of narrowed-away objects stay in an index's `items`: views made
    // before the narrowing share this vector and still collect their objects. A
    // child index has no views: its records go now, with the objects they hold.
    if (removed.is_empty()) return;
    std::vector<StoredItem> released;
    {
        auto items_guard = get_items_writer();
        removed.for_each([&](uint32_t id) {
            if (id < items_guard->size()) released.push_back(std::exchange((*items_guard)[id], StoredItem{}));
        });
    }
}

Bitmap IndexAPI::get_parent_from_ids(const Bitmap& ids) const {
    auto pairs = parent_child_map->read();
    return pairs->pairs.lefts_of(ids);
}

// ---------------------------------------------------------------------------
// Evaluation

namespace {

int cost_rank(const QueryExpr& e) {
    static constexpr int kRank[] = {0, 1, 2, 3, 7, 8, 11, 12, 9, 10, 13, 4, 5, 6};
    return kRank[e.node.index()];
}

const Path* node_path(const QueryExpr& e) {
    return std::visit(
        [](const auto& n) -> const Path* {
            if constexpr (requires { n.attr; }) {
                return &n.attr;
            } else {
                return nullptr;
            }
        },
        e.node);
}

// The same node with its path replaced.
QueryExpr with_path(const QueryExpr& e, Path path) {
    QueryExpr copy = e;
    std::visit(
        [&](auto& n) {
            if constexpr (requires { n.attr; }) n.attr = std::move(path);
        },
        copy.node);
    return copy;
}

// --- strings -------------------------------------------------------------
// A string of n bytes starts at start_of(n) <= c - 1 and ends at or right of
// c - 1, so an edge bitmap left of c - 1 holds only starts and one right of it
// only ends. At c - 1 both meet: one-byte strings (start and end there) and the
// starts of two-byte strings, which also sit in edge(c). The searches below
// separate them so that every answer is exact.

const Bitmap& slot_bits(const PositionalBitmap& s, size_t p, size_t slot) { return s.slot(p, slot).bitmap(); }

// Ids whose string starts at p.
Bitmap starts_at(const PositionalBitmap& s, size_t p) { return slot_bits(s, p, PositionalBitmap::kEdgeSlot).clone(); }

// Ids whose string ends at e.
Bitmap ends_at(const PositionalBitmap& s, size_t e) {
    Bitmap r = slot_bits(s, e, PositionalBitmap::kEdgeSlot).clone();
    const size_t c = s.middle();
    if (e + 1 == c && c < s.len()) r.andnot_inplace(slot_bits(s, c, PositionalBitmap::kEdgeSlot));
    return r;
}

void and_bytes(const PositionalBitmap& s, Bitmap& r, size_t from, std::string_view needle) {
    for (size_t j = 0; j < needle.size() && !r.is_empty(); ++j) {
        r.and_inplace(slot_bits(s, from + j, static_cast<uint8_t>(needle[j])));
    }
}

Bitmap every_string(const PositionalBitmap& s) {
    Bitmap r;
    for (size_t p = 0; p < s.middle(); ++p) r.or_inplace(slot_bits(s, p, PositionalBitmap::kEdgeSlot));
    return r;
}

Bitmap str_equal(const PositionalBitmap& s, std::string_view needle, const Bitmap* candidates) {
    const size_t n = needle.size();
    if (n == 0 || n > s.len()) return Bitmap();
    const size_t start = s.start_of(n);
    Bitmap r = candidates != nullptr ? candidates->and_(slot_bits(s, start, PositionalBitmap::kEdgeSlot))
                                     : starts_at(s, start);
    r.and_inplace(ends_at(s, start + n - 1));
    and_bytes(s, r, start, needle);
    return r;
}

// Ids whose string has `needle` at positions `from`...: the needle's own bytes
// are intersected first (they are the selective part), without copying any
// bitmap that is only read.
Bitmap needle_at(const PositionalBitmap& s, size_t from, std::string_view needle) {
    const Bitmap& first = slot_bits(s, from, static_cast<uint8_t>(needle[0]));
    if (needle.size() == 1 || first.is_empty()) return first.clone();
    Bitmap t = first.and_(slot_bits(s, from + 1, static_cast<uint8_t>(needle[1])));
    and_bytes(s, t, from + 2, needle.substr(2));
    return t;
}

Bitmap str_starts_with(const PositionalBitmap& s, std::string_view needle) {
    const size_t n = needle.size();
    if (n == 0) return every_string(s);
    Bitmap out;
    for (size_t p = 0; p < s.middle() && p + n <= s.len(); ++p) {
        // The edge bitmap is dense and the byte bitmaps sparse: intersecting a
        // sparse one into the dense one first costs a lookup per sparse id.
        Bitmap t = slot_bits(s, p, PositionalBitmap::kEdgeSlot).and_(slot_bits(s, p, static_cast<uint8_t>(needle[0])));
        and_bytes(s, t, p + 1, needle.substr(1));
        out.or_inplace(t);
    }
    return out;
}

Bitmap str_ends_with(const PositionalBitmap& s, std::string_view needle) {
    const size_t n = needle.size();
    if (n == 0) return every_string(s);
    Bitmap out;
    const size_t c = s.middle();
    const size_t lo = std::max(c == 0 ? size_t{0} : c - 1, n - 1);
    for (size_t e = lo; e < s.len(); ++e) {
        Bitmap t = ends_at(s, e);
        t.and_inplace(slot_bits(s, e, static_cast<uint8_t>(needle[n - 1])));
        and_bytes(s, t, e + 1 - n, needle.substr(0, n - 1));
        out.or_inplace(t);
    }
    return out;
}

Bitmap str_contains(const PositionalBitmap& s, std::string_view needle) {
    const size_t n = needle.size();
    if (n == 0) return every_string(s);
    Bitmap out;
    for (size_t p = 0; p + n <= s.len(); ++p) out.or_inplace(needle_at(s, p, needle));
    return out;
}

// --- per variant against one map -----------------------------------------

// Equality works only on the candidates from the start when no container
// element can match (element ids are not candidates; they map to holders later).
Bitmap eq_in_map(const QueryMap& m, const PyValue& v, const Bitmap& base) {
    const Bitmap* candidates = m.has_elements() ? nullptr : &base;
    switch (v.kind()) {
        case Kind::Int:
        case Kind::Float: {
            const auto key = number_key(v);
            if (!key) return Bitmap();
            return m.num_ordered.read(QueryMap::kMapPoisoned)->get_eq(*key, candidates);
        }
        case Kind::Str:
            return str_equal(*m.str_radix_map.read(QueryMap::kMapPoisoned), v.as<cast::Str>()->value.view(),
                             candidates);
        case Kind::Bool: {
            auto bools = m.bool_map.read(QueryMap::kMapPoisoned);
            const Bitmap& side = (*bools)[v.as<cast::Bool>()->value ? 0 : 1].bitmap();
            return candidates != nullptr ? candidates->and_(side) : side.clone();
        }
        default: {
            const auto set = m.exact.get(v);
            return set ? set->to_bitmap() : Bitmap();
        }
    }
}

using RangeSearch = void (NumericalBitmap::*)(const OrderKey&, Bitmap&, const Bitmap&) const;

Bitmap range_in_map(const QueryMap& m, const PyValue& v, const Bitmap& base, RangeSearch search) {
    const auto key = number_key(v);
    if (!key) return Bitmap();
    const Bitmap candidates = m.with_elements(base);  // numeric elements of containers count too
    Bitmap out;
    ((*m.num_ordered.read(QueryMap::kMapPoisoned)).*search)(*key, out, candidates);
    return out;
}

bool key_less(const OrderKey& a, const OrderKey& b) {
    return a.head != b.head ? a.head < b.head : a.mantissa < b.mantissa;
}

Bitmap between_in_map(const QueryMap& m, const PyValue& low, const PyValue& high, const Bitmap& base) {
    const bool numeric = (low.kind() == Kind::Int || low.kind() == Kind::Float) &&
                         (high.kind() == Kind::Int || high.kind() == Kind::Float);
    if (!numeric) fail("not yet implemented");
    const auto kl = number_key(low);
    const auto kh = number_key(high);
    if (!kl || !kh || key_less(*kh, *kl)) return Bitmap();
    const Bitmap candidates = m.with_elements(base);
    auto numbers = m.num_ordered.read(QueryMap::kMapPoisoned);
    // The lower bound is searched among the ids already under the upper one.
    Bitmap at_most, between;
    numbers->get_lte_into_base(*kh, at_most, candidates);
    numbers->get_gte_into_base(*kl, between, at_most);
    return between;
}

Bitmap string_search_in_map(const QueryMap& m, const PyValue& v, Bitmap (*search)(const PositionalBitmap&, std::string_view)) {
    const auto* text = v.as<cast::Str>();
    if (text == nullptr) return Bitmap();
    return search(*m.str_radix_map.read(QueryMap::kMapPoisoned), text->value.view());
}

bool is_range(const QueryExpr& e) {
    return std::holds_alternative<q::Gt>(e.node) || std::holds_alternative<q::Ge>(e.node) ||
           std::holds_alternative<q::Lt>(e.node) || std::holds_alternative<q::Le>(e.node) ||
           std::holds_alternative<q::Bt>(e.node);
}

// A node with a path, evaluated against the map of its attribute (after unmasking).
Bitmap path_node_in_map(const QueryMap& m, const Bitmap& base, const QueryExpr& e) {
    Bitmap r = std::visit(
        [&](const auto& n) -> Bitmap {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, q::Eq>) {
                return eq_in_map(m, n.value, base);
            } else if constexpr (std::is_same_v<N, q::Gt>) {
                return range_in_map(m, n.value, base, &NumericalBitmap::get_gt_into_base);
            } else if constexpr (std::is_same_v<N, q::Ge>) {
                return range_in_map(m, n.value, base, &NumericalBitmap::get_gte_into_base);
            } else if constexpr (std::is_same_v<N, q::Lt>) {
                return range_in_map(m, n.value, base, &NumericalBitmap::get_lt_into_base);
            } else if constexpr (std::is_same_v<N, q::Le>) {
                return range_in_map(m, n.value, base, &NumericalBitmap::get_lte_into_base);
            } else if constexpr (std::is_same_v<N, q::Bt>) {
                return between_in_map(m, n.low, n.high, base);
            } else if constexpr (std::is_same_v<N, q::StartsWi>) {
                return string_search_in_map(m, n.value, str_starts_with);
            } else if constexpr (std::is_same_v<N, q::EndsWi>) {
                return string_search_in_map(m, n.value, str_ends_with);
            } else if constexpr (std::is_same_v<N, q::Contains>) {
                return string_search_in_map(m, n.value, str_contains);
            } else {
                fail("node without a single-map evaluation");
            }
        },
        e.node);
    m.unmask_ids(r);
    // Range searches looked at element ids too; after unmasking, keep them to the base.
    if (is_range(e)) r.and_inplace(base);
    return r;
}

// Nodes that address one attribute: the path's head selects the map; a rest
// descends into the child index of nested objects and maps back to holders.
Bitmap evaluate_path_node(const MapVec& maps, const Bitmap& base, const QueryExpr& e) {
    auto [head, rest] = attr_parts(*node_path(e));
    const uint32_t attr = StrInterner::global().intern(head.view());
    if (attr >= maps.size() || maps[attr] == nullptr) return Bitmap();
    const QueryMap& m = *maps[attr];
    if (rest) {
        const IndexAPI& child = *m.child_index;
        Bitmap matched = child.query_ids(with_path(e, std::move(*rest)));
        return child.get_parent_from_ids(matched);
    }
    return path_node_in_map(m, base, e);
}

}  // namespace

Bitmap evaluate_query(const MapVec& maps, const Bitmap& base, const QueryExpr& expr) {
    return std::visit(
        [&](const auto& n) -> Bitmap {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, q::Ne>) {
                Bitmap r = base.clone();
                r.andnot_inplace(evaluate_query(maps, base, QueryExpr{q::Eq{n.attr, n.value}}));
                return r;
            } else if constexpr (std::is_same_v<N, q::Not>) {
                Bitmap r = base.clone();
                r.andnot_inplace(evaluate_query(maps, base, *n.inner));
                return r;
            } else if constexpr (std::is_same_v<N, q::In>) {
                Bitmap r;
                for (const PyValue& v : n.values) {
                    Bitmap t = evaluate_query(maps, base, QueryExpr{q::Eq{n.attr, v}});
                    t.and_inplace(base);
                    r.or_inplace(t);
                }
                return r;
            } else if constexpr (std::is_same_v<N, q::And>) {
                return evaluate_and_queries_vec(maps, base, n.parts);
            } else if constexpr (std::is_same_v<N, q::Or>) {
                Bitmap r;
                for (const QueryExpr& part : n.parts) r.or_inplace(evaluate_query(maps, base, part));
                return r;
            } else {
                return evaluate_path_node(maps, base, expr);
            }
        },
        expr.node);
}

Bitmap evaluate_and_queries_vec(const MapVec& maps, const Bitmap& base, std::span<const QueryExpr> exprs) {
    Bitmap r = base.clone();
    std::vector<const QueryExpr*> order;
    order.reserve(exprs.size());
    for (const QueryExpr& e : exprs) order.push_back(&e);
    std::stable_sort(order.begin(), order.end(),
                     [](const QueryExpr* a, const QueryExpr* b) { return cost_rank(*a) < cost_rank(*b); });
    for (const QueryExpr* e : order) r.and_inplace(evaluate_query(maps, r, *e));
    return r;
}

}  // namespace vorlane
