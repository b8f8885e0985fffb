#include "index/engine/index.hpp"

#include "index/engine/index_links.hpp"

namespace vorlane {

std::shared_ptr<IndexAPI> IndexAPI::create() {
    auto core = std::make_shared<IndexAPI>();
    core->index = std::make_shared<RwLock<ValueMaps>>();
    core->items = std::make_shared<RwLock<ItemTable>>();
    core->allowed_items = std::make_shared<RwLock<Bitmap>>();
    core->graph = std::make_shared<RwLock<ObjectGraph>>();
    return core;
}

const std::shared_ptr<IndexAPI>& empty_index() {
    static const auto* empty = new std::shared_ptr<IndexAPI>(IndexAPI::create());  // never released
    return *empty;
}

FilteredIndexCore::FilteredIndexCore(std::shared_ptr<const IndexAPI> owner) : core(std::move(owner)) {
    core->views.fetch_add(1, std::memory_order_acq_rel);
}

FilteredIndexCore::FilteredIndexCore(FilteredIndexCore&& other) noexcept
    : core(std::move(other.core)), allowed_items(std::move(other.allowed_items)) {}

FilteredIndexCore::~FilteredIndexCore() {
    if (core != nullptr) core->views.fetch_sub(1, std::memory_order_acq_rel);
}

void IndexAPI::enter_values(uint32_t item_id, const AttributeMap& attributes) {
    attributes.for_each([&](uint32_t attr_id, const PyValue& v) { add_index(item_id, attr_id, v); });
}

void IndexAPI::add_index(uint32_t item_id, uint32_t attr_id, const PyValue& v) {
    {
        auto maps = index->read();
        if (QueryMap* map = maps->find(attr_id)) {
            map->insert(v, item_id, item_id);
            return;
        }
    }
    auto fresh = std::make_unique<QueryMap>(weak_from_this());
    auto maps = get_index_writer();
    QueryMap& standing = maps->emplace(attr_id, std::move(fresh));
    // Entered under the exclusive hold: whether the map is new or another
    // thread made it meanwhile, no narrowing of the core slips in between.
    standing.insert(v, item_id, item_id);
}

void IndexAPI::remove_index(uint32_t item_id, uint32_t attr_id, const PyValue& v, Removal how) {
    auto maps = index->read();
    if (QueryMap* map = maps->find(attr_id)) map->remove_id(v, item_id, item_id, how);
}

void IndexAPI::replace_value(uint32_t item_id, uint32_t attr_id, const PyValue* old, const PyValue& value) {
    {
        auto maps = index->read();
        // An object that left the store took its values with it; it takes new
        // ones only when it is stored again.
        if (!graph->read()->is_stored(item_id)) return;
        if (QueryMap* map = maps->find(attr_id)) {
            if (old != nullptr) {
                map->replace(*old, value, item_id);
            } else {
                map->insert(value, item_id, item_id);
            }
            return;
        }
    }
    // No map yet, so no old value in this core either: a first value.
    add_index(item_id, attr_id, value);
}

void IndexAPI::leave_store(const Indexable& record, IndexList& list, const AttributeMap& attributes,
                           std::vector<StoredItem>& released) {
    const uint32_t id = record.id;
    // Nested objects only it held leave afterwards (the caller's nested scope runs that work).
    {
        auto maps = index->read();  // once for all of its values
        attributes.for_each([&](uint32_t attr_id, const PyValue& v) {
            if (QueryMap* map = maps->find(attr_id)) map->remove_id(v, id, id, Removal::Batched);
        });
    }
    retire_record(id, released);
    trim_indexes(list, this);
}

void IndexAPI::retire_records(const Bitmap& ids, std::vector<StoredItem>& released) {
    auto items_guard = get_items_writer();
    // A view made before keeps its set and collects from these records: while
    // one may exist, they stay. A view is counted before it reads the allowed
    // set, and these ids left it before this count is read.
    if (views.load(std::memory_order_acquire) > 0) {
        items_guard->keep_for_views(ids);
        return;
    }
    ids.for_each([&](uint32_t id) { released.push_back(items_guard->take(id)); });
    items_guard->release_kept(released);
}

void IndexAPI::retire_record(uint32_t id, std::vector<StoredItem>& released) {
    auto items_guard = get_items_writer();
    if (views.load(std::memory_order_acquire) > 0) {
        items_guard->keep_for_view(id);
        return;
    }
    released.push_back(items_guard->take(id));
    items_guard->release_kept(released);
}

void IndexAPI::release_kept_records() {
    std::vector<StoredItem> released;  // let go of after the lock
    auto items_guard = get_items_writer();
    if (views.load(std::memory_order_acquire) == 0) items_guard->release_kept(released);
}

const Bitmap& IndexAPI::set_or_members(const Bitmap* set, Bitmap& storage) const {
    if (set != nullptr) return *set;
    storage = allowed_items->read()->clone();
    return storage;
}

std::vector<StoredItem> IndexAPI::records(const Bitmap* ids) const {
    Bitmap members;
    ids = &set_or_members(ids, members);
    std::vector<StoredItem> out;
    auto items_guard = items->read();
    items_guard->for_each_in(*ids, [&](uint32_t, const StoredItem& record) { out.push_back(record); });
    return out;
}

}  // namespace vorlane
